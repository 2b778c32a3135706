// This device's records as the extension library describes them: the device
// configuration record and the channel hardware block.
#pragma once
#include <cstddef>
#include <cstdint>

#include "record/rec_type.h"

enum : int { EX_DEVICE_CONFIG_SIZE = 704, EX_CHANNEL_HW_SIZE = 8, EX_PUMP_VALUE_COUNT = 249, EX_COM_PORT_SIZE = 7 };

// Serial-port parity values, as they reach the port's control block.
enum : uint8_t { EX_PARITY_NONE = 0, EX_PARITY_ODD = 1, EX_PARITY_EVEN = 2, EX_PARITY_MARK = 3, EX_PARITY_SPACE = 4 };

// Analogue pump values are 180 + the scanner's analogue value index (1-72).
enum : uint32_t { EX_ANALOGUE_VALUE_BASE = 180 };

struct DeviceConfig {
  uint32_t ScanRate;                // milliseconds
  uint32_t BaudRate;
  char ComPort[EX_COM_PORT_SIZE];   // "COM1:"; empty: "COM%d:" with the instance
  uint8_t unused15;
  uint32_t Parity;                  // ParityId in the low byte
  uint32_t DataBits;
  uint8_t unused24[EX_DEVICE_CONFIG_SIZE - 24];
};
static_assert(sizeof(DeviceConfig) == EX_DEVICE_CONFIG_SIZE);
static_assert(offsetof(DeviceConfig, BaudRate) == 4 && offsetof(DeviceConfig, ComPort) == 8);
static_assert(offsetof(DeviceConfig, Parity) == 16 && offsetof(DeviceConfig, DataBits) == 20);

struct ChannelHwRecord {
  uint32_t Pump;   // 1-8
  uint32_t Value;  // PumpValueId in the low byte
};
static_assert(sizeof(ChannelHwRecord) == EX_CHANNEL_HW_SIZE && offsetof(ChannelHwRecord, Value) == 4);

extern const RecordIdEntry ex_ParityNames[];
extern const RecordIdEntry ex_PumpValueNames[EX_PUMP_VALUE_COUNT + 1];
extern const RecordType ex_ParityIdType;
extern const RecordType ex_PumpValueIdType;
extern const RecordType ex_DeviceConfigType;
extern const RecordType ex_ChannelHwRecordType;
