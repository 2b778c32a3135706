// A `scadasim logger` playing logger 2 of a world of two keeps logger 2's
// status channels in the world's "LS" area while it logs: each append
// counted, the activity from start to stop, the last write, its folder and
// prefix; logger 1's rows stay as the world made them, and `scadasim watch`
// shows the logger's line. In an area without rows for logger 2 the logger
// says so and logs on, writing nothing into the area.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "plugin/loggers/log_status.h"
#include "tests/support/child_run.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

// Channel n (from 1) of logger k's rows (row from 1).
size_t Row(int logger, int row) { return static_cast<size_t>((logger - 1) * 32 + row - 1); }

std::string HighText(int logger, int row) {
  void *conf = sim_Area("LS", SHM_AREA_CONF);
  if (!conf) return "";
  const ChannelRecord *r = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(conf)) + Row(logger, row);
  char t[CHAN_TEXT_SIZE + 1];
  chan_GetText32(r, CHAN_HIGH_STATE_TEXT_OFFSET, t);
  return t;
}

class LoggerStatus : public ::testing::Test {
 protected:
  void Build(uint16_t statusChannels) {
    SimWorldSpec w;
    w.loggers = {"A", "B"};
    SimProcessorSpec p;
    p.name = "logst";
    p.text = "Logger status channels";
    p.code = "LS";
    p.kind = SIM_LOGGER_STATUS_KIND;
    w.processors.push_back(p);
    if (statusChannels) w.processorAreas.push_back({"LS", statusChannels, {}});
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  }
  void TearDown() override {
    if (logger > 0) kill(logger, SIGKILL), tnwtest::WaitChild(logger, 5000);
    sim_DestroyWorld();
  }
  // Starts the logger of B and waits until it has its run and its mailslot.
  void StartLogger() {
    folder = tnwtest::MakeTempDir("logger_status");
    out = tnwtest::MakeTempDir("logger_status_out") + "/logger.txt";
    logger = tnwtest::Launch(
        {tnwtest::BinPath("scadasim"), "logger", "--runs", folder, "--prefix", "B_", "--logger", "B"},
        tnwtest::Root(), out);
    ASSERT_TRUE(tnwtest::WaitForText(out, "(^|\n)created .*\n", 10000)) << tnwtest::ReadAll(out);
    std::string slot = tnwtest::Root() + "/kernel/mailslot/dm_" + std::to_string(logger) + ".slt";
    ASSERT_TRUE(Until([&] { return access(slot.c_str(), F_OK) == 0; }, 5000));
  }
  // n logger codes, each appended ("wrote k").
  void Append(uint32_t from, uint32_t n) {
    for (uint32_t k = from; k < from + n; ++k) {
      ASSERT_EQ(sim_Post(static_cast<uint32_t>(logger), 200000), 0);
      ASSERT_TRUE(tnwtest::WaitForText(out, "\nwrote " + std::to_string(k) + "\n", 5000)) << tnwtest::ReadAll(out);
    }
  }
  int Stop() {
    if (sim_Post(static_cast<uint32_t>(logger), NTF_STOP) != 0) return -1;
    int status = tnwtest::WaitChild(logger, 10000);
    logger = -1;
    return status;
  }
  pid_t logger = -1;
  std::string folder, out;
};

}  // namespace

TEST_F(LoggerStatus, TheFeedOfLogger2SeenByScadasim) {
  Build(0);
  const std::vector<SimChannel> initial = sim_ReadChannels("LS");
  ASSERT_EQ(initial.size(), 64u);
  StartLogger();
  Append(1, 3);

  std::vector<SimChannel> ls = sim_ReadChannels("LS");
  ASSERT_EQ(ls.size(), 64u);
  EXPECT_EQ(ls[Row(2, 1)].tag, "0002_STATUS");
  EXPECT_EQ(ls[Row(2, 1)].status, uint32_t{CST_VALUE}) << "logger B is enabled in the table";
  EXPECT_EQ(ls[Row(2, 16)].tag, "0002_NO WRITES");
  EXPECT_EQ(ls[Row(2, 16)].value, 3.0f);
  EXPECT_EQ(ls[Row(2, 20)].value, 3.0f) << "the newest record's number";
  const float bytes = ls[Row(2, 17)].value;
  EXPECT_GT(bytes, 0.0f);
  EXPECT_EQ(static_cast<int>(bytes) % 3, 0) << "three appends of one record size";
  EXPECT_EQ(ls[Row(2, 13)].status, uint32_t{CST_ANALOGUE}) << "a last write is known";
  EXPECT_EQ(HighText(2, 10), "Logging");
  EXPECT_EQ(HighText(2, 8), "B_");
  const std::string last = folder.substr(folder.rfind('/') + 1);
  bool level = false;
  for (int row = 2; row <= 6; ++row) level = level || HighText(2, row) == last.substr(0, 31);
  EXPECT_TRUE(level) << "the run folder " << last << " among the folder rows";
  // Logger A's rows: as the world made them.
  for (int row = 1; row <= 32; ++row) {
    EXPECT_EQ(ls[Row(1, row)].tag, "") << row;
    EXPECT_EQ(ls[Row(1, row)].status, initial[Row(1, row)].status) << row;
  }

  // The live view of the world in force shows B's line.
  tnwtest::ShellResult watch = tnwtest::ShellRun("PLATFORM_ROOT='" + tnwtest::Root() + "' '" +
                                                 tnwtest::BinPath("scadasim") + "' watch --seconds 1 --plain");
  EXPECT_EQ(watch.status, 0) << watch.out;
  EXPECT_NE(watch.out.find("  LS.33  B               Logging, 3 writes, "), std::string::npos) << watch.out;
  EXPECT_NE(watch.out.find("  LS.1   A               no status yet"), std::string::npos) << watch.out;

  Append(4, 2);
  EXPECT_EQ(Stop(), 0);
  ls = sim_ReadChannels("LS");
  EXPECT_EQ(ls[Row(2, 16)].value, 5.0f);
  EXPECT_EQ(ls[Row(2, 17)].value, bytes / 3 * 5);
  EXPECT_EQ(HighText(2, 10), "Finished Successfully");
}

TEST_F(LoggerStatus, AnAreaWithoutRowsForTheLoggerIsLeftAlone) {
  Build(48);  // room for logger 1 and half of logger 2
  const std::vector<SimChannel> initial = sim_ReadChannels("LS");
  ASSERT_EQ(initial.size(), 48u);
  StartLogger();
  EXPECT_NE(tnwtest::ReadAll(out).find("no status channels for logger 2 (B)"), std::string::npos)
      << tnwtest::ReadAll(out);
  Append(1, 2);
  EXPECT_EQ(Stop(), 0);
  const std::vector<SimChannel> after = sim_ReadChannels("LS");
  ASSERT_EQ(after.size(), initial.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].tag, "") << i;
    EXPECT_EQ(after[i].status, initial[i].status) << i;
    EXPECT_EQ(after[i].value, initial[i].value) << i;
  }
}
