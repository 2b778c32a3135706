#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_env.h"
#include "platform/os_handle.h"
#include "platform/os_mapping.h"
#include "platform/os_path.h"
#include "tests/support/proc_stats.h"

namespace {

std::atomic<int> g_changes;
int CountChanges(int32_t code) {
  if (code == NTF_DATA_CHANGED) ++g_changes;
  return 0;
}

std::string KernelFile(const std::string &name) { return std::string(os_Root()) + "/kernel/Global/" + name; }

uint16_t Get16(const uint8_t *p) { uint16_t v; memcpy(&v, p, 2); return v; }
uint32_t Get32(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return v; }
void Put32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
void Put16(uint8_t *p, uint16_t v) { memcpy(p, &v, 2); }

}  // namespace

TEST(SegmentTest, CreatedSegmentHasHeaderAndTables) {
  uint8_t *seg = static_cast<uint8_t *>(shm_CreateSegmentWithWaiters("seg_layout", 11));
  ASSERT_NE(seg, nullptr);
  const SegmentHeader *h = reinterpret_cast<const SegmentHeader *>(seg);
  EXPECT_EQ(h->magic, SHM_MAGIC);
  EXPECT_EQ(h->dataSize, 11u + 1 + 544);  // odd payload padded
  EXPECT_EQ(h->nameOffset, 76u);
  EXPECT_EQ(h->headerSize, 108u);
  EXPECT_STREQ(h->name, "seg_layout");
  SegmentLockBlock *lb = shm_LockBlock(seg);
  EXPECT_EQ(lb->dataLength, 11);
  EXPECT_EQ(lb->waiterOffset, 128 + 12);
  EXPECT_EQ(lb->registrationOffset, 128 + 12 + 140);
  // The same segment comes back, from the creator and from a fresh open.
  EXPECT_EQ(shm_CreateSegmentWithWaiters("seg_layout", 11), seg);
  EXPECT_EQ(shm_OpenSegment("seg_layout"), seg);
  EXPECT_EQ(std::filesystem::file_size(KernelFile("seg_layout")), 108u + h->dataSize);
  EXPECT_TRUE(std::filesystem::exists(KernelFile("Global/seg_layout.mut")));
  shm_DestroySegment("seg_layout");
  EXPECT_FALSE(std::filesystem::exists(KernelFile("seg_layout")));
}

TEST(SegmentTest, NamesAndMissingSegments) {
  std::string n31(31, 'n'), n32(32, 'n');
  ASSERT_NE(shm_CreateSegmentWithWaiters(n31.c_str(), 4), nullptr);
  errno = 55;
  EXPECT_EQ(shm_OpenSegment(n32.c_str()), nullptr);
  EXPECT_EQ(errno, 0);
  // A segment the server never made: fails with 0 and leaves no mapping behind.
  errno = 55;
  EXPECT_EQ(shm_OpenSegment("never_made"), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_FALSE(std::filesystem::exists(KernelFile("never_made")));
  EXPECT_STREQ(shm_MutexName(shm_KernelName("dm_device")), "Global\\Global\\dm_device.mut");
  shm_DestroySegment(n31.c_str());
}

TEST(SegmentTest, BadHeadersAreRefused) {
  struct Case { const char *name; uint16_t magic; uint32_t dataSize; } cases[] = {
      {"bad_size", SHM_MAGIC, 0x7FFFFFF0},  // runs past the real mapping
      {"bad_magic", 0x1234, 92},
      {"bad_small", SHM_MAGIC, 19},         // the lock block would lie outside
      {"bad_empty", SHM_MAGIC, 0},
  };
  for (const Case &c : cases) {
    OsHandle m = os_CreateFileMapping(shm_KernelName(c.name), 200, nullptr);
    ASSERT_NE(m, nullptr);
    uint8_t *p = static_cast<uint8_t *>(os_MapViewOfFile(m, 200));
    ASSERT_NE(p, nullptr);
    SegmentHeader *h = reinterpret_cast<SegmentHeader *>(p);
    h->magic = c.magic;
    h->dataSize = c.dataSize;
    os_UnmapViewOfFile(p);
    errno = 0;
    EXPECT_EQ(shm_OpenSegment(c.name), nullptr) << c.name;
    EXPECT_EQ(errno, 13) << c.name;
    os_CloseHandle(m);
    os_DeleteFileMapping(shm_KernelName(c.name));
  }
  // The smallest segment that holds its lock block opens.
  OsHandle m = os_CreateFileMapping(shm_KernelName("just_lock"), 128, nullptr);
  ASSERT_NE(m, nullptr);
  uint8_t *p = static_cast<uint8_t *>(os_MapViewOfFile(m, 128));
  ASSERT_NE(p, nullptr);
  reinterpret_cast<SegmentHeader *>(p)->magic = SHM_MAGIC;
  reinterpret_cast<SegmentHeader *>(p)->dataSize = 20;
  os_UnmapViewOfFile(p);
  EXPECT_NE(shm_OpenSegment("just_lock"), nullptr);
  os_CloseHandle(m);
  shm_DestroySegment("just_lock");
  errno = 0;
  EXPECT_EQ(shm_CreateSegment("too_small", 19), nullptr);
  EXPECT_EQ(errno, 87);
  errno = 55;
  EXPECT_EQ(shm_Lock(nullptr), -1);
  EXPECT_EQ(errno, 0);
}

TEST(SegmentTest, LockIsRecursiveAndOwnerReturnsToZero) {
  void *seg = shm_CreateSegmentWithWaiters("seg_lock", 16);
  ASSERT_NE(seg, nullptr);
  SegmentLockBlock *lb = shm_LockBlock(seg);
  ASSERT_EQ(shm_Lock(seg), 0);
  ASSERT_EQ(shm_Lock(seg), 0);
  EXPECT_EQ(lb->owner, static_cast<uint16_t>(getpid() & 0xFFFF));
  EXPECT_EQ(lb->recursion, 2);
  EXPECT_EQ(shm_Unlock(seg), 0);
  EXPECT_EQ(lb->recursion, 1);
  EXPECT_EQ(shm_Unlock(seg), 0);
  EXPECT_EQ(lb->owner, 0);
  EXPECT_EQ(lb->recursion, 0);
  shm_DestroySegment("seg_lock");
}

TEST(SegmentTest, HighProcessIdsStillOwnOnReentry) {
  // Needs a process id above 32767; as root the next pid can be chosen.
  void *seg = shm_CreateSegmentWithWaiters("seg_highpid", 16);
  ASSERT_NE(seg, nullptr);
  FILE *f = fopen("/proc/sys/kernel/ns_last_pid", "w");
  bool steered = f && fprintf(f, "%d", 40000 + (getpid() % 1000)) > 0;
  if (f) steered = (fclose(f) == 0) && steered;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (getpid() <= 32767) _exit(77);
    SegmentLockBlock *lb = shm_LockBlock(seg);
    bool ok = shm_Lock(seg) == 0 && shm_Lock(seg) == 0 && lb->recursion == 2 &&
              lb->owner == static_cast<uint16_t>(getpid() & 0xFFFF) && shm_Unlock(seg) == 0 &&
              shm_Unlock(seg) == 0 && lb->owner == 0 && lb->recursion == 0;
    _exit(ok ? 0 : 1);
  }
  int st = 0;
  waitpid(child, &st, 0);
  shm_DestroySegment("seg_highpid");
  ASSERT_TRUE(WIFEXITED(st));
  if (WEXITSTATUS(st) == 77) GTEST_SKIP() << "no process id above 32767 here (steered: " << steered << ")";
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(SegmentTest, LockOfADeadHolderIsRecovered) {
  void *seg = shm_CreateSegmentWithWaiters("seg_dead", 16);
  ASSERT_NE(seg, nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    shm_Lock(seg);
    shm_Lock(seg);
    _exit(0);  // dies holding it twice
  }
  int st = 0;
  waitpid(child, &st, 0);
  SegmentLockBlock *lb = shm_LockBlock(seg);
  EXPECT_EQ(lb->owner, static_cast<uint16_t>(child & 0xFFFF));
  ASSERT_EQ(shm_Lock(seg), 0);
  EXPECT_EQ(lb->owner, static_cast<uint16_t>(getpid() & 0xFFFF));
  EXPECT_EQ(lb->recursion, 1);
  EXPECT_EQ(shm_Unlock(seg), 0);
  EXPECT_EQ(lb->owner, 0);
  shm_DestroySegment("seg_dead");
}

TEST(SegmentTest, PayloadCopiesAreBounded) {
  void *seg = shm_CreateSegmentWithWaiters("seg_payload", 10);
  ASSERT_NE(seg, nullptr);
  char out[10] = {};
  EXPECT_EQ(shm_WritePayload(seg, 4, "abcdef", 6), 0);
  EXPECT_EQ(shm_ReadPayload(seg, 4, out, 6), 0);
  EXPECT_EQ(std::string(out, 6), "abcdef");
  errno = 0;
  EXPECT_EQ(shm_WritePayload(seg, 5, "abcdef", 6), -1);
  EXPECT_EQ(errno, 67);
  EXPECT_EQ(shm_ReadPayload(seg, 0xFFFFFFFF, out, 2), -1);
  EXPECT_EQ(errno, 67);
  shm_DestroySegment("seg_payload");
}

class NoticeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ntf_Start(CountChanges);
    g_changes = 0;
    seg = static_cast<uint8_t *>(shm_CreateSegmentWithWaiters("seg_notice", 8));
    ASSERT_NE(seg, nullptr);
  }
  void TearDown() override {
    shm_DestroySegment("seg_notice");
    ntf_Stop();
  }
  uint8_t *ExtWaiter(int i) { return seg + shm_LockBlock(seg)->waiterOffset + 60 + 8 * i; }
  uint8_t *ShortWaiter(int i) { return seg + shm_LockBlock(seg)->waiterOffset + 6 * i; }
  uint8_t *ExtRegistration(int i) { return seg + shm_LockBlock(seg)->registrationOffset + 128 + 8 * i; }
  uint8_t *seg = nullptr;
};

TEST_F(NoticeTest, SlotsOutOfRangeAreRefused) {
  errno = 0;
  EXPECT_EQ(shm_NotifyChange(seg, 11), -1);
  EXPECT_EQ(errno, 67);
  EXPECT_EQ(shm_NotifyChange(seg, -1), -1);
}

TEST_F(NoticeTest, WaitersArePostedOrCountedAndShortEntriesUntouched) {
  // Slot 3 is this process, waiting; slot 5 another process that is not waiting.
  Put32(ExtWaiter(2), static_cast<uint32_t>(getpid()));
  Put16(ExtWaiter(2) + 4, 1);
  Put32(ExtWaiter(4), 999999);
  Put16(ShortWaiter(0), 4242);
  ASSERT_EQ(shm_NotifyChange(seg, 0), 0);
  EXPECT_EQ(g_changes.load(), 1);              // own process: delivered at once
  EXPECT_EQ(Get16(ExtWaiter(4) + 6), 1);       // not waiting: counted
  EXPECT_EQ(Get16(ExtWaiter(2) + 6), 0);
  EXPECT_EQ(Get16(ShortWaiter(0) + 4), 0);     // short entries ignored
  EXPECT_EQ(Get16(ShortWaiter(0)), 4242);
  // Slot n touches waiter n only.
  ASSERT_EQ(shm_NotifyChange(seg, 5), 0);
  EXPECT_EQ(Get16(ExtWaiter(4) + 6), 2);
  EXPECT_EQ(g_changes.load(), 1);
  // The twin spares the own process.
  ASSERT_EQ(shm_NotifyChangeOthers(seg, 0), 0);
  EXPECT_EQ(g_changes.load(), 1);
  EXPECT_EQ(Get16(ExtWaiter(4) + 6), 3);
}

TEST_F(NoticeTest, RegistrationsFireOnce) {
  ASSERT_EQ(shm_Register(seg, 32), 0);
  ASSERT_EQ(shm_Register(seg, 32), 0);  // updates its own entry
  EXPECT_EQ(Get32(ExtRegistration(0)), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(Get32(ExtRegistration(1)), 0u);
  ASSERT_EQ(shm_NotifyChange(seg, 0), 0);
  EXPECT_EQ(g_changes.load(), 1);
  EXPECT_EQ(Get32(ExtRegistration(0)), 0u);
  ASSERT_EQ(shm_NotifyChange(seg, 0), 0);
  EXPECT_EQ(g_changes.load(), 1);
  for (int i = 0; i < 32; ++i) Put32(ExtRegistration(i), 1000000 + static_cast<uint32_t>(i));
  EXPECT_EQ(shm_Register(seg, 7), -1);
}

TEST_F(NoticeTest, WaiterConsumesPendingChangesAndWakesOnNotice) {
  EXPECT_EQ(shm_ClaimWaiter(seg, 2), 0);
  EXPECT_EQ(Get32(ExtWaiter(1)), static_cast<uint32_t>(getpid()));
  // A change while nobody waits is counted, then consumed at once.
  ASSERT_EQ(shm_NotifyChange(seg, 2), 0);
  EXPECT_EQ(shm_WaitChangeFor(seg, 2, 5000), 1);
  // Another process's notice wakes the wait. The child is forked while this
  // process has no listener thread.
  ntf_Stop();
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(2);
    // The notice comes while the parent is asleep in its wait.
    if (!tnwtest::Until([&] { return tnwtest::ThreadAsleep(static_cast<uint32_t>(parent)); }, 5000)) _exit(3);
    _exit(shm_NotifyChange(seg, 0) == 0 ? 0 : 1);
  }
  ntf_Start(CountChanges);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  uint32_t start = os_GetTickCount();
  EXPECT_EQ(shm_WaitChangeFor(seg, 2, 10000), 0);
  EXPECT_LT(os_GetTickCount() - start, 9000u);
  EXPECT_EQ(g_changes.load(), 1);
  int st = 0;
  waitpid(child, &st, 0);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(Get16(ExtWaiter(1) + 4), 0);  // the waiting flag is cleared after the wait
  EXPECT_EQ(shm_ClaimWaiter(seg, 2), getpid());
  EXPECT_EQ(shm_ClaimWaiter(seg, 0), 0);
  EXPECT_EQ(Get32(ExtWaiter(1)), 0u);
}
