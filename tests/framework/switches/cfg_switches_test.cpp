// The XML switches of the configuration host, local and remote.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "framework/registry/cfg_switches.h"
#include "framework/registry/prod_platform.h"
#include "framework/registry/reg_settings.h"
#include "platform/os_registry.h"
#include "tests/support/test_root.h"

namespace {

const char kServerKey[] = "SOFTWARE\\Quenford\\Tessarine";

void DeleteTree(OsHKey root, const std::string &key) {
  OsHKey k = nullptr;
  if (os_RegOpenKeyEx(root, key.c_str(), 0, OS_KEY_ALL_ACCESS, &k) != 0) return;
  char name[260];
  for (;;) {
    uint32_t n = sizeof name;
    if (os_RegEnumKeyEx(k, 0, name, &n) != 0) break;
    DeleteTree(root, key + "\\" + name);
  }
  os_RegCloseKey(k);
  os_RegDeleteKey(root, key.c_str());
}

void SetText(OsHKey root, const char *key, const char *name, const char *value) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(root, key, 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, name, OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1)), 0);
  os_RegCloseKey(k);
}

void SetDword(OsHKey root, const char *key, const char *name, uint32_t value) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(root, key, 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, name, OS_REG_DWORD, &value, sizeof value), 0);
  os_RegCloseKey(k);
}

class SwitchesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteTree(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford");
    reg_SetPerUser(false);
    prod_ForgetNames();
  }
  void TearDown() override { prod_ForgetNames(); }

  static void Product(const char *name) {
    if (name) SetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford", "ProductName", name);
    prod_ForgetNames();
  }
};

}  // namespace

TEST_F(SwitchesTest, ValuesByProductName) {
  const struct {
    const char *product, *readXml, *writeXml;
    int excel;  // -1: not stored
    int wantRead, wantWrite;
    uint32_t wantExcel;
  } kCases[] = {
      {nullptr, nullptr, nullptr, -1, 0, 0, 1},
      {"Rimfold", nullptr, nullptr, -1, 1, 2, 1},
      {"RIMFOLD", nullptr, nullptr, -1, 1, 2, 1},
      {"Tessarine", "ON", "both", 0, 1, 1, 0},
      {"Tessarine", "on", "Xml", 7, 1, 2, 7},
      {"Rimfold", "OFF", "BIN", -1, 0, 0, 1},
      {"Rimfold", "maybe", "yes", -1, 1, 0, 1},
      {"Tessarine", "maybe", "", -1, 0, 0, 1},
      {"Rimfold", "ONONONONONON", "XMLXMLXMLXML", -1, 1, 0, 1},
      {"Amberlin", "Off", "BoTh", 1, 0, 1, 1},
  };
  for (const auto &c : kCases) {
    SetUp();
    Product(c.product);
    if (c.readXml) SetText(OS_HKEY_LOCAL_MACHINE, kServerKey, "ReadXML", c.readXml);
    if (c.writeXml) SetText(OS_HKEY_LOCAL_MACHINE, kServerKey, "WriteXML", c.writeXml);
    if (c.excel >= 0) SetDword(OS_HKEY_LOCAL_MACHINE, kServerKey, "ExcelCompatibleXSD", static_cast<uint32_t>(c.excel));
    const char *product = c.product ? c.product : "(default)";
    EXPECT_EQ(cfg_ReadXmlEnabled("C:\\CONFIG\\tnwll_1"), c.wantRead) << product << " " << (c.readXml ? c.readXml : "");
    EXPECT_EQ(cfg_WriteXmlMode("C:\\CONFIG\\tnwll_1"), c.wantWrite) << product << " " << (c.writeXml ? c.writeXml : "");
    EXPECT_EQ(cfg_ExcelCompatibleXsd("C:\\CONFIG\\tnwll_1"), c.wantExcel) << product;
  }
}

TEST_F(SwitchesTest, TheProductsOwnKeyComesFirst) {
  Product("Rimfold");
  SetText(OS_HKEY_LOCAL_MACHINE, kServerKey, "WriteXML", "BOTH");
  EXPECT_EQ(cfg_WriteXmlMode("tnwll_1"), 1);
  SetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Rimfold", "WriteXML", "BIN");
  EXPECT_EQ(cfg_WriteXmlMode("tnwll_1"), 0);
  // A text where a number belongs counts as missing.
  SetText(OS_HKEY_LOCAL_MACHINE, kServerKey, "ExcelCompatibleXSD", "0");
  EXPECT_EQ(cfg_ExcelCompatibleXsd("tnwll_1"), 1u);
}

TEST_F(SwitchesTest, TheHostOfAPath) {
  const struct {
    const char *path, *host;
  } kCases[] = {{"\\\\CFGHOST\\Config\\tnwll_1", "CFGHOST"}, {"\\\\CFGHOST", "."},     {"C:\\CONFIG", "."},
                {"\\\\\\x", "."},                           {"\\single\\x", "."},      {"tnwll_1", "."},
                {nullptr, "."}};
  for (const auto &c : kCases) {
    char host[260];
    cfg_ConfigHost(c.path, host, sizeof host);
    EXPECT_STREQ(host, c.host) << (c.path ? c.path : "(null)");
  }
  std::string longHost(300, 'h');
  char host[400];
  cfg_ConfigHost(("\\\\" + longHost + "\\x").c_str(), host, sizeof host);
  EXPECT_EQ(strlen(host), 259u);
}

TEST_F(SwitchesTest, ARemoteHostIsAskedAndAnUnreachableOneGivesTheDefaults) {
  Product("Rimfold");
  SetText(OS_HKEY_LOCAL_MACHINE, kServerKey, "ReadXML", "OFF");
  SetText(OS_HKEY_LOCAL_MACHINE, kServerKey, "WriteXML", "BIN");
  SetDword(OS_HKEY_LOCAL_MACHINE, kServerKey, "ExcelCompatibleXSD", 0);
  std::filesystem::create_directories(tnwtest::Root() + "/hosts/CFGHOST");
  OsHKey remote = nullptr;
  ASSERT_EQ(os_RegConnectRegistry("\\\\CFGHOST", OS_HKEY_LOCAL_MACHINE, &remote), 0);
  SetText(remote, kServerKey, "ReadXML", "ON");
  SetText(remote, kServerKey, "WriteXML", "Both");
  SetDword(remote, kServerKey, "ExcelCompatibleXSD", 5);
  os_RegCloseKey(remote);

  const char *onRemote = "\\\\cfghost\\Config\\tnwll_1";
  EXPECT_EQ(cfg_ReadXmlEnabled(onRemote), 1);
  EXPECT_EQ(cfg_WriteXmlMode(onRemote), 1);
  EXPECT_EQ(cfg_ExcelCompatibleXsd(onRemote), 5u);
  // This computer's own values.
  for (const char *local : {"C:\\CONFIG\\tnwll_1", "\\\\localhost\\c\\CONFIG\\tnwll_1", "\\\\.\\c\\x"}) {
    EXPECT_EQ(cfg_ReadXmlEnabled(local), 0) << local;
    EXPECT_EQ(cfg_WriteXmlMode(local), 0) << local;
    EXPECT_EQ(cfg_ExcelCompatibleXsd(local), 0u) << local;
  }
  // No such computer: the product's defaults, not this computer's values.
  const char *gone = "\\\\NOHOST\\Config\\tnwll_1";
  EXPECT_EQ(cfg_ReadXmlEnabled(gone), 1);
  EXPECT_EQ(cfg_WriteXmlMode(gone), 2);
  EXPECT_EQ(cfg_ExcelCompatibleXsd(gone), 1u);
}

TEST(PlatformQueries, TheNtFamilyUnlessAskedFor9x) {
  EXPECT_EQ(prod_GetOsPlatformId(), 2u);
  EXPECT_EQ(prod_GetOsMajorVersion(), 5u);
}
