// Integers of eight width classes in three kinds: signed, unsigned, hexadecimal.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "record/rec_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

namespace {

enum { KIND_UNSIGNED = 0, KIND_SIGNED = 1, KIND_HEX = 2 };

struct Window {
  int64_t min;
  int64_t max;
};

const Window kWindows[8] = {
    {-128, 255},
    {-32768, 65535},
    {-2147483648LL, 4294967295LL},
    {-2147483648LL, 4294967295LL},
    {-128, 255},
    {-32768, 65535},
    {-2147483648LL, 4294967295LL},
    {INT64_MIN, INT64_MAX},
};

int DigitValue(int c, int base) {
  int d = rec_HexValue(c);
  return d >= 0 && d < base ? d : -1;
}

}  // namespace

const RecordType CharType = structs_MakeIntType(0, KIND_SIGNED);
const RecordType UCharType = structs_MakeIntType(0, KIND_UNSIGNED);
const RecordType HexCharType = structs_MakeIntType(0, KIND_HEX);
const RecordType ShortType = structs_MakeIntType(1, KIND_SIGNED);
const RecordType UShortType = structs_MakeIntType(1, KIND_UNSIGNED);
const RecordType HexShortType = structs_MakeIntType(1, KIND_HEX);
const RecordType IntType = structs_MakeIntType(2, KIND_SIGNED);
const RecordType UIntType = structs_MakeIntType(2, KIND_UNSIGNED);
const RecordType HexIntType = structs_MakeIntType(2, KIND_HEX);
const RecordType LongType = structs_MakeIntType(3, KIND_SIGNED);
const RecordType ULongType = structs_MakeIntType(3, KIND_UNSIGNED);
const RecordType HexLongType = structs_MakeIntType(3, KIND_HEX);
const RecordType Int8Type = structs_MakeIntType(4, KIND_SIGNED);
const RecordType UInt8Type = structs_MakeIntType(4, KIND_UNSIGNED);
const RecordType HexInt8Type = structs_MakeIntType(4, KIND_HEX);
const RecordType Int16Type = structs_MakeIntType(5, KIND_SIGNED);
const RecordType UInt16Type = structs_MakeIntType(5, KIND_UNSIGNED);
const RecordType HexInt16Type = structs_MakeIntType(5, KIND_HEX);
const RecordType Int32Type = structs_MakeIntType(6, KIND_SIGNED);
const RecordType UInt32Type = structs_MakeIntType(6, KIND_UNSIGNED);
const RecordType HexInt32Type = structs_MakeIntType(6, KIND_HEX);
const RecordType Int64Type = structs_MakeIntType(7, KIND_SIGNED);
const RecordType UInt64Type = structs_MakeIntType(7, KIND_UNSIGNED);
const RecordType HexInt64Type = structs_MakeIntType(7, KIND_HEX);

static_assert(sizeof(int32_t) == 4 && sizeof(int64_t) == 8);

char *structs_IntToText(const RecordType *type, const char *mtype, const void *value) {
  uintptr_t wclass = type->args[0].u, kind = type->args[1].u;
  if (wclass > 7) {
    errno = EDOM;
    return nullptr;
  }
  uint64_t u;
  int64_t s;
  switch (structs_IntWidthSize((uint32_t)wclass)) {
    case 1: {
      uint8_t v = *(const uint8_t *)value;
      u = v;
      s = (int8_t)v;
      break;
    }
    case 2: {
      uint16_t v;
      memcpy(&v, value, sizeof(v));
      u = v;
      s = (int16_t)v;
      break;
    }
    case 4: {
      uint32_t v;
      memcpy(&v, value, sizeof(v));
      u = v;
      s = (int32_t)v;
      break;
    }
    default: {
      memcpy(&u, value, sizeof(u));
      s = (int64_t)u;
      break;
    }
  }
  char buf[32];
  if (kind == KIND_SIGNED)
    snprintf(buf, sizeof(buf), "%" PRId64, s);
  else if (kind == KIND_HEX)
    snprintf(buf, sizeof(buf), wclass == 0 || wclass == 4 ? "0x%02" PRIx64 : "0x%" PRIx64, u);
  else
    snprintf(buf, sizeof(buf), "%" PRIu64, u);
  return typed_mem_DupText(mtype, buf);
}

int structs_IntFromText(const RecordType *type, const char *text, void *value, char *ebuf, size_t emax) {
  uintptr_t wclass = type->args[0].u, kind = type->args[1].u;
  if (wclass > 7) {
    errno = EDOM;
    return -1;
  }
  // Base by prefix as strtoll(…, 0) reads it, with the magnitude kept in 64 unsigned bits.
  const char *p = text;
  while (rec_IsBlank((unsigned char)*p)) p++;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && rec_HexValue((unsigned char)p[2]) >= 0) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  uint64_t mag = 0;
  bool overflow = false;
  const char *q = p;
  for (int d; (d = DigitValue((unsigned char)*q, base)) >= 0; q++) {
    if (mag > (UINT64_MAX - (uint64_t)d) / (uint64_t)base)
      overflow = true;
    else
      mag = mag * (uint64_t)base + (uint64_t)d;
  }
  if (q == p) {
    rec_SetMessage(ebuf, emax, "%s", "invalid integer value");
    errno = EINVAL;
    return -1;
  }
  while (rec_IsBlank((unsigned char)*q)) q++;
  if (*q != '\0') {
    errno = EINVAL;
    return -1;
  }
  // Unsigned and hex 64-bit values print up to 2^64-1, so they read back that far.
  bool wide = wclass == 7 && kind != KIND_SIGNED && !neg;
  uint64_t limit = neg ? (uint64_t)1 << 63 : wide ? UINT64_MAX : (uint64_t)INT64_MAX;
  bool out = overflow || mag > limit || (kind == KIND_UNSIGNED && neg && mag != 0);
  uint64_t bits = neg ? (uint64_t)0 - mag : mag;
  if (!out && !wide) {
    int64_t v = (int64_t)bits;
    out = v < kWindows[wclass].min || v > kWindows[wclass].max;
  }
  if (out) {
    rec_SetMessage(ebuf, emax, "%s", "integer value is out of range");
    errno = EINVAL;
    return -1;
  }
  switch (structs_IntWidthSize((uint32_t)wclass)) {
    case 1:
      *(uint8_t *)value = (uint8_t)bits;
      break;
    case 2: {
      uint16_t v = (uint16_t)bits;
      memcpy(value, &v, sizeof(v));
      break;
    }
    case 4: {
      uint32_t v = (uint32_t)bits;
      memcpy(value, &v, sizeof(v));
      break;
    }
    default:
      memcpy(value, &bits, sizeof(bits));
      break;
  }
  return 0;
}
