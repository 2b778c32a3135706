#include "plugin/loggers/log_run_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Seconds of a UTC time, worked out by hand: 2023-01-01 is day 19358.
constexpr int64_t kJan1 = 19358LL * 86400;

TEST(RunName, WhichNamesAreRuns) {
  const std::string top = std::string("AB230101_120000.od") + static_cast<char>('l' | 0x80);
  const std::string tooLong = std::string(240, 'P') + "230101_120000.odl";  // 257
  const std::string longest = std::string(238, 'P') + "230101_120000.odl";  // 255
  const struct {
    std::string name;
    bool run;
    size_t prefixLength;
    int64_t start, end;
  } cases[] = {
      {"AB230101_120000.odl", true, 2, kJan1 + 43200, 0},
      {"AB230101_120000_230102_000000.odl", true, 2, kJan1 + 43200, kJan1 + 86400},
      {"230101_120000.ODL", true, 0, kJan1 + 43200, 0},
      {top, true, 2, kJan1 + 43200, 0},  // the last character's top bit is ignored
      {longest, true, 238, kJan1 + 43200, 0},
      {tooLong, false, 0, 0, 0},
      {"", false, 0, 0, 0},
      {".AB230101_120000.odl", false, 0, 0, 0},
      {"events.txt", false, 0, 0, 0},
      {"AB.odl", false, 0, 0, 0},
      {"AB231301_120000.odl", false, 0, 0, 0},  // month 13
      {"AB230132_120000.odl", false, 0, 0, 0},
      {"AB230101_126000.odl", false, 0, 0, 0},
      {"AB230101_120000.txt", false, 0, 0, 0},  // other extension
      {"AB230101-120000.odl", false, 0, 0, 0},
      {"AB230101_120000_231301_000000.odl", false, 0, 0, 0},  // a bad end is no open run either
      {"AB230101_120000.odl.bak", false, 0, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name.size() > 40 ? c.name.substr(c.name.size() - 40) : c.name);
    LogRunName r{99, -5, -5};
    ASSERT_EQ(log_ParseRunName(c.name.c_str(), ".odl", &r), c.run);
    if (!c.run) continue;
    EXPECT_EQ(r.prefixLength, c.prefixLength);
    EXPECT_EQ(r.start, c.start);
    EXPECT_EQ(r.end, c.end);
  }
}

TEST(RunName, PrefixMustBeFollowedByTheStamp) {
  const struct {
    const char *name, *prefix;
    bool ours;
  } cases[] = {
      {"AB230101_120000.odl", "AB", true},
      {"ab230101_120000.odl", "AB", true},
      {"ABC230101_120000.odl", "AB", false},
      {"XY230101_120000.odl", "AB", false},
      {"AB230101_120000.odl", "ABC", false},
      {"AB230101_120000.odl", "", false},
      {"230101_120000.odl", "", true},
      {"230101_120000.odl", "AB", false},
      {"A230101_120000_230102_000000.odl", "A", true},
      {"B230101_120000_230102_000000.odl", "A", false},
  };
  for (const auto &c : cases) {
    LogRunName r;
    ASSERT_TRUE(log_ParseRunName(c.name, ".odl", &r)) << c.name;
    EXPECT_EQ(log_RunOfPrefix(c.name, r, c.prefix), c.ours) << c.name << " / " << c.prefix;
  }
}

TEST(RunName, PurgeTakesOnlyClosedRunsOfThePrefixBeforeTheCutOff) {
  const int64_t after = kJan1 + 2 * 86400;  // 230103_000000
  const struct {
    const char *name, *ext, *prefix;
    int64_t cutoff;
    bool taken;
  } cases[] = {
      {"AB230101_000000_230102_000000.odl", ".odl", "AB", after, true},
      {"AB230101_000000_230102_000000.tsq", ".tsq", "AB", after, true},
      {"AB230101_000000_230102_000000.zip", ".ZIP", "AB", after, true},
      {"AB230101_000000.odl", ".odl", "AB", after, false},                       // open
      {"AB230101_000000_230102_000000.odl", ".odl", "AB", kJan1 + 86400, false},  // ends at the cut-off
      {"AB230101_000000_230102_000000.odl", ".odl", "A", after, false},
      {"ABC230101_000000_230102_000000.odl", ".odl", "AB", after, false},
      {"XY230101_000000_230102_000000.odl", ".odl", "AB", after, false},
      {"230101_000000_230102_000000.odl", ".odl", "", after, true},
      {"AB230101_000000_230102_000000.odl", ".odl", "", after, false},
      {"events.txt", ".txt", "", after, false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(log_PurgeTakes(c.name, c.ext, c.prefix, c.cutoff), c.taken) << c.name << " / " << c.prefix;
}

}  // namespace
