// A stand-in extension library that supports XML (Ex_DoXml), describing a
// device record and a channel hardware block with names that are XML names.
// Analogue inputs and outputs export value index + 180 and import it back.
// The "checked" variant also refuses enabled channels without a pump; the
// "extras" variant adds extra blocks to the channels and the device; the
// "mixed" one keeps both layouts in analogue input files. Each copy logs its
// loading and unloading to the file CFG_TEST_LOG names.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extension/ex_types.h"
#include "framework/binding/ext_block.h"
#include "record/structs_types.h"

#define TL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const RecordType kComPortType = structs_MakeFixedStringType(EX_COM_PORT_SIZE);

const RecordField kConfigFields[] = {
    STRUCTS_FIELD(DeviceConfig, ScanRate, "ScanRate", UInt32Type),
    STRUCTS_FIELD(DeviceConfig, BaudRate, "BaudRate", UInt32Type),
    STRUCTS_FIELD(DeviceConfig, ComPort, "ComPort", kComPortType),
    STRUCTS_FIELD(DeviceConfig, Parity, "Parity", ex_ParityIdType),
    STRUCTS_FIELD(DeviceConfig, DataBits, "DataBits", UInt32Type),
    STRUCTS_FIELD_END,
};
const RecordType kConfigType = structs_MakeStructureType(EX_DEVICE_CONFIG_SIZE, kConfigFields);

const RecordField kHwFields[] = {
    STRUCTS_FIELD(ChannelHwRecord, Pump, "Pump", UInt32Type),
    STRUCTS_FIELD(ChannelHwRecord, Value, "Value", ex_PumpValueIdType),
    STRUCTS_FIELD_END,
};
const RecordType kHwType = structs_MakeStructureType(EX_CHANNEL_HW_SIZE, kHwFields);

void Log(const char *what) {
  const char *file = getenv("CFG_TEST_LOG");
  if (!file) return;
  if (FILE *f = fopen(file, "a")) {
    fprintf(f, "%s %s\n", what, TESTLIB_MARKER);
    fclose(f);
  }
}
__attribute__((constructor)) void Loaded() { Log("load"); }
__attribute__((destructor)) void Unloaded() { Log("unload"); }

enum : uint32_t { kRecordSize = 216, kTypeOffset = 24, kAnalogueValueOffset = 192 };

bool AnalogueValue(const ExtBlock *b) {
  if (!b || !b->data || b->size < kRecordSize) return false;
  uint8_t type = static_cast<const uint8_t *>(b->data)[kTypeOffset];
  return type == 0 || type == 2;
}

void AddToValue(ExtBlock *b, int32_t delta) {
  uint8_t *r = static_cast<uint8_t *>(b->data);
  uint32_t v;
  memcpy(&v, r + kAnalogueValueOffset, sizeof v);
  v = static_cast<uint32_t>(static_cast<int32_t>(v) + delta);
  memcpy(r + kAnalogueValueOffset, &v, sizeof v);
}

}  // namespace

TL_EXPORT void Ex_DoXml(void) {}
TL_EXPORT const RecordType *Ex_Get_Config_Type(const void *, uint32_t) { return &kConfigType; }
TL_EXPORT const RecordType *Ex_Get_Channel_Hw_Type(int32_t, int32_t, const void *) { return &kHwType; }
TL_EXPORT void *Ex_Undecorate_Channel_Hw(int32_t, int32_t, ExtBlock *block) {
  if (AnalogueValue(block)) AddToValue(block, static_cast<int32_t>(EX_ANALOGUE_VALUE_BASE));
  return block ? block->data : nullptr;
}
TL_EXPORT void Ex_Decorate_Channel_Hw(int32_t, int32_t, ExtBlock *block) {
  if (!AnalogueValue(block)) return;
  uint32_t v;
  memcpy(&v, static_cast<uint8_t *>(block->data) + kAnalogueValueOffset, sizeof v);
  if (v > EX_ANALOGUE_VALUE_BASE) AddToValue(block, -static_cast<int32_t>(EX_ANALOGUE_VALUE_BASE));
}

#ifdef TESTLIB_MIXED
TL_EXPORT int32_t Ex_Get_Mixed_Channel_Type(void) { return 1; }
#endif

#ifdef TESTLIB_CHECKED
TL_EXPORT int32_t Ex_Validate_Chan(const char *, const void *record, char *error, int32_t size) {
  const uint8_t *r = static_cast<const uint8_t *>(record);
  uint32_t pump;
  memcpy(&pump, r + ((r[kTypeOffset] & 1) ? 192 : 188), sizeof pump);
  if (!(r[28] & 0x01) || pump != 0) return 0;
  snprintf(error, static_cast<size_t>(size), "<Pump> must name a pump");
  return -1;
}
#endif

#ifdef TESTLIB_EXTRAS
// Each channel carries a 12-byte extra block; the device one of 16 bytes,
// stored 4 bytes into its file.
namespace {
struct ChannelExtra {
  uint32_t Scale;
  char Label[8];
};
struct DeviceExtra {
  char Site[16];
};
const RecordType kLabelType = structs_MakeFixedStringType(8);
const RecordType kSiteType = structs_MakeFixedStringType(16);
const RecordField kChannelExtraFields[] = {
    STRUCTS_FIELD(ChannelExtra, Scale, "Scale", UInt32Type),
    STRUCTS_FIELD(ChannelExtra, Label, "Label", kLabelType),
    STRUCTS_FIELD_END,
};
const RecordField kDeviceExtraFields[] = {STRUCTS_FIELD(DeviceExtra, Site, "Site", kSiteType), STRUCTS_FIELD_END};
const RecordType kChannelExtraType = structs_MakeStructureType(sizeof(ChannelExtra), kChannelExtraFields);
const RecordType kDeviceExtraType = structs_MakeStructureType(sizeof(DeviceExtra), kDeviceExtraFields);
}  // namespace

TL_EXPORT const RecordType *Ex_Get_Channel_Extra_Type(int32_t, int32_t, const void *) { return &kChannelExtraType; }
TL_EXPORT uint32_t Ex_Get_Channel_Extra_Size(int32_t, int32_t, const void *, const void *) {
  return sizeof(ChannelExtra);
}
TL_EXPORT const RecordType *Ex_Get_Config_Extra_Type(const void *, uint32_t, const void *, uint32_t) {
  return &kDeviceExtraType;
}
TL_EXPORT uint32_t Ex_Get_Config_Extra_FileOffset(const void *, uint32_t) { return 4; }
#endif
