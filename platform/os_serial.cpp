#include "platform/os_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_object.h"

namespace {

struct SerialState {
  std::mutex lock;
  bool tty = false;
  bool pty = false;      // a pseudo-terminal's slave side
  bool everSet = false;  // os_SetCommState succeeded once
  // What termios cannot hold (limits, special characters, DTR/RTS modes) is
  // kept here so that a read-back returns what was set.
  OsDcb kept = {};
};

struct Speed {
  uint32_t baud;
  speed_t code;
};

const Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(uint32_t baud, speed_t *code) {
  for (const Speed &s : kSpeeds)
    if (s.baud == baud) return *code = s.code, true;
  return false;
}

uint32_t SpeedBaud(speed_t code) {
  for (const Speed &s : kSpeeds)
    if (s.code == code) return s.baud;
  return 0;
}

int ReadSerial(OsObject *o, void *buf, uint32_t n, uint32_t *got) {
  // With no time-outs set a serial read waits for every byte asked for.
  char *p = static_cast<char *>(buf);
  uint32_t done = 0;
  while (done < n) {
    ssize_t r = read(o->fd, p + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *got = done;
      return os_FailErrno(errno), -1;
    }
    if (r == 0) break;
    done += static_cast<uint32_t>(r);
  }
  *got = done;
  return 0;
}


void CloseSerial(OsObject *o) {
  close(o->fd);
  delete static_cast<SerialState *>(o->state);
}

const OsKind g_osSerialKind = {"serial", ReadSerial, os_WriteDescriptor, nullptr, nullptr, CloseSerial};

// The serial object of a handle; a handle of another kind or a port that is
// no tty fails with OS_ERROR_INVALID_FUNCTION, as for a device without the call.
SerialState *Serial(OsHandle h, OsObject **out) {
  OsObject *o = os_CheckHandle(h, nullptr);
  if (!o) return nullptr;
  if (o->kind != &g_osSerialKind || !static_cast<SerialState *>(o->state)->tty)
    return os_Fail(OS_ERROR_INVALID_FUNCTION), nullptr;
  *out = o;
  return static_cast<SerialState *>(o->state);
}

// The settings as the line holds them. A pseudo-terminal keeps neither data
// bits nor parity (it has no wire): those read back as they were set.
void ToDcb(const struct termios &t, const OsDcb &kept, bool pty, bool everSet, OsDcb *dcb) {
  *dcb = kept;
  dcb->DCBlength = sizeof(OsDcb);
  dcb->BaudRate = SpeedBaud(cfgetospeed(&t));
  if (!pty || !everSet) {
    switch (t.c_cflag & CSIZE) {
      case CS5: dcb->ByteSize = 5; break;
      case CS6: dcb->ByteSize = 6; break;
      case CS7: dcb->ByteSize = 7; break;
      default: dcb->ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
      dcb->Parity = OS_NOPARITY;
    else if (t.c_cflag & CMSPAR)
      dcb->Parity = (t.c_cflag & PARODD) ? OS_MARKPARITY : OS_SPACEPARITY;
    else
      dcb->Parity = (t.c_cflag & PARODD) ? OS_ODDPARITY : OS_EVENPARITY;
  }
  if (t.c_cflag & CSTOPB)
    dcb->StopBits = dcb->ByteSize == 5 ? OS_ONE5STOPBITS : OS_TWOSTOPBITS;
  else
    dcb->StopBits = OS_ONESTOPBIT;
  uint32_t f = kept.flags | OS_DCB_BINARY;
  f = (t.c_iflag & INPCK) ? f | OS_DCB_PARITY : f & ~OS_DCB_PARITY;
  f = (t.c_cflag & CRTSCTS) ? f | OS_DCB_OUTX_CTS_FLOW : f & ~OS_DCB_OUTX_CTS_FLOW;
  f = (t.c_iflag & IXON) ? f | OS_DCB_OUTX : f & ~OS_DCB_OUTX;
  f = (t.c_iflag & IXOFF) ? f | OS_DCB_INX : f & ~OS_DCB_INX;
  dcb->flags = f;
  dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

// Unix98 pseudo-terminal slaves: majors 136-143.
bool IsPtySlave(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// Raises or drops one modem line; lines without them (pseudo-terminals) refuse quietly.
void ModemLine(int fd, int line, bool on) {
  int bits = line;
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

}  // namespace

OsHandle os_OpenSerialPort(const char *linuxPath, uint32_t access, uint32_t share, uint32_t, uint32_t) {
  bool rd = access & OS_GENERIC_READ, wr = access & OS_GENERIC_WRITE;
  int mode = rd && wr ? O_RDWR : wr ? O_WRONLY : O_RDONLY;
  // Not blocking while opening: a line without carrier would hold the open.
  int fd = open(linuxPath, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return os_FailErrno(errno), nullptr;
  // A port opened without sharing is this handle's alone.
  if (share == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return os_Fail(OS_ERROR_ACCESS_DENIED), nullptr;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  SerialState *s = new (std::nothrow) SerialState;
  if (!s) return close(fd), os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  struct termios t;
  s->tty = tcgetattr(fd, &t) == 0;
  s->pty = s->tty && IsPtySlave(fd);
  s->kept.flags = OS_DCB_BINARY | OS_DCB_DTR_ENABLE | OS_DCB_RTS_ENABLE;
  s->kept.XonLim = 2048;
  s->kept.XoffLim = 512;
  s->kept.EofChar = 0x1A;
  OsHandle h = os_NewHandle(&g_osSerialKind, fd, s);
  if (!h) {
    close(fd);
    delete s;
    return nullptr;
  }
  os_SetLastError(OS_ERROR_SUCCESS);
  return h;
}

int os_GetCommState(OsHandle h, OsDcb *dcb) {
  OsObject *o = nullptr;
  SerialState *s = Serial(h, &o);
  if (!s) return -1;
  if (!dcb) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::lock_guard<std::mutex> g(s->lock);
  struct termios t;
  if (tcgetattr(o->fd, &t) != 0) return os_FailErrno(errno), -1;
  ToDcb(t, s->kept, s->pty, s->everSet, dcb);
  return 0;
}

int os_TermiosFromDcb(const OsDcb *dcb, struct termios *t) {
  speed_t speed;
  if (!dcb || !t) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (!SpeedCode(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > OS_SPACEPARITY ||
      dcb->StopBits > OS_TWOSTOPBITS)
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  // One and a half stop bits exist only with 5 data bits, two only with more.
  if ((dcb->StopBits == OS_ONE5STOPBITS && dcb->ByteSize != 5) || (dcb->StopBits == OS_TWOSTOPBITS && dcb->ByteSize == 5))
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  // Binary: no line editing, echo, signals or character translation.
  t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL | INPCK |
                  IGNPAR);
  t->c_oflag &= ~OPOST;
  t->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t->c_cflag |= CREAD | CLOCAL;
  static const tcflag_t kSize[4] = {CS5, CS6, CS7, CS8};
  t->c_cflag |= kSize[dcb->ByteSize - 5];
  switch (dcb->Parity) {
    case OS_ODDPARITY: t->c_cflag |= PARENB | PARODD; break;
    case OS_EVENPARITY: t->c_cflag |= PARENB; break;
    case OS_MARKPARITY: t->c_cflag |= PARENB | CMSPAR | PARODD; break;
    case OS_SPACEPARITY: t->c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (dcb->StopBits != OS_ONESTOPBIT) t->c_cflag |= CSTOPB;
  if (dcb->flags & OS_DCB_PARITY) t->c_iflag |= INPCK;
  uint32_t rts = dcb->flags & OS_DCB_RTS_CONTROL_MASK;
  if ((dcb->flags & OS_DCB_OUTX_CTS_FLOW) || rts == OS_DCB_RTS_HANDSHAKE) t->c_cflag |= CRTSCTS;
  if (dcb->flags & OS_DCB_OUTX) t->c_iflag |= IXON;
  if (dcb->flags & OS_DCB_INX) t->c_iflag |= IXOFF;
  t->c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
  t->c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
  t->c_cc[VMIN] = 1;
  t->c_cc[VTIME] = 0;
  cfsetispeed(t, speed);
  cfsetospeed(t, speed);
  return 0;
}

int os_SetCommState(OsHandle h, const OsDcb *dcb) {
  OsObject *o = nullptr;
  SerialState *s = Serial(h, &o);
  if (!s) return -1;
  std::lock_guard<std::mutex> g(s->lock);
  struct termios old, t;
  if (tcgetattr(o->fd, &old) != 0) return os_FailErrno(errno), -1;
  t = old;
  if (os_TermiosFromDcb(dcb, &t) != 0) return -1;
  if (tcsetattr(o->fd, TCSANOW, &t) != 0) return os_FailErrno(errno), -1;
  // A driver may take only part of the change: the line must run as asked. A
  // pseudo-terminal has no wire and always carries 8 bits without parity.
  const tcflag_t kFrame = s->pty ? (PARODD | CMSPAR | CSTOPB) : (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  struct termios back;
  if (tcgetattr(o->fd, &back) != 0 || cfgetospeed(&back) != cfgetospeed(&t) ||
      (back.c_cflag & kFrame) != (t.c_cflag & kFrame)) {
    tcsetattr(o->fd, TCSANOW, &old);
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  }
  s->kept = *dcb;
  s->everSet = true;
  uint32_t dtr = dcb->flags & OS_DCB_DTR_CONTROL_MASK, rts = dcb->flags & OS_DCB_RTS_CONTROL_MASK;
  ModemLine(o->fd, TIOCM_DTR, dtr != 0);
  if (rts != OS_DCB_RTS_HANDSHAKE) ModemLine(o->fd, TIOCM_RTS, rts != 0);
  return 0;
}

int os_ClearCommError(OsHandle h, uint32_t *errors, OsComStat *stat) {
  OsObject *o = nullptr;
  SerialState *s = Serial(h, &o);
  if (!s) return -1;
  int in = 0, out = 0;
  if (ioctl(o->fd, FIONREAD, &in) != 0) return os_FailErrno(errno), -1;
  if (ioctl(o->fd, TIOCOUTQ, &out) != 0) out = 0;
  if (errors) *errors = 0;
  if (stat) {
    stat->flags = 0;
    stat->cbInQue = static_cast<uint32_t>(in);
    stat->cbOutQue = static_cast<uint32_t>(out);
  }
  return 0;
}

namespace {

// Waits for input until the deadline on a serial descriptor. 1 when bytes
// wait, 0 when none came, -1 on failure. A line whose other end has gone
// stays readable for poll but brings no bytes: the time is waited out as on a
// silent line, or, with `failGone`, the queue count's failure is returned.
int WaitInput(int fd, uint64_t deadline, bool failGone) {
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, os_PollTimeout(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return os_FailErrno(errno), -1;
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
    if ((p.revents & POLLIN) && !(p.revents & (POLLHUP | POLLERR))) return 1;
    int in = 0;
    int rc = ioctl(fd, FIONREAD, &in);
    if (rc == 0 && in > 0) return 1;
    if (rc != 0 && failGone) return os_FailErrno(errno), -1;
    if (p.revents & (POLLHUP | POLLERR)) {
      int left = os_PollTimeout(deadline);
      if (left > 0) os_Sleep(static_cast<uint32_t>(left));
      return 0;
    }
  }
}

}  // namespace

int os_WaitCommInput(OsHandle h, uint32_t ms) {
  OsObject *o = nullptr;
  SerialState *s = Serial(h, &o);
  if (!s) return -1;
  return WaitInput(o->fd, os_Deadline(ms), false);
}

int os_ReadCommInput(OsHandle h, void *buffer, uint32_t size, uint32_t ms, uint32_t *got) {
  if (got) *got = 0;
  OsObject *o = nullptr;
  SerialState *s = Serial(h, &o);
  if (!s) return -1;
  if (!buffer || !got || size == 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint64_t deadline = os_Deadline(ms);
  for (;;) {
    int r = WaitInput(o->fd, deadline, true);
    if (r <= 0) return r;
    // Raw mode with VMIN 1: the read returns what waits without waiting for more.
    ssize_t n = read(o->fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_FailErrno(errno), -1;
    if (n > 0) return *got = static_cast<uint32_t>(n), 0;
  }
}

bool os_IsSupportedBaudRate(uint32_t baud) {
  speed_t code;
  return SpeedCode(baud, &code);
}
