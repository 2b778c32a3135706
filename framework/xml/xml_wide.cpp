#include "framework/xml/xml_wide.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/os_codepage.h"

namespace {

enum : size_t { kStep = 1024 };

struct WideBuffer {
  char16_t *data;
  size_t cap;
};

WideBuffer g_buffers[2];

const char16_t *Convert(WideBuffer &b, const char *text) {
  if (!text) return errno = EINVAL, nullptr;
  size_t n = strlen(text);
  for (;;) {
    if (b.cap > 0) {
      // Every byte has a character, so the loop ends once the text fits.
      size_t got = os_Cp1252ToUtf16(text, n, b.data, b.cap);
      if (got < b.cap) {
        b.data[got] = u'\0';
        return b.data;
      }
    }
    void *grown = realloc(b.data, (b.cap + kStep) * sizeof(char16_t));
    if (!grown) return errno = ENOMEM, nullptr;
    b.data = static_cast<char16_t *>(grown);
    b.cap += kStep;
  }
}

}  // namespace

const char16_t *BstrFromChar(const char *text) { return Convert(g_buffers[0], text); }
const char16_t *BstrFromChar2(const char *text) { return Convert(g_buffers[1], text); }

uint32_t BstrCapacity(int which) {
  return which == 0 || which == 1 ? static_cast<uint32_t>(g_buffers[which].cap) : 0;
}
