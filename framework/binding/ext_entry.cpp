// The optional entry points of an extension library and what the callers do
// without them.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "framework/binding/ext_binding.h"
#include "record/record.h"
#include "framework/xml/xml_error.h"

namespace {

struct EntryName {
  const char *name;
  size_t offset;
};

#define EXT_ENTRY(member) {"Ex_" #member, offsetof(ExtEntryPoints, member)}
const EntryName kEntries[] = {
    EXT_ENTRY(Get_Config_Type),         EXT_ENTRY(Decorate_Config),
    EXT_ENTRY(Decorated_Config_Size),   EXT_ENTRY(Undecorate_Config),
    EXT_ENTRY(Get_Config_Extra_FileName), EXT_ENTRY(Get_Config_Extra_FileOffset),
    EXT_ENTRY(Get_Config_Extra_Type),   EXT_ENTRY(Decorate_Config_Extra),
    EXT_ENTRY(Undecorate_Config_Extra), EXT_ENTRY(Validate_Device),
    EXT_ENTRY(Validate_Device_Extra),   EXT_ENTRY(DoXml),
    EXT_ENTRY(Get_Config_Port),         EXT_ENTRY(Get_Channel_Hw_Type),
    EXT_ENTRY(Decorate_Channel_Hw),     EXT_ENTRY(Undecorate_Channel_Hw),
    EXT_ENTRY(Get_Channel_Extra_FileName), EXT_ENTRY(Get_Channel_Extra_FileOffset),
    EXT_ENTRY(Get_Channel_Extra_Type),  EXT_ENTRY(Get_Channel_Extra_Size),
    EXT_ENTRY(Get_Channel_Extra_Struct), EXT_ENTRY(Decorate_Channel_Extra),
    EXT_ENTRY(Undecorate_Channel_Extra), EXT_ENTRY(Validate_Chan),
    EXT_ENTRY(Validate_Chan_Extra),     EXT_ENTRY(ValidateChanWithConfig),
    EXT_ENTRY(Get_Mixed_Channel_Type),
};
#undef EXT_ENTRY
static_assert(sizeof kEntries / sizeof kEntries[0] == sizeof(ExtEntryPoints) / sizeof(void *));

const RecordType kAnalogueHwType = structs_MakeFixedDataType(16);
const RecordType kDigitalHwType = structs_MakeFixedDataType(24);

// After a decorate or undecorate call: a block the entry point put in replaces
// the caller's bytes (as far as they reach) and is freed.
void TakeBack(ExtBlock &block, void *data, uint32_t size) {
  if (!block.allocated) return;
  if (block.data && block.data != data) memcpy(data, block.data, block.size < size ? block.size : size);
  if (block.data != data) free(block.data);
  block = ExtBlock{size, data, 0};
}

int Checked(int32_t rc, char *error) {
  error[EXT_ERROR_MAX - 1] = '\0';
  if (rc != -1) return 0;
  xml_SetError(-1, error);
  return -1;
}

}  // namespace

int ext_BindEntryPoints(OsModuleHandle module, ExtEntryPoints *eps) {
  if (!eps) return 0;
  memset(eps, 0, sizeof *eps);
  if (!module) return 0;
  int bound = 0;
  for (const EntryName &e : kEntries) {
    void *p = os_GetProcAddress(module, e.name);
    memcpy(reinterpret_cast<char *>(eps) + e.offset, &p, sizeof p);
    if (p) ++bound;
  }
  return bound;
}

const RecordType *ext_ConfigType(const ExtEntryPoints *eps, const void *record, uint32_t size) {
  return eps->Get_Config_Type ? eps->Get_Config_Type(record, size) : nullptr;
}

uint32_t ext_DecoratedConfigSize(const ExtEntryPoints *eps, uint32_t size) {
  return eps->Decorated_Config_Size ? eps->Decorated_Config_Size(size) : size;
}

void ext_DecorateConfig(const ExtEntryPoints *eps, void *parsed, uint32_t parsedSize, void *work, uint32_t workSize) {
  if (!eps->Decorate_Config) {
    if (parsed != work) memcpy(work, parsed, parsedSize < workSize ? parsedSize : workSize);
    return;
  }
  ExtBlock block{parsedSize, parsed, 0};
  eps->Decorate_Config(&block, work);
  TakeBack(block, parsed, parsedSize);
}

void ext_UndecorateConfig(const ExtEntryPoints *eps, void *record, uint32_t size) {
  if (!eps->Undecorate_Config) return;
  ExtBlock block{size, record, 0};
  eps->Undecorate_Config(&block);
  TakeBack(block, record, size);
}

uint32_t ext_ConfigExtraFileOffset(const ExtEntryPoints *eps, const void *extra, uint32_t extraSize) {
  return eps->Get_Config_Extra_FileOffset ? eps->Get_Config_Extra_FileOffset(extra, extraSize) : 0;
}

const RecordType *ext_ConfigExtraType(const ExtEntryPoints *eps, const void *record, uint32_t size, const void *extra,
                                      uint32_t extraSize) {
  return eps->Get_Config_Extra_Type ? eps->Get_Config_Extra_Type(record, size, extra, extraSize) : nullptr;
}

void ext_DecorateConfigExtra(const ExtEntryPoints *eps, const void *record, uint32_t size, void *extra,
                             uint32_t extraSize) {
  if (!eps->Decorate_Config_Extra) return;
  ExtBlock block{extraSize, extra, 0};
  eps->Decorate_Config_Extra(record, size, &block);
  TakeBack(block, extra, extraSize);
}

void ext_UndecorateConfigExtra(const ExtEntryPoints *eps, const void *record, uint32_t size, void *extra,
                               uint32_t extraSize) {
  if (!eps->Undecorate_Config_Extra) return;
  ExtBlock block{extraSize, extra, 0};
  eps->Undecorate_Config_Extra(record, size, &block);
  TakeBack(block, extra, extraSize);
}

int ext_ValidateDevice(const ExtEntryPoints *eps, const char *present, const void *record) {
  if (!eps->Validate_Device) return 0;
  char error[EXT_ERROR_MAX] = "";
  return Checked(eps->Validate_Device(present, record, error, sizeof error), error);
}

int ext_ValidateDeviceExtra(const ExtEntryPoints *eps, const char *present, const void *record, const void *extra,
                            uint32_t extraSize) {
  if (!eps->Validate_Device_Extra) return 0;
  char error[EXT_ERROR_MAX] = "";
  return Checked(eps->Validate_Device_Extra(present, record, extra, extraSize, error, sizeof error), error);
}

int ext_DoesXml(const ExtEntryPoints *eps) { return eps->DoXml ? 1 : 0; }

const RecordType *ext_DefaultChannelHwType(int32_t kind) { return (kind & 1) ? &kDigitalHwType : &kAnalogueHwType; }

const RecordType *ext_ChannelHwType(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record) {
  const RecordType *type = eps->Get_Channel_Hw_Type ? eps->Get_Channel_Hw_Type(kind, channel, record) : nullptr;
  return type ? type : ext_DefaultChannelHwType(kind);
}

void ext_DecorateChannelHw(const ExtEntryPoints *eps, int32_t kind, int32_t channel, void *record) {
  if (!eps->Decorate_Channel_Hw) return;
  ExtBlock block{216, record, 0};
  eps->Decorate_Channel_Hw(kind, channel, &block);
  TakeBack(block, record, 216);
}

void ext_UndecorateChannelHw(const ExtEntryPoints *eps, int32_t kind, int32_t channel, void *record) {
  if (!eps->Undecorate_Channel_Hw) return;
  ExtBlock block{216, record, 0};
  eps->Undecorate_Channel_Hw(kind, channel, &block);
  TakeBack(block, record, 216);
}

int ext_ChannelHasExtra(const ExtEntryPoints *eps) {
  return eps->Get_Channel_Extra_Type && eps->Get_Channel_Extra_Size ? 1 : 0;
}

const RecordType *ext_ChannelExtraType(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record) {
  return ext_ChannelHasExtra(eps) ? eps->Get_Channel_Extra_Type(kind, channel, record) : nullptr;
}

uint32_t ext_ChannelExtraSize(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record,
                              const void *extra) {
  return ext_ChannelHasExtra(eps) ? eps->Get_Channel_Extra_Size(kind, channel, record, extra) : 0;
}

void *ext_ChannelExtraStruct(const ExtEntryPoints *eps, int32_t kind, void *callerBlock) {
  void *scratch = eps->Get_Channel_Extra_Struct ? eps->Get_Channel_Extra_Struct(kind) : nullptr;
  return scratch ? scratch : callerBlock;
}

void ext_DecorateChannelExtra(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record,
                              void *extra, uint32_t size) {
  if (!eps->Decorate_Channel_Extra) return;
  ExtBlock block{size, extra, 0};
  eps->Decorate_Channel_Extra(kind, channel, record, &block);
  TakeBack(block, extra, size);
}

void ext_UndecorateChannelExtra(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record,
                                void *extra, uint32_t size) {
  if (!eps->Undecorate_Channel_Extra) return;
  ExtBlock block{size, extra, 0};
  eps->Undecorate_Channel_Extra(kind, channel, record, &block);
  TakeBack(block, extra, size);
}

int ext_ValidateChan(const ExtEntryPoints *eps, const char *present, const void *record) {
  if (!eps->Validate_Chan) return 0;
  char error[EXT_ERROR_MAX] = "";
  return Checked(eps->Validate_Chan(present, record, error, sizeof error), error);
}

int ext_ValidateChanExtra(const ExtEntryPoints *eps, const char *present, const void *record, const void *extra,
                          uint32_t remaining) {
  if (!eps->Validate_Chan_Extra) return 0;
  char error[EXT_ERROR_MAX] = "";
  return Checked(eps->Validate_Chan_Extra(present, record, extra, remaining, error, sizeof error), error);
}

int ext_MixedChannelType(const ExtEntryPoints *eps) {
  return eps->Get_Mixed_Channel_Type && eps->Get_Mixed_Channel_Type() == 1 ? 1 : 0;
}
