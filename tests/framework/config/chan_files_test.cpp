// The binary channel files, their change signal and their change history.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/cfg_history.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_text.h"
#include "framework/time/tm_time.h"
#include "platform/os_error.h"
#include "tests/framework/config/cfg_test_util.h"

namespace {

using cfgtest::Folders;

ChannelRecord Analogue(int i) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  r.raw[24] = IO_AI;
  chan_SetFlagBit(&r, CHAN_AF_ENABLE, true);
  chan_SetTag(&r, ("AI" + std::to_string(i + 1)).c_str());
  r.a.Gain = 1.0f;
  return r;
}

std::vector<ChannelRecord> Table(int n) {
  std::vector<ChannelRecord> t;
  for (int i = 0; i < n; ++i) t.push_back(Analogue(i));
  return t;
}

std::string Stamp(const TmCalendar &c) {
  char s[64];
  snprintf(s, sizeof s, "%04d/%02d/%02d\t%02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute, c.second);
  return s;
}

// The history lines, checked whole: the time is one of those seen around the write.
struct HistoryClock {
  TmCalendar before{}, after{};
  void Start() { tm_LocalCalendar(&before); }
  void Stop() { tm_LocalCalendar(&after); }
  bool Matches(const std::string &line, const std::string &rest) const {
    return line == Stamp(before) + "\t" + rest || line == Stamp(after) + "\t" + rest;
  }
};

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      out.push_back(text.substr(at) + "<no line end>");
      break;
    }
    out.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return out;
}

time_t MTime(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : 0;
}

void Age(const std::string &path) {
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

class ChannelFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg_SetHistoryEnabled(0);
    config = cfgtest::ConfigFolder("CHF");
    dev = cfgtest::DeviceFolder(config, "tnwll_1");
    ASSERT_TRUE(cfgtest::Write(config.linux + "/config", std::string(2, '\0')));
  }
  void TearDown() override {
    cfg_CloseHistory();
    cfg_ForgetHistorySwitch();
  }
  std::string File(const char *name) const { return cfgtest::Read(dev.linux + "/" + name); }
  Folders config, dev;
};

}  // namespace

TEST_F(ChannelFiles, BinaryFileIsAStampThenTheRecords) {
  std::vector<ChannelRecord> t = Table(10);
  TimeStamp before;
  tm_Now(&before);
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, t.data(), 0, 10, nullptr, 0, nullptr), 0);
  std::string bin = File("ai");
  ASSERT_EQ(bin.size(), 8u + 10 * 216);
  TimeStamp stamp;
  memcpy(&stamp, bin.data(), 8);
  EXPECT_GE(stamp.seconds, before.seconds);
  EXPECT_LE(stamp.seconds, before.seconds + 60);
  EXPECT_EQ(stamp.us, 0);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(memcmp(bin.data() + 8 + i * 216, &t[i], 216), 0) << i;

  std::vector<ChannelRecord> back(3);
  ASSERT_EQ(chan_ReadChannels(dev.win.c_str(), IO_AI, back.data(), 4, 3, nullptr, 0, nullptr), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(memcmp(&back[i], &t[4 + i], 216), 0) << i;
}

TEST_F(ChannelFiles, PartialRewriteChangesOnlyTheStampAndThoseRecords) {
  std::vector<ChannelRecord> t = Table(10);
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, t.data(), 0, 10, nullptr, 0, nullptr), 0);
  std::string before = File("ai");
  memset(before.data(), 0, 8);
  ChannelRecord two[2] = {Analogue(40), Analogue(50)};
  two[0].a.Gain = 3.5f;
  chan_SetDescription(&two[1], "channel six");
  ASSERT_EQ(chan_WriteChannels(nullptr, dev.win.c_str(), IO_AI, two, 4, 2, nullptr, 0, nullptr), 0);
  std::string after = File("ai");
  ASSERT_EQ(after.size(), before.size());
  memset(after.data(), 0, 8);
  std::string expect = before;
  memcpy(expect.data() + 8 + 4 * 216, two, sizeof two);
  EXPECT_TRUE(after == expect) << "bytes beyond the stamp and channels 5-6 changed";
  EXPECT_NE(before, after);
}

TEST_F(ChannelFiles, ReadFailuresLeaveTheRecordsAlone) {
  ChannelRecord keep[4];
  memset(keep, 0x5A, sizeof keep);
  ChannelRecord r[4];
  memcpy(r, keep, sizeof r);
  EXPECT_EQ(chan_ReadChannels(dev.win.c_str(), IO_DI, r, 0, 1, nullptr, 0, nullptr), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  std::vector<ChannelRecord> t = Table(3);
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, t.data(), 0, 3, nullptr, 0, nullptr), 0);
  EXPECT_EQ(chan_ReadChannels(dev.win.c_str(), IO_AI, r, 1, 4, nullptr, 0, nullptr), -1) << "only 3 there";
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_HANDLE_EOF));
  EXPECT_EQ(memcmp(r, keep, sizeof r), 0);
  EXPECT_EQ(chan_ReadChannels(dev.win.c_str(), 9, r, 0, 1, nullptr, 0, nullptr), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_INVALID_PARAMETER));
}

TEST_F(ChannelFiles, ExtraBlocksGoToTheirOwnFile) {
  std::vector<ChannelRecord> t = Table(2);
  uint8_t extra[12];
  for (int i = 0; i < 12; ++i) extra[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, t.data(), 0, 2, extra, sizeof extra,
                                 "aiextra"), 0);
  EXPECT_EQ(File("aiextra"), std::string(reinterpret_cast<char *>(extra), sizeof extra));
  uint8_t back[16];
  memset(back, 0xFF, sizeof back);
  ChannelRecord r[2];
  ASSERT_EQ(chan_ReadChannels(dev.win.c_str(), IO_AI, r, 0, 2, back, sizeof back, "aiextra"), 0);
  EXPECT_EQ(memcmp(back, extra, sizeof extra), 0);
  EXPECT_EQ(back[12] | back[13] | back[14] | back[15], 0) << "beyond the file: zeros";
  memset(back, 0xFF, sizeof back);
  ASSERT_EQ(chan_ReadChannels(dev.win.c_str(), IO_AI, r, 0, 2, back, sizeof back, "noextra"), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(back), sizeof back), std::string(16, '\0')) << "missing: zeros";
}

TEST_F(ChannelFiles, AWriteTouchesTheConfigurationFoldersConfig) {
  const std::string server = config.linux + "/config";
  Age(server);
  std::vector<ChannelRecord> t = Table(1);
  ASSERT_EQ(chan_WriteChannels(nullptr, dev.win.c_str(), IO_AI, t.data(), 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_GT(MTime(server), 1000000000);
  EXPECT_EQ(cfgtest::Read(server), std::string(2, '\0')) << "its bytes stay";
}

TEST_F(ChannelFiles, HistoryLineNamesTheChannelNotThePosition) {
  cfgtest::Write(dev.linux + "/di", "");  // another kind's file: the prefix names the kind
  std::vector<ChannelRecord> t = Table(4);
  ASSERT_EQ(chan_RewriteChannels("tester", dev.win.c_str(), IO_AI, t.data(), 0, 4, nullptr, 0, nullptr), 0);
  cfg_SetHistoryEnabled(1);
  ChannelRecord third = t[2];
  third.a.Gain = 2.0f;
  HistoryClock clock;
  clock.Start();
  ASSERT_EQ(chan_WriteChannels("tester", dev.win.c_str(), IO_AI, &third, 2, 1, nullptr, 0, nullptr), 0);
  clock.Stop();
  std::vector<std::string> lines = Lines(cfgtest::Read(config.linux + "/recent_history.txt"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(clock.Matches(lines[0], "tester\ttnwll_1.AI.Channels.3.Gain 1 -> 2")) << lines[0];

  // Without a file of another kind; the same record again adds nothing.
  std::filesystem::remove(dev.linux + "/di");
  third.a.Offset = 0.5f;
  ASSERT_EQ(chan_WriteChannels("tester", dev.win.c_str(), IO_AI, &third, 2, 1, nullptr, 0, nullptr), 0);
  ASSERT_EQ(chan_WriteChannels("tester", dev.win.c_str(), IO_AI, &third, 2, 1, nullptr, 0, nullptr), 0);
  lines = Lines(cfgtest::Read(config.linux + "/recent_history.txt"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("\ttester\ttnwll_1.Channels.3.Offset 0 -> 0.5"), std::string::npos) << lines[1];
}

TEST_F(ChannelFiles, HistoryOfAChangeOfKindShowsTheKindAndWhatReallyChanged) {
  ChannelRecord old = Analogue(0);
  chan_SetTag(&old, "PUMP.ONE.STATE");
  chan_SetDescription(&old, "the first pump's state");
  ASSERT_EQ(chan_RewriteChannels("tester", dev.win.c_str(), IO_AI, &old, 0, 1, nullptr, 0, nullptr), 0);
  cfg_SetHistoryEnabled(1);
  ChannelRecord now;
  memset(&now, 0, sizeof now);
  now.raw[24] = IO_DI;
  chan_SetFlagBit(&now, CHAN_DF_ENABLE, true);
  chan_SetTag(&now, "PUMP.ONE.STATE");
  chan_SetDescription(&now, "the first pump's state");
  chan_PutText32(&now, CHAN_HIGH_STATE_TEXT_OFFSET, "running");
  ASSERT_EQ(chan_WriteChannels("tester", dev.win.c_str(), IO_AI, &now, 0, 1, nullptr, 0, nullptr), 0);
  std::vector<std::string> lines = Lines(cfgtest::Read(config.linux + "/recent_history.txt"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\ttnwll_1.Channels.1.Type AI -> DI"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\ttnwll_1.Channels.1.HighStateText  -> running"), std::string::npos) << lines[1];
}

TEST_F(ChannelFiles, NoHistoryWithTheSwitchOffOrWithoutAnOldCopy) {
  std::vector<ChannelRecord> t = Table(2);
  cfg_SetHistoryEnabled(1);
  ASSERT_EQ(chan_WriteChannels("tester", dev.win.c_str(), IO_AI, t.data(), 0, 2, nullptr, 0, nullptr), 0);
  cfg_SetHistoryEnabled(0);
  t[0].a.Gain = 9.0f;
  ASSERT_EQ(chan_WriteChannels("tester", dev.win.c_str(), IO_AI, t.data(), 0, 2, nullptr, 0, nullptr), 0);
  EXPECT_EQ(cfgtest::Read(config.linux + "/recent_history.txt"), "");
}

TEST_F(ChannelFiles, HistoryLinesOverTheLimitAreDropped) {
  ASSERT_EQ(cfg_OpenHistoryIn(dev.win.c_str(), 0), 1);
  std::string head = "9999/99/99\t99:99:99\tu\ttnwll_1.F  -> ";
  cfg_WriteHistoryLine("u", 0, "F", "", std::string(5000 - head.size() - 2, 'x').c_str());
  cfg_WriteHistoryLine("u", 0, "F", "", std::string(5000 - head.size() - 1, 'y').c_str());
  cfg_CloseHistory();
  std::vector<std::string> lines = Lines(cfgtest::Read(config.linux + "/recent_history.txt"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 4998u);
}

TEST_F(ChannelFiles, HistorySwitchIsTheConfigurationsOwnFirstRecordByte) {
  cfgtest::Cwd here(dev.linux);
  for (char flag : {'\1', '\0'}) {
    ASSERT_TRUE(cfgtest::Write(config.linux + "/config", std::string("\0", 1) + flag));
    cfg_ForgetHistorySwitch();
    EXPECT_EQ(cfg_HistoryEnabled(), flag ? 1 : 0);
    ASSERT_TRUE(cfgtest::Write(config.linux + "/config", std::string("\0\1", 2)));
    EXPECT_EQ(cfg_HistoryEnabled(), flag ? 1 : 0) << "worked out once";
  }
}
