// Configuration loading on the scanner side: the device record, the
// saved-values settings, and the reload of channel tables into their
// configuration areas.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "extension/ex_types.h"
#include "framework/config/cfg_device.h"
#include "framework/config/cfg_history.h"
#include "framework/config/cfg_load.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "tests/framework/config/cfg_test_util.h"
#include "tools/scadasim/sim_world.h"

namespace {

using cfgtest::Folders;

DeviceConfig Config(uint32_t scanRate) {
  DeviceConfig c;
  memset(&c, 0, sizeof c);
  c.ScanRate = scanRate;
  c.BaudRate = 9600;
  c.Parity = EX_PARITY_EVEN;
  c.DataBits = 8;
  return c;
}

class Loading : public ::testing::Test {
 protected:
  void SetUp() override {
    cfgtest::UseTestLibraries();
    cfgtest::XmlSwitches("ON", "BOTH");
    cfg_SetHistoryEnabled(0);
    config = cfgtest::ConfigFolder("LOAD");
    ASSERT_TRUE(cfgtest::Write(config.linux + "/config", std::string(2, '\0')));
  }
  void TearDown() override { cfg_ForgetHistorySwitch(); }
  void WriteBoth(const Folders &dev, uint32_t binaryRate, uint32_t xmlRate) {
    DeviceConfig c = Config(xmlRate);
    uint8_t on = 1;
    int32_t rate = 5000;
    ASSERT_EQ(cfg_WriteDeviceConfig(nullptr, dev.win.c_str(), &c, sizeof c, nullptr, 0, nullptr, &on, &on, &on, &rate),
              0);
    c.ScanRate = binaryRate;
    std::string file = cfgtest::Read(dev.linux + "/config");
    memcpy(file.data() + 1, &c, 4);
    ASSERT_TRUE(cfgtest::Write(dev.linux + "/config", file));
  }
  uint32_t LoadedRate(const Folders &dev) {
    cfgtest::Cwd here(dev.linux);
    DeviceConfig c;
    memset(&c, 0xFF, sizeof c);
    if (cfg_LoadDeviceConfig(&c, sizeof c) != 0) return 0;
    return c.ScanRate;
  }
  Folders config;
};

}  // namespace

TEST_F(Loading, BinaryFilesAndTheirFailures) {
  Folders dev = cfgtest::DeviceFolder(config, "plain_1");
  cfgtest::Cwd here(dev.linux);
  DeviceConfig c;
  EXPECT_EQ(cfg_LoadDeviceConfig(&c, sizeof c), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILE_NOT_FOUND));
  DeviceConfig want = Config(250);
  ASSERT_EQ(cfg_WriteDeviceConfigHere(&want, sizeof want), 0);
  ASSERT_EQ(cfg_LoadDeviceConfig(&c, sizeof c), 0);
  EXPECT_EQ(memcmp(&c, &want, sizeof c), 0);
  uint8_t so = 7, bt = 7;
  uint32_t rate = 7;
  EXPECT_EQ(sav_LoadSettings(&so, &bt, &rate), -1) << "no saveconfig";
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(so + bt + rate, 21u) << "outputs untouched";
  ASSERT_TRUE(cfgtest::Write(dev.linux + "/saveconfig", std::string("\1\0\x10\x27\0\0", 6)));
  ASSERT_EQ(sav_LoadSettings(&so, &bt, &rate), 0);
  EXPECT_EQ(so, 1);
  EXPECT_EQ(bt, 0);
  EXPECT_EQ(rate, 10000u);
  ASSERT_TRUE(cfgtest::Write(dev.linux + "/saveconfig", std::string("\1\0\x10", 3)));
  EXPECT_EQ(sav_LoadSettings(&so, &bt, &rate), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_HANDLE_EOF));
  ASSERT_TRUE(cfgtest::Write(dev.linux + "/config", std::string(100, '\0')));
  EXPECT_EQ(cfg_LoadDeviceConfig(&c, sizeof c), -1) << "a short record";
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_HANDLE_EOF));
}

TEST_F(Loading, TheXmlFormOnlyWithExDoXmlAndReadXmlOn) {
  Folders xml = cfgtest::DeviceFolder(config, "xmltn_1");
  WriteBoth(xml, 111, 222);
  EXPECT_EQ(LoadedRate(xml), 222u);
  cfgtest::XmlSwitches("OFF", "BOTH");
  EXPECT_EQ(LoadedRate(xml), 111u);
  cfgtest::XmlSwitches("ON", "BOTH");
  // The same files where the driver's library has no Ex_DoXml.
  Folders plain = cfgtest::DeviceFolder(config, "plain_2");
  std::filesystem::copy(xml.linux, plain.linux,
                        std::filesystem::copy_options::overwrite_existing | std::filesystem::copy_options::recursive);
  EXPECT_EQ(LoadedRate(plain), 111u);
}

TEST_F(Loading, XmlFailuresCarryTheXmlLayersText) {
  Folders dev = cfgtest::DeviceFolder(config, "xmltn_2");
  WriteBoth(dev, 1, 2);
  const std::string good = cfgtest::Read(dev.linux + "/config.xml");
  auto with = [&](const char *from, const char *to) {
    std::string s = good;
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) s.replace(at, strlen(from), to);
    return s;
  };
  struct Case {
    const char *what;
    std::string xml, error;
    bool settings;
  } cases[] = {
      {"a broken file", "<Configs>", "", false},
      {"another root", "<Other/>", "xmltnDev/Proc Config - Root Element <Configs> not found", false},
      {"no Config", "<Configs/>", "xmltnDev/Proc Config - <Config> tag not found", false},
      {"a bad value", with("<Parity>Even</Parity>", "<Parity>even</Parity>"),
       "xmltnDev/Proc Config - <Parity> invalid value \"even\"", false},
      {"a missing setting", with("<SaveRate>5000</SaveRate>", ""), "xmltnDev/Proc Config - <SaveRate> tag not found",
       true},
      // Every setting is read, whatever the caller asked for.
      {"a missing setting, record read", with("<SaveRate>5000</SaveRate>", ""),
       "xmltnDev/Proc Config - <SaveRate> tag not found", false},
      {"a missing switch, settings read", with("<AutoEnable>On</AutoEnable>", ""),
       "xmltnDev/Proc Config - <AutoEnable> tag not found", true},
  };
  cfgtest::Cwd here(dev.linux);
  for (const Case &c : cases) {
    ASSERT_TRUE(cfgtest::Write(dev.linux + "/config.xml", c.xml));
    DeviceConfig rec;
    uint8_t so, bt;
    uint32_t rate;
    int rc = c.settings ? sav_LoadSettings(&so, &bt, &rate) : cfg_LoadDeviceConfig(&rec, sizeof rec);
    EXPECT_EQ(rc, -1) << c.what;
    EXPECT_EQ(errno, static_cast<int>(OS_ERROR_XML_PARSE_ERROR)) << c.what;
    EXPECT_EQ(os_GetLastError(), OS_ERROR_XML_PARSE_ERROR) << c.what;
    if (c.error.empty())
      EXPECT_EQ(std::string(xml_GetErrorText()).rfind("xmltnDev/Proc Config - Xml Load Failed (" + dev.linux, 0), 0u)
          << xml_GetErrorText();
    else
      EXPECT_EQ(xml_GetErrorText(), c.error) << c.what;
  }
  ASSERT_TRUE(cfgtest::Write(dev.linux + "/config.xml", good));
  DeviceConfig rec;
  EXPECT_EQ(cfg_LoadDeviceConfig(&rec, sizeof rec), 0) << xml_GetErrorText();
  EXPECT_EQ(rec.ScanRate, 2u);
}

namespace {

// A server world whose device folder the test works in.
class Reload : public ::testing::Test {
 protected:
  void Build(const std::string &folder) {
    cfg_SetHistoryEnabled(0);
    SimWorldSpec w;
    w.configFolder = "C:\\RELOAD";
    w.devices[0].folder = folder;
    w.devices[0].channelSetup = [](int, int i, ChannelRecord *r) {
      chan_SetDescription(r, ("channel " + std::to_string(i + 1)).c_str());
    };
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    dir = sim_DeviceFolder(0);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    header = shm_AreaHeader(sim_Area("A1", SHM_AREA_DATA));
    conf = sim_Area("A1", SHM_AREA_CONF);
    ASSERT_TRUE(sim_Watch("A1", 1)) << "starts this process's notifications";
    ASSERT_GE(shm_ClaimWaiter(conf, 2), 0);
  }
  void TearDown() override {
    if (chdir("/") != 0) ADD_FAILURE();
    ntf_Stop();
    sim_DestroyWorld();
    cfg_ForgetHistorySwitch();
  }
  ChannelRecord *Table() { return reinterpret_cast<ChannelRecord *>(shm_AreaRecords(conf)); }
  bool Noticed(uint32_t ms) { return shm_WaitChangeFor(conf, 2, ms) == 1; }
  std::string dir;
  ChannelAreaHeader *header = nullptr;
  void *conf = nullptr;
};

}  // namespace

TEST_F(Reload, AnUnchangedFileIsSkippedAndATouchedOneReloaded) {
  Build("TNWELL1");
  memset(Table(), 0xEE, 8 * 216);
  ASSERT_EQ(cfg_ReloadChannelTable(IO_AI, header), 8 * 216);
  EXPECT_STREQ(chan_GetTag(&Table()[0]), "AI001");
  EXPECT_STREQ(chan_GetDescription(&Table()[7]), "channel 8");
  EXPECT_TRUE(Noticed(5000));
  EXPECT_NE(header->changed.seconds, 0);

  memset(Table(), 0xEE, 216);
  EXPECT_EQ(cfg_ReloadChannelTable(IO_AI, header), 0);
  EXPECT_EQ(Table()[0].raw[0], 0xEE) << "an unchanged file is not read";
  EXPECT_FALSE(Noticed(300));

  ASSERT_EQ(sim_ChangeChannel(0, IO_AI, 2, [](ChannelRecord *r) { chan_SetTag(r, "CHANGED"); }, 0), 0);
  ASSERT_EQ(cfg_ReloadChannelTable(IO_AI, header), 8 * 216);
  EXPECT_STREQ(chan_GetTag(&Table()[2]), "CHANGED");
  EXPECT_STREQ(chan_GetTag(&Table()[0]), "AI001");
  EXPECT_TRUE(Noticed(5000));
}

TEST_F(Reload, AShortOrMissingFileFailsAndLeavesTheAreaAlone) {
  Build("TNWELL1");
  ASSERT_EQ(cfg_ReloadChannelTable(IO_AI, header), 8 * 216);
  std::string file = cfgtest::Read(dir + "/ai");
  ASSERT_TRUE(cfgtest::Write(dir + "/ai", file.substr(0, 8 + 3 * 216)));
  memset(Table(), 0xEE, 8 * 216);
  TimeStamp before = header->changed;
  header->changed.seconds -= 10;  // so that the short file counts as new
  EXPECT_EQ(cfg_ReloadChannelTable(IO_AI, header), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_HANDLE_EOF));
  EXPECT_EQ(Table()[0].raw[0], 0xEE);
  EXPECT_EQ(header->changed.seconds, before.seconds - 10);
  std::filesystem::remove(dir + "/ai");
  EXPECT_EQ(cfg_ReloadChannelTable(IO_AI, header), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILE_NOT_FOUND));
}

TEST_F(Reload, AnXmlChannelFileFailsWithTheXmlText) {
  cfgtest::UseTestLibraries();
  cfgtest::XmlSwitches("ON", "BOTH");
  Build("xmltn_1");
  ASSERT_TRUE(std::filesystem::exists(dir + "/ai.xml")) << "the world is written in both forms";
  ASSERT_EQ(cfg_ReloadChannelTable(IO_AI, header), 8 * 216) << xml_GetErrorText();
  EXPECT_STREQ(chan_GetDescription(&Table()[3]), "channel 4");
  std::string xml = cfgtest::Read(dir + "/ai.xml");
  size_t at = xml.find("<Tag>AI001</Tag>");
  ASSERT_NE(at, std::string::npos);
  xml.erase(at, strlen("<Tag>AI001</Tag>"));
  ASSERT_TRUE(cfgtest::Write(dir + "/ai.xml", xml));
  header->changed.seconds -= 10;
  EXPECT_EQ(cfg_ReloadChannelTable(IO_AI, header), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_XML_PARSE_ERROR));
  EXPECT_EQ(os_GetLastError(), OS_ERROR_XML_PARSE_ERROR);
  EXPECT_STREQ(xml_GetErrorText(), "xmltn_1ai Channel #1 - <Tag> Required");
}
