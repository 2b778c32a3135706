// The extension library's exports: the device configuration type, the channel
// hardware type and the undecoration of analogue channel values for export.
#include <cstring>

#include "extension/ex_types.h"
#include "framework/binding/ext_block.h"

#define EX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum : uint32_t { kChannelRecordSize = 216, kTypeOffset = 24, kAnalogueValueOffset = 192 };
enum : uint8_t { kKindAI = 0, kKindAO = 2 };

}  // namespace

EX_EXPORT const RecordType *Ex_Get_Config_Type(const void * /*record*/, uint32_t /*size*/) {
  return &ex_DeviceConfigType;
}

EX_EXPORT const RecordType *Ex_Get_Channel_Hw_Type(int32_t /*kind*/, int32_t /*channel*/, const void * /*record*/) {
  return &ex_ChannelHwRecordType;
}

// Analogue inputs and outputs hold the scanner's analogue value index; exported
// configurations name the pump value instead.
EX_EXPORT void *Ex_Undecorate_Channel_Hw(int32_t /*device*/, int32_t /*channel*/, ExtBlock *block) {
  if (!block || !block->data || block->size < kChannelRecordSize) return block ? block->data : nullptr;
  uint8_t *record = static_cast<uint8_t *>(block->data);
  if (record[kTypeOffset] == kKindAI || record[kTypeOffset] == kKindAO) {
    uint32_t value;
    memcpy(&value, record + kAnalogueValueOffset, sizeof value);
    value += EX_ANALOGUE_VALUE_BASE;
    memcpy(record + kAnalogueValueOffset, &value, sizeof value);
  }
  return record;
}
