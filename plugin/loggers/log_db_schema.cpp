#include "plugin/loggers/log_db_schema.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/ado/ado.h"
#include "platform/os_codepage.h"
#include "platform/os_registry.h"
#include "plugin/loggers/log_store.h"

namespace {

const char kKey[] = "SOFTWARE\\Quenford\\Tessarine";

// Reads a string value of the product's machine key; false when absent.
bool ReadSetting(const char *name, char *out, uint32_t size) {
  OsHKey key;
  if (os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, kKey, 0, OS_KEY_READ, &key) != 0) return false;
  uint32_t type = 0, n = size - 1;
  int32_t rc = os_RegQueryValueEx(key, name, &type, out, &n);
  os_RegCloseKey(key);
  if (rc != 0 || type != OS_REG_SZ) return false;
  out[n < size ? n : size - 1] = '\0';
  return true;
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromSeconds(int64_t s, TmCalendar *cal) {
  int64_t days = s >= 0 ? s / 86400 : -((-s + 86399) / 86400);
  int64_t rem = s - days * 86400;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
  cal->year = static_cast<uint16_t>(y);
  cal->month = static_cast<uint16_t>(m);
  cal->day = static_cast<uint16_t>(d);
  cal->hour = static_cast<uint16_t>(rem / 3600);
  cal->minute = static_cast<uint16_t>(rem / 60 % 60);
  cal->second = static_cast<uint16_t>(rem % 60);
  cal->ms = 0;
  cal->dayOfWeek = static_cast<uint16_t>(((days - 719468) % 7 + 11) % 7);
}

int64_t SecondsFromCivil(const TmCalendar *c) {
  return DaysFromCivil(c->year, c->month, c->day) * 86400 + c->hour * 3600 + c->minute * 60 + c->second;
}

// Local wall clock -> UTC, and back, through the C runtime's zone.
int64_t LocalToUtc(int64_t wall) {
  TmCalendar c;
  CivilFromSeconds(wall, &c);
  std::tm t{};
  t.tm_year = c.year - 1900;
  t.tm_mon = c.month - 1;
  t.tm_mday = c.day;
  t.tm_hour = c.hour;
  t.tm_min = c.minute;
  t.tm_sec = c.second;
  t.tm_isdst = -1;
  std::time_t u = std::mktime(&t);
  return u == static_cast<std::time_t>(-1) ? wall : static_cast<int64_t>(u);
}

int64_t UtcToLocal(int64_t utc) {
  std::time_t u = static_cast<std::time_t>(utc);
  std::tm t{};
  if (!localtime_r(&u, &t)) return utc;
  TmCalendar c{};
  c.year = static_cast<uint16_t>(t.tm_year + 1900);
  c.month = static_cast<uint16_t>(t.tm_mon + 1);
  c.day = static_cast<uint16_t>(t.tm_mday);
  c.hour = static_cast<uint16_t>(t.tm_hour);
  c.minute = static_cast<uint16_t>(t.tm_min);
  c.second = static_cast<uint16_t>(t.tm_sec);
  return SecondsFromCivil(&c);
}

std::atomic<int> g_utc{-1};

std::string Upper(std::string s) {
  for (char &ch : s)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return s;
}

}  // namespace

std::string ldb_Quote(const char *text) {
  std::string out;
  for (const char *p = text ? text : ""; *p; ++p) {
    out += *p;
    if (*p == '\'') out += '\'';
  }
  return out;
}

void ldb_SanitizeTableName(char *text) {
  if (!text) return;
  log_SanitizeName(text);
  for (; *text; ++text)
    if (strchr("'\"`[].;/\\", *text)) *text = '_';
}

std::string ldb_PrefixBase(const char *base) {
  std::string s = base ? base : "";
  s += '_';
  ldb_SanitizeTableName(s.data());
  return s;
}

std::vector<LdbPrefixCandidate> ldb_PrefixCandidates(const char *base, bool bareAllowed, bool dated, int32_t seq,
                                                     int32_t start) {
  std::vector<LdbPrefixCandidate> out;
  std::string b = ldb_PrefixBase(base);
  if (bareAllowed) out.push_back({b, seq});
  if (dated) {
    TmCalendar c;
    CivilFromSeconds(start, &c);  // the value's own calendar, not shifted
    char buf[40];
    snprintf(buf, sizeof buf, "%04d%02d%02d_", c.year, c.month, c.day);
    out.push_back({b + buf, c.year * 10000 + c.month * 100 + c.day});
  }
  char buf[40];
  snprintf(buf, sizeof buf, "%08d_", seq);
  out.push_back({b + buf, seq});
  return out;
}

bool ldb_IsJet(const char *connection) {
  return connection && os_CompareNoCaseN(connection, "PROVIDER=MICROSOFT.JET.OLEDB", 28) == 0;
}

void ldb_SetUtcMode(int mode) {
  if (mode >= 0) {
    g_utc = mode ? 1 : 0;
    return;
  }
  char v[32];
  g_utc = ReadSetting("DatabaseUTC", v, sizeof v) && os_CompareNoCase(v, "On") == 0 ? 1 : 0;
}

bool ldb_UtcMode() {
  if (g_utc < 0) ldb_SetUtcMode(-1);
  return g_utc == 1;
}

bool ldb_ToCalendar(int32_t seconds, TmCalendar *cal) {
  int64_t s = ldb_UtcMode() ? LocalToUtc(seconds) : seconds;
  CivilFromSeconds(s, cal);
  return cal->year >= 1900 && cal->year <= 9999;
}

void ldb_WallCalendar(int32_t seconds, TmCalendar *cal) { CivilFromSeconds(seconds, cal); }

bool ldb_FromCalendar(const TmCalendar *cal, int32_t *seconds) {
  int64_t s = SecondsFromCivil(cal);
  if (ldb_UtcMode()) s = UtcToLocal(s);
  if (s < INT32_MIN || s > INT32_MAX) return false;
  *seconds = static_cast<int32_t>(s);
  return true;
}

double ldb_ToOleDate(int32_t seconds) {
  TmCalendar c;
  ldb_ToCalendar(seconds, &c);
  return ado::date_FromParts(c.year, c.month, c.day, c.hour, c.minute, c.second, 0);
}

bool ldb_FromOleDate(double date, int32_t *seconds) {
  int y, mo, d, h, mi, s, ms;
  if (!ado::date_ToParts(date, &y, &mo, &d, &h, &mi, &s, &ms)) return false;
  TmCalendar c{};
  c.year = static_cast<uint16_t>(y);
  c.month = static_cast<uint16_t>(mo);
  c.day = static_cast<uint16_t>(d);
  c.hour = static_cast<uint16_t>(h);
  c.minute = static_cast<uint16_t>(mi);
  c.second = static_cast<uint16_t>(s);
  return ldb_FromCalendar(&c, seconds);
}

std::string ldb_DateLiteral(int form, int32_t seconds) {
  TmCalendar c;
  ldb_ToCalendar(seconds, &c);
  char buf[64];
  switch (form) {
    case LDB_FORM_TS_DASH:
      snprintf(buf, sizeof buf, "{ ts '%04d-%02d-%02d %02d:%02d:%02d.000' }", c.year, c.month, c.day, c.hour,
               c.minute, c.second);
      break;
    case LDB_FORM_TS_SLASH:
      snprintf(buf, sizeof buf, "{ ts '%04d/%02d/%02d %02d:%02d:%02d.000' }", c.year, c.month, c.day, c.hour,
               c.minute, c.second);
      break;
    case LDB_FORM_JET:
      snprintf(buf, sizeof buf, "#%02d/%02d/%04d %02d:%02d:%02d#", c.month, c.day, c.year, c.hour, c.minute,
               c.second);
      break;
    default:
      return "";
  }
  return buf;
}

std::string ldb_RangeParts(int form, const TimeStamp *from, const TimeStamp *to) {
  std::string out;
  if (from) {
    std::string t = ldb_DateLiteral(form, from->seconds);
    out += " AND ((DT = " + t + " AND MS > " + std::to_string(from->ms) + ") OR DT > " + t + ") ";
  }
  if (to) {
    std::string t = ldb_DateLiteral(form, to->seconds);
    out += " AND ((DT = " + t + " AND MS < " + std::to_string(to->ms) + ") OR DT < " + t + ") ";
  }
  return out;
}

std::string ldb_RangeCondition(int form, const TimeStamp *from, const TimeStamp *to) {
  std::string parts = ldb_RangeParts(form, from, to);
  if (parts.empty()) return "";
  return " WHERE " + parts.substr(5);  // drop the first " AND "
}

std::string ldb_DigitalType(bool *present) {
  char v[21];
  bool have = ReadSetting("DatabaseDigitalText", v, sizeof v);
  if (present) *present = have;
  if (!have) return "INTEGER";
  if (os_CompareNoCase(v, "On") == 0) return "char(32)";
  return v;
}

bool ldb_IsTextType(const std::string &type) {
  std::string u = Upper(type);
  return u.find("CHAR") != std::string::npos || u.find("TEXT") != std::string::npos;
}

std::string ldb_ColumnName(const LdbChannel &c, bool tagColumns) {
  if (tagColumns) {
    char tag[16];
    snprintf(tag, sizeof tag, "%s", c.tag);
    ldb_SanitizeTableName(tag);
    if (!log_IsReservedPrefix(tag)) return tag;
  }
  char buf[24];
  snprintf(buf, sizeof buf, "%1.2s%d", c.prefix, c.number);
  return buf;
}

bool ldb_DataColumns(const std::vector<LdbChannel> &channels, bool tagColumns, bool sigChange,
                     const std::string &digitalType, std::string *columns, std::string *duplicate,
                     std::vector<std::string> *names) {
  std::vector<std::string> seen = {"DT", "MS", "TX", "TP"};
  std::string cols;
  if (sigChange) {
    cols += ",LL integer, LV float NULL";
    seen.push_back("LL");
    seen.push_back("LV");
  }
  if (names) names->clear();
  for (const LdbChannel &c : channels) {
    std::string name = ldb_ColumnName(c, tagColumns);
    std::string upper = Upper(name);
    for (const std::string &s : seen)
      if (s == upper) {
        if (duplicate) *duplicate = name;
        return false;
      }
    seen.push_back(upper);
    cols += ", " + name + " " + (c.digital ? digitalType : std::string("REAL")) + " NULL";
    if (names) names->push_back(name);
  }
  cols += ", TP float NULL)";
  *columns = cols;
  return true;
}

std::vector<std::string> ldb_DataTableStarts(const std::string &prefix) {
  return {"CREATE TABLE " + prefix + "DATA (DT datetime, MS integer, TX varchar(255) NULL",
          "CREATE TABLE " + prefix + "DATA (DT datetime, MS integer, TX char(255) NULL",
          "CREATE TABLE " + prefix + "DATA (DT date, MS integer, TX char(255) NULL"};
}

bool ldb_HeaderColumn(const char *text, std::string *out) {
  const char *h = text ? strstr(text, "[HEADER]\r\n") : nullptr;
  if (!h) return false;
  h += 10;
  const char *end = strstr(h, "\r\n[PREDEFINED]");
  std::string s = end ? std::string(h, end) : std::string(h);
  if (s.size() > LDB_TEXT_COLUMN) s.resize(LDB_TEXT_COLUMN);
  *out = s;
  return true;
}

std::vector<std::string> ldb_PredefinedLines(const char *text) {
  std::vector<std::string> out;
  const char *p = text ? strstr(text, "\r\n[PREDEFINED]") : nullptr;
  if (!p) return out;
  p += 14;
  while (*p) {
    const char *e = strstr(p, "\r\n");
    std::string line = e ? std::string(p, e) : std::string(p);
    if (!line.empty()) {
      if (line.size() > LDB_TEXT_COLUMN) line.resize(LDB_TEXT_COLUMN);
      out.push_back(line);
    }
    if (!e) break;
    p = e + 2;
  }
  return out;
}

std::string ldb_TrimRight(const std::string &s) {
  size_t n = s.size();
  while (n && s[n - 1] == ' ') --n;
  return s.substr(0, n);
}
