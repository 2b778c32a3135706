// The reply time-out: 40 idle polls of 20 ms, 800 ms of silence before the
// first byte and 780 ms after any byte. Against slow bytes from pumpsim (700 ms
// apart keep a reply alive, 900 ms do not), and against a bare pseudo-terminal
// for the edges themselves, which can only come late, never early.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/status/sts_stats.h"
#include "platform/os_handle.h"
#include "platform/os_path.h"
#include "scanner/com_port.h"
#include "tests/scanner/comm_stats_world.h"
#include "tools/pumpsim/psim.h"

namespace {

struct Line {
  explicit Line(uint32_t spacingMs) {
    PsimConfig c;
    c.port = "COM6";
    // A short reply ("012" and CR) keeps the test brief: three gaps.
    c.faults = {PsimFault{1, "STATUS", PSIM_FAULT_ERROR, 12, 100}, PsimFault{1, "STATUS", PSIM_FAULT_SPACED, spacingMs, 100}};
    std::string why;
    sim = psim_Start(c, &why);
    EXPECT_NE(sim, nullptr) << why;
    record.Instance = 6;
    memcpy(record.Config + 8, "COM6:", 5);
    uint32_t baud = 9600, bits = 8;
    memcpy(record.Config + 4, &baud, 4);
    memcpy(record.Config + 20, &bits, 4);
  }
  ~Line() {
    com_ClosePort();
    psim_Stop(sim);
  }
  CommStatsWorld stats;
  PumpSim *sim = nullptr;
  DeviceRecord record = {};
};

// A line whose far end is the test itself: bytes go out exactly when written.
struct BareLine {
  BareLine() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    char name[128] = {};
    ptsname_r(master, name, sizeof name);
    int slave = open(name, O_RDWR | O_NOCTTY);  // held open so the line never hangs up
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    keep = slave;
    link = std::string(os_Root()) + "/dev/COM7";
    std::filesystem::create_directories(std::string(os_Root()) + "/dev");
    std::filesystem::remove(link);
    std::filesystem::create_symlink(name, link);
    record.Instance = 7;
    memcpy(record.Config + 8, "COM7:", 5);
    uint32_t baud = 9600, bits = 8;
    memcpy(record.Config + 4, &baud, 4);
    memcpy(record.Config + 20, &bits, 4);
  }
  ~BareLine() {
    com_ClosePort();
    std::filesystem::remove(link);
    close(keep);
    close(master);
  }
  void Send(const char *bytes) { EXPECT_EQ(write(master, bytes, strlen(bytes)), static_cast<ssize_t>(strlen(bytes))); }
  int master = -1, keep = -1;
  std::string link;
  DeviceRecord record = {};
};

}  // namespace

TEST(PumpTimingTest, SilenceGivesUpAfter800msAndAfterAByteAfter780ms) {
  BareLine line;
  ASSERT_EQ(com_OpenPort(&line.record), 0);
  char buf[32];
  struct Case {
    const char *first;  // already waiting when the read starts
    uint32_t edge;
  } cases[] = {{"", 800}, {"0", 780}, {"01", 780}};
  for (const Case &c : cases) {
    line.Send(c.first);
    uint32_t t0 = os_GetTickCount();
    EXPECT_EQ(pump_ReadReply(1, buf, static_cast<char>(PUMP_CR), PUMP_SINGLE_REPLY_LIMIT), -2) << c.first;
    uint32_t spent = os_GetTickCount() - t0;
    EXPECT_STREQ(buf, c.first);
    EXPECT_GE(spent, c.edge) << c.first;
    EXPECT_LT(spent, c.edge + 600) << c.first;
  }
}

TEST(PumpTimingTest, BytesSevenHundredMsApartKeepAReplyAlive) {
  Line line(700);
  ASSERT_NE(line.sim, nullptr);
  ASSERT_EQ(com_OpenPort(&line.record), 0);
  char buf[32];
  uint32_t t0 = os_GetTickCount();
  pump_SendCommand(1, "RP1STATUS");
  ASSERT_EQ(pump_ReadReply(1, buf, static_cast<char>(PUMP_CR), PUMP_SINGLE_REPLY_LIMIT), 0);
  EXPECT_STREQ(buf, "012\r");
  EXPECT_GE(os_GetTickCount() - t0, 2000u);
}

TEST(PumpTimingTest, BytesNineHundredMsApartTimeOut) {
  Line line(900);
  ASSERT_NE(line.sim, nullptr);
  ASSERT_TRUE(line.stats.ok) << line.stats.why;
  ASSERT_EQ(com_OpenPort(&line.record), 0);
  uint32_t timeouts = sts_GetCommCounter(0, STS_SLOT_RX_TIMEOUTS);
  char buf[32];
  uint32_t t0 = os_GetTickCount();
  pump_SendCommand(1, "RP1STATUS");
  EXPECT_EQ(pump_ReadReply(1, buf, static_cast<char>(PUMP_CR), PUMP_SINGLE_REPLY_LIMIT), -2);
  uint32_t spent = os_GetTickCount() - t0;
  EXPECT_STREQ(buf, "0");  // the first byte came, the second too late
  EXPECT_GE(spent, 780u);
  EXPECT_LT(spent, 900u + 2000u);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_TIMEOUTS), timeouts + 1);
}
