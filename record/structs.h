// Field access by dotted path ("A", "B.1.X", "List.length", "U.field_name"),
// the field-name walk and array editing. An empty or null path is the whole value.
#pragma once
#include "record/rec_type.h"

// The field's type, with *valuep moved to the field; null with errno (the pointer unchanged).
const RecordType *structs_LocateField(const RecordType *type, const char *path, void **valuep, int set_union);

// Init, set and reset refuse an array's "length" (EINVAL): structs_ArraySetLength changes it.
int structs_InitField(const RecordType *type, const char *path, void *value);
int structs_ReleaseField(const RecordType *type, const char *path, void *value);
int structs_FieldEqual(const RecordType *type, const char *path, const void *a, const void *b);
int structs_FieldCopy(const RecordType *type, const char *path, const void *from, void *to);
int structs_FieldSet(const RecordType *type, const void *from, const char *path, void *value);
int structs_FieldReset(const RecordType *type, const char *path, void *value);
char *structs_FieldToText(const RecordType *type, const char *path, const void *value, const char *mtype);
// Parses into the field in place, switching union members as the path asks; a
// failure keeps the old member and value. A field whose type owns memory has
// its old value released once the text parsed (from_text fills its destination
// as uninitialised memory).
int structs_FieldFromText(const RecordType *type, const char *path, const char *text, void *value, char *ebuf,
                          size_t emax);
int structs_FieldEncode(const RecordType *type, const char *path, const void *value, const char *mtype,
                        StructsCode *code);
ssize_t structs_FieldDecode(const RecordType *type, const char *path, const StructsCode *code, void *value,
                            char *ebuf, size_t emax);

// The number of dotted names, with the array of names (all under mtype), or -1.
int structs_ListFieldNames(const RecordType *type, const void *value, char ***names, const char *mtype);

int structs_ArrayLength(const RecordType *type, const char *path, const void *value);
int structs_ArrayInsert(const RecordType *type, const char *path, uint32_t index, void *value);
int structs_ArrayDelete(const RecordType *type, const char *path, uint32_t index, void *value);
int structs_ArraySetLength(const RecordType *type, const char *path, uint32_t length, void *value, int do_init);
int structs_ArrayReset(const RecordType *type, const char *path, void *value);
int structs_PreparePath(const RecordType *type, const char *path, void *value);
