// The ChannelRecord's two layouts reached by field name, its flag bits and
// its split texts, the display sizes and the shortened export names.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "framework/config/chan_types.h"
#include "record/record.h"
#include "tests/framework/config/cfg_test_util.h"

namespace {

ChannelRecord Zero() {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  return r;
}

void SetByName(const RecordType *layout, ChannelRecord *r, const char *name, const char *text) {
  char ebuf[256] = "";
  ASSERT_EQ(structs_FieldFromText(layout, name, text, r, ebuf, sizeof ebuf), 0) << name << ": " << ebuf;
}

std::string TextOf(const RecordType *layout, const ChannelRecord *r, const char *name) {
  char *t = structs_FieldToText(layout, name, r, TYPED_MEM_TEMP);
  std::string s = t ? t : "<null>";
  if (t) typed_mem_Release(TYPED_MEM_TEMP, t);
  return s;
}

// The bytes that differ from an all-zero record, as "offset:value" pairs.
std::string Changed(const ChannelRecord &r) {
  std::string out;
  for (int i = 0; i < 216; ++i)
    if (r.raw[i]) out += std::to_string(i) + ":" + std::to_string(r.raw[i]) + " ";
  return out;
}

std::string Bytes(std::initializer_list<std::pair<int, int>> list) {
  std::string out;
  for (auto [at, v] : list) out += std::to_string(at) + ":" + std::to_string(v) + " ";
  return out;
}

std::string Text(const char *s, int at) {
  std::string out;
  for (int i = 0; s[i]; ++i) out += std::to_string(at + i) + ":" + std::to_string(static_cast<unsigned char>(s[i])) + " ";
  return out;
}

}  // namespace

TEST(ChannelLayout, FlagBitsLandOnTheirBytes) {
  struct Case {
    const char *name;
    int byte, mask;
    uint16_t word;  // the scan cycle's mask of the same flag
  };
  const Case analogue[] = {
      {"LowAlarmDriveCommon", 28, 0x80, CHAN_AW_LOW_ALARM_DRIVE_COMMON},
      {"LowAlarmDeadbandEnable", 28, 0x40, CHAN_AW_LOW_ALARM_DEADBAND_ENABLE},
      {"LowAlarmEnable", 28, 0x20, CHAN_AW_LOW_ALARM_ENABLE},
      {"HighAlarmDriveCommon", 28, 0x10, CHAN_AW_HIGH_ALARM_DRIVE_COMMON},
      {"HighAlarmDeadbandEnable", 28, 0x08, CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE},
      {"HighAlarmEnable", 28, 0x04, CHAN_AW_HIGH_ALARM_ENABLE},
      {"EventEnable", 28, 0x02, CHAN_AW_EVENT_ENABLE},
      {"Enable", 28, 0x01, CHAN_AW_ENABLE},
      {"ErrorAlarmDriveCommon", 29, 0x40, CHAN_AW_ERROR_ALARM_DRIVE_COMMON},
      {"ErrorAlarmEnable", 29, 0x20, CHAN_AW_ERROR_ALARM_ENABLE},
      {"LowWarningEnable", 29, 0x10, CHAN_AW_LOW_WARNING_ENABLE},
      {"HighWarningEnable", 29, 0x08, CHAN_AW_HIGH_WARNING_ENABLE},
      {"ScalingEnable", 29, 0x04, CHAN_AW_SCALING_ENABLE},
      {"ReferenceEnable", 29, 0x02, CHAN_AW_REFERENCE_ENABLE},
      {"SigChangeEnable", 29, 0x01, CHAN_AW_SIG_CHANGE_ENABLE},
  };
  const Case digital[] = {
      {"ErrorAlarmDriveCommon", 28, 0x80, CHAN_DW_ERROR_ALARM_DRIVE_COMMON},
      {"ErrorAlarmEnable", 28, 0x40, CHAN_DW_ERROR_ALARM_ENABLE},
      {"AlarmState", 28, 0x20, CHAN_DW_ALARM_STATE},
      {"EventState", 28, 0x10, CHAN_DW_EVENT_STATE},
      {"AlarmEnable", 28, 0x08, CHAN_DW_ALARM_ENABLE},
      {"EventEnable", 28, 0x04, CHAN_DW_EVENT_ENABLE},
      {"AlarmDriveCommon", 28, 0x02, CHAN_DW_ALARM_DRIVE_COMMON},
      {"Enable", 28, 0x01, CHAN_DW_ENABLE},
  };
  for (int layoutType : {IO_AI, IO_DI}) {
    const RecordType *layout = chan_LayoutType(layoutType, nullptr);
    bool d = layoutType == IO_DI;
    for (const Case &c : d ? std::vector<Case>(std::begin(digital), std::end(digital))
                           : std::vector<Case>(std::begin(analogue), std::end(analogue))) {
      ChannelRecord r = Zero();
      bool states = strcmp(c.name, "AlarmState") == 0 || strcmp(c.name, "EventState") == 0;
      SetByName(layout, &r, c.name, states ? "High" : "On");
      EXPECT_EQ(Changed(r), Bytes({{c.byte, c.mask}})) << c.name;
      EXPECT_EQ(chan_FlagWord(&r), c.word) << c.name;
      EXPECT_EQ(TextOf(layout, &r, c.name), states ? "High" : "On") << c.name;
      SetByName(layout, &r, c.name, states ? "Low" : "Off");
      EXPECT_EQ(Changed(r), "") << c.name;
    }
  }
}

TEST(ChannelLayout, AnalogueFieldsLandOnTheirBytes) {
  const RecordType *layout = chan_LayoutType(IO_AI, nullptr);
  struct Case {
    const char *name, *text;
    std::string bytes;
  };
  // 2.5f is 00 00 20 40; 300 is 2C 01.
  const Case cases[] = {
      {"Tag", "ABCDEFGHIJKLMNO", Text("ABCDEFGH", 0) + Text("IJKL", 138) + Text("MNO", 158)},
      {"Description", "0123456789abcdefGHIJKLMNOPQRSTUV", Text("0123456789abcdef", 8) + Text("GHIJKLMNOPQRSTUV", 142)},
      {"Type", "CI", Bytes({{24, 4}})},
      {"ErrorAlarmPriority", "7", Bytes({{165, 7}})},
      {"ErrorAlarmDelay", "300", Bytes({{166, 0x2C}, {167, 1}})},
      {"Units", "mlPerMin", Text("mlPe", 32) + Text("rMin", 161)},
      {"Gain", "2.5", Bytes({{38, 0x20}, {39, 0x40}})},
      {"Offset", "2.5", Bytes({{42, 0x20}, {43, 0x40}})},
      {"HighEventLimit", "2.5", Bytes({{46, 0x20}, {47, 0x40}})},
      {"LowEventLimit", "2.5", Bytes({{50, 0x20}, {51, 0x40}})},
      {"HighAlarmLimit", "2.5", Bytes({{54, 0x20}, {55, 0x40}})},
      {"HighAlarmDeadband", "2.5", Bytes({{58, 0x20}, {59, 0x40}})},
      {"LowAlarmLimit", "2.5", Bytes({{62, 0x20}, {63, 0x40}})},
      {"LowAlarmDeadband", "2.5", Bytes({{66, 0x20}, {67, 0x40}})},
      {"SigChangeValue", "2.5", Bytes({{70, 0x20}, {71, 0x40}})},
      {"HighAlarmPriority", "3", Bytes({{72, 3}})},
      {"LowAlarmPriority", "4", Bytes({{73, 4}})},
      {"HighAlarmText", "hi", Text("hi", 74)},
      {"LowAlarmText", "lo", Text("lo", 106)},
      {"MaximumUnits", "2.5", Bytes({{170, 0x20}, {171, 0x40}})},
      {"MinimumUnits", "2.5", Bytes({{174, 0x20}, {175, 0x40}})},
      {"HighWarningLimit", "2.5", Bytes({{178, 0x20}, {179, 0x40}})},
      {"LowWarningLimit", "2.5", Bytes({{182, 0x20}, {183, 0x40}})},
      {"HighAlarmDelay", "300", Bytes({{184, 0x2C}, {185, 1}})},
      {"LowAlarmDelay", "300", Bytes({{186, 0x2C}, {187, 1}})},
      {"Analogue", "0102030405060708090a0b0c0d0e0f10",
       Bytes({{188, 1}, {189, 2}, {190, 3}, {191, 4}, {192, 5}, {193, 6}, {194, 7}, {195, 8}, {196, 9}, {197, 10},
              {198, 11}, {199, 12}, {200, 13}, {201, 14}, {202, 15}, {203, 16}})},
  };
  for (const Case &c : cases) {
    ChannelRecord r = Zero();
    SetByName(layout, &r, c.name, c.text);
    EXPECT_EQ(Changed(r), c.bytes) << c.name;
  }
}

TEST(ChannelLayout, DigitalFieldsLandOnTheirBytes) {
  const RecordType *layout = chan_LayoutType(IO_DI, nullptr);
  struct Case {
    const char *name, *text;
    std::string bytes;
  };
  const Case cases[] = {
      {"Tag", "ABCDEFGHIJ", Text("ABCDEFGH", 0) + Text("IJ", 138)},
      {"Type", "DO", Bytes({{24, 3}})},
      {"HighStateText", "open", Text("open", 32)},
      {"LowStateText", "shut", Text("shut", 64)},
      {"AlarmPriority", "9", Bytes({{96, 9}})},
      {"AlarmText", "alarm", Text("alarm", 97)},
      {"ErrorAlarmPriority", "5", Bytes({{186, 5}})},
      {"ErrorAlarmDelay", "300", Bytes({{188, 0x2C}, {189, 1}})},
      {"AlarmDelay", "300", Bytes({{190, 0x2C}, {191, 1}})},
      {"Digital", "01000000000000000000000000000000000000000000000f", Bytes({{192, 1}, {215, 15}})},
  };
  for (const Case &c : cases) {
    ChannelRecord r = Zero();
    SetByName(layout, &r, c.name, c.text);
    EXPECT_EQ(Changed(r), c.bytes) << c.name;
  }
}

TEST(ChannelLayout, FieldOrderOfBothLayouts) {
  const char *const analogue[] = {
      "Enable", "Tag", "Description", "Type", "ErrorAlarmEnable", "ErrorAlarmDriveCommon", "ErrorAlarmPriority",
      "ErrorAlarmDelay", "EventEnable", "LowEventLimit", "HighEventLimit", "Units", "MinimumUnits", "MaximumUnits",
      "ReferenceEnable", "SigChangeEnable", "SigChangeValue", "ScalingEnable", "Gain", "Offset", "LowAlarmEnable",
      "LowAlarmDriveCommon", "LowAlarmLimit", "LowWarningEnable", "LowWarningLimit", "LowAlarmDeadbandEnable",
      "LowAlarmDeadband", "LowAlarmPriority", "LowAlarmDelay", "LowAlarmText", "HighAlarmEnable",
      "HighAlarmDriveCommon", "HighAlarmLimit", "HighWarningEnable", "HighWarningLimit", "HighAlarmDeadbandEnable",
      "HighAlarmDeadband", "HighAlarmPriority", "HighAlarmDelay", "HighAlarmText", "Analogue"};
  const char *const digital[] = {"Enable", "Tag", "Description", "Type", "ErrorAlarmEnable", "ErrorAlarmDriveCommon",
                                 "ErrorAlarmPriority", "ErrorAlarmDelay", "EventEnable", "EventState", "LowStateText",
                                 "HighStateText", "AlarmEnable", "AlarmState", "AlarmDriveCommon", "AlarmPriority",
                                 "AlarmDelay", "AlarmText", "Digital"};
  for (int t : {IO_AI, IO_DO}) {
    ChannelRecord r = Zero();
    char **names = nullptr;
    int n = structs_ListFieldNames(chan_LayoutType(t, nullptr), &r, &names, TYPED_MEM_TEMP);
    std::vector<std::string> got(names, names + (n > 0 ? n : 0)), want;
    if (t == IO_AI)
      want.assign(std::begin(analogue), std::end(analogue));
    else
      want.assign(std::begin(digital), std::end(digital));
    EXPECT_EQ(got, want);
    for (int i = 0; i < n; ++i) typed_mem_Release(TYPED_MEM_TEMP, names[i]);
    typed_mem_Release(TYPED_MEM_TEMP, names);
  }
}

TEST(ChannelLayout, TextFormsAndTheirRefusals) {
  const RecordType *a = chan_LayoutType(IO_AI, nullptr);
  ChannelRecord r = Zero();
  char ebuf[256] = "";
  // Flag words are exact.
  EXPECT_EQ(structs_FieldFromText(a, "Enable", "on", &r, ebuf, sizeof ebuf), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_STREQ(ebuf, "invalid value \"on\"");
  EXPECT_EQ(structs_FieldFromText(chan_LayoutType(IO_DI, nullptr), "AlarmState", "On", &r, ebuf, sizeof ebuf), -1);
  EXPECT_EQ(Changed(r), "");
  EXPECT_EQ(structs_FieldFromText(a, "Type", "ai", &r, ebuf, sizeof ebuf), -1);
  // A full 32-character text has no terminator and prints whole; a longer one is cut.
  std::string full(32, 'x');
  SetByName(a, &r, "HighAlarmText", (full + "yyyy").c_str());
  EXPECT_EQ(r.raw[106], 0);
  EXPECT_EQ(TextOf(a, &r, "HighAlarmText"), full);
  SetByName(a, &r, "HighAlarmText", "ab");
  EXPECT_EQ(TextOf(a, &r, "HighAlarmText"), "ab");
  EXPECT_EQ(r.raw[76], 0);
  // Split texts print joined and cut at their size.
  chan_SetTag(&r, "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(TextOf(a, &r, "Tag"), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(TextOf(a, &r, "Type"), "AI");
  r.raw[24] = 9;
  EXPECT_EQ(TextOf(a, &r, "Type"), "INVALID");
}

TEST(ChannelLayout, HardwareFieldTakesTheExtensionTypeWhenItFits) {
  static const RecordField fields[] = {{"Pump", &UInt32Type, 4, 0}, {"Value", &UInt32Type, 4, 4}, STRUCTS_FIELD_END};
  static const RecordType hw = structs_MakeStructureType(8, fields);
  static const RecordType tooBig = structs_MakeFixedDataType(17);
  ChannelRecord r = Zero();
  const RecordType *a = chan_LayoutType(IO_AI, &hw);
  SetByName(a, &r, "Analogue.Value", "18");
  EXPECT_EQ(Changed(r), Bytes({{192, 18}}));
  const RecordType *d = chan_LayoutType(IO_DI, &hw);
  SetByName(d, &r, "Digital.Pump", "3");
  EXPECT_EQ(r.raw[192], 3);
  // A block type larger than the record's block is not trusted with it.
  a = chan_LayoutType(IO_AI, &tooBig);
  void *at = &r;
  EXPECT_EQ(structs_LocateField(a, "Analogue", &at, 0), ext_DefaultChannelHwType(0));
}

// The provider serves its connections on the callers' threads and matches
// tags read from records: a text one thread reads stays its own while others read.
TEST(ChannelTexts, EachThreadReadsItsOwnTexts) {
  std::vector<int> wrong(4, 0);
  std::atomic<int> waiting{4};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &wrong, &waiting] {
      ChannelRecord r = Zero();
      const std::string tag = "TAG" + std::to_string(t) + "ABCDEFGHIJ", units = "U" + std::to_string(t);
      chan_SetTag(&r, tag.c_str());
      chan_SetUnits(&r, units.c_str());
      // All at once, so the reads overlap.
      for (--waiting; waiting > 0;) {
      }
      for (int i = 0; i < 200000; ++i) {
        const char *got = chan_GetTag(&r);
        if (tag != got) ++wrong[static_cast<size_t>(t)];
        if (units != chan_GetUnits(&r)) ++wrong[static_cast<size_t>(t)];
      }
    });
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(ChannelTexts, PiecesJoinSplitAndClear) {
  ChannelRecord r = Zero();
  chan_SetTag(&r, "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(r.raw), 8), "ABCDEFGH");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(r.raw + 138), 4), "IJKL");
  EXPECT_EQ(std::string(reinterpret_cast<char *>(r.raw + 158), 3), "MNO");
  EXPECT_STREQ(chan_GetTag(&r), "ABCDEFGHIJKLMNO");
  chan_SetTag(&r, "SHORT");
  EXPECT_STREQ(chan_GetTag(&r), "SHORT");
  EXPECT_EQ(Changed(r), Text("SHORT", 0));

  chan_SetDescription(&r, "a description of thirty chars!");
  EXPECT_STREQ(chan_GetDescription(&r), "a description of thirty chars!");
  chan_SetDescription(&r, "five!");
  EXPECT_STREQ(chan_GetDescription(&r), "five!");
  for (int i = 142; i < 158; ++i) EXPECT_EQ(r.raw[i], 0) << i;

  chan_SetUnits(&r, "abcdefghij");
  EXPECT_STREQ(chan_GetUnits(&r), "abcdefgh");
  chan_SetUnits(&r, "bar");
  EXPECT_STREQ(chan_GetUnits(&r), "bar");
  EXPECT_EQ(r.raw[161], 0);
}

TEST(ChannelTexts, KindDisplayNames) {
  const char *const names[] = {"ANALOG INPUTS",  "DIGITAL INPUTS", "ANALOG OUTPUTS", "DIGITAL OUTPUTS",
                               "COUNTER INPUTS", "DIAGNOSTICS",    "DIAGNOSTICS"};
  for (int k = 0; k < 7; ++k) EXPECT_STREQ(chan_KindDisplayName(k), names[k]) << k;
  EXPECT_STREQ(chan_KindDisplayName(7), "");
  EXPECT_STREQ(chan_KindDisplayName(-1), "");
}

TEST(ChannelTexts, DisplaySizesFromTheUserThenTheMachine) {
  using cfgtest::DeleteValue;
  using cfgtest::SetDword;
  for (const char *n : {"TagSize", "DescSize", "UnitsSize"}) {
    DeleteValue(OS_HKEY_CURRENT_USER, n);
    DeleteValue(OS_HKEY_LOCAL_MACHINE, n);
  }
  EXPECT_EQ(chan_TagSizeSetting(), 15);
  EXPECT_EQ(chan_DescSizeSetting(), 32);
  EXPECT_EQ(chan_UnitsSizeSetting(), 8);
  SetDword(OS_HKEY_CURRENT_USER, "TagSize", 0);
  SetDword(OS_HKEY_LOCAL_MACHINE, "TagSize", 10);
  EXPECT_EQ(chan_TagSizeSetting(), 15) << "the user's 0 gives the maximum";
  DeleteValue(OS_HKEY_CURRENT_USER, "TagSize");
  EXPECT_EQ(chan_TagSizeSetting(), 10);
  SetDword(OS_HKEY_CURRENT_USER, "DescSize", 40);
  EXPECT_EQ(chan_DescSizeSetting(), 32);
  SetDword(OS_HKEY_LOCAL_MACHINE, "UnitsSize", 5);
  EXPECT_EQ(chan_UnitsSizeSetting(), 5);
}

TEST(ChannelTexts, ShortenedAndExportNames) {
  const std::string sixty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz01234567";
  struct Case {
    const char *processor;
    std::string name, want;
  } cases[] = {
      {"RESUB1", "SHORT_NAME", "SHORT_NAME"},
      {"LOGGER", sixty, sixty.substr(0, 47)},
      {"resub", "A_B" + sixty, ("A_B" + sixty).substr(0, 47)},
      {"ReSub2", "P1_XYZ_LONGPARTNAME12345_Q", "XY_LONGPARTNAME" + std::string(32, ' ')},
      {"resub", "a_bb_ccc_dddd_eeeee_fgh", "bb_ccc         _dddd_eeeee_f"},
      {"resub", "a_bb_ccc_dddd_eeeee_", "bb_ccc         _dddd_eeeee"},
      {"resub", "a_b_c_d_e_f_g_h_i_j", "b_c            _d_e_f"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(chan_ShortenName(c.processor, c.name.c_str()), c.want) << c.name;
    EXPECT_EQ(chan_ExportTagName(c.processor, c.name.c_str()), "EXP " + c.want.substr(0, 43)) << c.name;
  }
}
