// The folder program launcher and the time-stamped log-file set.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_file.h"
#include "plugin/connect/tm_programs.h"
#include "plugin/connect/tm_utils.h"
#include "tests/support/test_root.h"

namespace fs = std::filesystem;

TEST(FolderProgram, NamesRunsAndFailures) {
  struct Name {
    const char *processor, *program;
  } names[] = {{"TNWLL", "TNWLL_ru"}, {"dudi12", "dudi_ru"}, {"DUDI7", "dudi_ru"}, {"dudix", "dudix_ru"},
               {"vantx3", "vantx_ru"}, {"vantxa", "vantx_ru"}, {"MODBUS1", "MODBU_ru"}, {"", "_ru"}};
  for (const Name &n : names) {
    char out[16];
    tm_FolderProgramName(n.processor, out, sizeof out);
    EXPECT_STREQ(out, n.program) << n.processor;
  }
  std::string dir = tnwtest::MakeTempDir("launch");
  fs::create_directories(dir + "/DEV1");
  ASSERT_TRUE(tnwtest::WriteFile(dir + "/DEV1/dudi_ru", "#!/bin/sh\necho \"$1\" > ran.txt\n"));
  chmod((dir + "/DEV1/dudi_ru").c_str(), 0755);
  ASSERT_EQ(os_SetCurrentDirectory(dir.c_str()), 0);
  char status[64] = "";
  EXPECT_EQ(tm_RunFolderProgram((dir + "/DEV1").c_str(), "dudi12", 0, 4, status, sizeof status), 0);
  EXPECT_FALSE(fs::exists(dir + "/DEV1/ran.txt")) << "not enabled: nothing runs";
  EXPECT_EQ(tm_RunFolderProgram((dir + "/DEV1").c_str(), "dudi12", 1, 4, status, sizeof status), 0);
  EXPECT_EQ(tnwtest::ReadFile(dir + "/DEV1/ran.txt"), "4\n") << "ended before the call returned";
  EXPECT_EQ(fs::current_path(), fs::path(dir)) << "back in the parent folder";
  ASSERT_EQ(os_SetCurrentDirectory(dir.c_str()), 0);
  EXPECT_EQ(tm_RunFolderProgram((dir + "/DEV1").c_str(), "ZZZZZ", 1, 1, status, sizeof status), -1);
  EXPECT_STREQ(status, "CAN'T RUN - 0002");
  EXPECT_EQ(fs::current_path(), fs::path(dir));
  EXPECT_EQ(tm_RunFolderProgram((dir + "/NONE").c_str(), "dudi1", 1, 1, status, sizeof status), -1);
}

TEST(LogFileSet, QueuedWritesJoinedAndOldFilesRemoved) {
  std::string dir = tnwtest::MakeTempDir("logset");
  int64_t now = static_cast<int64_t>(time(nullptr));
  int64_t recent = now - 60, old = now - 7200;
  std::string recentName = std::string(tm_StampName(&recent)) + ".log";
  std::string oldName = std::string(tm_StampName(&old)) + ".log";
  for (const std::string &f : {recentName, oldName, std::string(tm_StampName(&old)) + ".txt", std::string("notes.log")})
    ASSERT_TRUE(tnwtest::WriteFile(dir + "/" + f, "x"));

  TmLogSet *set = tm_LogSetOpen(dir.c_str(), ".log", 3600, 3600);
  ASSERT_NE(set, nullptr);
  std::string first = tm_LogSetFileName(set);
  EXPECT_NE(tm_MatchStampedName(first.c_str(), ".log"), nullptr);
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([set, t] {
      for (int i = 0; i < 50; ++i) {
        std::string line = "t" + std::to_string(t) + ":" + std::to_string(i) + "\n";
        ASSERT_EQ(tm_LogSetWrite(set, line.data(), static_cast<uint32_t>(line.size())), 0);
      }
    });
  for (std::thread &t : ts) t.join();
  EXPECT_FALSE(fs::exists(dir + "/" + first) && fs::file_size(dir + "/" + first) > 0) << "queued, not yet written";
  ASSERT_EQ(tm_LogSetFlush(set), 0);
  std::string text = tnwtest::ReadFile(dir + "/" + first);
  for (int t = 0; t < 4; ++t) {
    size_t at = 0;
    for (int i = 0; i < 50; ++i) {
      size_t found = text.find("t" + std::to_string(t) + ":" + std::to_string(i) + "\n", at);
      ASSERT_NE(found, std::string::npos) << t << " " << i << " in its order";
      at = found + 1;
    }
  }
  EXPECT_EQ(tm_LogSetWriteCount(set), 1u) << "200 writes joined into one";
  EXPECT_FALSE(fs::exists(dir + "/" + oldName));
  for (const std::string &f : {recentName, std::string(tm_StampName(&old)) + ".txt", std::string("notes.log")})
    EXPECT_TRUE(fs::exists(dir + "/" + f)) << f;

  // A new file takes the writes from then on.
  int64_t next = now + 5;
  ASSERT_EQ(tm_LogSetNewFile(set, next), 0);
  ASSERT_EQ(tm_LogSetWrite(set, "new\n", 4), 0);
  tm_LogSetClose(set);  // writes what is queued
  EXPECT_EQ(tnwtest::ReadFile(dir + "/" + tm_StampName(&next) + ".log"), "new\n");
  EXPECT_EQ(tnwtest::ReadFile(dir + "/" + first), text);
}
