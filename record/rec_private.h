// Helpers private to the record library.
#pragma once
#include <locale.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Descriptor errors and internal inconsistencies stop the program in every build.
[[noreturn]] void rec_AssertFail(const char *expr, const char *file, int line);
#define REC_ASSERT(expr) ((expr) ? (void)0 : rec_AssertFail(#expr, __FILE__, __LINE__))

// Writes a message "%s"-style into a caller's buffer, truncated and NUL-terminated.
void rec_SetMessage(char *ebuf, size_t emax, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// The C library's "C" locale, for parsing that must not follow the process locale.
locale_t rec_CLocale(void);

// ASCII-only character classes: texts never depend on the process locale.
inline bool rec_IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
inline int rec_Lower(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
bool rec_CaseEqual(const char *a, const char *b);
inline int rec_HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Copies a memory-type name cut to 23 characters into a 24-byte buffer.
void rec_CopyTypeName(char *dst, const char *src);

// A scratch block: on the stack when small, else typed memory "TEMPORARY".
struct RecScratch {
  alignas(16) unsigned char local[256];
  void *heap;
};
// Returns `size` zero-filled bytes, or null with ENOMEM; rec_ScratchFree undoes it.
void *rec_ScratchGet(RecScratch *s, size_t size);
void rec_ScratchFree(RecScratch *s);

#include <bit>
// Reversed-byte encodings turn little-endian memory into big-endian bytes.
static_assert(std::endian::native == std::endian::little);
