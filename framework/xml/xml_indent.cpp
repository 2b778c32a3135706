// Indentation: one element per line, nested by tabs.
#include <string>

#include "framework/xml/xml_private.h"

namespace {

void Indent(XmlDocument *doc, xmlNodePtr node, int depth) {
  std::string line = "\n" + std::string(depth > 0 ? static_cast<size_t>(depth) : 0, '\t');
  if (depth > 0) xml_InsertTextBefore(doc, line.c_str(), reinterpret_cast<XmlNode *>(node));
  bool elements = false;
  for (xmlNodePtr c = node->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE) continue;
    elements = true;
    Indent(doc, c, depth + 1);
  }
  if (elements) xml_CreateAndAddTextNode(doc, line.c_str(), reinterpret_cast<XmlNode *>(node));
}

}  // namespace

// A failure from before or during indentation stays: the writer that checks
// once at the end must see it.
int xml_IndentTree(XmlDocument *doc, XmlNode *element, int depth) {
  if (xml_Pending() || !doc || !element) return -1;
  Indent(doc, reinterpret_cast<xmlNodePtr>(element), depth);
  return xml_Pending() ? -1 : 0;
}
