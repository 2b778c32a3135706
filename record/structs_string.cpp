// Bounded texts inside the record (fixedstring) and allocated texts (string).
#include <cerrno>
#include <cstring>

#include "record/rec_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

const RecordType TextType = structs_MakeStringType("structs_type_string", 0);
const RecordType TextOrNullType = structs_MakeStringType("structs_type_string", 1);

const RecordType structs_UnionFieldNameType = {(uint32_t)sizeof(const char *),
                                               "string",
                                               STRUCTS_CLASS_PRIMITIVE,
                                               structs_InitUnsupported,
                                               structs_CopyUnsupported,
                                               structs_StringEqual,
                                               structs_StringToText,
                                               structs_FromTextUnsupported,
                                               structs_EncodeUnsupported,
                                               structs_DecodeUnsupported,
                                               structs_ReleaseNothing,
                                               {{.s = "union field_name"}, {.u = 0}, {.u = 0}}};

// Fixed strings read from files may lack their NUL: every scan stops at the size.
int structs_FixedStringEqual(const RecordType *type, const void *a, const void *b) {
  return strncmp((const char *)a, (const char *)b, type->size) == 0;
}

char *structs_FixedStringToText(const RecordType *type, const char *mtype, const void *value) {
  size_t n = strnlen((const char *)value, type->size);
  char *text = (char *)typed_mem_Resize(mtype, nullptr, n + 1);
  if (text == nullptr) return nullptr;
  memcpy(text, value, n);
  text[n] = '\0';
  return text;
}

int structs_FixedStringFromText(const RecordType *type, const char *text, void *value, char *ebuf, size_t emax) {
  size_t n = strlen(text);
  if (n + 1 > type->size) {
    rec_SetMessage(ebuf, emax, "%s", "string is too long for bounded length buffer");
    errno = EINVAL;
    return -1;
  }
  memcpy(value, text, n + 1);
  return 0;
}

int structs_StringEncode(const RecordType *type, const char *mtype, StructsCode *code, const void *value) {
  char *text = type->to_text(type, mtype, value);
  if (text == nullptr) return -1;
  size_t n = strlen(text) + 1;
  if (n > UINT32_MAX) {
    typed_mem_Release(mtype, text);
    errno = EINVAL;
    return -1;
  }
  code->length = (uint32_t)n;
  code->data = (uint8_t *)text;
  return 0;
}

ssize_t structs_StringDecode(const RecordType *type, const uint8_t *code, size_t cmax, void *value, char *ebuf,
                             size_t emax) {
  const uint8_t *nul = (const uint8_t *)memchr(code, 0, cmax);
  if (nul == nullptr) {
    rec_SetMessage(ebuf, emax, "%s", "encoded string is truncated");
    errno = EINVAL;
    return -1;
  }
  if (type->from_text(type, (const char *)code, value, ebuf, emax) == -1) return -1;
  return nul - code + 1;
}

namespace {

const char *MemType(const RecordType *type) { return type->args[0].s; }
bool EmptyIsNull(const RecordType *type) { return type->args[1].u != 0; }
const char *TextOf(const void *value) {
  const char *t;
  memcpy(&t, value, sizeof(t));
  return t != nullptr ? t : "";
}

int StoreText(const RecordType *type, const char *text, void *value) {
  char *copy = nullptr;
  if (!EmptyIsNull(type) || *text != '\0') {
    copy = typed_mem_DupText(MemType(type), text);
    if (copy == nullptr) return -1;
  }
  memcpy(value, &copy, sizeof(copy));
  return 0;
}

}  // namespace

int structs_StringInit(const RecordType *type, void *value) { return StoreText(type, "", value); }

int structs_StringCopy(const RecordType *type, const void *from, void *to) {
  return StoreText(type, TextOf(from), to);
}

int structs_StringEqual(const RecordType *, const void *a, const void *b) {
  return strcmp(TextOf(a), TextOf(b)) == 0;
}

char *structs_StringToText(const RecordType *, const char *mtype, const void *value) {
  return typed_mem_DupText(mtype, TextOf(value));
}

int structs_StringFromText(const RecordType *type, const char *text, void *value, char *, size_t) {
  return StoreText(type, text, value);
}

void structs_StringRelease(const RecordType *type, void *value) {
  char *t;
  memcpy(&t, value, sizeof(t));
  typed_mem_Release(MemType(type), t);
  t = nullptr;
  memcpy(value, &t, sizeof(t));
}
