#include "plugin/dbstores/db_utils.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/server/srv_requests.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "platform/os_registry.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
  const char *p = c ? strchr(kAlphabet, c) : nullptr;
  return p ? static_cast<int>(p - kAlphabet) : -1;
}

struct Entry {
  std::u16string source, translation;
};
struct Table {
  bool loaded = false;
  std::vector<Entry> entries;
};
Table g_tables[TR_KINDS];
bool g_loaded = false;
const char *const kTableNames[TR_KINDS] = {"tags", "descriptions", "units"};
const size_t kBounds[TR_KINDS] = {16, 33, 9};

char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  return c;
}

bool SameNoCase(const std::u16string &a, const std::u16string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

// One UTF-8 character's length, 0 when the bytes are not UTF-8.
size_t Decode(const char *s, size_t n, uint32_t *ch) {
  size_t used = os_Utf8Decode(s, n, ch);
  if (*ch == 0xFFFD && !(used == 3 && memcmp(s, "\xEF\xBF\xBD", 3) == 0)) return 0;
  return used;
}

// UTF-8 into UTF-16 (an invalid byte becomes its code page 1252 character).
std::u16string FromUtf8(const char *s, size_t n) {
  std::u16string out;
  size_t i = 0;
  while (i < n) {
    uint32_t ch = 0;
    size_t used = Decode(s + i, n - i, &ch);
    if (used == 0) {
      out += os_Cp1252ToUnicode(static_cast<uint8_t>(s[i]));
      ++i;
      continue;
    }
    if (ch >= 0x10000) {
      ch -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (ch >> 10));
      out += static_cast<char16_t>(0xDC00 + (ch & 0x3FF));
    } else {
      out += static_cast<char16_t>(ch);
    }
    i += used;
  }
  return out;
}

bool IsUtf8(const char *s, size_t n) {
  for (size_t i = 0; i < n;) {
    uint32_t ch;
    size_t used = Decode(s + i, n - i, &ch);
    if (used == 0) return false;
    i += used;
  }
  return true;
}

std::string ToUtf8(const std::u16string &w) {
  std::string out(w.size() * 3 + 1, '\0');
  out.resize(os_Utf16ToUtf8(w.data(), w.size(), out.data(), out.size()));
  return out;
}

void Message(char *message, const char *format, const char *file, uint32_t error) {
  if (message) snprintf(message, TR_MESSAGE_SIZE, format, file, static_cast<int>(error & 0xFFF));
}

// Splits the file's lines into entries; the first line with a separator is
// the heading.
std::vector<Entry> Parse(const std::u16string &text) {
  std::vector<Entry> entries;
  bool heading = true;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(u'\n', at);
    std::u16string line = text.substr(at, end == std::u16string::npos ? std::u16string::npos : end - at);
    at = end == std::u16string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    size_t sep = line.find(u'\t');
    if (sep == std::u16string::npos) sep = line.find(u',');
    if (sep == std::u16string::npos) continue;
    if (heading) {
      heading = false;
      continue;
    }
    Entry e{line.substr(0, sep), line.substr(sep + 1)};
    if (e.source.empty() || e.translation.empty()) continue;
    entries.push_back(std::move(e));
  }
  return entries;
}

std::u16string Widen(const char *text) {
  std::u16string w;
  for (const char *p = text; *p; ++p) w += os_Cp1252ToUnicode(static_cast<uint8_t>(*p));
  return w;
}

std::u16string StateToWide(const ChannelRecord *r, size_t at) {
  if (!chan_IsDigital(r)) return u"";
  const uint8_t *f = r->raw + at;
  if (f[0] == 0 && f[1] == 0xFF) {
    std::u16string w;
    for (size_t i = 0; i < CHN_STATE_WIDE_MAX; ++i) {
      char16_t c = static_cast<char16_t>(f[2 + 2 * i] | f[3 + 2 * i] << 8);
      if (!c) break;
      w += c;
    }
    return w;
  }
  const char *s = reinterpret_cast<const char *>(f);
  size_t n = strnlen(s, CHN_STATE_TEXT);
  if (IsUtf8(s, n)) return FromUtf8(s, n);
  std::u16string w;  // written in the ANSI code page
  for (size_t i = 0; i < n; ++i) w += os_Cp1252ToUnicode(static_cast<uint8_t>(s[i]));
  return w;
}

void StateFromWide(ChannelRecord *r, size_t at, const std::u16string &text, bool utf8) {
  uint8_t *f = r->raw + at;
  std::u16string t = text.substr(0, CHN_STATE_TEXT);
  bool wide = false;
  // The wide form also takes what the ANSI code page cannot hold, so it reads back.
  for (char16_t c : t) wide = wide || c >= 256 || (!utf8 && os_UnicodeToCp1252(c) < 0);
  memset(f, 0, CHN_STATE_TEXT);
  if (wide) {
    f[1] = 0xFF;
    for (size_t i = 0; i < t.size() && i < CHN_STATE_WIDE_MAX; ++i) {
      f[2 + 2 * i] = static_cast<uint8_t>(t[i]);
      f[3 + 2 * i] = static_cast<uint8_t>(t[i] >> 8);
    }
    return;
  }
  std::string narrow;
  if (utf8) {
    narrow = ToUtf8(t);
  } else {
    for (char16_t c : t) {
      int b = os_UnicodeToCp1252(c);
      narrow += static_cast<char>(b < 0 ? '?' : b);
    }
  }
  // Cut whole characters only.
  size_t n = utf8 ? os_Utf8Fit(narrow.data(), narrow.size(), CHN_STATE_TEXT)
                  : std::min(narrow.size(), static_cast<size_t>(CHN_STATE_TEXT));
  memcpy(f, narrow.data(), n);
}

}  // namespace

TmSplit tm_SplitMilliseconds(int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  TmSplit s;
  int64_t minutes = milliseconds / 60000;
  s.minutes = static_cast<uint8_t>(minutes > 99 ? 99 : minutes);
  s.seconds = static_cast<uint8_t>(milliseconds / 1000 % 60);
  s.milliseconds = static_cast<uint16_t>(milliseconds % 1000);
  return s;
}

size_t db_Base64Decode(const char *text, uint8_t *out, size_t size) {
  size_t n = 0;
  uint32_t bits = 0;
  int have = 0;
  for (const char *p = text; *p; ++p) {
    int v = Sextet(*p);
    if (v < 0) break;  // '=' or any other character ends the text
    bits = bits << 6 | static_cast<uint32_t>(v);
    have += 6;
    if (have >= 8) {
      have -= 8;
      if (n < size) out[n] = static_cast<uint8_t>(bits >> have);
      ++n;
    }
  }
  return n < size ? n : size;
}

std::string db_Base64Encode(const uint8_t *data, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; i += 3) {
    uint32_t v = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < length) v |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < length) v |= data[i + 2];
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += i + 1 < length ? kAlphabet[v >> 6 & 63] : '=';
    out += i + 2 < length ? kAlphabet[v & 63] : '=';
  }
  return out;
}

const char *db_GetServerName(void) {
  static char name[1285];
  OsHKey key;
  uint32_t size = sizeof name - 1, type = 0;
  name[0] = '\0';
  if (os_RegOpenKeyEx(OS_HKEY_CURRENT_USER, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_READ, &key) == 0) {
    int32_t rc = os_RegQueryValueEx(key, "ServerName", &type, name, &size);
    os_RegCloseKey(key);
    if (rc == 0 && type == OS_REG_SZ && size > 0) {
      name[size < sizeof name ? size : sizeof name - 1] = '\0';
      return name;
    }
  }
  uint32_t n = sizeof name;
  if (os_GetComputerName(name, &n) != 0) name[0] = '\0';
  return name;
}

int tr_LoadTranslationTable(const char *server, int kind, const char *name, char *message) {
  if (kind < 0 || kind >= TR_KINDS) return -1;
  Table &t = g_tables[kind];
  t.entries.clear();
  t.loaded = false;
  const char *folder = srv_ResolveServerFolder(server, "TSQ_TRANSLATIONS");
  if (!folder) {
    if (message)
      snprintf(message, TR_MESSAGE_SIZE, "CAN'T ACCESS TRANSLATIONS DIRECTORY - ERROR %d",
               static_cast<int>(os_GetLastError() & 0xFFF));
    return -1;
  }
  std::string path = std::string(folder) + "\\" + name + ".txt";
  OsHandle f = os_CreateFile(path.c_str(), OS_GENERIC_READ, OS_FILE_SHARE_READ, OS_OPEN_EXISTING, 0);
  if (f == nullptr) {
    uint32_t e = os_GetLastError();
    if (e == OS_ERROR_FILE_NOT_FOUND || e == OS_ERROR_PATH_NOT_FOUND) {
      path = std::string(folder) + "\\" + name + ".csv";
      f = os_CreateFile(path.c_str(), OS_GENERIC_READ, OS_FILE_SHARE_READ, OS_OPEN_EXISTING, 0);
      e = os_GetLastError();
      if (f == nullptr && (e == OS_ERROR_FILE_NOT_FOUND || e == OS_ERROR_PATH_NOT_FOUND)) {
        t.loaded = true;  // no table of this kind
        return 0;
      }
    }
    if (f == nullptr) {
      Message(message, "CAN'T ACCESS TRANSLATIONS FILE %s - ERROR %d", path.c_str(), e);
      return -1;
    }
  }
  uint64_t size = 0;
  if (os_GetFileSize(f, &size) != 0 || size == 0 || size > (64u << 20)) {
    Message(message, "CAN'T GET FILE SIZE OR EMPTY TRANSLATIONS FILE %s - ERROR %d", path.c_str(), os_GetLastError());
    os_CloseHandle(f);
    return -1;
  }
  std::string bytes(static_cast<size_t>(size), '\0');
  uint32_t got = 0;
  int rc = os_ReadFile(f, bytes.data(), static_cast<uint32_t>(size), &got);
  uint32_t e = os_GetLastError();
  os_CloseHandle(f);
  if (rc != 0 || got != size) {
    Message(message, "CAN'T READ TRANSLATIONS FILE %s - ERROR %d", path.c_str(), e);
    return -1;
  }
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
  } else {
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    text = FromUtf8(bytes.data() + skip, bytes.size() - skip);
  }
  t.entries = Parse(text);
  if (t.entries.empty()) {
    if (message)
      snprintf(message, TR_MESSAGE_SIZE, "NO TRANSLATIONS PARSED IN FILE %s - USE <tab> or <comma> as a SEPARATOR",
               path.c_str());
    return -1;
  }
  t.loaded = true;
  return 0;
}

int tr_LoadTranslations(const char *server, char *message) {
  for (int k = 0; k < TR_KINDS; ++k)
    if (tr_LoadTranslationTable(server, k, kTableNames[k], message) != 0) return -1;
  g_loaded = true;
  return 0;
}

void tr_FreeTranslations(void) {
  for (Table &t : g_tables) {
    t.entries.clear();
    t.loaded = false;
  }
  g_loaded = false;
}

int tr_Translate(int kind, const char *text, char16_t *result, size_t bound) {
  if (!result || bound == 0) return 0;
  result[0] = u'\0';
  if (kind < 0 || kind >= TR_KINDS || !text) return 0;
  std::u16string wide = Widen(text);
  // Within the result's bound, whatever the text's length.
  size_t n = wide.size() < bound - 1 ? wide.size() : bound - 1;
  memcpy(result, wide.data(), n * sizeof(char16_t));
  result[n] = u'\0';
  if (!g_loaded) {
    char message[TR_MESSAGE_SIZE];
    tr_LoadTranslations(db_GetServerName(), message);
    g_loaded = true;  // one attempt; a failed table stays empty
  }
  for (const Entry &e : g_tables[kind].entries) {
    if (!SameNoCase(e.source, wide)) continue;
    size_t m = e.translation.size() < bound - 1 ? e.translation.size() : bound - 1;
    memcpy(result, e.translation.data(), m * sizeof(char16_t));
    result[m] = u'\0';
    return 1;
  }
  return 0;
}

const char16_t *tr_TranslateTag(const ChannelRecord *record) {
  static char16_t out[16];
  tr_Translate(TR_TAGS, chan_GetTag(record), out, kBounds[TR_TAGS]);
  return out;
}

const char16_t *tr_TranslateDescription(const ChannelRecord *record) {
  static char16_t out[33];
  tr_Translate(TR_DESCRIPTIONS, chan_GetDescription(record), out, kBounds[TR_DESCRIPTIONS]);
  return out;
}

const char16_t *tr_TranslateUnits(const ChannelRecord *record) {
  static char16_t out[9];
  tr_Translate(TR_UNITS, chan_GetUnits(record), out, kBounds[TR_UNITS]);
  return out;
}

std::u16string chn_HighStateTextToWide(const ChannelRecord *record) {
  return StateToWide(record, offsetof(ChannelDigital, HighStateText));
}
std::u16string chn_LowStateTextToWide(const ChannelRecord *record) {
  return StateToWide(record, offsetof(ChannelDigital, LowStateText));
}
void chn_HighStateTextFromWide(ChannelRecord *record, const std::u16string &text) {
  StateFromWide(record, offsetof(ChannelDigital, HighStateText), text, false);
}
void chn_LowStateTextFromWide(ChannelRecord *record, const std::u16string &text) {
  StateFromWide(record, offsetof(ChannelDigital, LowStateText), text, true);
}
