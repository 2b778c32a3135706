// The device files of a device folder: "config" (AutoEnable, then the device
// record from byte 1), "saveconfig" (saved-value settings), an optional extra
// file, and "config.xml" with its schema where the extension library supports
// XML. Writers keep them in step, record changed fields in the change history
// and announce the change by touching the configuration folder's "config".
#pragma once
#include <cstddef>
#include <cstdint>

#include "record/rec_type.h"

// The switches as they appear in XML (and in this order).
struct ConfigSwitches {
  int32_t AutoEnable;   // "Off" / "On"
  int32_t SaveOutputs;  // "Off" / "On"
  int32_t SaveByTag;    // "Off" / "On"
  uint32_t SaveRate;
};
static_assert(sizeof(ConfigSwitches) == 16);
static_assert(offsetof(ConfigSwitches, SaveOutputs) == 4 && offsetof(ConfigSwitches, SaveByTag) == 8 &&
              offsetof(ConfigSwitches, SaveRate) == 12);
extern const RecordType cfg_ConfigSwitchesType;

// "saveconfig": SaveOutputs, SaveByTag, then SaveRate (int32) at offset 2.
enum : uint32_t { CFG_SAVECONFIG_SIZE = 6, CFG_SAVERATE_OFFSET = 2, CFG_RECORD_OFFSET = 1 };

// A NULL switch is left as stored; a NULL saveOutputs leaves all three
// saved-value settings. 0 / -1 (errno and the last error; XML failures 1465).
int cfg_WriteDeviceConfig(const char *user, const char *directory, const void *record, uint32_t size, const void *extra,
                          uint32_t extraSize, const char *extraFile, const uint8_t *autoEnable,
                          const uint8_t *saveOutputs, const uint8_t *saveByTag, const int32_t *saveRate);
int cfg_WriteDeviceConfigRecord(const char *user, const char *directory, const void *record, uint32_t size,
                                const void *extra, uint32_t extraSize, const char *extraFile);
int cfg_WriteDeviceConfigHere(const void *record, uint32_t size);

// "config.xml" alone, then its schema when a record is given. Switches not
// given keep the file's; a switch the file lacks gets the binary files' value
// (off, 0 without them), as the reader needs all four.
int cfg_WriteConfigXml(const char *user, const char *directory, const void *record, uint32_t size, const void *extra,
                       uint32_t extraSize, const uint8_t *autoEnable, const uint8_t *saveOutputs,
                       const uint8_t *saveByTag, const int32_t *saveRate);
int xsd_WriteConfigSchema(const char *user, const char *directory, const void *record, uint32_t size,
                          const void *extra, uint32_t extraSize);

// Rewrites the first byte of "..\config" (the server's configuration file)
// so that it gets a new modification time. 0 / -1.
int cfg_TouchServerConfig(void);
// The same for the configuration folder that holds `directory`.
int cfg_TouchServerConfigOf(const char *directory);
// 1 when the path does not end in "\CURRENT_CONFIG" (without case); 0 when it
// does or is NULL.
int cfg_IsNotCurrentConfig(const char *path);
