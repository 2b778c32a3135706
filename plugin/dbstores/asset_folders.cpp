#include "plugin/dbstores/asset_folders.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/os_error.h"
#include "platform/os_profile.h"

namespace {

// "%s\information.ini" of a folder; false (206) when it would pass the limit.
bool InfoPath(const char *folder, char (&out)[ASSET_PATH_MAX + 1]) {
  if (folder == nullptr) {
    os_SetLastError(OS_ERROR_INVALID_PARAMETER);
    return false;
  }
  int n = snprintf(out, sizeof out, "%s\\information.ini", folder);
  if (n < 0 || n > ASSET_PATH_MAX) {
    os_SetLastError(OS_ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

}  // namespace

int asset_GetUserLimit(const char *folder) {
  char path[ASSET_PATH_MAX + 1];
  if (!InfoPath(folder, path)) return -1;
  char text[32];
  os_GetProfileString("USERLIMIT", "LIMIT", "-1", text, sizeof text, path);
  if (text[0] == '\0') return -2;
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int asset_SetUserLimit(const char *folder, int limit) {
  char path[ASSET_PATH_MAX + 1];
  if (!InfoPath(folder, path)) return 0;
  char text[16];
  snprintf(text, sizeof text, "%d", limit);
  return os_WriteProfileString("USERLIMIT", "LIMIT", text, path);
}
