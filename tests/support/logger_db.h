// The machine setting and SQL Server catalog the database logger tests set
// up in their platform root, and how they hold a stored time against
// logtool's.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/registry/reg_settings.h"
#include "platform/ado/ado.h"
#include "platform/os_file.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"

namespace tnwtest {

// Sets one of the product's machine settings; null deletes it.
inline void SetSetting(const char *name, const char *value) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr,
                              &k, nullptr),
            0);
  if (value)
    EXPECT_EQ(os_RegSetValueEx(k, name, OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1)), 0);
  else
    os_RegDeleteValue(k, name);
  os_RegCloseKey(k);
}

// Sets the installed product's name; null removes it.
inline void SetProduct(const char *name) {
  OsHKey key = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford", 0, OS_KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
  if (name) {
    ASSERT_EQ(os_RegSetValueEx(key, "ProductName", OS_REG_SZ, name, static_cast<uint32_t>(strlen(name) + 1)), 0);
  } else {
    os_RegDeleteValue(key, "ProductName");
  }
  os_RegCloseKey(key);
  prod_ForgetNames();
}

// A fresh, empty catalog of the local SQL Server and its connection string.
inline std::string SqlCs(const std::string &catalog) {
  std::string dir = std::string(os_Root()) + "/hosts/./sqlserver";
  os_MakeFolders(dir.c_str());
  std::string path = dir + "/" + catalog + ".db", why;
  remove(path.c_str());
  EXPECT_EQ(ado::ado_CreateFile(path, &why), ado::ADO_S_OK) << why;
  return "Provider=SQLOLEDB;Data Source=.;Initial Catalog=" + catalog;
}

// A stored date and MS as logtool shows a record time:
// "2026-12-11 02:30:01", 250.5 -> "26/12/11 02:30:01.250".
inline std::string AsShown(const std::string &dt, const std::string &ms) {
  if (dt.size() < 19) return "bad date " + dt;
  std::string out = dt.substr(2, 2) + "/" + dt.substr(5, 2) + "/" + dt.substr(8, 2) + " " + dt.substr(11, 8);
  int m = static_cast<int>(std::floor(std::stod(ms)));
  char frac[8] = "";
  if (m) snprintf(frac, sizeof frac, ".%03d", m);
  return out + frac;
}

}  // namespace tnwtest
