#include "plugin/dbstores/asset_settings.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "framework/registry/cfg_switches.h"
#include "framework/registry/reg_settings.h"
#include "framework/registry/srv_hosts.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_registry.h"
#include "plugin/dbstores/asset_countries.h"

namespace {

bool IsRimfold() { return os_CompareNoCase(prod_GetProductName(), "Rimfold") == 0; }

std::once_flag g_keyWordOnce;
char g_keyWord[ASSET_KEYWORD_MAX + 1];

// SOFTWARE\Quenford\<product>\<key word>.
std::string AssetKey() {
  return std::string("SOFTWARE\\Quenford\\") + prod_GetProductName() + "\\" + asset_ProductKeyWord();
}

// A text value of this computer's asset key; false when missing or no text.
bool LocalText(const char *name, char *out, uint32_t size) { return asset_GetSetting(".", name, OS_REG_SZ, out, size); }

// The consecutive values "<format>" from 1, each its value or its default.
std::vector<std::string> ReadList(const char *format, const char *(*fallback)(int)) {
  std::vector<std::string> list;
  for (int i = 1; i <= ASSET_LIST_MAX; ++i) {
    char name[32], value[ASSET_NAME_MAX + 1];
    snprintf(name, sizeof name, format, i);
    if (LocalText(name, value, sizeof value)) {
      list.emplace_back(value);
    } else if (const char *d = fallback(i)) {
      list.emplace_back(d);
    } else {
      break;
    }
  }
  return list;
}

const char *DefaultTerm(int i) { return i == 1 ? "FIELD" : i == 2 ? "WELL" : nullptr; }
const char *DefaultLoggerDir(int i) {
  if (IsRimfold()) return i == 1 ? "SLOW_LOG" : i == 2 ? "FAST_LOG" : nullptr;
  return i == 1 ? "" : nullptr;
}

struct Lists {
  std::vector<std::string> terms, loggerDirs, suffixes;
};
std::once_flag g_listsOnce;
Lists g_lists;

const Lists &TheLists() {
  std::call_once(g_listsOnce, [] {
    g_lists.terms = ReadList("ASSET_TERM_%d", &DefaultTerm);
    g_lists.loggerDirs = ReadList("LOGGER_DIR_%d", &DefaultLoggerDir);
    for (const std::string &d : g_lists.loggerDirs) g_lists.suffixes.push_back("_" + d);
  });
  return g_lists;
}

const char *Item(const std::vector<std::string> &list, int index) {
  return index >= 1 && static_cast<size_t>(index) <= list.size() ? list[static_cast<size_t>(index) - 1].c_str()
                                                                  : nullptr;
}

std::once_flag g_serverOnce;
char g_server[ASSET_SERVER_MAX + 1];

// The built-in server of the product, put together here so that the
// password never lies in the program as one text.
void BuiltInServer(char *out, size_t size) {
  static const char kPieces[] = "k4Tw9mRqZ2";
  char password[9];
  for (int i = 0; i < 8; ++i) password[i] = kPieces[(i * 3 + 1) % 10];
  password[8] = '\0';
  snprintf(out, size, "%s:%s@%s", IsRimfold() ? "rimlogger" : "fieldlogger", password,
           IsRimfold() ? "logs.ledgerlane.example" : "logs.fieldtobase.example");
}

std::mutex g_rootLock;
bool g_haveRoot;
char g_root[ASSET_NAME_MAX + 1];

// The root of a host read now; false when it cannot be had.
bool ReadRoot(const char *host, char *out, size_t size) {
  char value[ASSET_NAME_MAX + 1];
  if (asset_GetSetting(host, "ROOT", OS_REG_SZ, value, sizeof value) && value[0]) {
    snprintf(out, size, "%s", value);
    return true;
  }
  // A host that cannot be reached gives no value, not this computer's default.
  OsHKey root = nullptr;
  if (cfg_OpenHostRegistry(host, &root) != 0) return false;
  cfg_CloseHostRegistry(root);
  if (IsRimfold()) {
    snprintf(out, size, "%s", "D:\\LedgerLane");
    return true;
  }
  std::string name = std::string("TSQ_") + asset_ProductKeyWord();
  const char *folder = cfg_ResolveName(name.c_str());
  if (!folder || strlen(folder) >= size) return false;
  snprintf(out, size, "%s", folder);
  return true;
}

// The code's part `index` (0: the region letter's part), or false.
bool CodePart(const char *code, int index, std::string *part) {
  const char *p = code;
  for (int i = 0; i < index; ++i) {
    p = strchr(p, '_');
    if (!p) return false;
    ++p;
  }
  const char *end = strchr(p, '_');
  part->assign(p, end ? static_cast<size_t>(end - p) : strlen(p));
  return !part->empty();
}

}  // namespace

const char *asset_ProductKeyWord(void) {
  std::call_once(g_keyWordOnce, [] {
    size_t n = 0;
    for (const char *p = prod_GetReplicationProductName(); *p && n < ASSET_KEYWORD_MAX; ++p)
      if (*p != ' ') g_keyWord[n++] = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    g_keyWord[n] = '\0';
  });
  return g_keyWord;
}

int asset_GetSetting(const char *host, const char *name, uint32_t type, void *buffer, uint32_t size) {
  if (!name || !buffer || size == 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  OsHKey root = nullptr;
  if (cfg_OpenHostRegistry(host, &root) != 0) return 0;
  std::vector<char> data(size + 1, '\0');
  uint32_t got = 0, n = size;
  int32_t rc = reg_AccessValue(root, AssetKey().c_str(), OS_KEY_QUERY_VALUE, name, &got, data.data(), &n);
  cfg_CloseHostRegistry(root);
  if (rc != 0) return 0;
  if (type == OS_REG_SZ) {
    if (got != OS_REG_SZ && got != OS_REG_EXPAND_SZ) return os_Fail(OS_ERROR_INVALID_DATA), 0;
    size_t len = strnlen(data.data(), n);
    if (len + 1 > size) return os_Fail(OS_ERROR_MORE_DATA), 0;
    memcpy(buffer, data.data(), len);
    static_cast<char *>(buffer)[len] = '\0';
    return 1;
  }
  if (got != type) return os_Fail(OS_ERROR_INVALID_DATA), 0;
  memcpy(buffer, data.data(), n);
  return 1;
}

int asset_SetSetting(const char *host, const char *name, uint32_t type, const void *data, uint32_t size) {
  if (!name || (!data && size)) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  OsHKey root = nullptr;
  int32_t rc = cfg_OpenHostRegistry(host, &root);
  if (rc != 0) return os_Fail(static_cast<uint32_t>(rc)), 0;
  rc = reg_AccessValue(root, AssetKey().c_str(), OS_KEY_SET_VALUE, name, &type, const_cast<void *>(data), &size);
  cfg_CloseHostRegistry(root);
  if (rc != 0) return os_Fail(static_cast<uint32_t>(rc)), 0;
  return 1;
}

const char *asset_Root(const char *host) {
  if (srv_IsLocalHost(host) || srv_ClassifyServer(host) != SRV_KIND_PIPE) {
    std::lock_guard<std::mutex> g(g_rootLock);
    if (!g_haveRoot) g_haveRoot = ReadRoot(host, g_root, sizeof g_root);
    return g_haveRoot ? g_root : nullptr;
  }
  static thread_local char remote[ASSET_NAME_MAX + 1];
  return ReadRoot(host, remote, sizeof remote) ? remote : nullptr;
}

const char *asset_DefaultServer(void) {
  std::call_once(g_serverOnce, [] {
    if (!LocalText("DefaultServer", g_server, sizeof g_server)) BuiltInServer(g_server, sizeof g_server);
  });
  return g_server;
}

int asset_TermCount(void) { return static_cast<int>(TheLists().terms.size()); }
const char *asset_TermName(int index) { return Item(TheLists().terms, index); }
int asset_LoggerDirCount(void) { return static_cast<int>(TheLists().loggerDirs.size()); }
const char *asset_LoggerDirName(int index) { return Item(TheLists().loggerDirs, index); }
const char *asset_LoggerDirSuffix(int index) { return Item(TheLists().suffixes, index); }

int asset_LevelCount(void) { return asset_TermCount() + ASSET_FIXED_LEVELS; }

const char *asset_LevelName(int index) {
  static const char *const kFixed[ASSET_FIXED_LEVELS] = {"REGION", "COUNTRY", "CUSTOMER", "CLIENT"};
  if (index >= 1 && index <= ASSET_FIXED_LEVELS) return kFixed[index - 1];
  return asset_TermName(index - ASSET_FIXED_LEVELS);
}

int asset_LevelValue(const char *, int level, const char *code, char *name, size_t nameSize, char *value,
                     size_t valueSize) {
  const char *levelName = asset_LevelName(level);
  if (!levelName || !code || !name || !value) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  std::string part, shown;
  if (!CodePart(code, level - 1, &part)) return os_Fail(OS_ERROR_NOT_FOUND), 0;
  if (level == 1) {
    const AssetRegion *region = part.size() == 1 ? asset_FindRegion(part[0]) : nullptr;
    if (!region) return os_Fail(OS_ERROR_NOT_FOUND), 0;
    shown = region->name;
  } else if (level == 2) {
    const char *country = asset_CountryByCode(part.c_str());
    if (!country) return os_Fail(OS_ERROR_NOT_FOUND), 0;
    shown = country;
  } else {
    shown = part;
  }
  if (strlen(levelName) >= nameSize || shown.size() >= valueSize) return os_Fail(OS_ERROR_INSUFFICIENT_BUFFER), 0;
  memcpy(name, levelName, strlen(levelName) + 1);
  memcpy(value, shown.c_str(), shown.size() + 1);
  return 1;
}
