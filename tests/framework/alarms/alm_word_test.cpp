// The status-word rules shared by the scan pass and the output writers.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "framework/alarms/alm_word.h"

namespace {

const uint32_t kWarnHigh = CST_WARNING | CST_WARNING_HIGH;
const uint32_t kAlarmHigh = CST_ALARM | CST_ALARM_HIGH;

ChannelRecord Limits(std::initializer_list<int> bits) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  for (int b : bits) chan_SetFlagBit(&r, b, true);
  ChannelAnalogue &a = r.a;
  a.HighAlarmLimit = 100, a.HighAlarmDeadband = 90, a.HighWarningLimit = 80;
  a.LowAlarmLimit = 0, a.LowAlarmDeadband = 10, a.LowWarningLimit = 20;
  a.HighEventLimit = 60, a.LowEventLimit = 40;
  return r;
}

}  // namespace

TEST(AlarmWord, FlagWordMasksFollowTheBitNumbers) {
  // Bit n of byte 28 first; the word is bytes 28-29 little-endian.
  const struct {
    int bit;
    uint16_t mask;
  } cases[] = {{0, 0x0080}, {7, 0x0001}, {8, 0x8000}, {9, 0x4000}, {15, 0x0100}};
  for (const auto &c : cases) {
    ChannelRecord r;
    memset(&r, 0, sizeof r);
    chan_SetFlagBit(&r, c.bit, true);
    EXPECT_EQ(chan_FlagWord(&r), c.mask) << c.bit;
    EXPECT_EQ(chan_FlagWordMask(c.bit), c.mask) << c.bit;
    EXPECT_TRUE(chan_FlagBit(&r, c.bit));
    chan_SetFlagBit(&r, c.bit, false);
    EXPECT_EQ(chan_FlagWord(&r), 0) << c.bit;
  }
}

TEST(AlarmWord, WarningSidesAndTheirDeadbands) {
  const ChannelRecord both = Limits({CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_LOW_ALARM_ENABLE,
                                     CHAN_AF_LOW_WARNING_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE,
                                     CHAN_AF_LOW_ALARM_DEADBAND_ENABLE});
  const ChannelRecord noDeadband = Limits({CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_HIGH_WARNING_ENABLE,
                                           CHAN_AF_LOW_ALARM_ENABLE, CHAN_AF_LOW_WARNING_ENABLE});
  const ChannelRecord warningOnly = Limits({CHAN_AF_HIGH_WARNING_ENABLE, CHAN_AF_LOW_WARNING_ENABLE});
  // The high warning holds down to 80 - (100 - 90) = 70 while the word before
  // was high; the low one up to 20 + (10 - 0) = 30 while it was low.
  const struct {
    const char *what;
    const ChannelRecord *r;
    float v;
    uint32_t before;
    AlmLevel want;
  } cases[] = {
      {"at the high limit", &both, 80, 0, ALM_LEVEL_HIGH},
      {"under it, none before", &both, 79, 0, ALM_LEVEL_NONE},
      {"held high at the deadband", &both, 70, kWarnHigh, ALM_LEVEL_HIGH},
      {"below the high deadband", &both, 69.9f, kWarnHigh, ALM_LEVEL_NONE},
      {"low before does not hold high", &both, 75, CST_WARNING, ALM_LEVEL_NONE},
      {"at the low limit", &both, 20, 0, ALM_LEVEL_LOW},
      {"held low at the deadband", &both, 30, CST_WARNING, ALM_LEVEL_LOW},
      {"above the low deadband", &both, 30.1f, CST_WARNING, ALM_LEVEL_NONE},
      {"high before does not hold low", &both, 25, kWarnHigh, ALM_LEVEL_NONE},
      {"no hold without the deadband flag", &noDeadband, 75, kWarnHigh, ALM_LEVEL_NONE},
      {"a warning without its alarm is off", &warningOnly, 85, 0, ALM_LEVEL_NONE},
  };
  for (const auto &c : cases)
    EXPECT_EQ(alm_WarningLevel(c.r->a, chan_FlagWord(c.r), c.v, c.before), c.want) << c.what;
}

TEST(AlarmWord, AlarmDeadbandsAreLevels) {
  const ChannelRecord r = Limits({CHAN_AF_HIGH_ALARM_ENABLE, CHAN_AF_LOW_ALARM_ENABLE,
                                  CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE, CHAN_AF_LOW_ALARM_DEADBAND_ENABLE});
  const ChannelRecord highOnly = Limits({CHAN_AF_HIGH_ALARM_ENABLE});
  const struct {
    const ChannelRecord *r;
    float v;
    uint32_t before;
    AlmLevel want;
  } cases[] = {
      {&r, 100, 0, ALM_LEVEL_HIGH},          {&r, 95, 0, ALM_LEVEL_NONE},
      {&r, 90, kAlarmHigh, ALM_LEVEL_HIGH},  {&r, 89.9f, kAlarmHigh, ALM_LEVEL_NONE},
      {&r, 95, CST_ALARM, ALM_LEVEL_NONE},   {&r, 0, 0, ALM_LEVEL_LOW},
      {&r, 10, CST_ALARM, ALM_LEVEL_LOW},    {&r, 10.1f, CST_ALARM, ALM_LEVEL_NONE},
      {&r, 5, kAlarmHigh, ALM_LEVEL_NONE},   {&highOnly, 92, kAlarmHigh, ALM_LEVEL_NONE},
      {&highOnly, -50, 0, ALM_LEVEL_NONE},
  };
  for (const auto &c : cases)
    EXPECT_EQ(alm_AlarmLevel(c.r->a, chan_FlagWord(c.r), c.v, c.before), c.want) << c.v << " before " << c.before;
}

TEST(AlarmWord, EventAndDigitalLevels) {
  const ChannelRecord on = Limits({CHAN_AF_EVENT_ENABLE});
  const ChannelRecord off = Limits({});
  EXPECT_EQ(alm_EventLevel(on.a, chan_FlagWord(&on), 60), ALM_LEVEL_HIGH);
  EXPECT_EQ(alm_EventLevel(on.a, chan_FlagWord(&on), 50), ALM_LEVEL_NONE);
  EXPECT_EQ(alm_EventLevel(on.a, chan_FlagWord(&on), 40), ALM_LEVEL_LOW);
  EXPECT_EQ(alm_EventLevel(off.a, chan_FlagWord(&off), 60), ALM_LEVEL_NONE);
  EXPECT_EQ(alm_DigitalLevel(true, true, 1), ALM_LEVEL_HIGH);
  EXPECT_EQ(alm_DigitalLevel(true, false, 0), ALM_LEVEL_LOW);
  EXPECT_EQ(alm_DigitalLevel(true, true, 0), ALM_LEVEL_NONE);
  EXPECT_EQ(alm_DigitalLevel(false, true, 1), ALM_LEVEL_NONE);
}

TEST(AlarmWord, PuttingTheBits) {
  const uint32_t other = CST_BAD | CST_VALUE;  // bits the rules leave alone
  // An alarm that stays on takes the announcement of the word before; one that ends drops it.
  EXPECT_EQ(alm_PutAlarm(other, CST_ALARM_ANNOUNCED, ALM_LEVEL_HIGH), other | kAlarmHigh | CST_ALARM_ANNOUNCED);
  EXPECT_EQ(alm_PutAlarm(other | CST_ALARM_HIGH | CST_ALARM_ANNOUNCED, 0, ALM_LEVEL_LOW), other | CST_ALARM);
  EXPECT_EQ(alm_PutAlarm(other | kAlarmHigh | CST_ALARM_ANNOUNCED, kAlarmHigh | CST_ALARM_ANNOUNCED, ALM_LEVEL_NONE),
            other | CST_ALARM_HIGH);
  EXPECT_EQ(alm_PutWarning(other, ALM_LEVEL_HIGH), other | kWarnHigh);
  EXPECT_EQ(alm_PutWarning(other | kWarnHigh, ALM_LEVEL_LOW), other | CST_WARNING);
  EXPECT_EQ(alm_PutWarning(other | kWarnHigh, ALM_LEVEL_NONE), other);
  // An event that ends keeps its side bit.
  EXPECT_EQ(alm_PutEvent(other | CST_EVENT | CST_EVENT_HIGH, ALM_LEVEL_NONE), other | CST_EVENT_HIGH);
  EXPECT_EQ(alm_PutEvent(other | CST_EVENT_HIGH, ALM_LEVEL_LOW), other | CST_EVENT);
}

TEST(AlarmWord, WhatCountsAsAChange) {
  const struct {
    uint32_t w, before;
    bool warnings, alarms, events;
  } cases[] = {
      {0, 0, false, false, false},
      {CST_WARNING | CST_ALARM | CST_EVENT, 0, true, true, true},
      {0, CST_WARNING | CST_ALARM | CST_EVENT, true, true, true},
      // The side moves while on.
      {kWarnHigh | kAlarmHigh | CST_EVENT | CST_EVENT_HIGH, CST_WARNING | CST_ALARM | CST_EVENT, true, true, true},
      // The side bit moves while off: no change.
      {CST_WARNING_HIGH | CST_ALARM_HIGH | CST_EVENT_HIGH, 0, false, false, false},
      // Bad while in alarm is another alarm (the error alarm), for alarms only.
      {CST_ALARM | CST_WARNING | CST_EVENT | CST_BAD, CST_ALARM | CST_WARNING | CST_EVENT, false, true, false},
      {CST_BAD, 0, false, false, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.w << " / " << c.before);
    EXPECT_EQ(alm_WarningsDiffer(c.w, c.before), c.warnings);
    EXPECT_EQ(alm_AlarmsDiffer(c.w, c.before), c.alarms);
    EXPECT_EQ(alm_EventsDiffer(c.w, c.before), c.events);
  }
}

TEST(AlarmWord, ParametersOfTheRaisedAlarm) {
  ChannelRecord a = Limits({CHAN_AF_HIGH_ALARM_DRIVE_COMMON, CHAN_AF_ERROR_ALARM_DRIVE_COMMON});
  a.a.HighAlarmDelay = 1, a.a.HighAlarmPriority = 11;
  a.a.LowAlarmDelay = 2, a.a.LowAlarmPriority = 12;
  a.a.ErrorAlarmDelay = 3, a.a.ErrorAlarmPriority = 13;
  ChannelRecord d;
  memset(&d, 0, sizeof d);
  d.d.Type = IO_DI;
  chan_SetFlagBit(&d, CHAN_DF_ALARM_DRIVE_COMMON, true);
  d.d.AlarmDelay = 4, d.d.AlarmPriority = 14, d.d.ErrorAlarmDelay = 5, d.d.ErrorAlarmPriority = 15;
  const struct {
    const ChannelRecord *r;
    bool analogue;
    uint32_t w;
    AlmAlarmParams want;
  } cases[] = {
      {&a, true, kAlarmHigh, {1, 11, 1}},
      {&a, true, CST_ALARM, {2, 12, 0}},
      {&a, true, CST_ALARM | CST_BAD | CST_ALARM_HIGH, {3, 13, 1}},
      {&d, false, kAlarmHigh, {4, 14, 1}},
      {&d, false, CST_ALARM | CST_BAD, {5, 15, 0}},
  };
  for (const auto &c : cases) {
    AlmAlarmParams p = alm_AlarmParamsOf(c.r, chan_FlagWord(c.r), c.w, c.analogue);
    EXPECT_EQ(p.delay, c.want.delay) << std::hex << c.w;
    EXPECT_EQ(p.priority, c.want.priority) << std::hex << c.w;
    EXPECT_EQ(p.driveCommon, c.want.driveCommon) << std::hex << c.w;
  }
}
