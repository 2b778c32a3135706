#include "platform/os_registry_file.h"

#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "key files are written in the host's order");

static void Put32(std::string &out, uint32_t v) {
  char b[4];
  memcpy(b, &v, 4);
  out.append(b, 4);
}

static uint32_t Get32(const unsigned char *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

void regf_Encode(const RegKeyFile &key, std::string &out) {
  std::string body = key.name;
  for (const RegFileValue &v : key.values) {
    Put32(body, static_cast<uint32_t>(v.name.size()));
    Put32(body, v.type);
    Put32(body, static_cast<uint32_t>(v.data.size()));
    body += v.name;
    body += v.data;
  }
  RegFileHeader h = key.head;
  h.magic = REGF_MAGIC;
  h.version = REGF_VERSION;
  h.nameLen = static_cast<uint32_t>(key.name.size());
  h.valueCount = static_cast<uint32_t>(key.values.size());
  h.bodySize = static_cast<uint32_t>(body.size());
  h.reserved = 0;
  out.resize(sizeof h);
  memcpy(out.data(), &h, sizeof h);
  out += body;
}

bool regf_DecodeHeader(const void *bytes, size_t size, RegFileHeader &head) {
  if (size < sizeof head) return false;
  memcpy(&head, bytes, sizeof head);
  return head.magic == REGF_MAGIC && head.version == REGF_VERSION && head.nameLen <= head.bodySize;
}

bool regf_Decode(const void *bytes, size_t size, RegKeyFile &key) {
  if (!regf_DecodeHeader(bytes, size, key.head)) return false;
  if (size - sizeof key.head != key.head.bodySize) return false;
  const unsigned char *p = static_cast<const unsigned char *>(bytes) + sizeof key.head;
  size_t left = key.head.bodySize;
  key.name.assign(reinterpret_cast<const char *>(p), key.head.nameLen);
  p += key.head.nameLen;
  left -= key.head.nameLen;
  key.values.clear();
  for (uint32_t i = 0; i < key.head.valueCount; ++i) {
    if (left < 12) return false;
    uint64_t nameLen = Get32(p), dataLen = Get32(p + 8);
    uint32_t type = Get32(p + 4);
    p += 12;
    left -= 12;
    if (nameLen + dataLen > left) return false;
    RegFileValue v;
    v.name.assign(reinterpret_cast<const char *>(p), nameLen);
    v.type = type;
    v.data.assign(reinterpret_cast<const char *>(p + nameLen), dataLen);
    p += nameLen + dataLen;
    left -= nameLen + dataLen;
    key.values.push_back(std::move(v));
  }
  return left == 0;
}

static unsigned char FoldChar(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0x9A: return 0x8A;  // s caron
    case 0x9C: return 0x8C;  // oe
    case 0x9E: return 0x8E;  // z caron
    case 0xFF: return 0x9F;  // y diaeresis
    default: return c;
  }
}

std::string regf_Fold(std::string_view name) {
  std::string out(name);
  for (char &c : out) c = static_cast<char>(FoldChar(static_cast<unsigned char>(c)));
  return out;
}

int regf_Compare(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = FoldChar(static_cast<unsigned char>(a[i]));
    unsigned char y = FoldChar(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string regf_FolderName(std::string_view name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = FoldChar(static_cast<unsigned char>(name[i]));
    if (c == '/' || c == '%' || c < 0x20 || c == 0x7F || (i == 0 && c == '.')) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
