// Formatting that never depends on the process's locale: a host may set one,
// yet numbers written here always use '.' and no grouping.
#pragma once
#include <cstdarg>
#include <cstddef>

// vsnprintf / snprintf in the "C" locale: the length of the whole text.
int os_VFormatC(char *out, size_t size, const char *format, va_list args);
int os_FormatC(char *out, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
