// What the XML readers and writers of the configuration files share.
#pragma once
#include <cstdint>
#include <string>

#include "framework/xml/xml_doc.h"
#include "record/rec_type.h"

#define CFG_XSI_NAMESPACE "http://www.w3.org/2001/XMLSchema-instance"
#define CFG_XS_NAMESPACE "http://www.w3.org/2001/XMLSchema"

// The dotted field names of a record type (freed with the object).
struct CfgNames {
  char **names = nullptr;
  int count = 0;
  CfgNames() = default;
  CfgNames(const CfgNames &) = delete;
  CfgNames &operator=(const CfgNames &) = delete;
  ~CfgNames();
};
// Lists the names of `type` for `value`; false (XML error set) on failure.
bool cfg_ListNames(const RecordType *type, const void *value, CfgNames *out);
// The element child of `parent` named `name`, matched as written; NULL when
// there is none. Names need not be valid expressions.
XmlNode *cfg_FindChild(XmlNode *parent, const char *name);
// The text of a field (NULL when it cannot be formed; XML error set).
std::string cfg_FieldText(const RecordType *type, const char *name, const void *value, bool *ok);
// Writes one element with its text under parent: replacing a child of the
// same name when `replace`, else appended.
void cfg_PutElement(XmlDocument *doc, XmlNode *parent, const char *name, const char *text, bool replace);
// Every field of the type as an element of parent.
void cfg_PutFields(XmlDocument *doc, XmlNode *parent, const RecordType *type, const void *value, bool replace);
// Parses the field's element (when present) into value and removes it; the
// name then joins `present` (",A,B,"). An error sets the XML error formatted
// with `errorFormat` (field name, parser's text). True when nothing failed.
bool cfg_ReadField(XmlNode *parent, const RecordType *type, const char *name, void *value, std::string *present,
                   const char *errorFormat, bool *found);
// The same for a field located once beforehand (a fixed-size primitive type
// whose value lies at `at`), for readers of many records of one type.
bool cfg_ReadFieldAt(XmlNode *parent, const char *name, const RecordType *fieldType, void *at, std::string *present,
                     const char *errorFormat, bool *found);

// The namespace of a driver's kind ("%1.5s_%s") or of its device files ("%1.5s").
std::string cfg_KindNamespace(const std::string &driver, int kind);
std::string cfg_DeviceNamespace(const std::string &driver);
// The prefix "%1.5s" of a driver name.
std::string cfg_DriverPrefix(const std::string &driver);
// A new document with the declaration, the comment and a root element that
// carries the namespace and schema location; NULL on failure.
XmlNode *cfg_NewRootedDocument(XmlDocument *doc, const char *root, const std::string &ns, const std::string &schema);
// A schema document: declaration, comment and "xs:schema" for the namespace.
XmlNode *cfg_NewSchemaDocument(XmlDocument *doc, const std::string &nsPrefix, const std::string &ns);
// The "SCHEMA" folder beside the device folder, created when missing; "" with
// the XML error "Invalid Pathname" when the directory has no parent.
std::string cfg_SchemaFolder(const std::string &dir);
void cfg_Attr(XmlDocument *doc, XmlNode *element, const char *name, const char *value);
