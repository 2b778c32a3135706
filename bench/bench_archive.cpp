// The archive job against the same copy and delete written by hand, in both
// dialects (a Jet file into a Jet file; a SQL Server catalog into another
// catalog of the server, named by the database name):
//   10 finished runs of 50,000 rows (32 float columns) moved into an archive
//   that already holds 500,000 rows of earlier runs / with the archive file
//   attached, INSERT ... SELECT and DELETE of each run's rows and run row,
//   one transaction a run, on copies of the same files.
// Each side runs three times on fresh copies; the best times are compared.
// Prints "archive_ratio_jet <figure>" and "archive_ratio_sqlserver <figure>";
// exits 1 when a ratio is above 2.0 (or a side fails).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/os_path.h"
#include "plugin/dbstores/db_archive.h"
#include "plugin/dbstores/db_data_acc.h"

using namespace ado;
namespace fs = std::filesystem;

namespace {

constexpr int kRuns = 10;
constexpr int kRows = 50000;
constexpr int kCols = 32;
constexpr int kTrials = 3;

int g_run;  // the run whose rows are written

void RowValues(int row, double *values, int cols, std::string *date) {
  for (int c = 0; c < cols; ++c) values[c] = row * 0.25 + c;
  *date = date_ToText(date_FromParts(2023, 1, 1, 0, 0, 0, 0) + g_run + row / 86400.0);
}

double Seconds(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

bool Run(Connection &c, const std::string &sql) {
  if (c.Execute(sql, nullptr) >= 0) return true;
  fprintf(stderr, "%s: %s\n", sql.c_str(), c.LastError().description.c_str());
  return false;
}

std::string DataColumns() {
  std::string s = "LoggerID integer, TS datetime";
  for (int c = 0; c < kCols; ++c) s += ", c" + std::to_string(c) + " float";
  return s;
}

bool FillRuns(const std::string &path, const std::string &table, int firstId) {
  std::string names, marks;
  for (int c = 0; c < kCols; ++c) {
    names += "c" + std::to_string(c) + ", ";
    marks += "?, ";
  }
  for (int r = 0; r < kRuns; ++r) {
    g_run = firstId + r;
    std::string why;
    const std::string sql = "INSERT INTO \"" + table + "\" (" + names + "TS, LoggerID) VALUES (" + marks + "?, " +
                            std::to_string(g_run) + ")";
    if (ado_BaselineInsert(path, sql, kRows, kCols, kRows, RowValues, &why) < 0) {
      fprintf(stderr, "fill: %s\n", why.c_str());
      return false;
    }
  }
  return true;
}

std::string RunRow(int id) {
  const std::string start = date_ToText(date_FromParts(2023, 1, 1, 0, 0, 0, 0) + id);
  const std::string stop = date_ToText(date_FromParts(2023, 1, 1, 0, 0, 0, 0) + id + 0.9);
  return "INSERT INTO Loggers (IDLogger, IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, "
         "nStopReason, sMainTableName, nLogRate, nParameters) VALUES (" + std::to_string(id) + ", 1, 'L1', '', '" + start +
         "', '" + stop + "', 1, 1, 'D', 1, 32)";
}

struct Files {
  std::string liveCs, arcCs, dbName, livePath, arcPath;
};

// The live database with its runs and the archive with earlier ones.
bool Build(const Files &f, const std::string &arcOpenCs) {
  for (const std::string &p : {f.livePath, f.arcPath}) {
    fs::create_directories(fs::path(p).parent_path());
    for (const char *ext : {"", "-wal", "-shm"}) fs::remove(p + ext);
    std::string why;
    if (ado_CreateFile(p, &why) < 0) { fprintf(stderr, "%s\n", why.c_str()); return false; }
  }
  std::ifstream schema(ARCHIVE_LIVE_SQL);
  std::string line;
  std::vector<std::string> creates;
  while (std::getline(schema, line))
    if (!line.empty() && line.rfind("--", 0) != 0) creates.push_back(line);
  {
    Connection live, arc;
    if (live.Open(f.liveCs) < 0 || arc.Open(arcOpenCs) < 0) { fprintf(stderr, "open failed\n"); return false; }
    for (const auto &c : creates) {
      std::string a = c;
      a.insert(a.find(" (", 13), "_Arc");
      if (!Run(live, c) || !Run(arc, a)) return false;
    }
    if (!Run(live, "CREATE TABLE D (" + DataColumns() + ")") || !Run(arc, "CREATE TABLE D_Arc (" + DataColumns() + ")") ||
        !Run(live, "INSERT INTO SavedOPCServers (sOPCNode, sOPCServer) VALUES ('n', 's')") ||
        !Run(live, "INSERT INTO SavedLoggerConfig (sName, sDescription) VALUES ('c', 'd')") ||
        !Run(live, "INSERT INTO SavedLoggerTags (IDLoggerConfig, IDOPCServer, sTag) VALUES (1, 1, 't')"))
      return false;
    for (int r = 0; r < kRuns; ++r)
      if (!Run(live, RunRow(1 + r))) return false;
  }
  return FillRuns(f.livePath, "D", 1) && FillRuns(f.arcPath, "D_Arc", 1001);
}

void CopyFiles(const Files &from, const Files &to) {
  for (auto p : {std::make_pair(from.livePath, to.livePath), std::make_pair(from.arcPath, to.arcPath)}) {
    for (const char *ext : {"", "-wal", "-shm"}) fs::remove(p.second + ext);
    fs::copy_file(p.first, p.second);
  }
}

// Best times of the job and of the hand-written moves; false on a failure.
bool Measure(const Files &master, const Files &work, double *job, double *hand) {
  const double cutoff = date_FromParts(2024, 1, 1, 0, 0, 0, 0);
  std::vector<int32_t> ids;
  for (int r = 0; r < kRuns; ++r) ids.push_back(1 + r);
  *job = *hand = 1e9;
  for (int t = 0; t < kTrials; ++t) {
    CopyFiles(master, work);
    CLogITDbDataAcc acc;
    auto a = std::chrono::steady_clock::now();
    int32_t rc = acc.Archive(u"L1", 0, 0, ado_Wide(work.liveCs).c_str(), ado_Wide(work.arcCs).c_str(),
                             ado_Wide(work.dbName).c_str(), 1, cutoff);
    const double tj = Seconds(a);
    if (rc != 0) { fprintf(stderr, "archive job: 0x%08X %s\n", (unsigned)rc, acc.GetComErrorText()); return false; }
    int64_t moved = 0;
    double sum = 0;
    std::string why;
    if (ado_BaselineRead(work.arcPath, "SELECT COUNT(*) FROM D_Arc", &sum, &moved, &why) < 0 ||
        sum != (double)(2 * kRuns * kRows)) {
      fprintf(stderr, "archive job moved %.0f rows\n", sum - kRuns * kRows);
      return false;
    }
    CopyFiles(master, work);
    a = std::chrono::steady_clock::now();
    if (ado_BaselineMoveRuns(work.livePath, work.arcPath, "D", ids, cutoff, &why) < 0) {
      fprintf(stderr, "by hand: %s\n", why.c_str());
      return false;
    }
    const double th = Seconds(a);
    if (tj < *job) *job = tj;
    if (th < *hand) *hand = th;
  }
  return true;
}

}  // namespace

int main() {
  const std::string root = os_Root();
  const std::string jet = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\bench\\";
  const std::string srv = root + "/hosts/./sqlserver/";
  Files jm{jet + "arch_live.mdb", jet + "arch_arc.mdb", "", root + "/drives/c/bench/arch_live.mdb",
           root + "/drives/c/bench/arch_arc.mdb"};
  Files jw{jet + "arch_live2.mdb", jet + "arch_arc2.mdb", "", root + "/drives/c/bench/arch_live2.mdb",
           root + "/drives/c/bench/arch_arc2.mdb"};
  const std::string sql = "Provider=SQLOLEDB;Data Source=(local);Initial Catalog=";
  Files sm{sql + "BenchLive", sql + "BenchLive", "BenchArc", srv + "BenchLive.db", srv + "BenchArc.db"};
  Files sw{sql + "BenchLive2", sql + "BenchLive2", "BenchArc2", srv + "BenchLive2.db", srv + "BenchArc2.db"};
  double jj, jh, sj, sh;
  if (!Build(jm, jm.arcCs) || !Measure(jm, jw, &jj, &jh)) return 1;
  if (!Build(sm, sql + "BenchArc") || !Measure(sm, sw, &sj, &sh)) return 1;
  const double rj = jj / jh, rs = sj / sh;
  printf("archive_job_jet_s %.3f\narchive_by_hand_jet_s %.3f\narchive_ratio_jet %.2f\n", jj, jh, rj);
  printf("archive_job_sqlserver_s %.3f\narchive_by_hand_sqlserver_s %.3f\narchive_ratio_sqlserver %.2f\n", sj, sh, rs);
  return rj > 2.0 || rs > 2.0 ? 1 : 0;
}
