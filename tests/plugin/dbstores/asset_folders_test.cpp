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

}  // namespace
