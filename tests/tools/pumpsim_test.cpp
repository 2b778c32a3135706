// pumpsim, the library and the program, seen from the far end of its line.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/os_handle.h"
#include "scanner/pump_names.h"
#include "tests/support/test_root.h"
#include "tools/pumpsim/psim.h"

namespace {

double Seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The scanner's end of the line, opened through the link.
struct Far {
  explicit Far(const std::string &link) {
    fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
  }
  ~Far() {
    if (fd >= 0) close(fd);
  }
  void Send(const std::string &command) { ASSERT_EQ(write(fd, (command + "\r").data(), command.size() + 1), static_cast<ssize_t>(command.size() + 1)); }
  // Everything that arrives until a carriage return or `quietMs` of silence.
  std::string Read(int quietMs = 300) {
    std::string out;
    for (;;) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, quietMs) <= 0) return out;
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return out;
      out.append(buf, static_cast<size_t>(n));
      if (out.back() == '\r') return out;
    }
  }
  std::string Ask(const std::string &command, int quietMs = 300) {
    Send(command);
    return Read(quietMs);
  }
  int fd = -1;
};

int Fields(const std::string &reply) {
  int n = 0;
  for (char c : reply) n += c == ',';
  return n;
}

class PumpSimTest : public ::testing::Test {
 protected:
  void Start(PsimConfig c) {
    std::string why;
    sim = psim_Start(c, &why);
    ASSERT_NE(sim, nullptr) << why;
    far = std::make_unique<Far>(psim_LinkPath(sim));
    ASSERT_GE(far->fd, 0);
  }
  void TearDown() override {
    far.reset();
    psim_Stop(sim);
  }
  PumpSim *sim = nullptr;
  std::unique_ptr<Far> far;
};

}  // namespace

TEST(PumpSimReplies, EveryMnemonicOfBothTables) {
  for (int unit = 1; unit <= 8; ++unit) {
    std::string prv = psim_Reply(unit, "PRV_ALL", 3.0), set = psim_Reply(unit, "SETPOINT_ALL", 3.0);
    EXPECT_EQ(prv.substr(0, 4), "000,");
    EXPECT_EQ(Fields(prv), PUMP_PRV_ALL_FIELDS);
    EXPECT_EQ(prv.back(), '\r');
    EXPECT_LE(prv.size(), 140u);
    EXPECT_EQ(Fields(set), PUMP_SETPOINT_ALL_FIELDS);
    EXPECT_LE(set.size(), 101u);
    for (int i = PUMP_FIRST_ANALOG_QUERY; i < PUMP_ANALOG_NAMES; ++i) {
      std::string r = psim_Reply(unit, AnalogValueNames[i], 3.0);
      EXPECT_EQ(r.substr(0, 4), "000,") << AnalogValueNames[i];
      EXPECT_EQ(Fields(r), 1) << AnalogValueNames[i];
      EXPECT_LE(r.size(), 20u) << AnalogValueNames[i];
    }
    for (int i = 1; i < PUMP_DIGITAL_NAMES; ++i) {
      std::string r = psim_Reply(unit, DigitalValueNames[i], 3.0);
      EXPECT_TRUE(r == "000,0\r" || r == "000,1\r") << DigitalValueNames[i] << " " << r;
    }
  }
  EXPECT_EQ(psim_Reply(1, "NO_SUCH_VALUE", 0), "099\r");
  EXPECT_EQ(psim_ReplyLimit("PRV_ALL"), 140u);
  EXPECT_EQ(psim_ReplyLimit("SETPOINT_ALL"), 101u);
  EXPECT_EQ(psim_ReplyLimit("CYL1_POS"), 20u);
}

TEST(PumpSimReplies, ValuesMoveLikeARunningPump) {
  std::set<std::string> positions, prv, direction, inputs;
  for (double t = 0; t < 20; t += 0.37) {
    positions.insert(psim_Reply(1, "CYL1_POS", t));
    prv.insert(psim_Reply(1, "PRV_ALL", t));
    direction.insert(psim_Reply(1, "CYL1_DIRECTION", t));
    inputs.insert(psim_Reply(1, "DIG_INPUT1", t));
  }
  EXPECT_GT(positions.size(), 20u);
  EXPECT_GT(prv.size(), 20u);
  EXPECT_EQ(direction.size(), 2u);  // the flag toggles
  EXPECT_EQ(inputs.size(), 2u);
  // The two cylinders run in turn: one delivers while the other refills.
  for (double t = 0.25; t < 20; t += 1.0)
    EXPECT_NE(psim_Reply(3, "CYL1_DIRECTION", t), psim_Reply(3, "CYL2_DIRECTION", t)) << t;
  // Units differ from one another.
  EXPECT_NE(psim_Reply(1, "SETPOINT_ALL", 1), psim_Reply(2, "SETPOINT_ALL", 1));
}

TEST(PumpSimReplies, ASurgeRaisesTheDeliveringPressures) {
  const std::vector<PsimSurge> surges = {PsimSurge{1, 10, 20, 100}};
  EXPECT_EQ(psim_SurgeBar(surges, 1, 9.9), 0);
  EXPECT_NEAR(psim_SurgeBar(surges, 1, 10.5), 50, 1e-9);  // ramping up
  EXPECT_EQ(psim_SurgeBar(surges, 1, 15), 100);
  EXPECT_NEAR(psim_SurgeBar(surges, 1, 19.75), 25, 1e-9);  // and down
  EXPECT_EQ(psim_SurgeBar(surges, 1, 20), 0);
  EXPECT_EQ(psim_SurgeBar(surges, 2, 15), 0) << "another unit";
  auto field = [](const std::string &reply, int n) {
    size_t at = 3;
    for (int i = 0; i <= n; ++i) at = reply.find(',', at) + 1;
    return atof(reply.c_str() + at);
  };
  for (double t = 0.5; t < 18; t += 1.3) {
    std::string calm = psim_Reply(1, "PRV_ALL", t), high = psim_Reply(1, "PRV_ALL", t, 100);
    double c1 = field(calm, 0), c2 = field(calm, 1), h1 = field(high, 0), h2 = field(high, 1);
    // The delivering cylinder is the one near the set pressure (160 for unit 1).
    EXPECT_NEAR(c1 > 100 ? h1 - c1 : h2 - c2, 100, 0.002) << t;
    EXPECT_NEAR(c1 > 100 ? h2 - c2 : h1 - c1, 0, 0.002) << t;
    EXPECT_NEAR(field(high, 2) - field(calm, 2), 100, 0.002) << "output pressure at " << t;
    EXPECT_EQ(high.substr(high.find(',', high.find(',', high.find(',', 4) + 1) + 1)),
              calm.substr(calm.find(',', calm.find(',', calm.find(',', 4) + 1) + 1)))
        << "rates and volumes stay";
  }
  EXPECT_EQ(psim_Reply(1, "SETPOINT_ALL", 3, 100), psim_Reply(1, "SETPOINT_ALL", 3));
}

TEST(PumpSimOptions, FaultsUnitsAndFiles) {
  struct Case {
    const char *text;
    int ok;
    int unit;
    const char *command;
    PsimFaultKind kind;
    uint32_t arg, percent;
  } cases[] = {
      {"3=absent", 0, 3, "", PSIM_FAULT_ABSENT, 0, 100},
      {"2:PRV_ALL=silence", 0, 2, "PRV_ALL", PSIM_FAULT_SILENCE, 0, 100},
      {"*:STATUS=error:12@10", 0, 0, "STATUS", PSIM_FAULT_ERROR, 12, 10},
      {"spaced:700", 0, 0, "", PSIM_FAULT_SPACED, 700, 100},
      {"1:*=garbage@50", 0, 1, "", PSIM_FAULT_GARBAGE, 0, 50},
      {"short", 0, 0, "", PSIM_FAULT_SHORT, 0, 100},
      {"8=overlong", 0, 8, "", PSIM_FAULT_OVERLONG, 0, 100},
      {"9=silence", -1, 0, "", PSIM_FAULT_SILENCE, 0, 0},  {"error", -1, 0, "", PSIM_FAULT_SILENCE, 0, 0},
      {"silence:3", -1, 0, "", PSIM_FAULT_SILENCE, 0, 0},  {"noise", -1, 0, "", PSIM_FAULT_SILENCE, 0, 0},
      {"short@0", -1, 0, "", PSIM_FAULT_SILENCE, 0, 0},    {"short@101", -1, 0, "", PSIM_FAULT_SILENCE, 0, 0},
  };
  for (const Case &c : cases) {
    PsimFault f;
    std::string why;
    EXPECT_EQ(psim_ParseFault(c.text, &f, &why), c.ok) << c.text;
    if (c.ok != 0) {
      EXPECT_FALSE(why.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(f.unit, c.unit) << c.text;
    EXPECT_EQ(f.command, c.command) << c.text;
    EXPECT_EQ(f.kind, c.kind) << c.text;
    EXPECT_EQ(f.arg, c.arg) << c.text;
    EXPECT_EQ(f.percent, c.percent) << c.text;
  }
  // Time windows, and surges of the outlet pressure.
  struct Window {
    const char *text;
    int ok;
    double from, to;
  } windows[] = {{"2=absent/30-40", 0, 30, 40}, {"*:STATUS=error:5@50/2.5-", 0, 2.5, 0}, {"short/0-0.5", 0, 0, 0.5},
                 {"short/9-3", -1, 0, 0},       {"short/x-3", -1, 0, 0},                {"short/5", -1, 0, 0}};
  for (const Window &c : windows) {
    PsimFault f;
    std::string why;
    EXPECT_EQ(psim_ParseFault(c.text, &f, &why), c.ok) << c.text;
    if (c.ok != 0) continue;
    EXPECT_EQ(f.from, c.from) << c.text;
    EXPECT_EQ(f.to, c.to) << c.text;
  }
  PsimFault windowed;
  std::string reason;
  ASSERT_EQ(psim_ParseFault("*:STATUS=error:5@50/2.5-", &windowed, &reason), 0);
  EXPECT_EQ(windowed.kind, PSIM_FAULT_ERROR);
  EXPECT_EQ(windowed.arg, 5u);
  EXPECT_EQ(windowed.percent, 50u);
  PsimSurge g;
  ASSERT_EQ(psim_ParseSurge("1/10-20:150", &g, &reason), 0) << reason;
  EXPECT_EQ(g.unit, 1);
  EXPECT_EQ(g.from, 10);
  EXPECT_EQ(g.to, 20);
  EXPECT_EQ(g.bar, 150);
  ASSERT_EQ(psim_ParseSurge("3/1-2", &g, &reason), 0);
  EXPECT_EQ(g.bar, 100);
  for (const char *bad : {"0/1-2", "1/2-1", "1/5-", "1", "1/1-2:0", "1/1-2:x"})
    EXPECT_EQ(psim_ParseSurge(bad, &g, &reason), -1) << bad;

  PsimConfig config;
  std::string why;
  EXPECT_EQ(psim_SetOption(&config, "surge", "2/5-9", &why), 0);
  ASSERT_EQ(config.surges.size(), 1u);
  EXPECT_EQ(config.surges[0].unit, 2);
  EXPECT_EQ(psim_SetOption(&config, "units", "1,3-4", &why), 0);
  EXPECT_EQ(config.units, 0x0D);
  EXPECT_EQ(psim_SetOption(&config, "units", "0-2", &why), -1);
  EXPECT_EQ(psim_SetOption(&config, "baud", "96x", &why), -1);
  EXPECT_EQ(psim_SetOption(&config, "colour", "red", &why), -1);

  std::string file = tnwtest::MakeTempDir("psim") + "/line.conf";
  ASSERT_TRUE(tnwtest::WriteFile(file, "# a noisy line\nport COM2:\nbaud=19200\n  turnaround 5  \n"
                                       "units 1-2\nfault 2:PRV_ALL=silence\nfault=1=error:7@25\nseed 9\n"));
  PsimConfig fromFile;
  ASSERT_EQ(psim_LoadConfigFile(file, &fromFile, &why), 0) << why;
  EXPECT_EQ(fromFile.port, "COM2:");
  EXPECT_EQ(fromFile.baud, 19200u);
  EXPECT_EQ(fromFile.turnaroundMs, 5u);
  EXPECT_EQ(fromFile.units, 0x03);
  ASSERT_EQ(fromFile.faults.size(), 2u);
  EXPECT_EQ(fromFile.faults[1].kind, PSIM_FAULT_ERROR);
  EXPECT_EQ(fromFile.faults[1].percent, 25u);
  EXPECT_EQ(fromFile.seed, 9u);
  ASSERT_TRUE(tnwtest::WriteFile(file, "baud 9600\nfault 12=silence\n"));
  EXPECT_EQ(psim_LoadConfigFile(file, &fromFile, &why), -1);
  EXPECT_NE(why.find(":2:"), std::string::npos) << why;
}

TEST_F(PumpSimTest, AnswersEachUnitAndLogsCommands) {
  PsimConfig c;
  c.port = "COM5:";
  c.units = 0x05;  // units 1 and 3
  c.logPath = tnwtest::MakeTempDir("psimlog") + "/commands.txt";
  Start(c);
  EXPECT_EQ(psim_LinkPath(sim), tnwtest::Root() + "/dev/COM5");
  std::string prv = far->Ask("RP1PRV_ALL");
  EXPECT_EQ(Fields(prv), 9);
  EXPECT_EQ(far->Ask("RP3CYL2_POS").substr(0, 4), "000,");
  EXPECT_EQ(far->Ask("RP2STATUS", 150), "");  // not on the line
  EXPECT_EQ(far->Ask("RP1BOGUS"), "099\r");
  EXPECT_EQ(far->Ask("hello", 150), "");       // no command at all
  std::vector<std::string> expect = {"RP1PRV_ALL", "RP3CYL2_POS", "RP2STATUS", "RP1BOGUS", "hello"};
  ASSERT_TRUE(psim_WaitCommands(sim, expect.size(), 5000));
  EXPECT_EQ(psim_Commands(sim), expect);
  std::string logged;
  for (const std::string &e : expect) logged += e + "\n";
  EXPECT_EQ(tnwtest::ReadFile(c.logPath), logged);
  psim_ClearCommands(sim);
  EXPECT_TRUE(psim_Commands(sim).empty());
}

TEST_F(PumpSimTest, FaultsPerUnitAndPerCommand) {
  PsimConfig c;
  c.port = "COM5";
  c.faults = {PsimFault{2, "", PSIM_FAULT_ABSENT, 0, 100}, PsimFault{1, "PRV_ALL", PSIM_FAULT_SILENCE, 0, 100},
              PsimFault{1, "CYL1_POS", PSIM_FAULT_SHORT, 0, 100}, PsimFault{1, "CYL2_POS", PSIM_FAULT_GARBAGE, 0, 100},
              PsimFault{1, "STATUS", PSIM_FAULT_ERROR, 7, 100}, PsimFault{1, "SETPOINT_ALL", PSIM_FAULT_OVERLONG, 0, 100},
              PsimFault{3, "", PSIM_FAULT_OVERLONG, 0, 100}};
  Start(c);
  EXPECT_EQ(far->Ask("RP2STATUS", 150), "");
  EXPECT_EQ(far->Ask("RP1PRV_ALL", 150), "");
  std::string over = far->Ask("RP1SETPOINT_ALL", 150);
  EXPECT_EQ(over.size(), 111u);  // ten beyond the bulk reply's limit, no carriage return
  EXPECT_EQ(over.find('\r'), std::string::npos);
  std::string cut = far->Ask("RP1CYL1_POS", 150);
  EXPECT_FALSE(cut.empty());
  EXPECT_NE(cut.back(), '\r');
  EXPECT_EQ(cut.substr(0, 3), "000");
  std::string junk = far->Ask("RP1CYL2_POS");
  ASSERT_GE(junk.size(), 7u);
  EXPECT_EQ(junk.back(), '\r');
  EXPECT_EQ(junk.find('\r'), junk.size() - 1);
  EXPECT_EQ(far->Ask("RP1STATUS"), "007\r");
  std::string longer = far->Ask("RP3CYL1_POS", 150);
  EXPECT_EQ(longer.size(), 30u);  // beyond the 20 of a single reply
  EXPECT_EQ(longer.find('\r'), std::string::npos);
  EXPECT_EQ(far->Ask("RP1DIG_INPUT3").substr(0, 4), "000,");  // the rest of unit 1 is healthy
  // Faults change while serving.
  psim_SetFaults(sim, {});
  EXPECT_EQ(far->Ask("RP2STATUS"), "000,1\r");
}

TEST_F(PumpSimTest, KeepsEveryExchangeWithTheFaultThatStruck) {
  PsimConfig c;
  c.port = "COM5";
  c.units = 0x07;
  c.keepExchanges = true;
  c.faults = {PsimFault{3, "", PSIM_FAULT_ABSENT, 0, 100}, PsimFault{2, "STATUS", PSIM_FAULT_ERROR, 12, 100},
              PsimFault{2, "CYL1_POS", PSIM_FAULT_SILENCE, 0, 100},
              PsimFault{1, "STATUS", PSIM_FAULT_SPACED, 5, 100}, PsimFault{1, "", PSIM_FAULT_GARBAGE, 0, 100, 0, 0.6}};
  Start(c);
  std::string junk = far->Ask("RP1CYL2_POS");  // the garbage of the first 0.6 s
  os_Sleep(700);
  far->Ask("RP1STATUS");
  far->Ask("RP2STATUS");
  far->Ask("RP2CYL1_POS", 150);
  far->Ask("RP3STATUS", 150);
  far->Ask("RP9X", 150);
  std::vector<PsimExchange> e = psim_TakeExchanges(sim);
  ASSERT_EQ(e.size(), 6u);
  EXPECT_EQ(e[0].mnemonic, "CYL2_POS");
  EXPECT_EQ(e[0].fault, PSIM_FAULT_GARBAGE);
  EXPECT_EQ(e[0].reply, junk);
  EXPECT_LT(e[0].seconds, 0.6);
  EXPECT_EQ(e[1].reply, "000,1\r") << "the garbage window is over";
  EXPECT_EQ(e[1].fault, -1);
  EXPECT_EQ(e[1].spacedMs, 5u);
  EXPECT_EQ(e[2].unit, 2);
  EXPECT_EQ(e[2].fault, PSIM_FAULT_ERROR);
  EXPECT_EQ(e[2].faultArg, 12u);
  EXPECT_EQ(e[2].reply, "012\r");
  EXPECT_FALSE(e[3].answered);
  EXPECT_EQ(e[3].fault, PSIM_FAULT_SILENCE);
  EXPECT_FALSE(e[4].answered);
  EXPECT_EQ(e[4].fault, PSIM_FAULT_ABSENT);
  EXPECT_EQ(e[5].command, "RP9X");
  EXPECT_EQ(e[5].unit, 0);
  EXPECT_FALSE(e[5].answered);
  EXPECT_TRUE(psim_TakeExchanges(sim).empty());
  EXPECT_GT(psim_Seconds(sim), 0.7);
}

TEST_F(PumpSimTest, ChanceOfAFault) {
  PsimConfig c;
  c.port = "COM5";
  c.seed = 3;
  c.faults = {PsimFault{0, "STATUS", PSIM_FAULT_ERROR, 5, 50}};
  Start(c);
  int errors = 0;
  for (int i = 0; i < 40; ++i) errors += far->Ask("RP1STATUS") == "005\r";
  EXPECT_GT(errors, 5);
  EXPECT_LT(errors, 35);
}

TEST_F(PumpSimTest, WireTimeTurnaroundAndSpacing) {
  PsimConfig c;
  c.port = "COM5";
  c.baud = 1200;  // 8.33 ms a byte
  c.turnaroundMs = 50;
  c.faults = {PsimFault{2, "STATUS", PSIM_FAULT_SPACED, 150, 100}};
  Start(c);
  double t0 = Seconds();
  std::string r = far->Ask("RP1PRV_ALL", 2000);
  double spent = Seconds() - t0;
  ASSERT_EQ(Fields(r), 9);
  double wire = (11 + r.size()) * 10.0 / 1200;  // command and reply
  EXPECT_GE(spent, wire + 0.050 - 0.002);
  EXPECT_LT(spent, wire + 0.050 + 1.0);
  // Spaced bytes: "000,1" and CR, five gaps of 150 ms, after the turnaround.
  t0 = Seconds();
  r = far->Ask("RP2STATUS", 1000);
  spent = Seconds() - t0;
  EXPECT_EQ(r, "000,1\r");
  EXPECT_GE(spent, 0.050 + 5 * 0.150);
}

TEST(PumpSimProgram, HelpAndALinkWhileRunning) {
  std::string out = tnwtest::MakeTempDir("psimprog");
  std::string help = out + "/help.txt";
  std::string cmd = tnwtest::BinPath("pumpsim") + " --help > " + help;
  ASSERT_EQ(system(cmd.c_str()), 0);
  std::string text = tnwtest::ReadFile(help);
  for (const char *word : {"--port", "--baud", "--turnaround", "--units", "--fault", "--log", "--config", "silence",
                           "garbage", "short", "overlong", "error:N", "spaced:MS", "absent"})
    EXPECT_NE(text.find(word), std::string::npos) << word;
  EXPECT_NE(system((tnwtest::BinPath("pumpsim") + " --bogus 1 2>/dev/null").c_str()), 0);

  std::string log = out + "/log.txt";
  std::string prog = tnwtest::BinPath("pumpsim");
  const char *argv[] = {prog.c_str(), "--port", "COM8", "--log", log.c_str(), "--units", "4", nullptr};
  uint32_t pid = 0;
  OsHandle p = os_CreateProcessArgv(argv, &pid);
  ASSERT_NE(p, nullptr);
  std::string link = tnwtest::Root() + "/dev/COM8";
  uint32_t start = os_GetTickCount();
  while (!std::filesystem::is_symlink(link) && os_GetTickCount() - start < 10000) os_Sleep(10);
  ASSERT_TRUE(std::filesystem::is_symlink(link));
  {
    Far far(link);
    ASSERT_GE(far.fd, 0);
    EXPECT_EQ(far.Ask("RP4STATUS", 2000), "000,1\r");
  }
  ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGTERM), 0);
  ASSERT_EQ(os_WaitForSingleObject(p, 10000), OS_WAIT_OBJECT_0);
  uint32_t code = 1;
  os_GetExitCodeProcess(p, &code);
  os_CloseHandle(p);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(std::filesystem::is_symlink(link));  // removed on the way out
  EXPECT_EQ(tnwtest::ReadFile(log), "RP4STATUS\n");
}

// A port folder that cannot be made is named with the reason, not reported as
// a failed link.
TEST(PumpSimProgram, APortFolderThatCannotBeMadeIsNamed) {
  std::string dir = tnwtest::MakeTempDir("psimroot");
  ASSERT_TRUE(tnwtest::WriteFile(dir + "/file", ""));
  std::string out = dir + "/out.txt";
  std::string cmd = tnwtest::BinPath("pumpsim") + " --root " + dir + "/file/root --seconds 1 > " + out + " 2>&1";
  EXPECT_EQ(WEXITSTATUS(system(cmd.c_str())), 1);
  EXPECT_NE(tnwtest::ReadFile(out).find("pumpsim: cannot create " + dir + "/file/root/dev: Not a directory"),
            std::string::npos)
      << tnwtest::ReadFile(out);
}

// --world: the units are those the file's channels name on the port, and a
// port no channel uses is refused.
TEST(PumpSimProgram, TheWorldFileNamesTheUnits) {
  std::string dir = tnwtest::MakeTempDir("psimworld");
  std::string world = dir + "/w.world";
  ASSERT_TRUE(tnwtest::WriteFile(world, "[device A]\nport = COM6\n[ai X]\npump = 3\nitem = CYL1_POS\n"
                                        "[di Y]\npump = 5\nitem = STATUS\n"));
  std::string out = dir + "/out.txt";
  EXPECT_EQ(WEXITSTATUS(system((tnwtest::BinPath("pumpsim") + " --world " + world + " --port COM2 > " + out + " 2>&1").c_str())), 2);
  EXPECT_NE(tnwtest::ReadFile(out).find("no channel of " + world + " is on COM2"), std::string::npos);

  std::string prog = tnwtest::BinPath("pumpsim");
  const char *argv[] = {prog.c_str(), "--world", world.c_str(), nullptr};
  uint32_t pid = 0;
  OsHandle p = os_CreateProcessArgv(argv, &pid);
  ASSERT_NE(p, nullptr);
  std::string link = tnwtest::Root() + "/dev/COM6";  // the device's own port
  uint32_t start = os_GetTickCount();
  while (!std::filesystem::is_symlink(link) && os_GetTickCount() - start < 10000) os_Sleep(10);
  ASSERT_TRUE(std::filesystem::is_symlink(link));
  {
    Far far(link);
    ASSERT_GE(far.fd, 0);
    EXPECT_EQ(far.Ask("RP3STATUS", 2000).substr(0, 4), "000,");
    EXPECT_EQ(far.Ask("RP5STATUS", 2000).substr(0, 4), "000,");
    EXPECT_EQ(far.Ask("RP4STATUS", 300), "");  // no channel names unit 4
  }
  kill(static_cast<pid_t>(pid), SIGTERM);
  EXPECT_EQ(os_WaitForSingleObject(p, 10000), OS_WAIT_OBJECT_0);
  os_CloseHandle(p);
}
