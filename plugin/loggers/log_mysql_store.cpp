#include "plugin/loggers/log_mysql_store.h"

#include <mysql.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "framework/config/chan_record.h"

#include "platform/os_codepage.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "plugin/loggers/log_db_runs.h"
#include "plugin/loggers/log_db_schema.h"

namespace {

constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kConnMax = 1424;
constexpr uint32_t kMaxPlaceholders = 65535;
const char kSelectFailed[] = "SELECT failed";
const char kExecFailed[] = "mysql_stmt_execute(), failed";
const char kWriteExecFailed[] = " mysql_stmt_execute(), failedd";

uint32_t Channels(const LogChannelBlock &b) { return b.last >= b.first ? uint32_t{b.last} - b.first + 1 : 0; }

uint32_t DataColumns(const LogFileHeader *h) {
  uint32_t n = 3 + (h->sigChange ? 2 : 0) + 1;
  for (uint32_t b = 0; b < h->blockCount && b < LOG_MAX_BLOCKS; ++b) n += Channels(h->blocks[b]);
  return n;
}

// The MS column: milliseconds and the microsecond word.
float MsValue(const TimeStamp &t) { return static_cast<float>(t.ms + t.us / 1000.0); }

TimeStamp FromMs(int32_t seconds, double ms) {
  TimeStamp t{seconds, 0, 0};
  if (!(ms >= 0 && ms < 1000)) return t;
  int32_t whole = static_cast<int32_t>(ms);
  int32_t micro = static_cast<int32_t>(std::lround((ms - whole) * 1000));
  if (micro > 999) micro = 999;
  t.ms = static_cast<int16_t>(whole);
  t.us = static_cast<int16_t>(micro);
  return t;
}

bool Int(const LmyValue &v, int64_t *out) {
  if (v.null || !v.number || !(v.num > -2.2e9 && v.num < 2.2e9)) return false;
  *out = static_cast<int64_t>(v.num);
  return true;
}

float Float(const LmyValue &v) {
  return !v.null && v.number && std::fabs(v.num) <= 3.4028234663852886e38 ? static_cast<float>(v.num) : 0.0f;
}

std::string Text(const LmyValue &v) { return v.null ? std::string() : ldb_TrimRight(v.text); }

// A session number, 0 for none.
uint64_t Session(const LmyValue &v) {
  return !v.null && v.number && v.num >= 1 && v.num < 1.8e19 ? static_cast<uint64_t>(v.num) : 0;
}

}  // namespace

struct CLogDbMySQLStore::Buffers {
  std::vector<MYSQL_BIND> binds;
  std::vector<MYSQL_TIME> times;
  std::vector<float> ms;
  std::vector<std::vector<LdbCell>> cells;
};

uint32_t lmy_BatchRows(uint32_t columns) {
  if (columns == 0) return 1000;
  uint32_t n = kMaxPlaceholders / columns;
  return n > 1000 ? 1000 : n < 1 ? 1 : n;
}

std::string lmy_BatchInsert(const std::string &table, uint32_t rows, uint32_t columns) {
  std::string sql;
  sql.reserve(32 + table.size() + size_t{rows} * (2 * columns + 2));
  sql = "INSERT INTO " + table + " VALUES ";
  for (uint32_t r = 0; r < rows; ++r) {
    sql += r ? ",(" : "(";
    for (uint32_t c = 0; c < columns; ++c) sql += c ? ",?" : "?";
    sql += ')';
  }
  return sql;
}

CLogDbMySQLStore::CLogDbMySQLStore() : buf_(new Buffers) {}
CLogDbMySQLStore::~CLogDbMySQLStore() { Close(); }

int CLogDbMySQLStore::Fail(const char *message, const std::string &detail) {
  return ldb_KeepError(message_, &detail_, message, detail);
}

int CLogDbMySQLStore::Fail(const LmyOutcome &o) {
  lastError_ = o.error;
  return Fail(o.message.c_str(), o.detail);
}

const char *CLogDbMySQLStore::GetErrorText() { return detail_.c_str(); }
const char *CLogDbMySQLStore::GetErrorSummary() { return message_; }

int CLogDbMySQLStore::Run(const std::string &sql, const std::vector<LmyParam> &params, const char *prepareMessage,
                          const char *executeMessage, std::vector<LmyRow> *rows, size_t textCap) {
  LmyOutcome o;
  lastError_ = 0;
  // A link lost in an earlier call is made again once, before the statement.
  if (!db_ && lost_ && Reconnect() != 0) return -1;
  if (lmy_Run(db_, sql, params, prepareMessage, executeMessage, rows, textCap, &o) != 0) {
    if (lmy_LinkLost(o.error)) Lose();
    return Fail(o);
  }
  return 0;
}

void CLogDbMySQLStore::Lose() {
  if (held_) lostSession_ = session_;
  held_ = asked_ = false;
  DropBatch();
  if (db_) mysql_close(db_);
  db_ = nullptr;
  lost_ = true;
}

std::string CLogDbMySQLStore::RunWhere() const {
  return " from LOGGERS where sLoggerName = '" + lmy_Escape(db_, logger_) + "' AND nLoggerSequence = " +
         std::to_string(seq_);
}

int CLogDbMySQLStore::Connect(const char *connection) {
  std::string message, detail;
  if (lmy_ReadKeys(connection, &keys_, &message, &detail) != 0) return Fail(message.c_str(), detail);
  db_ = lmy_Connect(keys_, &message, &detail, &lastError_);
  if (!db_) return Fail(message.c_str(), detail);
  return 0;
}

int CLogDbMySQLStore::Reconnect() {
  Lose();
  if (Connect(conn_.c_str()) != 0) return -1;
  lost_ = false;
  return 0;
}

int CLogDbMySQLStore::CreateRun(const char *connection, const char *prefix, const char *logger, int32_t seq,
                                const LogFileHeader *h, const char *headerText, ChannelRecord *const *records) {
  Close();
  if (!connection || !prefix || !logger || !h || strlen(connection) >= kConnMax ||
      strlen(logger) > LOG_LOGGER_NAME_MAX || strlen(prefix) > 259)
    return Fail("BADLY FORMED PATH NAME", "");
  access_ = 0xC0000000u;
  if (Connect(connection) != 0) return -1;
  logger_ = logger;
  prefix_ = prefix;
  seq_ = seq;
  conn_ = connection;
  std::string header;
  bool hasHeader = ldb_HeaderColumn(headerText, &header);  // cut to the column
  const bool sig = h->sigChange != 0;
  std::vector<LmyParam> row = {
      lmy_Text(logger),
      lmy_Int(seq),
      lmy_Time(h->start.seconds),
      h->stop.seconds ? lmy_Time(h->stop.seconds) : lmy_Null(),
      lmy_Int(0),
      lmy_Text(prefix),
      hasHeader ? lmy_Text(header) : lmy_Null(),
      lmy_Int(h->tagColumns ? 1 : 0),
      lmy_Int(0),
      lmy_Int(0),
      lmy_Int(h->timeZone.Bias),
      lmy_Int(sig ? 1 : 0),
      sig ? lmy_Text(std::string(h->trigPrefix, strnlen(h->trigPrefix, 2))) : lmy_Null(),
      sig ? lmy_Int(h->trigNumber) : lmy_Null(),
      sig ? lmy_Text(std::string(h->lagPrefix, strnlen(h->lagPrefix, 2))) : lmy_Null(),
      sig ? lmy_Int(h->lagNumber) : lmy_Null(),
      lmy_Time(h->start.seconds),
  };
  if (Run("INSERT INTO LOGGERS VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", row, "INSERT failed", kWriteExecFailed,
          nullptr) != 0)
    return -1;
  const std::string insert = "INSERT INTO " + prefix_ + "CHANNELS VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
  uint32_t blocks = h->blockCount < LOG_MAX_BLOCKS ? h->blockCount : LOG_MAX_BLOCKS;
  for (uint32_t b = 0; b < blocks; ++b) {
    if (!records || !records[b]) return Fail("CAN'T FIND CHANNEL CONFIG", "");
    for (uint32_t k = 0; k < Channels(h->blocks[b]); ++k) {
      LdbChannelRow c;
      ldb_ChannelRow(h, b, k, &records[b][k], &c);
      bool analogue = c.typed && c.analogue, digital = c.typed && !c.analogue;
      std::vector<LmyParam> p = {lmy_Int(c.block),
                                 lmy_Text(c.prefix),
                                 lmy_Int(c.number),
                                 lmy_Text(c.source),
                                 lmy_Text(c.tag),
                                 lmy_Text(c.description),
                                 c.typed ? lmy_Int(c.type) : lmy_Null(),
                                 analogue ? lmy_Text(c.units) : lmy_Null(),
                                 analogue ? lmy_Float(c.minScale) : lmy_Null(),
                                 analogue ? lmy_Float(c.maxScale) : lmy_Null(),
                                 digital ? lmy_Text(c.lowState) : lmy_Null(),
                                 digital ? lmy_Text(c.highState) : lmy_Null(),
                                 lmy_Text(c.column),
                                 lmy_Int(c.lag)};
      if (Run(insert, p, "INSERT failed", kWriteExecFailed, nullptr) != 0) return -1;
    }
  }
  uint32_t end = 0;
  return UseforLogging(&end);
}

int CLogDbMySQLStore::Open(const char *server, const char *path, uint32_t access) {
  Close();
  int32_t seq = 0;
  if (!ldb_SplitRunPath(path, kConnMax, &conn_, &logger_, &seq))
    return os_SetLastError(0), Fail("BADLY FORMED PATH NAME", "");
  seq_ = seq;
  access_ = access;
  int rc = Connect(conn_.c_str());
  if (rc == 0) {
    std::vector<LmyRow> rows;
    rc = Run("select sTablePrefix" + RunWhere(), {}, kSelectFailed, "CAN'T FIND LOGGER NAME AND SEQ", &rows, 260);
    if (rc == 0 && (rows.empty() || Text(rows[0][0]).empty()))
      rc = Fail("CAN'T FIND LOGGER NAME AND SEQ", "");
    if (rc == 0) prefix_ = Text(rows[0][0]);
  }
  if (rc != 0) {
    std::string d = detail_;
    char m[sizeof message_];
    memcpy(m, message_, sizeof m);
    Close();
    Fail(m, d);
    std::string remote;
    if (ldb_RemotePath(server, conn_, path, kConnMax, &remote)) return Open(nullptr, remote.c_str(), access);
  }
  return rc;
}

int CLogDbMySQLStore::UseforLogging(uint32_t *) {
  logging_ = 1;
  digitalText_ = ldb_DigitalText();
  return digitalText_ ? LoadStateTexts() : 0;
}

int CLogDbMySQLStore::LoadStateTexts() {
  states_.clear();
  std::vector<LmyRow> rows;
  if (Run("select sLowStateDesc, sHighStateDesc from " + prefix_ + "CHANNELS ORDER BY nBlock, nChannelNumber", {},
          kSelectFailed, kExecFailed, &rows) != 0)
    return -1;
  for (const LmyRow &r : rows) states_.emplace_back(Text(r[0]), Text(r[1]));
  return 0;
}

void CLogDbMySQLStore::GetName(char *out, uint32_t *size) { ldb_RunName(conn_, logger_, seq_, out, size); }

void CLogDbMySQLStore::DropBatch() {
  for (Batch &b : batch_) {
    if (b.stmt) mysql_stmt_close(b.stmt);
    b = Batch{};
  }
}

int CLogDbMySQLStore::Close() {
  DropBatch();
  if (db_) mysql_close(db_);
  db_ = nullptr;
  lost_ = false;
  held_ = asked_ = false;  // the server frees the lock with the session
  cursor_ = -1;
  logging_ = 0;
  return 0;
}

int CLogDbMySQLStore::ReadHeader(LogFileHeader *h) {
  if (!h) return Fail("CAN'T FIND LOGGER", "");
  std::vector<LmyRow> rows;
  if (Run("select dStartTime, dStopTime, sTablePrefix, bTagColumns, bSigChange, sTriggerPrefix, nTriggerNumber, "
          "sLagPrefix, nLagNumber, nTimeZone" +
              RunWhere(),
          {}, kSelectFailed, kExecFailed, &rows, 260) != 0)
    return -1;
  if (rows.empty()) return Fail("CAN'T GET DATA", "no run of this name and number");
  const LmyRow &r = rows[0];
  if (r[0].null || !r[0].time) return Fail("COLUMN #1 IS NOT A DATE", "");
  if (!r[1].null && !r[1].time) return Fail("COLUMN #2 IS NOT A DATE", "");
  memset(h, 0, sizeof *h);
  h->start.seconds = r[0].seconds;
  h->stop.seconds = r[1].null ? 0 : r[1].seconds;
  int64_t n = 0;
  h->tagColumns = Int(r[3], &n) && n ? 1 : 0;
  h->sigChange = Int(r[4], &n) && n ? 1 : 0;
  if (h->sigChange) {
    std::string t = Text(r[5]), l = Text(r[7]);
    memcpy(h->trigPrefix, t.c_str(), t.size() < 2 ? t.size() : 2);
    memcpy(h->lagPrefix, l.c_str(), l.size() < 2 ? l.size() : 2);
    if (Int(r[6], &n) && n >= 0 && n <= 0xFFFF) h->trigNumber = static_cast<uint16_t>(n);
    if (Int(r[8], &n) && n >= 0 && n <= 0xFFFF) h->lagNumber = static_cast<uint16_t>(n);
  }
  if (Int(r[9], &n) && n >= INT32_MIN && n <= INT32_MAX) h->timeZone.Bias = static_cast<int32_t>(n);
  h->type = LOG_FILE_TYPE;
  if (Run("select nBlock, sPrefix, nChannelNumber, sSource, bLag from " + prefix_ +
              "CHANNELS ORDER BY nBlock, nCHannelNumber",
          {}, kSelectFailed, kExecFailed, &rows) != 0)
    return -1;
  bool seen[LOG_MAX_BLOCKS] = {};
  for (const LmyRow &c : rows) {
    int64_t block = -1, number = -1, lag = 0;
    Int(c[0], &block);
    Int(c[2], &number);
    if (!ldb_HeaderAddChannel(h, seen, block, number, Text(c[1]), Text(c[3]), Int(c[4], &lag) && lag))
      return Fail("CAN'T GET DATA", "bad block index or channel number");
  }
  int64_t count = GetNoLogs(h);
  if (count < 0) return -1;
  ldb_RecordLayout(h, count);
  return 0;
}

int CLogDbMySQLStore::WriteHeader(const LogFileHeader *h, const char *) {
  if (!(access_ & kGenericWrite)) return 0;
  if (!h) return Fail("CAN'T FIND LOGGER TIMES", "");
  std::string sql = "UPDATE LOGGERS SET dStartTime = ?, dStopTime = ?, bCompleted = ? WHERE sLoggerName='" +
                    lmy_Escape(db_, logger_) + "' AND nLoggerSequence=" + std::to_string(seq_);
  std::vector<LmyParam> p = {lmy_Time(h->start.seconds), h->stop.seconds ? lmy_Time(h->stop.seconds) : lmy_Null(),
                             lmy_Int(h->stop.seconds != 0 ? 1 : 0)};
  return Run(sql, p, "INSERT failed", kWriteExecFailed, nullptr);
}

int CLogDbMySQLStore::ReadChannels(const LogFileHeader *h, ChannelRecord *out, int block, int first, int count) {
  if (!h || !out || block < 0 || block >= h->blockCount || block >= static_cast<int>(LOG_MAX_BLOCKS) || count < 0)
    return Fail("CHANNEL NOT IN HEADER", "");
  const LogChannelBlock &b = h->blocks[block];
  if (first < 0 || static_cast<int64_t>(first) + count > static_cast<int64_t>(Channels(b)))
    return Fail("CHANNEL NOT IN HEADER", "");
  const std::string prefix = lmy_Escape(db_, std::string(b.prefix, strnlen(b.prefix, 2)));
  for (int k = 0; k < count; ++k) {
    std::vector<LmyRow> rows;
    std::string sql = "select sTag, sDescription, nType, sUnits, fMinScale, fMaxScale, sLowStateDesc, "
                      "sHighStateDesc from " +
                      prefix_ + "CHANNELS where sPrefix = '" + prefix +
                      "' AND nChannelNumber = " + std::to_string(b.first + first + k);
    if (Run(sql, {}, kSelectFailed, kExecFailed, &rows) != 0) return -1;
    if (rows.empty()) return Fail("CAN'T GET DATA", "");
    const LmyRow &r = rows[0];
    int64_t type = 0;
    bool typed = Int(r[2], &type) && type >= 0 && type <= 255;
    ldb_ChannelRecord(&out[k], Text(r[0]), Text(r[1]), typed, static_cast<int32_t>(type), Text(r[3]), Float(r[4]),
                      Float(r[5]), Text(r[6]), Text(r[7]));
  }
  return 0;
}

int CLogDbMySQLStore::SkipStored(const LogFileHeader *h, const uint8_t *records, uint32_t count, uint32_t *from) {
  std::vector<LmyRow> rows;
  *from = 0;
  if (Run("select DT, MS from " + prefix_ + "DATA ORDER BY DT DESC, MS DESC LIMIT 1", {}, kSelectFailed, kExecFailed,
          &rows) != 0)
    return -1;
  if (rows.empty()) return 0;
  if (!rows[0][0].time) return Fail("COLUMN #1 IS NOT A DATE", "");
  const int32_t seconds = rows[0][0].seconds;
  const float ms = Float(rows[0][1]);
  // A run's records ascend in time: those up to the newest are stored.
  while (*from < count) {
    TimeStamp t;
    memcpy(&t, records + uint64_t{*from} * h->recordSize + LOG_RECORD_TIME, sizeof t);
    if (t.seconds > seconds || (t.seconds == seconds && MsValue(t) > ms)) break;
    ++*from;
  }
  return 0;
}

// A session whose link broke may still hold a batch that reaches the server
// late, after the table was asked for its newest record. Each writing
// session holds the run's user lock, which the server frees only when the
// session ends: once the lock comes over, no earlier batch can land.
int CLogDbMySQLStore::HoldRun() {
  if (asked_) return 0;
  const LmyParam name = lmy_Text(std::string(keys_.db) + "." + prefix_);
  std::vector<LmyRow> rows;
  if (Run("SELECT GET_LOCK(MD5(?), 0), IS_USED_LOCK(MD5(?)), CONNECTION_ID()", {name, name}, kSelectFailed,
          kExecFailed, &rows) != 0)
    return -1;
  if (rows.empty() || rows[0].size() < 3) return Fail("CAN'T GET DATA", "no lock state");
  bool got = Session(rows[0][0]) == 1;
  const uint64_t holder = Session(rows[0][1]), own = Session(rows[0][2]);
  if (!got && lostSession_ && holder == lostSession_) {
    std::string detail;
    unsigned e = lmy_Exec(db_, "KILL CONNECTION " + std::to_string(holder), &detail);
    if (lmy_LinkLost(e)) {
      lastError_ = e;
      Lose();
      return Fail(kExecFailed, detail);
    }
    const int32_t wait = static_cast<int32_t>(lmy_Timeout() / 2 ? lmy_Timeout() / 2 : 1);
    if (Run("SELECT GET_LOCK(MD5(?), ?)", {name, lmy_Int(wait)}, kSelectFailed, kExecFailed, &rows) != 0) return -1;
    if (rows.empty() || Session(rows[0][0]) != 1)
      return Fail("CAN'T LOG SCAN", "the session of the lost link still holds the run");
    got = true;
  }
  // Not got: another session of the run holds it, and ours has ended.
  asked_ = true;
  held_ = got;
  session_ = own;
  lostSession_ = 0;
  return 0;
}

int CLogDbMySQLStore::WriteBatch(const LogFileHeader *h, const uint8_t *records, uint32_t rows, uint32_t columns) {
  lastError_ = 0;
  // Full batches keep one statement, the shorter last one another.
  Batch &slot = batch_[rows == lmy_BatchRows(columns) ? 0 : 1];
  if (!slot.stmt || slot.rows != rows || slot.columns != columns) {
    if (slot.stmt) mysql_stmt_close(slot.stmt);
    slot = Batch{};
    const std::string sql = lmy_BatchInsert(prefix_ + "DATA", rows, columns);
    slot.stmt = mysql_stmt_init(db_);
    if (!slot.stmt) return Fail("mysql_stmt_init(), out of memory", "");
    if (mysql_stmt_prepare(slot.stmt, sql.c_str(), static_cast<unsigned long>(sql.size())) != 0) {
      lastError_ = mysql_stmt_errno(slot.stmt);
      Fail("INSERT failed", mysql_stmt_error(slot.stmt));
      mysql_stmt_close(slot.stmt);
      slot.stmt = nullptr;
      return -1;
    }
    slot.rows = rows;
    slot.columns = columns;
  }
  const size_t n = size_t{rows} * columns;
  std::vector<MYSQL_BIND> &binds = buf_->binds;
  std::vector<MYSQL_TIME> &times = buf_->times;
  std::vector<float> &msv = buf_->ms;
  std::vector<std::vector<LdbCell>> &cells = buf_->cells;
  binds.assign(n, MYSQL_BIND{});
  times.assign(rows, MYSQL_TIME{});
  msv.assign(rows, 0.0f);
  cells.resize(rows);
  for (uint32_t r = 0; r < rows; ++r) {
    const uint8_t *rec = records + uint64_t{r} * h->recordSize;
    TimeStamp t;
    memcpy(&t, rec + LOG_RECORD_TIME, sizeof t);
    MYSQL_TIME &mt = times[r];
    lmy_DateTime(t.seconds, &mt);
    msv[r] = MsValue(t);
    if (!ldb_RecordCells(h, rec, h->recordSize, digitalText_ != 0, states_, &cells[r]))
      return Fail("CAN'T SET CHANNEL", "record shorter than its blocks");
    MYSQL_BIND *b = &binds[size_t{r} * columns];
    b[0].buffer_type = MYSQL_TYPE_DATETIME;
    b[0].buffer = &mt;
    b[1].buffer_type = MYSQL_TYPE_FLOAT;
    b[1].buffer = &msv[r];
    b[2].buffer_type = MYSQL_TYPE_NULL;
    for (uint32_t col = 3; col < columns; ++col) {
      MYSQL_BIND &x = b[col];
      const size_t cell = col - 3;
      if (cell >= cells[r].size()) {
        x.buffer_type = MYSQL_TYPE_NULL;  // TP, and channels of a times-only record
        continue;
      }
      LdbCell &v = cells[r][cell];
      switch (v.kind) {
        case LdbCell::NUL: x.buffer_type = MYSQL_TYPE_NULL; break;
        case LdbCell::INT: x.buffer_type = MYSQL_TYPE_LONG; x.buffer = &v.i; break;
        case LdbCell::REAL: x.buffer_type = MYSQL_TYPE_FLOAT; x.buffer = &v.f; break;
        case LdbCell::TEXT:
          x.buffer_type = MYSQL_TYPE_STRING;
          x.buffer = v.text.data();
          x.buffer_length = static_cast<unsigned long>(v.text.size());
          break;
      }
    }
  }
  if (mysql_stmt_bind_param(slot.stmt, binds.data()) != 0) {
    lastError_ = mysql_stmt_errno(slot.stmt);
    return Fail("mysql_stmt_bind_param() failed", mysql_stmt_error(slot.stmt));
  }
  if (mysql_stmt_execute(slot.stmt) != 0) {
    lastError_ = mysql_stmt_errno(slot.stmt);
    Fail(kWriteExecFailed, mysql_stmt_error(slot.stmt));
    // A statement whose link broke is of no further use.
    if (lmy_LinkLost(lastError_)) DropBatch();
    return -1;
  }
  return 0;
}

int CLogDbMySQLStore::WriteLogs(const LogFileHeader *h, const void *records, uint32_t count) {
  if (!logging_ || !h || (!records && count)) return -1;
  if (count == 0) return 0;
  if (h->recordSize < 12) return Fail("CAN'T SET CHANNEL", "record size below a record's time");
  const uint8_t *p = static_cast<const uint8_t *>(records);
  const uint32_t columns = DataColumns(h), per = lmy_BatchRows(columns);
  const uint32_t started = os_GetTickCount();
  bool reconnected = false;
  uint32_t i = 0;
  if (!db_) {
    if (!lost_) return Fail("CAN'T CONNECT TO DATABASE", "the run is closed");
    reconnected = true;
    if (Reconnect() != 0) return -1;
  }
  if (HoldRun() != 0) return -1;
  if (resume_) {
    // An earlier call failed part-way: the records it stored come again.
    if (SkipStored(h, p, count, &i) != 0) return -1;
    resume_ = false;
  }
  while (i < count) {
    uint32_t n = count - i < per ? count - i : per;
    if (WriteBatch(h, p + uint64_t{i} * h->recordSize, n, columns) == 0) {
      i += n;
      continue;
    }
    resume_ = true;
    if (reconnected || !lmy_LinkLost(lastError_)) {
      if (lmy_LinkLost(lastError_)) Lose();
      return -1;
    }
    reconnected = true;
    std::string d = detail_;
    char m[sizeof message_];
    memcpy(m, message_, sizeof m);
    if (Reconnect() != 0) {
      // The failed write's own text tells what happened; the next call tries again.
      return Fail(m, d + "; " + detail_);
    }
    if (HoldRun() != 0 || SkipStored(h, p, count, &i) != 0) return -1;
    resume_ = false;
  }
  char line[80];
  snprintf(line, sizeof line, "%u Samples took %u ms\r\n", count, os_GetTickCount() - started);
  os_OutputDebugString(line);
  return 0;
}

int CLogDbMySQLStore::ReadLog(int64_t index, const LogFileHeader *h, void *out, uint32_t bytes, void *a, void *,
                              void *c, void *, void *) {
  if (!h || !out || index < 0 || index > INT32_MAX) return Fail("CAN'T GET DATA", "no such record");
  const char *prefix = static_cast<const char *>(a);
  if (!ldb_ColumnPrefixOk(prefix)) return Fail(kSelectFailed, "column prefix must be words");
  bool desc = c && *static_cast<int *>(c);
  const char *dir = desc ? "DESC" : "ASC";
  bool timesOnly = bytes < 17;
  std::string cols = timesOnly ? (h->sigChange ? "DT, MS, TX,LL, LV" : "DT, MS, TX") : "*";
  std::string sql = std::string("select ") + (prefix ? prefix : "") + cols + " from " + prefix_ + "DATA ORDER BY DT " +
                    dir + ", MS " + dir + " LIMIT 1 OFFSET " + std::to_string(index);
  std::vector<LmyRow> rows;
  if (Run(sql, {}, kSelectFailed, kExecFailed, &rows) != 0) return -1;
  if (rows.empty()) return Fail("CAN'T GET DATA", "no such record");
  LmyRow &r = rows[0];
  if (r.empty() || r[0].null || !r[0].time) return Fail("COLUMN #1 IS NOT A DATE", "");
  TimeStamp t = FromMs(r[0].seconds, r.size() > 1 && !r[1].null && r[1].number ? r[1].num : 0);
  auto cell = [](void *ctx, int32_t col) {
    const LmyRow &row = *static_cast<const LmyRow *>(ctx);
    LdbValue v{};
    if (col < 0 || static_cast<size_t>(col) >= row.size()) return v;
    v.present = true;
    v.null = row[col].null;
    v.number = row[col].number;
    v.num = row[col].num;
    return v;
  };
  if (!ldb_DecodeRecord(h, static_cast<uint8_t *>(out), bytes, t, timesOnly, cell, &r))
    return Fail("CAN'T GET DATA", "record buffer too small");
  cursor_ = static_cast<int32_t>(index);
  return 0;
}

int32_t CLogDbMySQLStore::ReadLogs(int64_t first, const LogFileHeader *h, void *out, int32_t count, void *a, void *,
                                   void *) {
  return ldb_ReadLogs(this, first, h, out, count, a);
}

int64_t CLogDbMySQLStore::GetNoLogs(const LogFileHeader *) {
  std::vector<LmyRow> rows;
  if (Run("SELECT COUNT(*) FROM " + prefix_ + "DATA", {}, "SELECT COUNT failed", kExecFailed, &rows) != 0) return -1;
  int64_t n = 0;
  if (rows.empty() || !Int(rows[0][0], &n)) return Fail("CAN'T GET DATA", "");
  return n;
}

int CLogDbMySQLStore::ReadSection(const char *section, char *, uint32_t *, void *, void *) {
  static const char *const kKept[] = {"HEADER", "TEXT", "PREDEFINED", "POSITIONS", "SCAN UPDATES", "TARGETS"};
  for (const char *k : kKept)
    if (section && os_CompareNoCase(section, k) == 0) return 0;
  return -1;
}

int CLogDbMySQLStore::WriteTextAtW(TimeStamp at, const uint16_t *text, const uint16_t *text2, const char *section) {
  return WriteTextW(at.seconds, text, text2, section);
}

int CLogDbMySQLStore::WriteTextAt(TimeStamp at, const char *text, const char *text2, const char *section) {
  return WriteText(at.seconds, text, text2, section);
}

int CLogDbMySQLStore::WriteFormulae(const char *, int, const char *) { return -1; }
int CLogDbMySQLStore::WriteUnitCategory(const char *, const char *) { return -1; }
// The time is not kept: the base's "not known".
int CLogDbMySQLStore::GetLastModified(int32_t *) { return -1; }
int64_t CLogDbMySQLStore::CountLogsInRange(void *, void *, const LogFileHeader *) { return 0; }
