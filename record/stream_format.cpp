// Formatted allocation: 1000 bytes first, then doubling up to 15000, then the exact size.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "record/stream.h"

namespace {

const size_t kFirst = 1000;
const size_t kLast = 15000;

}  // namespace

int stream_FormatAllocated(char **out, const char *fmt, va_list args) {
  *out = nullptr;
  size_t cap = kFirst;
  for (;;) {
    char *buf = (char *)malloc(cap);
    if (buf == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    va_list ap;
    va_copy(ap, args);
    int n = vsnprintf(buf, cap, fmt, ap);
    va_end(ap);
    if (n < 0) {
      int e = errno;
      free(buf);
      errno = e != 0 ? e : EINVAL;
      return -1;
    }
    if ((size_t)n < cap) {
      *out = buf;
      return n;
    }
    free(buf);
    size_t need = (size_t)n + 1;
    while (cap < need && cap < kLast) cap = cap * 2 < kLast ? cap * 2 : kLast;
    if (cap < need) cap = need;
  }
}
