#include <poll.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_object.h"

namespace {
// Live handles, so that a stale or foreign pointer is refused, not followed.
std::mutex g_handleLock;
std::unordered_set<OsObject *> *g_live;

// Each thread remembers the last handles it found live: a hot path (the
// serial line, the areas' locks) then checks without the lock. Every close
// moves the generation and so empties every thread's memory.
std::atomic<uint64_t> g_closes{0};
enum : unsigned { kSeenHandles = 4 };
struct SeenHandles {
  uint64_t closes = 0;
  OsObject *handles[kSeenHandles] = {};
  unsigned next = 0;
};
thread_local SeenHandles t_seen;
}  // namespace

OsHandle os_NewHandle(const OsKind *kind, int fd, void *state) {
  OsObject *o = new (std::nothrow) OsObject{kind, fd, state};
  if (!o) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  std::lock_guard<std::mutex> guard(g_handleLock);
  // Never freed: handles may still be closed from static destructors.
  if (!g_live) g_live = new std::unordered_set<OsObject *>;
  g_live->insert(o);
  return o;
}

OsObject *os_CheckHandle(OsHandle h, const OsKind *kind) {
  uint64_t closes = g_closes.load(std::memory_order_acquire);
  SeenHandles &seen = t_seen;
  if (h && seen.closes == closes) {
    for (OsObject *o : seen.handles)
      if (o == h) {
        if (!kind || h->kind == kind) return h;
        return os_Fail(OS_ERROR_INVALID_HANDLE), nullptr;
      }
  }
  bool live;
  {
    std::lock_guard<std::mutex> guard(g_handleLock);
    live = h && g_live && g_live->count(h);
  }
  if (live) {
    // A close since `closes` was read leaves the memory stale: emptied next time.
    if (seen.closes != closes) seen = SeenHandles{closes, {}, 0};
    seen.handles[seen.next++ % kSeenHandles] = h;
    if (!kind || h->kind == kind) return h;
  }
  os_Fail(OS_ERROR_INVALID_HANDLE);
  return nullptr;
}

int os_CloseHandle(OsHandle h) {
  {
    std::lock_guard<std::mutex> guard(g_handleLock);
    if (!h || !g_live || g_live->erase(h) == 0) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  }
  g_closes.fetch_add(1, std::memory_order_release);
  if (h->kind->close) h->kind->close(h);
  delete h;
  return 0;
}

int os_HandleFd(OsHandle h) {
  OsObject *o = os_CheckHandle(h, nullptr);
  return o ? o->fd : -1;
}

uint64_t os_MonotonicMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t os_Deadline(uint32_t ms) { return ms == OS_INFINITE ? UINT64_MAX : os_MonotonicMs() + ms; }

int os_PollTimeout(uint64_t deadline) {
  if (deadline == UINT64_MAX) return -1;
  uint64_t now = os_MonotonicMs();
  if (now >= deadline) return 0;
  uint64_t left = deadline - now;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

uint32_t os_GetTickCount(void) { return static_cast<uint32_t>(os_MonotonicMs()); }

void os_Sleep(uint32_t ms) {
  uint64_t deadline = os_Deadline(ms);
  do {
    int left = os_PollTimeout(deadline);
    if (left == 0) return;
    poll(nullptr, 0, left);
  } while (true);
}

uint32_t os_WaitForMultipleObjects(uint32_t n, const OsHandle *handles, uint32_t ms) {
  if (n == 0 || n > OS_MAXIMUM_WAIT_OBJECTS || !handles) return os_Fail(OS_ERROR_INVALID_PARAMETER), OS_WAIT_FAILED;
  OsObject *objs[OS_MAXIMUM_WAIT_OBJECTS];
  struct pollfd fds[OS_MAXIMUM_WAIT_OBJECTS];
  for (uint32_t i = 0; i < n; ++i) {
    objs[i] = os_CheckHandle(handles[i], nullptr);
    if (!objs[i]) return OS_WAIT_FAILED;
    if (n == 1 && objs[i]->kind->waitOne) return objs[i]->kind->waitOne(objs[i], ms);
    if (!objs[i]->kind->claim || objs[i]->fd < 0) return os_Fail(OS_ERROR_INVALID_HANDLE), OS_WAIT_FAILED;
    fds[i].fd = objs[i]->fd;
    fds[i].events = POLLIN;
  }
  uint64_t deadline = os_Deadline(ms);
  for (;;) {
    for (uint32_t i = 0; i < n; ++i) fds[i].revents = 0;
    int r = poll(fds, n, os_PollTimeout(deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      return os_FailErrno(errno), OS_WAIT_FAILED;
    }
    if (r == 0) {
      if (os_PollTimeout(deadline) != 0) continue;
      os_SetLastError(OS_ERROR_SUCCESS);
      return OS_WAIT_TIMEOUT;
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (fds[i].revents & POLLNVAL) return os_Fail(OS_ERROR_INVALID_HANDLE), OS_WAIT_FAILED;
      if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) && objs[i]->kind->claim(objs[i]))
        return OS_WAIT_OBJECT_0 + i;
    }
    // Every ready object was taken by another waiter first: wait on.
  }
}

uint32_t os_WaitForSingleObject(OsHandle h, uint32_t ms) { return os_WaitForMultipleObjects(1, &h, ms); }
