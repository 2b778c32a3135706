// The README's demo as a person runs it: `scadasim demo --plain` in under a
// minute shows the channel table, an alarm on the outlet pressure raised and
// returned to normal, and a unit unplugged and read again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_run.h"
#include "tests/support/test_root.h"

namespace {

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

using tnwtest::FindLine;

// A console line: the seconds since the start, then the text.
const std::string kAt = "^ *[0-9]+\\.[0-9] ";

// The seconds a console line carries.
double At(const std::string &line) { return atof(line.c_str()); }

}  // namespace

TEST(Demo, ShowsTheMainRoadInUnderAMinute) {
  std::string out = tnwtest::MakeTempDir("demo") + "/demo.txt";
  std::string cmd = tnwtest::BinPath("scadasim") + " demo --plain > '" + out + "' 2>&1";
  auto start = std::chrono::steady_clock::now();
  int rc = std::system(cmd.c_str());
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string text = tnwtest::ReadFile(out);
  ASSERT_EQ(rc, 0) << text;
  EXPECT_LT(took, 60.0);
  std::vector<std::string> lines = Lines(text);
  const size_t end = lines.size();

  // The table, with every channel.
  size_t table = FindLine(lines, std::regex("^  CH +TAG +VALUE +UNITS +STATE$"));
  ASSERT_LT(table, end) << text;
  for (const char *tag : {"P1.CYL1.POS", "P1.OP.PRESS", "P2.CYL2.POS", "P1.STATUS", "P2.DIG.IN1"})
    EXPECT_LT(FindLine(lines, std::regex(std::string("^  [AD]1\\.[1-8] +") + tag + " "), table), end) << tag;

  // The outlet's pressure goes over its limit: the alarm and the table show
  // it; then it returns to normal.
  size_t raised = FindLine(lines, std::regex(kAt + "alarm raised +code=A1 channel=3 tag=P1\\.OP\\.PRESS .*priority=5 analogue high value=[0-9.]+"));
  ASSERT_LT(raised, end) << text;
  size_t high = FindLine(lines, std::regex("^  A1\\.3 +P1\\.OP\\.PRESS +(2[5-9][0-9]|3[0-9][0-9])\\.[0-9]+ +bar +ALARM-HI"));
  EXPECT_LT(high, end) << "the table never showed the high pressure";
  size_t returned = FindLine(lines, std::regex(kAt + "alarm returned +code=A1 channel=3 tag=P1\\.OP\\.PRESS "), raised);
  EXPECT_LT(returned, end) << "the alarm never returned to normal";
  EXPECT_LT(FindLine(lines, std::regex("^scadasim: road: P1\\.OP\\.PRESS alarm raised at [0-9.]+ s, returned to normal")),
            end);

  // Unit 2 unplugged: the passes time out, every channel goes bad and the
  // device is initialised again until the unit answers.
  size_t unplugged = FindLine(lines, std::regex(kAt + "scadasim: now: unit 2 is unplugged"));
  ASSERT_LT(unplugged, end);
  EXPECT_LT(FindLine(lines, std::regex("status=\"(Timeout Error|CAN'T (SCAN|INITIALISE) DEVICE -1460)\""), unplugged), end);
  EXPECT_LT(FindLine(lines, std::regex("^  A1\\.5 +P2\\.CYL2\\.POS .* BAD"), unplugged), end);
  size_t back = FindLine(lines, std::regex(kAt + "scadasim: now: unit 2 is plugged back in"), unplugged);
  ASSERT_LT(back, end);
  EXPECT_LT(FindLine(lines, std::regex(kAt + "scan +running=1 ready=1 busy=0 .*status=\"(Tarnwell Error #007)?\"$"), back), end)
      << "no pass after the unit came back";
  EXPECT_LT(FindLine(lines, std::regex("^scadasim: road: unit 2 unplugged: channels bad at .*, read again at")), end);
  EXPECT_LT(FindLine(lines, std::regex("^scadasim: scanner exited with status 0 after [0-9]+ scan requests$")), end);

  // Each fault is announced as it starts, on time to the second.
  struct Due {
    const char *text;
    double at;
  } dues[] = {{"15% of pump 2's DIG_INPUT1 queries answer error status 7", 0},
              {"unit 1's outlet is blocked", 12},
              {"unit 1's outlet is clear again", 20},
              {"unit 2 is unplugged", 26},
              {"unit 2 is plugged back in", 32}};
  // The road's clock starts with the pump line, which a loaded machine brings
  // up a few seconds into the demo.
  double zero = -1;
  for (const Due &d : dues) {
    size_t i = FindLine(lines, std::regex(kAt + "scadasim: now: " + d.text));
    ASSERT_LT(i, end) << d.text;
    if (zero < 0) zero = At(lines[i]);
    EXPECT_GE(At(lines[i]) - zero, d.at) << lines[i];
    EXPECT_LE(At(lines[i]) - zero, d.at + 1.5) << lines[i];
  }
  EXPECT_LT(zero, 10.0) << "the pump line came up late";
  // Every line is timed but the tables, pumpsim's own and the closing ones.
  for (const std::string &l : lines)
    EXPECT_TRUE(std::regex_search(l, std::regex(kAt + "|^  |^pumpsim: |^scadasim: (road|scanner exited|platform root)")))
        << l;
}
