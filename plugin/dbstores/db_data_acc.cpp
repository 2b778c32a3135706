#include "plugin/dbstores/db_data_acc.h"

#include <cstdio>
#include <cstring>

#include "framework/trace/dbg_trace.h"
#include "plugin/dbstores/db_private.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"

using namespace ado;

namespace {
using dbstores::Hold;
using dbstores::Narrow;
}  // namespace

void dbacc_RecordFailure(char *errorText, const Error &e) {
  std::string text = ado_MaskPassword(e.description);
  // Cut at 999 bytes without splitting a character.
  size_t n = os_Utf8Fit(text.data(), text.size(), DBACC_ERROR_TEXT - 1);
  memcpy(errorText, text.data(), n);
  errorText[n] = '\0';
  dbacc_TraceCom(e, "");
}

void dbacc_TraceCom(const Error &e, const char *whenEmpty) {
  std::string text = ado_MaskPassword(e.description);
  if (text.empty()) text = whenEmpty;
  std::string line = "\nCOM Exeption: " + e.source + " \t : " + text + "\r\n";
  dbg_Write(line.c_str());
  // Last: writing the trace may touch the thread's last error.
  uint32_t hr = (uint32_t)e.hr;
  os_SetLastError(hr >= 0x80040200u && hr <= 0x8004FFFFu ? ((hr - 0x200u) & 0xFFFFu) : 0u);
}

void dbacc_TraceLine(const std::string &text) {
  uint32_t saved = os_GetLastError();
  dbg_Write(text.c_str());
  dbg_Write("\r\n");
  os_SetLastError(saved);
}

CLogITDbDataAcc::CLogITDbDataAcc() { os_InitializeCriticalSection(&lock_); }

CLogITDbDataAcc::~CLogITDbDataAcc() {
  os_DeleteCriticalSection(&lock_);
  delete recordset_;
  delete connection_;
}

int32_t CLogITDbDataAcc::Record(const Error &e, uint32_t code) {
  dbacc_RecordFailure(errorText_, e);
  return (int32_t)code;
}

int32_t CLogITDbDataAcc::NoRecordset(uint32_t code) {
  Error e;
  e.hr = (HRESULT)DBACC_E_POINTER;
  return Record(e, code);
}

int32_t CLogITDbDataAcc::OpenWith(const std::string &source, int32_t cursor, int32_t lock, int32_t options,
                                  bool ignoreCloseFailure, uint32_t code, bool *tableMissing) {
  if (recordset_) {
    if (recordsetOpen_ && recordset_->Close() < 0 && !ignoreCloseFailure) return Record(recordset_->LastError(), code);
    recordsetOpen_ = 0;
    delete recordset_;
    recordset_ = nullptr;
  }
  if (!connection_) return NoRecordset(code);
  recordset_ = new Recordset();
  HRESULT hr = recordset_->Open(source, connection_, cursor, lock, options);
  if (hr < 0) {
    if (tableMissing) {
      // A table that cannot be opened is no failure to record.
      *tableMissing = hr == ADO_E_NOTABLE;
      return (int32_t)code;
    }
    return Record(recordset_->LastError(), code);
  }
  recordsetOpen_ = 1;
  return 0;
}

int32_t CLogITDbDataAcc::OpenRecordset(const char16_t *text, int32_t cursor, int32_t lock, int32_t options) {
  std::string source = Narrow(text);
  dbacc_TraceLine(source);
  Hold h(&lock_);
  return OpenWith(source, cursor, lock, options, true, DBACC_E_OPEN, nullptr);
}

int32_t CLogITDbDataAcc::OpenQuery(const char16_t *text, const char16_t *suffix) {
  Hold h(&lock_);
  std::string s = Narrow(suffix), source = Narrow(text);
  int32_t rc = s == "D" ? OpenWith(source, adOpenDynamic, adLockOptimistic, adCmdUnknown, false, DBACC_E_OPEN, nullptr)
                        : OpenWith(source + s, adOpenStatic, adLockOptimistic, adCmdUnknown, false, DBACC_E_OPEN, nullptr);
  if (rc != 0) return rc;
  MoveFirst();
  Variant eof;
  GetEOF(&eof);
  Variant b;
  return var_ChangeType(&b, eof, VT_BOOL) >= 0 && b.boolVal == VARIANT_TRUE ? 1 : 0;
}

int32_t CLogITDbDataAcc::CloseRecordset() {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_OPEN);
  if (recordsetOpen_) {
    if (recordset_->Close() < 0) return Record(recordset_->LastError(), DBACC_E_OPEN);
    recordsetOpen_ = 0;
  }
  delete recordset_;
  recordset_ = nullptr;
  return 0;
}

int32_t CLogITDbDataAcc::CancelUpdate() {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_CANCEL_DELETE);
  HRESULT hr = recordset_->CancelUpdate();
  return hr < 0 ? Record(recordset_->LastError(), DBACC_E_CANCEL_DELETE) : hr;
}

int32_t CLogITDbDataAcc::GetBOF(Variant *out) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_BOFEOF);
  bool b = false;
  if (recordset_->GetBOF(&b) < 0) return Record(recordset_->LastError(), DBACC_E_BOFEOF);
  if (out) *out = var_Bool(b);
  return 0;
}

int32_t CLogITDbDataAcc::GetEOF(Variant *out) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_BOFEOF);
  bool b = false;
  if (recordset_->GetEOF(&b) < 0) return Record(recordset_->LastError(), DBACC_E_BOFEOF);
  if (out) *out = var_Bool(b);
  return 0;
}

int32_t CLogITDbDataAcc::GetRecordCount(int32_t *out) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_COUNT);
  int32_t n = 0;
  if (recordset_->GetRecordCount(&n) < 0) return Record(recordset_->LastError(), DBACC_E_COUNT);
  if (out) *out = n;
  return 0;
}

int32_t CLogITDbDataAcc::UpdateField(const char16_t *field, const Variant &value) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_UPDATEFIELD);
  if (recordset_->PutValue(Narrow(field), value) < 0 || recordset_->Update() < 0)
    return Record(recordset_->LastError(), DBACC_E_UPDATEFIELD);
  return 0;
}

int32_t CLogITDbDataAcc::FieldEquals(const Variant &value, const char16_t *field, Variant *out) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_EQUALS);
  Variant v;
  if (recordset_->GetValue(Narrow(field), &v) < 0) return Record(recordset_->LastError(), DBACC_E_EQUALS);
  if (out) *out = var_Bool(var_Equal(v, value));
  return 0;
}

int32_t CLogITDbDataAcc::GetFieldValue(const char16_t *field, Variant *out) {
  if (!out) return (int32_t)DBACC_E_INVALIDARG;
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_GETFIELD);
  if (recordset_->GetValue(Narrow(field), out) < 0) return Record(recordset_->LastError(), DBACC_E_GETFIELD);
  return 0;
}

int32_t CLogITDbDataAcc::AddNew(int32_t, const Variant *fields, const Variant *values) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_ADDNEW);
  if (recordset_->AddNew() < 0) return Record(recordset_->LastError(), DBACC_E_ADDNEW);
  bool given = fields && values && fields->vt != VT_ERROR && values->vt != VT_ERROR;
  if (!given) return 0;
  // Field list and values: two arrays of one length, or one name and one value;
  // the row is stored at once, as the list form does.
  std::vector<Variant> names, vals;
  if ((fields->vt & VT_ARRAY) && (values->vt & VT_ARRAY)) {
    names = fields->items;
    vals = values->items;
  } else {
    names.push_back(*fields);
    vals.push_back(*values);
  }
  if (names.size() != vals.size()) {
    recordset_->CancelUpdate();
    Error e{(HRESULT)DBACC_E_INVALIDARG, "ADODB.Recordset", "The field list and the value list differ in length."};
    return Record(e, DBACC_E_ADDNEW);
  }
  for (size_t i = 0; i < names.size(); ++i) {
    HRESULT hr = names[i].vt == VT_BSTR ? recordset_->PutValue(ado_Narrow(names[i].bstr), vals[i])
                                        : recordset_->PutValue(names[i].vt == VT_I4 ? names[i].lVal : -1, vals[i]);
    if (hr < 0) {
      Error e = recordset_->LastError();
      recordset_->CancelUpdate();
      return Record(e, DBACC_E_ADDNEW);
    }
  }
  if (recordset_->Update() < 0) return Record(recordset_->LastError(), DBACC_E_ADDNEW);
  return 0;
}

int32_t CLogITDbDataAcc::FindRecord(const Variant &value, const char16_t *field, Variant *out) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_FIND);
  std::string name = Narrow(field);
  MoveFirst();
  for (;;) {
    bool eof = true;
    if (recordset_->GetEOF(&eof) < 0) return Record(recordset_->LastError(), DBACC_E_FIND);
    if (eof) break;
    Variant v;
    if (recordset_->GetValue(name, &v) < 0) return Record(recordset_->LastError(), DBACC_E_FIND);
    if (var_Equal(v, value)) {
      if (out) *out = var_Bool(true);
      return 0;
    }
    if (MoveNext() != 0) break;
  }
  if (out) *out = var_Bool(false);
  return 0;
}

int32_t CLogITDbDataAcc::GetCollectValues(int32_t count, const Variant *names, Variant *values) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_COLLECT);
  for (int32_t i = 0; i < count; ++i) {
    Variant name;
    if (var_ChangeType(&name, names[i], VT_BSTR) < 0) {
      Error e{ADO_E_CONVERSION, "ADODB.Recordset", "A field name is no text."};
      return Record(e, DBACC_E_COLLECT);
    }
    if (recordset_->GetValue(ado_Narrow(name.bstr), &values[i]) < 0) return Record(recordset_->LastError(), DBACC_E_COLLECT);
  }
  return 0;
}

int32_t CLogITDbDataAcc::SetDoubles(int32_t first, int32_t count, const double *values) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_SETDOUBLES);
  for (int32_t i = 0; i < count; ++i)
    if (recordset_->PutValue(first + i, var_R8(values[i])) < 0) return Record(recordset_->LastError(), DBACC_E_SETDOUBLES);
  return 0;
}

int32_t CLogITDbDataAcc::GetDoubles(int32_t first, int32_t count, double *values) {
  if (!values) return (int32_t)DBACC_E_INVALIDARG;
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_GETDOUBLES);
  for (int32_t i = 0; i < count; ++i) {
    Variant v, d;
    if (recordset_->GetValue(first + i, &v) < 0) return Record(recordset_->LastError(), DBACC_E_GETDOUBLES);
    if (var_ChangeType(&d, v, VT_R8) < 0) {
      // The conversion of the value fails, as a variant's would.
      const HRESULT kTypeMismatch = (HRESULT)0x80020005;
      const FieldInfo *f = recordset_->Field(first + i);
      Error e{kTypeMismatch, "ADODB.Field", "The value of field '" + (f ? f->name : std::string()) + "' is no number."};
      return Record(e, DBACC_E_GETDOUBLES);
    }
    values[i] = d.dblVal;
  }
  return 0;
}

int32_t CLogITDbDataAcc::Update() {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_UPDATE);
  if (recordset_->Update() < 0) return Record(recordset_->LastError(), DBACC_E_UPDATE);
  return 0;
}

int32_t CLogITDbDataAcc::Delete() {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_CANCEL_DELETE);
  HRESULT hr = recordset_->Delete();
  return hr < 0 ? Record(recordset_->LastError(), DBACC_E_CANCEL_DELETE) : hr;
}

int32_t CLogITDbDataAcc::AddNewRecord() {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_ADDNEWRECORD);
  recordset_->Supports(adAddNew);
  HRESULT hr = recordset_->AddNew();
  return hr < 0 ? Record(recordset_->LastError(), DBACC_E_ADDNEWRECORD) : hr;
}

int32_t CLogITDbDataAcc::SetFieldValueAt(int32_t index, const Variant &value) {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_SETFIELDAT);
  if (recordset_->PutValue(index, value) < 0) return Record(recordset_->LastError(), DBACC_E_SETFIELDAT);
  return 0;
}

int32_t CLogITDbDataAcc::GetFieldValueAt(int32_t index, Variant *out) {
  if (!out) return (int32_t)DBACC_E_INVALIDARG;
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_GETFIELDAT);
  if (recordset_->GetValue(index, out) < 0) return Record(recordset_->LastError(), DBACC_E_GETFIELDAT);
  return 0;
}

// MoveLast and MoveTo run without the lock, as the stores call them.
int32_t CLogITDbDataAcc::MoveLast() {
  if (!recordset_) return NoRecordset(DBACC_E_MOVELAST);
  HRESULT hr = recordset_->MoveLast();
  return hr < 0 ? Record(recordset_->LastError(), DBACC_E_MOVELAST) : hr;
}

int32_t CLogITDbDataAcc::MovePrevious() {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_MOVEPREVIOUS);
  return recordset_->MovePrevious() < 0 ? Record(recordset_->LastError(), DBACC_E_MOVEPREVIOUS) : 0;
}

int32_t CLogITDbDataAcc::MoveNext() {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_MOVENEXT);
  return recordset_->MoveNext() < 0 ? Record(recordset_->LastError(), DBACC_E_MOVENEXT) : 0;
}

int32_t CLogITDbDataAcc::MoveFirst() {
  Hold h(&lock_);
  if (!recordset_) return NoRecordset(DBACC_E_MOVEFIRST);
  return recordset_->MoveFirst() < 0 ? Record(recordset_->LastError(), DBACC_E_MOVEFIRST) : 0;
}

int32_t CLogITDbDataAcc::MoveTo(int32_t offset) {
  if (!recordset_) return NoRecordset(DBACC_E_MOVELAST);
  HRESULT hr = recordset_->MoveFirst();
  if (hr >= 0 && offset != 0) hr = recordset_->Move(offset);
  return hr < 0 ? Record(recordset_->LastError(), DBACC_E_MOVELAST) : hr;
}

int32_t CLogITDbDataAcc::OpenTable(const char16_t *table) {
  Hold h(&lock_);
  bool missing = false;
  int32_t rc = OpenWith(Narrow(table), adOpenStatic, adLockOptimistic, adCmdTable, false, DBACC_E_OPEN, &missing);
  return missing ? (int32_t)ADO_E_NOTABLE : rc;
}

int32_t CLogITDbDataAcc::GetConnectionState() {
  Hold h(&lock_);
  if (!connection_) return NoRecordset(DBACC_E_STATE);
  return connection_->State();
}

int32_t CLogITDbDataAcc::Disconnect() {
  Hold h(&lock_);
  // Every step runs even when one before it failed: a connection is never
  // left open behind a recordset that would not close.
  if (recordset_) {
    if (recordsetOpen_ && recordset_->Close() < 0) Record(recordset_->LastError(), 0);
    recordsetOpen_ = 0;
    delete recordset_;
    recordset_ = nullptr;
  }
  if (connection_) {
    if (connection_->Close() < 0) Record(connection_->LastError(), 0);
    delete connection_;
    connection_ = nullptr;
  }
  return 0;
}

int32_t CLogITDbDataAcc::Login(int32_t, int32_t) {
  Hold h(&lock_);
  return 0;
}

int32_t CLogITDbDataAcc::Connect(const char16_t *text, const char16_t *extra, int32_t) {
  Hold h(&lock_);
  // A connection left open is closed, with its recordset, not dropped.
  if (connection_) Disconnect();
  connection_ = new Connection();
  connection_->SetCommandTimeout(300);
  if (connection_->Open(Narrow(text) + Narrow(extra)) < 0) return Record(connection_->LastError(), DBACC_E_CONNECT);
  return 0;
}

int32_t CLogITDbDataAcc::BeginTrans() {
  Hold h(&lock_);
  if (!connection_) return NoRecordset(DBACC_E_STATE);
  return connection_->BeginTrans() < 0 ? Record(connection_->LastError(), DBACC_E_UPDATE) : 0;
}

int32_t CLogITDbDataAcc::CommitTrans() {
  Hold h(&lock_);
  if (!connection_) return NoRecordset(DBACC_E_STATE);
  return connection_->CommitTrans() < 0 ? Record(connection_->LastError(), DBACC_E_UPDATE) : 0;
}
