// The status feed of a logging process: its 32 rows of the logger status
// table, kept current as channels (logger number - 1) x 32 + 1 to logger
// number x 32 of the "logst" processor's data area ("LS").
//
// One feed a process. Every call but the start is a no-op until the feed has
// started. Each update recomputes the rows under the feed's lock and writes
// the status words and values into the area under its segment lock; the
// first write after the start (and after the rows' texts changed) writes the
// channel records too. Calls may come from any thread.
#pragma once
#include <cstdint>

// Which log rows an update sets: real-time (rows 20-22), lag (23-25),
// historical (26-28).
enum LogFeedLog : int { LOG_FEED_REAL_TIME = 0, LOG_FEED_LAG = 1, LOG_FEED_HISTORICAL = 2 };

// Starts the feed of logger `loggerNumber` (from 1) of type `typeName`
// ("repub": 32 channel records, "resub": 31, any other: 25) named
// `loggerName` in the loggers table (whose Enabled byte row 1 shows; a logger
// the table lacks leaves row 1 bad). A feed that runs is stopped first.
// 0, or -1 with the last error: OS_ERROR_INVALID_PARAMETER for a number below
// 1 or beyond the area's reach, OS_ERROR_FILE_NOT_FOUND when there is no
// "logst" processor or no area of its code, OS_ERROR_INVALID_DATA when its
// entries are not 8 bytes wide, OS_ERROR_INSUFFICIENT_BUFFER when the area or
// its configuration area has no room for the logger's 32 rows. Nothing is
// written on a refusal.
int log_StatusFeedStart(int loggerNumber, const char *typeName, const char *loggerName);
// Publishes the rows a last time and stops the feed.
void log_StatusFeedStop(void);
bool log_StatusFeedStarted(void);

// A write of `bytes` bytes: one write request more, the bytes counted, the
// last write stamped now.
void log_StatusFeedWrite(uint32_t bytes);
// A read of `bytes` bytes.
void log_StatusFeedRead(uint32_t bytes);
// Zeroes the write and read counts.
void log_StatusFeedResetCounts(void);
// The activity code (LOG_ACTIVITY_...), shown as its text in row 10.
void log_StatusFeedActivity(int code);
// A log's number and the time (seconds) of its newest record.
void log_StatusFeedLog(LogFeedLog which, int32_t number, int32_t seconds);
// The expiry time (seconds): rows 29 and 30, and the hours to it in row 31.
void log_StatusFeedExpiry(int32_t seconds);
// The number of incomplete publications (row 32).
void log_StatusFeedIncomplete(int32_t count);
// A collection opened: for files rows 2-6 take the last folder levels of
// `folder`, for a database row 2 the logger name; row 8 the run-name prefix;
// row 9 the storage type.
void log_StatusFeedCollection(const char *folder, const char *prefix, int database, const char *loggerName);
