// Every decoder of the record library on arbitrary bytes: a success consumes
// no more than it was given and re-encodes to bytes that decode the same.
#include <cerrno>

#include "tests/fuzz/fuzz_types.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const RecordType *t = fuzz::kTypes[data[0] % fuzz::kTypeCount];
  const uint8_t *in = data + 1;
  size_t len = size - 1;
  fuzz::Slot v, w, c;
  memset(&v, 0xa5, sizeof(v));
  char ebuf[256];
  ebuf[0] = '\0';
  errno = 0;
  ssize_t n = t->decode(t, in, len, v.bytes, ebuf, sizeof(ebuf));
  if (n < 0) {
    FUZZ_CHECK(errno != 0);
    FUZZ_CHECK(memchr(ebuf, 0, sizeof(ebuf)) != nullptr);
    return 0;
  }
  FUZZ_CHECK((size_t)n <= len);
  StructsCode code = {0, nullptr};
  FUZZ_CHECK(t->encode(t, "fuzz", &code, v.bytes) == 0);
  ssize_t m = t->decode(t, code.data, code.length, w.bytes, ebuf, sizeof(ebuf));
  FUZZ_CHECK(m == (ssize_t)code.length);
  StructsCode again = {0, nullptr};
  FUZZ_CHECK(t->encode(t, "fuzz", &again, w.bytes) == 0);
  FUZZ_CHECK(fuzz::SameEncoding(code, again));
  FUZZ_CHECK(t->copy(t, v.bytes, c.bytes) == 0);
  StructsCode copied = {0, nullptr};
  FUZZ_CHECK(t->encode(t, "fuzz", &copied, c.bytes) == 0);
  FUZZ_CHECK(fuzz::SameEncoding(code, copied));
  typed_mem_Release("fuzz", code.data);
  typed_mem_Release("fuzz", again.data);
  typed_mem_Release("fuzz", copied.data);
  t->release(t, c.bytes);
  t->release(t, w.bytes);
  t->release(t, v.bytes);
  return 0;
}
