// Logger runs in a database: the collection and the run store over real
// Jet and SQL Server profile files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "platform/ado/ado.h"
#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_file.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "plugin/loggers/log_db_collection.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_db_store.h"
#include "plugin/loggers/log_file_store.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"
#include "tests/support/logger_db.h"

namespace {

using tnwtest::SetSetting;
using tnwtest::SqlCs;

constexpr uint32_t kRW = 0xC0000000u, kRO = 0x80000000u;
constexpr int32_t kT0 = 19523 * 86400 + 8 * 3600;  // 2023-06-15 08:00:00

std::string JetCs(const std::string &name) {
  std::string dir = std::string(os_Root()) + "/drives/c/ldb";
  os_MakeFolders(dir.c_str());
  remove((dir + "/" + name).c_str());
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\ldb\\" + name;
}

// Whether a table exists, seen through a connection of its own.
bool HasTable(const std::string &cs, const std::string &table) {
  ado::Connection c;
  if (c.Open(cs) < 0) return false;
  ado::Recordset r;
  return r.Open("select * from " + table, &c, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) >= 0;
}

// A run of two blocks: AI1-AI3 analogue, DI1-DI2 digital, laid out as a
// logger lays it out (12-byte record head, status words, then values).
struct RunFixture {
  LogFileHeader h{};
  std::vector<ChannelRecord> ai, di;
  ChannelRecord *records[2];
  explicit RunFixture(int analogue = 3, const char *tagBase = "Flow") : ai(analogue), di(2) {
    memcpy(h.blocks[0].prefix, "AI", 2);
    h.blocks[0].first = 1;
    h.blocks[0].last = static_cast<uint16_t>(analogue);
    h.blocks[0].kind = 8;
    h.blocks[0].statusOffset = 12;
    memcpy(h.blocks[1].prefix, "DI", 2);
    h.blocks[1].first = 1;
    h.blocks[1].last = 2;
    h.blocks[1].kind = LOG_KIND_DIGITAL;
    h.blocks[1].statusOffset = static_cast<uint16_t>(12 + 8 * analogue);
    snprintf(h.blocks[0].source, sizeof h.blocks[0].source, "srv");
    h.blockCount = 2;
    h.recordSize = 12 + 8 * analogue + 16;
    h.start.seconds = kT0;
    h.type = LOG_FILE_TYPE;
    memset(ai.data(), 0, ai.size() * sizeof(ChannelRecord));
    memset(di.data(), 0, di.size() * sizeof(ChannelRecord));
    for (int i = 0; i < analogue; ++i) {
      char tag[16];
      snprintf(tag, sizeof tag, "%s%d", tagBase, i + 1);
      memcpy(ai[i].raw, tag, strlen(tag) < 8 ? strlen(tag) : 8);
      if (strlen(tag) > 8) memcpy(ai[i].raw + 138, tag + 8, strlen(tag) - 8 < 4 ? strlen(tag) - 8 : 4);
      memcpy(ai[i].raw + 32, "m3/h", 4);
      chan_SetFlagBit(&ai[i], CHAN_FLAG_ENABLE, true);
    }
    for (int i = 0; i < 2; ++i) {
      char tag[8];
      snprintf(tag, sizeof tag, "Pump%d", i + 1);
      memcpy(di[i].raw, tag, strlen(tag));
      di[i].raw[24] = 1;
      chan_SetFlagBit(&di[i], CHAN_FLAG_ENABLE, true);
      chan_PutText32(&di[i], CHAN_HIGH_STATE_TEXT_OFFSET, "RUNNING");
      chan_PutText32(&di[i], 64, "STOPPED");
    }
    records[0] = ai.data();
    records[1] = di.data();
  }
  // Record i: time kT0 + i s + 250 ms; AI k = i * 10 + k (AI2 bad on odd
  // records); DI1 on for even records, DI2 bad.
  std::vector<uint8_t> Records(int count) const {
    std::vector<uint8_t> out(size_t(count) * h.recordSize, 0);
    int n = h.blocks[0].last;
    for (int i = 0; i < count; ++i) {
      uint8_t *r = &out[size_t(i) * h.recordSize];
      uint16_t mark = LOG_RECORD_MARK;
      memcpy(r, &mark, 2);
      TimeStamp t{kT0 + i, 250, 0};
      memcpy(r + 4, &t, 8);
      for (int k = 0; k < n; ++k) {
        uint32_t st = (k == 1 && i % 2) ? LOG_STATUS_BAD : LOG_STATUS_PRESENT;
        float v = static_cast<float>(i * 10 + k);
        memcpy(r + 12 + 4 * k, &st, 4);
        memcpy(r + 12 + 4 * n + 4 * k, &v, 4);
      }
      uint32_t d1 = (i % 2 == 0) ? 1u : 0u, d2 = LOG_STATUS_BAD;
      memcpy(r + h.blocks[1].statusOffset, &d1, 4);
      memcpy(r + h.blocks[1].statusOffset + 4, &d2, 4);
    }
    return out;
  }
};

// The configuration area of data area "AI": `count` channels tagged
// Inlet1, Inlet2, ...
struct ConfigArea {
  void *data, *conf;
  explicit ConfigArea(uint16_t count) {
    data = shm_CreateSegmentWithWaiters("dm_AI", 20 + 8 * count);
    conf = shm_CreateSegmentWithWaiters("dm_AI_conf", count * LOG_CHANNEL_SIZE);
    if (!data || !conf) return;
    uint8_t *d = shm_Payload(data);
    memcpy(d, "AI", 2);
    uint16_t width = 8;
    memcpy(d + 2, &width, 2);
    memcpy(d + 4, &count, 2);
    for (int k = 0; k < count; ++k) {
      ChannelRecord *r = reinterpret_cast<ChannelRecord *>(shm_Payload(conf) + k * LOG_CHANNEL_SIZE);
      memset(r, 0, LOG_CHANNEL_SIZE);
      char tag[16];
      snprintf(tag, sizeof tag, "Inlet%d", k + 1);
      memcpy(r->raw, tag, strlen(tag));
    }
  }
  ~ConfigArea() {
    shm_DestroySegment("dm_AI");
    shm_DestroySegment("dm_AI_conf");
    shm_ForgetTables();
  }
};

class LogDb : public ::testing::Test {
 protected:
  void SetUp() override {
    ldb_SetJetCreateWait(0);
    ldb_SetUtcMode(0);
    SetSetting("DatabaseDigitalText", nullptr);
  }
  void TearDown() override {
    ado::ado_SetRefusals(ado::PROFILE_JET, 0);
    ado::ado_SetRefusals(ado::PROFILE_SQLSERVER, 0);
    SetSetting("DatabaseDigitalText", nullptr);
  }
};

// One run written and read back on both profiles.
TEST_F(LogDb, RunRoundTripOnBothProfiles) {
  for (const std::string &cs : {JetCs("trip.mdb"), SqlCs("trip")}) {
    SCOPED_TRACE(cs);
    CLogDbCollection c;
    ASSERT_EQ(c.Open(cs.c_str(), "", "O'Brien", "", kRW), 0) << c.GetErrorSummary() << c.GetErrorText();
    EXPECT_TRUE(c.CreatedLoggers());
    RunFixture run;
    const char *text = "[HEADER]\r\nSite: north\r\n[PREDEFINED]\r\nValve open\r\n\r\nValve shut\r\n";
    CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, text, 0, nullptr, nullptr, run.records);
    ASSERT_NE(s, nullptr) << c.GetErrorSummary() << " " << c.GetErrorText();
    auto recs = run.Records(6);
    ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 6), 0) << s->GetErrorSummary() << s->GetErrorText();
    {
      // A caller's words before the column list; anything else is refused,
      // as it would go into the statement unquoted.
      std::vector<uint8_t> one(run.h.recordSize);
      auto time = [&](const uint8_t *r) { return std::string(reinterpret_cast<const char *>(r) + 4, 8); };
      ASSERT_EQ(s->ReadLog(2, &run.h, one.data(), run.h.recordSize, (void *)"DISTINCT ", nullptr, nullptr, nullptr,
                           nullptr),
                0)
          << s->GetErrorSummary() << s->GetErrorText();
      EXPECT_EQ(time(one.data()), time(recs.data() + 2 * run.h.recordSize));
      ASSERT_EQ(s->ReadLog(3, &run.h, one.data(), run.h.recordSize, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
      EXPECT_EQ(time(one.data()), time(recs.data() + 3 * run.h.recordSize));
      EXPECT_EQ(s->ReadLog(0, &run.h, one.data(), run.h.recordSize, (void *)"1 AS x, ", nullptr, nullptr, nullptr,
                           nullptr),
                -1);
      EXPECT_STREQ(s->GetErrorSummary(), "CAN'T SELECT FROM DATA");
    }
    ASSERT_EQ(s->WriteText(kT0 + 2, "alarm 'A'", nullptr, "TEXT"), 0) << s->GetErrorSummary() << s->GetErrorText();
    EXPECT_EQ(s->WriteText(kT0 + 2, "x", nullptr, "OTHER"), -1);
    EXPECT_EQ(c.CloseRun(s, &run.h.start.seconds, nullptr, 0), 0);
    delete s;

    // A reader finds the newest run and opens it.
    CLogDbCollection r;
    ASSERT_EQ(r.Open(cs.c_str(), "", "O'Brien", "", kRO), 0);
    char sel[32];
    LogRunTime st{}, en{};
    ASSERT_EQ(r.FindRun(sel, nullptr, &st, &en, 1), 1);
    EXPECT_STREQ(sel, "LoggerSeq=00000001");
    EXPECT_EQ(st.seconds, kT0);
    CLogStore *rs = r.OpenStore(sel, kRO);
    ASSERT_NE(rs, nullptr) << r.GetErrorSummary() << r.GetErrorText();
    EXPECT_EQ(static_cast<CLogDbStore *>(rs)->TablePrefix(), "O_Brien_");  // trimmed, quote replaced
    LogFileHeader h{};
    ASSERT_EQ(rs->ReadHeader(&h), 0) << rs->GetErrorSummary() << rs->GetErrorText();
    EXPECT_EQ(h.blockCount, 2);
    EXPECT_EQ(h.recordCount, 6u);
    EXPECT_EQ(h.start.seconds, kT0);
    EXPECT_EQ(h.blocks[0].last, 3);
    EXPECT_EQ(std::string(h.blocks[0].source), "srv");
    EXPECT_EQ(h.recordSize, 18u + (8 * 3 + 2) + (8 * 2 + 2));
    // Records are decoded with the writer's layout.
    std::vector<uint8_t> back(6 * run.h.recordSize);
    ASSERT_EQ(rs->ReadLogs(0, &run.h, back.data(), 6, nullptr, nullptr, nullptr), 6);
    for (int i = 0; i < 6; ++i) {
      const uint8_t *b = &back[size_t(i) * run.h.recordSize];
      TimeStamp t;
      memcpy(&t, b + 4, 8);
      EXPECT_EQ(t.seconds, kT0 + i);
      EXPECT_EQ(t.ms, 250);
      for (int k = 0; k < 3; ++k) {
        uint32_t status;
        float v;
        memcpy(&status, b + 12 + 4 * k, 4);
        memcpy(&v, b + 24 + 4 * k, 4);
        if (k == 1 && i % 2) {
          EXPECT_EQ(status, LOG_STATUS_BAD);
        } else {
          EXPECT_EQ(status, LOG_STATUS_PRESENT);
          EXPECT_EQ(v, static_cast<float>(i * 10 + k));
        }
      }
      uint32_t d1, d2;
      float dv;
      memcpy(&d1, b + 36, 4);
      memcpy(&d2, b + 40, 4);
      memcpy(&dv, b + 44, 4);
      EXPECT_EQ(d1, LOG_STATUS_PRESENT);
      EXPECT_EQ(dv, i % 2 == 0 ? 1.0f : 0.0f);
      EXPECT_EQ(d2, LOG_STATUS_BAD);
    }
    // Newest first.
    int desc = 1;
    ASSERT_EQ(rs->ReadLogs(0, &run.h, back.data(), 1, &desc, nullptr, nullptr), 1);
    TimeStamp t;
    memcpy(&t, back.data() + 4, 8);
    EXPECT_EQ(t.seconds, kT0 + 5);
    // Ranges exclude both ends to the millisecond.
    TimeStamp from{kT0 + 1, 250, 0}, to{kT0 + 4, 250, 0}, justBefore{kT0 + 1, 249, 0};
    EXPECT_EQ(rs->CountLogsInRange(&from, &to, &run.h), 2);
    EXPECT_EQ(rs->CountLogsInRange(&justBefore, nullptr, &run.h), 5);
    EXPECT_EQ(rs->ReadLogsInRange(&run.h, &from, &to, back.data(), 10, nullptr, nullptr, nullptr, nullptr, nullptr), 2);
    memcpy(&t, back.data() + 4, 8);
    EXPECT_EQ(t.seconds, kT0 + 2);
    // Channels.
    ChannelRecord ch[3];
    ASSERT_EQ(rs->ReadChannels(&h, ch, 0, 0, 3), 0) << rs->GetErrorSummary();
    char tag[16];
    chan_JoinTag(&ch[2], tag);
    EXPECT_STREQ(tag, "Flow3");
    ASSERT_EQ(rs->ReadChannels(&h, ch, 1, 1, 1), 0);
    char high[33];
    chan_GetText32(&ch[0], CHAN_HIGH_STATE_TEXT_OFFSET, high);
    EXPECT_STREQ(high, "RUNNING");
    EXPECT_EQ(rs->ReadChannels(&h, ch, 1, 1, 2), -1);
    EXPECT_STREQ(rs->GetErrorSummary(), "CHANNEL NOT IN HEADER");
    EXPECT_EQ(rs->ReadChannels(&h, ch, 2, 0, 1), -1);
    // Sections.
    char buf[256];
    uint32_t cap = sizeof buf;
    EXPECT_EQ(rs->ReadSection("header", buf, &cap, nullptr, nullptr), 1);
    EXPECT_STREQ(buf, "Site: north");
    cap = sizeof buf;
    EXPECT_EQ(rs->ReadSection("PREDEFINED", buf, &cap, nullptr, nullptr), 2);
    EXPECT_STREQ(buf, "Valve open\r\nValve shut\r\n");
    cap = sizeof buf;
    EXPECT_EQ(rs->ReadSection("TEXT", buf, &cap, nullptr, nullptr), 1);
    EXPECT_STREQ(buf, "23/06/15 08:00:02 alarm 'A'\r\n");
    cap = 5;
    EXPECT_EQ(rs->ReadSection("TEXT", buf, &cap, nullptr, nullptr), -1);  // too small: nothing copied
    EXPECT_EQ(cap, 30u);
    cap = 0;
    EXPECT_EQ(rs->ReadSection("TEXT", nullptr, &cap, nullptr, nullptr), 1);
    EXPECT_EQ(cap, 30u);
    buf[0] = 'z';
    cap = sizeof buf;
    EXPECT_EQ(rs->ReadSection("TARGETS", buf, &cap, nullptr, nullptr), 0);
    EXPECT_EQ(buf[0], 'z');
    int32_t modified = 0;
    ASSERT_EQ(rs->GetLastModified(&modified), 0);
    EXPECT_EQ(modified, kT0 + 2);
    uint32_t size = 0;
    rs->GetName(nullptr, &size);
    std::string name(size, '\0');
    rs->GetName(name.data(), &size);
    EXPECT_EQ(std::string(name.c_str()), cs + ";LoggerName=O'Brien;LoggerSeq=00000001");
    EXPECT_EQ(size, cs.size() + 7 + 32);
    delete rs;
  }
}

// Loggers whose table names SQLite keeps for itself ("sqlite_..." in any
// case) make, read and remove runs like any other, with the stored prefix
// as the name gives it.
TEST_F(LogDb, LoggerNamesTheDatabaseReservesForItself) {
  struct Case {
    const char *logger, *prefix;
  } cases[] = {{"SQLITE", "SQLITE_"}, {"sqlite_x", "sqlite_x_"}, {"Sqlite", "Sqlite_"}};
  for (const Case &k : cases) {
    for (const std::string &cs : {JetCs("reserved.mdb"), SqlCs("reserved")}) {
      SCOPED_TRACE(cs + " " + k.logger);
      CLogDbCollection c;
      ASSERT_EQ(c.Open(cs.c_str(), "", k.logger, "", kRW), 0) << c.GetErrorSummary() << c.GetErrorText();
      RunFixture run;
      const char *text = "[HEADER]\r\nSite: north\r\n[PREDEFINED]\r\nValve open\r\n";
      CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, text, 0, nullptr, nullptr, run.records);
      ASSERT_NE(s, nullptr) << c.GetErrorSummary() << " " << c.GetErrorText();
      EXPECT_EQ(static_cast<CLogDbStore *>(s)->TablePrefix(), k.prefix);
      auto recs = run.Records(4);
      ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 4), 0) << s->GetErrorSummary() << s->GetErrorText();
      ASSERT_EQ(s->WriteText(kT0 + 1, "alarm", nullptr, "TEXT"), 0) << s->GetErrorSummary() << s->GetErrorText();
      EXPECT_EQ(c.CloseRun(s, &run.h.start.seconds, nullptr, 0), 0);
      delete s;

      CLogDbCollection r;
      ASSERT_EQ(r.Open(cs.c_str(), "", k.logger, "", kRO), 0);
      char sel[32], prefix[256] = "";
      LogRunTime st{}, en{};
      ASSERT_EQ(r.FindRun(sel, nullptr, &st, &en, 1), 1);
      CLogStore *rs = r.OpenStore(sel, kRO);
      ASSERT_NE(rs, nullptr) << r.GetErrorSummary() << r.GetErrorText();
      LogFileHeader h{};
      ASSERT_EQ(rs->ReadHeader(&h), 0) << rs->GetErrorSummary() << rs->GetErrorText();
      EXPECT_EQ(h.recordCount, 4u);
      std::vector<uint8_t> back(4 * run.h.recordSize);
      EXPECT_EQ(rs->ReadLogs(0, &run.h, back.data(), 4, nullptr, nullptr, nullptr), 4);
      ChannelRecord ch[3];
      ASSERT_EQ(rs->ReadChannels(&h, ch, 0, 0, 3), 0) << rs->GetErrorSummary();
      char buf[256];
      uint32_t cap = sizeof buf;
      EXPECT_EQ(rs->ReadSection("PREDEFINED", buf, &cap, nullptr, nullptr), 1);
      EXPECT_STREQ(buf, "Valve open\r\n");
      cap = sizeof buf;
      EXPECT_EQ(rs->ReadSection("TEXT", buf, &cap, nullptr, nullptr), 1);
      delete rs;

      // The row keeps the prefix as made; removing the run takes its tables.
      {
        ado::Connection conn;
        ASSERT_GE(conn.Open(cs), 0);
        ado::Recordset row;
        ASSERT_GE(row.Open(std::string("select sTablePrefix from LOGGERS where sLoggerName = '") + k.logger + "'",
                           &conn, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown),
                  0);
        ado::Variant v;
        ASSERT_GE(row.GetValue(0, &v), 0);
        snprintf(prefix, sizeof prefix, "%s", ado::var_ToUtf8(v).c_str());
      }
      EXPECT_EQ(std::string(prefix).substr(0, strlen(k.prefix)), k.prefix);
      EXPECT_TRUE(HasTable(cs, std::string(k.prefix) + "DATA"));
      EXPECT_EQ(c.RemoveRun(k.prefix), 0) << c.GetErrorSummary() << c.GetErrorText();
      EXPECT_FALSE(HasTable(cs, std::string(k.prefix) + "DATA"));
      EXPECT_FALSE(HasTable(cs, std::string(k.prefix) + "CHANNELS"));
      EXPECT_FALSE(HasTable(cs, std::string(k.prefix) + "TEXT"));
    }
  }
}

TEST_F(LogDb, SequenceNumbersAndPrefixes) {
  std::string cs = JetCs("seq.mdb");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "L1", "", kRW), 0);
  RunFixture run;
  auto make = [&](int fresh, int dated) {
    CLogStore *s = c.CreateRun(&run.h.start.seconds, fresh, nullptr, &run.h, nullptr, dated, nullptr, nullptr,
                               run.records);
    EXPECT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
    std::string p = s ? static_cast<CLogDbStore *>(s)->TablePrefix() : "";
    int32_t q = s ? static_cast<CLogDbStore *>(s)->Sequence() : 0;
    delete s;
    return std::make_pair(p, q);
  };
  EXPECT_EQ(make(0, 1), std::make_pair(std::string("L1_20230615_"), 20230615));  // dated only
  EXPECT_EQ(make(1, 0), std::make_pair(std::string("L1_"), 1));  // dated runs do not count
  EXPECT_EQ(make(1, 0), std::make_pair(std::string("L1_00000002_"), 2));
  EXPECT_EQ(make(0, 0), std::make_pair(std::string("L1_00000003_"), 3));
  // The run list is newest first by start time; all share one here.
  EXPECT_EQ(c.FirstRun(nullptr), 1);
  int n = 0;
  char sel[32];
  while (c.NextRun(sel, nullptr, nullptr) == 1) ++n;
  EXPECT_EQ(n, 4);
  // A run removed loses its tables and its row.
  EXPECT_EQ(c.RemoveRun("L1_00000003_"), 0);
  EXPECT_FALSE(HasTable(cs, "L1_00000003_DATA"));
  CLogDbCollection r;
  ASSERT_EQ(r.Open(cs.c_str(), "", "L1", "", kRO), 0);
  EXPECT_EQ(r.FirstRun(nullptr), 1);
  n = 0;
  while (r.NextRun(sel, nullptr, nullptr) == 1) ++n;
  EXPECT_EQ(n, 3);
}

// A logger killed after it made a run's tables and before its LOGGERS row
// leaves them behind: the next run passes over their sequence number, in
// both dialects, and a sequence kept by a row stays its own.
TEST_F(LogDb, ARunPassesOverTablesLeftByAKilledLogger) {
  for (const std::string &cs : {JetCs("left.mdb"), SqlCs("left")}) {
    SCOPED_TRACE(cs);
    CLogDbCollection c;
    ASSERT_EQ(c.Open(cs.c_str(), "", "K", "", kRW), 0) << c.GetErrorSummary() << c.GetErrorText();
    RunFixture run;
    CLogStore *first = c.CreateRun(&run.h.start.seconds, 0, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
    ASSERT_NE(first, nullptr) << c.GetErrorSummary() << c.GetErrorText();
    EXPECT_EQ(static_cast<CLogDbStore *>(first)->Sequence(), 1);
    delete first;
    {
      ado::Connection a;
      ASSERT_GE(a.Open(cs), 0);
      for (const char *t : {"K_00000002_CHANNELS", "K_00000003_CHANNELS"})
        ASSERT_GE(a.Execute(std::string("CREATE TABLE ") + t + " (x integer)", nullptr), 0) << t;
    }
    CLogStore *next = c.CreateRun(&run.h.start.seconds, 0, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
    ASSERT_NE(next, nullptr) << c.GetErrorSummary() << c.GetErrorText();
    auto *db = static_cast<CLogDbStore *>(next);
    EXPECT_EQ(db->Sequence(), 4);
    EXPECT_EQ(db->TablePrefix(), "K_00000004_");
    auto recs = run.Records(3);
    ASSERT_EQ(next->WriteLogs(&run.h, recs.data(), 3), 0) << next->GetErrorSummary() << next->GetErrorText();
    delete next;
    CLogDbCollection r;
    ASSERT_EQ(r.Open(cs.c_str(), "", "K", "", kRO), 0);
    CLogStore *back = r.OpenStore("LoggerSeq=00000004", kRO);
    ASSERT_NE(back, nullptr) << r.GetErrorSummary() << r.GetErrorText();
    LogFileHeader h;
    ASSERT_EQ(back->ReadHeader(&h), 0);
    EXPECT_EQ(back->GetNoLogs(&h), 3);
    delete back;
    // The run after it takes the row's next number.
    CLogStore *after = c.CreateRun(&run.h.start.seconds, 0, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
    ASSERT_NE(after, nullptr) << c.GetErrorSummary() << c.GetErrorText();
    EXPECT_EQ(static_cast<CLogDbStore *>(after)->Sequence(), 5);
    delete after;
  }
}

TEST_F(LogDb, FindRunByPrefix) {
  std::string cs = JetCs("find.mdb");
  RunFixture run;
  for (const char *p : {"AB", "AC"}) {
    CLogDbCollection c;
    ASSERT_EQ(c.Open(cs.c_str(), "", "L", p, kRW), 0);
    run.h.start.seconds = kT0 + (p[1] == 'B' ? 0 : 100);
    delete c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  }
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "L", "AB", kRO), 0);
  char sel[32];
  LogRunTime st{};
  ASSERT_EQ(c.FindRun(sel, nullptr, &st, nullptr, 0), 1);
  EXPECT_EQ(st.seconds, kT0);  // the AC run is newer but not this prefix's
  ASSERT_EQ(c.FindRun(sel, nullptr, &st, nullptr, 1), 1);
  EXPECT_EQ(st.seconds, kT0 + 100);
}

// Every fall-back is taken when the layer refuses the first form.
TEST_F(LogDb, FallBacksThroughRefusals) {
  std::string cs = SqlCs("fall");
  ado::ado_SetRefusals(ado::PROFILE_SQLSERVER,
                       ado::REFUSE_DATETIME | ado::REFUSE_VARCHAR | ado::REFUSE_CREATE_INDEX | ado::REFUSE_TOP |
                           ado::REFUSE_TS0);
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "F", "", kRW), 0) << c.GetErrorSummary() << c.GetErrorText();
  EXPECT_TRUE(c.CreatedLoggers());
  RunFixture run;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  EXPECT_FALSE(c.IndexesOn());
  auto recs = run.Records(4);
  ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 4), 0) << s->GetErrorSummary() << s->GetErrorText();
  auto *db = static_cast<CLogDbStore *>(s);
  std::vector<uint8_t> back(run.h.recordSize);
  int32_t count = 2;
  ASSERT_EQ(db->ReadLog(1, &run.h, back.data(), run.h.recordSize, nullptr, &count, nullptr, nullptr, nullptr), 0)
      << s->GetErrorSummary() << s->GetErrorText();
  EXPECT_FALSE(db->TopAllowed());
  TimeStamp from{kT0, 250, 0};
  EXPECT_EQ(s->CountLogsInRange(&from, nullptr, &run.h), 3);
  EXPECT_EQ(db->FirstForm(), LDB_FORM_TS_SLASH);
  delete s;
}

// A significant-change run: the changed channel's index and value come back,
// also when only times are read.
TEST_F(LogDb, SignificantChangeTimesOnly) {
  std::string cs = SqlCs("sig");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "S", "", kRW), 0);
  RunFixture run;
  run.h.sigChange = 1;
  memcpy(run.h.trigPrefix, "AI", 2);
  run.h.trigNumber = 2;
  run.h.blocks[0].statusOffset = 18;
  run.h.blocks[1].statusOffset = 18 + 24;
  run.h.recordSize = 18 + 24 + 16;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  std::vector<uint8_t> recs(size_t(3) * run.h.recordSize, 0);
  for (int i = 0; i < 3; ++i) {
    uint8_t *r = &recs[size_t(i) * run.h.recordSize];
    TimeStamp t{kT0 + i, 0, 0};
    memcpy(r + 4, &t, 8);
    r[12] = static_cast<uint8_t>(i);
    float lv = 2.5f * static_cast<float>(i);
    memcpy(r + 13, &lv, 4);
  }
  ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 3), 0) << s->GetErrorSummary() << s->GetErrorText();
  EXPECT_EQ(s->CountChannelRows(&run.h), 2);
  std::vector<uint8_t> back(size_t(3) * run.h.recordSize);
  int desc = 1, timesOnly = 1;
  ASSERT_EQ(s->ReadLogsInRange(&run.h, nullptr, nullptr, back.data(), 3, &desc, &timesOnly, nullptr, nullptr, nullptr),
            3)
      << s->GetErrorSummary() << s->GetErrorText();
  float lv;
  memcpy(&lv, back.data() + 13, 4);
  EXPECT_EQ(back[12], 2);
  EXPECT_EQ(lv, 5.0f);
  LogFileHeader h{};
  ASSERT_EQ(s->ReadHeader(&h), 0);
  EXPECT_EQ(h.sigChange, 1);
  EXPECT_EQ(std::string(h.trigPrefix, 2), "AI");
  EXPECT_EQ(h.trigNumber, 2);
  delete s;
}

// A run's LOGGERS row goes only when all of its tables are gone; a table that
// was never made (a creation that failed after the store added the row)
// counts as gone, one whose DROP is refused keeps the row and the run.
TEST_F(LogDb, RemovingARunKeepsItsRowWhileATableStays) {
  for (const std::string &cs : {SqlCs("orphan"), JetCs("orphan.mdb")}) {
    SCOPED_TRACE(cs);
    const ado::Profile profile = ldb_IsJet(cs.c_str()) ? ado::PROFILE_JET : ado::PROFILE_SQLSERVER;
    CLogDbCollection c;
    ASSERT_EQ(c.Open(cs.c_str(), "", "R", "", kRW), 0);
    auto runs = [&c] {
      int n = 0;
      char sel[32];
      if (c.FirstRun(nullptr) == 1)
        while (c.NextRun(sel, nullptr, nullptr) == 1) ++n;
      return n;
    };
    // A row whose tables were never made.
    {
      ado::Connection conn;
      ASSERT_GE(conn.Open(cs), 0);
      ASSERT_GE(conn.Execute("INSERT INTO LOGGERS (sLoggerName, nLoggerSequence, dStartTime, bCompleted, sTablePrefix) "
                             "VALUES ('R', 9, " + ldb_DateLiteral(profile == ado::PROFILE_JET ? LDB_FORM_JET : LDB_FORM_TS_DASH, kT0) +
                                 ", 0, 'R_GHOST_')",
                             nullptr),
                0)
          << conn.LastError().description;
    }
    ASSERT_EQ(runs(), 1);
    EXPECT_EQ(c.RemoveRun("R_GHOST_"), 0);
    EXPECT_EQ(runs(), 0);

    // A real run whose tables cannot be dropped: all, or all but its text
    // table (already dropped by hand).
    RunFixture run;
    CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
    ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
    const std::string prefix = static_cast<CLogDbStore *>(s)->TablePrefix();
    auto recs = run.Records(3);
    ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 3), 0);
    ado::ado_SetRefusals(profile, ado::REFUSE_DROP);
    EXPECT_EQ(c.CloseRun(s, nullptr, nullptr, 0), -1);  // no start time: the run is removed
    delete s;
    for (bool textGone : {false, true}) {
      SCOPED_TRACE(textGone ? "text table gone" : "all tables there");
      if (textGone) {
        ado::ado_SetRefusals(profile, 0);
        ASSERT_EQ(c.Exec("DROP TABLE " + prefix + "TEXT"), 0);
        ado::ado_SetRefusals(profile, ado::REFUSE_DROP);
      }
      EXPECT_EQ(c.RemoveRun(prefix), -1);
      EXPECT_EQ(runs(), 1);
      EXPECT_TRUE(HasTable(cs, prefix + "DATA"));
      EXPECT_TRUE(HasTable(cs, prefix + "CHANNELS"));
      // The run still opens and reads.
      CLogStore *again = c.OpenStore("LoggerSeq=00000001", kRO);
      ASSERT_NE(again, nullptr) << c.GetErrorSummary() << c.GetErrorText();
      EXPECT_EQ(again->GetNoLogs(nullptr), 3);
      delete again;
    }
    // Once the tables can go, the row goes with them.
    ado::ado_SetRefusals(profile, 0);
    EXPECT_EQ(c.RemoveRun(prefix), 0);
    EXPECT_EQ(runs(), 0);
    EXPECT_FALSE(HasTable(cs, prefix + "DATA"));
    EXPECT_FALSE(HasTable(cs, prefix + "CHANNELS"));
  }
}

// Purge: an ended run before the limit goes, a run across it loses the
// records before it and starts at its oldest remaining one, an open run and
// a later one stay.
TEST_F(LogDb, Purge) {
  std::string cs = SqlCs("purge");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "P", "", kRW), 0);
  struct Spec {
    int32_t start, stop;
  } specs[] = {{kT0 - 1000, kT0 - 900}, {kT0, kT0 + 10}, {kT0 - 2000, 0}, {kT0 + 100, kT0 + 200}};
  std::vector<std::string> prefixes;
  for (const Spec &sp : specs) {
    RunFixture run;
    run.h.start.seconds = sp.start;
    CLogStore *s = c.CreateRun(&sp.start, 0, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
    ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
    auto recs = run.Records(6);  // kT0 + 0..5 s
    ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 6), 0);
    run.h.stop.seconds = sp.stop;
    ASSERT_EQ(s->WriteHeader(&run.h, nullptr), 0) << s->GetErrorSummary() << s->GetErrorText();
    prefixes.push_back(static_cast<CLogDbStore *>(s)->TablePrefix());
    delete s;
  }
  int32_t limit = kT0 + 3;
  c.Purge(&limit);
  EXPECT_FALSE(HasTable(cs, prefixes[0] + "DATA"));
  std::map<int32_t, std::pair<int32_t, int32_t>> left;  // sequence: start, stop
  ASSERT_EQ(c.FirstRun(nullptr), 1);
  char sel[32];
  LogRunTime st{}, en{};
  while (c.NextRun(sel, &st, &en) == 1) left[atoi(sel + 10)] = {st.seconds, en.seconds};
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[2], std::make_pair(kT0 + 3, kT0 + 10));  // its oldest record left is at +3 (250 ms)
  EXPECT_EQ(left[3], std::make_pair(kT0 - 2000, 0));
  EXPECT_EQ(left[4], std::make_pair(kT0 + 100, kT0 + 200));
  CLogStore *s = c.OpenStore("LoggerSeq=00000002", kRO);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->GetNoLogs(nullptr), 3);
  delete s;
}

// The header is rewritten on the main connection between appends on the
// logging one; with DatabaseUTC on, range reads and deletes still find the
// records they name.
TEST_F(LogDb, HeaderWritesBetweenAppendsAndUtcTimes) {
  const char *old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "CET-1", 1);
  tzset();
  ldb_SetUtcMode(1);
  std::string cs = JetCs("utc.mdb");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "U", "", kRW), 0);
  RunFixture run;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr);
  auto recs = run.Records(6);
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(s->WriteLogs(&run.h, recs.data() + size_t(i) * run.h.recordSize, 1), 0) << s->GetErrorSummary();
    run.h.stop.seconds = kT0 + i;
    ASSERT_EQ(s->WriteHeader(&run.h, nullptr), 0) << s->GetErrorSummary() << s->GetErrorText();
  }
  TimeStamp from{kT0 + 1, 250, 0}, to{kT0 + 4, 250, 0};
  EXPECT_EQ(s->CountLogsInRange(&from, &to, &run.h), 2);
  LogFileHeader h{};
  ASSERT_EQ(s->ReadHeader(&h), 0);
  EXPECT_EQ(h.start.seconds, kT0);
  EXPECT_EQ(h.stop.seconds, kT0 + 5);
  TimeStamp cut{kT0 + 2, 0, 0};
  s->DeleteLogsInRange(nullptr, &cut);
  EXPECT_EQ(s->GetNoLogs(&run.h), 4);
  delete s;
  {
    ado::Connection conn;
    ASSERT_GE(conn.Open(cs), 0);
    ado::Recordset r;
    ASSERT_GE(r.Open("select dStartTime from LOGGERS", &conn, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown),
              0);
    ado::Variant v;
    ASSERT_GE(r.GetValue(0, &v), 0);
    EXPECT_EQ(ado::var_ToUtf8(v).substr(0, 19), "2023-06-15 07:00:00");  // stored as UTC
  }
  ldb_SetUtcMode(0);
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

// Without a connection string or folder the logger's Jet file lives in its
// folder under the logged-data folder, both made when writing.
TEST_F(LogDb, DefaultJetFileUnderLoggedData) {
  const char *data = srv_ResolveServerFolder(nullptr, "TSQ_LOGGED_DATA");
  ASSERT_NE(data, nullptr);
  std::string logged = data;
  CLogDbCollection r;
  EXPECT_EQ(r.Open("", "", "DEFLOG", "", kRO), -1);  // reading makes nothing
  CLogDbCollection c;
  ASSERT_EQ(c.Open("", "", "DEFLOG", "", kRW), 0) << c.GetErrorSummary() << c.GetErrorText();
  EXPECT_TRUE(c.CreatedLoggers());
  std::string file = logged + "\\DEFLOG\\DEFLOG.mdb";
  EXPECT_NE(os_GetFileAttributes(file.c_str()), OS_INVALID_FILE_ATTRIBUTES) << file;
  char path[1300];
  uint32_t len = sizeof path;
  c.GetStorePath("LoggerSeq=00000001", path, &len);
  EXPECT_EQ(std::string(path), "Provider=Microsoft.Jet.OLEDB.4.0; Jet OLEDB:Engine Type=5; Data Source=\"" + file +
                                   "\";LoggerName=DEFLOG;LoggerSeq=00000001");
}

TEST_F(LogDb, JetUsesOnlyItsDateForm) {
  std::string cs = JetCs("form.mdb");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "J", "", kRW), 0);
  RunFixture run;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr);
  auto recs = run.Records(3);
  ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 3), 0);
  TimeStamp to{kT0 + 1, 250, 0};
  EXPECT_EQ(s->CountLogsInRange(nullptr, &to, &run.h), 1);
  EXPECT_EQ(static_cast<CLogDbStore *>(s)->FirstForm(), LDB_FORM_JET);
  s->DeleteLogsInRange(nullptr, &to);
  EXPECT_EQ(s->GetNoLogs(&run.h), 2);
  delete s;
}

TEST_F(LogDb, CreationFailuresDropTheirTables) {
  std::string cs = JetCs("fail.mdb");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "W", "", kRW), 0);
  // 252 channels and the fixed columns pass Jet's 255 columns.
  RunFixture wide(250);
  EXPECT_EQ(c.CreateRun(&wide.h.start.seconds, 1, nullptr, &wide.h, nullptr, 0, nullptr, nullptr, wide.records),
            nullptr);
  EXPECT_STREQ(c.GetErrorSummary(), "CAN'T CREATE DATA TABLE");
  EXPECT_FALSE(HasTable(cs, "W_CHANNELS"));
  // Tags that name one column twice.
  RunFixture dup;
  dup.h.tagColumns = 1;
  memcpy(dup.ai[1].raw, "Flow1\0\0\0", 8);
  EXPECT_EQ(c.CreateRun(&dup.h.start.seconds, 1, nullptr, &dup.h, nullptr, 0, nullptr, nullptr, dup.records),
            nullptr);
  EXPECT_STREQ(c.GetErrorSummary(), "DUPLICATE COLUMN Flow1");
  EXPECT_FALSE(HasTable(cs, "W_CHANNELS"));
  // A block without channel records.
  RunFixture none;
  none.records[1] = nullptr;
  EXPECT_EQ(c.CreateRun(&none.h.start.seconds, 1, nullptr, &none.h, nullptr, 0, nullptr, nullptr, none.records),
            nullptr);
  EXPECT_FALSE(HasTable(cs, "W_CHANNELS"));
  EXPECT_EQ(c.FirstRun(nullptr), 0);
}

// The store fails after it added the run's LOGGERS row (its channels table
// vanishes under it): the row goes with the tables, so the newest run listed
// is one that opens.
TEST_F(LogDb, StoreFailingAfterItsRowLeavesNoRow) {
  static std::string cs;
  static bool dropping, dropped;
  cs = SqlCs("lateFail");
  dropping = dropped = false;
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "G", "", kRW), 0);
  RunFixture run;
  CLogStore *first = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(first, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  delete first;
  ado::ado_BeforeStatement = [] {
    if (dropping || dropped) return;
    dropping = true;
    ado::Connection other;
    ado::Recordset r;
    if (other.Open(cs) >= 0 &&
        r.Open("select * from LOGGERS where nLoggerSequence = 2", &other, ado::adOpenStatic, ado::adLockReadOnly,
               ado::adCmdUnknown) >= 0) {
      bool eof = true;
      r.GetEOF(&eof);
      r.Close();
      if (!eof) dropped = other.Execute("DROP TABLE G_00000002_CHANNELS", nullptr) >= 0;
    }
    dropping = false;
  };
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ado::ado_BeforeStatement = nullptr;
  EXPECT_TRUE(dropped);
  EXPECT_EQ(s, nullptr);
  delete s;
  EXPECT_STREQ(c.GetErrorSummary(), "CAN'T CONNECT TO DATABASE");
  EXPECT_FALSE(HasTable(cs, "G_00000002_DATA"));
  EXPECT_FALSE(HasTable(cs, "G_00000002_TEXT"));
  ASSERT_EQ(c.FirstRun(nullptr), 1);
  char sel[32];
  std::vector<std::string> runs;
  while (c.NextRun(sel, nullptr, nullptr) == 1) runs.push_back(sel);
  EXPECT_EQ(runs, std::vector<std::string>{"LoggerSeq=00000001"});
  EXPECT_EQ(std::string(log_ResolveRun((cs + ";LoggerName=G").c_str())), cs + ";LoggerName=G;LoggerSeq=00000001");
}

// A block the caller gives no channel records for takes them from the
// configuration area of its data area: its tags name the data columns and
// fill CHANNELS. A block without such an area makes no run.
TEST_F(LogDb, ChannelRecordsFromTheConfiguration) {
  ConfigArea area(3);
  ASSERT_NE(area.data, nullptr);
  ASSERT_NE(area.conf, nullptr);
  std::string cs = SqlCs("fromconf");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "C", "", kRW), 0);
  RunFixture run;
  run.h.tagColumns = 1;
  run.records[0] = nullptr;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  auto recs = run.Records(1);
  EXPECT_EQ(s->WriteLogs(&run.h, recs.data(), 1), 0) << s->GetErrorSummary();
  ChannelRecord back[3];
  ASSERT_EQ(s->ReadChannels(&run.h, back, 0, 0, 3), 0) << s->GetErrorSummary();
  char tag[16];
  chan_JoinTag(&back[2], tag);
  EXPECT_STREQ(tag, "Inlet3");
  delete s;
  EXPECT_TRUE(HasTable(cs, "C_DATA"));
  {
    ado::Connection conn;
    ASSERT_GE(conn.Open(cs), 0);
    ado::Recordset r;
    EXPECT_GE(r.Open("select Inlet1, Inlet2, Inlet3, Pump1 from C_DATA", &conn, ado::adOpenStatic,
                     ado::adLockReadOnly, ado::adCmdUnknown),
              0)
        << r.LastError().description;
  }
  // No area for the digital block.
  RunFixture none;
  none.records[1] = nullptr;
  CLogDbCollection d2;
  ASSERT_EQ(d2.Open(cs.c_str(), "", "N", "", kRW), 0);
  EXPECT_EQ(d2.CreateRun(&none.h.start.seconds, 1, nullptr, &none.h, nullptr, 0, nullptr, nullptr, none.records),
            nullptr);
  EXPECT_STREQ(d2.GetErrorSummary(), "CAN'T FIND CHANNELS");
  EXPECT_FALSE(HasTable(cs, "N_CHANNELS"));
}

// A logger process appends to a run while this one reads it and rewrites
// its header: neither meets a busy database.
TEST_F(LogDb, LoggerAndReaderProcessesShareARun) {
  constexpr int kRecords = 300, kBatch = 3;
  for (const std::string &cs : {JetCs("share.mdb"), SqlCs("share")}) {
    SCOPED_TRACE(cs);
    RunFixture run;
    {
      CLogDbCollection c;
      ASSERT_EQ(c.Open(cs.c_str(), "", "S", "", kRW), 0);
      CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
      ASSERT_NE(s, nullptr) << c.GetErrorSummary();
      delete s;
    }
    const std::string path = cs + ";LoggerName=S;LoggerSeq=00000001";
    auto recs = run.Records(kRecords);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      CLogDbStore logger;
      uint32_t at = 0;
      char byte;
      if (logger.Open(nullptr, path.c_str(), kRW) != 0 || logger.UseforLogging(&at) != 0) _exit(2);
      // A batch each time the reader asks, while it reads.
      for (int i = 0; i < kRecords; i += kBatch)
        if (read(go[0], &byte, 1) != 1 ||
            logger.WriteLogs(&run.h, recs.data() + size_t(i) * run.h.recordSize, kBatch) != 0)
          _exit(3);
      logger.Close();
      _exit(0);
    }
    CLogDbStore reader, header;
    ASSERT_EQ(reader.Open(nullptr, path.c_str(), kRO), 0) << reader.GetErrorSummary();
    ASSERT_EQ(header.Open(nullptr, path.c_str(), kRW), 0) << header.GetErrorSummary();
    int status = 0, rounds = 0, failures = 0, between = 0;
    int32_t seen = 0;
    std::string firstFailure;
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (rounds < kRecords / kBatch) {
        // The batch asked for last has landed, so this round's reads overlap
        // the next append and see a run part-way through.
        const int64_t landed = int64_t(rounds) * kBatch;
        tnwtest::Until([&] { return reader.GetNoLogs(&run.h) >= landed; }, 10000);
        if (write(go[1], "g", 1) != 1) break;
      }
      ++rounds;
      int32_t n = reader.GetNoLogs(&run.h);
      std::vector<uint8_t> buf(size_t(kBatch) * run.h.recordSize);
      LogFileHeader h{};
      run.h.stop.seconds = kT0 + rounds;
      bool ok = n >= seen && reader.ReadHeader(&h) == 0 && header.WriteHeader(&run.h, nullptr) == 0 &&
                (n == 0 || reader.ReadLogs(n - 1, &run.h, buf.data(), 1, nullptr, nullptr, nullptr) == 1);
      if (!ok && failures++ == 0)
        firstFailure = std::string(reader.GetErrorSummary()) + " " + reader.GetErrorText() + " / " +
                       header.GetErrorSummary() + " " + header.GetErrorText();
      if (n > seen) seen = n;
      between += n > 0 && n < kRecords;
    }
    close(go[0]);
    close(go[1]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the logger failed";
    EXPECT_EQ(failures, 0) << "of " << rounds << " rounds; first: " << firstFailure;
    EXPECT_GT(between, 0) << "no read while the logger appended";
    EXPECT_EQ(reader.GetNoLogs(&run.h), kRecords);
    std::vector<uint8_t> all(size_t(kRecords) * run.h.recordSize);
    ASSERT_EQ(reader.ReadLogs(0, &run.h, all.data(), kRecords, nullptr, nullptr, nullptr), kRecords);
    TimeStamp last;
    memcpy(&last, all.data() + size_t(kRecords - 1) * run.h.recordSize + 4, 8);
    EXPECT_EQ(last.seconds, kT0 + kRecords - 1);
  }
}

// Several records in one second: a text stamped with milliseconds goes to
// its own record; a position is kept and listed.
TEST_F(LogDb, TextsAndPositionsLandOnTheirRecord) {
  std::string cs = SqlCs("texts");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "X", "", kRW), 0);
  RunFixture run;
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr);
  auto recs = run.Records(3);
  for (int i = 0; i < 3; ++i) {
    TimeStamp t{kT0, static_cast<int16_t>(100 * (i + 1)), 0};
    memcpy(recs.data() + size_t(i) * run.h.recordSize + 4, &t, 8);
  }
  ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 3), 0);
  ASSERT_EQ(s->WriteTextAt(TimeStamp{kT0, 200, 0}, "valve shut", nullptr, nullptr), 0) << s->GetErrorSummary();
  EXPECT_EQ(s->WriteTextAt(TimeStamp{kT0, 250, 0}, "no such record", nullptr, nullptr), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "CAN'T WRITE LOG");
  ASSERT_EQ(s->WritePosition(kT0, 1, 2.5f), 0) << s->GetErrorSummary();
  EXPECT_EQ(s->WritePosition(kT0 + 9, 1, 1.0f), -1);
  char buf[200] = {};
  uint32_t cap = sizeof buf;
  EXPECT_EQ(s->ReadSection("POSITIONS", buf, &cap, nullptr, nullptr), 1);
  EXPECT_NE(strstr(buf, " 2.500000\r\n"), nullptr) << buf;
  // The 16-bit forms store the same text as UTF-8, or fail as the 8-bit ones.
  const uint16_t wide[] = {'p', 'u', 'm', 'p', ' ', 0xE9, 0x20AC, 0};
  ASSERT_EQ(s->WriteTextAtW(TimeStamp{kT0, 300, 0}, wide, nullptr, nullptr), 0) << s->GetErrorSummary();
  EXPECT_EQ(s->WriteTextAtW(TimeStamp{kT0, 350, 0}, wide, nullptr, nullptr), -1);
  EXPECT_EQ(s->WriteTextW(kT0, wide, nullptr, "OTHER"), -1);
  cap = sizeof buf;
  EXPECT_EQ(s->ReadSection("TEXT", buf, &cap, nullptr, nullptr), 2);
  EXPECT_NE(strstr(buf, " valve shut\r\n"), nullptr) << buf;
  EXPECT_NE(strstr(buf, " pump \xC3\xA9\xE2\x82\xAC\r\n"), nullptr) << buf;
  const uint16_t head[] = {'W', 'e', 'l', 'l', ' ', 0xE9, 0};
  ASSERT_EQ(s->WriteHeaderTextW(head), 0) << s->GetErrorSummary();
  cap = sizeof buf;
  EXPECT_EQ(s->ReadSection("HEADER", buf, &cap, nullptr, nullptr), 1);
  EXPECT_STREQ(buf, "Well \xC3\xA9");
  delete s;
  ado::Connection conn;
  ASSERT_GE(conn.Open(cs), 0);
  ado::Recordset r;
  ASSERT_GE(r.Open("select MS from X_DATA where TX IS NOT NULL order by MS", &conn, ado::adOpenStatic,
                   ado::adLockReadOnly, ado::adCmdUnknown),
            0);
  ado::Variant v;
  ASSERT_GE(r.GetValue(0, &v), 0);
  EXPECT_EQ(ado::var_ToUtf8(v), "200");
  r.MoveNext();
  ASSERT_GE(r.GetValue(0, &v), 0);
  EXPECT_EQ(ado::var_ToUtf8(v), "300");
  r.MoveNext();
  bool eof = false;
  ASSERT_GE(r.GetEOF(&eof), 0);
  EXPECT_TRUE(eof);
}

// A text its record's TX column cannot take (a data table made by hand with
// a narrow TX) fails, except in the "Rimfold" edition, which drops it.
TEST_F(LogDb, TextTheRecordCannotTake) {

  std::string cs = SqlCs("narrowtx");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "N", "", kRW), 0);
  RunFixture run;
  CLogStore *made = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(made, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  delete made;
  ASSERT_EQ(c.Exec("DROP TABLE N_DATA"), 0);
  ASSERT_EQ(c.Exec("CREATE TABLE N_DATA (DT datetime, MS integer, TX char(4) NULL, AI1 REAL NULL, AI2 REAL NULL, "
                   "AI3 REAL NULL, DI1 INTEGER NULL, DI2 INTEGER NULL, TP float NULL)"),
            0);
  CLogStore *s = c.OpenStore("LoggerSeq=00000001", kRW);
  ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  uint32_t at = 0;
  ASSERT_EQ(s->UseforLogging(&at), 0) << s->GetErrorSummary() << s->GetErrorText();
  auto recs = run.Records(2);
  ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 2), 0) << s->GetErrorSummary() << s->GetErrorText();
  int32_t before = 0, after = 0;
  ASSERT_EQ(s->GetLastModified(&before), 0);
  for (const char *edition : {static_cast<const char *>(nullptr), "Rimfold"}) {
    SCOPED_TRACE(edition ? edition : "no edition");
    tnwtest::SetProduct(edition);
    const int expect = edition ? 0 : -1;
    EXPECT_EQ(s->WriteText(kT0 + 1, "far too long", nullptr, nullptr), expect);
    if (!edition) {
      EXPECT_STREQ(s->GetErrorSummary(), "CAN'T UPDATE TEXT TABLE");
    }
    ASSERT_EQ(s->GetLastModified(&after), 0);
    EXPECT_EQ(after, before);  // no text time either way
    char buf[64] = {};
    uint32_t cap = sizeof buf;
    EXPECT_EQ(s->ReadSection("TEXT", buf, &cap, nullptr, nullptr), 0);
  }
  EXPECT_EQ(s->WriteText(kT0 + 1, "ok", nullptr, nullptr), 0) << s->GetErrorSummary() << s->GetErrorText();
  ASSERT_EQ(s->GetLastModified(&after), 0);
  EXPECT_EQ(after, kT0 + 1);
  tnwtest::SetProduct(nullptr);
  delete s;
}

// A digital type that holds no text takes 0 and 1, never state texts; a
// text type takes the state texts.
TEST_F(LogDb, DigitalColumns) {
  const struct {
    const char *setting, *high, *low;
  } cases[] = {{"On", "RUNNING", "STOPPED"}, {"smallint", "1", "0"}, {nullptr, "1", "0"}};
  int i = 0;
  for (const auto &k : cases) {
    SetSetting("DatabaseDigitalText", k.setting);
    std::string cs = JetCs("dig" + std::to_string(i++) + ".mdb");
    CLogDbCollection c;
    ASSERT_EQ(c.Open(cs.c_str(), "", "D", "", kRW), 0);
    RunFixture run;
    CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
    ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
    auto recs = run.Records(2);
    ASSERT_EQ(s->WriteLogs(&run.h, recs.data(), 2), 0) << s->GetErrorSummary() << s->GetErrorText();
    delete s;
    ado::Connection conn;
    ASSERT_GE(conn.Open(cs), 0);
    ado::Recordset r;
    ASSERT_GE(r.Open("select DI1, DI2 from D_DATA ORDER BY DT ASC", &conn, ado::adOpenStatic, ado::adLockReadOnly,
                     ado::adCmdUnknown),
              0);
    ado::Variant v, bad;
    ASSERT_GE(r.GetValue(0, &v), 0);
    ASSERT_GE(r.GetValue(1, &bad), 0);
    EXPECT_EQ(ldb_TrimRight(ado::var_ToUtf8(v)), k.high) << (k.setting ? k.setting : "absent");
    EXPECT_EQ(bad.vt, ado::VT_NULL);
    r.MoveNext();
    ASSERT_GE(r.GetValue(0, &v), 0);
    EXPECT_EQ(ldb_TrimRight(ado::var_ToUtf8(v)), k.low);
  }
}

// Tables changed by hand: a CHANNELS row no header can hold fails the read,
// one of a block past the header's is skipped; DATA values that are no
// float, and a DATA table with fewer columns than channels, read as bad.
TEST_F(LogDb, TablesChangedByHand) {
  std::string cs = SqlCs("byhand");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "H", "", kRW), 0);
  RunFixture run;
  CLogStore *made = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(made, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  delete made;
  const struct {
    const char *what, *row;  // a CHANNELS row: nBlock, sPrefix, nChannelNumber
    int rc;
  } channels[] = {
      {"negative block", "-1, 'AI', 4", -1},
      {"channel past 16 bits", "0, 'AI', 70000", -1},
      {"negative channel", "1, 'DI', -3", -1},
      {"block past the header", "64, 'XX', 1", 0},
  };
  for (const auto &k : channels) {
    SCOPED_TRACE(k.what);
    ASSERT_EQ(c.Exec(std::string("INSERT INTO H_CHANNELS (nBlock, sPrefix, nChannelNumber) VALUES (") + k.row + ")"), 0);
    CLogStore *s = c.OpenStore("LoggerSeq=00000001", kRO);
    ASSERT_NE(s, nullptr);
    LogFileHeader h{};
    EXPECT_EQ(s->ReadHeader(&h), k.rc);
    if (k.rc != 0) {
      EXPECT_STREQ(s->GetErrorSummary(), "CAN'T CHECK NEXT CHANNEL");
    } else {
      EXPECT_EQ(h.blockCount, 2);
      EXPECT_EQ(h.blocks[0].last, 3);
    }
    delete s;
    ASSERT_EQ(c.Exec("DELETE FROM H_CHANNELS WHERE nBlock < 0 OR nBlock >= 64 OR nChannelNumber > 100 OR "
                     "nChannelNumber < 0"),
              0);
  }
  // Values no float can hold.
  const std::string dt = ldb_DateLiteral(LDB_FORM_TS_DASH, kT0);
  ASSERT_EQ(c.Exec("INSERT INTO H_DATA (DT, MS, AI1, AI2, AI3, DI1, DI2) VALUES (" + dt + ", 0, 1e300, NULL, 7, 1, 0)"),
            0);
  CLogStore *s = c.OpenStore("LoggerSeq=00000001", kRO);
  ASSERT_NE(s, nullptr);
  std::vector<uint8_t> back(run.h.recordSize);
  ASSERT_EQ(s->ReadLogs(0, &run.h, back.data(), 1, nullptr, nullptr, nullptr), 1) << s->GetErrorSummary();
  auto status = [&](int at) {
    uint32_t st;
    memcpy(&st, back.data() + at, 4);
    return st;
  };
  EXPECT_EQ(status(12), LOG_STATUS_BAD);      // 1e300
  EXPECT_EQ(status(16), LOG_STATUS_BAD);      // NULL
  EXPECT_EQ(status(20), LOG_STATUS_PRESENT);  // 7
  delete s;
  // A data table of one channel column.
  ASSERT_EQ(c.Exec("DROP TABLE H_DATA"), 0);
  ASSERT_EQ(c.Exec("CREATE TABLE H_DATA (DT datetime, MS integer, TX varchar(255) NULL, AI1 REAL NULL)"), 0);
  ASSERT_EQ(c.Exec("INSERT INTO H_DATA (DT, MS, AI1) VALUES (" + dt + ", 5, 2.5)"), 0);
  s = c.OpenStore("LoggerSeq=00000001", kRO);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->ReadLogs(0, &run.h, back.data(), 1, nullptr, nullptr, nullptr), 1) << s->GetErrorSummary();
  float v = 0;
  memcpy(&v, back.data() + 24, 4);
  EXPECT_EQ(status(12), LOG_STATUS_PRESENT);
  EXPECT_EQ(v, 2.5f);
  for (int at : {16, 20, 36, 40}) EXPECT_EQ(status(at), LOG_STATUS_BAD) << at;
  // A caller's buffer smaller than a record's blocks is refused.
  EXPECT_EQ(s->ReadLog(0, &run.h, back.data(), 20, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "RECORD BUFFER TOO SMALL");
  delete s;
}

// A channel whose record is not enabled is listed by its names only; read
// back it is not enabled and has no kind.
TEST_F(LogDb, ChannelsNotEnabledKeepOnlyTheirNames) {
  std::string cs = SqlCs("notenabled");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "E", "", kRW), 0);
  RunFixture run;
  chan_SetFlagBit(&run.ai[1], CHAN_FLAG_ENABLE, false);
  chan_SetFlagBit(&run.di[0], CHAN_FLAG_ENABLE, false);
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(s, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  {
    ado::Connection conn;
    ASSERT_GE(conn.Open(cs), 0);
    ado::Recordset r;
    ASSERT_GE(r.Open("select sTag, nType, sUnits, sLowStateDesc, sHighStateDesc from E_CHANNELS order by nBlock, "
                     "nChannelNumber",
                     &conn, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown),
              0);
    std::string rows;
    for (r.MoveFirst();; r.MoveNext()) {
      bool eof = true;
      ASSERT_GE(r.GetEOF(&eof), 0);
      if (eof) break;
      for (int i = 0; i < 5; ++i) {
        ado::Variant v;
        ASSERT_GE(r.GetValue(i, &v), 0);
        rows += (v.vt == ado::VT_NULL ? std::string("-") : ldb_TrimRight(ado::var_ToUtf8(v))) + (i < 4 ? "," : ";");
      }
    }
    EXPECT_EQ(rows, "Flow1,0,m3/h,-,-;Flow2,-,-,-,-;Flow3,0,m3/h,-,-;Pump1,-,-,-,-;Pump2,1,-,STOPPED,RUNNING;");
  }
  ChannelRecord back[3];
  ASSERT_EQ(s->ReadChannels(&run.h, back, 0, 0, 3), 0) << s->GetErrorSummary();
  EXPECT_TRUE(chan_FlagBit(&back[0], CHAN_FLAG_ENABLE));
  EXPECT_FALSE(chan_FlagBit(&back[1], CHAN_FLAG_ENABLE));
  char tag[16];
  chan_JoinTag(&back[1], tag);
  EXPECT_STREQ(tag, "Flow2");
  ASSERT_EQ(s->ReadChannels(&run.h, back, 1, 0, 2), 0) << s->GetErrorSummary();
  EXPECT_FALSE(chan_FlagBit(&back[0], CHAN_FLAG_ENABLE));
  EXPECT_EQ(chan_TypeByte(&back[0]), 0);
  EXPECT_TRUE(chan_FlagBit(&back[1], CHAN_FLAG_ENABLE));
  EXPECT_EQ(chan_TypeByte(&back[1]), 1);
  delete s;
}

TEST_F(LogDb, OpenFailures) {
  CLogDbStore s;
  EXPECT_EQ(s.Open(nullptr, "Provider=SQLOLEDB;Data Source=.;Initial Catalog=x", kRO), -1);
  EXPECT_STREQ(s.GetErrorSummary(), "BADLY FORMED PATH NAME");
  std::string cs = JetCs("open.mdb");
  {
    CLogDbCollection c;
    ASSERT_EQ(c.Open(cs.c_str(), "", "L", "", kRW), 0);
  }
  EXPECT_EQ(s.Open(nullptr, (cs + ";LoggerName=L;LoggerSeq=4").c_str(), kRO), -1);
  EXPECT_STREQ(s.GetErrorSummary(), "CAN'T FIND LOGGER NAME AND SEQ");
  // Read-only on a database without LOGGERS: opens, lists nothing.
  std::string empty = SqlCs("empty");
  CLogDbCollection r;
  EXPECT_EQ(r.Open(empty.c_str(), "", "L", "", kRO), 0);
  EXPECT_STREQ(r.GetErrorSummary(), "CAN'T OPEN LOGGERS TABLE");
  EXPECT_EQ(r.FirstRun(nullptr), 0);
  CLogDbCollection longName;
  EXPECT_EQ(longName.Open(("Provider=SQLOLEDB;Data Source=.;Initial Catalog=" + std::string(1100, 'x')).c_str(), "",
                          "L", "", kRO),
            -1);
  EXPECT_STREQ(longName.GetErrorSummary(), "CONNECTION STRING TOO LONG");
}

// Creating LOGGERS in a Jet file waits before the file is used; other
// providers do not.
TEST_F(LogDb, JetWaitsAfterCreatingLoggers) {
  ldb_SetJetCreateWait(300);
  auto timed = [](const std::string &cs) {
    auto t0 = std::chrono::steady_clock::now();
    CLogDbCollection c;
    EXPECT_EQ(c.Open(cs.c_str(), "", "L", "", kRW), 0);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  };
  EXPECT_GE(timed(JetCs("wait.mdb")), 300);
  EXPECT_LT(timed(SqlCs("nowait")), 300);
  ldb_SetJetCreateWait(0);
}

TEST_F(LogDb, FactoriesAndResolve) {
  std::string cs = SqlCs("fact");
  CLogCollection *c = log_CreateCollection(cs.c_str());
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->Open(cs.c_str(), "", "Q", "", kRW), 0);
  RunFixture run;
  delete c->CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  delete c;
  std::string resolved = log_ResolveRun((cs + ";LoggerName=Q").c_str());
  EXPECT_EQ(resolved, cs + ";LoggerName=Q;LoggerSeq=00000001");
  CLogStore *s = log_CreateStore(resolved.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Open(nullptr, resolved.c_str(), kRO), 0) << s->GetErrorSummary();
  delete s;
}

// What a record means, whichever store kept it: time, then per channel bad
// or its value (a digital channel's state).
std::string Meaning(const LogFileHeader &h, const uint8_t *rec) {
  TimeStamp t;
  memcpy(&t, rec + 4, 8);
  std::string out = std::to_string(t.seconds) + "." + std::to_string(t.ms);
  for (uint32_t b = 0; b < h.blockCount; ++b) {
    const LogChannelBlock &blk = h.blocks[b];
    uint32_t n = uint32_t{blk.last} - blk.first + 1;
    for (uint32_t k = 0; k < n; ++k) {
      uint32_t st;
      float v;
      memcpy(&st, rec + blk.statusOffset + 4 * k, 4);
      memcpy(&v, rec + blk.statusOffset + 4 * n + 4 * k, 4);
      if (st & LOG_STATUS_BAD) out += " bad";
      else if (blk.kind == LOG_KIND_DIGITAL) out += (st & LOG_STATUS_PRESENT) ? (v != 0 ? " on" : " off") : ((st & 1) ? " on" : " off");
      else out += " " + std::to_string(v);
    }
  }
  return out;
}

// One table of requests run against a file run and a database run holding
// the same records: the answers agree.
TEST_F(LogDb, FileAndDatabaseStoresAnswerAlike) {
  RunFixture run;
  auto recs = run.Records(7);
  std::string dir = tnwtest::MakeTempDir("ldb_same");
  CLogFileStore file;
  LogFileHeader fh = run.h;
  ASSERT_EQ(file.Create((dir + "/SA230615_080000.odl").c_str(), &fh, run.records), 0);
  std::string cs = SqlCs("same");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "SA", "", kRW), 0);
  CLogStore *db = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(db, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  CLogStore *stores[2] = {&file, db};
  for (CLogStore *s : stores) {
    ASSERT_EQ(s->WriteLogs(&fh, recs.data(), 4), 0);
    ASSERT_EQ(s->WriteLogs(&fh, recs.data() + 4 * fh.recordSize, 3), 0);
    ASSERT_EQ(s->WriteText(kT0 + 3, "pump tripped", nullptr, nullptr), 0) << s->GetErrorSummary();
  }
  using Op = std::function<std::string(CLogStore *)>;
  auto read = [&](int64_t first, int32_t count) {
    return [&, first, count](CLogStore *s) {
      std::vector<uint8_t> buf(size_t(count) * fh.recordSize);
      int32_t got = s->ReadLogs(first, &fh, buf.data(), count, nullptr, nullptr, nullptr);
      std::string out = "got " + std::to_string(got);
      for (int32_t i = 0; i < got; ++i) out += " | " + Meaning(fh, &buf[size_t(i) * fh.recordSize]);
      return out;
    };
  };
  const struct {
    const char *name;
    Op op;
  } ops[] = {
      {"count", [&](CLogStore *s) { return std::to_string(s->GetNoLogs(&fh)); }},
      {"all", read(0, 7)},
      {"middle", read(2, 3)},
      {"past the end", read(5, 4)},
      {"start beyond", read(9, 1)},
      {"channels", [&](CLogStore *s) {
         ChannelRecord ch[3];
         std::string out = std::to_string(s->ReadChannels(&fh, ch, 0, 0, 3));
         for (auto &r : ch) {
           char tag[16];
           chan_JoinTag(&r, tag);
           out += std::string(" ") + tag;
         }
         return out;
       }},
      {"channel outside", [&](CLogStore *s) {
         ChannelRecord ch[3];
         return std::to_string(s->ReadChannels(&fh, ch, 1, 1, 2));
       }},
      {"header", [&](CLogStore *s) {
         LogFileHeader h{};
         std::string out = std::to_string(s->ReadHeader(&h));
         out += " records " + std::to_string(h.recordCount) + " start " + std::to_string(h.start.seconds);
         for (uint32_t b = 0; b < h.blockCount; ++b)
           out += " " + std::string(h.blocks[b].prefix, 2) + std::to_string(h.blocks[b].first) + "-" +
                  std::to_string(h.blocks[b].last);
         return out;
       }},
      {"one record", [&](CLogStore *s) {
         std::vector<uint8_t> buf(fh.recordSize);
         int rc = s->ReadLog(3, &fh, buf.data(), fh.recordSize, nullptr, nullptr, nullptr, nullptr, nullptr);
         return std::to_string(rc) + (rc == 0 ? " | " + Meaning(fh, buf.data()) : std::string());
       }},
      {"rewritten record", [&](CLogStore *s) {
         std::vector<uint8_t> rec(recs.begin() + 2 * fh.recordSize, recs.begin() + 3 * fh.recordSize);
         float v = 99.5f;
         uint32_t st = LOG_STATUS_PRESENT;
         memcpy(&rec[12 + 4], &st, 4);  // AI2, bad in the original, now a value
         memcpy(&rec[12 + 12 + 4], &v, 4);
         std::string out = std::to_string(s->WriteLog(2, &fh, rec.data(), fh.recordSize));
         std::vector<uint8_t> back(fh.recordSize);
         out += " " + std::to_string(s->ReadLogs(2, &fh, back.data(), 1, nullptr, nullptr, nullptr));
         return out + " | " + Meaning(fh, back.data());
       }},
      {"text", [&](CLogStore *s) {
         char buf[200] = {};
         uint32_t cap = sizeof buf;
         int n = s->ReadSection("TEXT", buf, &cap, nullptr, nullptr);
         std::string t = buf;
         // The file keeps the time with its milliseconds or not; compare the text.
         return std::to_string(n) + (t.find("pump tripped\r\n") != std::string::npos ? " found" : " missing");
       }},
  };
  for (const auto &o : ops) EXPECT_EQ(o.op(&file), o.op(db)) << o.name;
  // The answers compared are the records themselves, not two failures.
  EXPECT_EQ(ops[0].op(db), "7");
  EXPECT_EQ(ops[1].op(db).substr(0, 6), "got 7 ");
  EXPECT_EQ(ops[3].op(db).substr(0, 6), "got 2 ");
  EXPECT_EQ(ops[5].op(db), "0 Flow1 Flow2 Flow3");
  EXPECT_EQ(ops[7].op(db).substr(0, 31), "0 records 7 start 1686816000 AI");
  EXPECT_EQ(ops[9].op(db).substr(0, 4), "0 1 ");
  EXPECT_EQ(ops[10].op(db), "1 found");
  delete db;
}

// A configuration server on another computer: answers "CV" with records
// tagged Far1, Far2, ... or, while `refuse` is set, with a refusal.
class LogDbRemote : public LogDb {
 protected:
  void SetUp() override {
    LogDb::SetUp();
    srv_CloseAllConnections();
    SimRequestSpec spec;
    spec.host = kHost;
    spec.answer = [this](const std::string &line, std::string *reply) {
      if (line.rfind("CV,", 0) != 0) return false;
      if (refuse) {
        *reply = std::string("-1,2", 5);
        return true;
      }
      ChannelRecord r;
      memset(&r, 0, sizeof r);
      std::string tag = "Far" + std::to_string(atoi(line.c_str() + 6));
      memcpy(r.raw, tag.data(), tag.size());
      *reply = "1,AI,000" + std::string(reinterpret_cast<const char *>(r.raw), LOG_CHANNEL_SIZE);
      return true;
    };
    std::string why;
    server = sim_StartRequestServer(spec, &why);
    ASSERT_NE(server, nullptr) << why;
  }
  void TearDown() override {
    srv_CloseAllConnections();
    if (server) sim_StopRequestServer(server);
    LogDb::TearDown();
  }
  size_t Asked() const {
    size_t n = 0;
    for (const std::string &r : sim_ServedRequests(server)) n += r.rfind("CV,", 0) == 0;
    return n;
  }
  static constexpr const char *kHost = "HOSTC";
  SimRequestServer *server = nullptr;
  std::atomic<bool> refuse{false};
};

// The store reads the channel records its caller does not give: from the
// configuration area here, or with one "CV" a channel from the computer that
// holds the configuration. When they cannot be read it adds no row.
TEST_F(LogDbRemote, StoreReadsMissingChannelRecords) {
  ConfigArea area(3);
  ASSERT_NE(area.conf, nullptr);
  std::string cs = SqlCs("storech");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "K", "", kRW), 0);
  RunFixture run;
  // The run's tables, from a creation whose rows are taken away again.
  CLogStore *made = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(made, nullptr) << c.GetErrorSummary() << c.GetErrorText();
  const std::string prefix = static_cast<CLogDbStore *>(made)->TablePrefix();
  const int32_t seq = static_cast<CLogDbStore *>(made)->Sequence();
  delete made;
  const struct {
    const char *what, *server;
    bool refuse;
    int without;  // the block given no records
    int rc;
    const char *message, *detail, *tag;
  } cases[] = {
      {"the area here", nullptr, false, 0, 0, "", "", "Inlet3"},
      {"this computer by name", ".", false, 0, 0, "", "", "Inlet3"},
      {"the server", kHost, false, 0, 0, "", "", "Far3"},
      {"a refusing server", kHost, true, 0, -1, "CAN'T GET CHANNEL CONFIGS", "CAN'T GET CHANNEL CONFIGURATION", ""},
      {"no area here", nullptr, false, 1, -1, "CAN'T FIND CHANNEL CONFIG", "", ""},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_EQ(c.Exec("DELETE FROM " + prefix + "CHANNELS"), 0);
    ASSERT_EQ(c.Exec("DELETE FROM LOGGERS"), 0);
    refuse = k.refuse;
    ChannelRecord *given[2] = {run.records[0], run.records[1]};
    given[k.without] = nullptr;
    const size_t before = Asked();
    CLogDbStore s;
    ASSERT_EQ(s.CreateRun(cs.c_str(), prefix.c_str(), "K", seq, &run.h, nullptr, k.server, given), k.rc)
        << s.GetErrorSummary() << " " << s.GetErrorText();
    const bool remote = k.server && strcmp(k.server, kHost) == 0;
    if (k.rc != 0) {
      EXPECT_STREQ(s.GetErrorSummary(), k.message);
      EXPECT_STREQ(s.GetErrorText(), k.detail);
      EXPECT_EQ(Asked() > before, remote);
      EXPECT_EQ(c.FirstRun(nullptr), 0) << "no LOGGERS row";
      continue;
    }
    EXPECT_EQ(Asked() - before, remote ? 3u : 0u);
    ChannelRecord back[3];
    char tag[16];
    ASSERT_EQ(s.ReadChannels(&run.h, back, 0, 0, 3), 0) << s.GetErrorSummary();
    chan_JoinTag(&back[2], tag);
    EXPECT_STREQ(tag, k.tag);
    ASSERT_EQ(s.ReadChannels(&run.h, back, 1, 0, 1), 0) << s.GetErrorSummary();
    chan_JoinTag(&back[0], tag);
    EXPECT_STREQ(tag, "Pump1");  // the caller's records where given
    auto recs = run.Records(2);
    EXPECT_EQ(s.WriteLogs(&run.h, recs.data(), 2), 0) << s.GetErrorSummary();
    s.Close();
    ASSERT_EQ(c.Exec("DELETE FROM " + prefix + "DATA"), 0);
  }
}

// A run whose tags come from the computer that holds the configuration: its
// records name the data columns and are asked for once; a refused "CV" makes
// no run and leaves no table.
TEST_F(LogDbRemote, CollectionTakesChannelRecordsFromTheServer) {
  std::string cs = SqlCs("remotech");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "F", "", kRW), 0);
  RunFixture run;
  run.h.tagColumns = 1;
  run.records[0] = nullptr;
  refuse = true;
  size_t before = Asked();
  EXPECT_EQ(c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, kHost, nullptr, run.records), nullptr);
  EXPECT_STREQ(c.GetErrorSummary(), "CAN'T CREATE DATA TABLE");
  EXPECT_GT(Asked(), before);
  EXPECT_FALSE(HasTable(cs, "F_CHANNELS"));
  EXPECT_FALSE(HasTable(cs, "F_DATA"));
  EXPECT_EQ(c.FirstRun(nullptr), 0);

  refuse = false;
  before = Asked();
  CLogStore *s = c.CreateRun(&run.h.start.seconds, 1, nullptr, &run.h, nullptr, 0, kHost, nullptr, run.records);
  ASSERT_NE(s, nullptr) << c.GetErrorSummary() << " " << c.GetErrorText();
  EXPECT_EQ(Asked() - before, 3u);  // the store takes the records the collection read
  ChannelRecord back[3];
  char tag[16];
  ASSERT_EQ(s->ReadChannels(&run.h, back, 0, 0, 3), 0) << s->GetErrorSummary();
  chan_JoinTag(&back[1], tag);
  EXPECT_STREQ(tag, "Far2");
  delete s;
  ado::Connection conn;
  ASSERT_GE(conn.Open(cs), 0);
  ado::Recordset r;
  EXPECT_GE(r.Open("select Far1, Far2, Far3, Pump1 from F_DATA", &conn, ado::adOpenStatic, ado::adLockReadOnly,
                   ado::adCmdUnknown),
            0)
      << r.LastError().description;
}

}  // namespace
