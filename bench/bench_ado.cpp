// The database layer against hand-written SQLite, on a Jet-profile file on
// disk with a table of 64 float columns and a datetime:
//   insert: 100,000 rows through a Command with named parameters, 100 rows a
//           transaction / the same rows through one prepared INSERT;
//   read:   a forward recordset walk reading every field as a Variant / a
//           step loop reading the same columns.
// Each side runs three times on fresh files; the best times are compared.
// Prints "ado_insert_ratio <figure>" and "ado_read_ratio <figure>"; exits 1
// when the insert ratio is above 1.3 or the read ratio above 1.5.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/os_path.h"

using namespace ado;

namespace {

constexpr int kRows = 100000;
constexpr int kCols = 64;
constexpr int kPerTransaction = 100;

void RowValues(int row, double *values, int cols, std::string *date) {
  for (int c = 0; c < cols; ++c) values[c] = row * 0.5 + c;
  *date = date_ToText(date_FromParts(2024, 1, 1, 0, 0, 0, 0) + row / 86400.0);
}

double Seconds(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

std::string Columns() {
  std::string s = "CREATE TABLE D (";
  for (int c = 0; c < kCols; ++c) s += "c" + std::to_string(c) + " float, ";
  return s + "DT datetime)";
}

std::string InsertText(bool named) {
  std::string names, marks;
  for (int c = 0; c < kCols; ++c) {
    names += "c" + std::to_string(c) + ", ";
    marks += named ? "@c" + std::to_string(c) + ", " : "?, ";
  }
  return "INSERT INTO D (" + names + "DT) VALUES (" + marks + (named ? "@DT)" : "?)");
}

// A new file with the table; returns its connection string and Linux path.
bool NewFile(const std::string &name, std::string *cs, std::string *path) {
  *path = std::string(os_Root()) + "/drives/c/bench/" + name;
  std::filesystem::remove(*path);
  std::filesystem::remove(*path + "-wal");
  std::filesystem::remove(*path + "-shm");
  std::string why;
  if (ado_CreateFile(*path, &why) < 0) { fprintf(stderr, "%s\n", why.c_str()); return false; }
  *cs = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\bench\\" + name;
  Connection c;
  if (c.Open(*cs) < 0 || c.Execute(Columns(), nullptr) < 0) {
    fprintf(stderr, "%s\n", c.LastError().description.c_str());
    return false;
  }
  return true;
}

bool LayerInsert(const std::string &cs, double *secs) {
  Connection c;
  if (c.Open(cs) < 0) return false;
  Command cmd;
  cmd.SetActiveConnection(&c);
  cmd.SetCommandText(InsertText(true));
  for (int k = 0; k < kCols; ++k) cmd.AppendParameter("c" + std::to_string(k), adDouble, 1, 8, var_R8(0));
  cmd.AppendParameter("DT", adDate, 1, 8, var_Date(0));
  std::vector<double> values(kCols);
  std::string date;
  auto t0 = std::chrono::steady_clock::now();
  for (int r = 0; r < kRows; ++r) {
    if (r % kPerTransaction == 0 && c.BeginTrans() < 0) return false;
    for (int k = 0; k < kCols; ++k) values[(size_t)k] = r * 0.5 + k;
    double when = date_FromParts(2024, 1, 1, 0, 0, 0, 0) + r / 86400.0;
    for (int k = 0; k < kCols; ++k) cmd.SetParameterValue(k, var_R8(values[(size_t)k]));
    cmd.SetParameterValue(kCols, var_Date(when));
    if (cmd.Execute(nullptr, nullptr) < 0) {
      fprintf(stderr, "%s\n", cmd.LastError().description.c_str());
      return false;
    }
    if ((r % kPerTransaction == kPerTransaction - 1 || r == kRows - 1) && c.CommitTrans() < 0) return false;
  }
  *secs = Seconds(t0);
  return true;
}

bool LayerRead(const std::string &cs, double *secs, double *checksum) {
  Connection c;
  if (c.Open(cs) < 0) return false;
  auto t0 = std::chrono::steady_clock::now();
  Recordset rs;
  if (rs.Open("select * from D", &c, adOpenForwardOnly, adLockReadOnly, adCmdUnknown) < 0) return false;
  const int32_t n = rs.FieldCount();
  double sum = 0;
  Variant v;
  for (;;) {
    bool eof = true;
    rs.GetEOF(&eof);
    if (eof) break;
    for (int32_t i = 0; i < n; ++i) {
      if (rs.GetValue(i, &v) < 0) return false;
      sum += v.vt == VT_R8 ? v.dblVal : v.vt == VT_DATE ? 19.0 : 0.0;
    }
    if (rs.MoveNext() < 0) return false;
  }
  *secs = Seconds(t0);
  *checksum = sum;
  return true;
}

}  // namespace

int main() {
  if (!getenv("PLATFORM_ROOT")) {
    std::string root = (std::filesystem::temp_directory_path() / "bench_ado_root").string();
    setenv("PLATFORM_ROOT", root.c_str(), 1);
  }
  std::string dir = std::string(os_Root()) + "/drives/c/bench";
  if (os_MakeFolders(dir.c_str()) != 0) {
    fprintf(stderr, "cannot make %s\n", dir.c_str());
    return 2;
  }
  double bestLayerIns = 1e30, bestRawIns = 1e30, bestLayerRead = 1e30, bestRawRead = 1e30;
  for (int round = 0; round < 3; ++round) {
    std::string csL, pathL, csR, pathR, why;
    if (!NewFile("layer.mdb", &csL, &pathL) || !NewFile("raw.mdb", &csR, &pathR)) return 2;
    double t = 0;
    if (!LayerInsert(csL, &t)) return 2;
    bestLayerIns = std::min(bestLayerIns, t);
    auto t0 = std::chrono::steady_clock::now();
    if (ado_BaselineInsert(pathR, InsertText(false), kRows, kCols, kPerTransaction, RowValues, &why) < 0) {
      fprintf(stderr, "%s\n", why.c_str());
      return 2;
    }
    bestRawIns = std::min(bestRawIns, Seconds(t0));

    double sumL = 0, sumR = 0;
    int64_t rows = 0;
    if (!LayerRead(csL, &t, &sumL)) return 2;
    bestLayerRead = std::min(bestLayerRead, t);
    t0 = std::chrono::steady_clock::now();
    if (ado_BaselineRead(pathR, "select * from D", &sumR, &rows, &why) < 0 || rows != kRows) {
      fprintf(stderr, "baseline read: %s (%lld rows)\n", why.c_str(), (long long)rows);
      return 2;
    }
    bestRawRead = std::min(bestRawRead, Seconds(t0));
  }
  double insertRatio = bestLayerIns / bestRawIns, readRatio = bestLayerRead / bestRawRead;
  printf("layer insert %.3f s, sqlite insert %.3f s (%d rows, %d a transaction)\n", bestLayerIns, bestRawIns, kRows,
         kPerTransaction);
  printf("layer read %.3f s, sqlite read %.3f s\n", bestLayerRead, bestRawRead);
  printf("ado_insert_ratio %.3f\n", insertRatio);
  printf("ado_read_ratio %.3f\n", readRatio);
  return insertRatio > 1.3 || readRatio > 1.5 ? 1 : 0;
}
