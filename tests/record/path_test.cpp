// Dotted paths on one fixture record: lookup, errors, listing, the field
// operations, unions, pointers and array editing.
#include <gtest/gtest.h>

#include "tests/record/rec_test_util.h"

namespace {

struct XY {
  uint32_t x;
  uint32_t y;
};
const RecordField kXYFields[] = {STRUCTS_FIELD(XY, x, "X", UInt32Type), STRUCTS_FIELD(XY, y, "Y", UInt32Type),
                                 STRUCTS_FIELD_END};
const RecordType XYType = structs_MakeStructureType(sizeof(XY), kXYFields);
const RecordType XYPair = structs_MakeFixedArrayType(&XYType, sizeof(XY), "xy", 2);
const RecordType U16List = structs_MakeArrayType(&UInt16Type, "test_list", "n");
const RecordType TextList = structs_MakeArrayType(&TextType, "test_texts", "tag");
const RecordType Name8 = structs_MakeFixedStringType(8);

struct Inner {
  char name[8];
  StructsArray tags;
};
const RecordField kInnerFields[] = {STRUCTS_FIELD(Inner, name, "Name", Name8),
                                    STRUCTS_FIELD(Inner, tags, "Tags", TextList), STRUCTS_FIELD_END};
const RecordType InnerType = structs_MakeStructureType(sizeof(Inner), kInnerFields);

struct Fixture {
  uint32_t a;
  XY b[2];
  StructsArray list;
  uint8_t data;
  uint8_t data_bits;
  Inner inner;
  char *text;
};
// "Data" is listed before "Data Bits": the match must be on whole names.
const RecordField kFixtureFields[] = {
    STRUCTS_FIELD(Fixture, a, "A", UInt32Type),        STRUCTS_FIELD(Fixture, b, "B", XYPair),
    STRUCTS_FIELD(Fixture, list, "List", U16List),     STRUCTS_FIELD(Fixture, data, "Data", UInt8Type),
    STRUCTS_FIELD(Fixture, data_bits, "Data Bits", UInt8Type), STRUCTS_FIELD(Fixture, inner, "Inner", InnerType),
    STRUCTS_FIELD(Fixture, text, "Text", TextType),    STRUCTS_FIELD_END};
const RecordType FixtureType = structs_MakeStructureType(sizeof(Fixture), kFixtureFields);

class RecordPath : public ::testing::Test {
 protected:
  Fixture f;
  void SetUp() override { ASSERT_EQ(FixtureType.init(&FixtureType, &f), 0); }
  void TearDown() override { FixtureType.release(&FixtureType, &f); }

  // Locates a path; the errno of a failure, 0 on success.
  int Err(const char *path, int set_union = 0) {
    void *v = &f;
    errno = 0;
    return structs_LocateField(&FixtureType, path, &v, set_union) == nullptr ? errno : 0;
  }
  void *At(const char *path) {
    void *v = &f;
    return structs_LocateField(&FixtureType, path, &v, 0) != nullptr ? v : nullptr;
  }
  std::string Get(const char *path) {
    char *s = structs_FieldToText(&FixtureType, path, &f, TYPED_MEM_TEMP);
    if (s == nullptr) return "<null>";
    std::string r = s;
    typed_mem_Release(TYPED_MEM_TEMP, s);
    return r;
  }
  rectest::Parsed Set(const char *path, const char *text) {
    char ebuf[256] = "x";
    errno = 0;
    int rc = structs_FieldFromText(&FixtureType, path, text, &f, ebuf, sizeof(ebuf));
    return rectest::Parsed{rc, errno, ebuf};
  }
  std::vector<std::string> Names() {
    char **names = nullptr;
    int n = structs_ListFieldNames(&FixtureType, &f, &names, TYPED_MEM_TEMP);
    std::vector<std::string> r;
    for (int i = 0; i < n; i++) {
      r.push_back(names[i]);
      typed_mem_Release(TYPED_MEM_TEMP, names[i]);
    }
    typed_mem_Release(TYPED_MEM_TEMP, names);
    return r;
  }
};

TEST_F(RecordPath, EmptyPathIsTheWholeRecord) {
  void *v = &f;
  EXPECT_EQ(structs_LocateField(&FixtureType, "", &v, 0), &FixtureType);
  EXPECT_EQ(v, (void *)&f);
  EXPECT_EQ(structs_LocateField(&FixtureType, nullptr, &v, 0), &FixtureType);
  EXPECT_EQ(v, (void *)&f);
}

TEST_F(RecordPath, LookupErrors) {
  struct Case {
    const char *path;
    int err;
    void *at;
  } cases[] = {
      {"A", 0, &f.a},
      {"B.1", 0, &f.b[1]},
      {"B.1.Y", 0, &f.b[1].y},
      {"B.01.X", 0, &f.b[1].x},
      {"B.2", EDOM, nullptr},
      {"B.99999999999999999999", EDOM, nullptr},
      {"B.x", ENOENT, nullptr},
      {"B.-1", ENOENT, nullptr},
      {"B.1x", ENOENT, nullptr},
      {"B.", 0, &f.b},
      {"B.1.Z", ENOENT, nullptr},
      {"List.0", EDOM, nullptr},
      {"Data", 0, &f.data},
      {"Data Bits", 0, &f.data_bits},
      {"Datax", ENOENT, nullptr},
      {"Data Bitsx", ENOENT, nullptr},
      {"Dat", ENOENT, nullptr},
      {"A.x", ENOENT, nullptr},
      {"Inner.Name", 0, &f.inner.name},
      {"Inner.Tags.0", EDOM, nullptr},
      {"Nothing", ENOENT, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Err(c.path), c.err);
    if (c.err == 0) {
      EXPECT_EQ(At(c.path), c.at);
    }
  }
  void *v = &f;
  const RecordType *t = structs_LocateField(&FixtureType, "B.1", &v, 0);
  EXPECT_EQ(t, &XYType);
  v = &f;
  errno = 0;
  EXPECT_EQ(structs_LocateField(&FixtureType, "B.7", &v, 0), nullptr);
  EXPECT_EQ(v, (void *)&f) << "a failed lookup leaves the pointer alone";
}

TEST_F(RecordPath, LengthFields) {
  EXPECT_EQ(Get("List.length"), "0");
  EXPECT_EQ(Get("B.length"), "2");
  rectest::Parsed r = Set("List.length", "3");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, ENOSYS);
  EXPECT_EQ(r.msg, "parsing from ASCII is not supported by this structs type");
  // The length words are read-only through paths: writing them would corrupt the array.
  uint32_t five = 5;
  errno = 0;
  EXPECT_EQ(structs_FieldSet(&FixtureType, &five, "List.length", &f), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(structs_FieldSet(&FixtureType, &five, "B.length", &f), -1);
  EXPECT_EQ(structs_FieldReset(&FixtureType, "B.length", &f), -1);
  EXPECT_EQ(structs_InitField(&FixtureType, "List.length", &f), -1);
  EXPECT_EQ(Get("B.length"), "2");
  StructsCode code = {0, nullptr};
  ASSERT_EQ(structs_FieldEncode(&FixtureType, "B.length", &f, TYPED_MEM_TEMP, &code), 0);
  EXPECT_EQ(rectest::Bytes(code), (std::vector<uint8_t>{0, 0, 0, 2}));
  char ebuf[128];
  EXPECT_EQ(structs_FieldDecode(&FixtureType, "List.length", &code, &f, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, "binary decoding is not supported by this structs type");
  typed_mem_Release(TYPED_MEM_TEMP, code.data);
}

TEST_F(RecordPath, NamesInOrder) {
  std::vector<std::string> expect = {"A", "B.0.X", "B.0.Y", "B.1.X", "B.1.Y", "Data", "Data Bits", "Inner.Name", "Text"};
  EXPECT_EQ(Names(), expect) << "an empty array adds nothing";
  ASSERT_EQ(structs_PreparePath(&FixtureType, "List.0", &f), 0);
  ASSERT_EQ(structs_PreparePath(&FixtureType, "Inner.Tags.0", &f), 0);
  ASSERT_EQ(structs_PreparePath(&FixtureType, "Inner.Tags.1", &f), 0);
  expect = {"A", "B.0.X", "B.0.Y", "B.1.X", "B.1.Y", "List.0", "Data", "Data Bits", "Inner.Name", "Inner.Tags.0",
            "Inner.Tags.1", "Text"};
  EXPECT_EQ(Names(), expect);
}

TEST_F(RecordPath, BarePrimitiveListsOneEmptyName) {
  uint32_t v = 0;
  char **names = nullptr;
  ASSERT_EQ(structs_ListFieldNames(&UInt32Type, &v, &names, "test_names"), 1);
  EXPECT_STREQ(names[0], "");
  typed_mem_Release("test_names", names[0]);
  typed_mem_Release("test_names", names);
}

// The XML export and import walk: list, print each field, parse each into a fresh record.
TEST_F(RecordPath, TextRoundTripOverEveryName) {
  ASSERT_EQ(Set("A", "4000000000").rc, 0);
  ASSERT_EQ(Set("B.1.Y", "0x10").rc, 0);
  ASSERT_EQ(structs_PreparePath(&FixtureType, "List.0", &f), 0);
  ASSERT_EQ(Set("List.0", "65535").rc, 0);
  ASSERT_EQ(Set("Data Bits", "8").rc, 0);
  ASSERT_EQ(Set("Inner.Name", "seven77").rc, 0);
  ASSERT_EQ(structs_PreparePath(&FixtureType, "Inner.Tags.0", &f), 0);
  ASSERT_EQ(Set("Inner.Tags.0", "tag zero").rc, 0);
  ASSERT_EQ(Set("Text", "hello").rc, 0);
  EXPECT_EQ(Get("B.1.Y"), "16");
  Fixture g;
  ASSERT_EQ(FixtureType.init(&FixtureType, &g), 0);
  for (const std::string &name : Names()) {
    std::string text = Get(name.c_str());
    char ebuf[256];
    ASSERT_EQ(structs_PreparePath(&FixtureType, name.c_str(), &g), 0) << name;
    ASSERT_EQ(structs_FieldFromText(&FixtureType, name.c_str(), text.c_str(), &g, ebuf, sizeof(ebuf)), 0) << name << ebuf;
  }
  EXPECT_EQ(FixtureType.equal(&FixtureType, &f, &g), 1);
  EXPECT_EQ(structs_FieldEqual(&FixtureType, "Inner", &f, &g), 1);
  EXPECT_EQ(structs_FieldEqual(&FixtureType, "Nope", &f, &g), -1);
  ASSERT_EQ(Set("Inner.Tags.0", "changed").rc, 0);
  EXPECT_EQ(structs_FieldEqual(&FixtureType, "Inner", &f, &g), 0);
  FixtureType.release(&FixtureType, &g);
}

TEST_F(RecordPath, FromTextMessages) {
  rectest::Parsed r = Set("A", "12abc");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, EINVAL);
  EXPECT_EQ(r.msg, strerror(EINVAL)) << "an empty parser message is replaced by the error's text";
  r = Set("Q", "1");
  EXPECT_EQ(r.err, ENOENT);
  EXPECT_EQ(r.msg, strerror(ENOENT));
  r = Set("A", nullptr);
  EXPECT_EQ(r.msg, "invalid integer value") << "a null text is an empty text";
  ASSERT_EQ(Set("Text", "old").rc, 0);
  ASSERT_EQ(Set("Text", nullptr).rc, 0);
  EXPECT_EQ(Get("Text"), "");
  EXPECT_EQ(structs_FieldFromText(&FixtureType, "A", "77", &f, nullptr, 0), 0) << "no buffer is fine";
  EXPECT_EQ(f.a, 77u);
  EXPECT_EQ(structs_FieldFromText(&FixtureType, "A", "x", &f, nullptr, 0), -1);
  char small[4];
  EXPECT_EQ(structs_FieldFromText(&FixtureType, "A", "", &f, small, sizeof(small)), -1);
  EXPECT_STREQ(small, "inv");
}

TEST_F(RecordPath, SetResetCopyEncodeDecode) {
  char *src = (char *)"copied";
  ASSERT_EQ(structs_FieldSet(&FixtureType, &src, "Text", &f), 0);
  EXPECT_NE(f.text, src);
  EXPECT_EQ(Get("Text"), "copied");
  ASSERT_EQ(structs_FieldReset(&FixtureType, "Text", &f), 0);
  EXPECT_EQ(Get("Text"), "");
  ASSERT_EQ(Set("B.0", "1").rc, -1) << "structures have no text form";

  XY xy = {3, 4};
  ASSERT_EQ(structs_FieldSet(&FixtureType, &xy, "B.1", &f), 0);
  XY out;
  ASSERT_EQ(structs_FieldCopy(&FixtureType, "B.1", &f, &out), 0);
  EXPECT_EQ(out.y, 4u);

  StructsCode code;
  ASSERT_EQ(structs_FieldEncode(&FixtureType, "B.1", &f, TYPED_MEM_TEMP, &code), 0);
  EXPECT_EQ(rectest::Bytes(code), (std::vector<uint8_t>{0x03, 0, 0, 0, 3, 0, 0, 0, 4}));
  char ebuf[128];
  EXPECT_EQ(structs_FieldDecode(&FixtureType, "B.0", &code, &f, ebuf, sizeof(ebuf)), 9);
  EXPECT_EQ(f.b[0].x, 3u);
  StructsCode cut = {4, code.data};
  EXPECT_EQ(structs_FieldDecode(&FixtureType, "B.0", &cut, &f, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, "encoded data is truncated");
  EXPECT_EQ(f.b[0].x, 3u) << "a failed decode leaves the field";
  EXPECT_EQ(structs_FieldDecode(&FixtureType, "B.9", &code, &f, ebuf, sizeof(ebuf)), -1);
  EXPECT_STREQ(ebuf, strerror(EDOM));
  typed_mem_Release(TYPED_MEM_TEMP, code.data);

  code = {1, (uint8_t *)1};
  EXPECT_EQ(structs_FieldEncode(&FixtureType, "B.5", &f, TYPED_MEM_TEMP, &code), -1);
  EXPECT_EQ(code.length, 0u);
  EXPECT_EQ(code.data, nullptr);

  errno = 1234;
  EXPECT_EQ(structs_ReleaseField(&FixtureType, "Text", &f), 0);
  EXPECT_EQ(errno, 1234) << "a release keeps the error number";
  EXPECT_EQ(f.text, nullptr);
  EXPECT_EQ(structs_InitField(&FixtureType, "Text", &f), 0);
  EXPECT_EQ(structs_ReleaseField(&FixtureType, "Zzz", &f), -1);
}

TEST_F(RecordPath, ArrayInsertKeepsEveryElement) {
  const char *words[] = {"ten", "twenty", "thirty"};
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(structs_ArrayInsert(&FixtureType, "Inner.Tags", (uint32_t)i, &f), 0);
    ASSERT_EQ(Set(("Inner.Tags." + std::to_string(i)).c_str(), words[i]).rc, 0);
  }
  ASSERT_EQ(structs_ArrayInsert(&FixtureType, "Inner.Tags", 1, &f), 0);
  EXPECT_EQ(structs_ArrayLength(&FixtureType, "Inner.Tags", &f), 4);
  EXPECT_EQ(Get("Inner.Tags.0"), "ten");
  EXPECT_EQ(Get("Inner.Tags.1"), "") << "the new element is a fresh default";
  EXPECT_EQ(Get("Inner.Tags.2"), "twenty");
  EXPECT_EQ(Get("Inner.Tags.3"), "thirty");
  char **tags = (char **)f.inner.tags.elems;
  EXPECT_NE(tags[1], tags[2]) << "no two elements share one text";
  ASSERT_EQ(structs_ArrayInsert(&FixtureType, "Inner.Tags", 4, &f), 0) << "index = length appends";
  errno = 0;
  EXPECT_EQ(structs_ArrayInsert(&FixtureType, "Inner.Tags", 6, &f), -1);
  EXPECT_EQ(errno, EDOM);
  ASSERT_EQ(structs_ArrayInsert(&FixtureType, "Inner.Tags", 0, &f), 0);
  EXPECT_EQ(Get("Inner.Tags.1"), "ten");
  EXPECT_EQ(structs_ArrayLength(&FixtureType, "Inner.Tags", &f), 6);

  ASSERT_EQ(structs_ArrayDelete(&FixtureType, "Inner.Tags", 5, &f), 0);
  EXPECT_NE(f.inner.tags.elems, nullptr) << "deleting the last element keeps the block";
  ASSERT_EQ(structs_ArrayDelete(&FixtureType, "Inner.Tags", 0, &f), 0);
  EXPECT_EQ(Get("Inner.Tags.0"), "ten");
  EXPECT_EQ(structs_ArrayDelete(&FixtureType, "Inner.Tags", 4, &f), -1);
  EXPECT_EQ(errno, EDOM);
  EXPECT_EQ(structs_ArrayLength(&FixtureType, "Inner.Tags", &f), 4);
  errno = 0;
  EXPECT_EQ(structs_ArrayLength(&FixtureType, "Inner.Name", &f), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(RecordPath, SetLengthAndReset) {
  ASSERT_EQ(structs_ArraySetLength(&FixtureType, "Inner.Tags", 3, &f, 1), 0);
  EXPECT_EQ(Get("Inner.Tags.2"), "");
  ASSERT_EQ(Set("Inner.Tags.2", "x").rc, 0);
  ASSERT_EQ(structs_ArraySetLength(&FixtureType, "Inner.Tags", 1, &f, 1), 0);
  EXPECT_EQ(Err("Inner.Tags.1"), EDOM);
  ASSERT_EQ(structs_ArraySetLength(&FixtureType, "List", 4, &f, 0), 0);
  EXPECT_EQ(Get("List.3"), "0");
  ASSERT_EQ(structs_ArraySetLength(&FixtureType, "List", 0, &f, 0), 0);
  EXPECT_EQ(f.list.elems, nullptr);
  ASSERT_EQ(structs_ArrayReset(&FixtureType, "Inner.Tags", &f), 0);
  EXPECT_EQ(f.inner.tags.length, 0u);
  EXPECT_EQ(f.inner.tags.elems, nullptr);
}

TEST_F(RecordPath, PreparePath) {
  EXPECT_EQ(structs_PreparePath(&FixtureType, "", &f), 0);
  EXPECT_EQ(structs_PreparePath(&FixtureType, "List.1", &f), -1);
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(structs_PreparePath(&FixtureType, "List.0", &f), 0);
  EXPECT_EQ(f.list.length, 1u);
  ASSERT_EQ(structs_PreparePath(&FixtureType, "List.0", &f), 0);
  EXPECT_EQ(f.list.length, 1u) << "an existing index adds nothing";
  EXPECT_EQ(structs_PreparePath(&FixtureType, "List.x", &f), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(structs_PreparePath(&FixtureType, "List.0.Q", &f), -1);
  EXPECT_EQ(structs_PreparePath(&FixtureType, "B.1.X", &f), 0);
  // Empty components (a leading dot once looped for ever) simply fail to match.
  for (const char *odd : {".A", "..", ".", "Inner..Tags", "List..0"}) {
    errno = 0;
    EXPECT_EQ(structs_PreparePath(&FixtureType, odd, &f), -1) << odd;
    EXPECT_EQ(errno, ENOENT) << odd;
  }
  EXPECT_EQ(structs_PreparePath(&FixtureType, "Inner.", &f), 0) << "a trailing dot names the field itself";
}

// ---- unions and pointers

// A member whose values cannot be made: switching to it must fail cleanly.
const RecordType NoInitType = {(uint32_t)sizeof(uint32_t), "uint", STRUCTS_CLASS_PRIMITIVE, structs_InitUnsupported,
                               structs_CopyBytes, structs_EqualBytes, structs_IntToText, structs_IntFromText,
                               structs_EncodeReversedBytes, structs_DecodeReversedBytes, structs_ReleaseNothing,
                               {{.u = 6}, {.u = 0}, {.u = 0}}};

const RecordField kMembers[] = {{"Num", &UInt32Type, 0, 0}, {"Name", &TextType, 0, 0}, {"Pt", &XYType, 0, 0},
                                {"NoInit", &NoInitType, 0, 0}, STRUCTS_FIELD_END};
const RecordType ChoiceType = {(uint32_t)sizeof(StructsUnion), "union", STRUCTS_CLASS_UNION, structs_InitUnsupported,
                               structs_CopyUnsupported, structs_EqualUnsupported, structs_ToTextUnsupported,
                               structs_FromTextUnsupported, structs_EncodeUnsupported, structs_DecodeUnsupported,
                               structs_ReleaseNothing, {{.p = kMembers}, {.s = "test_union"}, {.u = 0}}};

struct Holder {
  uint32_t id;
  StructsUnion u;
};
const RecordField kHolderFields[] = {STRUCTS_FIELD(Holder, id, "Id", UInt32Type),
                                     STRUCTS_FIELD(Holder, u, "U", ChoiceType), STRUCTS_FIELD_END};
const RecordType HolderType = structs_MakeStructureType(sizeof(Holder), kHolderFields);

class RecordUnion : public ::testing::Test {
 protected:
  Holder h = {};
  void SetUp() override {
    h.u.field_name = kMembers[0].name;
    h.u.un = typed_mem_AllocZeroed("test_union", 1, sizeof(uint32_t));
  }
  void TearDown() override {
    const RecordField *m = kMembers;
    while (m->name != nullptr && strcmp(m->name, h.u.field_name) != 0) m++;
    if (m->name != nullptr) m->type->release(m->type, h.u.un);
    typed_mem_Release("test_union", h.u.un);
  }
  std::string Get(const char *path) {
    char *s = structs_FieldToText(&HolderType, path, &h, TYPED_MEM_TEMP);
    if (s == nullptr) return "<null>";
    std::string r = s;
    typed_mem_Release(TYPED_MEM_TEMP, s);
    return r;
  }
  int Set(const char *path, const char *text) { return structs_FieldFromText(&HolderType, path, text, &h, nullptr, 0); }
};

TEST_F(RecordUnion, MemberSwitching) {
  EXPECT_EQ(Get("U.field_name"), "Num");
  EXPECT_EQ(Get("U.Num"), "0");
  errno = 0;
  EXPECT_EQ(Get("U.Name"), "<null>") << "no switching outside a parse";
  EXPECT_EQ(errno, ENOENT);
  ASSERT_EQ(Set("U.Name", "hello"), 0);
  EXPECT_EQ(Get("U.field_name"), "Name");
  EXPECT_EQ(h.u.field_name, kMembers[1].name) << "the name word points at the member's own text";
  EXPECT_EQ(Get("U.Name"), "hello");
  char **names = nullptr;
  ASSERT_EQ(structs_ListFieldNames(&HolderType, &h, &names, TYPED_MEM_TEMP), 2);
  EXPECT_STREQ(names[1], "U.Name") << "only the current member is listed";
  for (int i = 0; i < 2; i++) typed_mem_Release(TYPED_MEM_TEMP, names[i]);
  typed_mem_Release(TYPED_MEM_TEMP, names);
  ASSERT_EQ(Set("U.Pt.Y", "9"), 0);
  EXPECT_EQ(Get("U.field_name"), "Pt");
  EXPECT_EQ(Get("U.Pt.Y"), "9");
  EXPECT_EQ(Set("U.Other", "1"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(Set("U.field_name", "Num"), -1);
}

TEST_F(RecordUnion, FailedSwitchKeepsTheOldValue) {
  ASSERT_EQ(Set("U.Name", "keep me"), 0);
  char ebuf[128];
  EXPECT_EQ(structs_FieldFromText(&HolderType, "U.Num", "not a number", &h, ebuf, sizeof(ebuf)), -1);
  EXPECT_EQ(Get("U.field_name"), "Name");
  EXPECT_EQ(Get("U.Name"), "keep me");
  EXPECT_EQ(Set("U.Pt.Z", "1"), -1) << "a bad rest of path fails before any switch";
  EXPECT_EQ(Get("U.Name"), "keep me");
  EXPECT_EQ(Set("U.Pt.X", "99999999999"), -1);
  EXPECT_EQ(Get("U.Name"), "keep me");
  // The new member's init fails: its block is freed (leak check) and nothing changes.
  void *v = &h;
  errno = 0;
  EXPECT_EQ(structs_LocateField(&HolderType, "U.NoInit", &v, 1), nullptr);
  EXPECT_EQ(errno, ENOSYS);
  EXPECT_EQ(v, (void *)&h);
  EXPECT_EQ(Set("U.NoInit", "5"), -1);
  EXPECT_EQ(h.u.field_name, kMembers[1].name);
  EXPECT_EQ(Get("U.Name"), "keep me");
}

TEST_F(RecordUnion, UnknownCurrentMemberIsEinval) {
  static const char bogus[] = "Bogus";
  const char *saved = h.u.field_name;
  h.u.field_name = bogus;
  void *v = &h;
  errno = 0;
  EXPECT_EQ(structs_LocateField(&HolderType, "U.Num", &v, 1), nullptr);
  EXPECT_EQ(errno, EINVAL);
  char **names = nullptr;
  errno = 0;
  EXPECT_EQ(structs_ListFieldNames(&HolderType, &h, &names, TYPED_MEM_TEMP), -1);
  EXPECT_EQ(errno, EINVAL);
  h.u.field_name = saved;
}

TEST(RecordPointer, PathsFollowPointers) {
  const RecordType ptr = {(uint32_t)sizeof(void *), "pointer", STRUCTS_CLASS_POINTER, structs_InitUnsupported,
                          structs_CopyUnsupported, structs_EqualUnsupported, structs_ToTextUnsupported,
                          structs_FromTextUnsupported, structs_EncodeUnsupported, structs_DecodeUnsupported,
                          structs_ReleaseNothing, {{.p = &XYType}, {.u = 0}, {.u = 0}}};
  XY target = {5, 6};
  XY *p = &target;
  void *v = &p;
  EXPECT_EQ(structs_LocateField(&ptr, "Y", &v, 0), &UInt32Type);
  EXPECT_EQ(v, (void *)&target.y);
  char **names = nullptr;
  ASSERT_EQ(structs_ListFieldNames(&ptr, &p, &names, TYPED_MEM_TEMP), 2);
  EXPECT_STREQ(names[0], "X");
  for (int i = 0; i < 2; i++) typed_mem_Release(TYPED_MEM_TEMP, names[i]);
  typed_mem_Release(TYPED_MEM_TEMP, names);
}

}  // namespace
