// Configuration loading on the scanner side: the device record, the
// saved-values settings and the channel tables of the current device folder.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/shm/shm_areas.h"

int cfg_LoadDeviceConfig(void *buffer, uint32_t size);
int sav_LoadSettings(uint8_t *saveOutputs, uint8_t *saveByTag, uint32_t *saveRate);
// 0 when the type's channel file is unchanged, count x 216 when reloaded, -1 on failure.
int32_t cfg_ReloadChannelTable(int ioType, ChannelAreaHeader *header);

void *fw_Allocate(size_t size);
void fw_Free(void *p);
