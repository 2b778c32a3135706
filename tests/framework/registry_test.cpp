#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "framework/registry/ewf_guard.h"
#include "framework/registry/reg_settings.h"
#include "platform/os_env.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "tests/support/test_root.h"

namespace {

void SetText(OsHKey root, const char *key, const char *name, const char *value) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(root, key, 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, name, OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1)), 0);
  os_RegCloseKey(k);
}

std::string GetText(OsHKey root, const char *key, const char *name) {
  OsHKey k = nullptr;
  if (os_RegOpenKeyEx(root, key, 0, OS_KEY_QUERY_VALUE, &k) != 0) return "<no key>";
  char buf[300] = {};
  uint32_t type = 0, size = sizeof buf - 1;
  int32_t rc = os_RegQueryValueEx(k, name, &type, buf, &size);
  os_RegCloseKey(k);
  return rc == 0 ? std::string(buf) : "<no value>";
}

void DeleteKeyTree(OsHKey root, const std::string &key) {
  OsHKey k = nullptr;
  if (os_RegOpenKeyEx(root, key.c_str(), 0, OS_KEY_ALL_ACCESS, &k) != 0) return;
  char name[260];
  for (;;) {
    uint32_t n = sizeof name;
    if (os_RegEnumKeyEx(k, 0, name, &n) != 0) break;
    DeleteKeyTree(root, key + "\\" + name);
  }
  os_RegCloseKey(k);
  os_RegDeleteKey(root, key.c_str());
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteKeyTree(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford");
    DeleteKeyTree(OS_HKEY_CURRENT_USER, "SOFTWARE\\Quenford");
    reg_SetPerUser(false);
    prod_ForgetNames();
    for (const char *v : {"TSQ_SAVED_VALUES", "TSQ_BIN", "TSQ_X", "TSQ_EXPORTED_DATA"}) unsetenv(v);
  }
};

}  // namespace

TEST_F(SettingsTest, ProductNamesAndDefaults) {
  EXPECT_STREQ(prod_GetProductName(), "Tessarine");
  EXPECT_STREQ(prod_GetReplicationProductName(), "Field to Base");
  EXPECT_STREQ(cfg_ProductRoot(), "C:\\Tessarine");
  SetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", "ProductName", "Rimfold");
  prod_ForgetNames();
  EXPECT_STREQ(prod_GetProductName(), "Rimfold");
  EXPECT_STREQ(prod_GetReplicationProductName(), "Ledger Lane");
  // The product's own key wins over the server key, and the per-user flag moves it to HKCU.
  SetText(OS_HKEY_CURRENT_USER, "SOFTWARE\\Quenford", "ProductName", "Userland");
  reg_SetPerUser(true);
  prod_ForgetNames();
  EXPECT_STREQ(prod_GetProductName(), "Userland");
  EXPECT_STREQ(prod_GetReplicationProductName(), "Field to Base");
}

TEST_F(SettingsTest, ProductKeysReplaceTheServerWord) {
  SetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford", "ProductName", "Rimfold");
  prod_ForgetNames();
  const char *path = "SOFTWARE\\Quenford\\Tessarine";
  uint32_t type = OS_REG_SZ, size = 4;
  ASSERT_EQ(reg_AccessValue(OS_HKEY_LOCAL_MACHINE, path, OS_KEY_SET_VALUE, "Mode", &type,
                            const_cast<char *>("one"), &size),
            0);
  EXPECT_EQ(GetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Rimfold", "Mode"), "one");
  EXPECT_EQ(GetText(OS_HKEY_LOCAL_MACHINE, path, "Mode"), "<no key>");  // writes never fall back
  // A plain query falls back to the server key; other access masks do not.
  SetText(OS_HKEY_LOCAL_MACHINE, path, "Only", "server");
  char buf[32] = {};
  size = sizeof buf;
  ASSERT_EQ(reg_AccessValue(OS_HKEY_LOCAL_MACHINE, path, OS_KEY_QUERY_VALUE, "Only", &type, buf, &size), 0);
  EXPECT_STREQ(buf, "server");
  size = sizeof buf;
  EXPECT_EQ(reg_AccessValue(OS_HKEY_LOCAL_MACHINE, path, OS_KEY_READ, "Only", &type, buf, &size), 2);
  size = sizeof buf;
  ASSERT_EQ(reg_AccessValue(OS_HKEY_LOCAL_MACHINE, path, OS_KEY_QUERY_VALUE, "Mode", &type, buf, &size), 0);
  EXPECT_STREQ(buf, "one");
  // Only a missing key or value falls back: a product value too long for the
  // buffer is the answer (234), not the server key's shorter one.
  SetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Rimfold", "Long", "a value longer than eight");
  SetText(OS_HKEY_LOCAL_MACHINE, path, "Long", "short");
  char small[8] = {};
  size = sizeof small;
  EXPECT_EQ(reg_AccessValue(OS_HKEY_LOCAL_MACHINE, path, OS_KEY_QUERY_VALUE, "Long", &type, small, &size), 234);
  EXPECT_NE(std::string(small, strnlen(small, sizeof small)), "short");
  ASSERT_EQ(reg_DeleteValue(OS_HKEY_LOCAL_MACHINE, path, "Mode"), 0);
  EXPECT_EQ(GetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Rimfold", "Mode"), "<no value>");
  EXPECT_EQ(reg_KeyExists("Rimfold"), 1);
}

TEST_F(SettingsTest, NamedFolders) {
  struct Case { const char *env; const char *value; const char *name; const char *expect; } cases[] = {
      {nullptr, nullptr, "TSQ_BIN", "C:\\TESSARINE\\BIN"},                     // default, upper-cased
      {"TSQ_SAVED_VALUES", "D:\\Saved", "RE2_SAVED_VALUES", "D:\\Saved"},       // the alias
      {"TSQ_SAVED_VALUES", "D:\\Saved", "TSQ_SAVED_VALUES", "D:\\Saved"},
      {"tsq_x", "%Plain%", "TSQ_X", "%Plain%"},                                 // not an indirection
      {"TSQ_X", "%", "TSQ_X", "%"},
  };
  for (const Case &c : cases) {
    if (c.env) setenv(c.env, c.value, 1);
    const char *got = cfg_ResolveName(c.name);
    ASSERT_NE(got, nullptr) << c.name;
    EXPECT_STREQ(got, c.expect) << c.name;
    if (c.env) unsetenv(c.env);
  }
  SetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\X", "Folder", "E:\\From\\Registry");
  setenv("TSQ_X", "%\\LocalMachine\\SOFTWARE\\X\\Folder%", 1);
  ASSERT_NE(cfg_ResolveName("TSQ_X"), nullptr);
  EXPECT_STREQ(cfg_ResolveName("TSQ_X"), "E:\\From\\Registry");
  // A failed indirection names no folder at all.
  for (const char *bad : {"%\\LocalMachine\\SOFTWARE\\X\\Missing%", "%\\NoHive\\SOFTWARE\\X\\Folder%"}) {
    setenv("TSQ_X", bad, 1);
    errno = 0;
    EXPECT_EQ(cfg_ResolveName("TSQ_X"), nullptr) << bad;
    EXPECT_NE(errno, 0) << bad;
    EXPECT_EQ(cfg_GetFolder("TSQ_X"), nullptr) << bad;
  }
  std::string longName(250, 'L');
  errno = 0;
  EXPECT_EQ(cfg_ResolveName(longName.c_str()), nullptr);
  EXPECT_EQ(errno, 22);
  // The registry's "Root:" replaces the product root.
  SetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", "Root:", "F:\\Plant");
  EXPECT_STREQ(cfg_ProductRoot(), "F:\\Plant");
  EXPECT_STREQ(cfg_ResolveName("TSQ_BIN"), "F:\\PLANT\\BIN");
}

TEST_F(SettingsTest, ExportFoldersAreCreatedWhenMissing) {
  const char *folder = cfg_GetFolder("TSQ_EXPORTED_DATA");
  ASSERT_NE(folder, nullptr);
  EXPECT_STREQ(folder, "C:\\TESSARINE\\EXPORTED_DATA");
  char linux[4096];
  ASSERT_EQ(os_TranslatePath(folder, linux, sizeof linux), 0);
  EXPECT_TRUE(std::filesystem::is_directory(linux));
  EXPECT_NE(fs_CheckAccess(folder, OS_GENERIC_WRITE), 0);
  EXPECT_EQ(fs_CheckAccess("C:\\does\\not\\exist", OS_GENERIC_READ), 0);
}

namespace {

// Runs a scenario in a child process, so the guard's once-per-process state
// starts afresh; returns the child's failure text ("" when it passed).
std::string InChild(const std::function<std::string()> &body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe";
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    ewf_ReleaseSdk();
    prod_ForgetNames();
    std::string r = body();
    if (write(fds[1], r.data(), r.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = 0;
  waitpid(child, &st, 0);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) out += " (child ended badly)";
  return out;
}

std::string Count(const std::string &log, const std::string &what) {
  size_t n = 0, at = 0;
  while ((at = log.find(what, at)) != std::string::npos) ++n, at += what.size();
  return std::to_string(n);
}

class GuardTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    DeleteKeyTree(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\EWF");
    dir = tnwtest::MakeTempDir("ewf");
    log = dir + "/calls.log";
    // The filter manager stand-in logs its arguments; it fails while "fail"
    // exists and takes its time while "slow" does.
    tnwtest::WriteFile(dir + "/ewfmgr",
                       "#!/bin/sh\necho \"$*\" >> " + log + "\n[ -e " + dir + "/slow ] && sleep 0.5\n[ -e " + dir +
                           "/fail ] && exit 1\nexit 0\n");
    chmod((dir + "/ewfmgr").c_str(), 0755);
    oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (dir + ":" + oldPath).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", oldPath.c_str(), 1);
    std::filesystem::remove(sdk);
    std::filesystem::remove_all(dir);
  }
  void InstallSdk() {
    std::filesystem::create_directories(std::filesystem::path(sdk).parent_path());
    std::filesystem::copy_file(FAKE_SDK_PATH, sdk, std::filesystem::copy_options::overwrite_existing);
  }
  std::string dir, log, oldPath;
  std::string sdk = std::string(os_Root()) + "/drives/c/WINDOWS/EmbCtlSDK.so";
};

std::string GuardedWrite(const char *value) {
  uint32_t type = OS_REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  int32_t rc = reg_AccessValue(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Plant", OS_KEY_SET_VALUE, "V", &type,
                               const_cast<char *>(value), &size);
  return rc == 0 ? "" : "write failed " + std::to_string(rc) + "; ";
}

}  // namespace

TEST_F(GuardTest, OrdinaryTargetWritesPlainly) {
  std::string r = InChild([&] {
    std::string f;
    if (ewf_LoadSdk() != nullptr) f += "sdk found; ";
    f += GuardedWrite("plain");
    if (GetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Plant", "V") != "plain") f += "value missing; ";
    return f;
  });
  EXPECT_EQ(r, "");
  EXPECT_EQ(tnwtest::ReadFile(log), "");
}

TEST_F(GuardTest, ProtectedTargetCommitsOncePerBoot) {
  InstallSdk();
  // A second process waits for the first write, then writes in the same boot.
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t later = fork();
  if (later == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(3);
    ewf_ReleaseSdk();
    _exit(GuardedWrite("second").empty() ? 0 : 1);
  }
  std::string r = InChild([&] {
    std::string f;
    if (!ewf_LoadSdk()) f += "sdk not found; ";
    if (std::string(prod_GetProductName()) != "Amberlin") f += "product not Amberlin; ";
    if (std::string(cfg_ProductRoot()) != "D:\\Amberlin") f += "root " + std::string(cfg_ProductRoot()) + "; ";
    f += GuardedWrite("first");
    f += GuardedWrite("again");
    return f;
  });
  EXPECT_EQ(r, "");
  ASSERT_EQ(write(go[1], "x", 1), 1);
  int st = 0;
  waitpid(later, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  std::string calls = tnwtest::ReadFile(log);
  EXPECT_EQ(Count(calls, "c: -commitanddisable -live"), "1") << calls;
  EXPECT_EQ(Count(calls, "c: -enable"), "1") << calls;
  EXPECT_EQ(GetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Plant", "V"), "second");
  // The next boot commits again.
  ASSERT_EQ(os_RegReboot(), 0);
  EXPECT_EQ(InChild([&] { return GuardedWrite("after reboot"); }), "");
  EXPECT_EQ(Count(tnwtest::ReadFile(log), "-commitanddisable"), "2");
}

TEST_F(GuardTest, TwoFirstWritersOfABootCommitOnce) {
  InstallSdk();
  tnwtest::WriteFile(dir + "/slow", "");
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t writers[2];
  for (pid_t &w : writers) {
    w = fork();
    ASSERT_GE(w, 0);
    if (w == 0) {
      char c;
      if (read(go[0], &c, 1) != 1) _exit(3);
      ewf_ReleaseSdk();
      prod_ForgetNames();
      _exit(GuardedWrite("racer").empty() ? 0 : 1);
    }
  }
  ASSERT_EQ(write(go[1], "xy", 2), 2);  // both start at once
  for (pid_t w : writers) {
    int st = 0;
    waitpid(w, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  close(go[0]);
  close(go[1]);
  std::string calls = tnwtest::ReadFile(log);
  EXPECT_EQ(Count(calls, "-commitanddisable"), "1") << calls;
  EXPECT_EQ(GetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Plant", "V"), "racer");
}

TEST_F(GuardTest, AFailedCommitIsRetried) {
  InstallSdk();
  tnwtest::WriteFile(dir + "/fail", "");
  std::string r = InChild([&] {
    std::string f;
    if (GuardedWrite("lost").empty()) f += "write passed a failed guard; ";
    std::filesystem::remove(dir + "/fail");
    f += GuardedWrite("kept");
    return f;
  });
  EXPECT_EQ(r, "");
  EXPECT_EQ(Count(tnwtest::ReadFile(log), "-commitanddisable"), "2");
  EXPECT_EQ(GetText(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Plant", "V"), "kept");
}

TEST_F(SettingsTest, FoldersThatCannotBeWrittenFallBack) {
  // The access check asks for the real user. A child that is "nobody" for the
  // check but keeps root's effective rights (to make the fall-back folders)
  // finds the product's folders read-only, as a user without rights would.
  std::string root = os_Root();
  struct stat rootStat;
  ASSERT_EQ(stat(root.c_str(), &rootStat), 0);
  ASSERT_EQ(chmod(root.c_str(), 0755), 0);
  std::filesystem::create_directories(root + "/hosts/tsclient/shares/c/Temp");
  ASSERT_EQ(chmod((root + "/hosts/tsclient/shares/c/Temp").c_str(), 0777), 0);
  const std::string perUser = "C:\\Users\\root\\AppData\\Local\\Quenford\\Tessarine\\";
  struct Case { const char *name; const char *session; const char *localAppData; std::string expect; } cases[] = {
      {"TSQ_EXPORTED_DATA", nullptr, nullptr, perUser + "TSQ_EXPORTED_DATA"},
      {"TSQ_EXPORTED_DATA", "RDP-Tcp#0", nullptr, "\\\\tsclient\\c\\Temp"},
      {"EXPORTED_IMAGES", "Console", nullptr, perUser + "EXPORTED_IMAGES"},
      {"TSQ_REPLAY_OPTIONS", "RDP-Tcp#0", nullptr, perUser + "TSQ_REPLAY_OPTIONS"},  // not an export folder
      {"TSQ_EXPORTED_DATA", nullptr, "E:\\Profiles\\op\\Local",
       "E:\\Profiles\\op\\Local\\Quenford\\Tessarine\\TSQ_EXPORTED_DATA"},
  };
  for (const Case &c : cases) {
    std::string r = InChild([&] {
      if (c.session) setenv("SESSIONNAME", c.session, 1);
      if (c.localAppData) setenv("LOCALAPPDATA", c.localAppData, 1);
      if (setresuid(65534, 0, 0) != 0) return std::string("skip: cannot change the real user");
      const char *got = cfg_GetFolder(c.name);
      if (!got) return std::string("no folder");
      if (got != c.expect) return std::string("got ") + got;
      char linux[4096];
      if (os_TranslatePath(got, linux, sizeof linux) != 0 || !std::filesystem::is_directory(linux))
        return std::string("not a folder: ") + got;
      return std::string();
    });
    if (r.rfind("skip:", 0) == 0) GTEST_SKIP() << r;
    EXPECT_EQ(r, "") << c.name << " " << (c.session ? c.session : "-");
  }
  // A folder the user may write to is the answer itself.
  char linux[4096];
  ASSERT_EQ(os_TranslatePath("C:\\TESSARINE\\EXPORTED_DATA", linux, sizeof linux), 0);
  ASSERT_EQ(chmod(linux, 0777), 0);
  EXPECT_EQ(InChild([] {
              if (setresuid(65534, 0, 0) != 0) return std::string("cannot change the real user");
              const char *got = cfg_GetFolder("TSQ_EXPORTED_DATA");
              return got && std::string(got) == "C:\\TESSARINE\\EXPORTED_DATA" ? std::string() : "got " + std::string(got ? got : "NULL");
            }),
            "");
  chmod(root.c_str(), rootStat.st_mode & 07777);
}
