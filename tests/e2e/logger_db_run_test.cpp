// The logger's road into databases with the real programs: the scanner reads
// pumpsim's pumps, two `scadasim logger --store` processes record each pass,
// one into a Jet file and one into a SQL Server catalog, each with a
// `logtool follow` beside it; afterwards the sqlite3 shell reads the files
// and finds the types, values, NULLs and dates that were written.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "platform/os_path.h"
#include "tests/support/child_run.h"
#include "tests/support/logger_db.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

namespace {

using tnwtest::AsShown;
using tnwtest::Lines;
using tnwtest::Split;

struct Store : tnwtest::FollowedLogger {
  std::string cs, file;
};

class LoggerDbRun : public tnwtest::SimProcesses {};

}  // namespace

TEST_F(LoggerDbRun, JetAndSqlServerRunsReadBackBySqlite3) {
  SimWorldSpec w;
  tnwtest::PumpChannels(&w.devices[0]);
  ASSERT_TRUE(StartPlant(w, "A1"));

  // The Jet file's folder, and the SQL Server catalog (a server's catalogs
  // exist before a logger connects to one).
  const std::string root = tnwtest::Root();
  ASSERT_EQ(os_MakeFolders((root + "/drives/c/e2edb").c_str()), 0);
  ASSERT_EQ(os_MakeFolders((root + "/hosts/./sqlserver").c_str()), 0);
  ASSERT_EQ(tnwtest::ShellRun("sqlite3 '" + root + "/hosts/./sqlserver/E2ELOG.db' 'CREATE TABLE t(x); DROP TABLE t;'").status,
            0);
  const std::string outs = tnwtest::MakeTempDir("logger_db_out");
  Store stores[2] = {
      {{"jet", outs + "/jet.txt", outs + "/jet_follow.txt"},
       "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\e2edb\\pumps.mdb",
       root + "/drives/c/e2edb/pumps.mdb"},
      {{"sqlserver", outs + "/sql.txt", outs + "/sql_follow.txt"},
       "Provider=SQLOLEDB;Data Source=.;Initial Catalog=E2ELOG",
       root + "/hosts/./sqlserver/E2ELOG.db"},
  };
  const std::string scadasim = tnwtest::BinPath("scadasim"), logtool = tnwtest::BinPath("logtool");
  for (Store &s : stores) s.logger = Start({scadasim, "logger", "--store", s.cs, "--logger", "PUMPS"}, s.out);
  for (Store &s : stores) {
    // A new Jet file waits after it made its LOGGERS table.
    ASSERT_TRUE(tnwtest::WaitForText(s.out, "^created .*\n", 20000)) << s.name << ": " << tnwtest::ReadAll(s.out);
    EXPECT_EQ(Lines(tnwtest::ReadAll(s.out), "created ")[0], "created " + s.cs + ";LoggerName=PUMPS;LoggerSeq=00000001");
    ASSERT_TRUE(SlotOpen(s.logger)) << s.name;
    s.follower = Start({logtool, "follow", s.cs + ";LoggerName=PUMPS", "--seconds", "120"}, s.follow);
  }

  // Passes, each recorded by both loggers and shown by both followers
  // before the next; the fourth carries a text.
  const uint32_t kRecords = 8, kTextAt = 4;
  std::vector<tnwtest::PassSample> samples;
  ASSERT_TRUE(RecordFollowed({&stores[0], &stores[1]}, kRecords, kTextAt, &samples));

  for (Store &s : stores) {
    SCOPED_TRACE(s.name);
    // Neither the logger nor its reader met a busy or failing database.
    const std::string loggerOut = tnwtest::ReadAll(s.out), followOut = tnwtest::ReadAll(s.follow);
    EXPECT_EQ(loggerOut.find("failed"), std::string::npos) << loggerOut;
    EXPECT_EQ(followOut.find("logtool:"), std::string::npos) << followOut;
    std::vector<std::string> followed = Lines(followOut, "record ");
    ASSERT_EQ(followed.size(), kRecords);

    tnwtest::ShellResult types = tnwtest::ShellRun(
        "sqlite3 -separator '|' '" + s.file +
        "' \"SELECT typeof(DT), typeof(MS), typeof(TX), typeof(A11), typeof(A12), typeof(A13), typeof(D11), "
        "typeof(D12), typeof(TP) FROM PUMPS_DATA ORDER BY DT, MS\"");
    ASSERT_EQ(types.status, 0) << types.out;
    std::vector<std::string> typeRows = Split(types.out.substr(0, types.out.size() - 1), '\n');
    ASSERT_EQ(typeRows.size(), kRecords) << types.out;
    for (uint32_t i = 0; i < kRecords; ++i)
      EXPECT_EQ(typeRows[i], std::string("text|integer|") + (i + 1 == kTextAt ? "text" : "null") +
                                 "|real|real|real|integer|integer|null")
          << "row " << i;

    tnwtest::ShellResult rows = tnwtest::ShellRun(
        "sqlite3 -separator '|' -nullvalue NULL '" + s.file +
        "' \"SELECT DT, MS, TX, A11, A12, A13, D11, D12, TP FROM PUMPS_DATA ORDER BY DT, MS\"");
    ASSERT_EQ(rows.status, 0) << rows.out;
    std::vector<std::string> got = Split(rows.out.substr(0, rows.out.size() - 1), '\n');
    ASSERT_EQ(got.size(), kRecords) << rows.out;
    for (uint32_t i = 0; i < kRecords; ++i) {
      SCOPED_TRACE("row " + std::to_string(i) + ": " + got[i]);
      std::vector<std::string> f = Split(got[i], '|');
      ASSERT_EQ(f.size(), 9u);
      // The time logtool read back for the record.
      std::smatch m;
      ASSERT_TRUE(std::regex_search(followed[i], m, std::regex("^record \\d+ (\\S+ \\S+) "))) << followed[i];
      EXPECT_EQ(AsShown(f[0], f[1]), m[1].str());
      EXPECT_EQ(f[2], i + 1 == kTextAt ? "events 3" : "NULL");
      for (size_t k = 0; k < 3; ++k) {
        // Floats stored as doubles come back to the same float.
        EXPECT_EQ(static_cast<float>(std::stod(f[3 + k])), samples[i].ai[k].value) << "A1" << k + 1;
        char shown[48];
        snprintf(shown, sizeof shown, " A1%zu=%g[", k + 1, static_cast<double>(samples[i].ai[k].value));
        EXPECT_NE(followed[i].find(shown), std::string::npos) << followed[i];
      }
      for (size_t k = 0; k < 2; ++k) {
        uint32_t st = samples[i].di[k].status;
        EXPECT_EQ(f[6 + k], (st & 0x20) ? "NULL" : std::to_string(st & 1)) << "D1" << k + 1 << " status " << st;
      }
      EXPECT_EQ(f[8], "NULL");
    }
    // The run's LOGGERS row.
    tnwtest::ShellResult run = tnwtest::ShellRun("sqlite3 -separator '|' -nullvalue NULL '" + s.file +
                                                 "' \"SELECT sLoggerName, nLoggerSequence, typeof(dStartTime), "
                                                 "dStopTime, bCompleted, sTablePrefix FROM LOGGERS\"");
    ASSERT_EQ(run.status, 0);
    std::vector<std::string> r = Split(run.out.substr(0, run.out.size() - 1), '|');
    ASSERT_EQ(r.size(), 6u) << run.out;
    EXPECT_EQ(r[0].substr(0, 6), "PUMPS ");  // char(255), padded
    EXPECT_EQ(r[1], "1");
    EXPECT_EQ(r[2], "text");
    EXPECT_EQ(r[3], "NULL");
    EXPECT_EQ(r[4], "0");
    EXPECT_EQ(r[5].substr(0, 7), "PUMPS_ ");
  }
  std::printf("%u records in each store\n", kRecords);
}
