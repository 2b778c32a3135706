#include "platform/os_socket.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/os_error.h"

int os_UnixAddress(const std::string &path, struct sockaddr_un &sa, socklen_t &len, int &dirfd) {
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  std::string text = path;
  if (path.size() >= sizeof sa.sun_path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    if (dirfd < 0) dirfd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return os_FailErrno(errno), -1;
    text = "/proc/self/fd/" + std::to_string(dirfd) + path.substr(slash);
    if (text.size() >= sizeof sa.sun_path) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), -1;
  }
  memcpy(sa.sun_path, text.c_str(), text.size() + 1);
  len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + text.size() + 1);
  return 0;
}
