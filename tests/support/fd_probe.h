// Which sockets this process holds, and whether a program started the
// system's way (os_CreateProcessArgv) holds one of them too.
#pragma once
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>

#include "platform/os_handle.h"

namespace tnwtest {

// Descriptor -> "socket:[inode]" for each socket of this process.
inline std::map<int, std::string> OwnSockets() {
  std::map<int, std::string> out;
  DIR *d = opendir("/proc/self/fd");
  if (!d) return out;
  while (dirent *e = readdir(d)) {
    char link[64];
    std::string path = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    if (std::string(link).rfind("socket:", 0) == 0) out[atoi(e->d_name)] = link;
  }
  closedir(d);
  return out;
}

// 1 when a shell started now has descriptor fd open on the same socket, 0
// when not, -1 when it could not be started or did not end.
inline int ChildHoldsSocket(int fd, const std::string &link) {
  const std::string script = "[ \"$(readlink /proc/$$/fd/" + std::to_string(fd) + ")\" = '" + link + "' ]";
  const char *argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  OsHandle p = os_CreateProcessArgv(argv, nullptr);
  if (!p) return -1;
  uint32_t code = 2;
  bool ended = os_WaitForSingleObject(p, 10000) == OS_WAIT_OBJECT_0 && os_GetExitCodeProcess(p, &code) == 0;
  os_CloseHandle(p);
  return !ended || code > 1 ? -1 : code == 0 ? 1 : 0;
}

}  // namespace tnwtest
