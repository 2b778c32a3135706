// The real Tnwell_SC process driven by the server stand-in.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/notify/ntf_notify.h"
#include "framework/registry/reg_settings.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_debug.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_registry.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"
#include "tests/support/proc_stats.h"

using tnwtest::Until;

namespace {

class ScannerProcess : public ::testing::Test {
 protected:
  void Build(const SimWorldSpec &spec) {
    std::string why;
    ASSERT_EQ(sim_CreateWorld(spec, &why), 0) << why;
  }
  void TearDown() override {
    if (line) sim_StopPumpSim(line, linePid, 5000);
    line = nullptr;
    if (proc) {
      if (sim_WaitExit(proc, 0) < 0) os_TerminateProcess(proc, 9);
      sim_WaitExit(proc, 5000);
      os_CloseHandle(proc);
    }
    ntf_Stop();
    sim_DestroyWorld();
  }
  OsHandle Start(const std::vector<std::string> &args) {
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    proc = os_CreateProcessArgv(argv.data(), &pid);
    return proc;
  }
  // The pump line of device 0, on the port its configuration names.
  void StartLine(const std::vector<std::string> &args = {}) {
    line = sim_StartPumpSim(0, args, &linePid);
    ASSERT_NE(line, nullptr) << errno;
  }
  OsHandle proc = nullptr;
  uint32_t pid = 0;
  OsHandle line = nullptr;
  uint32_t linePid = 0;
};

// Every channel on pump 1's first value, so a pass exchanges for each.
void OnTheLine(int t, int, ChannelRecord *rec) {
  const uint32_t pump = 1, value = 1;
  int at = t == IO_DI ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  memcpy(rec->raw + at, &pump, 4);
  memcpy(rec->raw + at + 4, &value, 4);
}

bool Untouched(const DeviceRecord *r) { return r->Running == 0 && r->ProcessId == 0 && r->Ready == 0; }

}  // namespace

TEST_F(ScannerProcess, StartsServesCodesAndStops) {
  Build(SimWorldSpec{});
  StartLine();
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(sim_WaitRunning(0, proc, 10000));
  EXPECT_EQ(r->ProcessId, pid);
  ASSERT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0 && r->NextScanDue.seconds != 0; }, 10000));
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");

  ASSERT_TRUE(sim_Watch("D1", 1));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(sim_Post(pid, NTF_SCAN), 0);
    EXPECT_TRUE(sim_WaitForChange("D1", 1, 10000)) << "scan " << i;
  }
  TimeStamp before = r->NextScanDue;
  os_Sleep(1100);  // a new aligned scan time (the rate is one second)
  ASSERT_EQ(sim_Post(pid, NTF_RECONFIGURE), 0);
  EXPECT_TRUE(sim_WaitForChange("D1", 1, 10000));
  EXPECT_TRUE(Until([&] { return r->Busy == 0 && r->NextScanDue.seconds != before.seconds; }, 10000));
  ASSERT_EQ(sim_Post(pid, NTF_INITIALISE_VALUES), 0);
  EXPECT_TRUE(sim_WaitForChange("D1", 1, 10000));
  // No counter area: a reset does nothing, neither a pass nor a failure. The
  // scan behind it shows it was served, and gives the only change notice.
  ASSERT_EQ(sim_Post(pid, NTF_RESET_COUNTERS), 0);
  ASSERT_EQ(sim_Post(pid, NTF_SCAN), 0);
  EXPECT_TRUE(sim_WaitForChange("D1", 1, 10000));
  EXPECT_FALSE(sim_WaitForChange("D1", 1, 1500)) << "the reset ran a pass";
  EXPECT_EQ(r->Busy, 0);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  EXPECT_EQ(sim_WaitExit(proc, 10000), 0);
  EXPECT_EQ(r->Running, 0);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  // Every channel is marked bad on the way out.
  const uint32_t *words = shm_AreaStatusWords(sim_Area("D1", SHM_AREA_DATA));
  EXPECT_TRUE(words[0] & CST_BAD);
  EXPECT_FALSE(std::filesystem::exists(std::string(getenv("PLATFORM_ROOT")) + "/kernel/mailslot/dm_" +
                                       std::to_string(pid) + ".slt"));
}

TEST_F(ScannerProcess, CommandLinesWithoutAnInstanceExitQuietly) {
  Build(SimWorldSpec{});
  std::string real = tnwtest::BinPath("Tnwell_SC");
  std::string dir = tnwtest::MakeTempDir("names");
  std::string plain = dir + "/Tnwellsc";
  std::filesystem::create_symlink(real, plain);
  const std::vector<std::vector<std::string>> lines = {
      {plain, "1"}, {real}, {real, "1", "2"}, {real, "0"}, {real, "7"} /* no such instance */,
  };
  for (const auto &args : lines) {
    ASSERT_NE(Start(args), nullptr);
    EXPECT_EQ(sim_WaitExit(proc, 10000), 0) << args.size() << " " << args[0];
    os_CloseHandle(proc);
    proc = nullptr;
    EXPECT_TRUE(Untouched(sim_Device(0)));
    EXPECT_EQ(shm_AttachErrors(), 0);
    EXPECT_EQ(shm_ErrorTable()->longEntries[0].name[0], 0) << "a status entry was claimed";
  }
  std::filesystem::remove_all(dir);
}

TEST_F(ScannerProcess, NoNotificationMailslotExitsQuietly) {
  // The mailslot folder is a file: the scanner cannot make its mailslot, so
  // no code could reach it. It ends at once, before anything is written.
  Build(SimWorldSpec{});
  std::string slots = std::string(getenv("PLATFORM_ROOT")) + "/kernel/mailslot";
  std::error_code ec;
  std::filesystem::rename(slots, slots + ".away", ec);  // absent is fine too
  ASSERT_TRUE(tnwtest::WriteFile(slots, ""));
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  int64_t code = sim_WaitExit(proc, 10000);
  std::filesystem::remove(slots);
  std::filesystem::rename(slots + ".away", slots, ec);
  EXPECT_EQ(code, 0) << "the scanner ran on without its mailslot";
  EXPECT_TRUE(Untouched(sim_Device(0)));
}

TEST_F(ScannerProcess, FolderAndConfigurationFailures) {
  struct Case {
    const char *what;
    std::string configEnv;  // TSQ_CURRENT_CONFIG for the scanner ("" = the world's)
    bool removeConfigFile;
    std::string status;
    int exitCode;
  } cases[] = {
      {"indirection", "%\\LocalMachine\\SOFTWARE\\Nowhere\\Folder%", false, "CAN'T GET CONFIG DIR -0002", 2},
      {"missing folder", "C:\\NO\\SUCH\\FOLDER", false, "CAN'T ACCESS CONFIG DIR -0002", 2},
      {"missing config", "", true, "CAN'T READ CONFIGURATION -0002", 2},
  };
  for (const Case &c : cases) {
    Build(SimWorldSpec{});
    if (!c.configEnv.empty()) setenv("TSQ_CURRENT_CONFIG", c.configEnv.c_str(), 1);
    if (c.removeConfigFile) std::filesystem::remove(sim_DeviceFolder(0) + "/config");
    proc = sim_StartScanner(0, "", &pid);
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(sim_WaitExit(proc, 10000), c.exitCode) << c.what;
    os_CloseHandle(proc);
    proc = nullptr;
    EXPECT_EQ(sim_StatusText("TNWELL1"), c.status) << c.what;
    EXPECT_EQ(sim_Device(0)->Running, 0) << c.what;
    sim_DestroyWorld();
  }
}

TEST_F(ScannerProcess, OutputAreasNeverInitialise) {
  SimWorldSpec w;
  w.devices[0].codes[IO_AO] = "O1";
  w.devices[0].channels[IO_AO] = 4;
  Build(w);
  StartLine();
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  ASSERT_TRUE(sim_WaitRunning(0, proc, 10000));
  ASSERT_TRUE(Until([] { return sim_StatusText("TNWELL1") == "CAN'T INITIALISE DEVICE -0050"; }, 10000));
  EXPECT_EQ(sim_Device(0)->Busy, 1);
  os_Sleep(1500);  // retried every second: the process lives on
  EXPECT_LT(sim_WaitExit(proc, 0), 0);
  uint32_t start = os_GetTickCount();
  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  EXPECT_EQ(sim_WaitExit(proc, 10000), 0);
  EXPECT_LT(os_GetTickCount() - start, 5000u);
}

TEST_F(ScannerProcess, OpensThePortItsConfigurationNames) {
  SimWorldSpec w;
  w.devices[0].comPort = "COM4:";
  w.devices[0].baudRate = 19200;
  Build(w);
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  ASSERT_TRUE(sim_WaitRunning(0, proc, 10000));
  // No line yet: the port is missing and the scanner retries every second.
  ASSERT_TRUE(Until([] { return sim_StatusText("TNWELL1") == "CAN'T INITIALISE DEVICE -0002"; }, 10000));
  EXPECT_EQ(sim_Device(0)->Busy, 1);
  StartLine();
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(Until([&] { return r->Busy == 0 && sim_StatusText("TNWELL1").empty(); }, 10000));
  // The line runs at the configured rate; the port is the scanner's alone.
  std::string device = std::filesystem::read_symlink(std::string(getenv("PLATFORM_ROOT")) + "/dev/COM4").string();
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct termios t;
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(os_CreateFile("\\\\.\\COM4:", OS_GENERIC_READ | OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING, 0), nullptr);
  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  EXPECT_EQ(sim_WaitExit(proc, 10000), 0);
}

// A second scanner for a device that a live one serves must not disturb it:
// it exits quietly and leaves the record, the areas and the status alone. A
// record left running by a scanner that died does not hold a new one back.
TEST_F(ScannerProcess, ASecondScannerLeavesALiveOnesDeviceAlone) {
  SimWorldSpec spec;
  spec.devices[0].channelSetup = OnTheLine;  // so a pass makes the channels good
  Build(spec);
  StartLine();
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(sim_WaitRunning(0, proc, 10000));
  ASSERT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0; }, 10000));
  ASSERT_TRUE(sim_Watch("D1", 1));
  ASSERT_EQ(sim_Post(pid, NTF_SCAN), 0);
  ASSERT_TRUE(sim_WaitForChange("D1", 1, 10000));
  ASSERT_TRUE(Until([&] { return r->Busy == 0; }, 10000));
  const DeviceRecord before = *r;
  const std::vector<SimChannel> ai = sim_ReadChannels("A1"), di = sim_ReadChannels("D1");
  ASSERT_FALSE(di.empty());
  ASSERT_FALSE(ai.empty());
  EXPECT_FALSE(di[0].status & CST_BAD);
  EXPECT_FALSE(ai[0].status & CST_BAD);

  uint32_t secondPid = 0;
  OsHandle second = sim_StartScanner(0, "", &secondPid);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(sim_WaitExit(second, 10000), 0);
  os_CloseHandle(second);
  EXPECT_EQ(memcmp(&before, r, sizeof before), 0) << "the device record changed";
  EXPECT_EQ(r->ProcessId, pid);
  EXPECT_EQ(r->Running, 1);
  EXPECT_EQ(r->Busy, 0);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  std::vector<SimChannel> aiAfter = sim_ReadChannels("A1"), diAfter = sim_ReadChannels("D1");
  ASSERT_EQ(aiAfter.size(), ai.size());
  ASSERT_EQ(diAfter.size(), di.size());
  for (size_t i = 0; i < ai.size(); ++i) EXPECT_EQ(aiAfter[i].status, ai[i].status) << "AI " << i;
  for (size_t i = 0; i < di.size(); ++i) EXPECT_EQ(diAfter[i].status, di[i].status) << "DI " << i;
  EXPECT_FALSE(sim_WaitForChange("D1", 1, 300)) << "the second scanner published";
  // The first one still serves.
  ASSERT_EQ(sim_Post(pid, NTF_SCAN), 0);
  EXPECT_TRUE(sim_WaitForChange("D1", 1, 10000));

  // It dies without marking its record stopped: the next one takes over.
  ASSERT_EQ(os_TerminateProcess(proc, 9), 0);
  sim_WaitExit(proc, 5000);
  os_CloseHandle(proc);
  proc = nullptr;
  ASSERT_EQ(r->Running, 1);
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  // The record shows the dead one running until the new one has taken it.
  EXPECT_TRUE(Until([&] { return r->ProcessId == pid && r->Running == 1; }, 10000));
  EXPECT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0; }, 10000));
  EXPECT_EQ(sim_WaitExit(proc, 0), -1) << "the new scanner gave up";
}

// The trace is switched by the registry from another process: the scanner
// notices the change at its next write, so the very next pass is traced from
// its first command on, and the one after switching off is not.
TEST_F(ScannerProcess, TraceFollowsTheRegistryFromTheNextPassOn) {
  SimWorldSpec spec;
  spec.devices[0].channelSetup = OnTheLine;
  Build(spec);
  StartLine();
  std::string path = std::string("SOFTWARE\\Quenford\\") + prod_GetProductName();
  OsHKey key = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, path.c_str(), 0, OS_KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  auto set = [&](const char *value) {
    return os_RegSetValueEx(key, "TNWELL1_Debug", OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1));
  };
  ASSERT_EQ(set("OFF"), 0);
  unlink(os_DebugOutputPath().c_str());
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(sim_WaitRunning(0, proc, 10000));
  ASSERT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0; }, 10000));
  ASSERT_TRUE(sim_Watch("A1", 1));
  auto pass = [&] {
    EXPECT_EQ(sim_Post(pid, NTF_SCAN), 0);
    EXPECT_TRUE(sim_WaitForChange("A1", 1, 10000));
    EXPECT_TRUE(Until([&] { return r->Busy == 0; }, 10000));
  };
  pass();
  EXPECT_EQ(tnwtest::ReadFile(os_DebugOutputPath()), "") << "traced while off";

  ASSERT_EQ(set("ON"), 0);
  pass();
  std::string traced = tnwtest::ReadFile(os_DebugOutputPath());
  std::string own = "[" + std::to_string(pid) + "] TNWELL1 : ";
  // Bulk values first, then one query per digital and analogue channel.
  EXPECT_EQ(traced.rfind(own + "Tx to Pump 1 : RP1PRV_ALL\r\n", 0), 0u) << traced.substr(0, 200);
  EXPECT_NE(traced.find(own + "Rx from Pump 1 : 000,"), std::string::npos);
  size_t lines = 0;
  for (size_t at = traced.find(own); at != std::string::npos; at = traced.find(own, at + 1)) ++lines;
  // Two bulk and 16 single exchanges (the analogue ones come from the bulk replies), each sent and received.
  EXPECT_EQ(lines, 2u * (2 + 16));

  ASSERT_EQ(set("OFF"), 0);
  pass();
  EXPECT_EQ(tnwtest::ReadFile(os_DebugOutputPath()), traced) << "traced after off";
  os_RegCloseKey(key);
}
