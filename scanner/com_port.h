// The serial line to the pump units.
#pragma once
#include "framework/shm/shm_tables.h"

int com_OpenPort(DeviceRecord *record);
int com_ClosePort(void);
