// The driver's extension library: found by name at the start of each
// configuration operation and freed at its end. Every entry point is
// optional; the helpers below run the caller's built-in behaviour when one is
// missing (a NULL table entry).
#pragma once
#include <cstdint>

#include "framework/binding/ext_block.h"
#include "platform/os_env.h"

struct RecordType;

enum : int { EXT_ERROR_MAX = 256, EXT_PORT_MAX = 20, EXT_NAME_MAX = 260 };

// The driver name of a directory: its last component cut at the last
// underscore ("...\tnwll_3" gives "tnwll").
void ext_DriverName(const char *directory, char *out, uint32_t size);
// The library of a driver name: "%1.5s_ex.dll", after "dudi<number>" and
// "vantx<number>" are reduced to "dudi" and "vantx".
void ext_LibraryName(const char *driverName, char *out, uint32_t size);

// Finds and loads the extension library of the directory's driver: by the
// system's search, then in the binaries folder (TSQ_BIN), then through the
// processor's DATPROC.TXT line in the directory's parent ("custa_ex.dll" for
// processor type 2, "custd_ex.dll" otherwise, only for a valid line whose run
// field is not "run"). NULL when none loads, which is no error.
OsModuleHandle ext_LoadExtension(const char *directory);
// The first two steps alone, by a driver name.
OsModuleHandle ext_LoadExtensionByName(const char *driverName);
// A library file by the system's search, then in the binaries folder.
OsModuleHandle ext_LoadLibraryFile(const char *file);
void ext_FreeExtension(OsModuleHandle module);

// The entry points, with the arguments the hosts pass.
typedef const RecordType *ExGetConfigTypeFn(const void *record, uint32_t size);
typedef void ExDecorateConfigFn(ExtBlock *parsed, void *work);
typedef uint32_t ExDecoratedConfigSizeFn(uint32_t size);
typedef void ExUndecorateConfigFn(ExtBlock *block);
typedef uint32_t ExGetConfigExtraFileOffsetFn(const void *extra, uint32_t extraSize);
typedef const RecordType *ExGetConfigExtraTypeFn(const void *record, uint32_t size, const void *extra,
                                                 uint32_t extraSize);
typedef void ExDecorateConfigExtraFn(const void *record, uint32_t size, ExtBlock *block);
typedef int32_t ExValidateDeviceFn(const char *present, const void *record, char *error, int32_t errorSize);
typedef int32_t ExValidateDeviceExtraFn(const char *present, const void *record, const void *extra,
                                        uint32_t extraSize, char *error, int32_t errorSize);
typedef void ExGetConfigPortFn(const char *device, int32_t size, char *port);
typedef const RecordType *ExGetChannelHwTypeFn(int32_t kind, int32_t channel, const void *record);
typedef void ExDecorateChannelHwFn(int32_t kind, int32_t channel, ExtBlock *block);
typedef void *ExUndecorateChannelHwFn(int32_t kind, int32_t channel, ExtBlock *block);  // the record
typedef const RecordType *ExGetChannelExtraTypeFn(int32_t kind, int32_t channel, const void *record);
typedef uint32_t ExGetChannelExtraSizeFn(int32_t kind, int32_t channel, const void *record, const void *extra);
typedef void *ExGetChannelExtraStructFn(int32_t kind);
typedef void ExDecorateChannelExtraFn(int32_t kind, int32_t channel, const void *record, ExtBlock *block);
typedef int32_t ExValidateChanFn(const char *present, const void *record, char *error, int32_t errorSize);
typedef int32_t ExValidateChanExtraFn(const char *present, const void *record, const void *extra,
                                      uint32_t remaining, char *error, int32_t errorSize);
typedef int32_t ExValidateChanWithConfigFn(void *a1, void *a2, void *a3, void *a4, void *a5, void *a6, void *a7,
                                           char *error, int32_t errorSize);
typedef int32_t ExGetMixedChannelTypeFn(void);

struct ExtEntryPoints {
  ExGetConfigTypeFn *Get_Config_Type;
  ExDecorateConfigFn *Decorate_Config;
  ExDecoratedConfigSizeFn *Decorated_Config_Size;
  ExUndecorateConfigFn *Undecorate_Config;
  void *Get_Config_Extra_FileName;  // looked up, never called
  ExGetConfigExtraFileOffsetFn *Get_Config_Extra_FileOffset;
  ExGetConfigExtraTypeFn *Get_Config_Extra_Type;
  ExDecorateConfigExtraFn *Decorate_Config_Extra;
  ExDecorateConfigExtraFn *Undecorate_Config_Extra;
  ExValidateDeviceFn *Validate_Device;
  ExValidateDeviceExtraFn *Validate_Device_Extra;
  void *DoXml;  // presence only
  ExGetConfigPortFn *Get_Config_Port;
  ExGetChannelHwTypeFn *Get_Channel_Hw_Type;
  ExDecorateChannelHwFn *Decorate_Channel_Hw;
  ExUndecorateChannelHwFn *Undecorate_Channel_Hw;
  void *Get_Channel_Extra_FileName;    // looked up, never called
  void *Get_Channel_Extra_FileOffset;  // looked up, never called
  ExGetChannelExtraTypeFn *Get_Channel_Extra_Type;
  ExGetChannelExtraSizeFn *Get_Channel_Extra_Size;
  ExGetChannelExtraStructFn *Get_Channel_Extra_Struct;
  ExDecorateChannelExtraFn *Decorate_Channel_Extra;
  ExDecorateChannelExtraFn *Undecorate_Channel_Extra;
  ExValidateChanFn *Validate_Chan;
  ExValidateChanExtraFn *Validate_Chan_Extra;
  ExValidateChanWithConfigFn *ValidateChanWithConfig;
  ExGetMixedChannelTypeFn *Get_Mixed_Channel_Type;
};

// Looks up every entry point by name ("Ex_" + the member's name); missing
// ones stay NULL. A NULL module binds nothing. Returns the number bound.
int ext_BindEntryPoints(OsModuleHandle module, ExtEntryPoints *eps);

// Each helper calls its entry point when bound, else does what the callers do
// without it. Validation failures set the XML error to the returned text and
// return -1. Decorate and undecorate helpers work in place: a block that the
// entry point puts in is copied back (at most the caller's size) and freed.
const RecordType *ext_ConfigType(const ExtEntryPoints *eps, const void *record, uint32_t size);  // NULL: no fields
uint32_t ext_DecoratedConfigSize(const ExtEntryPoints *eps, uint32_t size);                     // size
// Turns the parsed record into the work record (missing: a plain copy).
void ext_DecorateConfig(const ExtEntryPoints *eps, void *parsed, uint32_t parsedSize, void *work, uint32_t workSize);
void ext_UndecorateConfig(const ExtEntryPoints *eps, void *record, uint32_t size);
uint32_t ext_ConfigExtraFileOffset(const ExtEntryPoints *eps, const void *extra, uint32_t extraSize);  // 0
const RecordType *ext_ConfigExtraType(const ExtEntryPoints *eps, const void *record, uint32_t size, const void *extra,
                                      uint32_t extraSize);  // NULL: no extra block
void ext_DecorateConfigExtra(const ExtEntryPoints *eps, const void *record, uint32_t size, void *extra,
                             uint32_t extraSize);
void ext_UndecorateConfigExtra(const ExtEntryPoints *eps, const void *record, uint32_t size, void *extra,
                               uint32_t extraSize);
int ext_ValidateDevice(const ExtEntryPoints *eps, const char *present, const void *record);
int ext_ValidateDeviceExtra(const ExtEntryPoints *eps, const char *present, const void *record, const void *extra,
                            uint32_t extraSize);
// 1 when XML files may be read and written (Ex_DoXml exists), else binary only.
int ext_DoesXml(const ExtEntryPoints *eps);
// The hardware block's type, or the plain 16-byte (analogue kinds) or 24-byte
// (digital kinds) data type.
const RecordType *ext_ChannelHwType(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record);
const RecordType *ext_DefaultChannelHwType(int32_t kind);
void ext_DecorateChannelHw(const ExtEntryPoints *eps, int32_t kind, int32_t channel, void *record);
void ext_UndecorateChannelHw(const ExtEntryPoints *eps, int32_t kind, int32_t channel, void *record);
// Channels carry extra blocks only when both the type and the size entry points exist.
int ext_ChannelHasExtra(const ExtEntryPoints *eps);
const RecordType *ext_ChannelExtraType(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record);
uint32_t ext_ChannelExtraSize(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record,
                              const void *extra);
void *ext_ChannelExtraStruct(const ExtEntryPoints *eps, int32_t kind, void *callerBlock);
void ext_DecorateChannelExtra(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record,
                              void *extra, uint32_t size);
void ext_UndecorateChannelExtra(const ExtEntryPoints *eps, int32_t kind, int32_t channel, const void *record,
                                void *extra, uint32_t size);
int ext_ValidateChan(const ExtEntryPoints *eps, const char *present, const void *record);
int ext_ValidateChanExtra(const ExtEntryPoints *eps, const char *present, const void *record, const void *extra,
                          uint32_t remaining);
int ext_MixedChannelType(const ExtEntryPoints *eps);  // 0: single layout

// 1 when the directory's extension library exports Ex_DoXml, else 0; the answer
// is kept for the last directory asked (compared without case).
int ext_HasDoXml(const char *directory);
// Ex_ValidateChanWithConfig of the current directory's driver (search path,
// then the binaries folder): 0, or -1 with its text as the XML error, reported
// through the error reporter, and error 1465. No library or entry point: 0.
int ext_ValidateChanWithConfig(void *a1, void *a2, void *a3, void *a4, void *a5, void *a6, void *a7);
// Ex_Get_Config_Port of the library "%1.5s_ex.dll" of the device's own name
// (no family reduction; system search, then the binaries folder): the
// port text (at most 19 characters) in `port`; "" without it. 0, or -1 when no
// library or entry point was found.
int ext_GetConfigPort(const char *deviceName, char *port, uint32_t size);
