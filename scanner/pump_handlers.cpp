#include "scanner/pump_handlers.h"

#include <cerrno>

#include "framework/shm/shm_tables.h"
#include "platform/os_error.h"

namespace {

// This device has analogue and digital inputs only: every other type refuses.
int Refuse(uint8_t *, int, ChannelRecord *) { return errno = OS_ERROR_NOT_SUPPORTED, -1; }
int RefuseRead(uint8_t *, int, ChannelRecord *, uint32_t *, float *) { return errno = OS_ERROR_NOT_SUPPORTED, -1; }

// Minimal input handlers until the pump protocol lands: nothing is polled.
int InitInputs(uint8_t *, int, ChannelRecord *) { return 0; }
int ReadInputs(uint8_t *, int, ChannelRecord *, uint32_t *, float *) { return 0; }

}  // namespace

PumpInitHandler InitHandlerTable[IO_TYPE_COUNT] = {InitInputs, InitInputs, Refuse, Refuse, Refuse};
PumpReadHandler ReadHandlerTable[IO_TYPE_COUNT] = {ReadInputs, ReadInputs, RefuseRead, RefuseRead, RefuseRead};

int pump_ResetCounters(uint8_t *, int, ChannelRecord *) { return errno = OS_ERROR_NOT_SUPPORTED, -1; }

int pump_DeviceReady(void) { return 0; }

int pump_LoadPathDescs(DeviceRecord *) {
  shm_OpenStatusTable();
  return 0;
}
