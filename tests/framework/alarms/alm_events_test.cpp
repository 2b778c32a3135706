// Event counts signalled to logger processes, and the derived-value notice.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/alarms/alm_alarms.h"
#include "framework/alarms/alm_private.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "tests/support/proc_stats.h"
#include "tools/scadasim/sim_world.h"

namespace {

const int32_t kSig = static_cast<int32_t>(0x80000000u);

class EventTest : public ::testing::Test {
 protected:
  // 12 analogue channels: rows of two bytes, so channels 9-12 need the second.
  void Build(size_t loggers, bool derived = true) {
    SimWorldSpec w;
    w.devices[0].channels[IO_AI] = 12;
    w.devices[0].writeConfigFiles = false;
    w.processors.push_back({"ALARM", "Alarms", "", 0, 1, 0, 0});
    if (derived) w.processors.push_back({"DERIVED", "Derived", "", 0, 1, 0, 0});
    for (size_t k = 0; k < loggers; ++k) w.loggers.push_back("L" + std::to_string(k + 1));
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    ASSERT_EQ(sim_OpenServerSlots(&why), 0) << why;
    header = shm_AreaHeader(sim_Area("A1", SHM_AREA_DATA));
  }
  void TearDown() override {
    alm_EndScanEvents();
    alm_CloseAlarmSlot();
    alm_CloseDerivedSlot();
    sim_DestroyWorld();
  }
  LoggerRecord *Logger(int k) { return reinterpret_cast<LoggerRecord *>(shm_LoggerTable()->first) + k; }
  // Everything logger k was sent: a marker posted now reaches its mailslot
  // after every earlier code, so once the marker is in, the rest is too.
  std::vector<int32_t> AllCodes(int k) {
    const int32_t marker = 7;  // no event code
    EXPECT_EQ(ntf_Post(Logger(k)->ProcessId, marker), 0);
    std::vector<int32_t> codes;
    EXPECT_TRUE(tnwtest::Until(
        [&] {
          codes = sim_LoggerCodes(k);
          return !codes.empty() && codes.back() == marker;
        },
        5000))
        << "logger " << k;
    if (!codes.empty() && codes.back() == marker) codes.pop_back();
    return codes;
  }
  // Every derived notice sent so far, behind the same kind of marker.
  std::vector<std::string> AllDerived(size_t n) {
    EXPECT_EQ(alm_WriteDerived("ZZ"), 0);
    EXPECT_TRUE(sim_WaitDerived(n + 1, 5000));
    std::vector<std::string> got = sim_TakeDerived();
    EXPECT_TRUE(!got.empty() && got.back() == "ZZ");
    if (!got.empty()) got.pop_back();
    return got;
  }
  ChannelAreaHeader *header = nullptr;
};

}  // namespace

TEST_F(EventTest, LoggersGetTheirCountsOfThePass) {
  Build(3);
  for (int k = 0; k < 3; ++k) ASSERT_EQ(sim_StartLogger(k, nullptr), 0);
  Logger(2)->Enabled = 0;
  ASSERT_TRUE(sim_Subscribe("A1", 1, 10));  // logger 1: channel 10, in the second byte of its row
  ASSERT_TRUE(sim_Subscribe("A1", 2, 3));
  ASSERT_TRUE(sim_Subscribe("A1", 3, 10));  // logger 3, disabled

  // An event that starts and ends in one pass; a significant change alone.
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  EXPECT_EQ(alm_EventOn(9), 0);
  EXPECT_EQ(alm_EventOff(9), 0);
  EXPECT_EQ(alm_SigChangeEvent(2), 0);
  EXPECT_EQ(alm_EventOn(5), 0);  // nobody's channel
  ASSERT_EQ(alm_EndScanEvents(), 0);
  // Net counts either way; an idle pass signals nobody.
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  for (int i = 0; i < 2; ++i) alm_EventOn(9);
  for (int i = 0; i < 3; ++i) alm_EventOff(9);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  alm_EventOn(2);
  alm_SigChangeEvent(2);
  alm_EventOn(2);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  // Logger 3 enabled for the last pass only: it gets that one and nothing before.
  Logger(2)->Enabled = 1;
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  alm_EventOn(9);
  ASSERT_EQ(alm_EndScanEvents(), 0);

  EXPECT_EQ(AllCodes(0), (std::vector<int32_t>{200000, 199999, 200001}));
  EXPECT_EQ(AllCodes(1), (std::vector<int32_t>{200000 | kSig, 200002 | kSig}));
  EXPECT_EQ(AllCodes(2), (std::vector<int32_t>{200001}));
}

TEST_F(EventTest, OneDerivedNoticePerPassOfTheDevicesOwnChannels) {
  Build(1);
  ASSERT_TRUE(sim_Subscribe("A1", 0, 12));  // the device's own row only
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  alm_RaiseStateAlarm(11, CST_ANALOGUE, 0, 1, 0, "PC1", "op", nullptr);
  alm_ClearStateAlarm(11, CST_ANALOGUE, "PC1", "op", nullptr);
  alm_EventOn(11);
  alm_EventOff(11);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  // Limit alarms and significant changes do not count; nor do other channels.
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  alm_RaiseLimitAlarm(11, CST_ANALOGUE, 1, "PC1", "op", nullptr);
  alm_SigChangeEvent(11);
  alm_EventOn(10);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  alm_EventOn(11);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  EXPECT_EQ(AllDerived(2), (std::vector<std::string>{"A1", "A1"}));
  EXPECT_EQ(sim_LoggerCodes(0).size(), 0u);  // logger 1 subscribed to nothing
}

TEST_F(EventTest, NoDerivedProcessorNoNotice) {
  Build(0, false);
  ASSERT_TRUE(sim_Subscribe("A1", 0, 1));
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  alm_EventOn(0);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  EXPECT_EQ(alm_OpenDerivedSlot(), nullptr);
  EXPECT_FALSE(sim_WaitDerived(1, 300));
}

TEST_F(EventTest, RowsAreBoundByTheEventArea) {
  Build(2);
  ASSERT_EQ(sim_StartLogger(0, nullptr), 0);
  ASSERT_EQ(sim_StartLogger(1, nullptr), 0);
  ASSERT_TRUE(sim_Subscribe("A1", 1, 1));
  ASSERT_TRUE(sim_Subscribe("A1", 2, 1));
  // The area says it holds the device's row and logger 1's only: logger 2's
  // row lies beyond it and is not read, whatever its bytes.
  void *events = sim_Area("A1", SHM_AREA_EVENT);
  shm_LockBlock(events)->dataLength = 2 * 2;
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  alm_EventOn(0);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  EXPECT_EQ(AllCodes(0), (std::vector<int32_t>{200001}));
  EXPECT_TRUE(AllCodes(1).empty());
}

TEST_F(EventTest, LoggersBeyondTheCountsAreNotCounted) {
  Build(ALM_MAX_LOGGERS + 1);
  ASSERT_EQ(sim_StartLogger(ALM_MAX_LOGGERS - 1, nullptr), 0);
  ASSERT_EQ(sim_StartLogger(ALM_MAX_LOGGERS, nullptr), 0);
  ASSERT_TRUE(sim_Subscribe("A1", ALM_MAX_LOGGERS, 4));
  ASSERT_TRUE(sim_Subscribe("A1", ALM_MAX_LOGGERS + 1, 4));
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  alm_EventOn(3);
  ASSERT_EQ(alm_EndScanEvents(), 0);
  EXPECT_EQ(AllCodes(ALM_MAX_LOGGERS - 1), (std::vector<int32_t>{200001}));
  EXPECT_TRUE(AllCodes(ALM_MAX_LOGGERS).empty());
}
