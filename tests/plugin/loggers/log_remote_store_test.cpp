// A run read through another host's file requests (scadasim on "HOSTR")
// against the same run read from the disk: header, channel records, records,
// counts and times agree, and no request asks for more than one "RF" may.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/server/srv_client.h"
#include "framework/registry/reg_settings.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_error.h"
#include "platform/os_eventlog.h"
#include "platform/os_path.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "platform/os_handle.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/connect/con_transports.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_text.h"
#include "tests/support/tls_peer.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace fs = std::filesystem;

namespace {

// The request server's TLS listener, by URL (set up per test).
std::string g_server;
const char *kRemote = "TSQ_CURRENT_CONFIG\\RUNS\\RM230101_120000.odl";
const char *kLocal = "C:\\SRVCFG\\RUNS\\RM230101_120000.odl";
const uint16_t kChannels = 128;

class RemoteStore : public ::testing::Test {
 protected:
  void SetUp() override {
    con_InstallTransports();
    std::string config = tnwtest::Root() + "/drives/c/SRVCFG";
    fs::remove_all(config);
    fs::create_directories(config + "/RUNS");
    SimRequestSpec spec;
    spec.host = "HOSTR";
    spec.configFolder = "C:\\SRVCFG";
    spec.answer = [this](const std::string &line, std::string *reply) { return hook && hook(line, reply); };
    ASSERT_TRUE(tnwtest::StartRemotePeer(spec, &server, &tls, &g_server));
  }
  void TearDown() override {
    tnwtest::StopRemotePeer(&server, &tls);
  }
  SimTlsServer *tls = nullptr;

  // A run of 128 analogue and 2 digital channels (1,036-byte records, so one
  // request cannot carry 100 of them) with `records` records.
  LogFileHeader MakeRun(uint32_t records) {
    LogFileHeader h;
    memset(&h, 0, sizeof h);
    h.blockCount = 2;
    h.start = {1672574400, 0, 0};
    h.recordSize = 12 + 8 * kChannels;
    LogChannelBlock &a = h.blocks[0];
    memcpy(a.prefix, "AI", 2);
    a.first = 1, a.last = kChannels - 2, a.kind = 8, a.statusOffset = 12;
    LogChannelBlock &d = h.blocks[1];
    memcpy(d.prefix, "DI", 2);
    d.first = 1, d.last = 2, d.kind = LOG_KIND_DIGITAL, d.statusOffset = 12 + 8 * (kChannels - 2);
    std::vector<ChannelRecord> ai(kChannels - 2), di(2);
    for (size_t i = 0; i < ai.size(); ++i) memset(ai[i].raw, int(i + 1), sizeof ai[i].raw);
    for (size_t i = 0; i < di.size(); ++i) memset(di[i].raw, int(0xA0 + i), sizeof di[i].raw);
    ChannelRecord *blocks[2] = {ai.data(), di.data()};
    CLogFileStore w;
    EXPECT_EQ(w.Create(kLocal, &h, blocks), 0);
    std::vector<uint8_t> all(size_t{records} * h.recordSize);
    for (uint32_t r = 0; r < records; ++r) {
      uint8_t *p = &all[size_t{r} * h.recordSize];
      for (uint32_t k = 0; k < h.recordSize; ++k) p[k] = uint8_t(r * 7 + k);
      uint16_t mark = LOG_RECORD_MARK, word = r % 5 == 4 ? 0 : 1;
      memcpy(p, &mark, 2);
      memcpy(p + 2, &word, 2);
      // Every status word marks its value present except one in nine.
      for (uint32_t c = 0; c < kChannels; ++c) {
        uint32_t status = (r + c) % 9 ? LOG_STATUS_PRESENT : 0;
        memcpy(p + (c < kChannels - 2 ? 12 + 4 * c : d.statusOffset + 4 * (c - (kChannels - 2))), &status, 4);
      }
    }
    EXPECT_EQ(w.WriteLogs(&h, all.data(), records), 0);
    EXPECT_EQ(w.WriteText(1672574500, "pump 1 started", nullptr, nullptr), 0);
    w.Close();
    return h;
  }

  std::vector<std::string> ReadRequests() const {
    std::vector<std::string> rf;
    for (const std::string &line : sim_ServedRequests(server))
      if (line.rfind("RF,", 0) == 0) rf.push_back(line);
    return rf;
  }
  // The byte count and offset fields of an "RF" line.
  static void CountAndOffset(const std::string &line, long long *count, long long *offset) {
    size_t tab = line.find('\t');
    char *end = nullptr;
    *count = strtoll(line.c_str() + tab + 1, &end, 10);
    *offset = strtoll(end + 1, nullptr, 10);
  }

  SimRequestServer *server = nullptr;
  std::function<bool(const std::string &, std::string *)> hook;
};

}  // namespace

TEST_F(RemoteStore, MatchesALocalReadWithinTheRequestLimit) {
  const uint32_t kRecords = 300;
  MakeRun(kRecords);
  CLogFileStore local, remote;
  ASSERT_EQ(local.Open("", kLocal, OS_GENERIC_READ), 0);
  ASSERT_EQ(remote.Open(g_server.c_str(), kRemote, OS_GENERIC_READ), 0) << "no local file: remote mode";
  ASSERT_TRUE(ReadRequests().empty()) << "opening reads nothing";

  LogFileHeader lh, rh;
  ASSERT_EQ(local.ReadHeader(&lh), 0);
  ASSERT_EQ(remote.ReadHeader(&rh), 0);
  EXPECT_EQ(memcmp(&lh, &rh, sizeof lh), 0);
  EXPECT_EQ(rh.recordCount, kRecords);
  EXPECT_EQ(remote.GetNoLogs(&rh), int64_t{kRecords});
  EXPECT_EQ(remote.CountChannelRows(&rh), local.CountChannelRows(&lh));

  for (int block = 0; block < 2; ++block) {
    int n = rh.blocks[block].last - rh.blocks[block].first + 1;
    std::vector<ChannelRecord> a(static_cast<size_t>(n)), b(static_cast<size_t>(n));
    ASSERT_EQ(local.ReadChannels(&lh, a.data(), block, 0, n), 0);
    ASSERT_EQ(remote.ReadChannels(&rh, b.data(), block, 0, n), 0) << block;
    EXPECT_EQ(memcmp(a.data(), b.data(), a.size() * sizeof a[0]), 0) << block;
  }

  // Every record, in the calls a reader makes: a remote call returns fewer
  // records (what one request carries), the reader goes on from there.
  std::vector<uint8_t> want(size_t{kRecords} * rh.recordSize), got(want.size());
  ASSERT_EQ(local.ReadLogs(0, &lh, want.data(), int32_t(kRecords), nullptr, nullptr, nullptr), int32_t(kRecords));
  uint32_t done = 0;
  while (done < kRecords) {
    int32_t n = remote.ReadLogs(done, &rh, &got[size_t{done} * rh.recordSize], int32_t(kRecords - done), nullptr,
                                nullptr, nullptr);
    ASSERT_GT(n, 0) << done;
    EXPECT_EQ(n, std::min<int32_t>(int32_t(kRecords - done), CFG_RF_MAX / int32_t(rh.recordSize)));
    done += uint32_t(n);
  }
  EXPECT_TRUE(got == want) << "bad values marked alike";
  std::vector<uint8_t> one(rh.recordSize);
  std::vector<uint8_t> oneLocal(lh.recordSize);
  ASSERT_EQ(remote.ReadLog(kRecords - 1, &rh, one.data(), rh.recordSize, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(local.ReadLog(kRecords - 1, &lh, oneLocal.data(), lh.recordSize, nullptr, nullptr, nullptr, nullptr,
                          nullptr),
            0);
  EXPECT_TRUE(one == oneLocal);
  EXPECT_NE(remote.ReadLog(kRecords, &rh, one.data(), rh.recordSize, nullptr, nullptr, nullptr, nullptr, nullptr), 0)
      << "past the last record";

  int32_t lt = 0, rt = 0;
  ASSERT_EQ(local.GetLastModified(&lt), 0);
  ASSERT_EQ(remote.GetLastModified(&rt), 0);
  EXPECT_EQ(lt, rt);

  std::vector<std::string> rf = ReadRequests();
  ASSERT_FALSE(rf.empty());
  for (const std::string &line : rf) {
    long long count = 0, offset = 0;
    CountAndOffset(line, &count, &offset);
    EXPECT_GT(count, 0) << line;
    EXPECT_LE(count, CFG_RF_MAX) << line;
  }

  // Nothing is written through a remote store.
  EXPECT_NE(remote.WriteLogs(&rh, want.data(), 1), 0);
  uint32_t end = LOG_END_UNKNOWN;
  EXPECT_NE(remote.UseforLogging(&end), 0);
}

TEST_F(RemoteStore, LimitsAndFailures) {
  LogFileHeader h = MakeRun(40);
  CLogFileStore remote;
  ASSERT_EQ(remote.Open(g_server.c_str(), kRemote, OS_GENERIC_READ), 0);
  LogFileHeader rh;
  ASSERT_EQ(remote.ReadHeader(&rh), 0);
  std::vector<uint8_t> buf(size_t{40} * h.recordSize);

  // A failing request halves the count until one succeeds.
  int failures = 0;
  hook = [&](const std::string &line, std::string *reply) {
    if (line.rfind("RF,", 0) != 0 || failures >= 2) return false;
    ++failures;
    *reply = std::string("-1,5", 5);
    return true;
  };
  EXPECT_EQ(remote.ReadLogs(0, &rh, buf.data(), 40, nullptr, nullptr, nullptr), 10);
  EXPECT_EQ(failures, 2);
  hook = nullptr;

  struct Case {
    const char *what;
    uint32_t recordSize, firstRecord;
    int64_t first;
  };
  const Case cases[] = {
      {"a record larger than one request", 70000, h.firstRecord, 0},
      {"an offset past what the request can name", h.recordSize, h.firstRecord, 0x7FFFFFFF / int64_t{h.recordSize}},
      {"an offset past 4 GiB", h.recordSize, h.firstRecord, (int64_t{1} << 32) / h.recordSize + 1},
  };
  for (const Case &c : cases) {
    LogFileHeader x = rh;
    x.recordSize = c.recordSize;
    x.firstRecord = c.firstRecord;
    size_t before = sim_ServedRequests(server).size();
    std::vector<uint8_t> big(size_t{c.recordSize} * 2);
    EXPECT_EQ(remote.ReadLogs(c.first, &x, big.data(), 2, nullptr, nullptr, nullptr), 0) << c.what;
    EXPECT_EQ(sim_ServedRequests(server).size(), before) << c.what << ": nothing sent";
  }
  size_t before = sim_ServedRequests(server).size();
  EXPECT_NE(remote.ReadLog((int64_t{1} << 32) / h.recordSize, &rh, buf.data(), h.recordSize, nullptr, nullptr, nullptr,
                           nullptr, nullptr),
            0);
  EXPECT_EQ(os_GetLastError(), uint32_t{OS_ERROR_INVALID_PARAMETER});
  EXPECT_EQ(sim_ServedRequests(server).size(), before);

  // A reply longer than asked is refused, not copied past the buffer.
  hook = [&](const std::string &line, std::string *reply) {
    if (line.rfind("RF,", 0) != 0) return false;
    *reply = "1," + std::string(100, 'x') + ",100";
    return true;
  };
  uint8_t small[8];
  EXPECT_NE(remote.ReadLog(0, &rh, small, 8, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  hook = nullptr;

  // The server gone: reads fail, nothing hangs.
  tnwtest::StopRemotePeer(&server, &tls);
  EXPECT_EQ(remote.ReadLogs(0, &rh, buf.data(), 4, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(remote.GetNoLogs(&rh), -1);
  SimRequestSpec spec;
  spec.host = "HOSTR";
  spec.configFolder = "C:\\SRVCFG";
  ASSERT_TRUE(tnwtest::StartRemotePeer(spec, &server, &tls, &g_server));
}

// Text sections of a remote run are read and rewritten through the server;
// the results are the images a local rewrite gives.
TEST_F(RemoteStore, TextThroughTheServer) {
  MakeRun(1);
  const std::string serverText = tnwtest::Root() + "/drives/c/SRVCFG/RUNS/RM230101_120000.txt";
  // The local copy a rewrite makes lives in the client's folder of the name.
  char copyFolder[512];
  ASSERT_EQ(os_TranslatePath(cfg_ResolveName("TSQ_CURRENT_CONFIG"), copyFolder, sizeof copyFolder), 0);
  ASSERT_EQ(os_MakeFolders(copyFolder), 0);

  CLogFileStore remote;
  ASSERT_EQ(remote.Open(g_server.c_str(), kRemote, OS_GENERIC_READ), 0);
  EXPECT_EQ(remote.WriteHeaderText("well 7"), 0);
  EXPECT_EQ(remote.WriteText(1672574400, "noon", nullptr, nullptr), 0);
  EXPECT_EQ(remote.WriteText(1672574450, "between", nullptr, "TEXT"), 0);
  EXPECT_EQ(tnwtest::ReadFile(serverText),
            "[TEXT]\r\n23/01/01 12:00:00 noon\r\n23/01/01 12:00:50 between\r\n23/01/01 12:01:40 pump 1 started\r\n"
            "[HEADER]\r\nwell 7\r\n");
  char out[200];
  uint32_t cap = sizeof out;
  EXPECT_EQ(remote.ReadSection("TEXT", out, &cap, nullptr, nullptr), 3);
  EXPECT_STREQ(out, "23/01/01 12:00:00 noon\r\n23/01/01 12:00:50 between\r\n23/01/01 12:01:40 pump 1 started\r\n");
  // A 16-bit text the 8-bit file cannot hold makes the server's file 16-bit.
  const uint16_t omega[] = {0x03A9, 0};
  EXPECT_EQ(remote.WriteTextW(1672574401, omega, nullptr, nullptr), 0);
  std::string wide = tnwtest::ReadFile(serverText);
  ASSERT_GE(wide.size(), 2u);
  EXPECT_EQ(wide.substr(0, 2), "\xFF\xFE");
  uint16_t w[200];
  cap = 200;
  EXPECT_EQ(remote.ReadSectionW("TEXT", w, &cap, nullptr, nullptr), 4);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(w)).substr(24, 29), u"23/01/01 12:00:01 \u03A9\r\n23/01/01");

  // A write-back that fails after its first piece has cut the server's file:
  // the whole new text stays in the local copy, named in the event log.
  std::string big(15000, 'h');
  for (size_t i = 100; i < big.size(); i += 100) big[i - 2] = '\r', big[i - 1] = '\n';
  int pieces = 0;
  hook = [&](const std::string &line, std::string *reply) {
    if (line.rfind("WF,", 0) != 0 || ++pieces < 2) return false;
    *reply = "-1,112";
    return true;
  };
  EXPECT_EQ(remote.WriteHeaderText(big.c_str()), -1);
  hook = nullptr;
  EXPECT_EQ(pieces, 2);
  EXPECT_LT(tnwtest::ReadFile(serverText).size(), 2 * big.size()) << "the server's file was cut";
  std::string copy;
  for (const auto &e : fs::directory_iterator(copyFolder))
    if (e.path().extension() == ".tmp") copy = e.path().string();
  ASSERT_FALSE(copy.empty()) << "the local copy is kept";
  std::string kept = tnwtest::ReadFile(copy);
  EXPECT_GT(kept.size(), 2 * big.size()) << "the whole 16-bit text";
  char log[512];
  ASSERT_EQ(os_EventLogPath(".", log, sizeof log), 0);
  EXPECT_NE(tnwtest::ReadFile(log).find(fs::path(copy).filename().string()), std::string::npos);
  fs::remove(copy);

  // A write-back that works leaves no copy behind.
  ASSERT_EQ(remote.WriteHeaderText("well 8"), 0);
  for (const auto &e : fs::directory_iterator(copyFolder)) EXPECT_NE(e.path().extension(), ".tmp");
  cap = sizeof out;
  EXPECT_EQ(remote.ReadSection("HEADER", out, &cap, nullptr, nullptr), 1);
  EXPECT_STREQ(out, "well 8\r\n");
}

// A new run's channel records: the caller's buffer for a block when given,
// else one "CV" request a channel to another computer, else this computer's
// configuration area of the block's data area.
TEST_F(RemoteStore, ChannelRecordsAtCreation) {
  LogFileHeader h;
  memset(&h, 0, sizeof h);
  h.blockCount = 2;
  h.recordSize = 12 + 8 * 4;
  memcpy(h.blocks[0].prefix, "AI", 2);
  h.blocks[0].first = 2, h.blocks[0].last = 4, h.blocks[0].kind = 8, h.blocks[0].statusOffset = 12;
  memcpy(h.blocks[1].prefix, "DI", 2);
  h.blocks[1].first = 1, h.blocks[1].last = 1, h.blocks[1].kind = LOG_KIND_DIGITAL, h.blocks[1].statusOffset = 36;
  std::vector<ChannelRecord> di(1);
  memset(di[0].raw, 0xD1, sizeof di[0].raw);
  ChannelRecord *given[2] = {nullptr, di.data()};
  auto channelAt = [](const std::string &file, const LogFileHeader &x, int block, int k) {
    return file.substr(static_cast<size_t>(log_ChannelOffset(&x, block, k)), LOG_CHANNEL_SIZE);
  };

  // From the server: the record follows the reply's first 8 bytes.
  std::vector<std::string> asked;
  bool shortReply = false;
  hook = [&](const std::string &line, std::string *reply) {
    if (line.rfind("CV,", 0) != 0) return false;
    asked.push_back(line);
    int k = atoi(line.c_str() + 6);
    *reply = "1,AI,000" + std::string(shortReply ? 100 : LOG_CHANNEL_SIZE, static_cast<char>(0x40 + k));
    return true;
  };
  const std::string base = tnwtest::Root() + "/drives/c/SRVCFG/RUNS/";
  {
    LogFileHeader x = h;
    CLogFileStore s;
    ASSERT_EQ(s.Create("C:\\SRVCFG\\RUNS\\CV230101_120000.odl", &x, given, g_server.c_str()), 0);
    s.Close();
    EXPECT_EQ(asked, (std::vector<std::string>{"CV,AI,2", "CV,AI,3", "CV,AI,4"}));
    std::string file = tnwtest::ReadFile(base + "CV230101_120000.odl");
    for (int k = 0; k < 3; ++k)
      EXPECT_EQ(channelAt(file, x, 0, k), std::string(LOG_CHANNEL_SIZE, static_cast<char>(0x42 + k))) << k;
    EXPECT_EQ(channelAt(file, x, 1, 0), std::string(LOG_CHANNEL_SIZE, '\xD1'));
  }
  {
    // A reply too short to hold a record: no run.
    shortReply = true;
    LogFileHeader x = h;
    CLogFileStore s;
    EXPECT_NE(s.Create("C:\\SRVCFG\\RUNS\\CV230101_120001.odl", &x, given, g_server.c_str()), 0);
    EXPECT_EQ(os_GetLastError(), uint32_t{OS_ERROR_INVALID_DATA});
    EXPECT_FALSE(fs::exists(base + "CV230101_120001.odl"));
  }
  hook = nullptr;

  // From the configuration area here: records first..last of "AI".
  const uint16_t count = 5;
  void *dataSeg = shm_CreateSegmentWithWaiters("dm_AI", 20 + 8 * count);
  void *confSeg = shm_CreateSegmentWithWaiters("dm_AI_conf", count * LOG_CHANNEL_SIZE);
  ASSERT_NE(dataSeg, nullptr);
  ASSERT_NE(confSeg, nullptr);
  uint8_t *d = shm_Payload(dataSeg);
  memcpy(d, "AI", 2);
  uint16_t width = 8;
  memcpy(d + 2, &width, 2);
  memcpy(d + 4, &count, 2);
  for (int k = 0; k < count; ++k) memset(shm_Payload(confSeg) + k * LOG_CHANNEL_SIZE, 0x60 + k, LOG_CHANNEL_SIZE);
  {
    LogFileHeader x = h;
    CLogFileStore s;
    ASSERT_EQ(s.Create("C:\\SRVCFG\\RUNS\\LC230101_120000.odl", &x, given, nullptr), 0);
    s.Close();
    std::string file = tnwtest::ReadFile(base + "LC230101_120000.odl");
    for (int k = 0; k < 3; ++k)
      EXPECT_EQ(channelAt(file, x, 0, k), std::string(LOG_CHANNEL_SIZE, static_cast<char>(0x61 + k))) << k;
  }
  {
    // More channels than the area has: refused, no run.
    LogFileHeader x = h;
    x.blocks[0].last = count + 1;
    x.recordSize = 12 + 8 * (count + 1) + 8;
    x.blocks[1].statusOffset = static_cast<uint16_t>(12 + 8 * (count + 1));
    CLogFileStore s;
    EXPECT_NE(s.Create("C:\\SRVCFG\\RUNS\\LC230101_120001.odl", &x, given, nullptr), 0);
    EXPECT_FALSE(fs::exists(base + "LC230101_120001.odl"));
  }
  {
    // The server's own answer to "CV": the same records from its areas.
    LogFileHeader x = h;
    CLogFileStore s;
    size_t before = sim_ServedRequests(server).size();
    ASSERT_EQ(s.Create("C:\\SRVCFG\\RUNS\\SV230101_120000.odl", &x, given, g_server.c_str()), 0);
    s.Close();
    EXPECT_EQ(sim_ServedRequests(server).size(), before + 3);
    std::string file = tnwtest::ReadFile(base + "SV230101_120000.odl");
    for (int k = 0; k < 3; ++k)
      EXPECT_EQ(channelAt(file, x, 0, k), std::string(LOG_CHANNEL_SIZE, static_cast<char>(0x61 + k))) << k;
    // A channel past the area: the server refuses, no run.
    x = h;
    x.blocks[0].last = count + 1;
    x.recordSize = 12 + 8 * (count + 1) + 8;
    x.blocks[1].statusOffset = static_cast<uint16_t>(12 + 8 * (count + 1));
    CLogFileStore t;
    EXPECT_NE(t.Create("C:\\SRVCFG\\RUNS\\SV230101_120001.odl", &x, given, g_server.c_str()), 0);
    EXPECT_EQ(os_GetLastError(), uint32_t{OS_ERROR_INVALID_PARAMETER});
    EXPECT_FALSE(fs::exists(base + "SV230101_120001.odl"));
  }
  shm_DestroySegment("dm_AI");
  shm_DestroySegment("dm_AI_conf");
  shm_ForgetTables();
}
