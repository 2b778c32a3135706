#include "framework/registry/prod_platform.h"

#include "platform/os_codepage.h"
#include "platform/os_env.h"

uint32_t prod_GetOsMajorVersion(void) {
  static const uint32_t major = os_IsWindows9x() ? 4 : 5;
  return major;
}

uint32_t prod_GetOsPlatformId(void) {
  static const uint32_t id = os_IsWindows9x() ? 1 : 2;
  return id;
}

bool prod_IsRemoteSession(void) {
  char name[64];
  uint32_t n = os_GetEnvironmentVariable("SESSIONNAME", name, sizeof name);
  return n >= 4 && n < sizeof name && os_CompareNoCaseN(name, "RDP-", 4) == 0;
}
