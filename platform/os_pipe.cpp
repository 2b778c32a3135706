#include "platform/os_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_object.h"
#include "platform/os_path.h"
#include "platform/os_socket.h"

namespace {

// One connection: the rest of a message that a short read left behind.
struct Conn {
  std::mutex lock;
  std::vector<char> rest;
  size_t restAt = 0;
};

struct Listener {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  int lockFd = -1;  // held for the listener's life: tells live names from stale ones
};

bool SendAll(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads exactly n bytes; false on end or error (errno 0 at a clean end).
bool RecvAll(int fd, void *buf, size_t n) {
  char *p = static_cast<char *>(buf);
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) errno = 0;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

uint32_t PeerError() {
  return (errno == 0 || errno == ECONNRESET || errno == EPIPE) ? OS_ERROR_BROKEN_PIPE : os_ErrorFromErrno(errno);
}

// Hands out the rest of a message, or a new one.
int ReadConn(OsObject *o, void *buf, uint32_t n, uint32_t *got) {
  Conn *c = static_cast<Conn *>(o->state);
  std::lock_guard<std::mutex> g(c->lock);
  if (c->restAt >= c->rest.size()) {
    uint32_t len = 0;
    if (!RecvAll(o->fd, &len, sizeof len)) return os_Fail(PeerError()), -1;
    if (len > OS_PIPE_MAX_MESSAGE) return os_Fail(OS_ERROR_INVALID_DATA), -1;
    c->rest.assign(len, 0);
    c->restAt = 0;
    if (len && !RecvAll(o->fd, c->rest.data(), len)) return os_Fail(PeerError()), -1;
  }
  size_t left = c->rest.size() - c->restAt;
  size_t take = left < n ? left : n;
  if (take) memcpy(buf, c->rest.data() + c->restAt, take);
  c->restAt += take;
  *got = static_cast<uint32_t>(take);
  if (take < left) return os_Fail(OS_ERROR_MORE_DATA), -1;
  c->rest.clear();
  c->restAt = 0;
  return 0;
}

int WriteConn(OsObject *o, const void *buf, uint32_t n, uint32_t *written) {
  if (n > OS_PIPE_MAX_MESSAGE) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::vector<char> msg(sizeof(uint32_t) + n);
  memcpy(msg.data(), &n, sizeof n);
  if (n) memcpy(msg.data() + sizeof n, buf, n);
  if (!SendAll(o->fd, msg.data(), msg.size())) return os_Fail(errno == EPIPE ? OS_ERROR_NO_DATA : PeerError()), -1;
  *written = n;
  return 0;
}

void CloseConn(OsObject *o) {
  close(o->fd);
  delete static_cast<Conn *>(o->state);
}

const OsKind kConnKind = {"pipe", ReadConn, WriteConn, nullptr, nullptr, CloseConn};

bool ClaimListener(OsObject *) { return true; }

void CloseListener(OsObject *o) {
  Listener *l = static_cast<Listener *>(o->state);
  // The name goes with the handle, unless another listener took it over.
  struct stat st;
  if (stat(l->path.c_str(), &st) == 0 && st.st_dev == l->dev && st.st_ino == l->ino) unlink(l->path.c_str());
  close(o->fd);
  close(l->lockFd);
  delete l;
}

const OsKind kListenerKind = {"pipe-listener", nullptr, nullptr, ClaimListener, nullptr, CloseListener};

OsHandle NewConn(int fd) {
  Conn *c = new (std::nothrow) Conn;
  if (!c) return close(fd), os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  OsHandle h = os_NewHandle(&kConnKind, fd, c);
  if (!h) {
    close(fd);
    delete c;
  }
  return h;
}

// ROOT/hosts/H of a translated pipe path.
std::string HostFolder(const std::string &path) {
  std::string base = std::string(os_Root()) + "/hosts/";
  size_t end = path.find('/', base.size());
  return path.substr(0, end);
}

}  // namespace

bool os_IsPipePath(const char *linuxPath) {
  std::string base = std::string(os_Root()) + "/hosts/";
  std::string p = linuxPath;
  if (p.compare(0, base.size(), base) != 0) return false;
  if (p.compare(base.size(), 5, "pipe/") == 0) return true;  // this computer: hosts/./pipe folds to hosts/pipe
  size_t slash = p.find('/', base.size());
  return slash != std::string::npos && p.compare(slash, 6, "/pipe/") == 0;
}

OsHandle os_OpenPipeClient(const char *linuxPath, uint32_t, uint32_t, uint32_t, uint32_t) {
  std::string path = linuxPath;
  std::string base = std::string(os_Root()) + "/hosts/";
  bool local = path.compare(base.size(), 5, "pipe/") == 0 || path.compare(base.size(), 7, "./pipe/") == 0;
  if (!local) {
    struct stat st;
    if (stat(HostFolder(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return os_Fail(OS_ERROR_BAD_NETPATH), nullptr;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return os_FailErrno(errno), nullptr;
  struct sockaddr_un sa;
  socklen_t len = 0;
  int dirfd = -1;
  int rc = os_UnixAddress(path, sa, len, dirfd);
  if (rc == 0) {
    do rc = connect(fd, reinterpret_cast<struct sockaddr *>(&sa), len);
    while (rc != 0 && errno == EINTR);
  }
  int err = errno;
  if (dirfd >= 0) close(dirfd);
  if (rc != 0) {
    close(fd);
    if (err == ENOENT || err == ECONNREFUSED) return os_Fail(OS_ERROR_FILE_NOT_FOUND), nullptr;
    if (err == EAGAIN) return os_Fail(OS_ERROR_PIPE_BUSY), nullptr;
    return os_FailErrno(err), nullptr;
  }
  return NewConn(fd);
}

int os_SetNamedPipeHandleState(OsHandle h, const uint32_t *mode) {
  if (!os_CheckHandle(h, &kConnKind)) return -1;
  if (mode && *mode != OS_PIPE_READMODE_MESSAGE) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  return 0;
}

int os_TransactNamedPipe(OsHandle h, const void *in, uint32_t inLen, void *out, uint32_t outCap, uint32_t *got) {
  OsObject *o = os_CheckHandle(h, &kConnKind);
  uint32_t dummy = 0;
  if (!got) got = &dummy;
  *got = 0;
  if (!o) return -1;
  if ((!in && inLen) || (!out && outCap)) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint32_t written = 0;
  if (WriteConn(o, in, inLen, &written) != 0) return -1;
  return ReadConn(o, out, outCap, got);
}

OsHandle os_CreatePipeListener(const char *name) {
  char lpath[PATH_MAX];
  if (os_TranslatePath(name, lpath, sizeof lpath) != 0) return nullptr;
  if (!os_IsPipePath(lpath)) return os_Fail(OS_ERROR_INVALID_NAME), nullptr;
  std::string path = lpath;
  std::string dir = path.substr(0, path.rfind('/'));
  if (os_MakeFolders(dir.c_str()) != 0) return nullptr;
  // A live listener holds the lock beside its socket; without it the socket
  // file is a dead process's and is taken over.
  int lockFd = open((path + ".lck").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd < 0) return os_FailErrno(errno), nullptr;
  if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    close(lockFd);
    return e == EWOULDBLOCK ? (os_Fail(OS_ERROR_ALREADY_EXISTS), nullptr) : (os_FailErrno(e), nullptr);
  }
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return close(lockFd), os_FailErrno(errno), nullptr;
  struct sockaddr_un sa;
  socklen_t len = 0;
  int dirfd = -1;
  if (os_UnixAddress(path, sa, len, dirfd) != 0) return close(fd), close(lockFd), nullptr;
  int rc = bind(fd, reinterpret_cast<struct sockaddr *>(&sa), len);
  int err = errno;
  if (dirfd >= 0) close(dirfd);
  if (rc != 0 || listen(fd, 64) != 0) {
    if (rc == 0) err = errno;
    close(fd);
    close(lockFd);
    return os_FailErrno(err), nullptr;
  }
  Listener *l = new (std::nothrow) Listener;
  struct stat st;
  if (!l || stat(path.c_str(), &st) != 0) {
    delete l;
    close(fd);
    close(lockFd);
    return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  }
  l->lockFd = lockFd;
  l->path = path;
  l->dev = st.st_dev;
  l->ino = st.st_ino;
  OsHandle h = os_NewHandle(&kListenerKind, fd, l);
  if (!h) {
    unlink(path.c_str());
    close(fd);
    close(lockFd);
    delete l;
  }
  return h;
}

OsHandle os_AcceptPipeClient(OsHandle listener, uint32_t ms) {
  OsObject *o = os_CheckHandle(listener, &kListenerKind);
  if (!o) return nullptr;
  uint64_t deadline = os_Deadline(ms);
  for (;;) {
    struct pollfd p = {o->fd, POLLIN, 0};
    int r = poll(&p, 1, os_PollTimeout(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return os_FailErrno(errno), nullptr;
    if (r == 0) return os_Fail(OS_ERROR_WAIT_TIMEOUT), nullptr;
    int fd = accept4(o->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return NewConn(fd);
    if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) return os_FailErrno(errno), nullptr;
  }
}
