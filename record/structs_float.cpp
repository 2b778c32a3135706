// float and double. Text is "%.16g" when that reads back exactly, else the
// shortest text that does; neither direction follows the process locale.
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "record/rec_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

const RecordType FloatType = {(uint32_t)sizeof(float),
                              "float",
                              STRUCTS_CLASS_PRIMITIVE,
                              structs_InitZero,
                              structs_CopyBytes,
                              structs_FloatEqual,
                              structs_FloatToText,
                              structs_FloatFromText,
                              structs_EncodeReversedBytes,
                              structs_DecodeReversedBytes,
                              structs_ReleaseNothing,
                              {{.u = 0}, {.u = 0}, {.u = 0}}};
const RecordType DoubleType = {(uint32_t)sizeof(double),
                               "double",
                               STRUCTS_CLASS_PRIMITIVE,
                               structs_InitZero,
                               structs_CopyBytes,
                               structs_FloatEqual,
                               structs_FloatToText,
                               structs_FloatFromText,
                               structs_EncodeReversedBytes,
                               structs_DecodeReversedBytes,
                               structs_ReleaseNothing,
                               {{.u = 1}, {.u = 0}, {.u = 0}}};

namespace {

bool IsDouble(const RecordType *type) { return type->args[0].u != 0; }

double ReadValue(const RecordType *type, const void *value) {
  if (IsDouble(type)) {
    double d;
    memcpy(&d, value, sizeof(d));
    return d;
  }
  float f;
  memcpy(&f, value, sizeof(f));
  return f;
}

bool ReadsBack(const char *text, double d, bool as_float) {
  double r = strtod_l(text, nullptr, rec_CLocale());
  return as_float ? (float)r == (float)d : r == d;
}

}  // namespace

int structs_FloatEqual(const RecordType *type, const void *a, const void *b) {
  if (IsDouble(type)) return ReadValue(type, a) == ReadValue(type, b);
  float x, y;
  memcpy(&x, a, sizeof(x));
  memcpy(&y, b, sizeof(y));
  return x == y;
}

char *structs_FloatToText(const RecordType *type, const char *mtype, const void *value) {
  double d = ReadValue(type, value);
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof(buf) - 1, d, std::chars_format::general, 16);
  *r.ptr = '\0';
  if (std::isfinite(d) && !ReadsBack(buf, d, !IsDouble(type))) {
    r = std::to_chars(buf, buf + sizeof(buf) - 1, d, std::chars_format::general);
    *r.ptr = '\0';
  }
  return typed_mem_DupText(mtype, buf);
}

int structs_FloatFromText(const RecordType *type, const char *text, void *value, char *ebuf, size_t emax) {
  char *end;
  errno = 0;
  double d = strtod_l(text, &end, rec_CLocale());
  int e = errno;
  const char *q = end;
  while (rec_IsBlank((unsigned char)*q)) q++;
  const char *msg = nullptr;
  if (end == text || *q != '\0')
    msg = "invalid floating point value";
  else if (e == ERANGE && d == 0)
    msg = "floating point value underflow";
  else if (e == ERANGE && std::isinf(d))
    msg = "floating point value overflow";
  // The limits apply to the value rounded to float, so every float printed reads back.
  if (msg == nullptr && !IsDouble(type) && d != 0) {
    float rounded = (float)d;
    if (std::fabs(rounded) < 5.877473155409902e-39f)
      msg = "floating point value underflow";
    else if (std::isinf(rounded))
      msg = "floating point value overflow";
  }
  if (msg != nullptr) {
    rec_SetMessage(ebuf, emax, "%s", msg);
    errno = EINVAL;
    return -1;
  }
  if (IsDouble(type)) {
    memcpy(value, &d, sizeof(d));
  } else {
    float f = (float)d;
    memcpy(value, &f, sizeof(f));
  }
  return 0;
}
