#include "platform/os_spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os_error.h"

namespace {

void CloseBoth(int fds[2]) {
  for (int i = 0; i < 2; ++i)
    if (fds[i] >= 0) close(fds[i]), fds[i] = -1;
}

}  // namespace

int os_RunProgram(const char *const *argv, OsProgramRun *run) {
  if (!argv || !argv[0] || !run) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  run->exitCode = 0;
  run->out.clear();
  run->err.clear();
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    uint32_t code = os_ErrorFromErrno(errno);
    CloseBoth(out);
    CloseBoth(err);
    return os_Fail(code), -1;
  }
  OsHandle process = os_SpawnRedirected(argv, nullptr, out[1], err[1]);
  uint32_t code = os_GetLastError();
  close(out[1]);
  close(err[1]);
  out[1] = err[1] = -1;
  if (!process) {
    CloseBoth(out);
    CloseBoth(err);
    return os_Fail(code), -1;
  }
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *sinks[2] = {&run->out, &run->err};
  int open = 2;
  while (open > 0) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  CloseBoth(out);
  CloseBoth(err);
  os_WaitForSingleObject(process, OS_INFINITE);
  uint32_t exitCode = 0;
  os_GetExitCodeProcess(process, &exitCode);
  os_CloseHandle(process);
  run->exitCode = exitCode;
  os_SetLastError(OS_ERROR_SUCCESS);
  return 0;
}
