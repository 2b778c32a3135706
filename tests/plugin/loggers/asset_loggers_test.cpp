// The "resub" loggers of asset folders: start flag and time read and
// written, the logger of a folder found, and a free one given to a folder.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "framework/server/srv_client.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "plugin/loggers/asset_loggers.h"
#include "plugin/loggers/lcfg_files.h"
#include "plugin/loggers/lcfg_types.h"
#include "tests/support/test_root.h"

namespace fs = std::filesystem;

namespace {

const char kW1[] = "C:\\ASSETS\\E\\FRANCE\\W1";
const char kW2[] = "C:\\ASSETS\\E\\FRANCE\\W2";

class AssetLoggers : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_CloseAllConnections();
    dir = tnwtest::Root() + "/drives/c/ALCFG";
    fs::remove_all(dir);
    fs::create_directories(dir + "/LOGGERS");
    fs::create_directories(tnwtest::Root() + "/drives/c/ASSETS/E/FRANCE/W2");
    os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\ALCFG");
    ASSERT_TRUE(tnwtest::WriteFile(dir + "/LOGCAP.TXT", "stand\nresub\nresub\nresubscr\n"));
    // 1: a "stand" logger whose name looks like an asset path.
    std::string stand(LCFG_STAND_SIZE, '\0');
    stand.replace(1, strlen(kW1), kW1);
    ASSERT_TRUE(tnwtest::WriteFile(dir + "/LOGGERS/stand_1", stand));
    // 2 and 3 serve W1 (2 elsewhere by its destination), 4 is free.
    LoggerResub r{};
    snprintf(r.Name, sizeof r.Name, "two");
    snprintf(r.AssetPath, sizeof r.AssetPath, "%s", kW1);
    r.OverrideDestination = 1;
    snprintf(r.DestinationDirectory, sizeof r.DestinationDirectory, "D:\\ELSEWHERE");
    const uint8_t t[6] = {123, 5, 6, 7, 8, 9};
    memcpy(r.StartTime, t, 6);
    Write("resub", 2, r);
    snprintf(r.Name, sizeof r.Name, "three");
    r.OverrideDestination = 0;
    Write("resub", 3, r);
    LoggerResub free{};
    snprintf(free.Name, sizeof free.Name, "four");
    Write("resubscr", 4, free);
  }
  void TearDown() override { os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr); }
  void Write(const char *type, int n, const LoggerResub &r) {
    ASSERT_TRUE(tnwtest::WriteFile(dir + "/LOGGERS/" + type + "_" + std::to_string(n),
                                   std::string(reinterpret_cast<const char *>(&r), sizeof r)));
  }
  LoggerResub Read(const char *type, int n) {
    LoggerResub r;
    memset(&r, 0xEE, sizeof r);
    EXPECT_EQ(lcfg_ReadLogger((dir + "/LOGGERS").c_str(), type, n, &r, sizeof r), 0);
    return r;
  }
  std::string dir;
};

TEST_F(AssetLoggers, StartFlagAndTimeOfTheFolder) {
  int start = -1;
  TmCalendar t{};
  ASSERT_EQ(asset_LoggerStart(".", "c:\\assets\\e\\france\\w1\\", &start, &t), 1) << "case and a trailing separator";
  EXPECT_EQ(start, 0);
  EXPECT_EQ(std::vector<int>({t.year, t.month, t.day, t.hour, t.minute, t.second}),
            std::vector<int>({2023, 5, 6, 7, 8, 9}));

  TmCalendar leap{2024, 2, 0, 29, 23, 59, 58, 0};
  std::string standBefore = tnwtest::ReadFile(dir + "/LOGGERS/stand_1");
  ASSERT_EQ(asset_SetLoggerStart(".", kW1, &leap), 1);
  for (int n : {2, 3}) {
    LoggerResub r = Read("resub", n);
    EXPECT_EQ(r.StartFlag, 1) << n;
    EXPECT_EQ(std::vector<int>(r.StartTime, r.StartTime + 6), std::vector<int>({124, 2, 29, 23, 59, 58})) << n;
    EXPECT_EQ(r.ExpiryTime[0], 0) << "the rest of the record stays";
  }
  EXPECT_EQ(Read("resubscr", 4).StartFlag, 0);
  EXPECT_EQ(tnwtest::ReadFile(dir + "/LOGGERS/stand_1"), standBefore);
  ASSERT_EQ(asset_LoggerStart(".", kW1, &start, &t), 1);
  EXPECT_EQ(start, 1);
  EXPECT_EQ(t.year, 2024);

  // Times the record cannot hold, and folders no logger serves.
  const TmCalendar bad[] = {{1899, 1, 0, 1, 0, 0, 0, 0}, {2156, 1, 0, 1, 0, 0, 0, 0}, {2024, 13, 0, 1, 0, 0, 0, 0},
                            {2024, 0, 0, 1, 0, 0, 0, 0},  {2024, 1, 0, 0, 0, 0, 0, 0},  {2024, 1, 0, 32, 0, 0, 0, 0},
                            {2024, 1, 0, 1, 24, 0, 0, 0}, {2024, 1, 0, 1, 0, 60, 0, 0}, {2024, 1, 0, 1, 0, 0, 60, 0}};
  for (const TmCalendar &b : bad) {
    EXPECT_EQ(asset_SetLoggerStart(".", kW1, &b), 0);
    EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(Read("resub", 2).StartTime[0], 124);
  EXPECT_EQ(asset_SetLoggerStart(".", kW2, &leap), 0);
  start = 7;
  EXPECT_EQ(asset_LoggerStart(".", kW2, &start, &t), 0);
  EXPECT_EQ(start, 7) << "untouched";
  EXPECT_EQ(asset_LoggerStart(".", "", &start, &t), 0);
  EXPECT_EQ(asset_LoggerStart(".", std::string(300, 'x').c_str(), &start, &t), 0);
}

TEST_F(AssetLoggers, FoundOrGivenAFreeLogger) {
  char folder[64] = "";
  EXPECT_EQ(asset_FindLoggerRun(".", kW1, folder, sizeof folder), 2);
  EXPECT_STREQ(folder, "D:\\ELSEWHERE") << "its own destination";
  EXPECT_EQ(asset_FindLoggerRun(".", kW1, folder, 8), 0);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(asset_FindLoggerRun(".", kW2, folder, sizeof folder), 0) << "finding gives nothing away";
  EXPECT_EQ(Read("resubscr", 4).AssetPath[0], 0);
  EXPECT_EQ(asset_AllocateLogger(".", kW1, folder, sizeof folder), 2) << "a served folder keeps its logger";

  ASSERT_EQ(asset_AllocateLogger(".", kW2, folder, sizeof folder), 4);
  EXPECT_STREQ(folder, "C:\\ASSETS\\E\\FRANCE\\W2\\LOGGER_4");
  EXPECT_TRUE(fs::is_directory(tnwtest::Root() + "/drives/c/ASSETS/E/FRANCE/W2/LOGGER_4"));
  LoggerResub r = Read("resubscr", 4);
  EXPECT_STREQ(r.AssetPath, kW2);
  EXPECT_STREQ(r.DestinationDirectory, folder);
  EXPECT_EQ(r.OverrideDestination, 1);
  EXPECT_STREQ(r.Name, "four");
  EXPECT_EQ(asset_AllocateLogger(".", kW2, folder, sizeof folder), 4);
  EXPECT_EQ(asset_FindLoggerRun(".", "C:\\ASSETS\\E\\FRANCE\\w2", folder, sizeof folder), 4);
  EXPECT_EQ(asset_AllocateLogger(".", "C:\\ASSETS\\E\\FRANCE\\W3", folder, sizeof folder), 0) << "none free";
}

TEST_F(AssetLoggers, AnUnreadableRecordFailsEveryCall) {
  fs::remove(dir + "/LOGGERS/resub_3");
  char folder[64];
  int start = 0;
  TmCalendar t{};
  EXPECT_EQ(asset_FindLoggerRun(".", kW1, folder, sizeof folder), 0);
  EXPECT_EQ(asset_AllocateLogger(".", kW2, folder, sizeof folder), 0);
  EXPECT_EQ(asset_LoggerStart(".", kW1, &start, &t), 0);
  EXPECT_EQ(Read("resubscr", 4).AssetPath[0], 0);
}

}  // namespace
