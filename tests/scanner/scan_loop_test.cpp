// The main loop in this process, with recording handlers in the handler tables.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "platform/os_handle.h"
#include "scanner/com_port.h"
#include "scanner/pump_handlers.h"
#include "scanner/scan_life.h"
#include "scanner/scan_state.h"
#include "tests/support/poster.h"
#include "tools/pumpsim/psim.h"
#include "tools/scadasim/sim_world.h"

namespace {

std::mutex g_lock;
std::condition_variable g_cv;
std::vector<std::string> g_events;
bool g_block = false;      // DI reads wait for a release
bool g_inPass = false;
std::atomic<uint64_t> g_scanCodes{0};

void Event(const std::string &e) {
  std::lock_guard<std::mutex> g(g_lock);
  g_events.push_back(e);
  g_cv.notify_all();
}

int RecInit(uint8_t *, int, ChannelRecord *table) {
  Event("init:" + std::to_string(table ? chan_TypeByte(table) : -1));
  return 0;
}

int RecRead(uint8_t *, int, ChannelRecord *table, uint32_t *, float *) {
  int t = chan_TypeByte(table);
  Event("read:" + std::to_string(t));
  if (t == IO_DI) {
    std::unique_lock<std::mutex> g(g_lock);
    g_inPass = true;
    g_cv.notify_all();
    g_cv.wait(g, [] { return !g_block; });
    g_inPass = false;
  }
  return 0;
}

int Counting(int32_t code) {
  if (code == NTF_SCAN) ++g_scanCodes;
  return scan_OnSignal(code);
}

void ResetScanState() {
  g_scan.run = 1;
  g_scan.pendingScans = 0;
  g_scan.reconfigure = g_scan.initialiseValues = g_scan.resetCounters = 0;
  g_scan.record = nullptr;
  memset(g_scan.config, 0, sizeof g_scan.config);
  g_scan.saveOutputs = g_scan.saveByTag = 0;
  g_scan.saveRate = 0;
  g_scan.nextSave = TimeStamp{};
  const uint16_t limits[IO_TYPE_COUNT] = {128, 256, 0, 0, 0};
  memcpy(g_scan.limit, limits, sizeof limits);
  for (ScanTypeBuffers &b : g_scan.type) b = ScanTypeBuffers{};
  free(g_scan.block);
  g_scan.block = nullptr;
}

class LoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    poster = std::make_unique<tnwtest::Poster>();  // before any thread of this test
    std::string lineWhy;
    line = psim_Start(PsimConfig{}, &lineWhy);  // the port that instance 1 opens: COM1
    ASSERT_NE(line, nullptr) << lineWhy;
    oldCwd = std::filesystem::current_path();
    std::string why;
    ASSERT_EQ(sim_CreateWorld(SimWorldSpec{}, &why), 0) << why;
    std::filesystem::current_path(sim_DeviceFolder(0));
    ResetScanState();
    g_scan.record = sim_Device(0);
    for (int t : {IO_AI, IO_DI}) {
      savedInit[t] = InitHandlerTable[t];
      savedRead[t] = ReadHandlerTable[t];
      InitHandlerTable[t] = RecInit;
      ReadHandlerTable[t] = RecRead;
    }
    {
      std::lock_guard<std::mutex> g(g_lock);
      g_events.clear();
      g_block = false;
    }
    g_scanCodes = 0;
    ntf_Start(Counting);
    ASSERT_EQ(scan_LoadConfiguration(), 0);
    scan_InitialiseDevice(0);
    ASSERT_EQ(Events(), (std::vector<std::string>{"init:0", "init:1", "read:1", "read:0"}));
    Clear();
    loop = std::thread([] { scan_MainLoop(); });
  }

  void TearDown() override {
    Release();
    if (loop.joinable()) {
      g_scan.run = 0;
      ntf_Post(static_cast<uint32_t>(getpid()), NTF_STOP);
      loop.join();
    }
    ntf_Stop();
    for (int t : {IO_AI, IO_DI}) {
      InitHandlerTable[t] = savedInit[t];
      ReadHandlerTable[t] = savedRead[t];
    }
    g_scan.type[IO_AO] = ScanTypeBuffers{};
    std::filesystem::current_path(oldCwd);
    sim_DestroyWorld();
    ResetScanState();
    com_ClosePort();
    psim_Stop(line);
    line = nullptr;
    poster.reset();
  }

  static std::vector<std::string> Events() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_events;
  }
  static void Clear() {
    std::lock_guard<std::mutex> g(g_lock);
    g_events.clear();
  }
  static void Block() {
    std::lock_guard<std::mutex> g(g_lock);
    g_block = true;
  }
  static void Release() {
    std::lock_guard<std::mutex> g(g_lock);
    g_block = false;
    g_cv.notify_all();
  }
  static bool WaitInPass() {
    std::unique_lock<std::mutex> g(g_lock);
    return g_cv.wait_for(g, std::chrono::seconds(10), [] { return g_inPass; });
  }
  static bool WaitEvents(size_t n) {
    std::unique_lock<std::mutex> g(g_lock);
    return g_cv.wait_for(g, std::chrono::seconds(10), [n] { return g_events.size() >= n; });
  }
  static bool Idle(uint32_t ms) {
    uint32_t start = os_GetTickCount();
    while (os_GetTickCount() - start < ms) {
      if (g_scan.pendingScans == 0 && !g_scan.reconfigure && !g_scan.initialiseValues && !g_scan.resetCounters)
        return true;
      os_Sleep(2);
    }
    return false;
  }
  static void Post(int32_t code) { ASSERT_EQ(ntf_Post(static_cast<uint32_t>(getpid()), code), 0); }

  std::filesystem::path oldCwd;
  std::unique_ptr<tnwtest::Poster> poster;
  PumpSim *line = nullptr;
  std::thread loop;
  PumpInitHandler savedInit[IO_TYPE_COUNT];
  PumpReadHandler savedRead[IO_TYPE_COUNT];
};

}  // namespace

TEST_F(LoopTest, ScansDuringAPassAreServedOneByOne) {
  Block();
  Post(NTF_SCAN);
  ASSERT_TRUE(WaitInPass());
  for (int i = 0; i < 3; ++i) Post(NTF_SCAN);
  EXPECT_EQ(g_scan.pendingScans.load(), 3);
  Release();
  ASSERT_TRUE(WaitEvents(8));
  EXPECT_TRUE(Idle(5000));
  os_Sleep(100);
  std::vector<std::string> pass = {"read:1", "read:0"};
  std::vector<std::string> expect;
  for (int i = 0; i < 4; ++i) expect.insert(expect.end(), pass.begin(), pass.end());
  EXPECT_EQ(Events(), expect);
}

TEST_F(LoopTest, StopDuringAPassEndsTheLoopAfterIt) {
  Block();
  Post(NTF_SCAN);
  ASSERT_TRUE(WaitInPass());
  Post(NTF_SCAN);
  Post(NTF_SCAN);
  Post(NTF_STOP);
  Release();
  loop.join();
  // The pass itself goes on only while the run flag holds: AI is not read.
  EXPECT_EQ(Events(), (std::vector<std::string>{"read:1"}));
  EXPECT_EQ(g_scan.pendingScans.load(), 2);  // left unserved
}

TEST_F(LoopTest, ReconfigureOutranksTheOtherRequests) {
  Block();
  Post(NTF_SCAN);
  ASSERT_TRUE(WaitInPass());
  // A new write time on the DI file makes the reconfiguration reload it.
  struct utimbuf later = {time(nullptr) + 30, time(nullptr) + 30};
  ASSERT_EQ(utime("di", &later), 0);
  Post(NTF_SCAN);
  Post(NTF_INITIALISE_VALUES);
  Post(NTF_RECONFIGURE);
  Clear();
  Release();
  ASSERT_TRUE(WaitEvents(5));
  EXPECT_TRUE(Idle(5000));
  os_Sleep(100);
  // Reconfigure first (init of the changed type, forced scan), then the
  // initialise-values scan; the pending scan is dropped by the restart of timing.
  EXPECT_EQ(Events(), (std::vector<std::string>{"read:0", "init:1", "read:1", "read:0", "read:1", "read:0"}));
}

TEST_F(LoopTest, UnchangedChannelFilesRerunNoInitHandler) {
  Post(NTF_RECONFIGURE);
  ASSERT_TRUE(WaitEvents(2));
  EXPECT_TRUE(Idle(5000));
  os_Sleep(100);
  EXPECT_EQ(Events(), (std::vector<std::string>{"read:1", "read:0"}));
  EXPECT_EQ(g_scan.record->Busy, 0);
}

TEST_F(LoopTest, OutputsAreSavedOnlyWhenANotificationWakesTheLoop) {
  // An AO type whose pass changed the program's copy, with a save time just ahead.
  g_scan.record->IoCodes[IO_AO][0] = 'O';
  g_scan.record->IoCodes[IO_AO][1] = '1';
  g_scan.type[IO_AO].area = sim_Area("A1", SHM_AREA_DATA);
  g_scan.type[IO_AO].changed = true;
  g_scan.saveRate = 100;
  tm_Now(&g_scan.nextSave);
  tm_AddMs(&g_scan.nextSave, 100);
  g_scan.saveOutputs = 1;
  os_Sleep(600);
  EXPECT_TRUE(g_scan.type[IO_AO].changed) << "saved without a notification";
  Post(NTF_OUTPUT_WRITTEN);  // any code wakes the loop
  uint32_t start = os_GetTickCount();
  while (g_scan.type[IO_AO].changed && os_GetTickCount() - start < 5000) os_Sleep(5);
  EXPECT_FALSE(g_scan.type[IO_AO].changed);
  g_scan.saveOutputs = 0;
  g_scan.record->IoCodes[IO_AO][0] = 0;
}

TEST_F(LoopTest, NotificationStressLosesNothing) {
  // A writer process posts random mixes as fast as it can, in bursts; after
  // each burst the loop must drain to idle, and every scan code is counted once.
  const uint32_t self = static_cast<uint32_t>(getpid());
  std::mt19937 rng(12345);
  const int32_t mix[] = {300, 300, 300, 300, 302, 303, 304};
  uint64_t posted = 0;
  for (int b = 0; b < 20; ++b) {
    std::vector<int32_t> burst(1 + rng() % 60);
    for (int32_t &c : burst) {
      c = mix[rng() % 7];
      if (c == NTF_SCAN) ++posted;
    }
    ASSERT_EQ(poster->Post(self, burst), 0) << "burst " << b;
    // Every code posted so far reaches the signal handler exactly once...
    uint32_t start = os_GetTickCount();
    while (g_scanCodes.load() < posted && os_GetTickCount() - start < 10000) os_Sleep(2);
    os_Sleep(20);
    EXPECT_EQ(g_scanCodes.load(), posted) << "burst " << b;
    // ...and the loop never sleeps with work pending.
    EXPECT_TRUE(Idle(10000)) << "burst " << b;
  }
  // The stop is served at once, pending scans or not.
  Block();
  ASSERT_EQ(poster->Post(self, {300, 300, 300}), 0);
  ASSERT_TRUE(WaitInPass());
  ASSERT_EQ(poster->Post(self, {31}), 0);
  uint32_t start = os_GetTickCount();
  while (g_scan.run.load() && os_GetTickCount() - start < 10000) os_Sleep(2);
  Release();
  loop.join();
  EXPECT_LT(os_GetTickCount() - start, 10000u);
  EXPECT_EQ(g_scan.pendingScans.load(), 2);
}

TEST(SaveStepTest, SaveTimeRule) {
  TimeStamp now = {1000000, 500, 0};
  struct Case { int32_t nextFromNow; bool save; int32_t expectNextFromNow; } cases[] = {
      {1, false, 1},          // ahead by less than a period: wait
      {1000, false, 1000},    // ahead by exactly one period: wait
      {0, false, 0},
      {1001, true, 1000},     // more than one period ahead (clock set back): reset
      {-1, true, 999},        // just passed: move on by whole periods
      {-1999, true, 1},
      {-2000, true, 0 + 1000},  // exactly two behind still steps: next lies after now
      {-2001, true, 1000},    // more than two behind: reset
  };
  for (const Case &c : cases) {
    TimeStamp next = now;
    tm_AddMs(&next, c.nextFromNow);
    EXPECT_EQ(scan_SaveStep(&now, &next, 1000), c.save) << c.nextFromNow;
    EXPECT_EQ(tm_DiffMs(&next, &now), c.expectNextFromNow) << c.nextFromNow;
  }
  // A period beyond 24.8 days (2^31 ms) works like any other: the save time
  // it sets lies one period ahead, and the next look waits. It used to wrap
  // into the past and save on every turn of the loop, which then never waited.
  const uint32_t longRate = 3000000000u;
  TimeStamp next = now;
  tm_AddMs(&next, -1);
  EXPECT_TRUE(scan_SaveStep(&now, &next, longRate)) << "just passed: save";
  EXPECT_EQ(tm_DiffMicros(&next, &now) / 1000, static_cast<int64_t>(longRate) - 1);
  EXPECT_FALSE(scan_SaveStep(&now, &next, longRate)) << "a period ahead: wait";
  TimeStamp later = now;
  tm_AddMs(&later, 2000000000);
  tm_AddMs(&later, 1000000000);  // just past the save time
  EXPECT_TRUE(scan_SaveStep(&later, &next, longRate));
  EXPECT_EQ(tm_DiffMicros(&next, &now) / 1000, 2 * static_cast<int64_t>(longRate) - 1);
  EXPECT_FALSE(scan_SaveStep(&later, &next, longRate));
  const uint32_t longest = 0xFFFFFFFFu;
  next = now;
  tm_AddMs(&next, 2000000000);
  tm_AddMs(&next, 2000000000);
  tm_AddMs(&next, 294967296);  // more than a period ahead (the clock was set back)
  EXPECT_TRUE(scan_SaveStep(&now, &next, longest));
  EXPECT_EQ(tm_DiffMicros(&next, &now) / 1000, static_cast<int64_t>(longest));
  EXPECT_FALSE(scan_SaveStep(&now, &next, longest));
}

TEST(CommandLineTest, ProgramNameAndArguments) {
  char driver[64];
  uint16_t instance = 0;
  struct Case { std::vector<const char *> argv; bool ok; const char *driver; uint16_t instance; } cases[] = {
      {{"C:\\Tessarine\\BIN\\Tnwell_SC.exe", "3"}, true, "Tnwell", 3},
      {{"/opt/a_b/bin/Tnwell_SC", "1"}, true, "Tnwell", 1},
      {{"Tnwell_x_SC", "65537"}, true, "Tnwell_x", 1},  // 16 bits of the number
      {{"/opt/a_b/bin/Tnwellsc", "1"}, false, "", 0},  // no '_' in the file name
      {{"Tnwell_SC"}, false, "", 0},
      {{"Tnwell_SC", "1", "2"}, false, "", 0},
      {{"Tnwell_SC", "0"}, false, "", 0},
      {{"Tnwell_SC", "x"}, false, "", 0},
  };
  for (const Case &c : cases) {
    std::vector<char *> argv;
    for (const char *a : c.argv) argv.push_back(const_cast<char *>(a));
    bool ok = scan_ParseCommandLine(static_cast<int>(argv.size()), argv.data(), driver, sizeof driver, &instance);
    EXPECT_EQ(ok, c.ok) << c.argv[0];
    if (ok) {
      EXPECT_STREQ(driver, c.driver);
      EXPECT_EQ(instance, c.instance);
    }
  }
}
