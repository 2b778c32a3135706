// End to end: adotool builds a live Jet-profile database, a logger process
// keeps appending to a run while adotool archive moves older runs first into
// a Jet file, then into a SQL Server catalog; sqlite3 checks the files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/ado/ado.h"
#include "platform/os_path.h"
#include "tests/support/test_root.h"

using namespace ado;

namespace {

std::string Shell(const std::string &cmd, int *status) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string Q(const std::string &s) { return "'" + s + "'"; }

// What sqlite3 answers for a query on a file.
std::string Sqlite(const std::string &path, const std::string &sql) {
  int st = 0;
  return Shell("sqlite3 " + Q(path) + " " + Q(sql) + " 2>&1", &st);
}

TEST(ArchiveEndToEnd, LoggerAppendsWhileRunsMoveToJetThenSqlServer) {
  int st = 0;
  if (Shell("command -v sqlite3", &st).empty()) GTEST_SKIP() << "sqlite3 not installed";
  const std::string root = os_Root();
  const std::string tool = tnwtest::BinPath("adotool");
  const std::string live = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\e2e\\live.mdb";
  const std::string arcJet = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\e2e\\archive.mdb";
  const std::string arcSql = "Provider=SQLOLEDB;Data Source=(local);Initial Catalog=Store";
  const std::string livePath = root + "/drives/c/e2e/live.mdb", jetPath = root + "/drives/c/e2e/archive.mdb";
  const std::string sqlPath = root + "/hosts/./sqlserver/Store.db";
  ASSERT_EQ(os_MakeFolders((root + "/drives/c/e2e").c_str()), 0);
  ASSERT_EQ(os_MakeFolders((root + "/hosts/./sqlserver").c_str()), 0);
  std::string why;
  ASSERT_EQ(ado_CreateFile(sqlPath, &why), ADO_S_OK) << why;

  // Runs 1, 2 (April) and 3 (May) finished; run 4 started in May and goes on.
  std::string fill = tnwtest::MakeTempDir("e2e") + "/fill.sql";
  std::string text =
      "INSERT INTO SavedOPCServers (sOPCNode, sOPCServer) VALUES ('node', 'srv')\n"
      "INSERT INTO SavedLoggerConfig (sName, sDescription) VALUES ('c', 'd')\n"
      "INSERT INTO SavedLoggerTags (IDLoggerConfig, IDOPCServer, sTag) VALUES (1, 1, 't')\n"
      "CREATE TABLE D (LoggerID integer, TS datetime, V1 float)\n";
  const char *starts[] = {"2024-04-01", "2024-04-10", "2024-05-02", "2024-05-15"};
  for (int r = 1; r <= 4; ++r) {
    text += "INSERT INTO Loggers (IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, "
            "sMainTableName, nLogRate, nParameters) VALUES (1, 'L1', '', '" + std::string(starts[r - 1]) + " 00:00:00', " +
            (r < 4 ? "'" + std::string(starts[r - 1]) + " 12:00:00', 1" : "NULL, 0") + ", 1, 'D', 1, 1)\n";
    for (int i = 0; i < 10; ++i)
      text += "INSERT INTO D (LoggerID, TS, V1) VALUES (" + std::to_string(r) + ", '" + starts[r - 1] + " 01:00:0" +
              std::to_string(i) + "', " + std::to_string(r * 100 + i) + ")\n";
  }
  ASSERT_TRUE(tnwtest::WriteFile(fill, text));
  ASSERT_EQ(Shell(tool + " create " + Q(live), &st), "");
  ASSERT_EQ(st, 0);
  Shell(tool + " exec " + Q(live) + " -f " + Q(ARCHIVE_LIVE_SQL), &st);
  ASSERT_EQ(st, 0);
  Shell(tool + " exec " + Q(live) + " -f " + Q(fill), &st);
  ASSERT_EQ(st, 0);

  // The logger: rows of run 4 from June on, until it is stopped; it tells
  // how many it wrote and that it has started.
  int pipeFd[2];
  ASSERT_EQ(pipe(pipeFd), 0);
  pid_t logger = fork();
  ASSERT_GE(logger, 0);
  if (logger == 0) {
    close(pipeFd[0]);
    static volatile sig_atomic_t stop = 0;
    signal(SIGTERM, [](int) { stop = 1; });
    Connection c;
    if (c.Open(live) < 0) _exit(2);
    int written = 0;
    const double june = date_FromParts(2024, 6, 1, 0, 0, 0, 0);
    while (!stop) {
      std::string ts = date_ToText(june + written / 86400.0);
      if (c.Execute("INSERT INTO D (LoggerID, TS, V1) VALUES (4, '" + ts + "', " + std::to_string(1000 + written) + ")",
                    nullptr) < 0)
        _exit(3);
      if (++written == 1) (void)!write(pipeFd[1], "s", 1);
    }
    (void)!write(pipeFd[1], &written, sizeof written);
    _exit(0);
  }
  close(pipeFd[1]);
  char started = 0;
  ASSERT_EQ(read(pipeFd[0], &started, 1), 1);

  EXPECT_EQ(Shell(tool + " archive L1 " + Q(live) + " " + Q(arcJet) + " '' 1 '2024-05-01 00:00:00'", &st), "0x00000000");
  EXPECT_EQ(Shell(tool + " archive L1 " + Q(live) + " " + Q(arcSql) + " Store 1 '2024-06-01 00:00:00'", &st), "0x00000000");
  kill(logger, SIGTERM);
  int written = 0;
  EXPECT_EQ(read(pipeFd[0], &written, sizeof written), (ssize_t)sizeof written);
  close(pipeFd[0]);
  int status = 0;
  ASSERT_EQ(waitpid(logger, &status, 0), logger);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(written, 0);

  EXPECT_EQ(Sqlite(jetPath, "SELECT LoggerID, COUNT(*) FROM D_Arc GROUP BY LoggerID"), "1|10\n2|10");
  EXPECT_EQ(Sqlite(jetPath, "SELECT IDLogger, bCompleted FROM Loggers_Arc"), "1|1\n2|1");
  EXPECT_EQ(Sqlite(sqlPath, "SELECT LoggerID, COUNT(*) FROM D_Arc GROUP BY LoggerID"), "3|10\n4|10");
  EXPECT_EQ(Sqlite(sqlPath, "SELECT IDLogger, bCompleted FROM Loggers_Arc ORDER BY IDLogger"), "3|1\n4|0");
  EXPECT_EQ(Sqlite(sqlPath, "SELECT COUNT(*) FROM SavedLoggerConfig_Arc"), "1");
  // Live: only the running run and the rows it wrote from June on.
  EXPECT_EQ(Sqlite(livePath, "SELECT IDLogger FROM Loggers"), "4");
  EXPECT_EQ(Sqlite(livePath, "SELECT COUNT(*), MIN(TS) >= '2024-06-01' FROM D"), std::to_string(written) + "|1");
}

}  // namespace
