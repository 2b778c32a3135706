// The program's own entry in the "dm_errors" table: its current status text,
// mirrored into the "SYSER" processor's digital channel whose tag is the
// entry's name (value 1 and the text in its record while a message stands).
#pragma once

enum : int { STS_KIND_DRIVER = 2 };

// Claims the entry of (kind, name) and links its SYSER channel. Kinds 4 and 5
// name a logger: the channel carries the logger's display name, and a name the
// loggers table lacks gets no channel. Nothing happens without "dm_errors".
void sts_RegisterDriverStatus(int kind, const char *name);
// printf-style; keeps the caller's errno.
void sts_SetDriverStatus(const char *format, ...) __attribute__((format(printf, 1, 2)));
void sts_ClearDriverStatus(void);
// The own entry's current message ("" without an entry).
const char *sts_CurrentStatus(void);
// The channel (from 1) of the "SYSER" processor that mirrors the entry, 0 for none.
int sts_SyserChannel(void);
