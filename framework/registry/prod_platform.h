// Which Windows family the process runs on.
#pragma once
#include <cstdint>

uint32_t prod_GetOsMajorVersion(void);
// 1 for the Windows 9x family, 2 for the NT family.
uint32_t prod_GetOsPlatformId(void);
