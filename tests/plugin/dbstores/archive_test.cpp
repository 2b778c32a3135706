// The archive job and the table copies over real database files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/trace/dbg_trace.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "plugin/dbstores/db_archive.h"
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

[[maybe_unused]] std::string NewTrace() {
  static size_t seen = 0;
  std::string all = tnwtest::ReadFile(os_DebugOutputPath());
  std::string fresh = all.size() > seen ? all.substr(seen) : std::string();
  seen = all.size();
  return fresh;
}

const char *kJet = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=";

std::string JetCs(const std::string &file) { return std::string(kJet) + "C:\\arc\\" + file; }
std::string JetPath(const std::string &file) { return std::string(os_Root()) + "/drives/c/arc/" + file; }
std::string SqlCs(const std::string &catalog, const char *server = "(local)") {
  return std::string("Provider=SQLOLEDB;Data Source=") + server + ";Initial Catalog=" + catalog;
}
std::string SqlPath(const std::string &catalog) { return std::string(os_Root()) + "/hosts/./sqlserver/" + catalog + ".db"; }

void NewFile(const std::string &path) {
  std::string dir = path.substr(0, path.rfind('/')), why;
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  unlink(path.c_str());
  unlink((path + "-wal").c_str());
  unlink((path + "-shm").c_str());
  ASSERT_EQ(ado_CreateFile(path, &why), ADO_S_OK) << why;
}

void Exec(Connection &c, const std::string &sql) { ASSERT_EQ(c.Execute(sql, nullptr), ADO_S_OK) << sql << ": " << c.LastError().description; }

// Runs the statements of the live-schema fixture.
void LoadSchema(Connection &c) {
  std::ifstream f(ARCHIVE_LIVE_SQL);
  ASSERT_TRUE(f.good());
  std::string line;
  while (std::getline(f, line))
    if (!line.empty() && line.rfind("--", 0) != 0) Exec(c, line);
}

// The rows of a select, each as its values joined by '|', sorted.
std::vector<std::string> Rows(const std::string &cs, const std::string &sql) {
  Connection c;
  std::vector<std::string> out;
  if (c.Open(cs) < 0) return {"open failed: " + c.LastError().description};
  Recordset rs;
  if (rs.Open(sql, &c, adOpenForwardOnly, adLockReadOnly, adCmdText) < 0) return {"no table: " + rs.LastError().description};
  for (;;) {
    bool eof = true;
    rs.GetEOF(&eof);
    if (eof) break;
    std::string row;
    for (int32_t i = 0; i < rs.FieldCount(); ++i) {
      Variant v;
      rs.GetValue(i, &v);
      row += (i ? "|" : "") + (v.vt == VT_NULL ? std::string("NULL") : var_ToUtf8(v));
    }
    out.push_back(row);
    rs.MoveNext();
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string Text(double d) { return date_ToText(d); }

std::string Hex(int32_t v) {
  char b[16];
  snprintf(b, sizeof b, "0x%08X", (unsigned)v);
  return b;
}

// ---- the world of one randomized run -------------------------------------------
enum Mode { JET, SQL_SAME, SQL_DIFF };

struct RunModel {
  int id;
  std::string logger, table;
  double start;
  bool finished = false;
  double stop = 0;
  int reason = 0;
};

struct World {
  Mode mode;
  std::string liveCs, arcCs, arcDb, arcReadCs;
  std::set<std::string> tables;  // main tables made so far
  std::map<int, RunModel> runs;  // run rows not deleted by a call with copy 0
  std::multiset<std::string> rows;  // data rows written and not deleted by a call with copy 0
  std::mt19937 rng;
  double now = 45000.0;
  int value = 0;
  std::map<std::string, int> running;  // logger -> its running run
  std::map<std::string, int> config;   // logger -> its current config

  World(Mode m, const std::string &tag, unsigned seed) : mode(m), rng(seed) {
    if (m == JET) {
      NewFile(JetPath("live_" + tag + ".mdb"));
      unlink(JetPath("arc_" + tag + ".mdb").c_str());
      liveCs = JetCs("live_" + tag + ".mdb");
      arcCs = JetCs("arc_" + tag + ".mdb");
      arcReadCs = arcCs;
    } else {
      NewFile(SqlPath("Live" + tag));
      NewFile(SqlPath("Arc" + tag));
      liveCs = SqlCs("Live" + tag);
      arcDb = "Arc" + tag;
      arcCs = m == SQL_SAME ? liveCs : SqlCs("Arc" + tag, ".");
      arcReadCs = SqlCs("Arc" + tag);
    }
    Connection c;
    EXPECT_EQ(c.Open(liveCs), ADO_S_OK);
    LoadSchema(c);
  }

  int Rand(int n) { return (int)(rng() % (unsigned)n); }

  int LastId(Connection &c, const std::string &sql) {
    Recordset rs;
    EXPECT_EQ(rs.Open(sql, &c, adOpenForwardOnly, adLockReadOnly, adCmdText), ADO_S_OK);
    Variant v, i4;
    rs.GetValue(0, &v);
    var_ChangeType(&i4, v, VT_I4);
    return i4.lVal;
  }

  // One minute of logging: runs start, write rows, finish.
  void Step() {
    Connection c;
    ASSERT_EQ(c.Open(liveCs), ADO_S_OK);
    now += 1.0 / 1440;
    for (const char *lg : {"L1", "L2", "L3"}) {
      std::string L = lg;
      if (!running.count(L) && Rand(3) == 0) {
        if (!config.count(L) || Rand(2) == 0) {
          Exec(c, "INSERT INTO SavedOPCServers (sOPCNode, sOPCServer) VALUES ('node', 'srv" + std::to_string(Rand(100)) + "')");
          int server = LastId(c, "SELECT MAX(IDOPCServer) FROM SavedOPCServers");
          Exec(c, "INSERT INTO SavedLoggerConfig (sName, sDescription) VALUES ('" + L + "', 'cfg')");
          int cfg = LastId(c, "SELECT MAX(IDLoggerConfig) FROM SavedLoggerConfig");
          Exec(c, "INSERT INTO SavedLoggerTags (IDLoggerConfig, IDOPCServer, sTag) VALUES (" + std::to_string(cfg) + ", " +
                      std::to_string(server) + ", 'tag')");
          config[L] = cfg;
        }
        std::string table = "D_" + L + (Rand(3) == 0 ? "_" + std::to_string(value) : "");
        if (!tables.count(table)) {
          Exec(c, "CREATE TABLE " + table + " (LoggerID integer, TS datetime, V1 float)");
          tables.insert(table);
        }
        Exec(c, "INSERT INTO Loggers (IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, "
                "sMainTableName, nLogRate, nParameters) VALUES (" + std::to_string(config[L]) + ", '" + L + "', 'c', '" +
                    Text(now) + "', NULL, 0, 0, '" + table + "', 1, 1)");
        int id = LastId(c, "SELECT MAX(IDLogger) FROM Loggers");
        runs[id] = RunModel{id, L, table, now};
        running[L] = id;
      }
      if (!running.count(L)) continue;
      RunModel &r = runs[running[L]];
      for (int k = 0, n = Rand(4); k < n; ++k) {
        double ts = now + (k + 1) / 86400.0;
        ++value;
        Exec(c, "INSERT INTO " + r.table + " (LoggerID, TS, V1) VALUES (" + std::to_string(r.id) + ", '" + Text(ts) + "', " +
                    std::to_string(value) + ")");
        rows.insert(std::to_string(r.id) + "|" + Text(ts) + "|" + std::to_string(value));
      }
      if (Rand(5) == 0) {
        r.finished = true;
        r.stop = now + 10 / 86400.0;
        r.reason = 1 + Rand(3);
        Exec(c, "UPDATE Loggers SET dStopTime = '" + Text(r.stop) + "', bCompleted = 1, nStopReason = " +
                    std::to_string(r.reason) + " WHERE IDLogger = " + std::to_string(r.id));
        running.erase(L);
      }
    }
  }

  std::vector<std::string> DataRows(const std::string &cs, const std::string &suffix) {
    std::vector<std::string> all;
    for (const auto &t : tables) {
      auto part = Rows(cs, "SELECT LoggerID, TS, V1 FROM " + t + suffix);
      if (part.size() == 1 && (part[0].rfind("no table", 0) == 0 || part[0].rfind("open failed", 0) == 0)) continue;
      for (auto &r : part) {
        // V1 reads back as a float text: keep the integer part.
        size_t bar = r.rfind('|');
        r = r.substr(0, bar + 1) + std::to_string((int)std::lround(std::stod(r.substr(bar + 1))));
        all.push_back(r);
      }
    }
    return all;
  }

  // The archive job as a caller runs it.
  int32_t Archive(const std::string &logger, int copy, double cutoff) {
    CLogITDbDataAcc acc;
    return acc.Archive(W(logger).c_str(), 0, 0, W(liveCs).c_str(), W(arcCs).c_str(), W(arcDb).c_str(), copy, cutoff);
  }

  // A call and the checks that follow it; `attempt` may run it in a child
  // first (killed on the way).
  void Call(const std::string &logger, int copy, double cutoff, const std::function<void()> &attempt = nullptr) {
    SCOPED_TRACE("call " + logger + " copy " + std::to_string(copy) + " cutoff " + Text(cutoff));
    std::vector<std::string> liveBefore = DataRows(liveCs, "");
    auto runRowsBefore = Rows(liveCs, "SELECT IDLogger FROM Loggers");
    if (attempt) attempt();
    ASSERT_EQ(Archive(logger, copy, cutoff), 0);
    std::vector<std::string> liveAfter = DataRows(liveCs, "");
    std::vector<std::string> arc = DataRows(arcReadCs, "_Arc");
    if (copy <= 0) {
      // Exactly the selected runs' rows before the cut-off went.
      std::multiset<std::string> gone(liveBefore.begin(), liveBefore.end());
      for (const auto &r : liveAfter) gone.erase(gone.find(r));
      std::multiset<std::string> want;
      for (const auto &r : liveBefore) {
        int id = std::stoi(r.substr(0, r.find('|')));
        std::string ts = r.substr(r.find('|') + 1, r.rfind('|') - r.find('|') - 1);
        const RunModel &m = runs[id];
        if (m.logger == logger && Text(m.start) < Text(cutoff) && ts < Text(cutoff)) want.insert(r);
      }
      EXPECT_EQ(gone, want);
      for (const auto &r : gone) rows.erase(rows.find(r));
      // Run rows: only finished ones stopped before the cut-off, left empty.
      auto runRowsAfter = Rows(liveCs, "SELECT IDLogger FROM Loggers");
      for (const auto &s : runRowsBefore) {
        if (std::find(runRowsAfter.begin(), runRowsAfter.end(), s) != runRowsAfter.end()) continue;
        const RunModel m = runs[std::stoi(s)];
        EXPECT_TRUE(m.logger == logger && m.finished && Text(m.stop) < Text(cutoff) && Text(m.start) < Text(cutoff))
            << "run " << s;
        for (const auto &r : liveAfter) EXPECT_NE(r.substr(0, r.find('|')), s);
        runs.erase(std::stoi(s));
      }
    }
    // Live and archive together hold every row, the archive none twice.
    std::multiset<std::string> together(liveAfter.begin(), liveAfter.end());
    together.insert(arc.begin(), arc.end());
    EXPECT_EQ(together, rows);
    std::set<std::string> distinct(arc.begin(), arc.end());
    EXPECT_EQ(distinct.size(), arc.size()) << "archive holds a row twice";
    CheckRuns();
    // A configuration the orphan step took is not used again.
    auto saved = Rows(liveCs, "SELECT IDLoggerConfig FROM SavedLoggerConfig");
    for (auto it = config.begin(); it != config.end();)
      it = std::find(saved.begin(), saved.end(), std::to_string(it->second)) == saved.end() ? config.erase(it) : std::next(it);
  }

  // Every run row is live or archived with its latest values; every archived
  // run has its configuration, tags and servers.
  void CheckRuns() {
    auto live = Rows(liveCs, "SELECT IDLogger, dStopTime, bCompleted, nStopReason FROM Loggers");
    auto arc = Rows(arcReadCs, "SELECT IDLogger, dStopTime, bCompleted, nStopReason FROM Loggers_Arc");
    for (const auto &e : runs) {
      const RunModel &m = e.second;
      std::string want = std::to_string(m.id) + "|" + (m.finished ? Text(m.stop) : "NULL") + "|" +
                         (m.finished ? "1" : "0") + "|" + std::to_string(m.finished ? m.reason : 0);
      bool inLive = std::find(live.begin(), live.end(), want) != live.end();
      bool inArc = std::find(arc.begin(), arc.end(), want) != arc.end();
      EXPECT_TRUE(inLive || inArc) << "run row lost or stale: " << want;
    }
    if (arc.size() == 1 && (arc[0].rfind("no table", 0) == 0 || arc[0].rfind("open failed", 0) == 0)) return;
    auto missing = Rows(arcReadCs,
                        "SELECT IDLogger FROM Loggers_Arc WHERE IDLoggerConfig NOT IN (SELECT IDLoggerConfig FROM "
                        "SavedLoggerConfig_Arc) OR IDLoggerConfig NOT IN (SELECT IDLoggerConfig FROM SavedLoggerTags_Arc)");
    EXPECT_TRUE(missing.empty()) << "archived run without its configuration or tags: " << missing[0];
    auto servers = Rows(arcReadCs, "SELECT IDTag FROM SavedLoggerTags_Arc WHERE IDOPCServer NOT IN (SELECT IDOPCServer FROM SavedOPCServers_Arc)");
    EXPECT_TRUE(servers.empty()) << "archived tag without its server";
  }
};

class Archive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TraceOn(); }
};

// ---- no loss -------------------------------------------------------------------
TEST_F(Archive, RepeatedCallsLoseNothingInEveryDialect) {
  const struct { Mode mode; const char *tag; } kModes[] = {{JET, "j"}, {SQL_SAME, "s"}, {SQL_DIFF, "d"}};
  for (const auto &md : kModes) {
    SCOPED_TRACE(md.tag);
    World w(md.mode, md.tag, 1234u + (unsigned)md.mode);
    double cutoff = w.now;
    for (int call = 0; call < 24; ++call) {
      for (int s = 0, n = 1 + w.Rand(4); s < n; ++s) w.Step();
      if (::testing::Test::HasFatalFailure()) return;
      cutoff = std::max(cutoff, w.now - w.Rand(4) / 1440.0);
      const std::string logger = "L" + std::to_string(1 + w.Rand(3));
      w.Call(logger, w.Rand(6) == 0 ? 0 : 1, cutoff);
      if (::testing::Test::HasFailure()) return;
    }
    // The calls did move rows (or this test would show nothing).
    const size_t archived = w.DataRows(w.arcReadCs, "_Arc").size(), live = w.DataRows(w.liveCs, "").size();
    EXPECT_GT(archived, 20u);
    EXPECT_GT(live, 0u);
  }
}

TEST_F(Archive, AJobKilledAtAnyStatementLosesNothingWhenRunAgain) {
  const struct { Mode mode; const char *tag; } kModes[] = {{JET, "kj"}, {SQL_SAME, "ks"}, {SQL_DIFF, "kd"}};
  for (const auto &md : kModes) {
    SCOPED_TRACE(md.tag);
    World w(md.mode, md.tag, 99u + (unsigned)md.mode);
    double cutoff = w.now;
    int killed = 0;
    for (int call = 0; call < 12; ++call) {
      for (int s = 0, n = 1 + w.Rand(4); s < n; ++s) w.Step();
      cutoff = std::max(cutoff, w.now - w.Rand(3) / 1440.0);
      const std::string logger = "L" + std::to_string(1 + w.Rand(3));
      const int copy = w.Rand(5) == 0 ? 0 : 1;
      static int stopAt;
      stopAt = 1 + w.Rand(25);
      w.Call(logger, copy, cutoff, [&] {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
          ado_BeforeStatement = [] {
            if (--stopAt == 0) kill(getpid(), SIGKILL);
          };
          w.Archive(logger, copy, cutoff);
          _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ++killed;
      });
      if (::testing::Test::HasFailure()) return;
    }
    EXPECT_GT(killed, 3) << "the hook should have stopped most attempts";
  }
}

// ---- edge cases ---------------------------------------------------------------------
// Servers 1, 2; configurations 1 (tag on server 1), 2 (server 2) and 3 (saved,
// never used; server 2). L1: run 1 finished, run 2 running, both in D1; L2:
// run 3 finished, in D2.
const char *const kLiveRows[] = {
    "INSERT INTO SavedOPCServers (sOPCNode, sOPCServer) VALUES ('n', 's1')",
    "INSERT INTO SavedOPCServers (sOPCNode, sOPCServer) VALUES ('n', 's2')",
    "INSERT INTO SavedLoggerConfig (sName, sDescription) VALUES ('c1', 'd')",
    "INSERT INTO SavedLoggerConfig (sName, sDescription) VALUES ('c2', 'd')",
    "INSERT INTO SavedLoggerConfig (sName, sDescription) VALUES ('c3', 'unused')",
    "INSERT INTO SavedLoggerTags (IDLoggerConfig, IDOPCServer, sTag) VALUES (1, 1, 't1')",
    "INSERT INTO SavedLoggerTags (IDLoggerConfig, IDOPCServer, sTag) VALUES (2, 2, 't2')",
    "INSERT INTO SavedLoggerTags (IDLoggerConfig, IDOPCServer, sTag) VALUES (3, 2, 't3')",
    "CREATE TABLE D1 (LoggerID integer, TS datetime, V1 float)",
    "CREATE TABLE D2 (LoggerID integer, TS datetime, V1 float)",
    "INSERT INTO Loggers (IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, "
    "nLogRate, nParameters) VALUES (1, 'L1', '', '2024-01-01 00:00:00', '2024-01-01 01:00:00', 1, 2, 'D1', 1, 1)",
    "INSERT INTO Loggers (IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, "
    "nLogRate, nParameters) VALUES (1, 'L1', '', '2024-01-02 00:00:00', NULL, 0, 0, 'D1', 1, 1)",
    "INSERT INTO Loggers (IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, "
    "nLogRate, nParameters) VALUES (2, 'L2', '', '2024-01-01 00:00:00', '2024-01-01 01:00:00', 1, 2, 'D2', 1, 1)",
    "INSERT INTO D1 (LoggerID, TS, V1) VALUES (1, '2024-01-01 00:10:00', 1)",
    "INSERT INTO D1 (LoggerID, TS, V1) VALUES (1, '2024-01-01 00:20:00', 2)",
    "INSERT INTO D1 (LoggerID, TS, V1) VALUES (2, '2024-01-02 00:10:00', 3)",
    "INSERT INTO D1 (LoggerID, TS, V1) VALUES (2, '2024-01-03 00:10:00', 4)",
    "INSERT INTO D2 (LoggerID, TS, V1) VALUES (3, '2024-01-01 00:30:00', 5)",
};

struct Check {
  bool archive;      // else the live database
  const char *sql;
  const char *rows;  // the sorted rows joined by ", "; "missing" when the table is not there
};

struct EdgeCase {
  const char *what;
  bool mended;                    // a case the original statements got wrong
  Mode mode;
  std::vector<std::string> setup;  // more live statements
  const char *firstCutoff;         // an earlier call (copy 1) with this cut-off, or null
  std::vector<std::string> between;  // live statements after it
  const char *arcCs;               // archive string, or "case" / "quote" / "nodb" for the SQL Server forms, or null
  std::string logger;
  int copy;
  double cutoff;                   // NaN-able; 0 means the usual 2024-01-02 12:00
  int32_t result;
  std::vector<Check> after;
};

std::string Joined(const std::vector<std::string> &rows) {
  if (rows.size() == 1 && (rows[0].rfind("no table", 0) == 0 || rows[0].rfind("open failed", 0) == 0)) return "missing";
  std::string out;
  for (const auto &r : rows) out += (out.empty() ? "" : ", ") + r;
  return out;
}

double At(const char *text) {
  double d = 0;
  EXPECT_TRUE(date_FromText(text, &d)) << text;
  return d;
}

const Check kUntouched[] = {
    {false, "SELECT LoggerID, V1 FROM D1", "1|1, 1|2, 2|3, 2|4"},
    {false, "SELECT IDLogger FROM Loggers", "1, 2, 3"},
    {false, "SELECT IDLoggerConfig FROM SavedLoggerConfig", "1, 2, 3"},
};

TEST_F(Archive, EdgeCasesAsOneTable) {
  const double kNaN = std::nan("");
  std::vector<Check> untouched(std::begin(kUntouched), std::end(kUntouched));
  auto with = [&](std::vector<Check> more) {
    more.insert(more.end(), untouched.begin(), untouched.end());
    return more;
  };
  const std::vector<Check> movedL1 = {
      {true, "SELECT LoggerID, TS FROM D1_Arc", "1|2024-01-01 00:10:00, 1|2024-01-01 00:20:00, 2|2024-01-02 00:10:00"},
      {true, "SELECT IDLogger, bCompleted FROM Loggers_Arc", "1|1, 2|0"},
      {false, "SELECT LoggerID, TS FROM D1", "2|2024-01-03 00:10:00"},
      {false, "SELECT IDLogger FROM Loggers", "2, 3"},
      {false, "SELECT IDLoggerConfig FROM SavedLoggerConfig", "1, 2"},
      {true, "SELECT IDLoggerConfig FROM SavedLoggerConfig_Arc", "1, 3"},
      {true, "SELECT IDLoggerConfig, sTag FROM SavedLoggerTags_Arc", "1|t1, 3|t3"},
      {true, "SELECT IDOPCServer FROM SavedOPCServers_Arc", "1, 2"},
  };
  const EdgeCase cases[] = {
      {"no run before the cut-off: fixed archive tables only, no orphan step", false, JET, {}, nullptr, {}, nullptr, "L1", 1,
       At("2023-12-31 00:00:00"), 0,
       with({{true, "SELECT IDLogger FROM Loggers_Arc", ""}, {true, "SELECT LoggerID FROM D1_Arc", "missing"}})},
      {"copy 0: old rows and finished runs go, then orphans; no archive made", false, JET, {}, nullptr, {}, nullptr, "L1", 0,
       0, 0,
       {{true, "SELECT IDLogger FROM Loggers_Arc", "missing"},
        {false, "SELECT LoggerID, TS FROM D1", "2|2024-01-03 00:10:00"},
        {false, "SELECT IDLogger FROM Loggers", "2, 3"},
        {false, "SELECT IDLoggerConfig FROM SavedLoggerConfig", "1, 2"},
        {false, "SELECT IDOPCServer FROM SavedOPCServers", "1, 2"}}},
      {"copy 1 into a Jet file; the unused configuration is archived before it goes", true, JET, {}, nullptr, {}, nullptr,
       "L1", 1, 0, 0, movedL1},
      {"provider spelled only in capitals is Jet", true, JET, {}, nullptr, {},
       "PROVIDER=MICROSOFT.JET.OLEDB.4.0;DATA SOURCE=C:\\arc\\edge_arc.mdb", "L1", 1, 0, 0, movedL1},
      {"a catalog called Projet is no Jet provider", true, SQL_DIFF, {}, nullptr, {}, nullptr, "L1", 1, 0, 0, movedL1},
      {"SQL Server, same connection string", false, SQL_SAME, {}, nullptr, {}, nullptr, "L1", 1, 0, 0, movedL1},
      {"SQL Server, strings differing in case only go through OPENROWSET", false, SQL_DIFF, {}, nullptr, {}, "case", "L1", 1,
       0, 0, movedL1},
      {"SQL Server, a quote in the live string reaches OPENROWSET doubled", true, SQL_DIFF, {}, nullptr, {}, "quote", "L1",
       1, 0, 0, movedL1},
      {"SQL Server, empty database name: archive tables beside the live ones", false, SQL_SAME, {}, nullptr, {}, "nodb", "L1",
       1, 0, 0,
       {{false, "SELECT LoggerID, TS FROM D1_Arc", "1|2024-01-01 00:10:00, 1|2024-01-01 00:20:00, 2|2024-01-02 00:10:00"},
        {false, "SELECT LoggerID, TS FROM D1", "2|2024-01-03 00:10:00"}}},
      {"rows with IDLogger 0, IDLoggerConfig 0, text ID, NULL or empty table are neither copied nor deleted", false, JET,
       {"INSERT INTO Loggers (IDLogger, IDLoggerConfig, sLogName, dStartTime, bCompleted, sMainTableName) VALUES (0, 1, 'L9', "
        "'2024-01-01 00:00:00', 1, 'D1')",
        "INSERT INTO Loggers (IDLoggerConfig, sLogName, dStartTime, bCompleted, sMainTableName) VALUES (0, 'L9', "
        "'2024-01-01 00:00:00', 1, 'D1')",
        "INSERT INTO Loggers (IDLoggerConfig, sLogName, dStartTime, bCompleted, sMainTableName) VALUES ('x', 'L9', "
        "'2024-01-01 00:00:00', 1, 'D1')",
        "INSERT INTO Loggers (IDLoggerConfig, sLogName, dStartTime, bCompleted, sMainTableName) VALUES (1, 'L9', "
        "'2024-01-01 00:00:00', 1, NULL)",
        "INSERT INTO Loggers (IDLoggerConfig, sLogName, dStartTime, bCompleted, sMainTableName) VALUES (1, 'L9', "
        "'2024-01-01 00:00:00', 1, '')",
        "INSERT INTO D1 (LoggerID, TS, V1) VALUES (0, '2024-01-01 00:00:01', 9)"},
       nullptr, {}, nullptr, "L9", 1, 0, 0,
       {{true, "SELECT IDLogger FROM Loggers_Arc", ""},
        {false, "SELECT COUNT(*) FROM Loggers WHERE sLogName = 'L9'", "5"},
        {false, "SELECT V1 FROM D1 WHERE LoggerID = 0", "9"}}},
      {"copying the second of three runs fails: first run archived, nothing deleted", false, JET,
       {"CREATE TABLE NoTS (LoggerID integer, V1 float)", "INSERT INTO NoTS (LoggerID, V1) VALUES (4, 1)",
        "INSERT INTO Loggers (IDLoggerConfig, sLogName, dStartTime, dStopTime, bCompleted, sMainTableName) VALUES (1, 'L1', "
        "'2024-01-01 02:00:00', '2024-01-01 03:00:00', 1, 'NoTS')"},
       nullptr, {}, nullptr, "L1", 1, 0, ARC_E_FAIL,
       {{true, "SELECT DISTINCT LoggerID FROM D1_Arc", "1, 2"}, {false, "SELECT COUNT(*) FROM NoTS", "1"},
        {false, "SELECT LoggerID, V1 FROM D1", "1|1, 1|2, 2|3, 2|4"}, {false, "SELECT IDLogger FROM Loggers", "1, 2, 3, 4"}}},
      {"a table name that names no table: failure, nothing deleted", false, JET,
       {"UPDATE Loggers SET sMainTableName = 'Nope' WHERE IDLogger = 1"}, nullptr, {}, nullptr, "L1", 1, 0, ARC_E_FAIL,
       untouched},
      {"a table name with ']' is quoted", true, JET,
       {"CREATE TABLE [D]]x] (LoggerID integer, TS datetime, V1 float)",
        "INSERT INTO [D]]x] (LoggerID, TS, V1) VALUES (1, '2024-01-01 00:15:00', 7)",
        "UPDATE Loggers SET sMainTableName = 'D]x' WHERE IDLogger = 1"},
       nullptr, {}, nullptr, "L1", 1, 0, 0,
       {{true, "SELECT LoggerID, V1 FROM [D]]x_Arc]", "1|7"}, {false, "SELECT COUNT(*) FROM [D]]x]", "0"}}},
      {"a table name with a control character is skipped", true, JET,
       {"UPDATE Loggers SET sMainTableName = 'D1\nx' WHERE IDLogger = 1"}, nullptr, {}, nullptr, "L1", 1, 0,
       0, {{false, "SELECT LoggerID, V1 FROM D1 WHERE LoggerID = 1", "1|1, 1|2"}}},
      {"cut-off NaN", false, JET, {}, nullptr, {}, nullptr, "L1", 0, kNaN, ARC_E_FAIL, untouched},
      {"cut-off infinite", false, JET, {}, nullptr, {}, nullptr, "L1", 0, INFINITY, ARC_E_FAIL, untouched},
      {"cut-off past the last OLE date", false, JET, {}, nullptr, {}, nullptr, "L1", 0, 3e6, ARC_E_FAIL, untouched},
      {"archive in a missing folder", false, JET, {}, nullptr, {}, "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\none\\a.mdb",
       "L1", 1, 0, ARC_E_FAIL, untouched},
      {"archive string without a data source", false, JET, {}, nullptr, {}, "Provider=Microsoft.Jet.OLEDB.4", "L1", 1, 0,
       ARC_E_FAIL, untouched},
      {"a long run archived twice keeps the rows between the cut-offs", true, JET, {}, "2024-01-02 12:00:00",
       {"INSERT INTO D1 (LoggerID, TS, V1) VALUES (2, '2024-01-02 18:00:00', 6)"}, nullptr, "L1", 1, At("2024-01-04 00:00:00"),
       0,
       {{true, "SELECT LoggerID, V1 FROM D1_Arc WHERE LoggerID = 2", "2|3, 2|4, 2|6"},
        {false, "SELECT LoggerID FROM D1", ""}}},
      {"a run archived while running gets its stop time when it ends", true, JET, {}, "2024-01-02 12:00:00",
       {"UPDATE Loggers SET bCompleted = 1, dStopTime = '2024-01-03 01:00:00', nStopReason = 5 WHERE IDLogger = 2"}, nullptr,
       "L1", 1, At("2024-01-04 00:00:00"), 0,
       {{true, "SELECT IDLogger, dStopTime, bCompleted, nStopReason FROM Loggers_Arc", "1|2024-01-01 01:00:00|1|2, 2|2024-01-03 01:00:00|1|5"},
        {false, "SELECT IDLogger FROM Loggers", "3"}}},
      {"a run that ended after it was read keeps its live row", true, JET, {"DELETE FROM D1 WHERE LoggerID = 2 AND TS > '2024-01-02 12:00:00'"},
       nullptr, {}, nullptr, "L1", 1, 0, 0,
       {{false, "SELECT IDLogger FROM Loggers WHERE IDLogger = 2", "2"}}},
      {"archiving the same run twice copies nothing the second time", false, JET, {}, "2024-01-02 12:00:00", {}, nullptr,
       "L1", 1, 0, 0,
       {{true, "SELECT COUNT(*) FROM D1_Arc", "3"}, {true, "SELECT COUNT(*) FROM Loggers_Arc", "2"}}},
  };
  int n = 0;
  for (const EdgeCase &c : cases) {
    SCOPED_TRACE(std::string(c.what) + (c.mended ? " [mended]" : ""));
    const std::string tag = "e" + std::to_string(n++);
    std::string liveCs, arcCs, db, arcRead;
    if (c.mode == JET) {
      NewFile(JetPath("edge_live.mdb"));
      unlink(JetPath("edge_arc.mdb").c_str());
      liveCs = JetCs("edge_live.mdb");
      arcCs = c.arcCs ? c.arcCs : JetCs("edge_arc.mdb");
      arcRead = JetCs("edge_arc.mdb");
    } else {
      const std::string live = "Live" + tag;
      NewFile(SqlPath(live));
      NewFile(SqlPath("Projet" + tag));
      liveCs = SqlCs(live);
      if (c.arcCs && std::string(c.arcCs) == "quote") liveCs += ";Application Name=Pump's logger";
      db = "Projet" + tag;
      arcCs = c.mode == SQL_SAME ? liveCs : SqlCs(db, ".");
      if (c.arcCs && (std::string(c.arcCs) == "case" || std::string(c.arcCs) == "quote"))
        arcCs = "PROVIDER=SQLOLEDB;DATA SOURCE=(LOCAL);INITIAL CATALOG=" + live;
      if (c.arcCs && std::string(c.arcCs) == "nodb") db.clear();
      arcRead = SqlCs(db.empty() ? live : db);
    }
    {
      Connection live;
      ASSERT_EQ(live.Open(liveCs), ADO_S_OK);
      LoadSchema(live);
      for (const char *st : kLiveRows) Exec(live, st);
      for (const auto &st : c.setup) Exec(live, st);
    }
    CLogITDbDataAcc acc;
    auto call = [&](int copy, double cutoff) {
      return acc.Archive(W(c.logger).c_str(), 7, -1, W(liveCs).c_str(), W(arcCs).c_str(), W(db).c_str(), copy, cutoff);
    };
    if (c.firstCutoff) {
      ASSERT_EQ(call(1, At(c.firstCutoff)), 0);
      Connection live;
      ASSERT_EQ(live.Open(liveCs), ADO_S_OK);
      for (const auto &st : c.between) Exec(live, st);
    }
    if (std::string(c.what).find("ended after it was read") != std::string::npos) {
      // The run ends between the job's read of its row and the delete.
      static std::string cs;
      static int statements;
      cs = liveCs;
      statements = 0;
      ado_BeforeStatement = [] {
        // Four fixed tables and D1_Arc made, five statements for run 1, then
        // run 2's run row read and archived and its rows copied: before the
        // delete.
        if (++statements != 13) return;
        Connection other;
        if (other.Open(cs) >= 0)
          other.Execute("UPDATE Loggers SET bCompleted = 1, dStopTime = '2024-01-02 01:00:00' WHERE IDLogger = 2", nullptr);
      };
      EXPECT_EQ(call(1, At("2024-01-02 12:00:00")), 0);
      ado_BeforeStatement = nullptr;
      EXPECT_EQ(Joined(Rows(liveCs, "SELECT IDLogger FROM Loggers")), "2, 3");
    } else {
      EXPECT_EQ(Hex(call(c.copy, c.cutoff == 0 ? At("2024-01-02 12:00:00") : c.cutoff)), Hex(c.result));
    }
    for (const Check &k : c.after)
      EXPECT_EQ(Joined(Rows(k.archive ? arcRead : liveCs, k.sql)), k.rows) << (k.archive ? "archive: " : "live: ") << k.sql;
  }
}

// ---- connection strings ---------------------------------------------------------------
TEST(ArchiveConnStr, KeysParsedTrimmedUnquoted) {
  const struct { const char *cs, *dataSource, *catalog; } kCases[] = {
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\a.mdb", "C:\\a.mdb", ""},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"C:\\my files\\a.mdb\"", "C:\\my files\\a.mdb", ""},
      {"Provider=Microsoft.Jet.OLEDB.4.0; data source =  C:\\a.mdb ;", "C:\\a.mdb", ""},
      {"Provider=SQLOLEDB;Server=S1;Database=Arch", "S1", "Arch"},
      {"Provider=SQLOLEDB;Server=S1;Data Source=S2;Initial Catalog=A;Database=B", "S2", "A"},
      {"Provider=SQLOLEDB;Password=Data Source=x;Initial Catalog=C", "", "C"},   // inside a value
      {"Provider=SQLOLEDB;MyServer=S;OldDatabase=D", "", ""},                   // inside another key
      {"Provider=SQLOLEDB;Data Source='q;x';Initial Catalog=C", "q;x", "C"},
      {"Provider=SQLOLEDB", "", ""},
      {"", "", ""},
      {"Data Source=S;Initial Catalog=\"unterminated", "S", ""},
  };
  for (const auto &c : kCases) {
    EXPECT_EQ(DataSourceOf(c.cs), c.dataSource) << c.cs;
    EXPECT_EQ(CatalogOf(c.cs), c.catalog) << c.cs;
  }
}

TEST(ArchiveConnStr, KeyRewriteAndJetChoice) {
  const struct { const char *in, *out; } kRewrite[] = {
      {"Provider=SQLOLEDB;User ID=sa;Password=x", "Provider=SQLOLEDB;uid=sa;pwd=x"},
      {"Provider=SQLOLEDB; user id =sa;PASSWORD=User ID", "Provider=SQLOLEDB; uid =sa;pwd=User ID"},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=Password", "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=Password"},
      {"Data Source=\"User ID\"", "Data Source=\"User ID\""},
  };
  for (const auto &c : kRewrite) EXPECT_EQ(arc_RewriteKeys(c.in), c.out) << c.in;
  const struct { const char *cs; bool jet; } kJetCases[] = {
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\a.mdb", true},
      {"PROVIDER=MICROSOFT.JET.OLEDB.4.0;DATA SOURCE=C:\\a.mdb", true},
      {"Provider=SQLOLEDB;Data Source=jet;Initial Catalog=Projet", false},
      {"Provider=SQLOLEDB;Password=Jet", false},
      {"Data Source=C:\\jet.mdb", false},
  };
  for (const auto &c : kJetCases) EXPECT_EQ(arc_IsJet(c.cs), c.jet) << c.cs;
  EXPECT_EQ(arc_Bracket("a]b"), "[a]]b]");
  EXPECT_EQ(arc_Bracket("a\tb"), "");
  EXPECT_EQ(arc_Bracket(""), "");
}

// ---- failure records -------------------------------------------------------------------
TEST_F(Archive, FailureRecords) {
  NewFile(JetPath("bare.mdb"));
  CLogITDbDataAcc acc;
  // A failed selection: the accessor's error text and last error.
  os_SetLastError(0xDEADBEEF);
  EXPECT_EQ(acc.Archive(u"L1", 0, 0, W(JetCs("bare.mdb")).c_str(), W(JetCs("bare_arc.mdb")).c_str(), u"", 0,
                        At("2024-01-01 00:00:00")),
            ARC_E_FAIL);
  EXPECT_EQ(os_GetLastError(), 0xC37u);
  EXPECT_NE(std::string(acc.GetComErrorText()).find("Loggers"), std::string::npos) << acc.GetComErrorText();
  // A live database that cannot be opened.
  EXPECT_EQ(acc.Archive(u"L1", 0, 0, u"Provider=Microsoft.Jet.OLEDB.4.0", W(JetCs("bare_arc.mdb")).c_str(), u"", 1,
                        At("2024-01-01 00:00:00")),
            ARC_E_FAIL);
  const std::string text = acc.GetComErrorText();
  EXPECT_FALSE(text.empty());
  // A dialect failure: its trace line ("NONE" for no description) and the
  // last error; the accessor's text stays.
  NewTrace();
  os_SetLastError(0xDEADBEEF);
  Connection closed;
  EXPECT_EQ(JetDeleteOrphans(&closed), ARC_E_FAIL);
  EXPECT_NE(NewTrace().find("COM Exeption: ADODB.Connection \t : Operation is not allowed"), std::string::npos);
  EXPECT_EQ(os_GetLastError(), 0u);  // not a provider error number
  EXPECT_EQ(JetEnsureArchiveTable(nullptr, "T", JetCs("bare.mdb"), JetCs("bare_arc.mdb")), ARC_E_FAIL);
  EXPECT_NE(NewTrace().find("COM Exeption: ADOX.Catalog \t : NONE\r\n"), std::string::npos);
  EXPECT_EQ(acc.GetComErrorText(), text);
  // A skipped table name leaves its trace line.
  Connection live;
  ASSERT_EQ(live.Open(JetCs("bare.mdb")), ADO_S_OK);
  LoadSchema(live);
  Exec(live, "INSERT INTO Loggers (IDLoggerConfig, sLogName, dStartTime, sMainTableName) VALUES (1, 'L1', '2023-01-01 00:00:00', 'a\tb')");
  NewTrace();
  EXPECT_EQ(acc.Archive(u"L1", 0, 0, W(JetCs("bare.mdb")).c_str(), W(JetCs("bare_arc.mdb")).c_str(), u"", 0,
                        At("2024-01-01 00:00:00")),
            0);
  EXPECT_NE(NewTrace().find("control character"), std::string::npos);
}

// ---- table operations ---------------------------------------------------------------------
TEST_F(Archive, TableOperations) {
  NewFile(JetPath("ops.mdb"));
  NewFile(JetPath("ops_dst.mdb"));
  Connection c;
  ASSERT_EQ(c.Open(JetCs("ops.mdb")), ADO_S_OK);
  Exec(c, "CREATE TABLE S (k integer, v varchar(10))");
  for (int k = 1; k <= 4; ++k) Exec(c, "INSERT INTO S (k, v) VALUES (" + std::to_string(k) + ", 'v" + std::to_string(k) + "')");
  Exec(c, "INSERT INTO S (k, v) VALUES (2, 'v2')");  // a duplicate row
  const std::string dst = "C:\\arc\\ops_dst.mdb";
  const std::string here = JetCs("ops.mdb"), there = JetCs("ops_dst.mdb");

  EXPECT_EQ(QueryHasRows(&c, "SELECT NULL FROM S;"), 5);
  EXPECT_EQ(QueryHasRows(&c, "SELECT NULL FROM S WHERE k > 9;"), 0);
  EXPECT_EQ(QueryHasRows(&c, "SELECT NULL FROM Nope;"), -1);
  EXPECT_EQ(ExecuteCountAffected(&c, "UPDATE S SET v = 'w' WHERE k = 4"), 1);
  EXPECT_EQ(ExecuteCountAffected(&c, "UPDATE Nope SET v = 'w'"), -1);

  // Into a missing destination: made with the source's columns.
  EXPECT_EQ(CopyRowsWhere(&c, "S", "D", "", "k <= 2", 0, "", ""), 3);
  EXPECT_EQ(Joined(Rows(here, "SELECT k, v FROM D")), "1|v1, 2|v2, 2|v2");
  EXPECT_EQ(CopyRowsWhere(&c, "S", "D", "", "k = 3", 0, "", ""), 1);
  // Through the temporary table: no duplicates, keys already there left out.
  EXPECT_EQ(CopyRowsWhere(&c, "S", "T", dst, "k <= 2", 1, "k", "k, v"), 2);
  EXPECT_EQ(CopyRowsWhere(&c, "S", "T", dst, "k <= 3", 1, "k", "k, v"), 1);
  EXPECT_EQ(Joined(Rows(there, "SELECT k, v FROM T")), "1|v1, 2|v2, 3|v3");
  EXPECT_EQ(CopyRowsWhere(&c, "S", "T", dst, "k <= 3", 1, "k", "k, v"), 0);  // nothing new
  EXPECT_EQ(Joined(Rows(here, "SELECT * FROM T_Tmp")), "missing");          // no temporary table left
  // Same database, destination exists, a Jet connection: no IDENTITY_INSERT prefix.
  EXPECT_EQ(CopyRowsWhere(&c, "S", "D", "", "k = 4", 1, "k", "k, v"), 1);
  EXPECT_EQ(Joined(Rows(here, "SELECT k FROM D")), "1, 2, 2, 3, 4");

  // Replace in the destination file only; the source stays.
  Exec(c, "CREATE TABLE R (x integer)");
  {
    Connection d;
    ASSERT_EQ(d.Open(there), ADO_S_OK);
    Exec(d, "CREATE TABLE R (old integer)");
  }
  EXPECT_EQ(ReplaceTableCopy(&c, "S", "R", dst), 5);
  EXPECT_EQ(Joined(Rows(there, "SELECT COUNT(*) FROM R")), "5");
  EXPECT_EQ(Joined(Rows(here, "SELECT COUNT(*) FROM R")), "0");  // the connection's own R untouched
  // Source and destination of one name in the same database.
  EXPECT_EQ(ReplaceTableCopy(&c, "S", "S", ""), 5);
  EXPECT_EQ(Joined(Rows(here, "SELECT COUNT(*) FROM S")), "5");
  // A copy that fails leaves the old table.
  EXPECT_EQ(ReplaceTableCopy(&c, "Nope", "R", dst), -1);
  EXPECT_EQ(Joined(Rows(there, "SELECT COUNT(*) FROM R")), "5");

  EXPECT_EQ(DeleteRowsWhere(&c, "S", "k = 2"), 2);
  EXPECT_EQ(DeleteRowsWhere(&c, "Nope", "k = 2"), -1);
}

TEST_F(Archive, CopyWithIdentityOnSqlServer) {
  NewFile(SqlPath("Ident"));
  Connection c;
  ASSERT_EQ(c.Open(SqlCs("Ident")), ADO_S_OK);
  Exec(c, "CREATE TABLE S (k counter, v varchar(10))");
  Exec(c, "CREATE TABLE D (k counter, v varchar(10))");
  Exec(c, "INSERT INTO S (v) VALUES ('a')");
  Exec(c, "INSERT INTO S (v) VALUES ('b')");
  Exec(c, "INSERT INTO D (v) VALUES ('x')");
  EXPECT_EQ(CopyRowsWhere(&c, "S", "D", "", "k >= 1", 1, "k", "k, v"), 1);
  EXPECT_EQ(Joined(Rows(SqlCs("Ident"), "SELECT k, v FROM D")), "1|x, 2|b");
}

}  // namespace
