// Base64 encoder and decoder filters with a choosable alphabet.
#include <pthread.h>

#include <cerrno>
#include <cstring>

#include "record/filter.h"
#include "record/rec_private.h"
#include "record/typed_mem.h"

namespace {

const char kEncMem[] = "base64_encoder";
const char kDecMem[] = "base64_decoder";
const uint8_t kNotDigit = 255;
const uint8_t kPad = 254;

// Ready output: bytes [start, len) of data.
struct OutBuf {
  uint8_t *data;
  size_t start;
  size_t len;
  size_t cap;
};

struct Base64Encoder {
  Filter ops;
  char alphabet[66];
  uint8_t group[3];
  int glen;
  OutBuf out;
  bool ended;
  pthread_mutex_t mutex;
};

struct Base64Decoder {
  Filter ops;
  uint8_t table[256];
  uint8_t group[4];
  int glen;
  bool strict;
  OutBuf out;
  bool ended;
  pthread_mutex_t mutex;
};

void Lock(pthread_mutex_t *m) {
  int r = pthread_mutex_lock(m);
  REC_ASSERT(r == 0);
}

void Unlock(pthread_mutex_t *m) {
  int r = pthread_mutex_unlock(m);
  REC_ASSERT(r == 0);
}

// Makes room for `n` more bytes; the buffer grows to twice its length + 31.
bool Reserve(OutBuf *b, const char *mtype, size_t n) {
  if (b->start > 0 && b->len + n > b->cap) {
    memmove(b->data, b->data + b->start, b->len - b->start);
    b->len -= b->start;
    b->start = 0;
  }
  while (b->len + n > b->cap) {
    size_t cap = b->cap * 2 + 31;
    uint8_t *p = (uint8_t *)typed_mem_Resize(mtype, b->data, cap);
    if (p == nullptr) return false;
    b->data = p;
    b->cap = cap;
  }
  return true;
}

ssize_t ReadOut(OutBuf *b, void *buf, size_t size) {
  size_t n = b->len - b->start;
  if (n > size) n = size;
  if (n > 0) memcpy(buf, b->data + b->start, n);
  b->start += n;
  if (b->start == b->len) b->start = b->len = 0;
  return (ssize_t)n;
}

ssize_t EncRead(Filter *f, void *buf, size_t size) {
  Base64Encoder *e = (Base64Encoder *)f;
  Lock(&e->mutex);
  ssize_t n = ReadOut(&e->out, buf, size);
  Unlock(&e->mutex);
  return n;
}

void EncGroup(Base64Encoder *e, int n) {
  const uint8_t *g = e->group;
  uint8_t *o = e->out.data + e->out.len;
  o[0] = (uint8_t)e->alphabet[g[0] >> 2];
  o[1] = (uint8_t)e->alphabet[(g[0] & 0x03) << 4 | (n > 1 ? g[1] >> 4 : 0)];
  o[2] = n > 1 ? (uint8_t)e->alphabet[(g[1] & 0x0f) << 2 | (n > 2 ? g[2] >> 6 : 0)] : (uint8_t)e->alphabet[64];
  o[3] = n > 2 ? (uint8_t)e->alphabet[g[2] & 0x3f] : (uint8_t)e->alphabet[64];
  e->out.len += 4;
}

ssize_t EncWrite(Filter *f, const void *data, size_t len) {
  Base64Encoder *e = (Base64Encoder *)f;
  const uint8_t *in = (const uint8_t *)data;
  Lock(&e->mutex);
  if (e->ended) {
    Unlock(&e->mutex);
    errno = EPIPE;
    return -1;
  }
  size_t i = 0;
  while (i < len) {
    if (e->glen == 2 && !Reserve(&e->out, kEncMem, 4)) break;
    e->group[e->glen++] = in[i++];
    if (e->glen == 3) {
      EncGroup(e, 3);
      e->glen = 0;
      // Let a reader on another thread drain between groups.
      Unlock(&e->mutex);
      Lock(&e->mutex);
    }
  }
  Unlock(&e->mutex);
  if (i == 0 && len > 0) return -1;
  return (ssize_t)i;
}

int EncEnd(Filter *f) {
  Base64Encoder *e = (Base64Encoder *)f;
  Lock(&e->mutex);
  if (e->glen > 0) {
    if (!Reserve(&e->out, kEncMem, 4)) {
      Unlock(&e->mutex);
      return -1;
    }
    EncGroup(e, e->glen);
    e->glen = 0;
  }
  e->ended = true;
  Unlock(&e->mutex);
  return 0;
}

size_t EncConvert(Filter *, size_t len, int forward) { return forward ? (4 * len + 2) / 3 : (3 * len + 3) / 4; }

void EncDestroy(Filter **fp) {
  Base64Encoder *e = (Base64Encoder *)*fp;
  if (e == nullptr) return;
  typed_mem_Release(kEncMem, e->out.data);
  pthread_mutex_destroy(&e->mutex);
  typed_mem_Release(kEncMem, e);
  *fp = nullptr;
}

ssize_t DecRead(Filter *f, void *buf, size_t size) {
  Base64Decoder *d = (Base64Decoder *)f;
  Lock(&d->mutex);
  ssize_t n = ReadOut(&d->out, buf, size);
  Unlock(&d->mutex);
  return n;
}

// Emits the bytes of a group of `n` digits (missing digits count as 0).
void DecGroup(Base64Decoder *d, int n) {
  for (int k = n; k < 4; k++) d->group[k] = 0;
  const uint8_t *g = d->group;
  uint8_t *o = d->out.data + d->out.len;
  o[0] = (uint8_t)(g[0] << 2 | g[1] >> 4);
  o[1] = (uint8_t)(g[1] << 4 | g[2] >> 2);
  o[2] = (uint8_t)(g[2] << 6 | g[3]);
  d->out.len += n == 4 ? 3 : n == 3 ? 2 : 1;
}

ssize_t DecWrite(Filter *f, const void *data, size_t len) {
  Base64Decoder *d = (Base64Decoder *)f;
  const uint8_t *in = (const uint8_t *)data;
  Lock(&d->mutex);
  if (d->ended) {
    Unlock(&d->mutex);
    errno = EPIPE;
    return -1;
  }
  size_t i = 0;
  int err = 0;
  while (i < len) {
    uint8_t v = d->table[in[i]];
    if (v == kPad || (v == kNotDigit && !d->strict)) {
      i++;
      continue;
    }
    if (v == kNotDigit) {
      err = EINVAL;
      break;
    }
    if (d->glen == 3 && !Reserve(&d->out, kDecMem, 3)) {
      err = ENOMEM;
      break;
    }
    d->group[d->glen++] = v;
    i++;
    if (d->glen == 4) {
      DecGroup(d, 4);
      d->glen = 0;
      Unlock(&d->mutex);
      Lock(&d->mutex);
    }
  }
  Unlock(&d->mutex);
  if (err != 0) {
    errno = err;
    if (i == 0) return -1;
  }
  return (ssize_t)i;
}

int DecEnd(Filter *f) {
  Base64Decoder *d = (Base64Decoder *)f;
  Lock(&d->mutex);
  if (d->glen > 0) {
    if (!Reserve(&d->out, kDecMem, 3)) {
      Unlock(&d->mutex);
      return -1;
    }
    DecGroup(d, d->glen);
    d->glen = 0;
  }
  d->ended = true;
  Unlock(&d->mutex);
  return 0;
}

size_t DecConvert(Filter *, size_t len, int forward) { return forward ? (3 * len + 3) / 4 : (4 * len + 2) / 3; }

void DecDestroy(Filter **fp) {
  Base64Decoder *d = (Base64Decoder *)*fp;
  if (d == nullptr) return;
  typed_mem_Release(kDecMem, d->out.data);
  pthread_mutex_destroy(&d->mutex);
  typed_mem_Release(kDecMem, d);
  *fp = nullptr;
}

bool InitMutex(pthread_mutex_t *m) {
  int r = pthread_mutex_init(m, nullptr);
  if (r != 0) errno = r;
  return r == 0;
}

}  // namespace

int base64_CheckAlphabet(const char *alphabet) {
  bool seen[256] = {};
  size_t n = strnlen(alphabet, 66);
  if (n != 65) {
    errno = EINVAL;
    return -1;
  }
  for (size_t i = 0; i < n; i++) {
    uint8_t c = (uint8_t)alphabet[i];
    if (seen[c]) {
      errno = EINVAL;
      return -1;
    }
    seen[c] = true;
  }
  return 0;
}

Filter *base64_EncoderCreate(const char *alphabet) {
  if (alphabet == nullptr) alphabet = BASE64_ALPHABET;
  if (base64_CheckAlphabet(alphabet) == -1) return nullptr;
  Base64Encoder *e = (Base64Encoder *)typed_mem_AllocZeroed(kEncMem, 1, sizeof(Base64Encoder));
  if (e == nullptr) return nullptr;
  if (!InitMutex(&e->mutex)) {
    typed_mem_Release(kEncMem, e);
    return nullptr;
  }
  e->ops = Filter{EncRead, EncWrite, EncEnd, EncConvert, EncDestroy};
  memcpy(e->alphabet, alphabet, 65);
  return &e->ops;
}

Filter *base64_DecoderCreate(const char *alphabet, int strict) {
  if (alphabet == nullptr) alphabet = BASE64_ALPHABET;
  if (base64_CheckAlphabet(alphabet) == -1) return nullptr;
  Base64Decoder *d = (Base64Decoder *)typed_mem_AllocZeroed(kDecMem, 1, sizeof(Base64Decoder));
  if (d == nullptr) return nullptr;
  if (!InitMutex(&d->mutex)) {
    typed_mem_Release(kDecMem, d);
    return nullptr;
  }
  d->ops = Filter{DecRead, DecWrite, DecEnd, DecConvert, DecDestroy};
  memset(d->table, kNotDigit, sizeof(d->table));
  for (int i = 0; i < 64; i++) d->table[(uint8_t)alphabet[i]] = (uint8_t)i;
  d->table[(uint8_t)alphabet[64]] = kPad;
  d->strict = strict != 0;
  return &d->ops;
}
