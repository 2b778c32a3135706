// The database logger store against hand-written SQLite on a Jet-profile file
// on disk: a run of 64 analogue channels with the data table's four indexes.
//   insert: WriteLogs of 100,000 records in calls of 100 / prepared INSERTs
//           of the same rows in one transaction;
//   read:   GetNoLogs and ReadLogs of 100 over every record / COUNT(*) and
//           SELECT ... LIMIT 100 OFFSET i over the same table.
// Each side runs three times on fresh files; the best times are compared.
// Prints "store_insert_ratio <figure>" and "store_read_ratio <figure>"; exits
// 1 when the insert ratio is above 2.5 or the read ratio above 3.0.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "platform/ado/ado.h"
#include "platform/os_path.h"
#include "plugin/loggers/log_db_collection.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_db_store.h"

namespace {

constexpr int kRecords = 100000, kPerCall = 100, kChannels = 64;
constexpr int32_t kStart = 19723 * 86400;  // 2024-01-01

double Seconds(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

void Header(LogFileHeader *h) {
  memset(h, 0, sizeof *h);
  memcpy(h->blocks[0].prefix, "AI", 2);
  h->blocks[0].first = 1;
  h->blocks[0].last = kChannels;
  h->blocks[0].kind = 8;
  h->blocks[0].statusOffset = 12;
  h->blockCount = 1;
  h->recordSize = 12 + 8 * kChannels;
  h->start.seconds = kStart;
  h->type = LOG_FILE_TYPE;
}

void Record(const LogFileHeader &h, int i, uint8_t *r) {
  memset(r, 0, h.recordSize);
  uint16_t mark = LOG_RECORD_MARK;
  memcpy(r, &mark, 2);
  TimeStamp t{kStart + i / 10, static_cast<int16_t>(i % 10 * 100), 0};
  memcpy(r + 4, &t, 8);
  for (int k = 0; k < kChannels; ++k) {
    uint32_t st = LOG_STATUS_PRESENT;
    float v = static_cast<float>(i) * 0.5f + static_cast<float>(k);
    memcpy(r + 12 + 4 * k, &st, 4);
    memcpy(r + 12 + 4 * kChannels + 4 * k, &v, 4);
  }
}

std::string Fresh(const std::string &name, std::string *path) {
  std::string dir = std::string(os_Root()) + "/drives/c/bench";
  std::filesystem::create_directories(dir);
  *path = dir + "/" + name;
  for (const char *s : {"", "-wal", "-shm"}) std::filesystem::remove(*path + s);
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\bench\\" + name;
}

// The store's run; its data table's name in *table.
bool StoreSide(double *insert, double *read, std::string *table, std::string *cs) {
  std::string path;
  *cs = Fresh("store.mdb", &path);
  CLogDbCollection c;
  if (c.Open(cs->c_str(), "", "BENCH", "", 0xC0000000u) != 0) {
    fprintf(stderr, "open: %s %s\n", c.GetErrorSummary(), c.GetErrorText());
    return false;
  }
  LogFileHeader h;
  Header(&h);
  std::vector<ChannelRecord> ch(kChannels);
  memset(ch.data(), 0, ch.size() * sizeof(ChannelRecord));
  ChannelRecord *blocks[1] = {ch.data()};
  CLogStore *s = c.CreateRun(&h.start.seconds, 1, nullptr, &h, nullptr, 0, nullptr, nullptr, blocks);
  if (!s) {
    fprintf(stderr, "create: %s %s\n", c.GetErrorSummary(), c.GetErrorText());
    return false;
  }
  *table = static_cast<CLogDbStore *>(s)->TablePrefix() + "DATA";
  std::vector<uint8_t> recs(size_t(kPerCall) * h.recordSize);
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kRecords; i += kPerCall) {
    for (int k = 0; k < kPerCall; ++k) Record(h, i + k, &recs[size_t(k) * h.recordSize]);
    if (s->WriteLogs(&h, recs.data(), kPerCall) != 0) {
      fprintf(stderr, "write: %s %s\n", s->GetErrorSummary(), s->GetErrorText());
      return false;
    }
  }
  *insert = Seconds(t0);
  t0 = std::chrono::steady_clock::now();
  int64_t n = s->GetNoLogs(&h);
  int64_t got = 0;
  for (int64_t i = 0; i < n; i += kPerCall) got += s->ReadLogs(i, &h, recs.data(), kPerCall, nullptr, nullptr, nullptr);
  *read = Seconds(t0);
  delete s;
  if (n != kRecords || got != kRecords) {
    fprintf(stderr, "read back %lld of %lld\n", static_cast<long long>(got), static_cast<long long>(n));
    return false;
  }
  return true;
}

void HandRow(int row, double *values, int cols, std::string *date) {
  values[0] = row % 10 * 100;  // MS
  for (int k = 1; k < cols; ++k) values[k] = static_cast<float>(row) * 0.5f + static_cast<float>(k - 1);
  *date = ado::date_ToText(ldb_ToOleDate(kStart + row / 10));
}

bool HandSide(const std::string &table, double *insert, double *read) {
  std::string path, why;
  std::string cs = Fresh("hand.mdb", &path);
  if (ado::ado_CreateFile(path, &why) < 0) return fprintf(stderr, "%s\n", why.c_str()), false;
  std::string create = "CREATE TABLE " + table + " (DT datetime, MS integer, TX varchar(255) NULL";
  std::string names = "MS", marks = "?";
  for (int k = 0; k < kChannels; ++k) {
    create += ", AI" + std::to_string(k + 1) + " REAL NULL";
    names += ", AI" + std::to_string(k + 1);
    marks += ", ?";
  }
  create += ", TP float NULL)";
  {
    ado::Connection c;
    if (c.Open(cs) < 0 || c.Execute(create, nullptr) < 0) return fprintf(stderr, "%s\n", c.LastError().description.c_str()), false;
    for (const char *ix : {"TM ON %s (DT, MS)", "DT ON %s (DT)", "MS ON %s (MS)", "TX ON %s (TX)"}) {
      char sql[200];
      snprintf(sql, sizeof sql, ix, table.c_str());
      if (c.Execute(std::string("CREATE INDEX ") + sql, nullptr) < 0) return false;
    }
  }
  auto t0 = std::chrono::steady_clock::now();
  if (ado::ado_BaselineInsert(path, "INSERT INTO " + table + " (" + names + ", DT) VALUES (" + marks + ", ?)", kRecords,
                              kChannels + 1, kRecords, HandRow, &why) < 0)
    return fprintf(stderr, "%s\n", why.c_str()), false;
  *insert = Seconds(t0);
  t0 = std::chrono::steady_clock::now();
  double sum = 0;
  int64_t rows = 0;
  if (ado::ado_BaselinePages(path, table, "SELECT * FROM " + table + " ORDER BY DT ASC, MS ASC LIMIT 100 OFFSET ?",
                             kPerCall, &sum, &rows, &why) < 0)
    return fprintf(stderr, "%s\n", why.c_str()), false;
  *read = Seconds(t0);
  if (rows != kRecords) return fprintf(stderr, "hand read %lld\n", static_cast<long long>(rows)), false;
  return true;
}

}  // namespace

int main() {
  if (!getenv("PLATFORM_ROOT")) {
    std::string root = (std::filesystem::temp_directory_path() / "bench_db_store_root").string();
    setenv("PLATFORM_ROOT", root.c_str(), 1);
  }
  ldb_SetUtcMode(0);
  // Best of three rounds on fresh files, each side.
  double si = 1e30, sr = 1e30, hi = 1e30, hr = 1e30;
  for (int round = 0; round < 3; ++round) {
    double a = 0, b = 0, c = 0, d = 0;
    std::string table, cs;
    if (!StoreSide(&a, &b, &table, &cs) || !HandSide(table, &c, &d)) return 2;
    si = std::min(si, a);
    sr = std::min(sr, b);
    hi = std::min(hi, c);
    hr = std::min(hr, d);
  }
  double insertRatio = si / hi, readRatio = sr / hr;
  printf("store insert %.3f s, hand %.3f s\nstore read %.3f s, hand %.3f s\n", si, hi, sr, hr);
  printf("store_insert_ratio %.2f\nstore_read_ratio %.2f\n", insertRatio, readRatio);
  return insertRatio <= 2.5 && readRatio <= 3.0 ? 0 : 1;
}
