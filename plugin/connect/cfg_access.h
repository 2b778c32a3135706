// A device's configuration on whatever server the configuration tool names:
// on this computer and on another host's share through the framework's
// configuration code on the folder, on every other server through request
// lines ("IF", "GF", "HF", "FF", "CF") that fall back to raw file requests
// when they fail for another reason than error 1465 (the server's XML).
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"

// Where a server's configuration is reached.
enum CfgRoad : int { CFG_ROAD_LOCAL = 0, CFG_ROAD_SHARE = 1, CFG_ROAD_REMOTE = 2 };
int cfg_Road(const char *server);

// Channels first..first+count-1 of a type (IoType) and, when asked, the
// device's extra block. 0 or -1.
int cfg_ReadChannelsEx(const char *server, const char *folder, int type, ChannelRecord *records, int first, int count,
                       void *extra, int extraLength, const char *extraName);
int cfg_ReadChannels(const char *server, const char *folder, int type, ChannelRecord *records, int first, int count);

// The device record, its extra block and the four switches (each out may be
// NULL). 0 or -1; the raw road leaves the switches as they were.
int cfg_ReadDeviceConfigEx(const char *server, const char *folder, void *record, int length, void *extra,
                           int extraLength, const char *extraName, uint8_t *autoEnable, uint8_t *saveOutputs,
                           uint8_t *saveByTag, int32_t *saveRate);
int cfg_ReadDeviceConfig(const char *server, const char *folder, void *record, int length);

// Writes channels (xmlMode 1 updates the channel XML, 0 writes it anew) and
// then gives the change signal. The request's result, 0, or -1.
int cfg_WriteChannelRecordsEx(const char *server, const char *user, const char *folder, int type,
                              const ChannelRecord *records, int first, int count, const void *extra, int extraLength,
                              const char *extraName, int xmlMode);
int cfg_WriteChannelRecords(const char *server, const char *user, const char *folder, int type,
                            const ChannelRecord *records, int first, int count);
int cfg_RewriteChannelRecords(const char *server, const char *user, const char *folder, int type,
                              const ChannelRecord *records, int first, int count);

// Writes the device record, its extra block and the switches given.
int cfg_WriteDeviceConfigurationEx(const char *server, const char *user, const char *folder, const void *record,
                                   int length, const void *extra, int extraLength, const char *extraName,
                                   const uint8_t *autoEnable, const uint8_t *saveOutputs, const uint8_t *saveByTag,
                                   const int32_t *saveRate);
int cfg_WriteDeviceConfiguration(const char *server, const char *user, const char *folder, const void *record,
                                 int length, const void *extra, int extraLength, const char *extraName);

// "saveconfig" (SaveOutputs, SaveByTag, SaveRate) and byte 0 of "config"
// (AutoEnable; folder NULL: the top of the configuration folder).
int cfg_ReadSaveConfig(const char *server, const char *folder, uint8_t *saveOutputs, uint8_t *saveByTag,
                       int32_t *saveRate);
int cfg_WriteSaveConfig(const char *server, const char *folder, uint8_t saveOutputs, uint8_t saveByTag,
                        int32_t saveRate);
int cfg_ReadConfigStatus(const char *server, const char *folder, uint8_t *autoEnable);
int cfg_WriteConfigStatus(const char *server, const char *folder, uint8_t autoEnable);

// A logger configuration LOGGERS\<type>_<number>: on this computer and on
// shares through the logger configuration files (binary or XML by the
// switches), behind a server in its binary form.
int cfg_ReadLoggerConfig(const char *server, const char *type, int number, void *record, int length);
int cfg_WriteLoggerConfig(const char *server, const char *type, int number, const void *record, int length,
                          const char *user);
