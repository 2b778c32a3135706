// Saved values of outputs and zero offsets under TSQ_SAVED_VALUES.
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"

int sav_ReadValues(const char *folder, int kind, int byTag, void *values, const ChannelRecord *table,
                   int32_t count);
int sav_WriteValues(const char *folder, int kind, const void *values, const ChannelRecord *table, int32_t count);
