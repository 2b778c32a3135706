#include "scanner/com_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_serial.h"
#include "framework/status/sts_stats.h"

namespace {

OsHandle g_port;
uint32_t g_byteUs;  // one character's time on the wire at the port's settings

enum : uint32_t { kFlushChunk = 4096, kFlushLimitMs = 800 };
enum : int { kConfigBaud = 4, kConfigPort = 8, kConfigPortSize = 7, kConfigParity = 16, kConfigDataBits = 20 };

uint32_t Word(const uint8_t *config, int offset) {
  uint32_t v;
  memcpy(&v, config + offset, sizeof v);
  return v;
}

void PutWord(uint8_t *config, int offset, uint32_t v) { memcpy(config + offset, &v, sizeof v); }

int Fail(OsHandle h) {
  uint32_t e = os_GetLastError();
  if (h) os_CloseHandle(h);
  g_port = nullptr;
  g_byteUs = 0;
  errno = static_cast<int>(e);
  return -1;
}

}  // namespace

int com_OpenPort(DeviceRecord *record) {
  com_ClosePort();
  uint8_t *config = record->Config;
  char name[kConfigPortSize + 1];
  memcpy(name, config + kConfigPort, kConfigPortSize);
  name[kConfigPortSize] = '\0';
  if (name[0] == '\0') {
    // "COM%d:" must fit the field with its terminator: instances of 100 and
    // above need a port named in their configuration.
    int n = snprintf(name, sizeof name, "COM%d:", record->Instance);
    if (n < 0 || n >= kConfigPortSize) return os_SetLastError(OS_ERROR_FILENAME_EXCED_RANGE), Fail(nullptr);
    memset(config + kConfigPort, 0, kConfigPortSize);
    memcpy(config + kConfigPort, name, static_cast<size_t>(n));
    PutWord(config, kConfigBaud, 9600);
    PutWord(config, kConfigParity, 0);
    PutWord(config, kConfigDataBits, 8);
  }
  char path[16];
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  OsHandle h = os_CreateFile(path, OS_GENERIC_READ | OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING, 0);
  if (!h) return Fail(nullptr);
  OsDcb dcb;
  if (os_GetCommState(h, &dcb) != 0) return Fail(h);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = Word(config, kConfigBaud);
  // Binary, DTR and RTS on, sending goes on after XOFF; no parity checking,
  // flow control, error replacement, null stripping or abort on error.
  dcb.flags = (dcb.flags & 0xFFFF9091u) | 0x1091u;
  dcb.wReserved = 0;
  dcb.ByteSize = static_cast<uint8_t>(Word(config, kConfigDataBits) & 0xFF);
  dcb.Parity = static_cast<uint8_t>(Word(config, kConfigParity) & 0xFF);
  dcb.StopBits = OS_ONESTOPBIT;
  dcb.ErrorChar = '?';
  dcb.EofChar = '?';
  dcb.EvtChar = 0x13;
  if (os_SetCommState(h, &dcb) != 0) return Fail(h);
  // Start bit, data bits, parity bit, one stop bit.
  uint32_t bits = 2u + dcb.ByteSize + (dcb.Parity != OS_NOPARITY ? 1u : 0u);
  g_byteUs = dcb.BaudRate ? static_cast<uint32_t>(1000000ull * bits / dcb.BaudRate) : 0;
  g_port = h;
  return 0;
}

int com_ClosePort(void) {
  if (g_port) os_CloseHandle(g_port);
  g_port = nullptr;
  return 0;
}

OsHandle com_PortHandle(void) { return g_port; }

uint32_t com_ByteTimeUs(void) { return g_port ? g_byteUs : 0; }

int com_BytesWaiting(OsHandle handle) {
  uint32_t errors = 0;
  OsComStat stat;
  if (os_ClearCommError(handle, &errors, &stat) != 0) return -1;
  return static_cast<int>(stat.cbInQue);
}

int com_FlushInput(void) {
  // What waits is read in one go; a reply still arriving byte by byte is
  // given time to come in. A line that never goes quiet is given up after the
  // reply time-out: the next exchange finds what it sends after that.
  uint32_t start = os_GetTickCount(), dropped = 0;
  int n;
  while ((n = com_BytesWaiting(g_port)) > 0) {
    char bytes[kFlushChunk];
    uint32_t got = 0;
    uint32_t want = static_cast<uint32_t>(n) < sizeof bytes ? static_cast<uint32_t>(n) : sizeof bytes;
    if (os_ReadCommInput(g_port, bytes, want, 0, &got) != 0) {
      n = -1;
      break;
    }
    dropped += got;
    if (os_GetTickCount() - start >= kFlushLimitMs) break;
    if (n == 1) os_Sleep(10);
  }
  sts_AddReceiveBytes(0, dropped);
  return n;
}
