// tnwll_ex.so through the binding, as the scanner and the plug-in use it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "record/record.h"
#include "tests/support/test_root.h"

namespace {

// "<type> <name>" of each dynamic symbol that nm lists.
std::vector<std::string> Symbols(const char *which) {
  std::string cmd = std::string("nm -D ") + which + " '" + TNWLL_EX_PATH + "' 2>/dev/null";
  std::vector<std::string> names;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return names;
  char line[512];
  while (fgets(line, sizeof line, p)) {
    char type[8], name[400];
    if (sscanf(line, "%*s %7s %399s", type, name) == 2 || sscanf(line, "%7s %399s", type, name) == 2)
      names.push_back(std::string(type) + " " + name);
  }
  pclose(p);
  return names;
}

std::string FieldText(const RecordType *type, const char *field, const void *value) {
  char *t = structs_FieldToText(type, field, value, TYPED_MEM_TEMP);
  std::string s = t ? t : "<null>";
  typed_mem_Release(TYPED_MEM_TEMP, t);
  return s;
}

class TnwllExTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TSQ_BIN", std::filesystem::path(TNWLL_EX_PATH).parent_path().c_str(), 1);
    module = ext_LoadExtension("C:\\CONFIG\\tnwll_2");
    ASSERT_NE(module, nullptr);
    ext_BindEntryPoints(module, &eps);
  }
  void TearDown() override {
    ext_FreeExtension(module);
    unsetenv("TSQ_BIN");
  }

  const RecordType *ConfigType() { return ext_ConfigType(&eps, nullptr, 0); }
  const RecordType *HwType() { return ext_ChannelHwType(&eps, 0, 0, nullptr); }

  OsModuleHandle module = nullptr;
  ExtEntryPoints eps{};
};

uint8_t *Config(std::vector<uint8_t> &buf) {
  buf.assign(704, 0);
  return buf.data();
}

}  // namespace

TEST(TnwllExLibrary, ExportsOnlyTheThreeEntryPoints) {
  std::vector<std::string> defined = Symbols("--defined-only");
  std::set<std::string> got(defined.begin(), defined.end());
  EXPECT_EQ(got, (std::set<std::string>{"T Ex_Get_Channel_Hw_Type", "T Ex_Get_Config_Type", "T Ex_Undecorate_Channel_Hw"}));
  // Its record library is its own: every symbol it needs comes from a system
  // library (versioned), none from its host.
  std::vector<std::string> undefined = Symbols("--undefined-only");
  EXPECT_FALSE(undefined.empty());
  for (const std::string &s : undefined) {
    for (const char *own : {"structs_", "typed_mem_", "gtree_", "ghash_", "filter_", "stream_"})
      EXPECT_EQ(s.find(own), std::string::npos) << s;
#ifndef TNW_SANITIZE
    // Sanitizer builds leave the C library's names to the runtime in the host.
    if (s[0] == 'U') {
      EXPECT_NE(s.find('@'), std::string::npos) << s;
    }
#endif
  }
}

TEST_F(TnwllExTest, TheOptionalEntryPointsAreMissing) {
  EXPECT_NE(eps.Get_Config_Type, nullptr);
  EXPECT_NE(eps.Get_Channel_Hw_Type, nullptr);
  EXPECT_NE(eps.Undecorate_Channel_Hw, nullptr);
  EXPECT_EQ(ext_BindEntryPoints(module, &eps), 3);
  EXPECT_EQ(ext_DoesXml(&eps), 0);
  EXPECT_EQ(ext_ChannelHasExtra(&eps), 0);
}

TEST_F(TnwllExTest, DeviceConfigKeepsEveryByteThroughText) {
  const RecordType *type = ConfigType();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->size, 704u);
  char **names = nullptr;
  std::vector<uint8_t> zero(704, 0);
  int n = structs_ListFieldNames(type, zero.data(), &names, TYPED_MEM_TEMP);
  ASSERT_EQ(n, 5);
  const char *expected[] = {"ScanRate", "BaudRate", "Com Port", "Parity", "Data Bits"};
  for (int i = 0; i < n; ++i) EXPECT_STREQ(names[i], expected[i]);

  const struct {
    uint32_t scan, baud;
    const char *port;
    uint8_t parity;
    uint32_t bits;
  } kRecords[] = {{1000, 9600, "COM12:", 3, 8}, {0, 0, "", 0, 0}, {4294967295u, 115200, "COM1:", 4, 7},
                  {250, 19200, "ttyS0", 1, 8}, {60000, 300, "COM9", 2, 5}};
  for (const auto &r : kRecords) {
    std::vector<uint8_t> src, dst;
    uint8_t *s = Config(src), *d = Config(dst);
    memcpy(s + 0, &r.scan, 4);
    memcpy(s + 4, &r.baud, 4);
    memcpy(s + 8, r.port, strlen(r.port));
    s[16] = r.parity;
    memcpy(s + 20, &r.bits, 4);
    for (int i = 0; i < n; ++i) {
      std::string text = FieldText(type, names[i], s);
      char error[256] = "";
      ASSERT_EQ(structs_FieldFromText(type, names[i], text.c_str(), d, error, sizeof error), 0)
          << names[i] << " " << text << ": " << error;
    }
    EXPECT_EQ(memcmp(s, d, 704), 0) << r.port;
    EXPECT_EQ(std::vector<uint8_t>(dst.begin() + 24, dst.end()), std::vector<uint8_t>(680, 0));
  }
  for (int i = 0; i < n; ++i) typed_mem_Release(TYPED_MEM_TEMP, names[i]);
  typed_mem_Release(TYPED_MEM_TEMP, names);
}

TEST_F(TnwllExTest, ParityNamesAreCaseSensitive) {
  const RecordType *type = ConfigType();
  std::vector<uint8_t> buf;
  uint8_t *rec = Config(buf);
  char error[256] = "";
  ASSERT_EQ(structs_FieldFromText(type, "Parity", "Mark", rec, error, sizeof error), 0);
  EXPECT_EQ(rec[16], 3);
  EXPECT_EQ(rec[17] | rec[18] | rec[19], 0);
  EXPECT_EQ(structs_FieldFromText(type, "Parity", "mark", rec, error, sizeof error), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_STREQ(error, "invalid value \"mark\"");
  EXPECT_EQ(rec[16], 3);
  const char *kParity[] = {"None", "Odd", "Even", "Mark", "Space"};
  for (uint8_t v = 0; v < 5; ++v) {
    rec[16] = v;
    EXPECT_EQ(FieldText(type, "Parity", rec), kParity[v]);
  }
  // "Com Port" holds six characters and its terminator.
  EXPECT_EQ(structs_FieldFromText(type, "Com Port", "COM123:", rec, error, sizeof error), -1);
  EXPECT_EQ(structs_FieldFromText(type, "Com Port", "COM12:", rec, error, sizeof error), 0);
}

TEST_F(TnwllExTest, UndecorationNamesAnalogueValues) {
  const RecordType *hw = HwType();
  ASSERT_NE(hw, nullptr);
  EXPECT_EQ(hw->size, 8u);
  const struct {
    uint8_t kind;
    int block;  // offset of the hardware block
    uint32_t stored, exported;
    const char *text;
  } kCases[] = {
      {0, 188, 18, 198, "CYL1 POS"},          {2, 188, 1, 181, "CYL1 PRESS"},
      {2, 188, 72, 252, "AUX AD32"},          {1, 192, 18, 18, "CYL1 RETRACT LIM"},
      {3, 192, 175, 175, "DIG IN32"},         {4, 188, 18, 18, "CYL1 RETRACT LIM"},
      {0, 188, 0, 180, ""},
  };
  for (const auto &c : kCases) {
    uint8_t rec[216] = {};
    rec[24] = c.kind;
    uint32_t pump = 3;
    memcpy(rec + c.block, &pump, 4);
    memcpy(rec + c.block + 4, &c.stored, 4);
    uint8_t before[216];
    memcpy(before, rec, sizeof rec);
    ext_UndecorateChannelHw(&eps, c.kind, 0, rec);
    uint32_t value;
    memcpy(&value, rec + c.block + 4, 4);
    EXPECT_EQ(value, c.exported) << int(c.kind);
    if (c.stored == c.exported) {
      EXPECT_EQ(memcmp(before, rec, sizeof rec), 0) << "kind " << int(c.kind) << " unchanged";
    }
    EXPECT_EQ(FieldText(hw, "Tarn Well Value", rec + c.block), c.text);
    EXPECT_EQ(FieldText(hw, "Pump", rec + c.block), "3");
  }
  // The exported record pointer is the caller's record.
  uint8_t rec[216] = {};
  ExtBlock block{216, rec, 0};
  EXPECT_EQ(eps.Undecorate_Channel_Hw(0, 0, &block), rec);
  EXPECT_EQ(block.allocated, 0u);
}

TEST_F(TnwllExTest, PumpValueNamesAreExactlyAsListed) {
  const RecordType *hw = HwType();
  void *value = nullptr;
  uint8_t block[8] = {};
  value = block;
  const RecordType *id = structs_LocateField(hw, "Tarn Well Value", &value, 0);
  ASSERT_NE(id, nullptr);
  const RecordIdEntry *list = static_cast<const RecordIdEntry *>(id->args[0].p);
  int count = 0;
  for (const RecordIdEntry *e = list; e->name; ++e) {
    ++count;
    bool known = (e->value >= 0 && e->value <= 175) || (e->value >= 180 && e->value <= 252);
    EXPECT_TRUE(known) << e->value;
    EXPECT_EQ(e->icase, 0) << e->name;
  }
  EXPECT_EQ(count, 249);
  const struct {
    uint8_t v;
    const char *name;
  } kNames[] = {{1, "STATUS"},
                {45, "CYL2 POS ERROR"},
                {46, "CYL1 LATCH ANOVER PRESS"},
                {61, "CYL2 LATCH POS ERROR"},
                {84, "SPARE DUAL ERROR1},"},
                {96, "CYL1 SW0"},
                {111, "CYL2 SW7"},
                {112, "AUX VALVE1"},
                {143, "AUX VALVE32"},
                {144, "DIG IN1"},
                {205, "CYL1 RET RATE MUL,T"},
                {206, "CYL2 RET RATE MULT"},
                {213, "CYL1 PRESS ZERO OFFST"},
                {221, "AUX AD1"},
                {176, "INVALID"}};
  for (const auto &k : kNames) {
    block[4] = k.v;
    EXPECT_EQ(FieldText(hw, "Tarn Well Value", block), k.name) << int(k.v);
  }
  // Every named value reads back from its own name.
  for (const RecordIdEntry *e = list; e->name; ++e) {
    if (!*e->name) continue;
    uint8_t parsed[8] = {};
    char error[256] = "";
    ASSERT_EQ(structs_FieldFromText(hw, "Tarn Well Value", e->name, parsed, error, sizeof error), 0) << e->name;
    EXPECT_EQ(parsed[4], e->value) << e->name;
  }
}

TEST_F(TnwllExTest, UnknownNamesAreRefused) {
  const RecordType *hw = HwType();
  uint8_t block[8] = {1, 0, 0, 0, 7, 0, 0, 0};
  char error[256] = "";
  for (const char *bad : {"NOT A VALUE", "cyl1 pos", "CYL1 POS ", "SPARE DUAL ERROR1", "AUX AD33"}) {
    EXPECT_EQ(structs_FieldFromText(hw, "Tarn Well Value", bad, block, error, sizeof error), -1) << bad;
    EXPECT_EQ(std::string(error), std::string("invalid value \"") + bad + "\"");
    EXPECT_EQ(block[4], 7) << "the value stays";
  }
}
