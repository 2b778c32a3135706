// The configuration tool's record of one device instance, as it hands it to
// the plug-in's dialog and print exports. Only these fields are the plug-in's
// business; the rest is the host's.
#pragma once
#include <cstddef>
#include <cstdint>

#include "extension/ex_types.h"
#include "framework/shm/io_types.h"

enum : int { CF_DEVICE_NAME_SIZE = 25, CF_FOLDER_NAME_SIZE = 13, CF_SERIAL_BYTES = 20 };

struct CfTypeEntry {
  char code[2];      // two-letter data-area code; both zero: no channels of the type
  uint16_t count;    // channel count
};

struct HostDeviceRecord {
  uint8_t host0[12];
  char name[CF_DEVICE_NAME_SIZE];     // 12: device name
  char folder[CF_FOLDER_NAME_SIZE];   // 37: configuration folder under TSQ_CURRENT_CONFIG
  CfTypeEntry types[IO_TYPE_COUNT];   // 50: in IoType order
  uint8_t host70[150];
  uint8_t config[EX_DEVICE_CONFIG_SIZE];  // 220: DeviceConfig; 224..243 the serial settings
};
static_assert(offsetof(HostDeviceRecord, name) == 12 && offsetof(HostDeviceRecord, folder) == 37);
static_assert(offsetof(HostDeviceRecord, types) == 50 && sizeof(CfTypeEntry) == 4);
static_assert(offsetof(HostDeviceRecord, config) == 220 && sizeof(HostDeviceRecord) == 924);
static_assert(offsetof(DeviceConfig, BaudRate) + CF_SERIAL_BYTES == offsetof(DeviceConfig, DataBits) + 4);

// The serial settings' working copy: the 20 bytes from DeviceConfig's BaudRate.
struct CfSerial {
  uint32_t BaudRate;
  char ComPort[8];
  int32_t Parity;
  uint32_t DataBits;
};
static_assert(sizeof(CfSerial) == CF_SERIAL_BYTES && offsetof(CfSerial, Parity) == 12);

inline uint8_t *cf_SerialBytes(HostDeviceRecord *r) { return r->config + offsetof(DeviceConfig, BaudRate); }

// A name field as a terminated text (an unterminated field is cut at its end).
void cf_FieldText(const char *field, size_t fieldSize, char *out, size_t outSize);
