#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "tests/support/test_root.h"

namespace {

TEST(CreateFileTest, DispositionsActAsOnWindows) {
  const std::string dir = tnwtest::Root() + "/drives/c/io";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  const char *path = "C:\\io\\f.dat";
  const std::string file = dir + "/f.dat";
  struct Case {
    const char *what;
    bool existsBefore;
    uint32_t disposition;
    bool opens;
    uint32_t error;  // last error after the call
    const char *content;  // of the file afterwards ("" none or empty)
  } cases[] = {
      {"create new, absent", false, OS_CREATE_NEW, true, OS_ERROR_SUCCESS, ""},
      {"create new, present", true, OS_CREATE_NEW, false, OS_ERROR_FILE_EXISTS, "old"},
      {"create always, absent", false, OS_CREATE_ALWAYS, true, OS_ERROR_SUCCESS, ""},
      {"create always, present", true, OS_CREATE_ALWAYS, true, OS_ERROR_ALREADY_EXISTS, ""},
      {"open existing, absent", false, OS_OPEN_EXISTING, false, OS_ERROR_FILE_NOT_FOUND, nullptr},
      {"open existing, present", true, OS_OPEN_EXISTING, true, OS_ERROR_SUCCESS, "old"},
      {"open always, absent", false, OS_OPEN_ALWAYS, true, OS_ERROR_SUCCESS, ""},
      {"open always, present", true, OS_OPEN_ALWAYS, true, OS_ERROR_ALREADY_EXISTS, "old"},
      {"truncate existing, present", true, OS_TRUNCATE_EXISTING, true, OS_ERROR_SUCCESS, ""},
      {"truncate existing, absent", false, OS_TRUNCATE_EXISTING, false, OS_ERROR_FILE_NOT_FOUND, nullptr},
  };
  for (const Case &c : cases) {
    unlink(file.c_str());
    if (c.existsBefore) {
      ASSERT_TRUE(tnwtest::WriteFile(file, "old"));
    }
    os_SetLastError(12345);
    OsHandle h = os_CreateFile(path, OS_GENERIC_READ | OS_GENERIC_WRITE, 0, c.disposition, 0);
    EXPECT_EQ(h != nullptr, c.opens) << c.what;
    EXPECT_EQ(os_GetLastError(), c.error) << c.what;
    if (h) os_CloseHandle(h);
    if (c.content) {
      EXPECT_EQ(tnwtest::ReadFile(file), c.content) << c.what;
    }
  }
}

TEST(CreateFileTest, ReadsAndWritesPlainFiles) {
  ASSERT_EQ(os_MakeFolders((tnwtest::Root() + "/drives/c/io2").c_str()), 0);
  OsHandle w = os_CreateFile("C:\\io2\\data.bin", OS_GENERIC_WRITE, 0, OS_CREATE_ALWAYS, 0);
  ASSERT_NE(w, nullptr);
  uint32_t n = 0;
  ASSERT_EQ(os_WriteFile(w, "hello world", 11, &n), 0);
  EXPECT_EQ(n, 11u);
  char buf[32];
  EXPECT_EQ(os_ReadFile(w, buf, sizeof buf, &n), -1) << "opened for writing only";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  os_CloseHandle(w);

  OsHandle r = os_CreateFile("c:\\IO2\\DATA.BIN", OS_GENERIC_READ, OS_FILE_SHARE_READ, OS_OPEN_EXISTING, 0);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(os_ReadFile(r, buf, 5, &n), 0);
  EXPECT_EQ(std::string(buf, n), "hello");
  ASSERT_EQ(os_ReadFile(r, buf, sizeof buf, &n), 0);
  EXPECT_EQ(std::string(buf, n), " world");
  ASSERT_EQ(os_ReadFile(r, buf, sizeof buf, &n), 0);
  EXPECT_EQ(n, 0u) << "the end of the file is a read of nothing";
  EXPECT_EQ(os_WriteFile(r, "x", 1, &n), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_GE(os_HandleFd(r), 0);
  os_CloseHandle(r);

  EXPECT_EQ(os_CreateFile("C:\\io2", OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0), nullptr) << "a folder";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(os_CreateFile("C:\\io2\\none\\x", OS_GENERIC_WRITE, 0, OS_CREATE_NEW, 0), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(os_ReadFile(nullptr, buf, 1, &n), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
}

}  // namespace
