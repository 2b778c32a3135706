#include "plugin/loggers/log_run_name.h"

#include <cstring>

#include "platform/os_codepage.h"
#include "plugin/loggers/log_format.h"

bool log_ParseRunName(const char *name, const char *ext, LogRunName *run) {
  if (name == nullptr || ext == nullptr || name[0] == '\0' || name[0] == '.') return false;
  size_t n = strnlen(name, LOG_RUN_NAME_MAX + 1);
  if (n > LOG_RUN_NAME_MAX) return false;
  char copy[LOG_RUN_NAME_MAX + 1];
  memcpy(copy, name, n + 1);
  copy[n - 1] = static_cast<char>(static_cast<unsigned char>(copy[n - 1]) & 0x7F);
  uint32_t tail = log_StampTail(copy, ext);
  if (tail == 0) return false;
  const char *stamp = copy + n - tail;
  run->prefixLength = n - tail;
  run->start = log_ParseStamp(stamp);
  run->end = tail == LOG_CLOSED_STAMP_LEN ? log_ParseStamp(stamp + 14) : 0;
  return run->start >= 0 && run->end >= 0;
}

bool log_RunOfPrefix(const char *name, const LogRunName &run, const char *prefix) {
  size_t p = prefix ? strlen(prefix) : 0;
  return run.prefixLength == p && (p == 0 || os_CompareNoCaseN(name, prefix, p) == 0);
}

bool log_PurgeTakes(const char *name, const char *ext, const char *prefix, int64_t cutoff) {
  LogRunName run;
  if (!log_ParseRunName(name, ext, &run) || !log_RunOfPrefix(name, run, prefix)) return false;
  return run.end != 0 && run.start < cutoff && run.end < cutoff;
}
