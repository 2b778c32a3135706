#include "plugin/loggers/log_db_collection.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "framework/config/chan_record.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "framework/server/srv_requests.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "plugin/loggers/log_db_runs.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_db_store.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_status_feed.h"

namespace {

constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr size_t kConnMax = 1024;
std::atomic<uint32_t> g_jetWait{LDB_JET_CREATE_WAIT_MS};
std::atomic<uint32_t> g_snapshotLimit{LDB_SNAPSHOT_LIMIT_MS}, g_snapshotPoll{LDB_SNAPSHOT_POLL_MS};
constexpr size_t kReplicationName = 100, kSubscriberName = 16;

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

// The value after `key` (any case) up to the next ';'; false when the key is
// missing or its value empty or longer than a replication name.
bool ConnValue(const std::string &cs, const char *key, std::string *out) {
  std::string upper = cs;
  for (char &ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  size_t at = upper.find(key);
  if (at == std::string::npos) return false;
  at += strlen(key);
  size_t end = cs.find(';', at);
  *out = cs.substr(at, end == std::string::npos ? std::string::npos : end - at);
  return !out->empty() && out->size() <= kReplicationName;
}

bool IsLocal(const std::string &source) {
  return os_IsLocalHost(source.c_str()) || os_CompareNoCase(source.c_str(), "(local)") == 0;
}

// A job id as the hex digits of its bytes: a uniqueidentifier's text gives
// the bytes of the GUID as held in memory (the first three groups reversed),
// a "0x..." text its bytes as written.
bool JobIdHex(const ado::Variant &v, std::string *hex) {
  std::string t = ldb_TrimRight(ado::var_ToUtf8(v));
  hex->clear();
  auto isHex = [](const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  };
  if (v.vt == ado::VT_NULL || v.vt == ado::VT_EMPTY) return false;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    *hex = t.substr(2);
    if (!isHex(*hex) || hex->size() % 2 != 0) return false;
  } else {
    if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
    if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
    const std::string g[5] = {t.substr(0, 8), t.substr(9, 4), t.substr(14, 4), t.substr(19, 4), t.substr(24, 12)};
    for (int i = 0; i < 5; ++i) {
      if (!isHex(g[i])) return false;
      if (i < 3)
        for (size_t k = g[i].size(); k >= 2; k -= 2) *hex += g[i].substr(k - 2, 2);
      else
        *hex += g[i];
    }
  }
  for (char &ch : *hex) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));  // "%02x" per byte
  return true;
}

// A procedure's failure whose text is only a warning.
bool OnlyWarning(const char *text) { return text && os_CompareNoCaseN(text, "Warning", 7) == 0; }

// A Windows folder with the folders above it.
int MakeFolders(const std::string &path) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
    os_MakeDirectory(path.substr(0, at).c_str());  // levels that exist refuse, as they may
  os_MakeDirectory(path.c_str());
  return os_GetFileAttributes(path.c_str()) == OS_INVALID_FILE_ATTRIBUTES ? -1 : 0;
}

}  // namespace

void ldb_SetJetCreateWait(uint32_t ms) { g_jetWait = ms; }

void ldb_SetSnapshotWait(uint32_t limitMs, uint32_t pollMs) {
  g_snapshotLimit = limitMs;
  g_snapshotPoll = pollMs ? pollMs : 1;
}

CLogDbCollection::CLogDbCollection() = default;

CLogDbCollection::~CLogDbCollection() {
  data_.Disconnect();
  catalog_.ReleaseCatalog();
}

int CLogDbCollection::Fail(const char *message, const char *detail) {
  return ldb_KeepError(message_, &detail_, message, detail ? detail : "");
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
  std::string sql = LDB_CREATE_LOGGERS;
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
  ldb_ClearRuns(&runs_);
  if (nameCapacity) *nameCapacity = 20;
  std::string sql = "select nLoggerSequence, dStartTime, dStopTime, bCompleted, sTablePrefix from LOGGERS where "
                    "sLoggerName = '" +
                    ldb_Quote(logger_.c_str()) + "' order by dStartTime Desc";
  if (data_.OpenRecordset(W(sql).c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) return 0;
  for (data_.MoveFirst(); !Eof(&data_); data_.MoveNext()) {
    ado::Variant v[5];
    for (int i = 0; i < 5; ++i) data_.GetFieldValueAt(i, &v[i]);
    LdbRun r{};
    int64_t n = 0;
    if (!ToInt(v[0], &n)) continue;
    r.seq = static_cast<int32_t>(n);
    if (v[1].vt == ado::VT_DATE) ldb_FromOleDate(v[1].date, &r.start);
    if (v[2].vt == ado::VT_DATE) ldb_FromOleDate(v[2].date, &r.stop);
    if (!ToInt(v[3], &n) || n == 0) r.stop = 0;
    r.prefix = ldb_RunPrefix(ado::var_ToUtf8(v[4]));
    runs_.runs.push_back(r);
  }
  data_.CloseRecordset();
  return runs_.runs.empty() ? 0 : 1;
}

void CLogDbCollection::Purge(const int32_t *cutOff) {
  if (!cutOff) return;
  const int32_t limit = *cutOff;
  FirstRun(nullptr);
  for (const LdbRun &r : ldb_TakeRuns(&runs_)) {
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
  return ldb_NextRun(&runs_, name, start, end);
}

int CLogDbCollection::FindRun(char *name, uint32_t *, LogRunTime *start, LogRunTime *end, int allRuns) {
  FirstRun(nullptr);
  return ldb_FindRun(&runs_, prefixCopy_, allRuns, name, start, end);
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
                                       const char *headerText, int copyConfig, const char *channelSource, void *,
                                       ChannelRecord **blockRecords) {
  if (!h) return Fail("CAN'T CREATE CHANNELS TABLE", "no header"), nullptr;
  bool present = false;
  std::string digital = ldb_DigitalType(&present);
  int32_t seq = 0;
  if (NextSequence(&seq) != 0) return nullptr;
  int32_t when = start ? *start : h->start.seconds;
  auto exec = [](void *self, const std::string &sql) { return static_cast<CLogDbCollection *>(self)->Exec(sql) == 0; };
  const std::string prefix = ldb_MakeChannelsTable(logger_, prefixCopy_, freshName, copyConfig, when, &seq, exec, this);
  if (prefix.empty()) return Fail("CAN'T CREATE CHANNELS TABLE", catalog_.GetComErrorText()), nullptr;
  if (createIndexes_ && Exec("CREATE INDEX CH ON " + prefix + "CHANNELS (sPrefix, nChannelNumber)") != 0)
    createIndexes_ = 0;
  // The data table's columns, from the caller's channel records, else the
  // configuration's (here, or on the server that holds it).
  std::vector<LdbChannel> channels;
  uint32_t blocks = h->blockCount < LOG_MAX_BLOCKS ? h->blockCount : LOG_MAX_BLOCKS;
  std::vector<std::vector<ChannelRecord>> fetched(blocks);
  std::vector<ChannelRecord *> records(LOG_MAX_BLOCKS, nullptr);
  const bool remote = log_ChannelsRemote(channelSource);
  for (uint32_t b = 0; b < blocks; ++b) {
    const LogChannelBlock &blk = h->blocks[b];
    records[b] = blockRecords ? blockRecords[b] : nullptr;
    if (!records[b]) {
      fetched[b].resize(blk.last >= blk.first ? size_t{blk.last} - blk.first + 1 : 0);
      if (log_FetchChannels(channelSource, blk, fetched[b].data()) != 0) {
        DropTables(prefix, kChannels);
        return Fail(remote ? "CAN'T CREATE DATA TABLE" : "CAN'T FIND CHANNELS", ""), nullptr;
      }
      records[b] = fetched[b].data();
    }
    ldb_BlockChannels(blk, records[b], &channels);
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
  if (store->CreateRun(conn_.c_str(), prefix.c_str(), logger_.c_str(), seq, h, headerText, channelSource,
                       records.data()) != 0) {
    Fail("CAN'T CONNECT TO DATABASE", store->GetErrorText());
    delete store;
    // The store may have added the run's LOGGERS row: it goes with the
    // tables.
    RemoveRun(prefix);
    return nullptr;
  }
  // The run logs whether or not its tables could be published; the failure
  // stays readable through GetErrorSummary.
  if (replicate_) Publish(prefix, {prefix + "DATA", prefix + "CHANNELS", prefix + "TEXT"});
  return store;
}

CLogStore *CLogDbCollection::OpenStore(const char *run, uint32_t access) {
  if (!run) return nullptr;
  return ldb_OpenRunStore(new (std::nothrow) CLogDbStore(), conn_, logger_, run, access, message_, &detail_);
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
  if (replicate_) Unpublish(prefix);
  // The row must not outlive a table it names, nor name a run that can still
  // be opened; tables never made (a creation that failed part-way) count as
  // gone.
  bool gone = DropTable(prefix + "TEXT");
  gone &= DropTable(prefix + "DATA");
  gone &= DropTable(prefix + "CHANNELS");
  if (!gone) return -1;
  std::string sql = "select * from LOGGERS where sTablePrefix = '" + ldb_Quote(prefix.c_str()) + "'";
  if (data_.OpenRecordset(W(sql).c_str(), ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdUnknown) != 0)
    return -1;
  int rc = Eof(&data_) || data_.Delete() == 0 ? 0 : -1;
  data_.CloseRecordset();
  return rc;
}

bool CLogDbCollection::DropTable(const std::string &table) {
  if (Exec("DROP TABLE " + table) == 0) return true;
  bool missing = data_.OpenTable(W(table).c_str()) == ado::ADO_E_NOTABLE;
  data_.CloseRecordset();
  return missing;
}

void CLogDbCollection::GetStorePath(const char *run, char *out, uint32_t *length) {
  ldb_StorePath(conn_, logger_, run, out, length);
}

std::string CLogDbCollection::ThisComputer() const {
  std::string name = subscriber_.empty() ? std::string(os_ComputerName() ? os_ComputerName() : "") : subscriber_;
  return name.substr(0, kSubscriberName);
}

int CLogDbCollection::SetReplicationTarget(const char *target, int32_t options, const char *subscriber) {
  if (conn_.size() < 17 || os_CompareNoCaseN(conn_.c_str(), "PROVIDER=SQLOLEDB", 17) != 0) return 0;
  std::string t = target ? target : "", tCatalog, tSource, oCatalog, oSource;
  if (t.size() > kConnMax) return Fail("CONNECTION STRING TOO LONG", "");
  if (!ConnValue(t, "INITIAL CATALOG=", &tCatalog))
    return Fail("NO INITIAL CATALOG IN TARGET", "NO INITIAL CATALOG DEFINED IN TARGET CONNECTION STRING");
  if (!ConnValue(t, ";DATA SOURCE=", &tSource))
    return Fail("NO DATA SOURCE DEFINED IN TARGET", "NO DATA SOURCE DEFINED IN TARGET CONNECTION STRING");
  if (!ConnValue(conn_, "INITIAL CATALOG=", &oCatalog))
    return Fail("NO INITIAL CATALOG IN TARGET", "NO INITIAL CATALOG DEFINED IN DATABASE CONNECTION STRING");
  if (!ConnValue(conn_, ";DATA SOURCE=", &oSource))
    return Fail("NO DATA SOURCE DEFINED IN TARGET", "NO DATA SOURCE DEFINED IN DATABASE CONNECTION STRING");
  bool sameSource = os_CompareNoCase(tSource.c_str(), oSource.c_str()) == 0 || (IsLocal(tSource) && IsLocal(oSource));
  if (sameSource && os_CompareNoCase(tCatalog.c_str(), oCatalog.c_str()) == 0)
    return Fail("DATABASE AND TARGET ARE SAME", "DATABASE AND TARGET CONNECTION STRINGS ARE THE SAME");
  replicate_ = 1;
  target_ = t;
  targetSource_ = tSource;
  targetCatalog_ = tCatalog;
  ownSource_ = oSource;
  ownCatalog_ = oCatalog;
  publicationOptions_ = options;
  subscriber_ = subscriber ? std::string(subscriber).substr(0, kSubscriberName) : std::string();
  return createdLoggers_ ? Publish(logger_, {"LOGGERS"}) : 0;
}

int CLogDbCollection::StartJob(const std::string &id) { return Exec("exec msdb..sp_start_job @job_id = 0x" + id); }

// Polls the started snapshot job until its last run finished: 1 succeeded;
// 0 failed and 3 cancelled did not run; anything else is still to come.
int CLogDbCollection::WaitForSnapshot(const std::string &id) {
  const std::string sql = "exec msdb..sp_help_job @job_id = 0x" + id + ", @job_aspect = N'job'";
  const uint32_t began = os_GetTickCount(), limit = g_snapshotLimit, poll = g_snapshotPoll;
  for (;;) {
    if (data_.OpenRecordset(W(sql).c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0)
      return Fail("CAN'T GET SNAPSHOT STATUS", data_.GetComErrorText());
    ado::Variant v;
    int64_t outcome = -1;
    bool got = !Eof(&data_) && data_.GetFieldValue(u"last_run_outcome", &v) == 0 && ToInt(v, &outcome);
    data_.CloseRecordset();
    if (!got) return Fail("CAN'T GET SNAPSHOT STATUS", "no last_run_outcome");
    if (outcome == 1) return 0;
    if (outcome == 0 || outcome == 3)
      return Fail("SNAPSHOT DID NOT RUN", ("last_run_outcome " + std::to_string(outcome)).c_str());
    if (os_GetTickCount() - began >= limit)
      return Fail("SNAPSHOT DID NOT RUN", ("no outcome after " + std::to_string(limit / 1000) + " s").c_str());
    os_Sleep(poll);
  }
}

int CLogDbCollection::Publish(const std::string &name, const std::vector<std::string> &tables) {
  const std::string pub = ldb_Quote(name.c_str()), catalog = ldb_Quote(ownCatalog_.c_str());
  bool exists = false;
  if (data_.OpenRecordset(u"exec sp_helpmergepublication", ado::adOpenStatic, ado::adLockReadOnly,
                          ado::adCmdUnknown) == 0) {
    for (data_.MoveFirst(); !exists && !Eof(&data_); data_.MoveNext()) {
      ado::Variant v;
      exists = data_.GetFieldValue(u"name", &v) == 0 && ldb_TrimRight(ado::var_ToUtf8(v)) == name;
    }
    data_.CloseRecordset();
  }
  if (!exists) {
    Exec("exec sp_replicationdboption @dbname = N'" + catalog + "', @optname = N'merge publish', @value = N'true'");
    if (Exec("exec sp_addmergepublication @publication = N'" + pub + "', @description = N'Merge publication of " +
             catalog +
             " logger database.', @retention = 14, @sync_mode = N'native', @allow_push = N'true', @allow_pull = "
             "N'true', @allow_anonymous = N'true', @enabled_for_internet = N'false', @centralized_conflicts = N'true', "
             "@dynamic_filters = N'false', @snapshot_in_defaultfolder = N'true', @compress_snapshot = N'false', "
             "@ftp_port = 21, @conflict_retention = 14, @keep_partition_changes = N'false', @allow_subscription_copy = "
             "N'false', @allow_synctoalternate = N'false', @add_to_active_directory = N'false', "
             "@max_concurrent_merge = 0, @max_concurrent_dynamic_snapshots = 0" +
             ",@use_partition_groups = null, @publication_compatibility_level = N'90RTM', @replicate_ddl = 1, "
             "@allow_subscriber_initiated_snapshot = N'false', @allow_web_synchronization = N'false', "
             "@allow_partition_realignment = N'true', @retention_period_unit = N'days', @conflict_logging = N'both', "
             "@automatic_reinitialization_policy = 0") != 0)
      return Fail("CAN'T ADD PUBLICATION", catalog_.GetComErrorText());
    if (Exec("exec sp_addpublication_snapshot @publication = N'" + pub +
             "',@frequency_type = 1, @frequency_interval = 1, @frequency_relative_interval = 0, "
             "@frequency_recurrence_factor = 1, @frequency_subday = 1, @frequency_subday_interval = 0, "
             "@active_start_date = 20050101, @active_end_date = 99991231, @active_start_time_of_day = 0, "
             "@active_end_time_of_day = 235959") != 0)
      return Fail("CAN'T ADD PUBLICATION SNAPSHOT", catalog_.GetComErrorText());
  }
  for (const std::string &table : tables) {
    const std::string t = ldb_Quote(table.c_str());
    if (Exec("exec sp_addmergearticle @publication = N'" + pub + "', @article = N'" + t +
             "', @source_owner = N'dbo', @source_object = N'" + t +
             "', @type = N'table', @description = null, @status = N'unsynced', @column_tracking = N'true', "
             "@pre_creation_cmd = N'drop', @creation_script = null, @schema_option = 0x000000000000CFF1, "
             "@article_resolver = null, @subset_filterclause = null, @vertical_partition = N'false', "
             "@auto_identity_range = N'false', @verify_resolver_signature = 0, @allow_interactive_resolver = "
             "N'false', @fast_multicol_updateproc = N'true', @check_permissions = 0, @force_invalidate_snapshot = "
             "1") != 0 &&
        !OnlyWarning(catalog_.GetComErrorText()))
      return Fail("CAN'T ADD PUBLICATION ARTICLE", catalog_.GetComErrorText());
  }
  // The publication's snapshot, made before anyone subscribes.
  std::string id;
  if (data_.OpenRecordset(W("exec sp_helpmergepublication @publication = N'" + pub + "'").c_str(),
                          ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0)
    return Fail("CAN'T GET PUBLICATION INFO", data_.GetComErrorText());
  ado::Variant v;
  bool haveId = !Eof(&data_) && data_.GetFieldValue(u"snapshot_jobid", &v) == 0 && JobIdHex(v, &id);
  data_.CloseRecordset();
  if (!haveId) return Fail("CAN'T GET SNAPSHOT JOB ID", data_.GetComErrorText());
  if (StartJob(id) != 0) return Fail("CAN'T START SNAPSHOT", catalog_.GetComErrorText());
  if (WaitForSnapshot(id) != 0) return -1;
  if (Exec("exec sp_addmergesubscription @publication = N'" + pub + "', @subscriber = N'" +
           ldb_Quote(ThisComputer().c_str()) + "', @subscriber_db = N'" + ldb_Quote(targetCatalog_.c_str()) +
           "', @subscription_type = N'push', @subscriber_type = N'local', @subscription_priority = 0.000000, "
           "@sync_type = N'automatic', @frequency_type = 4, @frequency_interval = 1, @frequency_relative_interval = "
           "2, @frequency_recurrence_factor = 0, @frequency_subday = 4, @frequency_subday_interval = 1, "
           "@active_start_date = 0, @active_end_date = 99991231, @active_start_time_of_day = 0, "
           "@active_end_time_of_day = 235900, @enabled_for_syncmgr = N'false', @offloadagent = 0, "
           "@use_interactive_resolver = N'false'") != 0)
    return Fail("CAN'T ADD SUBSCRIPTION", catalog_.GetComErrorText());
  // The subscription's merge agent, started once now.
  if (data_.OpenRecordset(
          W("exec sp_helpmergesubscription @subscription_type = N'both', @publication = N'" + pub + "'").c_str(),
          ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0)
    return Fail("CAN'T GET SUBSCRIPTION INFO", data_.GetComErrorText());
  haveId = false;
  if (!Eof(&data_)) {
    haveId = data_.GetFieldValue(u"merge_jobid", &v) == 0 && JobIdHex(v, &id);
    if (!haveId) haveId = data_.GetFieldValue(u"job_id", &v) == 0 && JobIdHex(v, &id);
  }
  data_.CloseRecordset();
  if (!haveId) return Fail("CAN'T GET SUBSCRIPTION JOB ID", data_.GetComErrorText());
  Exec("use master");
  int started = StartJob(id);
  std::string detail = started != 0 ? catalog_.GetComErrorText() : "";
  Exec("use " + ownCatalog_);
  return started != 0 ? Fail("CAN'T UPDATE MERGE", detail.c_str()) : 0;
}

// The run's subscription and publication go before its tables; the target
// forgets the subscription too.
void CLogDbCollection::Unpublish(const std::string &prefix) {
  const std::string pub = ldb_Quote(prefix.c_str());
  Exec("exec sp_dropmergesubscription @publication = N'" + pub + "', @subscriber = N'" +
       ldb_Quote(targetSource_.c_str()) + "', @subscriber_db = N'" + ldb_Quote(targetCatalog_.c_str()) +
       "', @subscription_type = N'push'");
  Exec("exec sp_dropmergepublication @publication = N'" + pub + "'");
  CLogITDbAcc target;
  if (target.Attach(W(target_).c_str(), u"") == 0 && target.Login(0, 0) == 0)
    target.ExecuteSql(W("exec sp_mergesubscription_cleanup @publication = N'" + pub + "', @publisher = N'" +
                        ldb_Quote(ThisComputer().c_str()) + "', @publisher_db = N'" + ldb_Quote(ownCatalog_.c_str()) +
                        "'")
                          .c_str());
  target.ReleaseCatalog();
}
