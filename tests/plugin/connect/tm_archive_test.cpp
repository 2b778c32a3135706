// Configuration archives made by the real archive programs and listed back:
// which folders go in, each once, and what a program that warns or fails
// leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_registry.h"
#include "platform/os_spawn.h"
#include "plugin/connect/tm_archive.h"
#include "tests/support/test_root.h"

namespace fs = std::filesystem;

namespace {

class Archives : public ::testing::Test {
 protected:
  void SetUp() override {
    tsq = tnwtest::Root() + "/drives/c/TSQ";
    fs::remove_all(tsq);
    for (const char *f : {"CURRENT_CONFIG/a.txt", "CURRENT_CONFIG/sub/b.dat", "SAVED_VALUES/v.bin",
                          "REPLAY_OPTIONS/r.txt", "CMONITORS/c.txt", "TRENDS/t.txt", "MONITORS/m.txt", "WEBHMI/w.txt",
                          "EXTRA1/e.txt", "MONPICLIB/p.txt"}) {
      fs::create_directories(fs::path(tsq + "/" + f).parent_path());
      ASSERT_TRUE(tnwtest::WriteFile(tsq + "/" + f, f));
    }
    fs::create_directories(tsq + "/SAVED_CONFIG");
    fs::create_directories(tsq + "/ARCH");
    os_SetEnvironmentVariable("TSQ_SAVED_CONFIG", "C:\\TSQ\\SAVED_CONFIG");
    const char *bin = getenv("TNW_BIN");
    ASSERT_NE(bin, nullptr);
    os_SetEnvironmentVariable("TSQ_BIN", bin);
    ASSERT_EQ(os_SetCurrentDirectory("C:\\TSQ\\CURRENT_CONFIG"), 0);
    path = getenv("PATH");
  }
  void TearDown() override {
    os_SetCurrentDirectory(tnwtest::Root().c_str());
    setenv("PATH", path.c_str(), 1);
    SetProduct(nullptr);
    SetExtraDirs(nullptr);
  }
  static void SetProduct(const char *name) {
    OsHKey k = nullptr;
    os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford", 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr);
    if (name)
      os_RegSetValueEx(k, "ProductName", OS_REG_SZ, name, static_cast<uint32_t>(strlen(name) + 1));
    else
      os_RegDeleteValue(k, "ProductName");
    os_RegCloseKey(k);
    prod_ForgetNames();
  }
  static void SetExtraDirs(const char *list) {
    for (const char *key : {"SOFTWARE\\Quenford\\Tessarine", "SOFTWARE\\Quenford\\Rimfold"}) {
      OsHKey k = nullptr;
      os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, key, 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr);
      if (list)
        os_RegSetValueEx(k, "ExtraSaveDirs", OS_REG_SZ, list, static_cast<uint32_t>(strlen(list) + 1));
      else
        os_RegDeleteValue(k, "ExtraSaveDirs");
      os_RegCloseKey(k);
    }
  }
  // A folder of stand-in programs put first on the path.
  std::string FakeProgram(const char *name, const std::string &script) {
    std::string dir = tnwtest::MakeTempDir("fakebin");
    EXPECT_TRUE(tnwtest::WriteFile(dir + "/" + name, "#!/bin/sh\n" + script + "\n"));
    chmod((dir + "/" + name).c_str(), 0755);
    return dir;
  }
  // The files an archive holds (folders left out).
  static std::multiset<std::string> Listed(const std::string &command) {
    const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
    OsProgramRun run;
    std::multiset<std::string> files;
    if (os_RunProgram(argv, &run) != 0 || run.exitCode != 0) return files;
    size_t at = 0;
    while (at < run.out.size()) {
      size_t end = run.out.find('\n', at);
      std::string line = run.out.substr(at, end - at);
      if (!line.empty() && line.back() != '/') files.insert(line);
      at = end == std::string::npos ? run.out.size() : end + 1;
    }
    return files;
  }
  std::string tsq, path;
};

std::string TarList(const std::string &archive) { return "tar -tPf '" + archive + "'"; }
std::string TsqList(const std::string &archive) { return "uncompress -c '" + archive + "' | tar -tPf -"; }
std::string ZipList(const std::string &archive) { return "unzip -Z1 '" + archive + "'"; }

}  // namespace

TEST_F(Archives, EachFormHoldsTheFolderAndItsNeighboursOnce) {
  using Files = std::multiset<std::string>;
  const Files base = {"./a.txt", "./sub/b.dat", "../SAVED_VALUES/v.bin", "../REPLAY_OPTIONS/r.txt"};
  auto with = [](Files f, std::initializer_list<const char *> more) {
    for (const char *m : more) f.insert(m);
    return f;
  };
  struct Case {
    const char *archive;
    int include;
    const char *product;
    const char *extraDirs;
    Files files;
  } cases[] = {
      {"C:\\TSQ\\ARCH\\plain.tar", 0, "Rimfold", nullptr, base},
      {"C:\\TSQ\\ARCH\\tess.tar", 1, nullptr, nullptr, base},
      {"C:\\TSQ\\ARCH\\rim.TAR", 1, "Rimfold", nullptr,
       with(base, {"../CMONITORS/c.txt", "../TRENDS/t.txt", "../MONITORS/m.txt", "../WEBHMI/w.txt"})},
      {"C:\\TSQ\\ARCH\\vorn.tar", 1, "VORN 7", nullptr,
       with(base, {"../CMONITORS/c.txt", "../TRENDS/t.txt", "../MONPICLIB/p.txt"})},
      {"\"C:\\TSQ\\ARCH\\extra.tar\"", 1, "Rimfold", "EXTRA1;NOPE;REPLAY_OPTIONS", with(base, {"../EXTRA1/e.txt"})},
  };
  for (const Case &c : cases) {
    SetProduct(c.product);
    SetExtraDirs(c.extraDirs);
    ASSERT_EQ(tm_ArchiveConfig(c.archive, nullptr, c.include), 0) << c.archive;
    std::string name = c.archive;
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    name = name.substr(name.find_last_of('\\') + 1);
    EXPECT_EQ(Listed(TarList(tsq + "/ARCH/" + name)), c.files) << c.archive;
  }

  // ".tsq": a tar file in the saved-configuration folder, compressed to the
  // archive and then removed.
  SetProduct("Rimfold");
  SetExtraDirs(nullptr);
  ASSERT_EQ(tm_ArchiveConfig("C:\\TSQ\\ARCH\\saved.tsq", nullptr, 0), 0) << os_GetLastError();
  EXPECT_FALSE(fs::exists(tsq + "/SAVED_CONFIG/saved.tar"));
  std::string z = tsq + "/ARCH/saved.tsq";
  EXPECT_EQ(tnwtest::ReadFile(z).substr(0, 2), "\x1f\x9d") << "the .Z form";
  EXPECT_EQ(Listed(TsqList(z)), base);

  // Any other name: a zip by qfzip, each folder under its own name.
  ASSERT_EQ(tm_ArchiveConfig("C:\\TSQ\\ARCH\\saved.zip", nullptr, 1), 0);
  EXPECT_EQ(Listed(ZipList(tsq + "/ARCH/saved.zip")),
            (Files{"CURRENT_CONFIG/a.txt", "CURRENT_CONFIG/sub/b.dat", "SAVED_VALUES/v.bin", "REPLAY_OPTIONS/r.txt",
                   "CMONITORS/c.txt", "TRENDS/t.txt", "MONITORS/m.txt", "WEBHMI/w.txt"}));
}

TEST_F(Archives, AProgramThatWarnsOrFailsLeavesNothing) {
  // A tar that makes its file yet says something on standard error.
  std::string dir = FakeProgram("tar", "/usr/bin/tar \"$@\"; echo 'tar: ./a.txt: file changed as we read it' >&2");
  setenv("PATH", (dir + ":" + path).c_str(), 1);
  EXPECT_EQ(tm_ArchiveConfig("C:\\TSQ\\ARCH\\warned.tsq", nullptr, 0), -1);
  EXPECT_FALSE(fs::exists(tsq + "/SAVED_CONFIG/warned.tar"));
  EXPECT_FALSE(fs::exists(tsq + "/ARCH/warned.tsq"));
  EXPECT_EQ(tm_ArchiveConfig("C:\\TSQ\\ARCH\\warned.tar", nullptr, 0), -1);
  EXPECT_FALSE(fs::exists(tsq + "/ARCH/warned.tar"));
  setenv("PATH", path.c_str(), 1);

  // A compress that reports "not compressed", or says "compressed" and makes
  // nothing: failures, and the tar file goes either way.
  struct Case {
    const char *script;
  } compressors[] = {
      {"echo \"$1: not compressed\"; exit 1"},
      {"echo \"$1: compressed\"; exit 0"},
  };
  for (const Case &c : compressors) {
    std::string bin = FakeProgram("compress", c.script);
    os_SetEnvironmentVariable("TSQ_BIN", bin.c_str());
    EXPECT_EQ(tm_ArchiveConfig("C:\\TSQ\\ARCH\\nz.tsq", nullptr, 0), -1) << c.script;
    EXPECT_FALSE(fs::exists(tsq + "/SAVED_CONFIG/nz.tar")) << c.script;
    EXPECT_FALSE(fs::exists(tsq + "/ARCH/nz.tsq")) << c.script;
  }
  // No qfzip in TSQ_BIN.
  EXPECT_EQ(tm_ArchiveConfig("C:\\TSQ\\ARCH\\nz.zip", nullptr, 0), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_FILE_NOT_FOUND));
}
