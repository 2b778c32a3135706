#include "plugin/dbstores/asset_folders.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>

#include "platform/os_error.h"
#include "tests/support/test_root.h"

namespace {

// A new folder as the system names it ("C:\\asset<n>") and its Linux path.
struct Folder {
  std::string windows, onDisk;
};
Folder NewFolder() {
  static int serial = 0;
  Folder f;
  f.windows = "C:\\asset" + std::to_string(++serial);
  f.onDisk = tnwtest::Root() + "/drives/c/asset" + std::to_string(serial);
  std::filesystem::create_directories(f.onDisk);
  return f;
}

TEST(AssetFolders, UserLimitReads) {
  const struct {
    const char *file;  // null: no information.ini
    int limit;
  } cases[] = {
      {nullptr, -1},
      {"[HEADER]\r\nA:1\r\n", -1},
      {"[USERLIMIT]\r\n", -1},
      {"[USERLIMIT]\r\nLIMIT=\r\n", -2},
      {"[USERLIMIT]\r\nLIMIT=  \r\n", -2},
      {"[userlimit]\r\nlimit=25\r\n", 25},
      {"[USERLIMIT]\r\nLIMIT=-7\r\n", -7},
      {"[USERLIMIT]\r\nLIMIT=abc\r\n", 0},
      {"[USERLIMIT]\r\nLIMIT=99999999999999\r\n", INT_MAX},
      {"[POSITION]\r\nLIMIT=3\r\n", -1},
  };
  for (const auto &c : cases) {
    Folder dir = NewFolder();
    if (c.file) {
      ASSERT_TRUE(tnwtest::WriteFile(dir.onDisk + "/information.ini", c.file));
    }
    EXPECT_EQ(asset_GetUserLimit(dir.windows.c_str()), c.limit) << (c.file ? c.file : "(none)");
  }
}

TEST(AssetFolders, UserLimitWritesAndReadsBack) {
  Folder dir = NewFolder();
  ASSERT_TRUE(tnwtest::WriteFile(dir.onDisk + "/information.ini", "[POSITION]\r\nLATITUDE=1.000000\r\n"));
  for (int limit : {5, -1, -2, 0, INT_MIN, INT_MAX}) {
    ASSERT_EQ(asset_SetUserLimit(dir.windows.c_str(), limit), 1);
    EXPECT_EQ(asset_GetUserLimit(dir.windows.c_str()), limit);
  }
  EXPECT_EQ(tnwtest::ReadFile(dir.onDisk + "/information.ini"),
            "[POSITION]\r\nLATITUDE=1.000000\r\n[USERLIMIT]\r\nLIMIT=2147483647\r\n");
}

TEST(AssetFolders, TooLongPathsTouchNothing) {
  Folder dir = NewFolder();
  // 259 characters with "\\information.ini" fits; one more does not.
  std::string name(259 - dir.windows.size() - 1 - 16, 'f');
  std::string fits = dir.windows + "\\" + name, over = fits + "g";
  ASSERT_EQ(fits.size() + 16, 259u);
  std::filesystem::create_directories(dir.onDisk + "/" + name);
  std::filesystem::create_directories(dir.onDisk + "/" + name + "g");  // a write there would succeed
  ASSERT_EQ(asset_SetUserLimit(fits.c_str(), 3), 1);
  EXPECT_EQ(asset_GetUserLimit(fits.c_str()), 3);
  EXPECT_EQ(asset_SetUserLimit(over.c_str(), 3), 0);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(asset_GetUserLimit(over.c_str()), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(std::filesystem::is_empty(dir.onDisk + "/" + name + "g"));
}

TEST(AssetFolders, PositionFromTheDeepestFileThenCountryThenRegion) {
  Folder root = NewFolder();
  const std::string r = root.windows;
  auto make = [&](const std::string &rel, const char *ini) {
    std::string d = root.onDisk + "/" + rel;
    std::filesystem::create_directories(d);
    if (ini) {
      ASSERT_TRUE(tnwtest::WriteFile(d + "/information.ini", ini));
    }
  };
  make("E/FRANCE/CUST/CLIENT/FIELD/WELL", nullptr);
  make("E/FRANCE/CUST", "[POSITION]\r\nLATITUDE=10.5\r\nLONGITUDE=-3.25\r\n");
  make("E/FRANCE/CUST/CLIENT", "[HEADER]\r\nA:1\r\n");  // no position here
  make("E/FRANCE/CUST/CLIENT/FIELD", "[POSITION]\r\nLATITUDE=1\r\nLONGITUDE=2\r\n");
  make("E/NOWHERE/C", nullptr);
  make("X/FRANCE/C", nullptr);
  const struct {
    std::string path;
    int found;
    double latitude, longitude;
  } cases[] = {
      {r + "\\E\\FRANCE\\CUST\\CLIENT\\FIELD\\WELL", 1, 1, 2},
      {r + "\\E\\FRANCE\\CUST\\CLIENT\\FIELD", 1, 1, 2},
      {r + "\\E\\FRANCE\\CUST\\CLIENT", 1, 10.5, -3.25},
      {r + "\\e\\france\\cust\\client\\", 1, 10.5, -3.25},
      {r + "\\E\\FRANCE\\OTHER", 1, 46.0, 2.0},  // the country's
      {r + "\\E\\FRANCE", 1, 46.0, 2.0},
      {r + "\\E\\NOWHERE\\C", 1, 54.368f, 4.922f},  // the region's
      {r + "\\E", 1, 54.368f, 4.922f},
      {r + "\\X\\FRANCE\\C", 0, 0, 0},
      {r, 0, 0, 0},
      {r + "\\", 0, 0, 0},
      {r + "X\\E\\FRANCE", 0, 0, 0},
      {"C:\\ELSEWHERE\\E\\FRANCE", 0, 0, 0},
  };
  for (const auto &c : cases) {
    double lat = 99, lon = 99;
    ASSERT_EQ(asset_PositionBelow(r.c_str(), c.path.c_str(), &lat, &lon), c.found) << c.path;
    if (!c.found) {
      EXPECT_EQ(lat, 99);
      continue;
    }
    EXPECT_NEAR(lat, c.latitude, 1e-4) << c.path;
    EXPECT_NEAR(lon, c.longitude, 1e-4) << c.path;
  }
  ASSERT_EQ(asset_SetPosition((r + "\\E\\NOWHERE\\C").c_str(), 12.5, -7.125), 1);
  EXPECT_EQ(tnwtest::ReadFile(root.onDisk + "/E/NOWHERE/C/information.ini"),
            "[POSITION]\r\nLATITUDE=12.500000\r\nLONGITUDE=-7.125000\r\n");
  double lat = 0, lon = 0;
  ASSERT_EQ(asset_PositionBelow(r.c_str(), (r + "\\E\\NOWHERE\\C").c_str(), &lat, &lon), 1);
  EXPECT_EQ(lat, 12.5);
  EXPECT_EQ(lon, -7.125);
}

}  // namespace
