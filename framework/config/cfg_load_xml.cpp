// The XML form of the device files: "config.xml".
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/cfg_device.h"
#include "framework/config/cfg_load_private.h"
#include "framework/config/cfg_path.h"
#include "framework/config/cfg_xml.h"
#include "framework/xml/xml_error.h"

namespace {

// Every setting must be there, whether the caller asked for it or not.
bool ReadSwitch(XmlNode *config, const char *name, ConfigSwitches *sw) {
  bool found = false;
  if (!cfg_ReadField(config, &cfg_ConfigSwitchesType, name, sw, nullptr, "<%s> %s", &found)) return false;
  if (found) return true;
  char text[XML_TEXT_MAX];
  snprintf(text, sizeof text, "<%s> tag not found", name);
  xml_SetError(-1, text);
  return false;
}

bool ReadFields(XmlNode *config, const RecordType *type, void *value, std::string *present) {
  CfgNames names;
  if (!cfg_ListNames(type, value, &names)) return false;
  for (int i = 0; i < names.count; ++i)
    if (!cfg_ReadField(config, type, names.names[i], value, present, "<%s> %s", nullptr)) return false;
  return true;
}

bool ReadRecord(const ExtEntryPoints *eps, XmlNode *config, const CfgLoadRequest &r) {
  memset(r.config, 0, r.configSize);
  const RecordType *type = ext_ConfigType(eps, r.config, r.configSize);
  if (!type) return true;
  // Room for the caller's record and for every field the type describes.
  std::vector<uint8_t> work(std::max<size_t>({704, r.configSize, type->size}), 0);
  std::string present = ",";
  if (eps->Decorated_Config_Size) {
    uint32_t parsedSize = ext_DecoratedConfigSize(eps, r.configSize);
    std::vector<uint8_t> parsed(std::max<size_t>(parsedSize, type->size), 0);
    if (!ReadFields(config, type, parsed.data(), &present)) return false;
    ext_DecorateConfig(eps, parsed.data(), parsedSize, work.data(), static_cast<uint32_t>(work.size()));
  } else if (!ReadFields(config, type, work.data(), &present)) {
    return false;
  }
  memcpy(r.config, work.data(), r.configSize);
  return ext_ValidateDevice(eps, present.c_str(), r.config) == 0;
}

bool ReadExtra(const ExtEntryPoints *eps, XmlNode *config, const CfgLoadRequest &r) {
  memset(r.extra, 0, r.extraSize);
  const RecordType *type = ext_ConfigExtraType(eps, r.config, r.configSize, r.extra, r.extraSize);
  if (!type) return true;
  std::vector<uint8_t> block(std::max<size_t>(r.extraSize, type->size), 0);
  std::string present = ",";
  if (!ReadFields(config, type, block.data(), &present)) return false;
  memcpy(r.extra, block.data(), r.extraSize);
  ext_DecorateConfigExtra(eps, r.config, r.configSize, r.extra, r.extraSize);
  return ext_ValidateDeviceExtra(eps, present.c_str(), r.config, r.extra, r.extraSize) == 0;
}

bool ReadDocument(const ExtEntryPoints *eps, XmlDocument *doc, const std::string &file, const CfgLoadRequest &r) {
  if (xml_Load(doc, file.c_str()) != 0) return false;
  XmlNode *root = xml_GetRootElement(doc);
  char *name = root ? xml_getName(root) : nullptr;
  bool configs = name && strcmp(name, "Configs") == 0;
  xml_FreeText(name);
  if (xml_GetError() < 0) return false;
  if (!configs) return xml_SetError(-1, "Root Element <Configs> not found"), false;
  XmlNode *config = cfg_FindChild(root, "Config");
  if (!config) return xml_GetError() >= 0 && (xml_SetError(-1, "<Config> tag not found"), false);
  ConfigSwitches sw{};
  for (const char *setting : {"AutoEnable", "SaveOutputs", "SaveByTag", "SaveRate"})
    if (!ReadSwitch(config, setting, &sw)) return false;
  if (r.config && r.configSize && !ReadRecord(eps, config, r)) return false;
  if (r.extra && r.extraSize && !ReadExtra(eps, config, r)) return false;
  if (r.autoEnable) *r.autoEnable = sw.AutoEnable ? 1 : 0;
  if (r.saveOutputs) *r.saveOutputs = sw.SaveOutputs ? 1 : 0;
  if (r.saveByTag) *r.saveByTag = sw.SaveByTag ? 1 : 0;
  if (r.saveRate) *r.saveRate = sw.SaveRate;
  return true;
}

}  // namespace

int cfg_LoadConfigXml(const ExtEntryPoints *eps, const std::string &folder, const CfgLoadRequest &r) {
  xml_SetErrorConfigName(cfg_DriverOf(folder).c_str());
  xml_SetErrorSection("Dev/Proc Config");
  XmlDocument *doc = xml_CreateDocument();
  bool ok = doc && ReadDocument(eps, doc, cfg_JoinPath(folder, "config.xml"), r);
  xml_ReleaseDocument(doc);
  if (!ok && xml_GetError() >= 0) xml_SetError(-1, "Xml Load Failed");
  return ok ? 0 : cfg_FailXml();
}
