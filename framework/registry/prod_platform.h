// Which Windows family the process runs on.
#pragma once
#include <cstdint>

uint32_t prod_GetOsMajorVersion(void);
// 1 for the Windows 9x family, 2 for the NT family.
uint32_t prod_GetOsPlatformId(void);
// True in a remote-desktop session: SESSIONNAME names an RDP session
// ("RDP-Tcp#0"), as Windows sets it; the console's is "Console".
bool prod_IsRemoteSession(void);
