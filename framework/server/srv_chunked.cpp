#include "framework/server/srv_chunked.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_mailslot.h"

namespace {

std::atomic<uint32_t> g_replyWaitMs{SRV_REPLY_WAIT_MS};

enum : uint32_t { kPollMs = 10, kProbeEvery = 25 };

OsHandle OpenAckWriter(void) {
  return os_CreateFile(ntf_MailslotPath(SRV_ACK_SLOT), OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                       OS_OPEN_EXISTING, 0);
}

// Waits until the slot holds a message. Gives up when the server's
// acknowledgement slot has gone (its reader ended) or after the wait limit.
bool WaitForMessage(OsHandle slot) {
  uint32_t start = os_GetTickCount();
  for (uint32_t round = 1;; ++round) {
    uint32_t next = OS_MAILSLOT_NO_MESSAGE;
    if (os_GetMailslotInfo(slot, &next, nullptr) != 0) return false;
    if (next != OS_MAILSLOT_NO_MESSAGE) return true;
    if (os_GetTickCount() - start >= g_replyWaitMs.load()) return os_Fail(OS_ERROR_SEM_TIMEOUT), false;
    if (round % kProbeEvery == 0) {
      OsHandle probe = OpenAckWriter();
      if (!probe) return os_Fail(OS_ERROR_BROKEN_PIPE), false;
      os_CloseHandle(probe);
    }
    ntf_Wait(kPollMs);
  }
}

bool Acknowledge(OsHandle ack) {
  uint32_t written = 0;
  if (os_WriteFile(ack, " ", 1, &written) != 0) return false;
  return written == 1 || (os_Fail(OS_ERROR_WRITE_FAULT), false);
}

bool WriteMessage(OsHandle h, const void *data, uint32_t n) {
  uint32_t written = 0;
  if (os_WriteFile(h, data, n, &written) != 0) return false;
  return written == n || (os_Fail(OS_ERROR_WRITE_FAULT), false);
}

bool ReadAcknowledgement(OsHandle ack) {
  char byte[16];
  uint32_t got = 0;
  if (os_ReadFile(ack, byte, sizeof byte, &got) != 0) return false;
  return got >= 1 || (os_Fail(OS_ERROR_NO_DATA), false);
}

}  // namespace

void srv_SetReplyWaitForTests(uint32_t ms) { g_replyWaitMs.store(ms ? ms : SRV_REPLY_WAIT_MS); }

int srv_ReadMailslotReply(OsHandle replySlot, void *buffer, uint32_t capacity, uint32_t *length) {
  if (length) *length = 0;
  if (!replySlot || (!buffer && capacity)) {
    if (replySlot) os_CloseHandle(replySlot);
    return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  }
  OsHandle ack = OpenAckWriter();
  if (!ack) {
    uint32_t e = os_GetLastError();
    os_CloseHandle(replySlot);
    return os_Fail(e), 0;
  }
  std::vector<char> msg(SRV_CHUNK_MAX);
  char *out = static_cast<char *>(buffer);
  uint32_t total = 0, have = 0;
  bool first = true, ok = false;
  for (;;) {
    uint32_t got = 0;
    if (!WaitForMessage(replySlot) || os_ReadFile(replySlot, msg.data(), SRV_CHUNK_MAX, &got) != 0 ||
        !Acknowledge(ack))
      break;
    const char *data = msg.data();
    if (first) {
      if (got < 4) {
        os_Fail(OS_ERROR_INVALID_DATA);
        break;
      }
      memcpy(&total, data, 4);
      if (total > capacity) {
        os_Fail(OS_ERROR_MORE_DATA);
        break;
      }
      data += 4;
      got -= 4;
      first = false;
    }
    uint32_t take = got < total - have ? got : total - have;
    if (take) memcpy(out + have, data, take);
    have += take;
    if (have >= total) {
      ok = true;
      break;
    }
  }
  uint32_t e = os_GetLastError();
  os_CloseHandle(ack);
  os_CloseHandle(replySlot);
  if (!ok) return os_Fail(e), 0;
  if (length) *length = total;
  os_SetLastError(OS_ERROR_SUCCESS);
  return 1;
}

int srv_WriteChunked(OsHandle writeHandle, OsHandle ackHandle, const void *data, uint32_t length,
                     uint32_t *written) {
  if (written) *written = 0;
  if (!writeHandle || !ackHandle || (!data && length)) {
    if (writeHandle) os_CloseHandle(writeHandle);
    return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  }
  const char *p = static_cast<const char *>(data);
  std::vector<char> msg(SRV_CHUNK_MAX);
  uint32_t n = length < SRV_CHUNK_FIRST_DATA ? length : SRV_CHUNK_FIRST_DATA;
  memcpy(msg.data(), &length, 4);
  if (n) memcpy(msg.data() + 4, p, n);
  bool ok = WriteMessage(writeHandle, msg.data(), 4 + n) && ReadAcknowledgement(ackHandle);
  uint32_t sent = ok ? n : 0;
  while (ok && sent < length) {
    uint32_t chunk = length - sent < SRV_CHUNK_MAX ? length - sent : SRV_CHUNK_MAX;
    ok = WriteMessage(writeHandle, p + sent, chunk) && ReadAcknowledgement(ackHandle);
    if (ok) sent += chunk;
  }
  uint32_t e = os_GetLastError();
  os_CloseHandle(writeHandle);
  if (!ok) return os_Fail(e), 0;
  if (written) *written = sent;
  return 1;
}
