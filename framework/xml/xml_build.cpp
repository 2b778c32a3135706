// Building documents: elements, attributes, texts, comments and processing
// instructions.
#include <libxml/encoding.h>
#include <libxml/parser.h>

#include <cstring>
#include <new>

#include "framework/xml/xml_private.h"

namespace {

const xmlChar *X(const std::string &s) { return reinterpret_cast<const xmlChar *>(s.c_str()); }
xmlNodePtr N(XmlNode *n) { return reinterpret_cast<xmlNodePtr>(n); }
XmlNode *P(xmlNodePtr n) { return reinterpret_cast<XmlNode *>(n); }

bool Attach(xmlNodePtr child, xmlNodePtr parent) {
  if (!xml_CanAttach(child, parent)) return false;
  if (child->parent || child->prev || child->next) xmlUnlinkNode(child);
  xml_LinkLast(parent, child);
  return true;
}

// A namespace declaration ("xmlns", "xmlns:p") becomes one of the element, so
// that a built document and the same document loaded again write it alike.
bool SetNamespace(xmlNodePtr element, const std::string &name, const std::string &value) {
  const char *prefix = name.size() > 5 ? name.c_str() + 6 : nullptr;
  for (xmlNsPtr ns = element->nsDef; ns; ns = ns->next) {
    bool same = prefix ? ns->prefix && strcmp(reinterpret_cast<const char *>(ns->prefix), prefix) == 0 : !ns->prefix;
    if (same) {
      xmlChar *href = xmlStrdup(X(value));
      if (!href) return false;
      xmlFree(const_cast<xmlChar *>(ns->href));
      ns->href = href;
      return true;
    }
  }
  return xmlNewNs(element, X(value), reinterpret_cast<const xmlChar *>(prefix)) != nullptr;
}

bool IsNamespaceName(const std::string &name) { return name == "xmlns" || name.rfind("xmlns:", 0) == 0; }

// The pseudo-attributes of the "xml" declaration.
bool SetDeclaration(XmlDocument *doc, const std::string &data) {
  size_t i = 0;
  std::string encoding;
  int standalone = -1;
  bool haveVersion = false;
  auto blank = [&] {
    while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
  };
  for (;;) {
    blank();
    if (i == data.size()) break;
    size_t start = i;
    while (i < data.size() && data[i] >= 'a' && data[i] <= 'z') ++i;
    std::string key = data.substr(start, i - start);
    blank();
    if (i == data.size() || data[i] != '=') return false;
    ++i;
    blank();
    if (i == data.size() || (data[i] != '\'' && data[i] != '"')) return false;
    char quote = data[i++];
    size_t end = data.find(quote, i);
    if (end == std::string::npos) return false;
    std::string value = data.substr(i, end - i);
    i = end + 1;
    if (key == "version" && value == "1.0") {
      haveVersion = true;
    } else if (key == "encoding" && !value.empty()) {
      xmlCharEncodingHandlerPtr h = xmlFindCharEncodingHandler(value.c_str());
      if (!h) return false;
      xmlCharEncCloseFunc(h);
      encoding = value;
    } else if (key == "standalone" && (value == "yes" || value == "no")) {
      standalone = value == "yes" ? 1 : 0;
    } else {
      return false;
    }
  }
  if (!haveVersion) return false;
  xmlChar *enc = encoding.empty() ? nullptr : xmlStrdup(X(encoding));
  if (!encoding.empty() && !enc) return false;
  if (doc->dom->encoding) xmlFree(const_cast<xmlChar *>(doc->dom->encoding));
  doc->dom->encoding = enc;
  doc->dom->standalone = standalone;
  doc->declared = true;
  return true;
}

}  // namespace

XmlDocument *xml_CreateDocument(void) {
  xml_Silence();
  xml_ResetForDocument();
  XmlDocument *doc = new (std::nothrow) XmlDocument{nullptr, false, {}};
  if (doc) doc->dom = xmlNewDoc(reinterpret_cast<const xmlChar *>("1.0"));
  if (!doc || !doc->dom) {
    delete doc;
    xml_Fail(XML_E_OUTOFMEMORY, "CoCreateInstance of MSXML6 failed 0x%x", static_cast<unsigned>(XML_E_OUTOFMEMORY));
    return nullptr;
  }
  doc->dom->_private = doc;
  return doc;
}

void xml_FreeViews(XmlDocument *doc) {
  for (xmlAttrPtr a : doc->views) xmlFreeProp(a);
  doc->views.clear();
}

void xml_ReleaseDocument(XmlDocument *doc) {
  if (!doc) return;
  xml_FreeViews(doc);
  xmlFreeDoc(doc->dom);
  delete doc;
}

XmlNode *xml_DocumentNode(XmlDocument *doc) { return doc ? reinterpret_cast<XmlNode *>(doc->dom) : nullptr; }

void xml_ReleaseNode(XmlNode *node) {
  xmlNodePtr n = N(node);
  if (!n || n->type == XML_DOCUMENT_NODE || n->parent || n->prev || n->next) return;
  if (n->type == XML_ATTRIBUTE_NODE)
    xmlFreeProp(reinterpret_cast<xmlAttrPtr>(n));
  else
    xmlFreeNode(n);
}

XmlNode *xml_CreateElement(XmlDocument *doc, const char *name) {
  if (xml_Pending() || !doc) return nullptr;
  std::string n;
  if (!xml_ToUtf8(name, 0, n)) return xml_Fail(-1, "BstrFromChar('%s') failed", xml_Shown(name)), nullptr;
  if (!xml_ValidName(n)) {
    xml_Fail(XML_E_INVALIDARG, "xml_CreateElement('%s') failed 0x%x", name, static_cast<unsigned>(XML_E_INVALIDARG));
    return nullptr;
  }
  xmlNodePtr e = xmlNewDocNode(doc->dom, nullptr, X(n), nullptr);
  if (!e)
    xml_Fail(XML_E_OUTOFMEMORY, "xml_CreateElement('%s') failed 0x%x", name, static_cast<unsigned>(XML_E_OUTOFMEMORY));
  return P(e);
}

int xml_AppendChildToParent(XmlNode *child, XmlNode *parent) {
  if (xml_Pending() || !child || !parent) return -1;
  if (!Attach(N(child), N(parent))) {
    xml_Fail(XML_E_FAIL, "xml_AppendChildToParent() failed 0x%x", static_cast<unsigned>(XML_E_FAIL));
    return -1;
  }
  return 0;
}

XmlNode *xml_CreateAndAddElement(XmlDocument *doc, const char *name, XmlNode *parent) {
  if (xml_Pending() || !doc || !parent) return nullptr;
  XmlNode *e = xml_CreateElement(doc, name);
  if (!e) return nullptr;
  if (xml_AppendChildToParent(e, parent) != 0) {
    xmlFreeNode(N(e));
    return nullptr;
  }
  xml_AddDepth(1);
  return e;
}

int xml_CloseElement(XmlDocument *doc, XmlNode *element) {
  if (!doc || !element) return 1;
  xml_ReleaseNode(element);
  xml_AddDepth(-1);
  return 0;
}

XmlNode *xml_ReplaceOrAppendElement(XmlDocument *doc, const char *name, XmlNode *parent) {
  if (xml_Pending() || !doc || !parent) return nullptr;
  xmlNodePtr e = N(xml_CreateElement(doc, name));
  if (!e) return nullptr;
  xmlNodePtr p = N(parent), old = nullptr;
  for (xmlNodePtr c = p->children; c && !old; c = c->next)
    if (c->type == XML_ELEMENT_NODE && xml_NodeName(c) == xml_NodeName(e)) old = c;
  if (old) {
    xml_LinkBefore(old, e);
    xmlUnlinkNode(old);
    xmlFreeNode(old);
  } else if (!Attach(e, p)) {
    xmlFreeNode(e);
    xml_Fail(XML_E_FAIL, "xml_AppendChildToParent() failed 0x%x", static_cast<unsigned>(XML_E_FAIL));
    return nullptr;
  }
  return P(e);
}

int xml_CreateAndAddAttributeNode(XmlDocument *doc, const char *name, const char *value, XmlNode *element) {
  if (xml_Pending() || !doc || !element) return -1;
  std::string n, v;
  if (!xml_ToUtf8(name, 0, n) || !xml_VariantToUtf8(value, v)) {
    xml_Fail(-1, "BstrFromChar('%s') or VariantFromChar('%s') failed", xml_Shown(name), xml_Shown(value));
    return -1;
  }
  xmlNodePtr e = N(element);
  bool ok = e->type == XML_ELEMENT_NODE && xml_ValidName(n) && xml_ValidChars(v);
  if (ok) ok = IsNamespaceName(n) ? SetNamespace(e, n, v) : xmlSetProp(e, X(n), X(v)) != nullptr;
  if (!ok) {
    xml_Fail(XML_E_INVALIDARG, "xml_CreateAndAddAttributeNode('%s','%s') failed 0x%x", name, value,
             static_cast<unsigned>(XML_E_INVALIDARG));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddTextNode(XmlDocument *doc, const char *text, XmlNode *parent) {
  if (xml_Pending() || !doc || !parent) return -1;
  std::string t;
  if (!xml_ToUtf8(text, 0, t)) return xml_Fail(-1, "BstrFromChar('%s') failed", xml_Shown(text)), -1;
  // An empty text adds nothing, as the same document loaded again holds none.
  if (t.empty()) return 0;
  if (!xml_ValidChars(t)) t = XML_ILLEGAL_TEXT;
  xmlNodePtr node = xmlNewDocText(doc->dom, X(t));
  if (!node || !Attach(node, N(parent))) {
    if (node) xmlFreeNode(node);
    xml_Fail(XML_E_FAIL, "xml_CreateAndAddTextNode('%s') failed 0x%x", text, static_cast<unsigned>(XML_E_FAIL));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddCDATANode(XmlDocument *doc, const char *text, XmlNode *parent) {
  if (xml_Pending() || !doc || !parent) return -1;
  std::string t;
  if (!xml_ToUtf8(text, 0, t)) return xml_Fail(-1, "BstrFromChar('%s') failed", xml_Shown(text)), -1;
  xmlNodePtr node = nullptr;
  if (xml_ValidChars(t) && t.find("]]>") == std::string::npos)
    node = xmlNewCDataBlock(doc->dom, X(t), static_cast<int>(t.size()));
  if (!node || !Attach(node, N(parent))) {
    if (node) xmlFreeNode(node);
    xml_Fail(XML_E_FAIL, "xml_CreateAndAddCDATANode('%s') failed 0x%x", text, static_cast<unsigned>(XML_E_FAIL));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddCommentNode(XmlDocument *doc, const char *text) {
  if (xml_Pending() || !doc) return -1;
  std::string t;
  if (!xml_ToUtf8(text, 0, t)) return xml_Fail(-1, "BstrFromChar('%s') failed", xml_Shown(text)), -1;
  xmlNodePtr node = nullptr;
  if (xml_ValidChars(t) && t.find("--") == std::string::npos && (t.empty() || t.back() != '-'))
    node = xmlNewDocComment(doc->dom, X(t));
  if (!node || !Attach(node, reinterpret_cast<xmlNodePtr>(doc->dom))) {
    if (node) xmlFreeNode(node);
    xml_Fail(XML_E_FAIL, "xml_CreateAndAddCommentNode('%s') failed 0x%x", text, static_cast<unsigned>(XML_E_FAIL));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddPINode(XmlDocument *doc, const char *target, const char *data) {
  if (xml_Pending() || !doc) return -1;
  std::string t, d;
  if (!xml_ToUtf8(target, 0, t) || !xml_ToUtf8(data, 1, d)) {
    xml_Fail(-1, "BstrFromChar('%s') or BstrFromChar('5s') failed", xml_Shown(target));
    return -1;
  }
  bool ok;
  if (t == "xml") {
    ok = SetDeclaration(doc, d);
  } else {
    xmlNodePtr node = nullptr;
    if (xmlValidateNCName(X(t), 0) == 0 && xmlStrcasecmp(X(t), reinterpret_cast<const xmlChar *>("xml")) != 0 &&
        xml_ValidChars(d) && d.find("?>") == std::string::npos)
      node = xmlNewDocPI(doc->dom, X(t), d.empty() ? nullptr : X(d));
    ok = node && Attach(node, reinterpret_cast<xmlNodePtr>(doc->dom));
    if (node && !ok) xmlFreeNode(node);
  }
  if (!ok) {
    xml_Fail(XML_E_FAIL, "xml_CreateAndAddPINode('%s','%s') failed 0x%x", target, data,
             static_cast<unsigned>(XML_E_FAIL));
    return -1;
  }
  return 0;
}

int xml_InsertTextBefore(XmlDocument *doc, const char *text, XmlNode *node) {
  if (xml_Pending() || !doc || !node) return -1;
  std::string t;
  if (!xml_ToUtf8(text, 0, t)) return xml_Fail(-1, "BstrFromChar('%s') failed", xml_Shown(text)), -1;
  if (t.empty()) return 0;
  xmlNodePtr ref = N(node), created = nullptr;
  if (xml_ValidChars(t) && ref->parent) created = xmlNewDocText(doc->dom, X(t));
  if (!created || !xml_CanAttach(created, ref->parent)) {
    if (created) xmlFreeNode(created);
    xml_Fail(XML_E_FAIL, "xml_InsertBefore('%s') failed 0x%x", text, static_cast<unsigned>(XML_E_FAIL));
    return -1;
  }
  xml_LinkBefore(ref, created);
  return 0;
}

int xml_InsertBefore(XmlNode *node, XmlNode *reference) {
  if (xml_Pending() || !node || !reference) return -1;
  xmlNodePtr n = N(node), ref = N(reference);
  if (n == ref || !ref->parent || !xml_CanAttach(n, ref->parent)) {
    xml_Fail(XML_E_FAIL, "xml_InsertBefore() failed 0x%x", static_cast<unsigned>(XML_E_FAIL));
    return -1;
  }
  if (n->parent || n->prev || n->next) xmlUnlinkNode(n);
  xml_LinkBefore(ref, n);
  return 0;
}
