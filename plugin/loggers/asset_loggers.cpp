#include "plugin/loggers/asset_loggers.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/cfg_path.h"
#include "framework/server/srv_requests.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "plugin/loggers/lcfg_list.h"
#include "plugin/loggers/lcfg_files.h"
#include "plugin/loggers/lcfg_types.h"

namespace {

const char kUser[] = "asset";

struct ResubLogger {
  char type[LCFG_LIST_TYPE_MAX + 1];
  int number;
  LoggerResub record;
};

// The "resub" loggers of the host's configuration, their records read.
bool ResubLoggers(const char *host, std::string *folder, std::vector<ResubLogger> *out) {
  const char *config = srv_ResolveServerFolder(host, "TSQ_CURRENT_CONFIG");
  if (!config) return false;
  *folder = cfg_JoinPath(cfg_AbsoluteDir(config), "LOGGERS");
  int count = srv_CountLoggers(host);
  if (count <= 0) return true;
  std::vector<LoggerListEntry> entries(static_cast<size_t>(count));
  std::string selector = "*," + std::to_string(count);
  int n = lcfg_ListLoggers(host, selector.c_str(), entries.data(), count);
  if (n < 0) return os_Fail(OS_ERROR_INVALID_DATA), false;
  for (int i = 0; i < n; ++i) {
    const LoggerListEntry &e = entries[static_cast<size_t>(i)];
    if (lcfg_KindOf(e.TypeName) != LCFG_RESUB) continue;
    ResubLogger l{};
    memcpy(l.type, e.TypeName, sizeof l.type);
    l.number = e.Number;
    if (lcfg_ReadLogger(folder->c_str(), l.type, l.number, &l.record, sizeof l.record) != 0) return false;
    out->push_back(l);
  }
  return true;
}

// The path as records keep it: no trailing separator, room for it.
bool AssetPath(const char *path, std::string *out) {
  if (!path || !*path) return false;
  std::string p = path;
  while (p.size() > 1 && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  if (p.size() >= sizeof(LoggerResub::AssetPath)) return false;
  *out = p;
  return true;
}

bool Serves(const LoggerResub &r, const std::string &path) {
  return os_CompareNoCase(std::string(r.AssetPath, strnlen(r.AssetPath, sizeof r.AssetPath)).c_str(),
                          path.c_str()) == 0;
}

std::string RunFolder(const ResubLogger &l, const std::string &path) {
  const LoggerResub &r = l.record;
  if (r.OverrideDestination && r.DestinationDirectory[0])
    return std::string(r.DestinationDirectory, strnlen(r.DestinationDirectory, sizeof r.DestinationDirectory));
  return path + "\\LOGGER_" + std::to_string(l.number);
}

int Give(const ResubLogger &l, const std::string &path, char *folder, size_t size) {
  std::string f = RunFolder(l, path);
  if (folder && size) {
    if (f.size() >= size) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), 0;
    memcpy(folder, f.c_str(), f.size() + 1);
  }
  return l.number;
}

bool TimeFits(const TmCalendar &t) {
  return t.year >= 1900 && t.year <= 1900 + 255 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 &&
         t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

}  // namespace

int asset_LoggerStart(const char *host, const char *path, int *start, TmCalendar *time) {
  std::string p, folder;
  std::vector<ResubLogger> loggers;
  if (!start || !time || !AssetPath(path, &p)) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  if (!ResubLoggers(host, &folder, &loggers)) return 0;
  for (const ResubLogger &l : loggers) {
    if (!Serves(l.record, p)) continue;
    const uint8_t *t = l.record.StartTime;
    *start = l.record.StartFlag;
    memset(time, 0, sizeof *time);
    time->year = static_cast<uint16_t>(1900 + t[0]);
    time->month = t[1];
    time->day = t[2];
    time->hour = t[3];
    time->minute = t[4];
    time->second = t[5];
    return 1;
  }
  return os_Fail(OS_ERROR_FILE_NOT_FOUND), 0;
}

int asset_SetLoggerStart(const char *host, const char *path, const TmCalendar *time) {
  std::string p, folder;
  std::vector<ResubLogger> loggers;
  if (!time || !TimeFits(*time) || !AssetPath(path, &p)) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  if (!ResubLoggers(host, &folder, &loggers)) return 0;
  int written = 0;
  for (ResubLogger &l : loggers) {
    if (!Serves(l.record, p)) continue;
    l.record.StartFlag = 1;
    const uint8_t t[6] = {static_cast<uint8_t>(time->year - 1900), static_cast<uint8_t>(time->month),
                          static_cast<uint8_t>(time->day),         static_cast<uint8_t>(time->hour),
                          static_cast<uint8_t>(time->minute),      static_cast<uint8_t>(time->second)};
    memcpy(l.record.StartTime, t, sizeof t);
    if (lcfg_WriteLogger(folder.c_str(), kUser, l.type, l.number, &l.record, sizeof l.record) != 0) return 0;
    ++written;
  }
  return written ? 1 : (os_Fail(OS_ERROR_FILE_NOT_FOUND), 0);
}

int asset_FindLoggerRun(const char *host, const char *path, char *folder, size_t size) {
  std::string p, loggersFolder;
  std::vector<ResubLogger> loggers;
  if (!AssetPath(path, &p)) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  if (!ResubLoggers(host, &loggersFolder, &loggers)) return 0;
  for (const ResubLogger &l : loggers)
    if (Serves(l.record, p)) return Give(l, p, folder, size);
  return os_Fail(OS_ERROR_FILE_NOT_FOUND), 0;
}

int asset_AllocateLogger(const char *host, const char *path, char *folder, size_t size) {
  std::string p, loggersFolder;
  std::vector<ResubLogger> loggers;
  if (!AssetPath(path, &p)) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  if (!ResubLoggers(host, &loggersFolder, &loggers)) return 0;
  for (const ResubLogger &l : loggers)
    if (Serves(l.record, p)) return Give(l, p, folder, size);
  for (ResubLogger &l : loggers) {
    if (l.record.AssetPath[0]) continue;
    std::string run = p + "\\LOGGER_" + std::to_string(l.number);
    if (run.size() >= sizeof l.record.DestinationDirectory || (folder && size && run.size() >= size))
      return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), 0;
    if (os_MakeDirectory(run.c_str()) != 0 && os_GetLastError() != OS_ERROR_ALREADY_EXISTS) return 0;
    memset(l.record.AssetPath, 0, sizeof l.record.AssetPath);
    memcpy(l.record.AssetPath, p.c_str(), p.size());
    memset(l.record.DestinationDirectory, 0, sizeof l.record.DestinationDirectory);
    memcpy(l.record.DestinationDirectory, run.c_str(), run.size());
    l.record.OverrideDestination = 1;
    if (lcfg_WriteLogger(loggersFolder.c_str(), kUser, l.type, l.number, &l.record, sizeof l.record) != 0) return 0;
    return Give(l, p, folder, size);
  }
  return os_Fail(OS_ERROR_FILE_NOT_FOUND), 0;
}
