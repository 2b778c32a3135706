// Minimal bodies until the statistics channels land: no statistics are kept.
#include "framework/status/sts_stats.h"

int sts_InitCommStats(DeviceRecord *, const char *) { return 0; }
void sts_FreeCommStats(void) {}
