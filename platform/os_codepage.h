// Code page 1252 (the Windows ANSI code page of narrow texts), UTF-16 and UTF-8.
//
// Every byte of code page 1252 has a character: the five bytes the code page
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 controls of
// the same number, as Windows converts them. Characters that code page 1252
// cannot hold become '?', as Windows' default character.
#pragma once
#include <cstddef>
#include <cstdint>

// The Unicode character of one code page 1252 byte.
char16_t os_Cp1252ToUnicode(uint8_t byte);
// The code page 1252 byte of a character, or -1 when the code page has none.
int os_UnicodeToCp1252(uint32_t ch);

// Converts `n` bytes into at most `cap` UTF-16 units (one per byte, no
// terminator written). Returns the number of units written.
size_t os_Cp1252ToUtf16(const char *in, size_t n, char16_t *out, size_t cap);

// UTF-16 (n units; unpaired surrogates become U+FFFD) into UTF-8. Writes at
// most size - 1 bytes and a terminator when size > 0; returns the length the
// whole text needs (without terminator).
size_t os_Utf16ToUtf8(const char16_t *in, size_t n, char *out, size_t size);

// NUL-terminated UTF-8 into code page 1252 (malformed sequences and
// characters outside the code page become '?'). Writes at most size - 1 bytes
// and a terminator when size > 0; returns the length the whole text needs.
size_t os_Utf8ToCp1252(const char *in, char *out, size_t size);

// Decodes one UTF-8 character at `s` (at most `n` bytes). Returns its length
// (1 for a malformed byte, with *ch = U+FFFD) or 0 when n is 0.
size_t os_Utf8Decode(const char *s, size_t n, uint32_t *ch);

// How many of the `n` bytes at `s` fit in `max` bytes without splitting a
// UTF-8 character: a column or field cut there keeps valid text.
size_t os_Utf8Fit(const char *s, size_t n, size_t max);

// Compares texts ignoring the case of the ASCII letters, as _stricmp does in
// the "C" locale: <0, 0 or >0, whatever locale the process has set. The N form
// compares at most n bytes.
int os_CompareNoCase(const char *a, const char *b);
int os_CompareNoCaseN(const char *a, const char *b, size_t n);
