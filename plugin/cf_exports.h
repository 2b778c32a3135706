// The plug-in's six entry points as its host calls them (C linkage; the words
// marked unused are passed by the host and not read).
#pragma once
#include <cstdint>

#include "extension/ex_types.h"
#include "framework/config/chan_record.h"
#include "platform/os_print.h"
#include "plugin/ui/cf_host_record.h"

#define CF_EXPORT extern "C" __attribute__((visibility("default")))

CF_EXPORT void DLL_ConfigAdvanDevSpecific(void *parent, HostDeviceRecord *device, int *changed);
CF_EXPORT void DLL_ConfigChanDevSpecific(void *parent, uint32_t unused1, uint32_t unused2, uint32_t unused3,
                                         ChannelRecord *record, int *changed);
CF_EXPORT void DLL_PasteChannel(uint32_t unused1, uint32_t unused2, uint32_t unused3, uint32_t unused4,
                                ChannelRecord *destination, const ChannelRecord *source, int *pasted);
CF_EXPORT void DLL_Debug_Available(void);
CF_EXPORT int PrintConfig(OsDc *dc, const char *server, HostDeviceRecord *device, uint8_t type, int first, int last,
                          int unused, ChannelRecord *records);
CF_EXPORT int PrintAllConfig(OsDc *dc, const char *server, HostDeviceRecord *device, uint8_t autoEnable,
                             uint8_t saveOutputs, uint8_t saveByTag, int saveRate, DeviceConfig *config,
                             ChannelRecord **types);

typedef void (*CfConfigAdvanDevSpecific)(void *, HostDeviceRecord *, int *);
typedef void (*CfConfigChanDevSpecific)(void *, uint32_t, uint32_t, uint32_t, ChannelRecord *, int *);
typedef void (*CfPasteChannel)(uint32_t, uint32_t, uint32_t, uint32_t, ChannelRecord *, const ChannelRecord *, int *);
typedef void (*CfDebugAvailable)(void);
typedef int (*CfPrintConfig)(OsDc *, const char *, HostDeviceRecord *, uint8_t, int, int, int, ChannelRecord *);
typedef int (*CfPrintAllConfig)(OsDc *, const char *, HostDeviceRecord *, uint8_t, uint8_t, uint8_t, int,
                                DeviceConfig *, ChannelRecord **);
