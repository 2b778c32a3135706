// Finding and reading nodes.
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cstdlib>
#include <cstring>

#include "framework/xml/xml_private.h"

namespace {

xmlNodePtr N(XmlNode *n) { return reinterpret_cast<xmlNodePtr>(n); }
XmlNode *P(xmlNodePtr n) { return reinterpret_cast<XmlNode *>(n); }

void SilentXPath(void *, xmlErrorPtr) {}

bool NameStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80; }
bool NCNameChar(unsigned char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }
bool Digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool Blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A name test matched against the name as written, whatever the namespace.
std::string NameTest(const std::string &name) { return "*[name()='" + name + "']"; }

// Rewrites every name test of an expression (steps at any depth, inside
// predicates, after axes and "@") into a test of the written name. A name is
// a name test unless it follows an operand (then it is an operator name) or
// is followed by "(" (a function or node type) or "::" (an axis).
std::string Translate(const std::string &path) {
  std::string out;
  const size_t n = path.size();
  auto at = [&](size_t k) { return k < n ? static_cast<unsigned char>(path[k]) : 0; };
  bool operand = false;  // the previous token ends an operand
  size_t i = 0;
  while (i < n) {
    unsigned char c = at(i);
    size_t j = i + 1;
    if (Blank(c)) {
      out += path[i++];
      continue;
    }
    if (c == '\'' || c == '"') {
      size_t end = path.find(static_cast<char>(c), i + 1);
      j = end == std::string::npos ? n : end + 1;
      operand = true;
    } else if (Digit(c) || (c == '.' && Digit(at(i + 1)))) {
      while (Digit(at(j)) || at(j) == '.') ++j;
      operand = true;
    } else if (c == '$') {
      while (NCNameChar(at(j)) || at(j) == ':') ++j;
      operand = true;
    } else if (NameStart(c)) {
      while (NCNameChar(at(j))) ++j;
      if (at(j) == ':' && at(j + 1) == '*') {
        j += 2;
      } else if (at(j) == ':' && NameStart(at(j + 1))) {
        for (++j; NCNameChar(at(j));) ++j;
      }
      std::string name = path.substr(i, j - i);
      size_t k = j;
      while (Blank(at(k))) ++k;
      bool special = operand || at(k) == '(' || (at(k) == ':' && at(k + 1) == ':');
      bool test = !special && name.back() != '*' && xml_ValidName(name);
      out += test ? NameTest(name) : name;
      operand = !special;
      i = j;
      continue;
    } else if (c == ':' && at(i + 1) == ':') {
      j = i + 2;
      operand = false;
    } else if (c == '.') {
      if (at(j) == '.') ++j;
      operand = true;
    } else if (c == '*') {
      // A wildcard after an operator, else a multiplication.
      operand = !operand;
    } else {
      operand = c == ')' || c == ']';
    }
    out.append(path, i, j - i);
    i = j;
  }
  return out;
}

// An XPath literal of any text: quoted with ' or ", or joined by concat().
std::string Literal(const std::string &v) {
  if (v.find('\'') == std::string::npos) return "'" + v + "'";
  if (v.find('"') == std::string::npos) return "\"" + v + "\"";
  std::string out = "concat(";
  size_t i = 0;
  while (i < v.size()) {
    size_t q = v.find('\'', i);
    if (q == i) {
      out += "\"'\",";
      ++i;
      continue;
    }
    size_t end = q == std::string::npos ? v.size() : q;
    out += "'" + v.substr(i, end - i) + "',";
    i = end;
  }
  out += "'')";
  return out;
}

// The first node the expression selects; false when it is no valid
// expression of nodes.
bool Select(xmlNodePtr node, const std::string &expr, xmlNodePtr *found) {
  *found = nullptr;
  xml_Silence();
  xmlXPathContextPtr ctx = xmlXPathNewContext(node->doc);
  if (!ctx) return false;
  ctx->node = node;
  ctx->error = SilentXPath;
  xmlXPathObjectPtr r = xmlXPathEvalExpression(reinterpret_cast<const xmlChar *>(expr.c_str()), ctx);
  bool ok = r && r->type == XPATH_NODESET;
  if (ok && r->nodesetval)
    for (int i = 0; i < r->nodesetval->nodeNr && !*found; ++i)
      if (r->nodesetval->nodeTab[i]->type != XML_NAMESPACE_DECL) *found = r->nodesetval->nodeTab[i];
  xmlXPathFreeObject(r);
  xmlXPathFreeContext(ctx);
  return ok;
}

// A namespace declaration seen as the attribute it is written as: a
// detached, read-only attribute node that the document frees.
XmlNode *NamespaceView(xmlNodePtr e, const std::string &name) {
  XmlDocument *owner = e->doc ? static_cast<XmlDocument *>(e->doc->_private) : nullptr;
  const char *prefix = name.size() > 6 && name.compare(0, 6, "xmlns:") == 0 ? name.c_str() + 6 : nullptr;
  if (!owner || (!prefix && name != "xmlns")) return nullptr;
  xmlNsPtr ns = e->nsDef;
  while (ns && !(prefix ? ns->prefix && strcmp(reinterpret_cast<const char *>(ns->prefix), prefix) == 0 : !ns->prefix))
    ns = ns->next;
  if (!ns) return nullptr;
  xmlAttrPtr view = nullptr;
  for (xmlAttrPtr a : owner->views)
    if (a->parent == e && xml_NodeName(reinterpret_cast<xmlNodePtr>(a)) == name) view = a;
  if (!view) {
    view = xmlNewDocProp(e->doc, reinterpret_cast<const xmlChar *>(name.c_str()), nullptr);
    if (!view) return nullptr;
    owner->views.push_back(view);
    view->parent = e;  // never linked among the element's attributes
  }
  xmlNodeSetContent(reinterpret_cast<xmlNodePtr>(view), ns->href);
  return reinterpret_cast<XmlNode *>(view);
}

}  // namespace

XmlNode *xml_FindByName(XmlNode *node, const char *path) {
  if (xml_Pending() || !node) return nullptr;
  std::string p;
  if (!xml_ToUtf8(path, 0, p)) return xml_Fail(-1, "BstrFromChar('%s') failed", xml_Shown(path)), nullptr;
  xmlNodePtr found;
  if (p.empty() || !Select(N(node), Translate(p), &found)) {
    xml_Fail(XML_E_FAIL, "xml_FindByName('%s') failed 0x%x", path, static_cast<unsigned>(XML_E_FAIL));
    return nullptr;
  }
  return P(found);
}

XmlNode *xml_FindByAttribute(XmlNode *node, const char *element, const char *attribute, const char *value) {
  if (xml_Pending() || !node) return nullptr;
  std::string e, a, v;
  if (!xml_ToUtf8(element, 0, e) || !xml_ToUtf8(attribute, 1, a) || !xml_ToUtf8(value, 1, v)) {
    xml_Fail(-1, "BstrFromChar('%s') failed", xml_Shown(!element ? element : !attribute ? attribute : value));
    return nullptr;
  }
  std::string expr = (e == "*" ? e : Translate(e)) + "[@*[name()='" + a + "']=" + Literal(v) + "]";
  xmlNodePtr found;
  if (e.empty() || !xml_ValidName(a) || !Select(N(node), expr, &found)) {
    std::string shown = std::string(element) + "[@" + attribute + "=" + Literal(value) + "]";
    xml_Fail(XML_E_FAIL, "xml_FindByAttribute('%s') failed 0x%x", shown.c_str(), static_cast<unsigned>(XML_E_FAIL));
    return nullptr;
  }
  return P(found);
}

XmlNode *xml_FirstChild(XmlNode *node) { return xml_Pending() || !node ? nullptr : P(N(node)->children); }
XmlNode *xml_LastChild(XmlNode *node) { return xml_Pending() || !node ? nullptr : P(N(node)->last); }
XmlNode *xml_NextSibling(XmlNode *node) {
  return xml_Pending() || !node || N(node)->type == XML_DOCUMENT_NODE ? nullptr : P(N(node)->next);
}
XmlNode *xml_PreviousSibling(XmlNode *node) {
  return xml_Pending() || !node || N(node)->type == XML_DOCUMENT_NODE ? nullptr : P(N(node)->prev);
}

int xml_RemoveChild(XmlNode *parent, XmlNode *child) {
  if (xml_Pending() || !parent || !child) return -1;
  xmlNodePtr p = N(parent), c = N(child);
  if (c->parent != p || c->type == XML_DOCUMENT_NODE) {
    xml_Fail(XML_E_INVALIDARG, "xml_RemoveChild() failed 0x%x", static_cast<unsigned>(XML_E_INVALIDARG));
    return -1;
  }
  if (c->type == XML_ATTRIBUTE_NODE) {
    // A namespace declaration's view is not among the attributes: read-only.
    if (xmlRemoveProp(reinterpret_cast<xmlAttrPtr>(c)) != 0) {
      xml_Fail(XML_E_INVALIDARG, "xml_RemoveChild() failed 0x%x", static_cast<unsigned>(XML_E_INVALIDARG));
      return -1;
    }
  } else {
    xmlUnlinkNode(c);
    xmlFreeNode(c);
  }
  return 0;
}

XmlNode *xml_getAttribute(XmlNode *element, const char *name, int flag) {
  if (xml_Pending() || !element || !flag) return nullptr;
  std::string n;
  if (!xml_ToUtf8(name, 0, n)) return xml_Fail(-1, "BstrFromChar('%s') failed", xml_Shown(name)), nullptr;
  xmlNodePtr e = N(element);
  if (e->type != XML_ELEMENT_NODE) {
    xml_Fail(XML_E_INVALIDARG, "xml_getAttribute('%s') failed 0x%x", name, static_cast<unsigned>(XML_E_INVALIDARG));
    return nullptr;
  }
  for (xmlAttrPtr a = e->properties; a; a = a->next)
    if (xml_NodeName(reinterpret_cast<xmlNodePtr>(a)) == n) return reinterpret_cast<XmlNode *>(a);
  if (n.rfind("xmlns", 0) == 0) return NamespaceView(e, n);
  return nullptr;
}

char *xml_getName(XmlNode *node) {
  if (xml_Pending() || !node) return nullptr;
  char *name = xml_FromUtf8(reinterpret_cast<const xmlChar *>(xml_NodeName(N(node)).c_str()));
  if (!name) xml_Fail(XML_E_OUTOFMEMORY, "xml_getName() failed 0x%x", static_cast<unsigned>(XML_E_OUTOFMEMORY));
  return name;
}

char *xml_getText(XmlNode *node) {
  if (xml_Pending() || !node) return nullptr;
  const xmlChar *value = nullptr;
  for (xmlNodePtr c = N(node)->children; c && !value; c = c->next)
    if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) value = c->content;
  char *text = xml_FromUtf8(value);
  if (!text) xml_Fail(XML_E_OUTOFMEMORY, "xml_getText() failed 0x%x", static_cast<unsigned>(XML_E_OUTOFMEMORY));
  return text;
}

int xml_IterateChan(XmlNode *node, XmlNamePair *pairs, int maximum) {
  if (xml_Pending() || !node || !pairs) return -1;
  int count = 0;
  for (xmlNodePtr c = N(node)->children; c && count < maximum; c = c->next) {
    char *name = c->type == XML_ELEMENT_NODE ? xml_getName(P(c)) : nullptr;
    char *text = name ? xml_getText(P(c)) : nullptr;
    if (!name || !text) {
      // Nothing half-read is handed out.
      xml_FreeText(name);
      for (int i = 0; i < count; ++i) {
        xml_FreeText(pairs[i].name);
        xml_FreeText(pairs[i].text);
        pairs[i].name = pairs[i].text = nullptr;
      }
      xml_Fail(-1, "xml_IterateChan() failed 0x%x", 0xFFFFFFFFu);
      return -1;
    }
    pairs[count].name = name;
    pairs[count].text = text;
    ++count;
  }
  return count;
}

XmlNode *xml_GetRootElement(XmlDocument *doc) {
  if (xml_Pending() || !doc) return nullptr;
  xmlNodePtr root = xmlDocGetRootElement(doc->dom);
  if (!root) xml_Fail(XML_E_FAIL, "No Root element found");
  return P(root);
}
