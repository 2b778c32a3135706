// The reply time-out: 40 idle polls of 20 ms, 800 ms of silence before the
// first byte and 780 ms after any byte. Against slow bytes from pumpsim (700 ms
// apart keep a reply alive, 900 ms do not), and against a bare pseudo-terminal
// for the edges themselves, which can only come late, never early.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "framework/status/sts_stats.h"
#include "platform/os_handle.h"
#include "platform/os_path.h"
#include "scanner/com_port.h"
#include "tests/scanner/comm_stats_world.h"
#include "tools/pumpsim/psim.h"

namespace {

// A short reply ("012" and CR) keeps a test of slow bytes brief: three gaps.
std::vector<PsimFault> SpacedStatus(uint32_t spacingMs) {
  return {PsimFault{1, "STATUS", PSIM_FAULT_ERROR, 12, 100}, PsimFault{1, "STATUS", PSIM_FAULT_SPACED, spacingMs, 100}};
}

struct Line {
  explicit Line(std::vector<PsimFault> faults, uint32_t paceBaud = 0) {
    PsimConfig c;
    c.port = "COM6";
    c.faults = std::move(faults);
    c.baud = paceBaud;
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
  Line line(SpacedStatus(700));
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
  Line line(SpacedStatus(900));
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

namespace {

// Times the thread gave up the processor: one a wait for a byte or a sleep.
long Waits() {
  struct rusage u;
  getrusage(RUSAGE_THREAD, &u);
  return u.ru_nvcsw;
}

// pumpsim at 9600 baud, the port open.
class PacedLine : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(line.sim, nullptr);
    ASSERT_TRUE(line.stats.ok) << line.stats.why;
    ASSERT_EQ(com_OpenPort(&line.record), 0);
  }
  int PrvAll() {
    pump_SendCommand(1, "RP1PRV_ALL");
    return pump_ReadReply(1, buf, static_cast<char>(PUMP_CR), PUMP_PRV_ALL_REPLY_LIMIT);
  }
  Line line{{}, 9600};
  char buf[PUMP_PRV_ALL_REPLY_LIMIT + 1] = {};
};

}  // namespace

// On a line at 9600 baud a reply comes a byte a millisecond. Once its length
// is known from the reply before, the rest of it is slept through instead of
// waited for byte by byte; it still ends when its last byte came, and the
// bytes and counts are those of the reply.
TEST_F(PacedLine, KnownReplyLengthIsSleptThroughNotWokenForByteByByte) {
  long waits[2];
  uint32_t spent[2];
  for (int i = 0; i < 2; ++i) {
    uint32_t bytes = sts_GetCommCounter(0, STS_SLOT_RX_BYTES), packets = sts_GetCommCounter(0, STS_SLOT_RX_PACKETS);
    long w0 = Waits();
    uint32_t t0 = os_GetTickCount();
    ASSERT_EQ(PrvAll(), 0);
    spent[i] = os_GetTickCount() - t0;
    waits[i] = Waits() - w0;
    size_t n = strlen(buf);
    ASSERT_GT(n, 40u);
    EXPECT_EQ(buf[n - 1], '\r');
    EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_BYTES), bytes + n);
    EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_PACKETS), packets + 1);
    // The command and the reply at about 1.04 ms a byte.
    uint32_t wireMs = static_cast<uint32_t>((strlen("RP1PRV_ALL\r") + n) * 10000 / 9600);
    EXPECT_GE(spent[i] + 1, wireMs);
    if (i == 1) {
      EXPECT_LT(spent[i], wireMs + 60);
    }
  }
  // The first reply wakes the reader for every byte (fewer on a busy machine,
  // where it comes late and finds several); the second once for its first
  // byte, once a poll period (20 ms) and for its last byte.
  EXPECT_LT(waits[1], 12) << "first reply " << waits[0] << ", " << spent[0] << " ms";
  EXPECT_EQ(psim_Commands(line.sim).size(), 2u);
}

// A reply cut short after a long one was expected: the sleep never runs past
// the time-out, which still falls 780 ms after the last byte that came.
TEST_F(PacedLine, ExpectedReplyCutShortStillTimesOutAfter780ms) {
  ASSERT_EQ(PrvAll(), 0);
  size_t whole = strlen(buf);
  psim_SetFaults(line.sim, {PsimFault{1, "PRV_ALL", PSIM_FAULT_SHORT, 0, 100}});
  uint32_t timeouts = sts_GetCommCounter(0, STS_SLOT_RX_TIMEOUTS), bytes = sts_GetCommCounter(0, STS_SLOT_RX_BYTES);
  uint32_t t0 = os_GetTickCount();
  EXPECT_EQ(PrvAll(), -2);
  uint32_t spent = os_GetTickCount() - t0;
  size_t half = strlen(buf);
  EXPECT_GT(half, 10u);
  EXPECT_LT(half, whole);
  EXPECT_NE(buf[half - 1], '\r');
  uint32_t lastByteMs = static_cast<uint32_t>((strlen("RP1PRV_ALL\r") + half) * 10000 / 9600);
  EXPECT_GE(spent, lastByteMs + 780);
  EXPECT_LT(spent, lastByteMs + 780 + 300);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_TIMEOUTS), timeouts + 1);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_BYTES), bytes + half);
}
