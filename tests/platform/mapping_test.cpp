#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_mapping.h"
#include "tests/platform/child_process.h"
#include "tests/support/test_root.h"

namespace {

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(MappingTest, TwoProcessesSeeEachOthersWrites) {
  OsHandle h = os_CreateFileMapping("Global\\shared_area", 4096, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SUCCESS);
  EXPECT_TRUE(Exists(tnwtest::Root() + "/kernel/Global/shared_area"));
  char *view = static_cast<char *>(os_MapViewOfFile(h, 0));
  ASSERT_NE(view, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(view[i], 0) << "zero-filled at " << i;
  strcpy(view, "from parent");

  tnwtest::Gate replied;
  pid_t child = tnwtest::Spawn([&] {
    OsHandle c = os_OpenFileMapping("Global\\shared_area");
    if (!c || os_MappingSize(c) != 4096) return 1;
    char *v = static_cast<char *>(os_MapViewOfFile(c, 0));
    if (!v || strcmp(v, "from parent") != 0) return 2;
    strcpy(v + 100, "from child");
    replied.Post();
    return 0;
  });
  ASSERT_TRUE(replied.Await());
  EXPECT_STREQ(view + 100, "from child");
  EXPECT_EQ(tnwtest::Join(child), 0);
  EXPECT_EQ(os_UnmapViewOfFile(view), 0);
  EXPECT_EQ(os_CloseHandle(h), 0);
  EXPECT_EQ(os_DeleteFileMapping("Global\\shared_area"), 0);
  EXPECT_FALSE(Exists(tnwtest::Root() + "/kernel/Global/shared_area"));
}

TEST(MappingTest, OpeningAMissingMappingCreatesNothing) {
  EXPECT_EQ(os_OpenFileMapping("Global\\never_made"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os_OpenFileMapping("NoFolder\\never_made"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Exists(tnwtest::Root() + "/kernel/Global/never_made"));
  EXPECT_FALSE(Exists(tnwtest::Root() + "/kernel/NoFolder"));
  EXPECT_EQ(os_DeleteFileMapping("Global\\never_made"), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
}

TEST(MappingTest, SizesAreCheckedBeforeMapping) {
  OsHandle h = os_CreateFileMapping("Global\\sized", 100, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(os_MappingSize(h), 100u);
  EXPECT_EQ(os_MapViewOfFile(h, 101), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
  void *part = os_MapViewOfFile(h, 76);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(os_UnmapViewOfFile(part), 0);
  EXPECT_EQ(os_UnmapViewOfFile(part), -1);  // no longer a view
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);

  // An existing mapping keeps its own size.
  OsHandle again = os_CreateFileMapping("Global\\sized", 5000, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(os_MappingSize(again), 100u);
  os_CloseHandle(again);

  // A file cut short behind the handle's back is measured again, not faulted on.
  ASSERT_EQ(truncate((tnwtest::Root() + "/kernel/Global/sized").c_str(), 10), 0);
  EXPECT_EQ(os_MapViewOfFile(h, 100), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
  os_CloseHandle(h);
  os_DeleteFileMapping("Global\\sized");

  EXPECT_EQ(os_CreateFileMapping("Global\\empty", 0, nullptr), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Exists(tnwtest::Root() + "/kernel/Global/empty"));
  EXPECT_EQ(os_MapViewOfFile(nullptr, 0), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
}

TEST(MappingTest, OfConcurrentCreatorsExactlyOneCreates) {
  const int kChildren = 8;
  for (int round = 0; round < 5; ++round) {
    std::string name = "Global\\race_" + std::to_string(round);
    tnwtest::Gate start;
    pid_t kids[kChildren];
    for (pid_t &k : kids)
      k = tnwtest::Spawn([&] {
        if (!start.Await()) return 3;
        OsHandle h = os_CreateFileMapping(name.c_str(), 65536, nullptr);
        if (!h) return 2;
        uint32_t e = os_GetLastError();
        if (os_MappingSize(h) != 65536) return 4;
        return e == OS_ERROR_SUCCESS ? 1 : e == OS_ERROR_ALREADY_EXISTS ? 0 : 5;
      });
    for (int i = 0; i < kChildren; ++i) start.Post();
    int creators = 0;
    for (pid_t k : kids) {
      int rc = tnwtest::Join(k);
      ASSERT_TRUE(rc == 0 || rc == 1) << "child failed with " << rc;
      creators += rc;
    }
    EXPECT_EQ(creators, 1) << "round " << round;
    EXPECT_EQ(os_DeleteFileMapping(name.c_str()), 0);
  }
  // No half-made files are left beside them.
  int left = 0;
  DIR *d = opendir((tnwtest::Root() + "/kernel/Global").c_str());
  ASSERT_NE(d, nullptr);
  while (struct dirent *e = readdir(d))
    if (strncmp(e->d_name, "race_", 5) == 0 || strncmp(e->d_name, ".new-", 5) == 0) ++left;
  closedir(d);
  EXPECT_EQ(left, 0);
}

}  // namespace
