// adotool: the database layer from the command line.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/ado/ado.h"
#include "plugin/dbstores/db_archive.h"
#include "plugin/dbstores/db_data_acc.h"

using namespace ado;

namespace {

const char kUsage[] =
    "usage: adotool COMMAND ARGS...\n"
    "Translates and runs statements on the database files of $PLATFORM_ROOT.\n"
    "\n"
    "commands:\n"
    "  translate jet|sqlserver STMT   print the SQLite statement a statement of that dialect becomes\n"
    "  exec CS STMT                   run one statement on the database of connection string CS;\n"
    "                                 a select prints a header line and its rows, tab-separated\n"
    "  exec CS -f FILE                run the statements of FILE, one a line (empty lines and lines\n"
    "                                 beginning with \"--\" are skipped), stopping at the first failure\n"
    "  create CS                      make a new, empty Jet database file (an existing file is refused)\n"
    "  archive LOGGER LIVE ARCHIVE DBNAME COPY CUTOFF\n"
    "                                 move the runs of LOGGER that started before CUTOFF (an OLE date\n"
    "                                 or 'YYYY-MM-DD hh:mm:ss') from connection LIVE to connection\n"
    "                                 ARCHIVE (catalog DBNAME, may be \"\"); COPY 0 only deletes them\n"
    "  copy CS SRC DST DB COND [KEY COLS]   copy the rows of SRC meeting COND into DST (of Jet file DB,\n"
    "                                 or \"\" for the same database); with KEY, through a temporary table\n"
    "                                 that leaves out keys DST holds (COLS: DST's column list)\n"
    "  replace CS SRC DST DB          replace DST (of DB, or \"\") by a copy of SRC\n"
    "  delete CS TABLE COND           delete the rows of TABLE meeting COND\n"
    "\n"
    "CS: \"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\path\\file.mdb\" (a Windows path of the\n"
    "platform root) or \"Provider=SQLOLEDB;Data Source=SERVER;Initial Catalog=NAME\" (the file\n"
    "$PLATFORM_ROOT/hosts/SERVER/sqlserver/NAME.db; (local) and localhost are \".\").\n"
    "$ADO_REFUSE makes a dialect refuse features, e.g. \"jet:top,datetime;sqlserver:ts0,varchar,index,addate\".\n"
    "exit status: 0 on success, 1 when the statement or database refuses (the HRESULT and its\n"
    "description go to standard error), 2 for a wrong command line.\n";

int Usage() {
  fputs(kUsage, stderr);
  return 2;
}

int Failed(const Error &e) {
  fprintf(stderr, "0x%08X %s\n", (unsigned)e.hr, ado_MaskPassword(e.description).c_str());
  return 1;
}

int Translate(const char *dialect, const char *stmt) {
  Profile p = strcasecmp(dialect, "jet") == 0 ? PROFILE_JET : strcasecmp(dialect, "sqlserver") == 0 ? PROFILE_SQLSERVER : PROFILE_NONE;
  if (p == PROFILE_NONE) return Usage();
  Translation tr;
  std::string why;
  HRESULT hr = ado_Translate(p, stmt, &tr, &why);
  if (hr < 0) return Failed(Error{hr, "", why});
  if (tr.batch.empty()) printf("%s\n", tr.sql.c_str());
  for (const Translation &part : tr.batch) printf("%s\n", part.sql.c_str());  // a batch: one line a statement
  return 0;
}

int Run(Connection &c, const std::string &stmt) {
  Translation tr;
  std::string why;
  HRESULT hr = ado_Translate(c.GetProfile(), stmt, &tr, &why);
  if (hr < 0) return Failed(Error{hr, "", why});
  if (!tr.isSelect) {
    int32_t n = 0;
    if (c.Execute(stmt, &n) < 0) return Failed(c.LastError());
    printf("%d row(s)\n", n);
    return 0;
  }
  Recordset rs;
  if (rs.Open(stmt, &c, adOpenForwardOnly, adLockReadOnly, adCmdUnknown) < 0) return Failed(rs.LastError());
  for (int32_t i = 0; i < rs.FieldCount(); ++i) printf("%s%s", i ? "\t" : "", rs.Field(i)->name.c_str());
  printf("\n");
  for (;;) {
    bool eof = true;
    if (rs.GetEOF(&eof) < 0) return Failed(rs.LastError());
    if (eof) break;
    for (int32_t i = 0; i < rs.FieldCount(); ++i) {
      Variant v;
      if (rs.GetValue(i, &v) < 0) return Failed(rs.LastError());
      printf("%s%s", i ? "\t" : "", var_ToUtf8(v).c_str());
    }
    printf("\n");
    if (rs.MoveNext() < 0) return Failed(rs.LastError());
  }
  return 0;
}

int Exec(int argc, char **argv) {
  if (argc != 2 && !(argc == 3 && strcmp(argv[1], "-f") == 0)) return Usage();
  Connection c;
  if (c.Open(argv[0]) < 0) return Failed(c.LastError());
  if (argc == 2) return Run(c, argv[1]);
  std::ifstream f(argv[2]);
  if (!f) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.rfind("--", 0) == 0) continue;
    if (int rc = Run(c, line); rc != 0) return rc;
  }
  return 0;
}

int Create(const char *cs) {
  Catalog cat;
  if (cat.Create(cs) < 0) return Failed(cat.LastError());
  return 0;
}

int ArchiveCmd(char **a) {
  double cutoff;
  char *end = nullptr;
  if (!date_FromText(a[5], &cutoff)) {
    cutoff = strtod(a[5], &end);
    if (end == a[5] || *end) return Usage();
  }
  CLogITDbDataAcc acc;
  int32_t rc = acc.Archive(ado_Wide(a[0]).c_str(), 0, 0, ado_Wide(a[1]).c_str(), ado_Wide(a[2]).c_str(),
                           ado_Wide(a[3]).c_str(), atoi(a[4]), cutoff);
  printf("0x%08X\n", (unsigned)rc);
  if (rc < 0 && acc.GetComErrorText()[0]) fprintf(stderr, "%s\n", acc.GetComErrorText());
  return rc < 0 ? 1 : 0;
}

int TableCmd(const char *cmd, int argc, char **a) {
  Connection c;
  if (c.Open(a[0]) < 0) return Failed(c.LastError());
  int32_t n;
  if (strcmp(cmd, "copy") == 0 && (argc == 5 || argc == 7))
    n = CopyRowsWhere(&c, a[1], a[2], a[3], a[4], argc == 7, argc == 7 ? a[5] : "", argc == 7 ? a[6] : "");
  else if (strcmp(cmd, "replace") == 0 && argc == 4)
    n = ReplaceTableCopy(&c, a[1], a[2], a[3]);
  else if (strcmp(cmd, "delete") == 0 && argc == 3)
    n = DeleteRowsWhere(&c, a[1], a[2]);
  else
    return Usage();
  printf("%d row(s)\n", n);
  return n < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 2) return Usage();
  const char *cmd = argv[1];
  if (strcmp(cmd, "translate") == 0 && argc == 4) return Translate(argv[2], argv[3]);
  if (strcmp(cmd, "exec") == 0 && argc >= 4) return Exec(argc - 2, argv + 2);
  if (strcmp(cmd, "create") == 0 && argc == 3) return Create(argv[2]);
  if (strcmp(cmd, "archive") == 0 && argc == 8) return ArchiveCmd(argv + 2);
  if (strcmp(cmd, "copy") == 0 || strcmp(cmd, "replace") == 0 || strcmp(cmd, "delete") == 0)
    return argc >= 5 ? TableCmd(cmd, argc - 2, argv + 2) : Usage();
  return Usage();
}
