// The data and catalog accessors over real database files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "framework/registry/reg_settings.h"
#include "framework/trace/dbg_trace.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "plugin/dbstores/db_acc.h"
#include "plugin/dbstores/db_data_acc.h"
#include "tests/support/test_root.h"

using namespace ado;

namespace {

std::u16string W(const std::string &s) { return ado_Wide(s); }

void TraceOn() {
  std::string key = std::string("SOFTWARE\\Quenford\\") + prod_GetProductName();
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, key.c_str(), 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, "DBACC_Debug", OS_REG_SZ, "ON", 3), 0);
  os_RegCloseKey(k);
  dbg_Open("DBACC");
}

// The debugger output written since the last call.
std::string NewTrace() {
  static size_t seen = 0;
  std::string all = tnwtest::ReadFile(os_DebugOutputPath());
  std::string fresh = all.size() > seen ? all.substr(seen) : std::string();
  seen = all.size();
  return fresh;
}

std::string CsFor(const std::string &file) { return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\acc\\" + file; }

// A Jet file with T(k int, s varchar(10), f float): (1,'a',1.5), (2,'b',NULL).
std::string Fixture(const std::string &file) {
  std::string dir = std::string(os_Root()) + "/drives/c/acc";
  EXPECT_EQ(os_MakeFolders(dir.c_str()), 0);
  unlink((dir + "/" + file).c_str());
  std::string why;
  EXPECT_EQ(ado_CreateFile(dir + "/" + file, &why), ADO_S_OK);
  Connection c;
  EXPECT_EQ(c.Open(CsFor(file)), ADO_S_OK);
  EXPECT_EQ(c.Execute("CREATE TABLE T (k int, s varchar(10), f float)", nullptr), ADO_S_OK);
  EXPECT_EQ(c.Execute("INSERT INTO T (k, s, f) VALUES (1, 'a', 1.5)", nullptr), ADO_S_OK);
  EXPECT_EQ(c.Execute("INSERT INTO T (k, s, f) VALUES (2, 'b', NULL)", nullptr), ADO_S_OK);
  return CsFor(file);
}

class DataAcc : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TraceOn(); }
};

constexpr uint32_t kUnchanged = 0xDEADBEEF;  // last error left as it was
const char *const kKeep = "\x01keep";        // error text left as it was

struct DataCase {
  const char *what;
  std::function<int32_t(CLogITDbDataAcc &)> run;
  int32_t result;
  const char *errorText;  // exact, or kKeep
  uint32_t lastError;     // or kUnchanged
  const char *trace;      // part of the new trace output, or "" for no failure line
};

TEST_F(DataAcc, EdgeCases) {
  const DataCase cases[] = {
      {"query with suffix joined", [](CLogITDbDataAcc &a) { return a.OpenQuery(u"select * from T where k = ", u"1"); }, 0,
       kKeep, kUnchanged, ""},
      {"query without rows stays open",
       [](CLogITDbDataAcc &a) {
         int32_t r = a.OpenQuery(u"select * from T where k > 5", u"");
         int32_t n = -1;
         return r == 1 && a.GetRecordCount(&n) == 0 && n == 0 ? 1 : -1;
       },
       1, kKeep, kUnchanged, ""},
      {"suffix D opens the text alone", [](CLogITDbDataAcc &a) { return a.OpenQuery(u"select * from T", u"D"); }, 0, kKeep,
       kUnchanged, ""},
      {"suffix DD is joined", [](CLogITDbDataAcc &a) { return a.OpenQuery(u"select * from T", u"DD"); },
       (int32_t)DBACC_E_OPEN, "no such table: TDD", 0xC37, "COM Exeption: ADODB.Recordset \t : no such table: TDD\r\n"},
      {"missing table by name",
       [](CLogITDbDataAcc &a) { return a.OpenTable(u"Missing"); }, (int32_t)ADO_E_NOTABLE, kKeep, kUnchanged, ""},
      {"missing table in a statement",
       [](CLogITDbDataAcc &a) { return a.OpenRecordset(u"select * from Missing", adOpenStatic, adLockOptimistic, adCmdUnknown); },
       (int32_t)DBACC_E_OPEN, "no such table: Missing", 0xC37, "COM Exeption: ADODB.Recordset \t : no such table: Missing"},
      {"a failure outside the range clears the last error",
       [](CLogITDbDataAcc &a) { return a.Connect(u"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\acc\\none.mdb", u"", 0); },
       (int32_t)DBACC_E_CONNECT, "Could not find file 'C:\\acc\\none.mdb'.", 0, "COM Exeption: Jet \t : Could not find"},
      {"NULL among doubles",
       [](CLogITDbDataAcc &a) {
         a.OpenQuery(u"select k, f, k from T where k = 2", u"");
         double v[3] = {-1, -1, -1};
         int32_t r = a.GetDoubles(0, 3, v);
         return r == (int32_t)DBACC_E_GETDOUBLES && v[0] == 2 && v[2] == -1 ? r : 0;
       },
       (int32_t)DBACC_E_GETDOUBLES, "The value of field 'f' is no number.", 0, "COM Exeption: ADODB.Field"},
      {"empty text stores NULL",
       [](CLogITDbDataAcc &a) {
         a.OpenQuery(u"select * from T where k = 1", u"");
         if (a.UpdateField(u"s", var_Utf8("")) != 0) return -2;
         a.OpenQuery(u"select s from T where k = 1", u"");
         Variant v;
         return a.GetFieldValue(u"s", &v) == 0 && v.vt == VT_NULL ? 0 : -1;
       },
       0, kKeep, kUnchanged, ""},
      {"null out argument", [](CLogITDbDataAcc &a) { return a.GetFieldValue(u"s", nullptr); }, (int32_t)DBACC_E_INVALIDARG,
       kKeep, kUnchanged, ""},
      {"no recordset", [](CLogITDbDataAcc &a) { Variant v; a.CloseRecordset(); return a.GetEOF(&v); },
       (int32_t)DBACC_E_BOFEOF, "", 0, "COM Exeption:  \t : \r\n"},
      {"long description cut",
       [](CLogITDbDataAcc &a) {
         std::string name(1500, 'Z');
         return a.OpenRecordset(W("select * from " + name).c_str(), adOpenStatic, adLockOptimistic, adCmdUnknown);
       },
       (int32_t)DBACC_E_OPEN, nullptr, 0xC37, "no such table: ZZZ"},
      {"find and compare",
       [](CLogITDbDataAcc &a) {
         a.OpenQuery(u"select * from T order by k", u"");
         Variant found, eq, k;
         if (a.FindRecord(var_Utf8("b"), u"s", &found) != 0 || found.boolVal != VARIANT_TRUE) return -1;
         if (a.GetFieldValue(u"k", &k) != 0 || k.lVal != 2) return -2;
         if (a.FieldEquals(var_Utf8("2"), u"k", &eq) != 0 || eq.boolVal != VARIANT_TRUE) return -3;
         if (a.FindRecord(var_Utf8("zz"), u"s", &found) != 0 || found.boolVal != VARIANT_FALSE) return -4;
         return 0;
       },
       0, kKeep, kUnchanged, ""},
      {"add through lists and doubles",
       [](CLogITDbDataAcc &a) {
         if (a.OpenTable(u"T") != 0) return -1;
         Variant names = var_Array(VT_VARIANT, {var_Utf8("k"), var_Utf8("s")});
         Variant vals = var_Array(VT_VARIANT, {var_I4(3), var_Utf8("c")});
         if (a.AddNew(0, &names, &vals) != 0) return -2;
         if (a.AddNewRecord() != 0) return -3;
         double d[1] = {7.25};
         if (a.SetFieldValueAt(0, var_I4(4)) != 0 || a.SetDoubles(2, 1, d) != 0 || a.Update() != 0) return -4;
         a.OpenQuery(u"select k, f from T where k >= 3 order by k", u"");
         int32_t n = 0;
         double got[2] = {0, 0};
         if (a.GetRecordCount(&n) != 0 || n != 2 || a.MoveTo(1) != 0 || a.GetDoubles(0, 2, got) != 0) return -5;
         return got[0] == 4 && got[1] == 7.25 ? 0 : -6;
       },
       0, kKeep, kUnchanged, ""},
      {"a put of text into an integer field",
       [](CLogITDbDataAcc &a) {
         a.OpenTable(u"T");
         a.MoveFirst();
         return a.SetFieldValueAt(0, var_Utf8("x"));
       },
       (int32_t)DBACC_E_SETFIELDAT, "Data type mismatch in field 'k'.", 0xC07, "COM Exeption: ADODB.Recordset"},
      {"moving past the end",
       [](CLogITDbDataAcc &a) {
         a.OpenQuery(u"select * from T where k = 1", u"");
         a.MoveNext();
         return a.MoveNext();
       },
       (int32_t)DBACC_E_MOVENEXT,
       "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current record.",
       0, "COM Exeption:"},
  };
  const std::string cs = Fixture("edge.mdb");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    CLogITDbDataAcc acc;
    ASSERT_EQ(acc.Connect(W(cs).c_str(), u"", 0), 0) << acc.GetComErrorText();
    // A known earlier state to tell "unchanged" from "set".
    ASSERT_EQ(acc.OpenRecordset(u"select * from Earlier", adOpenStatic, adLockOptimistic, adCmdUnknown), (int32_t)DBACC_E_OPEN);
    const std::string before = acc.GetComErrorText();
    ASSERT_EQ(before, "no such table: Earlier");
    os_SetLastError(0x1234);
    NewTrace();
    int32_t r = c.run(acc);
    EXPECT_EQ(r, c.result);
    std::string text = acc.GetComErrorText();
    if (c.errorText == kKeep) EXPECT_EQ(text, before);
    else if (c.errorText) EXPECT_EQ(text, c.errorText);
    else EXPECT_EQ(text.size(), 999u);
    EXPECT_EQ(os_GetLastError(), c.lastError == kUnchanged ? 0x1234u : c.lastError);
    std::string trace = NewTrace();
    if (*c.trace) EXPECT_NE(trace.find(c.trace), std::string::npos) << trace;
    else EXPECT_EQ(trace.find("COM Exeption"), std::string::npos) << trace;
    EXPECT_EQ(acc.Disconnect(), 0);
  }
}

TEST_F(DataAcc, DisconnectAlwaysClosesAndConnectClosesTheOldOne) {
  const std::string cs = Fixture("disc.mdb");
  CLogITDbDataAcc acc;
  ASSERT_EQ(acc.Connect(W(cs).c_str(), u"", 0), 0);
  EXPECT_EQ(acc.GetConnectionState(), adStateOpen);
  // A statement without rows leaves the recordset closed behind a set flag:
  // closing it fails.
  ASSERT_EQ(acc.OpenRecordset(u"DELETE FROM T WHERE k = 99", adOpenStatic, adLockOptimistic, adCmdUnknown), 0);
  NewTrace();
  EXPECT_EQ(acc.Disconnect(), 0);
  EXPECT_STREQ(acc.GetComErrorText(), "Operation is not allowed when the object is closed.");
  EXPECT_NE(NewTrace().find("COM Exeption"), std::string::npos);
  EXPECT_EQ(acc.GetConnectionState(), (int32_t)DBACC_E_STATE);  // the connection went too

  ASSERT_EQ(acc.Connect(W(cs).c_str(), u"", 0), 0);
  ASSERT_EQ(acc.OpenTable(u"T"), 0);
  ASSERT_EQ(acc.Connect(W(cs).c_str(), u"", 0), 0);  // the first one is closed, with its recordset
  Variant eof;
  EXPECT_EQ(acc.GetEOF(&eof), (int32_t)DBACC_E_BOFEOF);
  EXPECT_EQ(acc.GetConnectionState(), adStateOpen);
  EXPECT_EQ(acc.Login(1, 2), 0);
  EXPECT_EQ(acc.Disconnect(), 0);
  EXPECT_EQ(acc.Disconnect(), 0);
}

// ---- the catalog accessor ---------------------------------------------------------
struct Arrays {
  Variant names, types, sizes;
};
Arrays Columns(std::vector<std::tuple<std::string, int32_t, int32_t>> cols) {
  Arrays a;
  std::vector<Variant> n, t, s;
  for (auto &[name, type, size] : cols) {
    n.push_back(var_Utf8(name));
    t.push_back(var_I4(type));
    s.push_back(var_I4(size));
  }
  a.names = var_Array(VT_VARIANT, n);
  a.types = var_Array(VT_VARIANT, t);
  a.sizes = var_Array(VT_VARIANT, s);
  return a;
}

TEST_F(DataAcc, CatalogEdgeCases) {
  std::string dir = std::string(os_Root()) + "/drives/c/acc";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  unlink((dir + "/cat.mdb").c_str());
  const std::u16string cs = W(CsFor("cat.mdb") + ";User ID=admin;Password=hush");
  Arrays cols = Columns({{"IDLogger", adInteger, 0}, {"sLogName", adVarWChar, 50}, {"dStart", adDate, 0}});

  CLogITDbAcc acc;
  EXPECT_EQ(acc.IsUnavailable(), 1);
  EXPECT_EQ(acc.ExecuteSql(u"CREATE TABLE X (a int)"), 1);  // before Attach
  // Bad arguments come before readiness.
  Variant scalar = var_I4(1);
  EXPECT_EQ(acc.CreateTables(u"A", 0, &cols.names, &cols.types, &cols.sizes, 0), (int32_t)DBACC_E_INVALIDARG);
  EXPECT_EQ(acc.CreateTables(u"", 3, &cols.names, &cols.types, &cols.sizes, 0), (int32_t)DBACC_E_INVALIDARG);
  EXPECT_EQ(acc.CreateTables(u"A", 3, &scalar, &cols.types, &cols.sizes, 0), (int32_t)DBACC_E_INVALIDARG);
  EXPECT_EQ(acc.CreateTables(u"A", 3, &cols.names, &cols.types, &cols.sizes, 0), (int32_t)DBACC_E_NOTREADY);

  NewTrace();
  EXPECT_EQ(acc.Attach(cs.c_str(), u""), 1);  // no file yet
  EXPECT_EQ(std::string(acc.GetComErrorText()).find("Could not find file"), 0u);
  std::string trace = NewTrace();
  EXPECT_EQ(trace.find("hush"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Password=*****"), std::string::npos) << trace;
  EXPECT_EQ(acc.CreateDatabase(cs.c_str(), u""), 0);
  EXPECT_EQ(acc.IsUnavailable(), 1);
  EXPECT_EQ(acc.CreateTable(u"B", u"x", adInteger, 0, 0), 0);  // before Login: 0, nothing done
  EXPECT_EQ(acc.AddColumn(u"y", adInteger, 0), 1);
  EXPECT_EQ(acc.CreateTables(u"A", 3, &cols.names, &cols.types, &cols.sizes, 0), (int32_t)DBACC_E_NOTREADY);
  EXPECT_EQ(acc.Login(0, 0), 0);
  EXPECT_EQ(acc.IsUnavailable(), 0);
  int32_t n = -1;
  ASSERT_EQ(acc.CountTables(&n), 0);
  EXPECT_EQ(n, 0);

  // adDate refused: the second try makes it a time stamp.
  ado_SetRefusals(PROFILE_JET, REFUSE_ADDATE);
  EXPECT_EQ(acc.CreateTables(u"Loggers", 3, &cols.names, &cols.types, &cols.sizes, 0), 0);
  ado_SetRefusals(PROFILE_JET, 0);
  Catalog look;
  ASSERT_EQ(look.SetActiveConnection(CsFor("cat.mdb")), ADO_S_OK);
  Table t;
  ASSERT_EQ(look.GetTable("Loggers", &t), ADO_S_OK);
  ASSERT_EQ(t.columns.size(), 3u);
  EXPECT_EQ(t.columns[2].type, adDBTimeStamp);
  EXPECT_TRUE(t.columns[0].autoIncrement);
  // An auto-increment index outside the columns marks none.
  EXPECT_EQ(acc.CreateTables(u"Other", 3, &cols.names, &cols.types, &cols.sizes, 7), 0);
  ASSERT_EQ(look.GetTable("Other", &t), ADO_S_OK);
  for (const auto &c : t.columns) EXPECT_FALSE(c.autoIncrement) << c.name;
  EXPECT_EQ(t.columns[2].type, adDate);

  EXPECT_EQ(acc.AddColumn(u"fRate", adDouble, 0), 0);
  EXPECT_EQ(acc.SetColumnProperty(u"fRate", u"Nullable", var_Bool(false)), 1);
  EXPECT_EQ(acc.SelectTable(u"Missing"), 1);
  EXPECT_STREQ(acc.GetComErrorText(), "Item cannot be found in the collection corresponding to the requested name or ordinal.");
  EXPECT_EQ(acc.FindTable(u"Missing"), 1);
  EXPECT_EQ(acc.FindTable(u"loggers"), 0);
  EXPECT_EQ(acc.SelectTable(u"Loggers"), 0);
  EXPECT_EQ(acc.CreateTable(u"B", u"x", adInteger, 0, 1), 0);
  EXPECT_EQ(acc.CreateTable(u"B", u"x", adInteger, 0, 1), (int32_t)DBACC_E_COUNT);
  EXPECT_EQ(acc.ExecuteSql(u"CREATE INDEX CH ON B (x)"), 0);
  EXPECT_EQ(acc.ExecuteSql(u"CREATE INDEX CH ON B (x)"), 1);
  EXPECT_EQ(acc.ExecuteSql(u"GRANT ALL ON B"), 1);
  ASSERT_EQ(acc.CountTables(&n), 0);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(acc.CheckOpen(0), 0);

  EXPECT_EQ(acc.ReleaseCatalog(), 0);
  EXPECT_EQ(acc.CountTables(&n), 1);
  EXPECT_EQ(acc.Attach(cs.c_str(), u""), 1);
  EXPECT_EQ(acc.IsUnavailable(), 1);
  EXPECT_EQ(acc.FindTable(u"Loggers"), 1);
  EXPECT_EQ(acc.CreateTable(u"C", u"x", adInteger, 0, 0), 1);
}

enum Stage { CREATED, ATTACHED, READY, SELECTED, RELEASED };

struct CatalogCase {
  const char *what;
  Stage stage;
  std::function<int32_t(CLogITDbAcc &)> run;
  int32_t result;
  const char *errorText;  // exact, or kKeep
  uint32_t lastError;     // or kUnchanged
  const char *trace;      // part of the new trace output, or "" for no failure line
};

TEST_F(DataAcc, CatalogEdgeCaseTable) {
  std::string dir = std::string(os_Root()) + "/drives/c/acc";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  const std::string file = dir + "/table.mdb";
  static Arrays cols = Columns({{"IDLogger", adInteger, 0}, {"sLogName", adVarWChar, 50}});
  static Variant scalar = var_I4(1);
  const std::u16string cs = W(CsFor("table.mdb"));
  const CatalogCase cases[] = {
      {"no columns", CREATED, [](CLogITDbAcc &a) { return a.CreateTables(u"A", 0, &cols.names, &cols.types, &cols.sizes, 0); },
       (int32_t)DBACC_E_INVALIDARG, kKeep, kUnchanged, ""},
      {"no table name", READY, [](CLogITDbAcc &a) { return a.CreateTables(u"", 2, &cols.names, &cols.types, &cols.sizes, 0); },
       (int32_t)DBACC_E_INVALIDARG, kKeep, kUnchanged, ""},
      {"no array", CREATED, [](CLogITDbAcc &a) { return a.CreateTables(u"A", 2, &cols.names, &scalar, &cols.sizes, 0); },
       (int32_t)DBACC_E_INVALIDARG, kKeep, kUnchanged, ""},
      {"too few entries", READY, [](CLogITDbAcc &a) { return a.CreateTables(u"A", 3, &cols.names, &cols.types, &cols.sizes, 0); },
       (int32_t)DBACC_E_INVALIDARG, kKeep, kUnchanged, ""},
      {"tables before Login", ATTACHED,
       [](CLogITDbAcc &a) { return a.CreateTables(u"A", 2, &cols.names, &cols.types, &cols.sizes, 0); },
       (int32_t)DBACC_E_NOTREADY, kKeep, kUnchanged, ""},
      {"one table before Login", ATTACHED, [](CLogITDbAcc &a) { return a.CreateTable(u"A", u"x", adInteger, 0, 0); }, 0,
       kKeep, kUnchanged, ""},
      {"column before Login", ATTACHED, [](CLogITDbAcc &a) { return a.AddColumn(u"x", adInteger, 0); }, 1, kKeep,
       kUnchanged, ""},
      {"column without a table", READY, [](CLogITDbAcc &a) { return a.AddColumn(u"x", adInteger, 0); }, 1, kKeep,
       kUnchanged, ""},
      {"column of an unknown type", SELECTED, [](CLogITDbAcc &a) { return a.AddColumn(u"x", 999, 0); }, 1,
       "Type is invalid.", 0, "COM Exeption: ADOX.Table \t : Type is invalid."},
      {"count before Attach", CREATED, [](CLogITDbAcc &a) { int32_t n; return a.CountTables(&n); }, 1, kKeep, kUnchanged, ""},
      {"statement before Attach", CREATED, [](CLogITDbAcc &a) { return a.ExecuteSql(u"DROP TABLE Loggers"); }, 1, kKeep,
       kUnchanged, ""},
      {"unavailable until Login", ATTACHED, [](CLogITDbAcc &a) { return a.IsUnavailable(); }, 1, kKeep, kUnchanged, ""},
      {"available after Login", READY, [](CLogITDbAcc &a) { return a.IsUnavailable(); }, 0, kKeep, kUnchanged, ""},
      {"bad connection string", CREATED, [](CLogITDbAcc &a) { return a.Attach(u"Provider=Nope;Password=hush", u""); }, 1,
       "Provider cannot be found. It may not be properly installed.", 0, "COM Exeption: ADO \t : Provider cannot be found"},
      {"find a missing table", READY, [](CLogITDbAcc &a) { return a.FindTable(u"Missing"); }, 1, kKeep, kUnchanged, ""},
      {"find a table", READY, [](CLogITDbAcc &a) { return a.FindTable(u"loggers"); }, 0, kKeep, kUnchanged, ""},
      {"select a missing table", READY, [](CLogITDbAcc &a) { return a.SelectTable(u"Missing"); }, 1,
       "Item cannot be found in the collection corresponding to the requested name or ordinal.", 0,
       "COM Exeption: ADOX.Catalog"},
      {"unknown statement", READY, [](CLogITDbAcc &a) { return a.ExecuteSql(u"GRANT ALL ON Loggers"); }, 1,
       "Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', 'SELECT', or 'UPDATE'.", 0xC14,
       "COM Exeption: Jet \t : Invalid SQL statement"},
      {"statement on a missing table", READY, [](CLogITDbAcc &a) { return a.ExecuteSql(u"DELETE FROM Missing"); }, 1,
       "no such table: Missing", 0xC37, "COM Exeption: Jet \t : no such table: Missing"},
      {"table that exists", READY, [](CLogITDbAcc &a) { return a.CreateTable(u"Loggers", u"x", adInteger, 0, 0); },
       (int32_t)DBACC_E_COUNT, "Table 'Loggers' already exists.", 0, "COM Exeption: ADOX.Catalog"},
      {"property of a table in the file", SELECTED,
       [](CLogITDbAcc &a) { return a.SetColumnProperty(u"sLogName", u"Nullable", var_Bool(false)); }, 1,
       "Object or provider is not capable of performing requested operation.", 0, "COM Exeption: ADOX.Table"},
      {"property without a table", READY,
       [](CLogITDbAcc &a) { return a.SetColumnProperty(u"sLogName", u"Nullable", var_Bool(false)); }, 1, kKeep,
       kUnchanged, ""},
      {"database that exists", CREATED,
       [](CLogITDbAcc &a) { return a.CreateDatabase(W(CsFor("table.mdb")).c_str(), u""); }, 1, "Database already exists.",
       0, "COM Exeption: ADOX.Catalog"},
      {"attach after release", RELEASED, [](CLogITDbAcc &a) { return a.Attach(W(CsFor("table.mdb")).c_str(), u""); }, 1,
       kKeep, kUnchanged, ""},
      {"table after release", RELEASED, [](CLogITDbAcc &a) { return a.CreateTable(u"B", u"x", adInteger, 0, 0); }, 1,
       kKeep, kUnchanged, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    unlink(file.c_str());
    std::string why;
    ASSERT_EQ(ado_CreateFile(file, &why), ADO_S_OK);
    {
      Connection conn;
      ASSERT_EQ(conn.Open(CsFor("table.mdb")), ADO_S_OK);
      ASSERT_EQ(conn.Execute("CREATE TABLE Loggers (IDLogger counter, sLogName varchar(50))", nullptr), ADO_S_OK);
    }
    CLogITDbAcc acc;
    // A known earlier failure, to tell "unchanged" from "set".
    ASSERT_EQ(acc.Attach(u"Provider=Earlier", u""), 1);
    const std::string before = acc.GetComErrorText();
    if (c.stage >= ATTACHED && c.stage != RELEASED) {
      ASSERT_EQ(acc.Attach(cs.c_str(), u""), 0) << acc.GetComErrorText();
    }
    if (c.stage >= READY && c.stage != RELEASED) {
      ASSERT_EQ(acc.Login(0, 0), 0);
    }
    if (c.stage == SELECTED) {
      ASSERT_EQ(acc.SelectTable(u"Loggers"), 0);
    }
    if (c.stage == RELEASED) {
      ASSERT_EQ(acc.ReleaseCatalog(), 0);
    }
    os_SetLastError(0x1234);
    NewTrace();
    EXPECT_EQ(c.run(acc), c.result);
    if (c.errorText == kKeep) EXPECT_EQ(acc.GetComErrorText(), before);
    else EXPECT_STREQ(acc.GetComErrorText(), c.errorText);
    EXPECT_EQ(os_GetLastError(), c.lastError == kUnchanged ? 0x1234u : c.lastError);
    std::string trace = NewTrace();
    if (*c.trace) EXPECT_NE(trace.find(c.trace), std::string::npos) << trace;
    else EXPECT_EQ(trace.find("COM Exeption"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("hush"), std::string::npos) << trace;
  }
}

}  // namespace
