// Helpers for tests that need a second process.
#pragma once
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace tnwtest {

// Runs fn in a forked child, which ends with fn's result as exit status
// (without running the parent's exit handlers). Returns the child's pid.
inline pid_t Spawn(const std::function<int()> &fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  return pid;
}

// The child's exit status, or -1 when it did not exit normally.
inline int Join(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A one-way signal between processes: a pipe of one byte per Post.
struct Gate {
  int fds[2] = {-1, -1};
  Gate() {
    if (pipe(fds) != 0) fds[0] = fds[1] = -1;
  }
  ~Gate() {
    close(fds[0]);
    close(fds[1]);
  }
  void Post() const {
    char c = 1;
    if (write(fds[1], &c, 1) != 1) {
    }
  }
  // False when nothing came within 10 s (the other side died).
  bool Await() const {
    struct pollfd p = {fds[0], POLLIN, 0};
    char c;
    return poll(&p, 1, 10000) == 1 && read(fds[0], &c, 1) == 1;
  }
};

}  // namespace tnwtest
