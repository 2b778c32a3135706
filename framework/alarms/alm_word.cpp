#include "framework/alarms/alm_word.h"

#include "framework/alarms/alm_alarms.h"

AlmAlarmParams alm_AlarmParamsOf(const ChannelRecord *r, uint16_t f, uint32_t w, bool analogue) {
  if (analogue) {
    const ChannelAnalogue &a = r->a;
    if (w & CST_BAD) return {a.ErrorAlarmDelay, a.ErrorAlarmPriority, (f & CHAN_AW_ERROR_ALARM_DRIVE_COMMON) != 0};
    if (w & CST_ALARM_HIGH) return {a.HighAlarmDelay, a.HighAlarmPriority, (f & CHAN_AW_HIGH_ALARM_DRIVE_COMMON) != 0};
    return {a.LowAlarmDelay, a.LowAlarmPriority, (f & CHAN_AW_LOW_ALARM_DRIVE_COMMON) != 0};
  }
  const ChannelDigital &d = r->d;
  if (w & CST_BAD) return {d.ErrorAlarmDelay, d.ErrorAlarmPriority, (f & CHAN_DW_ERROR_ALARM_DRIVE_COMMON) != 0};
  return {d.AlarmDelay, d.AlarmPriority, (f & CHAN_DW_ALARM_DRIVE_COMMON) != 0};
}

uint32_t alm_SendStateAlarms(int channel, const ChannelRecord *r, uint16_t f, bool analogue, uint32_t w,
                             uint32_t before, const AlmNames &names, const float *value) {
  if (!alm_AlarmsDiffer(w, before)) return w;
  if (before & CST_ALARM) alm_ClearStateAlarm(channel, before, names.computer, names.user, value);
  if (!(w & CST_ALARM)) return w;
  AlmAlarmParams p = alm_AlarmParamsOf(r, f, w, analogue);
  if (p.delay == 0) w |= CST_ALARM_ANNOUNCED;
  else w &= ~CST_ALARM_ANNOUNCED;
  alm_RaiseStateAlarm(channel, w, p.driveCommon, p.priority, p.delay, names.computer, names.user,
                      (w & CST_BAD) ? nullptr : value);
  if (p.delay == 0) w |= CST_RAISED_AT_ONCE;
  return w;
}

void alm_CountEventChange(int channel, uint32_t w, uint32_t before, bool counted) {
  if (!counted || !alm_EventsDiffer(w, before)) return;
  if (before & CST_EVENT) alm_EventOff(channel);
  if (w & CST_EVENT) alm_EventOn(channel);
}
