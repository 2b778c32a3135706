// The live demo in an 80x24 terminal (tmux): while it runs and on its last
// screen the table's header and every channel row are in view, no line is
// wider than the terminal, and the last screen ends with the summary.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/child_run.h"
#include "tests/support/test_root.h"

namespace {

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

class DemoScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tnwtest::MakeTempDir("screen");
    socket_ = dir_ + "/tmux.sock";
  }
  void TearDown() override { Shell("tmux -S '" + socket_ + "' kill-server >/dev/null 2>&1"); }
  static int Shell(const std::string &cmd) { return std::system(cmd.c_str()); }
  std::string Capture() {
    std::string file = dir_ + "/screen.txt";
    if (Shell("tmux -S '" + socket_ + "' capture-pane -p -t demo > '" + file + "'") != 0) return "";
    return tnwtest::ReadAll(file);
  }
  // Waits until the screen matches; the screen it last saw.
  std::string WaitScreen(const std::string &re, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::string screen;
    while (std::chrono::steady_clock::now() < end) {
      screen = Capture();
      if (std::regex_search(screen, std::regex(re))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return screen;
  }
  std::string dir_, socket_;
};

void ExpectWholeTable(const std::string &screen) {
  std::vector<std::string> lines = Lines(screen);
  EXPECT_LE(lines.size(), 24u) << screen;
  for (const std::string &l : lines) EXPECT_LE(l.size(), 80u) << l;
  size_t header = lines.size();
  for (size_t i = 0; i < lines.size(); ++i)
    if (std::regex_search(lines[i], std::regex("^  CH +TAG +VALUE +UNITS +STATE$"))) header = i;
  ASSERT_LT(header, lines.size()) << screen;
  const char *tags[] = {"P1.CYL1.POS", "P1.CYL1.PRESS", "P1.OP.PRESS",    "P1.CUM.VOL",  "P2.CYL2.POS",   "P2.SET.RATE",
                        "P2.AUX.AD1",  "P2.CONTR.VER",  "P1.STATUS",      "P1.CYL1.EXTLIM", "P1.CYL1.RETLIM", "P1.CYL1.DIR",
                        "P2.CYL2.MOVING", "P2.M.VALVE2", "P2.DIG.IN1",    "P2.AUX.VALVE1"};
  for (size_t k = 0; k < 16; ++k) {
    ASSERT_LT(header + 1 + k, lines.size()) << screen;
    std::string code = (k < 8 ? "A1." : "D1.") + std::to_string(k % 8 + 1);
    std::string want = "^  " + std::regex_replace(code, std::regex("\\."), "\\.") + " +" +
                       std::regex_replace(tags[k], std::regex("\\."), "\\.") + " +[0-9.]+ ";
    EXPECT_TRUE(std::regex_search(lines[header + 1 + k], std::regex(want))) << lines[header + 1 + k];
  }
}

TEST_F(DemoScreen, TheTableFitsEightyByTwentyFour) {
  if (Shell("command -v tmux >/dev/null") != 0) GTEST_SKIP() << "tmux is not installed (scripts/packages.txt)";
  const std::string root = tnwtest::MakeTempDir("screenroot");
  std::string cmd = "env PLATFORM_ROOT='" + root + "' " + tnwtest::BinPath("scadasim") +
                    " demo --seconds 8; sleep 120";
  ASSERT_EQ(Shell("tmux -S '" + socket_ + "' new-session -d -s demo -x 80 -y 24 \"" + cmd + "\""), 0);

  // While it runs: a pass has been drawn.
  std::string running = WaitScreen("(?:^|\\n)scan +running=1 ready=1", 20000);
  ExpectWholeTable(running);
  EXPECT_TRUE(std::regex_search(running, std::regex("\\n-- TNWELL1 status \"[^\"]*\" -+"))) << running;

  // The last screen.
  std::string last = WaitScreen("scanner exited with status 0", 30000);
  ASSERT_TRUE(std::regex_search(last, std::regex("scanner exited with status 0"))) << last;
  ExpectWholeTable(last);
  EXPECT_TRUE(std::regex_search(last, std::regex("(?:^|\\n)stopped +running=0"))) << last;
  EXPECT_TRUE(tnwtest::WaitRootEmpty(root, 2000).empty());
}

}  // namespace
