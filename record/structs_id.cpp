// Named enumerations stored in 1, 2 or 4 bytes.
#include <cerrno>
#include <cstring>

#include "record/rec_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

namespace {

const RecordIdEntry *List(const RecordType *type) { return (const RecordIdEntry *)type->args[0].p; }

int32_t ReadId(const RecordType *type, const void *value) {
  switch (type->size) {
    case 1:
      return *(const uint8_t *)value;
    case 2: {
      uint16_t v;
      memcpy(&v, value, sizeof(v));
      return v;
    }
    case 4: {
      int32_t v;
      memcpy(&v, value, sizeof(v));
      return v;
    }
    default:
      REC_ASSERT(0);
  }
}

void WriteId(const RecordType *type, void *value, int32_t id) {
  switch (type->size) {
    case 1:
      *(uint8_t *)value = (uint8_t)id;
      break;
    case 2: {
      uint16_t v = (uint16_t)id;
      memcpy(value, &v, sizeof(v));
      break;
    }
    case 4:
      memcpy(value, &id, sizeof(id));
      break;
    default:
      REC_ASSERT(0);
  }
}

bool Fits(const RecordType *type, int32_t id) {
  return type->size == 4 || (id >= 0 && id <= (type->size == 1 ? 0xff : 0xffff));
}

}  // namespace

int structs_IdInit(const RecordType *type, void *value) {
  WriteId(type, value, List(type)[0].value);
  return 0;
}

char *structs_IdToText(const RecordType *type, const char *mtype, const void *value) {
  int32_t id = ReadId(type, value);
  for (const RecordIdEntry *e = List(type); e->name != nullptr; e++) {
    if (e->value == id) return typed_mem_DupText(mtype, e->name);
  }
  return typed_mem_DupText(mtype, "INVALID");
}

int structs_IdFromText(const RecordType *type, const char *text, void *value, char *ebuf, size_t emax) {
  REC_ASSERT(type->size == 1 || type->size == 2 || type->size == 4);
  for (const RecordIdEntry *e = List(type); e->name != nullptr; e++) {
    if (e->icase != 0 ? rec_CaseEqual(e->name, text) : strcmp(e->name, text) == 0) {
      // A value the field cannot hold would be stored cut and print as another name.
      if (!Fits(type, e->value)) break;
      WriteId(type, value, e->value);
      return 0;
    }
  }
  rec_SetMessage(ebuf, emax, "invalid value \"%s\"", text);
  errno = EINVAL;
  return -1;
}
