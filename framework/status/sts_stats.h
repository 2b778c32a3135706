// Communication statistics channels of a device.
#pragma once
#include <cstdint>

#include "framework/shm/shm_tables.h"

int sts_InitCommStats(DeviceRecord *record, const char *code);
void sts_FreeCommStats(void);

// Counter slots of a row (1-10): 1 status, 2 reset, 3-7 receive bytes,
// packets, time-outs, communication errors, CRC errors, 8-10 transmit bytes,
// packets, errors. Row 0 is the line, rows 1 and up one unit each.
enum : int {
  STS_SLOT_STATUS = 1,
  STS_SLOT_RESET = 2,
  STS_SLOT_RX_BYTES = 3,
  STS_SLOT_RX_PACKETS = 4,
  STS_SLOT_RX_TIMEOUTS = 5,
  STS_SLOT_RX_COMM_ERRORS = 6,
  STS_SLOT_RX_CRC_ERRORS = 7,
  STS_SLOT_TX_BYTES = 8,
  STS_SLOT_TX_PACKETS = 9,
  STS_SLOT_TX_ERRORS = 10,
};
void sts_AddCommCounter(int row, uint32_t amount, int slot);
void sts_AddReceiveBytes(int row, uint32_t amount);
void sts_AddReceivePackets(int row, uint32_t amount);
void sts_AddReceiveTimeouts(int row, uint32_t amount);
void sts_AddReceiveCommErrors(int row, uint32_t amount);
void sts_AddReceiveCrcErrors(int row, uint32_t amount);
void sts_AddTransmitBytes(int row, uint32_t amount);
void sts_AddTransmitPackets(int row, uint32_t amount);
void sts_AddTransmitErrors(int row, uint32_t amount);
// The counter of a row's slot as counted so far (0 for a row or slot outside).
uint32_t sts_GetCommCounter(int row, int slot);
