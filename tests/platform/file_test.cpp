#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"

namespace {

// Every test works in its own folder "C:\ft\<test>".
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    win_ = std::string("C:\\ft\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    dir_ = tnwtest::Root() + "/drives/c/ft/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(os_MakeFolders(dir_.c_str()), 0);
  }
  std::string W(const char *name) const { return win_ + "\\" + name; }
  std::string L(const char *name) const { return dir_ + "/" + name; }
  std::string win_, dir_;
};

TEST_F(FileTest, MoveNeverReplaces) {
  ASSERT_TRUE(tnwtest::WriteFile(L("a.txt"), "A"));
  ASSERT_TRUE(tnwtest::WriteFile(L("b.txt"), "B"));
  EXPECT_EQ(os_MoveFile(W("a.txt").c_str(), W("b.txt").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_ALREADY_EXISTS));
  EXPECT_EQ(tnwtest::ReadFile(L("b.txt")), "B");
  EXPECT_EQ(tnwtest::ReadFile(L("a.txt")), "A");
  ASSERT_EQ(os_MoveFile(W("a.txt").c_str(), W("c.txt").c_str()), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("c.txt")), "A");
  EXPECT_EQ(os_MoveFile(W("a.txt").c_str(), W("d.txt").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
}

// A named pipe where a file should be is refused at once: an open of one
// would wait for a writer that never comes.
TEST_F(FileTest, ANamedPipeIsNoFileToOpen) {
  ASSERT_EQ(mkfifo(L("config").c_str(), 0644), 0);
  const uint32_t accesses[] = {OS_GENERIC_READ, OS_GENERIC_WRITE, OS_GENERIC_READ | OS_GENERIC_WRITE,
                               OS_FILE_APPEND_DATA};
  for (uint32_t access : accesses) {
    for (uint32_t disposition : {uint32_t{OS_OPEN_EXISTING}, uint32_t{OS_OPEN_ALWAYS}}) {
      errno = 0;
      EXPECT_EQ(os_CreateFile(W("config").c_str(), access, 0, disposition, 0), nullptr) << access;
      EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED) << access;
    }
  }
  EXPECT_EQ(os_FOpen(W("config").c_str(), "rb"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  // A plain file still opens as asked, and reads wait as usual.
  ASSERT_TRUE(tnwtest::WriteFile(L("plain"), "abc"));
  OsHandle h = os_CreateFile(W("plain").c_str(), OS_GENERIC_READ, 0, OS_OPEN_EXISTING, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(fcntl(os_HandleFd(h), F_GETFL) & O_NONBLOCK, 0);
  char buf[4] = {};
  uint32_t got = 0;
  EXPECT_EQ(os_ReadFile(h, buf, 3, &got), 0);
  EXPECT_EQ(got, 3u);
  os_CloseHandle(h);
  FILE *f = os_FOpen(W("plain").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  fclose(f);
}

TEST_F(FileTest, ReadOnlyFilesAreNotDeleted) {
  ASSERT_TRUE(tnwtest::WriteFile(L("ro.txt"), "keep"));
  ASSERT_EQ(chmod(L("ro.txt").c_str(), 0444), 0);
  EXPECT_EQ(os_DeleteFile(W("RO.TXT").c_str()), -1);  // names ignore case
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(tnwtest::ReadFile(L("ro.txt")), "keep");
  ASSERT_EQ(chmod(L("ro.txt").c_str(), 0644), 0);
  EXPECT_EQ(os_DeleteFile(W("ro.txt").c_str()), 0);
  EXPECT_EQ(os_DeleteFile(W("ro.txt").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os_DeleteFile(win_.c_str()), -1) << "a folder is no file";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
}

OsHandle OpenRw(const std::string &path, uint32_t access = OS_GENERIC_READ | OS_GENERIC_WRITE) {
  return os_CreateFile(path.c_str(), access, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE, OS_OPEN_EXISTING, 0);
}

// A batch delete in one folder decides each name as os_DeleteFile does, and
// never reaches past the folder.
TEST_F(FileTest, DeletingNamesOfOneFolder) {
  ASSERT_TRUE(tnwtest::WriteFile(L("held.odl"), "held.odl"));
  ASSERT_EQ(os_MakeDirectory(W("sub").c_str()), 0);
  ASSERT_TRUE(tnwtest::WriteFile(L("sub") + "/inner", "in"));
  ASSERT_TRUE(tnwtest::WriteFile(dir_ + "-outside", "out"));
  // The writer's lock, on a description of its own.
  OsHandle writer = OpenRw(W("held.odl"));
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(os_LockFile(writer, 0, 1, true, false), 0);

  struct Case {
    const char *name;
    uint32_t error;  // without and with readOnlyToo
    uint32_t errorReadOnlyToo;
  };
  const Case cases[] = {
      {"plain.odl", 0, 0},
      {"held.odl", OS_ERROR_SHARING_VIOLATION, OS_ERROR_SHARING_VIOLATION},
      {"ro.txt", OS_ERROR_ACCESS_DENIED, 0},
      {"sub", OS_ERROR_ACCESS_DENIED, OS_ERROR_ACCESS_DENIED},
      {"link", 0, 0},  // the link goes, its target stays
      {"missing", OS_ERROR_FILE_NOT_FOUND, OS_ERROR_FILE_NOT_FOUND},
      {"sub/inner", OS_ERROR_INVALID_NAME, OS_ERROR_INVALID_NAME},
      {"..", OS_ERROR_INVALID_NAME, OS_ERROR_INVALID_NAME},
      {"", OS_ERROR_INVALID_NAME, OS_ERROR_INVALID_NAME},
  };
  for (bool readOnlyToo : {false, true}) {
    SCOPED_TRACE(readOnlyToo ? "read-only too" : "as os_DeleteFile");
    for (const char *n : {"plain.odl", "ro.txt"}) {
      if (access(L(n).c_str(), F_OK) != 0) {
        ASSERT_TRUE(tnwtest::WriteFile(L(n), n));
      }
    }
    ASSERT_EQ(chmod(L("ro.txt").c_str(), 0444), 0);
    if (access(L("link").c_str(), F_OK) != 0) {
      ASSERT_EQ(symlink((dir_ + "-outside").c_str(), L("link").c_str()), 0);
    }
    std::vector<const char *> names;
    for (const Case &c : cases) names.push_back(c.name);
    std::vector<uint32_t> errors(names.size(), 99);
    int want = 0;
    for (const Case &c : cases) want += (readOnlyToo ? c.errorReadOnlyToo : c.error) == 0;
    EXPECT_EQ(os_DeleteFilesIn(win_.c_str(), names.data(), names.size(), readOnlyToo, errors.data()), want);
    EXPECT_EQ(os_GetLastError(), uint32_t{OS_ERROR_SHARING_VIOLATION}) << "the first failure";
    for (size_t i = 0; i < names.size(); ++i) {
      const Case &c = cases[i];
      const uint32_t expected = readOnlyToo ? c.errorReadOnlyToo : c.error;
      EXPECT_EQ(errors[i], expected) << c.name;
      if (expected == 0) {
        EXPECT_NE(access(L(c.name).c_str(), F_OK), 0) << c.name;
      }
    }
    EXPECT_EQ(tnwtest::ReadFile(L("held.odl")), "held.odl");
    EXPECT_EQ(tnwtest::ReadFile(L("sub") + "/inner"), "in");
    EXPECT_EQ(tnwtest::ReadFile(dir_ + "-outside"), "out");
    if (!readOnlyToo) {
      EXPECT_EQ(tnwtest::ReadFile(L("ro.txt")), "ro.txt");
    }
  }
  // Released, the writer's file goes like any other.
  os_CloseHandle(writer);
  const char *held[] = {"held.odl"};
  uint32_t error = 99;
  EXPECT_EQ(os_DeleteFilesIn(win_.c_str(), held, 1, false, &error), 1);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(os_DeleteFilesIn(W("missing").c_str(), held, 1, false, &error), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os_DeleteFilesIn(win_.c_str(), nullptr, 0, false, nullptr), 0);
}

// Held files among many names: a batch large for its folder and a few
// names of a large folder, each with a held file, its second name (a hard
// link) and held files beyond the first lock-list reading (after 64 names).
TEST_F(FileTest, DeletingManyNamesKeepsEveryHeldFile) {
  struct Case {
    const char *what;
    int files;    // in the folder
    int deleted;  // the first n of them asked for
  };
  const Case cases[] = {{"the whole folder", 300, 300}, {"a few of a large folder", 6000, 100}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string sub = std::string("many") + std::to_string(c.files);
    ASSERT_EQ(os_MakeDirectory(W(sub.c_str()).c_str()), 0);
    std::vector<std::string> names;
    for (int i = 0; i < c.files; ++i) {
      char n[32];
      snprintf(n, sizeof n, "R%05d.odl", i);
      names.push_back(n);
      ASSERT_TRUE(tnwtest::WriteFile(L(sub.c_str()) + "/" + n, n));
    }
    const int heldAt[] = {10, 70, c.deleted - 1};
    std::vector<OsHandle> writers;
    for (int i : heldAt) {
      writers.push_back(OpenRw(W(sub.c_str()) + "\\" + names[static_cast<size_t>(i)]));
      ASSERT_NE(writers.back(), nullptr);
      ASSERT_EQ(os_LockFile(writers.back(), 0, 1, true, false), 0);
    }
    // A second name of the first held file, asked for among the others.
    const std::string folder = L(sub.c_str()) + "/";
    ASSERT_EQ(unlink((folder + names[5]).c_str()), 0);
    ASSERT_EQ(link((folder + names[10]).c_str(), (folder + names[5]).c_str()), 0);
    std::vector<const char *> texts;
    for (int i = 0; i < c.deleted; ++i) texts.push_back(names[static_cast<size_t>(i)].c_str());
    std::vector<uint32_t> errors(texts.size(), 99);
    EXPECT_EQ(os_DeleteFilesIn(W(sub.c_str()).c_str(), texts.data(), texts.size(), true, errors.data()),
              c.deleted - 4);
    for (int i = 0; i < c.files; ++i) {
      const bool held = i == 5 || i == 10 || i == 70 || i == c.deleted - 1;
      const bool asked = i < c.deleted;
      if (asked) {
        EXPECT_EQ(errors[static_cast<size_t>(i)], held ? uint32_t{OS_ERROR_SHARING_VIOLATION} : 0u) << i;
      }
      EXPECT_EQ(access((folder + names[static_cast<size_t>(i)]).c_str(), F_OK) == 0, held || !asked) << i;
    }
    for (OsHandle w : writers) os_CloseHandle(w);
  }
}

TEST_F(FileTest, RangeLocksBelongToTheOpenFile) {
  ASSERT_TRUE(tnwtest::WriteFile(L("lock.dat"), std::string(100, 'x')));
  OsHandle holder = OpenRw(W("lock.dat"));
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(os_LockFile(holder, 10, 20, true, false), 0);
  // Closing another handle of the file keeps the lock (unlike POSIX locks).
  OsHandle other = OpenRw(W("lock.dat"), OS_GENERIC_READ);
  ASSERT_NE(other, nullptr);
  os_CloseHandle(other);

  OsHandle rival = OpenRw(W("lock.dat"));
  ASSERT_NE(rival, nullptr);
  EXPECT_EQ(os_LockFile(rival, 15, 1, false, false), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_LOCK_VIOLATION);
  EXPECT_EQ(os_LockFile(rival, 30, 10, true, false), 0) << "next to it is free";
  EXPECT_EQ(os_UnlockFile(rival, 30, 10), 0);
  EXPECT_EQ(os_LockFile(rival, 15, 0, true, false), 0) << "an empty range conflicts with nothing";

  std::atomic<bool> granted{false};
  std::atomic<uint32_t> waiterId{0};
  std::thread waiter([&] {
    waiterId = os_GetCurrentThreadId();
    granted = os_LockFile(rival, 0, UINT64_MAX, true, true) == 0;
  });
  EXPECT_TRUE(tnwtest::Until([&] { return waiterId != 0 && tnwtest::ThreadAsleep(waiterId); }, 5000));
  EXPECT_FALSE(granted.load());
  ASSERT_EQ(os_UnlockFile(holder, 10, 20), 0);
  waiter.join();
  EXPECT_TRUE(granted.load()) << "a waiting lock is granted once the range is free";
  EXPECT_EQ(os_LockFile(holder, 50, 1, false, false), -1);
  os_CloseHandle(rival);
  EXPECT_EQ(os_LockFile(holder, 50, 1, false, false), 0) << "closing the rival's file ends its lock";
  os_CloseHandle(holder);
  EXPECT_EQ(os_LockFile(holder, 0, 1, true, false), -1) << "a closed handle";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
}

// Positions past 4 GiB, the size, cutting and growing the file at the pointer.
TEST_F(FileTest, PositionsAndSizesAre64Bit) {
  OsHandle h = os_CreateFile(W("big.dat").c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, 0, OS_CREATE_NEW, 0);
  ASSERT_NE(h, nullptr);
  const uint64_t far = (uint64_t{1} << 32) + 10;
  uint64_t at = 0, size = 1;
  ASSERT_EQ(os_GetFileSize(h, &size), 0);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(os_SetFilePointer(h, static_cast<int64_t>(far), OS_FILE_BEGIN, &at), 0);
  EXPECT_EQ(at, far);
  uint32_t n = 0;
  ASSERT_EQ(os_WriteFile(h, "tail", 4, &n), 0);
  ASSERT_EQ(os_GetFileSize(h, &size), 0);
  EXPECT_EQ(size, far + 4) << "a write past the end extends the file";
  ASSERT_EQ(os_SetFilePointer(h, -2, OS_FILE_CURRENT, &at), 0);
  EXPECT_EQ(at, far + 2);
  char buf[8] = {};
  ASSERT_EQ(os_ReadFile(h, buf, sizeof buf, &n), 0);
  EXPECT_EQ(std::string(buf, n), "il");
  ASSERT_EQ(os_SetFilePointer(h, -1, OS_FILE_END, &at), 0);
  EXPECT_EQ(at, far + 3);
  EXPECT_EQ(os_SetFilePointer(h, -1, OS_FILE_BEGIN, &at), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(os_SetFilePointer(h, 0, 7, &at), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);

  // The end of the file moves to the pointer, down and up.
  ASSERT_EQ(os_SetFilePointer(h, 3, OS_FILE_BEGIN, nullptr), 0);
  ASSERT_EQ(os_SetEndOfFile(h), 0);
  ASSERT_EQ(os_GetFileSize(h, &size), 0);
  EXPECT_EQ(size, 3u);
  ASSERT_EQ(os_SetFilePointer(h, 8, OS_FILE_BEGIN, nullptr), 0);
  ASSERT_EQ(os_SetEndOfFile(h), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("big.dat")), std::string(8, '\0'));
  os_CloseHandle(h);

  OsHandle ro = OpenRw(W("big.dat"), OS_GENERIC_READ);
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(os_SetEndOfFile(ro), -1) << "a read-only handle changes nothing";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  os_CloseHandle(ro);
  EXPECT_EQ(os_GetFileSize(ro, &size), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
  // File calls on a handle of another kind are refused.
  OsHandle event = os_CreateEvent(true, false);
  EXPECT_EQ(os_SetFilePointer(event, 0, OS_FILE_BEGIN, nullptr), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
  os_CloseHandle(event);
}

// Appending handles write at the end whatever the pointer and whatever other
// handles wrote; write-through opens the file for synchronous data writes.
TEST_F(FileTest, AppendAndWriteThrough) {
  ASSERT_TRUE(tnwtest::WriteFile(L("log.txt"), "a"));
  OsHandle first = OpenRw(W("log.txt"), OS_GENERIC_READ | OS_FILE_APPEND_DATA);
  OsHandle second = OpenRw(W("log.txt"), OS_FILE_APPEND_DATA);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  uint32_t n = 0;
  ASSERT_EQ(os_WriteFile(first, "b", 1, &n), 0);
  ASSERT_EQ(os_WriteFile(second, "c", 1, &n), 0);
  ASSERT_EQ(os_SetFilePointer(first, 0, OS_FILE_BEGIN, nullptr), 0);
  ASSERT_EQ(os_WriteFile(first, "d", 1, &n), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("log.txt")), "abcd");
  char buf[8] = {};
  ASSERT_EQ(os_SetFilePointer(first, 0, OS_FILE_BEGIN, nullptr), 0);
  ASSERT_EQ(os_ReadFile(first, buf, sizeof buf, &n), 0) << "the appending handle also reads";
  EXPECT_EQ(std::string(buf, n), "abcd");
  os_CloseHandle(first);
  os_CloseHandle(second);

  // A plain writing handle writes at its pointer.
  OsHandle plain = OpenRw(W("log.txt"), OS_GENERIC_WRITE | OS_FILE_APPEND_DATA);
  ASSERT_NE(plain, nullptr);
  ASSERT_EQ(os_WriteFile(plain, "X", 1, &n), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("log.txt")), "Xbcd");
  EXPECT_EQ(fcntl(os_HandleFd(plain), F_GETFL) & O_DSYNC, 0);
  os_CloseHandle(plain);

  OsHandle through = os_CreateFile(W("log.txt").c_str(), OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING,
                                   OS_FILE_FLAG_WRITE_THROUGH);
  ASSERT_NE(through, nullptr);
  EXPECT_EQ(fcntl(os_HandleFd(through), F_GETFL) & O_DSYNC, O_DSYNC);
  os_CloseHandle(through);
}

TEST_F(FileTest, WhatAPathNames) {
  ASSERT_TRUE(tnwtest::WriteFile(L("file"), "12345"));
  ASSERT_TRUE(tnwtest::WriteFile(L("ro"), ""));
  ASSERT_EQ(chmod(L("ro").c_str(), 0444), 0);
  ASSERT_EQ(os_MakeDirectory(W("dir").c_str()), 0);
  ASSERT_EQ(mkfifo(L("pipe").c_str(), 0644), 0);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1234567890, 250000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, L("file").c_str(), times, 0), 0);
  const struct {
    const char *name;
    uint32_t attributes;
  } cases[] = {
      {"FILE", OS_FILE_ATTRIBUTE_NORMAL},
      {"ro", OS_FILE_ATTRIBUTE_READONLY},
      {"dir", OS_FILE_ATTRIBUTE_DIRECTORY},
      {"pipe", OS_FILE_ATTRIBUTE_DEVICE},
  };
  for (const auto &c : cases) EXPECT_EQ(os_GetFileAttributes(W(c.name).c_str()), c.attributes) << c.name;
  OsFileInfo info;
  ASSERT_EQ(os_GetFileInfo(W("file").c_str(), &info), 0);
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.writeSeconds, 1234567890);
  EXPECT_EQ(info.writeNanoseconds, 250000000u);
  for (const char *missing : {"none", "none\\deeper"}) {
    EXPECT_EQ(os_GetFileAttributes(W(missing).c_str()), OS_INVALID_FILE_ATTRIBUTES) << missing;
    EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILE_NOT_FOUND)) << missing;
  }
  EXPECT_EQ(os_CheckAccess(W("file").c_str(), 0), 0);
  EXPECT_EQ(os_CheckAccess(W("none").c_str(), OS_GENERIC_READ), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os_CheckAccess(W("file").c_str(), OS_GENERIC_EXECUTE), -1) << "mode 0644 has no execute bit";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
}

TEST_F(FileTest, ListingsAreSortedByName) {
  for (const char *n : {"b", "A", "a", "B10", "B2"}) ASSERT_TRUE(tnwtest::WriteFile(L(n), n));
  ASSERT_EQ(os_MakeDirectory(W("c").c_str()), 0);
  std::vector<std::pair<std::string, bool>> seen;
  auto collect = [](const char *name, bool isDir, void *ctx) {
    static_cast<std::vector<std::pair<std::string, bool>> *>(ctx)->emplace_back(name, isDir);
    return 0;
  };
  ASSERT_EQ(os_ListDirectory(win_.c_str(), collect, &seen), 0);
  std::vector<std::pair<std::string, bool>> want = {{"A", false}, {"B10", false}, {"B2", false},
                                                    {"a", false}, {"b", false},   {"c", true}};
  EXPECT_EQ(seen, want);

  int calls = 0;
  auto stopAtSecond = [](const char *, bool, void *ctx) { return ++*static_cast<int *>(ctx) == 2 ? 7 : 0; };
  EXPECT_EQ(os_ListDirectory(win_.c_str(), stopAtSecond, &calls), 7);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(os_ListDirectory(W("missing").c_str(), collect, &seen), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
}

// A link is a folder when it leads to one; one that leads nowhere is listed,
// and does not fail the listing of the names after it. Bytes sort unsigned.
TEST_F(FileTest, ListingsTakeLinksAndEightBitNames) {
  ASSERT_TRUE(tnwtest::WriteFile(L("b"), "b"));
  ASSERT_TRUE(tnwtest::WriteFile(L("\xE9t\xE9"), "e"));
  ASSERT_EQ(os_MakeDirectory(W("d").c_str()), 0);
  ASSERT_EQ(symlink("d", L("a-to-dir").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", L("a-dangling").c_str()), 0);
  std::vector<std::pair<std::string, bool>> seen;
  auto collect = [](const char *name, bool isDir, void *ctx) {
    static_cast<std::vector<std::pair<std::string, bool>> *>(ctx)->emplace_back(name, isDir);
    return 0;
  };
  ASSERT_EQ(os_ListDirectory(win_.c_str(), collect, &seen), 0);
  std::vector<std::pair<std::string, bool>> want = {
      {"a-dangling", false}, {"a-to-dir", true}, {"b", false}, {"d", true}, {"\xE9t\xE9", false}};
  EXPECT_EQ(seen, want);
}

TEST_F(FileTest, CopyKeepsTheSourceSafe) {
  ASSERT_TRUE(tnwtest::WriteFile(L("src"), "source"));
  ASSERT_TRUE(tnwtest::WriteFile(L("dst"), "old"));
  EXPECT_EQ(os_CopyFile(W("src").c_str(), W("dst").c_str(), true), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_EXISTS);
  EXPECT_EQ(tnwtest::ReadFile(L("dst")), "old");
  ASSERT_EQ(os_CopyFile(W("src").c_str(), W("dst").c_str(), false), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("dst")), "source");
  ASSERT_EQ(os_CopyFile(W("src").c_str(), W("new").c_str(), true), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("new")), "source");

  EXPECT_EQ(os_CopyFile(W("src").c_str(), W("SRC").c_str(), false), -1) << "onto itself";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SHARING_VIOLATION);
  EXPECT_EQ(tnwtest::ReadFile(L("src")), "source");
  ASSERT_EQ(chmod(L("dst").c_str(), 0444), 0);
  EXPECT_EQ(os_CopyFile(W("new").c_str(), W("dst").c_str(), false), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
}

TEST_F(FileTest, FoldersAndWindowsPaths) {
  EXPECT_EQ(os_MakeDirectory(W("sub").c_str()), 0);
  EXPECT_EQ(os_MakeDirectory(W("sub").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(os_MakeDirectory(W("no\\deeper").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_PATH_NOT_FOUND);

  FILE *f = os_FOpen(W("SUB\\x.txt").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("hi", f);
  fclose(f);
  EXPECT_EQ(tnwtest::ReadFile(L("sub/x.txt")), "hi");
  OsFileInfo info;
  ASSERT_EQ(os_GetFileInfo(W("sub\\X.TXT").c_str(), &info), 0);
  EXPECT_EQ(info.size, 2u);
  EXPECT_EQ(info.attributes, OS_FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(os_CheckAccess(W("sub\\x.txt").c_str(), OS_GENERIC_READ), 0);
  EXPECT_EQ(os_RemoveDirectory(W("sub").c_str()), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_DIR_NOT_EMPTY);

  char before[4096], now[4096];
  ASSERT_EQ(os_GetCurrentDirectory(before, sizeof before), 0);
  ASSERT_EQ(os_SetCurrentDirectory(W("sub").c_str()), 0);
  ASSERT_EQ(os_GetCurrentDirectory(now, sizeof now), 0);
  EXPECT_EQ(std::string(now), L("sub"));
  EXPECT_EQ(os_DeleteFile("x.txt"), 0) << "relative to the working folder";
  EXPECT_EQ(os_GetCurrentDirectory(now, 3), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INSUFFICIENT_BUFFER);
  ASSERT_EQ(os_SetCurrentDirectory(before), 0);
  EXPECT_EQ(os_RemoveDirectory(W("sub").c_str()), 0);
}

}  // namespace
