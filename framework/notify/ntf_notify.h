// The process's notification mailslot ("dm_%u.slt"), its listener thread, the
// delivery gate and the wait loop, and the posting of codes to any process.
#pragma once
#include <cstdint>

#include "platform/os_handle.h"

// The 4-byte codes posted to notification mailslots.
enum NotifyCode : int32_t {
  NTF_STOP = 31,
  NTF_DATA_CHANGED = 32,
  NTF_SCAN = 300,
  NTF_RECONFIGURE = 302,
  NTF_RESET_COUNTERS = 303,
  NTF_INITIALISE_VALUES = 304,
  NTF_OUTPUT_WRITTEN = 305,
  NTF_LOGGER_BASE = 200000,
};

enum : int { NTF_MAX_WAIT_HANDLES = 10 };

typedef int (*NtfCallback)(int32_t code);

// Starts the listener (first call) or swaps the callback (later calls, with
// delivery held during the swap). Returns the previous callback with errno 0;
// on failure NULL with errno set.
NtfCallback ntf_Start(NtfCallback callback);
// Stops the listener and closes the handles.
void ntf_Stop(void);
bool ntf_IsStarted(void);

// Waits for the next notification or a further wait handle; 0 ms = no time-out.
// Codes delivered before the call do not end it; codes held at the closed
// gate are delivered as the wait opens it, and do.
int ntf_Wait(uint32_t ms);
// For a caller that arms a wake-up (a waiter flag) before it waits: the mark
// taken while arming, then a wait that also ends for any delivery since it.
uint64_t ntf_DeliveryMark(void);
int ntf_WaitAfter(uint64_t mark, uint32_t ms);
int ntf_WaitTicks(uint32_t ticks);  // ticks of 10 ms

// 1 closes the delivery gate, 0 opens it. -1 when not started.
int ntf_HoldDelivery(int hold);
// Closes the gate without the notification lock.
void ntf_CloseGateUnlocked(void);
// Hands one code to the callback (waits for the gate).
void ntf_Deliver(int32_t code);
// Sends a code to a process; the own process is served synchronously.
int ntf_Post(uint32_t pid, int32_t code);

int ntf_AddWaitHandle(OsHandle h);
int ntf_RemoveWaitHandle(OsHandle h);
void ntf_EnableMessagePump(bool on);
int32_t ntf_LastCode(void);
void ntf_ClearLastCode(void);

// Opens "\\.\mailslot\" + name for writing; NULL on failure (errno = last error).
OsHandle ntf_OpenMailslot(const char *name);
// Writes exactly n bytes; a short write counts as failure. n or -1.
int ntf_WriteExact(OsHandle h, const void *buf, uint32_t n);
// "\\.\mailslot\" + name (thread-local buffer).
const char *ntf_MailslotPath(const char *name);
// The notification mailslot name of a process ("dm_%u.slt", or "process\%X" on Windows 9x).
const char *ntf_SlotName(uint32_t pid);
