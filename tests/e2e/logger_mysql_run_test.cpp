// The logger's road into a MariaDB server with the real programs: the scanner
// reads pumpsim's pumps, `scadasim logger --store "PROVIDER=MYSQL;..."`
// records each pass into the private server of the tests (its own database),
// `logtool follow` beside it; afterwards the mariadb client reads LOGGERS,
// CHANNELS and DATA and finds what the scanner published and the logger and
// its follower reported.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_handle.h"
#include "tests/plugin/loggers/mysql_fixture.h"
#include "tests/support/child_run.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

struct Hw {
  uint32_t pump, value;
};

void Put(ChannelRecord *r, int t, Hw hw) {
  int at = t == IO_DI ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  memcpy(r->raw + at, &hw.pump, 4);
  memcpy(r->raw + at + 4, &hw.value, 4);
}

std::vector<std::string> Split(const std::string &text, char sep) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t end; (end = text.find(sep, at)) != std::string::npos; at = end + 1) out.push_back(text.substr(at, end - at));
  out.push_back(text.substr(at));
  return out;
}

// Complete lines that start with `start`.
std::vector<std::string> Lines(const std::string &text, const char *start) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    if (text.compare(at, strlen(start), start) == 0) out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// The mariadb client's rows (tab-separated, no heading) as fields.
std::vector<std::vector<std::string>> Rows(const std::string &out) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string &line : Split(out, '\n'))
    if (!line.empty()) rows.push_back(Split(line, '\t'));
  return rows;
}

// A stored date and MS as logtool shows a record time:
// "2026-12-11 02:30:01", 250.5 -> "26/12/11 02:30:01.250".
std::string AsShown(const std::string &dt, const std::string &ms) {
  if (dt.size() < 19) return "bad date " + dt;
  std::string out = dt.substr(2, 2) + "/" + dt.substr(5, 2) + "/" + dt.substr(8, 2) + " " + dt.substr(11, 8);
  int m = static_cast<int>(std::floor(std::stod(ms)));
  char frac[8] = "";
  if (m) snprintf(frac, sizeof frac, ".%03d", m);
  return out + frac;
}

struct Sample {
  std::vector<SimChannel> ai, di;
};

class LoggerMySqlRun : public ::testing::Test {
 protected:
  void SetUp() override {
    srv = mysqltest::Server::Shared();
    if (srv.dir.empty()) GTEST_SKIP() << "no server: run through ctest (the fixture starts one)";
    ASSERT_FALSE(srv.port.empty()) << "the fixture's server wrote no port";
    srv.Fresh(kDb);
  }
  void TearDown() override {
    for (pid_t &p : children)
      if (p > 0) kill(p, SIGKILL), tnwtest::WaitChild(p, 5000), p = -1;
    if (scanner) {
      if (sim_WaitExit(scanner, 0) < 0) os_TerminateProcess(scanner, 9);
      sim_WaitExit(scanner, 5000);
      os_CloseHandle(scanner);
    }
    if (line) sim_StopPumpSim(line, linePid, 5000);
    ntf_Stop();
    sim_DestroyWorld();
    if (!srv.dir.empty()) srv.Sql("", std::string("DROP DATABASE IF EXISTS ") + kDb);
  }
  pid_t Start(const std::vector<std::string> &argv, const std::string &out) {
    pid_t p = tnwtest::Launch(argv, tnwtest::Root(), out);
    children.push_back(p);
    return p;
  }
  int Reap(pid_t p, int ms) {
    int status = tnwtest::WaitChild(p, ms);
    if (status >= 0)
      for (pid_t &c : children)
        if (c == p) c = -1;
    return status;
  }
  std::vector<std::vector<std::string>> Select(const std::string &sql) {
    tnwtest::ShellResult r = srv.Sql(kDb, sql);
    EXPECT_EQ(r.status, 0) << sql << ": " << r.out;
    return Rows(r.out);
  }

  static constexpr const char *kDb = "e2e_logger_mysql";
  mysqltest::Server srv;
  std::vector<pid_t> children;
  OsHandle scanner = nullptr, line = nullptr;
  uint32_t scannerPid = 0, linePid = 0;
};

}  // namespace

TEST_F(LoggerMySqlRun, RunReadBackByTheMariadbClient) {
  SimWorldSpec w;
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = 3;
  d.channels[IO_DI] = 2;
  d.channelSetup = [](int t, int i, ChannelRecord *r) {
    static const Hw ai[3] = {{1, 3}, {2, 3}, {1, 18}};  // outlet pressures of pumps 1 and 2, CYL1_POS
    static const Hw di[2] = {{1, 1}, {1, 26}};          // STATUS, M_VALVE1
    if (t == IO_AI) Put(r, t, ai[i]);
    if (t == IO_DI) Put(r, t, di[i]);
  };
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  ASSERT_TRUE(sim_Watch("A1", 1));
  line = sim_StartPumpSim(0, {}, &linePid);
  ASSERT_NE(line, nullptr);
  scanner = sim_StartScanner(0, "", &scannerPid);
  ASSERT_NE(scanner, nullptr);
  ASSERT_TRUE(sim_WaitRunning(0, scanner, 10000));
  DeviceRecord *rec = sim_Device(0);
  ASSERT_TRUE(Until([&] { return rec->Ready == 1 && rec->Busy == 0; }, 15000)) << sim_StatusText("TNWELL1");

  const std::string cs = srv.Tcp(kDb), run = cs + ";LoggerName=PUMPS";
  const std::string outs = tnwtest::MakeTempDir("logger_mysql_out");
  const std::string out = outs + "/logger.txt", follow = outs + "/follow.txt";
  const pid_t logger = Start({tnwtest::BinPath("scadasim"), "logger", "--store", cs, "--logger", "PUMPS"}, out);
  ASSERT_TRUE(tnwtest::WaitForText(out, "^created .*\n", 20000)) << tnwtest::ReadAll(out);
  const std::vector<std::string> created = Lines(tnwtest::ReadAll(out), "created ");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_NE(created[0].find(";LoggerName=PUMPS;LoggerSeq=00000001"), std::string::npos) << created[0];
  const std::string slot = tnwtest::Root() + "/kernel/mailslot/dm_" + std::to_string(logger) + ".slt";
  ASSERT_TRUE(Until([&] { return access(slot.c_str(), F_OK) == 0; }, 5000));
  const pid_t follower = Start({tnwtest::BinPath("logtool"), "follow", run, "--seconds", "120"}, follow);

  // Passes, each recorded and followed before the next; the third carries a
  // text, which must not disturb the records.
  const uint32_t kRecords = 6, kTextAt = 3;
  std::vector<Sample> samples;
  void *area = sim_Area("A1", SHM_AREA_DATA);
  for (uint32_t n = 1; n <= kRecords; ++n) {
    while (shm_WaitChangeFor(area, 1, 1) == 1) {
    }
    ASSERT_EQ(sim_Post(scannerPid, NTF_SCAN), 0);
    ASSERT_TRUE(sim_WaitForChange("A1", 1, 10000)) << "no scanner pass for record " << n;
    samples.push_back({sim_ReadChannels("A1"), sim_ReadChannels("D1")});
    ASSERT_EQ(sim_Post(uint32_t(logger), n == kTextAt ? 200003 : 200000), 0);
    ASSERT_TRUE(tnwtest::WaitForText(out, "\nwrote " + std::to_string(n) + "\n", 10000)) << tnwtest::ReadAll(out);
    ASSERT_TRUE(tnwtest::WaitForText(follow, "(^|\n)record " + std::to_string(n - 1) + " ", 10000))
        << tnwtest::ReadAll(follow);
  }
  ASSERT_EQ(sim_Post(uint32_t(logger), NTF_STOP), 0);
  EXPECT_EQ(Reap(logger, 10000), 0);
  ASSERT_EQ(kill(follower, SIGTERM), 0);
  Reap(follower, 5000);

  const std::string loggerOut = tnwtest::ReadAll(out), followOut = tnwtest::ReadAll(follow);
  EXPECT_EQ(loggerOut.find("failed"), std::string::npos) << loggerOut;
  EXPECT_EQ(followOut.find("logtool:"), std::string::npos) << followOut;
  const std::vector<std::string> followed = Lines(followOut, "record ");
  ASSERT_EQ(followed.size(), kRecords) << followOut;

  // The run's row.
  auto runs = Select(
      "SELECT sLoggerName, nLoggerSequence, dStartTime IS NOT NULL, dStopTime, bCompleted, sTablePrefix FROM "
      "LOGGERS");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"PUMPS", "1", "1", "NULL", "0", "PUMPS_"}));

  // The channels, in the order the logger laid them out, with the scanner's tags.
  auto channels = Select("SELECT nBlock, sPrefix, nChannelNumber, sTag, sColumnName FROM PUMPS_CHANNELS "
                         "ORDER BY nBlock, nChannelNumber");
  ASSERT_EQ(channels.size(), 5u);
  const std::vector<SimChannel> &ai = samples[0].ai, &di = samples[0].di;
  ASSERT_EQ(ai.size(), 3u);
  ASSERT_EQ(di.size(), 2u);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE("channel " + std::to_string(i));
    const bool digital = i >= 3;
    const size_t k = digital ? i - 3 : i;
    EXPECT_EQ(channels[i][0], digital ? "1" : "0");
    EXPECT_EQ(channels[i][1], digital ? "D1" : "A1");
    EXPECT_EQ(channels[i][2], std::to_string(k + 1));
    EXPECT_EQ(channels[i][3], digital ? di[k].tag : ai[k].tag);
    EXPECT_EQ(channels[i][4], (digital ? "D1" : "A1") + std::to_string(k + 1));
  }

  // The records: times as the follower read them, values as the scanner
  // published them, bad digital states NULL; the third pass's text is
  // among what this store does not keep.
  bool someValue = false;
  for (const Sample &smp : samples)
    for (const SimChannel &c : smp.ai) someValue |= c.value != 0;
  EXPECT_TRUE(someValue) << "the pumps published only zeros: nothing to compare";
  auto rows = Select("SELECT DT, MS, TX, A11, A12, A13, D11, D12 FROM PUMPS_DATA ORDER BY DT, MS");
  ASSERT_EQ(rows.size(), kRecords);
  for (uint32_t i = 0; i < kRecords; ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const std::vector<std::string> &f = rows[i];
    ASSERT_EQ(f.size(), 8u);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(followed[i], m, std::regex("^record \\d+ (\\S+ \\S+) "))) << followed[i];
    EXPECT_EQ(AsShown(f[0], f[1]), m[1].str());
    const double ms = std::stod(f[1]);
    EXPECT_TRUE(ms >= 0 && ms < 1000) << f[1];
    EXPECT_EQ(f[2], "NULL");  // this store keeps no text entries
    for (size_t k = 0; k < 3; ++k) {
      const SimChannel &c = samples[i].ai[k];
      if (c.status & 0x20) {
        EXPECT_EQ(f[3 + k], "NULL") << "A1" << k + 1;
      } else {
        // Stored as doubles, they come back to the same float.
        EXPECT_EQ(static_cast<float>(std::stod(f[3 + k])), c.value) << "A1" << k + 1;
      }
      char shown[48];
      snprintf(shown, sizeof shown, " A1%zu=%g[", k + 1, static_cast<double>(c.value));
      EXPECT_NE(followed[i].find(shown), std::string::npos) << followed[i];
    }
    for (size_t k = 0; k < 2; ++k) {
      const uint32_t st = samples[i].di[k].status;
      EXPECT_EQ(f[6 + k], (st & 0x20) ? "NULL" : std::to_string(st & 1)) << "D1" << k + 1 << " status " << st;
    }
  }
  std::printf("%u records in %s\n", kRecords, kDb);
}
