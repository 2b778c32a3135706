// The XSD simple types, checked by a real schema validator (xmllint).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/xml/xml_doc.h"
#include "record/record.h"
#include "tests/support/test_root.h"

namespace {

// Types of the names the writer knows, borrowing the library's operations.
RecordType Named(const char *name, RecordType base) {
  base.name = name;
  return base;
}

const RecordIdEntry kKinds[] = {{"AI", 0, 0}, {"DI", 1, 0}, {"", 2, 0}, {"", 3, 0}, {"spaced name},", 4, 0}, {nullptr, 0, 0}};
const char *const kStateWords[2] = {"Low", "High"};

const RecordType kKindType = structs_MakeIdType(1, kKinds);
// A one-byte flag that prints its word, as the channel record's flag bits do.
char *BitToText(const RecordType *type, const char *mtype, const void *value) {
  const char *const *words = static_cast<const char *const *>(type->args[XSD_BITFIELD_WORDS_ARG].p);
  return typed_mem_DupText(mtype, words[*static_cast<const uint8_t *>(value) ? 1 : 0]);
}
RecordType MakeBitfield() {
  RecordType t = Named("bitfield", structs_MakeIntType(0, 0));
  t.to_text = BitToText;
  t.args[XSD_BITFIELD_WORDS_ARG].p = kStateWords;
  return t;
}
const RecordType kBitType = MakeBitfield();
const RecordType kTag = Named("chanconfignstring", structs_MakeFixedStringType(16));
const RecordType kText = structs_MakeFixedStringType(8);
const RecordType kLink = Named("linktagnstring", structs_MakeFixedStringType(5));
const RecordType kHex = structs_MakeFixedDataType(3);
const RecordType kTime = Named("time", structs_MakeFixedStringType(20));
const RecordType kShortTime = Named("stime", structs_MakeFixedStringType(10));
const RecordType kVar = Named("var", structs_MakeFixedStringType(40));
const RecordType kBadWidth = structs_MakeIntType(9, 1);
const RecordType kDoubleUnderFloat = Named("float", DoubleType);
const RecordType kHexInt = HexIntType;

struct Rec {
  uint8_t kind;
  uint8_t bit;
  char tag[16];
  char text[8];
  char link[5];
  uint8_t hex[3];
  char time[20];
  char stime[10];
  char var[40];
  int8_t i0;
  int16_t i1;
  int32_t i2, i3;
  uint8_t u0;
  uint16_t u1;
  uint32_t u2, u3;
  int64_t i7;
  uint64_t u7;
  float f;
  double d;
  uint8_t onoff, yesno;
  int32_t odd, hexint;
};

const RecordField kFields[] = {
    STRUCTS_FIELD(Rec, kind, "Type", kKindType),
    STRUCTS_FIELD(Rec, bit, "EventState", kBitType),
    STRUCTS_FIELD(Rec, tag, "Tag", kTag),
    STRUCTS_FIELD(Rec, text, "AlarmText", kText),
    STRUCTS_FIELD(Rec, link, "Link", kLink),
    STRUCTS_FIELD(Rec, hex, "Analogue", kHex),
    STRUCTS_FIELD(Rec, time, "When", kTime),
    STRUCTS_FIELD(Rec, stime, "Period", kShortTime),
    STRUCTS_FIELD(Rec, var, "Anything", kVar),
    STRUCTS_FIELD(Rec, i0, "I8", CharType),
    STRUCTS_FIELD(Rec, i1, "I16", Int16Type),
    STRUCTS_FIELD(Rec, i2, "I32", IntType),
    STRUCTS_FIELD(Rec, i3, "ILong", LongType),
    STRUCTS_FIELD(Rec, u0, "U8", UInt8Type),
    STRUCTS_FIELD(Rec, u1, "U16", UShortType),
    STRUCTS_FIELD(Rec, u2, "U32", UInt32Type),
    STRUCTS_FIELD(Rec, u3, "ULong", ULongType),
    STRUCTS_FIELD(Rec, i7, "I64", Int64Type),
    STRUCTS_FIELD(Rec, u7, "U64", UInt64Type),
    STRUCTS_FIELD(Rec, f, "Gain", FloatType),
    STRUCTS_FIELD(Rec, d, "Offset", kDoubleUnderFloat),
    STRUCTS_FIELD(Rec, onoff, "AutoEnable", BoolByteOnOffType),
    STRUCTS_FIELD(Rec, yesno, "Answer", BoolByteType),
    STRUCTS_FIELD(Rec, odd, "OddWidth", kBadWidth),
    STRUCTS_FIELD(Rec, hexint, "Mask", kHexInt),
    STRUCTS_FIELD_END,
};
const RecordType kRecType = structs_MakeStructureType(sizeof(Rec), kFields);
const int kFieldCount = sizeof kFields / sizeof kFields[0] - 1;

std::string Linux(const char *file) { return tnwtest::Root() + "/drives/c/XSD/" + file; }

int Xmllint(const char *schema, const char *instance) {
  std::string cmd = "xmllint --noout --schema '" + Linux(schema) + "' '" + Linux(instance) + "' >/dev/null 2>&1";
  return std::system(cmd.c_str());
}

class XsdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tnwtest::Root() + "/drives/c/XSD");
    ASSERT_EQ(std::system("xmllint --version >/dev/null 2>&1"), 0) << "xmllint (libxml2-utils) is needed";
  }

  // A schema of one element "Config" whose sequence holds the fields.
  int32_t WriteSchema(const char *file, int first, int last) {
    XmlDocument *doc = xml_CreateDocument();
    xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8' standalone='yes'");
    XmlNode *schema = xml_CreateAndAddElement(doc, "xs:schema", xml_DocumentNode(doc));
    xml_CreateAndAddAttributeNode(doc, "xmlns:xs", "http://www.w3.org/2001/XMLSchema", schema);
    XmlNode *config = xml_CreateAndAddElement(doc, "xs:element", schema);
    xml_CreateAndAddAttributeNode(doc, "name", "Config", config);
    XmlNode *complex = xml_CreateAndAddElement(doc, "xs:complexType", config);
    XmlNode *seq = xml_CreateAndAddElement(doc, "xs:sequence", complex);
    int32_t rc = xsd_AddSimpleTypes(doc, seq, &kRecType, first, last);
    xml_IndentTree(doc, schema, 0);
    xml_Save(doc, (std::string("C:\\XSD\\") + file).c_str());
    xml_ReleaseDocument(doc);
    return rc;
  }

  // An instance with the text of every field of `value` from index first.
  void WriteInstance(const char *file, const Rec &value, int first, const char *override = nullptr,
                     const char *overrideText = nullptr) {
    XmlDocument *doc = xml_CreateDocument();
    XmlNode *config = xml_CreateAndAddElement(doc, "Config", xml_DocumentNode(doc));
    for (int i = first; i < kFieldCount; ++i) {
      // A width class the library cannot print has no text: any will do.
      char *text = structs_FieldToText(&kRecType, kFields[i].name, &value, TYPED_MEM_TEMP);
      XmlNode *e = xml_CreateAndAddElement(doc, kFields[i].name, config);
      bool replace = override && strcmp(override, kFields[i].name) == 0;
      xml_CreateAndAddTextNode(doc, replace ? overrideText : text ? text : "3", e);
      xml_CloseElement(doc, e);
      typed_mem_Release(TYPED_MEM_TEMP, text);
    }
    xml_IndentTree(doc, config, 0);
    ASSERT_EQ(xml_Save(doc, (std::string("C:\\XSD\\") + file).c_str()), 0) << xml_GetErrorText();
    xml_ReleaseDocument(doc);
  }

  static Rec Sample() {
    Rec r{};
    r.kind = 4;
    r.bit = 1;
    strcpy(r.tag, "PUMP1 POS");
    strcpy(r.text, "HIGH");
    strcpy(r.link, "L1");
    r.hex[0] = 0xAB;
    strcpy(r.time, "2024/01/02 03:04:05");
    strcpy(r.stime, "01:02:03");
    strcpy(r.var, "any text at all");
    r.i0 = -5;
    r.i1 = -300;
    r.i2 = -70000;
    r.i3 = 12;
    r.u0 = 200;
    r.u1 = 60000;
    r.u2 = 4000000000u;
    r.u3 = 7;
    r.i7 = -9000000000LL;
    r.u7 = 18000000000000000000ULL;
    r.f = 1.5f;
    r.d = 2.25;
    r.onoff = 1;
    r.yesno = 1;
    r.odd = 3;
    r.hexint = 0x1f;
    return r;
  }
};

}  // namespace

TEST_F(XsdTest, EverySchemaAcceptsAValidInstance) {
  ASSERT_EQ(WriteSchema("all.xsd", 0, 0), 0) << xml_GetErrorText();
  Rec r = Sample();
  WriteInstance("all.xml", r, 0);
  EXPECT_EQ(Xmllint("all.xsd", "all.xml"), 0) << tnwtest::ReadFile(Linux("all.xsd"));
  r.kind = 2;  // an empty enumeration name
  r.bit = 0;
  r.onoff = 0;
  WriteInstance("other.xml", r, 0);
  EXPECT_EQ(Xmllint("all.xsd", "other.xml"), 0);

  // The schema refuses what the fields' types refuse.
  const std::string tooLongTag(17, 't'), tooLongTime(20, '1');
  const struct {
    const char *field, *text;
  } kBad[] = {{"Type", "XX"},          {"EventState", "On"},   {"Tag", tooLongTag.c_str()},
              {"Analogue", "abcdef0"}, {"I8", "200"},          {"U16", "-1"},
              {"Gain", "x"},           {"AutoEnable", "True"}, {"Answer", "On"},
              {"When", tooLongTime.c_str()}};
  int n = 0;
  for (const auto &bad : kBad) {
    std::string file = "bad" + std::to_string(n++) + ".xml";
    WriteInstance(file.c_str(), Sample(), 0, bad.field, bad.text);
    EXPECT_NE(Xmllint("all.xsd", file.c_str()), 0) << bad.field << " = " << bad.text;
  }
}

TEST_F(XsdTest, TheSchemaNamesTheFieldTypes) {
  ASSERT_EQ(WriteSchema("names.xsd", 0, 0), 0);
  std::string xsd = tnwtest::ReadFile(Linux("names.xsd"));
  for (const char *part : {"<xs:element name=\"Type\">\n\t\t\t\t\t<xs:simpleType>\n\t\t\t\t\t\t<xs:restriction "
                           "base=\"xs:string\">\n\t\t\t\t\t\t\t<xs:enumeration value=\"AI\"/>",
                           "<xs:enumeration value=\"Low\"/>", "<xs:enumeration value=\"High\"/>",
                           "<xs:maxLength value=\"16\"/>", "<xs:maxLength value=\"6\"/>",
                           "<xs:maxLength value=\"19\"/>", "<xs:maxLength value=\"9\"/>",
                           "<xs:restriction base=\"xs:byte\"/>", "<xs:restriction base=\"xs:short\"/>",
                           "<xs:restriction base=\"xs:long\"/>", "<xs:restriction base=\"xs:unsignedLong\"/>",
                           "<xs:restriction base=\"xs:float\"/>", "<xs:restriction base=\"xs:double\"/>",
                           "<xs:enumeration value=\"Off\"/>", "<xs:enumeration value=\"True\"/>"})
    EXPECT_NE(xsd.find(part), std::string::npos) << part << "\n" << xsd;
}

TEST_F(XsdTest, FirstAndLastPickTheFields) {
  ASSERT_EQ(WriteSchema("part.xsd", 2, 5), 0);
  std::string xsd = tnwtest::ReadFile(Linux("part.xsd"));
  EXPECT_EQ(xsd.find("name=\"EventState\""), std::string::npos);
  EXPECT_NE(xsd.find("name=\"Tag\""), std::string::npos);
  EXPECT_NE(xsd.find("name=\"Link\""), std::string::npos);
  EXPECT_EQ(xsd.find("name=\"Analogue\""), std::string::npos);
  ASSERT_EQ(WriteSchema("tail.xsd", 20, 0), 0);
  WriteInstance("tail.xml", Sample(), 20);
  EXPECT_EQ(Xmllint("tail.xsd", "tail.xml"), 0);
}

TEST_F(XsdTest, AFailureNamesItsFieldAndStopsTheLoop) {
  static const std::string kLongName(140, 'F');
  static const RecordField fields[] = {
      {"First", &UInt32Type, 4, 0}, {kLongName.c_str(), &UInt32Type, 4, 4}, {"Third", &UInt32Type, 4, 8}, STRUCTS_FIELD_END};
  static const RecordType type = structs_MakeStructureType(12, fields);
  XmlDocument *doc = xml_CreateDocument();
  XmlNode *seq = xml_CreateAndAddElement(doc, "xs:sequence", xml_DocumentNode(doc));
  int32_t rc = xsd_AddSimpleTypes(doc, seq, &type, 0, 0);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(std::string(xml_GetErrorText()).rfind(" - <FFFF", 0), 0u) << xml_GetErrorText();
  EXPECT_NE(std::string(xml_GetErrorText()).find("> BstrFromChar('name') or VariantFromChar('FFF"), std::string::npos);
  xml_ClearError();
  EXPECT_NE(xml_FindByName(seq, "xs:element[@name='First']"), nullptr);
  EXPECT_EQ(xml_FindByName(seq, "xs:element[@name='Third']"), nullptr);
  xml_ReleaseDocument(doc);
}
