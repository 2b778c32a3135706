#include "framework/shm/shm_segment.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_mapping.h"

namespace {

struct SegEntry {
  char name[SHM_NAME_MAX + 1];
  uint8_t *seg;
  size_t size;         // bytes mapped
  OsHandle mapping;
  OsHandle mutex;      // opened on first lock
};

std::mutex g_listLock;
std::vector<SegEntry> g_list;

SegEntry *FindByName(const char *name) {
  for (SegEntry &e : g_list)
    if (strcmp(e.name, name) == 0) return &e;
  return nullptr;
}

SegEntry *FindBySeg(const void *seg) {
  for (SegEntry &e : g_list)
    if (e.seg == seg) return &e;
  return nullptr;
}

void AddEntry(const char *name, uint8_t *seg, size_t size, OsHandle mapping, OsHandle mutex) {
  if (g_list.capacity() == g_list.size()) g_list.reserve(g_list.size() + 20);
  SegEntry e{};
  snprintf(e.name, sizeof e.name, "%s", name);
  e.seg = seg;
  e.size = size;
  e.mapping = mapping;
  e.mutex = mutex;
  g_list.push_back(e);
}

uint16_t OwnId16() { return static_cast<uint16_t>(os_GetCurrentProcessId() & 0xFFFF); }

bool NameTooLong(const char *name) { return !name || strlen(name) > SHM_NAME_MAX; }

bool HasMagic(const void *seg) {
  return seg && static_cast<const SegmentHeader *>(seg)->magic == SHM_MAGIC;
}

// Little-endian field access at any offset: the tables behind the payload are
// only 2-byte aligned.
uint16_t Get16(const uint8_t *p) { uint16_t v; memcpy(&v, p, 2); return v; }
uint32_t Get32(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return v; }
void Put16(uint8_t *p, uint16_t v) { memcpy(p, &v, 2); }
void Put32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }

// One waiter or registration entry, whichever table form it lives in.
struct Slot {
  uint8_t *at;
  bool wide;  // {u32 pid, u16, u16} instead of {u16 pid, u16[, u16]}
  uint32_t pid() const { return wide ? Get32(at) : Get16(at); }
  void setPid(uint32_t v) const { wide ? Put32(at, v) : Put16(at, static_cast<uint16_t>(v)); }
  uint8_t *word1() const { return at + (wide ? 4 : 2); }
  uint8_t *word2() const { return at + (wide ? 6 : 4); }
};

// The table geometry of a segment, checked against its real size.
struct Tables {
  uint8_t *waiters;
  int waiterCount;
  bool waitersWide;
  uint8_t *regs;
  int regCount;
  bool regsWide;
};

bool GetTables(uint8_t *seg, Tables &t) {
  const SegmentHeader *h = reinterpret_cast<const SegmentHeader *>(seg);
  SegmentLockBlock *lb = shm_LockBlock(seg);
  int64_t end = static_cast<int64_t>(SHM_HEADER_SIZE) + h->dataSize;
  int64_t w = lb->waiterOffset, r = lb->registrationOffset;
  if (w < SHM_PAYLOAD_OFFSET || r < w || r > end) return false;
  if (os_IsWindows9x()) {
    t.waiters = seg + w;
    t.waitersWide = true;
    t.waiterCount = static_cast<int>(std::min<int64_t>(SHM_WAITER_SLOTS, (r - w) / 8));
    t.regs = seg + r;
    t.regsWide = true;
    t.regCount = static_cast<int>(std::min<int64_t>(SHM_SHORT_REGISTRATIONS, (end - r) / 8));
    return true;
  }
  int64_t extWaiters = (r - w - 60) / 8;
  if (r - w >= 60 && extWaiters > 0) {
    t.waiters = seg + w + 60;
    t.waitersWide = true;
    t.waiterCount = static_cast<int>(std::min<int64_t>(extWaiters, SHM_WAITER_SLOTS));
  } else {
    t.waiters = seg + w;
    t.waitersWide = false;
    t.waiterCount = static_cast<int>(std::min<int64_t>(SHM_WAITER_SLOTS, (r - w) / 6));
  }
  int64_t shortRoom = 4 * SHM_SHORT_REGISTRATIONS;
  int64_t extRegs = end - r >= shortRoom ? (end - r - shortRoom) / 8 : 0;
  if (extRegs > 0) {
    t.regs = seg + r + shortRoom;
    t.regsWide = true;
    t.regCount = static_cast<int>(extRegs);
  } else {
    t.regs = seg + r;
    t.regsWide = false;
    t.regCount = static_cast<int>(std::min<int64_t>(SHM_SHORT_REGISTRATIONS, (end - r) / 4));
  }
  return true;
}

Slot Waiter(const Tables &t, int i) { return Slot{t.waiters + i * (t.waitersWide ? 8 : 6), t.waitersWide}; }
Slot Registration(const Tables &t, int i) { return Slot{t.regs + i * (t.regsWide ? 8 : 4), t.regsWide}; }

bool IsOwn(const Slot &s, uint32_t pid) { return s.wide ? s.pid() == pid : s.pid() == (pid & 0xFFFF); }

int Notify(void *seg, int slot, bool spareOwn) {
  if (slot < 0 || slot > SHM_WAITER_SLOTS) return errno = OS_ERROR_BAD_NET_NAME, -1;
  if (shm_Lock(seg) != 0) return -1;
  uint8_t *s = static_cast<uint8_t *>(seg);
  Tables t;
  if (GetTables(s, t)) {
    uint32_t own = os_GetCurrentProcessId();
    int first = slot == 0 ? 0 : slot - 1;
    int last = slot == 0 ? t.waiterCount : std::min(slot, t.waiterCount);
    for (int i = first; i < last; ++i) {
      Slot w = Waiter(t, i);
      uint32_t pid = w.pid();
      if (pid == 0 && w.wide) continue;
      if (spareOwn && pid != 0 && IsOwn(w, own)) continue;
      if (pid != 0 && Get16(w.word1()) != 0)
        ntf_Post(pid, SHM_CODE_DATA_CHANGED);
      else
        Put16(w.word2(), static_cast<uint16_t>(Get16(w.word2()) + 1));
    }
    if (slot == 0) {
      for (int i = 0; i < t.regCount; ++i) {
        Slot r = Registration(t, i);
        uint32_t pid = r.pid();
        if (pid == 0 || (spareOwn && IsOwn(r, own))) continue;
        uint16_t code = Get16(r.word1());
        r.setPid(0);
        Put16(r.word1(), 0);
        ntf_Post(pid, code);
      }
    }
  }
  SegmentLockBlock *lb = shm_LockBlock(seg);
  if (lb->pending != 0) lb->pending = static_cast<int16_t>(lb->pending - 1);
  return shm_Unlock(seg);
}

}  // namespace

const OsSecurityAttributes *shm_OpenSecurityAttributes(void) {
  static OsSecurityAttributes sa = {sizeof(OsSecurityAttributes), nullptr, 0};
  return &sa;
}

const char *shm_KernelName(const char *name) {
  static thread_local char buf[40];
  snprintf(buf, sizeof buf, "Global\\%.31s", name);
  return buf;
}

const char *shm_MutexName(const char *name) {
  static thread_local char buf[64];
  snprintf(buf, sizeof buf, "Global\\%.50s.mut", name);
  return buf;
}

void *shm_OpenSegment(const char *name) {
  if (NameTooLong(name)) return errno = 0, nullptr;
  {
    std::lock_guard<std::mutex> g(g_listLock);
    if (SegEntry *e = FindByName(name)) return e->seg;
  }
  OsHandle m = os_OpenFileMapping(shm_KernelName(name));
  if (!m) return errno = 0, nullptr;
  uint64_t real = os_MappingSize(m);
  uint8_t *seg = nullptr;
  size_t size = 0;
  if (real >= SHM_HEADER_SIZE) {
    SegmentHeader h;
    void *head = os_MapViewOfFile(m, SHM_HEADER_SIZE);
    if (head) {
      memcpy(&h, head, sizeof h);
      os_UnmapViewOfFile(head);
      // The header comes from another process: never map past the real size.
      // Every segment is locked through its lock block: it must lie inside.
      bool fits = h.dataSize >= SHM_LOCK_BLOCK_SIZE && SHM_HEADER_SIZE + static_cast<uint64_t>(h.dataSize) <= real;
      if (h.magic == SHM_MAGIC && fits) {
        size = SHM_HEADER_SIZE + static_cast<size_t>(h.dataSize);
        seg = static_cast<uint8_t *>(os_MapViewOfFile(m, size));
      }
    }
  }
  if (!seg) {
    os_CloseHandle(m);
    return errno = OS_ERROR_INVALID_DATA, nullptr;
  }
  std::lock_guard<std::mutex> g(g_listLock);
  if (SegEntry *e = FindByName(name)) {  // another thread was quicker
    os_UnmapViewOfFile(seg);
    os_CloseHandle(m);
    return e->seg;
  }
  AddEntry(name, seg, size, m, nullptr);
  return seg;
}

static void *CreateMapped(const char *name, uint32_t dataSize, OsHandle mutex) {
  if (NameTooLong(name)) return errno = 0, nullptr;
  if (dataSize < SHM_LOCK_BLOCK_SIZE) return errno = OS_ERROR_INVALID_PARAMETER, nullptr;
  const OsSecurityAttributes *sa = shm_OpenSecurityAttributes();
  if (!sa) return nullptr;
  size_t size = SHM_HEADER_SIZE + static_cast<size_t>(dataSize);
  OsHandle m = os_CreateFileMapping(shm_KernelName(name), size, sa);
  if (!m) return nullptr;
  if (os_GetLastError() == OS_ERROR_ALREADY_EXISTS) {
    os_CloseHandle(m);
    return errno = OS_ERROR_ALREADY_EXISTS, nullptr;
  }
  uint8_t *seg = static_cast<uint8_t *>(os_MapViewOfFile(m, size));
  if (!seg) {
    int e = errno;
    os_CloseHandle(m);
    os_DeleteFileMapping(shm_KernelName(name));
    return errno = e, nullptr;
  }
  memset(seg, 0, size);
  SegmentHeader *h = reinterpret_cast<SegmentHeader *>(seg);
  h->dataSize = dataSize;
  h->nameOffset = SHM_NAME_OFFSET;
  h->headerSize = SHM_HEADER_SIZE;
  snprintf(h->name, sizeof h->name, "%s", name);
  h->magic = SHM_MAGIC;
  std::lock_guard<std::mutex> g(g_listLock);
  AddEntry(name, seg, size, m, mutex);
  return seg;
}

void *shm_CreateSegment(const char *name, uint32_t dataSize) { return CreateMapped(name, dataSize, nullptr); }

void *shm_CreateSegmentWithWaiters(const char *name, uint32_t payloadLength) {
  if (NameTooLong(name)) return errno = 0, nullptr;
  if (OsHandle probe = os_OpenFileMapping(shm_KernelName(name))) {
    os_CloseHandle(probe);  // only the check: shm_OpenSegment keeps its own handle
    return shm_OpenSegment(name);
  }
  OsHandle mutex = os_CreateMutex(shm_MutexName(shm_KernelName(name)), false, shm_OpenSecurityAttributes());
  if (!mutex) return nullptr;
  bool nine = os_IsWindows9x();
  uint32_t padded = nine ? (payloadLength + 3u) & ~3u : payloadLength + (payloadLength & 1u);
  uint32_t room = nine ? SHM_9X_TABLE_ROOM : SHM_NT_TABLE_ROOM;
  uint8_t *seg = static_cast<uint8_t *>(CreateMapped(name, padded + room, mutex));
  if (!seg) {
    int e = errno;
    os_CloseHandle(mutex);
    return errno = e, nullptr;
  }
  SegmentLockBlock *lb = shm_LockBlock(seg);
  lb->dataLength = static_cast<int32_t>(payloadLength);
  lb->waiterOffset = static_cast<int32_t>(SHM_PAYLOAD_OFFSET + padded);
  lb->registrationOffset = lb->waiterOffset + (nine ? 80 : 140);
  return seg;
}

int shm_DestroySegment(const char *name) {
  if (NameTooLong(name)) return errno = 0, -1;
  {
    std::lock_guard<std::mutex> g(g_listLock);
    for (size_t i = 0; i < g_list.size(); ++i) {
      if (strcmp(g_list[i].name, name) != 0) continue;
      os_UnmapViewOfFile(g_list[i].seg);
      os_CloseHandle(g_list[i].mapping);
      if (g_list[i].mutex) os_CloseHandle(g_list[i].mutex);
      g_list.erase(g_list.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  int rc = os_DeleteFileMapping(shm_KernelName(name));
  os_DeleteMutex(shm_MutexName(shm_KernelName(name)));
  return rc;
}

// The segment's mutex, opened on first use and kept in the list entry.
static OsHandle SegmentMutex(void *seg) {
  std::lock_guard<std::mutex> g(g_listLock);
  SegEntry *e = FindBySeg(seg);
  if (!e) return errno = 0, nullptr;
  if (!e->mutex) {
    e->mutex = os_OpenMutex(shm_MutexName(shm_KernelName(e->name)));
    if (!e->mutex) errno = static_cast<int>(os_GetLastError());
  }
  return e->mutex;
}

int shm_Lock(void *seg) {
  if (!HasMagic(seg)) return errno = 0, -1;
  OsHandle mutex = SegmentMutex(seg);
  if (!mutex) return -1;
  uint32_t r = os_WaitMutex(mutex, OS_INFINITE);
  if (r != OS_WAIT_OBJECT_0 && r != OS_WAIT_ABANDONED_0) return errno = static_cast<int>(os_GetLastError()), -1;
  SegmentLockBlock *lb = shm_LockBlock(seg);
  uint16_t own = OwnId16();
  if (r == OS_WAIT_OBJECT_0 && lb->owner == own && lb->recursion > 0) {
    lb->recursion += 1;
  } else {
    // Free, held by another process before us, or abandoned by a dead holder.
    lb->owner = own;
    lb->recursion = 1;
  }
  return 0;
}

int shm_Unlock(void *seg) {
  if (!HasMagic(seg)) return errno = 0, -1;
  OsHandle mutex = SegmentMutex(seg);
  if (!mutex) return -1;
  SegmentLockBlock *lb = shm_LockBlock(seg);
  if (lb->owner == OwnId16()) {
    lb->recursion -= 1;
    if (lb->recursion <= 0) {
      lb->recursion = 0;
      lb->owner = 0;
    }
  }
  if (os_ReleaseMutex(mutex) != 0) return errno = static_cast<int>(os_GetLastError()), -1;
  return 0;
}

int shm_NotifyChange(void *seg, int slot) { return Notify(seg, slot, false); }
int shm_NotifyChangeOthers(void *seg, int slot) { return Notify(seg, slot, true); }

int shm_AddPending(void *seg) {
  if (shm_Lock(seg) != 0) return -1;
  SegmentLockBlock *lb = shm_LockBlock(seg);
  lb->pending = static_cast<int16_t>(lb->pending + 1);
  return shm_Unlock(seg);
}

int64_t shm_ClaimWaiter(void *seg, int n) {
  if (n < 0 || n > SHM_WAITER_SLOTS) return errno = OS_ERROR_BAD_NET_NAME, -1;
  if (shm_Lock(seg) != 0) return -1;
  Tables t;
  int64_t former = 0;
  if (!GetTables(static_cast<uint8_t *>(seg), t)) {
    shm_Unlock(seg);
    return errno = OS_ERROR_INVALID_DATA, -1;
  }
  if (n == 0) {
    for (int i = 0; i < t.waiterCount; ++i) memset(Waiter(t, i).at, 0, t.waitersWide ? 8 : 6);
  } else if (n <= t.waiterCount) {
    Slot w = Waiter(t, n - 1);
    former = w.pid();
    memset(w.at, 0, t.waitersWide ? 8 : 6);
    w.setPid(os_GetCurrentProcessId());
  } else {
    shm_Unlock(seg);
    return errno = OS_ERROR_BAD_NET_NAME, -1;
  }
  shm_Unlock(seg);
  return former;
}

static int WaitOnSlot(void *seg, int n, bool onlyWhenPending, uint32_t ms) {
  if (n < 1 || n > SHM_WAITER_SLOTS) return errno = OS_ERROR_BAD_NET_NAME, -1;
  if (shm_Lock(seg) != 0) return -1;
  Tables t;
  if (!GetTables(static_cast<uint8_t *>(seg), t) || n > t.waiterCount) {
    shm_Unlock(seg);
    return errno = OS_ERROR_BAD_NET_NAME, -1;
  }
  if (onlyWhenPending && shm_LockBlock(seg)->pending == 0) return shm_Unlock(seg);
  Slot w = Waiter(t, n - 1);
  uint16_t pend = Get16(w.word2());
  if (pend > 0) {
    Put16(w.word2(), static_cast<uint16_t>(pend - 1));
    return shm_Unlock(seg) == 0 ? 1 : -1;
  }
  // A notice posted between the unlock and the wait must still end it.
  uint64_t mark = ntf_DeliveryMark();
  Put16(w.word1(), 1);
  shm_Unlock(seg);
  ntf_WaitAfter(mark, ms);
  if (shm_Lock(seg) != 0) return -1;
  Put16(w.word1(), 0);
  return shm_Unlock(seg);
}

int shm_WaitChange(void *seg, int n) { return WaitOnSlot(seg, n, false, 0) < 0 ? -1 : 0; }
int shm_WaitChangeFor(void *seg, int n, uint32_t ms) { return WaitOnSlot(seg, n, false, ms); }
int shm_WaitPending(void *seg, int n) { return WaitOnSlot(seg, n, true, 0) < 0 ? -1 : 0; }

int shm_Register(void *seg, uint16_t code) {
  if (shm_Lock(seg) != 0) return -1;
  Tables t;
  if (!GetTables(static_cast<uint8_t *>(seg), t)) {
    shm_Unlock(seg);
    return errno = OS_ERROR_INVALID_DATA, -1;
  }
  uint32_t own = os_GetCurrentProcessId();
  int slot = -1;
  for (int i = 0; i < t.regCount && slot < 0; ++i)
    if (Registration(t, i).pid() != 0 && IsOwn(Registration(t, i), own)) slot = i;
  for (int i = 0; i < t.regCount && slot < 0; ++i)
    if (Registration(t, i).pid() == 0) slot = i;
  int rc = 0;
  if (slot < 0) {
    rc = -1;
  } else {
    Slot r = Registration(t, slot);
    r.setPid(own);
    Put16(r.word1(), code);
  }
  shm_Unlock(seg);
  if (rc != 0) errno = OS_ERROR_NO_MORE_ITEMS;
  return rc;
}

int shm_Unregister(void *seg) {
  if (shm_Lock(seg) != 0) return -1;
  Tables t;
  if (GetTables(static_cast<uint8_t *>(seg), t)) {
    uint32_t own = os_GetCurrentProcessId();
    for (int i = 0; i < t.regCount; ++i) {
      Slot r = Registration(t, i);
      if (r.pid() != 0 && IsOwn(r, own)) memset(r.at, 0, t.regsWide ? 8 : 4);
    }
  }
  return shm_Unlock(seg);
}

int32_t shm_DataLength(void *seg) {
  int64_t length = shm_LockBlock(seg)->dataLength;
  int64_t room = static_cast<int64_t>(static_cast<SegmentHeader *>(seg)->dataSize) - (SHM_PAYLOAD_OFFSET - SHM_HEADER_SIZE);
  if (length > room) length = room;
  return length < 0 ? 0 : static_cast<int32_t>(length);
}

static bool PayloadRange(void *seg, uint32_t offset, uint32_t length) {
  return static_cast<int64_t>(offset) + length <= shm_DataLength(seg);
}

int shm_ReadPayload(void *seg, uint32_t offset, void *buf, uint32_t length) {
  if (!HasMagic(seg)) return errno = 0, -1;
  if (!PayloadRange(seg, offset, length)) return errno = OS_ERROR_BAD_NET_NAME, -1;
  if (shm_Lock(seg) != 0) return -1;
  memcpy(buf, shm_Payload(seg) + offset, length);
  return shm_Unlock(seg);
}

int shm_WritePayload(void *seg, uint32_t offset, const void *buf, uint32_t length) {
  if (!HasMagic(seg)) return errno = 0, -1;
  if (!PayloadRange(seg, offset, length)) return errno = OS_ERROR_BAD_NET_NAME, -1;
  if (shm_Lock(seg) != 0) return -1;
  memcpy(shm_Payload(seg) + offset, buf, length);
  return shm_Unlock(seg);
}

void tbl_ToUpper(char *text, size_t length) {
  for (size_t i = 0; i < length && text[i]; ++i) text[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
}

void tbl_ToLower(char *text, size_t length) {
  for (size_t i = 0; i < length && text[i]; ++i) text[i] = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
}
