// cfgtool against a scadasim world: scripted dialogs write the device's and
// channels' configuration back to the server, print-outs reach a PDF, and
// bad arguments and scripts are refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "extension/ex_types.h"
#include "framework/config/chan_text.h"
#include "framework/registry/reg_settings.h"
#include "platform/os_registry.h"
#include "plugin/connect/cfg_access.h"
#include "platform/ui/ui_print.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

namespace {

using Result = tnwtest::ShellResult;

// Without a display unless asked for one.
Result Cfgtool(const std::string &args, bool display = false, const char *env = "") {
  return tnwtest::ShellRun(std::string(display ? "env " : "env -u DISPLAY ") + env + " '" +
                          tnwtest::BinPath("cfgtool") + "' " + args + " 2>&1");
}

std::string Script(const std::string &dir, const char *name, const std::string &text) {
  std::string path = dir + "/" + name;
  tnwtest::WriteFile(path, text);
  return path;
}

std::string PdfText(const std::string &pdf) { return tnwtest::Shell("pdftotext -layout -fixed 4.2 '" + pdf + "' -"); }

class Cfgtool_ : public ::testing::Test {
 protected:
  void SetUp() override {
    SimWorldSpec w;
    SimDeviceSpec &d = w.devices[0];
    d.codes[0] = "A1";
    d.codes[1] = "D1";
    d.channels[0] = 4;
    d.channels[1] = 3;
    d.saveOutputs = 1;
    d.saveRate = 90500;
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    OsHKey key;
    ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", OS_REG_OPTION_VOLATILE,
                                OS_KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    for (const char *port : {"COM1", "COM3"})
      ASSERT_EQ(os_RegSetValueEx(key, (std::string("\\Device\\") + port).c_str(), OS_REG_SZ, port,
                                 static_cast<uint32_t>(strlen(port) + 1)), 0);
    os_RegCloseKey(key);
    dir = tnwtest::MakeTempDir("cfgtool");
  }
  void TearDown() override { sim_DestroyWorld(); }
  std::string dir;
  const std::string device = "--folder TNWELL1 --types A1:4,D1:3,,, ";
};

TEST_F(Cfgtool_, DeviceDialogWritesTheSerialSettings) {
  std::string s = Script(dir, "s", "# port and speed\npick 7000 COM3\npick 7002 19200\nok\n");
  Result r = Cfgtool(device + "--script '" + s + "' device");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("list 7000: \"COM1\" *\"COM3\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("device configuration written"), std::string::npos) << r.out;
  DeviceConfig c;
  ASSERT_EQ(cfg_ReadDeviceConfig(".", "TNWELL1", &c, sizeof c), 0);
  EXPECT_STREQ(c.ComPort, "COM3");
  EXPECT_EQ(c.BaudRate, 19200u);
  // Cancel writes nothing.
  s = Script(dir, "c", "pick 7002 300\ncancel\n");
  r = Cfgtool(device + "--script '" + s + "' device");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("written"), std::string::npos) << r.out;
  ASSERT_EQ(cfg_ReadDeviceConfig(".", "TNWELL1", &c, sizeof c), 0);
  EXPECT_EQ(c.BaudRate, 19200u);
}

TEST_F(Cfgtool_, ChannelDialogAndPaste) {
  std::string s = Script(dir, "s", "pick 7001 3\npick 7002 CYL1 POS\nok\n");
  Result r = Cfgtool(device + "--script '" + s + "' channel AI 2");
  ASSERT_EQ(r.status, 0) << r.out;
  ChannelRecord ch[2];
  ASSERT_EQ(cfg_ReadChannels(".", "TNWELL1", IO_AI, ch, 1, 1), 0);
  uint32_t pump, item;
  memcpy(&pump, ch[0].raw + 188, 4);
  memcpy(&item, ch[0].raw + 192, 4);
  EXPECT_EQ(pump, 3u);
  EXPECT_EQ(item, 18u);
  EXPECT_STREQ(chan_GetDescription(&ch[0]), "CYL1 POS");
  // Paste AI2 onto AI4: the whole record.
  r = Cfgtool(device + "paste AI 2 4");
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(cfg_ReadChannels(".", "TNWELL1", IO_AI, &ch[1], 3, 1), 0);
  EXPECT_EQ(memcmp(&ch[0], &ch[1], sizeof ch[0]), 0);
}

TEST_F(Cfgtool_, PrintOuts) {
  std::string pdf = dir + "/all.pdf", png = dir + "/all.png";
  Result r = Cfgtool(device + "--pdf '" + pdf + "' --png '" + png + "' print-all");
  ASSERT_EQ(r.status, 0) << r.out;
  std::string text = PdfText(pdf);
  for (const char *want : {"SERVER NAME    [.]", "DEVICE NAME    [TNWELL1]", "SAVE RATE 01(min) 30(sec) 500(ms)",
                           "SCAN RATE 00(min) 01(sec) 000(ms)", "A11     [Y] ", "D13     [Y] "})
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
  std::string one = dir + "/one.pdf";
  r = Cfgtool(device + "--pdf '" + one + "' print DI 2 3");
  ASSERT_EQ(r.status, 0) << r.out;
  text = PdfText(one);
  EXPECT_EQ(text.find("D11 "), std::string::npos) << text;
  EXPECT_NE(text.find("D12 "), std::string::npos) << text;
  r = Cfgtool(device + "--pdf '" + one + "' print DI 3 2");
  EXPECT_EQ(r.status, 1) << r.out;
}

// The whole print-out read from another host's share: the same
// configuration copied there, read without a configuration folder of its own.
TEST_F(Cfgtool_, PrintAllFromAShare) {
  std::string share = tnwtest::Root() + "/hosts/HOSTB/shares/" + prod_GetProductName() + "/CURRENT_CONFIG";
  std::filesystem::create_directories(share);
  std::filesystem::copy(tnwtest::Root() + "/drives/c/TESSARINE/CONFIG", share,
                        std::filesystem::copy_options::recursive);
  std::string pdf = dir + "/share.pdf";
  Result r = Cfgtool(device + "--server HOSTB --pdf '" + pdf + "' print-all", false, "-u TSQ_CURRENT_CONFIG");
  ASSERT_EQ(r.status, 0) << r.out;
  std::string text = PdfText(pdf);
  for (const char *want : {"SERVER NAME    [HOSTB]", "SAVE RATE 01(min) 30(sec) 500(ms)", "A14     [Y] ", "D13     [Y] "})
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
  // Without the copy there is nothing to read: no print-out.
  std::filesystem::remove_all(share);
  r = Cfgtool(device + "--server HOSTB --pdf '" + pdf + "' print-all", false, "-u TSQ_CURRENT_CONFIG");
  EXPECT_EQ(r.status, 1) << r.out;
}

TEST_F(Cfgtool_, BadInput) {
  const struct {
    std::string args;
    int status;
    const char *message;
  } cases[] = {
      {"", 2, "no command"},
      {"device", 2, "--folder"},
      {device + "channel XX 1", 2, "channel type"},
      {device + "channel AI 0", 2, "channel type"},
      {"--folder TNWELL1 --types A1:x,,,, device", 2, "--types"},
      {device + "--script '" + Script(dir, "bad", "ok\npress the button\n") + "' device", 2, "line 2"},
      {device + "--script /no/such/script device", 2, "cannot read"},
      {device + "--bogus device", 2, "unknown option"},
      {"--folder NOSUCHDEV --types A1:4,,,, --script /dev/null device", 1, "cannot read the device"},
      {"--help", 0, "usage: cfgtool"},
  };
  for (const auto &c : cases) {
    Result r = Cfgtool(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
  }
}

// Under a display (the test runs under Xvfb): each dialog's window saved,
// then cancelled; the shots stay with the test output.
TEST_F(Cfgtool_, GtkScreenshots) {
  if (!getenv("DISPLAY")) GTEST_SKIP() << "no display; run under xvfb-run";
  const char *base = getenv("TNW_TEST_TMP");
  std::string shots = std::string(base && *base ? base : "/tmp") + "/screenshots";
  std::filesystem::create_directories(shots);
  const struct {
    const char *name, *command;
  } dialogs[] = {{"device", "device"}, {"channel", "channel DI 1"}};
  for (const auto &d : dialogs) {
    std::string png = shots + "/" + d.name + ".png";
    std::filesystem::remove(png);
    Result r = Cfgtool(device + "--screenshot '" + png + "' " + d.command, true);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("written"), std::string::npos) << r.out;  // cancelled
    long inked = ui_PngInkedPixels(png.c_str());
    EXPECT_GT(inked, 2000) << png;
    printf("screenshot %s (%ld pixels drawn)\n", png.c_str(), inked);
  }
}

}  // namespace
