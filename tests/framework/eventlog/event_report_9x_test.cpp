// Reports on the Windows 9x family go to the product's log file. The platform
// query is asked once per process: this program plays 9x from its start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/eventlog/sts_report.h"
#include "framework/registry/prod_platform.h"
#include "framework/registry/reg_settings.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"

namespace {

const int g_plays9x = setenv("PLATFORM_WIN9X", "1", 1);

std::vector<std::string> LogLines() {
  std::istringstream in(tnwtest::ReadFile(tnwtest::Root() + "/drives/c/TESSARINE/Tessarine.log"));
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

}  // namespace

TEST(EventReport9x, ReportsAppendToTheLogFile) {
  ASSERT_EQ(g_plays9x, 0);
  ASSERT_EQ(prod_GetOsPlatformId(), 1u);
  EXPECT_EQ(prod_GetOsMajorVersion(), 4u);
  unsetenv("TSQ_");
  // The folder is not there yet: the report is dropped.
  EXPECT_EQ(sts_ReportErrorEvent(".", STS_EVENT_ERROR, "dropped"), -1);
  std::filesystem::create_directories(tnwtest::Root() + "/drives/c/TESSARINE");
  ASSERT_EQ(sts_ReportErrorEvent(".", STS_EVENT_ERROR, "first report"), 0);
  ASSERT_EQ(sts_ReportErrorEvent(".", STS_EVENT_ERROR, "second\nreport"), 0);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  const std::regex form("[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{2}/[0-9]{2}/[0-9]{2} (.*)\r");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, form)) << lines[0];
  EXPECT_EQ(m[1], "first report");
  ASSERT_TRUE(std::regex_match(lines[1], m, form)) << lines[1];
  EXPECT_EQ(m[1], "second\\nreport");
  EXPECT_FALSE(std::filesystem::exists(tnwtest::Root() + "/eventlog/Application.log"));
}

TEST(EventReport9x, TheServerFolderCanBeNamed) {
  std::filesystem::create_directories(tnwtest::Root() + "/drives/c/LOGS");
  setenv("TSQ_", "C:\\LOGS\\", 1);
  ASSERT_EQ(sts_ReportErrorEvent(".", STS_EVENT_ERROR, "named"), 0);
  unsetenv("TSQ_");
  std::string log = tnwtest::ReadFile(tnwtest::Root() + "/drives/c/LOGS/Tessarine.log");
  EXPECT_NE(log.find(" named\r\n"), std::string::npos) << log;
}

TEST(EventReport9x, AHeldLogFileDelaysTheReportAWhileThenDropsIt) {
  unsetenv("TSQ_");
  std::filesystem::create_directories(tnwtest::Root() + "/drives/c/TESSARINE");
  OsHandle file = os_CreateFile("C:\\TESSARINE\\Tessarine.log", OS_GENERIC_READ | OS_GENERIC_WRITE, 0,
                                OS_OPEN_ALWAYS, 0);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(os_LockFile(file, 0, 1, true, false), 0);
  const size_t before = LogLines().size();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sts_ReportErrorEvent(".", STS_EVENT_ERROR, "held"), -1);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 5000) << "a held file never hangs the reporter";
  EXPECT_EQ(LogLines().size(), before);
  // Released while the report waits: nothing is lost.
  const uint32_t reporter = os_GetCurrentThreadId();
  std::thread release([file, reporter] {
    EXPECT_TRUE(tnwtest::Until([&] { return tnwtest::ThreadAsleep(reporter); }, 5000));
    os_UnlockFile(file, 0, 1);
  });
  EXPECT_EQ(sts_ReportErrorEvent(".", STS_EVENT_ERROR, "late"), 0);
  release.join();
  os_CloseHandle(file);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_NE(lines.back().find(" late\r"), std::string::npos) << lines.back();
}
