// The program's own entry in the "dm_errors" table: its current status text.
#pragma once

enum : int { STS_KIND_DRIVER = 2 };

void sts_RegisterDriverStatus(int kind, const char *name);
// printf-style; keeps the caller's errno.
void sts_SetDriverStatus(const char *format, ...) __attribute__((format(printf, 1, 2)));
void sts_ClearDriverStatus(void);
// The own entry's current message ("" without an entry).
const char *sts_CurrentStatus(void);
