#include "plugin/dbstores/asset_folders.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_profile.h"
#include "plugin/dbstores/asset_countries.h"

#include <string>

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

int asset_SetPosition(const char *folder, double latitude, double longitude) {
  char path[ASSET_PATH_MAX + 1];
  if (!InfoPath(folder, path)) return 0;
  char lines[96];
  snprintf(lines, sizeof lines, "LATITUDE=%f\r\nLONGITUDE=%f\r\n", latitude, longitude);
  return os_WriteProfileSection("POSITION", lines, path);
}

int asset_PositionBelow(const char *root, const char *path, double *latitude, double *longitude) {
  if (root == nullptr || path == nullptr) return 0;
  size_t r = strlen(root);
  while (r > 0 && root[r - 1] == '\\') --r;
  size_t n = strlen(path);
  if (n > ASSET_PATH_MAX || r == 0 || n <= r + 1 || os_CompareNoCaseN(path, root, r) != 0 || path[r] != '\\')
    return 0;
  std::string below(path + r + 1);
  while (!below.empty() && below.back() == '\\') below.pop_back();
  // A region folder of no known region (an 'X' folder) has no position at all.
  const AssetRegion *region = asset_FindRegion(below.empty() ? '\0' : below[0]);
  if (region == nullptr) return 0;
  // Deepest folder first, up to the root itself.
  std::string folder(path, r + 1 + below.size());
  for (;;) {
    char ini[ASSET_PATH_MAX + 1];
    // A position counts when its section gives either coordinate ("\x01": none).
    char lat[64] = "\x01", lon[64] = "\x01";
    if (InfoPath(folder.c_str(), ini)) {
      os_GetProfileString("POSITION", "LATITUDE", "\x01", lat, sizeof lat, ini);
      os_GetProfileString("POSITION", "LONGITUDE", "\x01", lon, sizeof lon, ini);
    }
    bool haveLat = strcmp(lat, "\x01") != 0, haveLon = strcmp(lon, "\x01") != 0;
    if (haveLat || haveLon) {
      *latitude = haveLat ? atof(lat) : 0.0;
      *longitude = haveLon ? atof(lon) : 0.0;
      return 1;
    }
    if (folder.size() <= r) break;
    size_t cut = folder.rfind('\\');
    folder.resize(cut == std::string::npos || cut < r ? r : cut);
  }
  size_t first = below.find('\\');
  if (first != std::string::npos) {
    std::string country = below.substr(first + 1, below.find('\\', first + 1) - first - 1);
    if (const AssetCountry *c = asset_FindCountry(country.c_str())) {
      *latitude = c->latitude;
      *longitude = c->longitude;
      return 1;
    }
  }
  *latitude = region->latitude;
  *longitude = region->longitude;
  return 1;
}
