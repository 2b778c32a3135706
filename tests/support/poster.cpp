#include "tests/support/poster.h"

#include <sys/wait.h>
#include <unistd.h>

#include "framework/notify/ntf_notify.h"

namespace tnwtest {

namespace {

bool ReadAll(int fd, void *buf, size_t n) {
  char *p = static_cast<char *>(buf);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  while (n > 0) {
    ssize_t r = write(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

Poster::Poster() {
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0) return;
  child_ = fork();
  if (child_ == 0) {
    close(down[1]);
    close(up[0]);
    for (;;) {
      uint32_t head[2];
      if (!ReadAll(down[0], head, sizeof head)) _exit(0);
      std::vector<int32_t> codes(head[1]);
      if (!codes.empty() && !ReadAll(down[0], codes.data(), codes.size() * sizeof(int32_t))) _exit(1);
      int32_t failed = 0;
      for (int32_t c : codes)
        if (ntf_Post(head[0], c) != 0) ++failed;
      if (!WriteAll(up[1], &failed, sizeof failed)) _exit(1);
    }
  }
  close(down[0]);
  close(up[1]);
  toChild_ = down[1];
  fromChild_ = up[0];
}

Poster::~Poster() {
  if (toChild_ >= 0) close(toChild_);
  if (fromChild_ >= 0) close(fromChild_);
  if (child_ > 0) waitpid(child_, nullptr, 0);
}

bool Poster::Start(uint32_t pid, const std::vector<int32_t> &codes) {
  uint32_t head[2] = {pid, static_cast<uint32_t>(codes.size())};
  return child_ > 0 && WriteAll(toChild_, head, sizeof head) &&
         (codes.empty() || WriteAll(toChild_, codes.data(), codes.size() * sizeof(int32_t)));
}

int Poster::Wait() {
  int32_t failed = -1;
  if (!ReadAll(fromChild_, &failed, sizeof failed)) return -1;
  return failed;
}

int Poster::Post(uint32_t pid, const std::vector<int32_t> &codes) { return Start(pid, codes) ? Wait() : -1; }

}  // namespace tnwtest
