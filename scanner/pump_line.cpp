// Commands out and replies in, with the idle-poll time-out.
#include <cstdio>
#include <cstring>

#include "framework/status/sts_stats.h"
#include "framework/trace/dbg_trace.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_serial.h"
#include "scanner/com_port.h"

namespace {

enum : uint32_t { kIdlePolls = 40, kPollMs = 20, kReadChunk = 256, kDropChunk = 4096 };
enum : uint32_t { kExpectedSlots = 1024, kExpectedProbes = 8, kCommandMax = 31 };

bool g_blindSleep;
ComIoObserver g_observer;

// The length of the last complete reply to a command: a reply still coming
// in is slept through rather than woken for byte by byte.
struct Expected {
  char command[kCommandMax + 1];
  uint32_t length;
};
Expected g_expected[kExpectedSlots];
Expected *g_sent;  // the command last sent, until its reply is read

// A command's slot, made on first use; NULL when the text is too long or the
// probes find no room (the reply is then read without a prediction).
Expected *ExpectedSlot(const char *text, size_t n) {
  if (n == 0 || n > kCommandMax) return nullptr;
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<uint8_t>(text[i])) * 16777619u;
  for (uint32_t k = 0; k < kExpectedProbes; ++k) {
    Expected &e = g_expected[(h + k) % kExpectedSlots];
    if (e.command[0] == '\0') {
      memcpy(e.command, text, n);
      e.command[n] = '\0';
      e.length = 0;
      return &e;
    }
    if (memcmp(e.command, text, n) == 0 && e.command[n] == '\0') return &e;
  }
  return nullptr;
}

// Sleeps through what is still to come of a reply, up to one byte before its
// expected end, so that byte ends the reply on time: at most one idle poll at
// a time, so a byte is read at most a poll after it came (as the polls did),
// and never past the deadline.
void SleepThroughReply(const Expected *expect, uint32_t stored, uint32_t deadline) {
  uint32_t byteUs = com_ByteTimeUs();
  if (!expect || g_blindSleep || byteUs == 0 || expect->length <= stored + 1) return;
  uint64_t ms = static_cast<uint64_t>(expect->length - stored - 1) * byteUs / 1000;
  if (ms > kPollMs) ms = kPollMs;
  int32_t left = static_cast<int32_t>(deadline - os_GetTickCount());
  if (left <= 0) return;
  if (ms > static_cast<uint64_t>(left)) ms = static_cast<uint64_t>(left);
  if (ms > 0) os_Sleep(static_cast<uint32_t>(ms));
}

// Brackets one command or reply for the observer.
struct IoSpan {
  IoSpan() {
    if (g_observer) g_observer(true);
  }
  ~IoSpan() {
    if (g_observer) g_observer(false);
  }
};

// Waits for input until `deadline` (a tick count) and reads what waits, at
// most `room` bytes: on the port, so bytes that arrive end the wait at once;
// or, for comparison, a blind sleep and a look at the queue.
int ReadWaiting(OsHandle port, uint32_t deadline, char *to, uint32_t room, uint32_t *got) {
  *got = 0;
  int32_t left = static_cast<int32_t>(deadline - os_GetTickCount());
  if (g_blindSleep) {
    os_Sleep(kPollMs);
    left = 0;
  }
  return os_ReadCommInput(port, to, room, left > 0 ? static_cast<uint32_t>(left) : 0, got);
}

// Drops the rest of a reply that outgrew its buffer: up to its carriage
// return, or until the line is quiet for a poll, but never longer than the
// reply time-out, so a line that never goes quiet cannot hold the pass.
void DropRestOfReply(OsHandle port, char terminator) {
  uint32_t start = os_GetTickCount(), dropped = 0;
  for (;;) {
    uint32_t spent = os_GetTickCount() - start;
    if (spent >= kIdlePolls * kPollMs) break;
    uint32_t wait = kIdlePolls * kPollMs - spent < kPollMs ? kIdlePolls * kPollMs - spent : kPollMs;
    char bytes[kDropChunk];
    uint32_t got = 0;
    if (os_ReadCommInput(port, bytes, sizeof bytes, wait, &got) != 0 || got == 0) break;
    dropped += got;
    if (memchr(bytes, terminator, got)) break;
  }
  sts_AddReceiveBytes(0, dropped);
}

// A reply begins with the pump's three-digit status; anything else is noise
// on the line, not a reply whose status happens to read as 0.
bool HasStatus(const char *reply) {
  for (int i = 0; i < 3; ++i)
    if (reply[i] < '0' || reply[i] > '9') return false;
  return true;
}

// Lines are only formatted while the trace is on.
void Trace(const char *format, int pump, const char *text) {
  if (!dbg_Wanted()) return;
  char line[400];
  snprintf(line, sizeof line, format, pump, text);
  dbg_Write(line);
}

}  // namespace

void com_UseBlindSleep(bool on) { g_blindSleep = on; }
void com_SetIoObserver(ComIoObserver observer) { g_observer = observer; }

void pump_SendCommand(int pump, const char *text) {
  IoSpan span;
  char out[258];
  size_t n = strnlen(text, sizeof out - 2);
  memcpy(out, text, n);
  g_sent = ExpectedSlot(text, n);
  out[n] = static_cast<char>(PUMP_CR);
  uint32_t written = 0;
  os_WriteFile(com_PortHandle(), out, static_cast<uint32_t>(n + 1), &written);
  if (written == 0) return;
  out[n] = '\0';
  Trace("Tx to Pump %d : %s\r\n", pump, out);
  sts_AddTransmitBytes(pump, written);
  sts_AddTransmitPackets(pump, 1);
}

int pump_ReadReply(int pump, char *buffer, char terminator, int limit) {
  IoSpan span;
  OsHandle port = com_PortHandle();
  Expected *expect = g_sent;
  g_sent = nullptr;
  int stored = 0;
  uint32_t received = 0;  // counted once, before the count that ends the reply
  // 800 ms of silence before the first byte, 780 ms after the last one: the
  // 40 idle polls of 20 ms, a byte counting as poll 1. Bytes that arrive
  // together are read together.
  uint32_t deadline = os_GetTickCount() + kIdlePolls * kPollMs;
  bool ended = false;
  while (stored < limit && !ended) {
    char chunk[kReadChunk];
    uint32_t room = static_cast<uint32_t>(limit - stored), got = 0;
    if (room > sizeof chunk) room = sizeof chunk;
    if (ReadWaiting(port, deadline, chunk, room, &got) != 0) {
      com_FlushInput();
      buffer[stored] = '\0';
      sts_AddReceiveBytes(0, received);
      if (stored > 0) {
        Trace("Rx error from %d : \r\n", pump, "");
        sts_AddReceiveCommErrors(0, 1);
      } else {
        Trace("Rx timeout Pump %d\r\n", pump, "");
        sts_AddReceiveTimeouts(0, 1);
      }
      return -1;
    }
    if (got == 0) {
      if (static_cast<int32_t>(deadline - os_GetTickCount()) > 0) continue;
      buffer[stored] = '\0';
      sts_AddReceiveBytes(0, received);
      Trace("Rx timeout Pump %d\r\n", pump, "");
      sts_AddReceiveTimeouts(0, 1);
      return -2;
    }
    received += got;
    // Bytes behind the terminator belong to no reply: counted, not kept.
    const char *end = static_cast<const char *>(memchr(chunk, terminator, got));
    uint32_t take = end ? static_cast<uint32_t>(end - chunk) + 1 : got;
    memcpy(buffer + stored, chunk, take);
    stored += static_cast<int>(take);
    ended = end != nullptr;
    deadline = os_GetTickCount() + (kIdlePolls - 1) * kPollMs;
    if (!ended && stored < limit) SleepThroughReply(expect, static_cast<uint32_t>(stored), deadline);
  }
  if (ended && expect) expect->length = static_cast<uint32_t>(stored);
  buffer[stored] = '\0';
  if (ended && !HasStatus(buffer)) {
    com_FlushInput();  // first, so the count below publishes the bytes dropped
    sts_AddReceiveBytes(0, received);
    Trace("Rx error from %d : \r\n", pump, "");
    sts_AddReceiveCommErrors(0, 1);
    return -1;
  }
  sts_AddReceiveBytes(0, received);
  if (ended) {
    Trace("Rx from Pump %d : %s\r\n", pump, buffer);
    sts_AddReceivePackets(0, 1);
    return 0;
  }
  // The reply outgrew its buffer: line noise. What follows of it is dropped.
  DropRestOfReply(port, terminator);
  sts_AddReceiveCrcErrors(0, 1);
  return -1;
}
