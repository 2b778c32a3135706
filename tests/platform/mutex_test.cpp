#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_mapping.h"
#include "tests/platform/child_process.h"
#include "tests/support/test_root.h"

namespace {

const char *kName = "Global\\Global\\test.mut";

class MutexTest : public ::testing::Test {
 protected:
  void TearDown() override { os_DeleteMutex(kName); }
};

TEST_F(MutexTest, HolderThatDiesLeavesItAbandonedAndUsable) {
  OsHandle m = os_CreateMutex(kName, false, nullptr);
  ASSERT_NE(m, nullptr);
  tnwtest::Gate locked, finish;
  pid_t child = tnwtest::Spawn([&] {
    OsHandle c = os_OpenMutex(kName);
    if (!c || os_WaitMutex(c, OS_INFINITE) != OS_WAIT_OBJECT_0) return 1;
    locked.Post();
    finish.Await();
    return 0;  // ends holding it
  });
  ASSERT_TRUE(locked.Await());
  EXPECT_EQ(os_WaitMutex(m, 100), OS_WAIT_TIMEOUT);  // a live holder keeps it
  finish.Post();
  ASSERT_EQ(tnwtest::Join(child), 0);

  EXPECT_EQ(os_WaitMutex(m, 2000), OS_WAIT_ABANDONED_0);
  EXPECT_EQ(os_ReleaseMutex(m), 0);
  EXPECT_EQ(os_WaitMutex(m, 0), OS_WAIT_OBJECT_0);  // consistent again
  EXPECT_EQ(os_ReleaseMutex(m), 0);
  os_CloseHandle(m);
}

TEST_F(MutexTest, RecursesPerThreadAndRefusesOtherReleasers) {
  OsHandle m = os_CreateMutex(kName, false, nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(os_ReleaseMutex(m), -1);  // nobody holds it
  EXPECT_EQ(os_GetLastError(), OS_ERROR_NOT_OWNER);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(os_WaitMutex(m, OS_INFINITE), OS_WAIT_OBJECT_0);

  uint32_t otherWait = 0;
  int otherRelease = 0;
  uint32_t otherError = 0;
  std::thread([&] {
    otherRelease = os_ReleaseMutex(m);
    otherError = os_GetLastError();
    otherWait = os_WaitMutex(m, 50);
  }).join();
  EXPECT_EQ(otherRelease, -1);
  EXPECT_EQ(otherError, OS_ERROR_NOT_OWNER);
  EXPECT_EQ(otherWait, OS_WAIT_TIMEOUT);

  EXPECT_EQ(os_ReleaseMutex(m), 0);
  EXPECT_EQ(os_ReleaseMutex(m), 0);
  std::thread([&] { otherWait = os_WaitMutex(m, 0); }).join();
  EXPECT_EQ(otherWait, OS_WAIT_TIMEOUT) << "still held once";
  EXPECT_EQ(os_ReleaseMutex(m), 0);
  EXPECT_EQ(os_ReleaseMutex(m), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_NOT_OWNER);

  std::thread([&] {
    otherWait = os_WaitMutex(m, 1000);
    os_ReleaseMutex(m);
  }).join();
  EXPECT_EQ(otherWait, OS_WAIT_OBJECT_0);
  os_CloseHandle(m);
}

TEST_F(MutexTest, CreateOpenAndNames) {
  OsHandle missing = os_OpenMutex(kName);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);

  OsHandle a = os_CreateMutex(kName, true, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SUCCESS);
  // A second create opens the same mutex and does not take it.
  uint32_t error = 0, wait = 0;
  std::thread([&] {
    OsHandle b = os_CreateMutex(kName, true, nullptr);
    error = os_GetLastError();
    wait = os_WaitMutex(b, 50);
    os_CloseHandle(b);
  }).join();
  EXPECT_EQ(error, OS_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(wait, OS_WAIT_TIMEOUT) << "the creator holds it";
  EXPECT_EQ(os_ReleaseMutex(a), 0);

  OsHandle viaWait = os_OpenMutex(kName);
  ASSERT_NE(viaWait, nullptr);
  EXPECT_EQ(os_WaitForSingleObject(viaWait, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_ReleaseMutex(viaWait), 0);
  EXPECT_EQ(os_CloseHandle(viaWait), 0);
  EXPECT_EQ(os_CloseHandle(a), 0);

  // A file of that name that is no mutex is refused, as a clash of object kinds.
  ASSERT_TRUE(tnwtest::WriteFile(tnwtest::Root() + "/kernel/Global/notmutex", "plain"));
  EXPECT_EQ(os_OpenMutex("Global\\notmutex"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);

  EXPECT_EQ(os_DeleteMutex(kName), 0);
  EXPECT_EQ(os_DeleteMutex(kName), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
}

TEST_F(MutexTest, ExcludesOtherProcesses) {
  OsHandle m = os_CreateMutex(kName, false, nullptr);
  OsHandle map = os_CreateFileMapping("Global\\mutex_counter", 8, nullptr);
  ASSERT_NE(m, nullptr);
  ASSERT_NE(map, nullptr);
  volatile uint32_t *counter = static_cast<uint32_t *>(os_MapViewOfFile(map, 0));
  ASSERT_NE(counter, nullptr);
  const int kChildren = 4, kRounds = 500;
  pid_t kids[kChildren];
  for (pid_t &k : kids)
    k = tnwtest::Spawn([&] {
      OsHandle own = os_OpenMutex(kName);
      for (int i = 0; i < kRounds; ++i) {
        if (!own || os_WaitMutex(own, 10000) != OS_WAIT_OBJECT_0) return 1;
        uint32_t v = *counter;
        if (i % 50 == 0) sched_yield();  // widen the window a lost update needs
        *counter = v + 1;
        if (os_ReleaseMutex(own) != 0) return 2;
      }
      return 0;
    });
  for (pid_t k : kids) EXPECT_EQ(tnwtest::Join(k), 0);
  EXPECT_EQ(*counter, static_cast<uint32_t>(kChildren * kRounds));
  os_UnmapViewOfFile(const_cast<uint32_t *>(counter));
  os_CloseHandle(map);
  os_DeleteFileMapping("Global\\mutex_counter");
  os_CloseHandle(m);
}

}  // namespace
