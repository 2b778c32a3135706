// Editing arrays at a dotted path: length, insert, delete, resize, reset, prepare.
#include <cerrno>
#include <cstring>

#include "record/structs.h"
#include "record/structs_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

namespace {

const RecordType *ElemType(const RecordType *atype) { return (const RecordType *)atype->args[0].p; }
const char *ArrayMem(const RecordType *atype) { return atype->args[1].s; }

const RecordType *FollowPointers(const RecordType *t, void **valuep) {
  while (t->tclass == STRUCTS_CLASS_POINTER) {
    void *target;
    memcpy(&target, *valuep, sizeof(target));
    if (target == nullptr) return nullptr;
    *valuep = target;
    t = (const RecordType *)t->args[0].p;
  }
  return t;
}

StructsArray *LocateArray(const RecordType *type, const char *path, void *value, bool set_union,
                          const RecordType **atype) {
  const RecordType *t = structs_LocateField(type, path, &value, set_union);
  if (t == nullptr) return nullptr;
  t = FollowPointers(t, &value);
  if (t == nullptr || t->tclass != STRUCTS_CLASS_ARRAY) {
    errno = EINVAL;
    return nullptr;
  }
  *atype = t;
  return (StructsArray *)value;
}

bool ParseIndex(const char *p, size_t len, uint64_t *index) {
  if (len == 0) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < len; i++) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v > UINT32_MAX ? v : v * 10 + (uint64_t)(p[i] - '0');
  }
  *index = v;
  return true;
}

}  // namespace

// The new element is built in a spare slot past the end, where the shift cannot reach it.
int structs_ArrayAppendAt(const RecordType *atype, StructsArray *arr, uint32_t index) {
  const RecordType *et = ElemType(atype);
  if (index > arr->length) {
    errno = EDOM;
    return -1;
  }
  if (arr->length == UINT32_MAX) {
    errno = ENOMEM;
    return -1;
  }
  size_t es = et->size;
  char *block = (char *)typed_mem_Resize(ArrayMem(atype), arr->elems, ((size_t)arr->length + 2) * es);
  if (block == nullptr) return -1;
  arr->elems = block;
  char *spare = block + ((size_t)arr->length + 1) * es;
  memset(spare, 0, es);
  if (et->init(et, spare) == -1) return -1;
  memmove(block + ((size_t)index + 1) * es, block + (size_t)index * es, ((size_t)arr->length - index) * es);
  memcpy(block + (size_t)index * es, spare, es);
  arr->length++;
  return 0;
}

int structs_ArrayLength(const RecordType *type, const char *path, const void *value) {
  const RecordType *at;
  StructsArray *arr = LocateArray(type, path, (void *)value, false, &at);
  return arr != nullptr ? (int)arr->length : -1;
}

int structs_ArrayInsert(const RecordType *type, const char *path, uint32_t index, void *value) {
  const RecordType *at;
  StructsArray *arr = LocateArray(type, path, value, false, &at);
  if (arr == nullptr) return -1;
  return structs_ArrayAppendAt(at, arr, index);
}

int structs_ArrayDelete(const RecordType *type, const char *path, uint32_t index, void *value) {
  const RecordType *at;
  StructsArray *arr = LocateArray(type, path, value, false, &at);
  if (arr == nullptr) return -1;
  if (index >= arr->length) {
    errno = EDOM;
    return -1;
  }
  const RecordType *et = ElemType(at);
  size_t es = et->size;
  char *block = (char *)arr->elems;
  et->release(et, block + (size_t)index * es);
  arr->length--;
  memmove(block + (size_t)index * es, block + ((size_t)index + 1) * es, ((size_t)arr->length - index) * es);
  return 0;
}

int structs_ArraySetLength(const RecordType *type, const char *path, uint32_t length, void *value, int do_init) {
  const RecordType *at;
  StructsArray *arr = LocateArray(type, path, value, false, &at);
  if (arr == nullptr) return -1;
  if (length == arr->length) return 0;
  const RecordType *et = ElemType(at);
  size_t es = et->size;
  if (length < arr->length) {
    // Dropped elements are released first, so shrinking never leaks.
    for (uint32_t i = arr->length; i > length; i--) et->release(et, (char *)arr->elems + (size_t)(i - 1) * es);
    arr->length = length;
    if (length == 0) {
      typed_mem_Release(ArrayMem(at), arr->elems);
      arr->elems = nullptr;
      return 0;
    }
    void *p = typed_mem_Resize(ArrayMem(at), arr->elems, (size_t)length * es);
    if (p != nullptr) arr->elems = p;
    return 0;
  }
  char *block = (char *)typed_mem_Resize(ArrayMem(at), arr->elems, (size_t)length * es);
  if (block == nullptr) return -1;
  arr->elems = block;
  uint32_t old = arr->length;
  memset(block + (size_t)old * es, 0, (size_t)(length - old) * es);
  if (do_init) {
    for (uint32_t i = old; i < length; i++) {
      if (et->init(et, block + (size_t)i * es) == -1) {
        // The length stays as it was; the elements made here are undone.
        int e = errno;
        while (i-- > old) et->release(et, block + (size_t)i * es);
        errno = e;
        return -1;
      }
    }
  }
  arr->length = length;
  return 0;
}

int structs_ArrayReset(const RecordType *type, const char *path, void *value) {
  const RecordType *at;
  StructsArray *arr = LocateArray(type, path, value, true, &at);
  if (arr == nullptr) return -1;
  structs_ArrayRelease(at, arr);
  return 0;
}

int structs_PreparePath(const RecordType *type, const char *path, void *value) {
  if (path == nullptr || *path == '\0') return 0;
  size_t len = strlen(path);
  size_t pos = 0;
  for (bool first = true;; first = false) {
    void *v = value;
    const RecordType *t = structs_Locate(type, path, pos, &v, true, nullptr);
    if (t == nullptr) return -1;
    if (pos == len) return 0;
    // Components may be empty ("a..b", ".a"): always move past the separator.
    size_t start = first ? 0 : pos + 1;
    const char *dot = (const char *)memchr(path + start, '.', len - start);
    size_t end = dot != nullptr ? (size_t)(dot - path) : len;
    t = FollowPointers(t, &v);
    if (t == nullptr) {
      errno = ENOENT;
      return -1;
    }
    if (t->tclass == STRUCTS_CLASS_ARRAY) {
      StructsArray *arr = (StructsArray *)v;
      uint64_t index;
      if (!ParseIndex(path + start, end - start, &index) || index > arr->length) {
        errno = ENOENT;
        return -1;
      }
      if (index == arr->length && structs_ArrayAppendAt(t, arr, arr->length) == -1) return -1;
    }
    pos = end;
  }
}
