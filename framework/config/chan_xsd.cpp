// The schema of a kind's XML channel files.
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_bound.h"
#include "framework/config/cfg_path.h"
#include "framework/config/cfg_xml.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_types.h"
#include "framework/registry/cfg_switches.h"
#include "framework/shm/shm_tables.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"

int xsd_WriteChannelSchemaBound(const ExtEntryPoints *eps, const std::string &dir, int kind,
                                const ChannelRecord *records, int count) {
  if (cfg_WriteXmlMode(dir.c_str()) == CFG_WRITE_BIN) return 0;
  std::string driver = cfg_DriverOf(dir);
  std::string prefix = cfg_DriverPrefix(driver) + "_" + chan_KindShortName(kind);
  ChannelRecord sample;
  memset(&sample, 0, sizeof sample);
  if (records && count > 0) sample = records[0];
  XmlDocument *doc = xml_CreateDocument();
  xml_SetErrorConfigName(cfg_LastComponent(dir).c_str());
  xml_SetErrorSection("Creating Schema");
  std::string folder = cfg_SchemaFolder(dir);
  XmlNode *schema = folder.empty() ? nullptr : cfg_NewSchemaDocument(doc, prefix, cfg_KindNamespace(driver, kind));
  int last = kind == IO_AI && ext_MixedChannelType(eps) ? IO_DI : kind;
  for (int k = kind; k <= last; ++k) {
    XmlNode *group = xml_CreateAndAddElement(doc, "xs:group", schema);
    char name[32];
    snprintf(name, sizeof name, "Channel_%.1s", chan_KindShortName(k));
    cfg_Attr(doc, group, "name", name);
    XmlNode *seq = xml_CreateAndAddElement(doc, "xs:sequence", group);
    xsd_AddSimpleTypes(doc, seq, chan_LayoutType(k, ext_ChannelHwType(eps, k, 0, &sample)), CHAN_COMMON_FIELD_COUNT,
                       0);
  }
  XmlNode *channels = xml_CreateAndAddElement(doc, "xs:element", schema);
  cfg_Attr(doc, channels, "name", "Channels");
  XmlNode *outer =
      xml_CreateAndAddElement(doc, "xs:sequence", xml_CreateAndAddElement(doc, "xs:complexType", channels));
  cfg_Attr(doc, outer, "minOccurs", "1");
  cfg_Attr(doc, outer, "maxOccurs", std::to_string(count > 0 ? count : 1).c_str());
  XmlNode *channel = xml_CreateAndAddElement(doc, "xs:element", outer);
  cfg_Attr(doc, channel, "name", "Channel");
  XmlNode *complex = xml_CreateAndAddElement(doc, "xs:complexType", channel);
  XmlNode *fields = xml_CreateAndAddElement(doc, "xs:sequence", complex);
  xsd_AddSimpleTypes(doc, fields, chan_LayoutType(kind, ext_ChannelHwType(eps, kind, 0, &sample)), 0,
                     CHAN_COMMON_FIELD_COUNT);
  // A file of both layouts holds one layout's fields in each channel.
  XmlNode *layouts = xml_CreateAndAddElement(doc, last > kind ? "xs:choice" : "xs:sequence", fields);
  for (int k = kind; k <= last; ++k) {
    XmlNode *ref = xml_CreateAndAddElement(doc, "xs:group", layouts);
    char name[64];
    snprintf(name, sizeof name, "%s:Channel_%.1s", prefix.c_str(), chan_KindShortName(k));
    cfg_Attr(doc, ref, "ref", name);
  }
  if (const RecordType *extraType = ext_ChannelExtraType(eps, kind, 0, &sample))
    xsd_AddSimpleTypes(doc, fields, extraType, 0, 0);
  XmlNode *id = xml_CreateAndAddElement(doc, "xs:attribute", complex);
  cfg_Attr(doc, id, "name", "id");
  cfg_Attr(doc, id, "type", "xs:integer");
  cfg_Attr(doc, id, "use", "required");
  xml_IndentTree(doc, schema, 0);
  if (!folder.empty()) xml_Save(doc, cfg_JoinPath(folder, (prefix + ".xsd").c_str()).c_str());
  xml_ReleaseDocument(doc);
  return xml_GetError() < 0 ? cfg_FailXml() : 0;
}

int xsd_WriteChannelSchema(const char *, const char *directory, int kind, const ChannelRecord *records, int count) {
  if (kind < 0 || kind > 5 || count < 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string dir = cfg_AbsoluteDir(directory);
  if (cfg_WriteXmlMode(dir.c_str()) == CFG_WRITE_BIN) return 0;
  OsModuleHandle module = ext_LoadExtension(dir.c_str());
  ExtEntryPoints eps;
  ext_BindEntryPoints(module, &eps);
  int rc = xsd_WriteChannelSchemaBound(&eps, dir, kind, records, count);
  uint32_t e = rc ? static_cast<uint32_t>(errno) : 0;
  ext_FreeExtension(module);
  if (rc != 0) os_Fail(e);
  return rc;
}
