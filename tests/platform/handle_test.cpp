#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_mapping.h"
#include "tests/support/proc_stats.h"

namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  OsHandle e = os_CreateEvent(true, false);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(os_WaitForSingleObject(e, 0), OS_WAIT_TIMEOUT);
  ASSERT_EQ(os_SetEvent(e), 0);
  ASSERT_EQ(os_SetEvent(e), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(os_WaitForSingleObject(e, 0), OS_WAIT_OBJECT_0);
  ASSERT_EQ(os_ResetEvent(e), 0);
  EXPECT_EQ(os_WaitForSingleObject(e, 0), OS_WAIT_TIMEOUT);
  EXPECT_EQ(os_ResetEvent(e), 0) << "resetting a reset event is harmless";
  os_CloseHandle(e);

  OsHandle on = os_CreateEvent(true, true);
  EXPECT_EQ(os_WaitForSingleObject(on, 0), OS_WAIT_OBJECT_0);
  os_CloseHandle(on);
}

TEST(EventTest, AutoResetReleasesExactlyOneWaiter) {
  OsHandle e = os_CreateEvent(false, true);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(os_WaitForSingleObject(e, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_WaitForSingleObject(e, 0), OS_WAIT_TIMEOUT) << "the wait consumed it";
  // Two sets with nobody waiting are one signal, as for a Windows event.
  os_SetEvent(e);
  os_SetEvent(e);
  EXPECT_EQ(os_WaitForSingleObject(e, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_WaitForSingleObject(e, 0), OS_WAIT_TIMEOUT);

  std::atomic<int> wins{0}, timeouts{0};
  std::mutex idsLock;
  std::vector<uint32_t> ids;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 6; ++i)
    waiters.emplace_back([&] {
      {
        std::lock_guard<std::mutex> g(idsLock);
        ids.push_back(os_GetCurrentThreadId());
      }
      uint32_t r = os_WaitForSingleObject(e, 1000);
      if (r == OS_WAIT_OBJECT_0) ++wins;
      if (r == OS_WAIT_TIMEOUT) ++timeouts;
    });
  // One set once all six are asleep in their waits.
  EXPECT_TRUE(tnwtest::Until(
      [&] {
        std::lock_guard<std::mutex> g(idsLock);
        if (ids.size() < 6) return false;
        for (uint32_t id : ids)
          if (!tnwtest::ThreadAsleep(id)) return false;
        return true;
      },
      5000));
  os_SetEvent(e);
  for (std::thread &t : waiters) t.join();
  EXPECT_EQ(wins.load(), 1);
  EXPECT_EQ(timeouts.load(), 5);
  os_CloseHandle(e);
}

TEST(EventTest, WaitOnSeveralReturnsTheFirstSignalled) {
  OsHandle a = os_CreateEvent(true, false), b = os_CreateEvent(false, false), c = os_CreateEvent(true, true);
  OsHandle list[] = {a, b, c};
  EXPECT_EQ(os_WaitForMultipleObjects(3, list, 0), OS_WAIT_OBJECT_0 + 2);
  os_SetEvent(b);
  EXPECT_EQ(os_WaitForMultipleObjects(3, list, 0), OS_WAIT_OBJECT_0 + 1);
  EXPECT_EQ(os_WaitForMultipleObjects(3, list, 0), OS_WAIT_OBJECT_0 + 2) << "b was consumed";
  os_ResetEvent(c);
  // The set comes while this thread is asleep in the wait.
  const uint32_t self = os_GetCurrentThreadId();
  std::thread setter([&] {
    EXPECT_TRUE(tnwtest::Until([&] { return tnwtest::ThreadAsleep(self); }, 5000));
    os_SetEvent(a);
  });
  EXPECT_EQ(os_WaitForMultipleObjects(3, list, 5000), OS_WAIT_OBJECT_0);
  setter.join();
  os_ResetEvent(a);

  uint32_t start = os_GetTickCount();
  EXPECT_EQ(os_WaitForMultipleObjects(3, list, 250), OS_WAIT_TIMEOUT);
  uint32_t spent = os_GetTickCount() - start;
  EXPECT_GE(spent, 240u);
  EXPECT_LT(spent, 5000u);
  for (OsHandle h : list) os_CloseHandle(h);
}

TEST(EventTest, BadWaitsFail) {
  OsHandle e = os_CreateEvent(true, true);
  OsHandle many[OS_MAXIMUM_WAIT_OBJECTS + 1];
  for (OsHandle &h : many) h = e;
  EXPECT_EQ(os_WaitForMultipleObjects(0, many, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(os_WaitForMultipleObjects(OS_MAXIMUM_WAIT_OBJECTS + 1, many, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_WaitForMultipleObjects(OS_MAXIMUM_WAIT_OBJECTS, many, 0), OS_WAIT_OBJECT_0);

  // A named mutex can be waited for alone, not among others.
  OsHandle m = os_CreateMutex("Global\\wait_mix.mut", false, nullptr);
  OsHandle mixed[] = {e, m};
  EXPECT_EQ(os_WaitForMultipleObjects(2, mixed, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
  os_CloseHandle(m);
  os_DeleteMutex("Global\\wait_mix.mut");

  EXPECT_EQ(os_CloseHandle(e), 0);
  EXPECT_EQ(os_CloseHandle(e), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(os_WaitForSingleObject(e, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(os_SetEvent(nullptr), -1);
}

// A thread that reports, once its wait has returned, what it returned.
struct DetachedArgs {
  OsHandle go;
  std::promise<uint32_t> waited;
};

uint32_t DetachedBody(void *p) {
  std::unique_ptr<DetachedArgs> a(static_cast<DetachedArgs *>(p));
  a->waited.set_value(os_WaitForSingleObject(a->go, OS_INFINITE));
  return 0;
}

struct ThreadArgs {
  OsHandle go;
  uint32_t seenId;
};

uint32_t ThreadBody(void *p) {
  ThreadArgs *a = static_cast<ThreadArgs *>(p);
  a->seenId = os_GetCurrentThreadId();
  os_WaitForSingleObject(a->go, OS_INFINITE);
  return 1234;
}

TEST(ThreadTest, HandleIsSignalledWhenTheThreadReturns) {
  ThreadArgs args{os_CreateEvent(true, false), 0};
  uint32_t id = 0, code = 0;
  OsHandle t = os_CreateThread(ThreadBody, &args, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, os_GetCurrentThreadId());
  EXPECT_EQ(os_WaitForSingleObject(t, 100), OS_WAIT_TIMEOUT);
  ASSERT_EQ(os_GetExitCodeThread(t, &code), 0);
  EXPECT_EQ(code, static_cast<uint32_t>(OS_STILL_ACTIVE));

  OsHandle either[] = {os_CreateEvent(true, false), t};
  os_SetEvent(args.go);
  EXPECT_EQ(os_WaitForMultipleObjects(2, either, 5000), OS_WAIT_OBJECT_0 + 1);
  ASSERT_EQ(os_GetExitCodeThread(t, &code), 0);
  EXPECT_EQ(code, 1234u);
  EXPECT_EQ(args.seenId, id);
  EXPECT_EQ(os_WaitForSingleObject(t, 0), OS_WAIT_OBJECT_0) << "stays signalled";
  os_CloseHandle(either[0]);
  os_CloseHandle(t);
  os_CloseHandle(args.go);

  // Closing the handle of a running thread leaves the thread running: it
  // still sees the event set after the close. The event is closed only once
  // the thread's wait on it has returned.
  OsHandle go = os_CreateEvent(true, false);
  auto *detached = new DetachedArgs{go, {}};
  std::future<uint32_t> waited = detached->waited.get_future();
  OsHandle t2 = os_CreateThread(DetachedBody, detached, nullptr);
  if (t2 == nullptr) delete detached;
  ASSERT_NE(t2, nullptr);
  EXPECT_EQ(os_CloseHandle(t2), 0);
  os_SetEvent(go);
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waited.get(), OS_WAIT_OBJECT_0);
  os_CloseHandle(go);
}

TEST(CriticalSectionTest, IsRecursiveForItsOwner) {
  OsCriticalSection cs;
  os_InitializeCriticalSection(&cs);
  os_EnterCriticalSection(&cs);
  EXPECT_TRUE(os_TryEnterCriticalSection(&cs));
  bool other = true;
  std::thread([&] { other = os_TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other);
  os_LeaveCriticalSection(&cs);
  std::thread([&] { other = os_TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(other) << "entered twice, left once";
  os_LeaveCriticalSection(&cs);
  std::thread([&] {
    other = os_TryEnterCriticalSection(&cs);
    if (other) os_LeaveCriticalSection(&cs);
  }).join();
  EXPECT_TRUE(other);
  os_DeleteCriticalSection(&cs);
}

TEST(TimeTest, SleepAndTickCountAgree) {
  uint32_t a = os_GetTickCount();
  os_Sleep(120);
  uint32_t spent = os_GetTickCount() - a;
  EXPECT_GE(spent, 115u);
  EXPECT_LT(spent, 5000u);
}

}  // namespace
