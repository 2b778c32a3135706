// The shared operations of fixed-size values, and the "unsupported" ones.
#include <cerrno>
#include <cstring>

#include "record/rec_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

int structs_InitZero(const RecordType *type, void *value) {
  memset(value, 0, type->size);
  return 0;
}

int structs_CopyBytes(const RecordType *type, const void *from, void *to) {
  memcpy(to, from, type->size);
  return 0;
}

int structs_EqualBytes(const RecordType *type, const void *a, const void *b) {
  return memcmp(a, b, type->size) == 0;
}

int structs_EncodeReversedBytes(const RecordType *type, const char *mtype, StructsCode *code, const void *value) {
  uint8_t *bytes = (uint8_t *)typed_mem_Resize(mtype, nullptr, type->size);
  if (bytes == nullptr) return -1;
  const uint8_t *src = (const uint8_t *)value;
  for (uint32_t i = 0; i < type->size; i++) bytes[i] = src[type->size - 1 - i];
  code->length = type->size;
  code->data = bytes;
  return 0;
}

ssize_t structs_DecodeReversedBytes(const RecordType *type, const uint8_t *code, size_t cmax, void *value,
                                    char *ebuf, size_t emax) {
  if (type->size > 16) {
    errno = ERANGE;
    return -1;
  }
  if (cmax < type->size) {
    rec_SetMessage(ebuf, emax, "%s", "encoded data is truncated");
    errno = EINVAL;
    return -1;
  }
  uint8_t *dst = (uint8_t *)value;
  for (uint32_t i = 0; i < type->size; i++) dst[i] = code[type->size - 1 - i];
  return type->size;
}

int structs_EncodeBytes(const RecordType *type, const char *mtype, StructsCode *code, const void *value) {
  uint8_t *bytes = (uint8_t *)typed_mem_Resize(mtype, nullptr, type->size);
  if (bytes == nullptr) return -1;
  memcpy(bytes, value, type->size);
  code->length = type->size;
  code->data = bytes;
  return 0;
}

ssize_t structs_DecodeBytes(const RecordType *type, const uint8_t *code, size_t cmax, void *value, char *ebuf,
                            size_t emax) {
  if (cmax < type->size) {
    rec_SetMessage(ebuf, emax, "%s", "encoded data is truncated");
    errno = EINVAL;
    return -1;
  }
  memcpy(value, code, type->size);
  return type->size;
}

void structs_ReleaseNothing(const RecordType *, void *) {}

int structs_InitUnsupported(const RecordType *, void *) {
  errno = ENOSYS;
  return -1;
}

int structs_CopyUnsupported(const RecordType *, const void *, void *) {
  errno = ENOSYS;
  return -1;
}

int structs_EqualUnsupported(const RecordType *, const void *, const void *) {
  errno = ENOSYS;
  return -1;
}

char *structs_ToTextUnsupported(const RecordType *, const char *, const void *) {
  errno = ENOSYS;
  return nullptr;
}

int structs_FromTextUnsupported(const RecordType *, const char *, void *, char *ebuf, size_t emax) {
  rec_SetMessage(ebuf, emax, "%s", "parsing from ASCII is not supported by this structs type");
  errno = ENOSYS;
  return -1;
}

int structs_EncodeUnsupported(const RecordType *, const char *, StructsCode *, const void *) {
  errno = ENOSYS;
  return -1;
}

ssize_t structs_DecodeUnsupported(const RecordType *, const uint8_t *, size_t, void *, char *ebuf, size_t emax) {
  rec_SetMessage(ebuf, emax, "%s", "binary decoding is not supported by this structs type");
  errno = ENOSYS;
  return -1;
}
