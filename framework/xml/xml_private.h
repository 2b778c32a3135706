// What the XML layer's files share.
#pragma once
#include <libxml/tree.h>

#include <string>
#include <vector>

#include "framework/xml/xml_doc.h"

struct XmlDocument {
  xmlDocPtr dom;  // its _private points back here
  bool declared;  // an "xml" declaration is written when saved
  // Attribute views of namespace declarations (libxml2 keeps those apart from
  // attributes); owned here and freed before the tree.
  std::vector<xmlAttrPtr> views;
};

// Frees the document's attribute views.
void xml_FreeViews(XmlDocument *doc);

// True while the sticky error is negative.
bool xml_Pending(void);
// Records a failure: the formatted text and the code (-1 when not negative).
void xml_Fail(int32_t code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void xml_AddDepth(int delta);
// The error text alone, without the context of xml_GetErrorText.
const char *xml_ErrorMessage(void);
// Clears the error and the depth for a new document.
void xml_ResetForDocument(void);
// A text for messages: "(null)" for NULL.
const char *xml_Shown(const char *text);

// A narrow text as UTF-8 through the first (which 0) or second wide
// conversion; false when it cannot be converted.
bool xml_ToUtf8(const char *text, int which, std::string &out);
// As xml_ToUtf8, for texts of at most XML_VARIANT_MAX characters.
bool xml_VariantToUtf8(const char *text, std::string &out);
// A newly allocated narrow copy of a UTF-8 text, or NULL.
char *xml_FromUtf8(const xmlChar *text);

bool xml_ValidChars(const std::string &utf8);
bool xml_IsBlank(const xmlChar *text);
bool xml_ValidName(const std::string &utf8);
// The node's name as written in the document ("xs:element", "#text").
std::string xml_NodeName(xmlNodePtr node);

// Links a detached node as the last child of `parent` or before `ref`; never
// merges text nodes.
void xml_LinkLast(xmlNodePtr parent, xmlNodePtr node);
void xml_LinkBefore(xmlNodePtr ref, xmlNodePtr node);
// Whether `child` may become a child of `parent` (node kinds, one root
// element, no cycle, same document).
bool xml_CanAttach(xmlNodePtr child, xmlNodePtr parent);

// Keeps libxml2 from writing its messages to stderr.
void xml_Silence(void);
