// The main loop in this process, with recording handlers in the handler tables.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
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
#include "framework/registry/reg_settings.h"
#include "framework/values/sav_values.h"
#include "platform/os_handle.h"
#include "platform/os_path.h"
#include "scanner/com_port.h"
#include "scanner/pump_handlers.h"
#include "scanner/scan_life.h"
#include "scanner/scan_state.h"
#include "tests/scanner/scan_fixture.h"
#include "tests/support/poster.h"
#include "tools/pumpsim/psim.h"
#include "tools/scadasim/sim_world.h"

using scantest::ResetScanState;

namespace {

std::mutex g_lock;
std::condition_variable g_cv;
std::vector<std::string> g_events;
bool g_block = false;      // DI reads wait for a release
bool g_inPass = false;
std::atomic<uint64_t> g_scanCodes{0};
std::atomic<bool> g_refuse{false};  // handlers fail, as a unit that is gone

void Event(const std::string &e) {
  std::lock_guard<std::mutex> g(g_lock);
  g_events.push_back(e);
  g_cv.notify_all();
}

int RecInit(uint8_t *, int, ChannelRecord *table) {
  Event("init:" + std::to_string(table ? chan_TypeByte(table) : -1));
  if (!g_refuse) return 0;
  // The server's scan codes keep coming while the unit is tried.
  ntf_Post(static_cast<uint32_t>(getpid()), NTF_SCAN);
  return -1;
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
  return g_refuse ? -1 : 0;
}

int Counting(int32_t code) {
  if (code == NTF_SCAN) ++g_scanCodes;
  return scan_OnSignal(code);
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
    g_refuse = false;
    ntf_Start(Counting);
    ASSERT_EQ(scan_LoadConfiguration(), 0);
    scan_InitialiseDevice(0);
    ASSERT_EQ(Events(), (std::vector<std::string>{"init:0", "init:1", "read:1", "read:0"}));
    Clear();
    loopEnded = false;
    loop = std::thread([this] {
      scan_MainLoop();
      loopEnded = true;
    });
  }

  void TearDown() override {
    Release();
    g_refuse = false;
    if (loop.joinable()) {
      g_scan.run = 0;
      ntf_Post(static_cast<uint32_t>(getpid()), NTF_STOP);
      if (!JoinLoop(10000)) {
        // A loop that never ends cannot be joined: end the program, failed.
        fprintf(stderr, "the main loop did not end after the stop\n");
        fflush(nullptr);
        std::_Exit(1);
      }
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
  // Joins the loop once it has ended; false when it has not within ms.
  bool JoinLoop(uint32_t ms) {
    uint32_t start = os_GetTickCount();
    while (!loopEnded && os_GetTickCount() - start < ms) os_Sleep(2);
    if (!loopEnded) return false;
    loop.join();
    return true;
  }
  static size_t CountEvents(const std::string &e) {
    std::lock_guard<std::mutex> g(g_lock);
    return static_cast<size_t>(std::count(g_events.begin(), g_events.end(), e));
  }

  std::filesystem::path oldCwd;
  std::unique_ptr<tnwtest::Poster> poster;
  PumpSim *line = nullptr;
  std::thread loop;
  std::atomic<bool> loopEnded{false};
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
  ASSERT_TRUE(JoinLoop(10000)) << "the loop did not end after the pass";
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
  EXPECT_LT(os_GetTickCount() - start, 10000u) << "the stop was not served";
  Release();
  ASSERT_TRUE(JoinLoop(10000)) << "the loop did not end after the stop";
  EXPECT_EQ(g_scan.pendingScans.load(), 2);
}

TEST_F(LoopTest, InitialisationRetriesKeepTheirPaceUnderScanTraffic) {
  // A failed pass sends the loop back to initialising, which fails on and on.
  g_refuse = true;
  Post(NTF_SCAN);
  ASSERT_TRUE(WaitEvents(2));  // the failed pass, then the first attempt
  // A scan code arrives during every attempt: it must not cut the second
  // between attempts short.
  size_t before = CountEvents("init:0");
  os_Sleep(3000);
  size_t attempts = CountEvents("init:0") - before;
  EXPECT_GE(attempts, 2u);
  EXPECT_LE(attempts, 5u) << "retries did not wait a second";
  EXPECT_EQ(g_scan.record->Busy, 1);
  // A unit that answers again ends the retries.
  g_refuse = false;
  uint32_t back = os_GetTickCount();
  while (g_scan.record->Busy != 0 && os_GetTickCount() - back < 10000) os_Sleep(5);
  EXPECT_EQ(g_scan.record->Busy, 0);
}

TEST(SaveOutputsTest, SaveWritesEveryChannelThatTheLoadRestored) {
  // AO and DO areas whose init handlers refuse: the scan works none of their
  // channels, yet the outputs restored at load must survive a save.
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.codes[IO_AO] = "O1";
  d.channels[IO_AO] = 4;
  d.codes[IO_DO] = "Q1";
  d.channels[IO_DO] = 3;
  d.saveOutputs = 1;
  d.saveRate = 60000;
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  std::filesystem::path oldCwd = std::filesystem::current_path();
  std::filesystem::current_path(sim_DeviceFolder(0));
  ResetScanState();
  g_scan.record = sim_Device(0);
  const ChannelRecord *aoTable = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(sim_Area("O1", SHM_AREA_CONF)));
  const ChannelRecord *doTable = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(sim_Area("Q1", SHM_AREA_CONF)));
  const float ao[4] = {1.5f, -2.0f, 300.25f, 7.0f};
  const uint32_t dos[3] = {1, 0, 1};
  std::string saved = cfg_GetFolder("TSQ_SAVED_VALUES");
  char linux[4096];
  ASSERT_EQ(os_TranslatePath(saved.c_str(), linux, sizeof linux), 0);
  std::filesystem::create_directories(linux);
  ASSERT_EQ(sav_WriteValues("TNWELL1", IO_AO, ao, aoTable, 4), 0);
  ASSERT_EQ(sav_WriteValues("TNWELL1", IO_DO, dos, doTable, 3), 0);

  ASSERT_EQ(scan_LoadConfiguration(), 0);
  EXPECT_EQ(g_scan.limit[IO_AO], 0);
  const float *aoArea = reinterpret_cast<const float *>(shm_AreaStatusWords(sim_Area("O1", SHM_AREA_DATA)) + 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(aoArea[i], ao[i]) << "restored AO " << i;

  // Saved afresh: both files hold every channel with what was restored.
  for (const char *f : {"TNWELL1_ao.bin", "TNWELL1_ao.tag", "TNWELL1_do.bin", "TNWELL1_do.tag"})
    std::filesystem::remove(std::string(linux) + "/" + f);
  g_scan.type[IO_AO].changed = g_scan.type[IO_DO].changed = true;
  scan_SaveOutputValues();
  EXPECT_EQ(std::filesystem::file_size(std::string(linux) + "/TNWELL1_ao.bin"), 4u * 16);
  EXPECT_EQ(std::filesystem::file_size(std::string(linux) + "/TNWELL1_do.bin"), 3u * 16);
  float aoBack[4] = {};
  uint32_t doBack[3] = {};
  ASSERT_EQ(sav_ReadValues("TNWELL1", IO_AO, 0, aoBack, aoTable, 4), 0);
  ASSERT_EQ(sav_ReadValues("TNWELL1", IO_DO, 0, doBack, doTable, 3), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(aoBack[i], ao[i]) << "saved AO " << i;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(doBack[i] & 1u, dos[i]) << "saved DO " << i;

  std::filesystem::current_path(oldCwd);
  ResetScanState();
  sim_DestroyWorld();
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
