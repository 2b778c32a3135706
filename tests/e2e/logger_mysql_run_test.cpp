// The logger's road into a MariaDB server with the real programs: the scanner
// reads pumpsim's pumps, `scadasim logger --store "PROVIDER=MYSQL;..."`
// records each pass into the private server of the tests (its own database),
// `logtool follow` beside it; afterwards the mariadb client reads LOGGERS,
// CHANNELS and DATA and finds what the scanner published and the logger and
// its follower reported.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "tests/plugin/loggers/mysql_fixture.h"
#include "tests/support/child_run.h"
#include "tests/support/logger_db.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

namespace {

using tnwtest::AsShown;
using tnwtest::Lines;
using tnwtest::Split;

// The mariadb client's rows (tab-separated, no heading) as fields.
std::vector<std::vector<std::string>> Rows(const std::string &out) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string &line : Split(out, '\n'))
    if (!line.empty()) rows.push_back(Split(line, '\t'));
  return rows;
}

class LoggerMySqlRun : public tnwtest::SimProcesses {
 protected:
  void SetUp() override {
    srv = mysqltest::Server::Shared();
    if (srv.dir.empty()) GTEST_SKIP() << "no server: run through ctest (the fixture starts one)";
    ASSERT_FALSE(srv.port.empty()) << "the fixture's server wrote no port";
    srv.Fresh(kDb);
  }
  void TearDown() override {
    SimProcesses::TearDown();
    if (!srv.dir.empty()) srv.Sql("", std::string("DROP DATABASE IF EXISTS ") + kDb);
  }
  std::vector<std::vector<std::string>> Select(const std::string &sql) {
    tnwtest::ShellResult r = srv.Sql(kDb, sql);
    EXPECT_EQ(r.status, 0) << sql << ": " << r.out;
    return Rows(r.out);
  }

  static constexpr const char *kDb = "e2e_logger_mysql";
  mysqltest::Server srv;
};

}  // namespace

TEST_F(LoggerMySqlRun, RunReadBackByTheMariadbClient) {
  SimWorldSpec w;
  tnwtest::PumpChannels(&w.devices[0]);
  ASSERT_TRUE(StartPlant(w, "A1"));

  const std::string cs = srv.Tcp(kDb), run = cs + ";LoggerName=PUMPS";
  const std::string outs = tnwtest::MakeTempDir("logger_mysql_out");
  const std::string out = outs + "/logger.txt", follow = outs + "/follow.txt";
  tnwtest::FollowedLogger l{"mysql", out, follow};
  l.logger = Start({tnwtest::BinPath("scadasim"), "logger", "--store", cs, "--logger", "PUMPS"}, out);
  ASSERT_TRUE(tnwtest::WaitForText(out, "^created .*\n", 20000)) << tnwtest::ReadAll(out);
  const std::vector<std::string> created = Lines(tnwtest::ReadAll(out), "created ");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_NE(created[0].find(";LoggerName=PUMPS;LoggerSeq=00000001"), std::string::npos) << created[0];
  ASSERT_TRUE(SlotOpen(l.logger));
  l.follower = Start({tnwtest::BinPath("logtool"), "follow", run, "--seconds", "120"}, follow);

  // Passes, each recorded and followed before the next; the third carries a
  // text, which must not disturb the records.
  const uint32_t kRecords = 6, kTextAt = 3;
  std::vector<tnwtest::PassSample> samples;
  ASSERT_TRUE(RecordFollowed({&l}, kRecords, kTextAt, &samples));

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
  for (const tnwtest::PassSample &smp : samples)
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
