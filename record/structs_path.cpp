// Locating a field by dotted path, and the operations applied to it.
#include <cerrno>
#include <cstring>

#include "record/rec_private.h"
#include "record/structs.h"
#include "record/structs_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

const RecordType structs_ArrayLengthType = {(uint32_t)sizeof(uint32_t),
                                            "uint",
                                            STRUCTS_CLASS_PRIMITIVE,
                                            structs_InitZero,
                                            structs_CopyBytes,
                                            structs_EqualBytes,
                                            structs_IntToText,
                                            structs_FromTextUnsupported,
                                            structs_EncodeReversedBytes,
                                            structs_DecodeUnsupported,
                                            structs_ReleaseNothing,
                                            {{.u = 2}, {.u = 0}, {.u = 0}}};

namespace {

bool PathIs(const char *p, size_t len, const char *word) {
  size_t n = strlen(word);
  return len == n && memcmp(p, word, n) == 0;
}

// An index is all decimal digits; huge values saturate and so fail as out of range.
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

const RecordType *Fail(int e) {
  errno = e;
  return nullptr;
}

// The field types whose words must not be written through a path.
bool ReadOnly(const RecordType *t) { return t == &structs_ArrayLengthType; }

void FallbackText(char *ebuf, size_t emax) {
  if (emax == 0 || ebuf[0] != '\0') return;
  char tmp[256];
  const char *text = strerror_r(errno, tmp, sizeof(tmp));
  rec_SetMessage(ebuf, emax, "%s", text);
}

}  // namespace

const RecordField *structs_FindMember(const RecordType *utype, const char *name, size_t len) {
  for (const RecordField *m = (const RecordField *)utype->args[0].p; m->name != nullptr; m++) {
    if (strlen(m->name) == len && memcmp(m->name, name, len) == 0) return m;
  }
  return nullptr;
}

namespace {

// Where one component of a path leads: a field to go on into with the rest of
// the path, or (done) the answer itself. A null type is a failure, errno set.
struct Hop {
  const RecordType *type;
  void *value;
  const char *rest;
  size_t restLen;
  bool done;
};

Hop Failed(int e) {
  errno = e;
  return {nullptr, nullptr, nullptr, 0, true};
}
Hop Answer(const RecordType *type, void *value) { return {type, value, nullptr, 0, true}; }

// Through pointers to the value they point at; a null pointer has no fields.
const RecordType *FollowPointers(const RecordType *type, void **value) {
  while (type->tclass == STRUCTS_CLASS_POINTER) {
    void *target;
    memcpy(&target, *value, sizeof(target));
    if (target == nullptr) return Fail(ENOENT);
    *value = target;
    type = (const RecordType *)type->args[0].p;
  }
  return type;
}

// The first component: up to the first dot, and what follows the dot.
struct Component {
  size_t len;
  const char *rest;
  size_t restLen;
};

Component FirstComponent(const char *path, size_t len) {
  const char *dot = (const char *)memchr(path, '.', len);
  if (dot == nullptr) return {len, path + len, 0};
  size_t n = (size_t)(dot - path);
  return {n, dot + 1, len - n - 1};
}

// "length", or an element by its decimal index.
Hop IntoArray(const RecordType *type, void *value, const char *path, size_t len, const Component &c) {
  bool fixed = type->tclass == STRUCTS_CLASS_FIXEDARRAY;
  StructsArray *arr = (StructsArray *)value;
  if (PathIs(path, len, "length")) {
    // A fixed array's count is read from its descriptor (low word first), never written.
    return Answer(&structs_ArrayLengthType, fixed ? (void *)&type->args[2].u : (void *)&arr->length);
  }
  uint64_t index;
  if (!ParseIndex(path, c.len, &index)) return Failed(ENOENT);
  uint64_t count = fixed ? type->args[2].u : arr->length;
  if (index >= count) return Failed(EDOM);
  const RecordType *etype = (const RecordType *)type->args[0].p;
  return {etype, (char *)(fixed ? value : arr->elems) + index * etype->size, c.rest, c.restLen, false};
}

// A field by its whole name, which may itself hold dots.
Hop IntoStructure(const RecordType *type, void *value, const char *path, size_t len) {
  const RecordField *f = (const RecordField *)type->args[0].p;
  for (; f->name != nullptr; f++) {
    size_t n = strlen(f->name);
    if (n <= len && memcmp(path, f->name, n) == 0 && (n == len || path[n] == '.')) break;
  }
  if (f->name == nullptr) return Failed(ENOENT);
  size_t n = strlen(f->name);
  return {f->type, (char *)value + f->offset, n == len ? path + len : path + n + 1, n == len ? 0 : len - n - 1, false};
}

// Makes member m the union's new value, initialised, with the rest of the
// path located inside it; the switch is committed now, or left in pending
// for the caller to commit once its whole operation succeeds.
Hop SwitchUnionMember(const RecordType *type, StructsUnion *un, const RecordField *cur, const RecordField *m,
                      const Component &c, StructsPending *pending) {
  const char *umem = type->args[1].s;
  void *nv = typed_mem_AllocZeroed(umem, 1, m->type->size);
  if (nv == nullptr) return Answer(nullptr, nullptr);
  if (m->type->init(m->type, nv) == -1) {
    typed_mem_Release(umem, nv);
    return Answer(nullptr, nullptr);
  }
  void *inner = nv;
  const RecordType *t = m->type;
  if (c.restLen > 0) {
    // Further switches happen inside the new value, which nobody else sees yet.
    t = structs_Locate(m->type, c.rest, c.restLen, &inner, true, nullptr);
    if (t == nullptr) {
      int e = errno;
      m->type->release(m->type, nv);
      typed_mem_Release(umem, nv);
      errno = e;
      return Answer(nullptr, nullptr);
    }
  }
  StructsPending p = {true, type, un, cur, m, nv};
  if (pending != nullptr)
    *pending = p;
  else
    structs_CommitPending(&p);
  return Answer(t, inner);
}

// "field_name", the current member, or (when allowed) another member that
// the union switches to.
Hop IntoUnion(const RecordType *type, void *value, const char *path, size_t len, const Component &c, bool set_union,
              StructsPending *pending) {
  StructsUnion *un = (StructsUnion *)value;
  if (PathIs(path, len, "field_name")) return Answer(&structs_UnionFieldNameType, &un->field_name);
  const RecordField *cur =
      un->field_name != nullptr ? structs_FindMember(type, un->field_name, strlen(un->field_name)) : nullptr;
  if (cur == nullptr) return Failed(EINVAL);
  if (strlen(cur->name) == c.len && memcmp(cur->name, path, c.len) == 0)
    return {cur->type, un->un, c.rest, c.restLen, false};
  if (!set_union) return Failed(ENOENT);
  const RecordField *m = structs_FindMember(type, path, c.len);
  if (m == nullptr) return Failed(ENOENT);
  return SwitchUnionMember(type, un, cur, m, c, pending);
}

}  // namespace

const RecordType *structs_Locate(const RecordType *type, const char *path, size_t len, void **valuep,
                                 bool set_union, StructsPending *pending) {
  if (path == nullptr || len == 0) return type;
  void *value = *valuep;
  type = FollowPointers(type, &value);
  if (type == nullptr) return nullptr;
  Component c = FirstComponent(path, len);
  Hop h;
  switch (type->tclass) {
    case STRUCTS_CLASS_PRIMITIVE:
      return Fail(ENOENT);
    case STRUCTS_CLASS_ARRAY:
    case STRUCTS_CLASS_FIXEDARRAY:
      h = IntoArray(type, value, path, len, c);
      break;
    case STRUCTS_CLASS_STRUCTURE:
      h = IntoStructure(type, value, path, len);
      break;
    case STRUCTS_CLASS_UNION:
      h = IntoUnion(type, value, path, len, c, set_union, pending);
      break;
    default:
      rec_AssertFail("known type class", __FILE__, __LINE__);
  }
  if (h.type == nullptr) return nullptr;
  void *inner = h.value;
  if (!h.done) {
    const RecordType *t = structs_Locate(h.type, h.rest, h.restLen, &inner, set_union, pending);
    if (t == nullptr) return nullptr;
    h.type = t;
  }
  *valuep = inner;
  return h.type;
}

void structs_CommitPending(StructsPending *p) {
  if (!p->active) return;
  const char *umem = p->utype->args[1].s;
  p->old_member->type->release(p->old_member->type, p->un->un);
  typed_mem_Release(umem, p->un->un);
  p->un->un = p->new_value;
  p->un->field_name = p->new_member->name;
  p->active = false;
}

void structs_DropPending(StructsPending *p) {
  if (!p->active) return;
  int e = errno;
  p->new_member->type->release(p->new_member->type, p->new_value);
  typed_mem_Release(p->utype->args[1].s, p->new_value);
  p->active = false;
  errno = e;
}

const RecordType *structs_LocateField(const RecordType *type, const char *path, void **valuep, int set_union) {
  return structs_Locate(type, path, path != nullptr ? strlen(path) : 0, valuep, set_union != 0, nullptr);
}

int structs_InitField(const RecordType *type, const char *path, void *value) {
  const RecordType *t = structs_LocateField(type, path, &value, 0);
  if (t == nullptr) return -1;
  if (ReadOnly(t)) {
    errno = EINVAL;
    return -1;
  }
  return t->init(t, value);
}

int structs_ReleaseField(const RecordType *type, const char *path, void *value) {
  int e = errno;
  const RecordType *t = structs_LocateField(type, path, &value, 0);
  if (t == nullptr) return -1;
  t->release(t, value);
  errno = e;
  return 0;
}

int structs_FieldEqual(const RecordType *type, const char *path, const void *a, const void *b) {
  void *va = (void *)a, *vb = (void *)b;
  const RecordType *t = structs_LocateField(type, path, &va, 0);
  if (t == nullptr || structs_LocateField(type, path, &vb, 0) == nullptr) return -1;
  return t->equal(t, va, vb);
}

int structs_FieldCopy(const RecordType *type, const char *path, const void *from, void *to) {
  void *v = (void *)from;
  const RecordType *t = structs_LocateField(type, path, &v, 0);
  if (t == nullptr) return -1;
  return t->copy(t, v, to);
}

int structs_FieldSet(const RecordType *type, const void *from, const char *path, void *value) {
  const RecordType *t = structs_LocateField(type, path, &value, 0);
  if (t == nullptr) return -1;
  if (ReadOnly(t)) {
    errno = EINVAL;
    return -1;
  }
  RecScratch s;
  void *tmp = rec_ScratchGet(&s, t->size);
  if (tmp == nullptr) return -1;
  if (t->copy(t, from, tmp) == -1) {
    int e = errno;
    rec_ScratchFree(&s);
    errno = e;
    return -1;
  }
  t->release(t, value);
  memcpy(value, tmp, t->size);
  rec_ScratchFree(&s);
  return 0;
}

int structs_FieldReset(const RecordType *type, const char *path, void *value) {
  const RecordType *t = structs_LocateField(type, path, &value, 0);
  if (t == nullptr) return -1;
  if (ReadOnly(t)) {
    errno = EINVAL;
    return -1;
  }
  RecScratch s;
  void *tmp = rec_ScratchGet(&s, t->size);
  if (tmp == nullptr) return -1;
  if (t->init(t, tmp) == -1) {
    int e = errno;
    rec_ScratchFree(&s);
    errno = e;
    return -1;
  }
  t->release(t, value);
  memcpy(value, tmp, t->size);
  rec_ScratchFree(&s);
  return 0;
}

char *structs_FieldToText(const RecordType *type, const char *path, const void *value, const char *mtype) {
  void *v = (void *)value;
  const RecordType *t = structs_LocateField(type, path, &v, 0);
  if (t == nullptr) return nullptr;
  return t->to_text(t, mtype, v);
}

int structs_FieldFromText(const RecordType *type, const char *path, const char *text, void *value, char *ebuf,
                          size_t emax) {
  char dummy[1];
  if (ebuf == nullptr) {
    ebuf = dummy;
    emax = sizeof(dummy);
  }
  if (emax != 0) ebuf[0] = '\0';
  if (text == nullptr) text = "";
  StructsPending pending = {};
  const RecordType *t =
      structs_Locate(type, path, path != nullptr ? strlen(path) : 0, &value, true, &pending);
  if (t == nullptr) {
    FallbackText(ebuf, emax);
    return -1;
  }
  // Keep the old value's memory aside: it is freed only once the new text parsed.
  bool owns = t->release != structs_ReleaseNothing;
  RecScratch s;
  void *old = owns ? rec_ScratchGet(&s, t->size) : nullptr;
  if (owns && old == nullptr) {
    structs_DropPending(&pending);
    FallbackText(ebuf, emax);
    return -1;
  }
  if (owns) memcpy(old, value, t->size);
  if (t->from_text(t, text, value, ebuf, emax) == -1) {
    int e = errno;
    if (owns) rec_ScratchFree(&s);
    structs_DropPending(&pending);
    errno = e;
    FallbackText(ebuf, emax);
    return -1;
  }
  if (owns) {
    t->release(t, old);
    rec_ScratchFree(&s);
  }
  structs_CommitPending(&pending);
  return 0;
}

int structs_FieldEncode(const RecordType *type, const char *path, const void *value, const char *mtype,
                        StructsCode *code) {
  code->length = 0;
  code->data = nullptr;
  void *v = (void *)value;
  const RecordType *t = structs_LocateField(type, path, &v, 0);
  if (t == nullptr) return -1;
  if (t->encode(t, mtype, code, v) == -1) {
    code->length = 0;
    code->data = nullptr;
    return -1;
  }
  return 0;
}

ssize_t structs_FieldDecode(const RecordType *type, const char *path, const StructsCode *code, void *value,
                            char *ebuf, size_t emax) {
  char dummy[1];
  if (ebuf == nullptr) {
    ebuf = dummy;
    emax = sizeof(dummy);
  }
  if (emax != 0) ebuf[0] = '\0';
  const RecordType *t = structs_LocateField(type, path, &value, 0);
  if (t == nullptr) {
    FallbackText(ebuf, emax);
    return -1;
  }
  RecScratch s;
  void *tmp = rec_ScratchGet(&s, t->size);
  if (tmp == nullptr) {
    FallbackText(ebuf, emax);
    return -1;
  }
  ssize_t n = t->decode(t, code->data, code->length, tmp, ebuf, emax);
  if (n < 0) {
    int e = errno;
    rec_ScratchFree(&s);
    errno = e;
    FallbackText(ebuf, emax);
    return -1;
  }
  REC_ASSERT((size_t)n <= code->length);
  t->release(t, value);
  memcpy(value, tmp, t->size);
  rec_ScratchFree(&s);
  return n;
}
