// Every text parser of the record library: a parse that succeeds prints a
// text that parses back to the same text; a failure always names an error.
#include <cerrno>
#include <string>

#include "tests/fuzz/fuzz_types.h"

namespace {

std::string ToText(const RecordType *t, const void *v) {
  char *s = structs_FieldToText(t, "", v, "fuzz");
  FUZZ_CHECK(s != nullptr);
  std::string r = s;
  typed_mem_Release("fuzz", s);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // Only types with a text form; composites are reached through paths (fuzz_path).
  const RecordType *prims[fuzz::kTypeCount];
  size_t np = 0;
  for (const RecordType *t : fuzz::kTypes) {
    if (fuzz::IsPrimitive(t)) prims[np++] = t;
  }
  const RecordType *t = prims[data[0] % np];
  std::string text((const char *)data + 1, size - 1);
  text = text.c_str();  // up to the first NUL, as a C caller passes it
  fuzz::Slot v, w;
  FUZZ_CHECK(t->init(t, v.bytes) == 0);
  char ebuf[256];
  errno = 0;
  int r = structs_FieldFromText(t, "", text.c_str(), v.bytes, ebuf, sizeof(ebuf));
  if (r != 0) {
    FUZZ_CHECK(r == -1);
    FUZZ_CHECK(errno != 0);
    FUZZ_CHECK(ebuf[0] != '\0');
    FUZZ_CHECK(memchr(ebuf, 0, sizeof(ebuf)) != nullptr);
    t->release(t, v.bytes);
    return 0;
  }
  std::string printed = ToText(t, v.bytes);
  FUZZ_CHECK(t->init(t, w.bytes) == 0);
  r = structs_FieldFromText(t, "", printed.c_str(), w.bytes, ebuf, sizeof(ebuf));
  if (r != 0) fprintf(stderr, "'%s' printed as '%s' does not parse: %s\n", text.c_str(), printed.c_str(), ebuf);
  FUZZ_CHECK(r == 0);
  FUZZ_CHECK(ToText(t, w.bytes) == printed);
  if (t != &FloatType && t != &DoubleType) FUZZ_CHECK(t->equal(t, v.bytes, w.bytes) == 1);
  t->release(t, w.bytes);
  t->release(t, v.bytes);
  return 0;
}
