// Database connections, recordsets, commands and the catalog over SQLite.
//
// This folder is the only code that includes sqlite3.h. A connection string's
// provider picks a profile, and the profile picks where the file is and which
// statement dialect is translated:
//   "Provider=Microsoft.Jet.OLEDB.*;Data Source=C:\x\y.mdb"  Jet: the Data
//       Source is a Windows path, translated by os_TranslatePath.
//   "Provider=SQLOLEDB;Data Source=S;Initial Catalog=C"      SQL Server: the
//       file ROOT/hosts/<S>/sqlserver/<C>.db ("Server" and "Database" are
//       accepted for the two keys; "(local)", ".", "localhost", "127.0.0.1"
//       and this computer's name are the local server ".").
// Open never creates a file: a missing server folder, catalog or file fails.
// Statements may name other files: Jet "T IN 'C:\x.mdb'", SQL Server
// "db.dbo.T" (catalog db of the same server) and "OPENROWSET ('prov', 'cs',
// db.dbo.T)" (the file cs names); each is attached while the statement runs.
// A SQL Server text of several statements runs as a batch, part by part.
// Only Catalog::Create makes a file, for the Jet profile only.
// Every file runs in WAL mode, synchronous NORMAL, with the busy time-out the
// command time-out gives (300 s unless set). Past 16 MiB of log a commit
// waits up to 2 s for the readers and truncates the log.
//
// Values: fields are typed from the declared column type (char/varchar/text
// BSTR, smallint I2, int/integer I4, real R4, float/double R8, datetime/date
// DATE, bit BOOL). Dates are stored as the text 'YYYY-MM-DD hh:mm:ss[.fff]';
// char(n) values are padded to n blanks and compared ignoring trailing
// blanks (COLLATE RTRIM); a longer value is refused.
//
// Failures are HRESULTs (int32_t, negative) with a source and a description
// kept by the object that failed; nothing here throws.
// SQLite result -> HRESULT:
//   "no such table"                          0x80040E37 ADO_E_NOTABLE
//   other prepare errors (syntax, column)    0x80040E14 ADO_E_SYNTAX
//   SQLITE_MISMATCH, a value that won't fit  0x80040E07 ADO_E_CONVERSION
//   SQLITE_BUSY, SQLITE_LOCKED (time-out)    0x80040E31 ADO_E_TIMEOUT
//   SQLITE_CONSTRAINT                        0x80040E2F ADO_E_INTEGRITY
//   SQLITE_TOOBIG, SQLITE_RANGE              0x80040E57 ADO_E_OVERFLOW
//   SQLITE_READONLY, SQLITE_PERM             0x80040E09 ADO_E_PERMISSION
//   SQLITE_NOTADB, CANTOPEN, IOERR, others   0x80004005 ADO_E_FAIL
// Our own: unknown provider 0x800A0E7A, operation on a closed object
// 0x800A0E78, no current row (BOF or EOF) 0x800A0BCD, unknown field
// 0x800A0CC1, bad argument 0x80070057.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace ado {

using HRESULT = int32_t;

constexpr HRESULT ADO_S_OK = 0;
constexpr HRESULT ADO_E_FAIL = (HRESULT)0x80004005;
constexpr HRESULT ADO_E_POINTER = (HRESULT)0x80004003;
constexpr HRESULT ADO_E_INVALIDARG = (HRESULT)0x80070057;
constexpr HRESULT ADO_E_NOTABLE = (HRESULT)0x80040E37;
constexpr HRESULT ADO_E_SYNTAX = (HRESULT)0x80040E14;
constexpr HRESULT ADO_E_CONVERSION = (HRESULT)0x80040E07;
constexpr HRESULT ADO_E_TIMEOUT = (HRESULT)0x80040E31;
constexpr HRESULT ADO_E_INTEGRITY = (HRESULT)0x80040E2F;
constexpr HRESULT ADO_E_OVERFLOW = (HRESULT)0x80040E57;
constexpr HRESULT ADO_E_PERMISSION = (HRESULT)0x80040E09;
constexpr HRESULT ADO_E_PROVIDER = (HRESULT)0x800A0E7A;
constexpr HRESULT ADO_E_CLOSED = (HRESULT)0x800A0E78;
constexpr HRESULT ADO_E_NOCURRENT = (HRESULT)0x800A0BCD;
constexpr HRESULT ADO_E_NOFIELD = (HRESULT)0x800A0CC1;
constexpr HRESULT ADO_E_PARAMNOTFOUND = (HRESULT)0x80020004;

// ---- Variant -------------------------------------------------------------
enum : uint16_t {
  VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5,
  VT_DATE = 7, VT_BSTR = 8, VT_ERROR = 10, VT_BOOL = 11, VT_VARIANT = 12,
  VT_ARRAY = 0x2000,
};
constexpr int16_t VARIANT_TRUE = -1;
constexpr int16_t VARIANT_FALSE = 0;

// A value of one of the types above. An array (VT_ARRAY | element type)
// keeps its elements in `items`; a date is days since 1899-12-30.
struct Variant {
  uint16_t vt = VT_EMPTY;
  union {
    int16_t iVal;
    int32_t lVal;
    float fltVal;
    double dblVal = 0;
    double date;
    int16_t boolVal;
    int32_t scode;
  };
  std::u16string bstr;
  std::vector<Variant> items;
};

Variant var_Null();
Variant var_I2(int16_t v);
Variant var_I4(int32_t v);
Variant var_R4(float v);
Variant var_R8(double v);
Variant var_Date(double v);
Variant var_Bool(bool v);
Variant var_Str(const std::u16string &v);
Variant var_Utf8(const std::string &v);
Variant var_Error(int32_t scode);
Variant var_Missing();  // VT_ERROR holding ADO_E_PARAMNOTFOUND
Variant var_Array(uint16_t elemVt, std::vector<Variant> items);

// Converts `in` to type `vt` into `out`. ADO_E_CONVERSION when the value has
// no such form (text that is no number, NULL into a number), ADO_E_OVERFLOW
// when it is out of the type's range. Dates from text accept the forms
// 'Y-M-D[ h:m:s[.fff]]', 'Y/M/D ...' and 'M/D/Y ...'.
HRESULT var_ChangeType(Variant *out, const Variant &in, uint16_t vt);
// Equality after converting `b` to the type of `a` (text ignoring trailing
// blanks); NULL equals nothing.
bool var_Equal(const Variant &a, const Variant &b);
std::string var_ToUtf8(const Variant &v);  // for display and tests

// Dates: parts <-> OLE date; text 'YYYY-MM-DD hh:mm:ss' plus '.fff' when the
// milliseconds are not 0.
double date_FromParts(int y, int mo, int d, int h, int mi, int s, int ms);
bool date_ToParts(double date, int *y, int *mo, int *d, int *h, int *mi, int *s, int *ms);
std::string date_ToText(double date);
bool date_FromText(const char *text, double *date);

std::u16string ado_Wide(const std::string &utf8);
std::string ado_Narrow(const std::u16string &wide);

// ---- Errors --------------------------------------------------------------
struct Error {
  HRESULT hr = 0;
  std::string source;
  std::string description;
};
// The HRESULT of an SQLite result code and its message (table above).
HRESULT ado_FromSqlite(int rc, const char *message);
// The connection string with the values of Password and Pwd replaced by
// "*****", for traces and error texts.
std::string ado_MaskPassword(const std::string &cs);

// ---- Profiles and the translator -----------------------------------------
struct ConnInfo;
enum Profile { PROFILE_NONE = 0, PROFILE_JET = 1, PROFILE_SQLSERVER = 2 };

// Features a profile can be told to refuse, so that a caller's fall-back runs.
enum : uint32_t {
  REFUSE_TOP = 1u << 0,          // select TOP n
  REFUSE_TS0 = 1u << 1,          // { ts 'Y-M-D ...' }
  REFUSE_DATETIME = 1u << 2,     // the column type datetime
  REFUSE_VARCHAR = 1u << 3,      // the column type varchar
  REFUSE_CREATE_INDEX = 1u << 4, // CREATE INDEX
  REFUSE_ADDATE = 1u << 5,       // adDate columns in Catalog tables
  REFUSE_DROP = 1u << 6,         // DROP TABLE
};
// Sets the refusals of a profile (test hook). Programs read them once from
// $ADO_REFUSE, e.g. "jet:top,datetime;sqlserver:ts0,varchar,index,addate,drop".
void ado_SetRefusals(Profile p, uint32_t mask);
uint32_t ado_Refusals(Profile p);

// A translated statement.
struct Translation {
  std::string sql;    // the SQLite statement
  std::string table;  // the one table of a plain single-table select, or ""
  std::string columns;  // its column list (with `table` only)
  bool isSelect = false;
  // "exec sp_x" (or "exec db..sp_x"): sql selects the canned reply table
  // "exec.sp_x"; executed, a reply whose first column is "error" fails with
  // the text of its first row.
  bool isExec = false;
  // Other Jet files the statement names ("T IN 'C:\x.mdb'"), each attached
  // under ado_DatabaseAlias of its path while the statement runs.
  std::vector<std::string> databases;
  // SELECT * INTO: sql inserts into copyTo, which is first made with the
  // columns of copyFrom (both as SQLite names).
  std::string copyTo, copyFrom;
  // A SQL Server batch of several statements: the parts in order (sql is
  // then empty); '?' marks count across the batch.
  std::vector<Translation> batch;
};
// SQLite keeps names beginning with "sqlite_" (any case) for itself, and
// Jet and SQL Server do not: such a table, index or column is stored under
// the name with a '!' before it (a name that begins with '!' gets another,
// so no two names meet). Statements, table opens and the catalog map names
// in; field and column names read back are mapped out again.
std::string ado_StoredName(const std::string &name);
std::string ado_ShownName(const std::string &stored);
// The schema name a Jet file named in a statement is attached as.
std::string ado_DatabaseAlias(const std::string &windowsPath);
// Translates one statement of a profile. ADO_E_SYNTAX with a description for
// a statement or a form the profile does not know or refuses; nothing is
// passed on half-translated.
// With `on`, three-part names (db.dbo.T) and OPENROWSET resolve against the
// connection's server and file: its own catalog is not attached again.
// Files to attach are Windows paths (Jet) or, led by '\x01', connection
// strings.
HRESULT ado_Translate(Profile p, const std::string &in, Translation *out, std::string *why,
                      const ConnInfo *on = nullptr);

// ---- Connection ----------------------------------------------------------
enum : int32_t { adStateClosed = 0, adStateOpen = 1 };
enum : int32_t { adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum : int32_t { adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3 };
enum : int32_t { adCmdText = 1, adCmdTable = 2, adCmdUnknown = 8 };
enum : int32_t { adAddNew = 0x1000400, adDelete = 0x1000800, adUpdate = 0x1008000 };
// Parameter and column types.
enum : int32_t {
  adSmallInt = 2, adInteger = 3, adSingle = 4, adDouble = 5, adDate = 7, adBoolean = 11,
  adChar = 129, adWChar = 130, adDBTimeStamp = 135, adVarChar = 200, adVarWChar = 202,
};

constexpr size_t ADO_MAX_CONNSTR = 4096;

// The parts of a connection string the layer uses.
struct ConnInfo {
  Profile profile = PROFILE_NONE;
  std::string provider, dataSource, catalog;
  std::string path;  // the Linux path of the file
};
// One "key=value" of a connection string: the trimmed key, the value
// (without its quotes) and where both lie in the text.
struct ConnPair {
  std::string key, value;
  size_t keyStart, keyEnd, valueStart, valueEnd;
};
// Splits a connection string into its pairs; false for a malformed one (the
// pairs before the fault are kept).
bool ado_SplitConnStr(const std::string &cs, std::vector<ConnPair> *out);
// Parses and resolves a connection string (no file is opened).
HRESULT ado_ParseConnStr(const std::string &cs, ConnInfo *out, std::string *why);

class Connection {
 public:
  Connection() = default;
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  HRESULT Open(const std::string &connStr);
  HRESULT Close();
  int32_t State() const { return db_ ? adStateOpen : adStateClosed; }
  Profile GetProfile() const { return info_.profile; }
  const ConnInfo &Info() const { return info_; }
  const std::string &Provider() const { return info_.provider; }
  const std::string &ConnectionString() const { return connStr_; }
  // SQL Server: the catalog statements name without a database; "" on Jet.
  std::string DefaultDatabase() const { return info_.profile == PROFILE_SQLSERVER ? info_.catalog : std::string(); }
  // SQL Server: moves the open connection to another catalog of its server
  // (which must exist); refused on Jet.
  HRESULT SetDefaultDatabase(const std::string &name);
  HRESULT Translate(const std::string &text, Translation *tr, std::string *why) const;
  void SetCommandTimeout(int32_t seconds);
  HRESULT Execute(const std::string &text, int32_t *affected);
  HRESULT BeginTrans();
  HRESULT CommitTrans();
  HRESULT RollbackTrans();
  const Error &LastError() const { return err_; }

  // For the rest of this folder.
  sqlite3 *Db() const { return db_; }
  HRESULT Fail(HRESULT hr, const std::string &description);
  HRESULT FailSqlite(int rc);
  HRESULT Prepare(const std::string &sql, sqlite3_stmt **stmt);
  // Attaches (counted) the files a statement names; detaches them again.
  HRESULT AttachDatabases(const std::vector<std::string> &paths);
  void DetachDatabases(const std::vector<std::string> &paths);
  // Makes table `to` with the columns of table `from` (SQLite names).
  HRESULT CreateLike(const std::string &to, const std::string &from);
  // Runs one translated statement without parameters; `affected` gets its
  // changes (a batch: the sum).
  HRESULT ExecuteTranslated(const Translation &tr, int32_t *affected);

 private:
  std::string connStr_;
  std::vector<std::pair<std::string, int>> attached_;  // alias, users
  sqlite3 *db_ = nullptr;
  ConnInfo info_;
  int32_t timeout_ = 300;
  Error err_;
};

// Opens (or, with create, makes) the SQLite file at a Linux path with the
// settings above. The raw handle is for tests and tools of this folder.
HRESULT ado_OpenFile(const std::string &path, bool create, int32_t timeoutSeconds, sqlite3 **db,
                     std::string *why);
// Closes a handle of ado_OpenFile; sets its busy time-out.
void ado_CloseFile(sqlite3 *db);
void ado_SetFileTimeout(sqlite3 *db, int32_t seconds);
// Makes a new empty database file (its folder must exist); an existing file
// is refused.
HRESULT ado_CreateFile(const std::string &path, std::string *why);

// ---- Recordset -----------------------------------------------------------
struct FieldInfo {
  std::string name;
  std::string column;  // the table's column behind it, for row changes
  uint16_t vt = VT_BSTR;
  int32_t size = 0;    // char(n): n
  bool fixed = false;  // char(n): padded
};

class Recordset {
 public:
  Recordset() = default;
  ~Recordset();
  Recordset(const Recordset &) = delete;
  Recordset &operator=(const Recordset &) = delete;

  // Opens a statement or (adCmdTable) a table. A forward-only read-only
  // recordset reads rows as it moves. An updatable one (a table, or a select
  // of one table, not read-only) keeps the keys of its rows from the open and
  // reads a row when it comes to it (a row another connection deleted meanwhile
  // has no current record, unless a new row took its key: SQLite hands the
  // largest key out again); any other reads all rows at open. Either way it
  // holds no read transaction while it changes rows.
  HRESULT Open(const std::string &source, Connection *conn, int32_t cursor, int32_t lock,
               int32_t options);
  HRESULT Close();
  bool IsOpen() const { return open_; }

  HRESULT MoveFirst();
  HRESULT MoveNext();
  HRESULT MovePrevious();
  HRESULT MoveLast();
  HRESULT Move(int32_t offset);
  HRESULT GetBOF(bool *bof);
  HRESULT GetEOF(bool *eof);
  HRESULT GetRecordCount(int32_t *count);
  bool Supports(int32_t options) const;

  int32_t FieldCount() const { return (int32_t)fields_.size(); }
  const FieldInfo *Field(int32_t index) const;
  int32_t FieldIndex(const std::string &name) const;  // -1 when unknown
  HRESULT GetValue(int32_t index, Variant *out);
  HRESULT GetValue(const std::string &name, Variant *out);
  HRESULT PutValue(int32_t index, const Variant &v);
  HRESULT PutValue(const std::string &name, const Variant &v);

  HRESULT AddNew();
  HRESULT Update();
  HRESULT CancelUpdate();
  HRESULT Delete();

  const Error &LastError() const { return err_; }

  // For Command: takes over a prepared and stepped statement.
  HRESULT Attach(Connection *conn, sqlite3_stmt *stmt, int firstRc);

 private:
  HRESULT Fail(HRESULT hr, const std::string &description);
  HRESULT FailSqlite(int rc);
  HRESULT ReadFields(sqlite3_stmt *stmt, int first);
  HRESULT ReadRow(sqlite3_stmt *stmt, std::vector<Variant> *row);
  HRESULT Convert(int32_t index, const Variant &in, Variant *out);
  HRESULT BindValue(sqlite3_stmt *stmt, int pos, int32_t field, const Variant &v);
  HRESULT Current();
  HRESULT PrepareChange(const std::vector<size_t> &cols);
  int64_t RowCount() const { return updatable_ ? (int64_t)rowids_.size() : (int64_t)rows_.size(); }
  HRESULT CurrentRow(const std::vector<Variant> **row);

  Connection *conn_ = nullptr;
  bool open_ = false;
  bool streaming_ = false;
  bool updatable_ = false;
  bool atEof_ = true;
  sqlite3_stmt *stmt_ = nullptr;     // streaming only
  std::string table_;
  int firstField_ = 0;               // 1 when column 0 is the rowid
  std::vector<FieldInfo> fields_;
  std::vector<std::vector<Variant>> rows_;
  std::vector<int64_t> rowids_;
  std::string fetchSql_;             // one row by its key
  sqlite3_stmt *fetch_ = nullptr;
  sqlite3_stmt *change_ = nullptr;   // the last row change, reused while its columns hold
  int changeMode_ = 0;               // its edit mode
  std::vector<size_t> changeCols_;   // its fields
  std::vector<size_t> changeColsNext_;
  std::vector<Variant> rowCache_;
  int64_t cachedPos_ = -2;
  int64_t pos_ = 0;                  // -1 BOF, rows_.size() EOF
  int editMode_ = 0;                 // 0 none, 1 editing, 2 adding
  std::vector<Variant> pending_;
  std::vector<bool> touched_;
  Error err_;
};

// ---- Command -------------------------------------------------------------
struct Parameter {
  std::string name;
  int32_t type = adInteger;
  int32_t direction = 1;
  int32_t size = 0;
  Variant value;
};

class Command {
 public:
  Command() = default;
  ~Command();
  Command(const Command &) = delete;
  Command &operator=(const Command &) = delete;

  void SetActiveConnection(Connection *conn);
  void SetCommandText(const std::string &text);
  HRESULT AppendParameter(const std::string &name, int32_t type, int32_t direction, int32_t size,
                          const Variant &value);
  HRESULT SetParameterValue(const std::string &name, const Variant &value);
  HRESULT SetParameterValue(int32_t index, const Variant &value);
  HRESULT DeleteParameter(const std::string &name);
  int32_t ParameterCount() const { return (int32_t)params_.size(); }
  // Runs the command. `rs` (may be null) receives the rows of a select.
  // Parameters bind by name ("@name" or ":name" in the text) or else in order
  // to the '?' marks. The statement stays prepared until the text changes.
  HRESULT Execute(int32_t *affected, Recordset *rs);
  const Error &LastError() const { return err_; }

 private:
  HRESULT ExecuteBatch(const Translation &tr, int32_t *affected);
  HRESULT Fail(HRESULT hr, const std::string &description);
  Connection *conn_ = nullptr;
  std::string text_;
  std::vector<Parameter> params_;
  std::vector<int> positions_;  // binding position of each parameter
  sqlite3_stmt *stmt_ = nullptr;
  bool isSelect_ = false;
  std::vector<std::string> databases_;  // attached while stmt_ lives
  std::string copyTo_, copyFrom_;
  void Release();
  Error err_;
};

// ---- Catalog and Table ---------------------------------------------------
// Column types are the ADO type numbers (adInteger, adDate, adVarWChar, ...);
// the size is the defined size in characters for text types.
struct Column {
  std::string name;
  int32_t type = adInteger;
  int32_t size = 0;
  bool autoIncrement = false;
  bool nullable = true;
};

class Table {
 public:
  std::string name;
  std::vector<Column> columns;

  // Adds a column; on a table of the file it is added there at once.
  HRESULT AppendColumn(const std::string &column, int32_t type, int32_t size);
  // Properties of a column of a table not yet appended: "AutoIncrement" and
  // "Nullable" (a value that converts to BOOL). A table of the file cannot
  // change its columns' properties here.
  HRESULT SetColumnProperty(const std::string &column, const std::string &property, const Variant &value);
  bool InCatalog() const { return conn_ != nullptr; }
  const Error &LastError() const { return err_; }

 private:
  friend class Catalog;
  HRESULT Fail(HRESULT hr, const std::string &description);
  Connection *conn_ = nullptr;  // set once the table is in a file
  Error err_;
};

class Catalog {
 public:
  // Makes a new database file (Jet only; an existing file is refused) and
  // connects to it.
  HRESULT Create(const std::string &connStr);
  HRESULT SetActiveConnection(const std::string &connStr);
  Connection *ActiveConnection() { return conn_.State() == adStateOpen ? &conn_ : nullptr; }
  HRESULT TableCount(int32_t *count);
  // The named table of the file (any case); ADO_E_NOFIELD when there is none.
  HRESULT GetTable(const std::string &name, Table *out);
  // Creates the table in the file; on success `t` is a table of the file.
  HRESULT AppendTable(Table *t);
  const Error &LastError() const { return err_; }

 private:
  HRESULT Fail(HRESULT hr, const std::string &description);
  HRESULT FailFrom(const Connection &c);
  Connection conn_;
  Error err_;
};

// The column type text a Catalog writes for an ADO type (in the profile's
// own dialect), or "" for a type it does not know.
std::string ado_ColumnTypeText(Profile p, int32_t type, int32_t size);

// Prepares an SQLite statement on a memory database that holds the table
// T(a, b, c, k, s, DT, MS, TX, TP); for tests and fuzzing of the translator.
// *single is false when text follows the first statement.
HRESULT ado_PrepareInMemory(const std::string &sql, bool *single, std::string *why);

// Test hook: when set, called before each statement that changes a file is
// stepped, row changes of recordsets included (a test kills the process
// there, or changes the file from another connection).
extern void (*ado_BeforeStatement)();

// ---- Yardstick -----------------------------------------------------------
// Hand-written SQLite loops, what the layer is measured against: `rows`
// rows of `cols` doubles and one date text (from `row`) inserted with one
// prepared statement, `perTransaction` rows a transaction; and a step loop
// reading every column of a select (doubles as doubles, text as text).
using BaselineRow = void (*)(int row, double *values, int cols, std::string *date);
HRESULT ado_BaselineInsert(const std::string &path, const std::string &insertSql, int rows, int cols,
                           int perTransaction, BaselineRow row, std::string *why);
HRESULT ado_BaselineRead(const std::string &path, const std::string &selectSql, double *checksum, int64_t *rows,
                         std::string *why);
// COUNT(*) of `table`, then `selectSql` (its one parameter the offset) run
// page by page, `page` rows apart, on one connection.
HRESULT ado_BaselinePages(const std::string &path, const std::string &table, const std::string &selectSql, int page,
                          double *checksum, int64_t *rows, std::string *why);
// The archive by hand: with the archive file attached, each run's rows of
// `table` before the cut-off and its Loggers row copied into the X_Arc
// tables and deleted, one transaction a run.
HRESULT ado_BaselineMoveRuns(const std::string &livePath, const std::string &archivePath, const std::string &table,
                             const std::vector<int32_t> &runs, double cutoff, std::string *why);

}  // namespace ado
