#include "framework/server/srv_requests.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/server/srv_client.h"
#include "framework/server/srv_private.h"
#include "framework/xml/xml_error.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"

namespace {

enum : int { kLineMax = 2 * SRV_SERVER_MAX, kListFields = 16 };

// "-1,<code>," with the longest code, the XML layer's longest combined text
// (name, blank, section, " - ", text), the terminator the server sends and
// the one the client adds.
static_assert(SRV_RESULT_REPLY >= 15 + (XML_TEXT_MAX + 1 + XML_TEXT_MAX + 3 + XML_TEXT_MAX - 1) + 2);

int Invalid(uint32_t code) {
  os_Fail(code);
  return -1;
}

// Formats a request line; false (OS_ERROR_INVALID_PARAMETER) when it does not fit.
bool Line(char *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
bool Line(char *out, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(out, kLineMax, format, ap);
  va_end(ap);
  if (n >= 0 && n < kLineMax) return true;
  Invalid(OS_ERROR_INVALID_PARAMETER);
  return false;
}

int Result(const char *server, const char *line) {
  char reply[SRV_RESULT_REPLY];
  uint32_t length = sizeof reply;
  return srv_Request(server, line, reply, &length);
}

const char *Text(const char *s) { return s ? s : ""; }

// Copies at most max characters of a field, terminated.
void Field(char *to, size_t size, const char *from, size_t max) {
  size_t n = strnlen(from, max < size - 1 ? max : size - 1);
  memcpy(to, from, n);
  to[n] = '\0';
}

// The records of a list reply "n,rec;rec;..." (fields separated by commas),
// n as the reply parser read it:
// fills at most min(n, capacity) of them through fill(fields, count, index),
// which returns false for a record that is too short.
template <typename F>
int ParseList(char *reply, int n, int capacity, int minFields, F fill) {
  if (n <= 0) return n;
  char *p = strchr(reply, ',');
  p = p ? p + 1 : reply + strlen(reply);
  int filled = 0;
  while (filled < n && filled < capacity) {
    char *end = strchr(p, ';');
    if (end) *end = '\0';
    char *fields[kListFields];
    int count = tbl_SplitFields(p, fields, nullptr, kListFields);
    if (count < minFields) return Invalid(OS_ERROR_INVALID_DATA);
    fill(fields, count, filled);
    ++filled;
    p = end ? end + 1 : p + strlen(p);
  }
  return filled;
}

// The list reply of a request into the caller's buffer; -1 when it failed.
int ListRequest(const char *server, const char *line, std::vector<char> &reply) {
  reply.assign(SRV_LIST_REPLY, '\0');
  uint32_t length = SRV_LIST_REPLY;
  return srv_Request(server, line, reply.data(), &length);
}

void FromReply(char **f, ProcessorRecord *r) {
  memset(r, 0, sizeof *r);
  Field(r->Name, sizeof r->Name, f[0], sizeof r->Name - 1);
  Field(r->PrintName, sizeof r->PrintName, f[1], sizeof r->PrintName - 1);
  if (const char *colon = strchr(f[2], ':')) {
    size_t n = static_cast<size_t>(colon - f[2]);
    memcpy(r->Prefix, f[2], n < 2 ? n : 2);
    r->Count = static_cast<uint16_t>(atoi(colon + 1));
  }
  r->Run = static_cast<uint8_t>(atoi(f[3]));
  // Case counts: only a capital 'A' is analogue.
  char letter = f[4][0];
  if (!letter || os_CompareNoCaseN(r->Name, "modb", 4) == 0)
    r->Type = 6;
  else
    r->Type = letter == 'A' ? 2 : 3;
}

// The user's login name for "DL" and "EL".
void UserName(char *out, uint32_t size) {
  uint32_t n = size;
  if (os_GetUserName(out, &n) != 0) out[0] = '\0';
}

int LoggerUserRequest(const char *server, const char *command, const char *logger) {
  char user[257];
  UserName(user, sizeof user);
  char line[kLineMax];
  if (!Line(line, "%s,%s,%s", command, Text(logger), user)) return -1;
  return Result(server, line);
}

}  // namespace

int srv_ControlProcessor(const char *server, const char *processor, int command) {
  char line[kLineMax];
  char letter = 0;
  if (command > 255) {
    if (!Line(line, "CP,%s,%d", Text(processor), command)) return -1;
  } else {
    letter = static_cast<char>(toupper(command & 0xFF));
    if (!letter || !strchr("CIRT", letter)) return errno = 0, os_SetLastError(0), -1;
    if (!Line(line, "CP,%s,%c", Text(processor), letter)) return -1;
  }
  bool loggers = (letter == 'C' || letter == 'T') && srv_ReconfigureLoggersEnabled(server);
  if (loggers && srv_DisableActiveLoggers(server) == -1) return -1;
  int result = Result(server, line);
  if (!loggers) return result;
  uint32_t err = os_GetLastError();
  if (srv_ReenableLoggers(server) == -1) return -1;
  if (result == -1) errno = static_cast<int>(err), os_SetLastError(err);
  return result;
}

int srv_DisableProcessor(const char *server, const char *processor) {
  char line[kLineMax];
  return Line(line, "DP,%s", Text(processor)) ? Result(server, line) : -1;
}

int srv_EnableProcessor(const char *server, const char *processor) {
  char line[kLineMax];
  return Line(line, "EP,%s", Text(processor)) ? Result(server, line) : -1;
}

int srv_CountProcessors(const char *server) {
  std::vector<char> reply;
  int n = ListRequest(server, "QP,", reply);
  return n == -1 ? srv_CountTableLines(server, "DATPROC.TXT") : n;
}

int srv_GetProcessors(const char *server, const char *selector, ProcessorRecord *records, int capacity) {
  if (!records && capacity > 0) return Invalid(OS_ERROR_INVALID_PARAMETER);
  char line[kLineMax];
  if (!Line(line, "IP,%s", Text(selector))) return -1;
  std::vector<char> reply;
  int n = ListRequest(server, line, reply);
  if (n == -1) return srv_ProcessorsFromTable(server, Text(selector), records, capacity);
  return ParseList(reply.data(), n, capacity, 5, [&](char **f, int, int i) { FromReply(f, &records[i]); });
}

int srv_GetProcessorTable(const char *server, const char *selector, ProcessorTableEntry *entries, int capacity) {
  if (!entries && capacity > 0) return Invalid(OS_ERROR_INVALID_PARAMETER);
  char line[kLineMax];
  if (!Line(line, "TP,%s", Text(selector))) return -1;
  std::vector<char> reply;
  int n = ListRequest(server, line, reply);
  if (n == -1) return -1;
  return ParseList(reply.data(), n, capacity, 2, [&](char **f, int count, int i) {
    ProcessorTableEntry &e = entries[i];
    memset(&e, 0, sizeof e);
    e.First = static_cast<uint8_t>(atoi(f[0]));
    e.Second = static_cast<uint8_t>(atoi(f[1]));
    if (count > 3 && f[3][0])
      Field(e.Text, sizeof e.Text, f[3], SRV_ENTRY_TEXT_MAX);
    else if (count > 2)
      Field(e.Text, sizeof e.Text, f[2], SRV_ENTRY_SHORT_TEXT_MAX);
  });
}

int srv_SendYL(const char *server, const char *a, const char *b) {
  char line[kLineMax];
  return Line(line, "YL,%s,%s", Text(a), Text(b)) ? Result(server, line) : -1;
}

int srv_ControlLogger(const char *server, const char *logger, int command) {
  char line[kLineMax];
  if (command > 255) return Line(line, "CL,%s,%d", Text(logger), command) ? Result(server, line) : -1;
  char letter = static_cast<char>(toupper(command & 0xFF));
  if (letter != 'F' && letter != 'S') return errno = 0, os_SetLastError(0), -1;
  return Line(line, "CL,%s,%c", Text(logger), letter) ? Result(server, line) : -1;
}

int srv_DisableLogger(const char *server, const char *logger) { return LoggerUserRequest(server, "DL", logger); }
int srv_EnableLogger(const char *server, const char *logger) { return LoggerUserRequest(server, "EL", logger); }

int srv_GetLoggerName(const char *server, int number, char *name, uint32_t size) {
  if (name && size) name[0] = '\0';
  char line[kLineMax];
  if (!Line(line, "NL,%d", number)) return -1;
  char reply[SRV_RESULT_REPLY];
  uint32_t length = sizeof reply;
  int result = srv_Request(server, line, reply, &length);
  if (result == 1 && name && size) {
    const char *comma = strchr(reply, ',');
    Field(name, size, comma ? comma + 1 : "", SRV_LOGGER_NAME_MAX);
  }
  return result;
}

int srv_GetLoggerTable(const char *server, const char *selector, LoggerTableEntry *entries, int capacity) {
  if (!entries && capacity > 0) return Invalid(OS_ERROR_INVALID_PARAMETER);
  char line[kLineMax];
  if (!Line(line, "TL,%s", Text(selector))) return -1;
  std::vector<char> reply;
  int n = ListRequest(server, line, reply);
  if (n == -1) return -1;
  return ParseList(reply.data(), n, capacity, 5, [&](char **f, int count, int i) {
    LoggerTableEntry &e = entries[i];
    memset(&e, 0, sizeof e);
    Field(e.Name, sizeof e.Name, f[0], SRV_LOGGER_ENTRY_NAME_MAX);
    e.Active = static_cast<uint8_t>(atoi(f[1]));
    e.Third = static_cast<uint8_t>(atoi(f[2]));
    e.Fourth = static_cast<uint8_t>(atoi(f[3]));
    e.Fifth = atoi(f[4]);
    if (count > 6 && f[6][0])
      Field(e.Text, sizeof e.Text, f[6], SRV_ENTRY_TEXT_MAX);
    else if (count > 5)
      Field(e.Text, sizeof e.Text, f[5], SRV_ENTRY_SHORT_TEXT_MAX);
  });
}

int srv_SendRL(const char *server, const char *logger) {
  char line[kLineMax];
  return Line(line, "RL,%s", Text(logger)) ? Result(server, line) : -1;
}

int srv_CountLoggers(const char *server) {
  int n = Result(server, "QL");
  return n == -1 ? srv_CountTableLines(server, "LOGCAP.TXT") : n;
}

int srv_SendML(const char *server, const char *a, const char *b) {
  char line[kLineMax];
  return Line(line, "ML,%s,%s", Text(a), Text(b)) ? Result(server, line) : -1;
}

int srv_SendXL(const char *server, const char *a, const char *b) {
  char line[kLineMax];
  return Line(line, "XL,%s,%s", Text(a), Text(b)) ? Result(server, line) : -1;
}

int srv_ReservedZeroA(void) { return 0; }
int srv_ReservedZeroB(void) { return 0; }
int srv_ReservedTwelve(void) { return 12; }
int srv_ReservedFail(void) { return -1; }
