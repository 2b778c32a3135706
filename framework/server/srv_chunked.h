// Requests and replies larger than one mailslot message, on the Windows 9x
// request path: the first message carries a u32 total length and up to 4089
// bytes, every further one up to 4093 bytes, and the receiver acknowledges
// each message with one blank on the acknowledgement mailslot.
#pragma once
#include <cstdint>

#include "platform/os_handle.h"

enum : uint32_t {
  SRV_CHUNK_MAX = 4093,                    // bytes of one message
  SRV_CHUNK_FIRST_DATA = SRV_CHUNK_MAX - 4,  // data bytes of the first one
  SRV_REPLY_WAIT_MS = 15000,               // silence after which a reply is given up
};

// Mailslot names (under "\\.\mailslot\"): the server's requests and the
// acknowledgements it reads.
#define SRV_REQUEST_SLOT "qkestrur"
#define SRV_ACK_SLOT "qkestrua"

// Reads one chunked reply from `replySlot` into buffer (capacity bytes),
// acknowledging every message on SRV_ACK_SLOT. 1 with *length set; 0 on
// failure: OS_ERROR_MORE_DATA when the announced total exceeds the capacity,
// OS_ERROR_INVALID_DATA for a first message without a length,
// OS_ERROR_BROKEN_PIPE when the server's acknowledgement slot has gone,
// OS_ERROR_SEM_TIMEOUT after SRV_REPLY_WAIT_MS without a message, or the error
// of a failed read or acknowledgement. Bytes beyond the total are ignored.
// replySlot is closed in every case.
int srv_ReadMailslotReply(OsHandle replySlot, void *buffer, uint32_t capacity, uint32_t *length);

// Sends `length` bytes in chunks on `writeHandle`, reading one acknowledgement
// byte from `ackHandle` (a mailslot with a read time-out) after each message.
// 1 with *written = length; 0 on a short write or a missing acknowledgement.
// writeHandle is closed in every case.
int srv_WriteChunked(OsHandle writeHandle, OsHandle ackHandle, const void *data, uint32_t length,
                     uint32_t *written);

// The silence after which srv_ReadMailslotReply gives up (SRV_REPLY_WAIT_MS
// unless set; 0 restores it). For tests.
void srv_SetReplyWaitForTests(uint32_t ms);
