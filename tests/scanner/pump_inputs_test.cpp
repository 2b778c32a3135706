// The input handlers against pumpsim: the commands in its log, the values
// and status words they give, and the driver status they leave.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_path.h"
#include "tests/scanner/scan_fixture.h"
#include "tools/pumpsim/psim.h"

using scantest::ChannelSpec;
using scantest::ScanWorld;

namespace {

using Commands = std::vector<std::string>;

struct Line {
  explicit Line(const std::vector<PsimFault> &faults = {}) {
    PsimConfig c;
    c.faults = faults;
    std::string why;
    sim = psim_Start(c, &why);
    EXPECT_NE(sim, nullptr) << why;
  }
  ~Line() { psim_Stop(sim); }
  Commands Take() {
    Commands c = psim_Commands(sim);
    psim_ClearCommands(sim);
    return c;
  }
  PumpSim *sim;
};

ChannelSpec At(uint32_t pump, uint32_t value) { return ChannelSpec{pump, value, nullptr}; }

bool Bad(uint32_t w) { return (w & CST_BAD) != 0; }

}  // namespace

TEST(PumpInputs, BulkRepliesOfThePumpsWithAnalogueChannelsComeFirst) {
  Line line;
  ScanWorld w;
  ASSERT_TRUE(w.Build({At(5, 10), At(2, 1), At(2, 24), At(5, 72), At(0, 3) /* no pump: takes no part */},
                      {At(1, 1), At(3, 6), At(3, 0) /* no value */, At(1, 2)}));
  ASSERT_TRUE(w.Initialise());
  line.Take();
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_EQ(line.Take(), (Commands{"RP2PRV_ALL", "RP2SETPOINT_ALL", "RP5PRV_ALL", "RP5SETPOINT_ALL", "RP1STATUS",
                                   "RP3CYL1_RUNNING", "RP1CYL1_ERROR", "RP2DSSIP34_VER", "RP5AUX_AD32"}));
  const uint32_t *ai = ScanWorld::Words("A1");
  const float *v = ScanWorld::Values("A1");
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(Bad(ai[i])) << i;
  EXPECT_TRUE(Bad(ai[4]));
  EXPECT_FLOAT_EQ(v[0], 5.0f + 5);     // CYL1 SET RATE of pump 5
  EXPECT_GT(v[1], 10.0f);             // CYL1 PRESS of pump 2
  EXPECT_FLOAT_EQ(v[2], 2.05f);       // DSSIP34 version
  EXPECT_GE(v[3], 0.0f);              // AUX AD32 moves between 0 and 10
  EXPECT_LE(v[3], 10.0f);
  const uint32_t *di = ScanWorld::Words("D1");
  EXPECT_EQ(di[0] & (CST_VALUE | CST_BAD), CST_VALUE);  // "000,1": STATUS
  EXPECT_EQ(di[3] & (CST_VALUE | CST_BAD), 0u);         // "000,0": no cylinder error
  EXPECT_TRUE(Bad(di[2]));
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
}

TEST(PumpInputs, ABulkTimeOutFailsTheDigitalPass) {
  Line line;
  ScanWorld w;
  ASSERT_TRUE(w.Build({At(2, 1), At(2, 12), At(2, 18), At(5, 3)}, {At(1, 1)}));
  ASSERT_TRUE(w.Initialise());
  ASSERT_EQ(scan_ScanDevice(0), 0);
  ScanTypeBuffers &ai = g_scan.type[IO_AI], &di = g_scan.type[IO_DI];
  for (int i = 0; i < 4; ++i) ASSERT_FALSE(Bad(ai.workStatus[i])) << i;

  psim_SetFaults(line.sim, {PsimFault{2, "PRV_ALL", PSIM_FAULT_SILENCE, 0, 100}});
  line.Take();
  errno = 0;
  EXPECT_EQ(pump_ReadDigitalInputs(g_scan.config, g_scan.limit[IO_DI], di.table, di.workStatus, nullptr), -1);
  EXPECT_EQ(errno, OS_ERROR_TIMEOUT);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Timeout Error");
  // The single queries still go after the failed bulk phase.
  EXPECT_EQ(line.Take(), (Commands{"RP2PRV_ALL", "RP2SETPOINT_ALL", "RP5PRV_ALL", "RP5SETPOINT_ALL", "RP1STATUS"}));
  EXPECT_EQ(pump_ReadAnalogInputs(g_scan.config, g_scan.limit[IO_AI], ai.table, ai.workStatus, ai.workValues), 0);
  EXPECT_TRUE(Bad(ai.workStatus[0]));    // from the PRV_ALL reply that never came
  EXPECT_FALSE(Bad(ai.workStatus[1]));   // SETPOINT_ALL answered
  EXPECT_FALSE(Bad(ai.workStatus[2]));   // a single query
  EXPECT_FALSE(Bad(ai.workStatus[3]));   // another pump
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Timeout Error");
  EXPECT_EQ(line.Take(), (Commands{"RP2CYL1_POS"}));
  // In a scan pass the failure ends it before the analogue type.
  EXPECT_EQ(scan_ScanDevice(0), -1);
  EXPECT_EQ(line.Take().back(), "RP1STATUS");
}

// A stop asked for during a pass sends no further command: the pass ends
// with the exchange under way, however many are left.
TEST(PumpInputs, AStopEndsThePassAfterTheExchangeUnderWay) {
  Line line({PsimFault{2, "PRV_ALL", PSIM_FAULT_SILENCE, 0, 100}});
  ScanWorld w;
  ASSERT_TRUE(w.Build({At(2, 1), At(5, 3), At(5, 20)}, {At(1, 1), At(3, 6)}));
  ASSERT_TRUE(w.Initialise());
  line.Take();
  ScanTypeBuffers &ai = g_scan.type[IO_AI], &di = g_scan.type[IO_DI];
  std::thread stop([] {
    os_Sleep(200);  // while PRV_ALL of pump 2 waits out its silence
    g_scan.run = 0;
  });
  uint32_t t0 = os_GetTickCount();
  pump_ReadDigitalInputs(g_scan.config, g_scan.limit[IO_DI], di.table, di.workStatus, nullptr);
  pump_ReadAnalogInputs(g_scan.config, g_scan.limit[IO_AI], ai.table, ai.workStatus, ai.workValues);
  uint32_t spent = os_GetTickCount() - t0;
  stop.join();
  g_scan.run = 1;
  // The pump's second bulk command belongs to the exchange pair under way.
  EXPECT_EQ(line.Take(), (Commands{"RP2PRV_ALL", "RP2SETPOINT_ALL"}));
  EXPECT_LT(spent, 1500u);
}

TEST(PumpInputs, APumpErrorMarksTheChannelAndLeavesItsNumber) {
  Line line({PsimFault{1, "CYL1_RUNNING", PSIM_FAULT_ERROR, 7, 100}});
  ScanWorld w;
  ASSERT_TRUE(w.Build({At(1, 18)}, {At(1, 1), At(1, 6), At(1, 7)}));
  ASSERT_TRUE(w.Initialise());
  ASSERT_EQ(scan_ScanDevice(0), 0);  // a pump's error number fails no pass
  const uint32_t *di = ScanWorld::Words("D1");
  EXPECT_FALSE(Bad(di[0]));
  EXPECT_TRUE(Bad(di[1]));
  EXPECT_FALSE(Bad(di[2]));
  EXPECT_FALSE(Bad(ScanWorld::Words("A1")[0]));
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Tarnwell Error #007");
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Tarnwell Error #007");
  // A clean pass clears it.
  psim_SetFaults(line.sim, {});
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_FALSE(Bad(di[1]));
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  // An analogue single query's error number shows the same way.
  psim_SetFaults(line.sim, {PsimFault{1, "CYL1_POS", PSIM_FAULT_ERROR, 12, 100}});
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_TRUE(Bad(ScanWorld::Words("A1")[0]));
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Tarnwell Error #012");
}

// Noise ending in a carriage return is no reply with status 0: it used to
// publish its "value" as a good one.
TEST(PumpInputs, NoiseOnTheLineIsACommsErrorAndNeverAValue) {
  Line line({PsimFault{2, "PRV_ALL", PSIM_FAULT_GARBAGE, 0, 100}});
  ScanWorld w;
  ASSERT_TRUE(w.Build({At(2, 9), At(1, 22)}, {At(1, 1)}));
  ASSERT_TRUE(w.Initialise());
  ScanTypeBuffers &ai = g_scan.type[IO_AI], &di = g_scan.type[IO_DI];
  errno = 0;
  EXPECT_EQ(pump_ReadDigitalInputs(g_scan.config, g_scan.limit[IO_DI], di.table, di.workStatus, nullptr), -1);
  EXPECT_EQ(errno, OS_ERROR_READ_FAULT);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Comms Error");
  ai.workValues[0] = -7.0f;
  EXPECT_EQ(pump_ReadAnalogInputs(g_scan.config, g_scan.limit[IO_AI], ai.table, ai.workStatus, ai.workValues), 0);
  EXPECT_TRUE(Bad(ai.workStatus[0]));
  EXPECT_EQ(ai.workValues[0], -7.0f) << "nothing taken from the noise";
  EXPECT_EQ(scan_ScanDevice(0), -1);

  // On a single analogue query: the channel is bad, the pass goes on.
  psim_SetFaults(line.sim, {PsimFault{1, "CONTR_VER", PSIM_FAULT_GARBAGE, 0, 100}});
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_FALSE(Bad(ScanWorld::Words("A1")[0]));
  EXPECT_TRUE(Bad(ScanWorld::Words("A1")[1]));
  EXPECT_FALSE(Bad(ScanWorld::Words("D1")[0]));
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Comms Error");
}

TEST(PumpInputs, AnalogueTimeOutsNeverFailThePass) {
  Line line({PsimFault{3, "CYL2_POS", PSIM_FAULT_SILENCE, 0, 100}});
  ScanWorld w;
  ASSERT_TRUE(w.Build({At(3, 19), At(3, 2)}, {At(3, 1)}));
  ASSERT_TRUE(w.Initialise());
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_TRUE(Bad(ScanWorld::Words("A1")[0]));
  EXPECT_FALSE(Bad(ScanWorld::Words("A1")[1]));
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Timeout Error");
}

TEST(PumpInputs, WithoutDigitalInputsTheAnalogueHandlerPollsTheBulkValues) {
  Line line;
  ScanWorld w;
  ASSERT_TRUE(w.Build({At(4, 3), At(4, 17)}, {}));
  ASSERT_TRUE(w.Initialise());
  line.Take();
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_EQ(line.Take(), (Commands{"RP4PRV_ALL", "RP4SETPOINT_ALL"}));
  EXPECT_FALSE(Bad(ScanWorld::Words("A1")[0]));
  EXPECT_FLOAT_EQ(ScanWorld::Values("A1")[1], 1.0f);  // CYL2 MODE

  // A failed bulk phase shows in the status as after the digital handler's.
  struct Case {
    PsimFaultKind fault;
    const char *status;
  } cases[] = {{PSIM_FAULT_SILENCE, "Timeout Error"}, {PSIM_FAULT_GARBAGE, "Comms Error"}};
  for (const Case &c : cases) {
    psim_SetFaults(line.sim, {PsimFault{4, "PRV_ALL", c.fault, 0, 100}});
    ASSERT_EQ(scan_ScanDevice(0), 0) << c.status;  // analogue failures fail no pass
    EXPECT_TRUE(Bad(ScanWorld::Words("A1")[0])) << c.status;
    EXPECT_FALSE(Bad(ScanWorld::Words("A1")[1])) << c.status;
    EXPECT_EQ(sim_StatusText("TNWELL1"), c.status);
    psim_SetFaults(line.sim, {});
    ASSERT_EQ(scan_ScanDevice(0), 0);
    EXPECT_FALSE(Bad(ScanWorld::Words("A1")[0])) << c.status;
    EXPECT_EQ(sim_StatusText("TNWELL1"), "") << c.status;
  }
}

TEST(PumpInputs, OutputAndCounterHandlersRefuse) {
  for (int t : {IO_AO, IO_DO, IO_CI}) {
    errno = 0;
    EXPECT_EQ(InitHandlerTable[t](nullptr, 0, nullptr), -1) << t;
    EXPECT_EQ(errno, OS_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(ReadHandlerTable[t](nullptr, 0, nullptr, nullptr, nullptr), -1) << t;
  }
  EXPECT_EQ(pump_ResetCounters(nullptr, 0, nullptr), -1);
  EXPECT_EQ(InitHandlerTable[IO_AI], pump_InitAnalogInputs);
  EXPECT_EQ(ReadHandlerTable[IO_DI], pump_ReadDigitalInputs);
}

namespace {

// A line that answers each command from a table: for replies pumpsim never gives.
class ScriptedLine {
 public:
  explicit ScriptedLine(std::map<std::string, std::string> replies) : replies_(std::move(replies)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master_);
    unlockpt(master_);
    char name[128];
    ptsname_r(master_, name, sizeof name);
    slave_ = open(name, O_RDWR | O_NOCTTY);
    struct termios t;
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    link_ = std::string(os_Root()) + "/dev/COM1";
    std::filesystem::create_directories(std::string(os_Root()) + "/dev");
    std::filesystem::create_symlink(name, link_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedLine() {
    stop_ = true;
    thread_.join();
    std::filesystem::remove(link_);
    close(slave_);
    close(master_);
  }

 private:
  void Serve() {
    std::string command;
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
      char c;
      if (read(master_, &c, 1) != 1) continue;
      if (c != '\r') {
        command += c;
        continue;
      }
      auto it = replies_.find(command);
      command.clear();
      if (it != replies_.end()) [[maybe_unused]] ssize_t n = write(master_, it->second.data(), it->second.size());
    }
  }
  std::map<std::string, std::string> replies_;
  int master_ = -1, slave_ = -1;
  std::string link_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace

TEST(PumpInputs, ADigitalValueIsAnyNonzeroNumber) {
  ScriptedLine line({{"RP1STATUS", "000,5\r"}, {"RP1CYL1_ERROR", "000,0\r"}, {"RP1CYL2_ERROR", "000\r"}});
  ScanWorld w;
  ASSERT_TRUE(w.Build({}, {At(1, 1), At(1, 2), At(1, 3)}));
  ASSERT_TRUE(w.Initialise());
  ASSERT_EQ(scan_ScanDevice(0), 0);
  const uint32_t *di = ScanWorld::Words("D1");
  EXPECT_EQ(di[0] & (CST_VALUE | CST_BAD), CST_VALUE);
  EXPECT_EQ(di[1] & (CST_VALUE | CST_BAD), 0u);
  EXPECT_EQ(di[2] & (CST_VALUE | CST_BAD), 0u);  // a good status without a field: 0
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
}
