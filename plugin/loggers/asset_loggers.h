// The "resub" loggers of asset folders: the logger configurations of a
// host's configuration (its "LOGCAP.TXT" types of kind "resub" and their
// "LOGGERS" records) whose asset path names the folder (letter case
// ignored). Each such logger keeps its runs in "<folder>\LOGGER_<number>"
// unless its record names another destination.
#pragma once
#include <cstddef>

#include "framework/time/tm_time.h"

// The start flag and start time (year, month, day, hour, minute, second)
// of the first "resub" logger serving `path`. 1, or 0 when none does
// (outputs untouched).
int asset_LoggerStart(const char *host, const char *path, int *start, TmCalendar *time);

// Writes start flag 1 and `time` into every "resub" logger serving `path`.
// 1, or 0 when none does, the time does not fit the record (year 1900 to
// 2155, month 1-12, day 1-31, hour 0-23, minute and second 0-59) or a write
// failed (last error set).
int asset_SetLoggerStart(const char *host, const char *path, const TmCalendar *time);

// The number of the "resub" logger serving `path` and its run folder (into
// `folder`, `size` bytes): found, or 0 when none does.
int asset_FindLoggerRun(const char *host, const char *path, char *folder, size_t size);

// asset_FindLoggerRun, and when no logger serves the path, the first
// "resub" logger that serves none is given it: its asset path, its
// destination "<path>\LOGGER_<number>" (the folder made), written back.
// The logger's number, or 0 (no free logger, a failure: last error set).
int asset_AllocateLogger(const char *host, const char *path, char *folder, size_t size);
