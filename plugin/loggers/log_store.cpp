#include "plugin/loggers/log_store.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/os_error.h"
#include "platform/os_codepage.h"
#include "plugin/loggers/log_db_collection.h"
#include "plugin/loggers/log_db_store.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_mysql_store.h"

CLogStore::~CLogStore() = default;
int CLogStore::Open(const char *, const char *, uint32_t) { return 0; }
int CLogStore::UseforLogging(uint32_t *) { return 0; }
void CLogStore::GetName(char *, uint32_t *) {}
int CLogStore::Close() { return 0; }
int CLogStore::FlushHeader(uint32_t) { return 0; }
int CLogStore::ReadHeader(LogFileHeader *) { return 0; }
int CLogStore::WriteHeader(const LogFileHeader *, const char *) { return 0; }
int CLogStore::ReadChannels(const LogFileHeader *, ChannelRecord *, int, int, int) { return 0; }
int CLogStore::WriteLogs(const LogFileHeader *, const void *, uint32_t) { return 0; }
int32_t CLogStore::ReadLogsInRange(const LogFileHeader *, const TimeStamp *, const TimeStamp *, void *, int32_t,
                                   void *, void *, void *, void *, void *) {
  return 0;
}
int32_t CLogStore::ReadLogs(int64_t, const LogFileHeader *, void *, int32_t, void *, void *, void *) { return 0; }
int CLogStore::ReadLog(int64_t, const LogFileHeader *, void *, uint32_t, void *, void *, void *, void *, void *) {
  return 0;
}
int CLogStore::WriteLog(int64_t, const LogFileHeader *, const void *, uint32_t) { return 0; }
int64_t CLogStore::GetNoLogs(const LogFileHeader *) { return 0; }
int64_t CLogStore::CountChannelRows(const LogFileHeader *) { return 0; }
int CLogStore::ReadSectionW(const char *, uint16_t *, uint32_t *, void *, void *) { return 0; }
int CLogStore::ReadSection(const char *, char *, uint32_t *, void *, void *) { return 0; }
int CLogStore::ReadSectionLinesW(const char *, uint16_t **, uint32_t *, uint16_t *, uint32_t *, void *, void *) {
  return 0;
}
int CLogStore::ReadSectionLines(const char *, char **, uint32_t *, char *, uint32_t *, void *, void *) { return 0; }
int CLogStore::WriteTextW(int32_t, const uint16_t *, const uint16_t *, const char *) { return 0; }
int CLogStore::WriteText(int32_t, const char *, const char *, const char *) { return 0; }
int CLogStore::WriteTextAtW(TimeStamp, const uint16_t *, const uint16_t *, const char *) { return 0; }
int CLogStore::WriteTextAt(TimeStamp, const char *, const char *, const char *) { return 0; }
int CLogStore::WritePosition(int32_t, int, float) { return 0; }
int CLogStore::WriteHeaderTextW(const uint16_t *) { return 0; }
int CLogStore::WriteHeaderText(const char *) { return 0; }
int CLogStore::WriteFormulae(const char *, int, const char *) { return 0; }
int CLogStore::WriteUnitCategory(const char *, const char *) { return 0; }
int CLogStore::GetLastModified(int32_t *) { return -1; }
const char *CLogStore::GetErrorText() { return ""; }
const char *CLogStore::GetErrorSummary() { return ""; }
int CLogStore::Rename(const char *) { return 0; }
void CLogStore::DeleteLogsInRange(void *, void *) {}
void CLogStore::Truncate(LogFileHeader *, uint32_t) {}
int64_t CLogStore::CountLogsInRange(void *, void *, const LogFileHeader *h) { return h ? h->recordCount : 0; }

CLogCollection::CLogCollection() { prefix_[0] = 0; }
CLogCollection::~CLogCollection() = default;
int CLogCollection::Open(const char *, const char *, const char *, const char *prefix, uint32_t) {
  size_t n = prefix ? strlen(prefix) : 0;
  if (n > LOG_PREFIX_MAX) return os_SetLastError(OS_ERROR_SUCCESS), -1;
  memcpy(prefix_, prefix ? prefix : "", n);
  prefix_[n] = 0;
  return 0;
}
void CLogCollection::Reserved(void *) {}
void CLogCollection::Purge(const int32_t *) {}
int CLogCollection::FirstRun(uint32_t *) { return 0; }
int CLogCollection::NextRun(char *, LogRunTime *, LogRunTime *) { return 0; }
int CLogCollection::FindRun(char *, uint32_t *, LogRunTime *, LogRunTime *, int) { return 0; }
CLogStore *CLogCollection::CreateRunW(const int32_t *, int, void *, LogFileHeader *, const uint16_t *, int,
                                      const char *, void *, ChannelRecord **) {
  return nullptr;
}
CLogStore *CLogCollection::CreateRun(const int32_t *, int, void *, LogFileHeader *, const char *, int, const char *,
                                     void *, ChannelRecord **) {
  return nullptr;
}
CLogStore *CLogCollection::OpenStore(const char *, uint32_t) { return nullptr; }
int CLogCollection::UseRunForLogging(CLogStore *, uint32_t, const char *, int, int) { return 0; }
int CLogCollection::CloseRun(CLogStore *, const int32_t *, const int32_t *, int) { return 0; }
const char *CLogCollection::GetErrorText() { return ""; }
const char *CLogCollection::GetErrorSummary() { return ""; }
void CLogCollection::GetStorePath(const char *, char *, uint32_t *) {}

namespace {

bool StartsNoCase(const char *s, const char *prefix) { return os_CompareNoCaseN(s, prefix, strlen(prefix)) == 0; }

const char *FindNoCase(const char *s, const char *key) {
  for (; *s; ++s)
    if (StartsNoCase(s, key)) return s;
  return nullptr;
}

// Cuts [at, end of the value) out of the string: the rest from the next ';'
// moves up.
void CutPair(char *at, size_t keyLen) {
  char *end = strchr(at + keyLen, ';');
  if (end) memmove(at, end, strlen(end) + 1);
  else *at = 0;
}

}  // namespace

int log_ProviderKind(const char *connection) {
  static const char kProvider[] = "PROVIDER=";
  if (!connection || !StartsNoCase(connection, kProvider)) return -1;
  const char *p = connection + sizeof kProvider - 1;
  if (StartsNoCase(p, "MYSQL")) return 1;
  if (StartsNoCase(p, "WITSML")) return 2;
  if (StartsNoCase(p, "OSDU")) return 3;
  return 0;
}

CLogStore *log_CreateStore(const char *connection) {
  if (log_ProviderKind(connection) == -1) return new (std::nothrow) CLogFileStore();
  if (log_ProviderKind(connection) == 0) return new (std::nothrow) CLogDbStore();
  if (log_ProviderKind(connection) == 1) return new (std::nothrow) CLogDbMySQLStore();
  os_Fail(OS_ERROR_NOT_SUPPORTED);
  return nullptr;
}

CLogCollection *log_CreateCollection(const char *connection) {
  if (log_ProviderKind(connection) == 0) return new (std::nothrow) CLogDbCollection();
  if (log_ProviderKind(connection) == -1) return new (std::nothrow) CLogFileCollection();
  if (log_ProviderKind(connection) == 1) return new (std::nothrow) CLogDbMySQLCollection();
  os_Fail(OS_ERROR_NOT_SUPPORTED);
  return nullptr;
}

int log_TakeKey(const char *key, char *connection, uint32_t *size, char *out) {
  if (!key || !*key || !connection || !size) return 0;
  char *at = const_cast<char *>(FindNoCase(connection, key));
  if (!at) return 0;
  size_t keyLen = strlen(key);
  const char *value = at + keyLen, *end = strchr(value, ';');
  size_t len = end ? static_cast<size_t>(end - value) : strlen(value);
  if (out) {
    if (len + 1 > *size) return 0;
    memcpy(out, value, len);
    out[len] = 0;
  } else {
    *size = static_cast<uint32_t>(len);
  }
  CutPair(at, keyLen);
  return 1;
}

int log_TakeLoggerName(char *connection, uint32_t *size, char *out) {
  return log_TakeKey(";LoggerName=", connection, size, out);
}

int log_TakeLoggerSeq(char *connection, int32_t *seq) {
  static const char kKey[] = ";LoggerSeq=";
  if (!connection || !seq) return 0;
  char *at = const_cast<char *>(FindNoCase(connection, kKey));
  if (!at) return 0;
  const char *value = at + sizeof kKey - 1;
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(value, &end, 10);
  if (end == value || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return 0;
  *seq = static_cast<int32_t>(v);
  CutPair(at, sizeof kKey - 1);
  return 1;
}

const char *log_ResolveRun(const char *connection) {
  thread_local char result[LOG_CONNSTR_MAX + 1];
  result[0] = 0;
  if (!connection) return result;
  size_t n = strlen(connection);
  if (n > LOG_CONNSTR_MAX) return result;
  memcpy(result, connection, n + 1);
  if (FindNoCase(result, ";LoggerSeq=")) return result;
  char logger[LOG_LOGGER_NAME_MAX + 1];
  uint32_t cap = sizeof logger;
  if (!log_TakeLoggerName(result, &cap, logger)) return result[0] = 0, result;
  int kind = log_ProviderKind(result);
  if (kind == 2 || kind == 3) return result;  // no collection class serves these
  CLogCollection *c = log_CreateCollection(result);
  if (!c) return result[0] = 0, result;
  char run[LOG_CONNSTR_MAX + 1];
  uint32_t runCap = sizeof run;
  LogRunTime start{}, end{};
  bool found = c->Open(result, "", logger, "", 0x80000000u) == 0 && c->FindRun(run, &runCap, &start, &end, 1) == 1;
  delete c;
  if (!found) return result[0] = 0, result;
  size_t used = strlen(result);
  int w = snprintf(result + used, sizeof result - used, ";LoggerName=%s;%s", logger, run);
  if (w < 0 || static_cast<size_t>(w) >= sizeof result - used) result[0] = 0;
  return result;
}

void log_SanitizeName(char *text) {
  if (!text) return;
  for (; *text; ++text)
    if (strchr(" #&*=+?!^(){}~<>:-", *text)) *text = '_';
}

int log_IsReservedPrefix(const char *text) {
  if (!text || !*text) return 1;
  static const char *const kNames[] = {"END", "DT", "MS", "TX", "TP", "LL", "LV"};
  for (const char *n : kNames)
    if (strcmp(text, n) == 0) return 1;
  return 0;
}

int log_CountLines(const char *text) {
  if (!text || !*text) return 0;
  int lines = 0;
  const char *p = text, *afterLast = text;
  while ((p = strstr(p, "\r\n")) != nullptr) {
    ++lines;
    p += 2;
    afterLast = p;
  }
  return *afterLast ? lines + 1 : lines;
}
