// The plug-in's dialog and paste entry points as a host calls them, with
// the scripted back end: what the dialogs show, what OK, Cancel and Help do
// to the host's records, and the host's resource handle around each call.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "platform/os_registry.h"
#include "plugin/cf_exports.h"
#include "plugin/ui/cf_dialogs.h"
#include "tests/plugin/ui/cf_test_host.h"
#include "tests/support/test_root.h"

namespace {

struct Plugin {
  void *lib = nullptr;
  CfConfigAdvanDevSpecific device = nullptr;
  CfConfigChanDevSpecific channel = nullptr;
  CfPasteChannel paste = nullptr;
  Plugin() {
    lib = dlopen(TNWLL_CF_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
    device = reinterpret_cast<CfConfigAdvanDevSpecific>(dlsym(lib, "DLL_ConfigAdvanDevSpecific"));
    channel = reinterpret_cast<CfConfigChanDevSpecific>(dlsym(lib, "DLL_ConfigChanDevSpecific"));
    paste = reinterpret_cast<CfPasteChannel>(dlsym(lib, "DLL_PasteChannel"));
  }
};
Plugin &ThePlugin() {
  static Plugin p;
  return p;
}

UiScript &Script() { return cftest::TheHost().script; }

struct RegValue {
  const char *name;
  uint32_t type;
  std::string data;  // REG_SZ texts carry their terminator in the size
};

// The serial-port key of `host` ("" this computer) holding exactly these values.
void SetSerialKey(const char *host, const std::vector<RegValue> &values) {
  OsHKey root = OS_HKEY_LOCAL_MACHINE;
  if (host[0]) {
    std::filesystem::create_directories(tnwtest::Root() + "/hosts/" + host);
    ASSERT_EQ(os_RegConnectRegistry((std::string("\\\\") + host).c_str(), OS_HKEY_LOCAL_MACHINE, &root), 0);
  }
  OsHKey key;
  ASSERT_EQ(os_RegCreateKeyEx(root, "HARDWARE\\DEVICEMAP\\SERIALCOMM", OS_REG_OPTION_VOLATILE, OS_KEY_ALL_ACCESS,
                              nullptr, &key, nullptr), 0);
  for (uint32_t i = 0;; ) {
    char name[300];
    uint32_t n = sizeof name;
    if (os_RegEnumValue(key, i, name, &n, nullptr, nullptr, nullptr) != 0) break;
    os_RegDeleteValue(key, name);
  }
  for (const RegValue &v : values)
    ASSERT_EQ(os_RegSetValueEx(key, v.name, v.type, v.data.data(), static_cast<uint32_t>(v.data.size())), 0);
  os_RegCloseKey(key);
  if (root != OS_HKEY_LOCAL_MACHINE) os_RegCloseKey(root);
}

RegValue Sz(const char *name, const char *text) { return {name, OS_REG_SZ, std::string(text, strlen(text) + 1)}; }

std::vector<std::string> Items(const UiListShown *l) {
  std::vector<std::string> v;
  for (int i = 0; l && i < l->count && i < UI_LIST_ITEMS; ++i) v.emplace_back(l->items[i]);
  return v;
}

std::string Selected(const UiListShown *l, bool final = false) {
  int s = final ? l->finalSelection : l->selection;
  return s >= 0 && s < l->count ? l->items[s] : "<none>";
}

HostDeviceRecord Device(uint32_t baud, const char *port, int32_t parity, uint32_t bits) {
  HostDeviceRecord r;
  memset(&r, 0xA5, sizeof r);
  CfSerial s;
  memset(&s, 0, sizeof s);
  s.BaudRate = baud;
  memcpy(s.ComPort, port, strnlen(port, sizeof s.ComPort));
  s.Parity = parity;
  s.DataBits = bits;
  memcpy(cf_SerialBytes(&r), &s, sizeof s);
  return r;
}

CfSerial SerialOf(HostDeviceRecord *r) {
  CfSerial s;
  memcpy(&s, cf_SerialBytes(r), sizeof s);
  return s;
}

class CfDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(ThePlugin().lib, nullptr) << dlerror();
    cftest::ResetHost(".", 4);
  }
};

TEST_F(CfDialogs, DeviceDialog) {
  struct Case {
    const char *what;
    const char *server;
    uint16_t defaultPort;
    const char *registryHost;  // where the ports are ("" this computer)
    std::vector<RegValue> ports;
    uint32_t baud;
    const char *port;
    int32_t parity;
    uint32_t bits;
    std::vector<UiAction> actions;
    // Shown at open
    std::vector<std::string> portList;
    const char *portShown, *baudShown, *parityShown, *bitsShown;
    // After
    int flag;
    uint32_t baudAfter;
    const char *portAfter;
    int32_t parityAfter;
    uint32_t bitsAfter;
  };
  const std::vector<RegValue> two = {Sz("\\Device\\Serial0", "COM1"), Sz("\\Device\\Serial1", "COM3")};
  const UiAction ok = {UI_ACT_OK, 0, 0, ""}, cancel = {UI_ACT_CANCEL, 0, 0, ""};
  const std::string longName(120, 'B');
  const Case cases[] = {
      {"never configured: default port, 9600, None, 8", ".", 4, "", two, 0, "", 0, 0, {ok},
       {"COM1", "COM3", "COM4"}, "COM4", "9600", "None", "8", 1, 9600, "COM4", 0, 8},
      {"2400 shows 38400, OK stores it", ".", 4, "", two, 2400, "COM3", 0, 8, {ok},
       {"COM1", "COM3"}, "COM3", "38400", "None", "8", 1, 38400, "COM3", 0, 8},
      {"parity 3 is Mark, unchanged OK", ".", 4, "", two, 19200, "COM1", 3, 7, {ok},
       {"COM1", "COM3"}, "COM1", "19200", "Mark", "7", 0, 19200, "COM1", 3, 7},
      {"parity 4 is Space, unchanged OK", ".", 4, "", two, 300, "COM1", 4, 5, {ok},
       {"COM1", "COM3"}, "COM1", "300", "Space", "5", 0, 300, "COM1", 4, 5},
      {"Cancel leaves record and flag", ".", 4, "", two, 9600, "COM1", 0, 8,
       {{UI_ACT_PICK_TEXT, CF_IDC_PORT, 0, "COM3"}, {UI_ACT_PICK_POSITION, CF_IDC_BAUD, 0, ""}, cancel},
       {"COM1", "COM3"}, "COM1", "9600", "None", "8", 7, 9600, "COM1", 0, 8},
      {"unlisted COM9: once, last, selected", ".", 4, "", two, 9600, "COM9", 1, 6, {ok},
       {"COM1", "COM3", "COM9"}, "COM9", "9600", "Odd", "6", 0, 9600, "COM9", 1, 6},
      {"one port in two values: twice", ".", 4, "", {Sz("A", "COM1"), Sz("B", "COM1")}, 9600, "COM1", 0, 8, {ok},
       {"COM1", "COM1"}, "COM1", "9600", "None", "8", 0, 9600, "COM1", 0, 8},
      {"COM1 chosen with COM10 listed first", ".", 4, "", {Sz("A", "COM10"), Sz("B", "COM1")}, 9600, "COM3", 2, 8,
       {{UI_ACT_PICK_TEXT, CF_IDC_PORT, 0, "COM1"}, ok},
       {"COM10", "COM1", "COM3"}, "COM3", "9600", "Even", "8", 1, 9600, "COM1", 2, 8},
      {"stored COM1 selects COM1, not COM10", ".", 4, "", {Sz("A", "COM10"), Sz("B", "COM1")}, 9600, "COM1", 0, 8,
       {ok}, {"COM10", "COM1"}, "COM1", "9600", "None", "8", 0, 9600, "COM1", 0, 8},
      {"a value too big for the buffers hides no later port", ".", 4, "",
       {Sz("A", "COM123456789"), Sz(longName.c_str(), "COM7"), Sz("C", "COM2"),
        {"D", OS_REG_DWORD, std::string("\x05\0\0\0", 4)}, Sz("E", "COM1234"), {"F", OS_REG_BINARY, "COM5"},
        {"G", OS_REG_SZ, "COM6"}},
       9600, "COM2", 0, 8, {ok}, {"COM2", "COM6"}, "COM2", "9600", "None", "8", 0, 9600, "COM2", 0, 8},
      {"empty server name: one entry", "", 4, "", two, 9600, "COM3", 0, 8, {ok},
       {"COM3"}, "COM3", "9600", "None", "8", 0, 9600, "COM3", 0, 8},
      {"unreachable host: one entry", "NOSUCHHOST", 4, "", two, 9600, "COM1", 0, 8, {ok},
       {"COM1"}, "COM1", "9600", "None", "8", 0, 9600, "COM1", 0, 8},
      {"URL server: one entry", "tnw://127.0.0.2", 4, "", two, 9600, "COM1", 0, 8, {ok},
       {"COM1"}, "COM1", "9600", "None", "8", 0, 9600, "COM1", 0, 8},
      {"another host's ports", "PUMPSRV", 4, "PUMPSRV", {Sz("X", "COM8")}, 1200, "COM8", 2, 7, {ok},
       {"COM8"}, "COM8", "1200", "Even", "7", 0, 1200, "COM8", 2, 7},
      {"default port above 999 leaves the port empty", ".", 1000, "", two, 0, "", 0, 0, {ok},
       {"COM1", "COM3", ""}, "", "9600", "None", "8", 1, 9600, "", 0, 8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    cftest::ResetHost(c.server, c.defaultPort);
    SetSerialKey(c.registryHost, c.ports);
    for (const UiAction &a : c.actions) ui_ScriptPush(&Script(), a.kind, a.control, a.position, a.text);
    HostDeviceRecord r = Device(c.baud, c.port, c.parity, c.bits);
    HostDeviceRecord before = r;
    int flag = 7;
    ThePlugin().device(nullptr, &r, &flag);
    ASSERT_EQ(Script().dialogCount, 1);
    const UiDialogShown &d = Script().dialogs[0];
    EXPECT_EQ(d.templateId, CF_IDD_ADVANCED);
    EXPECT_NE(d.resourceHandle, cftest::kHostResources);
    EXPECT_NE(d.resourceHandle, nullptr);
    EXPECT_EQ(tnw_ui_host.resourceHandle, cftest::kHostResources);
    const UiListShown *port = ui_ScriptList(&d, CF_IDC_PORT);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Items(port), c.portList);
    EXPECT_EQ(Selected(port), c.portShown);
    EXPECT_EQ(Selected(ui_ScriptList(&d, CF_IDC_BAUD)), c.baudShown);
    EXPECT_EQ(Selected(ui_ScriptList(&d, CF_IDC_PARITY)), c.parityShown);
    EXPECT_EQ(Selected(ui_ScriptList(&d, CF_IDC_DATA_BITS)), c.bitsShown);
    EXPECT_EQ(flag, c.flag);
    CfSerial s = SerialOf(&r);
    EXPECT_EQ(s.BaudRate, c.baudAfter);
    EXPECT_EQ(std::string(s.ComPort, strnlen(s.ComPort, sizeof s.ComPort)), c.portAfter);
    EXPECT_EQ(s.Parity, c.parityAfter);
    EXPECT_EQ(s.DataBits, c.bitsAfter);
    // Nothing outside the 20 serial bytes is touched.
    EXPECT_EQ(memcmp(&r, &before, 224), 0);
    EXPECT_EQ(memcmp(reinterpret_cast<uint8_t *>(&r) + 244, reinterpret_cast<uint8_t *>(&before) + 244,
                     sizeof r - 244), 0);
  }
}

// The ports are the COM links of the server's machine, current when the
// dialog opens.
TEST_F(CfDialogs, DeviceDialogListsTheServersLinks) {
  std::string dev = tnwtest::Root() + "/hosts/BARE/dev";
  std::filesystem::create_directories(dev);
  for (const char *port : {"COM12", "COM4"}) std::filesystem::create_symlink("/dev/null", dev + "/" + port);
  cftest::ResetHost("BARE", 2);
  ui_ScriptPush(&Script(), UI_ACT_PICK_TEXT, CF_IDC_PORT, 0, "COM12");
  ui_ScriptPush(&Script(), UI_ACT_OK);
  HostDeviceRecord r = Device(9600, "COM2", 0, 8);
  int flag = 7;
  ThePlugin().device(nullptr, &r, &flag);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(Items(ui_ScriptList(&Script().dialogs[0], CF_IDC_PORT)),
            (std::vector<std::string>{"COM4", "COM12", "COM2"}));
  EXPECT_STREQ(SerialOf(&r).ComPort, "COM12");
}

// An unterminated 8-byte port text is read within its field.
TEST_F(CfDialogs, UnterminatedPortText) {
  SetSerialKey("", {Sz("A", "COM1")});
  ui_ScriptPush(&Script(), UI_ACT_PICK_TEXT, CF_IDC_PORT, 0, "COM1");
  ui_ScriptPush(&Script(), UI_ACT_OK);
  HostDeviceRecord r = Device(9600, "", 0, 8);
  memcpy(cf_SerialBytes(&r) + 4, "COMXXXXX", 8);
  int flag = 7;
  ThePlugin().device(nullptr, &r, &flag);
  const UiListShown *port = ui_ScriptList(&Script().dialogs[0], CF_IDC_PORT);
  EXPECT_EQ(Items(port), (std::vector<std::string>{"COM1", "COMXXXXX"}));
  EXPECT_EQ(flag, 1);
  EXPECT_STREQ(SerialOf(&r).ComPort, "COM1");
}

TEST_F(CfDialogs, HelpTopics) {
  std::string dir = std::filesystem::path(TNWLL_CF_PATH).parent_path().string();
  ui_ScriptPush(&Script(), UI_ACT_HELP);
  ui_ScriptPush(&Script(), UI_ACT_CANCEL);
  HostDeviceRecord r = Device(9600, "COM1", 0, 8);
  int flag = 7;
  ThePlugin().device(nullptr, &r, &flag);
  ChannelRecord ch;
  memset(&ch, 0, sizeof ch);
  ui_ScriptPush(&Script(), UI_ACT_HELP);
  ui_ScriptPush(&Script(), UI_ACT_CANCEL);
  ThePlugin().channel(nullptr, 0, 0, 0, &ch, &flag);
  ASSERT_EQ(Script().helpCount, 2);
  EXPECT_EQ(std::string(Script().help[0]), dir + "/tnwll_cf.chm::/html/HIDD_ADVANCED_DEV_SPEC.htm");
  EXPECT_EQ(std::string(Script().help[1]), dir + "/tnwll_cf.chm::/html/HIDD_CHANNEL_DEV_SPEC.htm");
  EXPECT_EQ(flag, 7);
  char page[600];
  ASSERT_EQ(ui_HelpPage(Script().help[0], page, sizeof page), 0);
  EXPECT_EQ(std::string(page), dir + "/tnwll_cf.chm/html/HIDD_ADVANCED_DEV_SPEC.htm");
  EXPECT_TRUE(std::filesystem::exists(page)) << page;
  EXPECT_EQ(cf_HelpHitTest(cf_AdvancedTemplate.id), 0x21B58);
  EXPECT_EQ(cf_HelpHitTest(cf_ChannelTemplate.id), 0x21B59);
}

TEST(CfHelpPath, ExtensionReplaced) {
  const struct {
    const char *module, *help;
  } cases[] = {
      {"x.dll", "x.chm"},
      {"tnwll_cf.so", "tnwll_cf.chm"},
      {"/opt/tnw/bin/tnwll_cf.so", "/opt/tnw/bin/tnwll_cf.chm"},
      {"/opt/a.b/plugin", "/opt/a.b/plugin.chm"},
  };
  for (const auto &c : cases) {
    char out[300];
    ASSERT_EQ(cf_HelpPath(c.module, out, sizeof out), 0) << c.module;
    EXPECT_STREQ(out, c.help);
  }
  char tiny[8];
  EXPECT_EQ(cf_HelpPath("/long/tnwll_cf.so", tiny, sizeof tiny), -1);
}

ChannelRecord Channel(uint8_t type, uint32_t pump, uint32_t item, const char *description) {
  ChannelRecord r;
  for (size_t i = 0; i < sizeof r; ++i) r.raw[i] = static_cast<uint8_t>(i * 7 + 3);
  r.raw[CHAN_TYPE_OFFSET] = type;
  size_t at = (type & 1) ? 192 : 188;
  memcpy(r.raw + at, &pump, 4);
  memcpy(r.raw + at + 4, &item, 4);
  chan_SetDescription(&r, description);
  return r;
}

uint32_t U32(const ChannelRecord &r, size_t at) {
  uint32_t v;
  memcpy(&v, r.raw + at, 4);
  return v;
}

TEST_F(CfDialogs, ChannelDialog) {
  struct Case {
    const char *what;
    uint8_t type;
    uint32_t pump, item;
    std::vector<UiAction> actions;
    const char *pumpShown, *itemShown;
    int flag;
    uint32_t pumpAfter, itemAfter;
    const char *descriptionAfter;
  };
  const UiAction ok = {UI_ACT_OK, 0, 0, ""};
  const Case cases[] = {
      {"AI pump 3 item 18, unchanged OK", IO_AI, 3, 18, {ok}, "3", "CYL1 POS", 1, 3, 18, "CYL1 POS"},
      {"blank pump and empty item", IO_AI, 3, 18,
       {{UI_ACT_PICK_POSITION, CF_IDC_PUMP, 0, ""}, {UI_ACT_PICK_POSITION, CF_IDC_ITEM, 0, ""}, ok},
       "3", "CYL1 POS", 1, 0, 0, ""},
      {"DO uses the digital table", IO_DO, 2, 5, {{UI_ACT_PICK_TEXT, CF_IDC_ITEM, 0, "STATUS"}, ok},
       "2", "CYL2 DIRECTION", 1, 2, 1, "STATUS"},
      {"CI uses the analogue table", IO_CI, 8, 72, {ok}, "8", "AUX AD32", 1, 8, 72, "AUX AD32"},
      {"stored values outside the lists are kept", IO_DI, 9, 100, {ok}, "<none>", "<none>", 1, 9, 100, "OLD TEXT"},
      {"Cancel changes nothing", IO_AO, 1, 41,
       {{UI_ACT_PICK_POSITION, CF_IDC_ITEM, 3, ""}, {UI_ACT_CANCEL, 0, 0, ""}}, "1", "AUX AD1", 7, 1, 41, "OLD TEXT"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    cftest::ResetHost(".", 1);
    for (const UiAction &a : c.actions) ui_ScriptPush(&Script(), a.kind, a.control, a.position, a.text);
    ChannelRecord r = Channel(c.type, c.pump, c.item, "OLD TEXT");
    ChannelRecord before = r;
    int flag = 7;
    ThePlugin().channel(nullptr, 11, 22, 33, &r, &flag);
    ASSERT_EQ(Script().dialogCount, 1);
    const UiDialogShown &d = Script().dialogs[0];
    EXPECT_EQ(d.templateId, CF_IDD_CHANNEL);
    EXPECT_NE(d.resourceHandle, cftest::kHostResources);
    EXPECT_EQ(tnw_ui_host.resourceHandle, cftest::kHostResources);
    const UiListShown *items = ui_ScriptList(&d, CF_IDC_ITEM);
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(items->count, 73);
    EXPECT_EQ(Items(ui_ScriptList(&d, CF_IDC_PUMP)),
              (std::vector<std::string>{"  ", "1", "2", "3", "4", "5", "6", "7", "8"}));
    EXPECT_EQ(Selected(ui_ScriptList(&d, CF_IDC_PUMP)), c.pumpShown);
    EXPECT_EQ(Selected(items), c.itemShown);
    EXPECT_EQ(flag, c.flag);
    size_t at = (c.type & 1) ? 192 : 188;
    EXPECT_EQ(U32(r, at), c.pumpAfter);
    EXPECT_EQ(U32(r, at + 4), c.itemAfter);
    EXPECT_STREQ(chan_GetDescription(&r), c.descriptionAfter);
    // Only the two fields and the description's two pieces change.
    for (size_t i = 0; i < sizeof r.raw; ++i) {
      bool field = i >= at && i < at + 8;
      bool description = (i >= 8 && i < 24) || (i >= 142 && i < 158);
      if (!field && !description) {
        EXPECT_EQ(r.raw[i], before.raw[i]) << "byte " << i;
      }
    }
  }
}

TEST_F(CfDialogs, ItemTables) {
  ChannelRecord r = Channel(IO_DI, 0, 0, "");
  int flag = 0;
  ThePlugin().channel(nullptr, 0, 0, 0, &r, &flag);
  std::vector<std::string> digital = Items(ui_ScriptList(&Script().dialogs[0], CF_IDC_ITEM));
  r = Channel(IO_AI, 0, 0, "");
  ThePlugin().channel(nullptr, 0, 0, 0, &r, &flag);
  std::vector<std::string> analogue = Items(ui_ScriptList(&Script().dialogs[1], CF_IDC_ITEM));
  ASSERT_EQ(digital.size(), 73u);
  ASSERT_EQ(analogue.size(), 73u);
  const struct {
    size_t at;
    const char *digital, *analogue;
  } spots[] = {{0, "", ""},
               {1, "STATUS", "CYL1 PRESS"},
               {18, "CYL1 RETRACT LIM", "CYL1 POS"},
               {40, "CYL1 SENSOR CABLE", "VELOCITY2"},
               {41, "CYL2 SENSOR CABLE", "AUX AD1"},
               {72, "AD CHAN7 CABLE", "AUX AD32"}};
  for (const auto &s : spots) {
    EXPECT_EQ(digital[s.at], s.digital) << s.at;
    EXPECT_EQ(analogue[s.at], s.analogue) << s.at;
  }
}

TEST_F(CfDialogs, Paste) {
  ChannelRecord source, destination;
  for (size_t i = 0; i < sizeof source.raw; ++i) {
    source.raw[i] = static_cast<uint8_t>(255 - i);
    destination.raw[i] = static_cast<uint8_t>(i);
  }
  source.raw[CHAN_TYPE_OFFSET] = destination.raw[CHAN_TYPE_OFFSET] = IO_AO;
  int flag = 0;
  ThePlugin().paste(1, 2, 3, 4, &destination, &source, &flag);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(memcmp(&destination, &source, sizeof source), 0);
  EXPECT_EQ(Script().messageCount, 0);

  source.raw[CHAN_TYPE_OFFSET] = IO_AI;
  for (size_t i = 0; i < sizeof destination.raw; ++i) destination.raw[i] = static_cast<uint8_t>(i);
  destination.raw[CHAN_TYPE_OFFSET] = IO_DI;
  ChannelRecord before = destination;
  flag = 5;
  ThePlugin().paste(0, 0, 0, 0, &destination, &source, &flag);
  EXPECT_EQ(flag, 5);
  EXPECT_EQ(memcmp(&destination, &before, sizeof before), 0);
  ASSERT_EQ(Script().messageCount, 1);
  EXPECT_STREQ(Script().messages[0].text, cftest::kString801);
  EXPECT_EQ(Script().messages[0].style, UI_MB_ICONEXCLAMATION);
  EXPECT_EQ(tnw_ui_host.resourceHandle, cftest::kHostResources);
}

TEST(UiScript, Lines) {
  UiScript s;
  memset(&s, 0, sizeof s);
  char error[200];
  EXPECT_EQ(ui_ScriptParseLine(&s, "pick 7000 COM 3", error, sizeof error), 0);
  EXPECT_EQ(ui_ScriptParseLine(&s, "  pick-position 7002 3\n", error, sizeof error), 0);
  EXPECT_EQ(ui_ScriptParseLine(&s, "ok", error, sizeof error), 0);
  EXPECT_EQ(ui_ScriptParseLine(&s, "type 7011 ann smith", error, sizeof error), 0);
  EXPECT_EQ(ui_ScriptParseLine(&s, "# comment", error, sizeof error), 1);
  EXPECT_EQ(ui_ScriptParseLine(&s, "", error, sizeof error), 1);
  ASSERT_EQ(s.actionCount, 4);
  EXPECT_EQ(s.actions[3].kind, UI_ACT_TYPE);
  EXPECT_EQ(s.actions[3].control, 7011);
  EXPECT_STREQ(s.actions[3].text, "ann smith");
  EXPECT_EQ(s.actions[0].kind, UI_ACT_PICK_TEXT);
  EXPECT_EQ(s.actions[0].control, 7000);
  EXPECT_STREQ(s.actions[0].text, "COM 3");
  EXPECT_EQ(s.actions[1].position, 3);
  for (const char *bad : {"press ok", "pick", "pick x COM1", "pick-position 7002 three", "ok now",
                          "pick 7000 ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", "type", "type x ann"}) {
    error[0] = '\0';
    EXPECT_EQ(ui_ScriptParseLine(&s, bad, error, sizeof error), -1) << bad;
    EXPECT_NE(error[0], '\0') << bad;
  }
  EXPECT_EQ(s.actionCount, 4);
}

}  // namespace
