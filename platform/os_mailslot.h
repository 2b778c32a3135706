// Mailslots: one-way message queues named "\\.\mailslot\X".
//
// The stand-in is a Unix datagram socket bound at ROOT/kernel/mailslot/X; one
// message is one datagram. Paths longer than the kernel's socket-path limit
// still work. Writers use os_CreateFile on the same name and os_WriteFile.
#pragma once
#include <cstdint>
#include "platform/os_handle.h"

enum : uint32_t { OS_MAILSLOT_WAIT_FOREVER = 0xFFFFFFFFu };

// Creates the read side ("\\.\mailslot\X"). maxMessage 0 means any size (a
// longer message is dropped unread); readTimeoutMs may be
// OS_MAILSLOT_WAIT_FOREVER, and a read that times out fails with
// OS_ERROR_SEM_TIMEOUT. A slot that another live process holds fails with
// OS_ERROR_ALREADY_EXISTS; a stale one left by a dead process is taken over.
// The last component of the name may have at most 85 characters
// (OS_ERROR_FILENAME_EXCED_RANGE); the slot's name goes when its handle closes.
OsHandle os_CreateMailslot(const char *name, uint32_t maxMessage, uint32_t readTimeoutMs,
                           const OsSecurityAttributes *sa);

// Bytes of the next message and the number waiting (either may be NULL).
// OS_MAILSLOT_NO_MESSAGE in *next when the slot is empty.
enum : uint32_t { OS_MAILSLOT_NO_MESSAGE = 0xFFFFFFFFu };
int os_GetMailslotInfo(OsHandle h, uint32_t *next, uint32_t *count);

// The bound of a blocked mailslot write (3000 ms unless set). For tests only.
void os_SetMailslotWriteTimeoutForTests(uint32_t ms);
