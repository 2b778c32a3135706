// Restarts with the real programs: a scanner killed in the middle of a pass
// and started again, and a server world that vanishes and comes back while
// the scanner runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "framework/values/sav_values.h"
#include "platform/os_env.h"
#include "platform/os_handle.h"
#include "platform/os_path.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

void Bind(ChannelRecord *r, int t, uint32_t pump, uint32_t value) {
  int at = t == IO_DI ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  memcpy(r->raw + at, &pump, 4);
  memcpy(r->raw + at + 4, &value, 4);
}

// The process id that holds a segment's mutex now (0: free), from its file.
uint32_t MutexOwner(const std::string &segment) {
  char path[4096];
  if (os_ObjectPath(shm_MutexName(shm_KernelName(segment.c_str())), path, sizeof path) != 0) return 0;
  std::string file = tnwtest::ReadFile(path);
  uint32_t pid = 0;
  if (file.size() >= 12) memcpy(&pid, file.data() + 8, 4);
  return pid;
}

// The state letter of a process ('T' once a stop is in force).
char ProcessState(pid_t pid) {
  std::string stat = tnwtest::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
}

// Whether this process can take a segment's lock within ms (a lock held by
// a dead process counts as free). The lock is released again.
bool CanLock(const std::string &code, uint32_t ms) {
  void *area = sim_Area(code, SHM_AREA_DATA);
  if (!area) return false;
  auto taken = std::async(std::launch::async, [area] { return shm_Lock(area) == 0 && shm_Unlock(area) == 0; });
  return taken.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready && taken.get();
}

class Restart : public ::testing::Test {
 protected:
  void TearDown() override {
    for (size_t i = 0; i < procs.size(); ++i) {
      if (!procs[i]) continue;
      if (sim_WaitExit(procs[i], 0) < 0) os_TerminateProcess(procs[i], 9);
      sim_WaitExit(procs[i], 5000);
      os_CloseHandle(procs[i]);
    }
    for (size_t i = 0; i < lines.size(); ++i) sim_StopPumpSim(lines[i], linePids[i], 5000);
    ntf_Stop();
    sim_DestroyWorld();
  }
  void StartLine(int device) {
    uint32_t pid = 0;
    OsHandle h = sim_StartPumpSim(device, {}, &pid);
    ASSERT_NE(h, nullptr);
    lines.push_back(h);
    linePids.push_back(pid);
  }
  // Starts the scanner of a device; slot `k` of procs/pids holds it.
  void StartScanner(int device, size_t k) {
    if (procs.size() <= k) procs.resize(k + 1), pids.resize(k + 1);
    procs[k] = sim_StartScanner(device, "", &pids[k]);
    ASSERT_NE(procs[k], nullptr);
    ASSERT_TRUE(sim_WaitRunning(device, procs[k], 10000));
  }
  void Forget(size_t k) {
    os_CloseHandle(procs[k]);
    procs[k] = nullptr;
  }
  std::vector<OsHandle> procs, lines;
  std::vector<uint32_t> pids, linePids;
};

}  // namespace


// A scanner killed while it holds a data area's lock, and a second one killed
// while it retries its initialisation: each one started again restores its
// zero offsets or its outputs from the saved values and takes the locks the
// dead one held.
TEST_F(Restart, AScannerKilledMidPassComesBackWithItsSavedValuesAndLocks) {
  SimWorldSpec w;
  w.devices.resize(2);
  SimDeviceSpec &a = w.devices[0];
  a.channels[IO_AI] = 2;
  a.channels[IO_DI] = 2;
  a.scanRate = 100;
  a.channelSetup = [](int t, int i, ChannelRecord *r) {
    if (t == IO_DI) Bind(r, t, 1, 1 + static_cast<uint32_t>(i) * 5);  // STATUS, CYL1_RUNNING
    if (t != IO_AI) return;
    Bind(r, t, 1, i == 0 ? 10 : 18);  // CYL1 SET RATE (a steady 6) and CYL1_POS
    if (i == 0) chan_SetFlagBit(r, CHAN_AF_REFERENCE_ENABLE, true);
  };
  SimDeviceSpec &o = w.devices[1];
  o.instance = 2;
  o.statusName = o.folder = "TNWELL2";
  o.codes[IO_AI] = o.codes[IO_DI] = "";
  o.codes[IO_AO] = "O1";
  o.codes[IO_DO] = "O2";
  o.channels[IO_AO] = o.channels[IO_DO] = 3;
  o.saveOutputs = 1;
  o.saveRate = 1000;
  std::filesystem::create_directories(tnwtest::Root() + "/drives/c/SAVED");
  os_SetEnvironmentVariable("TSQ_SAVED_VALUES", "C:\\SAVED");
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  // What the output device saved before.
  const ChannelRecord *aoTable = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(sim_Area("O1", SHM_AREA_CONF)));
  const ChannelRecord *doTable = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(sim_Area("O2", SHM_AREA_CONF)));
  const float aoSaved[3] = {12.5f, -3.0f, 1e6f};
  const uint32_t doSaved[3] = {1, 0, 1};
  ASSERT_EQ(sav_WriteValues("TNWELL2", IO_AO, aoSaved, aoTable, 3), 0);
  ASSERT_EQ(sav_WriteValues("TNWELL2", IO_DO, doSaved, doTable, 3), 0);
  StartLine(0);
  StartLine(1);

  // The analogue device takes its reference: the steady 6 becomes its zero offset.
  StartScanner(0, 0);
  DeviceRecord *ra = sim_Device(0), *ro = sim_Device(1);
  ASSERT_TRUE(Until([&] { return ra->Ready == 1 && ra->Busy == 0; }, 15000));
  ASSERT_TRUE(sim_Watch("A1", 1));
  ASSERT_EQ(sim_Post(pids[0], NTF_INITIALISE_VALUES), 0);
  const std::string bin = tnwtest::Root() + "/drives/c/SAVED/TNWELL1_ai.bin";
  ASSERT_TRUE(Until([&] { return tnwtest::ReadFile(bin).size() == 32; }, 10000));
  float offset = 0;
  memcpy(&offset, tnwtest::ReadFile(bin).data() + 12, 4);
  ASSERT_FLOAT_EQ(offset, 6.0f);
  ASSERT_TRUE(Until([] { return sim_ReadChannels("A1")[0].value == 0.0f; }, 10000));

  // The output device never initialises, but restores its outputs at the load.
  StartScanner(1, 1);
  ASSERT_TRUE(Until([&] { return ro->Ready == 1; }, 15000));
  ASSERT_FLOAT_EQ(sim_ReadChannels("O1")[0].value, 12.5f);
  os_Sleep(300);
  kill(static_cast<pid_t>(pids[1]), SIGKILL);
  EXPECT_EQ(sim_WaitExit(procs[1], 10000), 128 + SIGKILL);
  Forget(1);

  // Scans back to back; the scanner is stopped the moment its pid shows as a
  // data area lock's owner (the lock is held for microseconds of a pass), and
  // killed once it is seen to hold it while stopped.
  const pid_t scanner = static_cast<pid_t>(pids[0]);
  const char *segs[] = {"dm_A1", "dm_D1"};
  const uint8_t *owners[2] = {};
  for (int k = 0; k < 2; ++k) {
    char path[4096];
    ASSERT_EQ(os_ObjectPath(shm_MutexName(shm_KernelName(segs[k])), path, sizeof path), 0);
    int fd = open(path, O_RDONLY);
    ASSERT_GE(fd, 0) << path;
    void *m = mmap(nullptr, 12, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    ASSERT_NE(m, MAP_FAILED) << path;
    owners[k] = static_cast<const uint8_t *>(m);
  }
  auto ownerOf = [&](int k) {
    uint32_t pid;
    memcpy(&pid, owners[k] + 8, 4);
    return pid;
  };
  std::string held;
  uint32_t start = os_GetTickCount();
  while (held.empty() && os_GetTickCount() - start < 60000) {
    sim_Post(pids[0], NTF_SCAN);
    const uint32_t posted = os_GetTickCount();
    int seen = -1;
    while (seen < 0 && os_GetTickCount() - posted < 20)
      for (int k = 0; k < 2 && seen < 0; ++k)
        if (ownerOf(k) == pids[0]) seen = k;
    if (seen < 0) continue;
    kill(scanner, SIGSTOP);
    // The stop is in force once the kernel says so; then the lock is either still held or not.
    char state = 0;
    for (int tries = 0; tries < 1000 && state != 'T'; ++tries) state = ProcessState(scanner);
    if (MutexOwner(segs[seen]) == pids[0]) held = segs[seen];
    else kill(scanner, SIGCONT);
  }
  for (const uint8_t *m : owners) munmap(const_cast<uint8_t *>(m), 12);
  ASSERT_FALSE(held.empty()) << "the scanner was never caught holding a lock";
  kill(scanner, SIGKILL);
  EXPECT_EQ(sim_WaitExit(procs[0], 10000), 128 + SIGKILL);
  Forget(0);
  const uint32_t dead = pids[0];
  EXPECT_EQ(MutexOwner(held), dead) << held << " is left held by the dead scanner";
  EXPECT_EQ(ra->Running, 1) << "a killed scanner cannot say it stopped";

  // What the areas show now is no longer what was saved.
  float *aoValues = shm_AreaValues(sim_Area("O1", SHM_AREA_DATA));
  uint32_t *doWords = shm_AreaStatusWords(sim_Area("O2", SHM_AREA_DATA));
  for (int i = 0; i < 3; ++i) aoValues[i] = -1.0f, doWords[i] = 0;
  shm_AreaValues(sim_Area("A1", SHM_AREA_DATA))[0] = 77.0f;

  // The server clears what the dead one left before it starts a new one.
  ra->Ready = ro->Ready = 0;
  ra->NextScanDue = TimeStamp{};
  StartScanner(0, 0);
  ASSERT_TRUE(Until([&] { return ra->ProcessId == pids[0] && ra->Ready == 1 && ra->NextScanDue.seconds != 0 &&
                                 ra->Busy == 0; }, 15000))
      << sim_StatusText("TNWELL1");
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  for (int pass = 0; pass < 3; ++pass) {
    ASSERT_EQ(sim_Post(pids[0], NTF_SCAN), 0);
    ASSERT_TRUE(sim_WaitForChange("A1", 1, 10000)) << "pass " << pass;
  }
  std::vector<SimChannel> ai = sim_ReadChannels("A1");
  EXPECT_EQ(ai[0].status & CST_BAD, 0u);
  EXPECT_FLOAT_EQ(ai[0].value, 0.0f) << "6 less the saved zero offset";
  EXPECT_EQ(ai[1].status & CST_BAD, 0u);
  EXPECT_GE(ai[1].value, 0.0f);
  EXPECT_LE(ai[1].value, 100.0f);
  uint32_t owner = MutexOwner(held);
  EXPECT_TRUE(owner == 0 || owner == pids[0]) << held << " held by " << owner << ", not the dead " << dead;
  for (const char *code : {"A1", "D1"}) EXPECT_TRUE(CanLock(code, 10000)) << code;

  StartScanner(1, 1);
  ASSERT_TRUE(Until([&] { return ro->ProcessId == pids[1] && ro->Ready == 1; }, 15000));
  std::vector<SimChannel> ao = sim_ReadChannels("O1"), dout = sim_ReadChannels("O2");
  for (int i = 0; i < 3; ++i) {
    EXPECT_FLOAT_EQ(ao[i].value, aoSaved[i]) << i;
    EXPECT_EQ(dout[i].status & CST_VALUE, doSaved[i]) << i;
  }

  for (size_t k = 0; k < 2; ++k) {
    ASSERT_EQ(sim_Post(pids[k], NTF_STOP), 0);
    EXPECT_EQ(sim_WaitExit(procs[k], 10000), 0) << k;
  }
}

// The server stand-in removes its world while the scanner runs: an orderly
// shutdown stops the scanner first; a world that vanishes without a word
// leaves the scanner harmless (no crash, no spin) until it looks at its
// configuration again, which ends it with the failure status. Either way
// the port is free for the scanner of the world made again.
TEST_F(Restart, TheWorldRemovedAndMadeAgainEndsTheScannerCleanly) {
  SimWorldSpec w;
  w.devices[0].channels[IO_AI] = 2;
  w.devices[0].channels[IO_DI] = 2;
  w.devices[0].channelSetup = [](int t, int i, ChannelRecord *r) {
    if (t == IO_AI) Bind(r, t, 1, 18 + static_cast<uint32_t>(i));
    if (t == IO_DI) Bind(r, t, 1, i == 0 ? 144 : 1);
    // DIG_INPUT1 turns every 2 s: its alarms go to a server slot that vanishes with the world.
    if (t == IO_DI && i == 0) {
      chan_SetFlagBit(r, CHAN_DF_ALARM_ENABLE, true);
      chan_SetFlagBit(r, CHAN_DF_ALARM_STATE, true);
    }
  };
  w.processors = {{"ALARM", "Alarms", "", 0, 1, 0, 0}, {"DERIVED", "Derived", "", 0, 1, 0, 0}};
  auto build = [&] {
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    ASSERT_EQ(sim_OpenServerSlots(&why), 0) << why;
    ASSERT_TRUE(sim_Watch("A1", 1));
  };
  auto scanned = [&](size_t k) {
    DeviceRecord *r = sim_Device(0);
    if (!Until([&] { return r->ProcessId == pids[k] && r->Ready == 1 && r->Busy == 0 && r->NextScanDue.seconds; },
               15000))
      return ::testing::AssertionFailure() << "not initialised: " << sim_StatusText("TNWELL1");
    if (sim_Post(pids[k], NTF_SCAN) != 0) return ::testing::AssertionFailure() << "post failed";
    if (!sim_WaitForChange("A1", 1, 10000)) return ::testing::AssertionFailure() << "no pass";
    return ::testing::AssertionSuccess();
  };
  // An orderly end: the scanner is told to stop before its world goes.
  build();
  StartLine(0);
  StartScanner(0, 0);
  ASSERT_TRUE(scanned(0));
  sim_DestroyWorld();
  EXPECT_EQ(sim_WaitExit(procs[0], 10000), 0) << "stopped before the world went";
  Forget(0);

  // The world vanishes under the next one.
  build();
  StartScanner(0, 0);
  ASSERT_TRUE(scanned(0));
  const pid_t old = static_cast<pid_t>(pids[0]);
  sim_DestroyWorld(false);
  build();
  tnwtest::ProcStats before = tnwtest::ReadProcStats(old);
  uint32_t t0 = os_GetTickCount();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(sim_Post(pids[0], NTF_SCAN), 0) << i;
    os_Sleep(200);
  }
  tnwtest::ProcStats after = tnwtest::ReadProcStats(old);
  uint32_t spent = os_GetTickCount() - t0;
  EXPECT_TRUE(after.alive);
  EXPECT_LT(sim_WaitExit(procs[0], 0), 0) << "it scans what it still holds";
  EXPECT_LT((after.cpuTicks - before.cpuTicks) * 1000 / static_cast<uint64_t>(tnwtest::TicksPerSecond()), spent / 2)
      << "CPU time of the scanner in " << spent << " ms";
  // The new world's scanner finds the port taken while the old one lives.
  StartScanner(0, 1);
  EXPECT_TRUE(Until([] { return sim_StatusText("TNWELL1") == "CAN'T INITIALISE DEVICE -0005"; }, 10000))
      << sim_StatusText("TNWELL1");
  // The old scanner's reconfiguration finds its configuration gone: it ends.
  ASSERT_EQ(sim_Post(static_cast<uint32_t>(old), NTF_RECONFIGURE), 0);
  EXPECT_EQ(sim_WaitExit(procs[0], 10000), 2);
  Forget(0);
  ASSERT_TRUE(scanned(1));
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  sim_DestroyWorld();
  EXPECT_EQ(sim_WaitExit(procs[1], 10000), 0);
}
