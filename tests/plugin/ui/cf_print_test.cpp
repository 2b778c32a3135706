// The configuration print-out as a host calls it, on a printer context that
// records each line drawn: the header, both tables, page breaks and ranges.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "plugin/cf_exports.h"
#include "plugin/dbstores/db_utils.h"
#include "platform/ui/ui_print.h"
#include "plugin/ui/cf_print.h"
#include "tests/plugin/ui/cf_test_host.h"
#include "tests/support/test_root.h"

namespace {

struct Plugin {
  void *lib = nullptr;
  CfPrintConfig print = nullptr;
  CfPrintAllConfig printAll = nullptr;
  Plugin() {
    lib = dlopen(TNWLL_CF_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
    print = reinterpret_cast<CfPrintConfig>(dlsym(lib, "PrintConfig"));
    printAll = reinterpret_cast<CfPrintAllConfig>(dlsym(lib, "PrintAllConfig"));
  }
};
Plugin &ThePlugin() {
  static Plugin p;
  return p;
}

void PutFloat(ChannelRecord *r, size_t at, float v) { memcpy(r->raw + at, &v, 4); }

ChannelRecord Analogue(uint8_t type, bool enabled, const char *tag) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  r.raw[CHAN_TYPE_OFFSET] = type;
  chan_SetFlagBit(&r, CHAN_FLAG_ENABLE, enabled);
  chan_SetTag(&r, tag);
  return r;
}

ChannelRecord Digital(uint8_t type, bool enabled, const char *tag) {
  ChannelRecord r = Analogue(type, enabled, tag);
  return r;
}

HostDeviceRecord Device(const char *name) {
  HostDeviceRecord d;
  memset(&d, 0, sizeof d);
  memcpy(d.name, name, strnlen(name, sizeof d.name));
  memcpy(d.folder, "PUMPS1", 6);
  return d;
}

void SetType(HostDeviceRecord *d, int type, const char *code, uint16_t count) {
  memcpy(d->types[type].code, code, 2);
  d->types[type].count = count;
}

class CfPrint : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(ThePlugin().lib, nullptr) << dlerror();
    cftest::ResetHost(".", 1);
  }
  // Every print return leaves the wait cursor off.
  void TearDown() override {
    EXPECT_GT(cftest::TheHost().waitBegun, 0);
    EXPECT_EQ(cftest::TheHost().waitBegun, cftest::TheHost().waitEnded);
  }
};

TEST(CfPrintValues, ValueFormat) {
  const struct {
    float value;
    const char *text;
  } cases[] = {
      {123456.789f, "123456.8"}, {0.5f, "0.500000"},     {12345678.0f, "12345678"}, {123456789.0f, "1.23e+08"},
      {-0.5f, "-0.50000"},       {2.5f, "2.500000"},     {-1e20f, "-1.0e+20"},        {0.0f, "0.000000"},
      {NAN, "     nan"},         {INFINITY, "     inf"}, {1e-9f, "0.000000"},
  };
  for (const auto &c : cases) {
    EXPECT_STREQ(prn_ValueFormat(c.value), c.text) << c.value;
    EXPECT_LE(strlen(prn_ValueFormat(c.value)), 8u);
  }
}

TEST(CfPrintValues, SplitMilliseconds) {
  const struct {
    int64_t ms;
    int minutes, seconds, milliseconds;
  } cases[] = {{61234, 1, 1, 234}, {6001234, 99, 1, 234}, {90500, 1, 30, 500}, {0, 0, 0, 0},
               {5999999, 99, 59, 999}, {-5, 0, 0, 0}, {INT64_C(1) << 40, 99, 47, 776}};
  for (const auto &c : cases) {
    TmSplit s = tm_SplitMilliseconds(c.ms);
    EXPECT_EQ(s.minutes, c.minutes) << c.ms;
    EXPECT_EQ(s.seconds, c.seconds) << c.ms;
    EXPECT_EQ(s.milliseconds, c.milliseconds) << c.ms;
  }
}

TEST_F(CfPrint, HeaderAndAnalogueLines) {
  HostDeviceRecord d = Device("PUMPHOUSE");
  SetType(&d, IO_AI, "AI", 2);
  std::vector<ChannelRecord> ai = {Analogue(IO_AI, true, "PT101"), Analogue(IO_AI, false, "OFF")};
  ChannelRecord &c = ai[0];
  chan_SetUnits(&c, "BAR");
  chan_SetDescription(&c, "CYL1 PRESS");
  for (int bit : {CHAN_AF_EVENT_ENABLE, CHAN_AF_LOW_ALARM_ENABLE, CHAN_AF_LOW_ALARM_DEADBAND_ENABLE,
                  CHAN_AF_LOW_WARNING_ENABLE, CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_SIG_CHANGE_ENABLE})
    chan_SetFlagBit(&c, bit, true);
  PutFloat(&c, offsetof(ChannelAnalogue, LowEventLimit), 1.0f);
  PutFloat(&c, offsetof(ChannelAnalogue, HighEventLimit), 200.0f);
  PutFloat(&c, offsetof(ChannelAnalogue, LowAlarmLimit), 10.0f);
  PutFloat(&c, offsetof(ChannelAnalogue, LowAlarmDeadband), 12.5f);
  PutFloat(&c, offsetof(ChannelAnalogue, LowWarningLimit), 20.0f);
  PutFloat(&c, offsetof(ChannelAnalogue, HighAlarmLimit), 123456.789f);
  PutFloat(&c, offsetof(ChannelAnalogue, SigChangeValue), 0.5f);
  c.a.LowAlarmPriority = 3;
  c.a.LowAlarmDelay = 15;
  memcpy(c.a.LowAlarmText, "LOW PRESSURE", 12);
  c.a.HighAlarmPriority = 250;
  c.a.HighAlarmDelay = 9999;
  memset(c.a.HighAlarmText, 'H', sizeof c.a.HighAlarmText);  // unterminated: cut at its field
  DeviceConfig config;
  memset(&config, 0, sizeof config);
  config.ScanRate = 6001234;
  ChannelRecord *types[IO_TYPE_COUNT] = {ai.data(), nullptr, nullptr, nullptr, nullptr};
  cftest::Recorder rec;
  EXPECT_EQ(ThePlugin().printAll(&rec.dc, "SCADA1", &d, 1, 1, 0, 90500, &config, types), 0);
  std::string name1 = std::string("AI1     [Y] ") + "PT101" + std::string(10, ' ') + "      " + "BAR     " + "   ";
  std::string lowPart = " Y " + std::string("1.000000") + " Y " + "N " + "10.00000 " + "Y " + "20.00000 " + "Y " +
                        "2.500000 " + "3   15   " + "LOW PRESSURE" + std::string(20, ' ');
  std::string line1 = name1 + lowPart + " [Y]     ";
  std::string line2 = "            " + std::string("CYL1 PRESS") + std::string(22, ' ') + "   " + "200.0000" + " Y " +
                      "N " + "123456.8 " + "N " + std::string(9, ' ') + "N " + std::string(9, ' ') + "250 9999 " +
                      std::string(32, 'H') + " 0.500000";
  const std::vector<std::string> expected = {
      "        SERVER NAME    [SCADA1]",
      "        DEVICE NAME    [PUMPHOUSE]",
      "        STATUS         [ENABLED ]",
      "        AUTOSAVE       [Y]                    BY TAG  [N]       SAVE RATE 01(min) 30(sec) 500(ms)",
      "        SCAN RATE 99(min) 01(sec) 234(ms)",
      "CHAN    ENB TAG                  UNITS        EVENT CHCK ALARM CHECKING LOW/HIGH" + std::string(53, ' ') +
          " SIG CHNG",
      "            DESCRIPTION                       ON LOW/HIG O C LIMIT    W LIMIT    H LIMIT    PRI DLY  "
      "MESSAGE" + std::string(25, ' ') + " ON/VALUE",
      line1,
      line2,
  };
  EXPECT_EQ(rec.Texts(), expected);
  // Lines sit at 2 x the horizontal offset, one text height apart; blank lines count.
  EXPECT_EQ(rec.pages[0][0].x, 2 * rec.offsetX);
  EXPECT_EQ(rec.LineAt(0, 1), expected[0]);
  EXPECT_EQ(rec.LineAt(0, 7), expected[4]);
  EXPECT_EQ(rec.LineAt(0, 9), expected[5]);
  EXPECT_EQ(rec.LineAt(0, 12), expected[7]);
  // The table's last page is ended, none started after it.
  EXPECT_EQ(rec.ends, 1);
  EXPECT_EQ(rec.starts, 0);
}

TEST_F(CfPrint, DigitalLines) {
  HostDeviceRecord d = Device("P");
  SetType(&d, IO_DO, "DO", 1);
  ChannelRecord c = Digital(IO_DO, true, "XV7");
  chan_SetDescription(&c, "FILL VALVE");
  memcpy(c.d.LowStateText, "CLOSED", 6);
  memset(c.d.HighStateText, 'O', sizeof c.d.HighStateText);
  memcpy(c.d.AlarmText, "VALVE OPEN", 10);
  c.d.AlarmPriority = 5;
  uint16_t delay = 30;
  memcpy(c.raw + offsetof(ChannelDigital, AlarmDelay), &delay, 2);
  for (int bit : {CHAN_DF_EVENT_ENABLE, CHAN_DF_EVENT_STATE, CHAN_DF_ALARM_ENABLE, CHAN_DF_ALARM_DRIVE_COMMON})
    chan_SetFlagBit(&c, bit, true);
  cftest::Recorder rec;
  EXPECT_EQ(ThePlugin().print(&rec.dc, "S", &d, IO_DO, 0, 0, 0, &c), 1);
  std::vector<std::string> t = rec.Texts();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0], "CHAN    ENB TAG                               LOW STAT                          EVENT  ALARM  "
                  "COM ALM ALM  ALARM");
  EXPECT_EQ(t[2], "DO1     [Y] XV7" + std::string(12, ' ') + " " + std::string(20, ' ') + " CLOSED" +
                      std::string(26, ' ') + " [HIGH] [LOW ] [Y] 5   30   VALVE OPEN" + std::string(22, ' '));
  EXPECT_EQ(t[3], "            FILL VALVE" + std::string(22, ' ') + "  " + std::string(32, 'O'));
  // Event and alarm off.
  chan_SetFlagBit(&c, CHAN_DF_EVENT_ENABLE, false);
  chan_SetFlagBit(&c, CHAN_DF_ALARM_ENABLE, false);
  cftest::Recorder rec2;
  EXPECT_EQ(ThePlugin().print(&rec2.dc, "S", &d, IO_DO, 1, 1, 0, &c), 1);
  ASSERT_EQ(rec2.Texts().size(), 4u);
  EXPECT_NE(rec2.Texts()[2].find(" [DISB] [DISB] "), std::string::npos) << rec2.Texts()[2];
}

// Line feeds and form feeds inside a record's texts, the type code or the
// names print as blanks: they must not add lines or pages.
TEST_F(CfPrint, ControlBytesInTextsPrintAsBlanks) {
  HostDeviceRecord d = Device("P\nQ");
  SetType(&d, IO_DI, "D\f", 1);
  ChannelRecord c = Digital(IO_DI, true, "A\nB\fC");
  chan_SetDescription(&c, "\n\n\f\x7f");
  memcpy(c.d.LowStateText, "L\nW", 3);
  memcpy(c.d.HighStateText, "\fH", 2);
  memcpy(c.d.AlarmText, "\r\n", 2);
  chan_SetFlagBit(&c, CHAN_DF_ALARM_ENABLE, true);
  ChannelRecord *types[IO_TYPE_COUNT] = {};
  types[IO_DI] = &c;
  DeviceConfig config;
  memset(&config, 0, sizeof config);
  cftest::Recorder rec;
  EXPECT_EQ(ThePlugin().printAll(&rec.dc, "S\fT", &d, 1, 0, 0, 0, &config, types), 1);
  std::vector<std::string> t = rec.Texts();
  ASSERT_EQ(t.size(), 9u);
  EXPECT_EQ(t[0], "        SERVER NAME    [S T]");
  EXPECT_EQ(t[1], "        DEVICE NAME    [P Q]");
  EXPECT_EQ(t[7].rfind("D 1     [Y] A B C" + std::string(10, ' ') + " " + std::string(20, ' ') + " L W ", 0), 0u)
      << t[7];
  EXPECT_EQ(t[8], std::string(47, ' ') + "H" + std::string(30, ' '));
  EXPECT_EQ(rec.ends, 1);
}

TEST_F(CfPrint, AllDisabledIsOneLine) {
  HostDeviceRecord d = Device("P");
  SetType(&d, IO_AI, "AI", 40);
  SetType(&d, IO_DI, "DI", 3);
  std::vector<ChannelRecord> ai(40, Analogue(IO_AI, false, "X"));
  std::vector<ChannelRecord> di(3, Digital(IO_DI, false, "Y"));
  di[1] = Analogue(IO_AI, true, "WRONGKIND");  // enabled but analogue: not a digital channel
  cftest::Recorder rec;
  EXPECT_EQ(ThePlugin().print(&rec.dc, "S", &d, IO_AI, 0, 0, 0, ai.data()), 0);
  EXPECT_EQ(rec.Texts(), std::vector<std::string>{"CHANNELS AI1 - AI40 DISABLED"});
  cftest::Recorder rec2;
  EXPECT_EQ(ThePlugin().print(&rec2.dc, "S", &d, IO_DI, 2, 3, 0, di.data()), 2);
  EXPECT_EQ(rec2.Texts(), std::vector<std::string>{"CHANNELS DI2 - DI3 DISABLED"});
  EXPECT_EQ(rec.ends + rec2.ends, 0);
}

// 20 lines a page ((230 - 6 x 5) / 10); headings take 3 lines, channels 2.
// The analogue table breaks once the line passes the page, the digital one
// when it reaches it; each page opens with the headings.
TEST_F(CfPrint, PageBreaks) {
  const struct {
    int type;
    const char *code;
    std::vector<int> perPage;
  } cases[] = {{IO_AO, "AO", {9, 3}}, {IO_DI, "DI", {8, 4}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.code);
    HostDeviceRecord d = Device("P");
    SetType(&d, c.type, c.code, 12);
    std::vector<ChannelRecord> recs(12, (c.type & 1) ? Digital(static_cast<uint8_t>(c.type), true, "T")
                                                     : Analogue(static_cast<uint8_t>(c.type), true, "T"));
    cftest::Recorder rec;
    ASSERT_GE(ThePlugin().print(&rec.dc, "S", &d, static_cast<uint8_t>(c.type), 0, 0, 0, recs.data()), 0);
    ASSERT_EQ(rec.pages.size(), c.perPage.size());
    EXPECT_EQ(rec.starts, 1);
    EXPECT_EQ(rec.ends, 2);
    for (size_t p = 0; p < rec.pages.size(); ++p) {
      EXPECT_EQ(rec.LineAt(p, 1).substr(0, 12), "CHAN    ENB ");
      EXPECT_EQ(rec.pages[p].size(), 2 + 2 * static_cast<size_t>(c.perPage[p]));
    }
    std::string next = rec.LineAt(1, 4);
    EXPECT_EQ(next.substr(0, next.find(' ')), std::string(c.code) + std::to_string(c.perPage[0] + 1));
  }
}

// Each print-out starts at line 1 of the page the host opened, however the
// last one ended.
TEST_F(CfPrint, EachPrintOutStartsAtTheTop) {
  HostDeviceRecord d = Device("P");
  SetType(&d, IO_AI, "AI", 3);
  std::vector<ChannelRecord> recs(3, Analogue(IO_AI, true, "T"));
  cftest::Recorder first;
  ASSERT_EQ(ThePlugin().print(&first.dc, "S", &d, IO_AI, 0, 0, 0, recs.data()), 0);
  EXPECT_EQ(first.ends, 1);
  recs[0] = Analogue(IO_AI, false, "T");
  recs[1] = Analogue(IO_AI, false, "T");
  recs[2] = Analogue(IO_AI, false, "T");
  cftest::Recorder second;
  ASSERT_EQ(ThePlugin().print(&second.dc, "S", &d, IO_AI, 0, 0, 0, recs.data()), 0);
  EXPECT_EQ(second.starts, 0);
  EXPECT_EQ(second.LineAt(0, 1), "CHANNELS AI1 - AI3 DISABLED");
}

TEST_F(CfPrint, RangesAndTypes) {
  HostDeviceRecord d = Device("P");
  SetType(&d, IO_AI, "AI", 4);
  std::vector<ChannelRecord> recs(4, Analogue(IO_AI, true, "T"));
  for (int i = 0; i < 4; ++i) chan_SetTag(&recs[static_cast<size_t>(i)], ("TAG" + std::to_string(i + 1)).c_str());
  const struct {
    int type, first, last, result;
    std::vector<std::string> names;  // channels printed
  } cases[] = {
      {IO_AI, 0, 0, 0, {"AI1", "AI2", "AI3", "AI4"}},
      {IO_AI, 2, 3, 0, {"AI2", "AI3"}},
      {IO_AI, 4, 0, 0, {"AI4"}},
      {IO_AI, 3, 2, -1, {}},
      {IO_AI, 1, 5, -1, {}},
      {IO_AI, -1, 2, -1, {}},
      {IO_DI, 0, 0, -1, {}},  // no channels of the type
      {5, 0, 0, -1, {}},
      {255, 1, 1, -1, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.first) + ".." + std::to_string(c.last));
    cftest::Recorder rec;
    EXPECT_EQ(ThePlugin().print(&rec.dc, "S", &d, static_cast<uint8_t>(c.type), c.first, c.last, 0, recs.data()),
              c.result);
    std::vector<std::string> names;
    for (const std::string &t : rec.Texts())
      if (t.rfind("AI", 0) == 0) names.push_back(t.substr(0, t.find(' ')));
    EXPECT_EQ(names, c.names);
    if (c.result < 0) {
      EXPECT_TRUE(rec.Texts().empty());
    }
  }
}

TEST_F(CfPrint, FailuresEndThePrintOut) {
  HostDeviceRecord d = Device("P");
  SetType(&d, IO_AI, "AI", 2);
  SetType(&d, IO_DI, "DI", 2);
  std::vector<ChannelRecord> ai(2, Analogue(IO_AI, true, "T")), di(2, Digital(IO_DI, true, "D"));
  ChannelRecord *types[IO_TYPE_COUNT] = {ai.data(), di.data(), nullptr, nullptr, nullptr};
  DeviceConfig config;
  memset(&config, 0, sizeof config);
  cftest::Recorder rec;
  rec.failEndAt = 1;
  EXPECT_EQ(ThePlugin().printAll(&rec.dc, "S", &d, 0, 0, 0, 0, &config, types), -1);
  // A type marked present with no channels.
  SetType(&d, IO_CI, "CI", 0);
  cftest::Recorder rec2;
  EXPECT_EQ(ThePlugin().printAll(&rec2.dc, "S", &d, 0, 0, 0, 0, &config, types), -1);
  // Nothing to print on: no context.
  EXPECT_EQ(ThePlugin().print(nullptr, "S", nullptr, IO_AI, 0, 0, 0, ai.data()), -1);
}

// Records of any bytes: texts are read within their fields, long server
// names are cut at the line bound.
TEST_F(CfPrint, AnyBytes) {
  HostDeviceRecord d;
  memset(&d, 'N', sizeof d);
  for (int t = 0; t < IO_TYPE_COUNT; ++t) d.types[t].count = 3;
  std::vector<ChannelRecord> recs(3);
  for (auto &r : recs) memset(&r, 0xFF, sizeof r);
  for (auto &r : recs) r.raw[CHAN_TYPE_OFFSET] = 0;
  std::vector<ChannelRecord> digital = recs;
  for (auto &r : digital) r.raw[CHAN_TYPE_OFFSET] = 1;
  ChannelRecord *types[IO_TYPE_COUNT] = {recs.data(), digital.data(), recs.data(), digital.data(), recs.data()};
  DeviceConfig config;
  memset(&config, 0xFF, sizeof config);
  std::string server(5000, 'S');
  cftest::Recorder rec;
  EXPECT_GE(ThePlugin().printAll(&rec.dc, server.c_str(), &d, 1, 1, 1, -1, &config, types), 0);
  std::vector<std::string> t = rec.Texts();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t[0].rfind("        SERVER NAME    [SSSS", 0), 0u);
  EXPECT_EQ(t[0].back(), ']');
  EXPECT_EQ(t[1], "        DEVICE NAME    [" + std::string(CF_DEVICE_NAME_SIZE, 'N') + "]");
  bool nan = false;
  for (const std::string &line : t) {
    EXPECT_LE(line.size(), static_cast<size_t>(PRN_LINE_MAX));
    nan = nan || line.find("nan") != std::string::npos;
  }
  EXPECT_TRUE(nan);
}

// The text of a PDF, columns as drawn (the font advances 4.2 points), the
// page's indent and trailing blanks removed, blank lines dropped, "<page>"
// between pages.
std::vector<std::string> PdfLines(const std::string &pdf) {
  std::string cmd = "pdftotext -layout -fixed 4.2 '" + pdf + "' -";
  std::string text;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return {};
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  pclose(p);
  std::vector<std::string> raw;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      raw.push_back(line);
      line.clear();
    } else if (c == '\f') {
      raw.push_back("<page>");
    } else {
      line += c;
    }
  }
  size_t indent = std::string::npos;
  for (const std::string &l : raw)
    if (l != "<page>" && l.find_first_not_of(' ') != std::string::npos)
      indent = std::min(indent, l.find_first_not_of(' '));
  std::vector<std::string> out;
  for (std::string l : raw) {
    while (!l.empty() && l.back() == ' ') l.pop_back();
    if (l.empty()) continue;
    out.push_back(l == "<page>" ? l : l.substr(std::min(indent, l.size())));
  }
  while (!out.empty() && out.back() == "<page>") out.pop_back();
  return out;
}

std::vector<std::string> FixtureLines(const char *name) {
  std::ifstream in(std::string(CF_FIXTURES) + "/" + name);
  std::vector<std::string> lines;
  std::string l;
  while (std::getline(in, l)) lines.push_back(l);
  return lines;
}

TEST_F(CfPrint, PdfAgainstFixture) {
  HostDeviceRecord d = Device("PUMPHOUSE 1");
  SetType(&d, IO_AI, "AI", 40);
  SetType(&d, IO_DI, "DI", 2);
  SetType(&d, IO_AO, "AO", 1);
  std::vector<ChannelRecord> ai(40, Analogue(IO_AI, false, "AIX"));
  std::vector<ChannelRecord> di = {Digital(IO_DI, true, "RUN1"), Digital(IO_DI, false, "RUN2")};
  chan_SetDescription(&di[0], "CYL1 RUNNING");
  memcpy(di[0].d.LowStateText, "STOPPED", 7);
  memcpy(di[0].d.HighStateText, "RUNNING", 7);
  chan_SetFlagBit(&di[0], CHAN_DF_EVENT_ENABLE, true);
  chan_SetFlagBit(&di[0], CHAN_DF_EVENT_STATE, true);
  std::vector<ChannelRecord> ao = {Analogue(IO_AO, true, "SP1")};
  chan_SetUnits(&ao[0], "BAR");
  chan_SetDescription(&ao[0], "CYL1 SET PRESS");
  for (int bit : {CHAN_AF_LOW_ALARM_ENABLE, CHAN_AF_LOW_ALARM_DEADBAND_ENABLE, CHAN_AF_HIGH_ALARM_ENABLE,
                  CHAN_AF_HIGH_ALARM_DRIVE_COMMON})
    chan_SetFlagBit(&ao[0], bit, true);
  PutFloat(&ao[0], offsetof(ChannelAnalogue, LowAlarmLimit), 10.0f);
  PutFloat(&ao[0], offsetof(ChannelAnalogue, LowAlarmDeadband), 12.5f);
  PutFloat(&ao[0], offsetof(ChannelAnalogue, HighAlarmLimit), 123456789.0f);
  ao[0].a.LowAlarmPriority = 2;
  memcpy(ao[0].a.LowAlarmText, "SET POINT LOW", 13);
  DeviceConfig config;
  memset(&config, 0, sizeof config);
  config.ScanRate = 1500;
  ChannelRecord *types[IO_TYPE_COUNT] = {ai.data(), di.data(), ao.data(), nullptr, nullptr};
  std::string pdf = tnwtest::MakeTempDir("cfpdf") + "/config.pdf";
  UiPrintOptions o = ui_A4Landscape();
  OsDc *dc = ui_CreatePdfDc(pdf.c_str(), &o);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(ThePlugin().printAll(dc, "SCADA1", &d, 1, 1, 1, 90500, &config, types), 0);
  ASSERT_EQ(ui_ClosePdfDc(dc), 0);
  std::vector<std::string> expected = FixtureLines("print_all.txt");
  ASSERT_FALSE(expected.empty());
  std::vector<std::string> got = PdfLines(pdf);
  EXPECT_EQ(got, expected);
  if (got != expected)
    for (const std::string &l : got) printf("|%s|\n", l.c_str());
}

}  // namespace

namespace {

// The routines the exports do not call, used directly: they print what the
// tables and the header print, byte for byte.
TEST(CfPrintRoutines, HeadingsAndDescriptionLinesAsTheTablesPrintThem) {
  HostDeviceRecord d = Device("P");
  SetType(&d, IO_AI, "AI", 1);
  SetType(&d, IO_DI, "DI", 1);
  ChannelRecord ai = Analogue(IO_AI, true, "PT1"), di = Digital(IO_DI, true, "XV1");
  chan_SetDescription(&ai, "CYL1 PRESS");
  for (int bit : {CHAN_AF_EVENT_ENABLE, CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE})
    chan_SetFlagBit(&ai, bit, true);
  PutFloat(&ai, offsetof(ChannelAnalogue, HighEventLimit), 200.0f);
  PutFloat(&ai, offsetof(ChannelAnalogue, HighAlarmLimit), 50.0f);
  PutFloat(&ai, offsetof(ChannelAnalogue, HighAlarmDeadband), 2.5f);
  ai.a.HighAlarmPriority = 7;
  chan_SetDescription(&di, "FILL VALVE");
  memcpy(di.d.HighStateText, "OPEN", 4);
  cftest::Recorder tables;
  prn_Begin(&tables.dc);
  ASSERT_EQ(prn_PrintAnalogTable(&d.types[IO_AI], 1, 1, &ai), 0);
  ASSERT_EQ(prn_PrintDigitalTable(&d.types[IO_DI], 1, 1, &di), 1);
  std::vector<std::string> t = tables.Texts();
  ASSERT_EQ(t.size(), 8u);

  cftest::Recorder parts;
  prn_Begin(&parts.dc);
  EXPECT_EQ(prn_PrintAnalogHeading(), 1);
  EXPECT_EQ(prn_PrintDescriptionLine(&ai), 1);
  EXPECT_EQ(prn_PrintDigitalHeading(), 1);
  EXPECT_EQ(prn_PrintDescriptionLine(&di), 1);
  EXPECT_EQ(prn_PrintDescriptionLine(nullptr), -1);
  const std::vector<std::string> expected = {
      "CHAN    ENB TAG                  UNITS        EVENT CHCK ALARM CHECKING LOW/HIGH" + std::string(53, ' ') +
          " SIG CHNG",
      "            DESCRIPTION                       ON LOW/HIG O C LIMIT    W LIMIT    H LIMIT    PRI DLY  "
      "MESSAGE" + std::string(25, ' ') + " ON/VALUE",
      "            CYL1 PRESS" + std::string(22, ' ') + "   200.0000 Y N 50.00000 N " + std::string(9, ' ') +
          "Y 47.50000 7   0    " + std::string(32, ' ') + std::string(9, ' '),
      "CHAN    ENB TAG                               LOW STAT                          EVENT  ALARM  COM ALM ALM  "
      "ALARM",
      "            DESCRIPTION                       HIG STAT                          STATE  STATE  ALM PRI DLY  "
      "MESSAGE",
      "            FILL VALVE" + std::string(22, ' ') + "  OPEN" + std::string(28, ' '),
  };
  EXPECT_EQ(parts.Texts(), expected);
  EXPECT_EQ(expected, (std::vector<std::string>{t[0], t[1], t[3], t[4], t[5], t[7]}));
  // Headings end in a blank line: the first channel sits two lines lower.
  EXPECT_EQ(parts.LineAt(0, 4), expected[2]);
}

TEST(CfPrintRoutines, HeaderAsThePrintOutPrintsIt) {
  HostDeviceRecord d = Device("PUMPHOUSE");
  DeviceConfig config;
  memset(&config, 0, sizeof config);
  config.ScanRate = 1500;
  struct Case {
    uint8_t autoEnable, saveOutputs;
    std::string status, save;
  } cases[] = {
      {1, 1, "        STATUS         [ENABLED ]",
       "        AUTOSAVE       [Y]                    BY TAG  [Y]       SAVE RATE 01(min) 30(sec) 500(ms)"},
      {0, 0, "        STATUS         [DISABLED]", "        AUTOSAVE       [N]"},
  };
  for (const Case &c : cases) {
    cftest::Recorder rec;
    prn_Begin(&rec.dc);
    EXPECT_EQ(prn_PrintHeader("SCADA1", &d, c.autoEnable, c.saveOutputs, 1, 90500, &config), 1);
    const std::vector<std::string> expected = {"        SERVER NAME    [SCADA1]", "        DEVICE NAME    [PUMPHOUSE]",
                                               c.status, c.save, "        SCAN RATE 00(min) 01(sec) 500(ms)"};
    EXPECT_EQ(rec.Texts(), expected);
    EXPECT_EQ(rec.LineAt(0, 7), expected[4]);  // after the three line feeds
    EXPECT_EQ(prn_CurrentLine(), 9);  // where the first table heading goes
  }
  cftest::Recorder rec;
  prn_Begin(&rec.dc);
  EXPECT_EQ(prn_PrintHeader("S", &d, 1, 0, 0, 0, nullptr), -1);
  EXPECT_EQ(prn_PrintHeader("S", nullptr, 1, 0, 0, 0, &config), -1);
  EXPECT_TRUE(rec.Texts().empty());
}

// Setting the context moves the drawing, not the line or a half-built line.
TEST(CfPrintRoutines, ContextLineAndPageSize) {
  cftest::Recorder a, b;
  b.height = 530;
  prn_Begin(&a.dc);
  EXPECT_EQ(prn_GetPrintContext(), &a.dc);
  EXPECT_EQ(prn_LinesPerPage(), (230 - 6 * 5) / 10);
  EXPECT_EQ(prn_PrintLine("one\nhalf "), 1);
  EXPECT_EQ(prn_CurrentLine(), 2);
  prn_SetPrintContext(&b.dc);
  EXPECT_EQ(prn_GetPrintContext(), &b.dc);
  EXPECT_EQ(prn_CurrentLine(), 2);
  EXPECT_EQ(prn_LinesPerPage(), (530 - 6 * 5) / 10);
  EXPECT_EQ(prn_PrintLine("two\n"), 1);
  EXPECT_EQ(a.Texts(), std::vector<std::string>{"one"});
  EXPECT_EQ(b.LineAt(0, 2), "half two");
  EXPECT_EQ(b.Texts().size(), 1u);
}

TEST(CfPrintRoutines, BlanksToStandardOutput) {
  for (int count : {0, 1, 7, 300, -4}) {
    testing::internal::CaptureStdout();
    int n = prn_WriteBlanks(count);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(n, count > 0 ? count : 0) << count;
    EXPECT_EQ(out, std::string(count > 0 ? size_t(count) : 0, ' ')) << count;
  }
}

}  // namespace
