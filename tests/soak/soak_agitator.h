// The soak's second process: while the scanner runs it posts reconfigure,
// initialise-values and reset-counters codes at random times and rewrites a
// channel file (then posts the reconfigure code), reporting each act.
//
// It is forked at construction: construct it after the world exists and
// before this process starts any thread.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace soak {

struct Act {
  int32_t code = 0;     // 302, 303 or 304
  int32_t posted = 0;   // 0, or -1 when the post failed
  int32_t type = -1;    // the channel file rewritten first (IO_AI, IO_DI), -1 none
  int32_t channel = -1;
  int32_t stampSeconds = 0;  // the rewritten file's write time (TimeStamp seconds and ms)
  int32_t stampMs = 0;
  uint64_t atMs = 0;    // CLOCK_MONOTONIC, when the code was posted
};

class Agitator {
 public:
  explicit Agitator(uint32_t seed);
  ~Agitator();
  Agitator(const Agitator &) = delete;
  Agitator &operator=(const Agitator &) = delete;
  bool Forked() const { return child_ > 0; }
  // Starts acting on the scanner.
  bool Start(uint32_t scannerPid);
  // The acts reported since the last call.
  std::vector<Act> Take();
  // Stops it; the acts not taken yet are returned.
  std::vector<Act> Stop();

 private:
  pid_t child_ = -1;
  int toChild_ = -1, fromChild_ = -1;
};

uint64_t NowMs();

}  // namespace soak
