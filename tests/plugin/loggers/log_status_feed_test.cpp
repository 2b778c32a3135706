// The status feed of a logging process against a world's "logst" area: the
// refusals when the area cannot hold the logger's rows, nothing before the
// start, the records by logger type, the rows as updates set them, the
// collection's rows, and exact counts under four writing threads.
#include "plugin/loggers/log_status_feed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "framework/time/tm_time.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_status.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

namespace {

constexpr int32_t kBase = 1672574400;  // 2023-01-01 12:00:00

SimProcessorSpec StatusProcessor(uint8_t kind = SIM_LOGGER_STATUS_KIND) {
  SimProcessorSpec p;
  p.name = "logst";
  p.text = "Logger status channels";
  p.code = "LS";
  p.kind = kind;
  return p;
}

// The LS area as one snapshot: status words, values, channel records.
struct Area {
  std::vector<uint32_t> status;
  std::vector<float> values;
  std::vector<ChannelRecord> records;

  static Area Read() {
    Area a;
    void *data = sim_Area("LS", SHM_AREA_DATA), *conf = sim_Area("LS", SHM_AREA_CONF);
    if (!data || !conf) return a;
    uint16_t n = shm_AreaHeader(data)->count;
    const uint32_t *s = shm_AreaStatusWords(data);
    a.status.assign(s, s + n);
    if (const float *v = shm_AreaValues(data)) a.values.assign(v, v + n);
    const ChannelRecord *r = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(conf));
    a.records.assign(r, r + shm_DataLength(conf) / CHAN_RECORD_SIZE);
    return a;
  }
  bool operator==(const Area &o) const {
    return status == o.status && values == o.values && records.size() == o.records.size() &&
           (records.empty() || memcmp(records.data(), o.records.data(), records.size() * sizeof(ChannelRecord)) == 0);
  }
  // Row `row` (1-32) of logger `logger`.
  size_t At(int logger, int row) const { return static_cast<size_t>((logger - 1) * 32 + row - 1); }
  float Value(int logger, int row) const { return values.at(At(logger, row)); }
  uint32_t Status(int logger, int row) const { return status.at(At(logger, row)); }
  const ChannelRecord &Record(int logger, int row) const { return records.at(At(logger, row)); }
  bool Blank(int logger, int row) const {
    static const ChannelRecord zero{};
    return memcmp(&Record(logger, row), &zero, sizeof zero) == 0;
  }
};

std::string HighText(const ChannelRecord &r) {
  char t[CHAN_TEXT_SIZE + 1];
  chan_GetText32(&r, CHAN_HIGH_STATE_TEXT_OFFSET, t);
  return t;
}

class StatusFeed : public ::testing::Test {
 protected:
  void Build(const std::vector<SimProcessorSpec> &processors, const std::vector<SimProcessorAreas> &areas = {},
             std::vector<std::string> loggers = {"LOGA", "LOGB"}) {
    SimWorldSpec w;
    w.processors = processors;
    w.processorAreas = areas;
    w.loggers = loggers;
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  }
  void TearDown() override {
    log_StatusFeedStop();
    sim_DestroyWorld();
  }
};

}  // namespace

TEST_F(StatusFeed, RefusedWhenTheAreaCannotHoldTheLoggersRows) {
  const std::vector<std::string> two = {"LOGA", "LOGB"};
  struct Case {
    const char *what;
    std::vector<SimProcessorSpec> processors;
    std::vector<SimProcessorAreas> areas;
    std::vector<std::string> loggers;
    int number;
    uint32_t error;
  };
  const Case cases[] = {
      {"no logst processor", {}, {}, two, 1, OS_ERROR_FILE_NOT_FOUND},
      {"logst without an area (no loggers, no rows)", {StatusProcessor()}, {}, {}, 1, OS_ERROR_FILE_NOT_FOUND},
      {"logger 2 in an area of 48 rows", {StatusProcessor()}, {{"LS", 48, {}}}, two, 2, OS_ERROR_INSUFFICIENT_BUFFER},
      {"logger 3 of a world of two", {StatusProcessor()}, {}, two, 3, OS_ERROR_INSUFFICIENT_BUFFER},
      {"a digital area", {StatusProcessor(0)}, {{"LS", 64, {}}}, two, 1, OS_ERROR_INVALID_DATA},
      {"logger number 0", {StatusProcessor()}, {}, two, 0, OS_ERROR_INVALID_PARAMETER},
      {"logger number -1", {StatusProcessor()}, {}, two, -1, OS_ERROR_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Build(c.processors, c.areas, c.loggers);
    const Area before = Area::Read();
    os_SetLastError(0);
    EXPECT_EQ(log_StatusFeedStart(c.number, "repub", "LOGB"), -1);
    EXPECT_EQ(os_GetLastError(), c.error);
    EXPECT_FALSE(log_StatusFeedStarted());
    log_StatusFeedWrite(100);
    log_StatusFeedActivity(LOG_ACTIVITY_LOGGING);
    EXPECT_TRUE(Area::Read() == before) << "a refused feed wrote into the area";
    sim_DestroyWorld();
  }
}

TEST_F(StatusFeed, TheLastLoggerThatFitsIsAccepted) {
  Build({StatusProcessor()}, {{"LS", 64, {}}});
  EXPECT_EQ(log_StatusFeedStart(2, "repub", "LOGB"), 0);
  log_StatusFeedWrite(8);
  Area a = Area::Read();
  EXPECT_EQ(a.Value(2, 16), 1.0f);
  EXPECT_FALSE(a.Blank(2, 32));
}

TEST_F(StatusFeed, UpdatesBeforeTheStartAndAfterTheStopDoNothing) {
  Build({StatusProcessor()});
  const Area initial = Area::Read();
  ASSERT_EQ(initial.status.size(), 64u);
  log_StatusFeedWrite(10);
  log_StatusFeedRead(20);
  log_StatusFeedActivity(LOG_ACTIVITY_LOGGING);
  log_StatusFeedLog(LOG_FEED_REAL_TIME, 5, kBase);
  log_StatusFeedExpiry(kBase);
  log_StatusFeedIncomplete(4);
  log_StatusFeedCollection("D:\\DATA\\RUNS", "LOG", 0, "LOGB");
  log_StatusFeedResetCounts();
  log_StatusFeedStop();
  EXPECT_TRUE(Area::Read() == initial);

  // Started, the updates from before count for nothing.
  ASSERT_EQ(log_StatusFeedStart(2, "repub", "LOGB"), 0);
  EXPECT_TRUE(Area::Read() == initial) << "the start itself writes nothing";
  log_StatusFeedWrite(7);
  Area a = Area::Read();
  EXPECT_EQ(a.Value(2, 16), 1.0f);  // NO WRITES
  EXPECT_EQ(a.Value(2, 17), 7.0f);  // BYTES WRIT
  EXPECT_EQ(a.Value(2, 18), 0.0f);  // NO READ
  EXPECT_TRUE(a.Status(2, 20) & CST_BAD) << "no real-time log was set since the start";
  EXPECT_EQ(HighText(a.Record(2, 10)), "Not Started");

  log_StatusFeedStop();
  const Area stopped = Area::Read();
  log_StatusFeedWrite(7);
  log_StatusFeedActivity(LOG_ACTIVITY_LOGGING);
  EXPECT_TRUE(Area::Read() == stopped);
}

TEST_F(StatusFeed, RecordsByLoggerType) {
  Build({StatusProcessor()});
  struct Case {
    const char *type;
    int records;
  } cases[] = {{"repub", 32}, {"RESUBSCRIBER", 31}, {"resub", 31}, {"stand", 25}, {"", 25}, {nullptr, 25}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type ? c.type : "(null)");
    // Records of an earlier type are cleared: each case starts from a zeroed area.
    memset(shm_AreaRecords(sim_Area("LS", SHM_AREA_CONF)), 0, 64 * CHAN_RECORD_SIZE);
    ASSERT_EQ(log_StatusFeedStart(1, c.type, "LOGA"), 0);
    log_StatusFeedWrite(1);
    Area a = Area::Read();
    for (int row = 1; row <= 32; ++row) {
      SCOPED_TRACE(row);
      EXPECT_EQ(!a.Blank(1, row), row <= c.records);
      if (row > c.records) {
        EXPECT_EQ(a.Status(1, row), CST_BAD | CST_ANALOGUE);
      }
    }
    EXPECT_TRUE(a.Blank(2, 1)) << "logger 1 wrote into logger 2's rows";
    log_StatusFeedStop();
  }
}

TEST_F(StatusFeed, ChannelRecordsOfLogger2) {
  Build({StatusProcessor()});
  ASSERT_EQ(log_StatusFeedStart(2, "repub", "LOGB"), 0);
  log_StatusFeedActivity(LOG_ACTIVITY_LOGGING);
  Area a = Area::Read();
  struct Row {
    int row;
    const char *tag, *description;
    int type;
    const char *high, *low, *units;
  } rows[] = {
      {1, "0002_STATUS", "STATUS", IO_DO, "ENABLED", "DISABLED", ""},
      {9, "0002_TYPE", "STORAGE TYPE", IO_DO, "DATABASE", "FILE", ""},
      {10, "0002_ACTIVITY", "ACTIVITY", IO_DO, "Logging", "N/A", ""},
      {13, "0002_DATE LST W", "DATE OF LAST WRITE", IO_AO, nullptr, nullptr, ""},
      {17, "0002_BYTES WRIT", "NO BYTES WRITTEN", IO_AO, nullptr, nullptr, "BYTES"},
      {31, "0002_SEC TO EXP", "TIME TO EXPIRY", IO_AO, nullptr, nullptr, "HRS"},
      {32, "0002_NO INCOMPL", "NO OF INCOMPLETE PUBS", IO_AO, nullptr, nullptr, ""},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.row);
    const ChannelRecord &c = a.Record(2, r.row);
    EXPECT_STREQ(chan_GetTag(&c), r.tag);
    EXPECT_STREQ(chan_GetDescription(&c), r.description);
    EXPECT_EQ(chan_TypeByte(&c), r.type);
    EXPECT_TRUE(chan_FlagBit(&c, CHAN_FLAG_ENABLE));
    if (r.high) {
      char low[CHAN_TEXT_SIZE + 1];
      chan_GetText32(&c, static_cast<int>(offsetof(ChannelDigital, LowStateText)), low);
      EXPECT_EQ(HighText(c), r.high);
      EXPECT_STREQ(low, r.low);
    } else {
      EXPECT_STREQ(chan_GetUnits(&c), r.units);
      EXPECT_EQ(a.Status(2, r.row) & CST_ANALOGUE, CST_ANALOGUE);
    }
  }
  EXPECT_TRUE(a.Blank(1, 1)) << "logger 2 wrote into logger 1's rows";
  // The activity text follows each change, in the records.
  log_StatusFeedActivity(LOG_ACTIVITY_FINISHED_IN_ERROR);
  EXPECT_EQ(HighText(Area::Read().Record(2, 10)), "Finished In Error");
  log_StatusFeedActivity(17);
  EXPECT_EQ(HighText(Area::Read().Record(2, 10)), "Unknown");
}

TEST_F(StatusFeed, RowsAsTheUpdatesSetThem) {
  Build({StatusProcessor()});
  ASSERT_EQ(log_StatusFeedStart(2, "repub", "logb"), 0);  // the table's name in another case
  TimeStamp before;
  tm_Now(&before);
  log_StatusFeedWrite(100);
  log_StatusFeedWrite(50);
  log_StatusFeedRead(30);
  TimeStamp after;
  tm_Now(&after);
  log_StatusFeedLog(LOG_FEED_REAL_TIME, 42, kBase + 3723);     // 01:02:03 later
  log_StatusFeedLog(LOG_FEED_LAG, 41, kBase - 86400);          // a day before
  log_StatusFeedLog(LOG_FEED_HISTORICAL, 40, kBase + 59);      // 12:00:59
  log_StatusFeedIncomplete(3);
  log_StatusFeedExpiry(after.seconds + 7200);
  Area a = Area::Read();

  EXPECT_EQ(a.Status(2, 1), CST_VALUE) << "enabled in the loggers table, good";
  EXPECT_EQ(a.Value(2, 16), 2.0f);
  EXPECT_EQ(a.Value(2, 17), 150.0f);
  EXPECT_EQ(a.Value(2, 18), 1.0f);
  EXPECT_EQ(a.Value(2, 19), 30.0f);
  struct Row {
    int row;
    float value;
  } rows[] = {{20, 42}, {21, 230101}, {22, 130203}, {23, 41}, {24, 221231}, {25, 120000},
              {26, 40}, {27, 230101}, {28, 120059}, {32, 3}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.row);
    EXPECT_EQ(a.Value(2, r.row), r.value);
    EXPECT_EQ(a.Status(2, r.row), CST_ANALOGUE);
  }
  // The last write: the date and time of a second between the two readings of the clock.
  bool stamped = false;
  for (int32_t sec = before.seconds; sec <= after.seconds; ++sec) {
    int32_t date = 0, time = 0;
    log_StampNumbers(sec, &date, &time);
    stamped = stamped || (a.Value(2, 13) == static_cast<float>(date) && a.Value(2, 14) == static_cast<float>(time));
  }
  EXPECT_TRUE(stamped) << a.Value(2, 13) << " " << a.Value(2, 14);
  EXPECT_EQ(a.Status(2, 13), CST_ANALOGUE);
  EXPECT_GE(a.Value(2, 15), 0.0f);
  EXPECT_LE(a.Value(2, 15), 2.0f);
  EXPECT_NEAR(a.Value(2, 31), 2.0, 0.01);
  EXPECT_EQ(a.Status(2, 31), CST_ANALOGUE);

  // Row 1 reads the table's Enabled byte at each update.
  ASSERT_EQ(shm_AttachLoggers(), 0);
  reinterpret_cast<LoggerRecord *>(shm_LoggerTable()->first)[1].Enabled = 0;
  log_StatusFeedResetCounts();
  a = Area::Read();
  EXPECT_EQ(a.Status(2, 1), 0u);
  for (int row = 16; row <= 19; ++row) EXPECT_EQ(a.Value(2, row), 0.0f) << row;
}

TEST_F(StatusFeed, ALoggerTheTableLacksHasItsStatusRowBad) {
  Build({StatusProcessor()});
  ASSERT_EQ(log_StatusFeedStart(1, "stand", "NOSUCH"), 0);
  log_StatusFeedWrite(1);
  Area a = Area::Read();
  EXPECT_EQ(a.Status(1, 1) & CST_BAD, CST_BAD);
  EXPECT_EQ(a.Value(1, 16), 1.0f);
}

TEST_F(StatusFeed, CollectionRows) {
  Build({StatusProcessor()});
  ASSERT_EQ(log_StatusFeedStart(1, "resub", "LOGA"), 0);
  struct Dir {
    int row;
    const char *text;
  };
  auto expectRows = [](const std::vector<Dir> &want) {
    Area a = Area::Read();
    for (const Dir &d : want) {
      SCOPED_TRACE(d.row);
      const ChannelRecord &r = a.Record(1, d.row);
      EXPECT_EQ(HighText(r), d.text);
      bool table = strcmp(d.text, "N/A") == 0;
      // A folder row is named after its level; the prefix row keeps its description.
      EXPECT_STREQ(chan_GetDescription(&r), table || d.row == 8 ? log_StatusRows[d.row - 1].description : d.text);
      EXPECT_EQ(a.Status(1, d.row), table ? 0u : uint32_t{CST_VALUE});
    }
  };
  // Eight levels: the last five.
  log_StatusFeedCollection("D:\\L1\\L2\\L3\\L4\\L5\\L6\\L7\\LEVEL8", "SITEA_", 0, "LOGA");
  expectRows({{2, "L4"}, {3, "L5"}, {4, "L6"}, {5, "L7"}, {6, "LEVEL8"}, {7, "N/A"}, {8, "SITEA_"}});
  EXPECT_EQ(Area::Read().Status(1, 9), 0u) << "folder storage";
  // Two levels: the rest back to the table's texts.
  log_StatusFeedCollection("D:\\DATA\\RUNS", "", 0, "LOGA");
  expectRows({{2, "DATA"}, {3, "RUNS"}, {4, "N/A"}, {6, "N/A"}, {8, "N/A"}});
  EXPECT_STREQ(chan_GetDescription(&Area::Read().Record(1, 4)), "DIRECTORY3");
  // A database: row 2 the logger name.
  log_StatusFeedCollection(nullptr, "P1", 1, "LOGA");
  expectRows({{2, "LOGA"}, {3, "N/A"}, {8, "P1"}});
  EXPECT_EQ(Area::Read().Status(1, 9), uint32_t{CST_VALUE}) << "database storage";

  // A file collection that opens tells the feed.
  const std::string dir = tnwtest::MakeTempDir("feedruns");
  CLogFileCollection runs;
  ASSERT_EQ(runs.Open("", dir.c_str(), "LOGA", "PX", OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  const std::string last = dir.substr(dir.rfind('/') + 1).substr(0, 32);
  Area a = Area::Read();
  bool found = false;
  for (int row = 2; row <= 6; ++row) found = found || HighText(a.Record(1, row)) == last;
  EXPECT_TRUE(found) << "the folder's last level " << last;
  EXPECT_EQ(HighText(a.Record(1, 8)), "PX");
  EXPECT_EQ(a.Status(1, 9), 0u);

  // So does a MySQL collection, before it reads its keys and connects.
  CLogDbMySQLCollection my;
  EXPECT_EQ(my.Open("PROVIDER=MYSQL;USER=u", "", "LOGM", "PM", OS_GENERIC_READ), -1);
  EXPECT_STREQ(my.GetErrorSummary(), "NO DB IN CONNECTION STRING");
  expectRows({{2, "LOGM"}, {3, "N/A"}, {6, "N/A"}, {8, "PM"}});
  EXPECT_EQ(Area::Read().Status(1, 9), uint32_t{CST_VALUE}) << "database storage";
}

TEST_F(StatusFeed, FourThreadsUpdatingAtOnceKeepExactCounts) {
  Build({StatusProcessor()});
  ASSERT_EQ(log_StatusFeedStart(2, "repub", "LOGB"), 0);
  constexpr int kWrites = 2500, kReads = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kWrites; ++i) {
        log_StatusFeedWrite(static_cast<uint32_t>(t + 1));
        if (i % (kWrites / kReads) == 0) log_StatusFeedRead(2);
        if (i % 250 == 0) log_StatusFeedActivity(LOG_ACTIVITY_LOGGING);
      }
    });
  for (std::thread &t : threads) t.join();
  Area a = Area::Read();
  EXPECT_EQ(a.Value(2, 16), 4.0f * kWrites);                   // NO WRITES
  EXPECT_EQ(a.Value(2, 17), static_cast<float>(kWrites * (1 + 2 + 3 + 4)));
  EXPECT_EQ(a.Value(2, 18), 4.0f * kReads);
  EXPECT_EQ(a.Value(2, 19), 4.0f * kReads * 2);
  EXPECT_EQ(HighText(a.Record(2, 10)), "Logging");
  EXPECT_TRUE(a.Blank(1, 16));
}
