// Small services of the plug-in: UTC calendar times of 32-bit second counts,
// time-stamped file names, folder walks, the data-file header check, a text
// formatter, channel tags, and numbers in the user's regional format.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/os_handle.h"

// A broken-down UTC time; tm_MakeTime accepts any field values.
struct TmDateTime {
  int32_t year;    // since 1900
  int32_t month;   // 0..11
  int32_t day;     // 1..31
  int32_t hour;
  int32_t minute;
  int32_t second;
};

TmDateTime tm_GmTime(int64_t seconds);
// Carries every field into the next (negative values borrow), leaves the
// record normalised and returns the seconds since 1970.
int64_t tm_MakeTime(TmDateTime *t);

// "YYMMDD_hhmmss" of a UTC time, in a buffer of the calling thread.
const char *tm_StampName(const int64_t *seconds);
// The first digit of the name's time stamp (6 or 12 digits, the halves
// perhaps joined by '.' or '_') just before `suffix` (no case), or NULL.
const char *tm_MatchStampedName(const char *name, const char *suffix);
// The file in `folder` whose stamp before `suffix` is the latest; its name
// goes to out. The stamp's time, or -1 when none matches.
int64_t tm_LatestStampedFile(const char *folder, const char *suffix, char *out, size_t size);

// Names in a folder, sorted, without "." and "..".
struct TmDir;
TmDir *tm_DirOpen(const char *folder);
const char *tm_DirNext(TmDir *dir);
void tm_DirClose(TmDir *dir);

int64_t tm_FileSize(OsHandle file);
// The header of an open data file: its length when the file is shorter than
// that, else the file's size with error 5; -1 for a read failure or a type
// outside the data-file types. The file is left at its start.
int64_t tm_CheckDataFileHeader(OsHandle file);
int tm_MakeDir(const char *path);

// printf-like formatting of d, e, f, g and s with the flags '-' and '0', a
// width and a precision ('*' from the arguments) and "%%"; other conversions
// are dropped. Writes at most size bytes, terminated; the text's length.
int tm_FormatText(char *out, size_t size, const char *format, ...);
int tm_VFormatText(char *out, size_t size, const char *format, va_list args);

// A channel tag: one or two letters, then one to five digits ("A1K" = 1000).
// 0 with the prefix (2 characters, NUL padded) and number, or -1.
int tm_ParseTag(const char *text, char prefix[2], int32_t *number);
// One to five digits ("1K" = 1000): 0 with the number, or -1.
int tm_ParseNumber(const char *text, int32_t *number);

// A float in the user's regional format (decimal character, grouping,
// leading zero from the registry, English (US) when absent): width and
// decimals as "%*.*f", fewer decimals in exponent form until it fits;
// `separator` goes between groups of values above 999 unless zero filled.
int tm_FormatNumber(char *out, size_t size, double value, int width, int decimals, bool leftJustify,
                    bool zeroFill, char separator);
// Forgets the regional settings read, so the next call reads them again.
void tm_ResetNumberFormat(void);
