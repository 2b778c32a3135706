// The logger's road with the real programs: the scanner reads pumpsim's
// pumps through a pressure surge, a `scadasim logger` records each pass into
// a run while `logtool follow` shows the records as they arrive, the logger
// is killed and started again on the same run, and `logtool dump` at the end
// shows every value the scanner published, in order.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "tests/support/child_run.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

namespace {

// Seconds of pumpsim's run the outlets of pumps 1 and 2 are blocked (100 bar
// more, ramped over the first and last second).
const double kSurgeFrom = 6, kSurgeTo = 11;
// Steady outlets: pump 1 at 160 bar, pump 2 at 170, each +-3.
const double kSteadyBelow = 180, kSurgeAbove = 240;

std::string FirstLine(const std::string &text) { return text.substr(0, text.find('\n')); }

class LoggerRun : public tnwtest::SimProcesses {
 protected:
  // One scanner pass and the logger's record of it (the n-th of the run),
  // which the follower must show before the next one is written.
  ::testing::AssertionResult Step(pid_t logger, const std::string &loggerOut, uint32_t n) {
    if (::testing::AssertionResult r = ScanPass("A1"); !r) return r << " for record " << n;
    samples.push_back({Elapsed(), sim_ReadChannels("A1")});
    if (sim_Post(uint32_t(logger), 200000) != 0) return ::testing::AssertionFailure() << "logger gone at " << n;
    if (!tnwtest::WaitForText(loggerOut, "\nwrote " + std::to_string(n) + "\n", 5000))
      return ::testing::AssertionFailure() << "no \"wrote " << n << "\": " << tnwtest::ReadAll(loggerOut);
    if (!tnwtest::WaitForText(followOut, "(^|\n)record " + std::to_string(n - 1) + " ", 5000))
      return ::testing::AssertionFailure() << "the follower did not show record " << n - 1;
    return ::testing::AssertionSuccess();
  }

  struct Sample {
    double seconds;  // into pumpsim's run (at most a few ms short)
    std::vector<SimChannel> ai;
  };
  std::vector<Sample> samples;
  std::string followOut;
};

}  // namespace

TEST_F(LoggerRun, AKilledLoggerContinuesItsRunAndTheDumpShowsTheSurge) {
  SimWorldSpec w;
  tnwtest::PumpChannels(&w.devices[0]);
  char surge[32];
  snprintf(surge, sizeof surge, "%g-%g", kSurgeFrom, kSurgeTo);
  ASSERT_TRUE(StartPlant(w, "A1", {"--surge", std::string("1/") + surge, "--surge", std::string("2/") + surge}));

  const std::string folder = tnwtest::MakeTempDir("logger_run"), outs = tnwtest::MakeTempDir("logger_run_out");
  const std::string scadasim = tnwtest::BinPath("scadasim"), logtool = tnwtest::BinPath("logtool");
  const std::string out1 = outs + "/logger1.txt", out2 = outs + "/logger2.txt";
  followOut = outs + "/follow.txt";
  pid_t logger = Start({scadasim, "logger", "--runs", folder}, out1);
  ASSERT_TRUE(tnwtest::WaitForText(out1, "^created .*\n", 10000)) << tnwtest::ReadAll(out1);
  const std::string run = FirstLine(tnwtest::ReadAll(out1)).substr(8);
  ASSERT_TRUE(SlotOpen(logger));
  pid_t follower = Start({logtool, "follow", run, "--seconds", "60"}, followOut);
  ASSERT_LT(Elapsed(), kSurgeFrom - 1.5) << "the scanner started too late to see the steady outlets";

  // Records through the rise; the logger dies in the middle of the surge.
  uint32_t n = 0;
  while (Elapsed() < (kSurgeFrom + kSurgeTo) / 2) ASSERT_TRUE(Step(logger, out1, ++n));
  const size_t beforeKill = samples.size();
  ASSERT_EQ(kill(logger, SIGKILL), 0);
  EXPECT_EQ(Reap(logger, 5000), 128 + SIGKILL);

  logger = Start({scadasim, "logger", "--runs", folder}, out2);
  ASSERT_TRUE(tnwtest::WaitForText(out2, "^(continued|created) .*\n", 10000)) << tnwtest::ReadAll(out2);
  EXPECT_EQ(FirstLine(tnwtest::ReadAll(out2)), "continued " + run + " at " + std::to_string(n));
  ASSERT_TRUE(SlotOpen(logger));
  while (Elapsed() < kSurgeTo + 1.5) ASSERT_TRUE(Step(logger, out2, ++n));
  ASSERT_EQ(sim_Post(uint32_t(logger), NTF_STOP), 0);
  EXPECT_EQ(Reap(logger, 10000), 0);
  ASSERT_EQ(kill(follower, SIGTERM), 0);
  Reap(follower, 5000);

  tnwtest::ShellResult dump = tnwtest::ShellRun("'" + logtool + "' dump '" + run + "'");
  ASSERT_EQ(dump.status, 0) << dump.out;
  EXPECT_NE(dump.out.find(" records=" + std::to_string(n) + " "), std::string::npos) << dump.out.substr(0, 400);
  std::vector<std::string> dumped = tnwtest::Lines(dump.out, "record "),
                           followed = tnwtest::Lines(tnwtest::ReadAll(followOut), "record ");
  ASSERT_EQ(dumped.size(), samples.size());
  // The follower saw each record once, in order, as the dump reads it.
  EXPECT_EQ(followed, dumped);

  const std::regex value(" A1(\\d+)=([^\\[ ]+)\\[");
  size_t steady = 0, surged = 0, after = 0, surgedBefore = 0, surgedAfter = 0;
  for (size_t i = 0; i < dumped.size(); ++i) {
    const std::string &l = dumped[i];
    ASSERT_EQ(l.rfind("record " + std::to_string(i) + " ", 0), 0u) << l;
    EXPECT_EQ(l.find("no record marker"), std::string::npos) << l;
    std::vector<std::string> got;
    for (std::sregex_iterator m(l.begin(), l.end(), value), e; m != e; ++m) got.push_back((*m)[2]);
    ASSERT_EQ(got.size(), 3u) << l;
    for (size_t k = 0; k < 3; ++k) {
      char want[32];
      snprintf(want, sizeof want, "%g", static_cast<double>(samples[i].ai[k].value));
      EXPECT_EQ(got[k], want) << "record " << i << " A1" << k + 1;
    }
    // Both outlets follow the surge, across the restart.
    const double t = samples[i].seconds, p1 = std::stod(got[0]), p2 = std::stod(got[1]);
    if (t < kSurgeFrom - 0.5) {
      ++steady;
      EXPECT_LT(std::max(p1, p2), kSteadyBelow) << "record " << i << " at " << t << " s";
      EXPECT_GT(std::min(p1, p2), 150) << "record " << i << " at " << t << " s";
    } else if (t > kSurgeFrom + 1.5 && t < kSurgeTo - 1.5) {
      ++surged;
      (i < beforeKill ? surgedBefore : surgedAfter)++;
      EXPECT_GT(std::min(p1, p2), kSurgeAbove) << "record " << i << " at " << t << " s";
    } else if (t > kSurgeTo + 0.5) {
      ++after;
      EXPECT_LT(std::max(p1, p2), kSteadyBelow) << "record " << i << " at " << t << " s";
    }
  }
  EXPECT_GE(steady, 3u);
  EXPECT_GE(surgedBefore, 2u) << "the logger died before the surge showed";
  EXPECT_GE(surgedAfter, 2u) << "the surge did not show after the restart";
  EXPECT_GE(after, 3u);
  std::printf("records %u: %zu steady, %zu in the surge, %zu after; killed after %zu\n", n, steady, surged, after,
              beforeKill);
}
