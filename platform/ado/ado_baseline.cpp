// The hand-written SQLite loops the layer is measured against.
#include <sqlite3.h>

#include <vector>

#include "platform/ado/ado.h"

namespace ado {

// Steps through a statement's rows, adding every value (a text by its
// length) to *sum and counting the rows; SQLITE_OK when all were read.
static int SumRows(sqlite3_stmt *st, double *sum, int64_t *n) {
  const int cols = sqlite3_column_count(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    for (int c = 0; c < cols; ++c) {
      if (sqlite3_column_type(st, c) == SQLITE_TEXT) *sum += (double)sqlite3_column_bytes(st, c);
      else *sum += sqlite3_column_double(st, c);
    }
    ++*n;
  }
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

HRESULT ado_BaselineInsert(const std::string &path, const std::string &insertSql, int rows, int cols,
                           int perTransaction, BaselineRow row, std::string *why) {
  sqlite3 *db = nullptr;
  HRESULT hr = ado_OpenFile(path, false, 300, &db, why);
  if (hr < 0) return hr;
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v2(db, insertSql.c_str(), -1, &st, nullptr);
  std::vector<double> values((size_t)cols);
  std::string date;
  for (int r = 0; rc == SQLITE_OK && r < rows; ++r) {
    if (r % perTransaction == 0) rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    row(r, values.data(), cols, &date);
    for (int c = 0; rc == SQLITE_OK && c < cols; ++c) rc = sqlite3_bind_double(st, c + 1, values[(size_t)c]);
    if (rc == SQLITE_OK) rc = sqlite3_bind_text(st, cols + 1, date.c_str(), (int)date.size(), SQLITE_TRANSIENT);
    if (rc == SQLITE_OK) rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    sqlite3_reset(st);
    if (rc == SQLITE_OK && (r % perTransaction == perTransaction - 1 || r == rows - 1))
      rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) *why = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  ado_CloseFile(db);
  return rc == SQLITE_OK ? ADO_S_OK : ado_FromSqlite(rc, why->c_str());
}

HRESULT ado_BaselineRead(const std::string &path, const std::string &selectSql, double *checksum, int64_t *rows,
                         std::string *why) {
  sqlite3 *db = nullptr;
  HRESULT hr = ado_OpenFile(path, false, 300, &db, why);
  if (hr < 0) return hr;
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v2(db, selectSql.c_str(), -1, &st, nullptr);
  double sum = 0;
  int64_t n = 0;
  if (rc == SQLITE_OK) {
    rc = SumRows(st, &sum, &n);
  }
  if (rc != SQLITE_OK) *why = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  ado_CloseFile(db);
  *checksum = sum;
  *rows = n;
  return rc == SQLITE_OK ? ADO_S_OK : ado_FromSqlite(rc, why->c_str());
}

HRESULT ado_BaselinePages(const std::string &path, const std::string &table, const std::string &selectSql, int page,
                          double *checksum, int64_t *rows, std::string *why) {
  sqlite3 *db = nullptr;
  HRESULT hr = ado_OpenFile(path, false, 300, &db, why);
  if (hr < 0) return hr;
  sqlite3_stmt *st = nullptr;
  int64_t count = 0, n = 0;
  double sum = 0;
  int rc = sqlite3_prepare_v2(db, ("SELECT COUNT(*) FROM " + table).c_str(), -1, &st, nullptr);
  if (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
    count = sqlite3_column_int64(st, 0);
    rc = SQLITE_OK;
  }
  sqlite3_finalize(st);
  st = nullptr;
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, selectSql.c_str(), -1, &st, nullptr);
  for (int64_t at = 0; rc == SQLITE_OK && at < count; at += page) {
    sqlite3_bind_int64(st, 1, at);
    rc = SumRows(st, &sum, &n);
    sqlite3_reset(st);
  }
  if (rc != SQLITE_OK) *why = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  ado_CloseFile(db);
  *checksum = sum;
  *rows = n;
  return rc == SQLITE_OK ? ADO_S_OK : ado_FromSqlite(rc, why->c_str());
}

}  // namespace ado

namespace ado {

HRESULT ado_PrepareInMemory(const std::string &sql, bool *single, std::string *why) {
  *single = true;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(db);
    *why = "out of memory";
    return ADO_E_FAIL;
  }
  int rc = sqlite3_exec(db, "CREATE TABLE T (a int, b float, c char(8) COLLATE RTRIM, k integer, s varchar(10), "
                            "DT datetime, MS integer, TX varchar(255), TP float)",
                        nullptr, nullptr, nullptr);
  sqlite3_stmt *st = nullptr;
  const char *tail = nullptr;
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, sql.c_str(), (int)sql.size(), &st, &tail);
  if (rc == SQLITE_OK && tail) {
    while (*tail == ' ' || *tail == '\t' || *tail == '\n' || *tail == '\r') ++tail;
    *single = *tail == '\0';
  }
  HRESULT hr = rc == SQLITE_OK ? ADO_S_OK : ado_FromSqlite(rc, sqlite3_errmsg(db));
  if (rc != SQLITE_OK) *why = sqlite3_errmsg(db);
  sqlite3_finalize(st);
  sqlite3_close_v2(db);
  return hr;
}

HRESULT ado_BaselineMoveRuns(const std::string &livePath, const std::string &archivePath, const std::string &table,
                             const std::vector<int32_t> &runs, double cutoff, std::string *why) {
  sqlite3 *db = nullptr;
  HRESULT hr = ado_OpenFile(livePath, false, 300, &db, why);
  if (hr < 0) return hr;
  sqlite3_stmt *attach = nullptr;
  int rc = sqlite3_prepare_v2(db, "ATTACH DATABASE ?1 AS arc", -1, &attach, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(attach, 1, archivePath.c_str(), -1, SQLITE_TRANSIENT);
    rc = sqlite3_step(attach) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
  }
  sqlite3_finalize(attach);
  const std::string ts = date_ToText(cutoff);
  const std::string steps[] = {
      "INSERT INTO arc.\"" + table + "_Arc\" SELECT * FROM \"" + table + "\" WHERE LoggerID = ?1 AND TS < ?2",
      "INSERT INTO arc.Loggers_Arc SELECT * FROM Loggers WHERE IDLogger = ?1 AND ?2 IS NOT NULL",
      "DELETE FROM \"" + table + "\" WHERE LoggerID = ?1 AND TS < ?2",
      "DELETE FROM Loggers WHERE IDLogger = ?1 AND ?2 IS NOT NULL",
  };
  for (int32_t run : runs) {
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    for (const std::string &sql : steps) {
      if (rc != SQLITE_OK) break;
      sqlite3_stmt *st = nullptr;
      rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
      if (rc == SQLITE_OK) {
        sqlite3_bind_int(st, 1, run);
        sqlite3_bind_text(st, 2, ts.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
      }
      sqlite3_finalize(st);
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) *why = sqlite3_errmsg(db);
  ado_CloseFile(db);
  return rc == SQLITE_OK ? ADO_S_OK : ado_FromSqlite(rc, why->c_str());
}

}  // namespace ado
