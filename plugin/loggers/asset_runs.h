// The runs of an asset folder: its header written as the first run of the
// logger collection there, and a look at (or the closing of) its last run.
// A connection string names a database collection; without one the runs are
// files in the asset folder. The collection's logger is the asset code.
#pragma once
#include <cstdint>

// Makes the folder when missing and creates a run starting at `start` whose
// header text is "[HEADER]\r\n" and a "name:value" line per value of
// asset_HeaderValues. 1, or 0 with the last error.
int asset_WriteHeaderRun(const char *host, const char *path, const char *connection, const char *prefix,
                         int32_t start);

// The last run of the collection of `prefix` (the one before it when the
// last holds no record): its start and whether it was closed. 1, or 0 when
// there is none (outputs untouched).
int asset_RunInfo(const char *host, const char *path, const char *connection, const char *prefix, int32_t *start,
                  int *completed);
// asset_RunInfo's start alone.
int asset_LastRunTime(const char *host, const char *path, const char *connection, const char *prefix,
                      int32_t *start);

// Closes the last run with the time of its last record as stop time, or
// without one when `noStop` is set (or it holds no record). 1, or 0.
int asset_CloseLastRun(const char *host, const char *path, const char *connection, const char *prefix, int noStop);
