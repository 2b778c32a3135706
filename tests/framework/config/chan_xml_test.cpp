// The XML copies of the channel files and their schemas, driven by a
// stand-in extension library that supports XML (xmltn_ex).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/cfg_history.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_text.h"
#include "framework/shm/shm_tables.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "platform/os_eventlog.h"
#include "tests/framework/config/cfg_test_util.h"

namespace {

using cfgtest::Folders;

void Word(ChannelRecord *r, int at, uint32_t v) { memcpy(r->raw + at, &v, 4); }

// Analogue inputs bound to pump values 18.. (scanner value indexes), with most
// settings in use.
ChannelRecord Analogue(int i) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  r.raw[24] = IO_AI;
  for (int bit : {CHAN_AF_ENABLE, CHAN_AF_SCALING_ENABLE, CHAN_AF_EVENT_ENABLE, CHAN_AF_HIGH_ALARM_ENABLE,
                  CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_LOW_ALARM_DEADBAND_ENABLE})
    chan_SetFlagBit(&r, bit, true);
  if (i % 2) chan_SetFlagBit(&r, CHAN_AF_LOW_ALARM_ENABLE, true);
  chan_SetTag(&r, ("P1.CYL" + std::to_string(i) + ".POSITION").c_str());
  chan_SetDescription(&r, "cylinder position, percent of stroke");
  chan_SetUnits(&r, "percent");
  r.a.Gain = 0.1f * static_cast<float>(i + 1);
  r.a.Offset = -1.25f;
  r.a.LowEventLimit = 5, r.a.HighEventLimit = 95;
  r.a.HighAlarmLimit = 90, r.a.HighWarningLimit = 80, r.a.HighAlarmPriority = 3, r.a.HighAlarmDelay = 1500;
  r.a.LowAlarmDeadband = 12.5f;
  chan_PutText32(&r, 74, "TOO FAR OUT");
  Word(&r, 188, 1 + i % 2);
  Word(&r, 192, 18 + static_cast<uint32_t>(i));
  return r;
}

ChannelRecord Digital(int i) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  r.raw[24] = IO_DI;
  for (int bit : {CHAN_DF_ENABLE, CHAN_DF_ALARM_ENABLE, CHAN_DF_ALARM_STATE}) chan_SetFlagBit(&r, bit, true);
  chan_SetTag(&r, ("P2.DI" + std::to_string(i)).c_str());
  chan_PutText32(&r, 32, "ON");
  chan_PutText32(&r, 64, "OFF");
  chan_PutText32(&r, 97, "LIMIT REACHED");
  r.d.AlarmPriority = 2, r.d.AlarmDelay = 300;
  Word(&r, 192, 2);
  Word(&r, 196, 1 + static_cast<uint32_t>(i));
  return r;
}

template <typename F>
std::vector<ChannelRecord> Table(int n, F make) {
  std::vector<ChannelRecord> t;
  for (int i = 0; i < n; ++i) t.push_back(make(i));
  return t;
}

std::string Ids(const std::string &xml) {
  std::string out;
  for (size_t at = xml.find("<Channel id=\""); at != std::string::npos; at = xml.find("<Channel id=\"", at + 1)) {
    size_t s = at + 13;
    out += xml.substr(s, xml.find('"', s) - s) + " ";
  }
  return out;
}

int64_t MTimeNs(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec : 0;
}

class ChannelXml : public ::testing::Test {
 protected:
  void SetUp() override {
    cfgtest::UseTestLibraries();
    cfgtest::XmlSwitches("ON", "BOTH");
    cfg_SetHistoryEnabled(0);
    config = cfgtest::ConfigFolder("CHX");
    dev = cfgtest::DeviceFolder(config, "xmltn_1");
    ASSERT_TRUE(cfgtest::Write(config.linux + "/config", std::string(2, '\0')));
    ASSERT_EQ(std::system("xmllint --version >/dev/null 2>&1"), 0) << "xmllint (libxml2-utils) is needed";
  }
  void TearDown() override { cfg_ForgetHistorySwitch(); }

  std::string Xml(const char *kind) const { return cfgtest::Read(dev.linux + "/" + kind + ".xml"); }
  std::string Schema(const char *kind) const { return config.linux + "/SCHEMA/xmltn_" + kind + ".xsd"; }
  std::string Valid(const char *kind) const { return cfgtest::XmllintOutput(Schema(kind), dev.linux + "/" + kind + ".xml"); }
  // Reads from the XML file alone: the binary file is moved away.
  int ReadXmlOnly(int kind, ChannelRecord *r, int first, int count) {
    std::filesystem::remove(dev.linux + "/" + chan_KindShortName(kind));
    return chan_ReadChannels(dev.win.c_str(), kind, r, first, count, nullptr, 0, nullptr);
  }
  // A channel file of the given text; then reads `count` AI channels from 0.
  int ReadText(const std::string &xml, ChannelRecord *r, int count, const char *kind = "ai") {
    cfgtest::Write(dev.linux + "/" + kind + ".xml",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Channels xmlns=\"urn:x\">" + xml + "</Channels>\n");
    return chan_ReadChannels(dev.win.c_str(), strcmp(kind, "ai") == 0 ? IO_AI : IO_DI, r, 0, count,
                             nullptr, 0, nullptr);
  }
  Folders config, dev;
};

}  // namespace

TEST_F(ChannelXml, WrittenFilesValidateAndReadBackToTheSameRecords) {
  std::vector<ChannelRecord> ai = Table(4, Analogue), di = Table(5, Digital);
  ASSERT_EQ(chan_RewriteChannels("tester", dev.win.c_str(), IO_AI, ai.data(), 0, 4, nullptr, 0, nullptr), 0);
  ASSERT_EQ(chan_RewriteChannels("tester", dev.win.c_str(), IO_DI, di.data(), 0, 5, nullptr, 0, nullptr), 0);
  EXPECT_EQ(Valid("ai"), "0: " + dev.linux + "/ai.xml validates\n");
  EXPECT_EQ(Valid("di"), "0: " + dev.linux + "/di.xml validates\n");
  std::string xml = Xml("ai");
  EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--Created Automatically by Kestrune.-->\n"
                      "<Channels xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                      "xmlns=\"" CHAN_XML_NAMESPACE_BASE "/xmltn_ai\" xsi:schemaLocation=\"" CHAN_XML_NAMESPACE_BASE
                      "/xmltn_ai ../SCHEMA/xmltn_ai.xsd\">\n\t<Channel id=\"1\">\n\t\t<Enable>On</Enable>\n",
                      0),
            0u)
      << xml.substr(0, 400);
  // Exported analogue values name the pump value; the binary file keeps the index.
  EXPECT_NE(xml.find("<Analogue.Value>CYL1 POS</Analogue.Value>"), std::string::npos);
  EXPECT_NE(xml.find("<Tag>P1.CYL0.POSITIO</Tag>"), std::string::npos);
  EXPECT_NE(Xml("di").find("<Digital.Value>STATUS</Digital.Value>"), std::string::npos);

  std::vector<ChannelRecord> back(4);
  ASSERT_EQ(ReadXmlOnly(IO_AI, back.data(), 0, 4), 0) << xml_GetErrorText();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(memcmp(&back[i], &ai[i], 216), 0) << "AI " << i;
  back.resize(5);
  ASSERT_EQ(ReadXmlOnly(IO_DI, back.data(), 0, 5), 0) << xml_GetErrorText();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(memcmp(&back[i], &di[i], 216), 0) << "DI " << i;
}

TEST_F(ChannelXml, TheSchemaRefusesWhatItShould) {
  std::vector<ChannelRecord> ai = Table(3, Analogue);
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, ai.data(), 0, 3, nullptr, 0, nullptr), 0);
  std::string good = Xml("ai");
  struct Case {
    const char *what, *from;
    std::string to;
  } cases[] = {
      {"a flag word", "<Enable>On</Enable>", "<Enable>Yes</Enable>"},
      {"a tag too long", "<Tag>P1.CYL0.POSITIO</Tag>", "<Tag>P1.CYL0.POSITION</Tag>"},
      {"a pump value", "<Analogue.Value>CYL1 POS</Analogue.Value>", "<Analogue.Value>CYL9 POS</Analogue.Value>"},
      {"a missing field", "<Gain>0.1000000014901161</Gain>", ""},
      {"a fourth channel", "</Channels>", "<Channel id=\"4\"></Channel></Channels>"},
  };
  for (const Case &c : cases) {
    std::string bad = good;
    size_t at = bad.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.what;
    bad.replace(at, strlen(c.from), c.to);
    cfgtest::Write(dev.linux + "/ai.xml", bad);
    EXPECT_NE(cfgtest::Xmllint(Schema("ai"), dev.linux + "/ai.xml"), 0) << c.what;
  }
}

TEST_F(ChannelXml, APartialUpdateKeepsTheOtherChannelsAndItsSchemaStillAdmitsThem) {
  std::vector<ChannelRecord> ai = Table(10, Analogue);
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, ai.data(), 0, 10, nullptr, 0, nullptr), 0);
  ai[4].a.Gain = 42.0f;
  chan_SetTag(&ai[5], "RENAMED");
  ASSERT_EQ(chan_WriteChannels(nullptr, dev.win.c_str(), IO_AI, &ai[4], 4, 2, nullptr, 0, nullptr), 0);
  EXPECT_EQ(Ids(Xml("ai")), "1 2 3 4 5 6 7 8 9 10 ");
  EXPECT_EQ(Valid("ai"), "0: " + dev.linux + "/ai.xml validates\n");
  std::vector<ChannelRecord> back(10);
  ASSERT_EQ(ReadXmlOnly(IO_AI, back.data(), 0, 10), 0) << xml_GetErrorText();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(memcmp(&back[i], &ai[i], 216), 0) << i;
}

TEST_F(ChannelXml, AnUpdateCreatesChannelsNotYetInTheFileInTheirPlace) {
  std::vector<ChannelRecord> ai = Table(7, Analogue);
  const std::string valid = "0: " + dev.linux + "/ai.xml validates\n";
  ASSERT_EQ(chan_WriteChannels(nullptr, dev.win.c_str(), IO_AI, ai.data(), 0, 3, nullptr, 0, nullptr), 0);
  EXPECT_EQ(Valid("ai"), valid);
  // One channel more than the schema was written for: the schema follows.
  ASSERT_EQ(chan_WriteChannels(nullptr, dev.win.c_str(), IO_AI, &ai[6], 6, 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(Ids(Xml("ai")), "1 2 3 7 ");
  EXPECT_EQ(Valid("ai"), valid);
  ASSERT_EQ(chan_WriteChannels(nullptr, dev.win.c_str(), IO_AI, &ai[3], 3, 3, nullptr, 0, nullptr), 0);
  EXPECT_EQ(Ids(Xml("ai")), "1 2 3 4 5 6 7 ");
  EXPECT_EQ(Valid("ai"), valid);
  // A one-channel change of a channel the file holds leaves the schema alone.
  std::filesystem::remove(Schema("ai"));
  ai[2].a.Gain = 7.0f;
  ASSERT_EQ(chan_WriteChannels(nullptr, dev.win.c_str(), IO_AI, &ai[2], 2, 1, nullptr, 0, nullptr), 0);
  EXPECT_FALSE(std::filesystem::exists(Schema("ai")));
  std::vector<ChannelRecord> back(7);
  ASSERT_EQ(ReadXmlOnly(IO_AI, back.data(), 0, 7), 0) << xml_GetErrorText();
  for (int i = 0; i < 7; ++i) EXPECT_EQ(memcmp(&back[i], &ai[i], 216), 0) << i;
}

TEST_F(ChannelXml, AFileThatDoesNotLoadIsNeverReplaced) {
  const std::string broken = "<Channels><Channel id=\"1\">";
  cfgtest::Write(dev.linux + "/ai.xml", broken);
  ChannelRecord r = Analogue(0);
  EXPECT_EQ(chan_WriteChannels(nullptr, dev.win.c_str(), IO_AI, &r, 3, 1, nullptr, 0, nullptr), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_XML_PARSE_ERROR));
  EXPECT_EQ(os_GetLastError(), OS_ERROR_XML_PARSE_ERROR);
  EXPECT_EQ(Xml("ai"), broken);
  EXPECT_NE(std::string(xml_GetErrorText()).find("Xml Load Failed ("), std::string::npos) << xml_GetErrorText();
  // A fresh write (no update) builds the file anew.
  EXPECT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, &r, 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(Ids(Xml("ai")), "1 ");
}

TEST_F(ChannelXml, OnlyMultiChannelWritesWriteTheSchema) {
  std::vector<ChannelRecord> ai = Table(2, Analogue);
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, ai.data(), 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_FALSE(std::filesystem::exists(Schema("ai")));
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, ai.data(), 0, 2, nullptr, 0, nullptr), 0);
  EXPECT_TRUE(std::filesystem::exists(Schema("ai")));
  std::string xsd = cfgtest::Read(Schema("ai"));
  EXPECT_NE(xsd.find("elementFormDefault=\"qualified\""), std::string::npos);
  EXPECT_NE(xsd.find("<xs:group ref=\"xmltn_ai:Channel_a\"/>"), std::string::npos);
  EXPECT_NE(xsd.find("<xs:sequence minOccurs=\"1\" maxOccurs=\"2\">"), std::string::npos);
}

TEST_F(ChannelXml, XmlOnlyWritesNoBinaryFileAndSignalsAfterTheXmlFiles) {
  cfgtest::XmlSwitches("ON", "XML");
  const std::string server = config.linux + "/config";
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, server.c_str(), old, 0), 0);
  std::vector<ChannelRecord> ai = Table(3, Analogue), di = Table(4, Digital);
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, ai.data(), 0, 3, nullptr, 0, nullptr), 0);
  EXPECT_FALSE(std::filesystem::exists(dev.linux + "/ai"));
  EXPECT_GE(MTimeNs(server), MTimeNs(dev.linux + "/ai.xml"));
  EXPECT_GE(MTimeNs(server), MTimeNs(Schema("ai")));
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_DI, di.data(), 0, 4, nullptr, 0, nullptr), 0);
  EXPECT_EQ(Valid("ai"), "0: " + dev.linux + "/ai.xml validates\n");
  EXPECT_EQ(Valid("di"), "0: " + dev.linux + "/di.xml validates\n");
  std::vector<ChannelRecord> back(4);
  ASSERT_EQ(chan_ReadChannels(dev.win.c_str(), IO_AI, back.data(), 0, 3, nullptr, 0, nullptr), 0)
      << xml_GetErrorText();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(memcmp(&back[i], &ai[i], 216), 0) << "AI " << i;
  ASSERT_EQ(chan_ReadChannels(dev.win.c_str(), IO_DI, back.data(), 0, 4, nullptr, 0, nullptr), 0)
      << xml_GetErrorText();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(memcmp(&back[i], &di[i], 216), 0) << "DI " << i;
  cfgtest::XmlSwitches("ON", "BIN");
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AO, Table(2, Analogue).data(), 0, 2, nullptr, 0,
                                 nullptr), 0);
  EXPECT_TRUE(std::filesystem::exists(dev.linux + "/ao"));
  EXPECT_FALSE(std::filesystem::exists(dev.linux + "/ao.xml"));
}

TEST_F(ChannelXml, ReadFailuresCarryTheXmlText) {
  const std::string on = "<Enable>On</Enable><Tag>T</Tag><Description>D</Description><Type>AI</Type>"
                         "<ErrorAlarmEnable>Off</ErrorAlarmEnable>";
  const std::string rest = "<Units>u</Units><MaximumUnits>1</MaximumUnits><MinimumUnits>0</MinimumUnits>"
                           "<ReferenceEnable>Off</ReferenceEnable><SigChangeEnable>Off</SigChangeEnable>";
  struct Case {
    const char *what;
    std::string xml, error;
  } cases[] = {
      {"first channel missing", "<Channel id=\"2\"><Enable>Off</Enable></Channel>",
       "xmltn_1 - Channel id=1 Not Found"},
      {"scaling without gain",
       "<Channel id=\"1\">" + on + "<EventEnable>Off</EventEnable>" + rest +
           "<ScalingEnable>On</ScalingEnable><Offset>0</Offset></Channel>",
       "xmltn_1ai Channel #1 - <Gain> Required"},
      {"event limits reversed",
       "<Channel id=\"1\">" + on + "<EventEnable>On</EventEnable><LowEventLimit>10</LowEventLimit>"
           "<HighEventLimit>5</HighEventLimit></Channel>",
       "xmltn_1ai Channel #1 - LowEventLimiit > HighEventLimit"},
      {"flag word", "<Channel id=\"1\"><Enable>yes</Enable></Channel>",
       "xmltn_1ai Channel #1 -  <Enable> invalid value \"yes\""},
      {"unknown type reads as DO", "<Channel id=\"1\"><Enable>On</Enable><Type>XY</Type></Channel>",
       "xmltn_1do Channel #1 -  <Type> invalid value \"XY\""},
      {"no required tag", "<Channel id=\"1\"><Enable>On</Enable></Channel>", "xmltn_1ai Channel #1 - <Tag> Required"},
  };
  for (const Case &c : cases) {
    ChannelRecord r[1];
    memset(r, 0x77, sizeof r);
    EXPECT_EQ(ReadText(c.xml, r, 1), -1) << c.what;
    EXPECT_EQ(errno, static_cast<int>(OS_ERROR_XML_PARSE_ERROR)) << c.what;
    EXPECT_EQ(xml_GetErrorText(), c.error) << c.what;
    EXPECT_EQ(r[0].raw[0], 0x77) << c.what << ": a failed record is never stored";
  }
  // The failure reached the event log.
  char log[4096];
  ASSERT_EQ(os_EventLogPath(".", log, sizeof log), 0);
  EXPECT_NE(cfgtest::Read(log).find("xmltn_1ai Channel #1 - <Tag> Required"), std::string::npos);
}

TEST_F(ChannelXml, LenientReads) {
  ChannelRecord r[3];
  memset(r, 0x77, sizeof r);
  // A disabled channel needs its Enable alone; a later missing channel reads as zeros.
  ASSERT_EQ(ReadText("<Channel id=\"1\"><Enable>Off</Enable></Channel><Channel id=\"3\"><Enable>Off</Enable>"
                     "<Type>AO</Type></Channel>",
                     r, 3),
            0)
      << xml_GetErrorText();
  ChannelRecord zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&r[1], &zero, 216), 0);
  EXPECT_EQ(r[0].raw[24], IO_AI) << "no Type element: the file's kind";
  EXPECT_EQ(r[2].raw[24], IO_AO);
  ASSERT_EQ(ReadText("<Channel id=\"1\"><Enable>Off</Enable></Channel>", r, 1, "di"), 0) << xml_GetErrorText();
  EXPECT_EQ(r[0].raw[24], IO_DI);
}

TEST_F(ChannelXml, TheExtensionsValidationRefusesAChannel) {
  Folders checked = cfgtest::DeviceFolder(config, "xmlck_1");
  ChannelRecord r[2] = {Digital(0), Digital(1)};
  Word(&r[1], 192, 0);  // no pump
  ASSERT_EQ(chan_RewriteChannels(nullptr, checked.win.c_str(), IO_DI, r, 0, 2, nullptr, 0, nullptr), 0);
  std::filesystem::remove(checked.linux + "/di");
  ChannelRecord back[2];
  EXPECT_EQ(chan_ReadChannels(checked.win.c_str(), IO_DI, back, 0, 2, nullptr, 0, nullptr), -1);
  EXPECT_STREQ(xml_GetErrorText(), "xmlck_1di Channel #2 - <Pump> must name a pump");
  EXPECT_EQ(memcmp(&back[0], &r[0], 216), 0) << "the first channel was read";
}

TEST_F(ChannelXml, AnalogueFilesOfBothLayoutsValidateAgainstAChoiceOfLayouts) {
  Folders mixed = cfgtest::DeviceFolder(config, "mixtn_1");
  std::vector<ChannelRecord> r = {Analogue(0), Digital(1), Analogue(2), Digital(3)};
  ASSERT_EQ(chan_RewriteChannels(nullptr, mixed.win.c_str(), IO_AI, r.data(), 0, 4, nullptr, 0, nullptr), 0);
  const std::string schema = config.linux + "/SCHEMA/mixtn_ai.xsd", file = mixed.linux + "/ai.xml";
  std::string xsd = cfgtest::Read(schema);
  EXPECT_NE(xsd.find("<xs:group name=\"Channel_a\">"), std::string::npos) << xsd;
  EXPECT_NE(xsd.find("<xs:group name=\"Channel_d\">"), std::string::npos) << xsd;
  std::string flat;
  for (char ch : xsd)
    if (ch != '\n' && ch != '\t') flat += ch;
  EXPECT_NE(flat.find("<xs:choice><xs:group ref=\"mixtn_ai:Channel_a\"/><xs:group ref=\"mixtn_ai:Channel_d\"/>"
                      "</xs:choice>"),
            std::string::npos)
      << xsd;
  EXPECT_EQ(cfgtest::XmllintOutput(schema, file), "0: " + file + " validates\n");
  std::filesystem::remove(mixed.linux + "/ai");
  std::vector<ChannelRecord> back(4);
  ASSERT_EQ(chan_ReadChannels(mixed.win.c_str(), IO_AI, back.data(), 0, 4, nullptr, 0, nullptr), 0)
      << xml_GetErrorText();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(memcmp(&back[i], &r[i], 216), 0) << i;
  // Each channel holds one layout's fields: a sequence of both groups would
  // refuse every channel.
  for (const char *tag : {"xs:choice>", "/xs:choice>"})
    xsd.replace(xsd.find(std::string("<") + tag), strlen(tag) + 1,
                std::string("<") + (tag[0] == '/' ? "/xs:sequence>" : "xs:sequence>"));
  ASSERT_TRUE(cfgtest::Write(schema, xsd));
  EXPECT_NE(cfgtest::Xmllint(schema, file), 0);
}
