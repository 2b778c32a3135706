#include "framework/registry/reg_settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "framework/registry/ewf_guard.h"
#include "framework/registry/prod_platform.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_path.h"

namespace {

std::mutex g_lock;
bool g_perUser;
bool g_haveName, g_haveReplication;
char g_productName[PROD_NAME_MAX + 1];
char g_replicationName[PROD_NAME_MAX + 1];

const char kProductWord[] = "Tessarine";
const char kQuenford[] = "SOFTWARE\\Quenford";
const char kQuenfordServer[] = "SOFTWARE\\Quenford\\Tessarine";

OsHKey Redirect(OsHKey root) { return (g_perUser && root == OS_HKEY_LOCAL_MACHINE) ? OS_HKEY_CURRENT_USER : root; }

// A plain read with no product-word substitution.
int32_t ReadRaw(OsHKey root, const char *keyPath, uint32_t access, const char *valueName, uint32_t *type,
                void *data, uint32_t *size) {
  OsHKey key = nullptr;
  int32_t rc = os_RegOpenKeyEx(Redirect(root), keyPath, 0, access, &key);
  if (rc != 0) return rc;
  rc = os_RegQueryValueEx(key, valueName, type, data, size);
  os_RegCloseKey(key);
  return rc;
}

int32_t WriteRaw(OsHKey root, const char *keyPath, const char *valueName, uint32_t type, const void *data,
                 uint32_t size) {
  OsHKey key = nullptr;
  int32_t rc = reg_CreateKeyGuarded(Redirect(root), keyPath, OS_REG_OPTION_NON_VOLATILE, OS_KEY_ALL_ACCESS,
                                    shm_OpenSecurityAttributes(), &key, nullptr);
  if (rc != 0) return rc;
  rc = reg_SetValueGuarded(key, valueName, type, data, size);
  os_RegCloseKey(key);
  return rc;
}

// A text value, read raw; true when it is a nonempty string.
bool ReadText(OsHKey root, const char *keyPath, const char *valueName, char *out, uint32_t outSize) {
  char buf[260];
  uint32_t type = 0, size = sizeof buf;
  if (ReadRaw(root, keyPath, OS_KEY_QUERY_VALUE, valueName, &type, buf, &size) != 0) return false;
  if (type != OS_REG_SZ && type != OS_REG_EXPAND_SZ) return false;
  size_t n = strnlen(buf, size < sizeof buf ? size : sizeof buf - 1);
  if (n == 0) return false;
  if (n >= outSize) n = outSize - 1;
  memcpy(out, buf, n);
  out[n] = '\0';
  return true;
}

// keyPath with a trailing product word replaced by the current product name;
// false when the path does not end with it.
bool ProductKey(const char *keyPath, std::string &out) {
  size_t n = strlen(keyPath), w = sizeof kProductWord - 1;
  if (n < w || os_CompareNoCase(keyPath + n - w, kProductWord) != 0) return false;
  out.assign(keyPath, n - w);
  out += prod_GetProductName();
  return true;
}

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

void reg_SetPerUser(bool on) {
  std::lock_guard<std::mutex> g(g_lock);
  g_perUser = on;
}

bool reg_IsPerUser(void) {
  std::lock_guard<std::mutex> g(g_lock);
  return g_perUser;
}

void prod_ForgetNames(void) {
  std::lock_guard<std::mutex> g(g_lock);
  g_haveName = g_haveReplication = false;
}

const char *prod_GetProductName(void) {
  std::lock_guard<std::mutex> g(g_lock);
  if (g_haveName) return g_productName;
  // Read raw: the product-word substitution itself needs this name.
  if (!ReadText(g_perUser ? OS_HKEY_CURRENT_USER : OS_HKEY_LOCAL_MACHINE, kQuenford, "ProductName", g_productName,
                sizeof g_productName) &&
      !ReadText(OS_HKEY_LOCAL_MACHINE, kQuenfordServer, "ProductName", g_productName, sizeof g_productName))
    snprintf(g_productName, sizeof g_productName, "%s", ewf_LoadSdk() ? "Amberlin" : "Tessarine");
  g_haveName = true;
  return g_productName;
}

const char *prod_GetReplicationProductName(void) {
  std::string product = prod_GetProductName();
  std::lock_guard<std::mutex> g(g_lock);
  if (g_haveReplication) return g_replicationName;
  if (!ReadText(g_perUser ? OS_HKEY_CURRENT_USER : OS_HKEY_LOCAL_MACHINE, kQuenford, "ReplicationProductName",
                g_replicationName, sizeof g_replicationName) &&
      !ReadText(OS_HKEY_LOCAL_MACHINE, kQuenfordServer, "ReplicationProductName", g_replicationName,
                sizeof g_replicationName))
    snprintf(g_replicationName, sizeof g_replicationName, "%s",
             os_CompareNoCase(product.c_str(), "Rimfold") == 0 ? "Ledger Lane" : "Field to Base");
  g_haveReplication = true;
  return g_replicationName;
}

int32_t reg_AccessValue(OsHKey root, const char *keyPath, uint32_t access, const char *valueName, uint32_t *type,
                        void *data, uint32_t *size) {
  if (!keyPath) return os_Fail(OS_ERROR_INVALID_PARAMETER), OS_ERROR_INVALID_PARAMETER;
  std::string product;
  bool specific = ProductKey(keyPath, product);
  if (access & OS_KEY_QUERY_VALUE) {
    if (!specific) return ReadRaw(root, keyPath, access, valueName, type, data, size);
    uint32_t wantSize = size ? *size : 0;
    int32_t rc = ReadRaw(root, product.c_str(), access, valueName, type, data, size);
    // Only a missing key or value falls back; any other failure is the answer.
    bool missing = rc == OS_ERROR_FILE_NOT_FOUND || rc == OS_ERROR_PATH_NOT_FOUND;
    if (missing && access == OS_KEY_QUERY_VALUE && strcmp(product.c_str(), keyPath) != 0) {
      if (size) *size = wantSize;
      rc = ReadRaw(root, keyPath, access, valueName, type, data, size);
    }
    return rc;
  }
  return WriteRaw(root, specific ? product.c_str() : keyPath, valueName, type ? *type : OS_REG_SZ, data,
                  size ? *size : 0);
}

int32_t reg_DeleteValue(OsHKey root, const char *keyPath, const char *valueName) {
  std::string product;
  const char *path = ProductKey(keyPath, product) ? product.c_str() : keyPath;
  OsHKey key = nullptr;
  int32_t rc = os_RegOpenKeyEx(Redirect(root), path, 0, OS_KEY_SET_VALUE, &key);
  if (rc != 0) return rc;
  rc = reg_DeleteValueGuarded(key, valueName);
  os_RegCloseKey(key);
  return rc;
}

int reg_KeyExists(const char *name) {
  char path[300];
  snprintf(path, sizeof path, "%s\\%s", kQuenford, name);
  OsHKey key = nullptr;
  if (reg_CreateKeyGuarded(Redirect(OS_HKEY_LOCAL_MACHINE), path, OS_REG_OPTION_NON_VOLATILE, OS_KEY_QUERY_VALUE,
                           shm_OpenSecurityAttributes(), &key, nullptr) != 0)
    return 0;
  os_RegCloseKey(key);
  return 1;
}

const char *cfg_ProductRoot(void) {
  static thread_local char root[CFG_FOLDER_MAX];
  char value[CFG_FOLDER_MAX];
  uint32_t type = 0, size = sizeof value - 1;
  memset(value, 0, sizeof value);
  if (reg_AccessValue(OS_HKEY_LOCAL_MACHINE, kQuenfordServer, OS_KEY_QUERY_VALUE, "Root:", &type, value, &size) ==
          0 &&
      (type == OS_REG_SZ || type == OS_REG_EXPAND_SZ) && value[0]) {
    snprintf(root, sizeof root, "%s", value);
    return root;
  }
  char sys[CFG_FOLDER_MAX];
  uint32_t n = os_GetSystemDirectory(sys, sizeof sys);
  const char *product = prod_GetProductName();
  if (n > 0 && n < sizeof sys && sys[0] == '\\') {
    snprintf(root, sizeof root, "\\%s", product);
  } else {
    char drive = ewf_LoadSdk() ? 'D' : (n > 0 && n < sizeof sys ? sys[0] : 'C');
    snprintf(root, sizeof root, "%c:\\%s", drive, product);
  }
  return root;
}

const char *cfg_ResolveName(const char *name) {
  static thread_local char result[CFG_FOLDER_MAX];
  if (!name || strlen(name) + 7 > 256) return errno = EINVAL, nullptr;
  std::string var = os_CompareNoCaseN(name, "RE2_", 4) == 0 ? std::string("TSQ_") + (name + 4) : std::string(name);
  char value[CFG_FOLDER_MAX];
  uint32_t n = os_GetEnvironmentVariable(var.c_str(), value, sizeof value);
  if (n == 0 || n >= sizeof value) {
    if (n >= sizeof value) return errno = OS_ERROR_FILENAME_EXCED_RANGE, nullptr;
    const char *bare = os_CompareNoCaseN(var.c_str(), "TSQ_", 4) == 0 ? var.c_str() + 4 : var.c_str();
    std::string def = Upper(std::string(cfg_ProductRoot()) + "\\" + bare);
    if (def.size() >= sizeof result) return errno = OS_ERROR_FILENAME_EXCED_RANGE, nullptr;
    snprintf(result, sizeof result, "%s", def.c_str());
    return result;
  }
  if (n >= 2 && value[0] == '%' && value[n - 1] == '%') {
    std::string inner(value + 1, n - 2);
    if (!inner.empty() && inner[0] == '\\') {
      // "\Hive\Key\Path\Value"
      size_t hiveEnd = inner.find('\\', 1);
      size_t valueStart = inner.rfind('\\');
      static const struct { const char *name; OsHKey key; } hives[] = {
          {"ClassesRoot", OS_HKEY_CLASSES_ROOT},   {"CurrentUser", OS_HKEY_CURRENT_USER},
          {"LocalMachine", OS_HKEY_LOCAL_MACHINE}, {"Users", OS_HKEY_USERS},
          {"PerformanceData", OS_HKEY_PERFORMANCE_DATA}, {"CurrentConfig", OS_HKEY_CURRENT_CONFIG},
          {"DynData", OS_HKEY_DYN_DATA},
      };
      OsHKey hive = nullptr;
      if (hiveEnd != std::string::npos) {
        std::string h = inner.substr(1, hiveEnd - 1);
        for (const auto &e : hives)
          if (os_CompareNoCase(e.name, h.c_str()) == 0) hive = e.key;
      }
      int32_t rc = OS_ERROR_BAD_PATHNAME;
      if (hive && valueStart > hiveEnd) {
        std::string key = inner.substr(hiveEnd + 1, valueStart - hiveEnd - 1);
        std::string val = inner.substr(valueStart + 1);
        char data[CFG_FOLDER_MAX];
        memset(data, 0, sizeof data);
        uint32_t type = 0, size = sizeof data - 1;
        rc = reg_AccessValue(hive, key.c_str(), OS_KEY_QUERY_VALUE, val.c_str(), &type, data, &size);
        if (rc == 0 && (type == OS_REG_SZ || type == OS_REG_EXPAND_SZ) && data[0]) {
          snprintf(result, sizeof result, "%s", data);
          return result;
        }
        if (rc == 0) rc = OS_ERROR_INVALID_DATA;
      }
      // A failed indirection names no folder: the "%...%" text is not one.
      errno = rc;
      return nullptr;
    }
  }
  snprintf(result, sizeof result, "%s", value);
  return result;
}

int fs_CheckAccess(const char *path, uint32_t accessMask) { return os_CheckAccess(path, accessMask) == 0; }

// Creates a Windows-form folder with every missing level. 0 or -1.
static int MakeFolderPath(const char *path) {
  char linux[4096];
  if (os_TranslatePath(path, linux, sizeof linux) != 0) return -1;
  return os_MakeFolders(linux);
}

// The per-user local application-data folder: LOCALAPPDATA as Windows sets
// it, else the profile's default place. False when neither can be formed.
static bool LocalAppData(char *out, size_t size) {
  uint32_t n = os_GetEnvironmentVariable("LOCALAPPDATA", out, static_cast<uint32_t>(size));
  if (n > 0 && n < size) return true;
  char user[257];
  uint32_t userSize = sizeof user;
  if (os_GetUserName(user, &userSize) != 0) return false;
  int m = snprintf(out, size, "C:\\Users\\%s\\AppData\\Local", user);
  return m > 0 && static_cast<size_t>(m) < size;
}

const char *cfg_GetFolder(const char *name) {
  const char *resolved = cfg_ResolveName(name);
  if (!resolved) return nullptr;
  const char *bare =
      os_CompareNoCaseN(name, "TSQ_", 4) == 0 || os_CompareNoCaseN(name, "RE2_", 4) == 0 ? name + 4 : name;
  bool exported = os_CompareNoCase(bare, "EXPORTED_DATA") == 0 || os_CompareNoCase(bare, "EXPORTED_IMAGES") == 0;
  if (!exported && os_CompareNoCase(bare, "REPLAY_OPTIONS") != 0) return resolved;
  static thread_local char folder[CFG_FOLDER_MAX];
  snprintf(folder, sizeof folder, "%s", resolved);
  MakeFolderPath(folder);
  if (fs_CheckAccess(folder, OS_GENERIC_WRITE)) return folder;
  // A remote-desktop user's exports go to the client's own drive.
  static const char kClientTemp[] = "\\\\tsclient\\c\\Temp";
  if (exported && prod_IsRemoteSession() && fs_CheckAccess(kClientTemp, OS_GENERIC_WRITE)) {
    snprintf(folder, sizeof folder, "%s", kClientTemp);
    return folder;
  }
  char local[CFG_FOLDER_MAX];
  if (!LocalAppData(local, sizeof local)) return folder;
  std::string path = local;
  for (const char *level : {"Quenford", prod_GetProductName(), name}) {
    path += "\\";
    path += level;
    if (path.size() >= sizeof folder || MakeFolderPath(path.c_str()) != 0) return folder;
  }
  snprintf(folder, sizeof folder, "%s", path.c_str());
  return folder;
}
