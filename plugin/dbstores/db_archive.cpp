#include "plugin/dbstores/db_archive.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "plugin/dbstores/db_data_acc.h"
#include "platform/os_codepage.h"

using namespace ado;

// ---- connection strings ------------------------------------------------------
static std::string ValueOf(const std::string &cs, const char *key, const char *other) {
  std::vector<ConnPair> pairs;
  ado_SplitConnStr(cs, &pairs);  // a malformed tail is ignored: the pairs before it count
  for (const char *k : {key, other})
    for (const ConnPair &p : pairs)
      if (os_CompareNoCase(p.key.c_str(), k) == 0) return p.value;
  return std::string();
}

std::string DataSourceOf(const std::string &cs) { return ValueOf(cs, "Data Source", "Server"); }
std::string CatalogOf(const std::string &cs) { return ValueOf(cs, "Initial Catalog", "Database"); }

std::string arc_RewriteKeys(const std::string &cs) {
  std::vector<ConnPair> pairs;
  ado_SplitConnStr(cs, &pairs);
  std::string out;
  size_t at = 0;
  for (const ConnPair &p : pairs) {
    const char *to = os_CompareNoCase(p.key.c_str(), "User ID") == 0 ? "uid"
                     : os_CompareNoCase(p.key.c_str(), "Password") == 0 ? "pwd" : nullptr;
    if (!to) continue;
    out.append(cs, at, p.keyStart - at);
    out += to;
    at = p.keyEnd;
  }
  return out + cs.substr(at);
}

bool arc_IsJet(const std::string &cs) {
  const std::string prov = ValueOf(cs, "Provider", "Provider");
  return os_CompareNoCaseN(prov.c_str(), "Microsoft.Jet.OLEDB.", 20) == 0;
}

std::string arc_Bracket(const std::string &name) {
  if (name.empty()) return std::string();
  std::string out = "[";
  for (char ch : name) {
    if ((unsigned char)ch < 0x20 || ch == 0x7f) return std::string();
    out += ch;
    if (ch == ']') out += ']';
  }
  return out + "]";
}

// A text literal: quotes doubled.
static std::string Literal(const std::string &s) {
  std::string out = "'";
  for (char ch : s) {
    out += ch;
    if (ch == '\'') out += '\'';
  }
  return out + "'";
}

// ---- failures ----------------------------------------------------------------
static int32_t Traced(const Error &e) {
  dbacc_TraceCom(e, "NONE");
  return ARC_E_FAIL;
}

static bool ValidCutoff(double d) { return std::isfinite(d) && d >= -657434.0 && d < 2958466.0; }

// ---- statements ----------------------------------------------------------------
namespace {

// One command of a dialect operation: its connection (borrowed, or opened
// on a connection string of its own) and the parameters of one statement.
class Stmt {
 public:
  explicit Stmt(Connection *borrowed) : conn_(borrowed) {}
  HRESULT OpenOwn(const std::string &cs) {
    own_ = std::make_unique<Connection>();
    HRESULT hr = own_->Open(cs);
    if (hr < 0) { err_ = own_->LastError(); return hr; }
    conn_ = own_.get();
    return ADO_S_OK;
  }
  Connection *Conn() { return conn_; }
  void Timeout(int32_t s) { conn_->SetCommandTimeout(s); }
  // Runs `text` with the values (I4, a date as VT_R8, or text) bound to its
  // '?' marks in order.
  HRESULT Run(const std::string &text, const std::vector<Variant> &values, Recordset *rs = nullptr) {
    Command cmd;
    cmd.SetActiveConnection(conn_);
    cmd.SetCommandText(text);
    for (size_t k = 0; k < values.size(); ++k) {
      const Variant &v = values[k];
      // An OLE date travels as VT_R8 in an adDate parameter.
      const int32_t type = v.vt == VT_I4 ? adInteger : v.vt == VT_R8 || v.vt == VT_DATE ? adDate
                           : v.vt == VT_I2 ? adSmallInt : v.vt == VT_BOOL ? adBoolean : v.vt == VT_R4 ? adSingle
                           : adVarWChar;
      cmd.AppendParameter("Param" + std::to_string(k + 1), type, 1, type == adInteger ? 4 : type == adDate ? 8 : 0, v);
    }
    HRESULT hr = cmd.Execute(nullptr, rs);
    if (hr < 0) err_ = cmd.LastError();
    return hr;
  }
  const Error &LastError() const { return err_; }

 private:
  Connection *conn_;
  std::unique_ptr<Connection> own_;
  Error err_;
};

// The archive-side names and row sources of one dialect.
struct Names {
  bool jet;
  std::string prefix;   // SQL Server: [db].dbo.
  bool same = false;    // SQL Server: live and archive strings are one text
  std::string inFile;   // Jet: IN 'path'
  std::string rowsetProv, rowsetCs, rowsetDb;

  std::string Arc(const std::string &t) const { return prefix + arc_Bracket(t + "_Arc"); }
  // A live table as the archive side reaches it.
  std::string Live(const std::string &t) const {
    if (jet) return arc_Bracket(t) + " IN " + inFile;
    if (same) return arc_Bracket(t);
    return "OPENROWSET (" + Literal(rowsetProv) + ", " + Literal(rowsetCs) + ", " +
           (rowsetDb.empty() ? "" : arc_Bracket(rowsetDb) + ".dbo.") + arc_Bracket(t) + ")";
  }
};

HRESULT MakeNames(Connection *src, bool jet, const std::string &srcCs, const std::string &arcCs,
                  const std::string &dbName, Names *n, Error *err) {
  n->jet = jet;
  if (jet) {
    const std::string ds = DataSourceOf(srcCs);
    if (ds.empty()) {
      *err = Error{ADO_E_FAIL, "Archive", "The live connection string names no data source."};
      return ADO_E_FAIL;
    }
    n->inFile = Literal(ds);
    return ADO_S_OK;
  }
  if (!dbName.empty()) {
    const std::string b = arc_Bracket(dbName);
    if (b.empty()) {
      *err = Error{ADO_E_INVALIDARG, "Archive", "Invalid database name."};
      return ADO_E_INVALIDARG;
    }
    n->prefix = b + ".dbo.";
  }
  n->same = srcCs == arcCs;
  if (!n->same) {
    if (!src || src->State() != adStateOpen) {
      *err = Error{ADO_E_CLOSED, "ADODB.Connection", "Operation is not allowed when the object is closed."};
      return ADO_E_CLOSED;
    }
    n->rowsetProv = src->Provider();
    n->rowsetCs = srcCs;
    n->rowsetDb = src->DefaultDatabase();
  }
  return ADO_S_OK;
}

// The command of an archive-side operation: the live connection itself when
// the archive is reached through it, else one of its own.
HRESULT ArchiveSide(Stmt *st, const Names &n, const std::string &arcCs) {
  if (!n.jet && n.same) return ADO_S_OK;
  return st->OpenOwn(arcCs);
}

}  // namespace

static int32_t EnsureArchiveTable(Connection *src, Catalog *catalog, bool jet, const std::string &table,
                                  const std::string &srcCs, const std::string &arcCs, const std::string &dbName) {
  if (arc_Bracket(table).empty()) return Traced(Error{ADO_E_INVALIDARG, "Archive", "Invalid table name."});
  Table found;
  HRESULT hr = catalog ? catalog->GetTable(table + "_Arc", &found) : ADO_E_POINTER;
  if (hr >= 0) return 0;
  // The usual way to learn that the table is missing: traced like any failure.
  Traced(catalog ? catalog->LastError() : Error{ADO_E_POINTER, "ADOX.Catalog", ""});
  Names n;
  Error err;
  if (MakeNames(src, jet, srcCs, arcCs, dbName, &n, &err) < 0) return Traced(err);
  Stmt st(src);
  if (ArchiveSide(&st, n, arcCs) < 0) return Traced(st.LastError());
  if (st.Run("SELECT * INTO " + n.Arc(table) + " FROM " + n.Live(table) + " WHERE 1=0", {}) < 0)
    return Traced(st.LastError());
  return 0;
}

int32_t JetEnsureArchiveTable(Catalog *catalog, const std::string &table, const std::string &srcCs,
                              const std::string &arcCs) {
  return EnsureArchiveTable(nullptr, catalog, true, table, srcCs, arcCs, "");
}

int32_t SqlEnsureArchiveTable(Connection *src, Catalog *catalog, const std::string &table, const std::string &srcCs,
                              const std::string &arcCs, const std::string &dbName) {
  return EnsureArchiveTable(src, catalog, false, table, srcCs, arcCs, dbName);
}

// The text of a value as stored (dates as their text).
static std::string StoredText(const Variant &v) {
  if (v.vt == VT_DATE) return date_ToText(v.date);
  return var_ToUtf8(v);
}

// The newest archived TS of a run, read on the archive side.
static HRESULT NewestArchived(Stmt *st, const Names &n, const std::string &table, int32_t id, ArcRunState *state) {
  Recordset rs;
  HRESULT hr = st->Run("SELECT MAX(TS) AS M FROM " + n.Arc(table) + " WHERE LoggerID = ?", {var_I4(id)}, &rs);
  if (hr < 0) return hr;
  Variant v;
  bool eof = true;
  rs.GetEOF(&eof);
  if (!eof && rs.GetValue(0, &v) >= 0 && v.vt != VT_NULL && v.vt != VT_EMPTY) {
    state->haveRows = true;
    state->lastTs = StoredText(v);
  } else {
    state->haveRows = false;
    state->lastTs.clear();
  }
  return ADO_S_OK;
}

// Copies the configuration `cfg`, its tags and the servers they name.
static HRESULT ArchiveConfig(Stmt *st, const Names &n, int32_t cfg) {
  const std::string cfgCols = " (IDLoggerConfig, sName, sDescription) SELECT * FROM ";
  HRESULT hr = st->Run("INSERT INTO " + n.Arc("SavedLoggerConfig") + cfgCols + n.Live("SavedLoggerConfig") +
                           " WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM " + n.Arc("SavedLoggerConfig") +
                           " WHERE IDLoggerConfig = ?)",
                       {var_I4(cfg), var_I4(cfg)});
  if (hr < 0) return hr;
  hr = st->Run("INSERT INTO " + n.Arc("SavedLoggerTags") + " SELECT * FROM " + n.Live("SavedLoggerTags") +
                   " WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM " + n.Arc("SavedLoggerTags") +
                   " WHERE IDLoggerConfig = ?)",
               {var_I4(cfg), var_I4(cfg)});
  if (hr < 0) return hr;
  return st->Run("INSERT INTO " + n.Arc("SavedOPCServers") + " (IDOPCServer, sOPCNode, sOPCServer) SELECT * FROM " +
                     n.Live("SavedOPCServers") + " WHERE IDOPCServer IN (SELECT DISTINCT IDOPCServer FROM " +
                     n.Arc("SavedLoggerTags") + " WHERE IDLoggerConfig = ?) AND IDOPCServer NOT IN (SELECT IDOPCServer FROM " +
                     n.Arc("SavedOPCServers") + ")",
                 {var_I4(cfg)});
}

static int32_t ArchiveRun(Connection *src, bool jet, int32_t id, int32_t cfg, const std::string &table,
                          const std::string &srcCs, const std::string &arcCs, const std::string &dbName,
                          double cutoff, ArcRunState *state) {
  ArcRunState local;
  if (!state) state = &local;
  *state = ArcRunState();
  if (arc_Bracket(table).empty()) return Traced(Error{ADO_E_INVALIDARG, "Archive", "Invalid table name."});
  if (!ValidCutoff(cutoff)) return Traced(Error{ADO_E_INVALIDARG, "Archive", "The cut-off is no date."});
  Names n;
  Error err;
  if (MakeNames(src, jet, srcCs, arcCs, dbName, &n, &err) < 0) return Traced(err);
  Stmt st(src), live(src);
  if (ArchiveSide(&st, n, arcCs) < 0) return Traced(st.LastError());
  if (jet) st.Timeout(300);
  // The run row first: read it once; the archive gets these values (an
  // older copy there is refreshed) and the live row may go only if they are
  // final. Written before any data row, it also tells whether the archive
  // can hold data rows of the run at all.
  Recordset rs;
  if (live.Run("SELECT dStopTime, bCompleted, nStopReason FROM Loggers WHERE IDLogger = ?", {var_I4(id)}, &rs) < 0)
    return Traced(live.LastError());
  bool eof = true;
  Variant stop, done, reason;
  if (rs.GetEOF(&eof) < 0 || (!eof && (rs.GetValue(0, &stop) < 0 || rs.GetValue(1, &done) < 0 ||
                                       rs.GetValue(2, &reason) < 0)))
    return Traced(rs.LastError());
  rs.Close();
  bool known = true;  // the archive may hold data rows of the run
  if (!eof) {
    Recordset arcRow;
    if (st.Run("SELECT IDLogger FROM " + n.Arc("Loggers") + " WHERE IDLogger = ?", {var_I4(id)}, &arcRow) < 0)
      return Traced(st.LastError());
    if (arcRow.GetEOF(&known) < 0) return Traced(arcRow.LastError());
    known = !known;
    arcRow.Close();
    Variant doneI4;
    const bool finished = var_ChangeType(&doneI4, done, VT_I4) >= 0 && doneI4.lVal != 0 && stop.vt != VT_NULL;
    if (known && st.Run("UPDATE " + n.Arc("Loggers") + " SET dStopTime = ?, bCompleted = ?, nStopReason = ? WHERE IDLogger = ?",
                        {stop.vt == VT_NULL ? var_Null() : var_Utf8(StoredText(stop)), done, reason, var_I4(id)}) < 0)
      return Traced(st.LastError());
    if (st.Run("INSERT INTO " + n.Arc("Loggers") +
                   " (IDLogger, IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, "
                   "sMainTableName, nLogRate, nParameters) SELECT * FROM " + n.Live("Loggers") +
                   " WHERE IDLogger = ? AND IDLogger NOT IN (SELECT DISTINCT IDLogger FROM " + n.Arc("Loggers") + ")",
               {var_I4(id)}) < 0)
      return Traced(st.LastError());
    state->finished = finished;
  }
  // Data rows: only those after the newest one the archive holds, so that a
  // run archived again with a later cut-off gets the rows in between; and
  // only up to the newest one there is now, which is what may be deleted.
  ArcRunState before;
  if (known && NewestArchived(&st, n, table, id, &before) < 0) return Traced(st.LastError());
  std::string range = " WHERE LoggerID = ? AND TS < ?";
  std::vector<Variant> values = {var_I4(id), var_R8(cutoff)};
  if (before.haveRows) {
    range += " AND TS > ?";
    values.push_back(var_Utf8(before.lastTs));
  }
  Recordset newest;
  if (live.Run("SELECT MAX(TS) AS M FROM " + arc_Bracket(table) + range, values, &newest) < 0)
    return Traced(live.LastError());
  Variant last;
  bool none = true;
  if (newest.GetEOF(&none) < 0 || (!none && newest.GetValue(0, &last) < 0)) return Traced(newest.LastError());
  newest.Close();
  *state = ArcRunState{before.haveRows, before.lastTs, state->finished};
  if (!none && last.vt != VT_NULL && last.vt != VT_EMPTY) {
    values.push_back(var_Utf8(StoredText(last)));
    if (st.Run("INSERT INTO " + n.Arc(table) + " SELECT * FROM " + n.Live(table) + range + " AND TS <= ?", values) < 0)
      return Traced(st.LastError());
    state->haveRows = true;
    state->lastTs = StoredText(last);
  }
  if (ArchiveConfig(&st, n, cfg) < 0) return Traced(st.LastError());
  return 0;
}

int32_t JetArchiveRun(Connection *src, int32_t id, int32_t cfg, const std::string &table, const std::string &srcCs,
                      const std::string &arcCs, const std::string &dbName, double cutoff, ArcRunState *state) {
  return ArchiveRun(src, true, id, cfg, table, srcCs, arcCs, dbName, cutoff, state);
}

int32_t SqlArchiveRun(Connection *src, int32_t id, int32_t cfg, const std::string &table, const std::string &srcCs,
                      const std::string &arcCs, const std::string &dbName, double cutoff, ArcRunState *state) {
  return ArchiveRun(src, false, id, cfg, table, srcCs, arcCs, dbName, cutoff, state);
}

static int32_t DeleteRun(Connection *src, int32_t id, const std::string &table, double cutoff,
                         const ArcRunState *state) {
  const std::string t = arc_Bracket(table);
  if (t.empty()) return Traced(Error{ADO_E_INVALIDARG, "Archive", "Invalid table name."});
  if (!ValidCutoff(cutoff)) return Traced(Error{ADO_E_INVALIDARG, "Archive", "The cut-off is no date."});
  Stmt st(src);
  if (!src || src->State() != adStateOpen)
    return Traced(Error{ADO_E_CLOSED, "ADODB.Connection", "Operation is not allowed when the object is closed."});
  st.Timeout(300);
  if (!state || state->haveRows) {
    std::string del = "DELETE FROM " + t + " WHERE LoggerID = ? AND TS < ?";
    std::vector<Variant> values = {var_I4(id), var_R8(cutoff)};
    if (state) {
      del += " AND TS <= ?";
      values.push_back(var_Utf8(state->lastTs));
    }
    if (st.Run(del, values) < 0) return Traced(st.LastError());
  }
  if (!state || state->finished) {
    if (st.Run("DELETE FROM Loggers WHERE IDLogger = ? AND bCompleted <> 0 AND NOT EXISTS (SELECT * FROM " + t +
                   " WHERE LoggerID = ?) AND dStopTime < ?",
               {var_I4(id), var_I4(id), var_R8(cutoff)}) < 0)
      return Traced(st.LastError());
  }
  return 0;
}

int32_t JetDeleteRun(Connection *src, int32_t id, const std::string &table, double cutoff, const ArcRunState *state) {
  return DeleteRun(src, id, table, cutoff, state);
}

int32_t SqlDeleteRun(Connection *src, int32_t id, const std::string &table, double cutoff, const ArcRunState *state) {
  return DeleteRun(src, id, table, cutoff, state);
}

static int32_t DeleteOrphans(Connection *src, bool batch) {
  if (!src || src->State() != adStateOpen)
    return Traced(Error{ADO_E_CLOSED, "ADODB.Connection", "Operation is not allowed when the object is closed."});
  Stmt st(src);
  st.Timeout(300);
  const char *kSteps[] = {
      "DELETE FROM SavedLoggerConfig WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM Loggers)",
      "DELETE FROM SavedLoggerTags WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM SavedLoggerConfig)",
      "DELETE FROM SavedOPCServers WHERE IDOPCServer NOT IN (SELECT DISTINCT IDOPCServer FROM SavedLoggerTags)",
  };
  if (batch) {
    std::string all;
    for (const char *s : kSteps) all += (all.empty() ? "" : " ") + std::string(s);
    return st.Run(all, {}) < 0 ? Traced(st.LastError()) : 0;
  }
  for (const char *s : kSteps)
    if (st.Run(s, {}) < 0) return Traced(st.LastError());
  return 0;
}

int32_t JetDeleteOrphans(Connection *src) { return DeleteOrphans(src, false); }
int32_t SqlDeleteOrphans(Connection *src) { return DeleteOrphans(src, true); }

int32_t arc_ArchiveOrphans(Connection *src, bool jet, const std::string &srcCs, const std::string &arcCs,
                           const std::string &dbName) {
  Names n;
  Error err;
  if (MakeNames(src, jet, srcCs, arcCs, dbName, &n, &err) < 0) return Traced(err);
  Stmt live(src), st(src);
  std::vector<int32_t> ids;
  {
    Recordset rs;
    if (live.Run("SELECT IDLoggerConfig FROM SavedLoggerConfig WHERE IDLoggerConfig NOT IN (SELECT DISTINCT "
                 "IDLoggerConfig FROM Loggers)",
                 {}, &rs) < 0)
      return Traced(live.LastError());
    for (;;) {
      bool eof = true;
      if (rs.GetEOF(&eof) < 0) return Traced(rs.LastError());
      if (eof) break;
      Variant v, i4;
      if (rs.GetValue(0, &v) < 0) return Traced(rs.LastError());
      if (var_ChangeType(&i4, v, VT_I4) >= 0) ids.push_back(i4.lVal);
      if (rs.MoveNext() < 0) return Traced(rs.LastError());
    }
  }
  if (ArchiveSide(&st, n, arcCs) < 0) return Traced(st.LastError());
  for (int32_t id : ids)
    if (ArchiveConfig(&st, n, id) < 0) return Traced(st.LastError());
  // Servers no tag names.
  if (st.Run("INSERT INTO " + n.Arc("SavedOPCServers") + " (IDOPCServer, sOPCNode, sOPCServer) SELECT * FROM " +
                 n.Live("SavedOPCServers") + " WHERE IDOPCServer NOT IN (SELECT IDOPCServer FROM " + n.Arc("SavedOPCServers") +
                 ")",
             {}) < 0)
    return Traced(st.LastError());
  return 0;
}

// ---- the job -------------------------------------------------------------------
int32_t CLogITDbDataAcc::Archive(const char16_t *logger, int32_t, int32_t, const char16_t *source,
                                 const char16_t *archive, const char16_t *database, int32_t copy, double cutoff) {
  auto narrow = [](const char16_t *w) { return w ? ado_Narrow(std::u16string(w)) : std::string(); };
  const std::string srcCs = arc_RewriteKeys(narrow(source)), arcCs = arc_RewriteKeys(narrow(archive));
  const std::string dbName = narrow(database);
  const std::u16string name = logger ? std::u16string(logger) : std::u16string();
  if (!ValidCutoff(cutoff)) return Record(Error{ADO_E_INVALIDARG, "Archive", "The cut-off is no date."}, ARC_E_FAIL);
  Connection src;
  if (src.Open(srcCs) < 0) return Record(src.LastError(), ARC_E_FAIL);
  const bool jet = arc_IsJet(arcCs);
  Catalog catalog;
  if (copy > 0) {
    if (catalog.Create(arcCs) < 0 && catalog.SetActiveConnection(arcCs) < 0)
      return Record(catalog.LastError(), ARC_E_FAIL);
    Connection *ac = catalog.ActiveConnection();
    if (!ac) return Record(Error{ADO_E_POINTER, "ADOX.Catalog", ""}, ARC_E_FAIL);
    if (!jet && !dbName.empty() && ac->DefaultDatabase() != dbName && ac->SetDefaultDatabase(dbName) < 0 &&
        catalog.SetActiveConnection(arcCs) < 0)
      return Record(catalog.LastError(), ARC_E_FAIL);
    for (const char *t : {"Loggers", "SavedLoggerConfig", "SavedLoggerTags", "SavedOPCServers"}) {
      int32_t rc = jet ? JetEnsureArchiveTable(&catalog, t, srcCs, arcCs)
                       : SqlEnsureArchiveTable(&src, &catalog, t, srcCs, arcCs, dbName);
      if (rc < 0) return rc;
    }
  }
  Command cmd;
  cmd.SetActiveConnection(&src);
  cmd.SetCommandText("SELECT IDLogger, IDLoggerConfig, sMainTableName FROM   Loggers WHERE  (dStartTime < ?) AND (sLogName = ?)");
  cmd.AppendParameter("Param1", adDate, 1, 8, var_R8(cutoff));
  cmd.AppendParameter("Param2", adVarWChar, 1, 50, var_Str(name));
  Recordset rs;
  if (cmd.Execute(nullptr, &rs) < 0) return Record(cmd.LastError(), ARC_E_FAIL);
  struct Run {
    std::string table;
    ArcRunState state;
  };
  std::map<int32_t, Run> runs;
  bool any = false;
  for (;;) {
    bool eof = true;
    if (rs.GetEOF(&eof) < 0) return Record(rs.LastError(), ARC_E_FAIL);
    if (eof) break;
    any = true;
    Variant vid, vcfg, vtab, id, cfg;
    if (rs.GetValue("IDLogger", &vid) < 0 || rs.GetValue("IDLoggerConfig", &vcfg) < 0 ||
        rs.GetValue("sMainTableName", &vtab) < 0)
      return Record(rs.LastError(), ARC_E_FAIL);
    const bool ids = var_ChangeType(&id, vid, VT_I4) >= 0 && var_ChangeType(&cfg, vcfg, VT_I4) >= 0;
    std::string table = vtab.vt == VT_BSTR ? ado_Narrow(vtab.bstr) : std::string();
    while (!table.empty() && table.back() == ' ') table.pop_back();  // char(n) padding
    if (!ids || id.lVal == 0 || cfg.lVal == 0 || table.empty()) {
      if (!ids) dbacc_TraceLine("Archive: run skipped, its IDLogger or IDLoggerConfig is no number");
    } else if (arc_Bracket(table).empty()) {
      dbacc_TraceLine("Archive: run " + std::to_string(id.lVal) + " skipped, its table name holds a control character");
    } else {
      Run r{table, ArcRunState()};
      if (copy > 0) {
        if (jet) JetEnsureArchiveTable(&catalog, table, srcCs, arcCs);
        else SqlEnsureArchiveTable(&src, &catalog, table, srcCs, arcCs, dbName);
        int32_t rc = jet ? JetArchiveRun(&src, id.lVal, cfg.lVal, table, srcCs, arcCs, dbName, cutoff, &r.state)
                         : SqlArchiveRun(&src, id.lVal, cfg.lVal, table, srcCs, arcCs, dbName, cutoff, &r.state);
        if (rc < 0) return ARC_E_FAIL;
      }
      runs[id.lVal] = r;
    }
    if (rs.MoveNext() < 0) return Record(rs.LastError(), ARC_E_FAIL);
  }
  rs.Close();
  if (!any) return 0;
  for (const auto &e : runs) {
    const ArcRunState *state = copy > 0 ? &e.second.state : nullptr;
    if (jet) JetDeleteRun(&src, e.first, e.second.table, cutoff, state);
    else SqlDeleteRun(&src, e.first, e.second.table, cutoff, state);
  }
  // Configurations go only once the archive holds them.
  if (copy > 0 && arc_ArchiveOrphans(&src, jet, srcCs, arcCs, dbName) < 0) return 0;
  if (jet) JetDeleteOrphans(&src);
  else SqlDeleteOrphans(&src);
  return 0;
}

// ---- table operations -------------------------------------------------------------
int32_t ExecuteCountAffected(Connection *conn, const std::string &text) {
  if (!conn) return -1;
  int32_t n = 0;
  if (conn->Execute(text, &n) < 0) {
    Traced(conn->LastError());
    return -1;
  }
  return n;
}

int32_t QueryHasRows(Connection *conn, const std::string &text) {
  if (!conn) return -1;
  Recordset rs;
  if (rs.Open(text, conn, adOpenStatic, adLockReadOnly, adCmdText) < 0) {
    Traced(rs.LastError());
    return -1;
  }
  int32_t count = -1;
  if (rs.GetRecordCount(&count) < 0) {
    Traced(rs.LastError());
    return -1;
  }
  if (count == -1) {
    bool eof = true;
    if (rs.GetEOF(&eof) < 0) {
      Traced(rs.LastError());
      return -1;
    }
    count = eof ? 0 : 1;
  }
  return count;
}

// A table with a counter column takes explicit keys only with IDENTITY_INSERT,
// which only SQL Server has.
static bool HasIdentity(Connection *conn, const std::string &table) {
  if (!conn || conn->GetProfile() != PROFILE_SQLSERVER) return false;
  Catalog cat;
  Table t;
  if (cat.SetActiveConnection(conn->ConnectionString()) < 0 || cat.GetTable(table, &t) < 0) return false;
  for (const Column &c : t.columns)
    if (c.autoIncrement) return true;
  return false;
}

int32_t CopyRowsWhere(Connection *conn, const std::string &src, const std::string &dst, const std::string &db,
                      const std::string &cond, int32_t throughTemp, const std::string &key, const std::string &cols) {
  const std::string in = db.empty() ? "" : " IN " + Literal(db);
  const bool exists = QueryHasRows(conn, "SELECT NULL FROM " + dst + in + " ;") >= 0;
  if (!throughTemp) {
    if (exists) return ExecuteCountAffected(conn, "INSERT INTO " + dst + in + " SELECT * FROM " + src + " WHERE " + cond + " ;");
    return ExecuteCountAffected(conn, "SELECT * INTO " + dst + in + " FROM " + src + " WHERE " + cond + " ;");
  }
  const std::string tmp = dst + "_Tmp";
  ExecuteCountAffected(conn, "DROP TABLE " + tmp + ";");
  int32_t n;
  if (exists)
    n = ExecuteCountAffected(conn, "SELECT DISTINCT * INTO " + tmp + " FROM " + src + " WHERE ( " + cond + " AND (" + key +
                                       " NOT IN (SELECT " + key + " FROM " + dst + in + " )) ) ;");
  else
    n = ExecuteCountAffected(conn, "SELECT DISTINCT * INTO " + tmp + " FROM " + src + " WHERE " + cond + " ;");
  int32_t result = 0;
  if (n > 0) {
    std::string transfer;
    if (!exists) transfer = "SELECT * INTO " + dst + in + " FROM " + tmp + " ;";
    else if (!db.empty()) transfer = "INSERT INTO " + dst + " (" + cols + ")" + in + " SELECT * FROM " + tmp + " ;";
    else transfer = "INSERT INTO " + dst + " (" + cols + ") SELECT * FROM " + tmp + " ;";
    if (exists && db.empty() && HasIdentity(conn, dst)) {
      const std::string prefix = "Set IDENTITY_INSERT " + dst + " ";
      result = ExecuteCountAffected(conn, prefix + "On;" + transfer + prefix + "Off;");
    } else {
      result = ExecuteCountAffected(conn, transfer);
    }
  }
  ExecuteCountAffected(conn, "DROP TABLE " + tmp + ";");
  return result;
}

int32_t ReplaceTableCopy(Connection *conn, const std::string &src, const std::string &dst, const std::string &db) {
  if (!conn) return -1;
  // Copy first, under a new name; the old table goes only once the copy is
  // there, and in the destination's own file.
  const std::string fresh = dst + "_Rpl";
  const std::string in = db.empty() ? "" : " IN " + Literal(db);
  Connection other;
  Connection *dest = conn;
  if (!db.empty()) {
    if (other.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + db) < 0) {
      Traced(other.LastError());
      return -1;
    }
    dest = &other;
  }
  ExecuteCountAffected(dest, "DROP TABLE " + fresh + ";");
  const int32_t n = ExecuteCountAffected(conn, "SELECT * INTO " + fresh + in + " FROM " + src + " ;");
  if (n < 0) return -1;
  if (dest->BeginTrans() < 0) {
    Traced(dest->LastError());
    return -1;
  }
  ExecuteCountAffected(dest, "DROP TABLE " + dst + ";");
  if (ExecuteCountAffected(dest, "SELECT * INTO " + dst + " FROM " + fresh + " ;") < 0 ||
      ExecuteCountAffected(dest, "DROP TABLE " + fresh + ";") < 0) {
    dest->RollbackTrans();
    ExecuteCountAffected(dest, "DROP TABLE " + fresh + ";");
    return -1;
  }
  if (dest->CommitTrans() < 0) {
    Traced(dest->LastError());
    dest->RollbackTrans();
    return -1;
  }
  return n;
}

int32_t DeleteRowsWhere(Connection *conn, const std::string &table, const std::string &cond) {
  return ExecuteCountAffected(conn, "DELETE FROM " + table + " WHERE " + cond + " ;");
}
