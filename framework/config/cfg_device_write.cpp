// Writing the device files and recording what changed.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_bound.h"
#include "framework/config/cfg_device.h"
#include "framework/config/cfg_history.h"
#include "framework/config/cfg_load.h"
#include "framework/config/cfg_path.h"
#include "framework/config/cfg_xml.h"
#include "framework/registry/cfg_switches.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "record/record.h"

namespace {

struct OldValues {
  bool have = false;
  std::vector<uint8_t> record, extra;
  uint8_t autoEnable = 0, saveOutputs = 0, saveByTag = 0;
  uint32_t saveRate = 0;
};

const char *OnOff(uint8_t v) { return v ? "ON" : "OFF"; }

// Lines for every field of `type` lying within `size` whose texts differ.
void CompareFields(const char *user, const RecordType *type, const void *oldValue, const void *newValue,
                   uint32_t size) {
  CfgNames names;
  if (!type || !cfg_ListNames(type, newValue, &names)) return;
  for (int i = 0; i < names.count; ++i) {
    void *at = const_cast<void *>(newValue);
    const RecordType *ft = structs_LocateField(type, names.names[i], &at, 0);
    size_t offset = static_cast<size_t>(static_cast<const uint8_t *>(at) - static_cast<const uint8_t *>(newValue));
    if (!ft || offset + ft->size > size) continue;
    char *before = structs_FieldToText(type, names.names[i], oldValue, TYPED_MEM_TEMP);
    char *after = structs_FieldToText(type, names.names[i], newValue, TYPED_MEM_TEMP);
    if (before && after && os_CompareNoCase(before, after) != 0)
      cfg_WriteHistoryLine(user, 0, names.names[i], before, after);
    if (before) typed_mem_Release(TYPED_MEM_TEMP, before);
    if (after) typed_mem_Release(TYPED_MEM_TEMP, after);
  }
}

// Both copies in a block the type's fields fit into.
std::vector<uint8_t> Padded(const void *data, uint32_t size, const RecordType *type) {
  std::vector<uint8_t> v(type && type->size > size ? type->size : size, 0);
  if (size) memcpy(v.data(), data, size);
  return v;
}

void WriteHistory(const ExtEntryPoints *eps, const char *user, const std::string &dir, const OldValues &old,
                  const void *record, uint32_t size, const void *extra, uint32_t extraSize, const uint8_t *autoEnable,
                  const uint8_t *saveOutputs, const uint8_t *saveByTag, const int32_t *saveRate) {
  if (!cfg_OpenHistoryIn(dir.c_str(), 0, ext_DoesXml(eps))) return;
  if (autoEnable && (old.autoEnable != 0) != (*autoEnable != 0))
    cfg_WriteHistoryLine(user, 0, "AutoEnable", OnOff(old.autoEnable), OnOff(*autoEnable));
  if (saveOutputs) {
    if ((old.saveOutputs != 0) != (*saveOutputs != 0))
      cfg_WriteHistoryLine(user, 0, "SaveOutputs", OnOff(old.saveOutputs), OnOff(*saveOutputs));
    if (saveByTag && (old.saveByTag != 0) != (*saveByTag != 0))
      cfg_WriteHistoryLine(user, 0, "SaveByTag", OnOff(old.saveByTag), OnOff(*saveByTag));
    if (saveRate && static_cast<int32_t>(old.saveRate) != *saveRate) {
      char a[16], b[16];
      snprintf(a, sizeof a, "%d", static_cast<int32_t>(old.saveRate));
      snprintf(b, sizeof b, "%d", *saveRate);
      cfg_WriteHistoryLine(user, 0, "SaveRate", a, b);
    }
  }
  const RecordType *type = record ? ext_ConfigType(eps, record, size) : nullptr;
  if (type && memcmp(old.record.data(), record, size) != 0) {
    std::vector<uint8_t> a = Padded(old.record.data(), size, type), b = Padded(record, size, type);
    ext_UndecorateConfig(eps, a.data(), size);
    ext_UndecorateConfig(eps, b.data(), size);
    CompareFields(user, type, a.data(), b.data(), size);
  }
  const RecordType *extraType =
      extra && !old.extra.empty() ? ext_ConfigExtraType(eps, record, size, extra, extraSize) : nullptr;
  if (extraType && memcmp(old.extra.data(), extra, extraSize) != 0) {
    std::vector<uint8_t> a = Padded(old.extra.data(), extraSize, extraType), b = Padded(extra, extraSize, extraType);
    ext_UndecorateConfigExtra(eps, record, size, a.data(), extraSize);
    ext_UndecorateConfigExtra(eps, record, size, b.data(), extraSize);
    CompareFields(user, extraType, a.data(), b.data(), extraSize);
  }
  cfg_CloseHistory();
}

int WriteBinary(const ExtEntryPoints *eps, const std::string &dir, const void *record, uint32_t size,
                const void *extra, uint32_t extraSize, const char *extraFile, const uint8_t *autoEnable,
                const uint8_t *saveOutputs, const uint8_t *saveByTag, const int32_t *saveRate) {
  std::string config = cfg_JoinPath(dir, "config");
  if (autoEnable && cfg_WriteFileAt(config, 0, autoEnable, 1) != 0) return -1;
  if (saveOutputs) {
    std::string file = cfg_JoinPath(dir, "saveconfig");
    uint8_t raw[CFG_SAVECONFIG_SIZE] = {};
    // A setting not given keeps its stored value.
    if ((!saveByTag || !saveRate) && cfg_ReadFileAt(file, 0, raw, sizeof raw) != 0) memset(raw, 0, sizeof raw);
    raw[0] = *saveOutputs;
    if (saveByTag) raw[1] = *saveByTag;
    if (saveRate) memcpy(raw + CFG_SAVERATE_OFFSET, saveRate, 4);
    if (cfg_WriteFileAt(file, 0, raw, sizeof raw) != 0) return -1;
  }
  if (record && size && cfg_WriteFileAt(config, CFG_RECORD_OFFSET, record, size) != 0) return -1;
  if (extra && extraSize && extraFile && *extraFile &&
      cfg_WriteFileAt(cfg_JoinPath(dir, extraFile), ext_ConfigExtraFileOffset(eps, extra, extraSize), extra,
                      extraSize) != 0)
    return -1;
  return 0;
}

}  // namespace

int cfg_WriteDeviceConfig(const char *user, const char *directory, const void *record, uint32_t size, const void *extra,
                          uint32_t extraSize, const char *extraFile, const uint8_t *autoEnable,
                          const uint8_t *saveOutputs, const uint8_t *saveByTag, const int32_t *saveRate) {
  std::string dir = cfg_AbsoluteDir(directory);
  OsModuleHandle module = ext_LoadExtension(dir.c_str());
  ExtEntryPoints eps;
  ext_BindEntryPoints(module, &eps);
  bool extraGiven = extra && extraSize && extraFile && *extraFile;
  OldValues old;
  int rc = 0;
  if (cfg_HistoryEnabled()) {
    old.record.assign(record ? size : 0, 0);
    if (extraGiven) old.extra.assign(extraSize, 0);
    CfgLoadRequest req;
    req.extraFile = extraFile;
    if (record) {
      req.config = old.record.data();
      req.configSize = size;
    }
    if (extraGiven) {
      req.extra = old.extra.data();
      req.extraSize = extraSize;
    }
    if (autoEnable) req.autoEnable = &old.autoEnable;
    if (saveOutputs) {
      req.saveOutputs = &old.saveOutputs;
      req.saveByTag = &old.saveByTag;
      req.saveRate = &old.saveRate;
    }
    int read = cfg_LoadConfigFilesBound(&eps, dir, req);
    if (read != 0 && errno == OS_ERROR_XML_PARSE_ERROR) rc = -1;
    old.have = read == 0;
  }
  bool xml = ext_DoesXml(&eps) && cfg_IsNotCurrentConfig(dir.c_str());
  int mode = cfg_WriteXmlMode(dir.c_str());
  if (rc == 0 && !(xml && mode == CFG_WRITE_XML))
    rc = WriteBinary(&eps, dir, record, size, extra, extraSize, extraFile, autoEnable, saveOutputs, saveByTag,
                     saveRate);
  uint32_t e = rc != 0 ? static_cast<uint32_t>(errno) : 0;
  if (rc == 0) {
    if (xml && mode >= CFG_WRITE_BOTH &&
        cfg_WriteConfigXmlBound(&eps, dir, record, size, extra, extraSize, autoEnable, saveOutputs, saveByTag,
                                saveRate) != 0) {
      rc = -1;
      e = static_cast<uint32_t>(errno);
    }
    // Announced once every file is written, so that the server reads them whole.
    cfg_TouchServerConfigOf(dir.c_str());
    if (rc == 0 && old.have)
      WriteHistory(&eps, user, dir, old, record, size, extraGiven ? extra : nullptr, extraSize, autoEnable,
                   saveOutputs, saveByTag, saveRate);
  }
  ext_FreeExtension(module);
  if (rc != 0) os_Fail(e);
  return rc;
}

int cfg_WriteDeviceConfigRecord(const char *user, const char *directory, const void *record, uint32_t size,
                                const void *extra, uint32_t extraSize, const char *extraFile) {
  return cfg_WriteDeviceConfig(user, directory, record, size, extra, extraSize, extraFile, nullptr, nullptr, nullptr,
                               nullptr);
}

int cfg_WriteDeviceConfigHere(const void *record, uint32_t size) {
  return cfg_WriteDeviceConfigRecord(nullptr, ".", record, size, nullptr, 0, nullptr);
}

int cfg_TouchServerConfigOf(const char *directory) {
  std::string parent = cfg_ParentDir(cfg_AbsoluteDir(directory));
  if (parent.empty()) return os_Fail(OS_ERROR_PATH_NOT_FOUND), -1;
  std::string file = cfg_JoinPath(parent, "config");
  uint8_t first = 0;
  if (cfg_ReadFileAt(file, 0, &first, 1) != 0 || cfg_WriteFileAt(file, 0, &first, 1) != 0) return -1;
  return 0;
}

int cfg_TouchServerConfig(void) { return cfg_TouchServerConfigOf("."); }

int cfg_IsNotCurrentConfig(const char *path) {
  if (!path) return 0;
  std::string p = path;
  while (!p.empty() && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  static const char kTail[] = "CURRENT_CONFIG";
  size_t n = sizeof kTail - 1;
  if (p.size() <= n) return 1;
  char sep = p[p.size() - n - 1];
  return (sep == '\\' || sep == '/') && os_CompareNoCase(p.c_str() + p.size() - n, kTail) == 0 ? 0 : 1;
}
