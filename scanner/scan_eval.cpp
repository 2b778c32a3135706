#include "scanner/scan_eval.h"

#include <cmath>
#include <cstring>

#include "framework/alarms/alm_alarms.h"
#include "framework/shm/shm_areas.h"
#include "framework/time/tm_time.h"
#include "scanner/scan_state.h"

namespace {

// Bits the server owns: carried from the published word into each evaluation.
const uint32_t kShared = CST_RAISED_AT_ONCE | CST_ALARM_ANNOUNCED | CST_SERVER_0100 | CST_SERVER_1000;
const uint32_t kWarnBoth = CST_WARNING | CST_WARNING_HIGH;
const uint32_t kAlarmHigh = CST_ALARM | CST_ALARM_HIGH;

// The parameters of the state alarm that the new word raises.
struct AlarmParams {
  int delay, priority, driveCommon;
};

struct Channel {
  int t, i;
  const ChannelRecord *r;
  uint16_t f;       // flag word
  bool enabled, analogue, force;
  uint32_t w, o;    // new word, other word
  float v;          // analogue value (after scaling)
};

const char *Computer() { return g_scan.computerName; }
const char *User() { return g_scan.userName; }

bool IsOutput(int t) { return t == IO_AO || t == IO_DO; }

uint32_t TakeAnnounced(uint32_t w, uint32_t o) { return (w & ~CST_ALARM_ANNOUNCED) | (o & CST_ALARM_ANNOUNCED); }

// Returns false when the channel is done before the alarm and event steps.
bool EvaluateAnalogue(Channel &c) {
  const ChannelAnalogue &a = c.r->a;
  ScanTypeBuffers &b = g_scan.type[c.t];
  const uint16_t f = c.f;
  float v = b.workValues[c.i];
  if (!(c.w & CST_BAD) && !std::isfinite(v)) c.w |= CST_BAD;
  bool bad = c.w & CST_BAD;
  if (!bad) {
    float scaled = v;
    if ((f & CHAN_AW_SCALING_ENABLE) && c.t != IO_AO) scaled = tm_CheckedAdd(tm_CheckedMultiply(v, a.Gain), a.Offset);
    if (c.t == IO_AI && (f & CHAN_AW_REFERENCE_ENABLE)) scaled = tm_CheckedSubtract(scaled, b.zeroOffsets[c.i]);
    // A gain, offset or saved zero offset that is no number (a corrupt file)
    // makes no reading: the channel is bad, as for a reading that is none.
    if (std::isfinite(scaled)) {
      v = scaled;
      b.workValues[c.i] = v;
    } else {
      c.w |= CST_BAD;
      bad = true;
    }
  }
  c.v = v;

  // Change deadband against the value of the last crossing.
  uint32_t &previous = b.previous[c.i];
  if ((f & CHAN_AW_SIG_CHANGE_ENABLE) && !bad && previous != ALM_NO_VALUE) {
    float p;
    memcpy(&p, &previous, sizeof p);
    if (std::fabs(tm_CheckedSubtract(p, v)) >= std::fabs(a.SigChangeValue)) {
      c.w |= CST_VALUE;
      alm_SigChangeEvent(c.i);
      memcpy(&previous, &v, sizeof previous);
    } else {
      c.w &= ~CST_VALUE;
    }
  } else {
    c.w &= ~CST_VALUE;
    if (!bad && previous == ALM_NO_VALUE) memcpy(&previous, &v, sizeof previous);
  }

  // An unchanged channel keeps its states and sends nothing.
  bool otherBad = c.o & CST_BAD;
  if (!c.force && ((otherBad && bad) || (!otherBad && !bad && v == b.otherValues[c.i]))) return false;

  // Warnings.
  bool highPair = (f & CHAN_AW_HIGH_ALARM_ENABLE) && (f & CHAN_AW_HIGH_WARNING_ENABLE);
  bool lowPair = (f & CHAN_AW_LOW_ALARM_ENABLE) && (f & CHAN_AW_LOW_WARNING_ENABLE);
  if (bad) {
    c.w &= ~CST_WARNING;
  } else {
    b.changed = true;
    bool high = false, low = false;
    if (highPair)
      high = v >= a.HighWarningLimit ||
             ((f & CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE) && (c.o & kWarnBoth) == kWarnBoth &&
              v >= tm_CheckedSubtract(a.HighWarningLimit, tm_CheckedSubtract(a.HighAlarmLimit, a.HighAlarmDeadband)));
    if (!high && lowPair)
      low = v <= a.LowWarningLimit ||
            ((f & CHAN_AW_LOW_ALARM_DEADBAND_ENABLE) && (c.o & kWarnBoth) == CST_WARNING &&
             v <= tm_CheckedAdd(a.LowWarningLimit, tm_CheckedSubtract(a.LowAlarmDeadband, a.LowAlarmLimit)));
    if (high) c.w |= kWarnBoth;
    else if (low) c.w = (c.w | CST_WARNING) & ~CST_WARNING_HIGH;
    else c.w &= ~kWarnBoth;
  }
  uint32_t changedWarn = c.w ^ c.o;
  if (c.force || ((highPair || lowPair) && ((changedWarn & CST_WARNING) ||
                                            ((c.w & c.o & CST_WARNING) && (changedWarn & CST_WARNING_HIGH))))) {
    if (c.o & CST_WARNING) alm_ClearLimitAlarm(c.i, c.o, Computer(), User(), &v);
    if (c.w & CST_WARNING)
      alm_RaiseLimitAlarm(c.i, c.w, (c.w & CST_WARNING_HIGH) ? a.HighAlarmPriority : a.LowAlarmPriority, Computer(),
                          User(), bad ? nullptr : &v);
  }

  // Alarms: the deadbands are absolute levels.
  bool on = true;
  if (bad) {
    if ((f & CHAN_AW_ERROR_ALARM_ENABLE) && c.enabled) c.w = (c.w | CST_ALARM) & ~CST_ALARM_HIGH;
    else on = false;
  } else if ((f & CHAN_AW_HIGH_ALARM_ENABLE) &&
             (v >= a.HighAlarmLimit ||
              ((c.o & kAlarmHigh) == kAlarmHigh && (f & CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE) && v >= a.HighAlarmDeadband))) {
    c.w |= kAlarmHigh;
  } else if ((f & CHAN_AW_LOW_ALARM_ENABLE) &&
             (v <= a.LowAlarmLimit ||
              ((c.o & kAlarmHigh) == CST_ALARM && (f & CHAN_AW_LOW_ALARM_DEADBAND_ENABLE) && v <= a.LowAlarmDeadband))) {
    c.w = (c.w | CST_ALARM) & ~CST_ALARM_HIGH;
  } else {
    on = false;
  }
  c.w = on ? TakeAnnounced(c.w, c.o) : c.w & ~(CST_ALARM | CST_ALARM_ANNOUNCED);

  // Events.
  if ((f & CHAN_AW_EVENT_ENABLE) && !bad) {
    if (v >= a.HighEventLimit) c.w |= CST_EVENT | CST_EVENT_HIGH;
    else if (v <= a.LowEventLimit) c.w = (c.w | CST_EVENT) & ~CST_EVENT_HIGH;
    else c.w &= ~CST_EVENT;
  } else {
    c.w &= ~CST_EVENT;
  }
  return true;
}

bool EvaluateDigital(Channel &c) {
  const uint16_t f = c.f;
  bool bad = c.w & CST_BAD, otherBad = c.o & CST_BAD;
  if (!c.force && ((!bad && !otherBad && ((c.w ^ c.o) & CST_VALUE) == 0) || (bad && otherBad))) {
    c.w = c.o;
    return false;
  }
  if (!bad) g_scan.type[c.t].changed = true;
  uint32_t bit = c.w & CST_VALUE;
  uint32_t alarmState = (f & CHAN_DW_ALARM_STATE) ? 1u : 0u, eventState = (f & CHAN_DW_EVENT_STATE) ? 1u : 0u;
  if ((f & CHAN_DW_ALARM_ENABLE) && !bad && bit == alarmState)
    c.w = TakeAnnounced(((c.w | CST_ALARM) & ~CST_ALARM_HIGH) | (bit ? CST_ALARM_HIGH : 0u), c.o);
  else if (bad && (f & CHAN_DW_ERROR_ALARM_ENABLE) && c.enabled)
    c.w = TakeAnnounced((c.w | CST_ALARM) & ~CST_ALARM_HIGH, c.o);
  else
    c.w &= ~(CST_ALARM | CST_ALARM_ANNOUNCED);
  if ((f & CHAN_DW_EVENT_ENABLE) && !bad && bit == eventState)
    c.w = ((c.w | CST_EVENT) & ~CST_EVENT_HIGH) | (bit ? CST_EVENT_HIGH : 0u);
  else
    c.w &= ~CST_EVENT;
  return true;
}

AlarmParams ParamsOf(const Channel &c) {
  const uint16_t f = c.f;
  if (c.analogue) {
    const ChannelAnalogue &a = c.r->a;
    if (c.w & CST_BAD) return {a.ErrorAlarmDelay, a.ErrorAlarmPriority, (f & CHAN_AW_ERROR_ALARM_DRIVE_COMMON) != 0};
    if (c.w & CST_ALARM_HIGH) return {a.HighAlarmDelay, a.HighAlarmPriority, (f & CHAN_AW_HIGH_ALARM_DRIVE_COMMON) != 0};
    return {a.LowAlarmDelay, a.LowAlarmPriority, (f & CHAN_AW_LOW_ALARM_DRIVE_COMMON) != 0};
  }
  const ChannelDigital &d = c.r->d;
  if (c.w & CST_BAD) return {d.ErrorAlarmDelay, d.ErrorAlarmPriority, (f & CHAN_DW_ERROR_ALARM_DRIVE_COMMON) != 0};
  return {d.AlarmDelay, d.AlarmPriority, (f & CHAN_DW_ALARM_DRIVE_COMMON) != 0};
}

void AlarmMessages(Channel &c) {
  uint32_t d = c.w ^ c.o;
  if (!((d & CST_ALARM) || ((c.w & c.o & CST_ALARM) && (d & (CST_ALARM_HIGH | CST_BAD))))) return;
  const float *value = c.analogue ? &c.v : nullptr;
  if (c.o & CST_ALARM) alm_ClearStateAlarm(c.i, c.o, Computer(), User(), value);
  if (!(c.w & CST_ALARM)) return;
  AlarmParams p = ParamsOf(c);
  if (p.delay == 0) c.w |= CST_ALARM_ANNOUNCED;
  else c.w &= ~CST_ALARM_ANNOUNCED;
  alm_RaiseStateAlarm(c.i, c.w, p.driveCommon, p.priority, p.delay, Computer(), User(),
                      (c.w & CST_BAD) ? nullptr : value);
  if (p.delay == 0) c.w |= CST_RAISED_AT_ONCE;
}

void EventCounts(const Channel &c) {
  bool enabled = c.analogue ? (c.f & CHAN_AW_EVENT_ENABLE) : (c.f & CHAN_DW_EVENT_ENABLE);
  if (!c.force && !enabled) return;
  uint32_t d = c.w ^ c.o;
  if (!((d & CST_EVENT) || ((c.w & c.o & CST_EVENT) && (d & CST_EVENT_HIGH)))) return;
  if (c.o & CST_EVENT) alm_EventOff(c.i);
  if (c.w & CST_EVENT) alm_EventOn(c.i);
}

}  // namespace

void scan_EvaluateChannel(int t, int i, bool force) {
  ScanTypeBuffers &b = g_scan.type[t];
  Channel c;
  c.t = t;
  c.i = i;
  c.r = &b.table[i];
  c.f = chan_FlagWord(c.r);
  c.force = force;
  c.v = 0.0f;
  // The area's word is the other word of an input and the working word of an output.
  if (IsOutput(t)) b.otherStatus[i] = (b.otherStatus[i] & ~kShared) | (b.workStatus[i] & kShared);
  else b.workStatus[i] = (b.workStatus[i] & ~kShared) | (b.otherStatus[i] & kShared);
  c.w = b.workStatus[i];
  c.o = b.otherStatus[i];
  // The layout follows the area's kind, so an analogue channel always has its value arrays.
  c.analogue = b.workValues != nullptr;
  c.enabled = c.f & CHAN_AW_ENABLE;  // the same bit in both layouts
  if (!c.enabled) {
    c.w |= CST_BAD;
    if (!force) {
      b.workStatus[i] = c.w;
      return;
    }
  }
  if (c.analogue) c.w |= CST_ANALOGUE;
  else c.w &= ~CST_ANALOGUE;
  bool go = c.analogue ? EvaluateAnalogue(c) : EvaluateDigital(c);
  if (go) {
    AlarmMessages(c);
    EventCounts(c);
  }
  b.workStatus[i] = c.w;
}
