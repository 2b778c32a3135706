// Finding, binding and freeing extension libraries, with real libraries.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "framework/tables/tbl_text.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "platform/os_eventlog.h"
#include "record/rec_type.h"
#include "tests/support/test_root.h"

namespace fs = std::filesystem;

namespace {

typedef const char *TextFn(void);

std::string Call(OsModuleHandle m, const char *fn) {
  auto *f = reinterpret_cast<TextFn *>(os_GetProcAddress(m, fn));
  return f ? f() : "<none>";
}

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = tnwtest::MakeTempDir("binding");
    bin = base + "/bin";
    path = base + "/path";
    fs::create_directories(bin);
    fs::create_directories(path);
    fs::create_directories(tnwtest::Root() + "/drives/c/CFG");
    log = base + "/load.log";
    setenv("EXT_TEST_LOG", log.c_str(), 1);
    setenv("TSQ_BIN", bin.c_str(), 1);
    savedLdPath = getenv("LD_LIBRARY_PATH") ? getenv("LD_LIBRARY_PATH") : "";
    setenv("LD_LIBRARY_PATH", path.c_str(), 1);
    fs::remove(tnwtest::Root() + "/drives/c/CFG/DATPROC.TXT");
  }
  void TearDown() override {
    setenv("LD_LIBRARY_PATH", savedLdPath.c_str(), 1);
    unsetenv("TSQ_BIN");
    unsetenv("EXT_TEST_LOG");
    fs::remove_all(base);
  }

  static void Put(const std::string &folder, const char *lib) {
    fs::copy_file(std::string(EXT_TESTLIB_DIR) + "/" + lib + "_ex.so", folder + "/" + lib + "_ex.so",
                  fs::copy_options::overwrite_existing);
  }
  static void Datproc(const std::string &text) {
    ASSERT_TRUE(tnwtest::WriteFile(tnwtest::Root() + "/drives/c/CFG/DATPROC.TXT", text));
  }
  // The marker of the library that loads for a directory, or "" when none does.
  static std::string LoadedFor(const char *directory) {
    OsModuleHandle m = ext_LoadExtension(directory);
    std::string marker = m ? Call(m, "TestLib_Marker") : "";
    ext_FreeExtension(m);
    return marker;
  }
  std::string Log() const { return tnwtest::ReadFile(log); }

  std::string base, bin, path, log, savedLdPath;
};

}  // namespace

TEST(BindingNames, DriverAndLibraryNames) {
  const struct {
    const char *directory, *driver, *library;
  } kCases[] = {
      {"C:\\CFG\\dudi12_1", "dudi12", "dudi_ex.dll"},   {"C:\\CFG\\DUDI7_2", "DUDI7", "dudi_ex.dll"},
      {"C:\\CFG\\dudi1a_1", "dudi1a", "dudi1_ex.dll"},  {"C:\\CFG\\dudiX_1", "dudiX", "dudiX_ex.dll"},
      {"C:\\CFG\\vantx12_3", "vantx12", "vantx_ex.dll"}, {"tnwll_2", "tnwll", "tnwll_ex.dll"},
      {"C:\\CFG\\tnwll_2\\", "tnwll", "tnwll_ex.dll"},   {"C:\\CFG\\abc", "abc", "abc_ex.dll"},
      {"C:\\CFG\\longdrivername_4", "longdrivername", "longd_ex.dll"},
      {"/srv/cfg/my_dev_7", "my_dev", "my_de_ex.dll"},
  };
  for (const auto &c : kCases) {
    char driver[EXT_NAME_MAX], library[EXT_NAME_MAX];
    ext_DriverName(c.directory, driver, sizeof driver);
    ext_LibraryName(driver, library, sizeof library);
    EXPECT_STREQ(driver, c.driver) << c.directory;
    EXPECT_STREQ(library, c.library) << c.directory;
  }
}

TEST_F(BindingTest, SearchPathFirstThenTheBinariesFolder) {
  Put(path, "fullx");
  Put(bin, "fullx");
  OsModuleHandle m = ext_LoadExtension("C:\\CFG\\fullx_1");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(fs::path(Call(m, "TestLib_Path")).parent_path(), fs::path(path));
  ext_FreeExtension(m);
  fs::remove(path + "/fullx_ex.so");
  m = ext_LoadExtension("C:\\CFG\\fullx_1");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(fs::path(Call(m, "TestLib_Path")).parent_path(), fs::path(bin));
  ext_FreeExtension(m);
  // A family library serves every numbered member.
  Put(bin, "dudi");
  EXPECT_EQ(LoadedFor("C:\\CFG\\dudi12_1"), "dudi");
  EXPECT_EQ(LoadedFor("C:\\CFG\\dudi3_2"), "dudi");
  EXPECT_EQ(LoadedFor("C:\\CFG\\dudi3x_2"), "");
}

TEST_F(BindingTest, TheProcessorTableNamesTheCustomLibrary) {
  Put(bin, "custa");
  Put(bin, "custd");
  const struct {
    const char *table, *loaded;
  } kCases[] = {
      {"* processors\n\nTNWLL,Tarnwell pumps,A-TW:10,,x\n", "custa"},
      {"  * indented comment\nTNWLL,Tarnwell pumps,D-TW:10,\n", "custd"},
      {"TNWLL,Tarnwell pumps,,\n", "custd"},
      {"tnwll,,A-TW:10,RUN\n", ""},
      {"TNWLL,,X-TW:10,\n", ""},
      {"TNWLL,,A-TW:0,\n", ""},
      {"OTHER,,A-OT:5,\nTNWLL9,,A-TW:4,\nTNWLL,,D-TW:4,\n", "custa"},
      {"OTHER,,A-OT:5,\n", ""},
  };
  for (const auto &c : kCases) {
    Datproc(c.table);
    EXPECT_EQ(LoadedFor("C:\\CFG\\tnwll_3"), c.loaded) << c.table;
    EXPECT_EQ(tbl_GetLine(), nullptr) << "the table is closed again";
  }
  fs::remove(tnwtest::Root() + "/drives/c/CFG/DATPROC.TXT");
  EXPECT_EQ(LoadedFor("C:\\CFG\\tnwll_3"), "");
  // Only the system search and the binaries folder serve a name alone.
  Datproc("TNWLL,,A-TW:10,\n");
  EXPECT_EQ(ext_LoadExtensionByName("tnwll"), nullptr);
}

TEST_F(BindingTest, EntryPointsAndTheirFallBacks) {
  Put(bin, "fullx");
  Put(bin, "barex");
  OsModuleHandle full = ext_LoadExtension("C:\\CFG\\fullx_1");
  OsModuleHandle bare = ext_LoadExtension("C:\\CFG\\barex_1");
  ASSERT_NE(full, nullptr);
  ASSERT_NE(bare, nullptr);
  ExtEntryPoints f, b;
  EXPECT_EQ(ext_BindEntryPoints(full, &f), static_cast<int>(sizeof(ExtEntryPoints) / sizeof(void *)));
  EXPECT_EQ(ext_BindEntryPoints(bare, &b), 0);
  auto *type = reinterpret_cast<const RecordType *(*)(int)>(os_GetProcAddress(full, "TestLib_Type"));
  auto *scratch = reinterpret_cast<void *(*)(void)>(os_GetProcAddress(full, "TestLib_Scratch"));
  ASSERT_TRUE(type && scratch);

  unsigned char rec[216] = {};
  EXPECT_EQ(ext_ConfigType(&f, rec, 20), type(0));
  EXPECT_EQ(ext_ConfigType(&b, rec, 20), nullptr);
  EXPECT_EQ(ext_DecoratedConfigSize(&f, 20), 28u);
  EXPECT_EQ(ext_DecoratedConfigSize(&b, 20), 20u);

  unsigned char parsed[4] = {1, 2, 3, 4}, work[4] = {};
  ext_DecorateConfig(&f, parsed, 4, work, 4);
  EXPECT_EQ(work[3], 5);
  ext_DecorateConfig(&b, parsed, 4, work, 4);
  EXPECT_EQ(work[3], 4) << "a plain copy without the entry point";
  // The entry point's own block comes back into the caller's record and is freed.
  ext_UndecorateConfig(&f, parsed, 4);
  EXPECT_EQ(parsed[0], 0xFE);
  ext_UndecorateConfig(&b, parsed, 4);
  EXPECT_EQ(parsed[0], 0xFE);

  char extra[8] = "xxxx";
  EXPECT_EQ(ext_ConfigExtraFileOffset(&f, extra, 8), 100u);
  EXPECT_EQ(ext_ConfigExtraFileOffset(&b, extra, 8), 0u);
  EXPECT_EQ(ext_ConfigExtraType(&f, rec, 20, extra, 8), type(1));
  EXPECT_EQ(ext_ConfigExtraType(&b, rec, 20, extra, 8), nullptr);
  ext_DecorateConfigExtra(&f, rec, 20, extra, 8);
  EXPECT_EQ(extra[0], 'D');
  ext_UndecorateConfigExtra(&f, rec, 20, extra, 8);
  EXPECT_EQ(extra[0], 'U');
  ext_UndecorateConfigExtra(&b, rec, 20, extra, 8);
  EXPECT_EQ(extra[0], 'U');

  xml_ClearError();
  EXPECT_EQ(ext_ValidateDevice(&f, ",ScanRate,BaudRate,", rec), 0);
  EXPECT_EQ(ext_ValidateDevice(&f, ",BaudRate,", rec), -1);
  EXPECT_STREQ(xml_GetErrorText(), " - <ScanRate> Required");
  xml_ClearError();
  EXPECT_EQ(ext_ValidateDevice(&b, ",", rec), 0);
  EXPECT_EQ(ext_ValidateDeviceExtra(&f, ",", rec, extra, 8), -1);
  xml_ClearError();
  EXPECT_EQ(ext_ValidateDeviceExtra(&b, ",", rec, extra, 8), 0);

  EXPECT_EQ(ext_DoesXml(&f), 1);
  EXPECT_EQ(ext_DoesXml(&b), 0);

  EXPECT_EQ(ext_ChannelHwType(&f, 0, 0, rec), type(2));
  EXPECT_EQ(ext_ChannelHwType(&f, 3, 0, rec), ext_DefaultChannelHwType(3)) << "a null type falls back too";
  EXPECT_EQ(ext_ChannelHwType(&b, 0, 0, rec)->size, 16u);
  EXPECT_EQ(ext_ChannelHwType(&b, 1, 0, rec)->size, 24u);
  EXPECT_STREQ(ext_ChannelHwType(&b, 4, 0, rec)->name, "fixeddata");
  ext_DecorateChannelHw(&f, 0, 0, rec);
  EXPECT_EQ(rec[188], 0xDC);
  ext_UndecorateChannelHw(&f, 0, 5, rec);
  EXPECT_EQ(rec[188], 0xE5);
  ext_UndecorateChannelHw(&b, 0, 6, rec);
  EXPECT_EQ(rec[188], 0xE5);

  EXPECT_EQ(ext_ChannelHasExtra(&f), 1);
  EXPECT_EQ(ext_ChannelHasExtra(&b), 0);
  EXPECT_EQ(ext_ChannelExtraType(&f, 0, 0, rec), type(3));
  EXPECT_EQ(ext_ChannelExtraType(&b, 0, 0, rec), nullptr);
  EXPECT_EQ(ext_ChannelExtraSize(&f, 2, 0, rec, extra), 14u);
  EXPECT_EQ(ext_ChannelExtraSize(&b, 2, 0, rec, extra), 0u);
  EXPECT_EQ(ext_ChannelExtraStruct(&f, 0, extra), scratch());
  EXPECT_EQ(ext_ChannelExtraStruct(&b, 0, extra), extra);
  ext_DecorateChannelExtra(&f, 0, 0, rec, extra, 8);
  EXPECT_EQ(extra[0], 'd');
  ext_UndecorateChannelExtra(&f, 0, 0, rec, extra, 8);
  EXPECT_EQ(extra[0], 'u');
  ext_DecorateChannelExtra(&b, 0, 0, rec, extra, 8);
  EXPECT_EQ(extra[0], 'u');

  xml_ClearError();
  EXPECT_EQ(ext_ValidateChan(&f, ",", rec), 0);
  rec[24] = 9;
  EXPECT_EQ(ext_ValidateChan(&f, ",", rec), -1);
  EXPECT_STREQ(xml_GetErrorText(), " - channel kind 9 refused");
  xml_ClearError();
  EXPECT_EQ(ext_ValidateChan(&b, ",", rec), 0);
  EXPECT_EQ(ext_ValidateChanExtra(&f, ",", rec, extra, 2), -1);
  EXPECT_STREQ(xml_GetErrorText(), " - only 2 bytes left");
  xml_ClearError();
  EXPECT_EQ(ext_ValidateChanExtra(&b, ",", rec, extra, 2), 0);
  EXPECT_EQ(ext_MixedChannelType(&f), 1);
  EXPECT_EQ(ext_MixedChannelType(&b), 0);

  ext_FreeExtension(full);
  ext_FreeExtension(bare);
  ExtEntryPoints none;
  EXPECT_EQ(ext_BindEntryPoints(nullptr, &none), 0);
  EXPECT_EQ(none.Get_Config_Type, nullptr);
}

TEST_F(BindingTest, HasDoXmlLoadsOnceFreesOnceAndKeepsOneDirectory) {
  Put(bin, "fullx");
  Put(bin, "barex");
  EXPECT_EQ(ext_HasDoXml("C:\\CFG\\fullx_1"), 1);
  EXPECT_EQ(Log(), "load fullx\nunload fullx\n");
  EXPECT_EQ(ext_HasDoXml("c:\\cfg\\FULLX_1"), 1);
  EXPECT_EQ(Log(), "load fullx\nunload fullx\n") << "the answer is kept";
  EXPECT_EQ(ext_HasDoXml("C:\\CFG\\barex_1"), 0);
  EXPECT_EQ(ext_HasDoXml("C:\\CFG\\fullx_1"), 1);
  EXPECT_EQ(Log(), "load fullx\nunload fullx\nload barex\nunload barex\nload fullx\nunload fullx\n");
  EXPECT_EQ(ext_HasDoXml("C:\\CFG\\nolib_1"), 0);
}

TEST_F(BindingTest, ValidateChanWithConfigReportsThroughTheXmlError) {
  Put(bin, "fullx");
  Put(bin, "barex");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  fs::create_directories(base + "/fullx_1");
  fs::create_directories(base + "/barex_1");
  ASSERT_EQ(chdir((base + "/fullx_1").c_str()), 0);
  int a = 1, b = 2;
  xml_ClearError();
  EXPECT_EQ(ext_ValidateChanWithConfig(&a, nullptr, nullptr, nullptr, nullptr, nullptr, &a), 0);
  errno = 0;
  EXPECT_EQ(ext_ValidateChanWithConfig(&a, nullptr, nullptr, nullptr, nullptr, nullptr, &b), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(os_GetLastError(), 1465u);
  EXPECT_STREQ(xml_GetErrorText(), " - channel does not suit the device");
  char logPath[4096];
  ASSERT_EQ(os_EventLogPath(".", logPath, sizeof logPath), 0);
  EXPECT_NE(tnwtest::ReadFile(logPath).find("\t102\t"), std::string::npos);
  EXPECT_NE(tnwtest::ReadFile(logPath).find(" - channel does not suit the device\n"), std::string::npos);
  xml_ClearError();
  ASSERT_EQ(chdir((base + "/barex_1").c_str()), 0);
  EXPECT_EQ(ext_ValidateChanWithConfig(&a, nullptr, nullptr, nullptr, nullptr, nullptr, &b), 0);
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(BindingTest, ConfigPortComesFromTheDevicesLibrary) {
  Put(path, "fullx");
  Put(bin, "barex");
  char port[EXT_PORT_MAX] = "junk";
  EXPECT_EQ(ext_GetConfigPort("fullx", port, sizeof port), 0);
  EXPECT_STREQ(port, "COM5:");
  EXPECT_EQ(ext_GetConfigPort("barex", port, sizeof port), -1);
  EXPECT_STREQ(port, "");
  EXPECT_EQ(ext_GetConfigPort("nolib", port, sizeof port), -1);
  // The device's own name: a numbered family member is not reduced.
  Put(bin, "dudi");
  fs::copy_file(std::string(EXT_TESTLIB_DIR) + "/fullx_ex.so", bin + "/dudi1_ex.so");
  EXPECT_EQ(ext_GetConfigPort("DUDI12", port, sizeof port), 0);
  EXPECT_STREQ(port, "COM6:");
  EXPECT_EQ(Log().find("dudi"), std::string::npos) << Log();
  fs::remove(bin + "/dudi1_ex.so");
  EXPECT_EQ(ext_GetConfigPort("DUDI12", port, sizeof port), -1);
  EXPECT_EQ(Log().find("dudi"), std::string::npos) << Log();
}
