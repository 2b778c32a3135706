#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>

#include "framework/notify/ntf_notify.h"
#include "platform/os_handle.h"
#include "platform/os_path.h"
#include "tests/support/poster.h"
#include "tests/support/proc_stats.h"

namespace {

std::mutex g_lock;
std::vector<int32_t> g_codes;
std::vector<std::thread::id> g_threads;

int Record(int32_t code) {
  std::lock_guard<std::mutex> g(g_lock);
  g_codes.push_back(code);
  g_threads.push_back(std::this_thread::get_id());
  return 0;
}

std::vector<int32_t> Codes() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_codes;
}

bool WaitForCount(size_t n, uint32_t ms) {
  uint32_t start = os_GetTickCount();
  while (os_GetTickCount() - start < ms) {
    if (Codes().size() >= n) return true;
    os_Sleep(2);
  }
  return Codes().size() >= n;
}

class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> g(g_lock);
    g_codes.clear();
    g_threads.clear();
  }
  void TearDown() override { ntf_Stop(); }
  // Another process that posts, as the server does; made before any thread.
  tnwtest::Poster poster;
  uint32_t self = static_cast<uint32_t>(getpid());
};

}  // namespace

TEST_F(NotifyTest, WaitBeforeStartOnlySleeps) {
  uint32_t start = os_GetTickCount();
  EXPECT_EQ(ntf_Wait(50), 0);
  EXPECT_GE(os_GetTickCount() - start, 45u);
  EXPECT_EQ(ntf_HoldDelivery(1), -1);
}

TEST_F(NotifyTest, StartCreatesTheSlotAndSwapsCallbacks) {
  errno = 5;
  EXPECT_EQ(ntf_Start(Record), nullptr);
  EXPECT_EQ(errno, 0);
  std::string slot = std::string(os_Root()) + "/kernel/mailslot/dm_" + std::to_string(getpid()) + ".slt";
  EXPECT_TRUE(std::filesystem::exists(slot));
  EXPECT_EQ(ntf_Start(Record), Record);
  ntf_Stop();
  EXPECT_FALSE(std::filesystem::exists(slot));
  EXPECT_EQ(ntf_Post(static_cast<uint32_t>(getpid()) + 100000, 31), -1);
  EXPECT_EQ(errno, 2);  // no such mailslot
}

TEST_F(NotifyTest, OwnProcessIsServedOnTheCallersThread) {
  ntf_Start(Record);
  ASSERT_EQ(ntf_Post(static_cast<uint32_t>(getpid()), 300), 0);
  ASSERT_EQ(Codes().size(), 1u);
  EXPECT_EQ(g_threads[0], std::this_thread::get_id());
  EXPECT_EQ(ntf_LastCode(), 300);
  ntf_ClearLastCode();
  EXPECT_EQ(ntf_LastCode(), 0);
}

TEST_F(NotifyTest, CodesWaitWhileTheGateIsClosed) {
  ntf_Start(Record);
  ASSERT_EQ(ntf_HoldDelivery(1), 0);
  EXPECT_EQ(poster.Post(self, {300, 302, 303, 304, 300}), 0);
  os_Sleep(100);
  EXPECT_TRUE(Codes().empty());
  // The wait opens the gate; the first delivery ends it.
  EXPECT_EQ(ntf_Wait(5000), 0);
  ASSERT_TRUE(WaitForCount(5, 5000));
  EXPECT_EQ(Codes(), (std::vector<int32_t>{300, 302, 303, 304, 300}));
  EXPECT_NE(g_threads[0], std::this_thread::get_id());
}

TEST_F(NotifyTest, OnlyDeliveriesFromTheWaitOnEndIt) {
  ntf_Start(Record);
  // Delivered with the gate open before the wait: the wait still lasts.
  ASSERT_EQ(ntf_Post(self, 300), 0);
  uint32_t start = os_GetTickCount();
  EXPECT_EQ(ntf_Wait(1000), 0);
  EXPECT_GE(os_GetTickCount() - start, 900u) << "an earlier delivery ended the wait";
  // One posted during the wait ends it.
  const uint32_t waiter = os_GetCurrentThreadId();
  std::thread later([&] {
    EXPECT_TRUE(tnwtest::Until([&] { return tnwtest::ThreadAsleep(waiter); }, 5000));
    EXPECT_EQ(poster.Post(self, {302}), 0);
  });
  start = os_GetTickCount();
  EXPECT_EQ(ntf_Wait(20000), 0);
  EXPECT_LT(os_GetTickCount() - start, 10000u);
  later.join();
  EXPECT_TRUE(WaitForCount(2, 5000));
  // A waiter that armed itself before the delivery is woken by it.
  uint64_t mark = ntf_DeliveryMark();
  ASSERT_EQ(ntf_Post(self, 303), 0);
  start = os_GetTickCount();
  EXPECT_EQ(ntf_WaitAfter(mark, 20000), 0);
  EXPECT_LT(os_GetTickCount() - start, 10000u) << "a delivery after the mark was lost";
}

TEST_F(NotifyTest, WaitListHoldsTenHandles) {
  ntf_Start(Record);
  std::vector<OsHandle> events;
  for (int i = 0; i < 10; ++i) events.push_back(os_CreateEvent(true, false));
  for (int i = 0; i < 9; ++i) EXPECT_EQ(ntf_AddWaitHandle(events[static_cast<size_t>(i)]), 0) << i;
  EXPECT_EQ(ntf_AddWaitHandle(events[9]), -1);  // the message event is the first of ten
  EXPECT_EQ(ntf_RemoveWaitHandle(events[9]), -1);
  // A further handle ends the wait as well.
  os_SetEvent(events[4]);
  uint32_t start = os_GetTickCount();
  EXPECT_EQ(ntf_Wait(5000), 0);
  EXPECT_LT(os_GetTickCount() - start, 4000u);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(ntf_RemoveWaitHandle(events[static_cast<size_t>(i)]), 0);
  for (OsHandle e : events) os_CloseHandle(e);
}

TEST_F(NotifyTest, NoWakeUpIsLostBetweenExaminationAndWait) {
  // The main-loop pattern: close the gate, examine, wait. A code posted at any
  // moment must end the wait that follows or be seen by the examination.
  ntf_Start(Record);
  const int kRounds = 300;
  // Small batches at uneven intervals, so codes land in every phase of the loop.
  std::thread feeder([&] {
    int sent = 0;
    for (int i = 0; sent < kRounds; ++i) {
      int n = std::min(1 + i % 4, kRounds - sent);
      EXPECT_EQ(poster.Post(self, std::vector<int32_t>(static_cast<size_t>(n), 300)), 0);
      sent += n;
      usleep(static_cast<useconds_t>((i * 37) % 700));
    }
  });
  size_t seen = 0;
  uint32_t start = os_GetTickCount();
  while (seen < static_cast<size_t>(kRounds) && os_GetTickCount() - start < 30000) {
    ntf_HoldDelivery(1);
    size_t now = Codes().size();
    if (now > seen) {
      seen = now;
      ntf_HoldDelivery(0);
      continue;
    }
    // A missed wake-up would hang here until the time-out.
    uint32_t before = os_GetTickCount();
    ntf_Wait(20000);
    EXPECT_LT(os_GetTickCount() - before, 10000u) << "slept with a code pending";
  }
  feeder.join();
  EXPECT_TRUE(WaitForCount(kRounds, 5000));
  EXPECT_EQ(Codes().size(), static_cast<size_t>(kRounds));
}

TEST_F(NotifyTest, StopEndsTheListenerAndAllowsARestart) {
  ntf_Start(Record);
  ntf_Stop();
  EXPECT_FALSE(ntf_IsStarted());
  ntf_Stop();  // twice is harmless
  ntf_Start(Record);
  EXPECT_EQ(poster.Post(self, {31}), 0);
  EXPECT_TRUE(WaitForCount(1, 5000));
  EXPECT_EQ(Codes(), std::vector<int32_t>{31});
}

// A poster keeps its writer to a peer between notices: a peer that went away
// fails the notice, and once it is back (a new slot under the same name) the
// next notice reaches it.
TEST_F(NotifyTest, ARestartedPeerStillReceivesTheNextNotice) {
  ntf_Start(Record);
  ASSERT_EQ(poster.Post(self, {31, 32}), 0);
  ASSERT_TRUE(WaitForCount(2, 5000));
  ntf_Stop();
  EXPECT_EQ(poster.Post(self, {33}), 1) << "a notice to a peer that is gone reported as sent";
  ntf_Start(Record);
  EXPECT_EQ(poster.Post(self, {34}), 0);
  EXPECT_TRUE(WaitForCount(3, 5000));
  // Restarted without a notice in between: the kept writer is the old slot's.
  ntf_Stop();
  ntf_Start(Record);
  EXPECT_EQ(poster.Post(self, {35, 36}), 0);
  EXPECT_TRUE(WaitForCount(5, 5000));
  EXPECT_EQ(Codes(), (std::vector<int32_t>{31, 32, 34, 35, 36}));
}
