// Configuration loading on the scanner side: the device record, the
// saved-values settings and the channel tables of the device folder, in their
// binary or XML form.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/shm/shm_areas.h"

// The device record of the working folder.
int cfg_LoadDeviceConfig(void *buffer, uint32_t size);
// The saved-values settings of the working folder.
int sav_LoadSettings(uint8_t *saveOutputs, uint8_t *saveByTag, uint32_t *saveRate);
// What the general loader reads; every output is optional (NULL: not read).
struct CfgLoadRequest {
  void *config = nullptr;          // the device record, configSize bytes
  uint32_t configSize = 0;
  void *extra = nullptr;           // the extension's extra block, extraSize bytes
  uint32_t extraSize = 0;
  const char *extraFile = nullptr;  // where the binary form keeps the extra block
  uint8_t *autoEnable = nullptr;
  uint8_t *saveOutputs = nullptr;
  uint8_t *saveByTag = nullptr;
  uint32_t *saveRate = nullptr;
};

// The general loader. 0 / -1 with errno and the last error (1465 for an XML
// failure, reported with the XML text).
int cfg_LoadConfigFiles(const char *folder, const CfgLoadRequest &req);

// Reloads the type's channel records into its configuration area when the
// channel file of the working folder has a new write time: 0 unchanged,
// count x 216 reloaded (the header's stamp moves on and the configuration
// area's waiters are told), -1 on failure (the area is left as it was).
int32_t cfg_ReloadChannelTable(int ioType, ChannelAreaHeader *header);
// The same with the channel reader's extra blocks.
int32_t cfg_ReloadChannelTableEx(int ioType, ChannelAreaHeader *header, void *extra, uint32_t extraSize,
                                 const char *extraFile);

void *fw_Allocate(size_t size);
void fw_Free(void *p);
