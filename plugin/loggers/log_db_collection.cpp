#include "plugin/loggers/log_db_collection.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "framework/config/chan_record.h"
#include "platform/os_codepage.h"
#include "framework/server/srv_requests.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_db_store.h"
#include "plugin/loggers/log_status_feed.h"

namespace {

constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr size_t kConnMax = 1024;
std::atomic<uint32_t> g_jetWait{LDB_JET_CREATE_WAIT_MS};

std::u16string W(const std::string &s) { return ado::ado_Wide(s); }

bool Eof(CLogITDbDataAcc *acc) {
  ado::Variant e;
  return acc->GetEOF(&e) != 0 || e.boolVal != 0;
}

bool ToInt(const ado::Variant &v, int64_t *out) {
  ado::Variant d;
  if (v.vt == ado::VT_NULL || v.vt == ado::VT_EMPTY || ado::var_ChangeType(&d, v, ado::VT_R8) < 0) return false;
  if (!(d.dblVal > -2.2e9 && d.dblVal < 2.2e9)) return false;
  *out = static_cast<int64_t>(d.dblVal);
  return true;
}

enum : int { kChannels = 1, kData = 2, kText = 4 };

// A Windows folder with the folders above it.
int MakeFolders(const std::string &path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
    os_MakeDirectory(path.substr(0, at).c_str());  // levels that exist refuse, as they may
  os_MakeDirectory(path.c_str());
  return os_GetFileAttributes(path.c_str()) == OS_INVALID_FILE_ATTRIBUTES ? -1 : 0;
}

}  // namespace

void ldb_SetJetCreateWait(uint32_t ms) { g_jetWait = ms; }

CLogDbCollection::CLogDbCollection() = default;

CLogDbCollection::~CLogDbCollection() {
  data_.Disconnect();
  catalog_.ReleaseCatalog();
}

int CLogDbCollection::Fail(const char *message, const char *detail) {
  size_t n = strnlen(message ? message : "", sizeof message_ - 1);
  memcpy(message_, message ? message : "", n);  // messages keep their first 30 characters
  message_[n] = 0;
  detail_ = detail ? detail : "";
  return -1;
}

const char *CLogDbCollection::GetErrorText() { return detail_.c_str(); }
const char *CLogDbCollection::GetErrorSummary() { return message_; }

int CLogDbCollection::Exec(const std::string &sql) { return catalog_.ExecuteSql(W(sql).c_str()) == 0 ? 0 : -1; }

int CLogDbCollection::Open(const char *connection, const char *folder, const char *logger, const char *prefix,
                           uint32_t access) {
  if (CLogCollection::Open(connection, folder, logger, prefix, access) != 0) return -1;
  if (!logger || strlen(logger) >= 260 || (prefix && strlen(prefix) >= 260)) return os_SetLastError(0), -1;
  logger_ = logger;
  prefixCopy_ = prefix ? prefix : "";
  access_ = access;
  if (connection && *connection) {
    if (strlen(connection) > kConnMax) return Fail("CONNECTION STRING TOO LONG", "");
    conn_ = connection;
  } else {
    std::string dir;
    if (folder && *folder) {
      dir = folder;
    } else {
      // The logger's own folder under the logged-data folder.
      const char *data = srv_ResolveServerFolder(nullptr, "TSQ_LOGGED_DATA");
      if (!data) return Fail("CAN'T ACCESS LOGGED_DATA DIR", "");
      if (os_GetFileAttributes(data) == OS_INVALID_FILE_ATTRIBUTES) {
        if (!(access & kGenericWrite)) return Fail("CAN'T ACCESS LOGGED_DATA DIR", data);
        if (MakeFolders(data) != 0) return Fail("CAN'T CREATE LOGGED_DATA DIR", data);
      }
      dir = std::string(data) + "\\" + logger;
      if (os_GetFileAttributes(dir.c_str()) == OS_INVALID_FILE_ATTRIBUTES) {
        if (!(access & kGenericWrite)) return Fail("CAN'T ACCESS LOGGER DIRECTORY", dir.c_str());
        if (os_MakeDirectory(dir.c_str()) != 0) return Fail("CAN'T CREATE LOGGER DIR", dir.c_str());
      }
    }
    conn_ = std::string("Provider=Microsoft.Jet.OLEDB.4.0; Jet OLEDB:Engine Type=5; Data Source=\"") + dir + "\\" +
            logger + ".mdb\"";
  }
  log_StatusFeedCollection(nullptr, prefix, 1, logger);
  if (catalog_.Attach(W(conn_).c_str(), u"") != 0) {
    if (!(access & kGenericWrite)) return Fail("CAN'T OPEN DATABASE", catalog_.GetComErrorText());
    if (catalog_.CreateDatabase(W(conn_).c_str(), u"") != 0)
      return Fail("CAN'T OPEN DATABASE", catalog_.GetComErrorText());
  }
  if (catalog_.Login(0, 0) != 0) return Fail("CAN'T LOGIN TO DATABASE", catalog_.GetComErrorText());
  if (data_.Connect(W(conn_).c_str(), u"", 0) != 0) return Fail("CAN'T OPEN DATABASE", data_.GetComErrorText());
  if (data_.Login(0, 0) != 0) return Fail("CAN'T LOG IN TO DATABASE", data_.GetComErrorText());
  if (data_.OpenTable(u"LOGGERS") == 0) {
    data_.CloseRecordset();
    return 0;
  }
  if (!(access & kGenericWrite)) {
    Fail("CAN'T OPEN LOGGERS TABLE", data_.GetComErrorText());
    return 0;
  }
  return CreateLoggers();
}

int CLogDbCollection::CreateLoggers() {
  std::string sql =
      "CREATE TABLE LOGGERS (sLoggerName char(255), nLoggerSequence integer, dStartTime datetime,dStopTime datetime, "
      "bCompleted integer, sTablePrefix char(255), sHeader char(255), bTagColumns integer, bRowsPerChannel integer, "
      "bDST integer, nTimeZone integer,bSigChange integer, sTriggerPrefix char(2), nTriggerNumber integer,sLagPrefix "
      "char(2), nLagNumber integer, dTextTime datetime)";
  if (Exec(sql) != 0) {
    for (size_t at; (at = sql.find("datetime")) != std::string::npos;) sql.replace(at, 8, "date");
    if (Exec(sql) != 0) {
      std::string d = catalog_.GetComErrorText();
      if (data_.OpenTable(u"LOGGERS") != 0) return Fail("CAN'T CREATE LOGGERS TABLE", d.c_str());
      data_.CloseRecordset();
      return 0;
    }
  }
  Exec("ALTER TABLE LOGGERS ADD CONSTRAINT PK PRIMARY KEY (sLoggerName, nLoggerSequence)");
  if (ldb_IsJet(conn_.c_str()) && g_jetWait) os_Sleep(g_jetWait);
  createdLoggers_ = 1;
  return 0;
}

int CLogDbCollection::FirstRun(uint32_t *nameCapacity) {
  runs_.clear();
  next_ = 0;
  if (nameCapacity) *nameCapacity = 20;
  std::string sql = "select nLoggerSequence, dStartTime, dStopTime, bCompleted, sTablePrefix from LOGGERS where "
                    "sLoggerName = '" +
                    ldb_Quote(logger_.c_str()) + "' order by dStartTime Desc";
  if (data_.OpenRecordset(W(sql).c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) return 0;
  for (data_.MoveFirst(); !Eof(&data_); data_.MoveNext()) {
    ado::Variant v[5];
    for (int i = 0; i < 5; ++i) data_.GetFieldValueAt(i, &v[i]);
    Run r{};
    int64_t n = 0;
    if (!ToInt(v[0], &n)) continue;
    r.seq = static_cast<int32_t>(n);
    if (v[1].vt == ado::VT_DATE) ldb_FromOleDate(v[1].date, &r.start);
    if (v[2].vt == ado::VT_DATE) ldb_FromOleDate(v[2].date, &r.stop);
    if (!ToInt(v[3], &n) || n == 0) r.stop = 0;
    std::string p = ado::var_ToUtf8(v[4]);
    size_t blank = p.find(' ');
    r.prefix = p.substr(0, blank == std::string::npos ? p.size() : blank);
    if (r.prefix.size() > 255) r.prefix.resize(255);
    runs_.push_back(r);
  }
  data_.CloseRecordset();
  return runs_.empty() ? 0 : 1;
}

void CLogDbCollection::Purge(const int32_t *cutOff) {
  if (!cutOff) return;
  const int32_t limit = *cutOff;
  FirstRun(nullptr);
  std::vector<Run> runs;
  runs.swap(runs_);
  next_ = 0;
  for (const Run &r : runs) {
    if (r.stop == 0 || r.start > limit) continue;
    if (r.start < limit && r.stop < limit) {
      RemoveRun(r.prefix);
      continue;
    }
    char sel[32];
    snprintf(sel, sizeof sel, "LoggerSeq=%08d", r.seq);
    CLogStore *store = OpenStore(sel, 0xC0000000u);
    if (!store) continue;
    TimeStamp to{limit, 0, 0};
    store->DeleteLogsInRange(nullptr, &to);
    LogFileHeader h;
    if (store->ReadHeader(&h) != 0 || h.type != LOG_FILE_TYPE || h.recordSize == 0 || h.blockCount == 0) {
      store->Close();
      delete store;
      continue;
    }
    if (h.recordCount > 0) {
      std::vector<uint8_t> rec(h.recordSize);
      if (store->ReadLogs(0, &h, rec.data(), 1, nullptr, nullptr, nullptr) == 1) {
        TimeStamp first;
        memcpy(&first, rec.data() + LOG_RECORD_TIME, sizeof first);
        h.start = first;
        store->WriteHeader(&h, nullptr);
      }
      int32_t start = h.start.seconds;
      CloseRun(store, &start, nullptr, 0);
    } else {
      CloseRun(store, nullptr, nullptr, 0);
    }
    delete store;
  }
}

int CLogDbCollection::NextRun(char *name, LogRunTime *start, LogRunTime *end) {
  if (next_ >= runs_.size()) {
    runs_.clear();
    next_ = 0;
    os_SetLastError(0);
    return 0;
  }
  const Run &r = runs_[next_++];
  if (name) snprintf(name, 20, "LoggerSeq=%08d", r.seq);
  if (start) *start = {r.start, 0};
  if (end) *end = {r.stop, 0};
  return 1;
}

int CLogDbCollection::FindRun(char *name, uint32_t *, LogRunTime *start, LogRunTime *end, int allRuns) {
  FirstRun(nullptr);
  int found = 0;
  for (const Run &r : runs_) {
    if (!allRuns && !prefixCopy_.empty() &&
        (r.prefix.size() < prefixCopy_.size() ||
         os_CompareNoCaseN(r.prefix.c_str(), prefixCopy_.c_str(), prefixCopy_.size()) != 0))
      continue;
    if (name) snprintf(name, 20, "LoggerSeq=%08d", r.seq);
    if (start) *start = {r.start, 0};
    if (end) *end = {r.stop, 0};
    found = 1;
    break;
  }
  runs_.clear();
  next_ = 0;
  return found;
}

int CLogDbCollection::NextSequence(int32_t *seq) {
  std::string sql = "select nLoggerSequence from LOGGERS where sLoggerName = '" + ldb_Quote(logger_.c_str()) +
                    "' AND nLoggerSequence < 19000101 order by nLoggerSequence Desc";
  if (data_.OpenRecordset(W(sql).c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0)
    return Fail("CAN'T FIND LOGGER", data_.GetComErrorText());
  *seq = 1;
  if (!Eof(&data_)) {
    ado::Variant v;
    int64_t n = 0;
    if (data_.GetFieldValueAt(0, &v) == 0 && ToInt(v, &n) && n < LDB_DATED_SEQ) *seq = static_cast<int32_t>(n) + 1;
  }
  data_.CloseRecordset();
  return 0;
}

void CLogDbCollection::DropTables(const std::string &prefix, int tables) {
  if (tables & kText) Exec("DROP TABLE " + prefix + "TEXT");
  if (tables & kData) Exec("DROP TABLE " + prefix + "DATA");
  if (tables & kChannels) Exec("DROP TABLE " + prefix + "CHANNELS");
}

CLogStore *CLogDbCollection::CreateRunW(const int32_t *start, int freshName, void *unused1, LogFileHeader *h,
                                        const uint16_t *, int copyConfig, const char *channelSource, void *unused2,
                                        ChannelRecord **blockRecords) {
  return CreateRun(start, freshName, unused1, h, nullptr, copyConfig, channelSource, unused2, blockRecords);
}

CLogStore *CLogDbCollection::CreateRun(const int32_t *start, int freshName, void *, LogFileHeader *h,
                                       const char *headerText, int copyConfig, const char *, void *,
                                       ChannelRecord **blockRecords) {
  if (!h) return Fail("CAN'T CREATE CHANNELS TABLE", "no header"), nullptr;
  bool present = false;
  std::string digital = ldb_DigitalType(&present);
  int32_t seq = 0;
  if (NextSequence(&seq) != 0) return nullptr;
  int32_t when = start ? *start : h->start.seconds;
  std::string base = prefixCopy_.empty() ? logger_ : prefixCopy_;
  bool bare = freshName != 0 && (!prefixCopy_.empty() || seq == 1);
  std::string prefix;
  for (const LdbPrefixCandidate &c : ldb_PrefixCandidates(base.c_str(), bare, copyConfig != 0, seq, when)) {
    if (Exec("CREATE TABLE " + c.prefix +
             "CHANNELS (nBlock int, sPrefix char(2), nChannelNumber integer, sSource char(32), sTag char(32), "
             "sDescription char(32), nType int,sUnits char(12), fMinScale real, fMaxScale real, sLowStateDesc "
             "char(32), sHighStateDesc char(32), sColumnName char(32), bLag integer)") == 0) {
      prefix = c.prefix;
      seq = c.sequence;
      break;
    }
  }
  if (prefix.empty()) return Fail("CAN'T CREATE CHANNELS TABLE", catalog_.GetComErrorText()), nullptr;
  if (createIndexes_ && Exec("CREATE INDEX CH ON " + prefix + "CHANNELS (sPrefix, nChannelNumber)") != 0)
    createIndexes_ = 0;
  // The data table's columns.
  std::vector<LdbChannel> channels;
  uint32_t blocks = h->blockCount < LOG_MAX_BLOCKS ? h->blockCount : LOG_MAX_BLOCKS;
  for (uint32_t b = 0; b < blocks; ++b) {
    const LogChannelBlock &blk = h->blocks[b];
    if (!blockRecords || !blockRecords[b]) {
      DropTables(prefix, kChannels);
      return Fail("CAN'T FIND CHANNELS", ""), nullptr;
    }
    for (uint32_t k = 0; blk.last >= blk.first && k <= uint32_t{blk.last} - blk.first; ++k) {
      LdbChannel c{};
      memcpy(c.prefix, blk.prefix, 2);
      c.number = static_cast<uint16_t>(blk.first + k);
      chan_JoinTag(&blockRecords[b][k], c.tag);
      c.digital = blk.kind == LOG_KIND_DIGITAL || chan_IsDigital(&blockRecords[b][k]);
      channels.push_back(c);
    }
  }
  std::string columns, dup;
  if (!ldb_DataColumns(channels, h->tagColumns != 0, h->sigChange != 0, digital, &columns, &dup, nullptr)) {
    DropTables(prefix, kChannels);
    char m[64];
    snprintf(m, sizeof m, "DUPLICATE COLUMN %s", dup.c_str());
    return Fail(m, m), nullptr;
  }
  bool made = false;
  for (const std::string &s : ldb_DataTableStarts(prefix))
    if (Exec(s + columns) == 0) {
      made = true;
      break;
    }
  if (!made) {
    std::string d = catalog_.GetComErrorText();
    DropTables(prefix, kChannels);
    return Fail("CAN'T CREATE DATA TABLE", d.c_str()), nullptr;
  }
  for (const char *ix : {"CREATE INDEX TM ON %sDATA (DT, MS)", "CREATE INDEX DT ON %sDATA (DT)",
                         "CREATE INDEX MS ON %sDATA (MS)", "CREATE INDEX TX ON %sDATA (TX)"}) {
    if (!createIndexes_) break;
    char sql[400];
    snprintf(sql, sizeof sql, ix, prefix.c_str());
    if (Exec(sql) != 0) createIndexes_ = 0;
  }
  if (Exec("CREATE TABLE " + prefix + "TEXT (TX char(255))") != 0) {
    std::string d = catalog_.GetComErrorText();
    DropTables(prefix, kChannels | kData);
    return Fail("CAN'T CREATE TEXT TABLE", d.c_str()), nullptr;
  }
  CLogDbStore *store = new (std::nothrow) CLogDbStore();
  if (!store) {
    DropTables(prefix, kChannels | kData | kText);
    return Fail("CAN'T ALLOCATE MEMORY", ""), nullptr;
  }
  if (store->CreateRun(conn_.c_str(), prefix.c_str(), logger_.c_str(), seq, h, headerText, blockRecords) != 0) {
    Fail("CAN'T CONNECT TO DATABASE", store->GetErrorText());
    delete store;
    // The store may have added the run's LOGGERS row: it must not outlive
    // the tables it names.
    RemoveRun(prefix);
    DropTables(prefix, kChannels | kData | kText);
    return nullptr;
  }
  return store;
}

CLogStore *CLogDbCollection::OpenStore(const char *run, uint32_t access) {
  if (!run) return nullptr;
  std::string path = conn_ + ";LoggerName=" + logger_ + ";" + run;
  CLogDbStore *store = new (std::nothrow) CLogDbStore();
  if (!store) return nullptr;
  if (store->Open(nullptr, path.c_str(), access) != 0) {
    Fail(store->GetErrorSummary(), store->GetErrorText());
    delete store;
    return nullptr;
  }
  return store;
}

int CLogDbCollection::UseRunForLogging(CLogStore *store, uint32_t endOffset, const char *, int, int) {
  return store ? store->UseforLogging(&endOffset) : -1;
}

int CLogDbCollection::CloseRun(CLogStore *store, const int32_t *start, const int32_t *, int) {
  auto *db = dynamic_cast<CLogDbStore *>(store);
  if (!db) return -1;
  std::string prefix = db->TablePrefix();
  db->Close();
  if (!start) return RemoveRun(prefix);
  return 0;
}

int CLogDbCollection::RemoveRun(const std::string &prefix) {
  if (prefix.empty()) return -1;
  int ok = Exec("DROP TABLE " + prefix + "TEXT") == 0;
  ok &= Exec("DROP TABLE " + prefix + "DATA") == 0;
  Exec("DROP TABLE " + prefix + "CHANNELS");
  // A run whose tables are already gone still loses its row (a creation that
  // failed part-way).
  std::string sql = "select * from LOGGERS where sTablePrefix = '" + ldb_Quote(prefix.c_str()) + "'";
  if (data_.OpenRecordset(W(sql).c_str(), ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdUnknown) == 0) {
    if (!Eof(&data_)) data_.Delete();
    data_.CloseRecordset();
  }
  return ok ? 0 : -1;
}

void CLogDbCollection::GetStorePath(const char *run, char *out, uint32_t *length) {
  if (!length) return;
  std::string s = conn_ + ";LoggerName=" + logger_ + ";" + (run ? run : "");
  uint32_t need = static_cast<uint32_t>(conn_.size() + logger_.size() + (run ? strlen(run) : 0) + 14);
  if (!out || *length < s.size() + 1) {
    *length = need;
    return;
  }
  memcpy(out, s.c_str(), s.size() + 1);
  *length = need;
}
