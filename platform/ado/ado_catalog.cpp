// The catalog: files, tables and columns.
#include <sqlite3.h>
#include <strings.h>

#include "platform/ado/ado.h"

namespace ado {

constexpr int32_t adLongVarWChar = 203;

std::string ado_ColumnTypeText(Profile, int32_t type, int32_t size) {
  switch (type) {
    case adSmallInt: return "smallint";
    case adInteger: return "integer";
    case adSingle: return "real";
    case adDouble: return "float";
    case adDate: return "date";
    case adDBTimeStamp: return "datetime";
    case adBoolean: return "bit";
    case adChar: case adWChar: return size > 0 ? "char(" + std::to_string(size) + ")" : "";
    case adVarChar: case adVarWChar: return size > 0 ? "varchar(" + std::to_string(size) + ")" : "";
    case adLongVarWChar: return "text";
    default: return "";
  }
}

static std::string Bracket(const std::string &name) { return "[" + name + "]"; }

static bool NameOk(const std::string &n) {
  return !n.empty() && n.size() <= 128 && n.find_first_of("[]\"") == std::string::npos;
}

// ---- Table --------------------------------------------------------------------
HRESULT Table::Fail(HRESULT hr, const std::string &description) {
  err_.hr = hr;
  err_.source = "ADOX.Table";
  err_.description = description;
  return hr;
}

HRESULT Table::AppendColumn(const std::string &column, int32_t type, int32_t size) {
  if (!NameOk(column)) return Fail(ADO_E_INVALIDARG, "Invalid column name.");
  for (const auto &c : columns)
    if (strcasecmp(c.name.c_str(), column.c_str()) == 0)
      return Fail(ADO_E_INVALIDARG, "Object '" + column + "' is already in the collection. Cannot append.");
  if (size < 0 || size > 8000) return Fail(ADO_E_INVALIDARG, "Invalid defined size.");
  if (conn_) {
    std::string typeText = ado_ColumnTypeText(conn_->GetProfile(), type, size);
    if (typeText.empty()) return Fail(ADO_E_INVALIDARG, "Type is invalid.");
    HRESULT hr = conn_->Execute("ALTER TABLE " + Bracket(name) + " ADD COLUMN " + Bracket(column) + " " + typeText, nullptr);
    if (hr < 0) return Fail(hr, conn_->LastError().description);
  }
  Column c;
  c.name = column;
  c.type = type;
  c.size = size;
  columns.push_back(c);
  return ADO_S_OK;
}

HRESULT Table::SetColumnProperty(const std::string &column, const std::string &property, const Variant &value) {
  Column *col = nullptr;
  for (auto &c : columns)
    if (strcasecmp(c.name.c_str(), column.c_str()) == 0) col = &c;
  if (!col) return Fail(ADO_E_NOFIELD, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  bool *target = strcasecmp(property.c_str(), "AutoIncrement") == 0 ? &col->autoIncrement
                 : strcasecmp(property.c_str(), "Nullable") == 0 ? &col->nullable
                                                                  : nullptr;
  if (!target) return Fail(ADO_E_NOFIELD, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  if (conn_) return Fail((HRESULT)0x800A0CB3, "Object or provider is not capable of performing requested operation.");
  Variant b;
  if (HRESULT hr = var_ChangeType(&b, value, VT_BOOL); hr < 0) return Fail(hr, "Property value is not a yes/no value.");
  *target = b.boolVal != 0;
  return ADO_S_OK;
}

// ---- Catalog ------------------------------------------------------------------
HRESULT Catalog::Fail(HRESULT hr, const std::string &description) {
  err_.hr = hr;
  err_.source = "ADOX.Catalog";
  err_.description = description;
  return hr;
}

HRESULT Catalog::FailFrom(const Connection &c) {
  err_ = c.LastError();
  return err_.hr;
}

HRESULT Catalog::Create(const std::string &connStr) {
  ConnInfo info;
  std::string why;
  HRESULT hr = ado_ParseConnStr(connStr, &info, &why);
  if (hr < 0) return Fail(hr, why);
  if (info.profile != PROFILE_JET)
    return Fail((HRESULT)0x800A0CB3, "Object or provider is not capable of performing requested operation.");
  hr = ado_CreateFile(info.path, &why);
  if (hr < 0) {
    if (why == "Database already exists.") why = "Database already exists.";
    return Fail(hr, why);
  }
  return SetActiveConnection(connStr);
}

HRESULT Catalog::SetActiveConnection(const std::string &connStr) {
  conn_.Close();
  HRESULT hr = conn_.Open(connStr);
  return hr < 0 ? FailFrom(conn_) : ADO_S_OK;
}

HRESULT Catalog::TableCount(int32_t *count) {
  *count = 0;
  if (!conn_.Db()) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  sqlite3_stmt *st = nullptr;
  // Canned replies of the SQL Server profile are no tables of the database.
  HRESULT hr = conn_.Prepare(
      "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
      "AND name NOT LIKE 'exec.%'",
      &st);
  if (hr < 0) return FailFrom(conn_);
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) *count = sqlite3_column_int(st, 0);
  sqlite3_finalize(st);
  return rc == SQLITE_ROW ? ADO_S_OK : Fail(ado_FromSqlite(rc, ""), "Reading the tables failed.");
}

static int32_t TypeFromDecl(const char *decl, int32_t *size) {
  std::string d = decl ? decl : "";
  for (char &c : d) c = (char)tolower((unsigned char)c);
  size_t paren = d.find('(');
  *size = paren == std::string::npos ? 0 : atoi(d.c_str() + paren + 1);
  auto starts = [&](const char *w) { return d.rfind(w, 0) == 0; };
  if (starts("char")) return adWChar;
  if (starts("varchar")) return adVarWChar;
  if (starts("text")) return adLongVarWChar;
  if (starts("smallint")) return adSmallInt;
  if (starts("datetime")) return adDBTimeStamp;
  if (starts("date")) return adDate;
  if (d.find("int") != std::string::npos) return adInteger;
  if (starts("real")) return adSingle;
  if (starts("float") || starts("double")) return adDouble;
  if (starts("bit")) return adBoolean;
  return adVarWChar;
}

HRESULT Catalog::GetTable(const std::string &name, Table *out) {
  if (!conn_.Db()) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  sqlite3_stmt *st = nullptr;
  if (conn_.Prepare("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE "
                    "AND name NOT LIKE 'exec.%'",
                    &st) < 0)
    return FailFrom(conn_);
  const std::string stored = ado_StoredName(name);
  sqlite3_bind_text(st, 1, stored.c_str(), (int)stored.size(), SQLITE_TRANSIENT);
  int rc = sqlite3_step(st);
  std::string real = rc == SQLITE_ROW ? (const char *)sqlite3_column_text(st, 0) : "";
  sqlite3_finalize(st);
  if (rc != SQLITE_ROW)
    return Fail(ADO_E_NOFIELD, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  Table t;
  t.name = ado_ShownName(real);
  if (conn_.Prepare("SELECT name, type, pk, \"notnull\" FROM pragma_table_info(?1)", &st) < 0) return FailFrom(conn_);
  sqlite3_bind_text(st, 1, real.c_str(), (int)real.size(), SQLITE_TRANSIENT);
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    Column c;
    c.name = ado_ShownName((const char *)sqlite3_column_text(st, 0));
    c.type = TypeFromDecl((const char *)sqlite3_column_text(st, 1), &c.size);
    c.autoIncrement = sqlite3_column_int(st, 2) != 0 && c.type == adInteger;
    c.nullable = sqlite3_column_int(st, 3) == 0;
    t.columns.push_back(c);
  }
  sqlite3_finalize(st);
  t.conn_ = &conn_;
  *out = std::move(t);
  return ADO_S_OK;
}

HRESULT Catalog::AppendTable(Table *t) {
  if (!conn_.Db()) return Fail(ADO_E_CLOSED, "Operation is not allowed when the object is closed.");
  if (t->InCatalog() || !NameOk(t->name) || t->columns.empty())
    return Fail(ADO_E_INVALIDARG, "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another.");
  Profile p = conn_.GetProfile();
  if (p == PROFILE_JET && t->columns.size() > 255) return Fail(ADO_E_FAIL, "Too many fields defined.");
  // The table goes through the profile's own statement, so that the profile's
  // rules (and refusals) hold for tables made here too.
  std::string sql = "CREATE TABLE " + Bracket(t->name) + " (";
  for (size_t i = 0; i < t->columns.size(); ++i) {
    const Column &c = t->columns[i];
    if (c.type == adDate && (ado_Refusals(p) & REFUSE_ADDATE))
      return Fail(ADO_E_CONVERSION, "Type is invalid: adDate.");
    std::string typeText = ado_ColumnTypeText(p, c.type, c.size);
    if (typeText.empty()) return Fail(ADO_E_INVALIDARG, "Type is invalid.");
    if (c.autoIncrement) {
      if (c.type != adInteger) return Fail(ADO_E_INVALIDARG, "Only an integer column can count by itself.");
      typeText = "counter";
    }
    sql += (i ? ", " : "") + Bracket(c.name) + " " + typeText + (c.nullable || c.autoIncrement ? "" : " NOT NULL");
  }
  sql += ")";
  HRESULT hr = conn_.Execute(sql, nullptr);
  if (hr < 0) {
    if (hr == ADO_E_SYNTAX && conn_.LastError().description.find("already exists") != std::string::npos)
      return Fail(ADO_E_FAIL, "Table '" + t->name + "' already exists.");
    return FailFrom(conn_);
  }
  t->conn_ = &conn_;
  return ADO_S_OK;
}

}  // namespace ado
