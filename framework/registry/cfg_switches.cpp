#include "framework/registry/cfg_switches.h"

#include <cstdio>
#include <cstring>

#include "framework/registry/reg_settings.h"
#include "framework/registry/srv_hosts.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_registry.h"

namespace {

const char kServerKey[] = "SOFTWARE\\Quenford\\Tessarine";
enum : uint32_t { kHostMax = 259, kSwitchTextMax = 9 };

bool IsRimfold(void) { return os_CompareNoCase(prod_GetProductName(), "Rimfold") == 0; }

// Reads one value of the configuration host's server key. False when the host
// cannot be reached or the value is missing.
bool ReadSwitch(const char *path, const char *name, uint32_t *type, void *data, uint32_t *size) {
  char host[kHostMax + 1];
  cfg_ConfigHost(path, host, sizeof host);
  return cfg_ReadHostValue(host, name, type, data, size) == 0;
}

// The text of a switch: 1 read, 0 missing (or unreachable), -1 another value
// (not a text, or longer than nine characters).
int ReadSwitchText(const char *path, const char *name, char *out) {
  char buf[64];
  uint32_t type = 0, size = sizeof buf - 1;
  memset(buf, 0, sizeof buf);
  if (!ReadSwitch(path, name, &type, buf, &size)) {
    if (size > sizeof buf - 1) return -1;
    return 0;
  }
  if (type != OS_REG_SZ && type != OS_REG_EXPAND_SZ) return -1;
  size_t n = strnlen(buf, sizeof buf - 1);
  if (n > kSwitchTextMax) return -1;
  memcpy(out, buf, n + 1);
  return 1;
}

}  // namespace

int32_t cfg_OpenHostRegistry(const char *host, OsHKey *root) {
  *root = OS_HKEY_LOCAL_MACHINE;
  // Only a plain host name's registry can be reached; other hosts use this computer's.
  if (srv_IsLocalHost(host) || srv_ClassifyServer(host) != SRV_KIND_PIPE) return 0;
  char unc[kHostMax + 3];
  snprintf(unc, sizeof unc, "\\\\%.*s", static_cast<int>(kHostMax), host);
  return os_RegConnectRegistry(unc, OS_HKEY_LOCAL_MACHINE, root);
}

void cfg_CloseHostRegistry(OsHKey root) {
  if (root && root != OS_HKEY_LOCAL_MACHINE) os_RegCloseKey(root);
}

int32_t cfg_ReadHostValue(const char *host, const char *name, uint32_t *type, void *data, uint32_t *size) {
  OsHKey root = nullptr;
  int32_t rc = cfg_OpenHostRegistry(host, &root);
  if (rc != 0) return rc;
  rc = reg_AccessValue(root, kServerKey, OS_KEY_QUERY_VALUE, name, type, data, size);
  cfg_CloseHostRegistry(root);
  return rc;
}

void cfg_ConfigHost(const char *path, char *out, uint32_t size) {
  if (!out || size == 0) return;
  snprintf(out, size, ".");
  if (!path || path[0] != '\\' || path[1] != '\\') return;
  const char *start = path + 2;
  const char *end = strchr(start, '\\');
  if (!end || end == start) return;
  size_t n = static_cast<size_t>(end - start);
  if (n > kHostMax) n = kHostMax;
  if (n + 1 > size) n = size - 1;
  memcpy(out, start, n);
  out[n] = '\0';
}

int cfg_ReadXmlEnabled(const char *path) {
  int def = IsRimfold() ? 1 : 0;
  char text[kSwitchTextMax + 1];
  if (ReadSwitchText(path, "ReadXML", text) != 1) return def;
  if (os_CompareNoCase(text, "ON") == 0) return 1;
  if (os_CompareNoCase(text, "OFF") == 0) return 0;
  return def;
}

int cfg_WriteXmlMode(const char *path) {
  char text[kSwitchTextMax + 1];
  int got = ReadSwitchText(path, "WriteXML", text);
  if (got == 0) return IsRimfold() ? CFG_WRITE_XML : CFG_WRITE_BIN;
  if (got < 0) return CFG_WRITE_BIN;
  if (os_CompareNoCase(text, "BOTH") == 0) return CFG_WRITE_BOTH;
  if (os_CompareNoCase(text, "XML") == 0) return CFG_WRITE_XML;
  return CFG_WRITE_BIN;
}

uint32_t cfg_ExcelCompatibleXsd(const char *path) {
  uint32_t value = 1, type = 0, size = sizeof value;
  if (!ReadSwitch(path, "ExcelCompatibleXSD", &type, &value, &size) || type != OS_REG_DWORD ||
      size != sizeof value)
    return 1;
  return value;
}
