#include "platform/os_format.h"

#include <locale.h>

#include <cstdio>

namespace {

locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

}  // namespace

int os_VFormatC(char *out, size_t size, const char *format, va_list args) {
  locale_t c = CLocale();
  locale_t old = c ? uselocale(c) : static_cast<locale_t>(0);
  int n = vsnprintf(out, size, format, args);
  if (c) uselocale(old);
  return n;
}

int os_FormatC(char *out, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = os_VFormatC(out, size, format, ap);
  va_end(ap);
  return n;
}
