// The soak: the server stand-in drives the scanner at its scan rate against a
// pump line that throws every fault it has, at random, on random units, while
// a second process posts reconfigure, initialise-values and reset-counters
// codes and rewrites channel files. After every pass the published channels,
// the status text and the scanner process are checked.
//
// The short form runs TNW_SOAK_SECONDS (default 150); by hand:
//   TNW_SOAK_SECONDS=3600 ctest -L soak -V        (or run build/tests/soak_scanner_test)
// TNW_SOAK_SEED repeats a run (the seed is printed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "framework/config/cfg_path.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_env.h"
#include "platform/os_handle.h"
#include "tests/soak/soak_agitator.h"
#include "tests/soak/soak_plan.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tools/pumpsim/psim.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

const uint32_t kScanRate = 250;
const uint32_t kPassBoundMs = 30000;  // the longest pass: every query timed out, and a retry

double EnvNumber(const char *name, double fallback) {
  const char *v = getenv(name);
  return v && *v ? atof(v) : fallback;
}

std::vector<ChannelRecord> Table(const char *code) {
  void *conf = sim_Area(code, SHM_AREA_CONF);
  void *data = sim_Area(code, SHM_AREA_DATA);
  std::vector<ChannelRecord> t(shm_AreaHeader(data)->count);
  memcpy(t.data(), shm_AreaRecords(conf), t.size() * sizeof(ChannelRecord));
  return t;
}

struct Tally {
  uint64_t notices = 0, scans = 0, superseded = 0, unanswered = 0, checks = 0;
  std::map<int32_t, uint64_t> codes;
  uint64_t failedPosts = 0, alarms = 0, derived = 0, faultChanges = 0, cleanWindows = 0;
  std::map<std::string, uint64_t> faults, statuses;
  uint64_t exchanges = 0, replies = 0, cleanChecks = 0;
};

std::string Kind(const PsimExchange &e) {
  static const char *const names[] = {"silence", "garbage", "short", "overlong", "error", "spaced", "absent"};
  return e.fault >= 0 && e.fault < 7 ? names[e.fault] : "";
}

class Soak : public ::testing::Test {
 protected:
  void TearDown() override {
    if (proc) {
      if (sim_WaitExit(proc, 0) < 0) os_TerminateProcess(proc, 9);
      sim_WaitExit(proc, 5000);
      os_CloseHandle(proc);
    }
    if (line) psim_Stop(line);
    ntf_Stop();
    sim_DestroyWorld();
  }
  OsHandle proc = nullptr;
  PumpSim *line = nullptr;
};

}  // namespace

TEST_F(Soak, TheScannerHoldsUpUnderFaultsCodesAndRewrites) {
  const double seconds = EnvNumber("TNW_SOAK_SECONDS", 150);
  const uint32_t seed = static_cast<uint32_t>(EnvNumber("TNW_SOAK_SEED", static_cast<double>(time(nullptr) % 100000)));
  printf("soak: %.0f s, seed %u\n", seconds, seed);
  std::mt19937 random(seed);

  std::filesystem::create_directories(tnwtest::Root() + "/drives/c/SAVED");
  os_SetEnvironmentVariable("TSQ_SAVED_VALUES", "C:\\SAVED");
  SimWorldSpec w = soak::WorldSpec(kScanRate);
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  // The second process is forked while this one has no thread yet.
  soak::Agitator agitator(seed + 1);
  ASSERT_TRUE(agitator.Forked());
  ASSERT_EQ(sim_OpenServerSlots(&why), 0) << why;
  ASSERT_EQ(sim_StartLogger(0, nullptr), 0);
  for (int ch : {1, 3, 8}) sim_Subscribe("A1", 1, ch);
  for (int ch : {1, 2, 6}) sim_Subscribe("D1", 1, ch);
  sim_Subscribe("A1", 0, 1);  // the device's own row: derived notices
  sim_Subscribe("D1", 0, 3);

  PsimConfig pc;
  pc.port = sim_PumpSimPort(0);
  pc.units = (1u << soak::kUnits) - 1;
  pc.seed = seed;
  pc.keepExchanges = true;
  line = psim_Start(pc, &why);
  ASSERT_NE(line, nullptr) << why;
#ifdef TNW_SANITIZE
  // Freed blocks wait in the sanitizer's quarantine (256 MB by default): with
  // a small one the scanner's resident memory shows what it keeps.
  std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
  setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "quarantine_size_mb=4").c_str(), 1);
#endif
  uint32_t pid = 0;
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(Until([&] { return r->ProcessId == pid && r->Ready == 1 && r->Busy == 0 && r->NextScanDue.seconds; },
                    15000));
  ASSERT_TRUE(sim_Watch("A1", 1));
  void *aiArea = sim_Area("A1", SHM_AREA_DATA);
  void *diArea = sim_Area("D1", SHM_AREA_DATA);
  ASSERT_TRUE(agitator.Start(pid));

  const std::string offsetsFile = tnwtest::Root() + "/drives/c/SAVED/TNWELL1_ai.bin";
  const std::string folder = sim_DeviceFolder(0);
  soak::PassLog log;
  Tally tally;
  std::vector<ChannelRecord> aiBefore = Table("A1"), diBefore = Table("D1");
  std::vector<soak::Act> rewrites;  // waiting for the scanner to reload them
  tnwtest::ProcStats base, third, last;
  int failures = 0;
  auto problem = [&](const std::string &text) {
    ADD_FAILURE() << text;
    ++failures;
  };
  const uint64_t start = soak::NowMs(), end = start + static_cast<uint64_t>(seconds * 1000);
  uint64_t nextScan = start, nextFaults = start + 3000, lastPrint = start;
  std::vector<PsimFault> faults;

  while (soak::NowMs() < end && failures < 10) {
    uint64_t now = soak::NowMs();
    if (now < nextScan) os_Sleep(static_cast<uint32_t>(nextScan - now));
    nextScan = std::max(nextScan + kScanRate, soak::NowMs());
    if (soak::NowMs() >= nextFaults) {
      faults = soak::RandomFaults(random);
      psim_SetFaults(line, faults);
      ++tally.faultChanges;
      tally.cleanWindows += faults.empty();
      nextFaults = soak::NowMs() + 1500 + random() % 4500;
    }

    // One scan request, answered by a pass.
    while (shm_WaitChangeFor(aiArea, 1, 1) == 1) {
    }
    TimeStamp due = r->NextScanDue;
    bool answered = false;
    for (int attempt = 0; attempt < 2 && !answered; ++attempt) {
      if (sim_Post(pid, NTF_SCAN) != 0) {
        ++tally.failedPosts;
        problem("the scan request could not be posted (error " + std::to_string(errno) + ")");
        break;
      }
      ++tally.scans;
      ++tally.codes[NTF_SCAN];
      answered = sim_WaitForChange("A1", 1, kPassBoundMs);
      // A request that came in while a reconfiguration or initialisation
      // restarted the timing is dropped with the pending count, by design.
      if (!answered && memcmp(&due, &r->NextScanDue, sizeof due) != 0) ++tally.superseded;
      else break;
    }
    tnwtest::ProcStats ps = tnwtest::ReadProcStats(static_cast<pid_t>(pid));
    if (!ps.alive || sim_WaitExit(proc, 0) >= 0) {
      problem("the scanner is gone (exit " + std::to_string(sim_WaitExit(proc, 0)) + ")");
      break;
    }
    if (!answered) {
      ++tally.unanswered;
      problem("no pass answered a scan request within " + std::to_string(kPassBoundMs) + " ms; status \"" +
              sim_StatusText("TNWELL1") + "\", faults " + soak::DescribeFaults(faults));
      continue;
    }
    ++tally.notices;

    // What the server sees, with both areas held so that no pass publishes
    // between the channels and the line's record of its replies.
    shm_Lock(aiArea);
    shm_Lock(diArea);
    std::vector<SimChannel> ai = sim_ReadChannels("A1"), di = sim_ReadChannels("D1");
    std::vector<ChannelRecord> aiTable = Table("A1"), diTable = Table("D1");
    std::string status = sim_StatusText("TNWELL1");
    std::vector<PsimExchange> ex = psim_TakeExchanges(line);
    TimeStamp aiStamp = shm_AreaHeader(aiArea)->changed, diStamp = shm_AreaHeader(diArea)->changed;
    shm_Unlock(diArea);
    shm_Unlock(aiArea);
    psim_ClearCommands(line);
    log.Add(ex);
    for (const PsimExchange &e : ex) {
      ++tally.exchanges;
      tally.replies += e.answered;
      if (e.fault >= 0) ++tally.faults[Kind(e)];
      if (e.spacedMs) ++tally.faults["spaced"];
    }
    tally.alarms += sim_TakeAlarms().size();
    tally.derived += sim_TakeDerived().size();
    ++tally.statuses[status.empty() ? "(cleared)" : status];

    std::set<float> offsets = {0.0f};
    std::string saved = tnwtest::ReadFile(offsetsFile);
    for (size_t at = 12; at + 4 <= saved.size(); at += 16) {
      float o;
      memcpy(&o, saved.data() + at, 4);
      offsets.insert(o);
    }

    // The passes that may have made what is shown, and the one before them.
    std::vector<const soak::Pass *> recent = log.Last(4);
    if (recent.size() == 4 && log.Completed() >= 4) {
      ++tally.checks;
      std::vector<soak::PassOutcome> outcome;
      for (const soak::Pass *p : recent) outcome.push_back(soak::OutcomeOf(*p, aiTable.data(), static_cast<int>(aiTable.size())));
      std::vector<const soak::Pass *> candidates(recent.begin() + 1, recent.end());
      std::vector<bool> failed;
      std::set<std::string> texts;
      bool clean = true;
      for (size_t i = 1; i < recent.size(); ++i) {
        failed.push_back(outcome[i].failed);
        soak::AllowedTexts(outcome[i], &texts);
        if (outcome[i - 1].failed) texts.insert("");  // a successful initialisation clears the status
      }
      for (const soak::Pass *p : recent)
        for (const PsimExchange &e : p->exchanges) clean = clean && soak::ErrorOf(e) == 0;
      if (!texts.count(status)) {
        std::string allowed;
        for (const std::string &t : texts) allowed += " \"" + t + "\"";
        problem("status \"" + status + "\" does not follow from the replies; expected one of" + allowed + "; faults " +
                soak::DescribeFaults(faults));
      }
      for (int t : {IO_AI, IO_DI}) {
        const std::vector<SimChannel> &shown = t == IO_AI ? ai : di;
        const std::vector<ChannelRecord> &table = t == IO_AI ? aiTable : diTable;
        const std::vector<ChannelRecord> &before = t == IO_AI ? aiBefore : diBefore;
        for (size_t i = 0; i < shown.size() && i < table.size(); ++i) {
          const SimChannel &c = shown[i];
          soak::Source s = soak::SourceOf(t, table[i]);
          std::string name = std::string(t == IO_AI ? "AI " : "DI ") + c.tag;
          if (c.status & CST_BAD) {
            if (!soak::BadExplained(t, table[i], candidates, failed))
              problem(name + " is bad, but its replies were good and no pass failed");
            if (clean && s.takesPart && s.online) problem(name + " is bad after clean passes");
            continue;
          }
          if (!s.takesPart || !s.online) {
            problem(name + " is good without taking part");
            continue;
          }
          float value = t == IO_AI ? c.value : static_cast<float>(c.status & CST_VALUE);
          if (!soak::GoodExplained(t, value, candidates, {&table[i], &before[i]}, offsets))
            problem(name + " shows " + std::to_string(value) + ", which no reply of " + s.Command() + " gave");
        }
      }
      if (clean && !status.empty()) problem("status \"" + status + "\" after clean passes");
      tally.cleanChecks += clean;
    }
    aiBefore = aiTable;
    diBefore = diTable;

    // Each rewritten channel file is read back by the reconfiguration that follows it.
    for (const soak::Act &a : agitator.Take()) {
      ++tally.codes[a.code];
      if (a.posted != 0) {
        ++tally.failedPosts;
        problem("the second process could not post code " + std::to_string(a.code));
      }
      if (a.type >= 0) rewrites.push_back(a);
    }
    for (size_t k = 0; k < rewrites.size();) {
      const soak::Act &a = rewrites[k];
      const TimeStamp &have = a.type == IO_AI ? aiStamp : diStamp;
      bool loaded = have.seconds > a.stampSeconds || (have.seconds == a.stampSeconds && have.ms >= a.stampMs);
      if (loaded) {
        rewrites.erase(rewrites.begin() + static_cast<std::ptrdiff_t>(k));
        continue;
      }
      if (soak::NowMs() - a.atMs > kPassBoundMs)
        problem("the reconfiguration after a rewrite of channel file " + std::string(chan_KindShortName(a.type)) +
                " was never served");
      ++k;
    }

    // The process itself.
    uint64_t elapsed = soak::NowMs() - start;
    if (!base.alive && elapsed > 15000) base = ps;
    if (!third.alive && elapsed > static_cast<uint64_t>(seconds * 1000 / 3)) third = ps;
    if (base.alive) {
      if (ps.fds > base.fds + 3) problem("descriptors grew from " + std::to_string(base.fds) + " to " + std::to_string(ps.fds) + ":\n" + tnwtest::DescribeFds(static_cast<pid_t>(pid)));
      if (ps.threads != base.threads) problem("threads went from " + std::to_string(base.threads) + " to " + std::to_string(ps.threads));
    }
    last = ps;
    if (soak::NowMs() - lastPrint > 30000) {
      lastPrint = soak::NowMs();
      printf("soak: %llu s, %llu passes, rss %llu kB, fds %d, status \"%s\", faults %s\n",
             static_cast<unsigned long long>(elapsed / 1000), static_cast<unsigned long long>(log.Completed()),
             static_cast<unsigned long long>(ps.rssKb), ps.fds, status.c_str(), soak::DescribeFaults(faults).c_str());
      fflush(stdout);
    }
  }

  // Quiet: the last rewrites are read back, then the scanner stops.
  for (const soak::Act &a : agitator.Stop()) {
    ++tally.codes[a.code];
    if (a.posted != 0) ++tally.failedPosts;
  }
  psim_SetFaults(line, {});
  for (int t : {IO_AI, IO_DI}) {
    const char *code = t == IO_AI ? "A1" : "D1";
    std::string file = folder + "/" + chan_KindShortName(t);
    EXPECT_TRUE(Until([&] {
      sim_Post(pid, NTF_RECONFIGURE);
      os_Sleep(200);
      std::string bytes = tnwtest::ReadFile(file);
      std::vector<ChannelRecord> table = Table(code);
      return bytes.size() >= 8 + table.size() * sizeof(ChannelRecord) &&
             memcmp(bytes.data() + 8, table.data(), table.size() * sizeof(ChannelRecord)) == 0;
    }, 20000)) << "the configuration area of " << code << " is not the channel file";
  }
  const uint64_t ran = soak::NowMs() - start;
  // Idle now: the fewest descriptors of a few looks leaves out one a pass had open for a moment.
  os_Sleep(500);
  tnwtest::ProcStats endStats = tnwtest::ReadProcStats(static_cast<pid_t>(pid));
  for (int look = 0; look < 4; ++look) {
    os_Sleep(100);
    tnwtest::ProcStats again = tnwtest::ReadProcStats(static_cast<pid_t>(pid));
    if (again.alive && again.fds < endStats.fds) endStats.fds = again.fds;
  }
  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  int64_t exit = sim_WaitExit(proc, 20000);
  EXPECT_EQ(exit, 0) << "the scanner's exit status";

  std::vector<int32_t> loggerCodes = sim_LoggerCodes(0);
  printf("soak summary: seed %u, %.0f s, %llu passes on the line, %llu scan requests (%llu answered, %llu "
         "superseded by a timing restart, %llu unanswered), %llu checks after a pass (%llu after clean passes)\n",
         seed, static_cast<double>(ran) / 1000, static_cast<unsigned long long>(log.Completed()),
         static_cast<unsigned long long>(tally.scans), static_cast<unsigned long long>(tally.notices),
         static_cast<unsigned long long>(tally.superseded), static_cast<unsigned long long>(tally.unanswered),
         static_cast<unsigned long long>(tally.checks), static_cast<unsigned long long>(tally.cleanChecks));
  printf("soak summary: codes posted:");
  for (const auto &c : tally.codes) printf(" %d x%llu", c.first, static_cast<unsigned long long>(c.second));
  printf("; failed posts %llu; fault sets %llu (%llu clean)\n", static_cast<unsigned long long>(tally.failedPosts),
         static_cast<unsigned long long>(tally.faultChanges), static_cast<unsigned long long>(tally.cleanWindows));
  printf("soak summary: %llu commands, %llu answered; faults struck:", static_cast<unsigned long long>(tally.exchanges),
         static_cast<unsigned long long>(tally.replies));
  for (const auto &f : tally.faults) printf(" %s x%llu", f.first.c_str(), static_cast<unsigned long long>(f.second));
  printf("\nsoak summary: %llu alarm messages, %llu derived notices, %zu logger codes\n",
         static_cast<unsigned long long>(tally.alarms), static_cast<unsigned long long>(tally.derived),
         loggerCodes.size());
  printf("soak summary: status texts seen after passes:");
  for (const auto &s : tally.statuses) printf(" \"%s\" x%llu", s.first.c_str(), static_cast<unsigned long long>(s.second));
  printf("\nsoak summary: scanner rss %llu kB at 15 s, %llu kB at a third, %llu kB at the end; fds %d, %d, %d; "
         "threads %d; cpu %.1f s in %.0f s\n",
         static_cast<unsigned long long>(base.rssKb), static_cast<unsigned long long>(third.rssKb),
         static_cast<unsigned long long>(endStats.rssKb), base.fds, third.fds, endStats.fds, endStats.threads,
         static_cast<double>(endStats.cpuTicks) / static_cast<double>(tnwtest::TicksPerSecond()),
         static_cast<double>(ran) / 1000);
  fflush(stdout);

  EXPECT_EQ(tally.failedPosts, 0u);
  EXPECT_EQ(tally.unanswered, 0u);
  EXPECT_GT(tally.checks, 20u);
  EXPECT_GT(tally.cleanChecks, 0u) << "no clean stretch was checked";
  ASSERT_TRUE(base.alive && third.alive && endStats.alive);
  EXPECT_LE(endStats.fds, base.fds) << tnwtest::DescribeFds(static_cast<pid_t>(pid));
  // Memory settles after the first passes: what the last two thirds add stays
  // small. The sanitizer's allocator keeps freed blocks for a while (and its
  // leak check at the scanner's exit, the exit status 0 above, is the finer test).
#ifdef TNW_SANITIZE
  const uint64_t slackKb = 8192 + third.rssKb / 10;
#else
  const uint64_t slackKb = 1024 + third.rssKb / 20;
#endif
  EXPECT_LE(endStats.rssKb, third.rssKb + slackKb) << "resident memory grew";
  EXPECT_LT(static_cast<double>(endStats.cpuTicks) / static_cast<double>(tnwtest::TicksPerSecond()),
            0.5 * static_cast<double>(ran) / 1000)
      << "the scanner spent more than half the time on the processor";
}
