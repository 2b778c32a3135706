#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/os_cmdline.h"
#include "platform/os_error.h"
#include "platform/os_object.h"
#include "platform/os_path.h"
#include "platform/os_spawn.h"

extern char **environ;

namespace {

struct ProcState {
  std::atomic<int> refs{1};
  std::mutex lock;
  pid_t pid = 0;
  int fd = -1;          // pidfd, or an eventfd that the reaper thread signals
  bool reaper = false;  // a thread waits for the process (no pidfd)
  bool reaped = false;
  uint32_t code = 0;
  bool terminated = false;
  uint32_t terminateCode = 0;
};

int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

void Unref(ProcState *p) {
  if (p->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    if (p->fd >= 0) close(p->fd);
    delete p;
  }
}

uint32_t CodeOf(const ProcState *p, const siginfo_t &si) {
  if (si.si_code == CLD_EXITED) return static_cast<uint32_t>(si.si_status);
  if (p->terminated && si.si_status == SIGKILL) return p->terminateCode;
  return 128u + static_cast<uint32_t>(si.si_status);  // the shell's convention for a signal
}

// Reaps without blocking; the caller holds p->lock.
void TryReap(ProcState *p) {
  if (p->reaped || p->reaper) return;
  siginfo_t si;
  memset(&si, 0, sizeof si);
  if (waitid(P_PID, static_cast<id_t>(p->pid), &si, WEXITED | WNOHANG) == 0 && si.si_pid != 0) {
    p->code = CodeOf(p, si);
    p->reaped = true;
  }
}

void *ReaperMain(void *arg) {
  ProcState *p = static_cast<ProcState *>(arg);
  siginfo_t si;
  memset(&si, 0, sizeof si);
  int rc;
  // Wait for the end but reap only under the lock, so that a termination
  // under the lock never signals a recycled pid.
  do rc = waitid(P_PID, static_cast<id_t>(p->pid), &si, WEXITED | WNOWAIT);
  while (rc != 0 && errno == EINTR);
  {
    std::lock_guard<std::mutex> guard(p->lock);
    if (!p->reaped) {
      memset(&si, 0, sizeof si);
      rc = waitid(P_PID, static_cast<id_t>(p->pid), &si, WEXITED | WNOHANG);
      p->code = rc == 0 ? CodeOf(p, si) : 0;
      p->reaped = true;
    }
  }
  if (p->fd >= 0 && p->reaper) {
    uint64_t one = 1;
    if (write(p->fd, &one, sizeof one) != sizeof one) {
      // A fresh eventfd takes one increment; the reaped flag holds the truth.
    }
  }
  Unref(p);
  return nullptr;
}

bool StartReaper(ProcState *p) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  p->refs.fetch_add(1);
  pthread_t id;
  int rc = pthread_create(&id, &attr, ReaperMain, p);
  pthread_attr_destroy(&attr);
  if (rc != 0) p->refs.fetch_sub(1);
  return rc == 0;
}

bool ClaimProcess(OsObject *) { return true; }

void CloseProcess(OsObject *o) {
  ProcState *p = static_cast<ProcState *>(o->state);
  bool running;
  {
    std::lock_guard<std::mutex> guard(p->lock);
    TryReap(p);
    running = !p->reaped && !p->reaper;
  }
  // The process outlives its handle, as on Windows; a thread collects it.
  if (running) StartReaper(p);
  Unref(p);
}

const OsKind kProcessKind = {"process", nullptr, nullptr, ClaimProcess, nullptr, CloseProcess};

bool IsProgram(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// A Windows program name may carry ".exe"; the Linux program has none.
bool TryCandidates(const std::string &path, std::string &out) {
  if (IsProgram(path)) return out = path, true;
  if (path.size() > 4 && strcasecmp(path.c_str() + path.size() - 4, ".exe") == 0) {
    std::string bare = path.substr(0, path.size() - 4);
    if (IsProgram(bare)) return out = bare, true;
  }
  return false;
}

int ResolveProgram(const char *name, std::string &out) {
  if (!name || !*name) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (strchr(name, '/') || strchr(name, '\\')) {
    char lpath[PATH_MAX];
    if (os_TranslatePath(name, lpath, sizeof lpath) != 0) return -1;
    if (TryCandidates(lpath, out)) return 0;
    return os_Fail(OS_ERROR_FILE_NOT_FOUND), -1;
  }
  std::string path;
  os_LockEnvironment();
  const char *env = getenv("PATH");
  path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  os_UnlockEnvironment();
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find(':', i);
    if (j == std::string::npos) j = path.size();
    std::string dir = path.substr(i, j - i);
    if (dir.empty()) dir = ".";
    if (TryCandidates(dir + "/" + name, out)) return 0;
    i = j + 1;
  }
  return os_Fail(OS_ERROR_FILE_NOT_FOUND), -1;
}

uint32_t SpawnError(int err) {
  switch (err) {
    case ENOENT: return OS_ERROR_FILE_NOT_FOUND;
    case ENOEXEC: case ELIBBAD: return OS_ERROR_BAD_EXE_FORMAT;
    default: return os_ErrorFromErrno(err);
  }
}

// outFd, errFd >= 0 become the child's standard output and error.
OsHandle Spawn(const char *const *argv, uint32_t *processId, int outFd = -1, int errFd = -1) {
  std::string program;
  if (ResolveProgram(argv[0], program) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  // A child starts in the normal class, whatever class its parent runs in.
  if (sched_getscheduler(0) != SCHED_OTHER) {
    struct sched_param sp;
    memset(&sp, 0, sizeof sp);
    posix_spawnattr_setschedpolicy(&attr, SCHED_OTHER);
    posix_spawnattr_setschedparam(&attr, &sp);
    flags |= POSIX_SPAWN_SETSCHEDULER;
  }
  posix_spawnattr_setflags(&attr, flags);

  pid_t pid;
  os_LockEnvironment();
  int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, const_cast<char *const *>(argv), environ);
  os_UnlockEnvironment();
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return os_Fail(SpawnError(rc)), nullptr;

  ProcState *p = new (std::nothrow) ProcState;
  if (!p) {
    // Cannot track it: end it rather than leave it unseen.
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  }
  p->pid = pid;
  p->fd = PidfdOpen(pid);
  if (p->fd < 0) {
    // Kernels without pidfd: a thread waits and signals an eventfd.
    p->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    p->reaper = true;
    if (p->fd < 0 || !StartReaper(p)) {
      kill(pid, SIGKILL);
      p->reaper = false;
      waitpid(pid, nullptr, 0);
      Unref(p);
      return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
    }
  }
  OsHandle h = os_NewHandle(&kProcessKind, p->fd, p);
  if (!h) {
    OsObject tmp{&kProcessKind, p->fd, p};
    CloseProcess(&tmp);
    return nullptr;
  }
  if (processId) *processId = static_cast<uint32_t>(pid);
  return h;
}

}  // namespace

OsHandle os_CreateProcess(const char *commandLine, uint32_t *processId) {
  std::vector<std::string> args = os_SplitCommandLine(commandLine);
  if (args.empty() || args[0].empty()) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  std::vector<const char *> argv;
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return Spawn(argv.data(), processId);
}

OsHandle os_CreateProcessArgv(const char *const *argv, uint32_t *processId) {
  if (!argv || !argv[0]) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  return Spawn(argv, processId);
}

OsHandle os_SpawnRedirected(const char *const *argv, uint32_t *processId, int outFd, int errFd) {
  if (!argv || !argv[0]) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  return Spawn(argv, processId, outFd, errFd);
}

int os_GetExitCodeProcess(OsHandle h, uint32_t *code) {
  OsObject *o = os_CheckHandle(h, &kProcessKind);
  if (!o) return -1;
  if (!code) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  ProcState *p = static_cast<ProcState *>(o->state);
  std::lock_guard<std::mutex> guard(p->lock);
  TryReap(p);
  *code = p->reaped ? p->code : OS_STILL_ACTIVE;
  return 0;
}

int os_TerminateProcess(OsHandle h, uint32_t code) {
  OsObject *o = os_CheckHandle(h, &kProcessKind);
  if (!o) return -1;
  ProcState *p = static_cast<ProcState *>(o->state);
  std::lock_guard<std::mutex> guard(p->lock);
  TryReap(p);
  if (p->reaped) return os_Fail(OS_ERROR_ACCESS_DENIED), -1;  // it has ended already
  p->terminated = true;
  p->terminateCode = code;
  // Not reaped yet, so the pid cannot belong to another process.
  if (kill(p->pid, SIGKILL) != 0 && errno != ESRCH) return os_FailErrno(errno), -1;
  return 0;
}

namespace {

// The id is asked for on every notice and lock: kept, and forgotten in the
// child of a fork.
std::atomic<uint32_t> g_ownPid{0};
std::once_flag g_ownPidFork;

void ForgetOwnPid() { g_ownPid.store(0, std::memory_order_relaxed); }

}  // namespace

uint32_t os_GetCurrentProcessId(void) {
  uint32_t pid = g_ownPid.load(std::memory_order_relaxed);
  if (pid) return pid;
  std::call_once(g_ownPidFork, [] { pthread_atfork(nullptr, nullptr, ForgetOwnPid); });
  pid = static_cast<uint32_t>(getpid());
  g_ownPid.store(pid, std::memory_order_relaxed);
  return pid;
}

int os_CloseStandardInput(void) { return close(STDIN_FILENO) == 0 ? 0 : (os_FailErrno(errno), -1); }

int os_SetSocketNotInheritable(int socket) {
  int flags = socket >= 0 ? fcntl(socket, F_GETFD) : -1;
  if (flags < 0) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  if (fcntl(socket, F_SETFD, flags | FD_CLOEXEC) < 0) return os_FailErrno(errno), -1;
  return 0;
}

int os_IsSocketInheritable(int socket) {
  int flags = socket >= 0 ? fcntl(socket, F_GETFD) : -1;
  if (flags < 0) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  return (flags & FD_CLOEXEC) ? 0 : 1;
}
