// Connections, recordsets, commands and statement translation over real files.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/ado/ado.h"
#include "platform/os_path.h"
#include "tests/support/test_root.h"

using namespace ado;

namespace {

std::string JetPath(const std::string &name) { return std::string(os_Root()) + "/drives/c/db/" + name; }
std::string JetCs(const std::string &name) { return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\db\\" + name; }

// A new Jet file C:\db\<name> opened on `c`.
void NewJet(Connection *c, const std::string &name) {
  std::string dir = std::string(os_Root()) + "/drives/c/db";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  std::string why;
  remove(JetPath(name).c_str());
  ASSERT_EQ(ado_CreateFile(JetPath(name), &why), ADO_S_OK) << why;
  ASSERT_EQ(c->Open(JetCs(name)), ADO_S_OK) << c->LastError().description;
}

std::string Hex(HRESULT hr) {
  char b[16];
  snprintf(b, sizeof b, "0x%08X", (unsigned)hr);
  return b;
}

// ---- connection strings and files ---------------------------------------------
TEST(AdoConnection, OpenFailuresAndProviders) {
  std::string dir = std::string(os_Root()) + "/drives/c/db";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  ASSERT_TRUE(tnwtest::WriteFile(dir + "/garbage.mdb", std::string(4096, 'x')));
  // The first bytes of a real Jet file: no SQLite file.
  ASSERT_TRUE(tnwtest::WriteFile(dir + "/real.mdb", std::string("\0\1\0\0Standard Jet DB\0", 20) + std::string(2000, '\0')));
  std::string why;
  ASSERT_EQ(ado_CreateFile(dir + "/ok.mdb", &why), ADO_S_OK);
  std::string srv = std::string(os_Root()) + "/hosts/./sqlserver";
  ASSERT_EQ(os_MakeFolders(srv.c_str()), 0);
  ASSERT_EQ(ado_CreateFile(srv + "/Logs.db", &why), ADO_S_OK);

  struct Case {
    std::string cs;
    HRESULT hr;
    const char *text;  // part of the description
  } cases[] = {
      {JetCs("ok.mdb"), ADO_S_OK, ""},
      {"provider=microsoft.jet.oledb.4.0; data source = \"C:\\db\\ok.mdb\"", ADO_S_OK, ""},
      {JetCs("missing.mdb"), ADO_E_FAIL, "Could not find file 'C:\\db\\missing.mdb'."},
      {JetCs("garbage.mdb"), ADO_E_FAIL, "Unrecognized database format"},
      {JetCs("real.mdb"), ADO_E_FAIL, "Unrecognized database format"},
      {"Provider=Nope.1;Data Source=x", ADO_E_PROVIDER, "Provider cannot be found"},
      {"Data Source=x", ADO_E_PROVIDER, "Provider cannot be found"},
      {"Provider=Microsoft.Jet.OLEDB.4.0", ADO_E_FAIL, "Could not find file"},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"C:\\db\\ok.mdb", ADO_E_INVALIDARG, "malformed"},
      {JetCs("ok.mdb") + ";x=" + std::string(ADO_MAX_CONNSTR, 'a'), ADO_E_INVALIDARG, "too long"},
      {"Provider=SQLOLEDB;Data Source=(local);Initial Catalog=Logs;User ID=sa;Password=pw", ADO_S_OK, ""},
      {"Provider=SQLOLEDB;Server=localhost;Database=Logs", ADO_S_OK, ""},
      {"Provider=SQLOLEDB;Data Source=FARHOST;Initial Catalog=Logs", ADO_E_FAIL, "SQL Server does not exist"},
      {"Provider=SQLOLEDB;Data Source=../x;Initial Catalog=Logs", ADO_E_FAIL, "SQL Server does not exist"},
      {"Provider=SQLOLEDB;Data Source=.;Initial Catalog=Other", ADO_E_FAIL, "Cannot open database \"Other\""},
      {"Provider=SQLOLEDB;Data Source=.;Initial Catalog=../Logs", ADO_E_FAIL, "Cannot open database"},
  };
  for (const auto &c : cases) {
    Connection conn;
    HRESULT hr = conn.Open(c.cs);
    EXPECT_EQ(Hex(hr), Hex(c.hr)) << c.cs.substr(0, 120);
    EXPECT_NE(conn.LastError().description.find(c.text), std::string::npos)
        << c.cs.substr(0, 120) << " -> " << conn.LastError().description;
    EXPECT_EQ(conn.State(), hr == ADO_S_OK ? adStateOpen : adStateClosed);
  }
  // Open never creates.
  FILE *f = fopen(JetPath("missing.mdb").c_str(), "r");
  EXPECT_EQ(f, nullptr);
  if (f) fclose(f);
}

TEST(AdoConnection, MaskPassword) {
  struct { const char *in, *out; } cases[] = {
      {"Provider=SQLOLEDB;User ID=sa;Password=secret;Data Source=.", "Provider=SQLOLEDB;User ID=sa;Password=*****;Data Source=."},
      {"pwd=x;PWD = y", "pwd=*****;PWD = *****"},
      {"Password='x;y';Data Source=a", "Password=*****;Data Source=a"},
      {"Provider=SQLOLEDB;Password=\"un;closed", "Provider=SQLOLEDB;Password=*****"},
      {"Provider=SQLOLEDB;Pass=\"un;closed", "Provider=SQLOLEDB;Pass=*****"},
      {"Jet OLEDB:Database Password=pw;Data Source=a", "Jet OLEDB:Database Password=*****;Data Source=a"},
      {"Provider=SQLOLEDB;Data Source=.", "Provider=SQLOLEDB;Data Source=."},
  };
  for (const auto &c : cases) EXPECT_EQ(ado_MaskPassword(c.in), c.out);
}

// ---- typing -------------------------------------------------------------------
TEST(AdoTyping, PutAndReadBack) {
  Connection c;
  NewJet(&c, "typing.mdb");
  ASSERT_EQ(c.Execute("CREATE TABLE T (c char(4), v varchar(5), i int, n integer, s smallint, r real, f float, "
                      "d datetime, e date)",
                      nullptr),
            ADO_S_OK)
      << c.LastError().description;
  struct Case {
    const char *field;
    Variant put;
    HRESULT hr;
    uint16_t vt;       // type read back
    const char *read;  // value read back as text
  } cases[] = {
      {"c", var_Utf8("ab"), ADO_S_OK, VT_BSTR, "ab  "},
      {"c", var_Utf8("abcd"), ADO_S_OK, VT_BSTR, "abcd"},
      {"c", var_Utf8("abcde"), ADO_E_OVERFLOW, 0, nullptr},
      {"c", var_I4(12), ADO_S_OK, VT_BSTR, "12  "},
      {"v", var_Utf8("ab"), ADO_S_OK, VT_BSTR, "ab"},
      {"v", var_Utf8("abcdef"), ADO_E_OVERFLOW, 0, nullptr},
      {"v", var_Utf8(""), ADO_S_OK, VT_NULL, "NULL"},
      {"i", var_Utf8("42"), ADO_S_OK, VT_I4, "42"},
      {"i", var_Utf8("4x"), ADO_E_CONVERSION, 0, nullptr},
      {"i", var_R8(2.5), ADO_S_OK, VT_I4, "2"},
      {"i", var_R8(3e10), ADO_E_OVERFLOW, 0, nullptr},
      {"n", var_Bool(true), ADO_S_OK, VT_I4, "-1"},
      {"s", var_I4(40000), ADO_E_OVERFLOW, 0, nullptr},
      {"s", var_I4(-7), ADO_S_OK, VT_I2, "-7"},
      {"r", var_R8(1.5), ADO_S_OK, VT_R4, "1.5"},
      {"r", var_R8(1e39), ADO_E_OVERFLOW, 0, nullptr},
      {"r", var_Utf8("abc"), ADO_E_CONVERSION, 0, nullptr},
      {"f", var_Utf8("2.25"), ADO_S_OK, VT_R8, "2.25"},
      {"f", var_Null(), ADO_S_OK, VT_NULL, "NULL"},
      {"d", var_Date(date_FromParts(2024, 2, 29, 13, 14, 15, 0)), ADO_S_OK, VT_DATE, "2024-02-29 13:14:15"},
      {"d", var_Date(date_FromParts(2024, 2, 29, 13, 14, 15, 250)), ADO_S_OK, VT_DATE, "2024-02-29 13:14:15.250"},
      {"d", var_Utf8("1/2/2024 03:04:05"), ADO_S_OK, VT_DATE, "2024-01-02 03:04:05"},
      {"d", var_Utf8("2023-02-29"), ADO_E_CONVERSION, 0, nullptr},
      {"d", var_R8(1e9), ADO_E_OVERFLOW, 0, nullptr},
      {"e", var_R8(0.5), ADO_S_OK, VT_DATE, "1899-12-30 12:00:00"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(std::string(k.field) + " <- " + var_ToUtf8(k.put));
    ASSERT_EQ(c.Execute("DELETE FROM T", nullptr), ADO_S_OK);
    Recordset rs;
    ASSERT_EQ(rs.Open("T", &c, adOpenStatic, adLockOptimistic, adCmdTable), ADO_S_OK) << rs.LastError().description;
    ASSERT_EQ(rs.AddNew(), ADO_S_OK);
    HRESULT hr = rs.PutValue(k.field, k.put);
    EXPECT_EQ(Hex(hr), Hex(k.hr)) << rs.LastError().description;
    if (hr < 0) {
      EXPECT_FALSE(rs.LastError().description.empty());
      continue;
    }
    ASSERT_EQ(rs.Update(), ADO_S_OK) << rs.LastError().description;
    // Read through a fresh recordset, from the file.
    Recordset back;
    ASSERT_EQ(back.Open(std::string("select ") + k.field + " from T", &c, adOpenForwardOnly, adLockReadOnly, adCmdUnknown),
              ADO_S_OK);
    Variant v;
    ASSERT_EQ(back.GetValue(0, &v), ADO_S_OK);
    EXPECT_EQ(v.vt, k.vt);
    EXPECT_EQ(var_ToUtf8(v), k.read);
  }
}

TEST(AdoTyping, CharComparesWithoutTrailingBlanks) {
  Connection c;
  NewJet(&c, "rtrim.mdb");
  ASSERT_EQ(c.Execute("CREATE TABLE T (c char(8), k int)", nullptr), ADO_S_OK);
  ASSERT_EQ(c.Execute("INSERT INTO T (c, k) VALUES ('ab', 1)", nullptr), ADO_S_OK);
  Recordset rs;
  ASSERT_EQ(rs.Open("select k from T where c = 'ab      '", &c, adOpenStatic, adLockReadOnly, adCmdUnknown), ADO_S_OK);
  int32_t n = 0;
  ASSERT_EQ(rs.GetRecordCount(&n), ADO_S_OK);
  EXPECT_EQ(n, 1);
}

// ---- recordsets and commands ----------------------------------------------------
TEST(AdoRecordset, MovesChangesAndErrors) {
  Connection c;
  NewJet(&c, "rs.mdb");
  ASSERT_EQ(c.Execute("CREATE TABLE T (k int, s varchar(10))", nullptr), ADO_S_OK);
  for (int i = 1; i <= 3; ++i)
    ASSERT_EQ(c.Execute("INSERT INTO T (k, s) VALUES (" + std::to_string(i) + ", 'r" + std::to_string(i) + "')", nullptr),
              ADO_S_OK);
  Recordset rs;
  EXPECT_EQ(rs.Open("select * from Missing", &c, adOpenStatic, adLockOptimistic, adCmdUnknown), ADO_E_NOTABLE);
  EXPECT_EQ(rs.Open("Missing", &c, adOpenStatic, adLockOptimistic, adCmdTable), ADO_E_NOTABLE);
  EXPECT_EQ(rs.Open("select nope from T", &c, adOpenStatic, adLockOptimistic, adCmdUnknown), ADO_E_SYNTAX);
  EXPECT_EQ(rs.Close(), ADO_E_CLOSED);

  ASSERT_EQ(rs.Open("select * from T where k >= 1 order by k", &c, adOpenStatic, adLockOptimistic, adCmdUnknown), ADO_S_OK);
  EXPECT_TRUE(rs.Supports(adAddNew));
  bool eof = true, bof = true;
  ASSERT_EQ(rs.GetEOF(&eof), ADO_S_OK);
  EXPECT_FALSE(eof);
  ASSERT_EQ(rs.MoveLast(), ADO_S_OK);
  Variant v;
  ASSERT_EQ(rs.GetValue("k", &v), ADO_S_OK);
  EXPECT_EQ(v.lVal, 3);
  ASSERT_EQ(rs.PutValue("s", var_Utf8("changed")), ADO_S_OK);
  ASSERT_EQ(rs.MovePrevious(), ADO_S_OK);  // moving saves the change
  ASSERT_EQ(rs.Delete(), ADO_S_OK);         // k = 2 goes
  ASSERT_EQ(rs.MoveFirst(), ADO_S_OK);
  ASSERT_EQ(rs.MovePrevious(), ADO_S_OK);
  ASSERT_EQ(rs.GetBOF(&bof), ADO_S_OK);
  EXPECT_TRUE(bof);
  EXPECT_EQ(rs.GetValue(0, &v), ADO_E_NOCURRENT);
  EXPECT_EQ(rs.GetValue("nope", &v), ADO_E_NOFIELD);
  EXPECT_EQ(rs.Move(4), ADO_E_NOCURRENT);  // from BOF past two rows and EOF
  ASSERT_EQ(rs.Move(3), ADO_S_OK);         // from BOF past two rows to EOF
  ASSERT_EQ(rs.GetEOF(&eof), ADO_S_OK);
  EXPECT_TRUE(eof);
  EXPECT_EQ(rs.MoveNext(), ADO_E_NOCURRENT);
  ASSERT_EQ(rs.AddNew(), ADO_S_OK);
  ASSERT_EQ(rs.PutValue("k", var_I4(9)), ADO_S_OK);
  ASSERT_EQ(rs.CancelUpdate(), ADO_S_OK);
  ASSERT_EQ(rs.Close(), ADO_S_OK);

  Recordset check;
  ASSERT_EQ(check.Open("select k, s from T order by k", &c, adOpenForwardOnly, adLockReadOnly, adCmdUnknown), ADO_S_OK);
  std::string seen;
  for (;;) {
    ASSERT_EQ(check.GetEOF(&eof), ADO_S_OK);
    if (eof) break;
    Variant k, s;
    ASSERT_EQ(check.GetValue(0, &k), ADO_S_OK);
    ASSERT_EQ(check.GetValue(1, &s), ADO_S_OK);
    seen += var_ToUtf8(k) + "=" + var_ToUtf8(s) + ";";
    ASSERT_EQ(check.MoveNext(), ADO_S_OK);
  }
  EXPECT_EQ(seen, "1=r1;3=changed;");
  EXPECT_FALSE(check.Supports(adAddNew));
  EXPECT_EQ(check.PutValue(0, var_I4(1)), ADO_E_PERMISSION);
}

TEST(AdoRecordset, UpdatableRecordsetReadsEachRowWhenItComesToIt) {
  Connection c, other;
  NewJet(&c, "keys.mdb");
  ASSERT_EQ(other.Open(JetCs("keys.mdb")), ADO_S_OK);
  ASSERT_EQ(c.Execute("CREATE TABLE T (k int, s varchar(10))", nullptr), ADO_S_OK);
  for (int i = 1; i <= 3; ++i)
    ASSERT_EQ(c.Execute("INSERT INTO T (k, s) VALUES (" + std::to_string(i) + ", 'old')", nullptr), ADO_S_OK);
  Recordset rs;
  ASSERT_EQ(rs.Open("select s from T order by k", &c, adOpenStatic, adLockOptimistic, adCmdUnknown), ADO_S_OK);
  // Another connection writes while the recordset is open: it holds no read
  // transaction, so nothing waits, and it sees the rows as they are now.
  ASSERT_EQ(other.Execute("UPDATE T SET s = 'new' WHERE k = 2", nullptr), ADO_S_OK);
  ASSERT_EQ(other.Execute("INSERT INTO T (k, s) VALUES (4, 'late')", nullptr), ADO_S_OK);
  ASSERT_EQ(other.Execute("DELETE FROM T WHERE k = 3", nullptr), ADO_S_OK);
  int32_t n = 0;
  ASSERT_EQ(rs.GetRecordCount(&n), ADO_S_OK);
  EXPECT_EQ(n, 3);  // the rows of the open
  Variant v;
  ASSERT_EQ(rs.Move(1), ADO_S_OK);
  ASSERT_EQ(rs.GetValue(0, &v), ADO_S_OK);
  EXPECT_EQ(var_ToUtf8(v), "new");
  ASSERT_EQ(rs.PutValue(0, var_Utf8("mine")), ADO_S_OK);
  ASSERT_EQ(rs.Update(), ADO_S_OK);
  ASSERT_EQ(rs.MoveNext(), ADO_S_OK);
  EXPECT_EQ(rs.GetValue(0, &v), ADO_E_NOCURRENT);  // deleted meanwhile
  Recordset check;
  ASSERT_EQ(check.Open("select s from T where k = 2", &other, adOpenForwardOnly, adLockReadOnly, adCmdUnknown), ADO_S_OK);
  ASSERT_EQ(check.GetValue(0, &v), ADO_S_OK);
  EXPECT_EQ(var_ToUtf8(v), "mine");
}

// Rows added and changed one after another share a statement while they
// touch the same fields; a change of fields or of kind must not reuse it.
TEST(AdoRecordset, RowChangesOfOtherFieldsDoNotReuseTheStatement) {
  Connection c;
  NewJet(&c, "reuse.mdb");
  ASSERT_EQ(c.Execute("CREATE TABLE T (k int, f real, s varchar(10), d datetime)", nullptr), ADO_S_OK);
  Recordset rs;
  ASSERT_EQ(rs.Open("T", &c, adOpenForwardOnly, adLockOptimistic, adCmdTable), ADO_S_OK);
  struct Row {
    int k;
    bool f, s, d;
  };
  const Row rows[] = {{1, true, true, true}, {2, true, true, true}, {3, true, false, false},
                      {4, false, true, false}, {5, true, true, true}};
  for (const Row &r : rows) {
    ASSERT_EQ(rs.AddNew(), ADO_S_OK);
    ASSERT_EQ(rs.PutValue(0, var_I4(r.k)), ADO_S_OK);
    if (r.f) {
      ASSERT_EQ(rs.PutValue(1, var_R4(r.k + 0.5f)), ADO_S_OK);
    }
    if (r.s) {
      ASSERT_EQ(rs.PutValue(2, var_Utf8("t" + std::to_string(r.k))), ADO_S_OK);
    }
    // A text first, then a number of the field's type over it.
    if (r.d) {
      ASSERT_EQ(rs.PutValue(3, var_Utf8("2024-01-01")), ADO_S_OK);
      ASSERT_EQ(rs.PutValue(3, var_Date(date_FromParts(2024, 1, r.k, 0, 0, 0, 0))), ADO_S_OK);
    }
    ASSERT_EQ(rs.Update(), ADO_S_OK) << rs.LastError().description;
  }
  // An edit of the last row added, with the fields the adds used: an UPDATE.
  ASSERT_EQ(rs.PutValue(0, var_I4(50)), ADO_S_OK);
  ASSERT_EQ(rs.Update(), ADO_S_OK);
  ASSERT_EQ(rs.Close(), ADO_S_OK);

  Recordset check;
  ASSERT_EQ(check.Open("select k, f, s, d from T order by k", &c, adOpenStatic, adLockReadOnly, adCmdUnknown), ADO_S_OK);
  std::string seen;
  for (check.MoveFirst();; check.MoveNext()) {
    bool eof = true;
    ASSERT_EQ(check.GetEOF(&eof), ADO_S_OK);
    if (eof) break;
    for (int i = 0; i < 4; ++i) {
      Variant v;
      ASSERT_EQ(check.GetValue(i, &v), ADO_S_OK);
      seen += (v.vt == VT_NULL ? std::string("-") : var_ToUtf8(v)) + (i < 3 ? "," : ";");
    }
  }
  EXPECT_EQ(seen,
            "1,1.5,t1,2024-01-01 00:00:00;2,2.5,t2,2024-01-02 00:00:00;3,3.5,-,-;4,-,t4,-;"
            "50,5.5,t5,2024-01-05 00:00:00;");
}

TEST(AdoRecordset, StoredProceduresAnswerFromCannedReplies) {
  std::string srv = std::string(os_Root()) + "/hosts/./sqlserver", why;
  ASSERT_EQ(os_MakeFolders(srv.c_str()), 0);
  remove((srv + "/Canned.db").c_str());
  ASSERT_EQ(ado_CreateFile(srv + "/Canned.db", &why), ADO_S_OK);
  Connection c;
  ASSERT_EQ(c.Open("Provider=SQLOLEDB;Data Source=localhost;Initial Catalog=Canned"), ADO_S_OK);
  ASSERT_EQ(c.Execute("CREATE TABLE [exec.sp_helpmergepublication] (name varchar(128))", nullptr), ADO_S_OK);
  ASSERT_EQ(c.Execute("INSERT INTO [exec.sp_helpmergepublication] (name) VALUES ('L_')", nullptr), ADO_S_OK);
  Recordset rs;
  ASSERT_EQ(rs.Open("exec sp_helpmergepublication", &c, adOpenStatic, adLockOptimistic, adCmdUnknown), ADO_S_OK);
  Variant v;
  ASSERT_EQ(rs.GetValue("name", &v), ADO_S_OK);
  EXPECT_EQ(var_ToUtf8(v), "L_");
  EXPECT_FALSE(rs.Supports(adAddNew));
  Recordset none;
  EXPECT_EQ(none.Open("exec sp_helpmergesubscription @publication = N'L_'", &c, adOpenStatic, adLockOptimistic,
                      adCmdUnknown),
            ADO_E_SYNTAX);
  EXPECT_EQ(none.LastError().description, "Could not find stored procedure.");
  // Another catalog's procedure and binary arguments; use switches nothing
  // that outlives a statement.
  Recordset job;
  ASSERT_EQ(c.Execute("CREATE TABLE [exec.sp_help_job] (last_run_outcome int)", nullptr), ADO_S_OK);
  ASSERT_EQ(c.Execute("INSERT INTO [exec.sp_help_job] (last_run_outcome) VALUES (4)", nullptr), ADO_S_OK);
  ASSERT_EQ(job.Open("exec msdb..sp_help_job @job_id = 0x0a0B, @job_aspect = N'job'", &c, adOpenStatic,
                     adLockReadOnly, adCmdUnknown),
            ADO_S_OK);
  ASSERT_EQ(job.GetValue("last_run_outcome", &v), ADO_S_OK);
  EXPECT_EQ(var_ToUtf8(v), "4");
  EXPECT_EQ(c.Execute("use master", nullptr), ADO_S_OK);
  EXPECT_EQ(c.Execute("use", nullptr), ADO_E_SYNTAX);
  EXPECT_EQ(c.Execute("exec msdb..job", nullptr), ADO_E_SYNTAX);
  EXPECT_EQ(c.Execute("exec sp_help_job @job_id = 0x0g", nullptr), ADO_E_SYNTAX);
  // A reply whose first column is "error" is a failed procedure.
  ASSERT_EQ(c.Execute("CREATE TABLE [exec.sp_addmergearticle] (error varchar(80))", nullptr), ADO_S_OK);
  EXPECT_EQ(c.Execute("exec sp_addmergearticle @publication = N'L_'", nullptr), ADO_S_OK);  // no row: success
  ASSERT_EQ(c.Execute("INSERT INTO [exec.sp_addmergearticle] (error) VALUES ('Warning: table changed')", nullptr),
            ADO_S_OK);
  EXPECT_EQ(c.Execute("exec sp_addmergearticle @publication = N'L_'", nullptr), ADO_E_FAIL);
  EXPECT_EQ(c.LastError().description, "Warning: table changed");
  // Canned replies are no tables of the database.
  Catalog cat;
  ASSERT_EQ(cat.SetActiveConnection("Provider=SQLOLEDB;Data Source=localhost;Initial Catalog=Canned"), ADO_S_OK);
  int32_t n = -1;
  ASSERT_EQ(cat.TableCount(&n), ADO_S_OK);
  EXPECT_EQ(n, 0);
}

TEST(AdoRecordset, CountAndJoinsAreReadOnly) {
  Connection c;
  NewJet(&c, "ro.mdb");
  ASSERT_EQ(c.Execute("CREATE TABLE T (k int)", nullptr), ADO_S_OK);
  ASSERT_EQ(c.Execute("INSERT INTO T (k) VALUES (5)", nullptr), ADO_S_OK);
  Recordset rs;
  ASSERT_EQ(rs.Open("SELECT COUNT(*) FROM T", &c, adOpenStatic, adLockOptimistic, adCmdUnknown), ADO_S_OK);
  Variant v;
  ASSERT_EQ(rs.GetValue(0, &v), ADO_S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 1);
  EXPECT_FALSE(rs.Supports(adAddNew));
}

// An OLE date in a VT_R8 reaches the file as its text, rounded to the
// millisecond; in a SQL Server batch the '?' marks count across the parts.
TEST(AdoCommand, DateParametersAndBatches) {
  const double base = date_FromParts(2024, 1, 2, 3, 4, 5, 0);
  const struct { double offsetMs; const char *text; } kDates[] = {
      {0, "2024-01-02 03:04:05"}, {0.4, "2024-01-02 03:04:05"}, {0.6, "2024-01-02 03:04:05.001"},
      {999.6, "2024-01-02 03:04:06"}, {-0.6, "2024-01-02 03:04:04.999"},
  };
  std::string srv = std::string(os_Root()) + "/hosts/./sqlserver", why;
  ASSERT_EQ(os_MakeFolders(srv.c_str()), 0);
  remove((srv + "/Batch.db").c_str());
  ASSERT_EQ(ado_CreateFile(srv + "/Batch.db", &why), ADO_S_OK);
  Connection c;
  ASSERT_EQ(c.Open("Provider=SQLOLEDB;Data Source=(local);Initial Catalog=Batch"), ADO_S_OK);
  ASSERT_EQ(c.Execute("CREATE TABLE T (k int, d datetime)", nullptr), ADO_S_OK);
  ASSERT_EQ(c.Execute("CREATE TABLE U (k int, d datetime)", nullptr), ADO_S_OK);
  int k = 0;
  for (const auto &d : kDates) {
    Command cmd;
    cmd.SetActiveConnection(&c);
    cmd.SetCommandText("SET IDENTITY_INSERT T ON INSERT INTO T (k, d) VALUES (?, ?) SET IDENTITY_INSERT T OFF "
                       "INSERT INTO U (k, d) VALUES (?, ?)");
    ASSERT_EQ(cmd.AppendParameter("Param1", adInteger, 1, 4, var_I4(++k)), ADO_S_OK);
    ASSERT_EQ(cmd.AppendParameter("Param2", adDate, 1, 8, var_R8(base + d.offsetMs / 86400000.0)), ADO_S_OK);
    ASSERT_EQ(cmd.AppendParameter("Param3", adInteger, 1, 4, var_I4(-k)), ADO_S_OK);
    ASSERT_EQ(cmd.AppendParameter("Param4", adDate, 1, 8, var_R8(base)), ADO_S_OK);
    int32_t n = 0;
    ASSERT_EQ(cmd.Execute(&n, nullptr), ADO_S_OK) << cmd.LastError().description;
    EXPECT_EQ(n, 2);
    Recordset rs;
    ASSERT_EQ(rs.Open("SELECT d FROM T WHERE k = " + std::to_string(k) + " AND d = '" + d.text + "'", &c,
                      adOpenStatic, adLockReadOnly, adCmdText), ADO_S_OK);
    int32_t count = 0;
    EXPECT_EQ(rs.GetRecordCount(&count), ADO_S_OK);
    EXPECT_EQ(count, 1) << d.text;
    // Fewer parameters than marks: refused, the first part may have run.
    ASSERT_EQ(cmd.DeleteParameter("Param4"), ADO_S_OK);
    EXPECT_EQ(cmd.Execute(nullptr, nullptr), ADO_E_INVALIDARG);
  }
  Recordset u;
  ASSERT_EQ(u.Open("SELECT COUNT(*) FROM U WHERE k < 0 AND d = '2024-01-02 03:04:05'", &c, adOpenStatic, adLockReadOnly,
                   adCmdText), ADO_S_OK);
  Variant v;
  ASSERT_EQ(u.GetValue(0, &v), ADO_S_OK);
  EXPECT_EQ(var_ToUtf8(v), "5");
}

TEST(AdoCommand, NamedAndOrderedParameters) {
  Connection c;
  NewJet(&c, "cmd.mdb");
  ASSERT_EQ(c.Execute("CREATE TABLE T (k int, d datetime, x float, s char(3))", nullptr), ADO_S_OK);
  Command cmd;
  cmd.SetActiveConnection(&c);
  cmd.SetCommandText("INSERT INTO T (k, d, x, s) VALUES (@k, ?, @x, ?)");
  ASSERT_EQ(cmd.AppendParameter("x", adDouble, 1, 8, var_R8(0)), ADO_S_OK);
  ASSERT_EQ(cmd.AppendParameter("Param1", adDate, 1, 8, var_R8(0)), ADO_S_OK);
  ASSERT_EQ(cmd.AppendParameter("k", adInteger, 1, 4, var_I4(0)), ADO_S_OK);
  ASSERT_EQ(cmd.AppendParameter("Param2", adVarWChar, 1, 3, var_Utf8("")), ADO_S_OK);
  EXPECT_EQ(cmd.AppendParameter("k", adInteger, 1, 4, var_I4(0)), ADO_E_INVALIDARG);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(cmd.SetParameterValue("k", var_I4(i)), ADO_S_OK);
    ASSERT_EQ(cmd.SetParameterValue("Param1", var_R8(date_FromParts(2024, 1, 2, 0, 0, i, 0))), ADO_S_OK);
    ASSERT_EQ(cmd.SetParameterValue("x", var_Utf8(std::to_string(i) + ".5")), ADO_S_OK);
    ASSERT_EQ(cmd.SetParameterValue("Param2", var_Utf8("s" + std::to_string(i))), ADO_S_OK);
    int32_t n = 0;
    ASSERT_EQ(cmd.Execute(&n, nullptr), ADO_S_OK) << cmd.LastError().description;
    EXPECT_EQ(n, 1);
  }
  ASSERT_EQ(cmd.SetParameterValue("k", var_Utf8("seven")), ADO_S_OK);
  EXPECT_EQ(cmd.Execute(nullptr, nullptr), ADO_E_CONVERSION);
  ASSERT_EQ(cmd.SetParameterValue("k", var_I4(7)), ADO_S_OK);
  ASSERT_EQ(cmd.SetParameterValue("Param2", var_Utf8("long")), ADO_S_OK);
  EXPECT_EQ(cmd.Execute(nullptr, nullptr), ADO_E_OVERFLOW);

  Command q;
  q.SetActiveConnection(&c);
  q.SetCommandText("SELECT k, x FROM T WHERE d < ? AND s = ?");
  ASSERT_EQ(q.AppendParameter("Param1", adDate, 1, 8, var_R8(date_FromParts(2024, 1, 2, 0, 0, 2, 0))), ADO_S_OK);
  ASSERT_EQ(q.AppendParameter("Param2", adVarWChar, 1, 50, var_Utf8("s1")), ADO_S_OK);
  Recordset rs;
  ASSERT_EQ(q.Execute(nullptr, &rs), ADO_S_OK) << q.LastError().description;
  int32_t count = 0;
  ASSERT_EQ(rs.GetRecordCount(&count), ADO_S_OK);
  ASSERT_EQ(count, 1);
  Variant x;
  ASSERT_EQ(rs.GetValue("x", &x), ADO_S_OK);
  EXPECT_EQ(x.dblVal, 1.5);
  ASSERT_EQ(q.DeleteParameter("Param2"), ADO_S_OK);
  EXPECT_EQ(q.DeleteParameter("Param2"), ADO_E_NOFIELD);
}

TEST(AdoConnection, TransactionsAndClosedObjects) {
  Connection c;
  int32_t n = 0;
  EXPECT_EQ(c.Execute("SELECT 1 FROM T", &n), ADO_E_CLOSED);
  NewJet(&c, "tx.mdb");
  ASSERT_EQ(c.Execute("CREATE TABLE T (k int)", nullptr), ADO_S_OK);
  ASSERT_EQ(c.BeginTrans(), ADO_S_OK);
  ASSERT_EQ(c.Execute("INSERT INTO T (k) VALUES (1)", &n), ADO_S_OK);
  EXPECT_EQ(n, 1);
  ASSERT_EQ(c.RollbackTrans(), ADO_S_OK);
  ASSERT_EQ(c.BeginTrans(), ADO_S_OK);
  ASSERT_EQ(c.Execute("INSERT INTO T (k) VALUES (2)", &n), ADO_S_OK);
  ASSERT_EQ(c.CommitTrans(), ADO_S_OK);
  ASSERT_EQ(c.Execute("DELETE FROM T", &n), ADO_S_OK);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(c.CommitTrans(), ADO_E_SYNTAX);  // no transaction open
  ASSERT_EQ(c.Close(), ADO_S_OK);
  Recordset rs;
  EXPECT_EQ(rs.Open("T", &c, adOpenStatic, adLockOptimistic, adCmdTable), ADO_E_CLOSED);
}

// ---- the translator -------------------------------------------------------------
struct GoldenRow {
  int line;
  Profile profile;
  std::string in, out;
};

std::vector<GoldenRow> ReadGolden() {
  std::vector<GoldenRow> rows;
  std::ifstream f(ADO_GOLDEN);
  std::string line;
  int n = 0;
  while (std::getline(f, line)) {
    ++n;
    if (line.empty() || line[0] == '#') continue;
    size_t a = line.find(" | "), b = line.rfind(" | ");
    if (a == std::string::npos || a == b) { ADD_FAILURE() << "bad golden line " << n; continue; }
    std::string prof = line.substr(0, a);
    rows.push_back({n, prof == "jet" ? PROFILE_JET : PROFILE_SQLSERVER, line.substr(a + 3, b - a - 3), line.substr(b + 3)});
  }
  return rows;
}

TEST(AdoTranslate, GoldenTableRunsOnRealFiles) {
  std::vector<GoldenRow> rows = ReadGolden();
  ASSERT_GT(rows.size(), 40u);
  Connection jet, sql;
  NewJet(&jet, "golden.mdb");
  std::string live = JetPath("live.mdb"), why0;
  remove(live.c_str());
  ASSERT_EQ(ado_CreateFile(live, &why0), ADO_S_OK);
  std::string srv = std::string(os_Root()) + "/hosts/./sqlserver", why;
  ASSERT_EQ(os_MakeFolders(srv.c_str()), 0);
  remove((srv + "/Golden.db").c_str());
  ASSERT_EQ(ado_CreateFile(srv + "/Golden.db", &why), ADO_S_OK);
  remove((srv + "/Arch.db").c_str());
  ASSERT_EQ(ado_CreateFile(srv + "/Arch.db", &why), ADO_S_OK);
  ASSERT_EQ(sql.Open("Provider=SQLOLEDB;Data Source=(local);Initial Catalog=Golden"), ADO_S_OK);
  int seen[3] = {0, 0, 0};
  for (const auto &r : rows) {
    SCOPED_TRACE("golden line " + std::to_string(r.line) + ": " + r.in);
    ++seen[r.profile];
    Connection &c = r.profile == PROFILE_JET ? jet : sql;
    Translation tr;
    HRESULT thr = c.Translate(r.in, &tr, &why);
    HRESULT hr = c.Execute(r.in, nullptr);
    if (r.out.rfind("REFUSED ", 0) == 0) {
      EXPECT_EQ(Hex(hr), r.out.substr(8));
      EXPECT_FALSE(c.LastError().description.empty());
      if (thr < 0) {
        EXPECT_TRUE(tr.sql.empty());  // nothing half-translated
      }
    } else {
      ASSERT_EQ(thr, ADO_S_OK) << why;
      std::string got = tr.sql;
      for (size_t k = 0; k < tr.batch.size(); ++k) got += (k ? "; " : "") + tr.batch[k].sql;
      EXPECT_EQ(got, r.out);
      EXPECT_EQ(hr, ADO_S_OK) << c.LastError().description;
    }
  }
  EXPECT_GT(seen[PROFILE_JET], 10);
  EXPECT_GT(seen[PROFILE_SQLSERVER], 10);
}

TEST(AdoTranslate, CopiesRowsFromAnotherFile) {
  Connection live, arc;
  NewJet(&live, "live2.mdb");
  NewJet(&arc, "arc2.mdb");
  ASSERT_EQ(live.Execute("CREATE TABLE Runs (LoggerID int, TS datetime, s char(4))", nullptr), ADO_S_OK);
  for (int i = 1; i <= 4; ++i)
    ASSERT_EQ(live.Execute("INSERT INTO Runs (LoggerID, TS, s) VALUES (" + std::to_string(i % 2) + ", #1/" +
                               std::to_string(i) + "/2024 00:00:00#, 'r" + std::to_string(i) + "')",
                           nullptr),
              ADO_S_OK);
  const std::string in = " IN \"C:\\db\\live2.mdb\"";
  // The empty copy keeps the live table's column types.
  ASSERT_EQ(arc.Execute("SELECT * INTO Runs_Arc FROM Runs" + in + "WHERE 1=0", nullptr), ADO_S_OK)
      << arc.LastError().description;
  Command cmd;
  cmd.SetActiveConnection(&arc);
  cmd.SetCommandText("INSERT INTO Runs_Arc SELECT * FROM Runs" + in +
                     " WHERE LoggerID = ? AND TS < ? AND LoggerID NOT IN (SELECT DISTINCT LoggerID FROM Runs_Arc)");
  ASSERT_EQ(cmd.AppendParameter("Param1", adInteger, 1, 4, var_I4(1)), ADO_S_OK);
  ASSERT_EQ(cmd.AppendParameter("Param2", adDate, 1, 8, var_R8(date_FromParts(2024, 1, 3, 12, 0, 0, 0))), ADO_S_OK);
  int32_t n = -1;
  ASSERT_EQ(cmd.Execute(&n, nullptr), ADO_S_OK) << cmd.LastError().description;
  EXPECT_EQ(n, 2);  // rows 1 and 3 of logger 1, before the cut-off
  ASSERT_EQ(cmd.Execute(&n, nullptr), ADO_S_OK);
  EXPECT_EQ(n, 0);  // the second time finds the logger archived
  Recordset rs;
  ASSERT_EQ(rs.Open("select TS, s from Runs_Arc order by TS", &arc, adOpenStatic, adLockOptimistic, adCmdUnknown), ADO_S_OK);
  Variant ts, text;
  ASSERT_EQ(rs.GetValue(0, &ts), ADO_S_OK);
  ASSERT_EQ(rs.GetValue(1, &text), ADO_S_OK);
  EXPECT_EQ(ts.vt, VT_DATE);
  EXPECT_EQ(date_ToText(ts.date), "2024-01-01 00:00:00");
  EXPECT_EQ(var_ToUtf8(text), "r1  ");
  // A copy into a table that exists fails as a whole and leaves it as it was.
  EXPECT_EQ(arc.Execute("SELECT * INTO Runs_Arc FROM Runs" + in + "WHERE 1=0", nullptr), ADO_E_FAIL);
  EXPECT_EQ(arc.LastError().description, "Table 'Runs_Arc' already exists.");
  Recordset count;
  ASSERT_EQ(count.Open("SELECT COUNT(*) FROM Runs_Arc", &arc, adOpenForwardOnly, adLockReadOnly, adCmdUnknown), ADO_S_OK);
  Variant c;
  ASSERT_EQ(count.GetValue(0, &c), ADO_S_OK);
  EXPECT_EQ(c.lVal, 2);
  // The live file is attached only while a statement (or a command's
  // prepared statement) needs it.
  cmd.SetCommandText("SELECT COUNT(*) FROM Runs_Arc");
  EXPECT_EQ(arc.Execute("SELECT NULL FROM \"" + ado_DatabaseAlias("C:\\db\\live2.mdb") + "\".Runs", nullptr), ADO_E_NOTABLE);
}

TEST(AdoTranslate, SecondIndexOfOneNameOnOneTableFails) {
  Connection c;
  NewJet(&c, "idx.mdb");
  ASSERT_EQ(c.Execute("CREATE TABLE A (k int)", nullptr), ADO_S_OK);
  ASSERT_EQ(c.Execute("CREATE INDEX CH ON A (k)", nullptr), ADO_S_OK);
  EXPECT_EQ(c.Execute("CREATE INDEX CH ON A (k)", nullptr), ADO_E_SYNTAX);
}

// Names SQLite keeps for itself work as any other name through statements,
// table opens and the catalog, and read back as they were given; a name
// with the leading '!' they are stored under stays a table of its own.
TEST(AdoTranslate, NamesSqliteReservesAreOrdinaryNames) {
  Connection c;
  NewJet(&c, "reserved.mdb");
  const char *ok[] = {
      "CREATE TABLE SQLITE_DATA (k int, sqlite_v varchar(10))",
      "CREATE INDEX TM ON SQLITE_DATA (k, sqlite_v)",
      "ALTER TABLE SQLITE_DATA ADD CONSTRAINT PK PRIMARY KEY (k)",
      "CREATE TABLE [sqlite_x] (k int)",
      "CREATE TABLE [!sqlite_x] (k int)",
      "INSERT INTO SQLITE_DATA (k, sqlite_v) VALUES (1, 'a')",
      "INSERT INTO [sqlite_x] (k) VALUES (7)",
      "INSERT INTO [!sqlite_x] (k) VALUES (8)",
      "UPDATE Sqlite_Data SET sqlite_v = 'b' WHERE SQLITE_DATA.k = 1",
  };
  for (const char *sql : ok) EXPECT_EQ(c.Execute(sql, nullptr), ADO_S_OK) << sql << ": " << c.LastError().description;
  EXPECT_EQ(c.Execute("CREATE INDEX TM ON SQLITE_DATA (k)", nullptr), ADO_E_SYNTAX);  // the index is there

  auto value = [&](const std::string &sql, const char *field) {
    Recordset rs;
    Variant v;
    if (rs.Open(sql, &c, adOpenStatic, adLockReadOnly, adCmdUnknown) < 0 || rs.GetValue(field, &v) < 0)
      return std::string("failed: ") + rs.LastError().description;
    return var_ToUtf8(v);
  };
  EXPECT_EQ(value("select * from SQLITE_DATA", "sqlite_v"), "b");
  EXPECT_EQ(value("select k from sqlite_x", "k"), "7");
  EXPECT_EQ(value("select k from [!sqlite_x]", "k"), "8");

  // A table opened by name, changed through its rows.
  {
    Recordset rs;
    ASSERT_EQ(rs.Open("sqlite_data", &c, adOpenKeyset, adLockOptimistic, adCmdTable), ADO_S_OK)
        << rs.LastError().description;
    ASSERT_EQ(rs.FieldCount(), 2);
    EXPECT_EQ(rs.Field(1)->name, "sqlite_v");
    ASSERT_EQ(rs.PutValue("sqlite_v", var_Utf8("c")), ADO_S_OK);
    ASSERT_EQ(rs.AddNew(), ADO_S_OK);
    ASSERT_EQ(rs.PutValue("k", var_I4(2)), ADO_S_OK);
    ASSERT_EQ(rs.Update(), ADO_S_OK) << rs.LastError().description;
  }
  EXPECT_EQ(value("select count(*) AS n from SQLITE_DATA where sqlite_v = 'c' or k = 2", "n"), "2");

  Catalog cat;
  ASSERT_EQ(cat.SetActiveConnection(JetCs("reserved.mdb")), ADO_S_OK);
  int32_t n = 0;
  ASSERT_EQ(cat.TableCount(&n), ADO_S_OK);
  EXPECT_EQ(n, 3);
  Table t;
  ASSERT_EQ(cat.GetTable("SQLITE_data", &t), ADO_S_OK);
  EXPECT_EQ(t.name, "SQLITE_DATA");
  ASSERT_EQ(t.columns.size(), 2u);
  EXPECT_EQ(t.columns[1].name, "sqlite_v");
  ASSERT_EQ(t.AppendColumn("sqlite_w", adInteger, 0), ADO_S_OK) << t.LastError().description;
  Table made;
  made.name = "sqlite_made";
  ASSERT_EQ(made.AppendColumn("k", adInteger, 0), ADO_S_OK);
  ASSERT_EQ(cat.AppendTable(&made), ADO_S_OK) << cat.LastError().description;
  ASSERT_EQ(cat.GetTable("sqlite_made", &t), ADO_S_OK);
  EXPECT_EQ(t.name, "sqlite_made");

  EXPECT_EQ(c.Execute("DROP INDEX TM ON SQLITE_DATA", nullptr), ADO_S_OK) << c.LastError().description;
  EXPECT_EQ(c.Execute("DROP TABLE SQLITE_DATA", nullptr), ADO_S_OK) << c.LastError().description;
  EXPECT_EQ(c.Execute("DROP TABLE sqlite_x", nullptr), ADO_S_OK);
  EXPECT_EQ(value("select k from [!sqlite_x]", "k"), "8");
  EXPECT_EQ(c.Execute("SELECT * FROM sqlite_x", nullptr), ADO_E_NOTABLE);
  // SQLite's own tables are no tables of the file.
  EXPECT_EQ(c.Execute("SELECT * FROM sqlite_master", nullptr), ADO_E_NOTABLE);
}

TEST(AdoTranslate, JetColumnLimit) {
  for (int cols : {255, 256}) {
    std::string s = "CREATE TABLE W (";
    for (int i = 0; i < cols; ++i) s += (i ? ", c" : "c") + std::to_string(i) + " float";
    s += ")";
    Translation tr;
    std::string why;
    EXPECT_EQ(ado_Translate(PROFILE_JET, s, &tr, &why), cols <= 255 ? ADO_S_OK : ADO_E_SYNTAX) << cols;
    EXPECT_EQ(ado_Translate(PROFILE_SQLSERVER, s, &tr, &why), ADO_S_OK) << cols;
  }
}

TEST(AdoTranslate, RefusalHookMakesFallBacksRun) {
  struct Case {
    Profile p;
    uint32_t refuse;
    const char *stmt;
  } cases[] = {
      {PROFILE_SQLSERVER, REFUSE_TOP, "select TOP 1 * from T ORDER BY DT DESC"},
      {PROFILE_JET, REFUSE_TOP, "select TOP 1 * from T"},
      {PROFILE_SQLSERVER, REFUSE_TS0, "SELECT * FROM T WHERE DT = { ts '2024-01-02 03:04:05.000' }"},
      {PROFILE_SQLSERVER, REFUSE_DATETIME, "CREATE TABLE T (DT datetime, MS integer)"},
      {PROFILE_JET, REFUSE_VARCHAR, "CREATE TABLE T (DT datetime, MS integer, TX varchar(255) NULL)"},
      {PROFILE_JET, REFUSE_CREATE_INDEX, "CREATE INDEX CH ON T (a, b)"},
      {PROFILE_SQLSERVER, REFUSE_DROP, "DROP TABLE T"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.stmt);
    Translation tr;
    std::string why;
    ASSERT_EQ(ado_Translate(c.p, c.stmt, &tr, &why), ADO_S_OK);
    ado_SetRefusals(c.p, c.refuse);
    EXPECT_EQ(ado_Translate(c.p, c.stmt, &tr, &why), ADO_E_SYNTAX);
    EXPECT_TRUE(tr.sql.empty());
    // The other profile is not touched.
    Profile other = c.p == PROFILE_JET ? PROFILE_SQLSERVER : PROFILE_JET;
    EXPECT_EQ(ado_Refusals(other), 0u);
    ado_SetRefusals(c.p, 0);
    EXPECT_EQ(ado_Translate(c.p, c.stmt, &tr, &why), ADO_S_OK);
  }
  // The { ts } form with slashes stays when form 0 is refused.
  ado_SetRefusals(PROFILE_SQLSERVER, REFUSE_TS0);
  Translation tr;
  std::string why;
  EXPECT_EQ(ado_Translate(PROFILE_SQLSERVER, "SELECT * FROM T WHERE DT = { ts '2024/01/02 03:04:05.000' }", &tr, &why),
            ADO_S_OK);
  ado_SetRefusals(PROFILE_SQLSERVER, 0);
}

TEST(AdoTranslate, MalformedInputIsRefusedWhole) {
  const char *bad[] = {
      "", ";", "SELECT", "SELECT * FROM T WHERE s = 'open", "SELECT * FROM T WHERE DT = { ts '2024-01-02' ",
      "SELECT * FROM T WHERE DT = { fn now() }", "SELECT * FROM T WHERE DT = #1/2/2024", "SELECT `x` FROM T",
      "select TOP x * from T", "select TOP 99999999999 * from T", "CREATE TABLE T (a blob)", "CREATE TABLE T (a char)",
      "CREATE TABLE T (a char(0))", "CREATE TABLE T ()", "CREATE INDEX CH ON T ()", "CREATE INDEX CH ON T (a,)",
      "ALTER TABLE T DROP COLUMN a", "SELECT * FROM [a\"b]", "SELECT 1e5x FROM T", "SELECT * FROM T WHERE a = ?\x01",
  };
  for (const char *s : bad) {
    Translation tr;
    std::string why;
    EXPECT_LT(ado_Translate(PROFILE_JET, s, &tr, &why), 0) << s;
    EXPECT_TRUE(tr.sql.empty()) << s;
    EXPECT_FALSE(why.empty()) << s;
  }
}

// ---- the catalog ------------------------------------------------------------------
TEST(AdoCatalog, CreateTablesAndColumns) {
  std::string dir = std::string(os_Root()) + "/drives/c/db";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  Catalog cat;
  ASSERT_EQ(cat.Create(JetCs("cat.mdb")), ADO_S_OK) << cat.LastError().description;
  Catalog again;
  EXPECT_EQ(again.Create(JetCs("cat.mdb")), ADO_E_FAIL);
  EXPECT_EQ(again.LastError().description, "Database already exists.");
  EXPECT_EQ(again.Create("Provider=SQLOLEDB;Data Source=.;Initial Catalog=New"), (HRESULT)0x800A0CB3);
  EXPECT_EQ(again.Create("Provider=Other"), ADO_E_PROVIDER);

  int32_t n = -1;
  ASSERT_EQ(cat.TableCount(&n), ADO_S_OK);
  EXPECT_EQ(n, 0);
  Table t;
  t.name = "Loggers";
  ASSERT_EQ(t.AppendColumn("IDLogger", adInteger, 0), ADO_S_OK);
  ASSERT_EQ(t.AppendColumn("sLogName", adVarWChar, 50), ADO_S_OK);
  ASSERT_EQ(t.AppendColumn("sCode", adWChar, 4), ADO_S_OK);
  ASSERT_EQ(t.AppendColumn("dStartTime", adDate, 0), ADO_S_OK);
  EXPECT_EQ(t.AppendColumn("sLogName", adVarWChar, 50), ADO_E_INVALIDARG);
  ASSERT_EQ(t.SetColumnProperty("IDLogger", "AutoIncrement", var_Bool(true)), ADO_S_OK);
  EXPECT_EQ(t.SetColumnProperty("IDLogger", "Colour", var_Bool(true)), ADO_E_NOFIELD);
  EXPECT_EQ(t.SetColumnProperty("Nope", "AutoIncrement", var_Bool(true)), ADO_E_NOFIELD);

  ado_SetRefusals(PROFILE_JET, REFUSE_ADDATE);
  EXPECT_LT(cat.AppendTable(&t), 0);
  EXPECT_FALSE(t.InCatalog());
  ado_SetRefusals(PROFILE_JET, 0);
  ASSERT_EQ(cat.AppendTable(&t), ADO_S_OK) << cat.LastError().description;
  EXPECT_TRUE(t.InCatalog());
  Table dup;
  dup.name = "LOGGERS";
  ASSERT_EQ(dup.AppendColumn("x", adInteger, 0), ADO_S_OK);
  EXPECT_EQ(cat.AppendTable(&dup), ADO_E_FAIL);
  EXPECT_NE(cat.LastError().description.find("already exists"), std::string::npos);

  // Columns of a table of the file: typed, and the counter counts.
  ASSERT_EQ(t.AppendColumn("fRate", adDouble, 0), ADO_S_OK);
  EXPECT_EQ(t.SetColumnProperty("fRate", "Nullable", var_Bool(false)), (HRESULT)0x800A0CB3);
  Table got;
  EXPECT_EQ(cat.GetTable("Missing", &got), ADO_E_NOFIELD);
  ASSERT_EQ(cat.GetTable("loggers", &got), ADO_S_OK);
  EXPECT_EQ(got.name, "Loggers");
  std::string shape;
  for (const auto &c : got.columns)
    shape += c.name + ":" + std::to_string(c.type) + ":" + std::to_string(c.size) + (c.autoIncrement ? "+" : "") + " ";
  EXPECT_EQ(shape, "IDLogger:3:0+ sLogName:202:50 sCode:130:4 dStartTime:7:0 fRate:5:0 ");
  Connection *conn = cat.ActiveConnection();
  ASSERT_NE(conn, nullptr);
  ASSERT_EQ(conn->Execute("INSERT INTO Loggers (sLogName, sCode) VALUES ('a', 'x')", nullptr), ADO_S_OK);
  ASSERT_EQ(conn->Execute("INSERT INTO Loggers (sLogName, sCode) VALUES ('b', 'y')", nullptr), ADO_S_OK);
  Recordset rs;
  ASSERT_EQ(rs.Open("select IDLogger, sCode from Loggers where sLogName = 'b'", conn, adOpenStatic, adLockReadOnly, adCmdUnknown), ADO_S_OK);
  Variant id, code;
  ASSERT_EQ(rs.GetValue(0, &id), ADO_S_OK);
  ASSERT_EQ(rs.GetValue(1, &code), ADO_S_OK);
  EXPECT_EQ(id.lVal, 2);
  EXPECT_EQ(var_ToUtf8(code), "y   ");  // char(4) reads back padded, also when a statement wrote it
  ASSERT_EQ(cat.TableCount(&n), ADO_S_OK);
  EXPECT_EQ(n, 1);

  Table wide;
  wide.name = "Wide";
  for (int i = 0; i < 256; ++i) ASSERT_EQ(wide.AppendColumn("c" + std::to_string(i), adDouble, 0), ADO_S_OK);
  EXPECT_EQ(cat.AppendTable(&wide), ADO_E_FAIL);
  EXPECT_EQ(cat.LastError().description, "Too many fields defined.");
}

// ---- variants and dates -----------------------------------------------------------
TEST(AdoVariant, DateTextRoundTrip) {
  struct { const char *in, *out; } cases[] = {
      {"2024-01-02 03:04:05", "2024-01-02 03:04:05"},
      {"2024-01-02 03:04:05.000", "2024-01-02 03:04:05"},
      {"2024/1/2 3:04:05.5", "2024-01-02 03:04:05.500"},
      {"12/31/1999 23:59:59", "1999-12-31 23:59:59"},
      {"1899-12-30", "1899-12-30 00:00:00"},
      {"1800-06-15 06:00:00", "1800-06-15 06:00:00"},
      {"9999-12-31 23:59:59.999", "9999-12-31 23:59:59.999"},
  };
  for (const auto &c : cases) {
    double d = 0;
    ASSERT_TRUE(date_FromText(c.in, &d)) << c.in;
    EXPECT_EQ(date_ToText(d), c.out);
  }
  for (const char *bad : {"2024-13-01", "2024-02-30", "24-01-01", "2024-01-01 24:00:00", "2024-01-01x", "0099-01-01"}) {
    double d;
    EXPECT_FALSE(date_FromText(bad, &d)) << bad;
  }
  EXPECT_EQ(date_FromParts(1899, 12, 30, 0, 0, 0, 0), 0.0);
  EXPECT_EQ(date_FromParts(1900, 1, 1, 6, 0, 0, 0), 2.25);
}

}  // namespace
