// Internals shared by the structs files.
#pragma once
#include <cstddef>

#include "record/rec_type.h"

// A union member switch held back until the caller knows the new value is good.
struct StructsPending {
  bool active;
  const RecordType *utype;
  StructsUnion *un;
  const RecordField *old_member;
  const RecordField *new_member;
  void *new_value;
};

// Locates the first `len` characters of `path`. With `pending`, the first union
// member switch is recorded there instead of being made.
const RecordType *structs_Locate(const RecordType *type, const char *path, size_t len, void **valuep,
                                 bool set_union, StructsPending *pending);
void structs_CommitPending(StructsPending *pending);
void structs_DropPending(StructsPending *pending);

// The member of a union's list with this name, or null.
const RecordField *structs_FindMember(const RecordType *utype, const char *name, size_t len);

// Appends one new initialised element; 0 or -1.
int structs_ArrayAppendAt(const RecordType *atype, StructsArray *arr, uint32_t index);
