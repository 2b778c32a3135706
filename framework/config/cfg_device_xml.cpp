// "config.xml" and its schema.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_bound.h"
#include "framework/config/cfg_device.h"
#include "framework/config/cfg_path.h"
#include "framework/config/cfg_xml.h"
#include "framework/registry/cfg_switches.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "record/record.h"

namespace {

const char *const kSwitchNames[4] = {"AutoEnable", "SaveOutputs", "SaveByTag", "SaveRate"};

bool IsEarlierSwitch(const char *name, int index) {
  for (int i = 0; i < index; ++i)
    if (strcmp(name, kSwitchNames[i]) == 0) return true;
  return false;
}

// A switch that is not there yet goes after the switches that precede it and
// before everything else, where the schema's sequence has it.
void PutSwitch(XmlDocument *doc, XmlNode *config, int index, const ConfigSwitches &sw) {
  const char *name = kSwitchNames[index];
  bool ok = false;
  std::string text = cfg_FieldText(&cfg_ConfigSwitchesType, name, &sw, &ok);
  if (!ok) return;
  if (cfg_FindChild(config, name)) {
    cfg_PutElement(doc, config, name, text.c_str(), true);
    return;
  }
  XmlNode *before = nullptr;
  for (XmlNode *c = xml_FirstChild(config); c && !before; c = xml_NextSibling(c)) {
    char *n = xml_getName(c);
    if (n && n[0] != '#' && !IsEarlierSwitch(n, index)) before = c;
    xml_FreeText(n);
  }
  if (!before) {
    cfg_PutElement(doc, config, name, text.c_str(), false);
    return;
  }
  XmlNode *e = xml_CreateElement(doc, name);
  if (!e) return;
  if (!text.empty()) xml_CreateAndAddTextNode(doc, text.c_str(), e);
  if (xml_InsertBefore(e, before) != 0) xml_ReleaseNode(e);
}

XmlNode *OpenRoot(XmlDocument *doc, const std::string &file, const std::string &driver) {
  int loaded = xml_Load(doc, file.c_str());
  if (loaded == 1 && !cfg_FileExists(file)) {
    xml_ClearError();
    std::string ns = cfg_DeviceNamespace(driver);
    return cfg_NewRootedDocument(doc, "Configs", ns, "../SCHEMA/" + cfg_DriverPrefix(driver) + ".xsd");
  }
  // A file that does not load is left alone rather than replaced.
  if (loaded != 0) return nullptr;
  XmlNode *root = xml_GetRootElement(doc);
  char *name = root ? xml_getName(root) : nullptr;
  bool configs = name && strcmp(name, "Configs") == 0;
  xml_FreeText(name);
  if (xml_GetError() >= 0 && !configs) xml_SetError(-1, "Root Element <Configs> not found");
  return configs ? root : nullptr;
}

// The switches as the binary files hold them (off and 0 where they do not).
ConfigSwitches StoredSwitches(const std::string &dir) {
  int e = errno;
  ConfigSwitches sw{};
  uint8_t autoEnable = 0, raw[CFG_SAVECONFIG_SIZE] = {};
  if (cfg_ReadFileAt(cfg_JoinPath(dir, "config"), 0, &autoEnable, 1) == 0) sw.AutoEnable = autoEnable ? 1 : 0;
  if (cfg_ReadFileAt(cfg_JoinPath(dir, "saveconfig"), 0, raw, sizeof raw) == 0) {
    sw.SaveOutputs = raw[0] ? 1 : 0;
    sw.SaveByTag = raw[1] ? 1 : 0;
    memcpy(&sw.SaveRate, raw + CFG_SAVERATE_OFFSET, 4);
  }
  errno = e;
  return sw;
}

}  // namespace

int cfg_WriteConfigXmlBound(const ExtEntryPoints *eps, const std::string &dir, const void *record, uint32_t size,
                            const void *extra, uint32_t extraSize, const uint8_t *autoEnable,
                            const uint8_t *saveOutputs, const uint8_t *saveByTag, const int32_t *saveRate) {
  std::string driver = cfg_DriverOf(dir);
  XmlDocument *doc = xml_CreateDocument();
  xml_SetErrorConfigName(cfg_LastComponent(dir).c_str());
  xml_SetErrorSection("Dev/Proc Config");
  XmlNode *root = OpenRoot(doc, cfg_JoinPath(dir, "config.xml"), driver);
  XmlNode *config = root ? cfg_FindChild(root, "Config") : nullptr;
  if (root && !config && xml_GetError() >= 0) config = xml_CreateAndAddElement(doc, "Config", root);
  ConfigSwitches sw{autoEnable && *autoEnable ? 1 : 0, saveOutputs && *saveOutputs ? 1 : 0,
                    saveByTag && *saveByTag ? 1 : 0, saveRate ? static_cast<uint32_t>(*saveRate) : 0u};
  if (config && autoEnable) PutSwitch(doc, config, 0, sw);
  if (config && saveOutputs)
    for (int i = 1; i < 4; ++i) PutSwitch(doc, config, i, sw);
  // The reader needs every switch: one the file lacks gets its stored value.
  if (config) {
    ConfigSwitches stored = StoredSwitches(dir);
    for (int i = 0; i < 4; ++i)
      if (!cfg_FindChild(config, kSwitchNames[i])) PutSwitch(doc, config, i, stored);
  }
  const RecordType *type = record ? ext_ConfigType(eps, record, size) : nullptr;
  if (config && type) {
    std::vector<uint8_t> copy(type->size > size ? type->size : size, 0);
    memcpy(copy.data(), record, size);
    ext_UndecorateConfig(eps, copy.data(), size);
    cfg_PutFields(doc, config, type, copy.data(), true);
  }
  const RecordType *extraType = extra ? ext_ConfigExtraType(eps, record, size, extra, extraSize) : nullptr;
  if (config && extraType) {
    std::vector<uint8_t> copy(extraType->size > extraSize ? extraType->size : extraSize, 0);
    memcpy(copy.data(), extra, extraSize);
    ext_UndecorateConfigExtra(eps, record, size, copy.data(), extraSize);
    cfg_PutFields(doc, config, extraType, copy.data(), true);
  }
  xml_IndentTree(doc, root, 0);
  xml_Save(doc, cfg_JoinPath(dir, "config.xml").c_str());
  xml_ReleaseDocument(doc);
  if (xml_GetError() < 0) return cfg_FailXml();
  return record ? xsd_WriteConfigSchemaBound(eps, dir, record, size, extra, extraSize) : 0;
}

int xsd_WriteConfigSchemaBound(const ExtEntryPoints *eps, const std::string &dir, const void *record, uint32_t size,
                               const void *extra, uint32_t extraSize) {
  if (cfg_WriteXmlMode(dir.c_str()) == CFG_WRITE_BIN) return 0;
  std::string driver = cfg_DriverOf(dir), prefix = cfg_DriverPrefix(driver);
  XmlDocument *doc = xml_CreateDocument();
  xml_SetErrorConfigName(cfg_LastComponent(dir).c_str());
  xml_SetErrorSection("Creating Schema");
  std::string folder = cfg_SchemaFolder(dir);
  XmlNode *schema = folder.empty() ? nullptr : cfg_NewSchemaDocument(doc, prefix, cfg_DeviceNamespace(driver));
  XmlNode *configs = xml_CreateAndAddElement(doc, "xs:element", schema);
  cfg_Attr(doc, configs, "name", "Configs");
  XmlNode *complex = xml_CreateAndAddElement(doc, "xs:complexType", configs);
  XmlNode *outer = xml_CreateAndAddElement(doc, "xs:sequence", complex);
  cfg_Attr(doc, outer, "minOccurs", "1");
  cfg_Attr(doc, outer, "maxOccurs", "2");
  XmlNode *config = xml_CreateAndAddElement(doc, "xs:element", outer);
  cfg_Attr(doc, config, "name", "Config");
  XmlNode *inner = xml_CreateAndAddElement(doc, "xs:sequence", xml_CreateAndAddElement(doc, "xs:complexType", config));
  xsd_AddSimpleTypes(doc, inner, &cfg_ConfigSwitchesType, 0, 0);
  const RecordType *type = ext_ConfigType(eps, record, size);
  if (type) xsd_AddSimpleTypes(doc, inner, type, 0, 0);
  const RecordType *extraType = ext_ConfigExtraType(eps, record, size, extra, extraSize);
  if (extraType) xsd_AddSimpleTypes(doc, inner, extraType, 0, 0);
  xml_IndentTree(doc, schema, 0);
  if (!folder.empty()) xml_Save(doc, cfg_JoinPath(folder, (prefix + ".xsd").c_str()).c_str());
  xml_ReleaseDocument(doc);
  return xml_GetError() < 0 ? cfg_FailXml() : 0;
}

int cfg_WriteConfigXml(const char *, const char *directory, const void *record, uint32_t size, const void *extra,
                       uint32_t extraSize, const uint8_t *autoEnable, const uint8_t *saveOutputs,
                       const uint8_t *saveByTag, const int32_t *saveRate) {
  std::string dir = cfg_AbsoluteDir(directory);
  OsModuleHandle module = ext_LoadExtension(dir.c_str());
  ExtEntryPoints eps;
  ext_BindEntryPoints(module, &eps);
  int rc = cfg_WriteConfigXmlBound(&eps, dir, record, size, extra, extraSize, autoEnable, saveOutputs, saveByTag,
                                   saveRate);
  uint32_t e = rc ? static_cast<uint32_t>(errno) : 0;
  ext_FreeExtension(module);
  if (rc != 0) os_Fail(e);
  return rc;
}

int xsd_WriteConfigSchema(const char *, const char *directory, const void *record, uint32_t size, const void *extra,
                          uint32_t extraSize) {
  std::string dir = cfg_AbsoluteDir(directory);
  if (cfg_WriteXmlMode(dir.c_str()) == CFG_WRITE_BIN) return 0;
  OsModuleHandle module = ext_LoadExtension(dir.c_str());
  ExtEntryPoints eps;
  ext_BindEntryPoints(module, &eps);
  int rc = xsd_WriteConfigSchemaBound(&eps, dir, record, size, extra, extraSize);
  uint32_t e = rc ? static_cast<uint32_t>(errno) : 0;
  ext_FreeExtension(module);
  if (rc != 0) os_Fail(e);
  return rc;
}
