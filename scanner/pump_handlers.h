// The device-specific handlers, one entry per I/O type.
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"
#include "framework/shm/shm_tables.h"

typedef int (*PumpInitHandler)(uint8_t *config, int count, ChannelRecord *table);
typedef int (*PumpReadHandler)(uint8_t *config, int count, ChannelRecord *table, uint32_t *status, float *values);

extern PumpInitHandler InitHandlerTable[IO_TYPE_COUNT];
extern PumpReadHandler ReadHandlerTable[IO_TYPE_COUNT];

int pump_ResetCounters(uint8_t *config, int count, ChannelRecord *table);
int pump_DeviceReady(void);
int pump_LoadPathDescs(DeviceRecord *record);
