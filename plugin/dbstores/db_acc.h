// The catalog accessor of the database logger stores: attaches to or creates
// a database, creates and selects tables and columns, and runs statements on
// a connection of its own. 0 means success, 1 (or a code where stated)
// failure; failures are recorded as the data accessor records them.
#pragma once
#include <cstdint>
#include <string>

#include "plugin/dbstores/db_data_acc.h"

enum : uint32_t {
  DBACC_E_NOTREADY = 0x80040222,
  DBACC_E_CREATETABLES = 0x80040223,
};

class CLogITDbAcc {
 public:
  CLogITDbAcc();
  virtual ~CLogITDbAcc();
  CLogITDbAcc(const CLogITDbAcc &) = delete;
  CLogITDbAcc &operator=(const CLogITDbAcc &) = delete;

  // names, types and sizes are variants holding arrays of `count` entries.
  // A provider that refuses a column of type adDate gets a second try with
  // those columns as adDBTimeStamp.
  virtual int32_t CreateTables(const char16_t *table, int32_t count, const ado::Variant *names,
                               const ado::Variant *types, const ado::Variant *sizes, int32_t autoIncrement);
  virtual int32_t CreateTable(const char16_t *table, const char16_t *column, int32_t type, int32_t size,
                              int32_t autoIncrement);
  virtual int32_t CountTables(int32_t *out);
  virtual int32_t ReleaseCatalog();
  // 0 when the table was made current, 1 when there is no such table.
  virtual int32_t FindTable(const char16_t *table);
  virtual int32_t CheckOpen(int32_t);
  virtual int32_t SelectTable(const char16_t *table);
  virtual int32_t AddColumn(const char16_t *column, int32_t type, int32_t size);
  virtual int32_t ExecuteSql(const char16_t *statement);
  virtual int32_t IsUnavailable();
  virtual int32_t Login(int32_t, int32_t);
  virtual int32_t Attach(const char16_t *text, const char16_t *extra);
  virtual int32_t CreateDatabase(const char16_t *text, const char16_t *extra);
  virtual int32_t SetColumnProperty(const char16_t *column, const char16_t *property, const ado::Variant &value);

  const char *GetComErrorText() const { return errorText_; }

 private:
  bool ObjectsPresent();
  bool Ready();
  int32_t Record(const ado::Error &e, int32_t result);
  int32_t AppendTables(const std::string &name, int32_t count, const ado::Variant *names, const ado::Variant *types,
                       const ado::Variant *sizes, int32_t autoIncrement, bool dateAsTimeStamp, bool *badArgument);

  ado::Catalog *catalog_ = nullptr;
  ado::Table *table_ = nullptr;
  std::string connStr_;
  int32_t attached_ = 0;
  int32_t loggedIn_ = 0;
  int32_t tableSelected_ = 0;
  OsCriticalSection lock_;
  char errorText_[DBACC_ERROR_TEXT] = {};
};
