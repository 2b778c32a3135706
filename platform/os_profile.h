// Profile files ("name.ini"): sections in brackets, then "key=value" lines.
//
// Stands in for the private-profile calls of Windows. Section and key names
// compare without case; blanks around names and values are dropped; a file
// of any bytes reads without error (lines that are neither a section nor a
// key are kept as they are). A write makes the file when it is missing and
// puts the new file in place in one step (os_ReplaceFile): a reader sees the
// old or the new content, never a part. Lines end with "\r\n" when written.
#pragma once
#include <cstddef>

// The value of `key` in `section`, else `fallback` (NULL: ""), copied into
// `out` (`size` bytes, cut to fit and always terminated). Its length.
size_t os_GetProfileString(const char *section, const char *key, const char *fallback, char *out,
                           size_t size, const char *path);

// Sets `key` in `section` (both made when missing); a NULL value removes the
// key, a NULL key the whole section. 1, or 0 with the last error.
int os_WriteProfileString(const char *section, const char *key, const char *value, const char *path);

// The lines of `section`, each terminated by '\0', the list by a second
// '\0', into `out` (`size` bytes, at least 2). The length without the final
// '\0'; when the lines do not fit, whole lines are dropped from the end.
// 0 (out "\0\0") when there is no such section.
size_t os_GetProfileSection(const char *section, char *out, size_t size, const char *path);

// Replaces the lines of `section` (made when missing) by the lines of the
// text `lines` (ending at "\r\n" or "\n"; empty lines are dropped). 1 or 0.
int os_WriteProfileSection(const char *section, const char *lines, const char *path);
