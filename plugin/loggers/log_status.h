// The logger status rows: the 56 channels of the "logst" processor that
// describe one logger (tags, descriptions, state texts or units), the
// activity texts, and the date, time and derived rows computed from them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/config/chan_record.h"

struct LoggerStatusRow {
  char tag[16];          // suffix of "%04d_%s" (logger number, suffix)
  char description[32];
  char text1[32];        // rows 1-12: high-state text; rows 13-56: units
  char text2[32];        // rows 1-12: low-state text
};
static_assert(sizeof(LoggerStatusRow) == 112);
static_assert(offsetof(LoggerStatusRow, description) == 16);
static_assert(offsetof(LoggerStatusRow, text1) == 48);
static_assert(offsetof(LoggerStatusRow, text2) == 80);

enum : int {
  LOG_STATUS_ROWS = 56,
  LOG_STATUS_FEED_ROWS = 32,     // rows a logging process publishes
  LOG_STATUS_DIGITAL_ROWS = 12,  // rows 1-12 are digital, the rest analogue
};

// Row numbers (1-based) the computations use.
enum : int {
  LOG_ROW_STATUS = 1,
  LOG_ROW_DIRECTORY1 = 2,
  LOG_ROW_PREFIX = 8,
  LOG_ROW_TYPE = 9,
  LOG_ROW_ACTIVITY = 10,
  LOG_ROW_DATE_LAST_WRITE = 13,
  LOG_ROW_TIME_LAST_WRITE = 14,
  LOG_ROW_RT_NUMBER = 20,
  LOG_ROW_RT_DATE = 21,
  LOG_ROW_RT_TIME = 22,
  LOG_ROW_LAG_DATE = 24,
  LOG_ROW_LAG_TIME = 25,
  LOG_ROW_HIS_DATE = 27,
  LOG_ROW_HIS_TIME = 28,
  LOG_ROW_DERIVED_FIRST = 33,
};

// The fixed table; row n is log_StatusRows[n - 1].
extern const LoggerStatusRow log_StatusRows[LOG_STATUS_ROWS];

// A logger's activity codes.
enum : int {
  LOG_ACTIVITY_NOT_STARTED = 0,
  LOG_ACTIVITY_FINISHED = 1,
  LOG_ACTIVITY_FINISHED_IN_ERROR = 2,
  LOG_ACTIVITY_PREPARING = 3,
  LOG_ACTIVITY_WAITING = 4,
  LOG_ACTIVITY_LOGGING = 5,
};

// The text of an activity code 0-5; "Unknown" for any other code.
const char *log_ActivityText(int code);

// (year % 100) x 10000 + month x 100 + day; hour x 10000 + minute x 100 + second.
int32_t log_DateNumber(int year, int month, int day);
int32_t log_TimeNumber(int hour, int minute, int second);
// The date and time numbers of a time in seconds.
void log_StampNumbers(int64_t seconds, int32_t *date, int32_t *time);

// Rows 2-6 get the last (at most five) folder levels of the folder path
// path[0, end) ('\' or '/' between levels; a drive is no level): description
// and first text. Rows keep the table's texts where there is no level.
void log_FolderStatusRows(const char *path, size_t end, LoggerStatusRow rows[LOG_STATUS_ROWS]);

// The status channel records of rows 1 to `count`: enabled, tag "%04d_%s"
// (logger number, tag suffix), the description; rows 1-12 digital outputs
// with their two state texts, the others analogue outputs with the units.
void log_BuildStatusRecords(int loggerNumber, const LoggerStatusRow *rows, int count, ChannelRecord *records);

// Fills rows 33-56 (year, month, day, hour, minute, second of the last-write,
// real-time, historical and lag groups) from their date and time rows.
// `values` and `status` hold all 56 rows (index = row - 1). A derived row
// carries its source row's bad bit beside the analogue bit.
void log_DeriveStatusRows(float *values, uint32_t *status);

// The newest run a provider serves, as its rows need it.
struct LogProviderRun {
  const char *dataPath;  // the run's data file; null or empty when there is no run
  int database;          // the run lives in a database, not a folder
  int hasStop;
  int32_t stopSeconds;
  int32_t records;        // records in the run
  int32_t newestSeconds;  // time of the newest record when records > 0
};

// Whether the run is still being written: no stop time, or its newest record
// more than one second before the stop time.
bool log_RunIsOpen(const LogProviderRun *run);

// The 56 rows a provider computes from its own newest run: `rows` starts as
// the fixed table and gets the folder levels (rows 2-7), the run-name prefix
// (row 8) and the activity text (row 10); values and status words as the
// provider serves them, derived rows included.
void log_ProviderStatusRows(const LogProviderRun *run, LoggerStatusRow rows[LOG_STATUS_ROWS],
                            float values[LOG_STATUS_ROWS], uint32_t status[LOG_STATUS_ROWS]);
