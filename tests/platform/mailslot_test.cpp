#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_mailslot.h"
#include "tests/platform/child_process.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"

namespace {

OsHandle OpenWriter(const std::string &slot) {
  return os_CreateFile(slot.c_str(), OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE, OS_OPEN_EXISTING, 0);
}

int Post(OsHandle w, const void *data, uint32_t n) {
  uint32_t written = 0;
  int rc = os_WriteFile(w, data, n, &written);
  return rc == 0 && written == n ? 0 : -1;
}

int PostOnce(const std::string &slot, uint32_t code) {
  OsHandle w = OpenWriter(slot);
  if (!w) return -1;
  int rc = Post(w, &code, sizeof code);
  os_CloseHandle(w);
  return rc;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class MailslotTest : public ::testing::Test {
 protected:
  void TearDown() override { os_SetMailslotWriteTimeoutForTests(3000); }
};

TEST_F(MailslotTest, BurstFromFourWritersLosesNothing) {
  const std::string slot = "\\\\.\\mailslot\\dm_burst.slt";
  OsHandle r = os_CreateMailslot(slot.c_str(), 4, 5000, nullptr);
  ASSERT_NE(r, nullptr);
  const int kWriters = 4, kEach = 250;
  pid_t kids[kWriters];
  for (int w = 0; w < kWriters; ++w)
    kids[w] = tnwtest::Spawn([&, w] {
      // Half keep one handle, half open the slot for every code.
      OsHandle keep = w % 2 ? OpenWriter(slot) : nullptr;
      for (int i = 0; i < kEach; ++i) {
        uint32_t code = static_cast<uint32_t>(w * kEach + i);
        if ((keep ? Post(keep, &code, sizeof code) : PostOnce(slot, code)) != 0) return 1;
      }
      return 0;
    });
  std::vector<int> seen(kWriters * kEach, 0);
  int total = 0;
  for (; total < kWriters * kEach; ++total) {
    uint32_t code = 0, got = 0;
    if (os_ReadFile(r, &code, sizeof code, &got) != 0) break;
    ASSERT_EQ(got, 4u);
    ASSERT_LT(code, seen.size());
    seen[code]++;
  }
  for (pid_t k : kids) EXPECT_EQ(tnwtest::Join(k), 0);
  EXPECT_EQ(total, kWriters * kEach);
  for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], 1) << "code " << i;
  uint32_t next = 0, count = 9;
  EXPECT_EQ(os_GetMailslotInfo(r, &next, &count), 0);
  EXPECT_EQ(next, OS_MAILSLOT_NO_MESSAGE);
  EXPECT_EQ(count, 0u);
  os_CloseHandle(r);
}

TEST_F(MailslotTest, PathsBeyondTheSocketLimitWork) {
  const std::string name = "sub\\" + std::string(80, 'q') + ".slt";
  const std::string slot = "\\\\.\\mailslot\\" + name;
  const std::string file = tnwtest::Root() + "/kernel/mailslot/sub/" + std::string(80, 'q') + ".slt";
  ASSERT_GT(file.size(), 108u);
  OsHandle r = os_CreateMailslot(slot.c_str(), 0, 2000, nullptr);
  ASSERT_NE(r, nullptr) << os_GetLastError();
  EXPECT_TRUE(Exists(file));
  ASSERT_EQ(PostOnce(slot, 302), 0);
  uint32_t code = 0, got = 0;
  ASSERT_EQ(os_ReadFile(r, &code, sizeof code, &got), 0);
  EXPECT_EQ(code, 302u);
  os_CloseHandle(r);
  EXPECT_FALSE(Exists(file)) << "the name goes with the reader";

  EXPECT_EQ(os_CreateMailslot(("\\\\.\\mailslot\\" + std::string(120, 'z')).c_str(), 0, 0, nullptr), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(MailslotTest, MissingAndStaleSlotsAndLiveOwners) {
  const std::string slot = "\\\\.\\mailslot\\dm_owned.slt";
  EXPECT_EQ(OpenWriter(slot), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenWriter("\\\\.\\mailslot\\nofolder\\x"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);

  tnwtest::Gate created, finish;
  pid_t owner = tnwtest::Spawn([&] {
    if (!os_CreateMailslot(slot.c_str(), 4, 0, nullptr)) return 1;
    created.Post();
    finish.Await();
    return 0;  // dies without closing: the socket file stays behind
  });
  ASSERT_TRUE(created.Await());
  EXPECT_EQ(os_CreateMailslot(slot.c_str(), 4, 0, nullptr), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ALREADY_EXISTS);
  finish.Post();
  ASSERT_EQ(tnwtest::Join(owner), 0);
  ASSERT_TRUE(Exists(tnwtest::Root() + "/kernel/mailslot/dm_owned.slt"));

  // Nobody reads a stale slot: writers find no slot, a creator takes it over.
  EXPECT_EQ(OpenWriter(slot), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  OsHandle r = os_CreateMailslot(slot.c_str(), 4, 2000, nullptr);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(PostOnce(slot, 31), 0);
  uint32_t code = 0, got = 0;
  EXPECT_EQ(os_ReadFile(r, &code, sizeof code, &got), 0);
  EXPECT_EQ(code, 31u);
  os_CloseHandle(r);

  EXPECT_EQ(os_CreateMailslot("\\\\.\\pipe\\not_a_slot", 0, 0, nullptr), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_NAME);
}

TEST_F(MailslotTest, MessagesTooLongAreDropped) {
  const std::string slot = "\\\\.\\mailslot\\sizes";
  OsHandle r = os_CreateMailslot(slot.c_str(), 0, 2000, nullptr);
  ASSERT_NE(r, nullptr);
  OsHandle w = OpenWriter(slot);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(Post(w, "12345678", 8), 0);
  ASSERT_EQ(Post(w, "abcd", 4), 0);
  char buf[4];
  uint32_t got = 0;
  EXPECT_EQ(os_ReadFile(r, buf, sizeof buf, &got), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INSUFFICIENT_BUFFER);
  ASSERT_EQ(os_ReadFile(r, buf, sizeof buf, &got), 0);
  EXPECT_EQ(std::string(buf, got), "abcd");
  os_CloseHandle(r);

  // Beyond the slot's own maximum a message never arrives.
  OsHandle small = os_CreateMailslot(slot.c_str(), 4, 2000, nullptr);
  ASSERT_NE(small, nullptr);
  OsHandle w2 = OpenWriter(slot);
  ASSERT_EQ(Post(w2, "toolong!", 8), 0);
  ASSERT_EQ(Post(w2, "ok", 2), 0);
  char big[64];
  ASSERT_EQ(os_ReadFile(small, big, sizeof big, &got), 0);
  EXPECT_EQ(std::string(big, got), "ok");
  os_CloseHandle(w2);
  os_CloseHandle(w);
  os_CloseHandle(small);
}

TEST_F(MailslotTest, ReadsTimeOut) {
  OsHandle r = os_CreateMailslot("\\\\.\\mailslot\\quiet", 4, 200, nullptr);
  ASSERT_NE(r, nullptr);
  uint32_t code, got;
  uint32_t start = os_GetTickCount();
  EXPECT_EQ(os_ReadFile(r, &code, sizeof code, &got), -1);
  uint32_t spent = os_GetTickCount() - start;
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SEM_TIMEOUT);
  EXPECT_GE(spent, 190u);
  EXPECT_LT(spent, 5000u);
  os_CloseHandle(r);

  OsHandle now = os_CreateMailslot("\\\\.\\mailslot\\quiet", 4, 0, nullptr);
  ASSERT_NE(now, nullptr);
  start = os_GetTickCount();
  EXPECT_EQ(os_ReadFile(now, &code, sizeof code, &got), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SEM_TIMEOUT);
  EXPECT_LT(os_GetTickCount() - start, 1000u);
  os_CloseHandle(now);
}

TEST_F(MailslotTest, WritersWaitForRoomButNotForEver) {
  os_SetMailslotWriteTimeoutForTests(300);
  const std::string slot = "\\\\.\\mailslot\\full";
  OsHandle r = os_CreateMailslot(slot.c_str(), 4, 2000, nullptr);
  ASSERT_NE(r, nullptr);
  OsHandle w = OpenWriter(slot);
  ASSERT_NE(w, nullptr);
  int queued = 0;
  uint32_t start = 0;
  for (uint32_t i = 0; i < 1000; ++i) {
    start = os_GetTickCount();
    if (Post(w, &i, sizeof i) != 0) break;
    ++queued;
  }
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SEM_TIMEOUT);
  EXPECT_GE(os_GetTickCount() - start, 250u);
  EXPECT_GE(queued, 1);
  EXPECT_LT(queued, 1000) << "the kernel's queue is short";

  // A writer blocked on a full queue goes on as soon as the reader takes one.
  os_SetMailslotWriteTimeoutForTests(5000);
  std::atomic<int> rc{-2};
  std::atomic<uint32_t> writerId{0};
  std::thread writer([&] {
    writerId = os_GetCurrentThreadId();
    uint32_t v = 7777;
    rc = Post(w, &v, sizeof v);
  });
  EXPECT_TRUE(tnwtest::Until([&] { return writerId != 0 && tnwtest::ThreadAsleep(writerId); }, 5000))
      << "the writer never blocked";
  std::vector<uint32_t> got;
  for (int i = 0; i <= queued; ++i) {
    uint32_t v = 0, n = 0;
    if (os_ReadFile(r, &v, sizeof v, &n) != 0) break;
    got.push_back(v);
  }
  writer.join();
  EXPECT_EQ(rc.load(), 0);
  ASSERT_EQ(got.size(), static_cast<size_t>(queued) + 1);
  for (int i = 0; i < queued; ++i) EXPECT_EQ(got[i], static_cast<uint32_t>(i));
  EXPECT_EQ(got.back(), 7777u);
  os_CloseHandle(w);
  os_CloseHandle(r);
}

TEST_F(MailslotTest, InfoCountsWithoutLosingOrder) {
  const std::string slot = "\\\\.\\mailslot\\info";
  OsHandle r = os_CreateMailslot(slot.c_str(), 0, 2000, nullptr);
  ASSERT_NE(r, nullptr);
  uint32_t next = 0, count = 7;
  ASSERT_EQ(os_GetMailslotInfo(r, &next, &count), 0);
  EXPECT_EQ(next, OS_MAILSLOT_NO_MESSAGE);
  EXPECT_EQ(count, 0u);
  OsHandle w = OpenWriter(slot);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(Post(w, "a", 1), 0);
  ASSERT_EQ(Post(w, "bb", 2), 0);
  ASSERT_EQ(os_GetMailslotInfo(r, &next, nullptr), 0);
  EXPECT_EQ(next, 1u);
  ASSERT_EQ(Post(w, "ccc", 3), 0);
  ASSERT_EQ(os_GetMailslotInfo(r, &next, &count), 0);
  EXPECT_EQ(next, 1u);
  EXPECT_EQ(count, 3u);
  char buf[8];
  uint32_t got;
  for (const char *want : {"a", "bb", "ccc"}) {
    ASSERT_EQ(os_ReadFile(r, buf, sizeof buf, &got), 0);
    EXPECT_EQ(std::string(buf, got), want);
  }

  // A reader already waiting sees a message that a count took off the socket.
  std::string late;
  std::atomic<uint32_t> readerId{0};
  std::thread reader([&] {
    readerId = os_GetCurrentThreadId();
    uint32_t n = 0;
    if (os_ReadFile(r, buf, sizeof buf, &n) == 0) late.assign(buf, n);
  });
  EXPECT_TRUE(tnwtest::Until([&] { return readerId != 0 && tnwtest::ThreadAsleep(readerId); }, 5000));
  ASSERT_EQ(Post(w, "dddd", 4), 0);
  os_GetMailslotInfo(r, &next, &count);
  reader.join();
  EXPECT_EQ(late, "dddd");
  os_CloseHandle(w);
  os_CloseHandle(r);
}

TEST_F(MailslotTest, WritingToAGoneReaderFailsWithoutSigpipe) {
  struct sigaction dfl = {}, old = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  const std::string slot = "\\\\.\\mailslot\\gone";
  OsHandle r = os_CreateMailslot(slot.c_str(), 4, 0, nullptr);
  ASSERT_NE(r, nullptr);
  OsHandle w = OpenWriter(slot);
  ASSERT_NE(w, nullptr);
  uint32_t code = 1, n;
  EXPECT_EQ(os_ReadFile(w, &code, sizeof code, &n), -1);  // a client only writes
  EXPECT_EQ(os_WriteFile(r, &code, sizeof code, &n), -1);  // and the reader only reads
  os_CloseHandle(r);
  EXPECT_EQ(Post(w, &code, sizeof code), -1);
  EXPECT_EQ(Post(w, &code, sizeof code), -1);
  os_CloseHandle(w);
  EXPECT_EQ(OpenWriter(slot), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
