// Named shared segments: header, lock block, per-process list, lock, change notices.
//
// The SCADA server creates every segment; framework processes open them by
// name and lock them with one named mutex per segment ("Global\Global\N.mut").
// Waiter and registration tables behind the payload tell interested processes
// about changes (code 32 on their notification mailslots).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/os_handle.h"

enum : uint32_t {
  SHM_MAGIC = 0x4AFC,
  SHM_HEADER_SIZE = 108,
  SHM_NAME_OFFSET = 76,
  SHM_NAME_MAX = 31,           // characters, without terminator
  SHM_PAYLOAD_OFFSET = 128,    // header + lock block
  SHM_LOCK_BLOCK_SIZE = 20,    // the least data size of any segment
  SHM_NT_TABLE_ROOM = 544,     // lock block + waiter area (140) + registrations (384)
  SHM_9X_TABLE_ROOM = 356,     // lock block + waiter area (80) + registrations (256)
  SHM_CODE_DATA_CHANGED = 32,
};
enum : int { SHM_WAITER_SLOTS = 10, SHM_SHORT_REGISTRATIONS = 32 };

// Bytes 0-107 of every segment.
struct SegmentHeader {
  uint16_t magic;          // 0
  uint16_t reserved0;      // 2
  uint32_t dataSize;       // 4: bytes that follow the header
  uint32_t nameOffset;     // 8: always 76
  uint8_t reserved1[20];   // 12
  uint32_t headerSize;     // 32: always 108
  uint8_t reserved2[40];   // 36
  char name[32];           // 76
};
static_assert(sizeof(SegmentHeader) == 108);
static_assert(offsetof(SegmentHeader, dataSize) == 4);
static_assert(offsetof(SegmentHeader, nameOffset) == 8);
static_assert(offsetof(SegmentHeader, headerSize) == 32);
static_assert(offsetof(SegmentHeader, name) == 76);

// Bytes 108-127: counted in the data size.
struct SegmentLockBlock {
  int16_t pending;             // 108: pending count of the segment
  uint16_t owner;              // 110: low 16 bits of the holder's process id, 0 when free
  int32_t dataLength;          // 112: payload bytes from offset 128
  int32_t recursion;           // 116: recursion count of the holder
  int32_t waiterOffset;        // 120: from the segment start
  int32_t registrationOffset;  // 124: from the segment start
};
static_assert(sizeof(SegmentLockBlock) == SHM_LOCK_BLOCK_SIZE);
static_assert(SHM_HEADER_SIZE + offsetof(SegmentLockBlock, owner) == 110);
static_assert(SHM_HEADER_SIZE + offsetof(SegmentLockBlock, dataLength) == 112);
static_assert(SHM_HEADER_SIZE + offsetof(SegmentLockBlock, registrationOffset) == 124);

inline SegmentLockBlock *shm_LockBlock(void *seg) {
  return reinterpret_cast<SegmentLockBlock *>(static_cast<uint8_t *>(seg) + SHM_HEADER_SIZE);
}
inline uint8_t *shm_Payload(void *seg) { return static_cast<uint8_t *>(seg) + SHM_PAYLOAD_OFFSET; }
// The payload length from the lock block, bounded by the room the segment has.
int32_t shm_DataLength(void *seg);

// Opens a segment the server created. NULL on failure with errno: 0 when the
// name has 32 characters or more or no such segment exists; 13 when its header
// is bad (wrong magic, or a data size beyond the mapping's real size or too
// small for the lock block).
void *shm_OpenSegment(const char *name);
// Creates a segment of SHM_HEADER_SIZE + dataSize zero bytes with its header.
// NULL on failure (errno 183 when it exists, 87 when dataSize has no room for
// the lock block).
void *shm_CreateSegment(const char *name, uint32_t dataSize);
// Creates (or returns the existing) segment with its mutex, lock block and
// waiter and registration tables, for a payload of payloadLength bytes.
void *shm_CreateSegmentWithWaiters(const char *name, uint32_t payloadLength);
// Removes a segment made by this process: unmaps it and deletes its mapping and
// mutex names (the world's creator calls this when the world ends).
int shm_DestroySegment(const char *name);

// The segment lock: recursive per process. 0 / -1.
int shm_Lock(void *seg);
int shm_Unlock(void *seg);

// Notifies waiters and fires registrations: slot 0 all, 1-10 one waiter.
// Slot above 10: errno 67, -1.
int shm_NotifyChange(void *seg, int slot);
// The same, sparing the own process.
int shm_NotifyChangeOthers(void *seg, int slot);
// Pending count of the segment + 1, under the lock.
int shm_AddPending(void *seg);

// Claims waiter slot n (1-10) for the own process and returns its former
// holder's process id; n = 0 clears every waiter slot (returns 0). -1 on error.
int64_t shm_ClaimWaiter(void *seg, int n);
// Waits on waiter slot n for a change: consumes one pending change at once,
// else sets the waiting flag and waits for the next notification (no time-out).
int shm_WaitChange(void *seg, int n);
// The same with a time-out in ms (0: none): 1 when a pending change was
// consumed, 0 after a notification or the time-out, -1 on error.
int shm_WaitChangeFor(void *seg, int n, uint32_t ms);
// Waits on slot n only when the segment's own pending count is nonzero.
int shm_WaitPending(void *seg, int n);

// Registers the own process for a one-shot code (updates its entry, else takes
// the first free one; -1 when the table is full); removes the registration.
int shm_Register(void *seg, uint16_t code);
int shm_Unregister(void *seg);

// Payload copies under the lock; errno 67 when offset + length exceeds the data length.
int shm_ReadPayload(void *seg, uint32_t offset, void *buf, uint32_t length);
int shm_WritePayload(void *seg, uint32_t offset, const void *buf, uint32_t length);

// The process-wide security attributes (null access list, not inherited).
const OsSecurityAttributes *shm_OpenSecurityAttributes(void);
// "Global\%s" of `name` followed by ".mut" (thread-local buffer).
const char *shm_MutexName(const char *name);
// The kernel name "Global\%s" of a segment name (thread-local buffer).
const char *shm_KernelName(const char *name);

// Case change in place of a counted string.
void tbl_ToUpper(char *text, size_t length);
void tbl_ToLower(char *text, size_t length);
