// Extra blocks of channels and devices, driven by a stand-in extension
// library with extra types ("dudi_ex", which the folder dudi3_1 loads: 12
// bytes a channel, 16 for the device, stored 4 bytes into its file).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "extension/ex_types.h"
#include "framework/config/cfg_device.h"
#include "framework/config/cfg_history.h"
#include "framework/config/cfg_load.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_text.h"
#include "framework/xml/xml_error.h"
#include "tests/framework/config/cfg_test_util.h"

namespace {

using cfgtest::Folders;

struct ChannelExtra {
  uint32_t Scale;
  char Label[8];
};
static_assert(sizeof(ChannelExtra) == 12);

ChannelRecord Disabled(int i) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  r.raw[24] = IO_AI;
  chan_SetTag(&r, ("X" + std::to_string(i)).c_str());
  return r;
}

class Extras : public ::testing::Test {
 protected:
  void SetUp() override {
    cfgtest::UseTestLibraries();
    cfgtest::XmlSwitches("ON", "BOTH");
    cfg_SetHistoryEnabled(0);
    config = cfgtest::ConfigFolder("EXT");
    dev = cfgtest::DeviceFolder(config, "dudi3_1");
    ASSERT_TRUE(cfgtest::Write(config.linux + "/config", std::string(2, '\0')));
  }
  void TearDown() override {
    cfg_CloseHistory();
    cfg_ForgetHistorySwitch();
  }
  Folders config, dev;
};

}  // namespace

TEST_F(Extras, ChannelBlocksTravelWithTheirChannels) {
  std::vector<ChannelRecord> t = {Disabled(0), Disabled(1), Disabled(2)};
  ChannelExtra extra[3] = {{10, "alpha"}, {20, "beta"}, {30, "gamma"}};
  ASSERT_EQ(chan_RewriteChannels(nullptr, dev.win.c_str(), IO_AI, t.data(), 0, 3, extra, sizeof extra, "aiext"),
            0);
  EXPECT_EQ(cfgtest::Read(dev.linux + "/aiext"), std::string(reinterpret_cast<char *>(extra), sizeof extra));
  std::string xml = cfgtest::Read(dev.linux + "/ai.xml");
  EXPECT_NE(xml.find("<Analogue.Value/>\n\t\t<Scale>20</Scale>\n\t\t<Label>beta</Label>"),
            std::string::npos)
      << xml;
  EXPECT_EQ(cfgtest::XmllintOutput(config.linux + "/SCHEMA/dudi3_ai.xsd", dev.linux + "/ai.xml"),
            "0: " + dev.linux + "/ai.xml validates\n");
  std::filesystem::remove(dev.linux + "/ai");
  std::filesystem::remove(dev.linux + "/aiext");
  ChannelRecord back[3];
  ChannelExtra blocks[3];
  memset(blocks, 0x55, sizeof blocks);
  ASSERT_EQ(chan_ReadChannels(dev.win.c_str(), IO_AI, back, 0, 3, blocks, sizeof blocks, "aiext"), 0)
      << xml_GetErrorText();
  EXPECT_EQ(memcmp(back, t.data(), sizeof back), 0);
  EXPECT_EQ(memcmp(blocks, extra, sizeof extra), 0);
}

TEST_F(Extras, HistoryReadsOldBlocksOfTheSizeItIsGiven) {
  // Far more room than 2048 bytes a channel: the old copy must take all of it.
  std::vector<uint8_t> block(5000, 0);
  ChannelExtra first{7, "before"};
  memcpy(block.data(), &first, sizeof first);
  ChannelRecord r = Disabled(0);
  ASSERT_EQ(chan_RewriteChannels("tester", dev.win.c_str(), IO_AI, &r, 0, 1, block.data(),
                                 static_cast<uint32_t>(block.size()), "aiext"),
            0);
  cfg_SetHistoryEnabled(1);
  memcpy(block.data() + 4, "after", 6);
  ASSERT_EQ(chan_WriteChannels("tester", dev.win.c_str(), IO_AI, &r, 0, 1, block.data(),
                               static_cast<uint32_t>(block.size()), "aiext"),
            0);
  std::string history = cfgtest::Read(config.linux + "/recent_history.txt");
  EXPECT_NE(history.find("\ttester\tdudi3_1.Channels.1.Label before -> after\r\n"), std::string::npos) << history;
  EXPECT_EQ(history.find("Scale"), std::string::npos) << history;
}

TEST_F(Extras, TheDeviceBlockGoesToItsOffsetAndIntoTheXml) {
  DeviceConfig c;
  memset(&c, 0, sizeof c);
  c.ScanRate = 100;
  char site[16] = "north well";
  uint8_t on = 1;
  ASSERT_EQ(cfg_WriteDeviceConfig(nullptr, dev.win.c_str(), &c, sizeof c, site, sizeof site, "siteinfo", &on, nullptr,
                                  nullptr, nullptr),
            0);
  EXPECT_EQ(cfgtest::Read(dev.linux + "/siteinfo"), std::string(4, '\0') + std::string(site, sizeof site));
  std::string xml = cfgtest::Read(dev.linux + "/config.xml");
  EXPECT_NE(xml.find("<Site>north well</Site>"), std::string::npos) << xml;
  EXPECT_EQ(cfgtest::XmllintOutput(config.linux + "/SCHEMA/dudi3.xsd", dev.linux + "/config.xml"),
            "0: " + dev.linux + "/config.xml validates\n");
  for (const char *read : {"ON", "OFF"}) {
    cfgtest::XmlSwitches(read, "BOTH");
    char back[16];
    memset(back, 0x55, sizeof back);
    DeviceConfig rec;
    ASSERT_EQ(cfg_LoadConfigFiles(dev.win.c_str(), {.config = &rec,
                                                          .configSize = sizeof rec,
                                                          .extra = back,
                                                          .extraSize = sizeof back,
                                                          .extraFile = "siteinfo"}),
              0)
        << read << ": " << xml_GetErrorText();
    EXPECT_EQ(memcmp(back, site, sizeof site), 0) << read;
    EXPECT_EQ(rec.ScanRate, 100u) << read;
  }
}
