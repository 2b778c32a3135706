// Callbacks for streams over a file descriptor or a socket.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "record/stream.h"

namespace {

int Descriptor(void *cookie) { return (int)(intptr_t)cookie; }

mode_t FileKind(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

// A write to a pipe whose reader is gone fails with EPIPE instead of raising SIGPIPE.
ssize_t WritePipe(int fd, const char *data, size_t len) {
  sigset_t pipe_set, old, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  ssize_t n;
  do n = write(fd, data, len);
  while (n < 0 && errno == EINTR);
  int e = errno;
  if (n < 0 && e == EPIPE && !was_pending) {
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = e;
  return n;
}

}  // namespace

ssize_t stream_DescriptorRead(void *cookie, char *buf, size_t size) {
  int fd = Descriptor(cookie);
  bool sock = FileKind(fd) == S_IFSOCK;
  ssize_t n;
  do n = sock ? recv(fd, buf, size, 0) : read(fd, buf, size);
  while (n < 0 && errno == EINTR);
  if (n < 0 && sock && errno == ECONNRESET) return 0;
  return n;
}

ssize_t stream_DescriptorWrite(void *cookie, const char *data, size_t len) {
  int fd = Descriptor(cookie);
  mode_t kind = FileKind(fd);
  if (kind == S_IFIFO) return WritePipe(fd, data, len);
  ssize_t n;
  do n = kind == S_IFSOCK ? send(fd, data, len, MSG_NOSIGNAL) : write(fd, data, len);
  while (n < 0 && errno == EINTR);
  return n;
}

int64_t stream_DescriptorSeek(void *cookie, int64_t offset, int whence) {
  return lseek(Descriptor(cookie), offset, whence);
}

int stream_DescriptorClose(void *cookie) { return close(Descriptor(cookie)); }

int stream_TruncateDescriptor(int fd, int64_t length) { return ftruncate(fd, length); }
