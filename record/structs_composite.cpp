// Structures, fixed arrays and arrays: member-by-member operations and the
// compact encoding (a bitmap of members that differ from their default).
#include <cerrno>
#include <cstring>
#include <utility>

#include "record/rec_private.h"
#include "record/structs_types.h"
#include "record/typed_mem.h"

namespace {

struct Member {
  const RecordType *type;
  void *value;
};

const RecordField *Fields(const RecordType *type) { return (const RecordField *)type->args[0].p; }
const RecordType *ElemType(const RecordType *type) { return (const RecordType *)type->args[0].p; }
const char *ArrayMem(const RecordType *type) { return type->args[1].s; }
uint32_t FixedCount(const RecordType *type) { return (uint32_t)type->args[2].u; }

uint32_t CountFields(const RecordType *type) {
  uint32_t n = 0;
  for (const RecordField *f = Fields(type); f->name != nullptr; f++) n++;
  return n;
}

void PutBigEndian32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

uint32_t GetBigEndian32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

// 1 when the value equals a freshly initialised one of its type, 0 when not, -1 on failure.
int IsDefault(const RecordType *type, const void *value, const void *deflt) {
  if (deflt != nullptr) return type->equal(type, value, deflt) == 1;
  RecScratch s;
  void *d = rec_ScratchGet(&s, type->size);
  if (d == nullptr) return -1;
  if (type->init(type, d) == -1) {
    rec_ScratchFree(&s);
    return -1;
  }
  int eq = type->equal(type, value, d) == 1;
  type->release(type, d);
  rec_ScratchFree(&s);
  return eq;
}

// Encodes `n` members as [u32 n when counted] bitmap pieces...
template <class Get>
int EncodeMembers(uint32_t n, Get get, const void *deflt, bool counted, const char *mtype, StructsCode *code) {
  size_t nb = ((size_t)n + 7) / 8;
  size_t head = counted ? 4 : 0;
  uint8_t *bitmap = (uint8_t *)typed_mem_AllocZeroed(TYPED_MEM_TEMP, nb != 0 ? nb : 1, 1);
  StructsCode *pieces = (StructsCode *)typed_mem_AllocZeroed(TYPED_MEM_TEMP, n != 0 ? n : 1, sizeof(StructsCode));
  int r = -1;
  uint64_t total = head + nb;
  if (bitmap != nullptr && pieces != nullptr) {
    uint32_t i = 0;
    for (; i < n; i++) {
      Member m = get(i);
      int def = IsDefault(m.type, m.value, deflt);
      if (def == -1) break;
      if (def == 1) continue;
      bitmap[i / 8] |= (uint8_t)(1u << (i % 8));
      if (m.type->encode(m.type, TYPED_MEM_TEMP, &pieces[i], m.value) == -1) {
        pieces[i] = StructsCode{0, nullptr};
        break;
      }
      total += pieces[i].length;
    }
    if (i == n && total > UINT32_MAX) {
      errno = EINVAL;
    } else if (i == n) {
      uint8_t *out = (uint8_t *)typed_mem_Resize(mtype, nullptr, (size_t)total);
      if (out != nullptr) {
        if (counted) PutBigEndian32(out, n);
        memcpy(out + head, bitmap, nb);
        size_t pos = head + nb;
        for (uint32_t k = 0; k < n; k++) {
          if (pieces[k].length != 0) memcpy(out + pos, pieces[k].data, pieces[k].length);
          pos += pieces[k].length;
        }
        code->length = (uint32_t)total;
        code->data = out;
        r = 0;
      }
    }
  }
  int e = errno;
  if (pieces != nullptr) {
    for (uint32_t k = 0; k < n; k++) typed_mem_Release(TYPED_MEM_TEMP, pieces[k].data);
  }
  typed_mem_Release(TYPED_MEM_TEMP, pieces);
  typed_mem_Release(TYPED_MEM_TEMP, bitmap);
  if (r == -1) errno = e;
  return r;
}

template <class Get>
void ReleaseBackwards(uint32_t done, Get get) {
  int e = errno;
  while (done > 0) {
    Member m = get(--done);
    m.type->release(m.type, m.value);
  }
  errno = e;
}

// Decodes a bitmap and the members it marks; clear members get their default.
template <class Get>
ssize_t DecodeMembers(uint32_t n, Get get, const uint8_t *code, size_t cmax, char *ebuf, size_t emax,
                      const char *truncated) {
  size_t nb = ((size_t)n + 7) / 8;
  if (cmax < nb) {
    rec_SetMessage(ebuf, emax, "%s", truncated);
    errno = EINVAL;
    return -1;
  }
  size_t pos = nb;
  for (uint32_t i = 0; i < n; i++) {
    Member m = get(i);
    if ((code[i / 8] & (1u << (i % 8))) != 0) {
      ssize_t r = m.type->decode(m.type, code + pos, cmax - pos, m.value, ebuf, emax);
      if (r >= 0 && (size_t)r > cmax - pos) {
        // A decoder that claims more than it was given cannot be trusted further.
        m.type->release(m.type, m.value);
        rec_SetMessage(ebuf, emax, "%s", truncated);
        errno = EINVAL;
        r = -1;
      }
      if (r < 0) {
        ReleaseBackwards(i, get);
        return -1;
      }
      pos += (size_t)r;
    } else if (m.type->init(m.type, m.value) == -1) {
      ReleaseBackwards(i, get);
      return -1;
    }
  }
  return (ssize_t)pos;
}

}  // namespace

// ---- structure

int structs_StructureInit(const RecordType *type, void *value) {
  if (type->tclass != STRUCTS_CLASS_STRUCTURE) {
    errno = EINVAL;
    return -1;
  }
  memset(value, 0, type->size);
  const RecordField *fields = Fields(type);
  auto get = [&](uint32_t i) { return Member{fields[i].type, (char *)value + fields[i].offset}; };
  for (uint32_t i = 0; fields[i].name != nullptr; i++) {
    const RecordField *field = &fields[i];
    REC_ASSERT(field->size == field->type->size);
    if (field->type->init(field->type, (char *)value + field->offset) == -1) {
      ReleaseBackwards(i, get);
      memset(value, 0, type->size);
      return -1;
    }
  }
  return 0;
}

int structs_StructureCopy(const RecordType *type, const void *from, void *to) {
  if (type->tclass != STRUCTS_CLASS_STRUCTURE) {
    errno = EINVAL;
    return -1;
  }
  memset(to, 0, type->size);
  const RecordField *fields = Fields(type);
  auto get = [&](uint32_t i) { return Member{fields[i].type, (char *)to + fields[i].offset}; };
  for (uint32_t i = 0; fields[i].name != nullptr; i++) {
    const RecordType *ft = fields[i].type;
    if (ft->copy(ft, (const char *)from + fields[i].offset, (char *)to + fields[i].offset) == -1) {
      ReleaseBackwards(i, get);
      memset(to, 0, type->size);
      return -1;
    }
  }
  return 0;
}

int structs_StructureEqual(const RecordType *type, const void *a, const void *b) {
  if (type->tclass != STRUCTS_CLASS_STRUCTURE) return 0;
  for (const RecordField *f = Fields(type); f->name != nullptr; f++) {
    if (f->type->equal(f->type, (const char *)a + f->offset, (const char *)b + f->offset) != 1) return 0;
  }
  return 1;
}

void structs_StructureRelease(const RecordType *type, void *value) {
  if (type->tclass != STRUCTS_CLASS_STRUCTURE) return;
  int e = errno;
  for (const RecordField *f = Fields(type); f->name != nullptr; f++) f->type->release(f->type, (char *)value + f->offset);
  memset(value, 0, type->size);
  errno = e;
}

int structs_StructureEncode(const RecordType *type, const char *mtype, StructsCode *code, const void *value) {
  if (type->tclass != STRUCTS_CLASS_STRUCTURE) {
    errno = EINVAL;
    return -1;
  }
  const RecordField *fields = Fields(type);
  auto get = [&](uint32_t i) { return Member{fields[i].type, (char *)value + fields[i].offset}; };
  return EncodeMembers(CountFields(type), get, nullptr, false, mtype, code);
}

ssize_t structs_StructureDecode(const RecordType *type, const uint8_t *code, size_t cmax, void *value, char *ebuf,
                                size_t emax) {
  if (type->tclass != STRUCTS_CLASS_STRUCTURE) {
    errno = EINVAL;
    return -1;
  }
  const RecordField *fields = Fields(type);
  auto get = [&](uint32_t i) { return Member{fields[i].type, (char *)value + fields[i].offset}; };
  ssize_t r = DecodeMembers(CountFields(type), get, code, cmax, ebuf, emax, "encoded structure is truncated");
  if (r < 0) memset(value, 0, type->size);
  return r;
}

// ---- fixed array

int structs_FixedArrayInit(const RecordType *type, void *value) {
  const RecordType *et = ElemType(type);
  auto get = [&](uint32_t i) { return Member{et, (char *)value + (size_t)i * et->size}; };
  for (uint32_t i = 0; i < FixedCount(type); i++) {
    if (et->init(et, get(i).value) == -1) {
      ReleaseBackwards(i, get);
      return -1;
    }
  }
  return 0;
}

int structs_FixedArrayCopy(const RecordType *type, const void *from, void *to) {
  if (type->tclass != STRUCTS_CLASS_FIXEDARRAY) {
    errno = EINVAL;
    return -1;
  }
  const RecordType *et = ElemType(type);
  auto get = [&](uint32_t i) { return Member{et, (char *)to + (size_t)i * et->size}; };
  for (uint32_t i = 0; i < FixedCount(type); i++) {
    if (et->copy(et, (const char *)from + (size_t)i * et->size, get(i).value) == -1) {
      ReleaseBackwards(i, get);
      return -1;
    }
  }
  return 0;
}

int structs_FixedArrayEqual(const RecordType *type, const void *a, const void *b) {
  if (type->tclass != STRUCTS_CLASS_FIXEDARRAY) return 0;
  const RecordType *et = ElemType(type);
  for (uint32_t i = 0; i < FixedCount(type); i++) {
    size_t off = (size_t)i * et->size;
    if (et->equal(et, (const char *)a + off, (const char *)b + off) != 1) return 0;
  }
  return 1;
}

void structs_FixedArrayRelease(const RecordType *type, void *value) {
  if (type->tclass != STRUCTS_CLASS_FIXEDARRAY) return;
  int e = errno;
  const RecordType *et = ElemType(type);
  for (uint32_t i = 0; i < FixedCount(type); i++) et->release(et, (char *)value + (size_t)i * et->size);
  errno = e;
}

namespace {

// Encodes `n` elements against one default element made here.
int EncodeElements(const RecordType *et, const void *base, uint32_t n, bool counted, const char *mtype,
                   StructsCode *code) {
  RecScratch s;
  void *deflt = rec_ScratchGet(&s, et->size);
  if (deflt == nullptr) return -1;
  if (et->init(et, deflt) == -1) {
    rec_ScratchFree(&s);
    return -1;
  }
  auto get = [&](uint32_t i) { return Member{et, (char *)base + (size_t)i * et->size}; };
  int r = EncodeMembers(n, get, deflt, counted, mtype, code);
  int e = errno;
  et->release(et, deflt);
  rec_ScratchFree(&s);
  errno = e;
  return r;
}

}  // namespace

int structs_FixedArrayEncode(const RecordType *type, const char *mtype, StructsCode *code, const void *value) {
  if (type->tclass != STRUCTS_CLASS_FIXEDARRAY) {
    errno = EINVAL;
    return -1;
  }
  return EncodeElements(ElemType(type), value, FixedCount(type), false, mtype, code);
}

ssize_t structs_FixedArrayDecode(const RecordType *type, const uint8_t *code, size_t cmax, void *value, char *ebuf,
                                 size_t emax) {
  if (type->tclass != STRUCTS_CLASS_FIXEDARRAY) {
    errno = EINVAL;
    return -1;
  }
  const RecordType *et = ElemType(type);
  auto get = [&](uint32_t i) { return Member{et, (char *)value + (size_t)i * et->size}; };
  return DecodeMembers(FixedCount(type), get, code, cmax, ebuf, emax, "encoded array is truncated");
}

// ---- array

int structs_ArrayCopy(const RecordType *type, const void *from, void *to) {
  if (type->tclass != STRUCTS_CLASS_ARRAY) {
    errno = EINVAL;
    return -1;
  }
  const RecordType *et = ElemType(type);
  const StructsArray *src = (const StructsArray *)from;
  StructsArray *dst = (StructsArray *)to;
  dst->length = 0;
  dst->elems = nullptr;
  if (src->length == 0) return 0;
  dst->elems = typed_mem_Resize(ArrayMem(type), nullptr, (size_t)src->length * et->size);
  if (dst->elems == nullptr) return -1;
  auto get = [&](uint32_t i) { return Member{et, (char *)dst->elems + (size_t)i * et->size}; };
  for (uint32_t i = 0; i < src->length; i++) {
    if (et->copy(et, (const char *)src->elems + (size_t)i * et->size, get(i).value) == -1) {
      int e = errno;
      ReleaseBackwards(dst->length, get);
      typed_mem_Release(ArrayMem(type), dst->elems);
      dst->length = 0;
      dst->elems = nullptr;
      errno = e;
      return -1;
    }
    dst->length++;
  }
  return 0;
}

int structs_ArrayEqual(const RecordType *type, const void *a, const void *b) {
  if (type->tclass != STRUCTS_CLASS_ARRAY) return 0;
  const RecordType *et = ElemType(type);
  const StructsArray *x = (const StructsArray *)a, *y = (const StructsArray *)b;
  if (x->length != y->length) return 0;
  for (uint32_t i = 0; i < x->length; i++) {
    size_t off = (size_t)i * et->size;
    if (et->equal(et, (const char *)x->elems + off, (const char *)y->elems + off) != 1) return 0;
  }
  return 1;
}

void structs_ArrayRelease(const RecordType *type, void *value) {
  if (type->tclass != STRUCTS_CLASS_ARRAY) return;
  int e = errno;
  const RecordType *et = ElemType(type);
  StructsArray *arr = (StructsArray *)value;
  for (uint32_t i = 0; i < arr->length; i++) et->release(et, (char *)arr->elems + (size_t)i * et->size);
  typed_mem_Release(ArrayMem(type), arr->elems);
  arr->length = 0;
  arr->elems = nullptr;
  errno = e;
}

int structs_ArrayEncode(const RecordType *type, const char *mtype, StructsCode *code, const void *value) {
  if (type->tclass != STRUCTS_CLASS_ARRAY) {
    errno = EINVAL;
    return -1;
  }
  const StructsArray *arr = (const StructsArray *)value;
  return EncodeElements(ElemType(type), arr->elems, arr->length, true, mtype, code);
}

ssize_t structs_ArrayDecode(const RecordType *type, const uint8_t *code, size_t cmax, void *value, char *ebuf,
                            size_t emax) {
  if (type->tclass != STRUCTS_CLASS_ARRAY) {
    errno = EINVAL;
    return -1;
  }
  StructsArray *arr = (StructsArray *)value;
  arr->length = 0;
  arr->elems = nullptr;
  // The count comes from the input: its bitmap alone must fit in the bytes given.
  if (cmax < 4 || ((uint64_t)GetBigEndian32(code) + 7) / 8 > (uint64_t)cmax - 4) {
    rec_SetMessage(ebuf, emax, "%s", "encoded array is truncated");
    errno = EINVAL;
    return -1;
  }
  uint32_t n = GetBigEndian32(code);
  const RecordType *et = ElemType(type);
  void *block = nullptr;
  if (n != 0) {
    block = typed_mem_AllocZeroed(ArrayMem(type), n, et->size);
    if (block == nullptr) return -1;
  }
  auto get = [&](uint32_t i) { return Member{et, (char *)block + (size_t)i * et->size}; };
  ssize_t r = DecodeMembers(n, get, code + 4, cmax - 4, ebuf, emax, "encoded array is truncated");
  if (r < 0) {
    int e = errno;
    typed_mem_Release(ArrayMem(type), block);
    errno = e;
    return -1;
  }
  arr->length = n;
  arr->elems = block;
  return r + 4;
}
