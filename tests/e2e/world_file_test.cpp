// A world of three pumps and twenty channels from a description file: the
// scanner reads every channel from pumpsim playing the same file, the world
// in force is written back as the file, a second scadasim is refused, and a
// scanner is stopped and started again while the world lives.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/child_run.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_file.h"

namespace {

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The rows of the last table in the output: tag to the whole row.
std::map<std::string, std::string> LastTable(const std::string &text) {
  std::vector<std::string> lines = Lines(text);
  size_t head = lines.size();
  for (size_t i = 0; i < lines.size(); ++i)
    if (std::regex_search(lines[i], std::regex("^  CH +TAG +VALUE +UNITS +STATE$"))) head = i;
  std::map<std::string, std::string> rows;
  std::regex row("^  [A-Z0-9]{2}\\.[0-9]+ +(\\S+) ");
  for (size_t i = head + 1; i < lines.size(); ++i) {
    std::smatch m;
    if (!std::regex_search(lines[i], m, row)) break;
    rows[m[1]] = lines[i];
  }
  return rows;
}

int Shell(const std::string &cmd) { return std::system(cmd.c_str()); }

TEST(WorldFileRun, ThreePumpsEveryChannelReadDumpedRefusedAndRestarted) {
  const std::string world = std::string(TNW_WORLDS_DIR) + "/three_pumps.world";
  SimWorldSpec spec;
  std::string why;
  ASSERT_EQ(simfile_Load(world, &spec, &why), 0) << why;
  const std::string root = tnwtest::MakeTempDir("world3"), dir = tnwtest::MakeTempDir("world3out");
  const std::string out = dir + "/out.txt", sim = tnwtest::BinPath("scadasim");
  pid_t pid = tnwtest::Launch({sim, "world", world, "--plain", "--seconds", "30"}, root, out);
  ASSERT_TRUE(tnwtest::WaitForText(out, "started Tnwell_SC instance 1", 20000)) << tnwtest::ReadAll(out);
  const std::string env = "PLATFORM_ROOT='" + root + "' ";

  // Every channel read, pump 3's too.
  ASSERT_TRUE(tnwtest::WaitForText(out, "P3\\.VALVE1 +[01] +ok", 15000)) << tnwtest::ReadAll(out);

  // The world in force, written back: the same world as the file.
  ASSERT_EQ(Shell(env + sim + " world --dump > '" + dir + "/dump.world'"), 0);
  SimWorldSpec dumped;
  ASSERT_EQ(simfile_Load(dir + "/dump.world", &dumped, &why), 0) << why;
  EXPECT_EQ(simfile_Write(dumped), simfile_Write(spec));

  // The live table from another process: every channel of the file.
  ASSERT_EQ(Shell(env + sim + " watch --plain --seconds 1 > '" + dir + "/watch.txt'"), 0);
  std::map<std::string, std::string> watched = LastTable(tnwtest::ReadAll(dir + "/watch.txt"));
  EXPECT_EQ(watched.size(), 20u) << tnwtest::ReadAll(dir + "/watch.txt");
  EXPECT_TRUE(watched.count("P3.VALVE1") && watched.count("P1.POS"));

  // A second scadasim on the root is refused, naming the first.
  EXPECT_NE(Shell(env + sim + " world '" + world + "' --plain --seconds 2 > '" + dir + "/second.txt' 2>&1"), 0);
  EXPECT_NE(tnwtest::ReadAll(dir + "/second.txt").find("in use by scadasim process " + std::to_string(pid)),
            std::string::npos)
      << tnwtest::ReadAll(dir + "/second.txt");

  // The scanner stopped, its end reported, and started again.
  ASSERT_EQ(Shell(env + sim + " scanner stop 1"), 0);
  EXPECT_TRUE(tnwtest::WaitForText(out, "Tnwell_SC instance 1 \\(process [0-9]+\\) ended: exit status 0", 10000))
      << tnwtest::ReadAll(out);
  EXPECT_NE(Shell(env + sim + " scanner stop 1 2>/dev/null"), 0);  // not running now
  size_t mark = tnwtest::ReadAll(out).size();
  ASSERT_EQ(Shell(env + sim + " scanner start 1"), 0);
  EXPECT_TRUE(tnwtest::WaitForText(out, "started Tnwell_SC instance 1", 10000, mark));
  EXPECT_TRUE(tnwtest::WaitForText(out, "P3\\.VALVE1 +[01] +ok", 15000, mark)) << tnwtest::ReadAll(out);
  ASSERT_EQ(Shell(env + sim + " scanner start 9"), 0);  // the live scadasim tells why not
  EXPECT_TRUE(tnwtest::WaitForText(out, "scadasim: no device of instance 9", 10000));

  ASSERT_EQ(kill(pid, SIGINT), 0);
  EXPECT_EQ(tnwtest::WaitChild(pid, 20000), 0) << tnwtest::ReadAll(out);
  std::string text = tnwtest::ReadAll(out);
  std::map<std::string, std::string> rows = LastTable(text);
  size_t channels = 0;
  for (int t : {IO_AI, IO_DI}) channels += spec.devices[0].records[t].size();
  EXPECT_EQ(channels, 20u);
  EXPECT_EQ(rows.size(), channels) << text;
  // The last table comes after the scanner stopped (all bad); the one before
  // the stop shows what the passes read.
  std::vector<std::string> lines = Lines(text);
  std::string beforeStop;
  for (const std::string &l : lines) {
    if (l.find("stopped ") != std::string::npos) break;
    beforeStop += l + "\n";
  }
  std::map<std::string, std::string> read = LastTable(beforeStop);
  ASSERT_EQ(read.size(), channels) << beforeStop;
  for (const auto &[tag, row] : read) EXPECT_EQ(row.find("BAD"), std::string::npos) << row;
  EXPECT_TRUE(read.count("P3.POS") && read.count("P3.AUX2") && read.count("P3.STATUS"));

  // Nothing of the world is left.
  EXPECT_TRUE(tnwtest::WaitRootEmpty(root, 2000).empty());
  EXPECT_FALSE(std::filesystem::exists(root + "/scadasim.pid"));
  EXPECT_FALSE(std::filesystem::exists(root + "/scadasim-world"));
  EXPECT_FALSE(std::filesystem::is_symlink(root + "/dev/COM1"));
  EXPECT_FALSE(std::filesystem::exists(root + "/drives/c/PLANT/CONFIG/LINE1"));
}

TEST(WorldFileRun, ControlBytesOfATagReachTheScreenEscaped) {
  const std::string dir = tnwtest::MakeTempDir("ctlworld"), root = tnwtest::MakeTempDir("ctlroot");
  const std::string world = dir + "/ctl.world", out = dir + "/out.txt";
  ASSERT_TRUE(tnwtest::WriteFile(world, "[device D1]\n[ai BAD\\x1B[2J]\npump = 1\nitem = CYL1_POS\nunits = \\x07%\n"));
  std::string cmd = "PLATFORM_ROOT='" + root + "' " + tnwtest::BinPath("scadasim") + " world '" + world +
                    "' --plain --seconds 2 > '" + out + "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << tnwtest::ReadAll(out);
  std::string text = tnwtest::ReadAll(out);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\x07'), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("  A1\\.1 +BAD\\\\x1B\\[2J +[0-9.]+ +\\\\x07%"))) << text;
}

}  // namespace
