#include "plugin/loggers/lcfg_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/cfg_path.h"
#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "framework/tables/tbl_text.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "plugin/loggers/lcfg_files.h"

namespace {

enum : int {
  kEntryBytes = 150,  // what the server is taken to send per entry
  kRecordHead = 131,  // the part of a configuration record the list needs
  kSelectorMax = 255,
  kTableFields = 2,
};

int Fail(uint32_t code) {
  os_Fail(code);
  return -1;
}

bool IsDecimal(const char *s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// A decimal number, saturating instead of overflowing; a sign is allowed.
int64_t Saturated(const char *s) {
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  int64_t v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) v = v > (INT64_MAX - 9) / 10 ? INT64_MAX : v * 10 + (*s - '0');
  return negative ? -v : v;
}

bool IsCount(const char *selector) { return selector[0] == '*' && selector[1] == ','; }

// Copies at most max characters of [from, from + n) and terminates.
void Cut(char *to, size_t max, const char *from, size_t n) {
  if (n > max) n = max;
  memcpy(to, from, n);
  to[n] = '\0';
}

void Fill(LoggerListEntry *e, const char *type, int number, const uint8_t *record) {
  Cut(e->TypeName, LCFG_LIST_TYPE_MAX, type, strlen(type));
  e->Number = static_cast<uint16_t>(number);
  const char *name = reinterpret_cast<const char *>(record + 1);
  Cut(e->Description, LCFG_LIST_DESCRIPTION_MAX, name, strnlen(name, LCFG_LIST_DESCRIPTION_MAX));
}

enum : int { kOtherType = 2 };

// The entry of line `number` of the open table, whose fields are read:
// 1 filled, 0 a line the check skips, kOtherType a line not of `wanted`,
// -2 a bad line, -1 an unreadable record.
int LineEntry(const std::string &loggers, char **fields, int count, int number, LoggerListEntry *e,
              const char *wanted) {
  LoggerTypeRecord type;
  int rc = tbl_ParseLoggerTypeLine(fields, count, &type);
  if (rc == -2) return -2;
  if (rc != 1) return 0;
  char name[LCFG_LIST_TYPE_MAX + 1];
  Cut(name, LCFG_LIST_TYPE_MAX, type.Name, strnlen(type.Name, sizeof type.Name));
  if (wanted && os_CompareNoCase(name, wanted) != 0) return kOtherType;
  uint8_t record[kRecordHead] = {};
  if (lcfg_ReadLogger(loggers.c_str(), name, number, record, sizeof record) != 0) return -1;
  Fill(e, name, number, record);
  return 1;
}

int FromOpenTable(const std::string &loggers, const char *selector, LoggerListEntry *entries, int capacity,
                  int lines) {
  char *fields[kTableFields];
  if (IsCount(selector)) {
    int64_t n = Saturated(selector + 2);
    if (n <= 0 || lines <= 0) return 0;
    int filled = 0;
    for (int number = 1; number <= n && filled < capacity; ++number) {
      int count = tbl_ReadFields(fields, nullptr, kTableFields);
      if (count <= 0) break;
      int rc = LineEntry(loggers, fields, count, number, &entries[filled], nullptr);
      if (rc < 0) return rc;
      filled += rc;
    }
    return filled;
  }
  bool byNumber = IsDecimal(selector);
  int64_t wanted = byNumber ? Saturated(selector) : 0;
  if (capacity < 1 || (byNumber && (wanted < 1 || wanted > lines))) return 0;
  for (int number = 1;; ++number) {
    int count = tbl_ReadFields(fields, nullptr, kTableFields);
    if (count <= 0) return 0;
    if (byNumber && number != wanted) continue;
    int rc = LineEntry(loggers, fields, count, number, &entries[0], byNumber ? nullptr : selector);
    if (rc == kOtherType) continue;
    return rc == 0 ? -2 : rc;
  }
}

bool ValidArguments(const char *selector, LoggerListEntry *entries, int capacity) {
  return selector && strlen(selector) <= kSelectorMax && (entries || capacity <= 0);
}

}  // namespace

int64_t lcfg_ListSelectorLimit(const char *selector) {
  if (!selector || !IsCount(selector)) return 1;
  int64_t n = Saturated(selector + 2);
  return n < 0 ? 0 : n;
}

int lcfg_ListLoggersIn(const char *configFolder, const char *selector, LoggerListEntry *entries, int capacity) {
  if (!configFolder || !ValidArguments(selector, entries, capacity)) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (capacity < 0) capacity = 0;
  std::string dir = cfg_AbsoluteDir(configFolder);
  std::string table = cfg_JoinPath(dir, "LOGCAP.TXT");
  int lines = tbl_Open(table.c_str());
  if (lines < 0) {
    tbl_Close();
    return 0;
  }
  int result = FromOpenTable(cfg_JoinPath(dir, "LOGGERS"), selector, entries, capacity, lines);
  int e = errno;
  uint32_t last = os_GetLastError();
  tbl_Close();
  errno = e;
  os_SetLastError(last);
  return result;
}

int lcfg_ParseLoggerList(const char *reply, int size, LoggerListEntry *entries, int capacity) {
  if (!reply || size < 0 || (!entries && capacity > 0)) return Fail(OS_ERROR_INVALID_PARAMETER);
  size_t end = strnlen(reply, static_cast<size_t>(size));
  const char *p = static_cast<const char *>(memchr(reply, ',', end));
  if (!p) return Fail(OS_ERROR_INVALID_DATA);
  const char *stop = reply + end;
  ++p;
  int filled = 0;
  while (p < stop && filled < capacity) {
    const char *semi = static_cast<const char *>(memchr(p, ';', static_cast<size_t>(stop - p)));
    const char *pieceEnd = semi ? semi : stop;
    const char *c1 = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(pieceEnd - p)));
    const char *c2 = c1 ? static_cast<const char *>(memchr(c1 + 1, ',', static_cast<size_t>(pieceEnd - c1 - 1)))
                        : nullptr;
    if (!c2) return Fail(OS_ERROR_INVALID_DATA);
    std::string number(c1 + 1, c2);
    if (!IsDecimal(number.c_str()) || Saturated(number.c_str()) > UINT16_MAX) return Fail(OS_ERROR_INVALID_DATA);
    LoggerListEntry &e = entries[filled];
    Cut(e.TypeName, LCFG_LIST_TYPE_MAX, p, static_cast<size_t>(c1 - p));
    e.Number = static_cast<uint16_t>(Saturated(number.c_str()));
    Cut(e.Description, LCFG_LIST_DESCRIPTION_MAX, c2 + 1, static_cast<size_t>(pieceEnd - c2 - 1));
    ++filled;
    if (!semi) break;
    // An empty last piece (a reply ending in ';') is no entry.
    p = semi + 1;
  }
  return filled;
}

int lcfg_ListLoggers(const char *server, const char *selector, LoggerListEntry *entries, int capacity) {
  if (!ValidArguments(selector, entries, capacity)) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (capacity < 0) capacity = 0;
  int64_t limit = lcfg_ListSelectorLimit(selector);
  int room = limit < capacity ? static_cast<int>(limit) : capacity;
  if (!IsCount(selector) || limit <= (LCFG_LIST_SEND_LIMIT - 1) / kEntryBytes) {
    std::string line = std::string("IL,") + selector;
    std::vector<char> reply(LCFG_LIST_REPLY, '\0');
    int size = LCFG_LIST_REPLY;
    int rc = con_Transact(server, line.c_str(), static_cast<int>(line.size() + 1), reply.data(), &size);
    if (rc == 0) return 0;
    if (rc > 0) return lcfg_ParseLoggerList(reply.data(), size, entries, room);
  }
  const char *config = srv_ResolveServerFolder(server, "TSQ_CURRENT_CONFIG");
  if (!config) return -1;
  return lcfg_ListLoggersIn(config, selector, entries, room);
}

int lcfg_FormatLoggerList(const LoggerListEntry *entries, int count, char *out, size_t size) {
  if (!out || size == 0 || count < 0 || (!entries && count > 0)) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string text = std::to_string(count);
  for (int i = 0; i < count; ++i) {
    const LoggerListEntry &e = entries[i];
    text += i ? ";" : ",";
    text += std::string(e.TypeName, strnlen(e.TypeName, sizeof e.TypeName)) + "," + std::to_string(e.Number) + "," +
            std::string(e.Description, strnlen(e.Description, sizeof e.Description));
  }
  if (text.size() >= size) return Fail(OS_ERROR_INSUFFICIENT_BUFFER);
  memcpy(out, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}
