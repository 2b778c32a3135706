// The XML document layer over libxml2: create, append, replace, find by name
// or attribute, read text, iterate children, remove, load, save, indent, and
// the XSD simple-type writer.
//
// Narrow texts are code page 1252; the files are written in the encoding that
// the document's "xml" processing instruction names. Element and attribute
// names must be XML names. Lookups by name (and the name of an element in an
// expression) match the names as written in the document, so they work in
// documents with a default namespace. Loading drops whitespace-only text
// between elements, so a document that is loaded, indented and saved again
// keeps its form.
//
// Nodes belong to their document. A node that is not in a document's tree
// (made by xml_CreateElement and never attached) is freed by xml_ReleaseNode;
// for nodes in the tree that is a no-op. Texts that the layer returns are
// allocated and freed with xml_FreeText.
#pragma once
#include <cstdint>

#include "framework/xml/xml_error.h"

struct RecordType;
struct XmlDocument;
typedef struct _xmlNode XmlNode;

// One (name, text) pair of xml_IterateChan; both freed with xml_FreeText.
struct XmlNamePair {
  char *name;
  char *text;
};

enum : int { XML_VARIANT_MAX = 128 };

// The text that stands in for a text the document refuses.
#define XML_ILLEGAL_TEXT "**** Illegal Characters in output stream ****"

// A new, empty document; clears the error and the depth.
XmlDocument *xml_CreateDocument(void);
void xml_ReleaseDocument(XmlDocument *doc);
// The document itself as a node: the parent of the root element, of comments
// and of processing instructions, and a start for finds.
XmlNode *xml_DocumentNode(XmlDocument *doc);
void xml_ReleaseNode(XmlNode *node);
void xml_FreeText(char *text);

XmlNode *xml_CreateElement(XmlDocument *doc, const char *name);
int xml_AppendChildToParent(XmlNode *child, XmlNode *parent);                      // 0 / -1
XmlNode *xml_CreateAndAddElement(XmlDocument *doc, const char *name, XmlNode *parent);  // depth + 1
int xml_CloseElement(XmlDocument *doc, XmlNode *element);  // depth - 1; 1 when either is NULL
XmlNode *xml_ReplaceOrAppendElement(XmlDocument *doc, const char *name, XmlNode *parent);
int xml_CreateAndAddAttributeNode(XmlDocument *doc, const char *name, const char *value, XmlNode *element);
int xml_CreateAndAddTextNode(XmlDocument *doc, const char *text, XmlNode *parent);
int xml_CreateAndAddCDATANode(XmlDocument *doc, const char *text, XmlNode *parent);
int xml_CreateAndAddCommentNode(XmlDocument *doc, const char *text);
// Target "xml" sets the document's declaration (version, encoding, standalone).
int xml_CreateAndAddPINode(XmlDocument *doc, const char *target, const char *data);
int xml_InsertTextBefore(XmlDocument *doc, const char *text, XmlNode *node);
int xml_InsertBefore(XmlNode *node, XmlNode *reference);

// The first node the expression selects (a name, or a path of names), or NULL.
XmlNode *xml_FindByName(XmlNode *node, const char *path);
// The first element `element` whose attribute `attribute` equals `value`.
XmlNode *xml_FindByAttribute(XmlNode *node, const char *element, const char *attribute, const char *value);
XmlNode *xml_FirstChild(XmlNode *node);
XmlNode *xml_LastChild(XmlNode *node);
XmlNode *xml_NextSibling(XmlNode *node);
XmlNode *xml_PreviousSibling(XmlNode *node);
// Removes and frees the child; 0 / -1.
int xml_RemoveChild(XmlNode *parent, XmlNode *child);
// The attribute node, or NULL (also when flag is 0).
XmlNode *xml_getAttribute(XmlNode *element, const char *name, int flag);
char *xml_getName(XmlNode *node);
// The value of the node's first text child; "" when it has none.
char *xml_getText(XmlNode *node);
// (name, text) of the element children in order, at most `maximum`: the
// count, or -1 (error -1) when a child is not an element.
int xml_IterateChan(XmlNode *node, XmlNamePair *pairs, int maximum);
XmlNode *xml_GetRootElement(XmlDocument *doc);

// 0 loaded; 1 the file does not exist (error set) or its name cannot be
// converted; -1 any other failure.
int xml_Load(XmlDocument *doc, const char *fileName);
// 0 saved; otherwise the failure's code (negative).
int xml_Save(XmlDocument *doc, const char *fileName);
// One element per line, nested by tabs from `depth`; 0 / -1.
int xml_IndentTree(XmlDocument *doc, XmlNode *element, int depth);

// The XSD simple types of a record type's fields (from index `first`; up to
// index `last`, exclusive, when that is above 0) as "xs:element" children of
// `parent`. Returns the error (0 when clear).
int32_t xsd_AddSimpleTypes(XmlDocument *doc, XmlNode *parent, const RecordType *type, int first, int last);
// A "bitfield" type names its two words (off, on) in args[XSD_BITFIELD_WORDS_ARG].p
// as a `const char *const[2]`.
enum : int { XSD_BITFIELD_WORDS_ARG = 2 };

// A narrow text of at most 128 characters as a wide string (process-wide
// buffer), or NULL with the error set.
const char16_t *VariantFromChar(const char *text);
