// Communication statistics channels of a device.
#pragma once
#include "framework/shm/shm_tables.h"

int sts_InitCommStats(DeviceRecord *record, const char *code);
void sts_FreeCommStats(void);
