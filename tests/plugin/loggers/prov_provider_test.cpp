// The in-process provider over runs written by the file store and by the
// database store: its replies byte for byte, the time lookup, lent buffers,
// reply capacity and the bounded record cache.
#include "plugin/loggers/prov_provider.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "framework/server/srv_client.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_tables.h"
#include "platform/ado/ado.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_mapping.h"
#include "platform/os_path.h"
#include "plugin/connect/con_transports.h"
#include "plugin/loggers/log_db_collection.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_run_name.h"
#include "plugin/loggers/log_text.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tests/support/logger_db.h"
#include "tools/scadasim/sim_world.h"

namespace {

using tnwtest::SqlCs;

constexpr uint32_t kRW = OS_GENERIC_READ | OS_GENERIC_WRITE;
constexpr int32_t kT0 = 19523 * 86400 + 8 * 3600;  // 2023-06-15 08:00:00

// Reply bytes as a test spells them.
struct Bytes {
  std::string s;
  Bytes &T(const std::string &t) { return s += t, *this; }
  Bytes &Z() { return s.push_back('\0'), *this; }
  Bytes &U32(uint32_t v) { return s.append(reinterpret_cast<const char *>(&v), 4), *this; }
  Bytes &F(float v) { return s.append(reinterpret_cast<const char *>(&v), 4), *this; }
  Bytes &U16(uint16_t v) { return s.append(reinterpret_cast<const char *>(&v), 2), *this; }
  Bytes &Raw(const void *p, size_t n) { return s.append(static_cast<const char *>(p), n), *this; }
};
std::string Z(const std::string &t) { return t + std::string(1, '\0'); }

// A logger's layout: AI1-AI3 (source PUMP1; AI3 an output channel) and
// DI1-DI2 (DI2 an output channel).
struct Layout {
  LogFileHeader h{};
  std::vector<ChannelRecord> ai, di;
  ChannelRecord *blocks[2];
  Layout(const char *analogue = "AI", const char *tagBase = "Flow") : ai(3), di(2) {
    memcpy(h.blocks[0].prefix, analogue, 2);
    h.blocks[0].first = 1;
    h.blocks[0].last = 3;
    h.blocks[0].kind = 8;
    h.blocks[0].statusOffset = 12;
    snprintf(h.blocks[0].source, sizeof h.blocks[0].source, "PUMP1");
    memcpy(h.blocks[1].prefix, "DI", 2);
    h.blocks[1].first = 1;
    h.blocks[1].last = 2;
    h.blocks[1].kind = LOG_KIND_DIGITAL;
    h.blocks[1].statusOffset = 12 + 24;
    h.blockCount = 2;
    h.recordSize = 12 + 24 + 16;
    h.type = LOG_FILE_TYPE;
    h.timeZone.Bias = -60;
    h.timeZone.StandardName[0] = 'W';
    memset(ai.data(), 0, ai.size() * sizeof(ChannelRecord));
    memset(di.data(), 0, di.size() * sizeof(ChannelRecord));
    for (int i = 0; i < 3; ++i) {
      chan_SetTag(&ai[i], (tagBase + std::to_string(i + 1)).c_str());
      chan_SetUnits(&ai[i], "m3/h");
      chan_SetFlagBit(&ai[i], CHAN_FLAG_ENABLE, true);
    }
    ai[2].raw[CHAN_TYPE_OFFSET] = 2;
    for (int i = 0; i < 2; ++i) {
      chan_SetTag(&di[i], ("Pump" + std::to_string(i + 1)).c_str());
      di[i].raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(i == 0 ? 1 : 3);
      chan_SetFlagBit(&di[i], CHAN_FLAG_ENABLE, true);
    }
    blocks[0] = ai.data();
    blocks[1] = di.data();
  }
  // Record i of a run: time start + i s + ms; AI k = base + i * 10 + k, AI2
  // bad on odd records; DI1 bit 0 on even records, DI2 bad.
  std::vector<uint8_t> Records(int32_t start, int16_t ms, int count, int base) const {
    std::vector<uint8_t> out(size_t(count) * h.recordSize, 0);
    for (int i = 0; i < count; ++i) {
      uint8_t *r = &out[size_t(i) * h.recordSize];
      uint16_t mark = LOG_RECORD_MARK;
      memcpy(r, &mark, 2);
      TimeStamp t{start + i, ms, 0};
      memcpy(r + 4, &t, 8);
      for (int k = 0; k < 3; ++k) {
        uint32_t st = (k == 1 && i % 2) ? LOG_STATUS_BAD : LOG_STATUS_PRESENT;
        float v = static_cast<float>(base + i * 10 + k);
        memcpy(r + 12 + 4 * k, &st, 4);
        memcpy(r + 24 + 4 * k, &v, 4);
      }
      uint32_t d1 = (i % 2 == 0) ? 1u : 0u, d2 = LOG_STATUS_BAD;
      memcpy(r + 36, &d1, 4);
      memcpy(r + 40, &d2, 4);
    }
    return out;
  }
};

// A new run of the layout from `start` in c (null when none was made).
std::unique_ptr<CLogStore> NewRun(CLogCollection *c, Layout *l, int32_t start, const char *headerText = nullptr) {
  l->h.start = {start, 0, 0};
  return std::unique_ptr<CLogStore>(c->CreateRun(&start, 1, nullptr, &l->h, headerText, 0, nullptr, nullptr, l->blocks));
}

// Run A: 5 records from kT0 (250 ms); run B, the newest: 3 records from
// kT0 + 3600 (500 ms).
void WriteRuns(CLogCollection *c, Layout *l, int32_t shift = 0) {
  struct Run {
    int32_t start;
    int16_t ms;
    int count, base;
  } runs[] = {{kT0 + shift, 250, 5, 0}, {kT0 + shift + 3600, 500, 3, 100}};
  for (const Run &r : runs) {
    std::unique_ptr<CLogStore> s = NewRun(c, l, r.start, "head");
    ASSERT_TRUE(s) << c->GetErrorSummary() << c->GetErrorText();
    std::vector<uint8_t> recs = l->Records(r.start, r.ms, r.count, r.base);
    ASSERT_EQ(s->WriteLogs(&l->h, recs.data(), static_cast<uint32_t>(r.count)), 0) << s->GetErrorText();
    s->Close();
  }
}

std::string Folder(const std::string &name) {
  std::string dir = tnwtest::Root() + "/drives/c/pv/" + name;
  EXPECT_EQ(os_MakeFolders(dir.c_str()), 0);
  return "C:\\pv\\" + name;
}

std::string FolderLogger(const std::string &name, Layout *l, int32_t shift = 0) {
  std::string win = Folder(name);
  CLogFileCollection c;
  EXPECT_EQ(c.Open("", win.c_str(), "", "P", kRW), 0);
  WriteRuns(&c, l, shift);
  return win;
}

std::string DbLogger(const std::string &catalog, Layout *l) {
  std::string cs = SqlCs(catalog);
  CLogDbCollection c;
  EXPECT_EQ(c.Open(cs.c_str(), "", "P1", "", kRW), 0) << c.GetErrorSummary() << c.GetErrorText();
  WriteRuns(&c, l);
  return cs + ";LoggerName=P1";
}

struct Provider {
  LocalProvider *p = prov_Init();
  ~Provider() { prov_Destroy(p); }
  std::string Ask(const std::string &line, uint32_t capacity = 65512, int *rc = nullptr) {
    std::vector<char> buf(capacity + 16, '\x7E');
    uint32_t n = capacity;
    int r = prov_Dispatch(p, line.data(), static_cast<uint32_t>(line.size()), buf.data(), &n);
    if (rc) *rc = r;
    EXPECT_LE(n, capacity) << line;
    for (size_t i = capacity; i < buf.size(); ++i) EXPECT_EQ(buf[i], '\x7E') << line << " wrote past the reply";
    return std::string(buf.data(), n);
  }
};

std::string Hex(const std::string &s) {
  std::string out;
  char b[4];
  for (unsigned char c : s) {
    if (c >= 32 && c < 127) out.push_back(static_cast<char>(c));
    else snprintf(b, sizeof b, "\\%02X", c), out += b;
  }
  return out;
}

ChannelRecord AsInput(ChannelRecord c) {
  if (c.raw[CHAN_TYPE_OFFSET] == 3) c.raw[CHAN_TYPE_OFFSET] = 1;
  if (c.raw[CHAN_TYPE_OFFSET] == 2) c.raw[CHAN_TYPE_OFFSET] = 0;
  return c;
}

// Every request of the table over one logger; `database` only changes what
// the store keeps of times and the run list's start milliseconds.
void CheckRequestTable(const std::string &server, const Layout &l) {
  Provider pv;
  ASSERT_EQ(prov_Open(pv.p, server.c_str()), 0) << server;
  const int32_t b0 = kT0 + 3600;
  ChannelRecord ai1 = AsInput(l.ai[0]), ai3 = AsInput(l.ai[2]), di2 = AsInput(l.di[1]);
  std::string longTag(16, 'F');
  struct Row {
    std::string line, reply;
  } rows[] = {
      {"QE", Z("0")},
      {"qp", Z("3")},
      {"IP,*,9", Z("1,CUSTAA,PUMP1,AI:3,0,A;CUSTAB,DI CHANNELS,DI:2,0,D;logst,LOGGER STATUS CHANNELS,LS:56,0,A;")},
      {"IP,*,1", Z("1,CUSTAA,PUMP1,AI:3,0,A;")},
      {"IP,custab", Z("1,CUSTAB,DI CHANNELS,DI:2,0,D;")},
      {"IP,LOGST", Z("1,logst,LOGGER STATUS CHANNELS,LS:56,0,A;")},
      {"IP,CUSTAZ", Z("0,")},
      {"TP,*,9", Z("1,1,1,1,1,1,1,")},
      {"CV,AI1,3,DI2", Bytes().T("1,").U32(b0).U16(0).Raw(&ai1, 216).Raw(&ai3, 216).U32(b0).U16(0).Raw(&di2, 216).s},
      {"CV,", Z("0")},
      {"CV,AI,3", Bytes().T("1,").U32(b0).U16(0).Raw(&ai3, 216).s},  // a prefix alone, its numbers after it
      {"CV,AIX,3", Z("-1,87")},
      {"RV,AI1,2,3,DI1,2", Bytes()
                               .T("1,")
                               .U32(b0).U16(0)
                               .U32(0x80).F(120).U32(0x80).F(121).U32(0x80).F(122)
                               .U32(b0).U16(0)
                               .U32(1).U32(0x20)
                               .s},
      {"RV,AI9,XX1", Bytes().T("1,").U32(b0).U16(0).U32(0x20).U32(0).U16(0).U32(0x20).s},
      {"RV,", Z("0")},
      {"TC,flow2,Pump1,NoSuch," + longTag, Bytes().T("1,AI").U16(2).T("DI").U16(1).U32(0).U32(0).s},
      {"RS", Z("0")},
      {"BS", Z("0")},
      {"ES", Z("1")},
      {"DS", Z("0")},
      {"WS", Z("-1,50")},
      {"IS", Z("1," + std::to_string(kT0))},
      {"NS", Z("1," + std::to_string(b0 + 2) + ",8")},
      {"5S,0,0,0,0", Z("1," + std::to_string(kT0) + "," + std::to_string(b0 + 3) + ",8,0,0")},
      {"5S,1," + std::to_string(b0) + ",0,0", Z("1," + std::to_string(b0) + "," + std::to_string(b0 + 3) + ",3,0,0")},
      {"6S," + std::string(100, 'S') + ",0,0", Z("-1,0")},
      {"6S,,0,0", Z("-1,0")},
      {"9S", Z("0")},
      {"ZZ,1", Z("0")},
  };
  // The time-zone block as the store keeps it, after the newest record's time.
  std::string ts = pv.Ask("TS");
  EXPECT_EQ(ts.size(), Z(std::to_string(b0 + 2) + ",500").size() + 172);
  EXPECT_EQ(ts.substr(0, 15), Z(std::to_string(b0 + 2) + ",500"));
  int32_t bias = 0;
  if (ts.size() >= 19) memcpy(&bias, ts.data() + 15, 4);
  EXPECT_TRUE(bias == 0 || bias == -60) << bias;
  for (const Row &r : rows) {
    int rc = -1;
    std::string got = pv.Ask(r.line, 65512, &rc);
    EXPECT_EQ(rc, 1) << r.line;
    EXPECT_EQ(Hex(got), Hex(r.reply)) << r.line;
  }
}

TEST(ProviderRequests, FolderOfRuns) {
  Layout l;
  CheckRequestTable(FolderLogger("table", &l), l);
}

TEST(ProviderRequests, SameRunsInDatabase) {
  Layout l;
  CheckRequestTable(DbLogger("provtable", &l), l);
}

// The rows the two storages serve differently: the storage type.
TEST(ProviderRequests, StatusRowsOfEachStorage) {
  Layout l1, l2;
  std::string folder = FolderLogger("status", &l1), db = DbLogger("provstatus", &l2);
  for (const auto &[server, type] : {std::pair{folder, 0u}, std::pair{db, 1u}}) {
    Provider pv;
    ASSERT_EQ(prov_Open(pv.p, server.c_str()), 0);
    std::string r = pv.Ask("RV,LS1,9");
    ASSERT_EQ(r.size(), 2u + 6 + 4 + 4) << Hex(r);
    uint32_t s1, s9;
    memcpy(&s1, r.data() + 8, 4);
    memcpy(&s9, r.data() + 12, 4);
    EXPECT_EQ(s1 & 0x21, 1u) << server;  // the newest run has not ended
    EXPECT_EQ(s9 & 0x21, type) << server;
    std::string c = pv.Ask("CV,LS1,13");
    ASSERT_EQ(c.size(), 2u + 6 + 2 * 216);
    ChannelRecord status, units;
    memcpy(&status, c.data() + 8, 216);
    memcpy(&units, c.data() + 8 + 216, 216);
    EXPECT_STREQ(chan_GetTag(&status), "0001_STATUS");
    EXPECT_EQ(status.raw[CHAN_TYPE_OFFSET], 3);
    EXPECT_TRUE(chan_FlagBit(&status, CHAN_FLAG_ENABLE));
    EXPECT_STREQ(chan_GetDescription(&units), "DATE OF LAST WRITE");
    EXPECT_EQ(units.raw[CHAN_TYPE_OFFSET], 2);
  }
}

// A live resubscriber of the provider's runs publishes rows 1-32 itself: the
// provider serves them from the "LS" area, and computes them when no logger
// of the table matches its type, connection and path.
TEST(ProviderStatus, LiveResubLoggersRowsFromTheArea) {
  SimWorldSpec w;
  SimProcessorSpec logst;
  logst.name = "logst";
  logst.code = "LS";
  logst.kind = SIM_LOGGER_STATUS_KIND;
  w.processors = {logst};
  w.processorAreas = {{"LS", 64, {}}};
  w.loggers = {"LOGA", "LOGB"};
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  Layout l;
  const std::string folder = FolderLogger("resub_live", &l);
  // Logger 2's rows: STATUS good and off, NO WRITES 42, its own record of row 1.
  void *data = sim_Area("LS", SHM_AREA_DATA);
  ASSERT_NE(data, nullptr);
  shm_AreaStatusWords(data)[32] = 0;
  shm_AreaValues(data)[32] = 0;
  shm_AreaStatusWords(data)[32 + 15] = CST_ANALOGUE;
  shm_AreaValues(data)[32 + 15] = 42;
  ChannelRecord *records = reinterpret_cast<ChannelRecord *>(shm_AreaRecords(sim_Area("LS", SHM_AREA_CONF)));
  chan_SetTag(&records[32], "0002_STATUS");
  ASSERT_EQ(shm_AttachLoggers(), 0);
  LoggerRecord *logb = reinterpret_cast<LoggerRecord *>(shm_LoggerTable()->first) + 1;

  std::string lower = folder;
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  const std::string live = Bytes().T("1,").U32(0).U16(0).U32(0).U32(CST_ANALOGUE).F(42).U32(0xA0).s;
  struct Case {
    const char *what, *type, *connection;
    std::string path;
    bool live;
  } cases[] = {
      {"a resubscriber of this folder", "resub", "", folder, true},
      {"letter case aside", "RESUBSCRIBER", "", lower, true},
      {"a standard logger", "stand", "", folder, false},
      {"a resubscriber of another server", "resub", "OTHERHOST", folder, false},
      {"a resubscriber of another folder", "resub", "", folder + "X", false},
  };
  Provider pv;
  ASSERT_EQ(prov_Open(pv.p, folder.c_str()), 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    memset(logb->TypeName, 0, sizeof logb->TypeName);
    memset(logb->Connection, 0, sizeof logb->Connection);
    memset(logb->Path, 0, sizeof logb->Path);
    snprintf(logb->TypeName, sizeof logb->TypeName, "%.8s", c.type);
    snprintf(logb->Connection, sizeof logb->Connection, "%s", c.connection);
    snprintf(logb->Path, sizeof logb->Path, "%s", c.path.c_str());
    std::string rv = pv.Ask("RV,LS1,16,40");
    std::string cv = pv.Ask("CV,LS1");
    ASSERT_EQ(cv.size(), 2u + 6 + 216);
    ChannelRecord r;
    memcpy(&r, cv.data() + 8, 216);
    if (c.live) {
      EXPECT_EQ(Hex(rv), Hex(live));
      EXPECT_STREQ(chan_GetTag(&r), "0002_STATUS");
    } else {
      ASSERT_GE(rv.size(), 12u);
      uint32_t s1;
      memcpy(&s1, rv.data() + 8, 4);
      EXPECT_EQ(s1 & 0x21, 1u) << "computed: the newest run has not ended";
      EXPECT_STREQ(chan_GetTag(&r), "0001_STATUS");
    }
  }
  prov_Close(pv.p);
  sim_DestroyWorld();
}

// Area codes such as "A1": a letter and a digit name the prefix the run holds.
TEST(ProviderRequests, PrefixOfALetterAndADigit) {
  Layout l("A1");
  Provider pv;
  ASSERT_EQ(prov_Open(pv.p, FolderLogger("area", &l).c_str()), 0);
  const uint32_t b0 = kT0 + 3600;
  EXPECT_EQ(Hex(pv.Ask("RV,A11,2")), Hex(Bytes().T("1,").U32(b0).U16(0).U32(0x80).F(120).U32(0x80).F(121).s));
  std::string one = pv.Ask("CV,A13");
  ASSERT_EQ(one.size(), 2u + 6 + 216);
  EXPECT_EQ(pv.Ask("CV,A1,3"), one);
  ChannelRecord c;
  memcpy(&c, one.data() + 8, 216);
  EXPECT_STREQ(chan_GetTag(&c), "Flow3");
  // "A9" is no prefix of the run: the one-letter reading, no such channel.
  EXPECT_EQ(Hex(pv.Ask("RV,A91")), Hex(Bytes().T("1,").U32(0).U16(0).U32(0x20).s));
}

TEST(ProviderTime, LookupTable) {
  auto ts = [](int32_t s, int16_t ms) { return TimeStamp{s, ms, 0}; };
  struct Case {
    const char *what;
    std::vector<TimeStamp> times;
    TimeStamp sought;
    int64_t want;
  } cases[] = {
      {"one record, before", {ts(100, 0)}, ts(50, 0), 0},
      {"one record, at", {ts(100, 0)}, ts(100, 0), 0},
      {"one record, after", {ts(100, 0)}, ts(500, 0), 0},
      {"all at one time, before", {ts(100, 5), ts(100, 5), ts(100, 5)}, ts(99, 0), 0},
      {"all at one time, at", {ts(100, 5), ts(100, 5), ts(100, 5)}, ts(100, 5), 2},
      {"all at one time, after", {ts(100, 5), ts(100, 5), ts(100, 5)}, ts(101, 0), 2},
      {"before the first", {ts(10, 0), ts(20, 0), ts(30, 0)}, ts(5, 0), 0},
      {"after the last", {ts(10, 0), ts(20, 0), ts(30, 0)}, ts(31, 0), 2},
      {"between", {ts(10, 0), ts(20, 0), ts(30, 0), ts(40, 0)}, ts(25, 0), 1},
      {"equal seconds, ms between", {ts(10, 100), ts(10, 200), ts(10, 300), ts(10, 400)}, ts(10, 250), 1},
      {"equal seconds, ms exact", {ts(10, 100), ts(10, 200), ts(10, 300), ts(10, 400)}, ts(10, 300), 2},
      {"equal seconds, ms before all", {ts(10, 100), ts(10, 200)}, ts(10, 99), 0},
      {"uneven spacing", {ts(0, 0), ts(1, 0), ts(2, 0), ts(3, 0), ts(1000000, 0)}, ts(2, 500), 2},
  };
  for (const Case &c : cases) {
    auto at = [](void *ctx, int64_t i, TimeStamp *t) {
      *t = (*static_cast<const std::vector<TimeStamp> *>(ctx))[static_cast<size_t>(i)];
      return 0;
    };
    EXPECT_EQ(prov_FindRecord(static_cast<int64_t>(c.times.size()), c.sought, at,
                              const_cast<std::vector<TimeStamp> *>(&c.times)),
              c.want)
        << c.what;
  }
}

TEST(ProviderTime, EstimateIsExact) {
  struct Case {
    int64_t first, last, sought, count, want;
  } cases[] = {
      {5, 5, 5, 10, 0},                                           // no span: no division by zero
      {5, 5, 9, 10, 0},
      {0, 100, 50, 11, 5},
      {0, 100, 100, 11, 10},
      {0, 100, -7, 11, 0},
      {0, 100, 1000, 11, 10},
      // 10^15 us (31 years) x 2^31 records passes 64 bits: exact, not wrapped.
      {0, 1000000000000000, 999999999999999, int64_t{1} << 31, (int64_t{1} << 31) - 1},
      {0, 1000000000000000, 500000000000000, int64_t{1} << 31, int64_t{1} << 30},
  };
  for (const Case &c : cases)
    EXPECT_EQ(prov_EstimateIndex(c.first, c.last, c.sought, c.count), c.want) << c.first << " " << c.sought;
}

TEST(ProviderOpen, PartnerNames) {
  struct Case {
    const char *name, *partner;
  } cases[] = {
      {"D:\\LOG\\P1_FAST_LOG", "D:\\LOG\\P1"},
      {"D:\\LOG\\P1FAST_LOG", "D:\\LOG\\P1SLOW_LOG"},
      {"D:\\LOG\\p1_fast_log", "D:\\LOG\\p1"},
      {"D:\\LOG\\P1", ""},
      {"_FAST_LOG", "_SLOW_LOG"},  // 9 characters: only the second rule applies
      {"FAST_LOG", ""},
  };
  char out[64];
  for (const Case &c : cases) {
    prov_PartnerName(c.name, out, sizeof out);
    EXPECT_STREQ(out, c.partner) << c.name;
  }
}

TEST(ProviderOpen, Failures) {
  Provider a, b, c;
  EXPECT_EQ(prov_Open(a.p, "Provider=SQLOLEDB;Data Source=.;Initial Catalog=x"), -1);  // no logger name
  EXPECT_EQ(os_GetLastError(), 0u);
  EXPECT_EQ(prov_Open(b.p, Folder("empty").c_str()), -1);  // no run
  EXPECT_EQ(prov_Open(c.p, "C:\\pv\\missing\\folder"), -1);
}

// The partner's value stands in for a channel the primary does not log,
// while its newest record lies within 180 s of the primary's.
TEST(ProviderPartner, WithinAndPast180Seconds) {
  for (int32_t shift : {170, 181}) {
    std::string name = "partner" + std::to_string(shift);
    Layout fast, slow("AO", "Out");
    std::string primary = FolderLogger(name + "_FAST_LOG", &fast);
    FolderLogger(name, &slow, shift);
    Provider pv;
    ASSERT_EQ(prov_Open(pv.p, primary.c_str()), 0);
    std::string r = pv.Ask("RV,AO1");
    Bytes want;
    want.T("1,").U32(kT0 + shift + 3600).U16(0);
    if (shift <= 180) want.U32(0x80).F(120);
    else want.U32(0x20);
    EXPECT_EQ(Hex(r), Hex(want.s)) << shift;
    // The listing follows the partner: its prefixes.
    EXPECT_EQ(pv.Ask("IP,*,1"), Z("1,CUSTAA,PUMP1,AO:3,0,A;"));
  }
}

// "7S" and "8S" read and write only buffers the thread lent for them.
class ProviderHistory : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = FolderLogger(std::string("history_") + ::testing::UnitTest::GetInstance()->current_test_info()->name(), &l_);
    ASSERT_EQ(prov_Open(pv_.p, server_.c_str()), 0);
  }
  void TearDown() override { prov_ClearBuffers(); }
  std::string Line(const char *cmd, int fromFlag, int toFlag, uint32_t capacity) {
    char b[400];
    snprintf(b, sizeof b, "%s,%d,%lld,%d,%lld,%lld,%u,%lld,%lld,%lld,%d", cmd, fromFlag, Addr(&from_), toFlag,
             Addr(&to_), Addr(list_), capacity, Addr(times_), Addr(values_), Addr(text_), int{sizeof text_});
    std::string s = b;
    if (cmd[0] == '8') s += "," + std::to_string(Addr(passed_));
    return s;
  }
  static long long Addr(const void *p) { return static_cast<long long>(reinterpret_cast<uintptr_t>(p)); }
  void LendAll() {
    prov_RegisterBuffer(&from_, sizeof from_);
    prov_RegisterBuffer(&to_, sizeof to_);
    prov_RegisterBuffer(list_, sizeof list_);
    prov_RegisterBuffer(times_, sizeof times_);
    prov_RegisterBuffer(values_, sizeof values_);
    prov_RegisterBuffer(text_, sizeof text_);
    prov_RegisterBuffer(passed_, sizeof passed_);
  }
  float V(int rec, int ch) const {
    float f;
    memcpy(&f, &values_[(rec * 4 + ch) * 4], 4);
    return f;
  }
  uint32_t W(int rec, int ch) const {
    uint32_t w;
    memcpy(&w, &values_[(rec * 4 + ch) * 4], 4);
    return w;
  }

  Layout l_;
  std::string server_;
  Provider pv_;
  TimeStamp from_{}, to_{};
  char list_[64] = "AI1,AI2,DI1,XX7";
  TimeStamp times_[10] = {};
  uint8_t values_[10 * 4 * 4] = {};
  char text_[256] = {};
  uint32_t passed_[10] = {};
};

TEST_F(ProviderHistory, UnlentBuffersAreRefused) {
  EXPECT_EQ(pv_.Ask(Line("7S", 0, 0, 10)), Z("-1,87"));
  prov_RegisterBuffer(list_, sizeof list_);
  prov_RegisterBuffer(times_, sizeof times_);
  // The value array is not lent; nor is a capacity beyond the lent times.
  EXPECT_EQ(pv_.Ask(Line("7S", 0, 0, 10)), Z("-1,87"));
  prov_RegisterBuffer(values_, sizeof values_);
  prov_RegisterBuffer(text_, sizeof text_);
  EXPECT_EQ(pv_.Ask(Line("7S", 0, 0, 11)), Z("-1,87"));
  EXPECT_EQ(pv_.Ask(Line("7S", 1, 0, 10)), Z("-1,87"));  // from time not lent
  EXPECT_EQ(pv_.Ask(Line("7S", 0, 0, 10)), Z("1,8,0,0"));
  EXPECT_EQ(pv_.Ask("7S,0,0,0,0,12345,1,0,0,0,0"), Z("-1,87"));  // any address from a line
  EXPECT_EQ(pv_.Ask("6S,TEXT,12345,10"), Z("-1,87"));
  for (uint8_t b : std::string(reinterpret_cast<const char *>(&from_), sizeof from_)) EXPECT_EQ(b, 0);
}

TEST_F(ProviderHistory, RecordsWithinRange) {
  LendAll();
  from_ = {kT0 + 3, 0, 0};
  to_ = {kT0 + 3601, 0, 0};
  uint8_t untouched = 0xAB;
  memset(values_, untouched, sizeof values_);
  ASSERT_EQ(pv_.Ask(Line("7S", 1, 1, 10)), Z("1,3,0,0"));
  // Run A's records 3 and 4, run B's record 0; run B's record 1 is at the end.
  const TimeStamp want[] = {{kT0 + 3, 250, 0}, {kT0 + 4, 250, 0}, {kT0 + 3600, 500, 0}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(times_[i].seconds, want[i].seconds) << i;
    EXPECT_EQ(times_[i].ms, want[i].ms) << i;
  }
  EXPECT_EQ(V(0, 0), 30.0f);
  EXPECT_EQ(values_[(0 * 4 + 1) * 4], untouched);  // AI2 bad on record 3: left alone
  EXPECT_EQ(V(0, 2), 0.0f);                         // DI1 off on odd records
  EXPECT_EQ(W(0, 3), 2147483647u);                  // no such channel
  EXPECT_EQ(V(1, 1), 41.0f);
  EXPECT_EQ(V(1, 2), 1.0f);
  EXPECT_EQ(V(2, 0), 100.0f);
  EXPECT_EQ(times_[3].seconds, 0);  // nothing past what was delivered
  // The capacity stops the read.
  EXPECT_EQ(pv_.Ask(Line("7S", 0, 0, 2)), Z("1,2,0,0"));
  EXPECT_EQ(times_[1].seconds, kT0 + 1);
}

TEST_F(ProviderHistory, CacheLimitGivesTheSameRecords) {
  LendAll();
  std::string cached = pv_.Ask(Line("7S", 0, 0, 10));
  std::vector<uint8_t> v1(values_, values_ + sizeof values_);
  std::vector<TimeStamp> t1(times_, times_ + 10);
  prov_SetCacheLimit(0);
  Provider uncached;
  ASSERT_EQ(prov_Open(uncached.p, server_.c_str()), 0);
  memset(values_, 0, sizeof values_);
  memset(times_, 0, sizeof times_);
  EXPECT_EQ(uncached.Ask(Line("7S", 0, 0, 10)), cached);
  prov_SetCacheLimit(64ull << 20);
  EXPECT_EQ(cached, Z("1,8,0,0"));
  EXPECT_EQ(std::vector<uint8_t>(values_, values_ + sizeof values_), v1);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(times_[i].seconds, t1[static_cast<size_t>(i)].seconds);
}

TEST_F(ProviderHistory, ChangedRecordsOnly) {
  LendAll();
  snprintf(list_, sizeof list_, "AI1");
  // AI1 changes on every record: all delivered, nothing passed over.
  EXPECT_EQ(pv_.Ask(Line("8S", 0, 0, 10)), Z("1,8,0,0"));
  snprintf(list_, sizeof list_, "DI2");
  // DI2 is bad throughout: one record stands for each run.
  EXPECT_EQ(pv_.Ask(Line("8S", 0, 0, 10)), Z("1,1,0,0"));
  snprintf(list_, sizeof list_, "%s", "");
  int rc = -1;
  EXPECT_EQ(pv_.Ask(Line("8S", 0, 0, 10), 64, &rc), "");
  EXPECT_EQ(rc, 0);  // an empty list gets no reply
}

// Records written again into a run come back through the history requests
// once its "SCAN UPDATES" or "BACKFILLS" section tells of them; the lines a
// rebuild finds new end the replies.
TEST_F(ProviderHistory, RewrittenRecordsAfterUpdateLines) {
  LendAll();
  const std::string summary = "5S,0,0,0,0";
  ASSERT_EQ(pv_.Ask(summary), Z("1," + std::to_string(kT0) + "," + std::to_string(kT0 + 3603) + ",8,0,0"));
  ASSERT_EQ(pv_.Ask(Line("7S", 0, 0, 10)), Z("1,8,0,0"));
  EXPECT_EQ(V(2, 0), 20.0f);  // run A's record 2, now cached

  CLogFileCollection c;
  ASSERT_EQ(c.Open("", server_.c_str(), "", "P", kRW), 0);
  ASSERT_TRUE(c.FirstRun(nullptr));
  char runA[LOG_RUN_NAME_MAX + 1];
  LogRunTime s{}, e{};
  ASSERT_TRUE(c.NextRun(runA, &s, &e));
  std::unique_ptr<CLogStore> a(c.OpenStore(runA, kRW));
  ASSERT_TRUE(a);
  LogFileHeader h;
  ASSERT_EQ(a->ReadHeader(&h), 0);
  std::vector<uint8_t> rec = l_.Records(kT0 + 2, 250, 1, 0);
  const float rewritten = 999;
  memcpy(&rec[24], &rewritten, 4);
  ASSERT_EQ(a->WriteLog(2, &h, rec.data(), h.recordSize), 0);
  auto stamp = [](int32_t sec) { return txt_FormatStamp(TimeStamp{sec, 250, 0}, false); };
  // Two spans (one in each section) and lines that are not spans.
  ASSERT_EQ(a->WriteTextAt({kT0 + 2, 250, 0}, (stamp(kT0 + 2) + "rescanned").c_str(), nullptr, "SCAN UPDATES"), 0);
  ASSERT_EQ(a->WriteTextAt({kT0 + 1, 250, 0}, (stamp(kT0 + 2) + "backfilled").c_str(), nullptr, "BACKFILLS"), 0);
  ASSERT_EQ(a->WriteTextAt({kT0 + 3, 250, 0}, "one stamp only", nullptr, "BACKFILLS"), 0);
  a->Close();

  // The next rebuild (at most one a second) finds the two new lines.
  std::string r;
  EXPECT_TRUE(tnwtest::Until([&] { return (r = pv_.Ask(summary)).find(",8,0,2") != std::string::npos; }, 3000)) << r;
  memset(values_, 0, sizeof values_);
  std::string history = pv_.Ask(Line("7S", 0, 0, 10));
  EXPECT_TRUE(history == Z("1,8,0,2") || history == Z("1,8,0,0")) << history;
  EXPECT_EQ(V(2, 0), rewritten);
  EXPECT_EQ(V(1, 0), 10.0f);
  EXPECT_EQ(V(5, 0), 100.0f);
  std::string changed = pv_.Ask(Line("8S", 0, 0, 10));
  EXPECT_TRUE(changed == Z("1,8,0,2") || changed == Z("1,8,0,0")) << changed;
  // Seen once, the lines are not new again.
  EXPECT_TRUE(tnwtest::Until([&] { return (r = pv_.Ask(summary)).find(",8,0,0") != std::string::npos; }, 3000)) << r;
}

TEST(ProviderReplies, NeverPastTheCapacity) {
  Layout l;
  Provider pv;
  ASSERT_EQ(prov_Open(pv.p, FolderLogger("capacity", &l).c_str()), 0);
  std::string many = "CV,AI1";
  for (int i = 0; i < 200; ++i) many += ",1";
  // 201 records of 216 bytes after "1," and the group's start time.
  EXPECT_EQ(pv.Ask(many, 43423), Z("-1,234"));
  EXPECT_EQ(pv.Ask(many, 43424).size(), 43424u);
  EXPECT_EQ(pv.Ask("TS", 50), Z("-1,234"));
  EXPECT_EQ(pv.Ask("QP", 1), "");  // not even the error fits
  EXPECT_EQ(pv.Ask("IP,*,9", 20), Z("-1,234"));
}

TEST(ProviderReplies, SectionsIntoLentBuffer) {
  Layout l;
  std::string win = Folder("sections");
  {
    CLogFileCollection c;
    ASSERT_EQ(c.Open("", win.c_str(), "", "P", kRW), 0);
    std::unique_ptr<CLogStore> s = NewRun(&c, &l, kT0, "[HEADER]\r\nthe header\r\n");
    ASSERT_TRUE(s);
    std::vector<uint8_t> recs = l.Records(kT0, 0, 2, 0);
    ASSERT_EQ(s->WriteLogs(&l.h, recs.data(), 2), 0);
    ASSERT_EQ(s->WriteText(kT0 + 1, "pump started", nullptr, "TEXT"), 0);
    s->Close();
  }
  Provider pv;
  ASSERT_EQ(prov_Open(pv.p, win.c_str()), 0);
  char buf[128];
  memset(buf, 'x', sizeof buf);
  prov_RegisterBuffer(buf, sizeof buf);
  std::string line = "6S,TEXT," + std::to_string(reinterpret_cast<uintptr_t>(buf)) + ",128";
  std::string r = pv.Ask(line);
  ASSERT_EQ(r.substr(0, 2), "1,");
  size_t n = std::stoul(r.substr(2));
  EXPECT_EQ(strlen(buf), n);
  EXPECT_NE(std::string(buf).find("pump started"), std::string::npos) << buf;
  EXPECT_EQ(pv.Ask("5S,0,0,0,0"), Z("1," + std::to_string(kT0) + "," + std::to_string(kT0 + 2) + ",2," +
                                   std::to_string(n + 1) + ",0"));
  // A capacity smaller than the text: cut, still terminated.
  line = "6S,HEADER," + std::to_string(reinterpret_cast<uintptr_t>(buf)) + ",5";
  EXPECT_EQ(pv.Ask(line), Z("1,4"));
  EXPECT_EQ(buf[4], '\0');
  prov_ClearBuffers();
}

TEST(ProviderReplies, NoRecordsNoReply) {
  Layout l;
  std::string win = Folder("norecords");
  {
    CLogFileCollection c;
    ASSERT_EQ(c.Open("", win.c_str(), "", "P", kRW), 0);
    std::unique_ptr<CLogStore> s = NewRun(&c, &l, kT0);
    ASSERT_TRUE(s);
    s->Close();
  }
  Provider pv;
  EXPECT_EQ(prov_Open(pv.p, win.c_str()), 0);
  remove(os_DebugOutputPath().c_str());
  int rc = -1;
  EXPECT_EQ(pv.Ask("RV,AI1", 100, &rc), "");
  EXPECT_EQ(rc, 0);
  EXPECT_NE(tnwtest::ReadFile(os_DebugOutputPath()).find("No RT Records GraphFiltered for 0:d\r\n"), std::string::npos)
      << tnwtest::ReadFile(os_DebugOutputPath());
}

// A database logger started again makes a new run that has no record until
// its first write. A provider that was open keeps serving the old run; one
// opened meanwhile has nothing to serve: no reply, which the connection
// table gives as error 232 on a connection that stays, until a refresh after
// that first record.
TEST(ProviderConnection, ANewRunWithoutRecordsGetsNoReplyUntilItsFirst) {
  con_InstallTransports();
  Layout l;
  const std::string cs = SqlCs("emptyrun");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "P1", "", kRW), 0) << c.GetErrorSummary() << c.GetErrorText();
  {
    std::unique_ptr<CLogStore> old = NewRun(&c, &l, kT0);
    ASSERT_TRUE(old);
    std::vector<uint8_t> recs = l.Records(kT0, 0, 2, 0);
    ASSERT_EQ(old->WriteLogs(&l.h, recs.data(), 2), 0) << old->GetErrorText();
    old->Close();
  }
  const std::string server = cs + ";LoggerName=P1";
  Provider before;
  ASSERT_EQ(prov_Open(before.p, server.c_str()), 0);
  auto startOf = [](const std::string &reply) {
    uint32_t t = 0;
    if (reply.size() >= 6 && reply.compare(0, 2, "1,") == 0) memcpy(&t, reply.data() + 2, 4);
    return t;
  };
  EXPECT_EQ(startOf(before.Ask("CV,AI1")), static_cast<uint32_t>(kT0));

  const int32_t restart = kT0 + 600;
  std::unique_ptr<CLogStore> fresh = NewRun(&c, &l, restart);
  ASSERT_TRUE(fresh);
  prov_SetNewerRunMs(0);
  std::vector<char> reply(4096);
  auto transact = [&](uint32_t *err) {
    int n = static_cast<int>(reply.size());
    int rc = con_Transact(server.c_str(), "CV,AI1", 7, reply.data(), &n);
    *err = rc < 0 ? os_GetLastError() : 0;
    return rc < 0 ? 0u : startOf(std::string(reply.data(), static_cast<size_t>(n)));
  };
  // Asked twice, past the refresh period: still nothing, and the connection stays.
  uint32_t err = 0;
  EXPECT_EQ(transact(&err), 0u);
  EXPECT_EQ(err, static_cast<uint32_t>(OS_ERROR_NO_DATA));
  std::this_thread::sleep_for(std::chrono::milliseconds(PROV_REFRESH_MS + 50));
  EXPECT_EQ(transact(&err), 0u);
  EXPECT_EQ(err, static_cast<uint32_t>(OS_ERROR_NO_DATA));
  EXPECT_EQ(startOf(before.Ask("CV,AI1")), static_cast<uint32_t>(kT0)) << "the open provider lost its run";

  std::vector<uint8_t> first = l.Records(restart, 0, 1, 0);
  ASSERT_EQ(fresh->WriteLogs(&l.h, first.data(), 1), 0) << fresh->GetErrorText();
  const auto written = std::chrono::steady_clock::now();
  uint32_t start = 0;
  while (start == 0 && std::chrono::steady_clock::now() - written < std::chrono::seconds(3)) start = transact(&err);
  EXPECT_EQ(start, static_cast<uint32_t>(restart)) << "error " << err;
  EXPECT_LT(std::chrono::steady_clock::now() - written, std::chrono::milliseconds(3 * PROV_REFRESH_MS));
  // The provider that was open takes the newer run at its next look.
  start = 0;
  while (start != static_cast<uint32_t>(restart) && std::chrono::steady_clock::now() - written < std::chrono::seconds(3))
    start = startOf(before.Ask("CV,AI1"));
  EXPECT_EQ(start, static_cast<uint32_t>(restart));
  prov_SetNewerRunMs(PROV_NEWER_RUN_MS);
  fresh->Close();
  con_CloseAllConnections();
}

// Through the connection table: a folder string opens a provider, and
// "CV" and "RV" read as result 1.
TEST(ProviderConnection, KindThreeThroughTheTable) {
  con_InstallTransports();
  Layout l;
  std::string win = FolderLogger("conn", &l);
  std::vector<char> reply(65512);
  for (const char *line : {"CV,AI1", "RV,AI1", "QP"}) {
    int n = static_cast<int>(reply.size());
    EXPECT_EQ(con_Transact(win.c_str(), line, static_cast<int>(strlen(line) + 1), reply.data(), &n),
              line[0] == 'Q' ? 3 : 1)
        << line;
  }
  std::string url = "file:///C:/pv/conn";
  int n = static_cast<int>(reply.size());
  EXPECT_EQ(con_Transact(url.c_str(), "QP", 3, reply.data(), &n), 3);
  n = static_cast<int>(reply.size());
  EXPECT_EQ(con_Transact("C:\\pv\\nothing_here", "QP", 3, reply.data(), &n), -1);
  con_CloseAllConnections();
}

}  // namespace

namespace {

// Closing gives a run that has a stop time, still under its open name, its
// closed name; a run without one (a writer's live run) keeps its name.
TEST(ProviderClose, StoppedRunsTakeTheirClosedName) {
  Layout l;
  std::string win = Folder("closing");
  std::string dir = tnwtest::Root() + "/drives/c/pv/closing";
  {
    CLogFileCollection c;
    ASSERT_EQ(c.Open("", win.c_str(), "", "P", kRW), 0);
    for (int32_t start : {kT0, kT0 + 3600}) {
      std::unique_ptr<CLogStore> s = NewRun(&c, &l, start);
      ASSERT_TRUE(s);
      std::vector<uint8_t> recs = l.Records(start, 0, 2, 0);
      ASSERT_EQ(s->WriteLogs(&l.h, recs.data(), 2), 0);
      if (start == kT0) {
        LogFileHeader h{};
        ASSERT_EQ(s->ReadHeader(&h), 0);
        h.stop = {kT0 + 2, 0, 0};
        ASSERT_EQ(s->WriteHeader(&h, nullptr), 0);
      }
      s->Close();
    }
  }
  char a[14], b[14], e[14];
  log_FormatStamp(kT0, a);
  log_FormatStamp(kT0 + 3600, b);
  log_FormatStamp(kT0 + 2, e);
  {
    Provider pv;
    ASSERT_EQ(prov_Open(pv.p, win.c_str()), 0);
    EXPECT_EQ(pv.Ask("5S,0,0,0,0").substr(0, 2), "1,");
  }
  std::string closed = dir + "/P" + a + "_" + e + ".odl", open = dir + "/P" + b + ".odl";
  EXPECT_FALSE(tnwtest::ReadFile(closed).empty()) << closed;
  EXPECT_TRUE(tnwtest::ReadFile(dir + "/P" + a + ".odl").empty());
  EXPECT_FALSE(tnwtest::ReadFile(open).empty()) << open;
}

}  // namespace

namespace {

// A provider opened, asked and closed again and again, as a client's
// connections come and go, leaves nothing behind: its stores, run list and
// record caches go with it.
TEST(ProviderClose, OpenAndCloseLeaveTheHeapLevel) {
  Layout lf, ld;
  const std::string servers[] = {FolderLogger("level", &lf), DbLogger("provlevel", &ld)};
  const char *const asks[] = {"CV,AI1,3,DI2", "RV,AI1,2,3,DI1,2", "NS", "5S,0,0,0,0", "IP,*,9", "RS"};
  for (const std::string &server : servers) {
    auto cycle = [&] {
      Provider pv;
      ASSERT_EQ(prov_Open(pv.p, server.c_str()), 0) << server;
      for (const char *a : asks) EXPECT_FALSE(pv.Ask(a).empty()) << a;
    };
    // The first dozens fill what lives as long as the process (the platform's
    // tables, SQLite's, the allocator's per-thread caches): 30 kB, then level.
    for (int i = 0; i < 50; ++i) cycle();
    const uint64_t before = tnwtest::HeapInUse();
    const int kCycles = 300;
    for (int i = 0; i < kCycles; ++i) cycle();
    // 16 kB over 300 cycles: a leak of 56 bytes a cycle shows.
    EXPECT_LE(tnwtest::HeapInUse(), before + 16 * 1024) << server;
  }
}

}  // namespace

namespace {

// A run still being written: "RV" shows a record appended after the
// provider opened within the 500 ms between record reads.
TEST(ProviderLive, FollowsTheWriter) {
  Layout l;
  std::string win = Folder("live");
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win.c_str(), "", "P", kRW), 0);
  std::unique_ptr<CLogStore> writer = NewRun(&c, &l, kT0);
  ASSERT_TRUE(writer);
  std::vector<uint8_t> recs = l.Records(kT0, 0, 3, 0);
  ASSERT_EQ(writer->WriteLogs(&l.h, recs.data(), 2), 0);
  Provider pv;
  ASSERT_EQ(prov_Open(pv.p, win.c_str()), 0);
  auto value = [&] {
    std::string r = pv.Ask("RV,AI1");
    float f = -1;
    if (r.size() == 16) memcpy(&f, r.data() + 12, 4);
    return f;
  };
  EXPECT_EQ(value(), 10.0f);
  ASSERT_EQ(writer->WriteLogs(&l.h, recs.data() + 2 * l.h.recordSize, 1), 0);
  auto appended = std::chrono::steady_clock::now();
  float now = value();
  while (now != 20.0f && std::chrono::steady_clock::now() - appended < std::chrono::seconds(3)) now = value();
  EXPECT_EQ(now, 20.0f);
  EXPECT_LT(std::chrono::steady_clock::now() - appended, std::chrono::milliseconds(700));
  writer->Close();
}

}  // namespace

namespace {

// Pseudo-processor names past the first 26 prefixes, and a count that stops
// before the status entry.
TEST(ProviderRequests, ProcessorNamesAndCounts) {
  LogFileHeader h{};
  h.type = LOG_FILE_TYPE;
  const int kBlocks = 28;
  std::vector<std::string> prefixes;
  for (int b = 0; b < kBlocks; ++b) prefixes.push_back(std::string(1, char('A' + b / 26)) + char('A' + b % 26));
  for (int b = 0; b < kBlocks; ++b) {
    memcpy(h.blocks[b].prefix, prefixes[size_t(b)].data(), 2);
    h.blocks[b].first = h.blocks[b].last = 1;
    h.blocks[b].kind = 8;
    h.blocks[b].statusOffset = static_cast<uint16_t>(12 + 8 * b);
  }
  h.blockCount = kBlocks;
  h.recordSize = 12 + 8 * kBlocks;
  std::vector<ChannelRecord> recs(kBlocks);
  memset(recs.data(), 0, recs.size() * sizeof(ChannelRecord));
  std::vector<ChannelRecord *> blocks;
  for (auto &r : recs) blocks.push_back(&r);
  std::string win = Folder("many");
  {
    CLogFileCollection c;
    ASSERT_EQ(c.Open("", win.c_str(), "", "P", kRW), 0);
    h.start = {kT0, 0, 0};
    int32_t start = kT0;
    std::unique_ptr<CLogStore> s(c.CreateRun(&start, 1, nullptr, &h, nullptr, 0, nullptr, nullptr, blocks.data()));
    ASSERT_TRUE(s);
    std::vector<uint8_t> rec(h.recordSize, 0);
    uint16_t mark = LOG_RECORD_MARK;
    memcpy(rec.data(), &mark, 2);
    TimeStamp t{kT0, 0, 0};
    memcpy(rec.data() + 4, &t, 8);
    ASSERT_EQ(s->WriteLogs(&h, rec.data(), 1), 0);
    s->Close();
  }
  Provider pv;
  ASSERT_EQ(prov_Open(pv.p, win.c_str()), 0);
  EXPECT_EQ(pv.Ask("QP"), Z("29"));
  EXPECT_EQ(pv.Ask("IP,CUSTAZ"), Z("1,CUSTAZ,AZ CHANNELS,AZ:1,0,A;"));
  EXPECT_EQ(pv.Ask("IP,CUSTBA"), Z("1,CUSTBA,BA CHANNELS,BA:1,0,A;"));
  EXPECT_EQ(pv.Ask("IP,custbb"), Z("1,CUSTBB,BB CHANNELS,BB:1,0,A;"));
  EXPECT_EQ(pv.Ask("IP,*,2"), Z("1,CUSTAA,AA CHANNELS,AA:1,0,A;CUSTAB,AB CHANNELS,AB:1,0,A;"));
  std::string all = pv.Ask("IP,*,99");
  EXPECT_NE(all.find(";logst,LOGGER STATUS CHANNELS,LS:56,0,A;"), std::string::npos);
  EXPECT_EQ(pv.Ask("IP,*,x"), Z("0,"));
}

}  // namespace

namespace {

// The channels of the web pages are counted once, from the menu beside the
// "LOGGED_DATA" level and its dashboards; the debugger output says how it went.
TEST(ProviderWebHmi, MenuDashboardsAndDebuggerLines) {
  std::string root = tnwtest::Root() + "/drives/c/pvweb";
  ASSERT_EQ(os_MakeFolders((root + "/WEBHMI/DASHBOARDS").c_str()), 0);
  ASSERT_TRUE(tnwtest::WriteFile(root + "/WEBHMI/menu.xml",
                                 "<Menu><Group><Item>d1.xml</Item></Group><Item>missing.xml</Item></Menu>"));
  ASSERT_TRUE(tnwtest::WriteFile(root + "/WEBHMI/DASHBOARDS/d1.xml",
                                 "<Dashboard><channel><prefix>AI</prefix><no>1</no></channel>"
                                 "<XChannel><prefix>ai</prefix><no>1</no></XChannel>"
                                 "<XChannel><prefix>DI2x</prefix><no>2</no></XChannel>"
                                 "<channel><prefix></prefix><no>3</no></channel>"
                                 "<channel><prefix>AO</prefix><no>0</no></channel></Dashboard>"));
  ASSERT_EQ(os_MakeFolders((root + "/LOGGED_DATA/web").c_str()), 0);
  Layout l1, l2;
  std::string withMenu = "C:\\pvweb\\LOGGED_DATA\\web";
  {
    CLogFileCollection c;
    ASSERT_EQ(c.Open("", withMenu.c_str(), "", "P", kRW), 0);
    WriteRuns(&c, &l1);
  }
  std::string without = FolderLogger("webless", &l2);
  remove(os_DebugOutputPath().c_str());
  for (const std::string &server : {withMenu, without}) {
    Provider pv;
    ASSERT_EQ(prov_Open(pv.p, server.c_str()), 0) << server;
    EXPECT_EQ(pv.Ask("5S,0,0,0,0").substr(0, 2), "1,");
  }
  std::string log = tnwtest::ReadFile(os_DebugOutputPath());
  // A dashboard missing beside the menu is looked for in the named folder.
  EXPECT_NE(log.find("\\WEBHMI\\DASHBOARDS\\missing.xml to determine number of WebHMIChannels"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("2 WebHMIChannels for C:\\pvweb\\LOGGED_DATA\\web"), std::string::npos) << log;
  EXPECT_NE(log.find("Can't read menu file "), std::string::npos) << log;
  EXPECT_EQ(log.find("WebHMIChannels for C:\\pv\\webless"), std::string::npos) << log;
}

}  // namespace

namespace {

// A host's owner record: a mapping and the named mutex that guards it.
struct SharedOwner {
  std::string name;
  OsHandle mapping = nullptr, mutex = nullptr;
  ProvOwnerRecord *rec = nullptr;
  explicit SharedOwner(const std::string &n) : name("Global\\" + n) {
    mapping = os_CreateFileMapping(name.c_str(), sizeof(ProvOwnerRecord), nullptr);
    EXPECT_NE(mapping, nullptr);
    rec = mapping ? static_cast<ProvOwnerRecord *>(os_MapViewOfFile(mapping, sizeof(ProvOwnerRecord))) : nullptr;
    EXPECT_NE(rec, nullptr);
    mutex = os_CreateMutex((name + ".mut").c_str(), false, nullptr);
    EXPECT_NE(mutex, nullptr);
  }
  ~SharedOwner() {
    if (rec) os_UnmapViewOfFile(rec);
    if (mapping) os_CloseHandle(mapping);
    if (mutex) os_CloseHandle(mutex);
    os_DeleteFileMapping(name.c_str());
    os_DeleteMutex((name + ".mut").c_str());
  }
};

std::string Path(const ProvOwnerPath &p) { return std::string(p.path, strnlen(p.path, sizeof p.path)); }

// Each owner request on a record the host supplies, in order, with the
// record after it; the same over a folder and over a database.
TEST(ProviderOwner, RequestsActOnTheHostsRecord) {
  Layout l1, l2;
  const std::string folder = FolderLogger("owner", &l1), db = DbLogger("provowner", &l2);
  char first[14];
  log_FormatStamp(kT0, first);
  const std::string cs = db.substr(0, db.find(";LoggerName="));
  for (const auto &[server, earliest] :
       {std::pair{folder, folder + "\\P" + first + ".odl"}, std::pair{db, cs + ";LoggerName=P1;"}}) {
    SCOPED_TRACE(server);
    SharedOwner shared("provowner");
    ASSERT_NE(shared.rec, nullptr);
    Provider pv;
    ASSERT_EQ(prov_Open(pv.p, server.c_str()), 0);
    EXPECT_EQ(prov_SetOwner(pv.p, shared.rec, nullptr), -1);  // a record needs its mutex
    EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
    ASSERT_EQ(prov_SetOwner(pv.p, shared.rec, shared.mutex), 0);
    const uint32_t me = os_GetCurrentProcessId(), word = prov_OwnerWord(pv.p);
    ASSERT_NE(word, 0u);
    struct Row {
      const char *line, *reply;
      uint32_t first, second;
      bool owned;
    } rows[] = {
        {"RS", "1", 0, 0, false},  {"XS,1", "1", 0, 0, false}, {"DS", "1", 1, 1, true},  {"RS", "0", 1, 1, true},
        {"bs", "0", 1, 1, true},   {"ES", "1", 0, 0, true},    {"BS", "1", 0, 0, true},  {"PS,2", "1", 0, 1, true},
        {"DS", "1", 1, 1, true},   {"FS,7", "1", 0, 1, true},  {"MS,3", "1", 0, 1, true}, {"ES", "1", 0, 0, true},
    };
    for (const Row &r : rows) {
      uint32_t before = os_GetTickCount();
      EXPECT_EQ(pv.Ask(r.line), Z(r.reply)) << r.line;
      EXPECT_EQ(shared.rec->first, r.first) << r.line;
      EXPECT_EQ(shared.rec->second, r.second) << r.line;
      EXPECT_EQ(shared.rec->processId, r.owned ? me : 0u) << r.line;
      EXPECT_EQ(shared.rec->owner, r.owned ? word : 0u) << r.line;
      if (r.line[0] == 'X' || r.line[0] == 'M') {
        EXPECT_LE(shared.rec->tick - before, os_GetTickCount() - before) << r.line;  // taken during the request
      }
    }
    EXPECT_EQ(shared.rec->slot[0].set, 0u);
    // "WS": the earliest run's path; no partner, no second path.
    memset(shared.rec->slot[1].path, 'x', 8);
    shared.rec->slot[1].set = 1;
    EXPECT_EQ(pv.Ask("WS"), Z("1"));
    std::string path = Path(shared.rec->slot[0]);
    if (server == db) {
      // The database's run name is its own: the path is the logger's runs
      // joined to the run the store names first.
      EXPECT_EQ(path.rfind(earliest, 0), 0u) << path;
      std::unique_ptr<CLogStore> s(log_CreateStore(cs.c_str()));
      ASSERT_TRUE(s);
      LogFileHeader h{};
      ASSERT_EQ(s->Open(nullptr, path.c_str(), OS_GENERIC_READ), 0) << path;
      ASSERT_EQ(s->ReadHeader(&h), 0);
      EXPECT_EQ(h.start.seconds, kT0);
    } else {
      EXPECT_EQ(path, earliest);
    }
    EXPECT_EQ(shared.rec->slot[0].set, 1u);
    EXPECT_EQ(shared.rec->slot[1].set, 0u);
    EXPECT_EQ(Path(shared.rec->slot[1]), "");
    EXPECT_EQ(shared.rec->second, 1u);
    // Taken away again: the answers without a record, which stays as it was.
    ProvOwnerRecord kept = *shared.rec;
    ASSERT_EQ(prov_SetOwner(pv.p, nullptr, nullptr), 0);
    for (const auto &[line, reply] : {std::pair{"WS", "-1,50"}, std::pair{"PS,1", "-1,50"}, std::pair{"DS", "0"},
                                      std::pair{"ES", "1"}, std::pair{"RS", "0"}})
      EXPECT_EQ(pv.Ask(line), Z(reply)) << line;
    EXPECT_EQ(memcmp(&kept, shared.rec, sizeof kept), 0);
  }
}

// Ownership passes to the provider that takes it last, and is written only
// while the owner mutex is held: a request waits for another holder.
TEST(ProviderOwner, TakenUnderTheMutexByTheLastTaker) {
  Layout l;
  const std::string folder = FolderLogger("owners", &l);
  SharedOwner shared("provowners");
  ASSERT_NE(shared.rec, nullptr);
  Provider a, b;
  ASSERT_EQ(prov_Open(a.p, folder.c_str()), 0);
  ASSERT_EQ(prov_Open(b.p, folder.c_str()), 0);
  ASSERT_NE(prov_OwnerWord(a.p), prov_OwnerWord(b.p));
  ASSERT_EQ(prov_SetOwner(a.p, shared.rec, shared.mutex), 0);
  ASSERT_EQ(prov_SetOwner(b.p, shared.rec, shared.mutex), 0);
  EXPECT_EQ(a.Ask("DS"), Z("1"));
  EXPECT_EQ(shared.rec->owner, prov_OwnerWord(a.p));
  EXPECT_EQ(b.Ask("RS"), Z("0"));  // A's "DS" shows to B

  std::promise<void> held, release;
  std::thread holder([&] {
    EXPECT_EQ(os_WaitMutex(shared.mutex, OS_INFINITE), OS_WAIT_OBJECT_0);
    held.set_value();
    release.get_future().wait();
    os_ReleaseMutex(shared.mutex);
  });
  held.get_future().wait();
  auto taken = std::async(std::launch::async, [&] { return b.Ask("ES"); });
  EXPECT_EQ(taken.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(shared.rec->owner, prov_OwnerWord(a.p));
  EXPECT_EQ(shared.rec->first, 1u);
  release.set_value();
  EXPECT_EQ(taken.get(), Z("1"));
  holder.join();
  EXPECT_EQ(shared.rec->owner, prov_OwnerWord(b.p));
  EXPECT_EQ(shared.rec->first, 0u);
  EXPECT_EQ(shared.rec->second, 0u);
  EXPECT_EQ(a.Ask("RS"), Z("1"));
}

// "WS" with a partner: the partner's run that was open at the primary's
// earliest start gives the second path.
TEST(ProviderOwner, PartnerRunOpenAtTheEarliestStart) {
  struct Case {
    const char *what;
    int32_t start, end;  // of the partner's one run, from kT0; end 0: still open
    bool taken;
  } cases[] = {
      {"ended before", -100, -50, false},
      {"ended after", -100, 50, true},
      {"still open", -100, 0, true},
      {"began after", 10, 0, false},
      {"began at the same second", 0, 50, false},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string name = "ownerpartner" + std::to_string(++n);
    Layout fast, slow("AO", "Out");
    std::string primary = FolderLogger(name + "_FAST_LOG", &fast);
    std::string partner = Folder(name);
    std::string want;
    {
      CLogFileCollection pc;
      ASSERT_EQ(pc.Open("", partner.c_str(), "", "P", kRW), 0);
      int32_t start = kT0 + c.start;
      std::unique_ptr<CLogStore> s = NewRun(&pc, &slow, start);
      ASSERT_TRUE(s);
      std::vector<uint8_t> recs = slow.Records(start, 0, 2, 0);
      ASSERT_EQ(s->WriteLogs(&slow.h, recs.data(), 2), 0);
      char a[14], e[14];
      log_FormatStamp(start, a);
      if (c.end) {
        int32_t stop = kT0 + c.end;
        ASSERT_EQ(pc.CloseRun(s.get(), &start, &stop, 0), 0) << pc.GetErrorText();
        log_FormatStamp(stop, e);
        want = partner + "\\P" + a + "_" + e + ".odl";
      } else {
        s->Close();
        want = partner + "\\P" + a + ".odl";
      }
    }
    SharedOwner shared("provownerpartner");
    ASSERT_NE(shared.rec, nullptr);
    Provider pv;
    ASSERT_EQ(prov_Open(pv.p, primary.c_str()), 0);
    ASSERT_EQ(prov_SetOwner(pv.p, shared.rec, shared.mutex), 0);
    EXPECT_EQ(pv.Ask("WS"), Z("1"));
    char first[14];
    log_FormatStamp(kT0, first);
    EXPECT_EQ(Path(shared.rec->slot[0]), primary + "\\P" + first + ".odl");
    EXPECT_EQ(shared.rec->slot[1].set, c.taken ? 1u : 0u);
    EXPECT_EQ(Path(shared.rec->slot[1]), c.taken ? want : "");
  }
}

}  // namespace

namespace {

// Descriptors this process holds on files whose path holds `part`.
int OpenOn(const std::string &part) {
  std::string fds = tnwtest::DescribeFds(static_cast<pid_t>(os_GetCurrentProcessId()));
  int n = 0;
  for (size_t at = fds.find(part); at != std::string::npos; at = fds.find(part, at + 1)) ++n;
  return n;
}

float Ai1(Provider *pv) {
  std::string r = pv->Ask("RV,AI1");
  float f = -1;
  if (r.size() == 16) memcpy(&f, r.data() + 12, 4);
  return f;
}

// With the flag set the newest run is not held between requests, and a run
// replaced under its name is read anew; without it the provider keeps the
// run it opened.
TEST(ProviderCloseAfterRequest, StoresClosedAfterEachRequest) {
  for (bool on : {false, true}) {
    SCOPED_TRACE(on ? "flag set" : "flag clear");
    Layout l, other;
    const std::string tag = on ? "on" : "off";
    std::string win = Folder("closeafter_" + tag), dir = tnwtest::Root() + "/drives/c/pv/closeafter_" + tag;
    std::string spare = Folder("closeafter_spare_" + tag);
    for (const auto &[folder, layout, base] : {std::tuple{win, &l, 0}, std::tuple{spare, &other, 500}}) {
      CLogFileCollection c;
      ASSERT_EQ(c.Open("", folder.c_str(), "", "P", kRW), 0);
      std::unique_ptr<CLogStore> s = NewRun(&c, layout, kT0);
      ASSERT_TRUE(s);
      std::vector<uint8_t> recs = layout->Records(kT0, 0, 3, base);
      ASSERT_EQ(s->WriteLogs(&layout->h, recs.data(), 3), 0);
      s->Close();
    }
    char a[14];
    log_FormatStamp(kT0, a);
    const std::string run = "/P" + std::string(a) + ".odl";
    Provider pv;
    ASSERT_EQ(prov_Open(pv.p, win.c_str()), 0);
    prov_SetCloseAfterRequest(pv.p, on);
    EXPECT_EQ(Ai1(&pv), 20.0f);
    EXPECT_EQ(OpenOn("closeafter_" + tag + run), on ? 0 : 1) << tnwtest::DescribeFds(static_cast<pid_t>(os_GetCurrentProcessId()));
    ASSERT_EQ(os_DeleteFile((dir + run).c_str()), 0);
    ASSERT_EQ(os_CopyFile((tnwtest::Root() + "/drives/c/pv/closeafter_spare_" + tag + run).c_str(),
                          (dir + run).c_str(), true),
              0);
    EXPECT_EQ(Ai1(&pv), on ? 520.0f : 20.0f);
  }
}

// A record appended right after a request: with the flag the next request
// serves it, without it the record waits for the next read 500 ms on.
TEST(ProviderCloseAfterRequest, AppendedRecordSeenAtOnce) {
  for (bool on : {false, true}) {
    SCOPED_TRACE(on ? "flag set" : "flag clear");
    Layout l;
    std::string win = Folder(on ? "closeafter_live_on" : "closeafter_live_off");
    CLogFileCollection c;
    ASSERT_EQ(c.Open("", win.c_str(), "", "P", kRW), 0);
    std::unique_ptr<CLogStore> writer = NewRun(&c, &l, kT0);
    ASSERT_TRUE(writer);
    std::vector<uint8_t> recs = l.Records(kT0, 0, 4, 0);
    ASSERT_EQ(writer->WriteLogs(&l.h, recs.data(), 2), 0);
    Provider pv;
    ASSERT_EQ(prov_Open(pv.p, win.c_str()), 0);
    prov_SetCloseAfterRequest(pv.p, on);
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(Ai1(&pv), 10.0f);
    for (int i = 2; i < 4; ++i) {
      ASSERT_EQ(writer->WriteLogs(&l.h, recs.data() + size_t(i) * l.h.recordSize, 1), 0);
      float got = Ai1(&pv);
      // Without the flag the check holds only while the read is not yet due.
      if (on || std::chrono::steady_clock::now() - asked < std::chrono::milliseconds(PROV_REFRESH_MS / 2)) {
        EXPECT_EQ(got, on ? 10.0f * i : 10.0f) << "record " << i;
      }
      if (!on) break;
      asked = std::chrono::steady_clock::now();
    }
    writer->Close();
  }
}

}  // namespace
