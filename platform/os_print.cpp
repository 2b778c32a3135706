#include "platform/os_print.h"

#include <cstring>

namespace {
bool Valid(const OsDc *dc) { return dc && dc->size == sizeof(OsDc) && dc->ops; }
}  // namespace

int32_t os_GetDeviceCaps(OsDc *dc, int32_t index) {
  return Valid(dc) && dc->ops->getDeviceCaps ? dc->ops->getDeviceCaps(dc, index) : 0;
}

int os_GetTextMetrics(OsDc *dc, OsTextMetrics *out) {
  if (!out) return 0;
  memset(out, 0, sizeof *out);
  return Valid(dc) && dc->ops->getTextMetrics ? dc->ops->getTextMetrics(dc, out) : 0;
}

int os_StartPage(OsDc *dc) { return Valid(dc) && dc->ops->startPage ? dc->ops->startPage(dc) : 0; }

int os_EndPage(OsDc *dc) { return Valid(dc) && dc->ops->endPage ? dc->ops->endPage(dc) : 0; }

int os_TextOut(OsDc *dc, int32_t x, int32_t y, const char *text, int32_t length) {
  if (!text || length < 0) return 0;
  return Valid(dc) && dc->ops->textOut ? dc->ops->textOut(dc, x, y, text, length) : 0;
}
