// Saved values and communication statistics with the real scanner against
// pumpsim: zero offsets and outputs across a restart, statistics rows of a pass.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "framework/writers/shm_writers.h"
#include "framework/values/sav_values.h"
#include "platform/os_env.h"
#include "platform/os_handle.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"
#include "tests/support/proc_stats.h"

using tnwtest::Until;

namespace {


void Bind(ChannelRecord *r, int t, uint32_t pump, uint32_t value) {
  int at = t == IO_DI ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  memcpy(r->raw + at, &pump, 4);
  memcpy(r->raw + at + 4, &value, 4);
}

class SavedAndStats : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = tnwtest::Root() + "/drives/c/SAVED";
    std::filesystem::create_directories(saved);
    os_SetEnvironmentVariable("TSQ_SAVED_VALUES", "C:\\SAVED");
  }
  void TearDown() override {
    StopScanner();
    if (line) sim_StopPumpSim(line, linePid, 5000);
    ntf_Stop();
    sim_DestroyWorld();
  }
  void Build(const SimWorldSpec &w) {
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    line = sim_StartPumpSim(0, {}, &linePid);
    ASSERT_NE(line, nullptr);
  }
  // Starts the scanner; with `ready` it waits for the end of the first
  // initialisation (the next-scan time is set after its pass).
  void StartScanner(bool ready = true) {
    DeviceRecord *r = sim_Device(0);
    r->NextScanDue = TimeStamp{};
    proc = sim_StartScanner(0, "", &pid);
    ASSERT_NE(proc, nullptr);
    ASSERT_TRUE(sim_WaitRunning(0, proc, 10000));
    if (ready) {
      ASSERT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0 && r->NextScanDue.seconds != 0; }, 15000));
    }
  }
  void StopScanner() {
    if (!proc) return;
    sim_Post(pid, NTF_STOP);
    if (sim_WaitExit(proc, 10000) < 0) os_TerminateProcess(proc, 9);
    sim_WaitExit(proc, 5000);
    os_CloseHandle(proc);
    proc = nullptr;
  }
  void Scan(const std::string &watched) {
    ASSERT_EQ(sim_Post(pid, NTF_SCAN), 0);
    ASSERT_TRUE(sim_WaitForChange(watched, 1, 10000));
  }
  std::string saved;
  OsHandle proc = nullptr, line = nullptr;
  uint32_t pid = 0, linePid = 0;
};

}  // namespace

TEST_F(SavedAndStats, ZeroOffsetsSurviveARestart) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = 2;
  d.channels[IO_DI] = 1;
  d.channelSetup = [](int t, int i, ChannelRecord *r) {
    if (t == IO_DI) Bind(r, t, 1, 1);
    if (t != IO_AI) return;
    Bind(r, t, 1, i == 0 ? 10 : 17);  // CYL1 SET RATE (6) and CYL2 MODE (1): steady values
    if (i == 0) chan_SetFlagBit(r, CHAN_AF_REFERENCE_ENABLE, true);
  };
  Build(w);
  StartScanner();
  ASSERT_TRUE(sim_Watch("A1", 1));
  Scan("A1");
  std::vector<SimChannel> ai = sim_ReadChannels("A1");
  ASSERT_EQ(ai.size(), 2u);
  EXPECT_FLOAT_EQ(ai[0].value, 6.0f);
  // Initialise values: the reference channel's value becomes its zero offset.
  ASSERT_EQ(sim_Post(pid, NTF_INITIALISE_VALUES), 0);
  const std::string bin = saved + "/TNWELL1_ai.bin";
  ASSERT_TRUE(Until([&] { return tnwtest::ReadFile(bin).size() == 32; }, 10000));
  std::string file = tnwtest::ReadFile(bin);
  float offset = 0, other = -1;
  memcpy(&offset, file.data() + 12, 4);
  memcpy(&other, file.data() + 28, 4);
  EXPECT_FLOAT_EQ(offset, 6.0f);
  EXPECT_FLOAT_EQ(other, 0.0f) << "no reference, no offset";
  EXPECT_EQ(file.substr(0, 5), "AI001");
  ASSERT_TRUE(Until([&] { return sim_ReadChannels("A1")[0].value == 0.0f; }, 10000));

  // A new scanner process reads the offset back.
  StopScanner();
  StartScanner();
  Scan("A1");
  ai = sim_ReadChannels("A1");
  EXPECT_FLOAT_EQ(ai[0].value, 0.0f) << "6 less the saved offset of 6";
  EXPECT_FLOAT_EQ(ai[1].value, 1.0f);
}

TEST_F(SavedAndStats, OutputsAreRestoredByTagAtEachStart) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.codes[IO_AO] = "O1";
  d.codes[IO_DO] = "O2";
  d.channels[IO_AO] = 3;
  d.channels[IO_DO] = 3;
  d.saveOutputs = 1;
  d.saveByTag = 1;
  d.saveRate = 1000;
  Build(w);
  // What an earlier configuration saved, in another channel order.
  std::vector<ChannelRecord> ao(3), dout(3);
  const char *aoTags[] = {"AO003", "AO001", "GONE"}, *doTags[] = {"DO002", "DO003", "DO001"};
  for (int i = 0; i < 3; ++i) {
    memset(&ao[i], 0, sizeof ao[i]);
    memset(&dout[i], 0, sizeof dout[i]);
    ao[i].raw[CHAN_TYPE_OFFSET] = IO_AO;
    dout[i].raw[CHAN_TYPE_OFFSET] = IO_DO;
    chan_SetFlagBit(&ao[i], CHAN_FLAG_ENABLE, true);
    chan_SetFlagBit(&dout[i], CHAN_FLAG_ENABLE, true);
    chan_SetTag(&ao[i], aoTags[i]);
    chan_SetTag(&dout[i], doTags[i]);
  }
  const float aoValues[] = {33.5f, 11.25f, 99.0f};
  const uint32_t doValues[] = {1, 0, 0xFFFFFFFF};
  ASSERT_EQ(sav_WriteValues("TNWELL1", IO_AO, aoValues, ao.data(), 3), 0);
  ASSERT_EQ(sav_WriteValues("TNWELL1", IO_DO, doValues, dout.data(), 3), 0);
  for (int round = 0; round < 2; ++round) {
    // This device never initialises (no output handlers), but its outputs
    // are in place from the configuration load on.
    StartScanner(false);
    DeviceRecord *r = sim_Device(0);
    ASSERT_TRUE(Until([&] { return r->Ready == 1; }, 15000)) << round;
    std::vector<SimChannel> a = sim_ReadChannels("O1"), o = sim_ReadChannels("O2");
    ASSERT_EQ(a.size(), 3u);
    EXPECT_FLOAT_EQ(a[0].value, 11.25f) << round;
    EXPECT_FLOAT_EQ(a[1].value, 0.0f) << "no saved value";
    EXPECT_FLOAT_EQ(a[2].value, 33.5f);
    EXPECT_EQ(o[0].status & 1u, 1u) << "only bit 0 of the saved word";
    EXPECT_EQ(o[0].status, 1u);
    EXPECT_EQ(o[1].status, 1u);
    EXPECT_EQ(o[2].status, 0u);
    StopScanner();
  }
}

TEST_F(SavedAndStats, StatisticsRowsOfAPass) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = 2;
  d.channels[IO_DI] = 2;
  d.statsCode = "S1";
  d.statsChannels = 90;  // the line and pumps 1-8
  d.channelSetup = [](int t, int i, ChannelRecord *r) {
    if (t == IO_AI) Bind(r, t, i == 0 ? 1 : 3, 22);  // CONTR_VER of pumps 1 and 3
    if (t == IO_DI) Bind(r, t, i == 0 ? 1 : 3, 1);   // STATUS of pumps 1 and 3
  };
  Build(w);
  StartScanner();
  std::vector<SimChannel> s = sim_ReadChannels("S1");
  ASSERT_EQ(s.size(), 90u);
  EXPECT_EQ(s[0].tag, "TNWELL_1_ST");
  EXPECT_EQ(s[37].tag, "TNWEL_1_003_TB");
  EXPECT_EQ(s[37].units, "BYTES");
  auto value = [](const std::vector<SimChannel> &c, int row, int slot) { return c[row * 10 + slot - 1].value; };
  // The initialising pass has counted already; each pass sends the same bytes.
  s = sim_ReadChannels("S1");
  const float tb1 = value(s, 1, 8), tb3 = value(s, 3, 8);
  EXPECT_GT(tb1, 0.0f);
  EXPECT_GT(tb3, 0.0f);
  EXPECT_EQ(value(s, 2, 8), 0.0f) << "no traffic to pump 2";
  EXPECT_EQ(value(s, 0, 8), tb1 + tb3) << "the line's row holds both units";
  EXPECT_EQ(value(s, 0, 9), value(s, 1, 9) + value(s, 3, 9));
  EXPECT_GT(value(s, 0, 3), 0.0f) << "received bytes";
  EXPECT_GT(value(s, 0, 4), 0.0f) << "received packets";
  EXPECT_EQ(s[10].status & 1u, 1u) << "row 1 counted";
  EXPECT_EQ(s[20].status & 1u, 0u) << "row 2 did not";

  // Analogue inputs are evaluated last: their notice ends the pass.
  ASSERT_TRUE(sim_Watch("A1", 1));
  Scan("A1");
  s = sim_ReadChannels("S1");
  EXPECT_EQ(value(s, 3, 8), 2 * tb3);
  // A client resets row 3: the next publication zeroes it, then it counts one pass.
  const uint32_t one = 1;
  ASSERT_EQ(shm_WriteDigital("S1", 32, 32, &one), 0);
  ASSERT_EQ(sim_ReadChannels("S1")[31].status & 1u, 1u);
  Scan("A1");
  s = sim_ReadChannels("S1");
  EXPECT_EQ(value(s, 3, 8), tb3);
  EXPECT_EQ(s[31].status & 1u, 0u) << "the reset channel is back to 0";
  EXPECT_EQ(value(s, 1, 8), 3 * tb1);
  EXPECT_EQ(value(s, 0, 8), 3 * (tb1 + tb3)) << "the line's row is not reset";

  // At the stop every row's status goes to 0.
  StopScanner();
  s = sim_ReadChannels("S1");
  EXPECT_EQ(s[0].status & 1u, 0u);
  EXPECT_EQ(s[10].status & 1u, 0u);
}
