// Primitive record types: text forms, parsing rules and encodings.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>

#include "tests/record/rec_test_util.h"

using rectest::Encode;
using rectest::Parse;
using rectest::Text;

namespace {

struct BoolCase {
  const RecordType *type;
  const char *text;
  int rc;
  int32_t stored;
};

TEST(RecordBool, ParsesEveryPairWhateverTheDescriptorsPair) {
  const BoolCase cases[] = {
      {&BoolByteType, " yes ", 0, 1},
      {&BoolByteType, "OFF", 0, 0},
      {&BoolByteType, "\tEnabled\n", 0, 1},
      {&BoolByteType, "disabled", 0, 0},
      {&BoolByteType, "1", 0, 1},
      {&BoolByteType, "0", 0, 0},
      {&BoolIntType, "TRUE", 0, 1},
      {&BoolIntType, "no", 0, 0},
      {&BoolByte01Type, "On", 0, 1},
      {&BoolByteType, "maybe", -1, 0},
      {&BoolByteType, "", -1, 0},
      {&BoolByteType, "yes no", -1, 0},
  };
  for (const BoolCase &c : cases) {
    int32_t v = 0x55;
    rectest::Parsed r = Parse(c.type, c.text, &v);
    SCOPED_TRACE(c.text);
    ASSERT_EQ(r.rc, c.rc);
    if (c.rc == 0) {
      int32_t got = c.type->size == 1 ? (int32_t)(v & 0xff) : v;
      EXPECT_EQ(got, c.stored);
      if (c.type->size == 1) {
        EXPECT_EQ(v & ~0xff, 0x55 & ~0xff) << "a byte boolean writes one byte";
      }
    } else {
      EXPECT_EQ(r.err, EINVAL);
      EXPECT_EQ(r.msg, "invalid Boolean value");
      EXPECT_EQ(v, 0x55);
    }
  }
}

TEST(RecordBool, OnlyTheFirst63CharactersTakePart) {
  std::string text = "yes" + std::string(80, ' ');
  uint8_t v = 0;
  EXPECT_EQ(Parse(&BoolByteType, text.c_str(), &v).rc, 0);
  EXPECT_EQ(v, 1);
  std::string longer = std::string(62, ' ') + "yes";  // leading blanks are dropped first
  EXPECT_EQ(Parse(&BoolByteType, longer.c_str(), &v).rc, 0);
  std::string cut = "yes" + std::string(70, 'x');
  EXPECT_EQ(Parse(&BoolByteType, cut.c_str(), &v).rc, -1);
}

TEST(RecordBool, PrintsTheDescriptorsWords) {
  int32_t seven = 7, zero = 0;
  uint8_t one = 1;
  EXPECT_EQ(Text(&BoolIntType, &seven), "True");
  EXPECT_EQ(Text(&BoolIntType, &zero), "False");
  EXPECT_EQ(Text(&BoolByteOnOffType, &one), "On");
  EXPECT_EQ(Text(&BoolIntOnOffType, &zero), "Off");
  EXPECT_EQ(Text(&BoolInt01Type, &seven), "1");
  const RecordType yesno = structs_MakeBoolType(0, 1), enabled = structs_MakeBoolType(1, 3);
  EXPECT_EQ(Text(&yesno, &one), "Yes");
  EXPECT_EQ(Text(&enabled, &zero), "Disabled");
  EXPECT_EQ(BoolByteType.size, 1u);
  EXPECT_EQ(BoolIntType.size, 4u);
}

struct IntCase {
  const RecordType *type;
  const char *text;
  int rc;
  uint64_t bytes;    // the stored value, zero-extended
  const char *msg;   // expected message on failure ("" = none)
  const char *back;  // to_text of the stored value, or null
};

TEST(RecordInt, ParsesAndPrintsByWidthAndKind) {
  const char *range = "integer value is out of range";
  const IntCase cases[] = {
      {&UCharType, "255", 0, 0xff, "", "255"},
      {&UCharType, "256", -1, 0, range, nullptr},
      {&UCharType, "-1", -1, 0, range, nullptr},
      {&UCharType, "-0", 0, 0, "", "0"},
      {&CharType, "200", 0, 0xc8, "", "-56"},
      {&CharType, "-128", 0, 0x80, "", "-128"},
      {&CharType, "-129", -1, 0, range, nullptr},
      {&HexCharType, "10", 0, 0x0a, "", "0x0a"},
      {&HexInt8Type, "0xff", 0, 0xff, "", "0xff"},
      {&HexIntType, "10", 0, 0x0a, "", "0xa"},
      {&HexIntType, "-1", 0, 0xffffffff, "", "0xffffffff"},
      {&IntType, " 12 ", 0, 12, "", "12"},
      {&IntType, "0x1F", 0, 31, "", "31"},
      {&IntType, "010", 0, 8, "", "8"},
      {&IntType, "+7", 0, 7, "", "7"},
      {&IntType, "12abc", -1, 0, "", nullptr},
      {&IntType, "08", -1, 0, "", nullptr},
      {&IntType, "0x", -1, 0, "", nullptr},
      {&IntType, "", -1, 0, "invalid integer value", nullptr},
      {&IntType, "  -", -1, 0, "invalid integer value", nullptr},
      {&IntType, "abc", -1, 0, "invalid integer value", nullptr},
      {&IntType, "-2147483648", 0, 0x80000000, "", "-2147483648"},
      {&IntType, "-2147483649", -1, 0, range, nullptr},
      {&IntType, "4294967295", 0, 0xffffffff, "", "-1"},
      {&UIntType, "4294967295", 0, 0xffffffff, "", "4294967295"},
      {&UIntType, "4294967296", -1, 0, range, nullptr},
      {&ULongType, "4294967295", 0, 0xffffffff, "", "4294967295"},
      {&ULongType, "4294967296", -1, 0, range, nullptr},
      {&ULongType, "-1", -1, 0, range, nullptr},
      {&LongType, "-2147483648", 0, 0x80000000, "", "-2147483648"},
      {&LongType, "-2147483649", -1, 0, range, nullptr},
      {&HexLongType, "255", 0, 0xff, "", "0xff"},
      {&HexLongType, "-2147483649", -1, 0, range, nullptr},
      // Width classes 4-6 share the windows of 0-2, whatever the kind.
      {&Int8Type, "-128", 0, 0x80, "", "-128"},
      {&Int8Type, "-129", -1, 0, range, nullptr},
      {&Int8Type, "255", 0, 0xff, "", "-1"},
      {&UInt8Type, "255", 0, 0xff, "", "255"},
      {&UInt8Type, "256", -1, 0, range, nullptr},
      {&UInt8Type, "-1", -1, 0, range, nullptr},
      {&HexInt8Type, "1", 0, 0x01, "", "0x01"},
      {&HexInt8Type, "-128", 0, 0x80, "", "0x80"},
      {&HexInt8Type, "0x100", -1, 0, range, nullptr},
      {&Int16Type, "-32768", 0, 0x8000, "", "-32768"},
      {&Int16Type, "-32769", -1, 0, range, nullptr},
      {&UInt16Type, "65535", 0, 0xffff, "", "65535"},
      {&UInt16Type, "65536", -1, 0, range, nullptr},
      {&UInt16Type, "-1", -1, 0, range, nullptr},
      {&HexInt16Type, "1", 0, 0x1, "", "0x1"},
      {&HexInt16Type, "0x10000", -1, 0, range, nullptr},
      {&Int32Type, "-2147483648", 0, 0x80000000, "", "-2147483648"},
      {&Int32Type, "-2147483649", -1, 0, range, nullptr},
      {&Int32Type, "4294967295", 0, 0xffffffff, "", "-1"},
      {&UInt32Type, "4294967295", 0, 0xffffffff, "", "4294967295"},
      {&UInt32Type, "4294967296", -1, 0, range, nullptr},
      {&UInt32Type, "-1", -1, 0, range, nullptr},
      {&HexInt32Type, "-1", 0, 0xffffffff, "", "0xffffffff"},
      {&HexInt32Type, "0x100000000", -1, 0, range, nullptr},
      {&UShortType, "65535", 0, 0xffff, "", "65535"},
      {&UShortType, "65536", -1, 0, range, nullptr},
      {&ShortType, "-32768", 0, 0x8000, "", "-32768"},
      {&HexInt16Type, "0xABCD", 0, 0xabcd, "", "0xabcd"},
      {&Int16Type, "40000", 0, 40000, "", "-25536"},
      {&UInt32Type, "0", 0, 0, "", "0"},
      {&Int32Type, "-5", 0, 0xfffffffb, "", "-5"},
      {&Int64Type, "9223372036854775807", 0, 0x7fffffffffffffff, "", "9223372036854775807"},
      {&Int64Type, "9223372036854775808", -1, 0, range, nullptr},
      {&Int64Type, "-9223372036854775808", 0, 0x8000000000000000, "", "-9223372036854775808"},
      {&Int64Type, "-9223372036854775809", -1, 0, range, nullptr},
      {&Int64Type, "99999999999999999999999", -1, 0, range, nullptr},
      {&UInt64Type, "18446744073709551615", 0, UINT64_MAX, "", "18446744073709551615"},
      {&UInt64Type, "9223372036854775808", 0, 0x8000000000000000, "", "9223372036854775808"},
      {&UInt64Type, "18446744073709551616", -1, 0, range, nullptr},
      {&UInt64Type, "-1", -1, 0, range, nullptr},
      {&HexInt64Type, "0xffffffffffffffff", 0, UINT64_MAX, "", "0xffffffffffffffff"},
      {&HexInt64Type, "-1", 0, UINT64_MAX, "", "0xffffffffffffffff"},
  };
  for (const IntCase &c : cases) {
    SCOPED_TRACE(std::string(c.type->name) + " " + std::to_string(c.type->args[0].u) + " '" + c.text + "'");
    uint64_t v = 0;
    rectest::Parsed r = Parse(c.type, c.text, &v);
    ASSERT_EQ(r.rc, c.rc);
    if (c.rc != 0) {
      EXPECT_EQ(r.err, EINVAL);
      EXPECT_EQ(r.msg, c.msg);
      EXPECT_EQ(v, 0u) << "a failed parse writes nothing";
      continue;
    }
    EXPECT_EQ(v, c.bytes) << "only the type's width is written";
    EXPECT_EQ(Text(c.type, &v), c.back);
  }
}

TEST(RecordInt, SizesComeFromTheWidthClass) {
  const RecordType *types[] = {&CharType, &ShortType, &IntType, &LongType, &Int8Type, &Int16Type, &Int32Type, &Int64Type};
  const uint32_t sizes[] = {1, 2, 4, 4, 1, 2, 4, 8};
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(types[i]->size, sizes[i]);
    EXPECT_EQ(types[i]->args[0].u, (uintptr_t)i);
  }
  EXPECT_STREQ(UIntType.name, "uint");
  EXPECT_STREQ(HexIntType.name, "hint");
  EXPECT_STREQ(IntType.name, "int");
}

TEST(RecordInt, EveryPrintedValueReadsBack) {
  const RecordType *types[] = {&CharType,  &UCharType,  &HexCharType,  &ShortType, &UShortType, &HexShortType,
                               &IntType,   &UIntType,   &HexIntType,   &LongType,  &ULongType,  &HexLongType,
                               &Int8Type,  &UInt8Type,  &HexInt8Type,  &Int16Type, &UInt16Type, &HexInt16Type,
                               &Int32Type, &UInt32Type, &HexInt32Type, &Int64Type, &UInt64Type, &HexInt64Type};
  std::mt19937_64 rng(7);
  for (const RecordType *t : types) {
    for (int i = 0; i < 200; i++) {
      uint64_t v = i < 4 ? (i == 0 ? 0 : i == 1 ? ~0ull : i == 2 ? 1ull << 63 : (1ull << 63) - 1) : rng();
      uint64_t in = 0;
      memcpy(&in, &v, t->size);
      std::string text = Text(t, &in);
      uint64_t out = 0;
      ASSERT_EQ(Parse(t, text.c_str(), &out).rc, 0) << t->name << " " << text;
      ASSERT_EQ(out, in) << t->name << " " << text;
    }
  }
}

TEST(RecordInt, WidthClassOutOfRangeIsEdom) {
  const RecordType bad = structs_MakeIntType(8, 0);
  uint64_t v = 0;
  errno = 0;
  EXPECT_EQ(bad.to_text(&bad, TYPED_MEM_TEMP, &v), nullptr);
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(Parse(&bad, "1", &v).err, EDOM);
}

TEST(RecordFloat, ParseLimitsAndMessages) {
  struct Case {
    const RecordType *type;
    const char *text;
    const char *msg;  // null: accepted
    double value;
  } cases[] = {
      {&FloatType, "1e39", "floating point value overflow", 0},
      {&FloatType, "1e-40", "floating point value underflow", 0},
      {&FloatType, "0", nullptr, 0},
      {&FloatType, "-0", nullptr, 0},
      {&FloatType, "3.4028234e38", nullptr, 3.4028234e38f},
      {&FloatType, "inf", "floating point value overflow", 0},
      {&FloatType, " 2.5 ", nullptr, 2.5},
      {&DoubleType, "1e-400", "floating point value underflow", 0},
      {&DoubleType, "1e400", "floating point value overflow", 0},
      {&DoubleType, "-INFINITY", nullptr, -INFINITY},
      {&DoubleType, "0x1p-2", nullptr, 0.25},
      {&DoubleType, "abc", "invalid floating point value", 0},
      {&DoubleType, "", "invalid floating point value", 0},
      {&DoubleType, "1.5x", "invalid floating point value", 0},
      {&DoubleType, "1.5 x", "invalid floating point value", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    double d = 42;
    float f = 42;
    void *v = c.type == &DoubleType ? (void *)&d : (void *)&f;
    rectest::Parsed r = Parse(c.type, c.text, v);
    if (c.msg != nullptr) {
      EXPECT_EQ(r.rc, -1);
      EXPECT_EQ(r.err, EINVAL);
      EXPECT_EQ(r.msg, c.msg);
      EXPECT_EQ(c.type == &DoubleType ? d : f, 42);
    } else {
      EXPECT_EQ(r.rc, 0);
      EXPECT_EQ(c.type == &DoubleType ? d : (double)f, c.value);
    }
  }
}

TEST(RecordFloat, TextIsSixteenDigitsUnlessThatLosesTheValue) {
  double d = 0.1;
  EXPECT_EQ(Text(&DoubleType, &d), "0.1");
  d = 1.0 / 3;
  EXPECT_EQ(Text(&DoubleType, &d), "0.3333333333333333");
  d = 1e15;
  EXPECT_EQ(Text(&DoubleType, &d), "1000000000000000");
  d = 1e22;
  EXPECT_EQ(Text(&DoubleType, &d), "1e+22");
  d = 0.1 + 0.2;  // "%.16g" would print 0.3, which reads back as another double
  EXPECT_EQ(Text(&DoubleType, &d), "0.30000000000000004");
  float f = 0.1f;
  EXPECT_EQ(Text(&FloatType, &f), "0.1000000014901161");
  f = 16777216.0f;
  EXPECT_EQ(Text(&FloatType, &f), "16777216");
  // The extremes print as texts whose doubles lie just past the limits; they read back all the same.
  for (float edge : {FLT_MAX, -FLT_MAX, 5.877473155409902e-39f, FLT_MIN}) {
    std::string text = Text(&FloatType, &edge);
    float back = 0;
    EXPECT_EQ(Parse(&FloatType, text.c_str(), &back).rc, 0) << text;
    EXPECT_EQ(back, edge) << text;
  }
}

TEST(RecordFloat, EveryPrintedValueReadsBackExactly) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; i++) {
    uint64_t bits = rng();
    double d;
    memcpy(&d, &bits, sizeof(d));
    if (!std::isfinite(d)) continue;
    std::string text = Text(&DoubleType, &d);
    double back = 0;
    ASSERT_EQ(Parse(&DoubleType, text.c_str(), &back).rc, 0) << text;
    ASSERT_EQ(memcmp(&back, &d, sizeof(d)), 0) << text;
    uint32_t fbits = (uint32_t)bits;
    float f;
    memcpy(&f, &fbits, sizeof(f));
    if (!std::isfinite(f) || (f != 0 && std::fabs(f) < 5.877473155409902e-39)) continue;
    text = Text(&FloatType, &f);
    float fback = 0;
    ASSERT_EQ(Parse(&FloatType, text.c_str(), &fback).rc, 0) << text;
    ASSERT_EQ(memcmp(&fback, &f, sizeof(f)), 0) << text;
  }
}

TEST(RecordFloat, EqualIsNumeric) {
  double a = 0.0, b = -0.0, n = NAN;
  EXPECT_EQ(DoubleType.equal(&DoubleType, &a, &b), 1);
  EXPECT_EQ(DoubleType.equal(&DoubleType, &n, &n), 0);
  float x = 1.5f, y = 1.5f;
  EXPECT_EQ(FloatType.equal(&FloatType, &x, &y), 1);
}

const RecordIdEntry kKinds[] = {{"AI", 0, 0}, {"DI", 1, 0}, {"AO", 2, 0}, {"DO", 3, 0}, {"CI", 4, 0}, {nullptr, 0, 0}};
const RecordIdEntry kLoose[] = {{"First", 7, 1}, {"second", 200, 0}, {nullptr, 0, 0}};

TEST(RecordId, NamesValuesAndCase) {
  const RecordType kinds = structs_MakeIdType(4, kKinds);
  int32_t v = 9;
  EXPECT_EQ(Text(&kinds, &v), "INVALID");
  rectest::Parsed r = Parse(&kinds, "ai", &v);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, EINVAL);
  EXPECT_EQ(r.msg, "invalid value \"ai\"");
  EXPECT_EQ(v, 9);
  EXPECT_EQ(Parse(&kinds, "AO", &v).rc, 0);
  EXPECT_EQ(v, 2);
  EXPECT_EQ(Text(&kinds, &v), "AO");
  EXPECT_EQ(Parse(&kinds, "AO ", &v).rc, -1) << "the whole text must match";

  const RecordType loose = structs_MakeIdType(1, kLoose);
  uint8_t b[2] = {0, 0x77};
  ASSERT_EQ(loose.init(&loose, b), 0);
  EXPECT_EQ(b[0], 7) << "init stores the first entry";
  EXPECT_EQ(Parse(&loose, "FIRST", b).rc, 0);
  EXPECT_EQ(Parse(&loose, "SECOND", b).rc, -1);
  EXPECT_EQ(Parse(&loose, "second", b).rc, 0);
  EXPECT_EQ(b[0], 200);
  EXPECT_EQ(b[1], 0x77);
  EXPECT_EQ(Text(&loose, b), "second") << "a one-byte id reads unsigned";

  // An entry whose value the field cannot hold is refused instead of being stored cut.
  static const RecordIdEntry wide[] = {{"Small", 1, 0}, {"Big", 300, 0}, {"Neg", -1, 0}, {nullptr, 0, 0}};
  const RecordType narrow = structs_MakeIdType(1, wide);
  uint8_t n = 0;
  EXPECT_EQ(Parse(&narrow, "Big", &n).msg, "invalid value \"Big\"");
  EXPECT_EQ(Parse(&narrow, "Neg", &n).rc, -1);
  EXPECT_EQ(n, 0);
  const RecordType word = structs_MakeIdType(2, wide);
  uint16_t w16 = 0;
  EXPECT_EQ(Parse(&word, "Big", &w16).rc, 0);
  EXPECT_EQ(Text(&word, &w16), "Big");

  const RecordType shorty = structs_MakeIdType(2, kLoose);
  uint16_t s = 200;
  EXPECT_EQ(Text(&shorty, &s), "second");
  EXPECT_EQ(Encode(&shorty, &s), (std::vector<uint8_t>{0x00, 0xc8}));
}

TEST(RecordId, BadSizeIsADescriptorError) {
  const RecordType bad = structs_MakeIdType(3, kKinds);
  int32_t v = 0;
  EXPECT_DEATH(bad.to_text(&bad, TYPED_MEM_TEMP, &v), "assertion");
}

TEST(RecordFixedString, BoundsAndTerminator) {
  const RecordType t7 = structs_MakeFixedStringType(7);
  char buf[8];
  memset(buf, 'z', sizeof(buf));
  EXPECT_EQ(Parse(&t7, "abcdef", buf).rc, 0);
  EXPECT_STREQ(buf, "abcdef");
  rectest::Parsed r = Parse(&t7, "abcdefg", buf);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.msg, "string is too long for bounded length buffer");
  EXPECT_EQ(r.err, EINVAL) << "a failure always leaves an error number";
  EXPECT_STREQ(buf, "abcdef");
  EXPECT_EQ(Parse(&t7, "ab", buf).rc, 0);
  EXPECT_EQ(memcmp(buf, "ab\0def", 7), 0) << "bytes behind the NUL keep their content";
  EXPECT_EQ(Text(&t7, buf), "ab");
  EXPECT_EQ(Encode(&t7, buf), (std::vector<uint8_t>{'a', 'b', 0}));
}

TEST(RecordFixedString, UnterminatedValuesStayInsideTheField) {
  const RecordType t7 = structs_MakeFixedStringType(7);
  // Exactly 7 heap bytes: any scan past them is caught by AddressSanitizer.
  std::unique_ptr<char[]> a(new char[7]), b(new char[7]);
  memcpy(a.get(), "ABCDEFG", 7);
  memcpy(b.get(), "ABCDEFG", 7);
  EXPECT_EQ(Text(&t7, a.get()), "ABCDEFG");
  EXPECT_EQ(t7.equal(&t7, a.get(), b.get()), 1);
  b[6] = 'X';
  EXPECT_EQ(t7.equal(&t7, a.get(), b.get()), 0);
  EXPECT_EQ(Encode(&t7, a.get()), (std::vector<uint8_t>{'A', 'B', 'C', 'D', 'E', 'F', 'G', 0}));
}

TEST(RecordFixedString, Decode) {
  const RecordType t7 = structs_MakeFixedStringType(7);
  char buf[7] = {};
  const uint8_t ok[] = {'h', 'i', 0, 'x'};
  char ebuf[64] = "";
  EXPECT_EQ(t7.decode(&t7, ok, sizeof(ok), buf, ebuf, sizeof(ebuf)), 3);
  EXPECT_STREQ(buf, "hi");
  const uint8_t cut[] = {'h', 'i'};
  errno = 0;
  EXPECT_EQ(t7.decode(&t7, cut, sizeof(cut), buf, ebuf, sizeof(ebuf)), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_STREQ(ebuf, "encoded string is truncated");
  const uint8_t toolong[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 0};
  EXPECT_EQ(t7.decode(&t7, toolong, sizeof(toolong), buf, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, "string is too long for bounded length buffer");
}

TEST(RecordFixedData, HexTextRules) {
  const RecordType t2 = structs_MakeFixedDataType(2);
  struct Case {
    const char *text;
    const char *msg;
    uint8_t b0, b1;  // bytes after the call
  } cases[] = {
      {"0a 1B", nullptr, 0x0a, 0x1b},   {"0 a1b", nullptr, 0x0a, 0x1b},
      {" 0a1b ", nullptr, 0x0a, 0x1b},  {"0a1", "hex string is too short", 0x0a, 0xee},
      {"", "hex string is too short", 0xee, 0xee}, {"0a1b2", "hex string is too long", 0x0a, 0x1b},
      {"0g1b", "non-hex character seen", 0xee, 0xee},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t v[2] = {0xee, 0xee};
    rectest::Parsed r = Parse(&t2, c.text, v);
    EXPECT_EQ(r.rc, c.msg == nullptr ? 0 : -1);
    if (c.msg != nullptr) {
      EXPECT_EQ(r.msg, c.msg);
      EXPECT_EQ(r.err, EINVAL);
    }
    EXPECT_EQ(v[0], c.b0) << "bytes converted before an error stay";
    EXPECT_EQ(v[1], c.b1);
  }
  uint8_t v[2] = {0xab, 0x01};
  EXPECT_EQ(Text(&t2, v), "ab01");
  EXPECT_EQ(Encode(&t2, v), (std::vector<uint8_t>{0xab, 0x01}));
}

TEST(RecordData, HexAndBase64Text) {
  StructsData d = {0, nullptr};
  EXPECT_EQ(Parse(&DataHexType, " 0a 1b", &d).rc, 0);
  ASSERT_EQ(d.length, 2u);
  EXPECT_EQ(d.data[0], 0x0a);
  EXPECT_EQ(d.data[1], 0x1b);
  EXPECT_EQ(Text(&DataHexType, &d), "0a1b");
  EXPECT_EQ(Text(&DataBase64Type, &d), "Chs=");
  DataHexType.release(&DataHexType, &d);
  EXPECT_EQ(d.data, nullptr);

  struct Case {
    const RecordType *type;
    const char *text;
    const char *msg;
  } bad[] = {
      {&DataHexType, "0a1", "odd length hex sequence"},
      {&DataHexType, "0 a", "non-hex character seen"},
      {&DataHexType, "zz", "non-hex character seen"},
      {&DataBase64Type, "YW Jj", "invalid encoded binary data"},
      {&DataBase64Type, "YW*j", "invalid encoded binary data"},
  };
  for (const Case &c : bad) {
    SCOPED_TRACE(c.text);
    StructsData v = {0, nullptr};
    rectest::Parsed r = Parse(c.type, c.text, &v);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, EINVAL);
    EXPECT_EQ(r.msg, c.msg);
    EXPECT_EQ(v.data, nullptr);
  }
  EXPECT_EQ(Parse(&DataBase64Type, "YWJj", &d).rc, 0);
  ASSERT_EQ(d.length, 3u);
  EXPECT_EQ(memcmp(d.data, "abc", 3), 0);
  EXPECT_EQ(Text(&DataBase64Type, &d), "YWJj");
  DataBase64Type.release(&DataBase64Type, &d);
  EXPECT_EQ(Parse(&DataBase64Type, "", &d).rc, 0);
  EXPECT_EQ(d.length, 0u);
  EXPECT_EQ(d.data, nullptr) << "length 0 has a null pointer";
  EXPECT_EQ(Parse(&DataHexType, "  ", &d).rc, 0);
  EXPECT_EQ(d.data, nullptr);
}

TEST(RecordData, OwnAlphabet) {
  const RecordType url = structs_MakeDataType("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.", "tdata");
  uint8_t raw[] = {0xfb, 0xff};
  StructsData d = {2, raw};
  EXPECT_EQ(Text(&url, &d), "-_8.");
  StructsData back = {0, nullptr};
  EXPECT_EQ(Parse(&url, "-_8.", &back).rc, 0);
  EXPECT_EQ(url.equal(&url, &d, &back), 1);
  url.release(&url, &back);
}

TEST(RecordData, EncodingAndCorruptLengths) {
  uint8_t abc[] = {'a', 'b', 'c'};
  StructsData d = {3, abc};
  EXPECT_EQ(Encode(&DataHexType, &d), (std::vector<uint8_t>{0, 0, 0, 3, 'a', 'b', 'c'}));
  struct Case {
    std::vector<uint8_t> code;
    ssize_t rc;
  } cases[] = {
      {{0, 0, 0, 3, 'a', 'b', 'c', 'x'}, 7},
      {{0, 0, 0, 5, 1, 2, 3}, -1},              // says 5, only 3 follow
      {{0xff, 0xff, 0xff, 0xfe, 1, 2, 3}, -1},  // 0xfffffffe + 4 must not wrap
      {{0xff, 0xff, 0xff, 0xff}, -1},
      {{0, 0, 0}, -1},
      {{0, 0, 0, 0}, 4},
  };
  for (const Case &c : cases) {
    StructsData v = {99, nullptr};
    char ebuf[64] = "";
    errno = 0;
    ssize_t r = DataHexType.decode(&DataHexType, c.code.data(), c.code.size(), &v, ebuf, sizeof(ebuf));
    EXPECT_EQ(r, c.rc);
    if (r < 0) {
      EXPECT_EQ(errno, EINVAL);
      EXPECT_STREQ(ebuf, "encoded data is corrupted");
    } else {
      EXPECT_EQ(v.length, (uint32_t)r - 4);
      DataHexType.release(&DataHexType, &v);
    }
  }
}

TEST(RecordString, AllocatedTexts) {
  char *a = (char *)"x", *b = (char *)"x";
  ASSERT_EQ(TextType.init(&TextType, &a), 0);
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a, "");
  ASSERT_EQ(TextOrNullType.init(&TextOrNullType, &b), 0);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(TextOrNullType.equal(&TextOrNullType, &a, &b), 1) << "null and the empty text are the same";
  TextType.release(&TextType, &a);
  EXPECT_EQ(a, nullptr);

  EXPECT_EQ(Parse(&TextOrNullType, "", &b).rc, 0);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(Parse(&TextType, "", &a).rc, 0);
  ASSERT_NE(a, nullptr);
  TextType.release(&TextType, &a);
  EXPECT_EQ(Parse(&TextType, "hello", &a).rc, 0);
  EXPECT_EQ(Text(&TextType, &a), "hello");
  char *c = nullptr;
  ASSERT_EQ(TextType.copy(&TextType, &a, &c), 0);
  EXPECT_NE(c, a);
  EXPECT_EQ(TextType.equal(&TextType, &a, &c), 1);
  EXPECT_EQ(Encode(&TextType, &a), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', 0}));
  TextType.release(&TextType, &c);
  const uint8_t code[] = {'h', 'i', 0};
  char ebuf[32];
  EXPECT_EQ(TextType.decode(&TextType, code, sizeof(code), &c, ebuf, sizeof(ebuf)), 3);
  EXPECT_STREQ(c, "hi");
  EXPECT_EQ(TextType.equal(&TextType, &a, &c), 0);
  TextType.release(&TextType, &a);
  TextType.release(&TextType, &c);
  EXPECT_EQ(Text(&TextOrNullType, &b), "");
}

TEST(RecordBytes, ReversedEncoding) {
  uint16_t v = 0x1234;
  EXPECT_EQ(Encode(&UInt16Type, &v), (std::vector<uint8_t>{0x12, 0x34}));
  const uint8_t code[] = {0x12, 0x34, 0x56};
  uint16_t back = 0;
  char ebuf[64] = "";
  EXPECT_EQ(UInt16Type.decode(&UInt16Type, code, sizeof(code), &back, ebuf, sizeof(ebuf)), 2);
  EXPECT_EQ(back, 0x1234);
  errno = 0;
  EXPECT_EQ(UInt16Type.decode(&UInt16Type, code, 1, &back, ebuf, sizeof(ebuf)), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_STREQ(ebuf, "encoded data is truncated");
  double d = 1.0;
  EXPECT_EQ(Encode(&DoubleType, &d), (std::vector<uint8_t>{0x3f, 0xf0, 0, 0, 0, 0, 0, 0}));

  const RecordType wide = {17, "wide", 0, structs_InitZero, structs_CopyBytes, structs_EqualBytes,
                           structs_ToTextUnsupported, structs_FromTextUnsupported, structs_EncodeReversedBytes,
                           structs_DecodeReversedBytes, structs_ReleaseNothing, {}};
  uint8_t big[17] = {}, in[32] = {};
  errno = 0;
  EXPECT_EQ(wide.decode(&wide, in, sizeof(in), big, ebuf, sizeof(ebuf)), -1);
  EXPECT_EQ(errno, ERANGE);
}

TEST(RecordUnsupported, ErrnoAndMessages) {
  char ebuf[128] = "";
  uint8_t v[8] = {};
  errno = 0;
  EXPECT_EQ(structs_FromTextUnsupported(&IntType, "1", v, ebuf, sizeof(ebuf)), -1);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_STREQ(ebuf, "parsing from ASCII is not supported by this structs type");
  EXPECT_EQ(structs_DecodeUnsupported(&IntType, v, sizeof(v), v, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, "binary decoding is not supported by this structs type");
  EXPECT_EQ(structs_EqualUnsupported(&IntType, v, v), -1);
  EXPECT_EQ(structs_ToTextUnsupported(&IntType, TYPED_MEM_TEMP, v), nullptr);
  EXPECT_EQ(errno, ENOSYS);
  // Messages are cut to the buffer and stay terminated.
  char tiny[8];
  structs_FromTextUnsupported(&IntType, "1", v, tiny, sizeof(tiny));
  EXPECT_STREQ(tiny, "parsing");
}

}  // namespace
