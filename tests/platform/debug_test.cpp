// Debugger output under ROOT/debug/ and the console handle.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_debug.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "tests/support/test_root.h"

TEST(DebugOutputTest, LinesAreAppendedUnderTheRoot) {
  EXPECT_EQ(os_DebugOutputPath(), tnwtest::Root() + "/debug/debug.log");
  os_OutputDebugString("first line\r\n");
  os_OutputDebugString("second");
  std::string pid = "[" + std::to_string(getpid()) + "] ";
  EXPECT_EQ(tnwtest::ReadFile(os_DebugOutputPath()), pid + "first line\r\n" + pid + "second\n");
  // Texts of several threads stay whole lines.
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([i] {
      for (int k = 0; k < 50; ++k) os_OutputDebugString((std::string(40, static_cast<char>('a' + i)) + "\n").c_str());
    });
  for (auto &t : ts) t.join();
  std::string all = tnwtest::ReadFile(os_DebugOutputPath());
  size_t lines = 0;
  for (size_t p = 0, e; (e = all.find('\n', p)) != std::string::npos; p = e + 1, ++lines) {
    std::string line = all.substr(p, e - p);
    if (lines < 2) continue;
    ASSERT_EQ(line.size(), pid.size() + 40) << line;
    EXPECT_EQ(line.substr(pid.size()), std::string(40, line[pid.size()]));
  }
  EXPECT_EQ(lines, 202u);
}

TEST(DebugOutputTest, ConsoleIsStandardOutput) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  ASSERT_EQ(dup2(pipeFds[1], STDOUT_FILENO), STDOUT_FILENO);
  EXPECT_EQ(os_AllocConsole(), 0);
  OsHandle con = os_CreateFile("CONOUT$", OS_GENERIC_READ | OS_GENERIC_WRITE, 3, OS_OPEN_EXISTING, 0);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(pipeFds[1]);
  ASSERT_NE(con, nullptr);
  uint32_t n = 0;
  EXPECT_EQ(os_WriteFile(con, "on the console", 14, &n), 0);
  EXPECT_EQ(n, 14u);
  char buf[8];
  EXPECT_EQ(os_ReadFile(con, buf, sizeof buf, &n), -1);  // output only
  os_CloseHandle(con);
  EXPECT_EQ(os_FreeConsole(), 0);
  char got[32] = {};
  EXPECT_EQ(read(pipeFds[0], got, sizeof got), 14);
  EXPECT_STREQ(got, "on the console");
  close(pipeFds[0]);
}
