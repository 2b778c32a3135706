#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

#include "platform/os_error.h"
#include "platform/os_object.h"

namespace {

// Shared by the handle and the running thread; the last of the two frees it.
struct ThreadState {
  std::atomic<int> refs{2};
  OsThreadProc fn;
  void *arg;
  int doneFd;  // eventfd, signalled once the procedure has returned
  std::atomic<uint32_t> tid{0};
  std::atomic<bool> done{false};
  uint32_t code = 0;
};

void Unref(ThreadState *t) {
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    close(t->doneFd);
    delete t;
  }
}

void *ThreadMain(void *p) {
  ThreadState *t = static_cast<ThreadState *>(p);
  t->tid.store(os_GetCurrentThreadId(), std::memory_order_release);
  t->tid.notify_all();
  uint32_t code = t->fn(t->arg);
  t->code = code;
  t->done.store(true, std::memory_order_release);
  uint64_t one = 1;
  if (write(t->doneFd, &one, sizeof one) != sizeof one) {
    // Cannot fail on a fresh eventfd; the done flag still tells the exit code.
  }
  Unref(t);
  return nullptr;
}

bool ClaimThread(OsObject *) { return true; }
void CloseThread(OsObject *o) { Unref(static_cast<ThreadState *>(o->state)); }

const OsKind kThreadKind = {"thread", nullptr, nullptr, ClaimThread, nullptr, CloseThread};

}  // namespace

namespace {

// Kept per thread; the thread that forks is a new thread in the child.
thread_local uint32_t t_ownTid;
std::once_flag g_ownTidFork;

void ForgetOwnTid() { t_ownTid = 0; }

}  // namespace

uint32_t os_GetCurrentThreadId(void) {
  if (t_ownTid) return t_ownTid;
  std::call_once(g_ownTidFork, [] { pthread_atfork(nullptr, nullptr, ForgetOwnTid); });
  t_ownTid = static_cast<uint32_t>(gettid());
  return t_ownTid;
}

OsHandle os_CreateThread(OsThreadProc fn, void *arg, uint32_t *threadId) {
  if (!fn) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return os_FailErrno(errno), nullptr;
  ThreadState *t = new (std::nothrow) ThreadState;
  if (!t) return close(fd), os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  t->fn = fn;
  t->arg = arg;
  t->doneFd = fd;
  OsHandle h = os_NewHandle(&kThreadKind, fd, t);
  if (!h) return close(fd), delete t, nullptr;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t id;
  int rc = pthread_create(&id, &attr, ThreadMain, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    t->refs.store(1);
    os_CloseHandle(h);
    return os_FailErrno(rc), nullptr;
  }
  if (threadId) {
    // The id is known to Windows callers at once; the new thread reports it.
    t->tid.wait(0, std::memory_order_acquire);
    *threadId = t->tid.load(std::memory_order_acquire);
  }
  return h;
}

int os_GetExitCodeThread(OsHandle h, uint32_t *code) {
  OsObject *o = os_CheckHandle(h, &kThreadKind);
  if (!o) return -1;
  if (!code) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  ThreadState *t = static_cast<ThreadState *>(o->state);
  *code = t->done.load(std::memory_order_acquire) ? t->code : OS_STILL_ACTIVE;
  return 0;
}
