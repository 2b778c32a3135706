// Serial ports on a real pseudo-terminal linked as ROOT/dev/COMn.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "platform/os_serial.h"
#include "tests/support/test_root.h"

namespace {

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    slavePath = ptsname(master);
    // Our own view of the line, to read back what the port applied.
    view = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(view, 0);
    std::filesystem::create_directories(tnwtest::Root() + "/dev");
    link = tnwtest::Root() + "/dev/COM7";
    std::filesystem::remove(link);
    std::filesystem::create_symlink(slavePath, link);
  }
  void TearDown() override {
    if (port) os_CloseHandle(port);
    std::filesystem::remove(link);
    if (view >= 0) close(view);
    if (master >= 0) close(master);
  }
  OsHandle Open(const char *name = "\\\\.\\COM7:", uint32_t share = 0) {
    return os_CreateFile(name, OS_GENERIC_READ | OS_GENERIC_WRITE, share, OS_OPEN_EXISTING, 0);
  }
  struct termios Applied() {
    struct termios t;
    EXPECT_EQ(tcgetattr(view, &t), 0);
    return t;
  }
  int master = -1, view = -1;
  std::string slavePath, link;
  OsHandle port = nullptr;
};

uint32_t BaudOf(const struct termios &t) {
  switch (cfgetospeed(&t)) {
    case B300: return 300;
    case B1200: return 1200;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B115200: return 115200;
    default: return 0;
  }
}

}  // namespace

TEST_F(SerialTest, ControlBlockMapsOntoTermios) {
  port = Open();
  ASSERT_NE(port, nullptr) << os_GetLastError();
  struct Case {
    uint32_t baud;
    uint8_t bits, parity, stop;
    tcflag_t size, parityFlags;
  } cases[] = {
      // Every rate the device dialog offers, each parity, each size.
      {300, 8, OS_NOPARITY, OS_ONESTOPBIT, CS8, 0},
      {1200, 7, OS_EVENPARITY, OS_ONESTOPBIT, CS7, PARENB},
      {9600, 8, OS_NOPARITY, OS_ONESTOPBIT, CS8, 0},
      {19200, 7, OS_ODDPARITY, OS_ONESTOPBIT, CS7, PARENB | PARODD},
      {38400, 6, OS_MARKPARITY, OS_ONESTOPBIT, CS6, PARENB | PARODD | CMSPAR},
      {9600, 5, OS_SPACEPARITY, OS_ONESTOPBIT, CS5, PARENB | CMSPAR},
      {115200, 8, OS_NOPARITY, OS_TWOSTOPBITS, CS8, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.baud);
    OsDcb dcb;
    ASSERT_EQ(os_GetCommState(port, &dcb), 0);
    // Flow control and character handling switched on before: all must go.
    dcb.flags |= OS_DCB_OUTX | OS_DCB_INX | OS_DCB_OUTX_CTS_FLOW;
    ASSERT_EQ(os_SetCommState(port, &dcb), 0);
    dcb.BaudRate = c.baud;
    dcb.ByteSize = c.bits;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    dcb.flags = (dcb.flags & 0xFFFF9091u) | 0x1091u;
    // The mapping itself: a real line takes every bit of it.
    struct termios mapped = Applied();
    ASSERT_EQ(os_TermiosFromDcb(&dcb, &mapped), 0);
    EXPECT_EQ(mapped.c_cflag & CSIZE, c.size);
    EXPECT_EQ(mapped.c_cflag & (PARENB | PARODD | CMSPAR), c.parityFlags);
    EXPECT_EQ(cfgetospeed(&mapped), cfgetispeed(&mapped));

    ASSERT_EQ(os_SetCommState(port, &dcb), 0) << os_GetLastError();
    struct termios t = Applied();
    EXPECT_EQ(BaudOf(t), c.baud);
    EXPECT_EQ(cfgetispeed(&t), cfgetospeed(&t));
    // A pseudo-terminal forces 8 bits and no parity bit, and keeps the rest.
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parityFlags & (PARODD | CMSPAR));
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stop == OS_TWOSTOPBITS);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    OsDcb back;
    ASSERT_EQ(os_GetCommState(port, &back), 0);
    EXPECT_EQ(back.DCBlength, 28u);
    EXPECT_EQ(back.BaudRate, c.baud);
    EXPECT_EQ(back.ByteSize, c.bits);
    EXPECT_EQ(back.Parity, c.parity);
    EXPECT_EQ(back.StopBits, c.stop);
    EXPECT_EQ(back.flags, dcb.flags);
  }
}

TEST_F(SerialTest, RefusedSettingsChangeNothing) {
  port = Open();
  ASSERT_NE(port, nullptr);
  OsDcb good;
  ASSERT_EQ(os_GetCommState(port, &good), 0);
  good.BaudRate = 9600;
  good.ByteSize = 8;
  good.Parity = OS_NOPARITY;
  good.StopBits = OS_ONESTOPBIT;
  ASSERT_EQ(os_SetCommState(port, &good), 0);
  struct termios before = Applied();
  struct Bad {
    uint32_t baud;
    uint8_t bits, parity, stop;
  } bad[] = {{14400, 8, 0, 0}, {0, 8, 0, 0}, {9600, 4, 0, 0}, {9600, 9, 0, 0},
             {9600, 8, 5, 0},  {9600, 8, 0, 3}, {9600, 8, 0, OS_ONE5STOPBITS}, {9600, 5, 0, OS_TWOSTOPBITS}};
  for (const Bad &b : bad) {
    OsDcb d = good;
    d.BaudRate = b.baud;
    d.ByteSize = b.bits;
    d.Parity = b.parity;
    d.StopBits = b.stop;
    EXPECT_EQ(os_SetCommState(port, &d), -1) << b.baud << " " << int(b.bits);
    EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
    struct termios after = Applied();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
  }
  EXPECT_TRUE(os_IsSupportedBaudRate(38400));
  EXPECT_FALSE(os_IsSupportedBaudRate(14400));
}

TEST_F(SerialTest, InputQueueCountAndWait) {
  port = Open();
  ASSERT_NE(port, nullptr);
  OsDcb dcb;
  ASSERT_EQ(os_GetCommState(port, &dcb), 0);
  dcb.BaudRate = 9600;
  ASSERT_EQ(os_SetCommState(port, &dcb), 0);
  OsComStat st;
  uint32_t errors = 7;
  ASSERT_EQ(os_ClearCommError(port, &errors, &st), 0);
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(st.cbInQue, 0u);
  // A silent line: the wait lasts its time and reports nothing.
  uint32_t t0 = os_GetTickCount();
  EXPECT_EQ(os_WaitCommInput(port, 60), 0);
  EXPECT_GE(os_GetTickCount() - t0, 55u);

  ASSERT_EQ(write(master, "000,1\r\n", 7), 7);
  EXPECT_EQ(os_WaitCommInput(port, 5000), 1);
  // The pty may hand the bytes over in pieces: the count grows to all of them.
  uint32_t start = os_GetTickCount();
  do ASSERT_EQ(os_ClearCommError(port, nullptr, &st), 0);
  while (st.cbInQue < 7 && os_GetTickCount() - start < 5000);
  EXPECT_EQ(st.cbInQue, 7u);
  char buf[8] = {};
  uint32_t got = 0;
  ASSERT_EQ(os_ReadFile(port, buf, 7, &got), 0);
  EXPECT_EQ(got, 7u);
  EXPECT_EQ(std::string(buf, 7), "000,1\r\n");  // binary: no CR or LF translation
  ASSERT_EQ(os_ClearCommError(port, nullptr, &st), 0);
  EXPECT_EQ(st.cbInQue, 0u);

  uint32_t written = 0;
  ASSERT_EQ(os_WriteFile(port, "RP1STATUS\r", 10, &written), 0);
  EXPECT_EQ(written, 10u);
  char in[16] = {};
  struct pollfd p = {master, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  ssize_t n = read(master, in, sizeof in);
  EXPECT_EQ(std::string(in, n > 0 ? static_cast<size_t>(n) : 0), "RP1STATUS\r");  // no echo, no NL added

  // The other end gone: no input, and the wait still takes its time.
  close(master);
  master = -1;
  t0 = os_GetTickCount();
  EXPECT_EQ(os_WaitCommInput(port, 60), 0);
  EXPECT_GE(os_GetTickCount() - t0, 55u);
}

TEST_F(SerialTest, OpeningRules) {
  port = Open();
  ASSERT_NE(port, nullptr);
  // Without sharing the port is taken.
  EXPECT_EQ(Open(), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  os_CloseHandle(port);
  port = Open("\\\\.\\com7");  // names ignore case, the colon is optional
  ASSERT_NE(port, nullptr);

  EXPECT_EQ(Open("\\\\.\\COM9:"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);

  // A link to something that is no line: the port calls refuse.
  std::string plain = tnwtest::Root() + "/dev/COM8";
  ASSERT_TRUE(tnwtest::WriteFile(plain, "x"));
  OsHandle file = Open("\\\\.\\COM8:");
  ASSERT_NE(file, nullptr);
  OsDcb dcb;
  EXPECT_EQ(os_GetCommState(file, &dcb), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_FUNCTION);
  EXPECT_EQ(os_ClearCommError(file, nullptr, nullptr), -1);
  os_CloseHandle(file);
  // Another kind of handle is no line either.
  OsHandle ev = os_CreateEvent(true, false);
  EXPECT_EQ(os_GetCommState(ev, &dcb), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_FUNCTION);
  os_CloseHandle(ev);
}
