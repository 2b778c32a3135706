#include "plugin/loggers/lcfg_fields.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/registry/reg_settings.h"
#include "framework/registry/srv_hosts.h"
#include "platform/os_codepage.h"
#include "plugin/dbstores/asset_cipher.h"
#include "record/typed_mem.h"

namespace {

constexpr char kTooLong[] = "string is too long for bounded length buffer";
constexpr size_t kPaddedPassword = 256;

int Refuse(char *ebuf, size_t emax, const char *message) {
  if (ebuf && emax) snprintf(ebuf, emax, "%s", message);
  errno = EINVAL;
  return -1;
}

// A text into a field of `size` bytes with its terminator.
int PutText(const std::string &text, void *value, size_t size, char *ebuf, size_t emax) {
  if (text.size() + 1 > size || memchr(text.data(), '\0', text.size())) return Refuse(ebuf, emax, kTooLong);
  memcpy(value, text.c_str(), text.size() + 1);
  return 0;
}

std::string FieldText(const RecordType *t, const void *value) {
  const char *p = static_cast<const char *>(value);
  return std::string(p, strnlen(p, t->size));
}

char *Dup(const char *mtype, const std::string &s) { return typed_mem_DupText(mtype, s.c_str()); }

std::string Hex(const uint8_t *bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 15];
  }
  return s;
}

// Whole hexadecimal pairs only, at least one.
bool Unhex(const char *text, std::string *out) {
  size_t n = strlen(text);
  if (n == 0 || n % 2) return false;
  out->clear();
  for (size_t i = 0; i < n; i += 2) {
    int hi = lcfg_HexValue(text[i]), lo = lcfg_HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    *out += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

// Cipher bytes that decipher to `plain` again; "" when the cipher cannot
// carry the text (no MD5, or bytes the decipher check refuses).
std::string Encipher(const std::string &plain, const char *phrase) {
  uint8_t cipher[ASSET_CIPHER_MAX_TEXT + 1];
  size_t n = asset_EncryptPassword(plain.c_str(), cipher, sizeof cipher, phrase);
  if (n == 0) return "";
  char back[ASSET_CIPHER_MAX_TEXT + 1];
  if (!asset_DecryptPassword(cipher, n, back, sizeof back, phrase) || plain != back) return "";
  return Hex(cipher, n);
}

bool Decipher(const std::string &cipher, const char *phrase, std::string *plain) {
  char out[ASSET_CIPHER_MAX_TEXT + 1];
  if (cipher.size() > ASSET_CIPHER_MAX_TEXT ||
      !asset_DecryptPassword(reinterpret_cast<const uint8_t *>(cipher.data()), cipher.size(), out, sizeof out,
                             phrase))
    return false;
  *plain = out;
  return true;
}

// ---- date, time and period

enum : uint32_t { kDated = 1, kWild = 2, kPeriod = 4 };

const char kSeparators[5] = {'-', '-', 'T', ':', '\0'};

char *TimeToText(const RecordType *t, const char *mtype, const void *value) {
  const uint8_t *b = static_cast<const uint8_t *>(value);
  uint32_t flags = static_cast<uint32_t>(t->args[0].u);
  std::string s;
  for (int i = flags & kDated ? 0 : 1; i < 5; ++i) {
    char part[8];
    if (flags & kWild && b[i] == 255)
      snprintf(part, sizeof part, "%s", i == 0 ? "****" : "**");
    else if (i == 0)
      snprintf(part, sizeof part, "%04d", b[0] + 1900);
    else
      snprintf(part, sizeof part, "%02d", b[i]);
    s += part;
    if (kSeparators[i]) s += kSeparators[i];
  }
  return Dup(mtype, s);
}

// Month, day, hour and minute bounds; periods count 0 to 59 in each.
int Highest(uint32_t flags, int i) {
  static const int kTime[5] = {0, 12, 31, 23, 59};
  return flags & kPeriod ? 59 : kTime[i];
}

int TimeFromText(const RecordType *t, const char *text, void *value, char *ebuf, size_t emax) {
  uint32_t flags = static_cast<uint32_t>(t->args[0].u);
  uint8_t b[6];
  memcpy(b, value, sizeof b);
  const char *p = text;
  for (int i = flags & kDated ? 0 : 1; i < 5; ++i) {
    const char *bad = i == 0 ? "invalid year value" : "invalid time value";
    while (*p == ' ') ++p;
    int v = -1;
    if (*p == '*' && flags & kWild) {
      while (*p == '*') ++p;
      v = 255;
    } else if (*p >= '0' && *p <= '9') {
      v = 0;
      for (; *p >= '0' && *p <= '9'; ++p)
        if (v < 100000) v = v * 10 + (*p - '0');
      if (i == 0 ? v < 1900 || v > 2154 : v > Highest(flags, i)) return Refuse(ebuf, emax, bad);
      if (i == 0) v -= 1900;
    } else {
      return Refuse(ebuf, emax, bad);
    }
    b[i] = static_cast<uint8_t>(v);
    while (*p == ' ') ++p;
    if (kSeparators[i] ? *p != kSeparators[i] : *p != '\0') return Refuse(ebuf, emax, "invalid time value");
    if (kSeparators[i]) ++p;
  }
  memcpy(value, b, sizeof b);
  return 0;
}

constexpr RecordType TimeType(uint32_t flags) {
  return RecordType{6, "lcfgtime", STRUCTS_CLASS_PRIMITIVE, structs_InitZero, structs_CopyBytes, structs_EqualBytes,
                    TimeToText, TimeFromText, structs_EncodeBytes, structs_DecodeBytes, structs_ReleaseNothing,
                    {{.u = flags}, {.u = 0}, {.u = 0}}};
}

// ---- line end and separator: (stored text, word) pairs; the first word is
// also what an empty text means.

struct Word {
  const char *stored;
  const char *text;
};
const Word kLineEnds[] = {{"\r\n", "CR/LF"}, {"\n", "LF"}, {"\r", "CR"}, {nullptr, nullptr}};
const Word kSeparatorWords[] = {{",", "COMMA"}, {"\t", "TAB"}, {" ", "SPACE"}, {nullptr, nullptr}};

const Word *Words(const RecordType *t) { return static_cast<const Word *>(t->args[0].p); }

char *WordToText(const RecordType *t, const char *mtype, const void *value) {
  std::string v = FieldText(t, value);
  for (const Word *w = Words(t); w->stored; ++w)
    if (v == w->stored) return Dup(mtype, w->text);
  return Dup(mtype, v);
}

int WordFromText(const RecordType *t, const char *text, void *value, char *ebuf, size_t emax) {
  const Word *words = Words(t);
  if (!*text) return PutText(words[0].stored, value, t->size, ebuf, emax);
  for (const Word *w = words; w->stored; ++w)
    if (strcmp(text, w->text) == 0) return PutText(w->stored, value, t->size, ebuf, emax);
  return PutText(text, value, t->size, ebuf, emax);
}

constexpr RecordType WordType(const Word *words) {
  return RecordType{4, "lcfgword", STRUCTS_CLASS_PRIMITIVE, structs_InitZero, structs_CopyBytes, lcfg_TextEqual,
                    WordToText, WordFromText, structs_StringEncode, structs_StringDecode, structs_ReleaseNothing,
                    {{.p = words}, {.u = 0}, {.u = 0}}};
}

// ---- server URLs

bool IsWebUrl(const char *text, SrvUrlComponents *c) {
  return srv_CrackUrl(text, 0, 0, c) == 1 && (c->scheme == SRV_SCHEME_HTTP || c->scheme == SRV_SCHEME_HTTPS);
}

std::string PercentDecoded(const char *s) {
  std::string out;
  for (; *s; ++s) {
    int hi = s[0] == '%' ? lcfg_HexValue(s[1]) : -1, lo = hi >= 0 ? lcfg_HexValue(s[2]) : -1;
    if (lo >= 0) {
      out += static_cast<char>(hi << 4 | lo);
      s += 2;
    } else {
      out += *s;
    }
  }
  return out;
}

// The port of a URL, also from the old form that wrote it after the host's
// '/' ("host/:8443").
uint16_t PortOf(const SrvUrlComponents &c) {
  const char *p = c.path;
  if (p[0] != '/' || p[1] != ':' || p[2] < '0' || p[2] > '9') return c.port;
  unsigned v = 0;
  for (p += 2; *p >= '0' && *p <= '9'; ++p)
    if ((v = v * 10 + static_cast<unsigned>(*p - '0')) > 65535) return c.port;
  return *p == '\0' || *p == '/' ? static_cast<uint16_t>(v) : c.port;
}

std::string HostPort(const SrvUrlComponents &c) {
  uint16_t port = PortOf(c), standard = c.scheme == SRV_SCHEME_HTTPS ? 443 : 80;
  std::string s = c.host;
  if (port != standard) s += ":" + std::to_string(port);
  return s + "/";
}

bool EndsWith(const std::string &s, const std::string &tail) {
  return !tail.empty() && s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Our own test values, each assembled from two halves under a mask.
std::string Assemble(const uint8_t *a, const uint8_t *b, size_t n, uint8_t mask) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(a[i] ^ b[i] ^ mask);
  return s;
}

}  // namespace

int lcfg_HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const RecordType lcfg_DatedTimeType = TimeType(kDated);
const RecordType lcfg_DatedWildTimeType = TimeType(kDated | kWild);
const RecordType lcfg_TimeType = TimeType(0);
const RecordType lcfg_WildTimeType = TimeType(kWild);
const RecordType lcfg_PeriodType = TimeType(kPeriod);
const RecordType lcfg_LineEndType = WordType(kLineEnds);
const RecordType lcfg_SeparatorType = WordType(kSeparatorWords);

int lcfg_PeriodCode(const uint8_t period[6]) {
  static const int64_t kMinutes[] = {30, 60, 120, 240, 480, 720, 1440, 10080, 20160, 44640, 89280, 133920};
  int64_t total = period[4] + 60 * period[3] + 1440 * period[2] + 44640 * static_cast<int64_t>(period[1]);
  for (int i = 0; i < 12; ++i)
    if (total == kMinutes[i]) return i + 1;
  return 0;
}

int lcfg_TextEqual(const RecordType *t, const void *a, const void *b) {
  return strncmp(static_cast<const char *>(a), static_cast<const char *>(b), t->size) == 0;
}

char *lcfg_PasswordToText(const RecordType *t, const char *mtype, const void *value) {
  std::string plain = FieldText(t, value);
  // The padding cannot keep trailing spaces: none is written, so a password
  // of spaces alone is written as none.
  while (!plain.empty() && plain.back() == ' ') plain.pop_back();
  if (plain.empty()) return Dup(mtype, "");
  std::string padded = plain;
  if (padded.size() < kPaddedPassword) padded.append(kPaddedPassword - padded.size(), ' ');
  std::string hex = Encipher(padded, ASSET_PHRASE_PASSWORD);
  return Dup(mtype, hex.empty() ? plain : "enc:" + hex);
}

int lcfg_PasswordFromText(const RecordType *t, const char *text, void *value, char *ebuf, size_t emax) {
  std::string cipher, plain;
  if (os_CompareNoCaseN(text, "enc:", 4) == 0 && Unhex(text + 4, &cipher) &&
      Decipher(cipher, ASSET_PHRASE_PASSWORD, &plain)) {
    while (!plain.empty() && plain.back() == ' ') plain.pop_back();
    return PutText(plain, value, t->size, ebuf, emax);
  }
  return PutText(text, value, t->size, ebuf, emax);
}

std::string lcfg_UrlToText(const char *value) {
  SrvUrlComponents c;
  if (!IsWebUrl(value, &c)) return value;
  std::string password = PercentDecoded(c.password);
  std::string s = std::string(c.scheme == SRV_SCHEME_HTTPS ? "https" : "http") + "://";
  if (*c.user || !password.empty()) {
    s += c.user;
    if (!password.empty()) {
      std::string hex = Encipher(password, ASSET_PHRASE_URL);
      // A password the cipher cannot carry stays as it was written.
      if (hex.empty()) return value;
      s += ":enc" + hex;
    }
    s += "@";
  }
  return s + HostPort(c);
}

int lcfg_UrlFromText(const char *text, char *value, size_t size, char *ebuf, size_t emax) {
  SrvUrlComponents c;
  if (!IsWebUrl(text, &c)) return PutText(text, value, size, ebuf, emax);
  std::string user = c.user, password, cipher;
  if (os_CompareNoCaseN(c.password, "enc", 3) == 0 && Unhex(c.password + 3, &cipher)) {
    if (!Decipher(cipher, ASSET_PHRASE_URL, &password)) return Refuse(ebuf, emax, "cannot decode sever password");
  } else {
    password = PercentDecoded(c.password);
  }
  std::string account = lcfg_EditionAccount(), recognised, replacement;
  if (EndsWith(user, account)) {
    lcfg_EditionPasswords(&recognised, &replacement);
    if (password == recognised) {
      user += "2";
      password = replacement;
    }
  }
  std::string s = std::string(c.scheme == SRV_SCHEME_HTTPS ? "https" : "http") + "://";
  if (!user.empty() || !password.empty()) {
    s += user;
    if (!password.empty()) {
      s += ":";
      for (unsigned char ch : password) {
        char e[4];
        snprintf(e, sizeof e, "%%%02X", ch);
        s += e;
      }
    }
    s += "@";
  }
  return PutText(s + HostPort(c), value, size, ebuf, emax);
}

char *lcfg_UrlFieldToText(const RecordType *t, const char *mtype, const void *value) {
  return Dup(mtype, lcfg_UrlToText(FieldText(t, value).c_str()));
}

int lcfg_UrlFieldFromText(const RecordType *t, const char *text, void *value, char *ebuf, size_t emax) {
  return lcfg_UrlFromText(text, static_cast<char *>(value), t->size, ebuf, emax);
}

std::string lcfg_EditionAccount(void) {
  const char *product = prod_GetProductName();
  if (os_CompareNoCase(product, "Rimfold") == 0) return "RimfoldLogger";
  if (os_CompareNoCase(product, "Kestrune") == 0) return "FTBLogger";
  return "";
}

void lcfg_EditionPasswords(std::string *recognised, std::string *replacement) {
  static const uint8_t kA1[8] = {0x31, 0x7e, 0x05, 0x6c, 0x29, 0x52, 0x18, 0x47};
  static const uint8_t kA2[8] = {0x4c, 0x2a, 0x5b, 0x11, 0x7a, 0x3d, 0x63, 0x0e};
  static const uint8_t kB1[10] = {0x66, 0x0b, 0x3f, 0x52, 0x19, 0x74, 0x2e, 0x41, 0x08, 0x5d};
  static const uint8_t kB2[10] = {0x1d, 0x58, 0x60, 0x2b, 0x47, 0x13, 0x6a, 0x39, 0x55, 0x0f};
  if (recognised) *recognised = Assemble(kA1, kA2, sizeof kA1, 0x20);
  if (replacement) *replacement = Assemble(kB1, kB2, sizeof kB1, 0x11);
}
