#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_handle.h"

namespace {

// Real time: above every ordinary task, below the kernel's interrupt threads (50).
const int kRealtimePriority = 10;
const int kHighNice = -10;

std::vector<pid_t> Threads(void) {
  std::vector<pid_t> tids;
  if (DIR *d = opendir("/proc/self/task")) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.') tids.push_back(static_cast<pid_t>(atoi(e->d_name)));
    closedir(d);
  }
  if (tids.empty()) tids.push_back(gettid());
  return tids;
}

// The lowest nice value from `target` up to the current one that is allowed.
void RaiseNice(pid_t tid, int target) {
  errno = 0;
  int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (current == -1 && errno != 0) return;
  if (target >= current) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target);  // lowering is always allowed
    return;
  }
  for (int v = target; v < current; ++v)
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), v) == 0) return;
}

bool SetRoundRobin(pid_t tid, int prio) {
  struct sched_param sp;
  memset(&sp, 0, sizeof sp);
  sp.sched_priority = prio;
  return sched_setscheduler(tid, SCHED_RR, &sp) == 0;
}

// Scheduling and nice are per thread on Linux; a class is the whole process's.
void ApplyToThread(pid_t tid, uint32_t cls) {
  if (cls == OS_REALTIME_PRIORITY_CLASS) {
    if (SetRoundRobin(tid, kRealtimePriority)) return;
    // Unprivileged processes may go as high as RLIMIT_RTPRIO.
    struct rlimit rl;
    if (getrlimit(RLIMIT_RTPRIO, &rl) == 0 && rl.rlim_cur > 0) {
      int prio = rl.rlim_cur < static_cast<rlim_t>(kRealtimePriority) ? static_cast<int>(rl.rlim_cur) : kRealtimePriority;
      if (SetRoundRobin(tid, prio)) return;
    }
    RaiseNice(tid, -20);
    return;
  }
  if (sched_getscheduler(tid) != SCHED_OTHER) {
    struct sched_param sp;
    memset(&sp, 0, sizeof sp);
    sched_setscheduler(tid, SCHED_OTHER, &sp);
  }
  RaiseNice(tid, cls == OS_HIGH_PRIORITY_CLASS ? kHighNice : 0);
}

}  // namespace

int os_SetPriorityClass(uint32_t cls) {
  if (cls != OS_NORMAL_PRIORITY_CLASS && cls != OS_HIGH_PRIORITY_CLASS && cls != OS_REALTIME_PRIORITY_CLASS)
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  // A refusal only leaves a lower class, as Windows does without the privilege.
  for (pid_t tid : Threads()) ApplyToThread(tid, cls);
  return 0;
}
