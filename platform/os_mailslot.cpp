#include "platform/os_mailslot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_object.h"
#include "platform/os_path.h"
#include "platform/os_socket.h"

namespace {

std::atomic<uint32_t> g_writeTimeoutMs{3000};
// Messages os_GetMailslotInfo may hold in the process to count them.
const size_t kMaxCounted = 1024;

struct Slot {
  std::mutex lock;
  std::deque<std::vector<char>> counted;  // taken off the socket by os_GetMailslotInfo, oldest first
  int countedFd = -1;                     // eventfd: nonzero while `counted` holds messages
  uint32_t maxMessage = 0;
  uint32_t timeoutMs = 0;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
};

// Whether a process still holds the socket bound at the address.
bool Live(const struct sockaddr_un &sa, socklen_t len) {
  int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;  // cannot tell: do not take it away
  int rc = connect(probe, reinterpret_cast<const struct sockaddr *>(&sa), len);
  int err = errno;
  close(probe);
  return rc == 0 || (err != ECONNREFUSED && err != ENOENT);
}

bool IsSlotPath(const char *lpath) {
  std::string prefix = std::string(os_Root()) + "/kernel/mailslot/";
  return strncmp(lpath, prefix.c_str(), prefix.size()) == 0 && lpath[prefix.size()] != '\0';
}

// Keeps the eventfd in step with `counted`, so a reader blocked in poll sees
// messages that os_GetMailslotInfo took off the socket. Holds s->lock.
void SetCounted(Slot *s) {
  uint64_t v = 1;
  ssize_t r = s->counted.empty() ? read(s->countedFd, &v, sizeof v) : write(s->countedFd, &v, sizeof v);
  (void)r;  // EAGAIN: already clear (read) or set far beyond need (write)
}

// Takes one message off the socket without blocking. Returns its length,
// or -1 with errno (EAGAIN when the socket is empty). Holds s->lock.
ssize_t TakeOne(OsObject *o, Slot *s, std::vector<char> &msg) {
  for (;;) {
    ssize_t size = recv(o->fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    msg.resize(static_cast<size_t>(size));
    ssize_t r = recv(o->fd, msg.data(), msg.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (static_cast<size_t>(r) < msg.size()) msg.resize(static_cast<size_t>(r));
    if (s->maxMessage && static_cast<size_t>(r) > s->maxMessage) continue;  // over the slot's size: dropped
    return r;
  }
}

int ReadSlot(OsObject *o, void *buf, uint32_t n, uint32_t *got) {
  Slot *s = static_cast<Slot *>(o->state);
  uint64_t deadline = os_Deadline(s->timeoutMs);
  for (;;) {
    ssize_t r = -1;
    int err = 0;
    {
      std::lock_guard<std::mutex> guard(s->lock);
      if (!s->counted.empty()) {
        std::vector<char> msg = std::move(s->counted.front());
        s->counted.pop_front();
        SetCounted(s);
        if (msg.size() > n) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), -1;
        if (!msg.empty()) memcpy(buf, msg.data(), msg.size());
        *got = static_cast<uint32_t>(msg.size());
        return 0;
      }
      r = recv(o->fd, buf, n, MSG_TRUNC | MSG_DONTWAIT);
      err = errno;
    }
    if (r >= 0) {
      if (s->maxMessage && static_cast<size_t>(r) > s->maxMessage) continue;
      if (static_cast<size_t>(r) > n) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), -1;  // and it is gone
      *got = static_cast<uint32_t>(r);
      return 0;
    }
    if (err == EINTR) continue;
    if (err != EAGAIN) return os_FailErrno(err), -1;
    struct pollfd fds[2] = {{o->fd, POLLIN, 0}, {s->countedFd, POLLIN, 0}};
    int left = os_PollTimeout(deadline);
    if (left == 0) return os_Fail(OS_ERROR_SEM_TIMEOUT), -1;
    if (poll(fds, 2, left) < 0 && errno != EINTR) return os_FailErrno(errno), -1;
  }
}

void CloseSlot(OsObject *o) {
  Slot *s = static_cast<Slot *>(o->state);
  struct stat st;
  // The name goes with the last reader, unless another process has taken it over.
  if (stat(s->path.c_str(), &st) == 0 && st.st_dev == s->dev && st.st_ino == s->ino) unlink(s->path.c_str());
  close(o->fd);
  close(s->countedFd);
  delete s;
}

int WriteSlot(OsObject *o, const void *buf, uint32_t n, uint32_t *written) {
  uint64_t deadline = os_Deadline(g_writeTimeoutMs.load());
  for (;;) {
    ssize_t w = send(o->fd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w >= 0) {
      *written = static_cast<uint32_t>(w);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EMSGSIZE) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
    if (errno != EAGAIN) return os_FailErrno(errno), -1;
    // The reader's queue is full: wait for room, but not for ever.
    int left = os_PollTimeout(deadline);
    if (left == 0) return os_Fail(OS_ERROR_SEM_TIMEOUT), -1;
    struct pollfd pfd = {o->fd, POLLOUT, 0};
    if (poll(&pfd, 1, left) < 0 && errno != EINTR) return os_FailErrno(errno), -1;
  }
}

void CloseWriter(OsObject *o) { close(o->fd); }

const OsKind kSlotKind = {"mailslot", ReadSlot, nullptr, nullptr, nullptr, CloseSlot};
const OsKind kWriterKind = {"mailslot client", nullptr, WriteSlot, nullptr, nullptr, CloseWriter};

// Binds the socket at the slot's path; the folder is locked so that two
// creators never both take over a stale name.
int BindSlot(int sock, const std::string &path, Slot *s) {
  size_t slash = path.rfind('/');
  std::string dir = path.substr(0, slash);
  if (os_MakeFolders(dir.c_str()) != 0) return -1;
  int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) return os_FailErrno(errno), -1;
  struct sockaddr_un sa;
  socklen_t len;
  int rc = -1;
  if (os_UnixAddress(path, sa, len, dirfd) == 0) {
    while (flock(dirfd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const struct sockaddr *addr = reinterpret_cast<const struct sockaddr *>(&sa);
    rc = bind(sock, addr, len);
    if (rc != 0 && errno == EADDRINUSE) {
      if (Live(sa, len)) {
        os_Fail(OS_ERROR_ALREADY_EXISTS);
      } else {
        unlinkat(dirfd, path.c_str() + slash + 1, 0);  // a dead process's slot
        rc = bind(sock, addr, len);
        if (rc != 0) os_FailErrno(errno);
      }
    } else if (rc != 0) {
      os_FailErrno(errno);
    }
    struct stat st;
    if (rc == 0 && stat(path.c_str(), &st) == 0) s->dev = st.st_dev, s->ino = st.st_ino;
    flock(dirfd, LOCK_UN);
  }
  close(dirfd);
  return rc;
}

}  // namespace

void os_SetMailslotWriteTimeoutForTests(uint32_t ms) { g_writeTimeoutMs.store(ms); }

OsHandle os_CreateMailslot(const char *name, uint32_t maxMessage, uint32_t readTimeoutMs,
                           const OsSecurityAttributes *) {
  char lpath[PATH_MAX];
  if (!name || os_TranslatePath(name, lpath, sizeof lpath) != 0) return os_Fail(OS_ERROR_INVALID_NAME), nullptr;
  if (!IsSlotPath(lpath)) return os_Fail(OS_ERROR_INVALID_NAME), nullptr;
  Slot *s = new (std::nothrow) Slot;
  if (!s) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  s->maxMessage = maxMessage;
  s->timeoutMs = readTimeoutMs;
  s->path = lpath;
  s->countedFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s->countedFd < 0 || sock < 0) {
    os_FailErrno(errno);
    if (sock >= 0) close(sock);
    if (s->countedFd >= 0) close(s->countedFd);
    delete s;
    return nullptr;
  }
  if (BindSlot(sock, s->path, s) != 0) {
    uint32_t e = os_GetLastError();
    close(sock);
    close(s->countedFd);
    delete s;
    os_Fail(e);
    return nullptr;
  }
  OsHandle h = os_NewHandle(&kSlotKind, sock, s);
  if (!h) {
    OsObject tmp{&kSlotKind, sock, s};
    CloseSlot(&tmp);
    return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  }
  os_SetLastError(OS_ERROR_SUCCESS);
  return h;
}

int os_GetMailslotInfo(OsHandle h, uint32_t *next, uint32_t *count) {
  OsObject *o = os_CheckHandle(h, &kSlotKind);
  if (!o) return -1;
  Slot *s = static_cast<Slot *>(o->state);
  std::lock_guard<std::mutex> guard(s->lock);
  // The socket tells only the next message's size; counting means taking them.
  while (s->counted.size() < kMaxCounted) {
    std::vector<char> msg;
    if (TakeOne(o, s, msg) < 0) break;
    s->counted.push_back(std::move(msg));
  }
  SetCounted(s);
  if (next) *next = s->counted.empty() ? OS_MAILSLOT_NO_MESSAGE : static_cast<uint32_t>(s->counted.front().size());
  if (count) *count = static_cast<uint32_t>(s->counted.size());
  return 0;
}

OsHandle os_OpenMailslotWriter(const char *linuxPath, uint32_t access, uint32_t, uint32_t, uint32_t) {
  if (!(access & OS_GENERIC_WRITE)) return os_Fail(OS_ERROR_ACCESS_DENIED), nullptr;
  int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock < 0) return os_FailErrno(errno), nullptr;
  struct sockaddr_un sa;
  socklen_t len;
  int dirfd = -1;
  int rc = os_UnixAddress(linuxPath, sa, len, dirfd);
  if (rc == 0) {
    rc = connect(sock, reinterpret_cast<const struct sockaddr *>(&sa), len);
    // No reader bound there (none, or a dead process's): no such slot.
    if (rc != 0) os_Fail(errno == ECONNREFUSED || errno == ENOENT || errno == ENOTDIR ? OS_ERROR_FILE_NOT_FOUND
                                                                                      : os_ErrorFromErrno(errno));
  } else if (os_GetLastError() == OS_ERROR_PATH_NOT_FOUND) {
    os_Fail(OS_ERROR_FILE_NOT_FOUND);  // the folder of the slot is missing
  }
  if (dirfd >= 0) close(dirfd);
  if (rc != 0) return close(sock), nullptr;
  OsHandle h = os_NewHandle(&kWriterKind, sock, nullptr);
  if (!h) close(sock);
  return h;
}
