#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "platform/os_registry_file.h"
#include "tests/support/test_root.h"

namespace {

const int32_t kNotFound = OS_ERROR_FILE_NOT_FOUND;

// A key handle that is closed at the end of the scope.
struct Key {
  OsHKey h = nullptr;
  Key() = default;
  explicit Key(OsHKey k) : h(k) {}
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
  ~Key() {
    if (h) os_RegCloseKey(h);
  }
};

// The test's own key below HKLM\SOFTWARE\RegTest, so the tests of this
// program never see each other's keys.
std::string TestPath(const std::string &sub = "") {
  const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string p = std::string("SOFTWARE\\RegTest\\") + t->test_suite_name() + "_" + t->name();
  return sub.empty() ? p : p + "\\" + sub;
}

OsHKey CreateKey(OsHKey root, const std::string &path, uint32_t options = OS_REG_OPTION_NON_VOLATILE,
                 uint32_t *disposition = nullptr) {
  OsHKey k = nullptr;
  int32_t r = os_RegCreateKeyEx(root, path.c_str(), options, OS_KEY_ALL_ACCESS, nullptr, &k, disposition);
  EXPECT_EQ(r, 0) << path;
  return k;
}

int32_t SetString(OsHKey k, const char *name, const std::string &text) {
  return os_RegSetValueEx(k, name, OS_REG_SZ, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

// The text of a REG_SZ value, or "<error N>".
std::string GetString(OsHKey k, const char *name) {
  char buf[512];
  uint32_t size = sizeof buf, type = 0;
  int32_t r = os_RegQueryValueEx(k, name, &type, buf, &size);
  if (r) return "<error " + std::to_string(r) + ">";
  if (type != OS_REG_SZ || size == 0 || buf[size - 1] != '\0') return "<malformed>";
  return std::string(buf, size - 1);
}

uint64_t ChangeCount(OsHKey k) {
  uint64_t c = 0;
  EXPECT_EQ(os_RegGetChangeCount(k, &c), 0);
  return c;
}

std::vector<std::string> SubkeyNames(OsHKey k) {
  std::vector<std::string> out;
  char name[256];
  for (uint32_t i = 0;; ++i) {
    uint32_t n = sizeof name;
    int32_t r = os_RegEnumKeyEx(k, i, name, &n);
    if (r == static_cast<int32_t>(OS_ERROR_NO_MORE_ITEMS)) break;
    EXPECT_EQ(r, 0);
    if (r) break;
    EXPECT_EQ(n, strlen(name));
    out.push_back(name);
  }
  return out;
}

std::vector<std::string> ValueNames(OsHKey k) {
  std::vector<std::string> out;
  char name[256];
  for (uint32_t i = 0;; ++i) {
    uint32_t n = sizeof name;
    int32_t r = os_RegEnumValue(k, i, name, &n, nullptr, nullptr, nullptr);
    if (r == static_cast<int32_t>(OS_ERROR_NO_MORE_ITEMS)) break;
    EXPECT_EQ(r, 0);
    if (r) break;
    out.push_back(name);
  }
  return out;
}

// The folder of a key below a hive's folder (ASCII names fold to upper case).
std::string KeyFolder(const std::string &hiveFolder, const std::string &path) {
  std::string p = path;
  for (char &c : p) c = c == '\\' ? '/' : static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return hiveFolder + "/" + p;
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(RegistryValues, RoundTripEveryType) {
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  uint32_t five = 5;
  const std::string qword("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  struct Case {
    const char *name;
    uint32_t type;
    std::string bytes;
  } cases[] = {
      {"ProductName", OS_REG_SZ, std::string("Tessarine", 10)},
      {"Count", OS_REG_DWORD, std::string(reinterpret_cast<const char *>(&five), 4)},
      {"Blob", OS_REG_BINARY, std::string("\x0a\x00\x0c", 3)},
      {"EmptyBlob", OS_REG_BINARY, ""},
      {"Path", OS_REG_EXPAND_SZ, std::string("%TSQ_BIN%\\x", 12)},
      {"Ports", OS_REG_MULTI_SZ, std::string("COM1\0COM2\0\0", 11)},
      {"Big", 11 /* REG_QWORD */, qword},
      {"Large", OS_REG_BINARY, std::string(100000, '\x5a')},
  };
  for (const Case &c : cases)
    ASSERT_EQ(os_RegSetValueEx(k.h, c.name, c.type, c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), 0)
        << c.name;
  // Through another handle, as another part of the system would read it.
  Key r;
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, TestPath().c_str(), 0, OS_KEY_READ, &r.h), 0);
  for (const Case &c : cases) {
    std::string buf(c.bytes.size() + 8, '\xee');
    uint32_t type = 99, size = static_cast<uint32_t>(buf.size());
    ASSERT_EQ(os_RegQueryValueEx(r.h, c.name, &type, buf.data(), &size), 0) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    ASSERT_EQ(size, c.bytes.size()) << c.name;
    EXPECT_EQ(buf.substr(0, size), c.bytes) << c.name;
  }
}

TEST(RegistryValues, NamesIgnoreCaseAndKeepTheirSpelling) {
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath("Quenford\\Tessarine")));
  ASSERT_EQ(SetString(k.h, "ProductName", "first"), 0);
  ASSERT_EQ(SetString(k.h, "PRODUCTNAME", "second"), 0);  // the same value
  ASSERT_EQ(SetString(k.h, "\xE9t\xE9", "cp1252"), 0);    // lower-case e acute

  Key other;
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, (TestPath() + "\\QUENFORD\\tessarine").c_str(), 0, OS_KEY_READ,
                            &other.h),
            0);
  EXPECT_EQ(GetString(other.h, "productname"), "second");
  EXPECT_EQ(GetString(other.h, "\xC9T\xC9"), "cp1252");
  EXPECT_EQ(ValueNames(other.h), (std::vector<std::string>{"ProductName", "\xE9t\xE9"}));

  // A second creation with other letter case opens the same key.
  uint32_t disp = 0;
  Key again(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath("QUENFORD\\TESSARINE"), 0, &disp));
  EXPECT_EQ(disp, OS_REG_OPENED_EXISTING_KEY);
  Key parent;
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, TestPath("quenford").c_str(), 0, OS_KEY_READ, &parent.h), 0);
  EXPECT_EQ(SubkeyNames(parent.h), std::vector<std::string>{"Tessarine"});
}

TEST(RegistryValues, OddKeyNamesStayInsideTheStore) {
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  const std::vector<std::string> names{"%41", "..", ".key", "a/b", "x\ty"};
  for (const std::string &n : names) {
    Key sub(CreateKey(k.h, n));
    ASSERT_EQ(SetString(sub.h, "Name", n), 0) << n;
  }
  EXPECT_EQ(SubkeyNames(k.h), (std::vector<std::string>{"%41", "..", ".key", "a/b", "x\ty"}));
  for (const std::string &n : names) {
    Key sub;
    ASSERT_EQ(os_RegOpenKeyEx(k.h, n.c_str(), 0, OS_KEY_READ, &sub.h), 0) << n;
    EXPECT_EQ(GetString(sub.h, "Name"), n);
  }
  OsHKey out = nullptr;
  EXPECT_EQ(os_RegOpenKeyEx(k.h, "A", 0, OS_KEY_READ, &out), kNotFound);  // "%41" is no escape of "A"
  EXPECT_EQ(GetString(k.h, "Name"), "<error 2>");  // ".key" did not replace the key's own file
  // One folder per key, all of them inside the key's own folder.
  int folders = 0;
  for (const auto &e : std::filesystem::directory_iterator(KeyFolder(tnwtest::Root() + "/registry/HKLM", TestPath())))
    folders += e.is_directory();
  EXPECT_EQ(folders, 5);
  Key parent;
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\RegTest", 0, OS_KEY_READ, &parent.h), 0);
  EXPECT_EQ(ValueNames(parent.h), std::vector<std::string>{});
}

TEST(RegistryValues, DefaultValueAndTextTerminator) {
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  ASSERT_EQ(SetString(k.h, nullptr, "default"), 0);
  EXPECT_EQ(GetString(k.h, ""), "default");
  ASSERT_EQ(SetString(k.h, "", "again"), 0);
  EXPECT_EQ(GetString(k.h, nullptr), "again");
  EXPECT_EQ(ValueNames(k.h), std::vector<std::string>{""});

  // A size that leaves out the terminator still gives a terminated text.
  ASSERT_EQ(os_RegSetValueEx(k.h, "Short", OS_REG_SZ, "abc", 3), 0);
  uint32_t size = 0;
  ASSERT_EQ(os_RegQueryValueEx(k.h, "Short", nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(GetString(k.h, "Short"), "abc");
  EXPECT_EQ(os_RegDeleteValue(k.h, nullptr), 0);
  EXPECT_EQ(os_RegQueryValueEx(k.h, nullptr, nullptr, nullptr, &size), kNotFound);
}

TEST(RegistryValues, EnumerationInNameOrder) {
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  for (const char *n : {"beta", "Alpha", "_under", "GAMMA"}) {
    Key sub(CreateKey(k.h, n));
    ASSERT_EQ(SetString(k.h, n, n), 0);
  }
  // Windows orders by upper-cased names: '_' comes after the letters.
  const std::vector<std::string> order{"Alpha", "beta", "GAMMA", "_under"};
  EXPECT_EQ(SubkeyNames(k.h), order);
  EXPECT_EQ(ValueNames(k.h), order);

  char name[8];
  uint32_t n = 3;  // "Alpha" needs 6 bytes
  EXPECT_EQ(os_RegEnumKeyEx(k.h, 0, name, &n), static_cast<int32_t>(OS_ERROR_MORE_DATA));
  EXPECT_EQ(n, 5u);
  n = 6;
  EXPECT_EQ(os_RegEnumKeyEx(k.h, 0, name, &n), 0);
  EXPECT_STREQ(name, "Alpha");
  EXPECT_EQ(os_RegEnumKeyEx(k.h, 4, name, &n), static_cast<int32_t>(OS_ERROR_NO_MORE_ITEMS));

  // A value whose data does not fit: the name is given, the size is the data's.
  char data[2];
  uint32_t type = 0, dsize = sizeof data;
  n = sizeof name;
  EXPECT_EQ(os_RegEnumValue(k.h, 0, name, &n, &type, data, &dsize), static_cast<int32_t>(OS_ERROR_MORE_DATA));
  EXPECT_STREQ(name, "Alpha");
  EXPECT_EQ(dsize, 6u);
  EXPECT_EQ(type, OS_REG_SZ);
  n = sizeof name;
  EXPECT_EQ(os_RegEnumValue(k.h, 4, name, &n, nullptr, nullptr, nullptr),
            static_cast<int32_t>(OS_ERROR_NO_MORE_ITEMS));
}

TEST(RegistryErrors, MissingKeysValuesAndSmallBuffers) {
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  ASSERT_EQ(SetString(k.h, "Name", "Tessarine"), 0);

  OsHKey missing = reinterpret_cast<OsHKey>(1);
  EXPECT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, TestPath("Nope\\Deeper").c_str(), 0, OS_KEY_READ, &missing),
            kNotFound);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  uint32_t size = 64;
  char buf[64];
  EXPECT_EQ(os_RegQueryValueEx(k.h, "Other", nullptr, buf, &size), kNotFound);

  size = 4;
  uint32_t type = 0;
  EXPECT_EQ(os_RegQueryValueEx(k.h, "Name", &type, buf, &size), static_cast<int32_t>(OS_ERROR_MORE_DATA));
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(type, OS_REG_SZ);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_MORE_DATA);
  size = 0;
  EXPECT_EQ(os_RegQueryValueEx(k.h, "Name", nullptr, nullptr, &size), 0);  // size only
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(os_RegQueryValueEx(k.h, "Name", nullptr, buf, nullptr), static_cast<int32_t>(OS_ERROR_INVALID_PARAMETER));

  EXPECT_EQ(os_RegDeleteValue(k.h, "Other"), kNotFound);
  EXPECT_EQ(os_RegDeleteKey(k.h, "Nope"), kNotFound);
  Key child(CreateKey(k.h, "Child\\Grandchild"));
  EXPECT_EQ(os_RegDeleteKey(k.h, "Child"), static_cast<int32_t>(OS_ERROR_ACCESS_DENIED));
  EXPECT_EQ(os_RegDeleteKey(OS_HKEY_LOCAL_MACHINE, ""), static_cast<int32_t>(OS_ERROR_ACCESS_DENIED));
  EXPECT_EQ(os_RegDeleteKey(k.h, "child\\GRANDCHILD"), 0);
  EXPECT_EQ(os_RegDeleteKey(k.h, "Child"), 0);
  EXPECT_EQ(SubkeyNames(k.h), std::vector<std::string>{});

  OsHKey bad = nullptr;
  EXPECT_EQ(os_RegOpenKeyEx(k.h, "\\Lead", 0, OS_KEY_READ, &bad), static_cast<int32_t>(OS_ERROR_BAD_PATHNAME));
  EXPECT_EQ(os_RegCreateKeyEx(k.h, "a\\\\b", 0, OS_KEY_ALL_ACCESS, nullptr, &bad, nullptr),
            static_cast<int32_t>(OS_ERROR_BAD_PATHNAME));
}

TEST(RegistryErrors, KeyDeletedAfterOpening) {
  Key parent(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  Key k(CreateKey(parent.h, "Doomed"));
  ASSERT_EQ(SetString(k.h, "v", "1"), 0);
  ASSERT_EQ(os_RegDeleteKey(parent.h, "Doomed"), 0);
  const int32_t deleted = OS_ERROR_KEY_DELETED;
  uint32_t size = 0;
  uint64_t count;
  char name[16];
  uint32_t n = sizeof name;
  OsHKey sub = nullptr;
  EXPECT_EQ(os_RegQueryValueEx(k.h, "v", nullptr, nullptr, &size), deleted);
  EXPECT_EQ(SetString(k.h, "v", "2"), deleted);
  EXPECT_EQ(os_RegDeleteValue(k.h, "v"), deleted);
  EXPECT_EQ(os_RegEnumKeyEx(k.h, 0, name, &n), deleted);
  EXPECT_EQ(os_RegGetChangeCount(k.h, &count), deleted);
  EXPECT_EQ(os_RegOpenKeyEx(k.h, "", 0, OS_KEY_READ, &sub), deleted);
  EXPECT_EQ(os_RegCreateKeyEx(k.h, "New", 0, OS_KEY_ALL_ACCESS, nullptr, &sub, nullptr), deleted);
  // A new key at the same place is another key.
  Key fresh(CreateKey(parent.h, "Doomed"));
  ASSERT_EQ(SetString(fresh.h, "v", "3"), 0);
  EXPECT_EQ(os_RegQueryValueEx(k.h, "v", nullptr, nullptr, &size), deleted);
  // Deleting a key through its own handle.
  EXPECT_EQ(os_RegDeleteKey(fresh.h, ""), 0);
  EXPECT_EQ(os_RegQueryValueEx(fresh.h, "v", nullptr, nullptr, &size), deleted);
}

TEST(RegistryErrors, InvalidHandlesAndAccess) {
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  ASSERT_EQ(SetString(k.h, "v", "1"), 0);
  const int32_t invalid = OS_ERROR_INVALID_HANDLE;
  OsHKey closed = CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath());
  ASSERT_EQ(os_RegCloseKey(closed), 0);
  uint32_t size = 0;
  uint64_t count;
  OsHKey out;
  for (OsHKey h : {closed, reinterpret_cast<OsHKey>(0x1234), static_cast<OsHKey>(nullptr)}) {
    EXPECT_EQ(os_RegQueryValueEx(h, "v", nullptr, nullptr, &size), invalid);
    EXPECT_EQ(SetString(h, "v", "x"), invalid);
    EXPECT_EQ(os_RegGetChangeCount(h, &count), invalid);
    EXPECT_EQ(os_RegOpenKeyEx(h, "x", 0, OS_KEY_READ, &out), invalid);
    EXPECT_EQ(os_RegCloseKey(h), invalid);
    EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(os_RegCloseKey(OS_HKEY_LOCAL_MACHINE), 0);  // predefined keys stay usable
  EXPECT_EQ(os_RegGetChangeCount(OS_HKEY_LOCAL_MACHINE, &count), 0);

  Key readOnly, writeOnly;
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, TestPath().c_str(), 0, OS_KEY_READ, &readOnly.h), 0);
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, TestPath().c_str(), 0, OS_KEY_SET_VALUE, &writeOnly.h), 0);
  const int32_t denied = OS_ERROR_ACCESS_DENIED;
  EXPECT_EQ(SetString(readOnly.h, "v", "x"), denied);
  EXPECT_EQ(os_RegDeleteValue(readOnly.h, "v"), denied);
  EXPECT_EQ(os_RegCreateKeyEx(readOnly.h, "New", 0, OS_KEY_ALL_ACCESS, nullptr, &out, nullptr), denied);
  EXPECT_EQ(os_RegQueryValueEx(writeOnly.h, "v", nullptr, nullptr, &size), denied);
  EXPECT_EQ(os_RegGetChangeCount(writeOnly.h, &count), denied);
  EXPECT_EQ(SetString(writeOnly.h, "v", "2"), 0);
  EXPECT_EQ(GetString(readOnly.h, "v"), "2");
}

TEST(RegistryVolatile, KeysVanishOnReboot) {
  Key base(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  uint32_t disp = 0;
  Key vol(CreateKey(base.h, "EWF", OS_REG_OPTION_VOLATILE, &disp));
  EXPECT_EQ(disp, OS_REG_CREATED_NEW_KEY);
  ASSERT_EQ(SetString(vol.h, "Mark", "1"), 0);
  OsHKey out = nullptr;
  EXPECT_EQ(os_RegCreateKeyEx(vol.h, "Lasting", OS_REG_OPTION_NON_VOLATILE, OS_KEY_ALL_ACCESS, nullptr, &out, nullptr),
            static_cast<int32_t>(OS_ERROR_CHILD_MUST_BE_VOLATILE));
  Key volChild(CreateKey(vol.h, "Child", OS_REG_OPTION_VOLATILE));
  // Opening an existing key ignores the option.
  Key same(CreateKey(base.h, "EWF", OS_REG_OPTION_NON_VOLATILE, &disp));
  EXPECT_EQ(disp, OS_REG_OPENED_EXISTING_KEY);
  Key lasting(CreateKey(base.h, "Lasting"));
  ASSERT_EQ(SetString(lasting.h, "Kept", "yes"), 0);

  const std::string folder = KeyFolder(tnwtest::Root() + "/registry/HKLM", TestPath("EWF"));
  ASSERT_TRUE(Exists(folder));
  ASSERT_EQ(os_RegReboot(), 0);
  EXPECT_EQ(os_RegOpenKeyEx(base.h, "EWF", 0, OS_KEY_READ, &out), kNotFound);
  uint32_t size = 0;
  EXPECT_EQ(os_RegQueryValueEx(vol.h, "Mark", nullptr, nullptr, &size), static_cast<int32_t>(OS_ERROR_KEY_DELETED));
  EXPECT_EQ(GetString(lasting.h, "Kept"), "yes");
  EXPECT_EQ(SubkeyNames(base.h), std::vector<std::string>{"Lasting"});
  EXPECT_FALSE(Exists(folder));

  // Created again in the new boot: new and empty.
  Key again(CreateKey(base.h, "EWF", OS_REG_OPTION_VOLATILE, &disp));
  EXPECT_EQ(disp, OS_REG_CREATED_NEW_KEY);
  EXPECT_EQ(ValueNames(again.h), std::vector<std::string>{});
  EXPECT_EQ(SubkeyNames(again.h), std::vector<std::string>{});
}

// A restart of the machine: the store's files carry another kernel boot id.
TEST(RegistryVolatile, KeysOfAnotherBootAreAbsentAndCleanedUp) {
  Key base(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  Key vol(CreateKey(base.h, "Vol", OS_REG_OPTION_VOLATILE));
  const std::string store = tnwtest::Root() + "/registry";
  const std::string folder = KeyFolder(store + "/HKLM", TestPath("Vol"));
  auto restamp = [](const std::string &path, size_t offset) {
    std::string bytes = tnwtest::ReadFile(path);
    ASSERT_GE(bytes.size(), offset + 16) << path;
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5a);
    ASSERT_TRUE(tnwtest::WriteFile(path, bytes));
  };
  restamp(folder + "/.key", offsetof(RegFileHeader, bootId));
  restamp(store + "/.swept", offsetof(RegBootStamp, bootId));

  OsHKey out = nullptr;
  EXPECT_EQ(os_RegOpenKeyEx(base.h, "Vol", 0, OS_KEY_READ, &out), kNotFound);
  EXPECT_EQ(SubkeyNames(base.h), std::vector<std::string>{});
  EXPECT_TRUE(Exists(folder));  // readers only skip it
  // The first writer of the new boot cleans the store.
  ASSERT_EQ(SetString(base.h, "Unrelated", "x"), 0);
  EXPECT_FALSE(Exists(folder));
}

TEST(RegistryChangeCount, GrowsWithEveryChangeOfValuesAndSubkeys) {
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  Key watcher;
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, TestPath().c_str(), 0, OS_KEY_NOTIFY, &watcher.h), 0);
  uint64_t last = ChangeCount(watcher.h);
  auto grew = [&](const char *what) {
    uint64_t now = ChangeCount(watcher.h);
    EXPECT_GT(now, last) << what;
    last = now;
  };
  ASSERT_EQ(SetString(k.h, "Debug", "ON"), 0);
  grew("new value");
  ASSERT_EQ(SetString(k.h, "Debug", "ON"), 0);
  grew("same value written again");
  ASSERT_EQ(SetString(k.h, "debug", "OFF"), 0);
  grew("changed value");
  { Key sub(CreateKey(k.h, "Sub")); }
  grew("new subkey");
  ASSERT_EQ(os_RegDeleteKey(k.h, "Sub"), 0);
  grew("deleted subkey");
  ASSERT_EQ(os_RegDeleteValue(k.h, "Debug"), 0);
  grew("deleted value");

  // Reading changes nothing.
  uint32_t size = 0;
  os_RegQueryValueEx(k.h, "Debug", nullptr, nullptr, &size);
  ValueNames(k.h);
  SubkeyNames(k.h);
  Key opened(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  EXPECT_EQ(ChangeCount(watcher.h), last);
}

TEST(RegistryRemote, HostReachableOnlyWithItsFolder) {
  OsHKey remote = reinterpret_cast<OsHKey>(1);
  EXPECT_EQ(os_RegConnectRegistry("\\\\FARHOST", OS_HKEY_LOCAL_MACHINE, &remote),
            static_cast<int32_t>(OS_ERROR_BAD_NETPATH));
  EXPECT_EQ(remote, nullptr);
  EXPECT_EQ(os_RegConnectRegistry("\\\\..", OS_HKEY_LOCAL_MACHINE, &remote),
            static_cast<int32_t>(OS_ERROR_BAD_NETPATH));

  ASSERT_EQ(os_MakeFolders((tnwtest::Root() + "/hosts/FARHOST").c_str()), 0);
  Key far;
  ASSERT_EQ(os_RegConnectRegistry("\\\\farhost", OS_HKEY_LOCAL_MACHINE, &far.h), 0);
  EXPECT_EQ(os_RegConnectRegistry("FARHOST", OS_HKEY_CURRENT_USER, &remote),
            static_cast<int32_t>(OS_ERROR_INVALID_HANDLE));
  Key port(CreateKey(far.h, "HARDWARE\\DEVICEMAP\\PARALLEL"));
  ASSERT_EQ(SetString(port.h, "\\Device\\Serial0", "COM1"), 0);
  Key farVol(CreateKey(far.h, TestPath("Vol"), OS_REG_OPTION_VOLATILE));

  OsHKey local = nullptr;
  EXPECT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\PARALLEL", 0, OS_KEY_READ, &local),
            kNotFound);
  EXPECT_TRUE(Exists(tnwtest::Root() + "/hosts/FARHOST/registry/HKLM/HARDWARE/DEVICEMAP/PARALLEL/.key"));
  Key again;
  ASSERT_EQ(os_RegConnectRegistry("\\\\FARHOST", OS_HKEY_LOCAL_MACHINE, &again.h), 0);
  Key reread;
  ASSERT_EQ(os_RegOpenKeyEx(again.h, "hardware\\devicemap\\parallel", 0, OS_KEY_READ, &reread.h), 0);
  EXPECT_EQ(GetString(reread.h, "\\DEVICE\\SERIAL0"), "COM1");

  // A reboot drops the volatile keys of every host.
  ASSERT_EQ(os_RegReboot(), 0);
  OsHKey gone = nullptr;
  EXPECT_EQ(os_RegOpenKeyEx(far.h, TestPath("Vol").c_str(), 0, OS_KEY_READ, &gone), kNotFound);
  EXPECT_EQ(GetString(reread.h, "\\Device\\Serial0"), "COM1");

  // ".", no name and this computer's name are this computer.
  Key mine(CreateKey(OS_HKEY_LOCAL_MACHINE, TestPath()));
  ASSERT_EQ(SetString(mine.h, "Here", "local"), 0);
  const std::string self = std::string("\\\\") + os_ComputerName();
  for (const char *host : {".", "\\\\.", "", static_cast<const char *>(nullptr), self.c_str(), self.c_str() + 2}) {
    Key h;
    ASSERT_EQ(os_RegConnectRegistry(host, OS_HKEY_LOCAL_MACHINE, &h.h), 0) << (host ? host : "NULL");
    Key sub;
    ASSERT_EQ(os_RegOpenKeyEx(h.h, TestPath().c_str(), 0, OS_KEY_READ, &sub.h), 0);
    EXPECT_EQ(GetString(sub.h, "Here"), "local");
  }
}

namespace {

// Runs `fn` in n child processes released together; returns their exit codes.
template <class Fn>
std::vector<int> RunChildren(int n, Fn fn) {
  int gate[2];
  EXPECT_EQ(pipe(gate), 0);
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char c;
      while (read(gate[0], &c, 1) < 0) {
      }
      _exit(fn(i));
    }
    pids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);  // opens the gate
  std::vector<int> codes;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  return codes;
}

bool ParsePair(const std::string &s, int *a, int *b) {
  char tail;
  return sscanf(s.c_str(), "%d:%d%c", a, b, &tail) == 2;
}

}  // namespace

TEST(RegistryConcurrency, WritersInSeveralProcessesLoseNothing) {
  const int kWriters = 6, kIterations = 150, kOwn = 8;
  const std::string path = TestPath();
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, path));
  ASSERT_EQ(SetString(k.h, "Shared", "0:0"), 0);
  const uint64_t start = ChangeCount(k.h);

  std::vector<int> codes = RunChildren(kWriters + 1, [&](int id) {
    OsHKey h = nullptr;
    if (os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, path.c_str(), 0, OS_KEY_ALL_ACCESS, &h) != 0) return 10;
    if (id == kWriters) {
      // The reader: every read is whole and the counter never goes back.
      uint64_t seen = 0;
      for (int i = 0; i < 400; ++i) {
        uint64_t c = 0;
        if (os_RegGetChangeCount(h, &c) != 0 || c < seen) return 11;
        seen = c;
        int a, b;
        if (!ParsePair(GetString(h, "Shared"), &a, &b)) return 12;
      }
      return 0;
    }
    for (int n = 0; n < kIterations; ++n) {
      std::string text = std::to_string(id) + ":" + std::to_string(n);
      std::string own = "Own" + std::to_string(id) + "_" + std::to_string(n % kOwn);
      if (SetString(h, own.c_str(), text) != 0) return 13;
      if (SetString(h, "Shared", text) != 0) return 14;
    }
    os_RegCloseKey(h);
    return 0;
  });
  for (int i = 0; i <= kWriters; ++i) EXPECT_EQ(codes[i], 0) << "child " << i;

  EXPECT_EQ(ChangeCount(k.h), start + 2u * kWriters * kIterations);  // no update lost
  for (int id = 0; id < kWriters; ++id) {
    for (int j = 0; j < kOwn; ++j) {
      int last = kIterations - 1 - ((kIterations - 1 - j) % kOwn);
      std::string own = "Own" + std::to_string(id) + "_" + std::to_string(j);
      EXPECT_EQ(GetString(k.h, own.c_str()), std::to_string(id) + ":" + std::to_string(last));
    }
  }
  int a = -1, b = -1;
  EXPECT_TRUE(ParsePair(GetString(k.h, "Shared"), &a, &b));
  EXPECT_TRUE(a >= 0 && a < kWriters) << a;
  EXPECT_EQ(b, kIterations - 1);
  EXPECT_EQ(ValueNames(k.h).size(), 1u + kWriters * kOwn);
}

TEST(RegistryConcurrency, ConcurrentCreatorsMakeOneKey) {
  const int kProcs = 6;
  for (int round = 0; round < 4; ++round) {
    const std::string path = TestPath("R" + std::to_string(round) + "\\A\\B");
    std::vector<int> codes = RunChildren(kProcs, [&](int) {
      OsHKey h = nullptr;
      uint32_t disp = 0;
      if (os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, path.c_str(), 0, OS_KEY_ALL_ACCESS, nullptr, &h, &disp) != 0)
        return 10;
      return static_cast<int>(disp);
    });
    int created = 0;
    for (int c : codes) {
      EXPECT_TRUE(c == OS_REG_CREATED_NEW_KEY || c == OS_REG_OPENED_EXISTING_KEY) << c;
      created += c == OS_REG_CREATED_NEW_KEY;
    }
    EXPECT_EQ(created, 1) << "round " << round;
    Key a;
    ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, TestPath("R" + std::to_string(round) + "\\A").c_str(), 0,
                              OS_KEY_READ, &a.h),
              0);
    EXPECT_EQ(SubkeyNames(a.h), std::vector<std::string>{"B"});
  }
}

TEST(RegistryConcurrency, ThreadsOfOneProcessLoseNothing) {
  const int kThreads = 4, kIterations = 100;
  const std::string path = TestPath();
  Key k(CreateKey(OS_HKEY_LOCAL_MACHINE, path));
  const uint64_t start = ChangeCount(k.h);
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      OsHKey h = nullptr;
      if (os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, path.c_str(), 0, OS_KEY_ALL_ACCESS, &h) != 0) {
        failures[t] = 1;
        return;
      }
      for (int n = 0; n < kIterations; ++n)
        if (SetString(h, ("T" + std::to_string(t)).c_str(), std::to_string(n)) != 0) ++failures[t];
      os_RegCloseKey(h);
    });
  }
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  EXPECT_EQ(ChangeCount(k.h), start + static_cast<uint64_t>(kThreads) * kIterations);
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(GetString(k.h, ("T" + std::to_string(t)).c_str()), std::to_string(kIterations - 1));
}
