// Filter dispatch and the one-call conversion of a whole buffer.
#include <cerrno>
#include <cstring>

#include "record/filter.h"
#include "record/typed_mem.h"

ssize_t filter_Read(Filter *f, void *buf, size_t size) { return f->read(f, buf, size); }

ssize_t filter_Write(Filter *f, const void *data, size_t len) { return f->write(f, data, len); }

int filter_End(Filter *f) { return f->end(f); }

size_t filter_ConvertLength(Filter *f, size_t len, int forward) { return f->convert(f, len, forward); }

void filter_Destroy(Filter **fp) {
  if (*fp != nullptr) (*fp)->destroy(fp);
}

namespace {

const size_t kChunk = 1024;

// Reads all ready output into the block, growing it when a filter's estimate falls short.
bool Drain(Filter *f, uint8_t **buf, size_t *len, size_t *cap, const char *mtype) {
  for (;;) {
    if (*cap - *len < 2) {
      size_t ncap = *cap * 2 + 32;
      uint8_t *p = (uint8_t *)typed_mem_Resize(mtype, *buf, ncap);
      if (p == nullptr) return false;
      *buf = p;
      *cap = ncap;
    }
    // One byte stays free for the NUL.
    ssize_t n = f->read(f, *buf + *len, *cap - *len - 1);
    if (n < 0) return false;
    if (n == 0) return true;
    *len += (size_t)n;
  }
}

}  // namespace

ssize_t filter_Convert(Filter *f, const void *input, size_t len, int final, void **out, const char *mtype) {
  *out = nullptr;
  size_t cap = f->convert(f, len, 1) + 10;
  uint8_t *buf = (uint8_t *)typed_mem_Resize(mtype, nullptr, cap);
  if (buf == nullptr) return -1;
  size_t olen = 0;
  const uint8_t *in = (const uint8_t *)input;
  size_t done = 0;
  bool ok = true;
  while (ok && done < len) {
    size_t piece = len - done < kChunk ? len - done : kChunk;
    ssize_t w = f->write(f, in + done, piece);
    if (w <= 0) {
      if (w == 0) errno = EIO;
      ok = false;
      break;
    }
    done += (size_t)w;
    ok = Drain(f, &buf, &olen, &cap, mtype);
  }
  if (ok && final) ok = f->end(f) == 0 && Drain(f, &buf, &olen, &cap, mtype);
  if (!ok) {
    int e = errno;
    typed_mem_Release(mtype, buf);
    errno = e;
    return -1;
  }
  buf[olen] = '\0';
  *out = buf;
  return (ssize_t)olen;
}
