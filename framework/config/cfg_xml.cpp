#include "framework/config/cfg_xml.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/config/cfg_path.h"
#include "framework/config/chan_files.h"
#include "framework/shm/shm_tables.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "record/record.h"

CfgNames::~CfgNames() {
  for (int i = 0; i < count; ++i) typed_mem_Release(TYPED_MEM_TEMP, names[i]);
  if (names) typed_mem_Release(TYPED_MEM_TEMP, names);
}

bool cfg_ListNames(const RecordType *type, const void *value, CfgNames *out) {
  int n = structs_ListFieldNames(type, value, &out->names, TYPED_MEM_TEMP);
  if (n < 0) {
    out->names = nullptr;
    if (xml_GetError() >= 0) {
      char text[XML_TEXT_MAX];
      snprintf(text, sizeof text, "<%s> %s", type && type->name ? type->name : "", strerror(errno));
      xml_SetError(-1, text);
    }
    return false;
  }
  out->count = n;
  return true;
}

XmlNode *cfg_FindChild(XmlNode *parent, const char *name) {
  for (XmlNode *c = xml_FirstChild(parent); c; c = xml_NextSibling(c)) {
    char *n = xml_getName(c);
    bool match = n && strcmp(n, name) == 0;
    xml_FreeText(n);
    if (match) return c;  // text and comment nodes are named "#text", "#comment"
  }
  return nullptr;
}

std::string cfg_FieldText(const RecordType *type, const char *name, const void *value, bool *ok) {
  char *text = structs_FieldToText(type, name, value, TYPED_MEM_TEMP);
  if (!text) {
    if (xml_GetError() >= 0) {
      char msg[XML_TEXT_MAX];
      snprintf(msg, sizeof msg, "<%s> %s", name, strerror(errno));
      xml_SetError(-1, msg);
    }
    if (ok) *ok = false;
    return "";
  }
  std::string s = text;
  typed_mem_Release(TYPED_MEM_TEMP, text);
  if (ok) *ok = true;
  return s;
}

void cfg_PutElement(XmlDocument *doc, XmlNode *parent, const char *name, const char *text, bool replace) {
  if (replace) {
    XmlNode *e = xml_ReplaceOrAppendElement(doc, name, parent);
    if (e && text && *text) xml_CreateAndAddTextNode(doc, text, e);
    return;
  }
  XmlNode *e = xml_CreateAndAddElement(doc, name, parent);
  if (e && text && *text) xml_CreateAndAddTextNode(doc, text, e);
  xml_CloseElement(doc, e);
}

void cfg_PutFields(XmlDocument *doc, XmlNode *parent, const RecordType *type, const void *value, bool replace) {
  CfgNames names;
  if (xml_GetError() < 0 || !cfg_ListNames(type, value, &names)) return;
  for (int i = 0; i < names.count && xml_GetError() >= 0; ++i) {
    bool ok = false;
    std::string text = cfg_FieldText(type, names.names[i], value, &ok);
    if (ok) cfg_PutElement(doc, parent, names.names[i], text.c_str(), replace);
  }
}

namespace {

// The element's text through `parse`; the rest as cfg_ReadField says.
template <typename Parse>
bool ReadElement(XmlNode *parent, const char *name, std::string *present, const char *errorFormat, bool *found,
                 Parse parse) {
  if (found) *found = false;
  XmlNode *e = cfg_FindChild(parent, name);
  if (!e) return xml_GetError() >= 0;
  char *text = xml_getText(e);
  if (!text) return false;
  char ebuf[256] = "";
  int rc = parse(text, ebuf, sizeof ebuf);
  xml_FreeText(text);
  if (rc != 0) {
    char msg[XML_TEXT_MAX];
    snprintf(msg, sizeof msg, errorFormat, name, ebuf);
    xml_SetError(-1, msg);
    return false;
  }
  if (present) *present += std::string(name) + ",";
  if (found) *found = true;
  xml_RemoveChild(parent, e);
  return xml_GetError() >= 0;
}

}  // namespace

bool cfg_ReadField(XmlNode *parent, const RecordType *type, const char *name, void *value, std::string *present,
                   const char *errorFormat, bool *found) {
  return ReadElement(parent, name, present, errorFormat, found, [&](const char *text, char *ebuf, size_t emax) {
    return structs_FieldFromText(type, name, text, value, ebuf, emax);
  });
}

bool cfg_ReadFieldAt(XmlNode *parent, const char *name, const RecordType *fieldType, void *at, std::string *present,
                     const char *errorFormat, bool *found) {
  return ReadElement(parent, name, present, errorFormat, found, [&](const char *text, char *ebuf, size_t emax) {
    return fieldType->from_text(fieldType, text, at, ebuf, emax);
  });
}

std::string cfg_DriverPrefix(const std::string &driver) { return driver.substr(0, 5); }

std::string cfg_KindNamespace(const std::string &driver, int kind) {
  return std::string(CHAN_XML_NAMESPACE_BASE) + "/" + cfg_DriverPrefix(driver) + "_" + chan_KindShortName(kind);
}

std::string cfg_DeviceNamespace(const std::string &driver) {
  return std::string(CHAN_XML_NAMESPACE_BASE) + "/" + cfg_DriverPrefix(driver);
}

void cfg_Attr(XmlDocument *doc, XmlNode *element, const char *name, const char *value) {
  xml_CreateAndAddAttributeNode(doc, name, value, element);
}

XmlNode *cfg_NewRootedDocument(XmlDocument *doc, const char *root, const std::string &ns, const std::string &schema) {
  xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8'");
  xml_CreateAndAddCommentNode(doc, CFG_XML_COMMENT);
  XmlNode *r = xml_CreateAndAddElement(doc, root, xml_DocumentNode(doc));
  cfg_Attr(doc, r, "xmlns:xsi", CFG_XSI_NAMESPACE);
  cfg_Attr(doc, r, "xmlns", ns.c_str());
  cfg_Attr(doc, r, "xsi:schemaLocation", (ns + " " + schema).c_str());
  return xml_GetError() < 0 ? nullptr : r;
}

XmlNode *cfg_NewSchemaDocument(XmlDocument *doc, const std::string &nsPrefix, const std::string &ns) {
  xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8' standalone='yes'");
  xml_CreateAndAddCommentNode(doc, CFG_XML_COMMENT);
  XmlNode *r = xml_CreateAndAddElement(doc, "xs:schema", xml_DocumentNode(doc));
  cfg_Attr(doc, r, "xmlns:xs", CFG_XS_NAMESPACE);
  cfg_Attr(doc, r, "xmlns:xsi", CFG_XSI_NAMESPACE);
  cfg_Attr(doc, r, ("xmlns:" + nsPrefix).c_str(), ns.c_str());
  cfg_Attr(doc, r, "targetNamespace", ns.c_str());
  // The instances put every element in the default namespace.
  cfg_Attr(doc, r, "elementFormDefault", "qualified");
  return xml_GetError() < 0 ? nullptr : r;
}

std::string cfg_SchemaFolder(const std::string &dir) {
  std::string parent = cfg_ParentDir(dir);
  if (parent.empty()) {
    xml_SetError(-1, "Invalid Pathname");
    return "";
  }
  std::string folder = cfg_JoinPath(parent, "SCHEMA");
  if (os_GetFileAttributes(folder.c_str()) == OS_INVALID_FILE_ATTRIBUTES && os_MakeDirectory(folder.c_str()) != 0 &&
      errno != OS_ERROR_ALREADY_EXISTS) {
    char text[XML_TEXT_MAX];
    snprintf(text, sizeof text, "Cannot create folder (%s) error %d", folder.c_str(), errno);
    xml_SetError(-1, text);
    return "";
  }
  return folder;
}
