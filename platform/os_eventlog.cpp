#include "platform/os_eventlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_path.h"

struct OsEventSource {
  std::string log;  // Linux path of the log file
  std::string source;
};

namespace {

const char kLogName[] = "Application.log";

// The folder that holds the log of `server`, or false when it is unreachable.
bool LogFolder(const char *server, std::string &folder) {
  std::string h = server ? server : "";
  while (!h.empty() && (h[0] == '\\' || h[0] == '/')) h.erase(0, 1);
  if (h.empty() || h == "." || os_IsLocalHost(h.c_str())) {
    folder = std::string(os_Root()) + "/eventlog";
    return true;
  }
  std::string hosts = std::string(os_Root()) + "/hosts";
  char found[NAME_MAX + 1];
  if (h == ".." || h.find_first_of("\\/") != std::string::npos ||
      os_FindEntryCaseless(hosts.c_str(), h.c_str(), found, sizeof found) != 0)
    return false;
  folder = hosts + "/" + found + "/eventlog";
  return true;
}

void Escape(std::string &out, const char *text) {
  for (const char *p = text ? text : ""; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
}

std::string TypeWord(uint16_t type) {
  switch (type) {
    case OS_EVENTLOG_ERROR_TYPE:
      return "Error";
    case OS_EVENTLOG_WARNING_TYPE:
      return "Warning";
    case OS_EVENTLOG_INFORMATION_TYPE:
      return "Information";
    case OS_EVENTLOG_AUDIT_SUCCESS:
      return "Audit Success";
    case OS_EVENTLOG_AUDIT_FAILURE:
      return "Audit Failure";
    default:
      return std::to_string(type);
  }
}

}  // namespace

int os_EventLogPath(const char *server, char *out, uint32_t size) {
  std::string folder;
  if (!LogFolder(server, folder)) return os_Fail(OS_ERROR_BAD_NETPATH), -1;
  std::string path = folder + "/" + kLogName;
  if (!out || path.size() + 1 > size) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), -1;
  memcpy(out, path.c_str(), path.size() + 1);
  return 0;
}

OsEventSourceHandle os_RegisterEventSource(const char *server, const char *source) {
  if (!source || !*source) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  std::string folder;
  if (!LogFolder(server, folder)) return os_Fail(OS_ERROR_BAD_NETPATH), nullptr;
  if (os_MakeFolders(folder.c_str()) != 0) return nullptr;
  OsEventSource *h = new (std::nothrow) OsEventSource;
  if (!h) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  h->log = folder + "/" + kLogName;
  h->source = source;
  return h;
}

int os_ReportEvent(OsEventSourceHandle h, uint16_t type, uint16_t /*category*/, uint32_t eventId,
                   const char *user, const char *text) {
  if (!h) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char stamp[80];
  snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  std::string line = stamp;
  line += '\t';
  Escape(line, h->source.c_str());
  line += '\t' + TypeWord(type) + '\t' + std::to_string(eventId) + '\t';
  Escape(line, user && *user ? user : "N/A");
  line += '\t';
  Escape(line, text);
  line += '\n';
  int fd = open(h->log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return os_FailErrno(errno), -1;
  // One write per report: appends of several processes never interleave.
  ssize_t n = write(fd, line.data(), line.size());
  int e = errno;
  close(fd);
  if (n < 0) return os_FailErrno(e), -1;
  if (static_cast<size_t>(n) != line.size()) return os_Fail(OS_ERROR_DISK_FULL), -1;
  return 0;
}

int os_DeregisterEventSource(OsEventSourceHandle h) {
  if (!h) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  delete h;
  return 0;
}
