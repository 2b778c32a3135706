#include "record/rec_private.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "record/typed_mem.h"

void rec_AssertFail(const char *expr, const char *file, int line) {
  fprintf(stderr, "%s:%d: assertion \"%s\" failed\n", file, line, expr);
  fflush(stderr);
  abort();
}

void rec_SetMessage(char *ebuf, size_t emax, const char *fmt, ...) {
  if (ebuf == nullptr || emax == 0) return;
  va_list args;
  va_start(args, fmt);
  vsnprintf(ebuf, emax, fmt, args);
  va_end(args);
}

locale_t rec_CLocale(void) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  return c_locale != (locale_t)0 ? c_locale : LC_GLOBAL_LOCALE;
}

bool rec_CaseEqual(const char *a, const char *b) {
  for (;; a++, b++) {
    if (rec_Lower((unsigned char)*a) != rec_Lower((unsigned char)*b)) return false;
    if (*a == '\0') return true;
  }
}

void rec_CopyTypeName(char *dst, const char *src) {
  size_t n = strnlen(src, TYPED_MEM_NAME_MAX - 1);
  memcpy(dst, src, n);
  memset(dst + n, 0, TYPED_MEM_NAME_MAX - n);
}

void *rec_ScratchGet(RecScratch *s, size_t size) {
  s->heap = nullptr;
  if (size <= sizeof(s->local)) {
    memset(s->local, 0, size);
    return s->local;
  }
  s->heap = typed_mem_AllocZeroed(TYPED_MEM_TEMP, 1, size);
  return s->heap;
}

void rec_ScratchFree(RecScratch *s) {
  if (s->heap != nullptr) typed_mem_Release(TYPED_MEM_TEMP, s->heap);
  s->heap = nullptr;
}
