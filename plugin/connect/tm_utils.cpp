#include "plugin/connect/tm_utils.h"


#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_file.h"
#include "platform/os_format.h"
#include "platform/os_io.h"
#include "platform/os_registry.h"

namespace {

// Floor division and the matching remainder, so negative fields borrow.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

// Days from 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = FloorDiv(y, 400);
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t *y, int64_t *m, int64_t *d) {
  z += 719468;
  int64_t era = FloorDiv(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp + (mp < 10 ? 3 : -9);
  *y = yoe + era * 400 + (*m <= 2);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

TmDateTime tm_GmTime(int64_t seconds) {
  int64_t days = FloorDiv(seconds, 86400), rest = FloorMod(seconds, 86400);
  int64_t y, m, d;
  CivilFromDays(days, &y, &m, &d);
  TmDateTime t;
  t.year = static_cast<int32_t>(y - 1900);
  t.month = static_cast<int32_t>(m - 1);
  t.day = static_cast<int32_t>(d);
  t.hour = static_cast<int32_t>(rest / 3600);
  t.minute = static_cast<int32_t>(rest / 60 % 60);
  t.second = static_cast<int32_t>(rest % 60);
  return t;
}

int64_t tm_MakeTime(TmDateTime *t) {
  // Months carry into years first, so the day count knows its month; every
  // smaller field is then a plain count of seconds on top of the month's start.
  int64_t months = static_cast<int64_t>(t->year) * 12 + t->month;
  int64_t year = FloorDiv(months, 12) + 1900, month = FloorMod(months, 12);
  int64_t seconds = (DaysFromCivil(year, month + 1, 1) + static_cast<int64_t>(t->day) - 1) * 86400 +
                    static_cast<int64_t>(t->hour) * 3600 + static_cast<int64_t>(t->minute) * 60 + t->second;
  *t = tm_GmTime(seconds);
  return seconds;
}

const char *tm_StampName(const int64_t *seconds) {
  thread_local char buf[72];  // fields are normalised; room for any int keeps the compiler sure
  TmDateTime t = tm_GmTime(seconds ? *seconds : 0);
  snprintf(buf, sizeof buf, "%02d%02d%02d_%02d%02d%02d", static_cast<int>(FloorMod(t.year, 100)), t.month + 1, t.day,
           t.hour, t.minute, t.second);
  return buf;
}

const char *tm_MatchStampedName(const char *name, const char *suffix) {
  if (!name || !*name) return nullptr;
  size_t n = strlen(name), s = suffix ? strlen(suffix) : 0;
  if (n < s || os_CompareNoCase(name + n - s, suffix ? suffix : "") != 0) return nullptr;
  size_t end = n - s;  // what precedes the suffix
  if (end <= 1) return nullptr;
  size_t at = end, first = end;
  int digits = 0;
  while (digits < 12 && at >= 2 && IsDigit(name[at - 1]) && IsDigit(name[at - 2])) {
    at -= 2;
    digits += 2;
    first = at;
    // Between the time and the date halves a separator may stand.
    if (digits == 6 && at >= 3 && (name[at - 1] == '.' || name[at - 1] == '_') && IsDigit(name[at - 2]) &&
        IsDigit(name[at - 3]))
      --at;
  }
  return digits == 6 || digits == 12 ? name + first : nullptr;
}

namespace {

// The time of a matched stamp: YYMMDD[[sep]HHMMSS], years below 70 after 2000.
int64_t StampTime(const char *p) {
  auto two = [](const char *q) { return (q[0] - '0') * 10 + (q[1] - '0'); };
  TmDateTime t{};
  int yy = two(p);
  t.year = yy < 70 ? yy + 100 : yy;
  t.month = two(p + 2) - 1;
  t.day = two(p + 4);
  const char *q = p + 6;
  if (*q == '.' || *q == '_') ++q;
  if (IsDigit(q[0]) && IsDigit(q[1]) && IsDigit(q[2]) && IsDigit(q[3]) && IsDigit(q[4]) && IsDigit(q[5])) {
    t.hour = two(q);
    t.minute = two(q + 2);
    t.second = two(q + 4);
  }
  return tm_MakeTime(&t);
}

}  // namespace

int64_t tm_LatestStampedFile(const char *folder, const char *suffix, char *out, size_t size) {
  TmDir *dir = tm_DirOpen(folder);
  if (!dir) return -1;
  int64_t best = -1;
  std::string bestName;
  while (const char *name = tm_DirNext(dir)) {
    const char *stamp = tm_MatchStampedName(name, suffix);
    if (!stamp) continue;
    int64_t t = StampTime(stamp);
    if (t > best) best = t, bestName = name;
  }
  tm_DirClose(dir);
  if (best >= 0 && out && size) snprintf(out, size, "%s", bestName.c_str());
  return best;
}

struct TmDir {
  std::vector<std::string> names;
  size_t next = 0;
  char current[261];
};

TmDir *tm_DirOpen(const char *folder) {
  if (!folder) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  auto *d = new TmDir;
  int rc = os_ListDirectory(
      folder,
      [](const char *name, bool, void *ctx) {
        static_cast<TmDir *>(ctx)->names.emplace_back(name);
        return 0;
      },
      d);
  if (rc != 0) {
    delete d;
    return nullptr;
  }
  return d;
}

const char *tm_DirNext(TmDir *d) {
  if (!d || d->next >= d->names.size()) return nullptr;
  snprintf(d->current, sizeof d->current, "%s", d->names[d->next++].c_str());
  return d->current;
}

void tm_DirClose(TmDir *d) { delete d; }

int64_t tm_FileSize(OsHandle file) {
  uint64_t size = 0;
  if (os_GetFileSize(file, &size) != 0) return -1;
  return size;
}

int64_t tm_CheckDataFileHeader(OsHandle file) {
  uint8_t head[6];
  uint32_t got = 0;
  if (os_SetFilePointer(file, 0, OS_FILE_BEGIN, nullptr) != 0) return -1;
  if (os_ReadFile(file, head, sizeof head, &got) != 0) return -1;
  os_SetFilePointer(file, 0, OS_FILE_BEGIN, nullptr);
  if (got != sizeof head) return os_Fail(OS_ERROR_HANDLE_EOF), -1;
  uint32_t length = static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8 |
                    static_cast<uint32_t>(head[2]) << 16 | static_cast<uint32_t>(head[3]) << 24;
  uint16_t type = static_cast<uint16_t>(head[4] | head[5] << 8);
  if (type >= 384 && type <= 480) {  // written on the other byte order
    length = __builtin_bswap32(length);
    type = __builtin_bswap16(type);
  }
  if (type <= 0x8000 || type >= 0xE002) return os_Fail(OS_ERROR_INVALID_DATA), -1;
  int64_t size = tm_FileSize(file);
  if (size < 0) return -1;
  if (size < static_cast<int64_t>(length)) return length;
  os_Fail(OS_ERROR_ACCESS_DENIED);
  return size;
}

int tm_MakeDir(const char *path) { return os_MakeDirectory(path) == 0 ? 0 : -1; }


int tm_VFormatText(char *out, size_t size, const char *format, va_list args) {
  std::string text;
  const char *f = format ? format : "";
  while (*f) {
    if (*f != '%') {
      text += *f++;
      continue;
    }
    ++f;
    if (*f == '%') {
      text += '%';
      ++f;
      continue;
    }
    // One directive: flags, width, precision, conversion letter.
    std::string spec = "%";
    while (*f == '-' || *f == '0') spec += *f++;
    if (*f == '*') {
      spec += std::to_string(va_arg(args, int));
      ++f;
    } else {
      while (IsDigit(*f)) spec += *f++;
    }
    if (*f == '.') {
      spec += *f++;
      if (*f == '*') {
        int p = va_arg(args, int);
        spec += std::to_string(p < 0 ? 0 : p);
        ++f;
      } else {
        while (IsDigit(*f)) spec += *f++;
      }
    }
    char conv = *f;
    if (!conv) break;
    ++f;
    char piece[512];
    int n = -1;
    switch (conv) {
      case 'd':
        spec += 'd';
        n = os_FormatC(piece, sizeof piece, spec.c_str(), va_arg(args, int));
        break;
      case 'e':
      case 'f':
      case 'g':
        spec += conv;
        n = os_FormatC(piece, sizeof piece, spec.c_str(), va_arg(args, double));
        break;
      case 's': {
        spec += 's';
        const char *s = va_arg(args, const char *);
        std::vector<char> big(strlen(s ? s : "(null)") + 1024);
        n = os_FormatC(big.data(), big.size(), spec.c_str(), s ? s : "(null)");
        if (n > 0) text.append(big.data(), std::min(static_cast<size_t>(n), big.size() - 1));
        n = -1;
        break;
      }
      default:
        break;  // not a conversion of ours: dropped
    }
    if (n > 0) text.append(piece, std::min(static_cast<size_t>(n), sizeof piece - 1));
  }
  if (out && size) snprintf(out, size, "%s", text.c_str());
  return static_cast<int>(text.size());
}

int tm_FormatText(char *out, size_t size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = tm_VFormatText(out, size, format, ap);
  va_end(ap);
  return n;
}

int tm_ParseNumber(const char *text, int32_t *number) {
  if (!text || !IsDigit(*text)) return -1;
  int32_t v = 0;
  int digits = 0;
  const char *p = text;
  for (; IsDigit(*p); ++p) {
    if (++digits > 5) return -1;
    v = v * 10 + (*p - '0');
  }
  if ((*p == 'K' || *p == 'k') && digits == 1 && v == 1) {
    v = 1000;
    ++p;
  }
  if (*p) return -1;
  if (number) *number = v;
  return 0;
}

int tm_ParseTag(const char *text, char prefix[2], int32_t *number) {
  if (!text) return -1;
  const char *p = text;
  int letters = 0;
  while (IsLetter(*p)) {
    if (++letters > 2) return -1;
    ++p;
  }
  if (letters == 0) return -1;
  int32_t v = 0;
  if (tm_ParseNumber(p, &v) != 0) return -1;
  if (prefix) {
    prefix[0] = text[0];
    prefix[1] = letters > 1 ? text[1] : '\0';
  }
  if (number) *number = v;
  return 0;
}

namespace {

struct NumberFormat {
  char decimal = '.';
  bool grouping = true;
  bool leadingZero = true;
};

std::mutex g_numberLock;
bool g_numberRead = false;
NumberFormat g_number;

// The user's regional settings, English (US) where one is missing.
NumberFormat ReadNumberFormat() {
  std::lock_guard<std::mutex> g(g_numberLock);
  if (g_numberRead) return g_number;
  NumberFormat nf;
  OsHKey key = nullptr;
  if (os_RegOpenKeyEx(OS_HKEY_CURRENT_USER, "Control Panel\\International", 0, OS_KEY_READ, &key) == 0) {
    char v[16];
    uint32_t n = sizeof v, type = 0;
    if (os_RegQueryValueEx(key, "sDecimal", &type, v, &n) == 0 && type == OS_REG_SZ && n > 1 && v[0]) nf.decimal = v[0];
    n = sizeof v;
    if (os_RegQueryValueEx(key, "sGrouping", &type, v, &n) == 0 && type == OS_REG_SZ && n > 1) nf.grouping = v[0] != '0';
    n = sizeof v;
    if (os_RegQueryValueEx(key, "iLZero", &type, v, &n) == 0 && type == OS_REG_SZ && n > 1) nf.leadingZero = v[0] != '0';
    os_RegCloseKey(key);
  }
  g_number = nf;
  g_numberRead = true;
  return nf;
}

}  // namespace

void tm_ResetNumberFormat(void) {
  std::lock_guard<std::mutex> g(g_numberLock);
  g_numberRead = false;
}

int tm_FormatNumber(char *out, size_t size, double value, int width, int decimals, bool leftJustify,
                    bool zeroFill, char separator) {
  NumberFormat nf = ReadNumberFormat();
  if (width < 0) width = 0;
  if (decimals < 0) decimals = 0;
  const char *flags = leftJustify ? "-" : "";
  const char *zero = zeroFill ? "0" : "";
  char fmt[32], text[512];
  snprintf(fmt, sizeof fmt, "%%%s%s%d.%df", flags, zero, width, decimals);
  os_FormatC(text, sizeof text, fmt, value);
  bool exponent = false;
  for (int d = decimals; static_cast<int>(strlen(text)) > width && d >= 0; --d) {
    snprintf(fmt, sizeof fmt, "%%%s%s%d.%dE", flags, zero, width, d);
    os_FormatC(text, sizeof text, fmt, value);
    exponent = true;
  }
  // The number without its padding, then the regional touches.
  std::string t = text;
  size_t b = t.find_first_not_of(' '), e = t.find_last_not_of(' ');
  t = b == std::string::npos ? std::string() : t.substr(b, e - b + 1);
  bool changed = false;
  size_t point = t.find('.');
  if (point != std::string::npos) t[point] = nf.decimal;
  size_t sign = !t.empty() && (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (!exponent && !zeroFill && separator && nf.grouping && std::fabs(value) > 999) {
    size_t end = point == std::string::npos ? t.size() : point;
    for (size_t at = end; at > sign + 3; at -= 3) t.insert(at - 3, 1, separator);
    changed = true;
  }
  if (!nf.leadingZero && std::fabs(value) < 1 && t.size() > sign + 1 && t[sign] == '0' && t[sign + 1] == nf.decimal) {
    t.erase(sign, 1);
    changed = true;
  }
  if (zeroFill && !changed) {
    t = text;  // the zeros of the padding stay
    size_t p = t.find('.');
    if (p != std::string::npos) t[p] = nf.decimal;
  } else if (static_cast<int>(t.size()) < width) {
    std::string pad(static_cast<size_t>(width) - t.size(), ' ');
    t = leftJustify ? t + pad : pad + t;
  }
  if (out && size) snprintf(out, size, "%s", t.c_str());
  return static_cast<int>(t.size());
}
