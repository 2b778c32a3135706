// The data accessor of the database logger stores: one connection, at most
// one recordset, and operations that return status codes instead of raising.
//
// A failure of the database layer is recorded: its description becomes the
// error text (at most 999 characters, passwords masked), the thread's last
// error the layer's error number (the low 16 bits of HRESULT - 0x200 for
// 0x80040200..0x8004FFFF, else 0), and the trace gets one
// "\nCOM Exeption: <source> \t : <description>\r\n" line.
#pragma once
#include <cstdint>
#include <string>

#include "platform/ado/ado.h"
#include "platform/os_handle.h"

// Failure codes of the operations.
enum : uint32_t {
  DBACC_E_CONNECT = 0x80040207,
  DBACC_E_DISCONNECT = 0x80040208,
  DBACC_E_STATE = 0x80040209,
  DBACC_E_OPEN = 0x8004020A,
  DBACC_E_MOVEFIRST = 0x8004020B,
  DBACC_E_MOVENEXT = 0x8004020C,
  DBACC_E_MOVEPREVIOUS = 0x8004020D,
  DBACC_E_MOVELAST = 0x8004020E,
  DBACC_E_GETFIELDAT = 0x8004020F,
  DBACC_E_SETFIELDAT = 0x80040210,
  DBACC_E_CANCEL_DELETE = 0x80040211,
  DBACC_E_UPDATE = 0x80040212,
  DBACC_E_ADDNEWRECORD = 0x80040213,
  DBACC_E_GETDOUBLES = 0x80040214,
  DBACC_E_SETDOUBLES = 0x80040215,
  DBACC_E_COLLECT = 0x80040216,
  DBACC_E_FIND = 0x80040217,
  DBACC_E_ADDNEW = 0x80040218,
  DBACC_E_BOFEOF = 0x80040219,
  DBACC_E_GETFIELD = 0x8004021A,
  DBACC_E_EQUALS = 0x8004021B,
  DBACC_E_UPDATEFIELD = 0x8004021C,
  DBACC_E_COUNT = 0x80004005,
  DBACC_E_INVALIDARG = 0x80070057,
  DBACC_E_POINTER = 0x80004003,
};

constexpr int DBACC_ERROR_TEXT = 1000;

// Records a failure of the database layer as described above into
// `errorText` (DBACC_ERROR_TEXT bytes).
void dbacc_RecordFailure(char *errorText, const ado::Error &e);

// Writes the "\nCOM Exeption" line of a failure (`whenEmpty` for an empty
// description) and sets the thread's last error from it.
void dbacc_TraceCom(const ado::Error &e, const char *whenEmpty);

// Writes a text and "\r\n" to the trace, leaving the thread's last error as
// it was.
void dbacc_TraceLine(const std::string &text);

class CLogITDbDataAcc {
 public:
  CLogITDbDataAcc();
  virtual ~CLogITDbDataAcc();
  CLogITDbDataAcc(const CLogITDbDataAcc &) = delete;
  CLogITDbDataAcc &operator=(const CLogITDbDataAcc &) = delete;

  virtual int32_t OpenRecordset(const char16_t *text, int32_t cursor, int32_t lock, int32_t options);
  // 1 when the result has no rows, 0 when it has rows. The suffix "D" opens
  // the text alone with a dynamic cursor; any other suffix is appended.
  virtual int32_t OpenQuery(const char16_t *text, const char16_t *suffix);
  virtual int32_t CloseRecordset();
  virtual int32_t CancelUpdate();
  // Moves the runs of `logger` that started before `cutoff` (an OLE date)
  // from the live database to the archive (copy > 0) or only deletes them;
  // see db_archive.h. Uses objects of its own, not the accessor's.
  virtual int32_t Archive(const char16_t *logger, int32_t ignored1, int32_t ignored2, const char16_t *source,
                          const char16_t *archive, const char16_t *database, int32_t copy, double cutoff);
  virtual int32_t GetBOF(ado::Variant *out);
  virtual int32_t GetRecordCount(int32_t *out);
  virtual int32_t UpdateField(const char16_t *field, const ado::Variant &value);
  virtual int32_t FieldEquals(const ado::Variant &value, const char16_t *field, ado::Variant *out);
  virtual int32_t GetFieldValue(const char16_t *field, ado::Variant *out);
  virtual int32_t GetEOF(ado::Variant *out);
  virtual int32_t AddNew(int32_t ignored, const ado::Variant *fields, const ado::Variant *values);
  virtual int32_t FindRecord(const ado::Variant &value, const char16_t *field, ado::Variant *out);
  virtual int32_t GetCollectValues(int32_t count, const ado::Variant *names, ado::Variant *values);
  virtual int32_t SetDoubles(int32_t first, int32_t count, const double *values);
  virtual int32_t GetDoubles(int32_t first, int32_t count, double *values);
  virtual int32_t Update();
  virtual int32_t Delete();
  virtual int32_t AddNewRecord();
  virtual int32_t SetFieldValueAt(int32_t index, const ado::Variant &value);
  virtual int32_t GetFieldValueAt(int32_t index, ado::Variant *out);
  virtual int32_t MoveLast();
  virtual int32_t MovePrevious();
  virtual int32_t MoveNext();
  virtual int32_t MoveFirst();
  virtual int32_t MoveTo(int32_t offset);
  virtual int32_t OpenTable(const char16_t *table);
  virtual int32_t GetConnectionState();
  // Closes the recordset and the connection; 0 even when a close failed.
  virtual int32_t Disconnect();
  virtual int32_t Login(int32_t, int32_t);
  // A connection left open is closed first.
  virtual int32_t Connect(const char16_t *text, const char16_t *extra, int32_t options);
  // A transaction on the connection: rows changed until the commit are
  // written at once.
  int32_t BeginTrans();
  int32_t CommitTrans();

  const char *GetComErrorText() const { return errorText_; }

 private:
  int32_t Record(const ado::Error &e, uint32_t code);
  int32_t NoRecordset(uint32_t code);
  int32_t OpenWith(const std::string &source, int32_t cursor, int32_t lock, int32_t options, bool ignoreCloseFailure,
                   uint32_t code, bool *closeFailed);

  ado::Connection *connection_ = nullptr;
  ado::Recordset *recordset_ = nullptr;
  OsCriticalSection lock_;
  char errorText_[DBACC_ERROR_TEXT] = {};
  int32_t recordsetOpen_ = 0;
};
