// The rules that turn a channel's value into the warning, alarm and event
// bits of its status word, and the messages and counts a change of those
// bits sends. The scan pass (inputs) and the area's writers (outputs) both
// evaluate with these; what each does with a bad or unchanged channel stays
// with the caller.
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"
#include "framework/shm/shm_areas.h"
#include "framework/time/tm_time.h"

// Which side of a limit pair the value is on.
enum AlmLevel : int { ALM_LEVEL_NONE = 0, ALM_LEVEL_LOW = 1, ALM_LEVEL_HIGH = 2 };

// The warning side of an analogue value; `before`: the word of the last
// evaluation, whose warning keeps its side inside the deadband. A pair is
// tested only when both its alarm and its warning are enabled; high wins.
inline AlmLevel alm_WarningLevel(const ChannelAnalogue &a, uint16_t f, float v, uint32_t before) {
  const uint32_t both = CST_WARNING | CST_WARNING_HIGH;
  if ((f & CHAN_AW_HIGH_ALARM_ENABLE) && (f & CHAN_AW_HIGH_WARNING_ENABLE) &&
      (v >= a.HighWarningLimit ||
       ((f & CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE) && (before & both) == both &&
        v >= tm_CheckedSubtract(a.HighWarningLimit, tm_CheckedSubtract(a.HighAlarmLimit, a.HighAlarmDeadband)))))
    return ALM_LEVEL_HIGH;
  if ((f & CHAN_AW_LOW_ALARM_ENABLE) && (f & CHAN_AW_LOW_WARNING_ENABLE) &&
      (v <= a.LowWarningLimit ||
       ((f & CHAN_AW_LOW_ALARM_DEADBAND_ENABLE) && (before & both) == CST_WARNING &&
        v <= tm_CheckedAdd(a.LowWarningLimit, tm_CheckedSubtract(a.LowAlarmDeadband, a.LowAlarmLimit)))))
    return ALM_LEVEL_LOW;
  return ALM_LEVEL_NONE;
}

// The limit alarm side of an analogue value. Here the deadbands are absolute
// levels: an alarm already on stays on until the value passes its deadband.
inline AlmLevel alm_AlarmLevel(const ChannelAnalogue &a, uint16_t f, float v, uint32_t before) {
  const uint32_t high = CST_ALARM | CST_ALARM_HIGH;
  if ((f & CHAN_AW_HIGH_ALARM_ENABLE) &&
      (v >= a.HighAlarmLimit ||
       ((before & high) == high && (f & CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE) && v >= a.HighAlarmDeadband)))
    return ALM_LEVEL_HIGH;
  if ((f & CHAN_AW_LOW_ALARM_ENABLE) &&
      (v <= a.LowAlarmLimit ||
       ((before & high) == CST_ALARM && (f & CHAN_AW_LOW_ALARM_DEADBAND_ENABLE) && v <= a.LowAlarmDeadband)))
    return ALM_LEVEL_LOW;
  return ALM_LEVEL_NONE;
}

// The event side of an analogue value (none when events are off).
inline AlmLevel alm_EventLevel(const ChannelAnalogue &a, uint16_t f, float v) {
  if (!(f & CHAN_AW_EVENT_ENABLE)) return ALM_LEVEL_NONE;
  if (v >= a.HighEventLimit) return ALM_LEVEL_HIGH;
  if (v <= a.LowEventLimit) return ALM_LEVEL_LOW;
  return ALM_LEVEL_NONE;
}

// A digital alarm or event: on when enabled and the value bit equals the
// flag's state; its side is the value.
inline AlmLevel alm_DigitalLevel(bool enabled, bool state, uint32_t bit) {
  if (!enabled || bit != (state ? 1u : 0u)) return ALM_LEVEL_NONE;
  return bit ? ALM_LEVEL_HIGH : ALM_LEVEL_LOW;
}

inline uint32_t alm_PutWarning(uint32_t w, AlmLevel level) {
  if (level == ALM_LEVEL_HIGH) return w | CST_WARNING | CST_WARNING_HIGH;
  if (level == ALM_LEVEL_LOW) return (w | CST_WARNING) & ~CST_WARNING_HIGH;
  return w & ~(CST_WARNING | CST_WARNING_HIGH);
}

// An alarm that stays on keeps the announcement of the word before; one that
// ends takes its announcement with it.
inline uint32_t alm_PutAlarm(uint32_t w, uint32_t before, AlmLevel level) {
  if (level == ALM_LEVEL_NONE) return w & ~(CST_ALARM | CST_ALARM_ANNOUNCED);
  w = (w | CST_ALARM) & ~CST_ALARM_HIGH;
  if (level == ALM_LEVEL_HIGH) w |= CST_ALARM_HIGH;
  return (w & ~CST_ALARM_ANNOUNCED) | (before & CST_ALARM_ANNOUNCED);
}

// An event that ends keeps its side bit.
inline uint32_t alm_PutEvent(uint32_t w, AlmLevel level) {
  if (level == ALM_LEVEL_HIGH) return w | CST_EVENT | CST_EVENT_HIGH;
  if (level == ALM_LEVEL_LOW) return (w | CST_EVENT) & ~CST_EVENT_HIGH;
  return w & ~CST_EVENT;
}

// A change is a bit turning on or off, or the side moving while it stays on
// (for alarms also the bad bit: an error alarm is another alarm).
inline bool alm_WarningsDiffer(uint32_t w, uint32_t before) {
  return ((w ^ before) & CST_WARNING) || ((w & before & CST_WARNING) && ((w ^ before) & CST_WARNING_HIGH));
}
inline bool alm_AlarmsDiffer(uint32_t w, uint32_t before) {
  return ((w ^ before) & CST_ALARM) ||
         ((w & before & CST_ALARM) && ((w ^ before) & (CST_ALARM_HIGH | CST_BAD)));
}
inline bool alm_EventsDiffer(uint32_t w, uint32_t before) {
  return ((w ^ before) & CST_EVENT) || ((w & before & CST_EVENT) && ((w ^ before) & CST_EVENT_HIGH));
}

// The state alarm that word w raises: the error alarm when bad, else the
// high or low alarm (analogue) or the one alarm (digital).
struct AlmAlarmParams {
  int delay, priority, driveCommon;
};
AlmAlarmParams alm_AlarmParamsOf(const ChannelRecord *r, uint16_t f, uint32_t w, bool analogue);

struct AlmNames {
  const char *computer;
  const char *user;
};

// When the alarm bits changed: returns the old state alarm and raises the new
// one; value goes with both (none with the raise of a bad channel). Returns w
// with the announcement of the raise: at once when there is no delay.
uint32_t alm_SendStateAlarms(int channel, const ChannelRecord *r, uint16_t f, bool analogue, uint32_t w,
                             uint32_t before, const AlmNames &names, const float *value);

// Counts the events that end and begin between the two words, when counted.
void alm_CountEventChange(int channel, uint32_t w, uint32_t before, bool counted);
