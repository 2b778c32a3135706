// The output writers: range refusal, evaluation by a writer that acts for
// the area, and the hand-over to the area's owner otherwise.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "framework/alarms/alm_alarms.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/writers/shm_writers.h"
#include "platform/os_io.h"
#include "tools/scadasim/sim_world.h"

namespace {

std::atomic<int> g_written;  // code 305 received

int OnCode(int32_t code) {
  if (code == NTF_OUTPUT_WRITTEN) g_written += 1;
  return 0;
}

const uint32_t kAnnouncedAtOnce = CST_ALARM_ANNOUNCED | CST_RAISED_AT_ONCE;

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimWorldSpec w;
    w.devices[0].codes[IO_DO] = "O1";
    w.devices[0].channels[IO_DO] = 4;
    w.devices[0].writeConfigFiles = false;
    uint32_t self = static_cast<uint32_t>(getpid());
    w.processors = {
        {"ALARM", "Alarms", "", 0, 1, 0, 0},
        {"MODBUS", "Evaluated here", "M1", 0, 1, 0, 0},
        {"CALC", "Evaluated by its owner", "C1", 2, 1, 0, self},
        {"MODBUS2", "Analogue, described", "M2", 0, 1, 1, 0},
        {"MODBUS3", "Analogue, no room", "M3", 0, 1, 1, 0},
    };
    w.processorAreas = {{"M1", 4, {}}, {"C1", 4, {}}};
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    ASSERT_EQ(sim_OpenServerSlots(&why), 0) << why;
    sim_Device(0)->ProcessId = self;
    MakeAnalogueArea("M2", 4, 0);
    MakeAnalogueArea("M3", 4, -1);  // one byte short of the description blocks
    g_written = 0;
    errno = 0;
    ntf_Start(OnCode);
    ASSERT_EQ(errno, 0);
  }
  void TearDown() override {
    ntf_Stop();
    alm_CloseAlarmSlot();
    for (const std::string &n : made) shm_DestroySegment(n.c_str());
    sim_DestroyWorld();
  }
  // An analogue output area the server would make for a processor.
  void MakeAnalogueArea(const std::string &code, uint16_t n, int shortBy) {
    uint32_t length = 20 + n * (8 + CHAN_DESCRIPTION_BLOCK) + shortBy;
    void *data = shm_CreateSegmentWithWaiters(("dm_" + code).c_str(), length);
    void *conf = shm_CreateSegmentWithWaiters(("dm_" + code + "_conf").c_str(), n * CHAN_RECORD_SIZE);
    void *events = shm_CreateSegmentWithWaiters(("dm_" + code + "_event").c_str(), 1);
    ASSERT_TRUE(data && conf && events);
    for (const char *s : {"", "_conf", "_event"}) made.push_back("dm_" + code + s);
    ChannelAreaHeader *h = shm_AreaHeader(data);
    memcpy(h->code, code.data(), 2);
    h->entryWidth = 8;
    h->count = n;
    for (uint16_t i = 0; i < n; ++i) {
      ChannelRecord *r = Record(code, i + 1);
      r->a.Type = IO_AO;
      chan_SetFlagBit(r, CHAN_AF_ENABLE, true);
    }
  }
  static ChannelRecord *Record(const std::string &code, int channel) {
    return reinterpret_cast<ChannelRecord *>(shm_AreaRecords(sim_Area(code, SHM_AREA_CONF))) + (channel - 1);
  }
  static uint32_t *Words(const std::string &code) { return shm_AreaStatusWords(sim_Area(code, SHM_AREA_DATA)); }
  // Every alarm message sent so far: a marker written to the same mailslot
  // now comes after all of them, so once it is in, nothing is still on its way.
  static std::vector<AlarmMessage> Messages(size_t n) {
    const uint16_t marker = 0xBEEF;
    AlarmMessage mark;
    memset(&mark, 0, sizeof mark);
    mark.channel = marker;
    OsHandle slot = ntf_OpenMailslot("xalarms");
    EXPECT_NE(slot, nullptr);
    uint32_t written = 0;
    if (slot) {
      EXPECT_EQ(os_WriteFile(slot, &mark, sizeof mark, &written), 0);
      os_CloseHandle(slot);
    }
    EXPECT_TRUE(sim_WaitAlarms(n + 1, 5000));
    std::vector<AlarmMessage> m = sim_TakeAlarms();
    EXPECT_TRUE(!m.empty() && m.back().channel == marker) << "the marker came last";
    if (!m.empty() && m.back().channel == marker) m.pop_back();
    EXPECT_EQ(m.size(), n);
    return m;
  }
  std::vector<std::string> made;
};

}  // namespace

TEST_F(WriterTest, RangesOutsideTheAreaAreRefused) {
  uint32_t before[4];
  memcpy(before, Words("O1"), sizeof before);
  const uint32_t values[4] = {1, 1, 1, 1};
  struct Case {
    const char *code;
    int first, last;
  } cases[] = {{"O1", 3, 5}, {"O1", 0, 2}, {"O1", 2, 0}, {"O1", 3, 2}, {"ZZ", 1, 1}};
  for (const Case &c : cases) {
    EXPECT_EQ(shm_WriteDigital(c.code, c.first, c.last, values), -1) << c.code << " " << c.first << ".." << c.last;
    EXPECT_EQ(shm_ForceDigital(c.code, c.first, c.last, values), -1);
  }
  const float f[4] = {1, 2, 3, 4};
  EXPECT_EQ(shm_WriteAnalog("O1", 1, 2, f), -1);  // a digital area has no values
  EXPECT_EQ(shm_WriteAnalog("M2", 4, 5, f), -1);
  EXPECT_EQ(memcmp(before, Words("O1"), sizeof before), 0);
  EXPECT_EQ(g_written.load(), 0);
}

TEST_F(WriterTest, ActingForTheAreaEvaluatesDigitalOutputs) {
  ChannelRecord *alarmed = Record("M1", 2);
  for (int bit : {CHAN_DF_ALARM_ENABLE, CHAN_DF_ALARM_STATE, CHAN_DF_EVENT_ENABLE, CHAN_DF_EVENT_STATE})
    chan_SetFlagBit(alarmed, bit, true);
  alarmed->d.AlarmPriority = 4;
  chan_SetFlagBit(Record("M1", 3), CHAN_DF_ENABLE, false);
  uint32_t *w = Words("M1");
  const uint32_t on[2] = {1, 1}, off[2] = {0, 0};

  ASSERT_EQ(shm_WriteDigital("M1", 2, 3, on), 0);
  EXPECT_EQ(w[1], CST_VALUE | CST_ALARM | CST_ALARM_HIGH | kAnnouncedAtOnce | CST_EVENT | CST_EVENT_HIGH);
  EXPECT_EQ(w[2], CST_VALUE | CST_BAD);  // evaluated: bad while not enabled
  std::vector<AlarmMessage> m = Messages(1);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].channel, 2);
  EXPECT_EQ(m[0].flags, ALM_FLAG_HIGH | (4u << ALM_PRIORITY_SHIFT));
  EXPECT_EQ(memcmp(m[0].code, "M1", 2), 0);

  // The same value again: nothing to do. Forced: evaluated, but the state
  // bits are those stored, so no message goes again.
  ASSERT_EQ(shm_WriteDigital("M1", 2, 2, on), 0);
  ASSERT_EQ(shm_ForceDigital("M1", 2, 2, on), 0);
  Messages(0);
  // A bad channel gets its value only, unless forced.
  ASSERT_EQ(shm_WriteDigital("M1", 3, 3, off), 0);
  EXPECT_EQ(w[2], CST_BAD);
  ASSERT_EQ(shm_WriteDigital("M1", 2, 2, off), 0);
  EXPECT_EQ(w[1] & (CST_VALUE | CST_ALARM | CST_EVENT), 0u);
  m = Messages(1);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].flags, ALM_FLAG_RETURN | ALM_FLAG_HIGH);
  EXPECT_EQ(g_written.load(), 0);
}

TEST_F(WriterTest, ActingForTheAreaEvaluatesAnalogueOutputs) {
  for (const char *code : {"M2", "M3"}) {
    ChannelRecord *r = Record(code, 1);
    chan_SetFlagBit(r, CHAN_AF_HIGH_ALARM_ENABLE, true);
    chan_SetFlagBit(r, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE, true);
    r->a.HighAlarmLimit = 100;
    r->a.HighAlarmDeadband = 95;
    r->a.HighAlarmPriority = 6;
    r->a.LowAlarmLimit = -1000;
  }
  uint32_t *w = Words("M2");
  float *v = shm_AreaValues(sim_Area("M2", SHM_AREA_DATA));
  uint8_t *blocks = shm_AreaDescriptions(sim_Area("M2", SHM_AREA_DATA));
  ASSERT_NE(blocks, nullptr);
  struct Step {
    float value;
    bool alarm;
    size_t messages;
  } steps[] = {{101, true, 1}, {96, true, 0}, {95, true, 0}, {94.9f, false, 1}};
  for (const Step &s : steps) {
    SCOPED_TRACE(s.value);
    ASSERT_EQ(shm_WriteAnalog("M2", 1, 1, &s.value), 0);
    EXPECT_EQ(v[0], s.value);
    EXPECT_EQ((w[0] & CST_ALARM) != 0, s.alarm);
    EXPECT_TRUE(w[0] & CST_ANALOGUE);
    std::vector<AlarmMessage> m = Messages(s.messages);
    if (!m.empty()) {
      EXPECT_EQ(m[0].flags & ALM_FLAG_RETURN, s.alarm ? 0u : ALM_FLAG_RETURN);
    }
    uint32_t kind;
    float described;
    memcpy(&kind, blocks, 4);
    memcpy(&described, blocks + 8, 4);
    EXPECT_EQ(kind, 4u);
    EXPECT_EQ(described, s.value);
  }
  // Without room for the blocks nothing goes behind the values.
  void *m3 = sim_Area("M3", SHM_AREA_DATA);
  ASSERT_EQ(shm_AreaDescriptions(m3), nullptr);
  const float high = 150;
  ASSERT_EQ(shm_WriteAnalog("M3", 1, 1, &high), 0);
  EXPECT_TRUE(Words("M3")[0] & CST_ALARM);
  Messages(1);
  const uint8_t *tail = reinterpret_cast<uint8_t *>(shm_AreaValues(m3) + 4);
  const uint8_t *end = shm_Payload(m3) + shm_DataLength(m3);
  for (const uint8_t *p = tail; p < end; ++p) ASSERT_EQ(*p, 0) << "byte " << (p - tail) << " behind the values";
}

TEST_F(WriterTest, AWrittenOutputsWarningIsRaisedAgainOnASideChangeAndReturnedAtItsEnd) {
  ChannelRecord *r = Record("M2", 2);
  for (int bit : {CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_LOW_ALARM_ENABLE,
                  CHAN_AF_LOW_WARNING_ENABLE})
    chan_SetFlagBit(r, bit, true);
  r->a.HighAlarmLimit = 100, r->a.HighWarningLimit = 80, r->a.HighAlarmPriority = 6;
  r->a.LowAlarmLimit = 0, r->a.LowWarningLimit = 20, r->a.LowAlarmPriority = 4;
  uint32_t *w = Words("M2");
  const struct {
    float value;
    uint32_t warning;  // CST_WARNING | CST_WARNING_HIGH bits after the write
    uint32_t flags;    // of the one message: limit, high side, return
  } steps[] = {
      {85, CST_WARNING | CST_WARNING_HIGH, ALM_FLAG_LIMIT | ALM_FLAG_HIGH},
      {15, CST_WARNING, ALM_FLAG_LIMIT},  // the other side: raised, not returned first
      {50, 0, ALM_FLAG_LIMIT | ALM_FLAG_RETURN},
  };
  for (const auto &s : steps) {
    SCOPED_TRACE(s.value);
    ASSERT_EQ(shm_WriteAnalog("M2", 2, 2, &s.value), 0);
    EXPECT_EQ(w[1] & (CST_WARNING | CST_WARNING_HIGH), s.warning);
    EXPECT_EQ(w[1] & CST_ALARM, 0u);
    std::vector<AlarmMessage> m = Messages(1);
    if (!m.empty()) {
      EXPECT_EQ(m[0].channel & 0x7FFF, 2);
      EXPECT_EQ(m[0].flags & (ALM_FLAG_LIMIT | ALM_FLAG_HIGH | ALM_FLAG_RETURN), s.flags);
    }
  }
}

TEST_F(WriterTest, OtherClassesStoreTheValueAndTellTheOwner) {
  chan_SetFlagBit(Record("C1", 1), CHAN_DF_ALARM_ENABLE, true);
  chan_SetFlagBit(Record("C1", 1), CHAN_DF_ALARM_STATE, true);
  const uint32_t on = 1;
  ASSERT_EQ(shm_WriteDigital("C1", 1, 1, &on), 0);
  EXPECT_EQ(Words("C1")[0], CST_VALUE);  // no evaluation: the owner does it
  EXPECT_EQ(g_written.load(), 1);
  ASSERT_EQ(shm_WriteDigital("O1", 4, 4, &on), 0);  // a device's own output: class 0
  EXPECT_EQ(Words("O1")[3], CST_BAD | CST_VALUE);  // as the server made it, but for the value
  EXPECT_EQ(g_written.load(), 2);
  Messages(0);
}

TEST_F(WriterTest, NotifyModeSparesTheOwnProcess) {
  void *area = sim_Area("M1", SHM_AREA_DATA);
  ASSERT_GE(shm_ClaimWaiter(area, 1), 0);
  auto notices = [area] {
    int n = 0;
    while (shm_WaitChangeFor(area, 1, 1) == 1) ++n;
    return n;
  };
  uint32_t value = 1;
  ASSERT_EQ(shm_WriteDigital("M1", 1, 1, &value), 0);
  EXPECT_EQ(notices(), 1);
  shm_SetDigitalNotifyMode(1);
  value = 0;
  ASSERT_EQ(shm_WriteDigital("M1", 1, 1, &value), 0);
  shm_SetDigitalNotifyMode(0);
  EXPECT_EQ(notices(), 0);
}
