// The XSD simple type of each field of a record type.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "framework/xml/xml_private.h"
#include "record/record.h"

namespace {

struct Writer {
  XmlDocument *doc;

  XmlNode *Open(const char *name, XmlNode *parent) { return xml_CreateAndAddElement(doc, name, parent); }
  void Close(XmlNode *e) { xml_CloseElement(doc, e); }
  void Attr(XmlNode *e, const char *name, const char *value) { xml_CreateAndAddAttributeNode(doc, name, value, e); }

  XmlNode *Restriction(XmlNode *simple, const char *base) {
    XmlNode *r = Open("xs:restriction", simple);
    if (base) Attr(r, "base", base);
    return r;
  }
  void Facet(XmlNode *r, const char *facet, const char *value) {
    XmlNode *f = Open(facet, r);
    Attr(f, "value", value);
    Close(f);
  }
  void MaxLength(XmlNode *r, uint32_t n) {
    char text[16];
    snprintf(text, sizeof text, "%u", n);
    Facet(r, "xs:maxLength", text);
  }
};

const char *const kBoolWords[5][2] = {{"False", "True"}, {"No", "Yes"}, {"Off", "On"}, {"Disabled", "Enabled"}, {"0", "1"}};

const char *IntBase(uint32_t wclass, bool isUnsigned) {
  static const char *const kSigned[4] = {"xs:byte", "xs:short", "xs:int", "xs:long"};
  static const char *const kUnsigned[4] = {"xs:unsignedByte", "xs:unsignedShort", "xs:unsignedInt", "xs:unsignedLong"};
  // A width the type cannot have is still a valid schema: any text.
  if (wclass > 7) return "xs:string";
  return isUnsigned ? kUnsigned[wclass % 4] : kSigned[wclass % 4];
}

void WriteSimpleType(Writer &w, XmlNode *simple, const RecordType *t) {
  const char *name = t->name ? t->name : "";
  if (strcmp(name, "id") == 0) {
    XmlNode *r = w.Restriction(simple, "xs:string");
    for (const RecordIdEntry *e = static_cast<const RecordIdEntry *>(t->args[0].p); e && e->name; ++e)
      w.Facet(r, "xs:enumeration", e->name);
    w.Close(r);
  } else if (strcmp(name, "bitfield") == 0) {
    XmlNode *r = w.Restriction(simple, "xs:string");
    const char *const *words = static_cast<const char *const *>(t->args[XSD_BITFIELD_WORDS_ARG].p);
    for (int i = 0; words && i < 2; ++i)
      if (words[i]) w.Facet(r, "xs:enumeration", words[i]);
    w.Close(r);
  } else if (strcmp(name, "boolean") == 0) {
    // The words the type itself prints, so its own texts are valid.
    uint32_t pair = t->args[1].u < 5 ? static_cast<uint32_t>(t->args[1].u) : 2;
    XmlNode *r = w.Restriction(simple, "xs:string");
    w.Facet(r, "xs:enumeration", kBoolWords[pair][0]);
    w.Facet(r, "xs:enumeration", kBoolWords[pair][1]);
    w.Close(r);
  } else if (strcmp(name, "chanconfignstring") == 0 || strcmp(name, "fixedstring") == 0 ||
             strcmp(name, "linktagnstring") == 0) {
    XmlNode *r = w.Restriction(simple, "xs:string");
    w.MaxLength(r, t->size);
    w.Close(r);
  } else if (strcmp(name, "fixeddata") == 0) {
    XmlNode *r = w.Restriction(simple, "xs:string");
    w.MaxLength(r, 2 * t->size);
    w.Close(r);
  } else if (strcmp(name, "time") == 0 || strcmp(name, "stime") == 0) {
    XmlNode *r = w.Restriction(simple, "xs:string");
    w.MaxLength(r, name[0] == 't' ? 19 : 9);
    w.Close(r);
  } else if (strcmp(name, "int") == 0 || strcmp(name, "uint") == 0) {
    w.Close(w.Restriction(simple, IntBase(static_cast<uint32_t>(t->args[0].u), name[0] == 'u')));
  } else if (strcmp(name, "float") == 0) {
    uintptr_t kind = t->args[0].u;
    w.Close(w.Restriction(simple, kind == 0 ? "xs:float" : kind == 1 ? "xs:double" : "xs:string"));
  } else {
    // "var" and every type without a schema form of its own: any text.
    w.Close(w.Restriction(simple, "xs:string"));
  }
}

}  // namespace

int32_t xsd_AddSimpleTypes(XmlDocument *doc, XmlNode *parent, const RecordType *type, int first, int last) {
  if (xml_Pending() || !doc || !parent || !type) return xml_GetError();
  // Only the descriptor matters: a zeroed value lists every fixed field.
  std::vector<uint8_t> value(type->size > 0 ? type->size : 1, 0);
  char **names = nullptr;
  int count = structs_ListFieldNames(type, value.data(), &names, TYPED_MEM_TEMP);
  if (count < 0) {
    xml_Fail(-1, "<%s> %s", type->name ? type->name : "", strerror(errno));
    return xml_GetError();
  }
  int end = last > 0 && last < count ? last : count;
  Writer w{doc};
  for (int i = first < 0 ? 0 : first; i < end; ++i) {
    void *at = value.data();
    const RecordType *ft = structs_LocateField(type, names[i], &at, 0);
    XmlNode *element = w.Open("xs:element", parent);
    w.Attr(element, "name", names[i]);
    XmlNode *simple = w.Open("xs:simpleType", element);
    if (ft && simple) WriteSimpleType(w, simple, ft);
    if (!ft && !xml_Pending()) xml_Fail(-1, "%s", strerror(errno));
    w.Close(simple);
    w.Close(element);
    if (xml_Pending()) {
      char previous[XML_TEXT_MAX];
      snprintf(previous, sizeof previous, "%s", xml_ErrorMessage());
      xml_Fail(xml_GetError(), "<%s> %s", names[i], previous);
      break;
    }
  }
  for (int i = 0; i < count; ++i) typed_mem_Release(TYPED_MEM_TEMP, names[i]);
  typed_mem_Release(TYPED_MEM_TEMP, names);
  return xml_GetError();
}
