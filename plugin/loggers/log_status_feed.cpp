#include "plugin/loggers/log_status_feed.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "framework/time/tm_time.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "plugin/loggers/log_status.h"

namespace {

enum : int { kRows = LOG_STATUS_FEED_ROWS };

struct LogRows {
  bool set;
  int32_t number, seconds;
};

struct Feed {
  bool started;
  int number;
  int records;  // rows with a channel record: 32, 31 or 25
  void *data, *conf;
  int32_t logger;  // 1-based index in the loggers table, 0 when absent
  TimeStamp start;
  LoggerStatusRow rows[LOG_STATUS_ROWS];
  bool levels[kRows];  // rows 2-8 that carry a text of the collection
  bool recordsDue;
  uint64_t writes, bytesWritten, reads, bytesRead;
  bool wrote;
  int32_t lastWrite;
  LogRows logs[3];
  bool expirySet;
  int32_t expiry;
  bool incompleteSet;
  int32_t incomplete;
  int activity;
  int database;
};

Feed g_feed;
std::once_flag g_once;
OsCriticalSection g_lock;

OsCriticalSection *Lock() {
  std::call_once(g_once, [] { os_InitializeCriticalSection(&g_lock); });
  return &g_lock;
}

struct Guard {
  Guard() { os_EnterCriticalSection(Lock()); }
  ~Guard() { os_LeaveCriticalSection(Lock()); }
};

int RecordCount(const char *type) {
  if (type && os_CompareNoCaseN(type, "repub", 5) == 0) return 32;
  if (type && os_CompareNoCaseN(type, "resub", 5) == 0) return 31;
  return 25;
}

float Counter(uint64_t n) { return static_cast<float>(n); }

// The rows as they stand now, into the logger's 32 status words and values.
void Compute(uint32_t status[kRows], float values[kRows]) {
  const Feed &f = g_feed;
  TimeStamp now;
  tm_Now(&now);
  for (int i = 0; i < kRows; ++i) {
    status[i] = CST_BAD | (i >= LOG_STATUS_DIGITAL_ROWS ? uint32_t{CST_ANALOGUE} : 0u);
    values[i] = 0;
  }
  auto digital = [&](int row, bool on) {
    status[row - 1] = on ? uint32_t{CST_VALUE} : 0u;
    values[row - 1] = on ? 1.0f : 0.0f;
  };
  auto analogue = [&](int row, float v) {
    status[row - 1] = CST_ANALOGUE;
    values[row - 1] = v;
  };
  // The table's Enabled byte may change under the feed: read it each time.
  if (f.logger > 0 && shm_LoggerTable() && f.logger <= shm_LoggerTable()->count) {
    const LoggerRecord *r = reinterpret_cast<const LoggerRecord *>(shm_LoggerTable()->first) + (f.logger - 1);
    digital(LOG_ROW_STATUS, r->Enabled != 0);
  }
  for (int row = LOG_ROW_DIRECTORY1; row <= LOG_ROW_PREFIX; ++row) digital(row, f.levels[row - 1]);
  digital(LOG_ROW_TYPE, f.database != 0);
  digital(LOG_ROW_ACTIVITY, true);
  digital(11, false);  // ERROR: none
  digital(12, false);  // RESET CNTS
  if (f.wrote) {
    int32_t date = 0, time = 0;
    log_StampNumbers(f.lastWrite, &date, &time);
    analogue(LOG_ROW_DATE_LAST_WRITE, static_cast<float>(date));
    analogue(LOG_ROW_TIME_LAST_WRITE, static_cast<float>(time));
    analogue(15, static_cast<float>(static_cast<int64_t>(now.seconds) - f.lastWrite));
  }
  analogue(16, Counter(f.writes));
  analogue(17, Counter(f.bytesWritten));
  analogue(18, Counter(f.reads));
  analogue(19, Counter(f.bytesRead));
  static const int kLogRows[3] = {LOG_ROW_RT_NUMBER, 23, 26};
  for (int k = 0; k < 3; ++k) {
    if (!f.logs[k].set) continue;
    int32_t date = 0, time = 0;
    log_StampNumbers(f.logs[k].seconds, &date, &time);
    analogue(kLogRows[k], static_cast<float>(f.logs[k].number));
    analogue(kLogRows[k] + 1, static_cast<float>(date));
    analogue(kLogRows[k] + 2, static_cast<float>(time));
  }
  if (f.expirySet) {
    int32_t date = 0, time = 0;
    log_StampNumbers(f.expiry, &date, &time);
    analogue(29, static_cast<float>(date));
    analogue(30, static_cast<float>(time));
    analogue(31, static_cast<float>(static_cast<double>(static_cast<int64_t>(f.expiry) - now.seconds) / 3600.0));
  }
  if (f.incompleteSet) analogue(32, static_cast<float>(f.incomplete));
  // Rows without a channel record are no channels of this logger.
  for (int i = f.records; i < kRows; ++i) {
    status[i] = CST_BAD | uint32_t{CST_ANALOGUE};
    values[i] = 0;
  }
}

// Writes the rows (and, when due, the records) into the areas. Runs under the feed's lock.
void Publish() {
  Feed &f = g_feed;
  uint32_t status[kRows];
  float values[kRows];
  Compute(status, values);
  const size_t base = static_cast<size_t>(f.number - 1) * kRows;
  if (f.recordsDue && shm_Lock(f.conf) == 0) {
    ChannelRecord records[kRows];
    memset(records, 0, sizeof records);
    log_BuildStatusRecords(f.number, f.rows, f.records, records);
    memcpy(shm_AreaRecords(f.conf) + base * CHAN_RECORD_SIZE, records, sizeof records);
    shm_NotifyChange(f.conf, 0);
    shm_Unlock(f.conf);
    f.recordsDue = false;
    if (shm_Lock(f.data) == 0) {
      tm_Now(&shm_AreaHeader(f.data)->changed);
      shm_Unlock(f.data);
    }
  }
  if (shm_Lock(f.data) != 0) return;
  memcpy(shm_AreaStatusWords(f.data) + base, status, sizeof status);
  memcpy(shm_AreaValues(f.data) + base, values, sizeof values);
  shm_NotifyChange(f.data, 0);
  shm_Unlock(f.data);
}

void SetRowText(char (&field)[32], const char *text) { snprintf(field, sizeof field, "%s", text ? text : ""); }

}  // namespace

int log_StatusFeedStart(int loggerNumber, const char *typeName, const char *loggerName) {
  Guard g;
  g_feed.started = false;
  if (loggerNumber < 1 || loggerNumber > 0xFFFF / kRows) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  const DataProcessorRecord *p = shm_AttachProcessors() == 0 ? shm_FindProcessor("logst") : nullptr;
  if (!p || !p->Code[0] || !p->Code[1]) return os_Fail(OS_ERROR_FILE_NOT_FOUND), -1;
  const char code[3] = {p->Code[0], p->Code[1], 0};
  void *data = shm_OpenDataArea(code), *conf = shm_OpenConfArea(code);
  if (!data || !conf) return os_Fail(OS_ERROR_FILE_NOT_FOUND), -1;
  const ChannelAreaHeader *h = shm_AreaHeader(data);
  if (h->entryWidth != 8) return os_Fail(OS_ERROR_INVALID_DATA), -1;
  // Writing at (number - 1) x 32 must stay inside both areas.
  const int64_t need = static_cast<int64_t>(loggerNumber) * kRows;
  if (h->count < need || shm_DataLength(data) < static_cast<int64_t>(sizeof(ChannelAreaHeader)) + 8 * int64_t{h->count} ||
      shm_DataLength(conf) < need * CHAN_RECORD_SIZE)
    return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), -1;

  memset(&g_feed, 0, sizeof g_feed);
  Feed &f = g_feed;
  f.number = loggerNumber;
  f.records = RecordCount(typeName);
  f.data = data;
  f.conf = conf;
  memcpy(f.rows, log_StatusRows, sizeof f.rows);
  tm_Now(&f.start);
  f.logger = shm_AttachLoggers() == 0 && loggerName ? shm_FindLoggerIndex(loggerName) : 0;
  f.activity = LOG_ACTIVITY_NOT_STARTED;
  f.recordsDue = true;
  f.started = true;
  return 0;
}

void log_StatusFeedStop(void) {
  Guard g;
  if (!g_feed.started) return;
  Publish();
  g_feed.started = false;
}

bool log_StatusFeedStarted(void) {
  Guard g;
  return g_feed.started;
}

void log_StatusFeedWrite(uint32_t bytes) {
  Guard g;
  if (!g_feed.started) return;
  TimeStamp now;
  tm_Now(&now);
  g_feed.writes += 1;
  g_feed.bytesWritten += bytes;
  g_feed.wrote = true;
  g_feed.lastWrite = now.seconds;
  Publish();
}

void log_StatusFeedRead(uint32_t bytes) {
  Guard g;
  if (!g_feed.started) return;
  g_feed.reads += 1;
  g_feed.bytesRead += bytes;
  Publish();
}

void log_StatusFeedResetCounts(void) {
  Guard g;
  if (!g_feed.started) return;
  g_feed.writes = g_feed.bytesWritten = g_feed.reads = g_feed.bytesRead = 0;
  Publish();
}

void log_StatusFeedActivity(int code) {
  Guard g;
  if (!g_feed.started) return;
  Feed &f = g_feed;
  const char *text = log_ActivityText(code);
  if (f.activity != code || strcmp(f.rows[LOG_ROW_ACTIVITY - 1].text1, text) != 0) {
    SetRowText(f.rows[LOG_ROW_ACTIVITY - 1].text1, text);
    f.recordsDue = true;
  }
  f.activity = code;
  Publish();
}

void log_StatusFeedLog(LogFeedLog which, int32_t number, int32_t seconds) {
  Guard g;
  if (!g_feed.started || which < LOG_FEED_REAL_TIME || which > LOG_FEED_HISTORICAL) return;
  g_feed.logs[which] = LogRows{true, number, seconds};
  Publish();
}

void log_StatusFeedExpiry(int32_t seconds) {
  Guard g;
  if (!g_feed.started) return;
  g_feed.expirySet = true;
  g_feed.expiry = seconds;
  Publish();
}

void log_StatusFeedIncomplete(int32_t count) {
  Guard g;
  if (!g_feed.started) return;
  g_feed.incompleteSet = true;
  g_feed.incomplete = count;
  Publish();
}

void log_StatusFeedCollection(const char *folder, const char *prefix, int database, const char *loggerName) {
  Guard g;
  if (!g_feed.started) return;
  Feed &f = g_feed;
  // A new collection replaces what the last one showed.
  for (int row = LOG_ROW_DIRECTORY1; row <= LOG_ROW_PREFIX; ++row) {
    f.rows[row - 1] = log_StatusRows[row - 1];
    f.levels[row - 1] = false;
  }
  if (database) {
    LoggerStatusRow &r = f.rows[LOG_ROW_DIRECTORY1 - 1];
    SetRowText(r.description, loggerName);
    SetRowText(r.text1, loggerName);
    f.levels[LOG_ROW_DIRECTORY1 - 1] = loggerName && *loggerName;
  } else if (folder) {
    log_FolderStatusRows(folder, strlen(folder), f.rows);
    for (int row = LOG_ROW_DIRECTORY1; row < LOG_ROW_PREFIX; ++row)
      f.levels[row - 1] = memcmp(&f.rows[row - 1], &log_StatusRows[row - 1], sizeof(LoggerStatusRow)) != 0;
  }
  if (prefix && *prefix) {
    SetRowText(f.rows[LOG_ROW_PREFIX - 1].text1, prefix);
    f.levels[LOG_ROW_PREFIX - 1] = true;
  }
  f.database = database != 0;
  f.recordsDue = true;
  Publish();
}
