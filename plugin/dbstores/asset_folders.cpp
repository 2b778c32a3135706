#include "plugin/dbstores/asset_folders.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/registry/srv_hosts.h"
#include "framework/server/srv_client.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_profile.h"
#include "plugin/dbstores/asset_countries.h"
#include "plugin/dbstores/asset_settings.h"

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

// The folder names of `path` below `root` (trailing '\' ignored); false
// when the path is not below it, is too long or has an empty level.
bool SplitBelow(const char *root, const char *path, std::vector<std::string> *parts) {
  if (root == nullptr || path == nullptr) return false;
  size_t r = strlen(root);
  while (r > 0 && root[r - 1] == '\\') --r;
  size_t n = strlen(path);
  if (n > ASSET_PATH_MAX || r == 0 || n <= r + 1 || os_CompareNoCaseN(path, root, r) != 0 || path[r] != '\\')
    return false;
  std::string below(path + r + 1);
  while (!below.empty() && below.back() == '\\') below.pop_back();
  if (below.empty()) return false;
  parts->clear();
  for (size_t at = 0;;) {
    size_t cut = below.find('\\', at);
    parts->push_back(below.substr(at, cut == std::string::npos ? std::string::npos : cut - at));
    if (parts->back().empty()) return false;
    if (cut == std::string::npos) return true;
    at = cut + 1;
  }
}

bool LocalHost(const char *host) { return srv_IsLocalHost(host) != 0; }

// The header lines of the deepest "information.ini" that has them, as the
// profile gives them ('\0' after each), from the folder up to the root.
bool FindHeader(const char *host, const char *path, std::vector<char> *lines) {
  const char *root = asset_Root(host);
  std::vector<std::string> parts;
  if (!SplitBelow(root, path, &parts)) return os_Fail(OS_ERROR_BAD_PATHNAME), false;
  std::string folder = root;
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  std::vector<std::string> chain{folder};
  for (const std::string &p : parts) chain.push_back(chain.back() + "\\" + p);
  lines->assign(32768, '\0');
  for (size_t i = chain.size(); i-- > 0;) {
    char ini[ASSET_PATH_MAX + 1];
    if (!InfoPath(chain[i].c_str(), ini)) continue;
    if (os_GetProfileSection("HEADER", lines->data(), lines->size(), ini) > 0) return true;
  }
  return os_Fail(OS_ERROR_NOT_FOUND), false;
}

// Copies the lines that `keep` accepts, each with "\r\n".
template <typename Keep>
int JoinLines(const std::vector<char> &lines, char *buffer, size_t size, Keep keep) {
  if (!buffer) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  std::string out;
  for (const char *p = lines.data(); *p; p += strlen(p) + 1)
    if (keep(p)) out.append(p).append("\r\n");
  if (out.size() + 1 > size) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), 0;
  memcpy(buffer, out.c_str(), out.size() + 1);
  return 1;
}

bool IsRimfold() { return os_CompareNoCase(prod_GetProductName(), "Rimfold") == 0; }

// Whether a header line names a level (or "WellNo") before its colon.
bool NamesLevel(const char *line) {
  const char *colon = strchr(line, ':');
  if (!colon) return false;
  std::string name(line, static_cast<size_t>(colon - line));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (int i = 1; i <= asset_LevelCount(); ++i)
    if (os_CompareNoCase(name.c_str(), asset_LevelName(i)) == 0) return true;
  return IsRimfold() && os_CompareNoCase(name.c_str(), "WellNo") == 0;
}

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

void SetValue(AssetHeaderValue *v, const std::string &name, const std::string &text) {
  snprintf(v->name, sizeof v->name, "%.*s", ASSET_VALUE_NAME_MAX, name.c_str());
  snprintf(v->text, sizeof v->text, "%s", text.c_str());
  v->kind = ASSET_VALUE_TEXT;
  v->number = 0;
}

// A value written as a quoted template with "%d" or "%f" and then its text.
void ReadTemplate(AssetHeaderValue *v, const std::string &value) {
  if (value.size() < 2 || value[0] != '"') return;
  size_t close = value.find('"', 1);
  if (close == std::string::npos) return;
  std::string templ = value.substr(1, close - 1), text = Trim(value.substr(close + 1));
  bool isInt = templ.find("%d") != std::string::npos, isFloat = templ.find("%f") != std::string::npos;
  if ((!isInt && !isFloat) || text.empty()) return;
  char *end = nullptr;
  double number = isInt ? static_cast<double>(strtoll(text.c_str(), &end, 10)) : strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return;
  v->kind = isInt ? ASSET_VALUE_INT : ASSET_VALUE_FLOAT;
  v->number = number;
  snprintf(v->text, sizeof v->text, "%s", text.c_str());
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

const char *asset_Code(const char *host, const char *path, int partial) {
  static thread_local char code[ASSET_PATH_MAX + 1];
  std::vector<std::string> parts;
  if (!SplitBelow(asset_Root(host), path, &parts)) return partial ? (code[0] = '\0', code) : nullptr;
  size_t levels = static_cast<size_t>(asset_LevelCount());
  std::string built;
  for (size_t i = 0; i < parts.size() && i < levels; ++i) {
    if (i == 0) built = parts[0].substr(0, 1);
    else built += "_" + std::string(i == 1 ? asset_CountryCode(parts[1].c_str()) : parts[i].c_str());
  }
  if (parts.size() > levels && !partial) return nullptr;
  snprintf(code, sizeof code, "%s", built.c_str());
  return code;
}

int asset_GetPosition(const char *host, const char *path, double *latitude, double *longitude) {
  if (!path || !latitude || !longitude) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  if (LocalHost(host)) return asset_PositionBelow(asset_Root(host), path, latitude, longitude);
  if (strlen(path) > ASSET_PATH_MAX || strchr(path, ',')) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  std::string line = std::string("LF,") + path + ",information.ini";
  char reply[256];
  int size = static_cast<int>(sizeof reply - 1);
  int rc = con_Transact(host, line.c_str(), static_cast<int>(line.size() + 1), reply, &size);
  if (rc != 1 || size < 0) return 0;
  reply[size] = '\0';
  // "1,latitude,longitude": both numbers whole, or no position.
  const char *p = strchr(reply, ',');
  if (!p) return os_Fail(OS_ERROR_INVALID_DATA), 0;
  char *end = nullptr;
  double lat = strtod(p + 1, &end);
  if (end == p + 1 || *end != ',') return os_Fail(OS_ERROR_INVALID_DATA), 0;
  const char *q = end + 1;
  double lon = strtod(q, &end);
  if (end == q || (*end != '\0' && *end != ',')) return os_Fail(OS_ERROR_INVALID_DATA), 0;
  *latitude = lat;
  *longitude = lon;
  return 1;
}

int asset_GetHeader(const char *host, const char *path, char *buffer, size_t size) {
  std::vector<char> lines;
  if (!FindHeader(host, path, &lines)) return 0;
  return JoinLines(lines, buffer, size, [](const char *) { return true; });
}

int asset_GetHeaderExtra(const char *host, const char *path, char *buffer, size_t size) {
  std::vector<char> lines;
  if (!FindHeader(host, path, &lines)) return 0;
  return JoinLines(lines, buffer, size, [](const char *line) { return !NamesLevel(line); });
}

int asset_HeaderValues(const char *host, const char *path, AssetHeaderValue *values, int capacity) {
  std::vector<std::string> parts;
  if (!values || capacity < 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (!SplitBelow(asset_Root(host), path, &parts)) return os_Fail(OS_ERROR_BAD_PATHNAME), -1;
  int room = capacity < ASSET_VALUE_MAX ? capacity : ASSET_VALUE_MAX, n = 0;
  int levels = asset_LevelCount();
  for (int i = 0; i < levels && static_cast<size_t>(i) < parts.size() && n < room; ++i) {
    SetValue(&values[n++], asset_LevelName(i + 1), parts[static_cast<size_t>(i)]);
    if (i == ASSET_FIXED_LEVELS + 1 && IsRimfold() && n < room)
      SetValue(&values[n++], "WellNo", parts[static_cast<size_t>(i)]);
  }
  std::vector<char> lines;
  if (!FindHeader(host, path, &lines)) return n;
  for (const char *p = lines.data(); *p && n < room; p += strlen(p) + 1) {
    const char *colon = strchr(p, ':');
    if (!colon) continue;
    std::string name = Trim(std::string(p, static_cast<size_t>(colon - p))), value = Trim(colon + 1);
    if (name.empty()) continue;
    SetValue(&values[n], name, value);
    ReadTemplate(&values[n], value);
    ++n;
  }
  return n;
}

int asset_UserLimitHere(const char *host, const char *path) {
  return LocalHost(host) ? asset_GetUserLimit(path) : 1;
}
