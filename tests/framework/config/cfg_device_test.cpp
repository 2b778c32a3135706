// The device files "config", "saveconfig" and "config.xml" with its schema,
// their change signal and their change history.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "extension/ex_types.h"
#include "framework/config/cfg_device.h"
#include "framework/config/cfg_history.h"
#include "framework/config/cfg_load.h"
#include "framework/config/chan_files.h"
#include "framework/xml/xml_error.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "tests/framework/config/cfg_test_util.h"

namespace {

using cfgtest::Folders;

DeviceConfig Config(uint32_t baud) {
  DeviceConfig c;
  memset(&c, 0, sizeof c);
  c.ScanRate = 500;
  c.BaudRate = baud;
  memcpy(c.ComPort, "COM4:", 5);
  c.Parity = EX_PARITY_MARK;
  c.DataBits = 7;
  return c;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> out;
  for (size_t at = 0, end; at < text.size(); at = end + 2) {
    end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
  }
  return out;
}

// The part of a history line after the date, time and user.
std::string Change(const std::string &line) {
  size_t t = 0;
  for (int i = 0; i < 3 && t != std::string::npos; ++i) t = line.find('\t', t + 1);
  return t == std::string::npos ? line : line.substr(t + 1);
}

void Age(const std::string &path) {
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}
int64_t MTimeNs(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec : 0;
}
time_t MTime(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : 0;
}

class DeviceFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    cfgtest::UseTestLibraries();
    cfgtest::XmlSwitches("ON", "BOTH");
    cfg_SetHistoryEnabled(0);
    config = cfgtest::ConfigFolder("DEV");
    ASSERT_TRUE(cfgtest::Write(config.linux + "/config", std::string(2, '\0')));
  }
  void TearDown() override {
    cfg_CloseHistory();
    cfg_ForgetHistorySwitch();
  }
  // Writes every setting.
  int WriteAll(const Folders &dev, const DeviceConfig &c, uint8_t autoEnable, uint8_t outputs, uint8_t byTag,
               int32_t rate) {
    return cfg_WriteDeviceConfig("tester", dev.win.c_str(), &c, sizeof c, nullptr, 0, nullptr, &autoEnable, &outputs,
                                 &byTag, &rate);
  }
  std::string History() const { return cfgtest::Read(config.linux + "/recent_history.txt"); }
  Folders config;
};

}  // namespace

TEST_F(DeviceFiles, BinaryFilesHoldTheSwitchesAndTheRecord) {
  Folders dev = cfgtest::DeviceFolder(config, "plain_1");
  DeviceConfig c = Config(9600);
  ASSERT_EQ(WriteAll(dev, c, 1, 1, 0, 60000), 0);
  std::string file = cfgtest::Read(dev.linux + "/config");
  ASSERT_EQ(file.size(), 1 + sizeof c);
  EXPECT_EQ(file[0], 1);
  EXPECT_EQ(memcmp(file.data() + 1, &c, sizeof c), 0);
  int32_t rate = 60000;
  EXPECT_EQ(cfgtest::Read(dev.linux + "/saveconfig"),
            std::string("\1\0", 2) + std::string(reinterpret_cast<char *>(&rate), 4));
  EXPECT_FALSE(std::filesystem::exists(dev.linux + "/config.xml")) << "no XML without Ex_DoXml";

  // Only the given switch changes.
  uint8_t off = 0;
  ASSERT_EQ(cfg_WriteDeviceConfig(nullptr, dev.win.c_str(), nullptr, 0, nullptr, 0, nullptr, &off, nullptr, nullptr,
                                  nullptr), 0);
  std::string after = cfgtest::Read(dev.linux + "/config");
  EXPECT_EQ(after[0], 0);
  EXPECT_EQ(after.substr(1), file.substr(1));

  DeviceConfig back;
  uint8_t ae = 9, so = 9, bt = 9;
  uint32_t r = 0;
  ASSERT_EQ(cfg_LoadConfigFiles(dev.win.c_str(), {.config = &back,
                                                .configSize = sizeof back,
                                                .autoEnable = &ae,
                                                .saveOutputs = &so,
                                                .saveByTag = &bt,
                                                .saveRate = &r}), 0);
  EXPECT_EQ(memcmp(&back, &c, sizeof c), 0);
  EXPECT_EQ(ae, 0);
  EXPECT_EQ(so, 1);
  EXPECT_EQ(bt, 0);
  EXPECT_EQ(r, 60000u);
}

TEST_F(DeviceFiles, AutoEnableHistoryOnlyWhenItChanged) {
  Folders dev = cfgtest::DeviceFolder(config, "plain_2");
  ASSERT_EQ(WriteAll(dev, Config(9600), 0, 0, 0, 0), 0);
  cfg_SetHistoryEnabled(1);
  uint8_t on = 1;
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(cfg_WriteDeviceConfig("tester", dev.win.c_str(), nullptr, 0, nullptr, 0, nullptr, &on, nullptr, nullptr,
                                    nullptr), 0);
  std::vector<std::string> lines = Lines(History());
  ASSERT_EQ(lines.size(), 1u) << History();
  EXPECT_EQ(Change(lines[0]), "plain_2.AutoEnable OFF -> ON");
  EXPECT_NE(lines[0].find("\ttester\t"), std::string::npos);
}

TEST_F(DeviceFiles, XmlFilesValidateAndReadBack) {
  Folders dev = cfgtest::DeviceFolder(config, "xmltn_1");
  DeviceConfig c = Config(19200);
  ASSERT_EQ(WriteAll(dev, c, 1, 1, 1, 30000), 0);
  const std::string schema = config.linux + "/SCHEMA/xmltn.xsd";
  EXPECT_EQ(cfgtest::XmllintOutput(schema, dev.linux + "/config.xml"), "0: " + dev.linux + "/config.xml validates\n");
  std::string xml = cfgtest::Read(dev.linux + "/config.xml");
  EXPECT_NE(xml.find("<Configs xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns=\"" CHAN_XML_NAMESPACE_BASE
                     "/xmltn\" xsi:schemaLocation=\"" CHAN_XML_NAMESPACE_BASE "/xmltn ../SCHEMA/xmltn.xsd\">"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<AutoEnable>On</AutoEnable>\n\t\t<SaveOutputs>On</SaveOutputs>\n\t\t<SaveByTag>On</SaveByTag>\n"
                     "\t\t<SaveRate>30000</SaveRate>\n\t\t<ScanRate>500</ScanRate>"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<Parity>Mark</Parity>"), std::string::npos);

  // Read from the XML form alone.
  std::filesystem::remove(dev.linux + "/config");
  std::filesystem::remove(dev.linux + "/saveconfig");
  DeviceConfig back;
  uint8_t ae = 0, so = 0, bt = 0;
  uint32_t r = 0;
  ASSERT_EQ(cfg_LoadConfigFiles(dev.win.c_str(), {.config = &back,
                                                .configSize = sizeof back,
                                                .autoEnable = &ae,
                                                .saveOutputs = &so,
                                                .saveByTag = &bt,
                                                .saveRate = &r}), 0)
      << xml_GetErrorText();
  EXPECT_EQ(memcmp(&back, &c, sizeof c), 0);
  EXPECT_EQ(ae + so + bt, 3);
  EXPECT_EQ(r, 30000u);
}

TEST_F(DeviceFiles, SwitchesAddedLaterKeepTheFileValid) {
  Folders dev = cfgtest::DeviceFolder(config, "xmltn_2");
  DeviceConfig c = Config(9600);
  ASSERT_TRUE(cfgtest::Write(dev.linux + "/saveconfig", std::string("\1\0\x10\x27\0\0", 6)));
  ASSERT_EQ(cfg_WriteDeviceConfigRecord(nullptr, dev.win.c_str(), &c, sizeof c, nullptr, 0, nullptr), 0);
  const std::string schema = config.linux + "/SCHEMA/xmltn.xsd", file = dev.linux + "/config.xml";
  EXPECT_EQ(cfgtest::XmllintOutput(schema, file), "0: " + file + " validates\n");
  // The reader needs every switch: a new file holds the stored ones.
  EXPECT_NE(cfgtest::Read(file).find("<AutoEnable>Off</AutoEnable>\n\t\t<SaveOutputs>On</SaveOutputs>\n\t\t"
                                     "<SaveByTag>Off</SaveByTag>\n\t\t<SaveRate>10000</SaveRate>\n\t\t<ScanRate>"),
            std::string::npos)
      << cfgtest::Read(file);
  {
    cfgtest::Cwd here(dev.linux);
    DeviceConfig back;
    ASSERT_EQ(cfg_LoadDeviceConfig(&back, sizeof back), 0) << xml_GetErrorText();
    EXPECT_EQ(back.BaudRate, 9600u);
  }
  // With history kept, the stored values read before the write come from the XML file.
  cfg_SetHistoryEnabled(1);
  c.BaudRate = 4800;
  ASSERT_EQ(cfg_WriteDeviceConfigRecord("tester", dev.win.c_str(), &c, sizeof c, nullptr, 0, nullptr), 0)
      << xml_GetErrorText();
  EXPECT_EQ(Change(Lines(History()).at(0)), "xmltn_2.BaudRate 9600 -> 4800");
  cfg_SetHistoryEnabled(0);
  uint8_t outputs = 1;
  int32_t rate = 1000;
  ASSERT_EQ(cfg_WriteDeviceConfig(nullptr, dev.win.c_str(), nullptr, 0, nullptr, 0, nullptr, nullptr, &outputs,
                                  &outputs, &rate),
            0);
  uint8_t on = 1;
  ASSERT_EQ(cfg_WriteDeviceConfig(nullptr, dev.win.c_str(), nullptr, 0, nullptr, 0, nullptr, &on, nullptr, nullptr,
                                  nullptr), 0);
  EXPECT_EQ(cfgtest::XmllintOutput(schema, file), "0: " + file + " validates\n");
  std::string xml = cfgtest::Read(file);
  EXPECT_LT(xml.find("<AutoEnable>"), xml.find("<SaveOutputs>"));
  EXPECT_LT(xml.find("<SaveRate>"), xml.find("<ScanRate>"));
}

TEST_F(DeviceFiles, XmlOnlyWritesNoBinaryFilesButStillSignals) {
  cfgtest::XmlSwitches("ON", "XML");
  Folders dev = cfgtest::DeviceFolder(config, "xmltn_3");
  Age(config.linux + "/config");
  DeviceConfig c = Config(38400);
  ASSERT_EQ(WriteAll(dev, c, 1, 0, 1, 250), 0);
  EXPECT_FALSE(std::filesystem::exists(dev.linux + "/config"));
  EXPECT_FALSE(std::filesystem::exists(dev.linux + "/saveconfig"));
  const std::string schema = config.linux + "/SCHEMA/xmltn.xsd", file = dev.linux + "/config.xml";
  EXPECT_EQ(cfgtest::XmllintOutput(schema, file), "0: " + file + " validates\n");
  // Signalled after every file was written.
  EXPECT_GE(MTimeNs(config.linux + "/config"), MTimeNs(file));
  EXPECT_GE(MTimeNs(config.linux + "/config"), MTimeNs(schema));
  DeviceConfig back;
  uint8_t ae = 9, so = 9, bt = 9;
  uint32_t r = 0;
  ASSERT_EQ(cfg_LoadConfigFiles(dev.win.c_str(), {.config = &back,
                                                .configSize = sizeof back,
                                                .autoEnable = &ae,
                                                .saveOutputs = &so,
                                                .saveByTag = &bt,
                                                .saveRate = &r}), 0)
      << xml_GetErrorText();
  EXPECT_EQ(memcmp(&back, &c, sizeof c), 0);
  EXPECT_EQ(ae, 1);
  EXPECT_EQ(so, 0);
  EXPECT_EQ(bt, 1);
  EXPECT_EQ(r, 250u);
}

TEST_F(DeviceFiles, AutoEnableOfAFolderWithoutConfigIsOff) {
  Folders dev = cfgtest::DeviceFolder(config, "plain_4");
  uint8_t ae = 9;
  ASSERT_EQ(cfg_LoadConfigFiles(dev.win.c_str(), {.autoEnable = &ae}), 0);
  EXPECT_EQ(ae, 0);
  EXPECT_EQ(cfgtest::Read(dev.linux + "/config"), "") << "created, nothing written";
  DeviceConfig c;
  EXPECT_EQ(cfg_LoadConfigFiles(dev.win.c_str(), {.config = &c, .configSize = sizeof c, .autoEnable = &ae}), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_HANDLE_EOF)) << "no record in it";
  // A first switch on gives its history line.
  Folders fresh = cfgtest::DeviceFolder(config, "plain_5");
  cfg_SetHistoryEnabled(1);
  uint8_t on = 1;
  ASSERT_EQ(cfg_WriteDeviceConfig("tester", fresh.win.c_str(), nullptr, 0, nullptr, 0, nullptr, &on, nullptr, nullptr,
                                  nullptr),
            0);
  EXPECT_EQ(Change(Lines(History()).at(0)), "plain_5.AutoEnable OFF -> ON");
  EXPECT_EQ(cfgtest::Read(fresh.linux + "/config"), "\1");
}

TEST_F(DeviceFiles, EachOperationLoadsTheLibraryOnce) {
  Folders dev = cfgtest::DeviceFolder(config, "xmltn_6");
  const std::string log = config.linux + "/load.log";
  DeviceConfig c = Config(9600);
  ChannelRecord r[3];
  memset(r, 0, sizeof r);
  for (ChannelRecord &one : r) one.raw[24] = IO_DI;
  uint8_t on = 1;
  int32_t rate = 100;
  const char *d = dev.win.c_str();
  ASSERT_EQ(WriteAll(dev, c, 1, 1, 1, rate), 0);
  ASSERT_EQ(chan_WriteChannels("u", d, IO_DI, r, 0, 3, nullptr, 0, nullptr), 0);
  // Changes, so that the writers read the stored values and keep history.
  cfg_SetHistoryEnabled(1);
  c.BaudRate = 1200;
  chan_SetFlagBit(&r[1], CHAN_DF_ENABLE, true);
  const struct {
    const char *what;
    std::function<int()> run;
  } kOps[] = {
      {"device write",
       [&] { return cfg_WriteDeviceConfig("u", d, &c, sizeof c, nullptr, 0, nullptr, &on, &on, &on, &rate); }},
      {"device XML", [&] { return cfg_WriteConfigXml("u", d, &c, sizeof c, nullptr, 0, &on, &on, &on, &rate); }},
      {"device schema", [&] { return xsd_WriteConfigSchema("u", d, &c, sizeof c, nullptr, 0); }},
      {"device read",
       [&] { return cfg_LoadConfigFiles(d, {.config = &c, .configSize = sizeof c, .autoEnable = &on}); }},
      {"channel write", [&] { return chan_WriteChannels("u", d, IO_DI, r, 0, 3, nullptr, 0, nullptr); }},
      {"channel XML", [&] { return chan_WriteChannelsXml("u", d, IO_DI, r, 0, 3, nullptr, 0, 1); }},
      {"channel schema", [&] { return xsd_WriteChannelSchema("u", d, IO_DI, r, 3); }},
      {"channel read", [&] { return chan_ReadChannels(d, IO_DI, r, 0, 3, nullptr, 0, nullptr); }},
  };
  setenv("CFG_TEST_LOG", log.c_str(), 1);
  for (const auto &op : kOps) {
    std::filesystem::remove(log);
    EXPECT_EQ(op.run(), 0) << op.what << ": " << xml_GetErrorText();
    EXPECT_EQ(cfgtest::Read(log), "load xmltn\nunload xmltn\n") << op.what;
  }
  unsetenv("CFG_TEST_LOG");
  EXPECT_NE(History().find("xmltn_6.BaudRate 9600 -> 1200"), std::string::npos) << History();
  EXPECT_NE(History().find("xmltn_6.Channels.2.Enable Off -> On"), std::string::npos) << History();
}

TEST_F(DeviceFiles, TheCurrentConfigFolderNeverGetsXml) {
  cfgtest::XmlSwitches("ON", "XML");
  Folders dev = cfgtest::DeviceFolder(config, "CURRENT_CONFIG");
  ASSERT_EQ(WriteAll(dev, Config(9600), 1, 0, 0, 0), 0);
  EXPECT_TRUE(std::filesystem::exists(dev.linux + "/config"));
  EXPECT_FALSE(std::filesystem::exists(dev.linux + "/config.xml"));
  const struct {
    const char *path;
    int want;
  } cases[] = {{"C:\\A\\CURRENT_CONFIG", 0}, {"C:\\A\\current_config\\", 0}, {"/x/Current_Config", 0},
               {"C:\\A\\MY_CURRENT_CONFIG", 1}, {"C:\\A\\CURRENT_CONFIG\\tnwll_1", 1}, {"CURRENT_CONFIG", 1}};
  for (const auto &c : cases) EXPECT_EQ(cfg_IsNotCurrentConfig(c.path), c.want) << c.path;
  EXPECT_EQ(cfg_IsNotCurrentConfig(nullptr), 0);
}

TEST_F(DeviceFiles, HistoryOfTheRecordAndTheSettings) {
  Folders dev = cfgtest::DeviceFolder(config, "xmltn_4");
  ASSERT_EQ(WriteAll(dev, Config(9600), 1, 0, 0, 1000), 0);
  cfg_SetHistoryEnabled(1);
  ASSERT_EQ(WriteAll(dev, Config(19200), 1, 1, 0, 2000), 0);
  std::vector<std::string> lines = Lines(History());
  std::vector<std::string> changes;
  for (const std::string &l : lines) changes.push_back(Change(l));
  EXPECT_EQ(changes, (std::vector<std::string>{"xmltn_4.SaveOutputs OFF -> ON", "xmltn_4.SaveRate 1000 -> 2000",
                                               "xmltn_4.BaudRate 9600 -> 19200"}));
}

TEST_F(DeviceFiles, HistoryInTheCurrentConfigurationFolderHasNoPrefix) {
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", config.win.c_str());
  ASSERT_EQ(cfg_OpenHistoryIn(config.win.c_str(), 0), 1);
  cfg_WriteHistoryLine("u", 0, "Field", "a", "b");
  cfg_CloseHistory();
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);
  std::vector<std::string> lines = Lines(History());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Change(lines[0]), "Field a -> b");
}

TEST_F(DeviceFiles, ATouchRewritesTheFirstByte) {
  Folders dev = cfgtest::DeviceFolder(config, "plain_3");
  ASSERT_TRUE(cfgtest::Write(config.linux + "/config", "\7rest"));
  Age(config.linux + "/config");
  EXPECT_EQ(cfg_TouchServerConfigOf(dev.win.c_str()), 0);
  EXPECT_GT(MTime(config.linux + "/config"), 1000000000);
  EXPECT_EQ(cfgtest::Read(config.linux + "/config"), "\7rest");
  {
    cfgtest::Cwd here(dev.linux);
    Age(config.linux + "/config");
    EXPECT_EQ(cfg_TouchServerConfig(), 0);
    EXPECT_GT(MTime(config.linux + "/config"), 1000000000);
  }
  std::filesystem::remove(config.linux + "/config");
  EXPECT_EQ(cfg_TouchServerConfigOf(dev.win.c_str()), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILE_NOT_FOUND));
}
