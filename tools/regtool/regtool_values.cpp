#include "tools/regtool/regtool_values.h"

#include <strings.h>

#include <cstring>

#include "platform/os_registry.h"

namespace {
struct TypeName {
  const char *word;
  uint32_t type;
  bool writable;
};
const TypeName kTypes[] = {
    {"sz", OS_REG_SZ, true},          {"expand_sz", OS_REG_EXPAND_SZ, true}, {"dword", OS_REG_DWORD, true},
    {"binary", OS_REG_BINARY, true},  {"multi_sz", OS_REG_MULTI_SZ, false},  {"none", OS_REG_NONE, false},
};

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string HexText(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Text up to the first terminator.
std::string Text(const std::string &bytes) { return bytes.substr(0, bytes.find('\0')); }
}  // namespace

bool rt_ParseType(const char *word, uint32_t *type) {
  for (const TypeName &t : kTypes)
    if (t.writable && strcasecmp(word, t.word) == 0) return *type = t.type, true;
  return false;
}

std::string rt_TypeWord(uint32_t type) {
  for (const TypeName &t : kTypes)
    if (t.type == type) return t.word;
  return "type " + std::to_string(type);
}

bool rt_ParseData(uint32_t type, const char *text, std::string *bytes, std::string *why) {
  bytes->clear();
  if (type == OS_REG_SZ || type == OS_REG_EXPAND_SZ) {
    bytes->assign(text, strlen(text) + 1);
    return true;
  }
  if (type == OS_REG_DWORD) {
    const char *p = text;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2, base = 16;
    uint64_t v = 0;
    if (!*p) return *why = "a dword is a decimal or 0x-hex number", false;
    for (; *p; ++p) {
      int d = base == 16 ? Hex(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
      if (d < 0) return *why = "a dword is a decimal or 0x-hex number", false;
      v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      if (v > 0xFFFFFFFFu) return *why = "a dword is at most 4294967295", false;
    }
    uint32_t d32 = static_cast<uint32_t>(v);
    bytes->assign(reinterpret_cast<const char *>(&d32), 4);
    return true;
  }
  size_t n = strlen(text);
  if (n % 2) return *why = "binary data is pairs of hex digits", false;
  for (size_t i = 0; i < n; i += 2) {
    int hi = Hex(text[i]), lo = Hex(text[i + 1]);
    if (hi < 0 || lo < 0) return *why = "binary data is pairs of hex digits", false;
    *bytes += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

std::string rt_FormatData(uint32_t type, const std::string &bytes, const char *separator) {
  switch (type) {
    case OS_REG_SZ:
    case OS_REG_EXPAND_SZ:
      return Text(bytes);
    case OS_REG_DWORD:
      if (bytes.size() == 4) {
        uint32_t v;
        memcpy(&v, bytes.data(), 4);
        return std::to_string(v);
      }
      return HexText(bytes);
    case OS_REG_MULTI_SZ: {
      std::string out;
      size_t i = 0;
      while (i < bytes.size() && bytes[i] != '\0') {
        size_t end = bytes.find('\0', i);
        if (end == std::string::npos) end = bytes.size();
        if (!out.empty()) out += separator;
        out += bytes.substr(i, end - i);
        i = end + 1;
      }
      return out;
    }
    default:
      return HexText(bytes);
  }
}
