// Recordsets and commands.
#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstring>

#include "platform/ado/ado.h"

namespace ado {

static const char kClosedText[] = "Operation is not allowed when the object is closed.";
static const char kNoCurrentText[] =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current "
    "record.";

// A field's type from its declared column type; 0 when there is none (an
// expression), and the value's own storage class decides.
static FieldInfo FieldFromDecl(const char *decl) {
  FieldInfo f;
  f.vt = 0;
  if (!decl) return f;
  std::string d = decl;
  for (char &c : d) c = (char)tolower((unsigned char)c);
  auto starts = [&](const char *w) { return d.rfind(w, 0) == 0; };
  size_t paren = d.find('(');
  int size = paren == std::string::npos ? 0 : atoi(d.c_str() + paren + 1);
  if (starts("char") || starts("nchar")) { f.vt = VT_BSTR; f.fixed = true; f.size = size; }
  else if (starts("varchar") || starts("nvarchar") || starts("text")) { f.vt = VT_BSTR; f.size = size; }
  else if (starts("smallint")) f.vt = VT_I2;
  else if (starts("datetime") || starts("date") || starts("time")) f.vt = VT_DATE;
  else if (d.find("int") != std::string::npos) f.vt = VT_I4;
  else if (starts("real")) f.vt = VT_R4;
  else if (starts("float") || starts("double")) f.vt = VT_R8;
  else if (starts("bit")) f.vt = VT_BOOL;
  else f.vt = VT_BSTR;
  return f;
}

// Numbers and dates go straight into `out`; only text takes the general road.
static Variant ColumnValue(sqlite3_stmt *st, int col, const FieldInfo &f);
static void ColumnInto(sqlite3_stmt *st, int col, const FieldInfo &f, Variant *out) {
  int type = sqlite3_column_type(st, col);
  if (type == SQLITE_FLOAT && (f.vt == VT_R8 || f.vt == 0)) {
    out->vt = VT_R8;
    out->dblVal = sqlite3_column_double(st, col);
  } else if (type == SQLITE_INTEGER && f.vt == VT_I4) {
    int64_t x = sqlite3_column_int64(st, col);
    if (x < INT32_MIN || x > INT32_MAX) { *out = ColumnValue(st, col, f); return; }
    out->vt = VT_I4;
    out->lVal = (int32_t)x;
  } else if (type == SQLITE_NULL) {
    out->vt = VT_NULL;
  } else {
    *out = ColumnValue(st, col, f);
    return;
  }
  if (!out->bstr.empty()) out->bstr.clear();
  if (!out->items.empty()) out->items.clear();
}

static Variant ColumnValue(sqlite3_stmt *st, int col, const FieldInfo &f) {
  const uint16_t vt = f.vt;
  int type = sqlite3_column_type(st, col);
  if (type == SQLITE_NULL) return var_Null();
  Variant v;
  switch (vt) {
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
      if (type == SQLITE_INTEGER) {
        int64_t x = sqlite3_column_int64(st, col);
        if (vt == VT_BOOL) return var_Bool(x != 0);
        if (x >= INT32_MIN && x <= INT32_MAX) return vt == VT_I2 && x >= -32768 && x <= 32767 ? var_I2((int16_t)x) : var_I4((int32_t)x);
        return var_R8((double)x);
      }
      break;
    case VT_R4:
      if (type != SQLITE_TEXT) {
        // A number past a single's range comes back as stored, not as infinity.
        double x = sqlite3_column_double(st, col);
        return std::isfinite(x) && std::fabs(x) > 3.4028234663852886e38 ? var_R8(x) : var_R4((float)x);
      }
      break;
    case VT_R8:
      if (type != SQLITE_TEXT) return var_R8(sqlite3_column_double(st, col));
      break;
    case VT_DATE: {
      if (type == SQLITE_TEXT) {
        double d;
        if (date_FromText((const char *)sqlite3_column_text(st, col), &d)) return var_Date(d);
      } else {
        return var_Date(sqlite3_column_double(st, col));
      }
      break;
    }
    case VT_BSTR:
      break;
    default:  // an expression: the storage class decides
      if (type == SQLITE_INTEGER) {
        int64_t x = sqlite3_column_int64(st, col);
        if (x >= INT32_MIN && x <= INT32_MAX) return var_I4((int32_t)x);
        return var_R8((double)x);
      }
      if (type == SQLITE_FLOAT) return var_R8(sqlite3_column_double(st, col));
      break;
  }
  // Text (or a value the column's type cannot hold): as stored.
  const void *p = sqlite3_column_text16(st, col);
  int bytes = sqlite3_column_bytes16(st, col);
  v.vt = VT_BSTR;
  if (p) v.bstr.assign((const char16_t *)p, (size_t)bytes / 2);
  // char(n) reads back padded, however the value was written.
  if (f.fixed && f.size > 0 && v.bstr.size() < (size_t)f.size) v.bstr.resize((size_t)f.size, u' ');
  if (vt != VT_BSTR && vt != 0) {
    Variant c;
    if (var_ChangeType(&c, v, vt) >= 0) return c;
  }
  return v;
}

static HRESULT BindVariant(sqlite3_stmt *st, int pos, const Variant &v) {
  int rc;
  switch (v.vt) {
    case VT_EMPTY: case VT_NULL: rc = sqlite3_bind_null(st, pos); break;
    case VT_I2: rc = sqlite3_bind_int(st, pos, v.iVal); break;
    case VT_I4: rc = sqlite3_bind_int(st, pos, v.lVal); break;
    case VT_BOOL: rc = sqlite3_bind_int(st, pos, v.boolVal); break;
    case VT_R4: rc = sqlite3_bind_double(st, pos, v.fltVal); break;
    case VT_R8: rc = sqlite3_bind_double(st, pos, v.dblVal); break;
    case VT_DATE: {
      std::string t = date_ToText(v.date);
      if (t.empty()) return ADO_E_OVERFLOW;
      rc = sqlite3_bind_text(st, pos, t.c_str(), (int)t.size(), SQLITE_TRANSIENT);
      break;
    }
    case VT_BSTR: rc = sqlite3_bind_text16(st, pos, v.bstr.data(), (int)(v.bstr.size() * 2), SQLITE_TRANSIENT); break;
    default: return ADO_E_CONVERSION;
  }
  return rc == SQLITE_OK ? ADO_S_OK : ado_FromSqlite(rc, "");
}

// ---- Recordset --------------------------------------------------------------
Recordset::~Recordset() { Close(); }

HRESULT Recordset::Fail(HRESULT hr, const std::string &description) {
  err_.hr = hr;
  err_.source = "ADODB.Recordset";
  err_.description = description;
  return hr;
}

HRESULT Recordset::FailSqlite(int rc) {
  const char *msg = conn_ && conn_->Db() ? sqlite3_errmsg(conn_->Db()) : "";
  return Fail(ado_FromSqlite(rc, msg), msg);
}

HRESULT Recordset::Close() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (stmt_) sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  if (fetch_) sqlite3_finalize(fetch_);
  fetch_ = nullptr;
  if (change_) sqlite3_finalize(change_);
  change_ = nullptr;
  changeMode_ = 0;
  changeCols_.clear();
  fetchSql_.clear();
  rowCache_.clear();
  cachedPos_ = -2;
  open_ = streaming_ = updatable_ = false;
  fields_.clear();
  rows_.clear();
  rowids_.clear();
  pending_.clear();
  touched_.clear();
  editMode_ = 0;
  table_.clear();
  return ADO_S_OK;
}

HRESULT Recordset::ReadFields(sqlite3_stmt *st, int first) {
  firstField_ = first;
  int n = sqlite3_column_count(st);
  fields_.clear();
  for (int i = first; i < n; ++i) {
    FieldInfo f = FieldFromDecl(sqlite3_column_decltype(st, i));
    f.name = ado_ShownName(sqlite3_column_name(st, i) ? sqlite3_column_name(st, i) : "");
    const char *origin = sqlite3_column_origin_name(st, i);
    f.column = origin ? origin : f.name;
    fields_.push_back(std::move(f));
  }
  return ADO_S_OK;
}

HRESULT Recordset::ReadRow(sqlite3_stmt *st, std::vector<Variant> *row) {
  row->resize(fields_.size());
  for (size_t i = 0; i < fields_.size(); ++i) (*row)[i] = ColumnValue(st, (int)i + firstField_, fields_[i]);
  return ADO_S_OK;
}

HRESULT Recordset::Open(const std::string &source, Connection *conn, int32_t cursor, int32_t lock, int32_t options) {
  if (open_) Close();
  err_ = Error();
  if (!conn || conn->State() != adStateOpen) return Fail(ADO_E_CLOSED, kClosedText);
  conn_ = conn;
  std::string sql;
  bool isExec = false;
  if (options == adCmdTable) {
    if (source.empty() || source.find('"') != std::string::npos)
      return Fail(ADO_E_NOTABLE, "The table '" + source + "' does not exist.");
    table_ = ado_StoredName(source);
    sql = "SELECT rowid, * FROM \"" + table_ + "\"";
    fetchSql_ = sql + " WHERE rowid = ?";
  } else {
    Translation tr;
    std::string why;
    HRESULT hr = conn->Translate(source, &tr, &why);
    if (hr < 0) return Fail(hr, why);
    if (!tr.isSelect) {
      // A statement without rows runs and leaves the recordset closed.
      hr = conn->Execute(source, nullptr);
      return hr < 0 ? Fail(hr, conn->LastError().description) : ADO_S_OK;
    }
    if (!tr.databases.empty()) {
      // Rows of another file: read them all now, while it is attached.
      if (HRESULT a = conn->AttachDatabases(tr.databases); a < 0) return Fail(a, conn->LastError().description);
      sqlite3_stmt *st = nullptr;
      int rc = sqlite3_prepare_v2(conn->Db(), tr.sql.c_str(), (int)tr.sql.size(), &st, nullptr);
      HRESULT r = rc == SQLITE_OK ? Attach(conn, st, -1) : FailSqlite(rc);
      sqlite3_finalize(st);
      conn->DetachDatabases(tr.databases);
      return r;
    }
    isExec = tr.isExec;
    table_ = tr.table;
    sql = tr.sql;
    if (!table_.empty() && lock != adLockReadOnly) {
      sql = "SELECT rowid, " + sql.substr(7);
      fetchSql_ = "SELECT rowid, " + tr.columns + " FROM \"" + table_ + "\" WHERE rowid = ?";
    } else {
      table_.clear();
    }
  }
  updatable_ = !table_.empty();
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v2(conn->Db(), sql.c_str(), (int)sql.size(), &st, nullptr);
  if (rc != SQLITE_OK) {
    HRESULT hr = FailSqlite(rc);
    if (isExec) hr = Fail(ADO_E_SYNTAX, "Could not find stored procedure.");
    else if (hr == ADO_E_NOTABLE && options == adCmdTable) Fail(hr, "The table '" + source + "' does not exist.");
    table_.clear();
    return hr;
  }
  ReadFields(st, updatable_ ? 1 : 0);
  streaming_ = cursor == adOpenForwardOnly && lock == adLockReadOnly;
  if (streaming_) {
    stmt_ = st;
    rc = sqlite3_step(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      HRESULT hr = FailSqlite(rc);
      sqlite3_finalize(st);
      stmt_ = nullptr;
      return hr;
    }
    atEof_ = rc == SQLITE_DONE;
    pos_ = 0;
    open_ = true;
    return ADO_S_OK;
  }
  HRESULT hr = Attach(conn, st, -1);
  sqlite3_finalize(st);
  return hr;
}

HRESULT Recordset::Attach(Connection *conn, sqlite3_stmt *st, int rc) {
  conn_ = conn;
  if (fields_.empty() && sqlite3_column_count(st) > 0 && !updatable_) ReadFields(st, 0);
  rows_.clear();
  rowids_.clear();
  if (rc < 0) rc = sqlite3_step(st);
  while (rc == SQLITE_ROW) {
    if (updatable_) {
      rowids_.push_back(sqlite3_column_int64(st, 0));
    } else {
      rows_.emplace_back();
      ReadRow(st, &rows_.back());
    }
    rc = sqlite3_step(st);
  }
  if (rc != SQLITE_DONE) {
    HRESULT hr = FailSqlite(rc);
    sqlite3_reset(st);
    rows_.clear();
    rowids_.clear();
    fields_.clear();
    return hr;
  }
  sqlite3_reset(st);  // no read transaction stays behind
  pos_ = 0;
  open_ = true;
  return ADO_S_OK;
}

HRESULT Recordset::Current() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (editMode_ == 2) return ADO_S_OK;
  if (streaming_ ? atEof_ : (pos_ < 0 || pos_ >= RowCount())) return Fail(ADO_E_NOCURRENT, kNoCurrentText);
  return ADO_S_OK;
}

HRESULT Recordset::CurrentRow(const std::vector<Variant> **row) {
  if (HRESULT hr = Current(); hr < 0) return hr;
  if (!updatable_) {
    *row = &rows_[(size_t)pos_];
    return ADO_S_OK;
  }
  if (cachedPos_ != pos_) {
    if (!fetch_) {
      int rc = sqlite3_prepare_v2(conn_->Db(), fetchSql_.c_str(), (int)fetchSql_.size(), &fetch_, nullptr);
      if (rc != SQLITE_OK) return FailSqlite(rc);
    }
    sqlite3_bind_int64(fetch_, 1, rowids_[(size_t)pos_]);
    int rc = sqlite3_step(fetch_);
    if (rc == SQLITE_ROW) ReadRow(fetch_, &rowCache_);
    sqlite3_reset(fetch_);  // no read transaction stays behind
    if (rc == SQLITE_DONE) return Fail(ADO_E_NOCURRENT, kNoCurrentText);  // deleted meanwhile
    if (rc != SQLITE_ROW) return FailSqlite(rc);
    cachedPos_ = pos_;
  }
  *row = &rowCache_;
  return ADO_S_OK;
}

HRESULT Recordset::MoveFirst() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (editMode_ && Update() < 0) return err_.hr;
  if (streaming_) {
    if (pos_ == 0) return ADO_S_OK;
    sqlite3_reset(stmt_);
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite(rc);
    atEof_ = rc == SQLITE_DONE;
    pos_ = 0;
    return ADO_S_OK;
  }
  pos_ = 0;
  return ADO_S_OK;
}

HRESULT Recordset::MoveNext() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (editMode_ && Update() < 0) return err_.hr;
  if (streaming_) {
    if (atEof_) return Fail(ADO_E_NOCURRENT, kNoCurrentText);
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite(rc);
    atEof_ = rc == SQLITE_DONE;
    ++pos_;
    return ADO_S_OK;
  }
  if (pos_ >= RowCount()) return Fail(ADO_E_NOCURRENT, kNoCurrentText);
  ++pos_;
  return ADO_S_OK;
}

HRESULT Recordset::MovePrevious() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (streaming_) return Fail(ADO_E_FAIL, "Rowset does not support fetching backward.");
  if (editMode_ && Update() < 0) return err_.hr;
  if (pos_ < 0 || RowCount() == 0) return Fail(ADO_E_NOCURRENT, kNoCurrentText);
  --pos_;
  return ADO_S_OK;
}

HRESULT Recordset::MoveLast() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (streaming_) return Fail(ADO_E_FAIL, "Rowset does not support fetching backward.");
  if (editMode_ && Update() < 0) return err_.hr;
  pos_ = RowCount() == 0 ? 0 : RowCount() - 1;
  return ADO_S_OK;
}

HRESULT Recordset::Move(int32_t offset) {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (streaming_) {
    if (offset < 0) return Fail(ADO_E_FAIL, "Rowset does not support fetching backward.");
    for (int32_t i = 0; i < offset; ++i)
      if (MoveNext() < 0) return err_.hr;
    return ADO_S_OK;
  }
  if (editMode_ && Update() < 0) return err_.hr;
  int64_t p = pos_ + offset;
  if (p < -1 || p > RowCount()) return Fail(ADO_E_NOCURRENT, kNoCurrentText);
  pos_ = p;
  return ADO_S_OK;
}

HRESULT Recordset::GetBOF(bool *bof) {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  *bof = streaming_ ? atEof_ && pos_ == 0 : (RowCount() == 0 || pos_ < 0);
  return ADO_S_OK;
}

HRESULT Recordset::GetEOF(bool *eof) {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  *eof = streaming_ ? atEof_ : (RowCount() == 0 || pos_ >= RowCount());
  return ADO_S_OK;
}

HRESULT Recordset::GetRecordCount(int32_t *count) {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  *count = streaming_ ? -1 : (int32_t)RowCount();
  return ADO_S_OK;
}

bool Recordset::Supports(int32_t options) const {
  if (!open_ || streaming_) return false;
  if (options & (adAddNew | adDelete | adUpdate)) return updatable_;
  return true;
}

const FieldInfo *Recordset::Field(int32_t index) const {
  return index >= 0 && index < (int32_t)fields_.size() ? &fields_[(size_t)index] : nullptr;
}

int32_t Recordset::FieldIndex(const std::string &name) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (strcasecmp(fields_[i].name.c_str(), name.c_str()) == 0) return (int32_t)i;
  return -1;
}

HRESULT Recordset::GetValue(int32_t index, Variant *out) {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (index < 0 || index >= (int32_t)fields_.size())
    return Fail(ADO_E_NOFIELD, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  if (editMode_) { *out = pending_[(size_t)index]; return ADO_S_OK; }
  if (Current() < 0) return err_.hr;
  if (streaming_) {
    ColumnInto(stmt_, index + firstField_, fields_[(size_t)index], out);
    return ADO_S_OK;
  }
  const std::vector<Variant> *row = nullptr;
  if (CurrentRow(&row) < 0) return err_.hr;
  *out = (*row)[(size_t)index];
  return ADO_S_OK;
}

HRESULT Recordset::GetValue(const std::string &name, Variant *out) {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  return GetValue(FieldIndex(name), out);
}

HRESULT Recordset::Convert(int32_t index, const Variant &in, Variant *out) {
  const FieldInfo &f = fields_[(size_t)index];
  if (in.vt == VT_EMPTY || in.vt == VT_NULL || (in.vt == VT_BSTR && in.bstr.empty())) {
    *out = var_Null();  // an empty text is stored as NULL
    return ADO_S_OK;
  }
  if (f.vt == 0) { *out = in; return ADO_S_OK; }
  HRESULT hr = var_ChangeType(out, in, f.vt);
  if (hr < 0)
    return Fail(hr, hr == ADO_E_OVERFLOW ? "The value is out of range for field '" + f.name + "'."
                                         : "Data type mismatch in field '" + f.name + "'.");
  if (f.vt == VT_BSTR && f.size > 0) {
    if (out->bstr.size() > (size_t)f.size)
      return Fail(ADO_E_OVERFLOW, "The field is too small to accept the amount of data you attempted to add.");
    if (f.fixed) out->bstr.resize((size_t)f.size, u' ');
  }
  return ADO_S_OK;
}

HRESULT Recordset::PutValue(int32_t index, const Variant &v) {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (index < 0 || index >= (int32_t)fields_.size())
    return Fail(ADO_E_NOFIELD, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  if (!updatable_)
    return Fail(ADO_E_PERMISSION, "Current Recordset does not support updating. This may be a limitation of the provider, or of the selected locktype.");
  if (Current() < 0) return err_.hr;
  const uint16_t vt = fields_[(size_t)index].vt;
  if (editMode_ && v.vt == vt && (vt == VT_I2 || vt == VT_I4 || vt == VT_R4 || vt == VT_R8 || vt == VT_DATE)) {
    // A number of the field's own type needs no conversion: a logged row's
    // values go straight in.
    Variant &dst = pending_[(size_t)index];
    dst.vt = vt;
    dst.dblVal = 0;
    if (vt == VT_I2) dst.iVal = v.iVal;
    else if (vt == VT_I4) dst.lVal = v.lVal;
    else if (vt == VT_R4) dst.fltVal = v.fltVal;
    else dst.dblVal = v.dblVal;
    if (!dst.bstr.empty()) dst.bstr.clear();
    if (!dst.items.empty()) dst.items.clear();
    touched_[(size_t)index] = true;
    return ADO_S_OK;
  }
  Variant c;
  if (HRESULT hr = Convert(index, v, &c); hr < 0) return hr;
  if (editMode_ == 0) {
    const std::vector<Variant> *row = nullptr;
    if (CurrentRow(&row) < 0) return err_.hr;
    editMode_ = 1;
    pending_ = *row;
    touched_.assign(fields_.size(), false);
  }
  pending_[(size_t)index] = std::move(c);
  touched_[(size_t)index] = true;
  return ADO_S_OK;
}

HRESULT Recordset::PutValue(const std::string &name, const Variant &v) {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  return PutValue(FieldIndex(name), v);
}

HRESULT Recordset::AddNew() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (!updatable_)
    return Fail(ADO_E_PERMISSION, "Current Recordset does not support updating. This may be a limitation of the provider, or of the selected locktype.");
  if (editMode_ && Update() < 0) return err_.hr;
  editMode_ = 2;
  // Reused in place: a logger adds rows of the same fields one after another.
  pending_.resize(fields_.size());
  for (Variant &v : pending_) {
    v.vt = VT_NULL;
    if (!v.bstr.empty()) v.bstr.clear();
    if (!v.items.empty()) v.items.clear();
  }
  touched_.assign(fields_.size(), false);
  return ADO_S_OK;
}

static std::string QuoteName(const std::string &n) {
  std::string out = "\"";
  for (char c : n) { if (c == '"') out += '"'; out += c; }
  return out + "\"";
}

// Prepares the row change of the current edit over `cols` as the shared
// statement.
HRESULT Recordset::PrepareChange(const std::vector<size_t> &cols) {
  std::string sql;
  if (editMode_ == 2) {
    if (cols.empty()) {
      sql = "INSERT INTO " + QuoteName(table_) + " DEFAULT VALUES";
    } else {
      std::string names, marks;
      for (size_t k = 0; k < cols.size(); ++k) {
        names += (k ? ", " : "") + QuoteName(fields_[cols[k]].column);
        marks += k ? ", ?" : "?";
      }
      sql = "INSERT INTO " + QuoteName(table_) + " (" + names + ") VALUES (" + marks + ")";
    }
  } else {
    sql = "UPDATE " + QuoteName(table_) + " SET ";
    for (size_t k = 0; k < cols.size(); ++k) sql += (k ? ", " : "") + QuoteName(fields_[cols[k]].column) + " = ?";
    sql += " WHERE rowid = ?";
  }
  if (change_) sqlite3_finalize(change_);
  change_ = nullptr;
  changeMode_ = 0;
  changeCols_.clear();
  int rc = sqlite3_prepare_v2(conn_->Db(), sql.c_str(), (int)sql.size(), &change_, nullptr);
  if (rc != SQLITE_OK) return FailSqlite(rc);
  changeMode_ = editMode_;
  changeCols_ = cols;
  return ADO_S_OK;
}

HRESULT Recordset::Update() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (editMode_ == 0) return ADO_S_OK;
  std::vector<size_t> &cols = changeColsNext_;
  cols.clear();
  for (size_t i = 0; i < fields_.size(); ++i)
    if (touched_[i]) cols.push_back(i);
  if (editMode_ == 1 && cols.empty()) { editMode_ = 0; return ADO_S_OK; }
  // Rows changed one after another in the same columns share one statement;
  // its text is built only when the columns or the kind of change differ.
  if (!change_ || changeMode_ != editMode_ || changeCols_ != cols) {
    if (HRESULT hr = PrepareChange(cols); hr < 0) return hr;
  }
  sqlite3_stmt *st = change_;  // every marker is bound below
  for (size_t k = 0; k < cols.size(); ++k) {
    if (HRESULT hr = BindVariant(st, (int)k + 1, pending_[cols[k]]); hr < 0) {
      sqlite3_reset(st);
      return Fail(hr, "Data type mismatch in field '" + fields_[cols[k]].name + "'.");
    }
  }
  if (editMode_ == 1) sqlite3_bind_int64(st, (int)cols.size() + 1, rowids_[(size_t)pos_]);
  if (ado_BeforeStatement) ado_BeforeStatement();
  int rc = sqlite3_step(st);
  sqlite3_reset(st);
  if (rc != SQLITE_DONE) return FailSqlite(rc);
  if (editMode_ == 2) {
    rowids_.push_back(sqlite3_last_insert_rowid(conn_->Db()));
    pos_ = RowCount() - 1;
  }
  // The next read of this row comes from the file: defaults and the
  // counter's value included.
  cachedPos_ = -2;
  editMode_ = 0;
  return ADO_S_OK;
}

HRESULT Recordset::CancelUpdate() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  editMode_ = 0;
  pending_.clear();
  touched_.clear();
  return ADO_S_OK;
}

HRESULT Recordset::Delete() {
  if (!open_) return Fail(ADO_E_CLOSED, kClosedText);
  if (!updatable_)
    return Fail(ADO_E_PERMISSION, "Current Recordset does not support updating. This may be a limitation of the provider, or of the selected locktype.");
  editMode_ = 0;
  if (Current() < 0) return err_.hr;
  std::string sql = "DELETE FROM " + QuoteName(table_) + " WHERE rowid = ?";
  sqlite3_stmt *st = nullptr;
  int rc = sqlite3_prepare_v2(conn_->Db(), sql.c_str(), (int)sql.size(), &st, nullptr);
  if (rc != SQLITE_OK) return FailSqlite(rc);
  sqlite3_bind_int64(st, 1, rowids_[(size_t)pos_]);
  if (ado_BeforeStatement) ado_BeforeStatement();
  rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) return FailSqlite(rc);
  // The row goes; the position now names the row after it.
  rowids_.erase(rowids_.begin() + pos_);
  cachedPos_ = -2;
  return ADO_S_OK;
}

// ---- Command ----------------------------------------------------------------
Command::~Command() { Release(); }

void Command::Release() {
  if (stmt_) sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  positions_.clear();
  if (conn_ && !databases_.empty()) conn_->DetachDatabases(databases_);
  databases_.clear();
  copyTo_.clear();
  copyFrom_.clear();
}

HRESULT Command::Fail(HRESULT hr, const std::string &description) {
  err_.hr = hr;
  err_.source = "ADODB.Command";
  err_.description = description;
  return hr;
}

void Command::SetActiveConnection(Connection *conn) {
  if (conn == conn_) return;
  Release();
  conn_ = conn;
}

void Command::SetCommandText(const std::string &text) {
  if (text == text_) return;
  Release();
  text_ = text;
}

static uint16_t ParamVt(int32_t type) {
  switch (type) {
    case adSmallInt: return VT_I2;
    case adInteger: return VT_I4;
    case adSingle: return VT_R4;
    case adDouble: return VT_R8;
    case adDate: case adDBTimeStamp: return VT_DATE;
    case adBoolean: return VT_BOOL;
    case adChar: case adWChar: case adVarChar: case adVarWChar: return VT_BSTR;
    default: return 0;
  }
}

// Binds a parameter's value, converted to its type, at `pos`.
static HRESULT BindParameter(sqlite3_stmt *st, int pos, const Parameter &p) {
  const uint16_t vt = ParamVt(p.type);
  if (p.value.vt == vt || p.value.vt == VT_NULL || p.value.vt == VT_EMPTY)
    return p.value.vt == VT_BSTR && p.size > 0 && p.value.bstr.size() > (size_t)p.size ? ADO_E_OVERFLOW
                                                                                      : BindVariant(st, pos, p.value);
  Variant v;
  HRESULT hr = var_ChangeType(&v, p.value, vt);
  if (hr >= 0 && v.vt == VT_BSTR && p.size > 0 && v.bstr.size() > (size_t)p.size) hr = ADO_E_OVERFLOW;
  if (hr >= 0) hr = BindVariant(st, pos, v);
  return hr;
}

HRESULT Command::AppendParameter(const std::string &name, int32_t type, int32_t direction, int32_t size,
                                 const Variant &value) {
  if (!ParamVt(type)) return Fail(ADO_E_INVALIDARG, "Parameter type not supported.");
  if (direction != 1) return Fail(ADO_E_INVALIDARG, "Only input parameters are supported.");
  for (const auto &p : params_)
    if (!name.empty() && strcasecmp(p.name.c_str(), name.c_str()) == 0)
      return Fail(ADO_E_INVALIDARG, "A parameter of that name exists.");
  params_.push_back(Parameter{name, type, direction, size, value});
  positions_.clear();
  return ADO_S_OK;
}

HRESULT Command::SetParameterValue(const std::string &name, const Variant &value) {
  for (auto &p : params_)
    if (strcasecmp(p.name.c_str(), name.c_str()) == 0) { p.value = value; return ADO_S_OK; }
  return Fail(ADO_E_NOFIELD, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
}

HRESULT Command::SetParameterValue(int32_t index, const Variant &value) {
  if (index < 0 || index >= (int32_t)params_.size())
    return Fail(ADO_E_NOFIELD, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  params_[(size_t)index].value = value;
  return ADO_S_OK;
}

HRESULT Command::DeleteParameter(const std::string &name) {
  for (size_t i = 0; i < params_.size(); ++i)
    if (strcasecmp(params_[i].name.c_str(), name.c_str()) == 0) {
      params_.erase(params_.begin() + (long)i);
      positions_.clear();
      return ADO_S_OK;
    }
  return Fail(ADO_E_NOFIELD, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
}

HRESULT Command::Execute(int32_t *affected, Recordset *rs) {
  if (affected) *affected = 0;
  if (!conn_ || conn_->State() != adStateOpen) return Fail(ADO_E_CLOSED, kClosedText);
  if (!stmt_) {
    Translation tr;
    std::string why;
    HRESULT hr = conn_->Translate(text_, &tr, &why);
    if (hr < 0) return Fail(hr, why);
    if (tr.isExec) return Fail(ADO_E_SYNTAX, "Stored procedures are not run through commands here.");
    if (!tr.batch.empty()) return ExecuteBatch(tr, affected);
    if (hr = conn_->AttachDatabases(tr.databases); hr < 0) return Fail(hr, conn_->LastError().description);
    databases_ = tr.databases;
    copyTo_ = tr.copyTo;
    copyFrom_ = tr.copyFrom;
    // The copy's table must be there before its insert can be prepared.
    if (!copyTo_.empty() && (hr = conn_->CreateLike(copyTo_, copyFrom_)) < 0) {
      std::string d = conn_->LastError().description;
      Release();
      return Fail(hr, d);
    }
    hr = conn_->Prepare(tr.sql, &stmt_);
    if (hr < 0) {
      std::string d = conn_->LastError().description;
      Release();
      return Fail(hr, d);
    }
    isSelect_ = tr.isSelect;
  } else if (!copyTo_.empty()) {
    // Run again: the table made the first time is there already.
    return Fail(ADO_E_FAIL, "Table '" + copyTo_ + "' already exists.");
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  if (positions_.size() != params_.size()) {
    // Where each parameter binds: by its name, else the next plain '?'.
    positions_.clear();
    int count = sqlite3_bind_parameter_count(stmt_);
    int nextPlain = 1;
    for (const auto &p : params_) {
      int pos = 0;
      if (!p.name.empty()) {
        pos = sqlite3_bind_parameter_index(stmt_, ("@" + p.name).c_str());
        if (!pos) pos = sqlite3_bind_parameter_index(stmt_, (":" + p.name).c_str());
      }
      if (!pos) {
        while (nextPlain <= count && sqlite3_bind_parameter_name(stmt_, nextPlain)) ++nextPlain;
        if (nextPlain > count) {
          positions_.clear();
          return Fail(ADO_E_INVALIDARG, "More parameters than markers in the command text.");
        }
        pos = nextPlain++;
      }
      positions_.push_back(pos);
    }
  }
  for (size_t k = 0; k < params_.size(); ++k)
    if (HRESULT hr = BindParameter(stmt_, positions_[k], params_[k]); hr < 0)
      return Fail(hr, "Parameter '" + params_[k].name + "' has a value of the wrong type or size.");
  if (ado_BeforeStatement && !isSelect_) ado_BeforeStatement();
  int rc = sqlite3_step(stmt_);
  if (isSelect_) {
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      HRESULT hr = ado_FromSqlite(rc, sqlite3_errmsg(conn_->Db()));
      Fail(hr, sqlite3_errmsg(conn_->Db()));
      sqlite3_reset(stmt_);
      return hr;
    }
    if (!rs) { sqlite3_reset(stmt_); return ADO_S_OK; }
    if (rs->IsOpen()) rs->Close();
    HRESULT hr = rs->Attach(conn_, stmt_, rc);
    if (hr < 0) return Fail(hr, rs->LastError().description);
    return ADO_S_OK;
  }
  while (rc == SQLITE_ROW) rc = sqlite3_step(stmt_);
  if (rc != SQLITE_DONE) {
    const char *msg = sqlite3_errmsg(conn_->Db());
    HRESULT hr = Fail(ado_FromSqlite(rc, msg), msg);
    sqlite3_reset(stmt_);
    return hr;
  }
  if (affected) *affected = sqlite3_changes(conn_->Db());
  sqlite3_reset(stmt_);
  return ADO_S_OK;
}

// A batch is prepared part by part on every run: plain '?' marks take the
// parameters in order across the parts, named ones bind by name.
HRESULT Command::ExecuteBatch(const Translation &tr, int32_t *affected) {
  size_t nextPlain = 0;
  for (const Translation &part : tr.batch) {
    HRESULT hr = conn_->AttachDatabases(part.databases);
    if (hr < 0) return Fail(hr, conn_->LastError().description);
    sqlite3_stmt *st = nullptr;
    if (!part.copyTo.empty()) hr = conn_->CreateLike(part.copyTo, part.copyFrom);
    if (hr >= 0) hr = conn_->Prepare(part.sql, &st);
    std::string why = hr < 0 ? conn_->LastError().description : "";
    const int count = st ? sqlite3_bind_parameter_count(st) : 0;
    for (int pos = 1; hr >= 0 && pos <= count; ++pos) {
      const char *name = sqlite3_bind_parameter_name(st, pos);
      const Parameter *p = nullptr;
      if (name && (name[0] == '@' || name[0] == ':')) {
        for (const auto &q : params_)
          if (strcasecmp(q.name.c_str(), name + 1) == 0) p = &q;
      } else {
        // Plain marks skip the named parameters.
        while (nextPlain < params_.size() && !params_[nextPlain].name.empty() &&
               sqlite3_bind_parameter_index(st, ("@" + params_[nextPlain].name).c_str()))
          ++nextPlain;
        if (nextPlain < params_.size()) p = &params_[nextPlain++];
      }
      if (!p) { hr = ADO_E_INVALIDARG; why = "More markers than parameters in the command text."; break; }
      if ((hr = BindParameter(st, pos, *p)) < 0) why = "Parameter '" + p->name + "' has a value of the wrong type or size.";
    }
    if (hr >= 0) {
      if (ado_BeforeStatement && !part.isSelect) ado_BeforeStatement();
      int rc;
      while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      }
      if (rc != SQLITE_DONE) {
        why = sqlite3_errmsg(conn_->Db());
        hr = ado_FromSqlite(rc, why.c_str());
      } else if (affected && !part.isSelect) {
        *affected += sqlite3_changes(conn_->Db());
      }
    }
    sqlite3_finalize(st);
    conn_->DetachDatabases(part.databases);
    if (hr < 0) return Fail(hr, why);
  }
  return ADO_S_OK;
}

}  // namespace ado
