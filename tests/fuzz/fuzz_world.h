// A platform root with a configuration folder for the framework's fuzz
// targets: made once per process (a fresh temporary one unless the replay
// test has set PLATFORM_ROOT), with device folders and whole-file access.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "framework/config/cfg_history.h"
#include "framework/xml/xml_error.h"
#include "platform/os_env.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "tests/fuzz/fuzz_check.h"

namespace fuzz {

struct Folder {
  std::string win, linux;
};

inline std::string Root() {
  static std::string root = [] {
    const char *r = getenv("PLATFORM_ROOT");
    if (r && *r) return std::string(r);
    char templ[] = "/tmp/tnw-fuzz-XXXXXX";
    if (!mkdtemp(templ)) abort();
    static std::string made = templ;
    setenv("PLATFORM_ROOT", made.c_str(), 1);
    os_ResetRootForTests();
    atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(made, ec);
    });
    return made;
  }();
  return root;
}

inline bool WriteFile(const std::string &path, const void *data, size_t n) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char *>(data), static_cast<std::streamsize>(n));
  return static_cast<bool>(f);
}

inline std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// "C:\FUZZ", the configuration folder (TSQ_CURRENT_CONFIG), with its own
// "config" file for the writers' change signal; history off.
inline Folder ConfigFolder() {
  static Folder f = [] {
    Folder c{"C:\\FUZZ", Root() + "/drives/c/FUZZ"};
    std::filesystem::create_directories(c.linux);
    const char two[2] = {0, 0};
    WriteFile(c.linux + "/config", two, 2);
    os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", c.win.c_str());
    cfg_SetHistoryEnabled(0);
    return c;
  }();
  return f;
}

inline Folder DeviceFolder(const std::string &name) {
  Folder c = ConfigFolder();
  Folder d{c.win + "\\" + name, c.linux + "/" + name};
  std::filesystem::create_directories(d.linux);
  return d;
}

inline void SetServerText(const char *name, const char *value) {
  OsHKey k = nullptr;
  if (os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) != 0)
    return;
  os_RegSetValueEx(k, name, OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1));
  os_RegCloseKey(k);
}

#ifdef CFG_TESTLIB_DIR
// XML reading and writing on, through the stand-in extension library that
// supports it ("xmltn_ex", for folders named xmltn_<n>). It stays loaded, so
// each configuration operation's load and free only count.
inline void UseXmlLibrary() {
  static bool done = [] {
    Root();
    SetServerText("ReadXML", "ON");
    SetServerText("WriteXML", "BOTH");
    setenv("TSQ_BIN", CFG_TESTLIB_DIR, 1);
    static OsModuleHandle keep = os_LoadLibrary(CFG_TESTLIB_DIR "/xmltn_ex.so");
    return keep != nullptr;
  }();
  (void)done;
}

// A reader's XML failure: the error number, the layer's sticky error, and a
// text "<folder> <section> - <text>" that always says what it was.
inline void CheckXmlFailure(int rc) {
  FUZZ_CHECK(rc == -1);
  FUZZ_CHECK(errno == OS_ERROR_XML_PARSE_ERROR);
  FUZZ_CHECK(xml_GetError() < 0);
  std::string why = xml_GetErrorText();
  size_t dash = why.find(" - ");
  FUZZ_CHECK(dash != std::string::npos && dash + 3 < why.size());
}

// What was read, written and read again writes the file it wrote first.
inline void CheckSameWriting(const std::string &first, const std::string &path) {
  std::string second = ReadFile(path);
  if (first != second) {
    fprintf(stderr, "first writing:\n%s\nsecond writing:\n%s\n", first.c_str(), second.c_str());
    FUZZ_CHECK(false);
  }
}
#endif

}  // namespace fuzz
