// The MySQL logger store against a hand-written multi-row prepared INSERT, on
// a private MariaDB server (scripts/mariadb.sh; the fixture's when
// $TNW_MYSQL_DIR names it, else one started here) over TCP on 127.0.0.2: a
// run of 64 analogue channels, 100,000 records
//   store:  WriteLogs in calls of 1,000 records;
//   anchor: the same batches (963 rows, then 37) as INSERTs prepared once each
//           and executed per batch on one connection.
// Each side runs three times on a fresh table; the best times are compared.
// Prints "mysql_insert_ratio <figure>"; exits 1 above 1.3.
#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_mysql_store.h"

namespace {

constexpr int kRecords = 100000, kPerCall = 1000, kChannels = 64, kColumns = 3 + kChannels + 1;
constexpr int32_t kStart = 19723 * 86400;  // 2024-01-01
constexpr double kLimit = 1.3;
const char kDb[] = "bench_mysql";

double Seconds(std::chrono::steady_clock::time_point a) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count();
}

std::string Shell(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

void Header(LogFileHeader *h) {
  memset(h, 0, sizeof *h);
  memcpy(h->blocks[0].prefix, "AI", 2);
  h->blocks[0].first = 1;
  h->blocks[0].last = kChannels;
  h->blocks[0].kind = 8;
  h->blockCount = 1;
  h->start.seconds = kStart;
  h->type = LOG_FILE_TYPE;
  ldb_RecordLayout(h, 0);
}

TimeStamp Time(int i) { return TimeStamp{kStart + i / 10, static_cast<int16_t>(i % 10 * 100), 0}; }
float Value(int i, int k) { return static_cast<float>(i) * 0.5f + static_cast<float>(k); }

void Record(const LogFileHeader &h, int i, uint8_t *r) {
  memset(r, 0, h.recordSize);
  uint16_t mark = LOG_RECORD_MARK;
  memcpy(r, &mark, 2);
  TimeStamp t = Time(i);
  memcpy(r + LOG_RECORD_TIME, &t, 8);
  for (int k = 0; k < kChannels; ++k) {
    uint32_t st = LOG_STATUS_PRESENT;
    float v = Value(i, k);
    memcpy(r + h.blocks[0].statusOffset + 4 * k, &st, 4);
    memcpy(r + h.blocks[0].statusOffset + 4 * kChannels + 4 * k, &v, 4);
  }
}

bool Exec(MYSQL *db, const std::string &sql) {
  if (mysql_query(db, sql.c_str()) == 0) return true;
  fprintf(stderr, "%s: %s\n", sql.substr(0, 60).c_str(), mysql_error(db));
  return false;
}

// The store: a fresh database, a run made by the collection, WriteLogs.
double StoreSide(const std::string &cs, MYSQL *root, const std::vector<uint8_t> &records, const LogFileHeader &h0) {
  Exec(root, std::string("DROP DATABASE IF EXISTS ") + kDb);
  Exec(root, std::string("CREATE DATABASE ") + kDb);
  CLogDbMySQLCollection c;
  if (c.Open(cs.c_str(), "", "Bench", "", 0xC0000000u) != 0) {
    fprintf(stderr, "open: %s %s\n", c.GetErrorSummary(), c.GetErrorText());
    return -1;
  }
  LogFileHeader h = h0;
  std::vector<ChannelRecord> ch(kChannels);
  memset(ch.data(), 0, ch.size() * sizeof(ChannelRecord));
  ChannelRecord *recs[1] = {ch.data()};
  int32_t start = kStart;
  CLogStore *s = c.CreateRun(&start, 1, nullptr, &h, nullptr, 0, nullptr, nullptr, recs);
  if (!s) {
    fprintf(stderr, "create: %s %s\n", c.GetErrorSummary(), c.GetErrorText());
    return -1;
  }
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kRecords; i += kPerCall)
    if (s->WriteLogs(&h, &records[size_t(i) * h.recordSize], kPerCall) != 0) {
      fprintf(stderr, "write: %s %s\n", s->GetErrorSummary(), s->GetErrorText());
      return -1;
    }
  double t = Seconds(t0);
  s->Close();
  delete s;
  return t;
}

// The anchor: the same table, the same batches, by hand.
double AnchorSide(MYSQL *db, MYSQL *root) {
  Exec(root, std::string("DROP DATABASE IF EXISTS ") + kDb);
  Exec(root, std::string("CREATE DATABASE ") + kDb);
  if (mysql_select_db(db, kDb) != 0) return -1;
  std::string create = "CREATE TABLE A_DATA (DT datetime, MS float, TX varchar(255) NULL";
  for (int k = 1; k <= kChannels; ++k) create += ", AI" + std::to_string(k) + " REAL NULL";
  create += ", TP float NULL)";
  if (!Exec(db, create) || !Exec(db, "CREATE INDEX TM ON A_DATA (DT, MS)")) return -1;
  const int full = static_cast<int>(lmy_BatchRows(kColumns)), tail = kPerCall % full;
  auto prepare = [&](int rows) {
    const std::string sql = lmy_BatchInsert("A_DATA", static_cast<uint32_t>(rows), static_cast<uint32_t>(kColumns));
    MYSQL_STMT *st = mysql_stmt_init(db);
    if (mysql_stmt_prepare(st, sql.c_str(), static_cast<unsigned long>(sql.size())) != 0) {
      fprintf(stderr, "prepare: %s\n", mysql_stmt_error(st));
      mysql_stmt_close(st);
      return static_cast<MYSQL_STMT *>(nullptr);
    }
    return st;
  };
  MYSQL_STMT *stFull = prepare(full), *stTail = tail ? prepare(tail) : nullptr;
  if (!stFull || (tail && !stTail)) return -1;
  std::vector<MYSQL_BIND> binds(size_t(full) * kColumns);
  std::vector<MYSQL_TIME> times(full);
  std::vector<float> ms(full), values(size_t(full) * kChannels);
  auto t0 = std::chrono::steady_clock::now();
  for (int call = 0; call < kRecords; call += kPerCall) {
    for (int first = call; first < call + kPerCall;) {
      int rows = std::min(full, call + kPerCall - first);
      MYSQL_STMT *st = rows == full ? stFull : stTail;
      memset(binds.data(), 0, sizeof(MYSQL_BIND) * size_t(rows) * kColumns);
      for (int r = 0; r < rows; ++r) {
        const int i = first + r;
        TimeStamp t = Time(i);
        MYSQL_TIME &mt = times[r];
        lmy_DateTime(t.seconds, &mt);
        ms[r] = static_cast<float>(t.ms + t.us / 1000.0);
        MYSQL_BIND *b = &binds[size_t(r) * kColumns];
        b[0].buffer_type = MYSQL_TYPE_DATETIME;
        b[0].buffer = &mt;
        b[1].buffer_type = MYSQL_TYPE_FLOAT;
        b[1].buffer = &ms[r];
        b[2].buffer_type = MYSQL_TYPE_NULL;
        for (int k = 0; k < kChannels; ++k) {
          float &v = values[size_t(r) * kChannels + k];
          v = Value(i, k);
          b[3 + k].buffer_type = MYSQL_TYPE_FLOAT;
          b[3 + k].buffer = &v;
        }
        b[kColumns - 1].buffer_type = MYSQL_TYPE_NULL;
      }
      if (mysql_stmt_bind_param(st, binds.data()) != 0 || mysql_stmt_execute(st) != 0) {
        fprintf(stderr, "execute: %s\n", mysql_stmt_error(st));
        return -1;
      }
      first += rows;
    }
  }
  double t = Seconds(t0);
  mysql_stmt_close(stFull);
  if (stTail) mysql_stmt_close(stTail);
  return t;
}

}  // namespace

int main() {
  const char *shared = getenv("TNW_MYSQL_DIR");
  std::string dir = shared && *shared ? shared : "";
  bool own = dir.empty();
  if (own) {
    char tmpl[] = "/tmp/bench_mysql_XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    dir = std::string(tmpl) + "/my";
    if (Shell(std::string("'") + MARIADB_SH + "' start '" + dir + "'").empty()) {
      fprintf(stderr, "no server: %s start %s failed\n", MARIADB_SH, dir.c_str());
      return 2;
    }
  }
  std::string port;
  {
    std::ifstream f(dir + "/port");
    f >> port;
  }
  const std::string cs =
      "PROVIDER=MYSQL;HOST=127.0.0.2;PORT=" + port + ";USER=tnw;PASSWORD=dG53cGFzcw==;DB=" + kDb;
  MYSQL *root = mysql_init(nullptr);
  MYSQL *anchor = mysql_init(nullptr);
  int rc = 2;
  if (mysql_real_connect(root, "127.0.0.2", "tnw", "tnwpass", nullptr, static_cast<unsigned>(std::stoi(port)), nullptr,
                         0) &&
      mysql_real_connect(anchor, "127.0.0.2", "tnw", "tnwpass", nullptr, static_cast<unsigned>(std::stoi(port)),
                         nullptr, 0)) {
    LogFileHeader h;
    Header(&h);
    std::vector<uint8_t> records(size_t(kRecords) * h.recordSize);
    for (int i = 0; i < kRecords; ++i) Record(h, i, &records[size_t(i) * h.recordSize]);
    double store = 1e9, hand = 1e9;
    bool ok = true;
    for (int run = 0; run < 3 && ok; ++run) {
      double s = StoreSide(cs, root, records, h), a = AnchorSide(anchor, root);
      ok = s > 0 && a > 0;
      store = std::min(store, s);
      hand = std::min(hand, a);
      printf("run %d: store %.3f s, anchor %.3f s\n", run + 1, s, a);
    }
    if (ok) {
      double ratio = store / hand;
      printf("mysql_store_insert_s %.3f\nmysql_anchor_insert_s %.3f\nmysql_insert_ratio %.2f\n", store, hand, ratio);
      rc = ratio > kLimit ? 1 : 0;
    }
    mysql_query(root, (std::string("DROP DATABASE IF EXISTS ") + kDb).c_str());
  } else {
    fprintf(stderr, "connect: %s\n", mysql_error(root));
  }
  mysql_close(anchor);
  mysql_close(root);
  if (own) Shell(std::string("'") + MARIADB_SH + "' stop '" + dir + "'");
  return rc;
}
