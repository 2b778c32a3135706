// The logger configurations' own field types on texts of any bytes and
// length: from-text never writes past its field and fails with a message, or
// its value's text reads back into a value with the same text.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/loggers/lcfg_fields.h"
#include "plugin/loggers/lcfg_types.h"
#include "record/typed_mem.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const RecordType kPassword = lcfg_MakePasswordType(LCFG_PASSWORD_SIZE);
const RecordType kUrl = lcfg_MakeUrlType(LCFG_URL_SIZE);
const RecordType *const kTypes[] = {&lcfg_DatedTimeType, &lcfg_DatedWildTimeType, &lcfg_TimeType,
                                    &lcfg_WildTimeType,  &lcfg_PeriodType,        &lcfg_LineEndType,
                                    &lcfg_SeparatorType, &kPassword,              &kUrl};
constexpr size_t kGuard = 16;
constexpr uint8_t kFill = 0xA5;

// A field between guard bytes; the text of what from-text left there.
struct Field {
  std::vector<uint8_t> bytes;
  explicit Field(const RecordType *t) : bytes(t->size + 2 * kGuard, kFill) {}
  uint8_t *value() { return bytes.data() + kGuard; }
  void CheckGuards(const RecordType *t) {
    for (size_t i = 0; i < kGuard; ++i) FUZZ_CHECK(bytes[i] == kFill && bytes[kGuard + t->size + i] == kFill);
  }
};

std::string Text(const RecordType *t, const void *value) {
  char *s = t->to_text(t, TYPED_MEM_TEMP, value);
  FUZZ_CHECK(s != nullptr);
  std::string out = s;
  typed_mem_Release(TYPED_MEM_TEMP, s);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const RecordType *t = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text = text.c_str();  // the text ends at its first NUL, as a C text does
  Field first(t);
  char ebuf[128];
  memset(ebuf, 'x', sizeof ebuf);
  errno = 0;
  int rc = t->from_text(t, text.c_str(), first.value(), ebuf, sizeof ebuf);
  first.CheckGuards(t);
  if (rc != 0) {
    FUZZ_CHECK(rc == -1 && errno == EINVAL);
    FUZZ_CHECK(memchr(ebuf, '\0', sizeof ebuf) && ebuf[0] != '\0');
    return 0;
  }
  std::string once = Text(t, first.value());
  Field second(t);
  FUZZ_CHECK(t->from_text(t, once.c_str(), second.value(), ebuf, sizeof ebuf) == 0);
  second.CheckGuards(t);
  FUZZ_CHECK(Text(t, second.value()) == once);
  return 0;
}
