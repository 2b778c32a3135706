#include "framework/shm/shm_write_eval.h"

#include <cmath>

#include "framework/alarms/alm_alarms.h"
#include "framework/shm/shm_areas.h"
#include "framework/time/tm_time.h"

namespace {

bool EventsDiffer(uint32_t w, uint32_t o) {
  return ((w ^ o) & CST_EVENT) || ((w & o & CST_EVENT) && ((w ^ o) & CST_EVENT_HIGH));
}

bool AlarmsDiffer(uint32_t w, uint32_t o) {
  return ((w ^ o) & CST_ALARM) || ((w & o & CST_ALARM) && ((w ^ o) & (CST_ALARM_HIGH | CST_BAD)));
}

void CountEvents(int channel, uint32_t w, uint32_t o) {
  if (o & CST_EVENT) alm_EventOff(channel);
  if (w & CST_EVENT) alm_EventOn(channel);
}

// Raises the state alarm of the new word with the given parameters; the word
// is announced and raised at once when there is no delay.
uint32_t Raise(int channel, uint32_t w, int driveCommon, int priority, int delay, const WriteNames &n,
               const float *value) {
  if (delay == 0) w |= CST_ALARM_ANNOUNCED;
  else w &= ~CST_ALARM_ANNOUNCED;
  alm_RaiseStateAlarm(channel, w, driveCommon, priority, delay, n.computer, n.user, value);
  if (delay == 0) w |= CST_RAISED_AT_ONCE;
  return w;
}

}  // namespace

uint32_t shm_EvaluateDigitalOutput(int channel, const ChannelRecord *r, uint32_t word, uint32_t value, bool force,
                                   const WriteNames &names) {
  const ChannelDigital &d = r->d;
  uint16_t f = chan_FlagWord(r);
  bool enabled = f & CHAN_DW_ENABLE;
  uint32_t o = word, w = word, bit = value & 1u;
  w = enabled ? (w & ~CST_BAD) : (w | CST_BAD);
  w &= ~CST_ANALOGUE;
  uint32_t alarmState = (f & CHAN_DW_ALARM_STATE) ? 1u : 0u, eventState = (f & CHAN_DW_EVENT_STATE) ? 1u : 0u;
  if (enabled && (f & CHAN_DW_ALARM_ENABLE) && bit == alarmState) {
    w = ((w | CST_ALARM) & ~CST_ALARM_HIGH) | (bit ? CST_ALARM_HIGH : 0u);
    w = (w & ~CST_ALARM_ANNOUNCED) | (o & CST_ALARM_ANNOUNCED);
  } else {
    w &= ~(CST_ALARM | CST_ALARM_ANNOUNCED);
  }
  if (AlarmsDiffer(w, o)) {
    if (o & CST_ALARM) alm_ClearStateAlarm(channel, o, names.computer, names.user, nullptr);
    if (w & CST_ALARM)
      w = Raise(channel, w, (f & CHAN_DW_ALARM_DRIVE_COMMON) != 0, d.AlarmPriority, d.AlarmDelay, names, nullptr);
  }
  if (enabled && (f & CHAN_DW_EVENT_ENABLE) && bit == eventState)
    w = ((w | CST_EVENT) & ~CST_EVENT_HIGH) | (bit ? CST_EVENT_HIGH : 0u);
  else
    w &= ~CST_EVENT;
  if ((force || (f & CHAN_DW_EVENT_ENABLE)) && EventsDiffer(w, o)) CountEvents(channel, w, o);
  return (w & ~CST_VALUE) | bit;
}

uint32_t shm_EvaluateAnalogOutput(int channel, const ChannelRecord *r, uint32_t word, float current, float value,
                                  bool force, const WriteNames &names) {
  const ChannelAnalogue &a = r->a;
  uint16_t f = chan_FlagWord(r);
  bool enabled = f & CHAN_AW_ENABLE;
  uint32_t o = word, w = word | CST_ANALOGUE;
  w = enabled ? (w & ~CST_BAD) : (w | CST_BAD);
  bool bad = !enabled;
  const float v = value;
  const float *shown = bad ? nullptr : &v;

  // The change deadband against the value the area holds.
  if ((f & CHAN_AW_SIG_CHANGE_ENABLE) && !bad &&
      std::fabs(tm_CheckedSubtract(current, v)) >= std::fabs(a.SigChangeValue)) {
    w |= CST_VALUE;
    alm_SigChangeEvent(channel);
  } else {
    w &= ~CST_VALUE;
  }

  bool highPair = (f & CHAN_AW_HIGH_ALARM_ENABLE) && (f & CHAN_AW_HIGH_WARNING_ENABLE);
  bool lowPair = (f & CHAN_AW_LOW_ALARM_ENABLE) && (f & CHAN_AW_LOW_WARNING_ENABLE);
  bool high = false, low = false;
  if (enabled && highPair) {
    high = v >= a.HighWarningLimit ||
           ((f & CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE) && (o & (CST_WARNING | CST_WARNING_HIGH)) == (CST_WARNING | CST_WARNING_HIGH) &&
            v >= tm_CheckedSubtract(a.HighWarningLimit, tm_CheckedSubtract(a.HighAlarmLimit, a.HighAlarmDeadband)));
  }
  if (enabled && !high && lowPair) {
    low = v <= a.LowWarningLimit ||
          ((f & CHAN_AW_LOW_ALARM_DEADBAND_ENABLE) && (o & (CST_WARNING | CST_WARNING_HIGH)) == CST_WARNING &&
           v <= tm_CheckedAdd(a.LowWarningLimit, tm_CheckedSubtract(a.LowAlarmDeadband, a.LowAlarmLimit)));
  }
  if (high) w |= CST_WARNING | CST_WARNING_HIGH;
  else if (low) w = (w | CST_WARNING) & ~CST_WARNING_HIGH;
  else w &= ~(CST_WARNING | CST_WARNING_HIGH);
  // Raised again when only the side changes; returned only when it ends.
  if ((o & CST_WARNING) && !(w & CST_WARNING)) alm_ClearLimitAlarm(channel, o, names.computer, names.user, &v);
  if ((w & CST_WARNING) && (!(o & CST_WARNING) || ((w ^ o) & CST_WARNING_HIGH)))
    alm_RaiseLimitAlarm(channel, w, (w & CST_WARNING_HIGH) ? a.HighAlarmPriority : a.LowAlarmPriority, names.computer,
                        names.user, shown);

  bool on = false;
  if (enabled && (f & CHAN_AW_HIGH_ALARM_ENABLE) &&
      (v >= a.HighAlarmLimit || ((o & (CST_ALARM | CST_ALARM_HIGH)) == (CST_ALARM | CST_ALARM_HIGH) &&
                                 (f & CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE) && v >= a.HighAlarmDeadband))) {
    w |= CST_ALARM | CST_ALARM_HIGH;
    on = true;
  } else if (enabled && (f & CHAN_AW_LOW_ALARM_ENABLE) &&
             (v <= a.LowAlarmLimit || ((o & (CST_ALARM | CST_ALARM_HIGH)) == CST_ALARM &&
                                       (f & CHAN_AW_LOW_ALARM_DEADBAND_ENABLE) && v <= a.LowAlarmDeadband))) {
    w = (w | CST_ALARM) & ~CST_ALARM_HIGH;
    on = true;
  } else {
    w &= ~(CST_ALARM | CST_ALARM_ANNOUNCED);
  }
  if (on) w = (w & ~CST_ALARM_ANNOUNCED) | (o & CST_ALARM_ANNOUNCED);
  if (AlarmsDiffer(w, o)) {
    if (o & CST_ALARM) alm_ClearStateAlarm(channel, o, names.computer, names.user, &v);
    if (w & CST_ALARM) {
      if (w & CST_ALARM_HIGH)
        w = Raise(channel, w, (f & CHAN_AW_HIGH_ALARM_DRIVE_COMMON) != 0, a.HighAlarmPriority, a.HighAlarmDelay, names,
                  shown);
      else
        w = Raise(channel, w, (f & CHAN_AW_LOW_ALARM_DRIVE_COMMON) != 0, a.LowAlarmPriority, a.LowAlarmDelay, names,
                  shown);
    }
  }

  if (enabled && (f & CHAN_AW_EVENT_ENABLE)) {
    if (v >= a.HighEventLimit) w |= CST_EVENT | CST_EVENT_HIGH;
    else if (v <= a.LowEventLimit) w = (w | CST_EVENT) & ~CST_EVENT_HIGH;
    else w &= ~CST_EVENT;
  } else {
    w &= ~CST_EVENT;
  }
  if ((force || (f & CHAN_AW_EVENT_ENABLE)) && EventsDiffer(w, o)) CountEvents(channel, w, o);
  return w;
}
