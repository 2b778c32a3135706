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

// One logged channel as the data table sees it.
struct LdbChannel {
  char prefix[3];
  uint16_t number;
  char tag[16];
  bool digital;
};
// The name of a channel's data column.
std::string ldb_ColumnName(const LdbChannel &c, bool tagColumns);
// The column list of the data table after "TX ... NULL": ",LL integer, LV
// float NULL" for a significant-change logger, ", name type NULL" per
// channel, ", TP float NULL)". A name given twice (case ignored) or that
// equals a fixed column fails: false and the name in *duplicate.
bool ldb_DataColumns(const std::vector<LdbChannel> &channels, bool tagColumns, bool sigChange,
                     const std::string &digitalType, std::string *columns, std::string *duplicate,
                     std::vector<std::string> *names);
// The statements that start the data table, in the order they are tried.
std::vector<std::string> ldb_DataTableStarts(const std::string &prefix);

// sHeader: the text after "[HEADER]\r\n" up to "\r\n[PREDEFINED]", cut to the
// column; false when the text has no header section.
bool ldb_HeaderColumn(const char *text, std::string *out);
// The non-empty lines after "\r\n[PREDEFINED]", each cut to the column.
std::vector<std::string> ldb_PredefinedLines(const char *text);
// Removes trailing blanks (char(n) values come back padded).
std::string ldb_TrimRight(const std::string &s);
