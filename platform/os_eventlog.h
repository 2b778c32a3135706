// The event log stand-in: each report is one line appended to
// ROOT/eventlog/Application.log (ROOT/hosts/H/eventlog/Application.log for a
// remote computer H):
//   "YYYY-MM-DD HH:MM:SS<TAB>source<TAB>type<TAB>event id<TAB>user<TAB>text\n"
// with the local time, the type as a word ("Error", "Warning", "Information",
// "Audit Success", "Audit Failure", else its number) and "N/A" when no user is
// given. Line ends, tabs and other control characters in the texts are written
// as \r, \n, \t and \xHH, so every report stays one line.
#pragma once
#include <cstdint>

enum : uint16_t {
  OS_EVENTLOG_ERROR_TYPE = 1,
  OS_EVENTLOG_WARNING_TYPE = 2,
  OS_EVENTLOG_INFORMATION_TYPE = 4,
  OS_EVENTLOG_AUDIT_SUCCESS = 8,
  OS_EVENTLOG_AUDIT_FAILURE = 16,
};

typedef struct OsEventSource *OsEventSourceHandle;

// server NULL, "", "." or this computer's name is this computer; "\\H" or "H"
// another one, which is unreachable without a folder ROOT/hosts/H
// (OS_ERROR_BAD_NETPATH). NULL with the last error on failure.
OsEventSourceHandle os_RegisterEventSource(const char *server, const char *source);
// One report; user may be NULL. 0, or -1 with the last error.
int os_ReportEvent(OsEventSourceHandle h, uint16_t type, uint16_t category, uint32_t eventId, const char *user,
                   const char *text);
int os_DeregisterEventSource(OsEventSourceHandle h);  // 0 or -1

// The Linux path of the log file of a computer (server as above); 0 or -1.
int os_EventLogPath(const char *server, char *out, uint32_t size);
