#include "scanner/scan_eval.h"

#include <cmath>
#include <cstring>

#include "framework/alarms/alm_alarms.h"
#include "framework/alarms/alm_word.h"
#include "framework/shm/shm_areas.h"
#include "framework/time/tm_time.h"
#include "scanner/scan_state.h"

namespace {

// Bits the server owns: carried from the published word into each evaluation.
const uint32_t kShared = CST_RAISED_AT_ONCE | CST_ALARM_ANNOUNCED | CST_SERVER_0100 | CST_SERVER_1000;

// One channel under evaluation.
struct Channel {
  int type, index;
  const ChannelRecord *record;
  uint16_t flags;
  bool enabled, analogue, force;
  uint32_t word;    // the new word
  uint32_t before;  // the word of the last evaluation: what a change is measured against
  float value;      // analogue: the reading after scaling
};

AlmNames Names() { return {g_scan.computerName, g_scan.userName}; }

// The reading: bad when it is no number; scaled (not outputs) and less the
// saved zero offset (AI). Returns whether the channel is bad.
bool TakeReading(Channel &c) {
  const ChannelAnalogue &a = c.record->a;
  ScanTypeBuffers &b = g_scan.type[c.type];
  float v = b.workValues[c.index];
  if (!(c.word & CST_BAD) && !std::isfinite(v)) c.word |= CST_BAD;
  bool bad = c.word & CST_BAD;
  if (!bad) {
    float scaled = v;
    if ((c.flags & CHAN_AW_SCALING_ENABLE) && c.type != IO_AO)
      scaled = tm_CheckedAdd(tm_CheckedMultiply(v, a.Gain), a.Offset);
    if (c.type == IO_AI && (c.flags & CHAN_AW_REFERENCE_ENABLE)) scaled = tm_CheckedSubtract(scaled, b.zeroOffsets[c.index]);
    // A gain, offset or saved zero offset that is no number (a corrupt file)
    // makes no reading: the channel is bad, as for a reading that is none.
    if (std::isfinite(scaled)) {
      v = scaled;
      b.workValues[c.index] = v;
    } else {
      c.word |= CST_BAD;
      bad = true;
    }
  }
  c.value = v;
  return bad;
}

// The change deadband, against the value of the last crossing (the first
// good reading sets it).
void MoveChangeDeadband(Channel &c, bool bad) {
  uint32_t &previous = g_scan.type[c.type].previous[c.index];
  if ((c.flags & CHAN_AW_SIG_CHANGE_ENABLE) && !bad && previous != ALM_NO_VALUE) {
    float p;
    memcpy(&p, &previous, sizeof p);
    if (std::fabs(tm_CheckedSubtract(p, c.value)) >= std::fabs(c.record->a.SigChangeValue)) {
      c.word |= CST_VALUE;
      alm_SigChangeEvent(c.index);
      memcpy(&previous, &c.value, sizeof previous);
    } else {
      c.word &= ~CST_VALUE;
    }
  } else {
    c.word &= ~CST_VALUE;
    if (!bad && previous == ALM_NO_VALUE) memcpy(&previous, &c.value, sizeof previous);
  }
}

// Bad before and now, or good before and now with the same value.
bool AnalogueUnchanged(const Channel &c, bool bad) {
  bool badBefore = c.before & CST_BAD;
  return (badBefore && bad) || (!badBefore && !bad && c.value == g_scan.type[c.type].otherValues[c.index]);
}

// A bad channel loses its warning; the limit alarm is returned and raised
// again on any change of warning while a pair is enabled.
void EvaluateWarnings(Channel &c, bool bad) {
  const ChannelAnalogue &a = c.record->a;
  const uint16_t f = c.flags;
  if (bad) c.word &= ~CST_WARNING;
  else c.word = alm_PutWarning(c.word, alm_WarningLevel(a, f, c.value, c.before));
  bool paired = ((f & CHAN_AW_HIGH_ALARM_ENABLE) && (f & CHAN_AW_HIGH_WARNING_ENABLE)) ||
                ((f & CHAN_AW_LOW_ALARM_ENABLE) && (f & CHAN_AW_LOW_WARNING_ENABLE));
  if (!c.force && !(paired && alm_WarningsDiffer(c.word, c.before))) return;
  AlmNames n = Names();
  if (c.before & CST_WARNING) alm_ClearLimitAlarm(c.index, c.before, n.computer, n.user, &c.value);
  if (c.word & CST_WARNING)
    alm_RaiseLimitAlarm(c.index, c.word, (c.word & CST_WARNING_HIGH) ? a.HighAlarmPriority : a.LowAlarmPriority,
                        n.computer, n.user, bad ? nullptr : &c.value);
}

// A bad reading is in alarm (low side) when the channel is enabled and its
// error alarm on; a good one by the limits.
AlmLevel AnalogueAlarmLevel(const Channel &c, bool bad) {
  if (bad) return (c.flags & CHAN_AW_ERROR_ALARM_ENABLE) && c.enabled ? ALM_LEVEL_LOW : ALM_LEVEL_NONE;
  return alm_AlarmLevel(c.record->a, c.flags, c.value, c.before);
}

// Returns false when the channel is done before the alarm messages and event counts.
bool EvaluateAnalogue(Channel &c) {
  bool bad = TakeReading(c);
  MoveChangeDeadband(c, bad);
  // An unchanged channel keeps its states and sends nothing.
  if (!c.force && AnalogueUnchanged(c, bad)) return false;
  if (!bad) g_scan.type[c.type].changed = true;
  EvaluateWarnings(c, bad);
  c.word = alm_PutAlarm(c.word, c.before, AnalogueAlarmLevel(c, bad));
  c.word = alm_PutEvent(c.word, bad ? ALM_LEVEL_NONE : alm_EventLevel(c.record->a, c.flags, c.value));
  return true;
}

bool EvaluateDigital(Channel &c) {
  const uint16_t f = c.flags;
  bool bad = c.word & CST_BAD, badBefore = c.before & CST_BAD;
  if (!c.force && ((!bad && !badBefore && ((c.word ^ c.before) & CST_VALUE) == 0) || (bad && badBefore))) {
    c.word = c.before;
    return false;
  }
  if (!bad) g_scan.type[c.type].changed = true;
  uint32_t bit = c.word & CST_VALUE;
  AlmLevel alarm = alm_DigitalLevel((f & CHAN_DW_ALARM_ENABLE) && !bad, f & CHAN_DW_ALARM_STATE, bit);
  if (bad && (f & CHAN_DW_ERROR_ALARM_ENABLE) && c.enabled) alarm = ALM_LEVEL_LOW;
  c.word = alm_PutAlarm(c.word, c.before, alarm);
  c.word = alm_PutEvent(c.word, alm_DigitalLevel((f & CHAN_DW_EVENT_ENABLE) && !bad, f & CHAN_DW_EVENT_STATE, bit));
  return true;
}

}  // namespace

void scan_EvaluateChannel(int t, int i, bool force) {
  ScanTypeBuffers &b = g_scan.type[t];
  Channel c;
  c.type = t;
  c.index = i;
  c.record = &b.table[i];
  c.flags = chan_FlagWord(c.record);
  c.force = force;
  c.value = 0.0f;
  // The area's word is the other word of an input and the working word of an output.
  if (io_IsOutput(t)) b.otherStatus[i] = (b.otherStatus[i] & ~kShared) | (b.workStatus[i] & kShared);
  else b.workStatus[i] = (b.workStatus[i] & ~kShared) | (b.otherStatus[i] & kShared);
  c.word = b.workStatus[i];
  c.before = b.otherStatus[i];
  // The layout follows the area's kind, so an analogue channel always has its value arrays.
  c.analogue = b.workValues != nullptr;
  c.enabled = c.flags & CHAN_AW_ENABLE;  // the same bit in both layouts
  if (!c.enabled) {
    c.word |= CST_BAD;
    if (!force) {
      b.workStatus[i] = c.word;
      return;
    }
  }
  if (c.analogue) c.word |= CST_ANALOGUE;
  else c.word &= ~CST_ANALOGUE;
  if (c.analogue ? EvaluateAnalogue(c) : EvaluateDigital(c)) {
    c.word = alm_SendStateAlarms(c.index, c.record, c.flags, c.analogue, c.word, c.before, Names(),
                                 c.analogue ? &c.value : nullptr);
    bool counted = c.analogue ? (c.flags & CHAN_AW_EVENT_ENABLE) : (c.flags & CHAN_DW_EVENT_ENABLE);
    alm_CountEventChange(c.index, c.word, c.before, c.force || counted);
  }
  b.workStatus[i] = c.word;
}
