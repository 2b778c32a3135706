#include "platform/os_env.h"

#include <dlfcn.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_object.h"
#include "platform/os_path.h"

extern char **environ;

namespace {

std::mutex g_envLock;

// The spellings in the environment of `name`, ignoring case. Holds g_envLock.
std::vector<std::string> Spellings(const char *name) {
  std::vector<std::string> names;
  size_t len = strlen(name);
  for (char **e = environ; e && *e; ++e)
    if (strncasecmp(*e, name, len) == 0 && (*e)[len] == '=') names.emplace_back(*e, len);
  return names;
}

bool ValidName(const char *name) { return name && *name && !strchr(name, '='); }

}  // namespace

void os_LockEnvironment(void) { g_envLock.lock(); }
void os_UnlockEnvironment(void) { g_envLock.unlock(); }

bool os_GetEnvironmentText(const char *name, std::string *value) {
  if (!ValidName(name) || !value) return false;
  std::lock_guard<std::mutex> guard(g_envLock);
  const char *v = getenv(name);
  if (!v) {
    std::vector<std::string> names = Spellings(name);
    if (!names.empty()) v = getenv(names[0].c_str());
  }
  if (!v) return false;
  *value = v;
  return true;
}

uint32_t os_GetEnvironmentVariable(const char *name, char *buf, uint32_t size) {
  std::string value;
  if (!os_GetEnvironmentText(name, &value)) return os_Fail(OS_ERROR_ENVVAR_NOT_FOUND), 0;
  uint32_t len = static_cast<uint32_t>(value.size());
  if (!buf || size < len + 1) return len + 1;
  memcpy(buf, value.c_str(), len + 1);
  os_SetLastError(OS_ERROR_SUCCESS);
  return len;
}

int os_SetEnvironmentVariable(const char *name, const char *value) {
  if (!ValidName(name)) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::lock_guard<std::mutex> guard(g_envLock);
  std::vector<std::string> names = Spellings(name);
  // One variable, whatever the spelling: keep the first spelling, drop the others.
  std::string keep = names.empty() ? std::string(name) : names[0];
  for (const std::string &n : names)
    if (n != keep || !value) unsetenv(n.c_str());
  if (value && setenv(keep.c_str(), value, 1) != 0) return os_FailErrno(errno), -1;
  return 0;
}

namespace {

// Read once, as the computer name is: a lookup per request line asks the
// kernel several times.
const std::string &HostName(void) {
  static const std::string name = [] {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0) strcpy(host, "LOCALHOST");
    host[sizeof host - 1] = '\0';
    return std::string(host);
  }();
  return name;
}

}  // namespace

const char *os_ComputerName(void) {
  static const std::string name = [] {
    std::string n = HostName();
    n = n.substr(0, n.find('.'));
    if (n.size() > 15) n.resize(15);
    for (char &c : n) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return n;
  }();
  return name.c_str();
}

int os_GetComputerName(char *buf, uint32_t *size) {
  if (!size) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  const char *name = os_ComputerName();
  uint32_t len = static_cast<uint32_t>(strlen(name));
  if (!buf || *size < len + 1) {
    *size = len + 1;
    return os_Fail(OS_ERROR_BUFFER_OVERFLOW), -1;
  }
  memcpy(buf, name, len + 1);
  *size = len;
  return 0;
}

bool os_IsLocalHost(const char *host) {
  if (!host || !*host) return false;
  if (strcmp(host, ".") == 0 || strcasecmp(host, "localhost") == 0 || strcmp(host, "127.0.0.1") == 0) return true;
  if (strcasecmp(host, os_ComputerName()) == 0) return true;
  const std::string &full = HostName();
  if (strcasecmp(host, full.c_str()) == 0) return true;
  size_t dot = full.find('.');
  return dot != std::string::npos && strlen(host) == dot && strncasecmp(host, full.c_str(), dot) == 0;
}

int os_GetUserName(char *buf, uint32_t *size) {
  if (!size) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  struct passwd pw, *found = nullptr;
  std::vector<char> scratch(16384);
  std::string name;
  int rc = getpwuid_r(geteuid(), &pw, scratch.data(), scratch.size(), &found);
  // A user without an entry (a container) still has a name: the number.
  name = rc == 0 && found ? found->pw_name : std::to_string(geteuid());
  uint32_t need = static_cast<uint32_t>(name.size()) + 1;
  if (!buf || *size < need) {
    *size = need;
    return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), -1;
  }
  memcpy(buf, name.c_str(), need);
  *size = need;
  return 0;
}

uint32_t os_GetSystemDirectory(char *buf, uint32_t size) {
  static const char kDir[] = "C:\\WINDOWS\\system32";
  const uint32_t len = sizeof kDir - 1;
  if (!buf || size < len + 1) return len + 1;
  memcpy(buf, kDir, len + 1);
  return len;
}

bool os_IsWindows9x(void) {
  std::lock_guard<std::mutex> guard(g_envLock);
  const char *v = getenv("PLATFORM_WIN9X");
  return v && strcmp(v, "1") == 0;
}

uint32_t os_GetModuleFileName(char *buf, uint32_t size) {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) return os_FailErrno(errno), 0;
  path[n] = '\0';
  uint32_t len = static_cast<uint32_t>(n);
  if (!buf || size == 0) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), 0;
  if (size < len + 1) {
    // Cut short and terminated, as the NT family does.
    memcpy(buf, path, size - 1);
    buf[size - 1] = '\0';
    os_Fail(OS_ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(buf, path, len + 1);
  os_SetLastError(OS_ERROR_SUCCESS);
  return len;
}
