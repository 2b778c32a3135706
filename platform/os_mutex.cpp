#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

#include "platform/os_error.h"
#include "platform/os_mapping.h"
#include "platform/os_object.h"
#include "platform/os_path.h"

namespace {

// The file of a named mutex. Owner and depth are written only by the holder
// and let a release by anyone else fail before the mutex is touched.
struct OsMutexFile {
  uint32_t magic;
  uint32_t version;
  uint32_t ownerPid;  // 0 when free
  uint32_t ownerTid;
  uint32_t depth;     // recursion of the holder
  uint32_t reserved[3];
  pthread_mutex_t mutex;  // process-shared, recursive, robust
};
static_assert(sizeof(pthread_mutex_t) == 40, "the mutex file is laid out for this C library");
static_assert(offsetof(OsMutexFile, ownerPid) == 8 && offsetof(OsMutexFile, depth) == 16, "layout");
static_assert(offsetof(OsMutexFile, mutex) == 32 && sizeof(OsMutexFile) == 72, "layout");

const uint32_t kMagic = 0x584D5754;  // "TWMX"
const uint32_t kVersion = 1;

uint32_t Load(const uint32_t *p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
void Store(uint32_t *p, uint32_t v) { __atomic_store_n(p, v, __ATOMIC_RELEASE); }

OsMutexFile *MapFile(int fd) {
  void *m = mmap(nullptr, sizeof(OsMutexFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return m == MAP_FAILED ? nullptr : static_cast<OsMutexFile *>(m);
}

void TakeOwnership(OsMutexFile *m, bool abandoned) {
  if (abandoned) m->depth = 0;
  m->depth++;
  Store(&m->ownerTid, os_GetCurrentThreadId());
  Store(&m->ownerPid, os_GetCurrentProcessId());
}

bool HeldByThisThread(OsMutexFile *m) {
  return Load(&m->ownerPid) == os_GetCurrentProcessId() && Load(&m->ownerTid) == os_GetCurrentThreadId();
}

struct Prepared {
  OsMutexFile *m = nullptr;
  bool own = false;
};

// Builds the mutex in the private file; an initial owner locks it before the
// name appears, so nobody can take it first.
bool Prepare(int fd, void *ctx) {
  Prepared *p = static_cast<Prepared *>(ctx);
  p->m = MapFile(fd);
  if (!p->m) return os_FailErrno(errno), false;
  memset(p->m, 0, sizeof *p->m);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  int rc = pthread_mutex_init(&p->m->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) return munmap(p->m, sizeof *p->m), p->m = nullptr, os_FailErrno(rc), false;
  if (p->own) {
    pthread_mutex_lock(&p->m->mutex);
    TakeOwnership(p->m, false);
  }
  p->m->version = kVersion;
  Store(&p->m->magic, kMagic);
  return true;
}

void Discard(void *ctx) {
  Prepared *p = static_cast<Prepared *>(ctx);
  if (!p->m) return;
  if (p->own) {
    Store(&p->m->ownerPid, 0);
    pthread_mutex_unlock(&p->m->mutex);
  }
  munmap(p->m, sizeof *p->m);
  p->m = nullptr;
}

void CloseMutex(OsObject *o) {
  OsMutexFile *m = static_cast<OsMutexFile *>(o->state);
  // A robust mutex held by this process is linked into its thread's list of
  // held mutexes: its memory must stay mapped.
  if (Load(&m->ownerPid) != os_GetCurrentProcessId()) munmap(m, sizeof *m);
}

uint32_t WaitOne(OsObject *o, uint32_t ms) { return os_WaitMutex(o, ms); }

const OsKind kMutexKind = {"mutex", nullptr, nullptr, nullptr, WaitOne, CloseMutex};

OsHandle NewMutexHandle(OsMutexFile *m) {
  OsHandle h = os_NewHandle(&kMutexKind, -1, m);
  if (!h) munmap(m, sizeof *m);
  return h;
}

// Maps an existing mutex file; anything else of that name is not a mutex.
OsMutexFile *MapExisting(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return os_FailErrno(errno), nullptr;
  if (static_cast<size_t>(st.st_size) != sizeof(OsMutexFile)) return os_Fail(OS_ERROR_INVALID_HANDLE), nullptr;
  OsMutexFile *m = MapFile(fd);
  if (!m) return os_FailErrno(errno), nullptr;
  if (Load(&m->magic) != kMagic || m->version != kVersion) {
    munmap(m, sizeof *m);
    return os_Fail(OS_ERROR_INVALID_HANDLE), nullptr;
  }
  return m;
}

}  // namespace

OsHandle os_CreateMutex(const char *name, bool initialOwner, const OsSecurityAttributes *) {
  char path[PATH_MAX];
  if (!name) return os_Fail(OS_ERROR_INVALID_NAME), nullptr;
  if (os_ObjectPath(name, path, sizeof path) != 0) return nullptr;
  Prepared prep;
  prep.own = initialOwner;
  OsObjectFileInit init = {Prepare, Discard, &prep};
  bool created;
  int fd = os_CreateObjectFile(path, sizeof(OsMutexFile), &init, &created);
  if (fd < 0) return nullptr;
  OsMutexFile *m = created ? prep.m : MapExisting(fd);
  close(fd);
  if (!m) return nullptr;
  OsHandle h = NewMutexHandle(m);
  if (h) os_SetLastError(created ? OS_ERROR_SUCCESS : OS_ERROR_ALREADY_EXISTS);
  return h;
}

OsHandle os_OpenMutex(const char *name) {
  char path[PATH_MAX];
  if (!name) return os_Fail(OS_ERROR_INVALID_NAME), nullptr;
  if (os_ObjectPath(name, path, sizeof path) != 0) return nullptr;
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return os_Fail(errno == ENOTDIR ? OS_ERROR_FILE_NOT_FOUND : os_ErrorFromErrno(errno)), nullptr;
  OsMutexFile *m = MapExisting(fd);
  close(fd);
  return m ? NewMutexHandle(m) : nullptr;
}

uint32_t os_WaitMutex(OsHandle h, uint32_t ms) {
  OsObject *o = os_CheckHandle(h, &kMutexKind);
  if (!o) return OS_WAIT_FAILED;
  OsMutexFile *m = static_cast<OsMutexFile *>(o->state);
  int rc;
  if (ms == OS_INFINITE) {
    rc = pthread_mutex_lock(&m->mutex);
  } else if (ms == 0) {
    rc = pthread_mutex_trylock(&m->mutex);
  } else {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) ts.tv_sec++, ts.tv_nsec -= 1000000000L;
    rc = pthread_mutex_clocklock(&m->mutex, CLOCK_MONOTONIC, &ts);
  }
  switch (rc) {
    case 0:
      TakeOwnership(m, false);
      return OS_WAIT_OBJECT_0;
    case EOWNERDEAD:
      // The holder died: the mutex is ours, its data may be half-changed.
      pthread_mutex_consistent(&m->mutex);
      TakeOwnership(m, true);
      return OS_WAIT_ABANDONED_0;
    case EBUSY:
    case ETIMEDOUT:
      os_SetLastError(OS_ERROR_SUCCESS);
      return OS_WAIT_TIMEOUT;
    default:
      os_FailErrno(rc);
      return OS_WAIT_FAILED;
  }
}

int os_ReleaseMutex(OsHandle h) {
  OsObject *o = os_CheckHandle(h, &kMutexKind);
  if (!o) return -1;
  OsMutexFile *m = static_cast<OsMutexFile *>(o->state);
  if (!HeldByThisThread(m) || m->depth == 0) return os_Fail(OS_ERROR_NOT_OWNER), -1;
  if (--m->depth == 0) {
    Store(&m->ownerPid, 0);
    Store(&m->ownerTid, 0);
  }
  int rc = pthread_mutex_unlock(&m->mutex);
  if (rc != 0) return os_Fail(rc == EPERM ? OS_ERROR_NOT_OWNER : os_ErrorFromErrno(rc)), -1;
  return 0;
}

int os_DeleteMutex(const char *name) {
  char path[PATH_MAX];
  if (!name) return os_Fail(OS_ERROR_INVALID_NAME), -1;
  if (os_ObjectPath(name, path, sizeof path) != 0) return -1;
  if (unlink(path) == 0) return 0;
  return os_Fail(errno == ENOTDIR ? OS_ERROR_FILE_NOT_FOUND : os_ErrorFromErrno(errno)), -1;
}
