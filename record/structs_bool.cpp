// Booleans in one byte or a four-byte int, printed with one of five word pairs.
#include <cerrno>
#include <cstring>

#include "record/rec_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

namespace {

const char *const kWords[][2] = {
    {"False", "True"}, {"No", "Yes"}, {"Off", "On"}, {"Disabled", "Enabled"}, {"0", "1"},
};
const uint32_t kPairs = sizeof(kWords) / sizeof(kWords[0]);

}  // namespace

const RecordType BoolByteType = structs_MakeBoolType(0, 0);
const RecordType BoolIntType = structs_MakeBoolType(1, 0);
const RecordType BoolByte01Type = structs_MakeBoolType(0, 4);
const RecordType BoolInt01Type = structs_MakeBoolType(1, 4);
const RecordType BoolByteOnOffType = structs_MakeBoolType(0, 2);
const RecordType BoolIntOnOffType = structs_MakeBoolType(1, 2);

char *structs_BoolToText(const RecordType *type, const char *mtype, const void *value) {
  bool truth;
  if (type->args[0].u == 0) {
    truth = *(const uint8_t *)value != 0;
  } else {
    int32_t v;
    memcpy(&v, value, sizeof(v));
    truth = v != 0;
  }
  uint32_t pair = type->args[1].u < kPairs ? (uint32_t)type->args[1].u : 0;
  return typed_mem_DupText(mtype, kWords[pair][truth ? 1 : 0]);
}

int structs_BoolFromText(const RecordType *type, const char *text, void *value, char *ebuf, size_t emax) {
  char buf[64];
  while (rec_IsBlank((unsigned char)*text)) text++;
  size_t n = strnlen(text, sizeof(buf) - 1);
  memcpy(buf, text, n);
  while (n > 0 && rec_IsBlank((unsigned char)buf[n - 1])) n--;
  buf[n] = '\0';
  for (uint32_t pair = 0; pair < kPairs; pair++) {
    for (int truth = 0; truth < 2; truth++) {
      if (!rec_CaseEqual(buf, kWords[pair][truth])) continue;
      if (type->args[0].u == 0) {
        *(uint8_t *)value = (uint8_t)truth;
      } else {
        int32_t v = truth;
        memcpy(value, &v, sizeof(v));
      }
      return 0;
    }
  }
  rec_SetMessage(ebuf, emax, "%s", "invalid Boolean value");
  errno = EINVAL;
  return -1;
}
