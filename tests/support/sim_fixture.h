// A test with the real scanner and pumpsim on a simulated world: the
// children it starts are killed, the scanner and pumpsim stopped and the
// world taken down when it ends.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/notify/ntf_notify.h"
#include "platform/os_handle.h"
#include "tests/support/child_run.h"
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
};

}  // namespace tnwtest
