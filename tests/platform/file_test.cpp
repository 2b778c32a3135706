#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
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
  for (int flags : {O_RDONLY, O_WRONLY, O_RDWR}) {
    errno = 0;
    EXPECT_EQ(os_Open(W("config").c_str(), flags, 0), -1) << flags;
    EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED) << flags;
  }
  EXPECT_EQ(os_FOpen(W("config").c_str(), "rb"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  // A plain file still opens as asked, and reads wait as usual.
  ASSERT_TRUE(tnwtest::WriteFile(L("plain"), "abc"));
  int fd = os_Open(W("plain").c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  char buf[4] = {};
  EXPECT_EQ(read(fd, buf, 3), 3);
  close(fd);
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

TEST_F(FileTest, RangeLocksBelongToTheOpenFile) {
  ASSERT_TRUE(tnwtest::WriteFile(L("lock.dat"), std::string(100, 'x')));
  int holder = os_Open(W("lock.dat").c_str(), O_RDWR, 0);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(os_LockRange(holder, 10, 20, true, false), 0);
  // Closing another descriptor of the file keeps the lock (unlike POSIX locks).
  int other = os_Open(W("lock.dat").c_str(), O_RDONLY, 0);
  ASSERT_GE(other, 0);
  close(other);

  int rival = os_Open(W("lock.dat").c_str(), O_RDWR, 0);
  ASSERT_GE(rival, 0);
  EXPECT_EQ(os_LockRange(rival, 15, 1, false, false), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_LOCK_VIOLATION);
  EXPECT_EQ(os_LockRange(rival, 30, 10, true, false), 0) << "next to it is free";
  EXPECT_EQ(os_UnlockRange(rival, 30, 10), 0);

  std::atomic<bool> granted{false};
  std::atomic<uint32_t> waiterId{0};
  std::thread waiter([&] {
    waiterId = os_GetCurrentThreadId();
    granted = os_LockRange(rival, 0, UINT64_MAX, true, true) == 0;
  });
  EXPECT_TRUE(tnwtest::Until([&] { return waiterId != 0 && tnwtest::ThreadAsleep(waiterId); }, 5000));
  EXPECT_FALSE(granted.load());
  ASSERT_EQ(os_UnlockRange(holder, 10, 20), 0);
  waiter.join();
  EXPECT_TRUE(granted.load()) << "a waiting lock is granted once the range is free";
  EXPECT_EQ(os_LockRange(holder, 50, 1, false, false), -1);
  close(rival);
  EXPECT_EQ(os_LockRange(holder, 50, 1, false, false), 0) << "closing the rival's file ends its lock";
  close(holder);
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
  struct stat st;
  ASSERT_EQ(os_Stat(W("sub\\X.TXT").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 2);
  EXPECT_EQ(os_Access(W("sub\\x.txt").c_str(), R_OK), 0);
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
