#include "plugin/loggers/log_db_schema.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "framework/config/chan_record.h"
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

uint32_t Channels(const LogChannelBlock &b) { return b.last >= b.first ? uint32_t{b.last} - b.first + 1 : 0; }

// A text kept in two pieces of a channel record, each ending at its first
// zero.
void JoinPieces(const ChannelRecord *r, int at1, int n1, int at2, int n2, char *out) {
  size_t n = 0;
  for (int i = 0; i < n1 && r->raw[at1 + i]; ++i) out[n++] = static_cast<char>(r->raw[at1 + i]);
  if (n == static_cast<size_t>(n1))
    for (int i = 0; i < n2 && r->raw[at2 + i]; ++i) out[n++] = static_cast<char>(r->raw[at2 + i]);
  out[n] = 0;
}

void SplitPieces(ChannelRecord *r, int at1, int n1, int at2, int n2, const std::string &s) {
  for (int i = 0; i < n1 + n2 && i < static_cast<int>(s.size()); ++i)
    r->raw[i < n1 ? at1 + i : at2 + i - n1] = static_cast<uint8_t>(s[i]);
}

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

bool ldb_DigitalText() {
  bool present = false;
  std::string type = ldb_DigitalType(&present);
  return present && ldb_IsTextType(type);
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

const char LDB_CREATE_LOGGERS[] =
    "CREATE TABLE LOGGERS (sLoggerName char(255), nLoggerSequence integer, dStartTime datetime,dStopTime datetime, "
    "bCompleted integer, sTablePrefix char(255), sHeader char(255), bTagColumns integer, bRowsPerChannel integer, "
    "bDST integer, nTimeZone integer,bSigChange integer, sTriggerPrefix char(2), nTriggerNumber integer,sLagPrefix "
    "char(2), nLagNumber integer, dTextTime datetime)";

std::string ldb_CreateChannels(const std::string &prefix) {
  return "CREATE TABLE " + prefix +
         "CHANNELS (nBlock int, sPrefix char(2), nChannelNumber integer, sSource char(32), sTag char(32), "
         "sDescription char(32), nType int,sUnits char(12), fMinScale real, fMaxScale real, sLowStateDesc "
         "char(32), sHighStateDesc char(32), sColumnName char(32), bLag integer)";
}

std::vector<std::string> ldb_DataTableStarts(const std::string &prefix) {
  return {"CREATE TABLE " + prefix + "DATA (DT datetime, MS integer, TX varchar(255) NULL",
          "CREATE TABLE " + prefix + "DATA (DT datetime, MS integer, TX char(255) NULL",
          "CREATE TABLE " + prefix + "DATA (DT date, MS integer, TX char(255) NULL"};
}

bool ldb_ColumnPrefixOk(const char *prefix) {
  for (const char *q = prefix ? prefix : ""; *q; ++q)
    if (!((*q >= 'A' && *q <= 'Z') || (*q >= 'a' && *q <= 'z') || *q == '_' || *q == ' ')) return false;
  return true;
}

void ldb_CutToColumn(std::string *s) { s->resize(os_Utf8Fit(s->data(), s->size(), LDB_TEXT_COLUMN)); }

bool ldb_HeaderColumn(const char *text, std::string *out) {
  const char *h = text ? strstr(text, "[HEADER]\r\n") : nullptr;
  if (!h) return false;
  h += 10;
  const char *end = strstr(h, "\r\n[PREDEFINED]");
  std::string s = end ? std::string(h, end) : std::string(h);
  ldb_CutToColumn(&s);
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
      ldb_CutToColumn(&line);
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

bool ldb_WallSeconds(const TmCalendar *cal, int32_t *seconds) {
  int64_t s = SecondsFromCivil(cal);
  if (s < INT32_MIN || s > INT32_MAX) return false;
  *seconds = static_cast<int32_t>(s);
  return true;
}

void ldb_BlockChannels(const LogChannelBlock &block, const ChannelRecord *records, std::vector<LdbChannel> *out) {
  for (uint32_t k = 0; block.last >= block.first && k <= uint32_t{block.last} - block.first; ++k) {
    LdbChannel c{};
    memcpy(c.prefix, block.prefix, 2);
    c.number = static_cast<uint16_t>(block.first + k);
    chan_JoinTag(&records[k], c.tag);
    c.digital = block.kind == LOG_KIND_DIGITAL || chan_IsDigital(&records[k]);
    out->push_back(c);
  }
}

void ldb_ChannelRow(const LogFileHeader *h, uint32_t b, uint32_t k, const ChannelRecord *r, LdbChannelRow *out) {
  const LogChannelBlock &blk = h->blocks[b];
  LdbChannel c{};
  memcpy(c.prefix, blk.prefix, 2);
  c.number = static_cast<uint16_t>(blk.first + k);
  chan_JoinTag(r, c.tag);
  char desc[CHAN_TEXT_SIZE + 1];
  JoinPieces(r, 8, 16, 142, 16, desc);
  *out = LdbChannelRow{};
  out->block = static_cast<int32_t>(b);
  out->prefix.assign(blk.prefix, strnlen(blk.prefix, 2));
  out->number = c.number;
  out->source.assign(blk.source, strnlen(blk.source, sizeof blk.source));
  out->tag = c.tag;
  out->description = desc;
  // A channel that is not enabled keeps only its names: no kind, units,
  // scale or state texts.
  out->typed = chan_FlagBit(r, CHAN_FLAG_ENABLE);
  out->type = chan_TypeByte(r);
  out->analogue = !(blk.kind == LOG_KIND_DIGITAL || chan_IsDigital(r));
  if (!out->typed) {
  } else if (out->analogue) {
    char units[9];
    JoinPieces(r, 32, 4, 161, 4, units);
    out->units = units;
    memcpy(&out->minScale, r->raw + 172, 4);
    memcpy(&out->maxScale, r->raw + 168, 4);
  } else {
    char low[CHAN_TEXT_SIZE + 1], high[CHAN_TEXT_SIZE + 1];
    chan_GetText32(r, CHAN_HIGH_STATE_TEXT_OFFSET, high);
    chan_GetText32(r, 64, low);
    out->lowState = low;
    out->highState = high;
  }
  out->column = ldb_ColumnName(c, h->tagColumns != 0);
  out->lag = blk.lag ? 1 : 0;
}

void ldb_ChannelRecord(ChannelRecord *r, const std::string &tagIn, const std::string &description, bool typed,
                       int32_t type, const std::string &units, float minScale, float maxScale,
                       const std::string &lowState, const std::string &highState) {
  memset(r, 0, sizeof *r);
  std::string tag = tagIn.substr(0, 15);
  static const int kPieces[3][2] = {{0, 8}, {138, 4}, {158, 3}};
  size_t at = 0;
  for (const auto &p : kPieces)
    for (int i = 0; i < p[1] && at < tag.size(); ++i) r->raw[p[0] + i] = static_cast<uint8_t>(tag[at++]);
  SplitPieces(r, 8, 16, 142, 16, description);
  if (!typed || type < 0 || type > 255) return;
  r->raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(type);
  chan_SetFlagBit(r, CHAN_FLAG_ENABLE, true);
  if (type & 1) {
    chan_PutText32(r, CHAN_HIGH_STATE_TEXT_OFFSET, highState.c_str());
    chan_PutText32(r, 64, lowState.c_str());
  } else {
    SplitPieces(r, 32, 4, 161, 4, units);
    memcpy(r->raw + 172, &minScale, 4);
    memcpy(r->raw + 168, &maxScale, 4);
  }
}

bool ldb_RecordCells(const LogFileHeader *h, const uint8_t *rec, uint32_t bytes, bool digitalText,
                     const std::vector<std::pair<std::string, std::string>> &states, std::vector<LdbCell> *cells) {
  cells->clear();
  if (h->sigChange) {
    LdbCell ll{LdbCell::INT, rec[12], 0, {}}, lv{LdbCell::REAL, 0, 0, {}};
    memcpy(&lv.f, rec + 13, 4);
    cells->push_back(ll);
    cells->push_back(lv);
  }
  if (bytes <= 16) return true;
  size_t channel = 0;
  for (uint32_t b = 0; b < h->blockCount && b < LOG_MAX_BLOCKS; ++b) {
    const LogChannelBlock &blk = h->blocks[b];
    uint32_t n = Channels(blk);
    if (uint64_t{blk.statusOffset} + 8ull * n > bytes) return false;
    for (uint32_t k = 0; k < n; ++k, ++channel) {
      uint32_t status;
      float value;
      memcpy(&status, rec + blk.statusOffset + 4 * k, 4);
      memcpy(&value, rec + blk.statusOffset + 4 * n + 4 * k, 4);
      LdbCell c{LdbCell::NUL, 0, 0, {}};
      if (status & LOG_STATUS_BAD) {
      } else if (!(status & LOG_STATUS_PRESENT)) {
        bool on = status & 1;
        if (digitalText) {
          c.kind = LdbCell::TEXT;
          if (channel < states.size()) c.text = (on ? states[channel].second : states[channel].first).substr(0, 32);
        } else {
          c.kind = LdbCell::INT;
          c.i = on ? 1 : 0;
        }
      } else if (std::isfinite(value)) {
        c.kind = LdbCell::REAL;
        c.f = value;
      }
      cells->push_back(std::move(c));
    }
  }
  return true;
}

namespace {
bool CellFloat(const LdbValue &v, float *out) {
  if (!v.present || v.null || !v.number) return false;
  if (std::isfinite(v.num) && std::fabs(v.num) > 3.4028234663852886e38) return false;
  *out = static_cast<float>(v.num);
  return true;
}
}  // namespace

bool ldb_DecodeRecord(const LogFileHeader *h, uint8_t *rec, uint32_t bytes, TimeStamp t, bool timesOnly,
                      LdbColumnReader column, void *context) {
  if (bytes < 12) return false;
  memset(rec, 0, bytes);
  uint16_t mark = LOG_RECORD_MARK;
  memcpy(rec, &mark, 2);
  memcpy(rec + LOG_RECORD_TIME, &t, sizeof t);
  int32_t col = 3;  // after DT, MS, TX
  if (h->sigChange) {
    if (bytes >= 17) {
      LdbValue ll = column(context, col), lv = column(context, col + 1);
      float f = 0;
      if (ll.present && !ll.null && ll.number && ll.num >= 0 && ll.num <= 255) rec[12] = static_cast<uint8_t>(ll.num);
      if (CellFloat(lv, &f)) memcpy(rec + 13, &f, 4);
    }
    col += 2;
  }
  if (timesOnly) return true;
  for (uint32_t b = 0; b < h->blockCount && b < LOG_MAX_BLOCKS; ++b) {
    const LogChannelBlock &blk = h->blocks[b];
    uint32_t n = Channels(blk);
    if (uint64_t{blk.statusOffset} + 8ull * n > bytes) return false;
    for (uint32_t k = 0; k < n; ++k, ++col) {
      uint32_t status = LOG_STATUS_BAD;
      float f = 0;
      // A row with fewer columns than channels leaves the rest bad.
      LdbValue v = column(context, col);
      if (v.present && !v.null) status = CellFloat(v, &f) ? LOG_STATUS_PRESENT : LOG_STATUS_BAD;
      memcpy(rec + blk.statusOffset + 4 * k, &status, 4);
      memcpy(rec + blk.statusOffset + 4 * n + 4 * k, &f, 4);
    }
  }
  return true;
}

void ldb_RecordLayout(LogFileHeader *h, int64_t count) {
  uint64_t size = 18, channels = 0;
  for (uint32_t i = 0; i < h->blockCount && i < LOG_MAX_BLOCKS; ++i) {
    h->blocks[i].statusOffset = static_cast<uint16_t>(size);
    size += 8ull * Channels(h->blocks[i]) + 2;
    channels += Channels(h->blocks[i]);
  }
  h->recordCount = static_cast<uint32_t>(count);
  h->recordSize = static_cast<uint32_t>(size);
  h->firstRecord = static_cast<uint32_t>(4404 + 4ull * h->blockCount + 216 * channels + size);
  h->endOffset = log_EndWord(static_cast<uint64_t>(count) * size + h->firstRecord);
}

bool ldb_HeaderAddChannel(LogFileHeader *h, bool *seen, int64_t block, int64_t number, const std::string &p,
                          const std::string &s, bool lag) {
  if (block < 0 || number < 0 || number > 0xFFFF) return false;
  if (block >= static_cast<int64_t>(LOG_MAX_BLOCKS)) return true;
  LogChannelBlock &b = h->blocks[block];
  if (!seen[block]) {
    seen[block] = true;
    memcpy(b.prefix, p.c_str(), p.size() < 2 ? p.size() : 2);
    memcpy(b.source, s.c_str(), s.size() < sizeof b.source ? s.size() : sizeof b.source);
    b.lag = lag ? 1 : 0;
    b.first = b.last = static_cast<uint16_t>(number);
    b.kind = 8;
  }
  if (number < b.first) b.first = static_cast<uint16_t>(number);
  if (number > b.last) b.last = static_cast<uint16_t>(number);
  if (block + 1 > h->blockCount) h->blockCount = static_cast<uint16_t>(block + 1);
  return true;
}

int32_t ldb_ReadLogs(CLogStore *store, int64_t first, const LogFileHeader *h, void *out, int32_t count,
                     void *descending) {
  if (!h || !out || count <= 0 || h->recordSize == 0) return 0;
  int32_t n = 0;
  for (; n < count; ++n)
    if (store->ReadLog(first + n, h, static_cast<uint8_t *>(out) + uint64_t(n) * h->recordSize, h->recordSize, nullptr,
                       nullptr, descending, nullptr, nullptr) != 0)
      break;
  return n;
}

void ldb_RunName(const std::string &conn, const std::string &logger, int32_t seq, char *out, uint32_t *size) {
  if (!size) return;
  uint32_t need = static_cast<uint32_t>(conn.size() + logger.size() + 32);
  if (!out || *size < need) {
    *size = need;
    return;
  }
  snprintf(out, *size, "%s;LoggerName=%s;LoggerSeq=%08d", conn.c_str(), logger.c_str(), seq);
}
