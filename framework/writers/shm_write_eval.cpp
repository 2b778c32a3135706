#include "framework/writers/shm_write_eval.h"

#include <cmath>

#include "framework/alarms/alm_alarms.h"
#include "framework/shm/shm_areas.h"
#include "framework/time/tm_time.h"

// A disabled output is bad and holds no warning, alarm or event; an enabled
// one is never bad here, so its raises always carry the value.

uint32_t shm_EvaluateDigitalOutput(int channel, const ChannelRecord *r, uint32_t word, uint32_t value, bool force,
                                   const AlmNames &names) {
  uint16_t f = chan_FlagWord(r);
  bool enabled = f & CHAN_DW_ENABLE;
  uint32_t before = word, w = word, bit = value & 1u;
  w = enabled ? (w & ~CST_BAD) : (w | CST_BAD);
  w &= ~CST_ANALOGUE;
  w = alm_PutAlarm(w, before,
                   alm_DigitalLevel(enabled && (f & CHAN_DW_ALARM_ENABLE), f & CHAN_DW_ALARM_STATE, bit));
  w = alm_SendStateAlarms(channel, r, f, false, w, before, names, nullptr);
  w = alm_PutEvent(w, alm_DigitalLevel(enabled && (f & CHAN_DW_EVENT_ENABLE), f & CHAN_DW_EVENT_STATE, bit));
  alm_CountEventChange(channel, w, before, force || (f & CHAN_DW_EVENT_ENABLE));
  return (w & ~CST_VALUE) | bit;
}

uint32_t shm_EvaluateAnalogOutput(int channel, const ChannelRecord *r, uint32_t word, float current, float value,
                                  bool force, const AlmNames &names) {
  const ChannelAnalogue &a = r->a;
  uint16_t f = chan_FlagWord(r);
  bool enabled = f & CHAN_AW_ENABLE;
  uint32_t before = word, w = word | CST_ANALOGUE;
  w = enabled ? (w & ~CST_BAD) : (w | CST_BAD);
  const float v = value;

  // The change deadband against the value the area holds.
  if ((f & CHAN_AW_SIG_CHANGE_ENABLE) && enabled &&
      std::fabs(tm_CheckedSubtract(current, v)) >= std::fabs(a.SigChangeValue)) {
    w |= CST_VALUE;
    alm_SigChangeEvent(channel);
  } else {
    w &= ~CST_VALUE;
  }

  // Raised again when only the side changes; returned only when it ends.
  w = alm_PutWarning(w, enabled ? alm_WarningLevel(a, f, v, before) : ALM_LEVEL_NONE);
  if ((before & CST_WARNING) && !(w & CST_WARNING)) alm_ClearLimitAlarm(channel, before, names.computer, names.user, &v);
  if ((w & CST_WARNING) && alm_WarningsDiffer(w, before))
    alm_RaiseLimitAlarm(channel, w, (w & CST_WARNING_HIGH) ? a.HighAlarmPriority : a.LowAlarmPriority, names.computer,
                        names.user, &v);

  w = alm_PutAlarm(w, before, enabled ? alm_AlarmLevel(a, f, v, before) : ALM_LEVEL_NONE);
  w = alm_SendStateAlarms(channel, r, f, true, w, before, names, &v);

  w = alm_PutEvent(w, enabled ? alm_EventLevel(a, f, v) : ALM_LEVEL_NONE);
  alm_CountEventChange(channel, w, before, force || (f & CHAN_AW_EVENT_ENABLE));
  return w;
}
