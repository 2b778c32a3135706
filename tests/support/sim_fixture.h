// A test with the real scanner and pumpsim on a simulated world: the
// children it starts are killed, the scanner and pumpsim stopped and the
// world taken down when it ends.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_handle.h"
#include "tests/support/child_run.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

namespace tnwtest {

// The pump and value a channel's hardware words name.
struct Hw {
  uint32_t pump, value;
};

inline void PutHw(ChannelRecord *r, int type, Hw hw) {
  int at = type == IO_DI ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  memcpy(r->raw + at, &hw.pump, 4);
  memcpy(r->raw + at + 4, &hw.value, 4);
}

// Three analogue channels (outlet pressures of pumps 1 and 2, CYL1_POS) and
// two digital ones (STATUS, M_VALVE1) on pump 1's line.
inline void PumpChannels(SimDeviceSpec *d) {
  d->channels[IO_AI] = 3;
  d->channels[IO_DI] = 2;
  d->channelSetup = [](int t, int i, ChannelRecord *r) {
    static const Hw ai[3] = {{1, 3}, {2, 3}, {1, 18}};
    static const Hw di[2] = {{1, 1}, {1, 26}};
    if (t == IO_AI) PutHw(r, t, ai[i]);
    if (t == IO_DI) PutHw(r, t, di[i]);
  };
}

// What one scanner pass published in A1 and D1.
struct PassSample {
  std::vector<SimChannel> ai, di;
};

// A logger child and the `logtool follow` of its run, each writing a file.
struct FollowedLogger {
  const char *name;
  std::string out, follow;
  pid_t logger = -1, follower = -1;
};

class SimProcesses : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t &p : children)
      if (p > 0) kill(p, SIGKILL), WaitChild(p, 5000), p = -1;
    if (scanner) {
      if (sim_WaitExit(scanner, 0) < 0) os_TerminateProcess(scanner, 9);
      sim_WaitExit(scanner, 5000);
      os_CloseHandle(scanner);
    }
    if (line) sim_StopPumpSim(line, linePid, 5000);
    ntf_Stop();
    sim_DestroyWorld();
  }
  pid_t Start(const std::vector<std::string> &argv, const std::string &out) {
    pid_t p = Launch(argv, Root(), out);
    children.push_back(p);
    return p;
  }
  // The world of `w`, pumpsim (with `pumpArgs`) on its first line and the
  // scanner, the device ready; `watch` is the area whose passes are waited
  // for.
  ::testing::AssertionResult StartPlant(const SimWorldSpec &w, const char *watch,
                                        const std::vector<std::string> &pumpArgs = {}) {
    std::string why;
    if (sim_CreateWorld(w, &why) != 0) return ::testing::AssertionFailure() << "no world: " << why;
    if (!sim_Watch(watch, 1)) return ::testing::AssertionFailure() << "cannot watch " << watch;
    line = sim_StartPumpSim(0, pumpArgs, &linePid);
    if (!line) return ::testing::AssertionFailure() << "pumpsim did not start";
    pumpStarted = std::chrono::steady_clock::now();
    scanner = sim_StartScanner(0, "", &scannerPid);
    if (!scanner) return ::testing::AssertionFailure() << "the scanner did not start";
    if (!sim_WaitRunning(0, scanner, 10000)) return ::testing::AssertionFailure() << "the scanner is not running";
    DeviceRecord *rec = sim_Device(0);
    if (!Until([&] { return rec->Ready == 1 && rec->Busy == 0; }, 15000))
      return ::testing::AssertionFailure() << "device not ready: " << sim_StatusText("TNWELL1");
    return ::testing::AssertionSuccess();
  }
  // Waits until a logger child's notification mailslot is open.
  static bool SlotOpen(pid_t logger) {
    std::string slot = Root() + "/kernel/mailslot/dm_" + std::to_string(logger) + ".slt";
    return Until([&] { return access(slot.c_str(), F_OK) == 0; }, 5000);
  }
  // Seconds into pumpsim's run (at most a few ms short).
  double Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - pumpStarted).count();
  }
  // One scanner pass, waited for through `area`. Notices of passes nobody
  // waited for (the initialising ones) are counted in the waiter's slot;
  // taken now, the wait ends with this pass.
  ::testing::AssertionResult ScanPass(const char *area) {
    void *seg = sim_Area(area, SHM_AREA_DATA);
    while (shm_WaitChangeFor(seg, 1, 1) == 1) {
    }
    if (sim_Post(scannerPid, NTF_SCAN) != 0 || !sim_WaitForChange(area, 1, 10000))
      return ::testing::AssertionFailure() << "no scanner pass";
    return ::testing::AssertionSuccess();
  }
  // Passes 1 to `records`, each recorded by every logger (the one at
  // `textAt` with a text) and shown by its follower before the next; then
  // the loggers stopped and the followers ended.
  ::testing::AssertionResult RecordFollowed(const std::vector<FollowedLogger *> &loggers, uint32_t records,
                                            uint32_t textAt, std::vector<PassSample> *samples) {
    for (uint32_t n = 1; n <= records; ++n) {
      if (::testing::AssertionResult r = ScanPass("A1"); !r) return r << " for record " << n;
      samples->push_back({sim_ReadChannels("A1"), sim_ReadChannels("D1")});
      for (FollowedLogger *l : loggers)
        if (sim_Post(uint32_t(l->logger), n == textAt ? 200003 : 200000) != 0)
          return ::testing::AssertionFailure() << l->name << ": logger gone at " << n;
      for (FollowedLogger *l : loggers) {
        if (!WaitForText(l->out, "\nwrote " + std::to_string(n) + "\n", 10000))
          return ::testing::AssertionFailure() << l->name << ": " << ReadAll(l->out);
        if (!WaitForText(l->follow, "(^|\n)record " + std::to_string(n - 1) + " ", 10000))
          return ::testing::AssertionFailure() << l->name << " follower: " << ReadAll(l->follow);
      }
    }
    for (FollowedLogger *l : loggers) {
      if (sim_Post(uint32_t(l->logger), NTF_STOP) != 0) return ::testing::AssertionFailure() << l->name << ": no stop";
      if (int status = Reap(l->logger, 10000); status != 0)
        return ::testing::AssertionFailure() << l->name << ": logger ended with " << status;
      if (kill(l->follower, SIGTERM) != 0) return ::testing::AssertionFailure() << l->name << ": follower gone";
      Reap(l->follower, 5000);
    }
    return ::testing::AssertionSuccess();
  }
  // The exit status of a child this test started; it is not killed again.
  int Reap(pid_t p, int ms) {
    int status = WaitChild(p, ms);
    if (status >= 0)
      for (pid_t &c : children)
        if (c == p) c = -1;
    return status;
  }

  std::vector<pid_t> children;
  OsHandle scanner = nullptr, line = nullptr;
  uint32_t scannerPid = 0, linePid = 0;
  std::chrono::steady_clock::time_point pumpStarted;
};

}  // namespace tnwtest
