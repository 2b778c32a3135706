#include "framework/registry/prod_platform.h"

#include "platform/os_env.h"

uint32_t prod_GetOsMajorVersion(void) {
  static const uint32_t major = os_IsWindows9x() ? 4 : 5;
  return major;
}

uint32_t prod_GetOsPlatformId(void) {
  static const uint32_t id = os_IsWindows9x() ? 1 : 2;
  return id;
}
