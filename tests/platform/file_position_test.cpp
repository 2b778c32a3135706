#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "tests/support/test_root.h"

namespace {

class FilePositionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    win_ = std::string("C:\\fp\\") + name;
    dir_ = tnwtest::Root() + "/drives/c/fp/" + name;
    ASSERT_EQ(os_MakeFolders(dir_.c_str()), 0);
  }
  std::string W(const char *name) const { return win_ + "\\" + name; }
  std::string L(const char *name) const { return dir_ + "/" + name; }
  OsHandle OpenRW(const char *name, uint32_t disposition = OS_OPEN_ALWAYS) {
    return os_CreateFile(W(name).c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                         disposition, OS_FILE_FLAG_WRITE_THROUGH);
  }
  std::string win_, dir_;
};

// Positions past 4 GiB on a sparse file: the data lands there, the pointer
// stays where it was, the size follows.
TEST_F(FilePositionTest, PositionedIoPastFourGiB) {
  OsHandle h = OpenRW("big.odl");
  ASSERT_NE(h, nullptr);
  const uint64_t far = (5ull << 30) + 3;
  uint32_t n = 0;
  ASSERT_EQ(os_WriteFileAt(h, far, "TAIL", 4, &n), 0);
  EXPECT_EQ(n, 4u);
  ASSERT_EQ(os_WriteFileAt(h, 1, "ab", 2, &n), 0);
  uint64_t pos = 99, size = 0;
  ASSERT_EQ(os_SetFilePointer(h, 0, OS_FILE_CURRENT, &pos), 0);
  EXPECT_EQ(pos, 0u);
  ASSERT_EQ(os_GetFileSize(h, &size), 0);
  EXPECT_EQ(size, far + 4);
  char buf[8] = {};
  ASSERT_EQ(os_ReadFileAt(h, far - 1, buf, sizeof buf, &n), 0);
  EXPECT_EQ(n, 5u);  // short at the end
  EXPECT_EQ(std::string(buf, 5), std::string("\0TAIL", 5));
  ASSERT_EQ(os_ReadFileAt(h, far + 100, buf, 4, &n), 0);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(os_ReadFileAt(h, 0, buf, 3, &n), 0);
  EXPECT_EQ(std::string(buf, 3), std::string("\0ab", 3));
  // The pointer can cut the file back below 4 GiB.
  ASSERT_EQ(os_SetFilePointer(h, 3, OS_FILE_BEGIN, nullptr), 0);
  ASSERT_EQ(os_SetEndOfFile(h), 0);
  ASSERT_EQ(os_GetFileSize(h, &size), 0);
  EXPECT_EQ(size, 3u);
  os_CloseHandle(h);
}

TEST_F(FilePositionTest, PositionedWriteOnReadOnlyHandleIsDenied) {
  ASSERT_TRUE(tnwtest::WriteFile(L("r.txt"), "abc"));
  OsHandle h = os_CreateFile(W("r.txt").c_str(), OS_GENERIC_READ, 3, OS_OPEN_EXISTING, 0);
  ASSERT_NE(h, nullptr);
  uint32_t n = 7;
  EXPECT_EQ(os_WriteFileAt(h, 0, "x", 1, &n), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  os_CloseHandle(h);
  EXPECT_EQ(tnwtest::ReadFile(L("r.txt")), "abc");
}

// A writer's one-byte lock keeps its file in place: no other process may move
// or delete it; a plain open handle without a lock does not.
TEST_F(FilePositionTest, MoveAndDeleteRefusedUnderAnotherHandlesLock) {
  ASSERT_TRUE(tnwtest::WriteFile(L("run.odl"), std::string(2000, 'r')));
  OsHandle writer = OpenRW("run.odl", OS_OPEN_EXISTING);
  OsHandle reader = os_CreateFile(W("run.odl").c_str(), OS_GENERIC_READ, 3, OS_OPEN_EXISTING, 0);
  ASSERT_NE(writer, nullptr);
  ASSERT_NE(reader, nullptr);
  // Unlocked: a move works both ways.
  ASSERT_EQ(os_MoveFile(W("run.odl").c_str(), W("run2.odl").c_str()), 0);
  ASSERT_EQ(os_MoveFile(W("run2.odl").c_str(), W("run.odl").c_str()), 0);

  ASSERT_EQ(os_LockFile(writer, 1500, 1, true, false), 0);
  struct Case {
    const char *what;
    int (*op)(const std::string &from, const std::string &to);
  } cases[] = {
      {"move", [](const std::string &a, const std::string &b) { return os_MoveFile(a.c_str(), b.c_str()); }},
      {"delete", [](const std::string &a, const std::string &) { return os_DeleteFile(a.c_str()); }},
      {"replace", [](const std::string &a, const std::string &b) { return os_ReplaceFile(b.c_str(), a.c_str()); }},
  };
  ASSERT_TRUE(tnwtest::WriteFile(L("other.odl"), "o"));
  for (const Case &c : cases) {
    errno = 0;
    EXPECT_EQ(c.op(W("run.odl"), W("moved.odl")), -1) << c.what;
    EXPECT_EQ(os_GetLastError(), OS_ERROR_SHARING_VIOLATION) << c.what;
    EXPECT_EQ(tnwtest::ReadFile(L("run.odl")).size(), 2000u) << c.what;
  }
  // Replacing the locked file by another is refused too.
  EXPECT_EQ(os_ReplaceFile(W("run.odl").c_str(), W("other.odl").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SHARING_VIOLATION);
  EXPECT_EQ(tnwtest::ReadFile(L("other.odl")), "o");

  // Closing the reader keeps the writer's lock.
  os_CloseHandle(reader);
  EXPECT_EQ(os_DeleteFile(W("run.odl").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SHARING_VIOLATION);
  ASSERT_EQ(os_UnlockFile(writer, 1500, 1), 0);
  EXPECT_EQ(os_MoveFile(W("run.odl").c_str(), W("moved.odl").c_str()), 0);
  EXPECT_EQ(os_DeleteFile(W("moved.odl").c_str()), 0);
  os_CloseHandle(writer);
}

TEST_F(FilePositionTest, ReplaceIsAtomicAndRefusesReadOnlyTarget) {
  struct Case {
    const char *what;
    bool targetThere, targetReadOnly;
    int rc;
    uint32_t error;
    const char *after;  // the target's text after
  } cases[] = {
      {"over a file", true, false, 0, 0, "new"},
      {"no target", false, false, 0, 0, "new"},
      {"read-only target", true, true, -1, OS_ERROR_ACCESS_DENIED, "old"},
  };
  for (const Case &c : cases) {
    std::string t = L("t.txt"), tmp = L("t 12.tmp");
    os_SetFileAttributes(W("t.txt").c_str(), OS_FILE_ATTRIBUTE_NORMAL);
    std::remove(t.c_str());
    if (c.targetThere) {
      ASSERT_TRUE(tnwtest::WriteFile(t, "old"));
    }
    if (c.targetReadOnly) {
      ASSERT_EQ(os_SetFileAttributes(W("t.txt").c_str(), OS_FILE_ATTRIBUTE_READONLY), 0);
    }
    ASSERT_TRUE(tnwtest::WriteFile(tmp, "new"));
    EXPECT_EQ(os_ReplaceFile(W("t.txt").c_str(), W("t 12.tmp").c_str()), c.rc) << c.what;
    if (c.rc != 0) {
      EXPECT_EQ(os_GetLastError(), c.error) << c.what;
      EXPECT_EQ(tnwtest::ReadFile(tmp), "new") << c.what;  // the copy stays for the caller
    } else {
      EXPECT_EQ(os_GetFileAttributes(W("t 12.tmp").c_str()), OS_INVALID_FILE_ATTRIBUTES) << c.what;
    }
    EXPECT_EQ(tnwtest::ReadFile(t), c.after) << c.what;
  }
  EXPECT_EQ(os_ReplaceFile(W("t.txt").c_str(), W("none.tmp").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
}

TEST_F(FilePositionTest, ReadOnlyAttributeAndLastWriteTime) {
  ASSERT_TRUE(tnwtest::WriteFile(L("a.txt"), "a"));
  EXPECT_EQ(os_GetFileAttributes(W("a.txt").c_str()), OS_FILE_ATTRIBUTE_NORMAL);
  ASSERT_EQ(os_SetFileAttributes(W("a.txt").c_str(), OS_FILE_ATTRIBUTE_READONLY), 0);
  EXPECT_EQ(os_GetFileAttributes(W("a.txt").c_str()), OS_FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(os_DeleteFile(W("a.txt").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  ASSERT_EQ(os_SetFileAttributes(W("a.txt").c_str(), OS_FILE_ATTRIBUTE_NORMAL), 0);
  EXPECT_EQ(os_GetFileAttributes(W("a.txt").c_str()), OS_FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(os_SetFileAttributes(W("missing.txt").c_str(), OS_FILE_ATTRIBUTE_NORMAL), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
}

}  // namespace
