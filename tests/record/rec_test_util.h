// Helpers for the record library tests.
#pragma once
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "record/record.h"

namespace rectest {

// to_text of a whole value; "<null>" when it fails.
inline std::string Text(const RecordType *t, const void *value) {
  char *s = t->to_text(t, TYPED_MEM_TEMP, value);
  if (s == nullptr) return "<null>";
  std::string r = s;
  typed_mem_Release(TYPED_MEM_TEMP, s);
  return r;
}

struct Parsed {
  int rc;
  int err;
  std::string msg;
};

// from_text of a whole value with a 256-byte message buffer.
inline Parsed Parse(const RecordType *t, const char *text, void *value) {
  char ebuf[256] = "";
  errno = 0;
  int rc = t->from_text(t, text, value, ebuf, sizeof(ebuf));
  return Parsed{rc, errno, ebuf};
}

inline std::vector<uint8_t> Bytes(const StructsCode &c) { return std::vector<uint8_t>(c.data, c.data + c.length); }

// Encodes a whole value; the bytes, freed here.
inline std::vector<uint8_t> Encode(const RecordType *t, const void *value) {
  StructsCode c = {0, nullptr};
  if (t->encode(t, TYPED_MEM_TEMP, &c, value) != 0) return {};
  std::vector<uint8_t> r = Bytes(c);
  typed_mem_Release(TYPED_MEM_TEMP, c.data);
  return r;
}

// A value block of a type's size, released and freed at the end of scope.
struct Value {
  const RecordType *type;
  std::vector<unsigned char> mem;
  bool live = false;
  explicit Value(const RecordType *t) : type(t), mem(t->size + 16, 0) {}
  ~Value() {
    if (live) type->release(type, p());
  }
  void *p() { return mem.data(); }
  int Init() {
    int r = type->init(type, p());
    live = r == 0;
    return r;
  }
};

}  // namespace rectest
