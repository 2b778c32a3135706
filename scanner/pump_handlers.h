// The device-specific handlers, one entry per I/O type, and the rule that
// turns the pump line's results into the driver's status text.
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"
#include "framework/shm/shm_tables.h"

typedef int (*PumpInitHandler)(uint8_t *config, int count, ChannelRecord *table);
// 0 values read, -1 failure (the pass fails, the device is initialised
// again), 2 nothing to evaluate.
typedef int (*PumpReadHandler)(uint8_t *config, int count, ChannelRecord *table, uint32_t *status, float *values);

extern PumpInitHandler InitHandlerTable[IO_TYPE_COUNT];
extern PumpReadHandler ReadHandlerTable[IO_TYPE_COUNT];

// Analogue and digital inputs: the only types this device has.
int pump_InitAnalogInputs(uint8_t *config, int count, ChannelRecord *table);
int pump_InitDigitalInputs(uint8_t *config, int count, ChannelRecord *table);
// The digital handler runs first in every pass: the bulk queries of every
// pump with analogue channels, then one query per digital channel.
int pump_ReadDigitalInputs(uint8_t *config, int count, ChannelRecord *table, uint32_t *status, float *values);
// Values from the bulk replies, or one query per channel. Never fails the pass.
int pump_ReadAnalogInputs(uint8_t *config, int count, ChannelRecord *table, uint32_t *status, float *values);

// The other types refuse (-1).
int pump_InitAnalogOutputs(uint8_t *config, int count, ChannelRecord *table);
int pump_InitDigitalOutputs(uint8_t *config, int count, ChannelRecord *table);
int pump_InitCounters(uint8_t *config, int count, ChannelRecord *table);
int pump_ReadAnalogOutputs(uint8_t *config, int count, ChannelRecord *table, uint32_t *status, float *values);
int pump_ReadDigitalOutputs(uint8_t *config, int count, ChannelRecord *table, uint32_t *status, float *values);
int pump_ReadCounters(uint8_t *config, int count, ChannelRecord *table, uint32_t *status, float *values);

int pump_ResetCounters(uint8_t *config, int count, ChannelRecord *table);
int pump_DeviceReady(void);
int pump_LoadPathDescs(DeviceRecord *record);

// The channel's pump number and value index from its hardware block: the
// analogue position for AI, the digital one for DI.
uint32_t pump_ChannelPump(const ChannelRecord *r, bool digital);
uint32_t pump_ChannelValue(const ChannelRecord *r, bool digital);

// Forgets the handler state and the bulk replies (a new device or test).
void pump_ResetState(void);
