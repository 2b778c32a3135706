// The tables a database logger run lives in, and the SQL texts over them:
// the LOGGERS row of each run, and <prefix>CHANNELS, <prefix>DATA and
// <prefix>TEXT of each run.
//
// Every name or value that goes into a quoted literal passes ldb_Quote; a
// table prefix keeps only characters that are safe in a bare name. Dates are
// written the same way whether they are stored or put in a query, so that a
// query finds what was stored (DatabaseUTC shifts both).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "framework/time/tm_time.h"

// Date literal forms, tried in this order until a database takes one.
enum : int { LDB_FORM_TS_DASH = 0, LDB_FORM_TS_SLASH = 1, LDB_FORM_JET = 2 };
// Dated sequence numbers (YYYYMMDD) start here.
constexpr int32_t LDB_DATED_SEQ = 19000101;
constexpr size_t LDB_TEXT_COLUMN = 255;  // char(255) columns
constexpr size_t LDB_COLUMN_NAME = 32;   // sColumnName char(32)

// `text` with every single quote doubled, for a '...' literal.
std::string ldb_Quote(const char *text);
// The run-name rule, then ' " ` [ ] . ; / \ also replaced by '_'.
void ldb_SanitizeTableName(char *text);
// The base of a run's table prefix: `base` + "_", sanitised.
std::string ldb_PrefixBase(const char *base);
// Candidates of the table prefix, in the order they are tried (see
// ldb_PrefixCandidates). `dated` set when the dated one is asked for;
// `seq` is the next sequence number; `start` gives the date.
struct LdbPrefixCandidate {
  std::string prefix;
  int32_t sequence;
};
std::vector<LdbPrefixCandidate> ldb_PrefixCandidates(const char *base, bool bareAllowed, bool dated, int32_t seq,
                                                     int32_t start);
// A connection string naming the Jet provider.
bool ldb_IsJet(const char *connection);

// DatabaseUTC: -1 reads the registry (once per process), 0/1 sets it.
void ldb_SetUtcMode(int mode);
bool ldb_UtcMode();
// The calendar a wall-clock second value is written as (UTC when the mode is
// on) and back. False when the value lies outside 1900-9999.
bool ldb_ToCalendar(int32_t seconds, TmCalendar *cal);
// The calendar of a second value as it is, never shifted.
void ldb_WallCalendar(int32_t seconds, TmCalendar *cal);
bool ldb_FromCalendar(const TmCalendar *cal, int32_t *seconds);
// As a stored date (days since 1899-12-30) and back.
double ldb_ToOleDate(int32_t seconds);
bool ldb_FromOleDate(double date, int32_t *seconds);
// A date literal of one form; "" for an unknown form.
std::string ldb_DateLiteral(int form, int32_t seconds);
// " WHERE " and the exclusive time-range condition over the given ends (null
// for an open end); "" when both are open.
std::string ldb_RangeCondition(int form, const TimeStamp *from, const TimeStamp *to);
// The range parts alone, each led by " AND ".
std::string ldb_RangeParts(int form, const TimeStamp *from, const TimeStamp *to);

// The digital column type: "DatabaseDigitalText" absent gives "INTEGER", "On"
// gives "char(32)", else the value. `present` tells whether it exists.
std::string ldb_DigitalType(bool *present);
// Whether a column type holds text (state texts go only into such columns).
bool ldb_IsTextType(const std::string &type);
// Whether digital values are stored as their state texts: the digital type
// is set and holds text.
bool ldb_DigitalText();

// One logged channel as the data table sees it.
struct LdbChannel {
  char prefix[3];
  uint16_t number;
  char tag[16];
  bool digital;
};
struct LogChannelBlock;
union ChannelRecord;
// The channels of one block of a run's header, from its channel records (one
// per channel of the block), added to *out.
void ldb_BlockChannels(const LogChannelBlock &block, const ChannelRecord *records, std::vector<LdbChannel> *out);
// The name of a channel's data column.
std::string ldb_ColumnName(const LdbChannel &c, bool tagColumns);
// The column list of the data table after "TX ... NULL": ",LL integer, LV
// float NULL" for a significant-change logger, ", name type NULL" per
// channel, ", TP float NULL)". A name given twice (case ignored) or that
// equals a fixed column fails: false and the name in *duplicate.
bool ldb_DataColumns(const std::vector<LdbChannel> &channels, bool tagColumns, bool sigChange,
                     const std::string &digitalType, std::string *columns, std::string *duplicate,
                     std::vector<std::string> *names);
// The statements that create LOGGERS and a run's CHANNELS table.
extern const char LDB_CREATE_LOGGERS[];
std::string ldb_CreateChannels(const std::string &prefix);
// The statements that start the data table, in the order they are tried.
std::vector<std::string> ldb_DataTableStarts(const std::string &prefix);

// `s` cut to a char(255) column on a character boundary.
void ldb_CutToColumn(std::string *s);
// sHeader: the text after "[HEADER]\r\n" up to "\r\n[PREDEFINED]", cut to the
// column; false when the text has no header section.
bool ldb_HeaderColumn(const char *text, std::string *out);
// The non-empty lines after "\r\n[PREDEFINED]", each cut to the column.
std::vector<std::string> ldb_PredefinedLines(const char *text);
// Removes trailing blanks (char(n) values come back padded).
std::string ldb_TrimRight(const std::string &s);

// The calendar a second value is stored as without any zone shift, and back
// (the MySQL stores); false outside the 32-bit range.
bool ldb_WallSeconds(const TmCalendar *cal, int32_t *seconds);

struct LogFileHeader;

// A CHANNELS row as both dialects write it (columns in table order).
struct LdbChannelRow {
  int32_t block;
  std::string prefix;
  int32_t number;
  std::string source, tag, description;
  bool typed;  // nType and the kind's columns below are set
  int32_t type;
  bool analogue;  // sUnits, fMinScale, fMaxScale set, else the state texts
  std::string units;
  float minScale, maxScale;
  std::string lowState, highState;
  std::string column;
  int32_t lag;
};
// The row of channel `k` of block `b` from its channel record.
void ldb_ChannelRow(const LogFileHeader *h, uint32_t b, uint32_t k, const ChannelRecord *r, LdbChannelRow *out);
// A channel record from the stored columns (tag, description, nType, units,
// scales, state texts); `typed` false when nType is NULL or out of range,
// else the record is enabled.
void ldb_ChannelRecord(ChannelRecord *r, const std::string &tag, const std::string &description, bool typed,
                       int32_t type, const std::string &units, float minScale, float maxScale,
                       const std::string &lowState, const std::string &highState);

// One value of a data row after DT, MS, TX.
struct LdbCell {
  enum Kind : uint8_t { NUL, INT, REAL, TEXT } kind;
  int32_t i;
  float f;
  std::string text;
};
// The cells of one record: LL and LV for a significant-change logger, then
// one per channel when the record is longer than 16 bytes (NULL when bad,
// the state text or 0/1 for a digital channel, else the value). States are
// (low, high) per channel in column order. False when the record is shorter
// than its blocks.
bool ldb_RecordCells(const LogFileHeader *h, const uint8_t *rec, uint32_t bytes, bool digitalText,
                     const std::vector<std::pair<std::string, std::string>> &states, std::vector<LdbCell> *cells);

// A value read back from a data row: absent, NULL, a number or a text.
struct LdbValue {
  bool present;
  bool null;
  bool number;
  double num;
};
// Reads column `col` of the current row.
using LdbColumnReader = LdbValue (*)(void *context, int32_t col);
// The record of one row: time, LL/LV, then per channel status and value (a
// NULL, a text or a number out of float range is bad). False when the buffer
// is too small for the header's blocks.
bool ldb_DecodeRecord(const LogFileHeader *h, uint8_t *rec, uint32_t bytes, TimeStamp t, bool timesOnly,
                      LdbColumnReader column, void *context);
// Record size, status offsets, first record and end offset of a header
// rebuilt from its blocks, for `count` records.
void ldb_RecordLayout(LogFileHeader *h, int64_t count);
// Adds one CHANNELS row (block, sPrefix, nChannelNumber, sSource, bLag) to a
// header being rebuilt; `seen` has LOG_MAX_BLOCKS flags, cleared at the
// start. False for a negative block or a number outside 0-65535; rows of
// blocks past the table are skipped.
bool ldb_HeaderAddChannel(LogFileHeader *h, bool *seen, int64_t block, int64_t number, const std::string &prefix,
                          const std::string &source, bool lag);
// A caller's text before a record query's column list ("DISTINCT "): letters,
// '_' and blanks only, as it goes into the statement unquoted.
bool ldb_ColumnPrefixOk(const char *prefix);
// The records of a database store from `first` on, one ReadLog each;
// `descending` as ReadLog's. Records read.
class CLogStore;
int32_t ldb_ReadLogs(CLogStore *store, int64_t first, const LogFileHeader *h, void *out, int32_t count,
                     void *descending);
// "%s;LoggerName=%s;LoggerSeq=%08d", or the size it needs in *size.
void ldb_RunName(const std::string &conn, const std::string &logger, int32_t seq, char *out, uint32_t *size);
