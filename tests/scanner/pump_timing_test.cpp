// The reply time-out against slow bytes from pumpsim: any byte restarts the
// 40 x 20 ms count, so bytes 700 ms apart keep a reply alive and 900 ms apart do not.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/status/sts_stats.h"
#include "platform/os_handle.h"
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

}  // namespace

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
  EXPECT_GE(spent, 760u);
  EXPECT_LT(spent, 900u + 2000u);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_TIMEOUTS), timeouts + 1);
}
