// Texts and names between the callers' code page and libxml2's UTF-8, and the
// tree links that libxml2's own helpers would merge.
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "framework/xml/xml_private.h"
#include "framework/xml/xml_wide.h"
#include "platform/os_codepage.h"

namespace {

void SilentGeneric(void *, const char *, ...) {}
void SilentStructured(void *, xmlErrorPtr) {}

bool Utf8OfWide(const char16_t *wide, std::string &out) {
  size_t n = 0;
  while (wide[n]) ++n;
  size_t need = os_Utf16ToUtf8(wide, n, nullptr, 0);
  out.assign(need, '\0');
  os_Utf16ToUtf8(wide, n, out.data(), need + 1);
  return true;
}

}  // namespace

void xml_Silence(void) {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  // libxml2 keeps its handlers per thread.
  xmlSetGenericErrorFunc(nullptr, SilentGeneric);
  xmlSetStructuredErrorFunc(nullptr, SilentStructured);
}

bool xml_ToUtf8(const char *text, int which, std::string &out) {
  const char16_t *wide = which == 0 ? BstrFromChar(text) : BstrFromChar2(text);
  return wide && Utf8OfWide(wide, out);
}

bool xml_VariantToUtf8(const char *text, std::string &out) {
  if (!text || strlen(text) > XML_VARIANT_MAX) return false;
  return xml_ToUtf8(text, 1, out);
}

const char16_t *VariantFromChar(const char *text) {
  static char16_t variant[XML_VARIANT_MAX + 1];
  if (text && strlen(text) <= XML_VARIANT_MAX) {
    size_t n = os_Cp1252ToUtf16(text, strlen(text), variant, XML_VARIANT_MAX);
    variant[n] = u'\0';
    return variant;
  }
  xml_Fail(-1, "VariantFromChar('%s') failed", xml_Shown(text));
  return nullptr;
}

char *xml_FromUtf8(const xmlChar *text) {
  const char *s = text ? reinterpret_cast<const char *>(text) : "";
  size_t need = os_Utf8ToCp1252(s, nullptr, 0);
  char *out = static_cast<char *>(malloc(need + 1));
  if (out) os_Utf8ToCp1252(s, out, need + 1);
  return out;
}

void xml_FreeText(char *text) { free(text); }

bool xml_ValidChars(const std::string &utf8) {
  size_t i = 0;
  while (i < utf8.size()) {
    uint32_t c;
    size_t len = os_Utf8Decode(utf8.data() + i, utf8.size() - i, &c);
    // XML 1.0 characters; a malformed sequence decodes as U+FFFD and is refused here.
    bool ok = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
              c >= 0x10000;
    if (!ok || (c == 0xFFFD && len == 1 && static_cast<uint8_t>(utf8[i]) >= 0x80)) return false;
    i += len;
  }
  return true;
}

bool xml_IsBlank(const xmlChar *text) {
  for (const xmlChar *p = text; p && *p; ++p)
    if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') return false;
  return true;
}

bool xml_ValidName(const std::string &utf8) {
  return !utf8.empty() && xmlValidateQName(reinterpret_cast<const xmlChar *>(utf8.c_str()), 0) == 0;
}

std::string xml_NodeName(xmlNodePtr node) {
  switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE: {
      std::string name = node->name ? reinterpret_cast<const char *>(node->name) : "";
      if (node->ns && node->ns->prefix) name = std::string(reinterpret_cast<const char *>(node->ns->prefix)) + ":" + name;
      return name;
    }
    case XML_TEXT_NODE:
      return "#text";
    case XML_CDATA_SECTION_NODE:
      return "#cdata-section";
    case XML_COMMENT_NODE:
      return "#comment";
    case XML_DOCUMENT_NODE:
      return "#document";
    default:
      return node->name ? reinterpret_cast<const char *>(node->name) : "";
  }
}

void xml_LinkLast(xmlNodePtr parent, xmlNodePtr node) {
  node->parent = parent;
  node->next = nullptr;
  node->prev = parent->last;
  if (parent->last)
    parent->last->next = node;
  else
    parent->children = node;
  parent->last = node;
}

void xml_LinkBefore(xmlNodePtr ref, xmlNodePtr node) {
  xmlNodePtr parent = ref->parent;
  node->parent = parent;
  node->next = ref;
  node->prev = ref->prev;
  if (ref->prev)
    ref->prev->next = node;
  else if (parent)
    parent->children = node;
  ref->prev = node;
}

bool xml_CanAttach(xmlNodePtr child, xmlNodePtr parent) {
  if (!child || !parent || child->doc != parent->doc) return false;
  switch (child->type) {
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      break;
    default:
      return false;
  }
  if (parent->type != XML_ELEMENT_NODE && parent->type != XML_DOCUMENT_NODE) return false;
  for (xmlNodePtr p = parent; p; p = p->parent)
    if (p == child) return false;
  if (parent->type == XML_DOCUMENT_NODE) {
    // A document holds one element and, between its nodes, only blanks.
    if (child->type == XML_CDATA_SECTION_NODE) return false;
    if (child->type == XML_TEXT_NODE && !xml_IsBlank(child->content)) return false;
    if (child->type == XML_ELEMENT_NODE)
      for (xmlNodePtr c = parent->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && c != child) return false;
  }
  return true;
}
