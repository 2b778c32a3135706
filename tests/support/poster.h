// A helper process that posts notification codes when told to.
//
// It is forked at construction, so construct it while this process has no
// other threads yet: a child forked from a process with running threads may
// find a lock held forever (allocator and sanitizer locks among them).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace tnwtest {

class Poster {
 public:
  Poster();
  ~Poster();
  Poster(const Poster &) = delete;
  Poster &operator=(const Poster &) = delete;
  // Posts the codes to pid, as fast as it can; returns the number that failed
  // (-1 when the helper is gone).
  int Post(uint32_t pid, const std::vector<int32_t> &codes);
  // Tells the helper to post, without waiting for it; Wait() collects the result.
  bool Start(uint32_t pid, const std::vector<int32_t> &codes);
  int Wait();

 private:
  pid_t child_ = -1;
  int toChild_ = -1, fromChild_ = -1;
};

}  // namespace tnwtest
