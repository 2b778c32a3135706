// Logged data served back through request lines with the real programs: the
// scanner reads pumpsim's pumps through an outlet surge, one `scadasim logger`
// keeps a run in a folder and one in a SQL Server catalog, and `logtool
// request` (and con_Transact in this process) asks each storage for its
// processors, channel records, newest values, status rows and history.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "framework/config/chan_files.h"
#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "plugin/connect/con_transports.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_text.h"
#include "plugin/loggers/prov_provider.h"
#include "tests/support/child_run.h"
#include "tests/support/proc_stats.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

using tnwtest::Lines;

// Seconds of pumpsim's run the outlets of pumps 1 and 2 are blocked.
const double kSurgeFrom = 5, kSurgeTo = 8;
const double kSteadyBelow = 180, kSurgeAbove = 240;

std::string Shown(float v) {
  char b[32];
  snprintf(b, sizeof b, "%g", static_cast<double>(v));
  return b;
}

struct Store {
  const char *name;
  std::string loggerArg, server, out;
  pid_t logger = -1;
  std::string run;  // as the logger printed it
};

class ProviderRun : public tnwtest::SimProcesses {
 protected:
  void TearDown() override {
    prov_ClearBuffers();
    SimProcesses::TearDown();
  }
  std::string Request(const std::string &server, const std::string &text) {
    return tnwtest::ShellRun("'" + logtool + "' request '" + server + "' '" + text + "'").out;
  }
  // The request's reply bytes, through this process's connection table.
  std::string Transact(const std::string &server, const std::string &text, int *rc) {
    std::vector<char> reply(65512);
    int n = static_cast<int>(reply.size());
    *rc = con_Transact(server.c_str(), text.c_str(), static_cast<int>(text.size() + 1), reply.data(), &n);
    return std::string(reply.data(), n > 0 ? static_cast<size_t>(n) : 0u);
  }
  // Waits (up to `ms`) until "RV" on `server` shows the sample's three outlet values.
  bool Follows(const std::string &server, const std::vector<SimChannel> &ai, int ms, std::string *last) {
    return Until(
        [&] {
          *last = Request(server, "RV,AI1,2,3");
          for (size_t k = 0; k < 3; ++k)
            if (last->find("AI" + std::to_string(k + 1) + " status 0x") == std::string::npos ||
                last->find(" value " + Shown(ai[k].value) + "\n") == std::string::npos)
              return false;
          return true;
        },
        ms);
  }

  std::string logtool;
};

long long Addr(const void *p) { return static_cast<long long>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

TEST_F(ProviderRun, FolderAndDatabaseRunsAnswerRequests) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.codes[IO_AI] = "AI";
  d.codes[IO_DI] = "DI";
  tnwtest::PumpChannels(&d);
  char surge[32];
  snprintf(surge, sizeof surge, "%g-%g", kSurgeFrom, kSurgeTo);
  ASSERT_TRUE(StartPlant(w, "AI", {"--surge", std::string("1/") + surge, "--surge", std::string("2/") + surge}));

  const std::string root = tnwtest::Root();
  ASSERT_EQ(os_MakeFolders((root + "/drives/c/e2eprov/runs").c_str()), 0);
  ASSERT_EQ(os_MakeFolders((root + "/drives/c/e2eprov/copy").c_str()), 0);
  ASSERT_EQ(os_MakeFolders((root + "/hosts/./sqlserver").c_str()), 0);
  ASSERT_EQ(
      tnwtest::ShellRun("sqlite3 '" + root + "/hosts/./sqlserver/E2EPROV.db' 'CREATE TABLE t(x); DROP TABLE t;'").status,
      0);
  const std::string outs = tnwtest::MakeTempDir("provider_run_out");
  const std::string cs = "Provider=SQLOLEDB;Data Source=.;Initial Catalog=E2EPROV";
  Store stores[2] = {
      {"folder", "--runs", "C:\\e2eprov\\runs", outs + "/folder.txt", -1, ""},
      {"database", "--store", cs + ";LoggerName=PUMPS", outs + "/db.txt", -1, ""},
  };
  const std::string scadasim = tnwtest::BinPath("scadasim");
  logtool = tnwtest::BinPath("logtool");
  for (Store &s : stores) {
    // The logger takes this computer's path; the provider the server's form of it.
    std::vector<std::string> argv = {scadasim, "logger", s.loggerArg,
                                     s.loggerArg == "--runs" ? root + "/drives/c/e2eprov/runs" : cs};
    if (s.loggerArg == "--store") argv.insert(argv.end(), {"--logger", "PUMPS"});
    argv.insert(argv.end(), {"--area", "AI", "--area", "DI"});
    s.logger = Start(argv, s.out);
  }
  for (Store &s : stores) {
    ASSERT_TRUE(tnwtest::WaitForText(s.out, "^created .*\n", 20000)) << s.name << ": " << tnwtest::ReadAll(s.out);
    s.run = Lines(tnwtest::ReadAll(s.out), "created ")[0].substr(8);
    ASSERT_TRUE(SlotOpen(s.logger)) << s.name;
  }
  ASSERT_LT(Elapsed(), kSurgeFrom - 1) << "the scanner started too late to see the steady outlets";

  // Passes through the surge, each recorded by both loggers; the newest
  // values reach "RV" within a second of the record, on the way up and down.
  std::vector<std::vector<SimChannel>> samples;
  bool seenSteady = false, seenSurge = false, seenAfter = false;
  uint32_t n = 0;
  while (Elapsed() < kSurgeTo + 1.5) {
    ++n;
    ASSERT_TRUE(ScanPass("AI")) << " for record " << n;
    const double at = Elapsed();
    samples.push_back(sim_ReadChannels("AI"));
    const std::vector<SimChannel> &ai = samples.back();
    for (Store &s : stores) ASSERT_EQ(sim_Post(uint32_t(s.logger), 200000), 0) << s.name;
    for (Store &s : stores)
      ASSERT_TRUE(tnwtest::WaitForText(s.out, "\nwrote " + std::to_string(n) + "\n", 10000))
          << s.name << ": " << tnwtest::ReadAll(s.out);
    const float p1 = ai[0].value, p2 = ai[1].value;
    bool check = false;
    if (!seenSteady && at < kSurgeFrom - 0.5 && std::max(p1, p2) < kSteadyBelow) seenSteady = check = true;
    if (!seenSurge && std::min(p1, p2) > kSurgeAbove) seenSurge = check = true;
    if (seenSurge && !seenAfter && at > kSurgeTo + 0.5 && std::max(p1, p2) < kSteadyBelow) seenAfter = check = true;
    if (!check) continue;
    for (Store &s : stores) {
      const auto asked = std::chrono::steady_clock::now();
      std::string last;
      EXPECT_TRUE(Follows(s.server, ai, 1000, &last)) << s.name << " record " << n << ": " << last;
      std::printf("%s: record %u (%s, %s) through RV after %.0f ms\n", s.name, n, Shown(p1).c_str(),
                  Shown(p2).c_str(),
                  std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count());
    }
  }
  EXPECT_TRUE(seenSteady && seenSurge && seenAfter) << seenSteady << seenSurge << seenAfter;

  // The device's channel files, as the runs took them in.
  ChannelRecord files[2][3];
  const std::string device = sim_DeviceFolder(0);
  ASSERT_EQ(chan_ReadChannels(device.c_str(), IO_AI, files[0], 0, 3, nullptr, 0, nullptr), 0);
  ASSERT_EQ(chan_ReadChannels(device.c_str(), IO_DI, files[1], 0, 2, nullptr, 0, nullptr), 0);

  con_InstallTransports();
  for (Store &s : stores) {
    SCOPED_TRACE(s.name);
    // Processors: the two blocks and the status processor.
    std::string ip = Request(s.server, "IP,*,9");
    EXPECT_TRUE(std::regex_search(
        ip, std::regex("\n1,CUSTAA,[^,;]*,AI:3,0,A;CUSTAB,[^,;]*,DI:2,0,D;logst,LOGGER STATUS CHANNELS,LS:56,0,A;\n")))
        << ip;

    // The logger's status rows: logging (a digital row: its state in the
    // status word), the storage kind (digital: 0 folder, 1 database), the
    // records so far.
    std::string ls = Request(s.server, "RV,LS1,9,20");
    const bool db = s.loggerArg == "--store";
    EXPECT_NE(ls.find("\n  LS1 status 0x01 - state 1\n"), std::string::npos) << ls;
    EXPECT_NE(ls.find(std::string("\n  LS9 status 0x0") + (db ? "1" : "0") + " - state " + (db ? "1" : "0") + "\n"),
              std::string::npos)
        << ls;
    EXPECT_NE(ls.find("\n  LS20 status 0x80 P value " + std::to_string(n) + "\n"), std::string::npos) << ls;

    // Channel records: "1,", the run's start, then the device's records.
    int rc = 0;
    std::string cv = Transact(s.server, "CV,AI1,2,3,DI1,2", &rc);
    EXPECT_EQ(rc, 1);
    ASSERT_EQ(cv.size(), 2u + 2 * 6 + 5 * 216u);
    EXPECT_EQ(cv.substr(0, 2), "1,");
    // A file run holds the records whole; a database keeps a row of their
    // tag, description, kind and units.
    auto same = [&](const char *at, const ChannelRecord &want) {
      ChannelRecord got;
      memcpy(&got, at, sizeof got);
      if (!db) return memcmp(got.raw, want.raw, sizeof got.raw) == 0;
      return std::string(chan_GetTag(&got)) == chan_GetTag(&want) &&
             std::string(chan_GetDescription(&got)) == chan_GetDescription(&want) &&
             chan_TypeByte(&got) == chan_TypeByte(&want) &&
             (chan_IsDigital(&want) || std::string(chan_GetUnits(&got)) == chan_GetUnits(&want));
    };
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(same(cv.data() + 8 + k * 216, files[0][k])) << "AI" << k + 1;
    for (int k = 0; k < 2; ++k) EXPECT_TRUE(same(cv.data() + 8 + 3 * 216 + 6 + k * 216, files[1][k])) << "DI" << k + 1;
    EXPECT_EQ(std::string(chan_GetTag(&files[0][0])), "AI001");

    // The whole run's history through "7S" into buffers lent for it, against
    // what `logtool dump` reads from the run.
    TimeStamp from{}, to{};
    char list[] = "AI1,AI2,AI3";
    std::vector<TimeStamp> times(n + 8);
    std::vector<float> values(times.size() * 3);
    char text[4096] = {};
    prov_ClearBuffers();
    prov_RegisterBuffer(&from, sizeof from);
    prov_RegisterBuffer(&to, sizeof to);
    prov_RegisterBuffer(list, sizeof list);
    prov_RegisterBuffer(times.data(), times.size() * sizeof times[0]);
    prov_RegisterBuffer(values.data(), values.size() * sizeof values[0]);
    prov_RegisterBuffer(text, sizeof text);
    char req[400];
    snprintf(req, sizeof req, "7S,0,%lld,0,%lld,%lld,%zu,%lld,%lld,%lld,%d", Addr(&from), Addr(&to), Addr(list),
             times.size(), Addr(times.data()), Addr(values.data()), Addr(text), int{sizeof text});
    std::string history = Transact(s.server, req, &rc);
    prov_ClearBuffers();
    ASSERT_EQ(rc, 1) << history;
    unsigned got = 0;
    ASSERT_EQ(sscanf(history.c_str(), "1,%u,", &got), 1) << history;
    tnwtest::ShellResult dump = tnwtest::ShellRun("'" + logtool + "' dump '" + s.run + "'");
    ASSERT_EQ(dump.status, 0) << dump.out;
    std::vector<std::string> records = Lines(dump.out, "record ");
    ASSERT_EQ(records.size(), n);
    ASSERT_EQ(got, n) << history;
    size_t surged = 0;
    for (uint32_t i = 0; i < n; ++i) {
      std::string shown = txt_FormatStamp(times[i], false);
      shown.pop_back();
      EXPECT_EQ(records[i].rfind("record " + std::to_string(i) + " " + shown + " ", 0), 0u) << records[i];
      for (int k = 0; k < 3; ++k) {
        const float v = values[i * 3 + size_t(k)];
        EXPECT_NE(records[i].find(" AI" + std::to_string(k + 1) + "=" + Shown(v) + "["), std::string::npos)
            << records[i] << " against " << v;
        EXPECT_EQ(v, samples[i][size_t(k)].value) << "record " << i << " AI" << k + 1;
      }
      if (std::min(values[i * 3], values[i * 3 + 1]) > kSurgeAbove) ++surged;
    }
    // As many surged records as the passes saw: how many depends on the pass rate.
    size_t seen = 0;
    for (const std::vector<SimChannel> &ai : samples)
      if (std::min(ai[0].value, ai[1].value) > kSurgeAbove) ++seen;
    EXPECT_GE(surged, 1u) << "the history missed the surge";
    EXPECT_EQ(surged, seen);
  }

  // A new run whose channel records come from the folder's provider by "CV"
  // holds the source run's records.
  {
    CLogFileStore src;
    LogFileHeader h;
    ASSERT_EQ(src.Open("", stores[0].run.c_str(), OS_GENERIC_READ), 0);
    ASSERT_EQ(src.ReadHeader(&h), 0);
    std::vector<std::vector<ChannelRecord>> want(h.blockCount);
    for (uint32_t b = 0; b < h.blockCount; ++b) {
      want[b].resize(h.blocks[b].last - h.blocks[b].first + 1);
      ASSERT_EQ(src.ReadChannels(&h, want[b].data(), int(b), 0, int(want[b].size())), 0);
    }
    src.Close();
    LogFileHeader x = h;
    x.recordCount = 0;
    CLogFileStore copy;
    ASSERT_EQ(copy.Create("C:\\e2eprov\\copy\\CV261211_000000.odl", &x, nullptr, stores[0].server.c_str()), 0)
        << os_GetLastError();
    for (uint32_t b = 0; b < x.blockCount; ++b) {
      std::vector<ChannelRecord> got(want[b].size());
      ASSERT_EQ(copy.ReadChannels(&x, got.data(), int(b), 0, int(got.size())), 0);
      for (size_t k = 0; k < got.size(); ++k)
        EXPECT_EQ(memcmp(got[k].raw, want[b][k].raw, 216), 0) << "block " << b << " channel " << k;
    }
    copy.Close();
  }

  for (Store &s : stores) {
    ASSERT_EQ(sim_Post(uint32_t(s.logger), NTF_STOP), 0);
    EXPECT_EQ(Reap(s.logger, 10000), 0) << s.name;
  }
  std::printf("%u records in each run\n", n);
}

namespace {

struct Provided {
  LocalProvider *p = prov_Init();
  ~Provided() { prov_Destroy(p); }
  std::string Ask(const std::string &text) {
    std::vector<char> reply(65512);
    uint32_t n = static_cast<uint32_t>(reply.size());
    if (prov_Dispatch(p, text.data(), static_cast<uint32_t>(text.size()), reply.data(), &n) != 1) return "";
    return std::string(reply.data(), n);
  }
  // "RV,LS20": the records of the newest run; -1 without a reply.
  int Records() {
    std::string r = Ask("RV,LS20");
    float v = -1;
    if (r.size() == 2 + 6 + 8) memcpy(&v, r.data() + 12, 4);
    return static_cast<int>(v);
  }
  // The start (seconds) of the run "CV" names for AI.
  uint32_t RunStart() {
    std::string r = Ask("CV,AI1");
    uint32_t s = 0;
    if (r.size() >= 6) memcpy(&s, r.data() + 2, 4);
    return s;
  }
};

}  // namespace

// A provider kept open over a cycling logger's folder: each append by the
// logger's process shows within the refresh interval, and the run the logger
// begins next is taken at the next look for a newer run.
TEST_F(ProviderRun, FollowsAppendsAndTheNextRunOfACyclingLogger) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.codes[IO_AI] = "AI";
  d.codes[IO_DI] = "DI";
  d.channels[IO_AI] = 2;
  d.channels[IO_DI] = 1;
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  const std::string root = tnwtest::Root();
  ASSERT_EQ(os_MakeFolders((root + "/drives/c/e2ecycle").c_str()), 0);
  const std::string out = tnwtest::MakeTempDir("provider_cycle_out") + "/logger.txt";
  pid_t logger = Start({tnwtest::BinPath("scadasim"), "logger", "--runs", root + "/drives/c/e2ecycle", "--prefix", "C",
                        "--cycle", "3", "--area", "AI", "--area", "DI"},
                       out);
  ASSERT_TRUE(tnwtest::WaitForText(out, "^created .*\n", 10000)) << tnwtest::ReadAll(out);
  ASSERT_TRUE(SlotOpen(logger));
  uint32_t n = 0;
  auto append = [&] {
    ++n;
    return sim_Post(uint32_t(logger), 200000) == 0 &&
           tnwtest::WaitForText(out, "\nwrote " + std::to_string(n) + "\n", 5000);
  };
  ASSERT_TRUE(append());

  // A short look for newer runs stands in for the 30 s one.
  const uint32_t kNewerRunMs = 1000;
  prov_SetNewerRunMs(kNewerRunMs);
  Provided pv;
  ASSERT_EQ(prov_Open(pv.p, "C:\\e2ecycle"), 0);
  ASSERT_EQ(pv.Records(), 1);
  const uint32_t firstStart = pv.RunStart();
  ASSERT_NE(firstStart, 0u);

  // Appends: each shows within the 500 ms refresh (and the polling's slack).
  int first = 1;
  double slowest = 0;
  for (int i = 0; i < 3 && Lines(tnwtest::ReadAll(out), "created ").size() == 1; ++i) {
    ASSERT_TRUE(append());
    const auto wrote = std::chrono::steady_clock::now();
    EXPECT_TRUE(Until([&] { return pv.Records() == first + i + 1; }, 550)) << "append " << n << ": " << pv.Records();
    slowest = std::max(slowest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wrote).count());
  }
  std::printf("appends shown after at most %.0f ms\n", slowest);

  // The next run, once it holds a record, replaces the closed one.
  ASSERT_TRUE(Until([&] { return Lines(tnwtest::ReadAll(out), "created ").size() >= 2; }, 6000)) << tnwtest::ReadAll(out);
  ASSERT_TRUE(append());
  const auto wrote = std::chrono::steady_clock::now();
  EXPECT_TRUE(Until([&] { return pv.RunStart() > firstStart && pv.Records() == 1; }, kNewerRunMs + 1000))
      << pv.RunStart() << " " << firstStart << " " << pv.Records();
  std::printf("the next run taken %.0f ms after its first record\n",
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wrote).count());
  prov_SetNewerRunMs(PROV_NEWER_RUN_MS);
  ASSERT_EQ(sim_Post(uint32_t(logger), NTF_STOP), 0);
  EXPECT_EQ(Reap(logger, 10000), 0);
}
