// Listing the dotted names of every primitive field of a value.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record/rec_private.h"
#include "record/structs.h"
#include "record/structs_private.h"
#include "record/typed_mem.h"

namespace {

struct NameList {
  char **items;
  uint32_t count;
  uint32_t cap;
  const char *mtype;
};

// The current dotted prefix, grown in place instead of formatted per level.
struct Prefix {
  char *buf;
  size_t len;
  size_t cap;
};

bool Append(Prefix *p, const char *text, size_t n) {
  const char *sep = p->len > 0 ? "." : "";
  size_t need = p->len + strlen(sep) + n + 1;
  if (need > p->cap) {
    size_t cap = need * 2 + 32;
    char *b = (char *)typed_mem_Resize(TYPED_MEM_TEMP, p->buf, cap);
    if (b == nullptr) return false;
    p->buf = b;
    p->cap = cap;
  }
  size_t s = strlen(sep);
  memcpy(p->buf + p->len, sep, s);
  memcpy(p->buf + p->len + s, text, n);
  p->len += s + n;
  p->buf[p->len] = '\0';
  return true;
}

int AddName(NameList *list, const Prefix *p) {
  if (list->count == list->cap) {
    uint32_t cap = list->cap * 2 + 64;
    char **items = (char **)typed_mem_Resize(list->mtype, list->items, (size_t)cap * sizeof(char *));
    if (items == nullptr) return -1;
    list->items = items;
    list->cap = cap;
  }
  char *name = typed_mem_DupText(list->mtype, p->len > 0 ? p->buf : "");
  if (name == nullptr) return -1;
  list->items[list->count++] = name;
  return 0;
}

int Walk(const RecordType *type, const void *value, Prefix *p, NameList *list);

int WalkChild(const RecordType *type, const void *value, const char *name, size_t n, Prefix *p, NameList *list) {
  size_t saved = p->len;
  if (!Append(p, name, n)) return -1;
  int r = Walk(type, value, p, list);
  p->len = saved;
  if (p->buf != nullptr) p->buf[saved] = '\0';
  return r;
}

int WalkElements(const RecordType *et, const char *base, uint64_t count, Prefix *p, NameList *list) {
  for (uint64_t i = 0; i < count; i++) {
    char index[24];
    int n = snprintf(index, sizeof(index), "%llu", (unsigned long long)i);
    if (WalkChild(et, base + i * et->size, index, (size_t)n, p, list) == -1) return -1;
  }
  return 0;
}

int Walk(const RecordType *type, const void *value, Prefix *p, NameList *list) {
  while (type->tclass == STRUCTS_CLASS_POINTER) {
    const void *target;
    memcpy(&target, value, sizeof(target));
    if (target == nullptr) return 0;
    value = target;
    type = (const RecordType *)type->args[0].p;
  }
  switch (type->tclass) {
    case STRUCTS_CLASS_PRIMITIVE:
      return AddName(list, p);
    case STRUCTS_CLASS_ARRAY: {
      const StructsArray *arr = (const StructsArray *)value;
      return WalkElements((const RecordType *)type->args[0].p, (const char *)arr->elems, arr->length, p, list);
    }
    case STRUCTS_CLASS_FIXEDARRAY:
      return WalkElements((const RecordType *)type->args[0].p, (const char *)value, type->args[2].u, p, list);
    case STRUCTS_CLASS_STRUCTURE:
      for (const RecordField *f = (const RecordField *)type->args[0].p; f->name != nullptr; f++) {
        if (WalkChild(f->type, (const char *)value + f->offset, f->name, strlen(f->name), p, list) == -1) return -1;
      }
      return 0;
    case STRUCTS_CLASS_UNION: {
      const StructsUnion *un = (const StructsUnion *)value;
      const RecordField *m =
          un->field_name != nullptr ? structs_FindMember(type, un->field_name, strlen(un->field_name)) : nullptr;
      if (m == nullptr) {
        errno = EINVAL;
        return -1;
      }
      return WalkChild(m->type, un->un, m->name, strlen(m->name), p, list);
    }
    default:
      REC_ASSERT(0);
  }
}

}  // namespace

int structs_ListFieldNames(const RecordType *type, const void *value, char ***names, const char *mtype) {
  NameList list = {nullptr, 0, 0, mtype};
  Prefix p = {nullptr, 0, 0};
  int r = Walk(type, value, &p, &list);
  int e = errno;
  typed_mem_Release(TYPED_MEM_TEMP, p.buf);
  if (r == -1) {
    while (list.count > 0) typed_mem_Release(mtype, list.items[--list.count]);
    typed_mem_Release(mtype, list.items);
    errno = e;
    return -1;
  }
  *names = list.count > 0 ? list.items : nullptr;
  if (list.count == 0) typed_mem_Release(mtype, list.items);
  return (int)list.count;
}
