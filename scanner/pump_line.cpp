// Commands out and replies in, byte by byte with the idle-poll time-out.
#include <cstdio>
#include <cstring>

#include "framework/status/sts_stats.h"
#include "framework/trace/dbg_trace.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_serial.h"
#include "scanner/com_port.h"

namespace {

enum : uint32_t { kIdlePolls = 40, kPollMs = 20 };

bool g_blindSleep;
ComIoObserver g_observer;

// Brackets one command or reply for the observer.
struct IoSpan {
  IoSpan() {
    if (g_observer) g_observer(true);
  }
  ~IoSpan() {
    if (g_observer) g_observer(false);
  }
};

// Waits for the next byte until `deadline` (a tick count): on the port, so a
// byte that arrives ends the wait at once; or, for comparison, a blind sleep.
void IdleWait(OsHandle port, uint32_t deadline) {
  if (g_blindSleep) {
    os_Sleep(kPollMs);
    return;
  }
  int32_t left = static_cast<int32_t>(deadline - os_GetTickCount());
  if (left <= 0) return;
  if (os_WaitCommInput(port, static_cast<uint32_t>(left)) < 0) os_Sleep(static_cast<uint32_t>(left));
}

// A reply begins with the pump's three-digit status; anything else is noise
// on the line, not a reply whose status happens to read as 0.
bool HasStatus(const char *reply) {
  for (int i = 0; i < 3; ++i)
    if (reply[i] < '0' || reply[i] > '9') return false;
  return true;
}

void Trace(const char *format, int pump, const char *text) {
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
  out[n] = static_cast<char>(PUMP_CR);
  uint32_t written = 0;
  os_WriteFile(com_PortHandle(), out, static_cast<uint32_t>(n + 1), &written);
  if (written == 0) return;
  out[n] = '\0';
  char line[300];
  snprintf(line, sizeof line, "Tx to Pump %d : %s\r\n", pump, out);
  dbg_Write(line);
  sts_AddTransmitBytes(pump, written);
  sts_AddTransmitPackets(pump, 1);
}

int pump_ReadReply(int pump, char *buffer, char terminator, int limit) {
  IoSpan span;
  OsHandle port = com_PortHandle();
  int stored = 0;
  // Each idle poll waits its 20 ms and then looks at the queue; the 40th
  // finding it empty gives up: 800 ms of silence before the first byte, 780 ms
  // after one (a byte counts as poll 1). The polls fall on a 20 ms grid from
  // the last byte, so a slow wake-up never stretches the time-out.
  uint32_t idle = 0, anchorIdle = 0, anchor = os_GetTickCount();
  while (stored < limit && (stored == 0 || buffer[stored - 1] != terminator)) {
    int waiting = com_BytesWaiting(port);
    if (waiting == 0) {
      if (idle >= kIdlePolls) {
        buffer[stored] = '\0';
        Trace("Rx timeout Pump %d\r\n", pump, "");
        sts_AddReceiveTimeouts(0, 1);
        return -2;
      }
      ++idle;
      IdleWait(port, anchor + (idle - anchorIdle) * kPollMs);
      continue;
    }
    char c = 0;
    uint32_t got = 0;
    if (waiting < 0 || os_ReadFile(port, &c, 1, &got) != 0 || got != 1) {
      com_FlushInput();
      buffer[stored] = '\0';
      if (stored > 0) {
        Trace("Rx error from %d : \r\n", pump, "");
        sts_AddReceiveCommErrors(0, 1);
      } else {
        Trace("Rx timeout Pump %d\r\n", pump, "");
        sts_AddReceiveTimeouts(0, 1);
      }
      return -1;
    }
    sts_AddReceiveBytes(0, 1);
    buffer[stored++] = c;
    idle = 1;
    anchorIdle = 1;
    anchor = os_GetTickCount();
  }
  buffer[stored] = '\0';
  if (stored > 0 && buffer[stored - 1] == terminator && !HasStatus(buffer)) {
    com_FlushInput();  // first, so the count below publishes the bytes dropped
    Trace("Rx error from %d : \r\n", pump, "");
    sts_AddReceiveCommErrors(0, 1);
    return -1;
  }
  if (stored > 0 && buffer[stored - 1] == terminator) {
    Trace("Rx from Pump %d : %s\r\n", pump, buffer);
    sts_AddReceivePackets(0, 1);
    return 0;
  }
  com_FlushInput();
  sts_AddReceiveCrcErrors(0, 1);
  return -1;
}
