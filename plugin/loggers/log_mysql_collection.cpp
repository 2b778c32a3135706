#include "plugin/loggers/log_mysql_collection.h"

#include <mysql.h>
#include <mysqld_error.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "framework/config/chan_record.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "plugin/loggers/log_db_runs.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_mysql_conn.h"
#include "plugin/loggers/log_mysql_store.h"
#include "plugin/loggers/log_status_feed.h"

namespace {

constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr size_t kConnMax = 1024;

bool Gone(unsigned error) { return error == 0 || error == ER_BAD_TABLE_ERROR; }

}  // namespace

CLogDbMySQLCollection::CLogDbMySQLCollection() = default;

CLogDbMySQLCollection::~CLogDbMySQLCollection() {
  if (db_) mysql_close(db_);
}

int CLogDbMySQLCollection::Fail(const char *message, const std::string &detail) {
  return ldb_KeepError(message_, &detail_, message, detail);
}

const char *CLogDbMySQLCollection::GetErrorText() { return detail_.c_str(); }
const char *CLogDbMySQLCollection::GetErrorSummary() { return message_; }

unsigned CLogDbMySQLCollection::Exec(const std::string &sql) {
  if (!db_) return ER_UNKNOWN_ERROR;
  return lmy_Exec(db_, sql, &detail_);
}

int CLogDbMySQLCollection::Open(const char *connection, const char *folder, const char *logger, const char *prefix,
                                uint32_t access) {
  if (CLogCollection::Open(connection, folder, logger, prefix, access) != 0) return -1;
  if (!logger || strlen(logger) >= 260 || (prefix && strlen(prefix) >= 260)) return os_SetLastError(0), -1;
  if (!connection || !*connection) return os_SetLastError(0), Fail("NO CONNECTION STRING", "");
  if (strlen(connection) > kConnMax) return os_SetLastError(0), Fail("CONNECTION STRING TOO LONG", "");
  log_StatusFeedCollection(nullptr, prefix, 1, logger);
  logger_ = logger;
  prefixCopy_ = prefix ? prefix : "";
  access_ = access;
  conn_ = connection;
  if (db_) mysql_close(db_);
  db_ = nullptr;
  loggersReady_ = 0;
  LmyKeys keys;
  std::string message, detail;
  unsigned error = 0;
  if (lmy_ReadKeys(connection, &keys, &message, &detail) != 0) return Fail(message.c_str(), detail);
  db_ = lmy_Connect(keys, &message, &detail, &error);
  if (!db_) return Fail(message.c_str(), detail);
  if (!(access & kGenericWrite)) return 0;
  unsigned e = Exec(LDB_CREATE_LOGGERS);
  if (e != 0 && e != ER_TABLE_EXISTS_ERROR) return Fail("CAN'T CREATE LOGGERS TABLE", detail_);
  loggersReady_ = 1;
  return 0;
}

int CLogDbMySQLCollection::FirstRun(uint32_t *nameCapacity) {
  ldb_ClearRuns(&runs_);
  if (nameCapacity) *nameCapacity = 20;
  if (!db_) return 0;
  const std::string sql =
      "select nLoggerSequence, dStartTime, dStopTime, bCompleted, sTablePrefix from LOGGERS where sLoggerName = '" +
      lmy_Escape(db_, logger_) + "' order by dStartTime Desc";
  if (mysql_query(db_, sql.c_str()) != 0) return Fail("SELECT failed", mysql_error(db_)), 0;
  MYSQL_RES *counted = mysql_store_result(db_);
  if (!counted) return Fail("SELECT failed", mysql_error(db_)), 0;
  const uint64_t count = mysql_num_rows(counted);
  mysql_free_result(counted);
  if (count == 0) return 1;
  std::vector<LmyRow> rows;
  LmyOutcome o;
  if (lmy_Run(db_, sql, {}, "SELECT failed", "mysql_stmt_execute(), failed", &rows, 0, &o) != 0)
    return Fail(o.message.c_str(), o.detail), 0;
  // A run created between the two queries waits for the next listing.
  if (rows.size() > count) rows.resize(count);
  for (const LmyRow &v : rows) {
    if (v[0].null || !v[0].number) continue;
    LdbRun r{};
    r.seq = static_cast<int32_t>(v[0].num);
    if (v[1].time) r.start = v[1].seconds;
    if (v[2].time) r.stop = v[2].seconds;
    if (v[3].null || !v[3].number || v[3].num == 0) r.stop = 0;
    r.prefix = ldb_RunPrefix(v[4].null ? std::string() : v[4].text);
    runs_.runs.push_back(r);
  }
  return 1;
}

int CLogDbMySQLCollection::NextRun(char *name, LogRunTime *start, LogRunTime *end) {
  return ldb_NextRun(&runs_, name, start, end);
}

int CLogDbMySQLCollection::FindRun(char *name, uint32_t *, LogRunTime *start, LogRunTime *end, int allRuns) {
  FirstRun(nullptr);
  return ldb_FindRun(&runs_, prefixCopy_, allRuns, name, start, end);
}

void CLogDbMySQLCollection::Purge(const int32_t *cutOff) {
  if (!cutOff) return;
  const int32_t limit = *cutOff;
  FirstRun(nullptr);
  for (const LdbRun &r : ldb_TakeRuns(&runs_))
    if (r.stop != 0 && r.start < limit && r.stop < limit) RemoveRun(r.prefix);
}

int CLogDbMySQLCollection::NextSequence(int32_t *seq) {
  std::vector<LmyRow> rows;
  LmyOutcome o;
  const std::string sql = "select nLoggerSequence from LOGGERS where sLoggerName = '" + lmy_Escape(db_, logger_) +
                          "' AND nLoggerSequence < 19000101 order by nLoggerSequence Desc";
  if (lmy_Run(db_, sql, {}, "SELECT failed", "mysql_stmt_execute(), failed", &rows, 0, &o) != 0)
    return Fail(o.message.c_str(), o.detail);
  *seq = 1;
  if (!rows.empty() && rows[0][0].number && rows[0][0].num >= 0 && rows[0][0].num < LDB_DATED_SEQ)
    *seq = static_cast<int32_t>(rows[0][0].num) + 1;
  return 0;
}

void CLogDbMySQLCollection::DropTables(const std::string &prefix) {
  Exec("DROP TABLE " + prefix + "TEXT");
  Exec("DROP TABLE " + prefix + "DATA");
  Exec("DROP TABLE " + prefix + "CHANNELS");
}

CLogStore *CLogDbMySQLCollection::CreateRunW(const int32_t *start, int freshName, void *unused1, LogFileHeader *h,
                                             const uint16_t *, int copyConfig, const char *channelSource,
                                             void *unused2, ChannelRecord **blockRecords) {
  return CreateRun(start, freshName, unused1, h, nullptr, copyConfig, channelSource, unused2, blockRecords);
}

CLogStore *CLogDbMySQLCollection::CreateRun(const int32_t *start, int freshName, void *, LogFileHeader *h,
                                            const char *headerText, int copyConfig, const char *, void *,
                                            ChannelRecord **blockRecords) {
  if (!h) return Fail("CAN'T CREATE CHANNELS TABLE", "no header"), nullptr;
  if (!db_) return Fail("CAN'T CONNECT TO DATABASE", "not open"), nullptr;
  bool present = false;
  std::string digital = ldb_DigitalType(&present);
  int32_t seq = 0;
  if (NextSequence(&seq) != 0) return nullptr;
  int32_t when = start ? *start : h->start.seconds;
  auto exec = [](void *self, const std::string &sql) {
    return static_cast<CLogDbMySQLCollection *>(self)->Exec(sql) == 0;
  };
  const std::string prefix = ldb_MakeChannelsTable(logger_, prefixCopy_, freshName, copyConfig, when, &seq, exec, this);
  if (prefix.empty()) return Fail("CAN'T CREATE CHANNELS TABLE", detail_), nullptr;
  if (createIndexes_ && Exec("CREATE INDEX CH ON " + prefix + "CHANNELS (sPrefix, nChannelNumber)") != 0)
    createIndexes_ = 0;
  std::vector<LdbChannel> channels;
  uint32_t blocks = h->blockCount < LOG_MAX_BLOCKS ? h->blockCount : LOG_MAX_BLOCKS;
  for (uint32_t b = 0; b < blocks; ++b) {
    const LogChannelBlock &blk = h->blocks[b];
    if (!blockRecords || !blockRecords[b]) {
      DropTables(prefix);
      return Fail("CAN'T FIND CHANNELS", ""), nullptr;
    }
    ldb_BlockChannels(blk, blockRecords[b], &channels);
  }
  std::string columns, dup;
  if (!ldb_DataColumns(channels, h->tagColumns != 0, h->sigChange != 0, digital, &columns, &dup, nullptr)) {
    DropTables(prefix);
    char m[64];
    snprintf(m, sizeof m, "DUPLICATE COLUMN %s", dup.c_str());
    return Fail(m, m), nullptr;
  }
  if (Exec("CREATE TABLE " + prefix + "DATA (DT datetime, MS float, TX varchar(255) NULL" + columns) != 0) {
    std::string d = detail_;
    DropTables(prefix);
    return Fail("CAN'T CREATE DATA TABLE", d), nullptr;
  }
  if (createIndexes_ && Exec("CREATE INDEX TM ON " + prefix + "DATA (DT, MS)") != 0) createIndexes_ = 0;
  if (Exec("CREATE TABLE " + prefix + "TEXT (TX char(255))") != 0) {
    std::string d = detail_;
    DropTables(prefix);
    return Fail("CAN'T CREATE TEXT TABLE", d), nullptr;
  }
  CLogDbMySQLStore *store = new (std::nothrow) CLogDbMySQLStore();
  if (!store) {
    DropTables(prefix);
    return Fail("CAN'T ALLOCATE MEMORY", ""), nullptr;
  }
  if (store->CreateRun(conn_.c_str(), prefix.c_str(), logger_.c_str(), seq, h, headerText, blockRecords) != 0) {
    std::string d = store->GetErrorText();
    delete store;
    // The store may have added the run's LOGGERS row: it goes with the tables.
    RemoveRun(prefix);
    Fail("CAN'T CONNECT TO DATABASE", d);
    return nullptr;
  }
  return store;
}

CLogStore *CLogDbMySQLCollection::OpenStore(const char *run, uint32_t access) {
  if (!run) return nullptr;
  return ldb_OpenRunStore(new (std::nothrow) CLogDbMySQLStore(), conn_, logger_, run, access, message_, &detail_);
}

int CLogDbMySQLCollection::UseRunForLogging(CLogStore *store, uint32_t endOffset, const char *, int, int) {
  return store ? store->UseforLogging(&endOffset) : -1;
}

int CLogDbMySQLCollection::CloseRun(CLogStore *store, const int32_t *start, const int32_t *, int) {
  auto *my = dynamic_cast<CLogDbMySQLStore *>(store);
  if (!my) return -1;
  std::string prefix = my->TablePrefix();
  my->Close();
  if (!start) return RemoveRun(prefix);
  return 0;
}

int CLogDbMySQLCollection::RemoveRun(const std::string &prefix) {
  if (prefix.empty() || !db_) return -1;
  unsigned text = Exec("DROP TABLE " + prefix + "TEXT");
  unsigned data = Exec("DROP TABLE " + prefix + "DATA");
  unsigned channels = Exec("DROP TABLE " + prefix + "CHANNELS");
  // The row names the tables: it goes only when none of them is left, so
  // that the next removal can try again.
  if (!Gone(text) || !Gone(data) || !Gone(channels)) return Fail("CAN'T DROP TABLE", detail_);
  if (Exec("DELETE from LOGGERS where sTablePrefix = '" + lmy_Escape(db_, prefix) + "'") != 0)
    return Fail("CAN'T DELETE LOGGER", detail_);
  return 0;
}

void CLogDbMySQLCollection::GetStorePath(const char *run, char *out, uint32_t *length) {
  ldb_StorePath(conn_, logger_, run, out, length);
}
