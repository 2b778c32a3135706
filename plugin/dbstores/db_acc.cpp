#include "plugin/dbstores/db_acc.h"

#include "framework/trace/dbg_trace.h"
#include "plugin/dbstores/db_private.h"

using namespace ado;

namespace {
using dbstores::Hold;
using dbstores::Narrow;
}  // namespace

CLogITDbAcc::CLogITDbAcc() {
  os_InitializeCriticalSection(&lock_);
  Hold h(&lock_);
  catalog_ = new Catalog();
  table_ = new Table();
}

CLogITDbAcc::~CLogITDbAcc() {
  os_DeleteCriticalSection(&lock_);
  delete table_;
  delete catalog_;
}

int32_t CLogITDbAcc::Record(const Error &e, int32_t result) {
  dbacc_RecordFailure(errorText_, e);
  return result;
}

bool CLogITDbAcc::ObjectsPresent() {
  Hold h(&lock_);
  if (catalog_ && table_) return true;
  attached_ = 0;
  return false;
}

bool CLogITDbAcc::Ready() {
  Hold h(&lock_);
  return ObjectsPresent() && attached_ && loggedIn_;
}

int32_t CLogITDbAcc::AppendTables(const std::string &name, int32_t count, const Variant *names, const Variant *types,
                                  const Variant *sizes, int32_t autoIncrement, bool dateAsTimeStamp, bool *stop) {
  Table *t = new Table();
  t->name = name;
  for (int32_t i = 0; i < count; ++i) {
    Variant n, ty, sz;
    if ((size_t)i >= names->items.size() || (size_t)i >= types->items.size() || (size_t)i >= sizes->items.size() ||
        var_ChangeType(&n, names->items[(size_t)i], VT_BSTR) < 0 || var_ChangeType(&ty, types->items[(size_t)i], VT_I4) < 0 ||
        var_ChangeType(&sz, sizes->items[(size_t)i], VT_I4) < 0) {
      delete t;
      *stop = true;
      return (int32_t)DBACC_E_INVALIDARG;
    }
    int32_t type = dateAsTimeStamp && ty.lVal == adDate ? adDBTimeStamp : ty.lVal;
    std::string column = ado_Narrow(n.bstr);
    if (t->AppendColumn(column, type, sz.lVal) < 0) {
      Error e = t->LastError();
      delete t;
      *stop = true;
      return Record(e, e.hr);
    }
    if (i == autoIncrement && t->SetColumnProperty(column, "AutoIncrement", var_Bool(true)) < 0) {
      Error e = t->LastError();
      delete t;
      *stop = true;
      return Record(e, e.hr);
    }
  }
  if (!catalog_->ActiveConnection()) {
    delete t;
    *stop = true;
    return Record(Error{ADO_E_CLOSED, "ADOX.Catalog", "Operation is not allowed when the object is closed."}, ADO_E_CLOSED);
  }
  HRESULT hr = catalog_->AppendTable(t);
  if (hr == 0) {
    delete table_;
    table_ = t;
    tableSelected_ = 1;
    return 0;
  }
  delete t;
  return hr;
}

int32_t CLogITDbAcc::CreateTables(const char16_t *table, int32_t count, const Variant *names, const Variant *types,
                                  const Variant *sizes, int32_t autoIncrement) {
  Hold h(&lock_);
  std::string name = Narrow(table);
  if (!names || !types || !sizes || !(names->vt & VT_ARRAY) || !(types->vt & VT_ARRAY) || !(sizes->vt & VT_ARRAY) ||
      count == 0 || name.empty())
    return (int32_t)DBACC_E_INVALIDARG;
  if (!Ready()) return (int32_t)DBACC_E_NOTREADY;
  bool stop = false;
  int32_t rc = AppendTables(name, count, names, types, sizes, autoIncrement, false, &stop);
  if (rc >= 0 || stop) return rc;
  // Refused without a failure of its own: once more with time stamps for dates.
  return AppendTables(name, count, names, types, sizes, autoIncrement, true, &stop);
}

int32_t CLogITDbAcc::CreateTable(const char16_t *table, const char16_t *column, int32_t type, int32_t size,
                                 int32_t autoIncrement) {
  Hold h(&lock_);
  if (!ObjectsPresent()) return 1;
  if (!attached_ || !loggedIn_) return 0;
  Table *t = new Table();
  t->name = Narrow(table);
  std::string col = Narrow(column);
  HRESULT hr = t->AppendColumn(col, type, size);
  if (hr >= 0 && autoIncrement) hr = t->SetColumnProperty(col, "AutoIncrement", var_Bool(true));
  if (hr < 0) {
    Error e = t->LastError();
    delete t;
    return Record(e, (int32_t)DBACC_E_COUNT);
  }
  hr = catalog_->AppendTable(t);
  if (hr < 0) {
    delete t;
    return Record(catalog_->LastError(), (int32_t)DBACC_E_COUNT);
  }
  delete table_;
  table_ = t;
  tableSelected_ = 1;
  return hr;
}

int32_t CLogITDbAcc::CountTables(int32_t *out) {
  Hold h(&lock_);
  if (!catalog_) { attached_ = 0; return 1; }
  if (!attached_ || !loggedIn_) return 1;
  int32_t n = 0;
  if (catalog_->TableCount(&n) < 0) return Record(catalog_->LastError(), 1);
  if (out) *out = n;
  return 0;
}

int32_t CLogITDbAcc::ReleaseCatalog() {
  Hold h(&lock_);
  delete table_;
  table_ = nullptr;
  delete catalog_;
  catalog_ = nullptr;
  return 0;
}

int32_t CLogITDbAcc::FindTable(const char16_t *table) {
  Hold h(&lock_);
  if (!catalog_) return 1;
  Table found;
  if (catalog_->GetTable(Narrow(table), &found) < 0) return 1;  // not found: no failure
  delete table_;
  table_ = new Table(std::move(found));
  return 0;
}

int32_t CLogITDbAcc::CheckOpen(int32_t) { return 0; }

int32_t CLogITDbAcc::SelectTable(const char16_t *table) {
  Hold h(&lock_);
  if (!Ready()) return 1;
  Table found;
  if (catalog_->GetTable(Narrow(table), &found) < 0) return Record(catalog_->LastError(), 1);
  delete table_;
  table_ = new Table(std::move(found));
  tableSelected_ = 1;
  return 0;
}

int32_t CLogITDbAcc::AddColumn(const char16_t *column, int32_t type, int32_t size) {
  Hold h(&lock_);
  if (!Ready() || !tableSelected_) return 1;
  HRESULT hr = table_->AppendColumn(Narrow(column), type, size);
  return hr < 0 ? Record(table_->LastError(), 1) : hr;
}

int32_t CLogITDbAcc::ExecuteSql(const char16_t *statement) {
  std::string sql = Narrow(statement);
  dbacc_TraceLine(sql);
  Hold h(&lock_);
  if (!catalog_) { attached_ = 0; return 1; }
  if (!loggedIn_ || !attached_) return 1;
  Connection c;
  c.SetCommandTimeout(300);
  if (c.Open(connStr_) < 0) return Record(c.LastError(), 1);
  if (c.Execute(sql, nullptr) < 0) return Record(c.LastError(), 1);
  c.Close();
  return 0;
}

int32_t CLogITDbAcc::IsUnavailable() {
  Hold h(&lock_);
  return loggedIn_ == 1 && attached_ == 1 ? 0 : 1;
}

int32_t CLogITDbAcc::Login(int32_t, int32_t) {
  Hold h(&lock_);
  loggedIn_ = 1;
  return 0;
}

int32_t CLogITDbAcc::Attach(const char16_t *text, const char16_t *extra) {
  std::string head = Narrow(text);
  dbacc_TraceLine(ado_MaskPassword(head));
  Hold h(&lock_);
  if (!catalog_) { attached_ = 0; return 1; }
  connStr_ = head + Narrow(extra);
  if (catalog_->SetActiveConnection(connStr_) < 0) {
    attached_ = 0;
    return Record(catalog_->LastError(), 1);
  }
  attached_ = 1;
  return 0;
}

int32_t CLogITDbAcc::CreateDatabase(const char16_t *text, const char16_t *extra) {
  Hold h(&lock_);
  if (!catalog_) { attached_ = 0; return 1; }
  connStr_ = Narrow(text) + Narrow(extra);
  if (catalog_->Create(connStr_) < 0) {
    attached_ = 0;
    return Record(catalog_->LastError(), 1);
  }
  attached_ = 1;
  return 0;
}

int32_t CLogITDbAcc::SetColumnProperty(const char16_t *column, const char16_t *property, const Variant &value) {
  Hold h(&lock_);
  if (!Ready() || !tableSelected_ || !table_) return 1;
  if (table_->SetColumnProperty(Narrow(column), Narrow(property), value) < 0) return Record(table_->LastError(), 1);
  return 0;
}
