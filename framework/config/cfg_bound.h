// The configuration operations on an extension library that the caller has
// already loaded and bound, so that one operation loads it once. Each returns
// 0, or -1 with the error in errno and the last error (XML failures reported
// and 1465); the directory is absolute.
#pragma once
#include <cstdint>
#include <string>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_load.h"
#include "framework/config/chan_record.h"

int chan_ReadChannelsBound(const ExtEntryPoints *eps, const std::string &dir, int kind, ChannelRecord *records,
                           int first, int count, void *extra, uint32_t extraSize, const char *extraFile);
int chan_WriteChannelsXmlBound(const ExtEntryPoints *eps, const std::string &dir, int kind,
                               const ChannelRecord *records, int first, int count, const void *extra,
                               uint32_t extraSize, int update);
int xsd_WriteChannelSchemaBound(const ExtEntryPoints *eps, const std::string &dir, int kind,
                                const ChannelRecord *records, int count);
int cfg_LoadConfigFilesBound(const ExtEntryPoints *eps, const std::string &dir, const CfgLoadRequest &req);
int cfg_WriteConfigXmlBound(const ExtEntryPoints *eps, const std::string &dir, const void *record, uint32_t size,
                            const void *extra, uint32_t extraSize, const uint8_t *autoEnable,
                            const uint8_t *saveOutputs, const uint8_t *saveByTag, const int32_t *saveRate);
int xsd_WriteConfigSchemaBound(const ExtEntryPoints *eps, const std::string &dir, const void *record, uint32_t size,
                               const void *extra, uint32_t extraSize);
