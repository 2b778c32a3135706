// Helpers of the configuration-file tests: registry switches, device folders
// under the test's platform root, whole-file access and schema validation.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/registry/reg_settings.h"
#include "platform/os_registry.h"
#include "tests/support/test_root.h"

namespace cfgtest {

inline const char *kServerKey = "SOFTWARE\\Quenford\\Tessarine";

inline void SetText(OsHKey root, const char *name, const char *value) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(root, kServerKey, 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, name, OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1)), 0);
  os_RegCloseKey(k);
}

inline void SetDword(OsHKey root, const char *name, uint32_t value) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(root, kServerKey, 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, name, OS_REG_DWORD, &value, sizeof value), 0);
  os_RegCloseKey(k);
}

inline void DeleteValue(OsHKey root, const char *name) {
  OsHKey k = nullptr;
  if (os_RegOpenKeyEx(root, kServerKey, 0, OS_KEY_ALL_ACCESS, &k) != 0) return;
  os_RegDeleteValue(k, name);
  os_RegCloseKey(k);
}

// The XML switches of this computer: "ReadXML" and "WriteXML".
inline void XmlSwitches(const char *read, const char *write) {
  SetText(OS_HKEY_LOCAL_MACHINE, "ReadXML", read);
  SetText(OS_HKEY_LOCAL_MACHINE, "WriteXML", write);
}

// The stand-in extension libraries (xmltn_ex, xmlck_ex) are found through TSQ_BIN.
inline void UseTestLibraries() { setenv("TSQ_BIN", CFG_TESTLIB_DIR, 1); }

// "C:\CFG" and its Linux path; a configuration folder of its own per test.
struct Folders {
  std::string win, linux;
};
inline Folders ConfigFolder(const std::string &name) {
  Folders f{"C:\\" + name, tnwtest::Root() + "/drives/c/" + name};
  std::filesystem::remove_all(f.linux);
  std::filesystem::create_directories(f.linux);
  return f;
}
inline Folders DeviceFolder(const Folders &config, const std::string &name) {
  Folders f{config.win + "\\" + name, config.linux + "/" + name};
  std::filesystem::create_directories(f.linux);
  return f;
}

inline std::string Read(const std::string &path) { return tnwtest::ReadFile(path); }
inline bool Write(const std::string &path, const std::string &text) { return tnwtest::WriteFile(path, text); }

inline int Xmllint(const std::string &schema, const std::string &file) {
  std::string cmd = "xmllint --noout --schema '" + schema + "' '" + file + "' >/dev/null 2>&1";
  return std::system(cmd.c_str());
}
inline std::string XmllintOutput(const std::string &schema, const std::string &file) {
  std::string out = tnwtest::Root() + "/xmllint.out";
  std::string cmd = "xmllint --noout --schema '" + schema + "' '" + file + "' >'" + out + "' 2>&1";
  int rc = std::system(cmd.c_str());
  return std::to_string(rc) + ": " + tnwtest::ReadFile(out);
}

// Runs in another working folder for its lifetime.
struct Cwd {
  std::string before;
  explicit Cwd(const std::string &dir) {
    char buf[4096];
    before = getcwd(buf, sizeof buf) ? buf : "/";
    if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir;
  }
  ~Cwd() {
    if (chdir(before.c_str()) != 0) ADD_FAILURE() << "chdir back";
  }
};

}  // namespace cfgtest
