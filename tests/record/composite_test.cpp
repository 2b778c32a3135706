// Structures, fixed arrays and arrays: member operations, roll-back on
// failure, and the bitmap encoding.
#include <gtest/gtest.h>

#include <random>

#include "tests/record/rec_test_util.h"

using rectest::Encode;

namespace {

// A type whose copy and init fail on demand, to make composites fail half way.
bool g_fail_copy = false;
bool g_fail_init = false;
int g_copies_left = -1;  // >= 0: copies that succeed before every further one fails

int FailingInit(const RecordType *t, void *v) {
  if (g_fail_init) {
    errno = ENOMEM;
    return -1;
  }
  return structs_StringInit(t, v);
}

int FailingCopy(const RecordType *t, const void *from, void *to) {
  if (g_copies_left > 0) {
    g_copies_left--;
  } else if (g_copies_left == 0 || g_fail_copy) {
    errno = ENOMEM;
    return -1;
  }
  return structs_StringCopy(t, from, to);
}

const RecordType FailingText = {(uint32_t)sizeof(char *), "string", STRUCTS_CLASS_PRIMITIVE, FailingInit, FailingCopy,
                                structs_StringEqual, structs_StringToText, structs_StringFromText,
                                structs_StringEncode, structs_StringDecode, structs_StringRelease,
                                {{.s = "structs_type_string"}, {.u = 0}, {.u = 0}}};

struct Four {
  char *a;
  char *b;
  char *c;
  char *d;
};
const RecordField kFourFields[] = {
    STRUCTS_FIELD(Four, a, "A", TextType), STRUCTS_FIELD(Four, b, "B", TextType),
    STRUCTS_FIELD(Four, c, "C", FailingText), STRUCTS_FIELD(Four, d, "D", TextType), STRUCTS_FIELD_END};
const RecordType FourType = structs_MakeStructureType(sizeof(Four), kFourFields);

bool AllZero(const void *p, size_t n) {
  const unsigned char *b = (const unsigned char *)p;
  for (size_t i = 0; i < n; i++)
    if (b[i] != 0) return false;
  return true;
}

class RecordComposite : public ::testing::Test {
 protected:
  void TearDown() override {
    g_fail_copy = false;
    g_fail_init = false;
    g_copies_left = -1;
  }
};

TEST_F(RecordComposite, StructureCopyFailingAtTheThirdFieldRollsBack) {
  Four src;
  ASSERT_EQ(FourType.init(&FourType, &src), 0);
  for (const char *f : {"A", "B", "C", "D"}) ASSERT_EQ(structs_FieldFromText(&FourType, f, "some text", &src, nullptr, 0), 0);
  Four dst;
  memset(&dst, 0x5a, sizeof(dst));
  g_fail_copy = true;
  errno = 0;
  EXPECT_EQ(FourType.copy(&FourType, &src, &dst), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_TRUE(AllZero(&dst, sizeof(dst))) << "fields A and B were released and the record cleared";
  g_fail_copy = false;
  ASSERT_EQ(FourType.copy(&FourType, &src, &dst), 0);
  EXPECT_EQ(FourType.equal(&FourType, &src, &dst), 1);
  FourType.release(&FourType, &dst);
  FourType.release(&FourType, &src);
  EXPECT_TRUE(AllZero(&src, sizeof(src)));
}

TEST_F(RecordComposite, StructureInitFailingHalfWayLeavesZeros) {
  Four v;
  memset(&v, 0x5a, sizeof(v));
  g_fail_init = true;
  EXPECT_EQ(FourType.init(&FourType, &v), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_TRUE(AllZero(&v, sizeof(v)));
}

const RecordType FailingList = structs_MakeArrayType(&FailingText, "test_list", "item");

TEST_F(RecordComposite, ArrayCopyFailingHalfWayRollsBack) {
  StructsArray src = {0, nullptr};
  for (uint32_t i = 0; i < 5; i++) ASSERT_EQ(structs_ArrayInsert(&FailingList, "", i, &src), 0);
  ASSERT_EQ(structs_FieldFromText(&FailingList, "3", "three", &src, nullptr, 0), 0);
  StructsArray dst = {7, (void *)&dst};
  g_fail_copy = true;
  EXPECT_EQ(FailingList.copy(&FailingList, &src, &dst), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(dst.length, 0u);
  EXPECT_EQ(dst.elems, nullptr);
  g_fail_copy = false;
  ASSERT_EQ(FailingList.copy(&FailingList, &src, &dst), 0);
  EXPECT_EQ(FailingList.equal(&FailingList, &src, &dst), 1);
  FailingList.release(&FailingList, &dst);
  FailingList.release(&FailingList, &src);
}

// Fixed-array copies fail part way through an element's own structure: the
// first element is copied whole, the second fails at its field C.
TEST_F(RecordComposite, FixedArrayCopyFailingReleasesCopiedElements) {
  const RecordType pair = structs_MakeFixedArrayType(&FourType, sizeof(Four), "four", 2);
  Four src[2];
  ASSERT_EQ(pair.init(&pair, src), 0);
  ASSERT_EQ(structs_FieldFromText(&pair, "0.A", "x", src, nullptr, 0), 0);
  ASSERT_EQ(structs_FieldFromText(&pair, "1.A", "y", src, nullptr, 0), 0);
  Four dst[2];
  memset(dst, 0x5a, sizeof(dst));
  g_copies_left = 1;
  errno = 0;
  EXPECT_EQ(pair.copy(&pair, src, dst), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(g_copies_left, 0) << "the failure came at the second element";
  EXPECT_TRUE(AllZero(dst, sizeof(dst))) << "the copied first element was released (leak check), the second cleared";
  g_copies_left = -1;
  pair.release(&pair, src);
}

TEST_F(RecordComposite, FixedArrayEncoding) {
  const RecordType nine = structs_MakeFixedArrayType(&UInt16Type, sizeof(uint16_t), "n", 9);
  const RecordType three = structs_MakeFixedArrayType(&UInt16Type, sizeof(uint16_t), "n", 3);
  uint16_t v[9] = {};
  EXPECT_EQ(Encode(&nine, v), (std::vector<uint8_t>{0, 0}));
  v[8] = 0x0102;
  EXPECT_EQ(Encode(&nine, v), (std::vector<uint8_t>{0x00, 0x01, 0x01, 0x02}));
  uint16_t t[3] = {0x0a0b, 0, 0x0c0d};
  std::vector<uint8_t> code = Encode(&three, t);
  EXPECT_EQ(code, (std::vector<uint8_t>{0x05, 0x0a, 0x0b, 0x0c, 0x0d}));
  uint16_t back[3] = {9, 9, 9};
  char ebuf[64] = "";
  EXPECT_EQ(three.decode(&three, code.data(), code.size(), back, ebuf, sizeof(ebuf)), 5);
  EXPECT_EQ(memcmp(back, t, sizeof(t)), 0) << "the clear bit restores the default";

  struct Cut {
    size_t length;
    const char *msg;
  } cuts[] = {{0, "encoded array is truncated"}, {1, "encoded data is truncated"}, {4, "encoded data is truncated"}};
  for (const Cut &c : cuts) {
    SCOPED_TRACE(c.length);
    errno = 0;
    EXPECT_EQ(three.decode(&three, code.data(), c.length, back, ebuf, sizeof(ebuf)), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_STREQ(ebuf, c.msg);
  }
}

struct Nine {
  uint8_t f[9];
};
const RecordField kNineFields[] = {
    STRUCTS_FIELD(Nine, f[0], "F0", UInt8Type), STRUCTS_FIELD(Nine, f[1], "F1", UInt8Type),
    STRUCTS_FIELD(Nine, f[2], "F2", UInt8Type), STRUCTS_FIELD(Nine, f[3], "F3", UInt8Type),
    STRUCTS_FIELD(Nine, f[4], "F4", UInt8Type), STRUCTS_FIELD(Nine, f[5], "F5", UInt8Type),
    STRUCTS_FIELD(Nine, f[6], "F6", UInt8Type), STRUCTS_FIELD(Nine, f[7], "F7", UInt8Type),
    STRUCTS_FIELD(Nine, f[8], "F8", UInt8Type), STRUCTS_FIELD_END};
const RecordType NineType = structs_MakeStructureType(sizeof(Nine), kNineFields);

TEST_F(RecordComposite, StructureBitmapEncoding) {
  Nine v = {};
  std::vector<uint8_t> zero = Encode(&NineType, &v);
  EXPECT_EQ(zero, (std::vector<uint8_t>{0, 0})) << "all defaults: the bitmap alone";
  Nine back;
  memset(&back, 0x77, sizeof(back));
  char ebuf[64] = "";
  EXPECT_EQ(NineType.decode(&NineType, zero.data(), zero.size(), &back, ebuf, sizeof(ebuf)), 2);
  EXPECT_TRUE(AllZero(&back, sizeof(back)));

  v.f[8] = 0x7f;
  EXPECT_EQ(Encode(&NineType, &v), (std::vector<uint8_t>{0x00, 0x01, 0x7f}));
  v.f[0] = 1;
  v.f[3] = 3;
  std::vector<uint8_t> code = Encode(&NineType, &v);
  EXPECT_EQ(code, (std::vector<uint8_t>{0x09, 0x01, 1, 3, 0x7f}));
  EXPECT_EQ(NineType.decode(&NineType, code.data(), code.size(), &back, ebuf, sizeof(ebuf)), 5);
  EXPECT_EQ(memcmp(&back, &v, sizeof(v)), 0);

  errno = 0;
  EXPECT_EQ(NineType.decode(&NineType, code.data(), 1, &back, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, "encoded structure is truncated");
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(NineType.decode(&NineType, code.data(), 4, &back, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, "encoded data is truncated");
}

const RecordType U16List = structs_MakeArrayType(&UInt16Type, "test_list", "n");

TEST_F(RecordComposite, ArrayEncoding) {
  StructsArray a = {0, nullptr};
  EXPECT_EQ(Encode(&U16List, &a), (std::vector<uint8_t>{0, 0, 0, 0}));
  const uint8_t three[] = {0, 0, 0};
  StructsArray back = {5, nullptr};
  char ebuf[64] = "";
  EXPECT_EQ(U16List.decode(&U16List, three, sizeof(three), &back, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, "encoded array is truncated");
  EXPECT_EQ(back.elems, nullptr);

  uint16_t items[3] = {0, 0x0102, 0};
  a = {3, items};
  std::vector<uint8_t> code = Encode(&U16List, &a);
  EXPECT_EQ(code, (std::vector<uint8_t>{0, 0, 0, 3, 0x02, 0x01, 0x02}));
  ASSERT_EQ(U16List.decode(&U16List, code.data(), code.size(), &back, ebuf, sizeof(ebuf)), 7);
  EXPECT_EQ(U16List.equal(&U16List, &a, &back), 1);
  U16List.release(&U16List, &back);

  // Counts from the input are bounded by the bytes there, in 64-bit arithmetic.
  const uint8_t huge[] = {0xff, 0xff, 0xff, 0xff, 0, 0, 0};
  EXPECT_EQ(U16List.decode(&U16List, huge, sizeof(huge), &back, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, "encoded array is truncated");
  const uint8_t wrap[] = {0xff, 0xff, 0xff, 0xf9};
  EXPECT_EQ(U16List.decode(&U16List, wrap, sizeof(wrap), &back, ebuf, sizeof(ebuf)), -1);
}

TEST_F(RecordComposite, ArrayEquality) {
  uint16_t x[2] = {1, 2}, y[3] = {1, 2, 0};
  StructsArray a = {2, x}, b = {3, y}, e1 = {0, nullptr}, e2 = {0, nullptr};
  EXPECT_EQ(U16List.equal(&U16List, &a, &b), 0);
  b.length = 2;
  EXPECT_EQ(U16List.equal(&U16List, &a, &b), 1);
  EXPECT_EQ(U16List.equal(&U16List, &e1, &e2), 1);
  EXPECT_EQ(U16List.equal(&IntType, &e1, &e2), 0) << "a type of another class is never equal";
}

// A nested record with every kind of member, for round trips.
struct Point {
  int32_t x;
  double y;
};
const RecordField kPointFields[] = {STRUCTS_FIELD(Point, x, "X", Int32Type), STRUCTS_FIELD(Point, y, "Y", DoubleType),
                                    STRUCTS_FIELD_END};
const RecordType PointType = structs_MakeStructureType(sizeof(Point), kPointFields);
const RecordType PointList = structs_MakeArrayType(&PointType, "test_points", "point");
const RecordType TextList = structs_MakeArrayType(&TextType, "test_texts", "text");
const RecordType Fixed5 = structs_MakeFixedStringType(5);
const RecordType Pair = structs_MakeFixedArrayType(&TextType, sizeof(char *), "t", 2);

struct Big {
  char *name;
  StructsData blob;
  Point origin;
  StructsArray points;
  StructsArray texts;
  char code[5];
  char *pair[2];
  uint64_t big;
  uint8_t flag;
};
const RecordField kBigFields[] = {STRUCTS_FIELD(Big, name, "Name", TextType),
                                  STRUCTS_FIELD(Big, blob, "Blob", DataBase64Type),
                                  STRUCTS_FIELD(Big, origin, "Origin", PointType),
                                  STRUCTS_FIELD(Big, points, "Points", PointList),
                                  STRUCTS_FIELD(Big, texts, "Texts", TextList),
                                  STRUCTS_FIELD(Big, code, "Code", Fixed5),
                                  STRUCTS_FIELD(Big, pair, "Pair", Pair),
                                  STRUCTS_FIELD(Big, big, "Big", UInt64Type),
                                  STRUCTS_FIELD(Big, flag, "Flag", BoolByteType),
                                  STRUCTS_FIELD_END};
const RecordType BigType = structs_MakeStructureType(sizeof(Big), kBigFields);

void FillRandom(Big *v, std::mt19937 &rng) {
  ASSERT_EQ(BigType.init(&BigType, v), 0);
  auto set = [&](const char *path, const std::string &text) {
    ASSERT_EQ(structs_PreparePath(&BigType, path, v), 0) << path;
    ASSERT_EQ(structs_FieldFromText(&BigType, path, text.c_str(), v, nullptr, 0), 0) << path << "=" << text;
  };
  if (rng() % 2) set("Name", "n" + std::to_string(rng()));
  if (rng() % 2) set("Blob", "AAEC");
  if (rng() % 2) set("Origin.X", std::to_string((int)rng()));
  uint32_t np = rng() % 4;
  for (uint32_t i = 0; i < np; i++) set(("Points." + std::to_string(i) + ".Y").c_str(), std::to_string(rng() % 1000) + ".25");
  uint32_t nt = rng() % 3;
  for (uint32_t i = 0; i < nt; i++) set(("Texts." + std::to_string(i)).c_str(), rng() % 2 ? "" : "t");
  if (rng() % 2) set("Code", "abcd");
  if (rng() % 2) set("Pair.1", "second");
  if (rng() % 2) set("Big", "18446744073709551615");
  if (rng() % 2) set("Flag", "true");
}

TEST_F(RecordComposite, EncodeDecodeCompareRoundTrips) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200; round++) {
    Big v, w;
    FillRandom(&v, rng);
    std::vector<uint8_t> code = Encode(&BigType, &v);
    ASSERT_FALSE(code.empty());
    char ebuf[128] = "";
    ASSERT_EQ(BigType.decode(&BigType, code.data(), code.size(), &w, ebuf, sizeof(ebuf)), (ssize_t)code.size()) << ebuf;
    EXPECT_EQ(BigType.equal(&BigType, &v, &w), 1);
    EXPECT_EQ(Encode(&BigType, &w), code);
    Big c;
    ASSERT_EQ(BigType.copy(&BigType, &v, &c), 0);
    EXPECT_EQ(BigType.equal(&BigType, &c, &w), 1);
    // Every cut of the encoding fails cleanly (nothing leaks, nothing is read past the cut).
    for (size_t cut = 0; cut < code.size(); cut++) {
      std::vector<uint8_t> part(code.begin(), code.begin() + (ptrdiff_t)cut);
      Big t;
      ASSERT_EQ(BigType.decode(&BigType, part.data(), part.size(), &t, ebuf, sizeof(ebuf)), -1) << cut;
      EXPECT_TRUE(AllZero(&t, sizeof(t)));
    }
    if (v.points.length > 0) {
      c.points.length--;  // a different array is a different record
      EXPECT_EQ(BigType.equal(&BigType, &c, &w), 0);
      c.points.length++;
    }
    BigType.release(&BigType, &c);
    BigType.release(&BigType, &v);
    BigType.release(&BigType, &w);
  }
}

TEST_F(RecordComposite, FieldSizeMustMatchItsType) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Odd {
    uint32_t a;
  };
  static const RecordField fields[] = {{"A", &UInt16Type, 4, 0}, STRUCTS_FIELD_END};
  const RecordType odd = structs_MakeStructureType(sizeof(Odd), fields);
  Odd v;
  EXPECT_DEATH(odd.init(&odd, &v), "field->size == field->type->size");
}

TEST_F(RecordComposite, WrongClassIsRefused) {
  Four v = {};
  errno = 0;
  EXPECT_EQ(structs_StructureInit(&IntType, &v), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(structs_StructureCopy(&IntType, &v, &v), -1);
  EXPECT_EQ(structs_ArrayCopy(&IntType, &v, &v), -1);
  EXPECT_EQ(structs_StructureEqual(&IntType, &v, &v), 0);
}

TEST_F(RecordComposite, StatsTypeDescribesTheStatsEntry) {
  EXPECT_EQ(typed_mem_StatsEntryType.size, 32u);
  EXPECT_STREQ(typed_mem_StatsType.args[1].s, "typed_mem_stats");
  EXPECT_STREQ(typed_mem_StatsType.args[2].s, "type");
}

}  // namespace
