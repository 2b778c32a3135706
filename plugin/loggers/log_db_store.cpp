#include "plugin/loggers/log_db_store.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "framework/config/chan_record.h"
#include "framework/registry/reg_settings.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "plugin/loggers/log_db_runs.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_file_store.h"

using ado::Variant;

namespace {

constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr int32_t kStatic = ado::adOpenStatic, kReadOnly = ado::adLockReadOnly, kOptimistic = ado::adLockOptimistic;

std::u16string W(const std::string &s) { return ado::ado_Wide(s); }

bool IsNull(const Variant &v) { return v.vt == ado::VT_NULL || v.vt == ado::VT_EMPTY; }

bool ToInt(const Variant &v, int64_t *out) {
  Variant d;
  if (IsNull(v) || ado::var_ChangeType(&d, v, ado::VT_R8) < 0 || !std::isfinite(d.dblVal)) return false;
  if (d.dblVal < -9.2e18 || d.dblVal > 9.2e18) return false;
  *out = static_cast<int64_t>(d.dblVal);
  return true;
}

bool ToFloat(const Variant &v, float *out) {
  Variant d;
  if (IsNull(v) || ado::var_ChangeType(&d, v, ado::VT_R8) < 0) return false;
  if (std::isfinite(d.dblVal) && std::fabs(d.dblVal) > 3.4028234663852886e38) return false;
  *out = static_cast<float>(d.dblVal);
  return true;
}

std::string Text(const Variant &v) { return IsNull(v) ? std::string() : ldb_TrimRight(ado::var_ToUtf8(v)); }

bool ToSeconds(const Variant &v, int32_t *out) {
  if (v.vt != ado::VT_DATE) return false;
  return ldb_FromOleDate(v.date, out);
}

uint32_t Channels(const LogChannelBlock &b) { return b.last >= b.first ? uint32_t{b.last} - b.first + 1 : 0; }

// A 16-bit text of the wide store operations as the columns hold it.
std::string Utf8(const uint16_t *text) {
  return text ? ado::ado_Narrow(reinterpret_cast<const char16_t *>(text)) : std::string();
}

bool Eof(CLogITDbDataAcc *acc) {
  Variant e;
  return acc->GetEOF(&e) != 0 || e.boolVal != 0;
}

}  // namespace

CLogDbStore::CLogDbStore() = default;
CLogDbStore::~CLogDbStore() { Close(); }

int CLogDbStore::Fail(const char *message, const char *detail) {
  return ldb_KeepError(message_, &detail_, message, detail ? detail : "");
}

const char *CLogDbStore::GetErrorText() { return detail_.c_str(); }
const char *CLogDbStore::GetErrorSummary() { return message_; }

int32_t CLogDbStore::Query(CLogITDbDataAcc *acc, const std::string &sql, int32_t lock) {
  if (acc == &main_) cursor_ = -1;
  return acc->OpenRecordset(W(sql).c_str(), kStatic, lock, ado::adCmdUnknown);
}

template <class F>
int32_t CLogDbStore::WithForms(CLogITDbDataAcc *acc, int32_t lock, F build) {
  int32_t rc = -1;
  for (int form = firstForm_; form <= lastForm_; ++form) {
    rc = Query(acc, build(form), lock);
    if (rc == 0) {
      firstForm_ = lastForm_ = form;
      return 0;
    }
  }
  return rc;
}

std::string CLogDbStore::RunWhere() const {
  return " from LOGGERS where sLoggerName = '" + ldb_Quote(logger_.c_str()) + "' AND nLoggerSequence = " +
         std::to_string(seq_);
}

int CLogDbStore::OpenMain(const char *connection) {
  if (main_.Connect(W(connection).c_str(), u"", 0) != 0) return Fail("CAN'T OPEN DATABASE", &main_);
  if (main_.Login(0, 0) != 0) return Fail("CAN'T LOGIN TO DATABASE", &main_);
  if (ldb_IsJet(connection)) firstForm_ = lastForm_ = LDB_FORM_JET;
  return 0;
}

int CLogDbStore::CreateRun(const char *connection, const char *prefix, const char *logger, int32_t seq,
                           const LogFileHeader *h, const char *headerText, const char *server,
                           ChannelRecord *const *records) {
  if (!connection || !prefix || !logger || !h) return Fail("BADLY FORMED PATH NAME", "");
  if (strlen(connection) >= LDB_STORE_CONNSTR || strlen(logger) > LOG_LOGGER_NAME_MAX || strlen(prefix) > 259)
    return Fail("BADLY FORMED PATH NAME", "");
  // Every block's channel records before the first row is added, so that a
  // configuration that cannot be read leaves no row behind.
  const uint32_t blocks = h->blockCount < LOG_MAX_BLOCKS ? h->blockCount : LOG_MAX_BLOCKS;
  std::vector<std::vector<ChannelRecord>> fetched(blocks);
  std::vector<ChannelRecord *> blockRecords(blocks, nullptr);
  for (uint32_t b = 0; b < blocks; ++b) {
    blockRecords[b] = records ? records[b] : nullptr;
    if (blockRecords[b]) continue;
    fetched[b].resize(Channels(h->blocks[b]));
    if (log_FetchChannels(server, h->blocks[b], fetched[b].data()) != 0)
      return log_ChannelsRemote(server) ? Fail("CAN'T GET CHANNEL CONFIGS", "CAN'T GET CHANNEL CONFIGURATION")
                                        : Fail("CAN'T FIND CHANNEL CONFIG", "");
    blockRecords[b] = fetched[b].data();
  }
  access_ = 0xC0000000u;
  logger_ = logger;
  if (OpenMain(connection) != 0) return -1;
  // The LOGGERS row.
  if (main_.OpenTable(u"LOGGERS") != 0) return Close(), Fail("CAN'T FIND LOGGERS TABLE", &main_);
  if (main_.AddNewRecord() != 0) return Close(), Fail("CAN'T ADD TO LOGGERS TABLE", &main_);
  std::string header;
  bool hasHeader = ldb_HeaderColumn(headerText, &header);
  const Variant values[17] = {
      ado::var_Utf8(logger),
      ado::var_I4(seq),
      ado::var_Date(ldb_ToOleDate(h->start.seconds)),
      h->stop.seconds ? ado::var_Date(ldb_ToOleDate(h->stop.seconds)) : ado::var_Null(),
      ado::var_I4(0),
      ado::var_Utf8(prefix),
      hasHeader ? ado::var_Utf8(header) : ado::var_Null(),
      ado::var_I4(h->tagColumns ? 1 : 0),
      ado::var_I4(0),
      ado::var_I4(0),
      ado::var_I4(h->timeZone.Bias),
      ado::var_I4(h->sigChange ? 1 : 0),
      h->sigChange ? ado::var_Utf8(std::string(h->trigPrefix, strnlen(h->trigPrefix, 2))) : ado::var_Null(),
      h->sigChange ? ado::var_I4(h->trigNumber) : ado::var_Null(),
      h->sigChange ? ado::var_Utf8(std::string(h->lagPrefix, strnlen(h->lagPrefix, 2))) : ado::var_Null(),
      h->sigChange ? ado::var_I4(h->lagNumber) : ado::var_Null(),
      ado::var_Date(ldb_ToOleDate(h->start.seconds)),
  };
  for (int i = 0; i < 17; ++i)
    if (main_.SetFieldValueAt(i, values[i]) != 0) {
      main_.CancelUpdate();
      return Close(), Fail("CAN'T UPDATE LOGGERS TABLE", &main_);
    }
  if (main_.Update() != 0) {
    main_.CancelUpdate();
    return Close(), Fail("CAN'T UPDATE LOGGERS TABLE", &main_);
  }
  prefix_ = prefix;
  seq_ = seq;
  conn_ = connection;
  // The predefined lines.
  std::vector<std::string> lines = ldb_PredefinedLines(headerText);
  if (!lines.empty()) {
    if (main_.OpenTable(W(prefix_ + "TEXT").c_str()) != 0) return Close(), Fail("CAN'T OPEN TEXT TABLE", &main_);
    for (const std::string &l : lines) {
      if (main_.AddNewRecord() != 0) return Close(), Fail("CAN'T ADD TO TEXT TABLE", &main_);
      if (main_.SetFieldValueAt(0, ado::var_Utf8(l)) != 0 || main_.Update() != 0) {
        main_.CancelUpdate();
        return Close(), Fail("CAN'T UPDATE TEXT TABLE", &main_);
      }
    }
  }
  // One CHANNELS row per logged channel.
  if (main_.OpenTable(W(prefix_ + "CHANNELS").c_str()) != 0) return Close(), Fail("CAN'T OPEN CHANNELS TABLE", &main_);
  for (uint32_t b = 0; b < blocks; ++b) {
    const LogChannelBlock &blk = h->blocks[b];
    for (uint32_t k = 0; k < Channels(blk); ++k) {
      LdbChannelRow c;
      ldb_ChannelRow(h, b, k, &blockRecords[b][k], &c);
      if (main_.AddNewRecord() != 0) return Close(), Fail("CAN'T ADD TO CHANNELS TABLE", &main_);
      std::vector<Variant> row = {ado::var_I4(c.block),
                                  ado::var_Utf8(c.prefix),
                                  ado::var_I4(c.number),
                                  ado::var_Utf8(c.source),
                                  ado::var_Utf8(c.tag),
                                  ado::var_Utf8(c.description),
                                  c.typed ? ado::var_I4(c.type) : ado::var_Null(),
                                  ado::var_Null(),
                                  ado::var_Null(),
                                  ado::var_Null(),
                                  ado::var_Null(),
                                  ado::var_Null(),
                                  ado::var_Utf8(c.column),
                                  ado::var_I4(c.lag)};
      if (c.typed && !c.analogue) {
        row[10] = ado::var_Utf8(c.lowState);
        row[11] = ado::var_Utf8(c.highState);
      } else if (c.typed) {
        row[7] = ado::var_Utf8(c.units);
        row[8] = ado::var_R4(c.minScale);
        row[9] = ado::var_R4(c.maxScale);
      }
      for (size_t i = 0; i < row.size(); ++i)
        if (main_.SetFieldValueAt(static_cast<int32_t>(i), row[i]) != 0) {
          main_.CancelUpdate();
          return Close(), Fail("CAN'T UPDATE CHANNELS TABLE", &main_);
        }
      if (main_.Update() != 0) {
        main_.CancelUpdate();
        return Close(), Fail("CAN'T UPDATE CHANNELS TABLE", &main_);
      }
    }
  }
  main_.CloseRecordset();
  uint32_t end = 0;
  if (UseforLogging(&end) != 0) {
    std::string d = detail_;
    char m[LDB_MESSAGE_MAX + 1];
    snprintf(m, sizeof m, "%s", message_);
    Close();
    return Fail(m, d.c_str());
  }
  return 0;
}

int CLogDbStore::Open(const char *server, const char *path, uint32_t access) {
  Close();
  std::string cs;
  int32_t seq = 0;
  if (!ldb_SplitRunPath(path, LDB_STORE_CONNSTR, &cs, &logger_, &seq))
    return os_SetLastError(0), Fail("BADLY FORMED PATH NAME", "");
  seq_ = seq;
  access_ = access;
  int rc = OpenMain(cs.c_str());
  if (rc == 0) {
    if (Query(&main_, "select sTablePrefix" + RunWhere(), kReadOnly) != 0 || Eof(&main_)) {
      rc = Fail("CAN'T FIND LOGGER NAME AND SEQ", &main_);
    } else {
      Variant v;
      // A char(255) value comes back padded: trim it, it names tables.
      if (main_.GetFieldValueAt(0, &v) != 0 || IsNull(v) || Text(v).empty())
        rc = Fail("CAN'T FIND LOGGER NAME AND SEQ", &main_);
      else
        prefix_ = Text(v);
    }
    main_.CloseRecordset();
    if (rc != 0) main_.Disconnect();
  }
  std::string remote;
  if (rc != 0 && ldb_RemotePath(server, cs, path, LDB_STORE_CONNSTR, &remote))
    return Open(nullptr, remote.c_str(), access);
  if (rc == 0) conn_ = cs;
  return rc;
}

int CLogDbStore::UseforLogging(uint32_t *) {
  if (log_.Connect(W(conn_).c_str(), u"", 0) != 0) return Fail("CAN'T OPEN DATABASE", &log_);
  logging_ = 1;
  if (log_.Login(0, 0) != 0) return Fail("CAN'T LOG INTO DATABASE", &log_);
  if (log_.OpenRecordset(W(prefix_ + "DATA").c_str(), ado::adOpenForwardOnly, kOptimistic, ado::adCmdTable) != 0)
    return Fail("CAN'T OPEN DATA TABLE", &log_);
  digitalText_ = ldb_DigitalText();
  return digitalText_ ? LoadStateTexts() : 0;
}

int CLogDbStore::LoadStateTexts() {
  states_.clear();
  if (Query(&main_, "select sLowStateDesc, sHighStateDesc from " + prefix_ + "CHANNELS", kReadOnly) != 0)
    return Fail("CAN'T GET CHANNELS", &main_);
  for (main_.MoveFirst(); !Eof(&main_); main_.MoveNext()) {
    Variant lo, hi;
    main_.GetFieldValueAt(0, &lo);
    main_.GetFieldValueAt(1, &hi);
    states_.emplace_back(Text(lo), Text(hi));
  }
  main_.CloseRecordset();
  return 0;
}

void CLogDbStore::GetName(char *out, uint32_t *size) { ldb_RunName(conn_, logger_, seq_, out, size); }

int CLogDbStore::Close() {
  cursor_ = -1;
  main_.Disconnect();
  if (logging_) {
    log_.Disconnect();
    logging_ = 0;
  }
  return 0;
}

int CLogDbStore::FlushHeader(uint32_t) { return 0; }

int CLogDbStore::ReadHeader(LogFileHeader *h) {
  if (!h) return Fail("CAN'T FIND LOGGER", "");
  if (Query(&main_, "select *" + RunWhere(), kReadOnly) != 0 || Eof(&main_)) return Fail("CAN'T FIND LOGGER", &main_);
  Variant v[17];
  for (int i = 0; i < 17; ++i)
    if (main_.GetFieldValueAt(i, &v[i]) != 0) return Fail("CAN'T FIND LOGGER", &main_);
  main_.CloseRecordset();
  int32_t start = 0, stop = 0;
  if (!ToSeconds(v[2], &start)) return Fail("COLUMN #3 IS NOT A DATE", "");
  if (!IsNull(v[3]) && !ToSeconds(v[3], &stop)) return Fail("COLUMN #4 IS NOT A DATE", "");
  memset(h, 0, sizeof *h);
  h->start.seconds = start;
  h->stop.seconds = stop;
  int64_t n = 0;
  h->tagColumns = ToInt(v[7], &n) && n ? 1 : 0;
  h->sigChange = ToInt(v[11], &n) && n ? 1 : 0;
  if (h->sigChange) {
    std::string t = Text(v[12]), l = Text(v[14]);
    memcpy(h->trigPrefix, t.c_str(), t.size() < 2 ? t.size() : 2);
    memcpy(h->lagPrefix, l.c_str(), l.size() < 2 ? l.size() : 2);
    if (ToInt(v[13], &n) && n >= 0 && n <= 0xFFFF) h->trigNumber = static_cast<uint16_t>(n);
    if (ToInt(v[15], &n) && n >= 0 && n <= 0xFFFF) h->lagNumber = static_cast<uint16_t>(n);
  }
  if (ToInt(v[10], &n) && n >= INT32_MIN && n <= INT32_MAX) h->timeZone.Bias = static_cast<int32_t>(n);
  h->type = LOG_FILE_TYPE;
  if (Query(&main_, "select nBlock, sPrefix, nChannelNumber, sSource, bLag from " + prefix_ + "CHANNELS", kReadOnly) !=
      0)
    return Fail("CAN'T GET CHANNELS", &main_);
  bool seen[LOG_MAX_BLOCKS] = {};
  for (int32_t rc = main_.MoveFirst(); !Eof(&main_); rc = main_.MoveNext()) {
    if (rc < 0) return Fail("CAN'T GET NEXT CHANNEL", &main_);
    Variant f[5];
    for (int i = 0; i < 5; ++i)
      if (main_.GetFieldValueAt(i, &f[i]) != 0) return Fail("CAN'T CHECK NEXT CHANNEL", &main_);
    int64_t block = -1, number = -1, lag = 0;
    ToInt(f[0], &block);
    ToInt(f[2], &number);
    if (!ldb_HeaderAddChannel(h, seen, block, number, Text(f[1]), Text(f[3]), ToInt(f[4], &lag) && lag))
      return main_.CloseRecordset(), Fail("CAN'T CHECK NEXT CHANNEL", "bad block index or channel number");
  }
  main_.CloseRecordset();
  int64_t count = GetNoLogs(h);
  if (count < 0) return -1;
  ldb_RecordLayout(h, count);
  return 0;
}

int CLogDbStore::WriteHeader(const LogFileHeader *h, const char *) {
  if (!(access_ & kGenericWrite)) return 0;
  if (!h) return Fail("CAN'T FIND LOGGER TIMES", "");
  if (Query(&main_, "select dStartTime, dStopTime, bCompleted" + RunWhere(), kOptimistic) != 0 || Eof(&main_))
    return Fail("CAN'T FIND LOGGER TIMES", &main_);
  if (main_.SetFieldValueAt(0, ado::var_Date(ldb_ToOleDate(h->start.seconds))) != 0 ||
      main_.SetFieldValueAt(1, h->stop.seconds ? ado::var_Date(ldb_ToOleDate(h->stop.seconds)) : ado::var_Null()) != 0 ||
      main_.SetFieldValueAt(2, ado::var_I4(h->stop.seconds != 0 ? 1 : 0)) != 0 || main_.Update() != 0) {
    main_.CancelUpdate();
    return Fail("CAN'T FIND LOGGER TIMES", &main_);
  }
  main_.CloseRecordset();
  if (logging_) {
    TimeStamp to = h->start;
    to.ms = 0;
    DeleteLogsInRange(nullptr, &to);
  }
  return 0;
}

int CLogDbStore::ReadChannels(const LogFileHeader *h, ChannelRecord *out, int block, int first, int count) {
  if (!h || !out || block < 0 || block >= h->blockCount || block >= static_cast<int>(LOG_MAX_BLOCKS) || count < 0)
    return Fail("CHANNEL NOT IN HEADER", "");
  const LogChannelBlock &b = h->blocks[block];
  if (first < 0 || static_cast<int64_t>(first) + count > static_cast<int64_t>(Channels(b)))
    return Fail("CHANNEL NOT IN HEADER", "");
  for (int k = 0; k < count; ++k) {
    ChannelRecord *r = &out[k];
    int number = b.first + first + k;
    char sql[400];
    snprintf(sql, sizeof sql, "select * from %sCHANNELS where sPrefix = '%s' AND nChannelNumber = %d", prefix_.c_str(),
             ldb_Quote(std::string(b.prefix, strnlen(b.prefix, 2)).c_str()).c_str(), number);
    if (Query(&main_, sql, kReadOnly) != 0 || Eof(&main_)) return Fail("CAN'T FIND CHANNEL", &main_);
    Variant f[14];
    for (int i = 0; i < 14; ++i)
      if (main_.GetFieldValueAt(i, &f[i]) != 0) return Fail("CAN'T FIND CHANNEL", &main_);
    main_.CloseRecordset();
    int64_t type = 0;
    float lo = 0, hi = 0;
    bool typed = ToInt(f[6], &type) && type >= 0 && type <= 255;
    ToFloat(f[8], &lo);
    ToFloat(f[9], &hi);
    ldb_ChannelRecord(r, Text(f[4]), Text(f[5]), typed, static_cast<int32_t>(type), Text(f[7]), lo, hi, Text(f[10]),
                      Text(f[11]));
  }
  return 0;
}

int CLogDbStore::FillRow(CLogITDbDataAcc *acc, const LogFileHeader *h, const uint8_t *rec, uint32_t bytes) {
  TimeStamp t;
  memcpy(&t, rec + LOG_RECORD_TIME, sizeof t);
  if (acc->SetFieldValueAt(0, ado::var_Date(ldb_ToOleDate(t.seconds))) != 0) return Fail("CAN'T SET DT", acc);
  if (acc->SetFieldValueAt(1, ado::var_I4(t.ms)) != 0) return Fail("CAN'T SET MS", acc);
  if (!ldb_RecordCells(h, rec, bytes, digitalText_ != 0, states_, &cells_))
    return Fail("CAN'T SET CHANNEL", "record shorter than its blocks");
  int32_t col = 3;
  for (const LdbCell &c : cells_) {
    Variant v = c.kind == LdbCell::INT    ? ado::var_I4(c.i)
                : c.kind == LdbCell::REAL ? ado::var_R4(c.f)
                : c.kind == LdbCell::TEXT ? ado::var_Utf8(c.text)
                                          : ado::var_Null();
    if (acc->SetFieldValueAt(col, v) != 0)
      return Fail(h->sigChange && col == 3 ? "CAN'T SET LL" : h->sigChange && col == 4 ? "CAN'T SET LV" : "CAN'T SET CHANNEL",
                  acc);
    ++col;
  }
  return 0;
}

int CLogDbStore::WriteLogs(const LogFileHeader *h, const void *records, uint32_t count) {
  if (!logging_ || !h || (!records && count)) return -1;
  const uint8_t *p = static_cast<const uint8_t *>(records);
  bool retried = false;
  // One commit per call; a failure keeps the rows written before it.
  bool inTrans = log_.BeginTrans() == 0;
  for (uint32_t i = 0; i < count;) {
    const uint8_t *rec = p + uint64_t{i} * h->recordSize;
    if (log_.AddNewRecord() != 0) {
      if (inTrans) log_.CommitTrans();
      return Fail("CAN'T LOG SCAN", &log_);
    }
    if (FillRow(&log_, h, rec, h->recordSize) == 0 && log_.Update() == 0) {
      ++i;
      continue;
    }
    std::string d = log_.GetComErrorText();
    log_.CancelUpdate();
    if (inTrans) log_.CommitTrans();
    inTrans = false;
    Fail("CAN'T ADD LOG", d.c_str());
    if (retried) return -1;
    retried = true;
    log_.Disconnect();
    logging_ = 0;
    uint32_t end = 0;
    if (UseforLogging(&end) != 0) return -1;
    inTrans = log_.BeginTrans() == 0;
  }
  if (inTrans && log_.CommitTrans() != 0) return Fail("CAN'T ADD LOG", &log_);
  return 0;
}

int CLogDbStore::DecodeRow(CLogITDbDataAcc *acc, const LogFileHeader *h, uint8_t *rec, uint32_t bytes,
                           bool timesOnly) {
  if (bytes < 12) return Fail("RECORD BUFFER TOO SMALL", "");
  Variant dt, ms;
  if (acc->GetFieldValueAt(0, &dt) != 0) return Fail("CAN'T READ DATA", acc);
  int32_t seconds = 0;
  if (!ToSeconds(dt, &seconds)) return Fail("COLUMN #1 IS NOT A DATE", "");
  TimeStamp t{seconds, 0, 0};
  int64_t m = 0;
  if (acc->GetFieldValueAt(1, &ms) == 0 && ToInt(ms, &m) && m >= 0 && m < 1000) t.ms = static_cast<int16_t>(m);
  auto cell = [](void *ctx, int32_t col) {
    Variant v, d;
    LdbValue out{};
    if (static_cast<CLogITDbDataAcc *>(ctx)->GetFieldValueAt(col, &v) != 0) return out;
    out.present = true;
    out.null = IsNull(v);
    if (!out.null && ado::var_ChangeType(&d, v, ado::VT_R8) >= 0) {
      out.number = true;
      out.num = d.dblVal;
    }
    return out;
  };
  if (!ldb_DecodeRecord(h, rec, bytes, t, timesOnly, cell, acc)) return Fail("RECORD BUFFER TOO SMALL", "");
  return 0;
}

int CLogDbStore::ReadLog(int64_t index, const LogFileHeader *h, void *out, uint32_t bytes, void *a, void *b, void *c,
                         void *, void *) {
  if (!h || !out || index < 0 || index > INT32_MAX) return Fail("CAN'T MOVE FIRST DATA", "");
  const char *columns = static_cast<const char *>(a);
  int32_t count = b ? *static_cast<int32_t *>(b) : 0;
  bool desc = c && *static_cast<int *>(c);
  if (!ldb_ColumnPrefixOk(columns)) return Fail("CAN'T SELECT FROM DATA", "column prefix must be words");
  const std::string cols = columns ? columns : "";
  if (cursor_ < 0 || count > 0 || cursorCount_ != (desc ? -1 : 1) || cursorColumns_ != cols) {
    const std::string order = std::string(" from ") + prefix_ + "DATA ORDER BY DT " + (desc ? "DESC" : "ASC") +
                              ", MS " + (desc ? "DESC" : "ASC");
    int32_t rc = -1;
    if (count > 0 && top_) rc = Query(&main_, "select TOP " + std::to_string(count) + " " + cols + "*" + order, kReadOnly);
    if (rc != 0) {
      rc = Query(&main_, "select " + cols + "*" + order, kReadOnly);
      if (rc != 0) return Fail("CAN'T SELECT FROM DATA", &main_);
      if (count > 0 && top_) top_ = 0;
    }
    cursorCount_ = desc ? -1 : 1;
    cursorColumns_ = cols;
  }
  if (main_.MoveTo(static_cast<int32_t>(index)) < 0 || Eof(&main_)) {
    cursor_ = -1;
    return Fail("CAN'T MOVE FIRST DATA", &main_);
  }
  if (DecodeRow(&main_, h, static_cast<uint8_t *>(out), bytes, false) != 0) return -1;
  cursor_ = count > 0 ? -1 : static_cast<int32_t>(index);
  return 0;
}

int32_t CLogDbStore::ReadLogs(int64_t first, const LogFileHeader *h, void *out, int32_t count, void *a, void *,
                              void *) {
  return ldb_ReadLogs(this, first, h, out, count, a);
}

int32_t CLogDbStore::ReadLogsInRange(const LogFileHeader *h, const TimeStamp *from, const TimeStamp *to, void *out,
                                     int32_t count, void *a, void *b, void *, void *, void *) {
  if (!h || !out || count <= 0 || h->recordSize == 0) return 0;
  bool desc = a && *static_cast<int *>(a);
  bool timesOnly = b && *static_cast<int *>(b);
  const char *dir = desc ? "DESC" : "ASC";
  std::string cols = timesOnly ? (h->sigChange ? "DT, MS, TX, LL, LV" : "DT, MS, TX") : "*";
  auto build = [&](bool top) {
    return [&, top](int form) {
      return "SELECT " + (top ? "TOP " + std::to_string(count) + " " : std::string()) + cols + " FROM " + prefix_ +
             "DATA" + ldb_RangeCondition(form, from, to) + " ORDER BY DT " + dir + ", MS " + dir;
    };
  };
  int32_t rc = top_ ? WithForms(&main_, kReadOnly, build(true)) : -1;
  if (rc != 0) {
    rc = WithForms(&main_, kReadOnly, build(false));
    if (rc != 0) return Fail("CAN'T SELECT FROM DATA", &main_), 0;
    if (top_) top_ = 0;
  }
  int32_t n = 0;
  for (main_.MoveFirst(); n < count && !Eof(&main_); main_.MoveNext(), ++n)
    if (DecodeRow(&main_, h, static_cast<uint8_t *>(out) + uint64_t(n) * h->recordSize, h->recordSize, timesOnly) != 0)
      break;
  main_.CloseRecordset();
  return n;
}

int CLogDbStore::WriteLog(int64_t, const LogFileHeader *h, const void *buf, uint32_t bytes) {
  if (!h || !buf || bytes < 12) return Fail("CAN'T WRITE LOG", "");
  TimeStamp t;
  memcpy(&t, static_cast<const uint8_t *>(buf) + LOG_RECORD_TIME, sizeof t);
  int32_t rc = WithForms(&main_, kOptimistic, [&](int form) {
    return "SELECT * FROM " + prefix_ + "DATA WHERE DT = " + ldb_DateLiteral(form, t.seconds) +
           " AND MS=" + std::to_string(t.ms);
  });
  if (rc != 0 || Eof(&main_)) return Fail("CAN'T WRITE LOG", &main_);
  if (FillRow(&main_, h, static_cast<const uint8_t *>(buf), bytes) != 0 || main_.Update() != 0) {
    std::string d = main_.GetComErrorText();
    main_.CancelUpdate();
    return Fail("CAN'T ADD LOG", d.c_str());
  }
  main_.CloseRecordset();
  return 0;
}

int64_t CLogDbStore::GetNoLogs(const LogFileHeader *) {
  Variant v;
  int64_t n = 0;
  if (Query(&main_, "SELECT COUNT(*) FROM " + prefix_ + "DATA", kReadOnly) != 0 || Eof(&main_) ||
      main_.GetFieldValueAt(0, &v) != 0 || !ToInt(v, &n))
    return Fail("CAN'T COUNT DATA ROWS", &main_);
  main_.CloseRecordset();
  return n;
}

int64_t CLogDbStore::CountChannelRows(const LogFileHeader *h) {
  if (!h || !h->sigChange) return 0;
  Variant v;
  int64_t n = 0;
  if (Query(&main_, "SELECT COUNT(*) FROM " + prefix_ + "DATA WHERE LL >= 1", kReadOnly) != 0 || Eof(&main_) ||
      main_.GetFieldValueAt(0, &v) != 0 || !ToInt(v, &n))
    return Fail("CAN'T COUNT DATA ROWS", &main_);
  main_.CloseRecordset();
  return n;
}

int64_t CLogDbStore::CountLogsInRange(void *a, void *b, const LogFileHeader *) {
  auto *from = static_cast<const TimeStamp *>(a);
  auto *to = static_cast<const TimeStamp *>(b);
  if (WithForms(&main_, kReadOnly, [&](int form) {
        return "SELECT COUNT(*) FROM " + prefix_ + "DATA" + ldb_RangeCondition(form, from, to);
      }) != 0)
    return Fail("CAN'T COUNT DATA ROWS", &main_);
  Variant v;
  int64_t n = 0;
  if (Eof(&main_) || main_.GetFieldValueAt(0, &v) != 0 || !ToInt(v, &n)) return Fail("CAN'T COUNT DATA ROWS", &main_);
  main_.CloseRecordset();
  return n;
}

void CLogDbStore::DeleteLogsInRange(void *a, void *b) {
  auto *from = static_cast<const TimeStamp *>(a);
  auto *to = static_cast<const TimeStamp *>(b);
  if (WithForms(&main_, kOptimistic, [&](int form) {
        return "DELETE FROM " + prefix_ + "DATA" + ldb_RangeCondition(form, from, to);
      }) != 0)
    Fail("CAN'T DELETE LOGS", &main_);
}

int CLogDbStore::ReadTimed(const char *column, const char *fmt, const TimeStamp *from, const TimeStamp *to,
                           std::string *out) {
  if (WithForms(&main_, kReadOnly, [&](int form) {
        return std::string("SELECT DT, ") + column + " FROM " + prefix_ + "DATA WHERE " + column + " IS NOT NULL" +
               ldb_RangeParts(form, from, to) + " ORDER BY DT ASC";
      }) != 0)
    return Fail("CAN'T FIND TS", &main_);
  int lines = 0;
  for (main_.MoveFirst(); !Eof(&main_); main_.MoveNext()) {
    Variant dt, v;
    int32_t s = 0;
    if (main_.GetFieldValueAt(0, &dt) != 0 || !ToSeconds(dt, &s)) return Fail("CAN'T FIND TS", &main_);
    if (main_.GetFieldValueAt(1, &v) != 0) return Fail("CAN'T FIND TX", &main_);
    TmCalendar c;
    ldb_WallCalendar(s, &c);
    char line[400];
    if (fmt[0] == 's') {
      snprintf(line, sizeof line, "%02d/%02d/%02d %02d:%02d:%02d %s\r\n", c.year % 100, c.month, c.day, c.hour,
               c.minute, c.second, Text(v).c_str());
    } else {
      float f = 0;
      ToFloat(v, &f);
      snprintf(line, sizeof line, "%02d/%02d/%02d %02d:%02d:%02d %f\r\n", c.year % 100, c.month, c.day, c.hour,
               c.minute, c.second, static_cast<double>(f));
    }
    *out += line;
    ++lines;
  }
  main_.CloseRecordset();
  return lines;
}

int CLogDbStore::ReadSection(const char *section, char *out, uint32_t *capacity, void *a, void *b) {
  if (!section || !capacity) return 0;
  std::string text;
  int lines = 0;
  if (os_CompareNoCase(section, "HEADER") == 0) {
    Variant v;
    if (Query(&main_, "select sHeader" + RunWhere(), kReadOnly) != 0 || Eof(&main_) || main_.GetFieldValueAt(0, &v) != 0)
      return Fail("CAN'T FIND LOGGER NAME AND SEQ HDR", &main_);
    main_.CloseRecordset();
    text = Text(v);
    lines = log_CountLines(text.c_str());
  } else if (os_CompareNoCase(section, "TEXT") == 0 || os_CompareNoCase(section, "POSITIONS") == 0) {
    bool tx = os_CompareNoCase(section, "TEXT") == 0;
    lines = ReadTimed(tx ? "TX" : "TP", tx ? "s" : "f", static_cast<const TimeStamp *>(a),
                      static_cast<const TimeStamp *>(b), &text);
    if (lines < 0) return -1;
  } else if (os_CompareNoCase(section, "PREDEFINED") == 0) {
    if (Query(&main_, "SELECT TX FROM " + prefix_ + "TEXT WHERE TX IS NOT NULL", kReadOnly) != 0)
      return Fail("CAN'T FIND TEXT/TX", &main_);
    for (main_.MoveFirst(); !Eof(&main_); main_.MoveNext()) {
      Variant v;
      if (main_.GetFieldValueAt(0, &v) != 0) return Fail("CAN'T FIND TEXT/TX", &main_);
      std::string l = Text(v);
      if (l.empty()) continue;
      text += l + "\r\n";
      ++lines;
    }
    main_.CloseRecordset();
  } else {
    return 0;
  }
  uint32_t need = static_cast<uint32_t>(text.size() + 1);
  if (!out) {
    *capacity = need;
    return lines;
  }
  if (*capacity < need) {
    *capacity = need;
    return Fail("BUFFER TOO SMALL", "");
  }
  memcpy(out, text.c_str(), need);
  return lines;
}

int CLogDbStore::ReadSectionLines(const char *section, char **lines, uint32_t *lineCount, char *buf,
                                  uint32_t *capacity, void *a, void *b) {
  int rc = ReadSection(section, buf, capacity, a, b);
  if (!lineCount) return rc;
  if (!lines || !buf || rc < 0) {
    *lineCount = rc < 0 ? 0 : static_cast<uint32_t>(rc);
    return rc;
  }
  uint32_t max = *lineCount, n = 0;
  char *p = buf;
  while (*p && n < max) {
    lines[n++] = p;
    char *e = strstr(p, "\r\n");
    if (!e) break;
    *e = 0;
    p = e + 2;
  }
  *lineCount = n;
  return rc;
}

int CLogDbStore::WriteAt(const char *column, int32_t seconds, int ms, const Variant &value) {
  // With its milliseconds the record itself, not the first of its second.
  const std::string msTest = ms >= 0 ? " AND MS=" + std::to_string(ms) : std::string();
  if (WithForms(&main_, kOptimistic, [&](int form) {
        return std::string("SELECT ") + column + " FROM " + prefix_ + "DATA WHERE DT = " +
               ldb_DateLiteral(form, seconds) + msTest;
      }) != 0 ||
      Eof(&main_))
    return Fail("CAN'T WRITE LOG", &main_);
  const bool set = main_.SetFieldValueAt(0, value) == 0;
  if (!set && strcmp(column, "TX") == 0 && os_CompareNoCase(prod_GetProductName(), "Rimfold") == 0) {
    // That edition drops a text its record cannot take.
    main_.CancelUpdate();
    main_.CloseRecordset();
    return 0;
  }
  if (!set || main_.Update() != 0) {
    std::string d = main_.GetComErrorText();
    main_.CancelUpdate();
    return Fail("CAN'T UPDATE TEXT TABLE", d.c_str());
  }
  main_.CloseRecordset();
  if (Query(&main_, "select dTextTime" + RunWhere(), kOptimistic) != 0 || Eof(&main_) ||
      main_.SetFieldValueAt(0, ado::var_Date(ldb_ToOleDate(seconds))) != 0 || main_.Update() != 0) {
    main_.CancelUpdate();
    return Fail("CAN'T UPDATE LOGGERS TABLE", &main_);
  }
  main_.CloseRecordset();
  return 0;
}

int CLogDbStore::WriteTextOn(int32_t seconds, int ms, const char *text, const char *section) {
  if (section && *section && os_CompareNoCase(section, "TEXT") != 0) return -1;
  std::string t = text ? text : "";
  ldb_CutToColumn(&t);
  return WriteAt("TX", seconds, ms, ado::var_Utf8(t));
}

int CLogDbStore::WriteText(int32_t seconds, const char *text, const char *, const char *section) {
  return WriteTextOn(seconds, -1, text, section);
}

int CLogDbStore::WriteTextAt(TimeStamp at, const char *text, const char *, const char *section) {
  return WriteTextOn(at.seconds, at.ms, text, section);
}

int CLogDbStore::WriteTextW(int32_t seconds, const uint16_t *text, const uint16_t *, const char *section) {
  return WriteTextOn(seconds, -1, Utf8(text).c_str(), section);
}

int CLogDbStore::WriteTextAtW(TimeStamp at, const uint16_t *text, const uint16_t *, const char *section) {
  return WriteTextOn(at.seconds, at.ms, Utf8(text).c_str(), section);
}

int CLogDbStore::WritePosition(int32_t seconds, int, float value) {
  return WriteAt("TP", seconds, -1, ado::var_R4(value));
}

int CLogDbStore::WriteHeaderText(const char *text) {
  std::string t = text ? text : "";
  ldb_CutToColumn(&t);
  TimeStamp now;
  tm_Now(&now);
  if (Query(&main_, "select sHeader, dTextTime " + RunWhere(), kOptimistic) != 0 || Eof(&main_) ||
      main_.SetFieldValueAt(0, ado::var_Utf8(t)) != 0 ||
      main_.SetFieldValueAt(1, ado::var_Date(ldb_ToOleDate(now.seconds))) != 0 || main_.Update() != 0) {
    main_.CancelUpdate();
    return Fail("CAN'T UPDATE LOGGERS TABLE", &main_);
  }
  main_.CloseRecordset();
  return 0;
}

int CLogDbStore::WriteHeaderTextW(const uint16_t *text) { return WriteHeaderText(Utf8(text).c_str()); }

int CLogDbStore::WriteFormulae(const char *, int, const char *) { return -1; }
int CLogDbStore::WriteUnitCategory(const char *, const char *) { return -1; }

int CLogDbStore::GetLastModified(int32_t *seconds) {
  if (!seconds) return -1;
  Variant v;
  if (Query(&main_, "select dTextTime" + RunWhere(), kReadOnly) != 0 || Eof(&main_) || main_.GetFieldValueAt(0, &v) != 0)
    return Fail("CAN'T FIND LOGGER NAME AND SEQ HDR", &main_);
  main_.CloseRecordset();
  *seconds = 0;
  if (!IsNull(v) && !ToSeconds(v, seconds)) *seconds = 0;
  return 0;
}
