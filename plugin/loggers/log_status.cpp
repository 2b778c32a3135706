#include "plugin/loggers/log_status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/config/chan_text.h"
#include "framework/shm/io_types.h"
#include "framework/shm/shm_areas.h"
#include "plugin/loggers/log_format.h"

const LoggerStatusRow log_StatusRows[LOG_STATUS_ROWS] = {
    {"STATUS", "STATUS", "ENABLED", "DISABLED"},
    {"DIRECTORY1", "DIRECTORY1", "N/A", "N/A"},
    {"DIRECTORY2", "DIRECTORY2", "N/A", "N/A"},
    {"DIRECTORY3", "DIRECTORY3", "N/A", "N/A"},
    {"DIRECTORY4", "DIRECTORY4", "N/A", "N/A"},
    {"DIRECTORY5", "DIRECTORY5", "N/A", "N/A"},
    {"DIRECTORY6", "DIRECTORY6", "N/A", "N/A"},
    {"PREFIX", "FILE/TABLE PREFIX", "N/A", "N/A"},
    {"TYPE", "STORAGE TYPE", "DATABASE", "FILE"},
    {"ACTIVITY", "ACTIVITY", "Not Started", "N/A"},
    {"ERROR", "ERROR MESSAGE", "ERROR", "NONE"},
    {"RESET CNTS", "RESET COUNTS", "RESET", "NORESET"},
    {"DATE LST W", "DATE OF LAST WRITE", "", ""},
    {"TIME LST W", "TIME OF LAST WRITE", "", ""},
    {"SEC LAST W", "TIME SINCE LAST WRITE", "SECS", ""},
    {"NO WRITES", "NO OF WRITE REQUESTS", "", ""},
    {"BYTES WRIT", "NO BYTES WRITTEN", "BYTES", ""},
    {"NO READ", "NO OF READ REQUESTS", "", ""},
    {"BYTES READ", "NO BYTES READ", "BYTES", ""},
    {"R-T LOG NO", "REAL-TIME LOG NUMBER", "", ""},
    {"R-T LOG DT", "REAL-TIME LOG DATE", "YYMMDD", ""},
    {"R-T LOG TM", "REAL-TIME LOG TIME", "HHMNSS", ""},
    {"LAG LOG NO", "LAG LOG NUMBER", "", ""},
    {"LAG LOG DT", "LAG LOG DATE", "YYMMDD", ""},
    {"LAG LOG TM", "LAG LOG TIME", "HHMNSS", ""},
    {"HIS LOG NO", "HISTORICAL LOG NUMBER", "", ""},
    {"HIS LOG DT", "HISTORICAL LOG DATE", "YYMMDD", ""},
    {"HIS LOG TM", "HISTORICAL LOG TIME", "HHMNSS", ""},
    {"EXPIRY DT", "EXPIRY DATE", "YYMNDD", ""},
    {"EXPIRY TM", "EXPIRY TIME", "HHMNSS", ""},
    {"SEC TO EXP", "TIME TO EXPIRY", "HRS", ""},
    {"NO INCOMPL", "NO OF INCOMPLETE PUBS", "", ""},
    {"YEAR LST W", "YEAR OF LAST WRITE", "", ""},
    {"MON LST W", "MONTH OF LAST WRITE", "", ""},
    {"DAY LST W", "DAY OF LAST WRITE", "", ""},
    {"HOUR LST W", "HOUR OF LAST WRITE", "", ""},
    {"MIN LST W", "MINUTE OF LAST WRITE", "", ""},
    {"SEC LST W", "SECON OF LAST WRITE", "", ""},
    {"R-T LOG YY", "REAL-TIME LOG YEAR", "", ""},
    {"R-T LOG MM", "REAL-TIME LOG MONTH", "", ""},
    // The day row has its own tag, so a tag lookup of the seconds finds row 44.
    {"R-T LOG DD", "REAL-TIME LOG DAY", "", ""},
    {"R-T LOG HH", "REAL-TIME LOG HOUR", "", ""},
    {"R-T LOG MN", "REAL-TIME LOG MINUTE", "", ""},
    {"R-T LOG SS", "REAL-TIME LOG SECOND", "", ""},
    {"HIS LOG YY", "HISTORICAL LOG YEAR", "", ""},
    {"HIS LOG MM", "HISTORICAL LOG MONTH", "", ""},
    {"HIS LOG DD", "HISTORICAL LOG DAY", "", ""},
    {"HIS LOG HH", "HISTORICAL LOG HOUR", "", ""},
    {"HIS LOG MN", "HISTORICAL LOG MINUTE", "", ""},
    {"HIS LOG SS", "HISTORICAL LOG SECOND", "", ""},
    {"LAG LOG YY", "LAG LOG YEAR", "", ""},
    {"LAG LOG MM", "LAG LOG MONTH", "", ""},
    {"LAG LOG DD", "LAG LOG DAY", "", ""},
    {"LAG LOG HH", "LAG LOG HOUR", "", ""},
    {"LAG LOG MN", "LAG LOG MINUTE", "", ""},
    {"LAG LOG SS", "LAG LOG SECOND", "", ""},
};

const char *log_ActivityText(int code) {
  static const char *const kTexts[] = {"Not Started",      "Finished Successfully", "Finished In Error",
                                       "Preparing to Log", "Waiting to Start",      "Logging"};
  if (code < 0 || code >= static_cast<int>(sizeof kTexts / sizeof kTexts[0])) return "Unknown";
  return kTexts[code];
}

int32_t log_DateNumber(int year, int month, int day) {
  return static_cast<int32_t>((year % 100) * 10000 + month * 100 + day);
}

int32_t log_TimeNumber(int hour, int minute, int second) {
  return static_cast<int32_t>(hour * 10000 + minute * 100 + second);
}

void log_DeriveStatusRows(float *values, uint32_t *status) {
  // Source date and time rows of the four groups, in the order of rows 33-56.
  static const int kSources[4][2] = {
      {LOG_ROW_DATE_LAST_WRITE, LOG_ROW_TIME_LAST_WRITE},
      {LOG_ROW_RT_DATE, LOG_ROW_RT_TIME},
      {LOG_ROW_HIS_DATE, LOG_ROW_HIS_TIME},
      {LOG_ROW_LAG_DATE, LOG_ROW_LAG_TIME},
  };
  for (int g = 0; g < 4; ++g) {
    for (int half = 0; half < 2; ++half) {
      int source = kSources[g][half] - 1;
      int32_t number = static_cast<int32_t>(values[source]);
      const int32_t parts[3] = {(number / 10000) % 100, (number / 100) % 100, number % 100};
      for (int k = 0; k < 3; ++k) {
        int row = LOG_ROW_DERIVED_FIRST - 1 + g * 6 + half * 3 + k;
        values[row] = static_cast<float>(parts[k]);
        status[row] = CST_ANALOGUE | (status[source] & CST_BAD);
      }
    }
  }
}

void log_StampNumbers(int64_t seconds, int32_t *date, int32_t *time) {
  char stamp[14];
  log_FormatStamp(seconds, stamp);
  *date = atoi(stamp);
  *time = atoi(stamp + 7);
}

bool log_RunIsOpen(const LogProviderRun *run) {
  if (!run->hasStop) return true;
  return run->records > 0 && static_cast<int64_t>(run->newestSeconds) + 1 < run->stopSeconds;
}

namespace {

void SetText(char (&field)[32], const char *text, size_t n) {
  if (n > sizeof field - 1) n = sizeof field - 1;
  memcpy(field, text, n);
  field[n] = 0;
}

void SetText(char (&field)[32], const char *text) { SetText(field, text, strlen(text)); }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

void PrefixRow(const char *path, LoggerStatusRow *row) {
  const char *name = path + strlen(path);
  while (name > path && !IsSeparator(name[-1])) --name;
  const char *dot = strrchr(name, '.');
  if (!dot) return;
  uint32_t tail = log_StampTail(name, dot);
  if (tail == 0) return;
  SetText(row->text1, name, strlen(name) - tail);
}

void StampNumbers(int32_t seconds, float *date, float *time) {
  int32_t d = 0, t = 0;
  log_StampNumbers(seconds, &d, &t);
  *date = static_cast<float>(d);
  *time = static_cast<float>(t);
}

}  // namespace

void log_FolderStatusRows(const char *path, size_t end, LoggerStatusRow rows[LOG_STATUS_ROWS]) {
  const char *level[5];
  size_t length[5];
  int n = 0;
  while (end > 0 && n < 5) {
    while (end > 0 && IsSeparator(path[end - 1])) --end;
    size_t begin = end;
    while (begin > 0 && !IsSeparator(path[begin - 1])) --begin;
    if (begin == end) break;
    // A drive ("D:") is not a folder level.
    if (begin == 0 && end - begin == 2 && path[1] == ':') break;
    level[n] = path + begin;
    length[n] = end - begin;
    ++n;
    end = begin;
  }
  for (int i = 0; i < n; ++i) {
    LoggerStatusRow &row = rows[LOG_ROW_DIRECTORY1 - 1 + (n - 1 - i)];
    SetText(row.description, level[i], length[i]);
    SetText(row.text1, level[i], length[i]);
  }
}

void log_BuildStatusRecords(int loggerNumber, const LoggerStatusRow *rows, int count, ChannelRecord *records) {
  for (int i = 0; i < count; ++i) {
    ChannelRecord *r = &records[i];
    memset(r->raw, 0, sizeof r->raw);
    const bool digital = i < LOG_STATUS_DIGITAL_ROWS;
    r->raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(digital ? IO_DO : IO_AO);
    chan_SetFlagBit(r, CHAN_FLAG_ENABLE, true);
    char tag[32];
    snprintf(tag, sizeof tag, "%04d_%.*s", loggerNumber, static_cast<int>(sizeof rows[i].tag), rows[i].tag);
    chan_SetTag(r, tag);
    char text[33];
    snprintf(text, sizeof text, "%.*s", 32, rows[i].description);
    chan_SetDescription(r, text);
    if (digital) {
      snprintf(text, sizeof text, "%.*s", 32, rows[i].text1);
      chan_PutText32(r, CHAN_HIGH_STATE_TEXT_OFFSET, text);
      snprintf(text, sizeof text, "%.*s", 32, rows[i].text2);
      chan_PutText32(r, static_cast<int>(offsetof(ChannelDigital, LowStateText)), text);
    } else {
      snprintf(text, sizeof text, "%.*s", 32, rows[i].text1);
      chan_SetUnits(r, text);
    }
  }
}

void log_ProviderStatusRows(const LogProviderRun *run, LoggerStatusRow rows[LOG_STATUS_ROWS],
                            float values[LOG_STATUS_ROWS], uint32_t status[LOG_STATUS_ROWS]) {
  memcpy(rows, log_StatusRows, sizeof log_StatusRows);
  for (int i = 0; i < LOG_STATUS_ROWS; ++i) {
    values[i] = 0;
    status[i] = CST_BAD | (i >= LOG_STATUS_DIGITAL_ROWS ? uint32_t{CST_ANALOGUE} : 0u);
  }
  const bool haveRun = run && run->dataPath && run->dataPath[0];
  values[LOG_ROW_RT_DATE - 1] = -1;
  values[LOG_ROW_RT_TIME - 1] = -1;
  if (!haveRun) {
    log_DeriveStatusRows(values, status);
    return;
  }
  const bool open = log_RunIsOpen(run);
  status[LOG_ROW_STATUS - 1] &= ~CST_BAD;
  values[LOG_ROW_STATUS - 1] = open ? 1.0f : 0.0f;
  size_t end = strlen(run->dataPath);
  while (end > 0 && !IsSeparator(run->dataPath[end - 1])) --end;  // drop the file name
  log_FolderStatusRows(run->dataPath, end, rows);
  if (!run->database) PrefixRow(run->dataPath, &rows[LOG_ROW_PREFIX - 1]);
  status[LOG_ROW_TYPE - 1] &= ~CST_BAD;
  values[LOG_ROW_TYPE - 1] = run->database ? 1.0f : 0.0f;
  SetText(rows[LOG_ROW_ACTIVITY - 1].text1, open ? "Logging" : "Finished");
  if (run->records > 0) {
    values[LOG_ROW_RT_NUMBER - 1] = static_cast<float>(run->records);
    StampNumbers(run->newestSeconds, &values[LOG_ROW_RT_DATE - 1], &values[LOG_ROW_RT_TIME - 1]);
    for (int row = LOG_ROW_RT_NUMBER; row <= LOG_ROW_RT_TIME; ++row) status[row - 1] &= ~CST_BAD;
  }
  log_DeriveStatusRows(values, status);
}
