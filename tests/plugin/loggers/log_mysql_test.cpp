// Logger runs in a MariaDB database: the store and the collection against
// the fixture's private server, each test in a database of its own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "platform/os_registry.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_mysql_conn.h"
#include "plugin/loggers/log_mysql_store.h"
#include "tests/plugin/loggers/mysql_fixture.h"
#include "tests/support/fd_probe.h"
#include "tests/support/logger_db.h"

namespace {

using tnwtest::SetSetting;

using mysqltest::kT0;
using mysqltest::LoggedRun;
using mysqltest::Server;
using tnwtest::ShellResult;

constexpr uint32_t kRW = 0xC0000000u, kRO = 0x80000000u;

class LogMySql : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_ = Server::Shared();
    if (srv_.dir.empty()) GTEST_SKIP() << "no server: run through ctest (the fixture starts one)";
    ASSERT_FALSE(srv_.port.empty()) << "the fixture's server wrote no port";
    db_ = mysqltest::DbName();
    srv_.Fresh(db_);
    SetSetting("DatabaseDigitalText", nullptr);
  }
  void TearDown() override {
    if (!srv_.dir.empty()) srv_.Sql("", "DROP DATABASE IF EXISTS " + db_);
  }

  std::unique_ptr<CLogDbMySQLCollection> Collection(const std::string &logger = "Pumps", const char *prefix = "",
                                                    uint32_t access = kRW) {
    auto c = std::make_unique<CLogDbMySQLCollection>();
    EXPECT_EQ(c->Open(srv_.Tcp(db_).c_str(), "", logger.c_str(), prefix, access), 0)
        << c->GetErrorSummary() << ": " << c->GetErrorText();
    return c;
  }
  CLogDbMySQLStore *Create(CLogDbMySQLCollection *c, LoggedRun &run, const char *headerText = nullptr,
                           int32_t start = kT0) {
    CLogStore *s = c->CreateRun(&start, 1, nullptr, &run.h, headerText, 0, nullptr, nullptr, run.records);
    EXPECT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorText();
    return dynamic_cast<CLogDbMySQLStore *>(s);
  }
  std::string Q(const std::string &sql) { return srv_.Value(db_, sql); }

  Server srv_;
  std::string db_;
};

// The rows of each INSERT into a data table the server logged as `command`
// ("Prepare" or "Execute").
std::vector<int> LoggedBatches(const std::string &log, const std::string &table, const std::string &command) {
  std::vector<int> out;
  const std::string head = command + "\tINSERT INTO " + table + " VALUES ";
  for (size_t at = log.find(head); at != std::string::npos; at = log.find(head, at + 1)) {
    size_t end = log.find('\n', at);
    std::string stmt = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
    int rows = 1;
    for (size_t p = stmt.find("),("); p != std::string::npos; p = stmt.find("),(", p + 1)) ++rows;
    out.push_back(rows);
  }
  return out;
}

TEST(LogMySqlKeys, ReadsKeysAtPairStartsAndRefusesBadOnes) {
  struct Case {
    const char *cs;
    const char *message;  // "" when accepted
    const char *host, *user, *db;
    uint32_t port;
    const char *password;
  };
  const Case cases[] = {
      {"PROVIDER=MYSQL;USER=u;DB=d", "", "localhost", "u", "d", 0, ""},
      {"PROVIDER=MYSQL;HOST=db1;PORT=3310;USER=u;PASSWORD=dG53cGFzcw==;DB=d", "", "db1", "u", "d", 3310, "tnwpass"},
      {"provider=mysql; user=u; db=d", "", "localhost", "u", "d", 0, ""},
      // Keys inside other keys or values are not keys.
      {"PROVIDER=MYSQL;MYDB=x;USER=u;DB=d;GHOST=h", "", "localhost", "u", "d", 0, ""},
      {"PROVIDER=MYSQL;USER=DB=x;DB=d", "", "localhost", "DB=x", "d", 0, ""},
      {"PROVIDER=MYSQL;USER=u;PASSWORD=REI9eA;DB=d", "", "localhost", "u", "d", 0, "DB=x"},
      {"PROVIDER=MYSQL;USER=u;MYDB=x", "NO DB IN CONNECTION STRING", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;DB=d", "NO USER IN CONNECTION STRING", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=;DB=d", "NO USER IN CONNECTION STRING", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=", "NO DB IN CONNECTION STRING", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;DB=e", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;HOST=;USER=u;DB=d", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PORT=", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PORT=33o6", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PORT=0", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PORT=65536", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PORT=-1", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PORT=99999999999", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PASSWORD=tnw pass", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PASSWORD=dG53c", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PASSWORD=AA=A", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},
      {"PROVIDER=MYSQL;USER=u;DB=d;PASSWORD=AAAA", "CAN'T CONNECT TO DATABASE", "", "", "", 0, ""},  // a zero byte
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.cs);
    LmyKeys k;
    std::string message, detail;
    int rc = lmy_ReadKeys(c.cs, &k, &message, &detail);
    EXPECT_EQ(message, c.message) << detail;
    if (*c.message) {
      EXPECT_EQ(rc, -1);
      if (strcmp(c.message, "CAN'T CONNECT TO DATABASE") == 0) {
        EXPECT_FALSE(detail.empty());
      }
      continue;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_STREQ(k.host, c.host);
    EXPECT_STREQ(k.user, c.user);
    EXPECT_STREQ(k.db, c.db);
    EXPECT_EQ(k.port, c.port);
    EXPECT_STREQ(k.password, c.password);
  }
  // Bounds: a value of exactly its bound is taken, one more is refused.
  for (auto [key, bound] : {std::pair<const char *, size_t>{"HOST=", 256}, {"USER=", 100}, {"DB=", 100}}) {
    SCOPED_TRACE(key);
    std::string base = "PROVIDER=MYSQL;USER=u;DB=d;HOST=h;";
    LmyKeys k;
    std::string m, d;
    std::string at = base + key + std::string(bound, 'x');
    // Put the long value first so it is the only one of its key.
    std::string first = std::string("PROVIDER=MYSQL;") + key + std::string(bound, 'x');
    for (const char *other : {"USER=u", "DB=d", "HOST=h"})
      if (strncmp(other, key, strlen(key)) != 0) first += std::string(";") + other;
    EXPECT_EQ(lmy_ReadKeys(first.c_str(), &k, &m, &d), 0) << m << d;
    std::string over = std::string("PROVIDER=MYSQL;") + key + std::string(bound + 1, 'x');
    for (const char *other : {"USER=u", "DB=d", "HOST=h"})
      if (strncmp(other, key, strlen(key)) != 0) over += std::string(";") + other;
    EXPECT_EQ(lmy_ReadKeys(over.c_str(), &k, &m, &d), -1);
    EXPECT_EQ(m, "CAN'T CONNECT TO DATABASE");
  }
}

TEST(LogMySqlKeys, BatchesStayWithinThePlaceholderLimit) {
  const uint32_t cases[][2] = {{20, 1000}, {65, 1000}, {66, 992}, {68, 963}, {1000, 65}, {65535, 1}, {70000, 1}};
  for (const auto &c : cases) {
    EXPECT_EQ(lmy_BatchRows(c[0]), c[1]) << c[0] << " columns";
    EXPECT_LE(uint64_t{lmy_BatchRows(c[0])} * c[0], c[0] > 65535 ? c[0] : 65535u);
  }
}

// The behaviours the store and collection promise at their edges, each on
// its own run.
TEST_F(LogMySql, EdgeCases) {
  struct Edge {
    const char *name;
    std::function<void()> check;
  };
  const std::vector<Edge> edges = {
      {"a run has no text rows even with a predefined part",
       [&] {
         auto c = Collection();
         LoggedRun run(2);
         CLogDbMySQLStore *s = Create(c.get(), run, "[HEADER]\r\nPump house\r\n[PREDEFINED]\r\nOpen\r\nShut\r\n");
         ASSERT_NE(s, nullptr);
         EXPECT_EQ(Q("select count(*) from " + s->TablePrefix() + "TEXT"), "0");
         EXPECT_EQ(Q("select sHeader from LOGGERS where sTablePrefix='" + s->TablePrefix() + "'"), "Pump house");
         c->CloseRun(s, &run.h.start.seconds, nullptr, 0);
         delete s;
       }},
      {"without HOST= the store connects to localhost",
       [&] {
         auto c = Collection();
         LoggedRun run(2);
         CLogDbMySQLStore *s = Create(c.get(), run);
         ASSERT_NE(s, nullptr);
         c->CloseRun(s, &run.h.start.seconds, nullptr, 0);
         delete s;
         CLogDbMySQLStore local;
         std::string path = srv_.Local(db_) + ";LoggerName=Pumps;LoggerSeq=00000001";
         EXPECT_EQ(local.Open(nullptr, path.c_str(), kRO), 0) << local.GetErrorSummary() << local.GetErrorText();
         LogFileHeader h;
         EXPECT_EQ(local.ReadHeader(&h), 0);
         local.Close();
       }},
      {"only a user and a database: localhost, default port, empty password",
       [&] {
         ASSERT_EQ(srv_.Sql("", "CREATE USER IF NOT EXISTS 'nopw'@'localhost'; GRANT ALL ON *.* TO 'nopw'@'localhost'")
                       .status,
                   0);
         CLogDbMySQLCollection c;
         std::string cs = "PROVIDER=MYSQL;USER=nopw;DB=" + db_;
         EXPECT_EQ(c.Open(cs.c_str(), "", "Pumps", "", kRO), 0) << c.GetErrorSummary() << c.GetErrorText();
       }},
      {"section names kept as nothing and the others",
       [&] {
         CLogDbMySQLStore s;
         for (const char *name : {"SCAN UPDATES", "header", "Text", "PREDEFINED", "POSITIONS", "TARGETS"})
           EXPECT_EQ(s.ReadSection(name, nullptr, nullptr, nullptr, nullptr), 0) << name;
         EXPECT_EQ(s.ReadSection("OTHER", nullptr, nullptr, nullptr, nullptr), -1);
       }},
      {"opening for writing where LOGGERS exists",
       [&] {
         auto a = Collection();
         EXPECT_TRUE(a->LoggersReady());
         auto b = Collection();
         EXPECT_TRUE(b->LoggersReady());
       }},
      {"no DB= fails before any connection",
       [&] {
         CLogDbMySQLCollection c;
         // A port nothing listens on: a connection attempt would say so.
         EXPECT_EQ(c.Open("PROVIDER=MYSQL;HOST=127.0.0.2;PORT=1;USER=tnw", "", "Pumps", "", kRW), -1);
         EXPECT_STREQ(c.GetErrorSummary(), "NO DB IN CONNECTION STRING");
         EXPECT_STREQ(c.GetErrorText(), "");
       }},
      {"purge keeps a run without a stop time that started before the limit",
       [&] {
         auto c = Collection();
         LoggedRun run(2);
         CLogDbMySQLStore *open = Create(c.get(), run);  // never stopped
         ASSERT_NE(open, nullptr);
         std::string prefix = open->TablePrefix();
         c->CloseRun(open, &run.h.start.seconds, nullptr, 0);
         delete open;
         int32_t limit = kT0 + 86400;
         c->Purge(&limit);
         EXPECT_EQ(Q("select count(*) from LOGGERS where sTablePrefix='" + prefix + "'"), "1");
         EXPECT_EQ(Q("select count(*) from information_schema.tables where table_schema='" + db_ +
                     "' and table_name='" + prefix + "DATA'"),
                   "1");
       }},
      {"a store never opened fails its reads and writes cleanly",
       [&] {
         CLogDbMySQLStore s;
         LogFileHeader h{};
         EXPECT_EQ(s.ReadHeader(&h), -1);
         EXPECT_EQ(s.GetNoLogs(&h), -1);
         uint8_t rec[32] = {};
         EXPECT_EQ(s.ReadLog(0, &h, rec, sizeof rec, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
         EXPECT_EQ(s.WriteLogs(&h, rec, 1), -1);
       }},
      {"unused slots: the time is not known, the rest do nothing",
       [&] {
         CLogDbMySQLStore s;
         int32_t t = 12345;
         EXPECT_EQ(s.GetLastModified(&t), -1);
         EXPECT_EQ(t, 12345);
         LogFileHeader h{};
         h.recordCount = 7;
         EXPECT_EQ(s.CountLogsInRange(nullptr, nullptr, &h), 0);
         EXPECT_EQ(s.WriteText(kT0, "x", nullptr, "TEXT"), 0);
         EXPECT_EQ(s.WriteTextAt(TimeStamp{kT0, 0, 0}, "x", nullptr, "TEXT"), 0);
         EXPECT_EQ(s.FlushHeader(0), 0);
         EXPECT_EQ(s.Rename("X"), 0);
         EXPECT_EQ(s.WriteFormulae("AI", 1, "x"), -1);
         EXPECT_EQ(s.WriteUnitCategory("c", "x"), -1);
       }},
  };
  for (const Edge &e : edges) {
    SCOPED_TRACE(e.name);
    srv_.Fresh(db_);
    e.check();
  }
}

// The server's general log shows each batch INSERT with its rows.
TEST_F(LogMySql, BatchesSeenOnTheServer) {
  ASSERT_EQ(srv_.Sql("", "SET GLOBAL general_log=1").status, 0);
  struct Case {
    int analogue;
    std::vector<int> batches;
  };
  // 16 channels: 20 columns; 62 analogue + 2 digital: 68 columns, 963 rows a batch.
  const Case cases[] = {{14, {1000, 1000, 500}}, {62, {963, 963, 574}}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.analogue);
    auto c = Collection("Batch" + std::to_string(k.analogue));
    LoggedRun run(k.analogue);
    CLogDbMySQLStore *s = Create(c.get(), run);
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> recs = run.Records(2500);
    // Only this write's part of the log: the server outlives a test, and a
    // repeated test writes into tables of the same names.
    const size_t logged = tnwtest::ReadFile(srv_.dir + "/general.log").size();
    ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 2500), 0) << s->GetErrorSummary() << s->GetErrorText();
    EXPECT_EQ(s->GetNoLogs(&run.h), 2500);
    std::string log = tnwtest::ReadFile(srv_.dir + "/general.log").substr(logged);
    EXPECT_EQ(LoggedBatches(log, s->TablePrefix() + "DATA", "Execute"), k.batches);
    // The full batch's statement is prepared once for both of its batches.
    EXPECT_EQ(LoggedBatches(log, s->TablePrefix() + "DATA", "Prepare"),
              (std::vector<int>{k.batches[0], k.batches[2]}));
    c->CloseRun(s, &run.h.start.seconds, nullptr, 0);
    delete s;
  }
  srv_.Sql("", "SET GLOBAL general_log=0");
}

TEST_F(LogMySql, RecordsComeBackAsWritten) {
  struct Case {
    const char *name;
    bool sig;
    const char *digitalText;  // the DatabaseDigitalText setting
  };
  const Case cases[] = {{"analogue and digital 0/1", false, nullptr},
                        {"digital as state text", false, "On"},
                        {"significant change", true, nullptr}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    srv_.Fresh(db_);
    SetSetting("DatabaseDigitalText", k.digitalText);
    auto c = Collection();
    LoggedRun run(3, k.sig);
    run.h.timeZone.Bias = -330;
    CLogDbMySQLStore *s = Create(c.get(), run);
    ASSERT_NE(s, nullptr);
    const int n = 11;
    std::vector<uint8_t> recs = run.Records(n);
    ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), n), 0) << s->GetErrorText();
    const std::string data = s->TablePrefix() + "DATA";
    // As the server holds them: DT to the second, MS with the microseconds.
    EXPECT_EQ(Q("select DT, MS from " + data + " order by DT limit 1"), "2023-06-15 08:00:00\t250");
    EXPECT_EQ(Q("select MS from " + data + " where DT='2023-06-15 08:00:03'"), "250.003");
    EXPECT_EQ(Q("select AI2 is null from " + data + " where DT='2023-06-15 08:00:01'"), "1");
    EXPECT_EQ(Q("select DI1, DI2 is null from " + data + " where DT='2023-06-15 08:00:02'"),
              k.digitalText ? "RUNNING\t1" : "1\t1");
    EXPECT_EQ(Q("select DI1 from " + data + " where DT='2023-06-15 08:00:03'"), k.digitalText ? "STOPPED" : "0");
    if (k.sig) {
      EXPECT_EQ(Q("select LL, LV from " + data + " where DT='2023-06-15 08:00:09'"), "2\t4.5");
    }
    LogFileHeader h;
    ASSERT_EQ(s->ReadHeader(&h), 0) << s->GetErrorText();
    EXPECT_EQ(h.recordSize, run.h.recordSize);
    EXPECT_EQ(h.recordCount, uint32_t(n));
    EXPECT_EQ(h.timeZone.Bias, -330);  // the run's zone comes back with its header
    // Index 0, the middle, the last and past the end, oldest and newest first.
    struct Read {
      int64_t index;
      int desc;
      int record;  // -1: none
    };
    const Read reads[] = {{0, 0, 0}, {5, 0, 5}, {10, 0, 10}, {11, 0, -1},
                          {0, 1, 10}, {5, 1, 5}, {10, 1, 0}, {11, 1, -1}};
    std::vector<uint8_t> out(h.recordSize);
    for (const Read &r : reads) {
      SCOPED_TRACE("index " + std::to_string(r.index) + (r.desc ? " desc" : " asc"));
      int desc = r.desc;
      int rc = s->ReadLog(r.index, &h, out.data(), h.recordSize, nullptr, nullptr, &desc, nullptr, nullptr);
      if (r.record < 0) {
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(s->GetErrorSummary(), "CAN'T GET DATA");
        continue;
      }
      ASSERT_EQ(rc, 0) << s->GetErrorText();
      const uint8_t *want = &recs[size_t(r.record) * h.recordSize];
      TimeStamp got, exp;
      memcpy(&got, out.data() + LOG_RECORD_TIME, 8);
      memcpy(&exp, want + LOG_RECORD_TIME, 8);
      EXPECT_EQ(got.seconds, exp.seconds);
      EXPECT_EQ(got.ms, exp.ms);
      EXPECT_EQ(got.us, exp.us);
      if (k.sig) {
        EXPECT_EQ(out[12], want[12]);
        EXPECT_EQ(memcmp(out.data() + 13, want + 13, 4), 0);
      }
      // Analogue: values and status as written (bad stays bad).
      for (uint32_t ch = 0; ch < 3; ++ch) {
        uint32_t st, wst;
        float v, wv;
        memcpy(&st, out.data() + h.blocks[0].statusOffset + 4 * ch, 4);
        memcpy(&wst, want + run.h.blocks[0].statusOffset + 4 * ch, 4);
        memcpy(&v, out.data() + h.blocks[0].statusOffset + 12 + 4 * ch, 4);
        memcpy(&wv, want + run.h.blocks[0].statusOffset + 12 + 4 * ch, 4);
        EXPECT_EQ(st, wst) << "AI" << ch + 1;
        if (wst == LOG_STATUS_PRESENT) {
          EXPECT_EQ(v, wv) << "AI" << ch + 1;
        }
      }
      // Digital 0/1 read back as values; state texts are not numbers: bad.
      uint32_t d1, d2;
      memcpy(&d1, out.data() + h.blocks[1].statusOffset, 4);
      memcpy(&d2, out.data() + h.blocks[1].statusOffset + 4, 4);
      EXPECT_EQ(d1, k.digitalText ? LOG_STATUS_BAD : LOG_STATUS_PRESENT);
      EXPECT_EQ(d2, LOG_STATUS_BAD);
    }
    // Times only: a buffer of 16 bytes takes the time columns alone.
    uint8_t small[16];
    EXPECT_EQ(s->ReadLog(2, &h, small, sizeof small, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    TimeStamp t;
    memcpy(&t, small + LOG_RECORD_TIME, 8);
    EXPECT_EQ(t.seconds, kT0 + 2);
    // ReadLogs: the loop over ReadLog, stopping at the end.
    std::vector<uint8_t> many(size_t(h.recordSize) * 5);
    EXPECT_EQ(s->ReadLogs(8, &h, many.data(), 5, nullptr, nullptr, nullptr), 3);
    c->CloseRun(s, &run.h.start.seconds, nullptr, 0);
    delete s;
  }
  SetSetting("DatabaseDigitalText", nullptr);
}

TEST_F(LogMySql, HeaderOfBlocksStoredOutOfOrder) {
  auto c = Collection();
  LoggedRun run(3);
  // A third block, of one more analogue channel.
  std::vector<ChannelRecord> third(2);
  memset(third.data(), 0, sizeof(ChannelRecord) * 2);
  memcpy(third[0].raw, "Level1", 6);
  memcpy(third[1].raw, "Level2", 6);
  memcpy(run.h.blocks[2].prefix, "AO", 2);
  run.h.blocks[2].first = 4;
  run.h.blocks[2].last = 5;
  run.h.blocks[2].kind = 8;
  run.h.blocks[2].lag = 1;
  run.h.blockCount = 3;
  ldb_RecordLayout(&run.h, 0);
  ChannelRecord *records[3] = {run.ai.data(), run.di.data(), third.data()};
  int32_t start = kT0;
  CLogStore *made = c->CreateRun(&start, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, records);
  ASSERT_NE(made, nullptr) << c->GetErrorText();
  auto *s = dynamic_cast<CLogDbMySQLStore *>(made);
  const std::string ch = s->TablePrefix() + "CHANNELS";
  // Stored again newest block first, channels descending.
  ASSERT_EQ(srv_.Sql(db_, "CREATE TABLE tmp AS SELECT * FROM " + ch + " ORDER BY nBlock DESC, nChannelNumber DESC; "
                     "DELETE FROM " + ch + "; INSERT INTO " + ch + " SELECT * FROM tmp; DROP TABLE tmp")
                .status,
            0);
  EXPECT_EQ(Q("select nBlock from " + ch + " limit 1"), "2");
  LogFileHeader h;
  ASSERT_EQ(s->ReadHeader(&h), 0) << s->GetErrorText();
  ASSERT_EQ(h.blockCount, 3);
  for (int b = 0; b < 3; ++b) {
    SCOPED_TRACE(b);
    EXPECT_EQ(memcmp(h.blocks[b].prefix, run.h.blocks[b].prefix, 2), 0);
    EXPECT_EQ(h.blocks[b].first, run.h.blocks[b].first);
    EXPECT_EQ(h.blocks[b].last, run.h.blocks[b].last);
    EXPECT_EQ(h.blocks[b].statusOffset, run.h.blocks[b].statusOffset);
    EXPECT_EQ(h.blocks[b].lag, run.h.blocks[b].lag);
  }
  EXPECT_EQ(h.recordSize, run.h.recordSize);
  // The channel records come back from their rows.
  ChannelRecord back[2];
  ASSERT_EQ(s->ReadChannels(&h, back, 0, 1, 2), 0) << s->GetErrorText();
  char tag[16];
  chan_JoinTag(&back[1], tag);
  EXPECT_STREQ(tag, "Flow3");
  float hi;
  memcpy(&hi, back[0].raw + 168, 4);
  EXPECT_EQ(hi, 250.0f);
  ASSERT_EQ(s->ReadChannels(&h, back, 1, 0, 1), 0);
  char high[33];
  chan_GetText32(&back[0], CHAN_HIGH_STATE_TEXT_OFFSET, high);
  EXPECT_STREQ(high, "RUNNING");
  EXPECT_EQ(s->ReadChannels(&h, back, 1, 1, 2), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "CHANNEL NOT IN HEADER");
  c->CloseRun(s, &start, nullptr, 0);
  delete s;
}

TEST_F(LogMySql, FindRunByPrefixAndPurgeAroundALimit) {
  // Runs AB (ended), AC (ended), AB again (ended later), none the newest.
  struct Made {
    const char *prefix;
    int32_t start, stop;
  };
  const Made made[] = {{"AB", kT0, kT0 + 100}, {"AC", kT0 + 200, kT0 + 300}, {"AB", kT0 + 400, kT0 + 500}};
  std::vector<std::string> prefixes;
  for (const Made &m : made) {
    auto c = Collection("Pumps", m.prefix);
    LoggedRun run(2);
    run.h.start.seconds = m.start;
    CLogDbMySQLStore *s = Create(c.get(), run, nullptr, m.start);
    ASSERT_NE(s, nullptr);
    prefixes.push_back(s->TablePrefix());
    run.h.stop.seconds = m.stop;
    ASSERT_EQ(s->WriteHeader(&run.h, nullptr), 0) << s->GetErrorText();
    c->CloseRun(s, &run.h.start.seconds, nullptr, 0);
    delete s;
  }
  struct Find {
    const char *prefix;
    int all;
    int found;
    int32_t start;
  };
  const Find finds[] = {{"AB", 0, 1, kT0 + 400}, {"ab", 0, 1, kT0 + 400}, {"AC", 0, 1, kT0 + 200},
                        {"AD", 0, 0, 0},         {"AD", 1, 1, kT0 + 400}, {"", 0, 1, kT0 + 400}};
  for (const Find &f : finds) {
    SCOPED_TRACE(std::string(f.prefix) + (f.all ? " any" : ""));
    auto c = Collection("Pumps", f.prefix, kRO);
    char name[32] = {};
    LogRunTime start{}, end{};
    EXPECT_EQ(c->FindRun(name, nullptr, &start, &end, f.all), f.found);
    if (f.found) {
      EXPECT_EQ(start.seconds, f.start);
    }
  }
  // The listing: newest first, then the end.
  {
    auto c = Collection("Pumps", "", kRO);
    ASSERT_EQ(c->FirstRun(nullptr), 1);
    char name[32];
    LogRunTime start{}, end{};
    std::vector<int32_t> starts;
    while (c->NextRun(name, &start, &end) == 1) starts.push_back(start.seconds);
    EXPECT_EQ(starts, (std::vector<int32_t>{kT0 + 400, kT0 + 200, kT0}));
  }
  // Purge: a run that stops at the limit stays, one that ended before goes.
  struct Purge {
    int32_t limit;
    int left;
  };
  for (const Purge &p : {Purge{kT0 + 100, 3}, Purge{kT0 + 101, 2}, Purge{kT0 + 500, 1}, Purge{kT0 + 501, 0}}) {
    SCOPED_TRACE(p.limit - kT0);
    auto c = Collection();
    c->Purge(&p.limit);
    EXPECT_EQ(Q("select count(*) from LOGGERS"), std::to_string(p.left));
  }
  EXPECT_EQ(Q("select count(*) from information_schema.tables where table_schema='" + db_ + "' and table_name<>'LOGGERS'"),
            "0");
  // An empty logger: the listing holds nothing.
  auto c = Collection("Nobody", "", kRO);
  EXPECT_EQ(c->FirstRun(nullptr), 1);
  EXPECT_EQ(c->NextRun(nullptr, nullptr, nullptr), 0);
}

// Faults of the plain design, each with what the store does instead.
TEST_F(LogMySql, LongHeaderIsCutAndQuotedNamesWork) {
  auto c = Collection("O'Brien\\pumps");
  LoggedRun run(2);
  std::string text = "[HEADER]\r\n" + std::string(300, 'h') + "\r\n[PREDEFINED]\r\n";
  CLogDbMySQLStore *s = Create(c.get(), run, text.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Q("select length(sHeader), sLoggerName from LOGGERS"), "255\tO'Brien\\\\pumps");
  std::string prefix = s->TablePrefix();
  c->CloseRun(s, &run.h.start.seconds, nullptr, 0);
  delete s;
  char name[32];
  LogRunTime start{}, end{};
  ASSERT_EQ(c->FindRun(name, nullptr, &start, &end, 1), 1);
  CLogStore *back = c->OpenStore(name, kRO);
  ASSERT_NE(back, nullptr) << c->GetErrorSummary() << c->GetErrorText();
  LogFileHeader h;
  EXPECT_EQ(back->ReadHeader(&h), 0) << back->GetErrorText();
  back->Close();
  delete back;
  // A character across the column's end goes whole: the server takes the row.
  auto w = Collection("Wells");
  LoggedRun wrun(2);
  text = "[HEADER]\r\n" + std::string(254, 'h') + "\xC3\xA9" + "\r\n[PREDEFINED]\r\n";
  CLogDbMySQLStore *ws = Create(w.get(), wrun, text.c_str());
  ASSERT_NE(ws, nullptr);
  EXPECT_EQ(Q("select length(sHeader) from LOGGERS where sLoggerName = 'Wells'"), "254");
  w->CloseRun(ws, &wrun.h.start.seconds, nullptr, 0);
  delete ws;
}

TEST_F(LogMySql, RunRowStaysWhileATableCannotBeDropped) {
  auto c = Collection();
  LoggedRun run(2);
  CLogDbMySQLStore *s = Create(c.get(), run);
  ASSERT_NE(s, nullptr);
  const std::string prefix = s->TablePrefix();
  // A table that refers to the data table keeps the server from dropping it.
  ASSERT_EQ(srv_.Sql(db_, "CREATE TABLE pin (DT datetime, FOREIGN KEY (DT) REFERENCES " + prefix + "DATA (DT))").status,
            0);
  EXPECT_EQ(c->CloseRun(s, nullptr, nullptr, 0), -1);
  delete s;
  EXPECT_EQ(Q("select count(*) from LOGGERS where sTablePrefix='" + prefix + "'"), "1");
  // Once it can go, removing again finds the others gone and takes the row.
  ASSERT_EQ(srv_.Sql(db_, "DROP TABLE pin").status, 0);
  EXPECT_EQ(c->RemoveRun(prefix), 0) << c->GetErrorText();
  EXPECT_EQ(Q("select count(*) from LOGGERS"), "0");
  // The next run takes the sequence again and is made.
  CLogDbMySQLStore *again = Create(c.get(), run);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Sequence(), 1);
  c->CloseRun(again, &run.h.start.seconds, nullptr, 0);
  delete again;
}

TEST_F(LogMySql, BadRowsGiveClearErrors) {
  auto c = Collection();
  LoggedRun run(2);
  CLogDbMySQLStore *s = Create(c.get(), run);
  ASSERT_NE(s, nullptr);
  const std::string prefix = s->TablePrefix();
  std::vector<uint8_t> recs = run.Records(3);
  ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 3), 0);
  c->CloseRun(s, &run.h.start.seconds, nullptr, 0);
  delete s;
  const std::string path = srv_.Tcp(db_) + ";LoggerName=Pumps;LoggerSeq=00000001";
  struct Bad {
    const char *name;
    std::string sql;
    int open, header;  // results of Open and ReadHeader
    const char *message;
  };
  const Bad bads[] = {
      {"a block index that is NULL", "UPDATE " + prefix + "CHANNELS SET nBlock=NULL WHERE nChannelNumber=2", 0, -1,
       "CAN'T GET DATA"},
      {"a channel number out of range", "UPDATE " + prefix + "CHANNELS SET nChannelNumber=70000", 0, -1,
       "CAN'T GET DATA"},
      {"a start time that is NULL", "UPDATE LOGGERS SET dStartTime=NULL", 0, -1, "COLUMN #1 IS NOT A DATE"},
      // Wider than the 260-byte buffer of the prefix: refused, not cut.
      {"a table prefix longer than its buffer",
       "UPDATE LOGGERS SET sTablePrefix=CONVERT(REPEAT(_utf8mb4 0xC3A9, 200) USING utf8mb4)", -1, 0,
       "CAN'T GET DATA"},
      {"no row of the run", "DELETE FROM LOGGERS", -1, 0, "CAN'T FIND LOGGER NAME AND SEQ"},
  };
  const std::string save = "CREATE TABLE l0 AS SELECT * FROM LOGGERS; CREATE TABLE c0 AS SELECT * FROM " + prefix +
                           "CHANNELS";
  ASSERT_EQ(srv_.Sql(db_, save).status, 0);
  for (const Bad &b : bads) {
    SCOPED_TRACE(b.name);
    ASSERT_EQ(srv_.Sql(db_, "DELETE FROM LOGGERS; INSERT INTO LOGGERS SELECT * FROM l0; DELETE FROM " + prefix +
                                "CHANNELS; INSERT INTO " + prefix + "CHANNELS SELECT * FROM c0")
                  .status,
              0);
    ShellResult r = srv_.Sql(db_, b.sql);
    ASSERT_EQ(r.status, 0) << r.out;
    CLogDbMySQLStore st;
    int rc = st.Open(nullptr, path.c_str(), kRO);
    EXPECT_EQ(rc, b.open);
    if (rc == 0) {
      LogFileHeader h;
      EXPECT_EQ(st.ReadHeader(&h), b.header);
    }
    EXPECT_STREQ(st.GetErrorSummary(), b.message) << st.GetErrorText();
    st.Close();
  }
}

// The server links of a collection and its store stay out of programs the
// plug-in starts while they are open.
TEST_F(LogMySql, ConnectionsAreNotInheritedByStartedPrograms) {
  const auto before = tnwtest::OwnSockets();
  auto c = Collection();
  LoggedRun run(2);
  std::unique_ptr<CLogDbMySQLStore> s(Create(c.get(), run));
  ASSERT_NE(s, nullptr);
  int links = 0;
  for (const auto &[fd, link] : tnwtest::OwnSockets()) {
    if (before.count(fd) && before.at(fd) == link) continue;
    SCOPED_TRACE(link);
    ++links;
    EXPECT_EQ(os_IsSocketInheritable(fd), 0);
    EXPECT_EQ(tnwtest::ChildHoldsSocket(fd, link), 0);
  }
  EXPECT_GE(links, 2);  // the collection's and the store's
  EXPECT_EQ(c->CloseRun(s.get(), &run.h.start.seconds, nullptr, 0), 0);
}

TEST_F(LogMySql, ConnectionFailuresNameTheirCause) {
  std::string refusedPort;
  {
    // A port of 127.0.0.2 that nothing listens on: the server's, plus one.
    refusedPort = std::to_string(std::stoi(srv_.port) + 1);
  }
  struct Case {
    const char *name;
    std::string cs;
    const char *detail;  // part of the library's text
  };
  const Case cases[] = {
      {"wrong password (1045)",
       "PROVIDER=MYSQL;HOST=127.0.0.2;PORT=" + srv_.port + ";USER=tnw;PASSWORD=d3Jvbmc=;DB=" + db_, "Access denied"},
      {"unknown database (1049)", srv_.Tcp("nosuchdb"), "Unknown database"},
      {"refused port", "PROVIDER=MYSQL;HOST=127.0.0.2;PORT=" + refusedPort + ";USER=tnw;DB=" + db_,
       "Can't connect"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    CLogDbMySQLCollection c;
    EXPECT_EQ(c.Open(k.cs.c_str(), "", "Pumps", "", kRW), -1);
    EXPECT_STREQ(c.GetErrorSummary(), "CAN'T CONNECT TO DATABASE");
    EXPECT_NE(std::string(c.GetErrorText()).find(k.detail), std::string::npos) << c.GetErrorText();
    CLogDbMySQLStore s;
    std::string path = k.cs + ";LoggerName=Pumps;LoggerSeq=00000001";
    EXPECT_EQ(s.Open(nullptr, path.c_str(), kRO), -1);
    EXPECT_STREQ(s.GetErrorSummary(), "CAN'T CONNECT TO DATABASE");
    EXPECT_NE(std::string(s.GetErrorText()).find(k.detail), std::string::npos) << s.GetErrorText();
  }
  // Bounds of the collection's own string.
  CLogDbMySQLCollection c;
  EXPECT_EQ(c.Open("", "", "Pumps", "", kRW), -1);
  EXPECT_STREQ(c.GetErrorSummary(), "NO CONNECTION STRING");
  std::string longCs = srv_.Tcp(db_) + ";" + std::string(1024, 'x');
  EXPECT_EQ(c.Open(longCs.c_str(), "", "Pumps", "", kRW), -1);
  EXPECT_STREQ(c.GetErrorSummary(), "CONNECTION STRING TOO LONG");
}

}  // namespace
