// Two services the plug-in offers its peers and does not call itself: the
// program launcher of a device or processor folder, and a set of
// time-stamped log files written by a thread of their own.
#pragma once
#include <cstddef>
#include <cstdint>

// In `folder`, when `enabled`, runs "<name>_ru" (`name` the first five
// characters of the processor name, "dudi" or "vantx" for those followed by
// a number) with the instance number and waits, looking every 2 seconds,
// until it ends. A program that cannot start leaves "CAN'T RUN - <error>" in
// status. The working folder is the parent of `folder` afterwards.
// 0, or -1 with the error set.
int tm_RunFolderProgram(const char *folder, const char *processor, int enabled, int instance, char *status,
                        size_t statusSize);
// The program name of a processor ("dudi12" -> "dudi_ru").
void tm_FolderProgramName(const char *processor, char *out, size_t size);

// Log files "<YYMMDD_hhmmss><suffix>" in one folder. Writes are queued and
// a writer thread appends them every flushSeconds, consecutive writes to a
// file in one go; files whose stamp is older than keepSeconds go.
struct TmLogSet;
TmLogSet *tm_LogSetOpen(const char *folder, const char *suffix, uint32_t flushSeconds, uint32_t keepSeconds);
// Queues bytes for the current file; 0, or -1 when the queue stays full.
int tm_LogSetWrite(TmLogSet *set, const void *data, uint32_t size);
// Starts a new file stamped `when` (seconds since 1970).
int tm_LogSetNewFile(TmLogSet *set, int64_t when);
// Writes what is queued and removes old files now; 0 or -1.
int tm_LogSetFlush(TmLogSet *set);
// The current file's name, and the number of file writes made so far.
const char *tm_LogSetFileName(const TmLogSet *set);
uint32_t tm_LogSetWriteCount(const TmLogSet *set);
void tm_LogSetClose(TmLogSet *set);
