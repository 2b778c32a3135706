#include "platform/os_codepage.h"

#include <cstring>

namespace {

// 0x80-0x9F; the rest of the code page is the same as Unicode.
const char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

size_t Put(char *out, size_t size, size_t at, char c) {
  if (at + 1 < size) out[at] = c;
  return at + 1;
}

}  // namespace

char16_t os_Cp1252ToUnicode(uint8_t byte) { return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte; }

int os_UnicodeToCp1252(uint32_t ch) {
  if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) return static_cast<int>(ch);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == ch) return 0x80 + i;
  return -1;
}

size_t os_Cp1252ToUtf16(const char *in, size_t n, char16_t *out, size_t cap) {
  size_t k = n < cap ? n : cap;
  for (size_t i = 0; i < k; ++i) out[i] = os_Cp1252ToUnicode(static_cast<uint8_t>(in[i]));
  return k;
}

size_t os_Utf16ToUtf8(const char16_t *in, size_t n, char *out, size_t size) {
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      at = Put(out, size, at, static_cast<char>(c));
    } else if (c < 0x800) {
      at = Put(out, size, at, static_cast<char>(0xC0 | (c >> 6)));
      at = Put(out, size, at, static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      at = Put(out, size, at, static_cast<char>(0xE0 | (c >> 12)));
      at = Put(out, size, at, static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      at = Put(out, size, at, static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      at = Put(out, size, at, static_cast<char>(0xF0 | (c >> 18)));
      at = Put(out, size, at, static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      at = Put(out, size, at, static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      at = Put(out, size, at, static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  if (size > 0) out[at < size ? at : size - 1] = '\0';
  return at;
}

size_t os_Utf8Fit(const char *s, size_t n, size_t max) {
  if (n <= max) return n;
  size_t k = max;
  while (k > 0 && (static_cast<uint8_t>(s[k]) & 0xC0) == 0x80) --k;
  return k;
}

size_t os_Utf8Decode(const char *s, size_t n, uint32_t *ch) {
  if (n == 0) return 0;
  const uint8_t *u = reinterpret_cast<const uint8_t *>(s);
  size_t len;
  uint32_t c, min;
  if (u[0] < 0x80) return *ch = u[0], 1;
  if ((u[0] & 0xE0) == 0xC0) {
    len = 2, c = u[0] & 0x1F, min = 0x80;
  } else if ((u[0] & 0xF0) == 0xE0) {
    len = 3, c = u[0] & 0x0F, min = 0x800;
  } else if ((u[0] & 0xF8) == 0xF0) {
    len = 4, c = u[0] & 0x07, min = 0x10000;
  } else {
    return *ch = 0xFFFD, 1;
  }
  if (len > n) return *ch = 0xFFFD, 1;
  for (size_t i = 1; i < len; ++i) {
    if ((u[i] & 0xC0) != 0x80) return *ch = 0xFFFD, 1;
    c = (c << 6) | (u[i] & 0x3F);
  }
  // Overlong forms, surrogates and values beyond Unicode are malformed.
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return *ch = 0xFFFD, 1;
  *ch = c;
  return len;
}

size_t os_Utf8ToCp1252(const char *in, char *out, size_t size) {
  size_t n = strlen(in), at = 0, i = 0;
  while (i < n) {
    uint32_t c;
    i += os_Utf8Decode(in + i, n - i, &c);
    int b = os_UnicodeToCp1252(c);
    at = Put(out, size, at, b < 0 ? '?' : static_cast<char>(b));
  }
  if (size > 0) out[at < size ? at : size - 1] = '\0';
  return at;
}

namespace {
int FoldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
}  // namespace

int os_CompareNoCaseN(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    int x = FoldAscii(static_cast<unsigned char>(a[i])), y = FoldAscii(static_cast<unsigned char>(b[i]));
    if (x != y || x == 0) return x - y;
  }
  return 0;
}

int os_CompareNoCase(const char *a, const char *b) { return os_CompareNoCaseN(a, b, SIZE_MAX); }
