#include "platform/os_debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/os_error.h"
#include "platform/os_object.h"
#include "platform/os_path.h"

namespace {


void CloseConsole(OsObject *o) { close(o->fd); }

const OsKind g_consoleKind = {"console", nullptr, os_WriteDescriptor, nullptr, nullptr, CloseConsole};

}  // namespace

std::string os_DebugOutputPath(void) { return std::string(os_Root()) + "/debug/debug.log"; }

void os_OutputDebugString(const char *text) {
  if (!text) return;
  int saved = errno;
  uint32_t savedLast = os_GetLastError();
  std::string path = os_DebugOutputPath();
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 && errno == ENOENT) {
    std::string dir = path.substr(0, path.rfind('/'));
    os_MakeFolders(dir.c_str());
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  }
  if (fd >= 0) {
    // One write per text, so lines of several processes do not mix.
    std::string line = "[" + std::to_string(os_GetCurrentProcessId()) + "] " + text;
    if (line.empty() || line.back() != '\n') line += '\n';
    ssize_t w;
    do w = write(fd, line.data(), line.size());
    while (w < 0 && errno == EINTR);
    close(fd);
  }
  os_SetLastError(savedLast);
  errno = saved;
}

int os_AllocConsole(void) { return 0; }
int os_FreeConsole(void) { return 0; }

OsHandle os_OpenConsoleOutput(void) {
  int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return os_FailErrno(errno), nullptr;
  OsHandle h = os_NewHandle(&g_consoleKind, fd, nullptr);
  if (!h) close(fd);
  return h;
}
