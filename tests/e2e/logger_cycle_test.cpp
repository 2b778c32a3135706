// Two loggers sharing one runs folder with the real scanner and pumpsim: each
// cycles its runs (header text, ".tsq" copy of the configuration) and purges
// its own old runs; one is killed and continues its open run; `logtool purge`
// for one prefix takes that logger's closed runs only. Each keeps its status
// channels in the world's "LS" area, whose write count follows the appends
// of the logger's present life.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "plugin/loggers/log_status.h"
#include "platform/os_handle.h"
#include "tests/support/child_run.h"
#include "tests/support/proc_stats.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

const char *const kCycle = "4";  // seconds a run stays open: room for the checks between cycles

std::set<std::string> Listing(const std::string &folder) {
  std::set<std::string> out;
  for (const auto &e : std::filesystem::directory_iterator(folder)) out.insert(e.path().filename().string());
  return out;
}

// One line of `logtool runs`.
struct RunLine {
  std::string name, start, end;
  long long records;
};

std::vector<RunLine> ParseRuns(const std::string &text) {
  std::vector<RunLine> out;
  std::istringstream in(text);
  for (RunLine r; in >> r.name >> r.start >> r.end >> r.records;) out.push_back(r);
  return out;
}

std::string Base(const std::string &name) { return name.substr(0, name.rfind('.')); }

// Logger `number`'s (from 1) status channel of `row` (from 1) in "LS".
SimChannel StatusRow(int number, int row) {
  std::vector<SimChannel> ls = sim_ReadChannels("LS");
  size_t at = static_cast<size_t>((number - 1) * 32 + row - 1);
  return at < ls.size() ? ls[at] : SimChannel{};
}
constexpr int kWritesRow = 16;  // "NO WRITES"

// A `scadasim logger --runs` child and what its output says.
struct Logger {
  pid_t pid = -1;
  std::string out;
  uint32_t written = 0;  // the last "wrote N" waited for

  size_t Created() const {
    std::string text = tnwtest::ReadAll(out);
    size_t n = 0;
    for (size_t at = 0; (at = text.find("created ", at)) != std::string::npos; ++at) n += at == 0 || text[at - 1] == '\n';
    return n;
  }
  // The path of the newest run it created, and its appends before that.
  std::string LastCreated(uint32_t *writtenBefore) const {
    std::istringstream in(tnwtest::ReadAll(out));
    std::string line, run;
    uint32_t last = 0;
    while (std::getline(in, line)) {
      if (line.rfind("wrote ", 0) == 0) last = static_cast<uint32_t>(std::stoul(line.substr(6)));
      if (line.rfind("continued ", 0) == 0) last = static_cast<uint32_t>(std::stoul(line.substr(line.rfind(' ') + 1)));
      if (line.rfind("created ", 0) == 0) run = line.substr(8), *writtenBefore = last;
    }
    return run;
  }
};

class LoggerCycle : public tnwtest::SimProcesses {
 protected:
  ::testing::AssertionResult StartLogger(Logger *l, const std::string &prefix, const std::string &out) {
    l->out = out;
    l->written = 0;
    // Each logger is named as its prefix in the world's loggers table.
    l->pid = tnwtest::Launch({tnwtest::BinPath("scadasim"), "logger", "--runs", folder, "--prefix", prefix, "--cycle",
                              kCycle, "--keep", "3600", "--logger", prefix},
                             tnwtest::Root(), out);
    children.push_back(l->pid);
    if (!tnwtest::WaitForText(out, "^(created|continued) .*\n", 10000))
      return ::testing::AssertionFailure() << "logger " << prefix << " did not start: " << tnwtest::ReadAll(out);
    if (!SlotOpen(l->pid))
      return ::testing::AssertionFailure() << "logger " << prefix << " has no mailslot";
    return ::testing::AssertionSuccess();
  }
  // One scanner pass, then one record of it in each logger.
  ::testing::AssertionResult Step(std::vector<Logger *> loggers) {
    if (::testing::AssertionResult r = ScanPass("A1"); !r) return r;
    for (Logger *l : loggers)
      if (sim_Post(uint32_t(l->pid), 200000) != 0) return ::testing::AssertionFailure() << "logger " << l->pid << " gone";
    for (Logger *l : loggers) {
      ++l->written;
      if (!tnwtest::WaitForText(l->out, "(^|\n)wrote " + std::to_string(l->written) + "\n", 5000))
        return ::testing::AssertionFailure() << "no \"wrote " << l->written << "\": " << tnwtest::ReadAll(l->out);
    }
    return ::testing::AssertionSuccess();
  }
  // Steps until the logger has created `count` runs.
  ::testing::AssertionResult StepUntilCreated(const Logger &l, size_t count, std::vector<Logger *> loggers) {
    for (int i = 0; i < 400 && l.Created() < count; ++i)
      if (::testing::AssertionResult r = Step(loggers); !r) return r;
    if (l.Created() < count) return ::testing::AssertionFailure() << "no cycle: " << tnwtest::ReadAll(l.out);
    return ::testing::AssertionSuccess();
  }
  std::vector<RunLine> Runs(const std::string &prefix) {
    tnwtest::ShellResult r =
        tnwtest::ShellRun("'" + tnwtest::BinPath("logtool") + "' runs '" + folder + "' --prefix " + prefix);
    EXPECT_EQ(r.status, 0) << r.out;
    return ParseRuns(r.out);
  }
  bool Has(const std::string &name) const { return access((folder + "/" + name).c_str(), F_OK) == 0; }

  std::string folder;
};

}  // namespace

TEST_F(LoggerCycle, TwoLoggersCycleInOneFolderAndThePurgeTakesOnePrefix) {
  SimWorldSpec w;
  w.loggers = {"A", "B"};  // logger 1 and 2: LS rows 1-32 and 33-64
  SimProcessorSpec status;
  status.name = "logst";
  status.text = "Logger status channels";
  status.code = "LS";
  status.kind = SIM_LOGGER_STATUS_KIND;
  w.processors.push_back(status);
  SimDeviceSpec &d = w.devices[0];
  d.channels[IO_AI] = 3;
  d.channels[IO_DI] = 2;
  ASSERT_TRUE(StartPlant(w, "A1"));

  folder = tnwtest::MakeTempDir("logger_cycle");
  const std::string outs = tnwtest::MakeTempDir("logger_cycle_out");
  // Old runs of A and B, which each logger's own purge takes; another
  // logger's run, the events file and names that are no runs, which stay.
  const std::vector<std::string> oldA = {"A230101_000000_230101_010000.odl", "A230101_000000_230101_010000.txt",
                                         "A230101_000000_230101_010000.tsq"},
                                 oldB = {"B230101_000000_230101_010000.odl", "B230101_000000_230101_010000.txt"},
                                 stay = {"AB230101_000000_230101_010000.odl", "AB230101_000000_230101_010000.txt",
                                         "events.txt", "A_notes.odl", "A2301_garbage.odl",
                                         "A230101_000000_231301_000000.odl"};
  for (const auto *set : {&oldA, &oldB, &stay})
    for (const std::string &n : *set) ASSERT_TRUE(tnwtest::WriteFile(folder + "/" + n, "x")) << n;

  Logger a, b;
  ASSERT_TRUE(StartLogger(&a, "A", outs + "/a1.txt"));
  ASSERT_TRUE(StartLogger(&b, "B", outs + "/b.txt"));
  ASSERT_EQ(sim_ReadChannels("LS").size(), 64u);
  for (const std::string &out : {a.out, b.out})
    EXPECT_EQ(tnwtest::ReadAll(out).find("no status channels"), std::string::npos) << tnwtest::ReadAll(out);

  // A cycles once; then it dies in its second run.
  ASSERT_TRUE(StepUntilCreated(a, 2, {&a, &b}));
  ASSERT_TRUE(Step({&a, &b}));
  for (const std::string &n : oldA) EXPECT_FALSE(Has(n)) << n << " outlived A's own purge";
  ASSERT_EQ(kill(a.pid, SIGKILL), 0);
  EXPECT_EQ(Reap(a.pid, 5000), 128 + SIGKILL);
  const uint32_t firstLife = a.written;
  uint32_t before = 0;
  const std::string open = a.LastCreated(&before);
  const uint32_t inOpen = firstLife - before;
  ASSERT_GT(inOpen, 0u);
  const std::string openName = std::filesystem::path(open).filename().string();
  // A's channels hold what its first life appended; "wrote N" follows the
  // channels' update, so no wait is needed.
  EXPECT_EQ(StatusRow(1, kWritesRow).tag, "0001_NO WRITES");
  EXPECT_EQ(StatusRow(1, kWritesRow).value, static_cast<float>(firstLife));
  EXPECT_EQ(StatusRow(1, LOG_ROW_RT_NUMBER).value, static_cast<float>(firstLife));
  {
    // The folder agrees: one open run of A, holding what was appended.
    std::vector<RunLine> runs = Runs("A");
    size_t opens = 0;
    for (const RunLine &r : runs)
      if (r.end == "-") {
        ++opens;
        EXPECT_EQ(r.name, openName);
        EXPECT_EQ(r.records, static_cast<long long>(inOpen));
      }
    EXPECT_EQ(opens, 1u);
  }

  // Restarted, it continues that run and later closes it under its start.
  ASSERT_TRUE(StartLogger(&a, "A", outs + "/a2.txt"));
  EXPECT_EQ(tnwtest::ReadAll(a.out).substr(0, tnwtest::ReadAll(a.out).find('\n')),
            "continued " + open + " at " + std::to_string(inOpen));
  a.written = inOpen;
  // The restarted feed counts this life's writes from 0; the newest record's
  // number goes on from the continued run.
  EXPECT_EQ(StatusRow(1, kWritesRow).value, 0.0f);
  ASSERT_TRUE(Step({&a, &b}));
  EXPECT_EQ(StatusRow(1, kWritesRow).value, 1.0f);
  EXPECT_EQ(StatusRow(1, LOG_ROW_RT_NUMBER).value, static_cast<float>(inOpen + 1));
  ASSERT_TRUE(StepUntilCreated(a, 1, {&a, &b}));
  const std::string stamp = openName.substr(1, 13);
  EXPECT_FALSE(Has(openName));
  ASSERT_TRUE(StepUntilCreated(b, 3, {&a, &b}));
  for (const std::string &n : oldB) EXPECT_FALSE(Has(n)) << n << " outlived B's own purge";
  // Both feeds at once, each in its own rows, across A's cycles.
  EXPECT_EQ(StatusRow(1, kWritesRow).value, static_cast<float>(a.written - inOpen));
  EXPECT_EQ(StatusRow(2, kWritesRow).tag, "0002_NO WRITES");
  EXPECT_EQ(StatusRow(2, kWritesRow).value, static_cast<float>(b.written));

  // B stops (its last run stays open); no more records from here.
  ASSERT_EQ(sim_Post(uint32_t(b.pid), NTF_STOP), 0);
  EXPECT_EQ(Reap(b.pid, 10000), 0);
  EXPECT_EQ(StatusRow(2, kWritesRow).value, static_cast<float>(b.written));

  // Every record each logger reported is in its runs, across A's restart.
  // A still cycles: a run renamed under the listing is read again.
  std::vector<RunLine> runsA;
  for (int i = 0; i < 5; ++i) {
    runsA = Runs("A");
    if (std::none_of(runsA.begin(), runsA.end(), [](const RunLine &r) { return r.records < 0; })) break;
  }
  long long sumA = 0, sumB = 0;
  std::set<std::string> closedA;
  bool continuedClosed = false;
  for (const RunLine &r : runsA) {
    ASSERT_GE(r.records, 0) << r.name;
    sumA += r.records;
    if (r.end != "-") closedA.insert(Base(r.name));
    continuedClosed |= r.name.rfind("A" + stamp + "_", 0) == 0;
  }
  EXPECT_EQ(sumA, static_cast<long long>(firstLife + a.written - inOpen));
  EXPECT_TRUE(continuedClosed) << "the continued run was not closed under its start " << stamp;
  EXPECT_GE(closedA.size(), 2u);
  std::vector<RunLine> runsB = Runs("B");
  size_t openB = 0;
  for (const RunLine &r : runsB) {
    sumB += r.records;
    openB += r.end == "-";
    EXPECT_TRUE(Has(Base(r.name) + ".txt")) << r.name;
    EXPECT_TRUE(Has(Base(r.name) + ".tsq")) << r.name;
  }
  EXPECT_EQ(sumB, static_cast<long long>(b.written));
  EXPECT_EQ(openB, 1u);
  EXPECT_GE(runsB.size(), 3u);

  // Each run has its header text and its copy of the configuration.
  ASSERT_FALSE(closedA.empty());
  for (const std::string &base : closedA) {
    EXPECT_NE(tnwtest::ReadFile(folder + "/" + base + ".txt").find("[HEADER]\r\nscadasim logger, prefix A, areas A1 D1\r\n"),
              std::string::npos)
        << base;
    ASSERT_TRUE(Has(base + ".tsq")) << base;
  }
  tnwtest::ShellResult tar = tnwtest::ShellRun("uncompress -c '" + folder + "/" + *closedA.begin() + ".tsq' | tar -tf -");
  EXPECT_EQ(tar.status, 0);
  const std::string device = std::filesystem::path(sim_DeviceFolder(0)).filename().string();
  EXPECT_NE(tar.out.find("./LOGGERS/"), std::string::npos) << tar.out;
  EXPECT_NE(tar.out.find("./" + device + "/"), std::string::npos) << tar.out;

  // Right after A's next new run, while A holds it, A's closed runs are
  // purged: those of the listing just before, with their companions.
  const size_t aCreated = a.Created();
  ASSERT_TRUE(Until([&] { return a.Created() > aCreated; }, 10000)) << tnwtest::ReadAll(a.out);
  const std::set<std::string> was = Listing(folder);
  tnwtest::ShellResult purge =
      tnwtest::ShellRun("'" + tnwtest::BinPath("logtool") + "' purge '" + folder + "' --prefix A --before now 2>&1");
  const std::set<std::string> now = Listing(folder);
  EXPECT_EQ(purge.status, 0) << purge.out;
  ASSERT_EQ(a.Created(), aCreated + 1) << "A cycled during the purge: the listing moved";

  const std::regex closedOfA("A\\d{6}_\\d{6}_\\d{6}_\\d{6}\\.(odl|txt|tsq)"), openOfA("A\\d{6}_\\d{6}\\.odl");
  std::set<std::string> want;
  size_t purged = 0, opens = 0;
  std::string openA;
  for (const std::string &n : was) {
    bool junk = std::find(stay.begin(), stay.end(), n) != stay.end();  // month 13 is no run
    if (std::regex_match(n, closedOfA) && !junk) {
      ++purged;
      continue;
    }
    if (std::regex_match(n, openOfA)) {
      ++opens;
      openA = n;
    }
    want.insert(n);
  }
  EXPECT_EQ(now, want);
  EXPECT_GE(purged, 3 * closedA.size());
  EXPECT_EQ(opens, 1u);
  for (const std::string &n : stay) EXPECT_TRUE(now.count(n)) << n;

  // A goes on appending to its open run.
  ASSERT_TRUE(Step({&a}));
  uint32_t beforeRun = 0;
  EXPECT_EQ(std::filesystem::path(a.LastCreated(&beforeRun)).filename().string(), openA);
  std::vector<RunLine> after = Runs("A");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].name, openA);
  EXPECT_EQ(after[0].end, "-");
  EXPECT_EQ(after[0].records, static_cast<long long>(a.written - beforeRun));
  ASSERT_EQ(sim_Post(uint32_t(a.pid), NTF_STOP), 0);
  EXPECT_EQ(Reap(a.pid, 10000), 0);
  EXPECT_EQ(StatusRow(1, kWritesRow).value, static_cast<float>(a.written - inOpen));
  EXPECT_EQ(StatusRow(1, LOG_ROW_RT_NUMBER).value, static_cast<float>(a.written));
  EXPECT_EQ(StatusRow(2, kWritesRow).value, static_cast<float>(b.written)) << "B's rows stay as B left them";
  std::printf("A: %u + %u records, %zu files of closed runs purged; B: %u records in %zu runs\n", firstLife,
              a.written - inOpen, purged, b.written, runsB.size());
}
