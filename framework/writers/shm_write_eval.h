// The evaluation of one written output channel by a writer that acts for
// the area: the new status word, with alarm messages and event counts sent
// in the current event pass (alm_BeginScanEvents).
#pragma once
#include <cstdint>

#include "framework/alarms/alm_word.h"
#include "framework/config/chan_record.h"

// channel from 0; word: the area's status word; value: 0 or 1.
uint32_t shm_EvaluateDigitalOutput(int channel, const ChannelRecord *r, uint32_t word, uint32_t value, bool force,
                                   const AlmNames &names);
// current: the area's value before the write.
uint32_t shm_EvaluateAnalogOutput(int channel, const ChannelRecord *r, uint32_t word, float current, float value,
                                  bool force, const AlmNames &names);
