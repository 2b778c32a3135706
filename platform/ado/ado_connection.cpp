// Connections: the connection string, the file and statements run directly.
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/os_env.h"
#include "platform/os_path.h"

namespace ado {

void (*ado_BeforeStatement)() = nullptr;

static std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

static bool Exists(const std::string &path, bool dir) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  return dir ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// A server or catalog name that is one plain file-name component.
static bool PlainName(const std::string &s) {
  if (s.empty() || s.size() > 128 || s == "." || s == "..") return false;
  for (unsigned char c : s)
    if (!(isalnum(c) || c == '_' || c == '-' || c == '.' || c == ' ' || c == '$')) return false;
  return true;
}

using Pair = ConnPair;

bool ado_SplitConnStr(const std::string &cs, std::vector<ConnPair> *out) {
  size_t i = 0;
  while (i < cs.size()) {
    size_t eq = cs.find('=', i);
    if (eq == std::string::npos) return Trim(cs.substr(i)).empty();
    Pair p;
    p.key = Trim(cs.substr(i, eq - i));
    p.keyStart = cs.find_first_not_of(" \t", i);
    p.keyEnd = p.keyStart + p.key.size();
    size_t v = eq + 1;
    while (v < cs.size() && cs[v] == ' ') ++v;
    size_t next;
    if (v < cs.size() && (cs[v] == '"' || cs[v] == '\'')) {
      size_t close = cs.find(cs[v], v + 1);
      if (close == std::string::npos) return false;
      p.value = cs.substr(v + 1, close - v - 1);
      p.valueStart = v;
      next = cs.find(';', close);
      p.valueEnd = next == std::string::npos ? cs.size() : next;
      // Only blanks may follow the closing quote.
      if (!Trim(cs.substr(close + 1, p.valueEnd - close - 1)).empty()) return false;
    } else {
      next = cs.find(';', v);
      p.value = Trim(cs.substr(v, next == std::string::npos ? std::string::npos : next - v));
      p.valueStart = v;
      p.valueEnd = next == std::string::npos ? cs.size() : next;
    }
    out->push_back(std::move(p));
    if (next == std::string::npos) break;
    i = next + 1;
  }
  return true;
}

static bool SplitPairs(const std::string &cs, std::vector<Pair> *out) { return ado_SplitConnStr(cs, out); }

static bool IsPasswordKey(const std::string &k) {
  return strcasecmp(k.c_str(), "Password") == 0 || strcasecmp(k.c_str(), "Pwd") == 0 ||
         strcasecmp(k.c_str(), "Jet OLEDB:Database Password") == 0;
}

std::string ado_MaskPassword(const std::string &cs) {
  std::vector<Pair> pairs;
  bool ok = SplitPairs(cs, &pairs);
  std::string out;
  size_t at = 0;
  for (const Pair &p : pairs) {
    if (!IsPasswordKey(p.key)) continue;
    out.append(cs, at, p.valueStart - at);
    out += "*****";
    at = p.valueEnd;
  }
  if (!ok) {
    // The malformed pair may hold a password: nothing after its '=' is shown.
    size_t start = pairs.empty() ? 0 : pairs.back().valueEnd;
    size_t eq = cs.find('=', start);
    if (eq != std::string::npos && eq + 1 >= at) return out + cs.substr(at, eq + 1 - at) + "*****";
  }
  return out + cs.substr(at);
}

HRESULT ado_ParseConnStr(const std::string &cs, ConnInfo *out, std::string *why) {
  *out = ConnInfo();
  if (cs.size() > ADO_MAX_CONNSTR) { *why = "Connection string too long."; return ADO_E_INVALIDARG; }
  std::vector<Pair> pairs;
  if (!SplitPairs(cs, &pairs)) {
    *why = "The connection string is malformed.";
    return ADO_E_INVALIDARG;
  }
  std::string server, catalog, dataSource;
  for (const Pair &p : pairs) {
    const char *k = p.key.c_str();
    if (strcasecmp(k, "Provider") == 0) out->provider = p.value;
    else if (strcasecmp(k, "Data Source") == 0) dataSource = p.value;
    else if (strcasecmp(k, "Server") == 0) server = p.value;
    else if (strcasecmp(k, "Initial Catalog") == 0 || strcasecmp(k, "Database") == 0) catalog = p.value;
  }
  const std::string &prov = out->provider;
  if (strncasecmp(prov.c_str(), "Microsoft.Jet.OLEDB.", 20) == 0 && prov.size() > 20) {
    out->profile = PROFILE_JET;
    out->dataSource = dataSource;
    if (dataSource.empty()) { *why = "Could not find file ''."; return ADO_E_FAIL; }
    char path[4096];
    if (os_TranslatePath(dataSource.c_str(), path, sizeof path) != 0) {
      *why = "Not a valid file name: '" + dataSource + "'.";
      return ADO_E_FAIL;
    }
    out->path = path;
    return ADO_S_OK;
  }
  if (strcasecmp(prov.c_str(), "SQLOLEDB") == 0 || strcasecmp(prov.c_str(), "SQLOLEDB.1") == 0) {
    out->profile = PROFILE_SQLSERVER;
    if (server.empty()) server = dataSource;
    out->dataSource = server;
    out->catalog = catalog.empty() ? "master" : catalog;
    const char *host = os_ComputerName();
    if (strcasecmp(server.c_str(), "(local)") == 0 || server == "." || strcasecmp(server.c_str(), "localhost") == 0 ||
        server == "127.0.0.1" || (host && strcasecmp(server.c_str(), host) == 0))
      server = ".";
    if (!PlainName(server) && server != ".") {
      *why = "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";
      return ADO_E_FAIL;
    }
    if (!PlainName(out->catalog)) {
      *why = "Cannot open database \"" + out->catalog + "\" requested by the login. The login failed.";
      return ADO_E_FAIL;
    }
    out->path = std::string(os_Root()) + "/hosts/" + server + "/sqlserver/" + out->catalog + ".db";
    return ADO_S_OK;
  }
  *why = "Provider cannot be found. It may not be properly installed.";
  return ADO_E_PROVIDER;
}

// What each file connection keeps beside its handle: its busy time-out, which
// the log's bounding checkpoint borrows.
struct FileCtx {
  int timeoutMs;
};

// The log may grow past this many pages only while readers hold it.
constexpr int kWalCheckpointPages = 1000;
constexpr int kWalTruncatePages = 4096;  // 16 MiB of 4 KiB pages
constexpr int kWalTruncateWaitMs = 2000;

// After each commit: a passive checkpoint as SQLite's own, and past the limit
// one that waits a bounded time for the readers and truncates the log, so
// that a steady stream of short readers cannot make it grow for ever.
static int WalHook(void *arg, sqlite3 *db, const char *name, int pages) {
  if (pages < kWalCheckpointPages) return SQLITE_OK;
  if (pages < kWalTruncatePages) {
    sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
  }
  const FileCtx *ctx = (const FileCtx *)arg;
  int wait = ctx && ctx->timeoutMs < kWalTruncateWaitMs ? ctx->timeoutMs : kWalTruncateWaitMs;
  sqlite3_busy_timeout(db, wait);
  sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_busy_timeout(db, ctx ? ctx->timeoutMs : 0);
  return SQLITE_OK;
}

static FileCtx *CtxOf(sqlite3 *db) {
  void *p = sqlite3_wal_hook(db, WalHook, nullptr);
  sqlite3_wal_hook(db, WalHook, p);
  return (FileCtx *)p;
}

void ado_SetFileTimeout(sqlite3 *db, int32_t seconds) {
  int ms = seconds > 0 ? seconds * 1000 : 0;
  if (FileCtx *ctx = CtxOf(db)) ctx->timeoutMs = ms;
  sqlite3_busy_timeout(db, ms);
}

void ado_CloseFile(sqlite3 *db) {
  if (!db) return;
  delete (FileCtx *)sqlite3_wal_hook(db, nullptr, nullptr);
  sqlite3_close_v2(db);  // statements still open finish the close
}

HRESULT ado_OpenFile(const std::string &path, bool create, int32_t timeoutSeconds, sqlite3 **db, std::string *why) {
  *db = nullptr;
  if (create && Exists(path, false)) { *why = "Database already exists."; return ADO_E_FAIL; }
  if (!create && !Exists(path, false)) { *why = "Could not find file '" + path + "'."; return ADO_E_FAIL; }
  sqlite3 *h = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &h, flags, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(h, 1);
    sqlite3_wal_hook(h, WalHook, new FileCtx{0});
    ado_SetFileTimeout(h, timeoutSeconds);
    rc = sqlite3_exec(h, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    HRESULT hr = ado_FromSqlite(rc, h ? sqlite3_errmsg(h) : "");
    if ((rc & 0xff) == SQLITE_NOTADB) {
      *why = "Unrecognized database format '" + path + "'.";
      hr = ADO_E_FAIL;
    } else {
      *why = h ? sqlite3_errmsg(h) : "out of memory";
    }
    ado_CloseFile(h);
    return hr;
  }
  *db = h;
  return ADO_S_OK;
}

HRESULT ado_CreateFile(const std::string &path, std::string *why) {
  sqlite3 *db = nullptr;
  HRESULT hr = ado_OpenFile(path, true, 0, &db, why);
  if (hr < 0) return hr;
  // Write the header now: an empty file would not show what it is.
  int rc = sqlite3_exec(db, "PRAGMA user_version=0; CREATE TABLE t(x); DROP TABLE t;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) *why = sqlite3_errmsg(db);
  ado_CloseFile(db);
  return rc == SQLITE_OK ? ADO_S_OK : ado_FromSqlite(rc, why->c_str());
}

// ---- Connection -------------------------------------------------------------
Connection::~Connection() { Close(); }

HRESULT Connection::Fail(HRESULT hr, const std::string &description) {
  err_.hr = hr;
  err_.source = info_.profile == PROFILE_SQLSERVER ? "SQL Server" : info_.profile == PROFILE_JET ? "Jet" : "ADO";
  err_.description = description;
  return hr;
}

HRESULT Connection::FailSqlite(int rc) {
  const char *msg = db_ ? sqlite3_errmsg(db_) : "";
  return Fail(ado_FromSqlite(rc, msg), msg);
}

HRESULT Connection::Open(const std::string &connStr) {
  if (db_) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is open.");
  std::string why;
  HRESULT hr = ado_ParseConnStr(connStr, &info_, &why);
  if (hr < 0) return Fail(hr, why);
  if (info_.profile == PROFILE_SQLSERVER) {
    std::string folder = info_.path.substr(0, info_.path.rfind('/'));
    if (!Exists(folder, true))
      return Fail(ADO_E_FAIL, "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.");
    if (!Exists(info_.path, false))
      return Fail(ADO_E_FAIL, "Cannot open database \"" + info_.catalog + "\" requested by the login. The login failed.");
  } else if (!Exists(info_.path, false)) {
    return Fail(ADO_E_FAIL, "Could not find file '" + info_.dataSource + "'.");
  }
  hr = ado_OpenFile(info_.path, false, timeout_, &db_, &why);
  if (hr < 0) {
    if (why.rfind("Unrecognized", 0) == 0) why = "Unrecognized database format '" + info_.dataSource + "'.";
    return Fail(hr, why);
  }
  connStr_ = connStr;
  return ADO_S_OK;
}

HRESULT Connection::SetDefaultDatabase(const std::string &name) {
  if (!db_) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  if (info_.profile != PROFILE_SQLSERVER) return Fail(ADO_E_INVALIDARG, "The provider has no default database.");
  if (name == info_.catalog) return ADO_S_OK;
  Connection other;
  std::string cs = "Provider=" + info_.provider + ";Data Source=" + info_.dataSource + ";Initial Catalog=" + name;
  if (HRESULT hr = other.Open(cs); hr < 0) return Fail(hr, other.LastError().description);
  Close();
  std::swap(db_, other.db_);
  info_ = other.info_;
  connStr_ = cs;
  ado_SetFileTimeout(db_, timeout_);
  return ADO_S_OK;
}

HRESULT Connection::Translate(const std::string &text, Translation *tr, std::string *why) const {
  return ado_Translate(info_.profile, text, tr, why, &info_);
}

HRESULT Connection::Close() {
  if (!db_) return ADO_S_OK;
  attached_.clear();
  ado_CloseFile(db_);
  db_ = nullptr;
  return ADO_S_OK;
}

void Connection::SetCommandTimeout(int32_t seconds) {
  timeout_ = seconds;
  if (db_) ado_SetFileTimeout(db_, seconds);
}

HRESULT Connection::Prepare(const std::string &sql, sqlite3_stmt **stmt) {
  *stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), (int)sql.size(), stmt, nullptr);
  if (rc != SQLITE_OK) return FailSqlite(rc);
  if (!*stmt) return Fail(ADO_E_SYNTAX, "Empty statement");
  return ADO_S_OK;
}

HRESULT Connection::AttachDatabases(const std::vector<std::string> &paths) {
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string alias = ado_DatabaseAlias(paths[i]);
    bool known = false;
    for (auto &a : attached_)
      if (a.first == alias) { ++a.second; known = true; }
    if (known) continue;
    char path[4096];
    HRESULT hr = ADO_S_OK;
    bool found;
    if (!paths[i].empty() && paths[i][0] == '\x01') {
      // Another catalog or file named by a connection string.
      ConnInfo ci;
      std::string why;
      found = ado_ParseConnStr(paths[i].substr(1), &ci, &why) >= 0 && ci.path.size() < sizeof path &&
              Exists(ci.path, false);
      if (found) snprintf(path, sizeof path, "%s", ci.path.c_str());
      if (!found) hr = Fail(ADO_E_FAIL, "Cannot open database named by '" + ado_MaskPassword(paths[i].substr(1)) + "'.");
    } else {
      found = os_TranslatePath(paths[i].c_str(), path, sizeof path) == 0 && Exists(path, false);
      if (!found) hr = Fail(ADO_E_FAIL, "Could not find file '" + paths[i] + "'.");
    }
    if (found) {
      sqlite3_stmt *st = nullptr;
      std::string sql = "ATTACH DATABASE ?1 AS \"" + alias + "\"";
      hr = Prepare(sql, &st);
      if (hr >= 0) {
        sqlite3_bind_text(st, 1, path, -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(st);
        if (rc != SQLITE_DONE) hr = FailSqlite(rc);
        sqlite3_finalize(st);
      }
    }
    if (hr < 0) {
      DetachDatabases(std::vector<std::string>(paths.begin(), paths.begin() + (long)i));
      return hr;
    }
    attached_.push_back({alias, 1});
  }
  return ADO_S_OK;
}

void Connection::DetachDatabases(const std::vector<std::string> &paths) {
  for (const auto &p : paths) {
    const std::string alias = ado_DatabaseAlias(p);
    for (size_t k = 0; k < attached_.size(); ++k) {
      if (attached_[k].first != alias || --attached_[k].second > 0) continue;
      if (db_) sqlite3_exec(db_, ("DETACH DATABASE \"" + alias + "\"").c_str(), nullptr, nullptr, nullptr);
      attached_.erase(attached_.begin() + (long)k);
      break;
    }
  }
}

HRESULT Connection::CreateLike(const std::string &to, const std::string &from) {
  // from is NAME, "NAME" or "alias".NAME.
  std::string schema = "main", name = from;
  if (from.rfind("\"in_", 0) == 0) {
    size_t dot = from.find("\".");
    schema = from.substr(1, dot - 1);
    name = from.substr(dot + 2);
  }
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  sqlite3_stmt *st = nullptr;
  HRESULT hr = Prepare("SELECT sql FROM \"" + schema + "\".sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE", &st);
  if (hr < 0) return hr;
  sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  int rc = sqlite3_step(st);
  std::string sql = rc == SQLITE_ROW && sqlite3_column_text(st, 0) ? (const char *)sqlite3_column_text(st, 0) : "";
  sqlite3_finalize(st);
  size_t paren = sql.find('(');
  if (paren == std::string::npos) return Fail(ADO_E_NOTABLE, "The table '" + name + "' does not exist.");
  std::string create = "CREATE TABLE " + to + " " + sql.substr(paren);
  rc = sqlite3_exec(db_, create.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = sqlite3_errmsg(db_);
    if (msg.find("already exists") != std::string::npos) return Fail(ADO_E_FAIL, "Table '" + to + "' already exists.");
    return FailSqlite(rc);
  }
  return ADO_S_OK;
}

HRESULT Connection::Execute(const std::string &text, int32_t *affected) {
  if (affected) *affected = 0;
  if (!db_) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  Translation tr;
  std::string why;
  HRESULT hr = Translate(text, &tr, &why);
  if (hr < 0) return Fail(hr, why);
  return ExecuteTranslated(tr, affected);
}

HRESULT Connection::ExecuteTranslated(const Translation &tr, int32_t *affected) {
  if (affected) *affected = 0;
  if (!db_) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  if (!tr.batch.empty()) {
    // As a server runs a batch: statement by statement, the first failure ends it.
    for (const Translation &part : tr.batch) {
      int32_t n = 0;
      if (HRESULT hr = ExecuteTranslated(part, &n); hr < 0) return hr;
      if (affected) *affected += n;
    }
    return ADO_S_OK;
  }
  HRESULT hr;
  if (hr = AttachDatabases(tr.databases); hr < 0) return hr;
  // The copy's table and its rows come together or not at all.
  const bool copy = !tr.copyTo.empty();
  if (copy) {
    sqlite3_exec(db_, "SAVEPOINT ado_copy", nullptr, nullptr, nullptr);
    hr = CreateLike(tr.copyTo, tr.copyFrom);
  }
  sqlite3_stmt *st = nullptr;
  if (hr >= 0) {
    hr = Prepare(tr.sql, &st);
    if (hr < 0 && tr.isExec) hr = Fail(ADO_E_SYNTAX, "Could not find stored procedure.");
  }
  // A canned reply whose first column is "error" is a procedure that failed
  // with the text of its first row.
  if (hr >= 0 && tr.isExec && sqlite3_column_count(st) > 0 && strcasecmp(sqlite3_column_name(st, 0), "error") == 0 &&
      sqlite3_step(st) == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) {
    hr = Fail(ADO_E_FAIL, reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
  } else if (tr.isExec && st) {
    sqlite3_reset(st);
  }
  if (hr >= 0) {
    if (ado_BeforeStatement && !tr.isSelect) ado_BeforeStatement();
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) hr = FailSqlite(rc);
    else if (affected && !tr.isSelect) *affected = sqlite3_changes(db_);
  }
  sqlite3_finalize(st);
  if (copy) {
    if (hr < 0) sqlite3_exec(db_, "ROLLBACK TO ado_copy", nullptr, nullptr, nullptr);
    sqlite3_exec(db_, "RELEASE ado_copy", nullptr, nullptr, nullptr);
  }
  DetachDatabases(tr.databases);
  return hr < 0 ? hr : ADO_S_OK;
}

HRESULT Connection::BeginTrans() {
  if (!db_) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  // Take the write lock now: a read turned into a write later would be
  // refused at once under WAL when another writer went first.
  int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? ADO_S_OK : FailSqlite(rc);
}

HRESULT Connection::CommitTrans() {
  if (!db_) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? ADO_S_OK : FailSqlite(rc);
}

HRESULT Connection::RollbackTrans() {
  if (!db_) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  int rc = sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? ADO_S_OK : FailSqlite(rc);
}

}  // namespace ado
