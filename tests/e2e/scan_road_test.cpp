// The main road with the real programs: the server stand-in starts pumpsim
// and Tnwell_SC, scans, and reads what arrives in the areas, on "xalarms",
// on "derived" and at a logger process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/alarms/alm_alarms.h"
#include "framework/notify/ntf_notify.h"
#include "platform/os_handle.h"
#include "tools/scadasim/sim_world.h"
#include "tests/support/proc_stats.h"
#include "tests/support/sim_fixture.h"

using tnwtest::Until;

namespace {


using tnwtest::Hw;
using tnwtest::PutHw;

class ScanRoad : public ::testing::Test {
 protected:
  void TearDown() override {
    for (size_t i = 0; i < procs.size(); ++i) {
      if (sim_WaitExit(procs[i], 0) < 0) os_TerminateProcess(procs[i], 9);
      sim_WaitExit(procs[i], 5000);
      os_CloseHandle(procs[i]);
    }
    for (size_t i = 0; i < lines.size(); ++i) sim_StopPumpSim(lines[i], linePids[i], 5000);
    ntf_Stop();
    sim_DestroyWorld();
  }
  void StartLine(int device, const std::vector<std::string> &args) {
    uint32_t pid = 0;
    OsHandle h = sim_StartPumpSim(device, args, &pid);
    ASSERT_NE(h, nullptr);
    lines.push_back(h);
    linePids.push_back(pid);
  }
  uint32_t StartScanner(int device) {
    uint32_t pid = 0;
    OsHandle h = sim_StartScanner(device, "", &pid);
    EXPECT_NE(h, nullptr);
    procs.push_back(h);
    EXPECT_TRUE(sim_WaitRunning(device, h, 10000));
    return pid;
  }
  std::vector<OsHandle> procs, lines;
  std::vector<uint32_t> linePids;
};

}  // namespace

TEST_F(ScanRoad, ValuesAlarmsEventsAndDerivedNoticesReachTheServer) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = 4;
  d.channels[IO_DI] = 3;
  d.channelSetup = [](int t, int i, ChannelRecord *r) {
    static const Hw ai[4] = {{1, 18}, {3, 1}, {3, 22}, {3, 15}};
    static const Hw di[3] = {{1, 1}, {3, 6}, {3, 16}};
    if (t == IO_AI) PutHw(r, t, ai[i]);
    if (t != IO_DI) return;
    PutHw(r, t, di[i]);
    if (i == 0) {  // STATUS, always 1: an alarm and an event from the first pass
      for (int bit : {CHAN_DF_ALARM_ENABLE, CHAN_DF_ALARM_STATE, CHAN_DF_EVENT_ENABLE, CHAN_DF_EVENT_STATE})
        chan_SetFlagBit(r, bit, true);
      r->d.AlarmPriority = 5;
    }
  };
  w.processors = {{"ALARM", "Alarms", "", 0, 1, 0, 0}, {"DERIVED", "Derived", "", 0, 1, 0, 0}};
  w.loggers = {"L1"};
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  ASSERT_EQ(sim_OpenServerSlots(&why), 0) << why;
  ASSERT_EQ(sim_StartLogger(0, nullptr), 0);
  ASSERT_TRUE(sim_Subscribe("D1", 1, 1));
  ASSERT_TRUE(sim_Subscribe("D1", 0, 1));
  StartLine(0, {"--fault", "3:CYL1_RUNNING=error:7"});
  uint32_t pid = StartScanner(0);
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0; }, 15000));

  // The initialising pass raised the alarm and counted the event.
  ASSERT_TRUE(sim_WaitAlarms(1, 10000));
  ASSERT_TRUE(sim_WaitLoggerCodes(0, 1, 10000));
  ASSERT_TRUE(sim_WaitDerived(1, 10000));
  std::vector<AlarmMessage> alarms = sim_TakeAlarms();
  ASSERT_EQ(alarms.size(), 1u);
  EXPECT_EQ(memcmp(alarms[0].code, "D1", 2), 0);
  EXPECT_EQ(alarms[0].channel, 1);
  EXPECT_EQ(alarms[0].flags, ALM_FLAG_HIGH | (5u << ALM_PRIORITY_SHIFT));
  EXPECT_EQ(sim_DescribeAlarm(alarms[0]).rfind("alarm raised", 0), 0u) << sim_DescribeAlarm(alarms[0]);
  EXPECT_EQ(sim_TakeDerived(), (std::vector<std::string>{"D1"}));

  ASSERT_TRUE(sim_Watch("A1", 1));
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_EQ(sim_Post(pid, NTF_SCAN), 0);
    ASSERT_TRUE(sim_WaitForChange("A1", 1, 10000)) << pass;
  }
  std::vector<SimChannel> ai = sim_ReadChannels("A1"), di = sim_ReadChannels("D1");
  ASSERT_EQ(ai.size(), 4u);
  for (const SimChannel &c : ai) EXPECT_EQ(c.status & CST_BAD, 0u) << c.tag;
  EXPECT_FLOAT_EQ(ai[2].value, 4.12f);                   // CONTR_VER by a single query
  EXPECT_FLOAT_EQ(ai[3].value, 150.0f + 30 + 50);        // CYL2 SAFETY PRESS of pump 3 from SETPOINT_ALL
  EXPECT_EQ(di[0].status & (CST_VALUE | CST_ALARM | CST_EVENT | CST_BAD), CST_VALUE | CST_ALARM | CST_EVENT);
  EXPECT_TRUE(di[1].status & CST_BAD);                   // status 7 to its query
  EXPECT_EQ(di[2].status & (CST_VALUE | CST_BAD), CST_VALUE);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Tarnwell Error #007");
  // Unchanged states sent nothing more.
  EXPECT_TRUE(sim_TakeAlarms().empty());
  EXPECT_EQ(sim_LoggerCodes(0), (std::vector<int32_t>{200001}));
  EXPECT_TRUE(sim_TakeDerived().empty());

  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  EXPECT_EQ(sim_WaitExit(procs[0], 10000), 0);
}

TEST_F(ScanRoad, OutputAndCounterAreasNeverInitialise) {
  SimWorldSpec w;
  w.devices.resize(2);
  w.devices[1].instance = 2;
  w.devices[1].statusName = "TNWELL2";
  w.devices[1].folder = "TNWELL2";
  w.devices[0].codes[IO_DO] = "Q1";
  w.devices[0].channels[IO_DO] = 2;
  w.devices[1].codes[IO_AI] = "A2";
  w.devices[1].codes[IO_DI] = "D2";
  w.devices[1].codes[IO_CI] = "C2";
  w.devices[1].channels[IO_CI] = 2;
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  StartLine(0, {});
  StartLine(1, {});
  uint32_t pids[2] = {StartScanner(0), StartScanner(1)};
  for (const char *status : {"TNWELL1", "TNWELL2"})
    EXPECT_TRUE(Until([&] { return sim_StatusText(status) == "CAN'T INITIALISE DEVICE -0050"; }, 10000)) << status;
  os_Sleep(1500);  // retried every second: both live on, busy
  for (int i = 0; i < 2; ++i) {
    EXPECT_LT(sim_WaitExit(procs[i], 0), 0);
    EXPECT_EQ(sim_Device(i)->Busy, 1);
    ASSERT_EQ(sim_Post(pids[i], NTF_STOP), 0);
  }
  for (int i = 0; i < 2; ++i) EXPECT_EQ(sim_WaitExit(procs[i], 10000), 0);
}
