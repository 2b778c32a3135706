// Serial ports: "\\.\COMn:" opens ROOT/dev/COMn, a link to a real tty or to
// a pseudo-terminal, through os_CreateFile.
//
// The device control block maps onto termios: baud rate, data bits 5-8, parity
// none/odd/even/mark/space, one or two stop bits, XON/XOFF and CTS flow
// control; the line is always binary (raw). Reads block until the bytes asked
// for have arrived, so callers test the input queue first.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/os_handle.h"

struct termios;

// The 28-byte device control block.
struct OsDcb {
  uint32_t DCBlength;  // 0
  uint32_t BaudRate;   // 4
  uint32_t flags;      // 8: OS_DCB_* bits
  uint16_t wReserved;  // 12
  uint16_t XonLim;     // 14
  uint16_t XoffLim;    // 16
  uint8_t ByteSize;    // 18
  uint8_t Parity;      // 19: OS_*PARITY
  uint8_t StopBits;    // 20: OS_ONESTOPBIT ...
  char XonChar;        // 21
  char XoffChar;       // 22
  char ErrorChar;      // 23
  char EofChar;        // 24
  char EvtChar;        // 25
  uint16_t wReserved1; // 26
};
static_assert(sizeof(OsDcb) == 28);
static_assert(offsetof(OsDcb, flags) == 8);
static_assert(offsetof(OsDcb, XonLim) == 14);
static_assert(offsetof(OsDcb, ByteSize) == 18);
static_assert(offsetof(OsDcb, StopBits) == 20);
static_assert(offsetof(OsDcb, EvtChar) == 25);

enum : uint32_t {
  OS_DCB_BINARY = 0x0001,
  OS_DCB_PARITY = 0x0002,            // parity checking
  OS_DCB_OUTX_CTS_FLOW = 0x0004,
  OS_DCB_OUTX_DSR_FLOW = 0x0008,
  OS_DCB_DTR_CONTROL_MASK = 0x0030,  // 0 disable, 0x10 enable, 0x20 handshake
  OS_DCB_DTR_ENABLE = 0x0010,
  OS_DCB_DSR_SENSITIVITY = 0x0040,
  OS_DCB_TX_CONTINUE_ON_XOFF = 0x0080,
  OS_DCB_OUTX = 0x0100,              // XON/XOFF on output
  OS_DCB_INX = 0x0200,               // XON/XOFF on input
  OS_DCB_ERROR_CHAR = 0x0400,
  OS_DCB_NULL = 0x0800,
  OS_DCB_RTS_CONTROL_MASK = 0x3000,  // 0 disable, 0x1000 enable, 0x2000 handshake, 0x3000 toggle
  OS_DCB_RTS_ENABLE = 0x1000,
  OS_DCB_RTS_HANDSHAKE = 0x2000,
  OS_DCB_ABORT_ON_ERROR = 0x4000,

  OS_NOPARITY = 0,
  OS_ODDPARITY = 1,
  OS_EVENPARITY = 2,
  OS_MARKPARITY = 3,
  OS_SPACEPARITY = 4,

  OS_ONESTOPBIT = 0,
  OS_ONE5STOPBITS = 1,
  OS_TWOSTOPBITS = 2,
};

struct OsComStat {
  uint32_t flags;
  uint32_t cbInQue;   // bytes waiting to be read
  uint32_t cbOutQue;  // bytes not yet sent
};

// The port's settings. A handle that is no serial line: OS_ERROR_INVALID_FUNCTION.
int os_GetCommState(OsHandle h, OsDcb *dcb);
// Applies the settings. A baud rate the line cannot run, data bits outside
// 5-8, an unknown parity or stop-bit code: OS_ERROR_INVALID_PARAMETER and
// nothing changes. DTR and RTS are raised or dropped where the line has them.
int os_SetCommState(OsHandle h, const OsDcb *dcb);
// The queue counts (stat may be NULL); *errors (may be NULL) is always 0 here.
int os_ClearCommError(OsHandle h, uint32_t *errors, OsComStat *stat);
// Waits at most ms for input: 1 when bytes wait, 0 when the time passed
// without any (also on a line whose other end has gone), -1 on failure.
int os_WaitCommInput(OsHandle h, uint32_t ms);
// Waits at most ms for input, then reads what waits, at most `size` bytes, in
// one read: 0 with *got > 0; 0 with *got 0 when the time passed without any
// (also on a line whose other end has gone); -1 on failure.
int os_ReadCommInput(OsHandle h, void *buffer, uint32_t size, uint32_t ms, uint32_t *got);
// True when the baud rate is one the lines here can be set to.
bool os_IsSupportedBaudRate(uint32_t baud);

// The termios form of a control block, changing *t (the line's current
// settings) in place. 0, or -1 (OS_ERROR_INVALID_PARAMETER). Exposed for tests:
// a pseudo-terminal always carries 8 bits without parity whatever it is told.
int os_TermiosFromDcb(const OsDcb *dcb, struct termios *t);
