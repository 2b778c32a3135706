#include "scanner/pump_handlers.h"

#include <cerrno>

#include "framework/shm/shm_tables.h"
#include "platform/os_error.h"

// This device has no outputs and no counters.
int pump_InitAnalogOutputs(uint8_t *, int, ChannelRecord *) { return errno = OS_ERROR_NOT_SUPPORTED, -1; }
int pump_InitDigitalOutputs(uint8_t *, int, ChannelRecord *) { return errno = OS_ERROR_NOT_SUPPORTED, -1; }
int pump_InitCounters(uint8_t *, int, ChannelRecord *) { return errno = OS_ERROR_NOT_SUPPORTED, -1; }
int pump_ReadAnalogOutputs(uint8_t *, int, ChannelRecord *, uint32_t *, float *) {
  return errno = OS_ERROR_NOT_SUPPORTED, -1;
}
int pump_ReadDigitalOutputs(uint8_t *, int, ChannelRecord *, uint32_t *, float *) {
  return errno = OS_ERROR_NOT_SUPPORTED, -1;
}
int pump_ReadCounters(uint8_t *, int, ChannelRecord *, uint32_t *, float *) { return errno = OS_ERROR_NOT_SUPPORTED, -1; }

PumpInitHandler InitHandlerTable[IO_TYPE_COUNT] = {pump_InitAnalogInputs, pump_InitDigitalInputs,
                                                   pump_InitAnalogOutputs, pump_InitDigitalOutputs, pump_InitCounters};
PumpReadHandler ReadHandlerTable[IO_TYPE_COUNT] = {pump_ReadAnalogInputs, pump_ReadDigitalInputs,
                                                   pump_ReadAnalogOutputs, pump_ReadDigitalOutputs, pump_ReadCounters};

int pump_ResetCounters(uint8_t *, int, ChannelRecord *) { return errno = OS_ERROR_NOT_SUPPORTED, -1; }

int pump_DeviceReady(void) { return 0; }

int pump_LoadPathDescs(DeviceRecord *) {
  shm_OpenStatusTable();
  return 0;
}
