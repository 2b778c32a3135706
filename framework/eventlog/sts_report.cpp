#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "framework/eventlog/sts_report.h"
#include "framework/registry/prod_platform.h"
#include "framework/registry/reg_settings.h"
#include "framework/server/srv_requests.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_eventlog.h"
#include "platform/os_file.h"
#include "platform/os_io.h"

namespace {

enum : uint32_t { kUserMax = 32 };
enum : int { kLockWaitMs = 1000, kLockPollMs = 5 };

// The server's root folder of named folders ("TSQ_" with nothing after it),
// which ends in a backslash.
std::string ServerRootFolder(const char *server) {
  while (server && *server == '\\') ++server;
  const char *folder = srv_ResolveServerFolder(server, "TSQ_");
  return folder ? folder : "";
}

// Every report one line: line ends inside the text would split it.
std::string OneLine(const char *text) {
  std::string s;
  for (const char *p = text ? text : ""; *p; ++p) {
    if (*p == '\n') {
      s += "\\n";
    } else if (*p == '\r') {
      s += "\\r";
    } else {
      s += *p;
    }
  }
  return s;
}

int ReportToLogFile(const char *server, const char *text) {
  std::string path = ServerRootFolder(server) + prod_GetProductName() + ".log";
  OsHandle file = os_CreateFile(path.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, 0, OS_OPEN_ALWAYS, 0);
  if (!file) return -1;
  // No sharing: one report is written at a time. A file held longer than a
  // report takes cannot be opened, and the report is dropped.
  int waited = 0;
  while (os_LockFile(file, 0, UINT64_MAX >> 1, true, false) != 0) {
    if (os_GetLastError() != OS_ERROR_LOCK_VIOLATION || waited >= kLockWaitMs) {
      os_CloseHandle(file);
      return -1;
    }
    os_Sleep(kLockPollMs);
    waited += kLockPollMs;
  }
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char stamp[80];
  snprintf(stamp, sizeof stamp, "%02d:%02d:%02d %02d/%02d/%02d ", t.tm_hour, t.tm_min, t.tm_sec, t.tm_mon + 1,
           t.tm_mday, t.tm_year % 100);
  std::string line = stamp + OneLine(text) + "\r\n";
  int rc = -1;
  uint32_t written = 0;
  if (os_SetFilePointer(file, 0, OS_FILE_END, nullptr) == 0 &&
      os_WriteFile(file, line.data(), static_cast<uint32_t>(line.size()), &written) == 0)
    rc = 0;
  os_UnlockFile(file, 0, UINT64_MAX >> 1);
  os_CloseHandle(file);
  return rc;
}

int ReportToEventLog(const char *server, uint16_t type, const char *text) {
  OsEventSourceHandle h = os_RegisterEventSource(server, prod_GetProductName());
  if (!h) return -1;
  char user[kUserMax + 1];
  uint32_t size = sizeof user;
  bool haveUser = os_GetUserName(user, &size) == 0;
  int rc = os_ReportEvent(h, type, 0, STS_EVENT_ID, haveUser ? user : nullptr, text);
  os_DeregisterEventSource(h);
  return rc;
}

}  // namespace

int sts_ReportErrorEvent(const char *server, uint16_t type, const char *text) {
  int saved = errno;
  uint32_t savedLast = os_GetLastError();
  int rc = prod_GetOsPlatformId() == 1 ? ReportToLogFile(server, text) : ReportToEventLog(server, type, text);
  // A report never changes the error its caller is about to return.
  errno = saved;
  os_SetLastError(savedLast);
  return rc;
}
