// Finding a processor's library or program in the binary folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "framework/registry/reg_settings.h"
#include "framework/server/srv_modules.h"
#include "platform/os_env.h"
#include "platform/os_path.h"
#include "tests/support/test_root.h"

namespace {

std::string Found(const char *f) { return f ? f : "<none>"; }

class ModuleSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    local = tnwtest::Root() + "/drives/c/BIN";
    remote = tnwtest::Root() + "/hosts/HOSTB/shares/" + prod_GetProductName() + "/BIN";
    std::filesystem::create_directories(local);
    std::filesystem::create_directories(remote);
    os_SetEnvironmentVariable("TSQ_BIN", "C:\\BIN");
  }
  void TearDown() override { os_SetEnvironmentVariable("TSQ_BIN", nullptr); }
  static void Put(const std::string &path) { ASSERT_TRUE(tnwtest::WriteFile(path, "module")); }
  std::string local, remote;
};

}  // namespace

TEST_F(ModuleSearch, NamesSuffixesAndFolders) {
  Put(local + "/dudi.dll");
  EXPECT_EQ(Found(srv_FindModuleDll(".", "dudi12", nullptr)), "C:\\BIN\\dudi.dll");
  EXPECT_EQ(Found(srv_FindModuleDll(".", "DUDI7", nullptr)), "C:\\BIN\\dudi.dll") << "names match without case";
  EXPECT_EQ(Found(srv_FindModuleDll(".", "dudiab", nullptr)), "<none>") << "letters after the family are kept";
  Put(local + "/dudiab.dll");
  EXPECT_EQ(Found(srv_FindModuleDll(".", "dudiab", nullptr)), "C:\\BIN\\dudiab.dll");
  Put(local + "/vantx.so");
  EXPECT_EQ(Found(srv_FindModuleDll(".", "vantx3", "")), "C:\\BIN\\vantx.so") << "the library form of this platform";

  // "%.5s_%.2s" with a suffix.
  Put(local + "/tnwel_cf.dll");
  EXPECT_EQ(Found(srv_FindModuleDll(".", "tnwellx", "cfg")), "C:\\BIN\\tnwel_cf.dll");

  // Programs come quoted; the bare name is the program here.
  Put(local + "/tnwll_sc");
  EXPECT_EQ(Found(srv_FindModuleExe(".", "tnwll", "sc")), "\"C:\\BIN\\tnwll_sc\"");
  Put(local + "/tnwll_sc.exe");
  EXPECT_EQ(Found(srv_FindModuleExe(".", "tnwll", "sc")), "\"C:\\BIN\\tnwll_sc.exe\"");

  // Another server's binary folder after the local one (without a value in
  // the environment, which would name both).
  os_SetEnvironmentVariable("TSQ_BIN", nullptr);
  const std::string home = Found(cfg_GetFolder("TSQ_BIN"));
  char linuxHome[4096];
  ASSERT_EQ(os_TranslatePath(home.c_str(), linuxHome, sizeof linuxHome), 0);
  std::filesystem::create_directories(linuxHome);
  Put(remote + "/other.dll");
  const std::string product = prod_GetProductName();
  EXPECT_EQ(Found(srv_FindModuleDll("HOSTB", "other", nullptr)), "\\\\HOSTB\\" + product + "\\BIN\\other.dll");
  EXPECT_EQ(Found(srv_FindModuleDll(".", "other", nullptr)), "<none>") << "this computer looks only at home";
  Put(std::string(linuxHome) + "/other.dll");
  EXPECT_EQ(Found(srv_FindModuleDll("HOSTB", "other", nullptr)), home + "\\other.dll");
  EXPECT_EQ(srv_FindModuleDll(".", "", nullptr), nullptr);
}
