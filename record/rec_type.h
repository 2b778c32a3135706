// Record-description types: the descriptor model shared by every area.
//
// A RecordType knows the size of one value, its class, eight operations and
// three argument words. Descriptors are static and read-only; all memory that
// the operations hand out is typed memory (typed_mem.h) under a name the caller
// passes.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct RecordType;

enum : uint32_t {
  STRUCTS_CLASS_PRIMITIVE = 0,
  STRUCTS_CLASS_POINTER = 1,
  STRUCTS_CLASS_ARRAY = 2,
  STRUCTS_CLASS_FIXEDARRAY = 3,
  STRUCTS_CLASS_STRUCTURE = 4,
  STRUCTS_CLASS_UNION = 5,
};

// Encoded bytes of one value; the bytes belong to the caller.
struct StructsCode {
  uint32_t length;
  uint8_t *data;
};

// Value layouts of the composite and allocated classes.
struct StructsArray {
  uint32_t length;
  void *elems;
};
struct StructsData {
  uint32_t length;
  uint8_t *data;
};
struct StructsUnion {
  const char *field_name;  // always the name text of one member
  void *un;                // the member's value
};

typedef int structs_init_fn(const RecordType *type, void *value);
typedef int structs_copy_fn(const RecordType *type, const void *from, void *to);
typedef int structs_equal_fn(const RecordType *type, const void *a, const void *b);
typedef char *structs_to_text_fn(const RecordType *type, const char *mtype, const void *value);
typedef int structs_from_text_fn(const RecordType *type, const char *text, void *value, char *ebuf,
                                 size_t emax);
typedef int structs_encode_fn(const RecordType *type, const char *mtype, StructsCode *code,
                              const void *value);
typedef ssize_t structs_decode_fn(const RecordType *type, const uint8_t *code, size_t cmax, void *value,
                                  char *ebuf, size_t emax);
typedef void structs_release_fn(const RecordType *type, void *value);

// One argument word; pointer-sized, read through the member the type defines.
union RecordArg {
  const void *p;
  const char *s;
  uintptr_t u;
};

struct RecordType {
  uint32_t size;
  const char *name;
  uint32_t tclass;
  structs_init_fn *init;
  structs_copy_fn *copy;
  structs_equal_fn *equal;
  structs_to_text_fn *to_text;
  structs_from_text_fn *from_text;
  structs_encode_fn *encode;
  structs_decode_fn *decode;
  structs_release_fn *release;
  RecordArg args[3];
};

// One field of a structure (or one member of a union); a list ends with a null name.
struct RecordField {
  const char *name;
  const RecordType *type;
  uint16_t size;
  uint16_t offset;
};

// One name of an enumeration; a list ends with a null name.
struct RecordIdEntry {
  const char *name;
  int32_t value;
  int32_t icase;  // non-zero: matched case-insensitively
};

// A field entry for a member of a C struct, sized and placed by the compiler.
#define STRUCTS_FIELD(Struct, member, fname, ftype) \
  RecordField { fname, &(ftype), (uint16_t)sizeof(((Struct *)nullptr)->member), (uint16_t)offsetof(Struct, member) }
#define STRUCTS_FIELD_END \
  RecordField { nullptr, nullptr, 0, 0 }
