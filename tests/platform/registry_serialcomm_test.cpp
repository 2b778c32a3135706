// The serial-port key mirrors the COM links of the machine's dev folder,
// current each time it is opened.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/os_registry.h"
#include "tests/support/test_root.h"

namespace {

const char kKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::vector<std::string> Ports(OsHKey root) {
  std::vector<std::string> ports;
  OsHKey key;
  if (os_RegOpenKeyEx(root, kKey, 0, OS_KEY_READ, &key) != 0) return {"<no key>"};
  for (uint32_t i = 0;; ++i) {
    char name[200], data[64];
    uint32_t n = sizeof name, size = sizeof data, type = 0;
    if (os_RegEnumValue(key, i, name, &n, &type, data, &size) != 0) break;
    ports.push_back(type == OS_REG_SZ ? std::string(data) : "<type " + std::to_string(type) + ">");
  }
  os_RegCloseKey(key);
  return ports;
}

void Link(const std::string &dev, const char *name) {
  std::filesystem::create_directories(dev);
  std::filesystem::create_symlink("/dev/null", dev + "/" + name);
}

TEST(SerialComm, MirrorsTheDevFolder) {
  std::string dev = tnwtest::Root() + "/dev";
  EXPECT_EQ(Ports(OS_HKEY_LOCAL_MACHINE), std::vector<std::string>{});
  for (const char *n : {"COM10", "COM3", "COM1", "COMX", "LPT1", "COM2.bak"}) Link(dev, n);
  EXPECT_EQ(Ports(OS_HKEY_LOCAL_MACHINE), (std::vector<std::string>{"COM1", "COM3", "COM10"}));
  // A value of another writer stays; a link that went is gone at the next open.
  OsHKey key;
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, kKey, 0, OS_KEY_ALL_ACCESS, &key), 0);
  ASSERT_EQ(os_RegSetValueEx(key, "\\Device\\Other", OS_REG_DWORD, "\1\0\0\0", 4), 0);
  os_RegCloseKey(key);
  std::filesystem::remove(dev + "/COM3");
  EXPECT_EQ(Ports(OS_HKEY_LOCAL_MACHINE), (std::vector<std::string>{"<type 4>", "COM1", "COM10"}));
  // The key is volatile: a reboot drops it, the next open makes it again.
  ASSERT_EQ(os_RegReboot(), 0);
  EXPECT_EQ(Ports(OS_HKEY_LOCAL_MACHINE), (std::vector<std::string>{"COM1", "COM10"}));
}

TEST(SerialComm, AnotherHost) {
  std::string host = tnwtest::Root() + "/hosts/PUMPSRV";
  Link(host + "/dev", "COM7");
  OsHKey remote;
  ASSERT_EQ(os_RegConnectRegistry("\\\\PUMPSRV", OS_HKEY_LOCAL_MACHINE, &remote), 0);
  EXPECT_EQ(Ports(remote), std::vector<std::string>{"COM7"});
  os_RegCloseKey(remote);
}

}  // namespace
