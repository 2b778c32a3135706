// What /proc shows of a running process: memory, descriptors, threads and
// CPU time, for tests that watch a scanner over many passes.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace tnwtest {

struct ProcStats {
  bool alive = false;      // /proc/<pid> exists and the process is no zombie
  uint64_t rssKb = 0;      // VmRSS
  uint64_t sizeKb = 0;     // VmSize
  int threads = 0;         // Threads
  int fds = 0;             // entries of /proc/<pid>/fd
  uint64_t cpuTicks = 0;   // utime + stime, in clock ticks
};

ProcStats ReadProcStats(pid_t pid);
// Bytes this process has allocated and not freed: unlike resident memory,
// blind to pages an allocator keeps for reuse.
uint64_t HeapInUse();
// Clock ticks a second (for cpuTicks).
long TicksPerSecond();
// The targets of the process's open descriptors, one a line (for messages).
std::string DescribeFds(pid_t pid);

// Whether thread tid (of any process) is asleep in the kernel (a wait, a
// lock, a read): how a test knows a thread has reached the blocking call it
// means to exercise.
bool ThreadAsleep(uint32_t tid);

// Polls cond every 5 ms until it holds or ms have passed; its last result.
template <typename F>
bool Until(F cond, uint32_t ms);

}  // namespace tnwtest

#include <chrono>
#include <thread>

template <typename F>
bool tnwtest::Until(F cond, uint32_t ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}
