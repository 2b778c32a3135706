// The scan cycle's evaluation, fed by a read handler that hands out given
// readings: published words and values, alarm messages and logger codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "tests/scanner/scan_fixture.h"

using scantest::ChannelSpec;
using scantest::ScanWorld;

namespace {

// The reading the handler gives each channel of its type.
struct Reading {
  float value = 0;
  uint32_t bit = 0;
  bool bad = false;
};
Reading g_reading;
int g_result = 0;
uint32_t g_delayMs = 0;  // what the handler's line traffic takes

int Feed(uint8_t *, int count, ChannelRecord *, uint32_t *status, float *values) {
  if (g_delayMs) os_Sleep(g_delayMs);
  for (int i = 0; i < count; ++i) {
    status[i] = g_reading.bad ? status[i] | CST_BAD : status[i] & ~CST_BAD;
    if (values) values[i] = g_reading.value;
    else status[i] = (status[i] & ~CST_VALUE) | g_reading.bit;
  }
  return g_result;
}

class FedHandlers {
 public:
  FedHandlers() {
    for (int t : {IO_AI, IO_DI}) {
      saved_[t] = ReadHandlerTable[t];
      ReadHandlerTable[t] = Feed;
    }
    g_result = 0;
    g_delayMs = 0;
    g_reading = Reading{};
  }
  ~FedHandlers() {
    for (int t : {IO_AI, IO_DI}) ReadHandlerTable[t] = saved_[t];
  }

 private:
  PumpReadHandler saved_[IO_TYPE_COUNT] = {};
};

// What went to "xalarms" up to now: a marker written after the pass comes
// behind everything the pass sent.
std::vector<AlarmMessage> Sent() {
  AlarmMessage marker{};
  memcpy(marker.code, "ZZ", 2);
  OsHandle h = ntf_OpenMailslot("xalarms");
  EXPECT_NE(h, nullptr);
  EXPECT_EQ(ntf_WriteExact(h, &marker, sizeof marker), static_cast<int>(sizeof marker));
  os_CloseHandle(h);
  std::vector<AlarmMessage> all;
  uint32_t start = os_GetTickCount();
  while (os_GetTickCount() - start < 5000) {
    for (const AlarmMessage &m : sim_TakeAlarms()) {
      if (memcmp(m.code, "ZZ", 2) == 0) return all;
      all.push_back(m);
    }
    os_Sleep(2);
  }
  ADD_FAILURE() << "the marker never came";
  return all;
}

struct Expected {
  uint32_t kind, priority;
  uint16_t delay;
  bool bad, value;
};

struct Step {
  float value;
  bool force;
  uint32_t set, clear;
  std::vector<Expected> messages;
  float published = std::numeric_limits<float>::quiet_NaN();  // NaN: not checked
};

struct Case {
  const char *what;
  std::function<void(ChannelRecord *)> shape;
  std::vector<Step> steps;
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const uint32_t kAtOnce = CST_ALARM_ANNOUNCED | CST_RAISED_AT_ONCE;

void On(ChannelRecord *r, std::initializer_list<int> bits) {
  for (int b : bits) chan_SetFlagBit(r, b, true);
}

void RunCase(const Case &c, bool digital) {
  SCOPED_TRACE(c.what);
  FedHandlers fed;
  ScanWorld w;
  ChannelSpec spec{1, 1, c.shape};
  ASSERT_TRUE(digital ? w.Build({}, {spec}) : w.Build({spec}, {}));
  if (!digital) g_scan.type[IO_AI].zeroOffsets[0] = 3;  // for channels that take a reference
  scan_MarkAllBad(0);
  const char *code = digital ? "D1" : "A1";
  for (size_t k = 0; k < c.steps.size(); ++k) {
    const Step &s = c.steps[k];
    SCOPED_TRACE("step " + std::to_string(k + 1));
    g_reading = Reading{};
    if (digital) g_reading.bit = s.value != 0 ? 1 : 0;
    else g_reading.value = s.value;
    ASSERT_EQ(scan_ScanDevice(s.force), 0);
    uint32_t word = ScanWorld::Words(code)[0];
    EXPECT_EQ(word & s.set, s.set) << std::hex << word;
    EXPECT_EQ(word & s.clear, 0u) << std::hex << word;
    if (!std::isnan(s.published)) {
      EXPECT_FLOAT_EQ(ScanWorld::Values(code)[0], s.published);
    }
    std::vector<AlarmMessage> got = Sent();
    ASSERT_EQ(got.size(), s.messages.size());
    for (size_t m = 0; m < got.size(); ++m) {
      const Expected &e = s.messages[m];
      EXPECT_EQ(got[m].flags & ALM_KIND_MASK, e.kind) << m;
      EXPECT_EQ((got[m].flags >> ALM_PRIORITY_SHIFT) & 0xFF, e.priority) << m;
      EXPECT_EQ(got[m].delay, e.delay) << m;
      EXPECT_EQ((got[m].channel & ALM_CHANNEL_BAD) != 0, e.bad) << m;
      EXPECT_EQ(got[m].value != ALM_NO_VALUE, e.value) << m;
      EXPECT_EQ(got[m].channel & 0x7FFF, 1) << m;
    }
  }
}

}  // namespace

TEST(ScanCycle, AnalogueEvaluation) {
  const Case cases[] = {
      {"NaN with the error alarm",
       [](ChannelRecord *r) {
         On(r, {CHAN_AF_ERROR_ALARM_ENABLE});
         r->a.ErrorAlarmPriority = 9, r->a.ErrorAlarmDelay = 4;
       },
       {{1, false, 0, CST_BAD | CST_ALARM, {}},
        {kNaN, false, CST_BAD | CST_ALARM, CST_ALARM_HIGH | kAtOnce, {{0, 9, 4, true, false}}},
        {kNaN, false, CST_BAD | CST_ALARM, 0, {}},
        {2, false, 0, CST_BAD | CST_ALARM, {{1, 0, 0, true, true}}}}},
      {"exactly at the high limit",
       [](ChannelRecord *r) {
         On(r, {CHAN_AF_HIGH_ALARM_ENABLE});
         r->a.HighAlarmLimit = 100, r->a.HighAlarmPriority = 3;
       },
       {{99.9f, false, 0, CST_ALARM, {}}, {100, false, CST_ALARM | CST_ALARM_HIGH | kAtOnce, 0, {{0, 3, 0, false, true}}}}},
      {"exactly at the low limit",
       [](ChannelRecord *r) {
         On(r, {CHAN_AF_LOW_ALARM_ENABLE});
         r->a.LowAlarmLimit = 10, r->a.LowAlarmPriority = 2, r->a.LowAlarmDelay = 5;
       },
       {{10.1f, false, 0, CST_ALARM, {}}, {10, false, CST_ALARM, CST_ALARM_HIGH | kAtOnce, {{0, 2, 5, false, true}}}}},
      {"deadband level 95 under limit 100",
       [](ChannelRecord *r) {
         On(r, {CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE});
         r->a.HighAlarmLimit = 100, r->a.HighAlarmDeadband = 95, r->a.HighAlarmPriority = 3;
       },
       {{101, false, CST_ALARM | CST_ALARM_HIGH, 0, {{0, 3, 0, false, true}}},
        {96, false, CST_ALARM | CST_ALARM_HIGH, 0, {}},
        {95, false, CST_ALARM | CST_ALARM_HIGH, 0, {}},
        {94.9f, false, 0, CST_ALARM | CST_ALARM_ANNOUNCED, {{1, 0, 0, false, true}}}}},
      {"disabled",
       [](ChannelRecord *r) {
         chan_SetFlagBit(r, CHAN_AF_ENABLE, false);
         On(r, {CHAN_AF_ERROR_ALARM_ENABLE, CHAN_AF_HIGH_ALARM_ENABLE});
         r->a.HighAlarmLimit = 1;
       },
       {{5, false, CST_BAD, CST_ALARM, {}}, {5, true, CST_BAD | CST_ANALOGUE, CST_ALARM, {}}, {5, false, CST_BAD, 0, {}}}},
      {"warning with its deadband, resent when forced",
       [](ChannelRecord *r) {
         On(r, {CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE});
         r->a.HighAlarmLimit = 100, r->a.HighAlarmDeadband = 95, r->a.HighWarningLimit = 80, r->a.HighAlarmPriority = 3;
       },
       {{85, false, CST_WARNING | CST_WARNING_HIGH, CST_ALARM, {{4, 3, 0, false, true}}},
        {76, false, CST_WARNING | CST_WARNING_HIGH, 0, {}},
        {76, true, CST_WARNING | CST_WARNING_HIGH, 0, {{5, 0, 0, false, true}, {4, 3, 0, false, true}}},
        {74, false, 0, CST_WARNING, {{5, 0, 0, false, true}}}}},
      {"scaled and referenced",
       [](ChannelRecord *r) {
         On(r, {CHAN_AF_SCALING_ENABLE, CHAN_AF_REFERENCE_ENABLE});
         r->a.Gain = 2, r->a.Offset = 1;
       },
       {{10, false, 0, CST_BAD, {}, 18}}},
      {"a gain that makes no number",  // a corrupt channel file: bad, never an infinity shown as good
       [](ChannelRecord *r) {
         On(r, {CHAN_AF_SCALING_ENABLE, CHAN_AF_ERROR_ALARM_ENABLE});
         r->a.Gain = std::numeric_limits<float>::infinity(), r->a.ErrorAlarmPriority = 9;
       },
       {{10, true, CST_BAD | CST_ALARM | kAtOnce, CST_ALARM_HIGH, {{0, 9, 0, true, false}}},
        {-10, false, CST_BAD, 0, {}}}},
      {"events and the change deadband",
       [](ChannelRecord *r) {
         On(r, {CHAN_AF_EVENT_ENABLE, CHAN_AF_SIG_CHANGE_ENABLE});
         r->a.HighEventLimit = 50, r->a.LowEventLimit = 10, r->a.SigChangeValue = 5;
       },
       {{60, false, CST_EVENT | CST_EVENT_HIGH, CST_VALUE, {}},
        {57, false, CST_EVENT, CST_VALUE, {}},
        {30, false, CST_VALUE, CST_EVENT, {}},
        {5, false, CST_EVENT | CST_VALUE, CST_EVENT_HIGH, {}}}},
  };
  for (const Case &c : cases) RunCase(c, false);
}

TEST(ScanCycle, DigitalEvaluation) {
  const Case cases[] = {
      {"alarm state high with a delay",
       [](ChannelRecord *r) {
         On(r, {CHAN_DF_ALARM_ENABLE, CHAN_DF_ALARM_STATE, CHAN_DF_ERROR_ALARM_ENABLE});
         r->d.AlarmPriority = 4, r->d.AlarmDelay = 2, r->d.ErrorAlarmPriority = 8;
       },
       {{0, false, 0, CST_ALARM | CST_VALUE | CST_EVENT, {}},
        {1, false, CST_ALARM | CST_ALARM_HIGH | CST_VALUE, kAtOnce | CST_ANALOGUE | CST_EVENT, {{0, 4, 2, false, false}}},
        {1, false, CST_ALARM, 0, {}},
        {0, false, 0, CST_ALARM | CST_VALUE, {{1, 0, 0, false, false}}}}},
  };
  for (const Case &c : cases) RunCase(c, true);
}

TEST(ScanCycle, ABadReadingRaisesTheDigitalErrorAlarm) {
  FedHandlers fed;
  ScanWorld w;
  ASSERT_TRUE(w.Build({}, {ChannelSpec{1, 1, [](ChannelRecord *r) {
                             On(r, {CHAN_DF_ERROR_ALARM_ENABLE});
                             r->d.ErrorAlarmPriority = 8, r->d.ErrorAlarmDelay = 0;
                           }}}));
  scan_MarkAllBad(0);
  g_reading = Reading{};
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_TRUE(Sent().empty());
  g_reading.bad = true;
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_EQ(ScanWorld::Words("D1")[0] & (CST_BAD | CST_ALARM | CST_ALARM_HIGH | kAtOnce), CST_BAD | CST_ALARM | kAtOnce);
  std::vector<AlarmMessage> m = Sent();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].channel, 1 | ALM_CHANNEL_BAD);
  EXPECT_EQ((m[0].flags >> ALM_PRIORITY_SHIFT) & 0xFF, 8u);
}

TEST(ScanCycle, AHandlerResultOfTwoLeavesTheAreaUntouched) {
  FedHandlers fed;
  ScanWorld w;
  ASSERT_TRUE(w.Build({ChannelSpec{1, 1, nullptr}}, {}));
  scan_MarkAllBad(0);
  g_reading.value = 42;
  ASSERT_EQ(scan_ScanDevice(0), 0);
  void *area = sim_Area("A1", SHM_AREA_DATA);
  ASSERT_GE(shm_ClaimWaiter(area, 1), 0);
  while (shm_WaitChangeFor(area, 1, 1) == 1) {
  }
  std::vector<uint8_t> before(shm_Payload(area), shm_Payload(area) + shm_DataLength(area));
  g_reading.value = 7;
  g_reading.bad = true;
  g_result = 2;
  ASSERT_EQ(scan_ScanDevice(0), 0);
  std::vector<uint8_t> after(shm_Payload(area), shm_Payload(area) + shm_DataLength(area));
  EXPECT_EQ(before, after);
  EXPECT_EQ(shm_WaitChangeFor(area, 1, 1), 0);  // no change notice either
  EXPECT_TRUE(Sent().empty());
}

TEST(ScanCycle, AnIdleDeviceSendsNothing) {
  FedHandlers fed;
  ScanWorld w;
  auto shape = [](ChannelRecord *r) {
    On(r, {CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_EVENT_ENABLE, CHAN_AF_SIG_CHANGE_ENABLE});
    r->a.HighAlarmLimit = 10, r->a.HighEventLimit = 10, r->a.LowEventLimit = -10, r->a.SigChangeValue = 1;
  };
  ASSERT_TRUE(w.Build({ChannelSpec{1, 1, shape}}, {}, [](SimWorldSpec &s) {
    s.loggers = {"L1"};
    s.processors.push_back({"DERIVED", "Derived", "", 0, 1, 0, 0});
  }));
  ASSERT_EQ(sim_StartLogger(0, nullptr), 0);
  ASSERT_TRUE(sim_Subscribe("A1", 1, 1));
  ASSERT_TRUE(sim_Subscribe("A1", 0, 1));
  scan_MarkAllBad(0);
  g_reading.value = 20;
  ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_EQ(Sent().size(), 1u);
  ASSERT_TRUE(sim_WaitLoggerCodes(0, 1, 5000));
  ASSERT_TRUE(sim_WaitDerived(1, 5000));
  sim_TakeDerived();
  for (int pass = 0; pass < 3; ++pass) ASSERT_EQ(scan_ScanDevice(0), 0);
  EXPECT_TRUE(Sent().empty());
  // A later change is signalled again: nothing was lost in between.
  g_reading.value = 25;
  ASSERT_EQ(scan_ScanDevice(0), 0);
  ASSERT_TRUE(sim_WaitLoggerCodes(0, 2, 5000));
  EXPECT_EQ(sim_LoggerCodes(0), (std::vector<int32_t>{200001, static_cast<int32_t>(200000 | 0x80000000u)}));
  EXPECT_TRUE(sim_TakeDerived().empty());
}

TEST(ScanCycle, WithoutAnAlarmProcessorNothingIsSent) {
  FedHandlers fed;
  ScanWorld w;
  auto shape = [](ChannelRecord *r) {
    On(r, {CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_ERROR_ALARM_ENABLE});
    r->a.HighAlarmLimit = 10;
  };
  ASSERT_TRUE(w.Build({ChannelSpec{1, 1, shape}}, {}, [](SimWorldSpec &s) { s.processors.clear(); }));
  scan_MarkAllBad(0);
  for (float v : {20.0f, 5.0f, kNaN, 20.0f}) {
    g_reading.value = v;
    ASSERT_EQ(scan_ScanDevice(0), 0);
    EXPECT_EQ((ScanWorld::Words("A1")[0] & CST_ALARM) != 0, v != 5.0f) << v;  // the state is kept all the same
  }
  EXPECT_TRUE(Sent().empty());
}

TEST(ScanCycle, PassDurationsAndMarkingAllBad) {
  FedHandlers fed;
  ScanWorld w;
  ASSERT_TRUE(w.Build({ChannelSpec{1, 1, nullptr}, ChannelSpec{1, 2, nullptr}}, {ChannelSpec{1, 1, nullptr}},
                      [](SimWorldSpec &s) { s.devices[0].descriptionBlocks = true; }));
  void *areas[] = {sim_Area("A1", SHM_AREA_DATA), sim_Area("D1", SHM_AREA_DATA)};
  const int counts[] = {2, 1};
  for (void *a : areas) ASSERT_NE(shm_AreaDescriptions(a), nullptr);

  // A pass: each type's duration in its area header, their sum in the device record.
  for (void *a : areas) shm_AreaHeader(a)->duration = -1;
  g_scan.record->PassDuration = -1;
  g_delayMs = 30;
  ASSERT_EQ(scan_ScanDevice(0), 0);
  int32_t total = 0;
  for (void *a : areas) {
    int32_t d = shm_AreaHeader(a)->duration;
    EXPECT_GE(d, 30);
    EXPECT_LT(d, 5000);
    total += d;
  }
  EXPECT_EQ(g_scan.record->PassDuration, total);

  // Marking all bad: alarm bits cleared, bad set, the rest kept; 13 in each
  // description block's first word, the block's rest untouched; no duration.
  const uint32_t kept = CST_VALUE | CST_EVENT | CST_SERVER_0100 | CST_ALARM_HIGH;
  for (int k = 0; k < 2; ++k) {
    uint32_t *words = shm_AreaStatusWords(areas[k]);
    uint8_t *blocks = shm_AreaDescriptions(areas[k]);
    for (int i = 0; i < counts[k]; ++i) {
      words[i] = kept | CST_ALARM | CST_RAISED_AT_ONCE | CST_ALARM_ANNOUNCED;
      memset(blocks + i * CHAN_DESCRIPTION_BLOCK, 0x5A, CHAN_DESCRIPTION_BLOCK);
    }
  }
  errno = 0;
  EXPECT_EQ(scan_MarkAllBad(1234), 0);
  EXPECT_EQ(errno, 1234);
  EXPECT_EQ(g_scan.record->PassDuration, 0);
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k == 0 ? "analogue" : "digital");
    const ChannelAreaHeader *h = shm_AreaHeader(areas[k]);
    EXPECT_EQ(h->duration, 0);
    EXPECT_EQ(h->error, 1234);
    const uint32_t *words = shm_AreaStatusWords(areas[k]);
    const uint8_t *blocks = shm_AreaDescriptions(areas[k]);
    for (int i = 0; i < counts[k]; ++i) {
      EXPECT_EQ(words[i], kept | CST_BAD) << std::hex << words[i];
      EXPECT_EQ(g_scan.type[k == 0 ? IO_AI : IO_DI].workStatus[i], words[i]);
      uint16_t first;
      memcpy(&first, blocks + i * CHAN_DESCRIPTION_BLOCK, 2);
      EXPECT_EQ(first, 13);
      EXPECT_EQ(blocks[i * CHAN_DESCRIPTION_BLOCK + 2], 0x5A);
      EXPECT_EQ(blocks[(i + 1) * CHAN_DESCRIPTION_BLOCK - 1], 0x5A);
    }
  }
}
