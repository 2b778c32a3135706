// Alarm messages as the server's "xalarms" mailslot receives them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "framework/alarms/alm_alarms.h"
#include "framework/shm/shm_areas.h"
#include "tools/scadasim/sim_world.h"

namespace {

// Little-endian fields at their documented offsets, read from the raw bytes.
struct Raw {
  uint8_t b[296];
  uint16_t U16(int at) const { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
  uint32_t U32(int at) const { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24); }
  std::string Text(int at, int room) const { return std::string(reinterpret_cast<const char *>(b + at), strnlen(reinterpret_cast<const char *>(b + at), room)); }
};

uint32_t Bits(float v) {
  uint32_t u;
  memcpy(&u, &v, 4);
  return u;
}

class AlarmTest : public ::testing::Test {
 protected:
  // A device with 12 analogue channels; the alarm processor as given.
  void Build(bool alarmProcessor, uint8_t enabled, bool serverSlots) {
    SimWorldSpec w;
    w.devices[0].channels[IO_AI] = 12;
    w.devices[0].writeConfigFiles = false;
    if (alarmProcessor) w.processors.push_back({"ALARM", "Alarms", "", 0, enabled, 0, 0});
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    if (serverSlots) {
      ASSERT_EQ(sim_OpenServerSlots(&why), 0) << why;
    }
    header = shm_AreaHeader(sim_Area("A1", SHM_AREA_DATA));
  }
  void TearDown() override {
    alm_EndScanEvents();
    alm_CloseAlarmSlot();
    alm_CloseDerivedSlot();
    sim_DestroyWorld();
  }
  static Raw TakeOne() {
    Raw r{};
    EXPECT_TRUE(sim_WaitAlarms(1, 5000));
    std::vector<AlarmMessage> got = sim_TakeAlarms();
    EXPECT_EQ(got.size(), 1u);
    if (!got.empty()) memcpy(r.b, &got[0], sizeof r.b);
    return r;
  }
  ChannelAreaHeader *header = nullptr;
};

}  // namespace

TEST_F(AlarmTest, MessageBytesOfEachKind) {
  Build(true, 1, true);
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  const float v = 12.5f;
  const std::string longUser(40, 'u');  // more than the field holds
  struct Case {
    const char *what;
    std::function<int()> send;
    std::string code;
    uint16_t channel, delay;
    uint32_t flags, value, textFlag;
    std::string text, user = "op";
  } cases[] = {
      {"state raised, bad analogue high",
       [&] { return alm_RaiseStateAlarm(2, CST_BAD | CST_ANALOGUE | CST_ALARM_HIGH, 1, 7, 3, "PC1", longUser.c_str(), &v); },
       "A1", 3 | 0x8000, 3, 0x08 | 0x10 | 0x20 | (7u << 7), Bits(v), 0, "", std::string(32, 'u')},
      {"state raised, digital low", [&] { return alm_RaiseStateAlarm(0, 0, 0, 255, 0, "PC1", "op", nullptr); }, "A1", 1, 0,
       255u << 7, 0x7FFFFFFF, 0, ""},
      {"state returned", [&] { return alm_ClearStateAlarm(4, CST_ANALOGUE | CST_ALARM_HIGH, "PC1", "op", &v); }, "A1", 5,
       0, 0x01 | 0x08 | 0x10, Bits(v), 0, ""},
      {"limit raised: no bad bit",
       [&] { return alm_RaiseLimitAlarm(0, CST_BAD | CST_ANALOGUE | CST_WARNING | CST_WARNING_HIGH, 9, "PC1", "op", nullptr); },
       "A1", 1, 0, 0x04 | 0x08 | 0x10 | (9u << 7), 0x7FFFFFFF, 0, ""},
      {"limit returned, low", [&] { return alm_ClearLimitAlarm(11, CST_ANALOGUE | CST_WARNING, "PC1", "op", &v); }, "A1",
       12, 0, 0x05 | 0x08, Bits(v), 0, ""},
      {"kind 2", [&] { return alm_SendKind2("D7", 17, "PC1", "op", "pump stopped"); }, "D7", 17, 0, 2, 0x7FFFFFFF, 0,
       "pump stopped"},
      {"kind 3", [&] { return alm_SendKind3("PC1", "op"); }, "  ", 0, 0, 3, 0x7FFFFFFF, 0, ""},
      {"kind 6", [&] { return alm_SendKind6("D7", 4, "PC1", "op"); }, "D7", 4, 0, 6, 0x7FFFFFFF, 0, ""},
      {"kind 7", [&] { return alm_SendKind7("D7", 5, "PC1", "op"); }, "D7", 5, 0, 7, 0x7FFFFFFF, 0, ""},
      {"text flag", [&] { return alm_SendTextFlag(1, CST_BAD, "PC1", "op", &v); }, "A1", 2 | 0x8000, 0, 0x08, Bits(v), 1,
       ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    sim_TakeAlarms();
    ASSERT_EQ(c.send(), 0);
    Raw m = TakeOne();
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.b), 2), c.code);
    EXPECT_EQ(m.U16(2), c.channel);
    EXPECT_EQ(m.U16(4), c.delay);
    EXPECT_EQ(m.U16(6), 0);
    EXPECT_EQ(m.U32(8), c.flags);
    EXPECT_EQ(m.U32(12), c.value);
    EXPECT_EQ(m.Text(16, 16), "PC1");
    EXPECT_EQ(m.b[31], 0);
    EXPECT_EQ(m.Text(32, 33), c.user);
    EXPECT_EQ(m.b[64], 0);
    EXPECT_EQ(m.Text(65, 227), c.text);
    EXPECT_EQ(m.U32(292), c.textFlag);
  }
}

TEST_F(AlarmTest, ChannelMessagesNeedAPassAndAChannelOfIt) {
  Build(true, 1, true);
  EXPECT_EQ(alm_RaiseStateAlarm(0, 0, 0, 1, 0, "PC1", "op", nullptr), -1);
  EXPECT_EQ(alm_EventOn(0), -1);
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  for (int channel : {-1, 12}) {
    EXPECT_EQ(alm_RaiseStateAlarm(channel, 0, 0, 1, 0, "PC1", "op", nullptr), -1);
    EXPECT_EQ(alm_ClearStateAlarm(channel, 0, "PC1", "op", nullptr), -1);
    EXPECT_EQ(alm_RaiseLimitAlarm(channel, 0, 1, "PC1", "op", nullptr), -1);
    EXPECT_EQ(alm_ClearLimitAlarm(channel, 0, "PC1", "op", nullptr), -1);
    EXPECT_EQ(alm_EventOn(channel), -1);
    EXPECT_EQ(alm_EventOff(channel), -1);
    EXPECT_EQ(alm_SigChangeEvent(channel), -1);
  }
  EXPECT_EQ(alm_RaiseStateAlarm(11, 0, 0, 1, 0, "PC1", "op", nullptr), 0);
  EXPECT_EQ(alm_EndScanEvents(), 0);
  EXPECT_EQ(alm_EndScanEvents(), -1);
  EXPECT_EQ(alm_ClearStateAlarm(11, 0, "PC1", "op", nullptr), -1);
  EXPECT_TRUE(sim_WaitAlarms(1, 5000));
}

TEST_F(AlarmTest, WithoutAnEnabledAlarmProcessorNothingIsSent) {
  for (bool present : {false, true}) {
    SCOPED_TRACE(present ? "disabled" : "absent");
    Build(present, 0, true);
    ASSERT_EQ(alm_BeginScanEvents(header), 0);
    EXPECT_EQ(alm_RaiseStateAlarm(0, 0, 0, 1, 0, "PC1", "op", nullptr), 0);
    EXPECT_EQ(alm_ClearLimitAlarm(0, 0, "PC1", "op", nullptr), 0);
    EXPECT_EQ(alm_OpenAlarmSlot(), nullptr);
    EXPECT_EQ(alm_EndScanEvents(), 0);
    EXPECT_FALSE(sim_WaitAlarms(1, 300));
    sim_DestroyWorld();
  }
}

TEST_F(AlarmTest, AFailedOpenAndAStaleSlotAreTriedAgain) {
  Build(true, 1, false);  // the server's mailslot is not there yet
  ASSERT_EQ(alm_BeginScanEvents(header), 0);
  EXPECT_EQ(alm_RaiseStateAlarm(0, 0, 0, 1, 0, "PC1", "op", nullptr), 0);  // dropped
  std::string why;
  ASSERT_EQ(sim_OpenServerSlots(&why), 0) << why;
  EXPECT_EQ(alm_RaiseStateAlarm(1, 0, 0, 1, 0, "PC1", "op", nullptr), 0);
  EXPECT_EQ(TakeOne().U16(2), 2);
  // The server restarts: the handle held is stale, the next message still arrives.
  sim_StopServer();
  ASSERT_EQ(sim_OpenServerSlots(&why), 0) << why;
  EXPECT_EQ(alm_RaiseLimitAlarm(2, 0, 1, "PC1", "op", nullptr), 0);
  EXPECT_EQ(TakeOne().U16(2), 3);
}
