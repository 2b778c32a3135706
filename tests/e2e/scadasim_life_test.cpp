// scadasim's life cycle: whatever ends it, no process of its world outlives
// it by more than 2 s; its world goes with it, or (SIGKILL) with the next
// scadasim on the root, whose pumpsim replaces the dead one's port link.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "tests/support/child_run.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"

namespace {

std::string Sim() { return tnwtest::BinPath("scadasim"); }

// What is left of the world: the pid file, the world folder, the port link.
std::string WorldLeft(const std::string &root) {
  std::string left;
  if (std::filesystem::exists(root + "/scadasim.pid")) left += " scadasim.pid";
  if (std::filesystem::exists(root + "/scadasim-world")) left += " scadasim-world";
  if (std::filesystem::is_symlink(root + "/dev/COM1")) left += " dev/COM1";
  return left;
}

// The children remove their own parts (pumpsim its port link) as they end,
// which a loaded machine may delay past scadasim's own exit.
std::string WorldGone(const std::string &root) {
  tnwtest::Until([&] { return WorldLeft(root).empty(); }, 5000);
  return WorldLeft(root);
}

struct SignalCase {
  int signal;
  bool cleansUp;  // the world removed by scadasim itself
};

TEST(ScadasimLife, EverySignalEndsTheWholeWorld) {
  for (SignalCase c : {SignalCase{SIGHUP, true}, SignalCase{SIGTERM, true}, SignalCase{SIGINT, true},
                       SignalCase{SIGKILL, false}}) {
    SCOPED_TRACE(strsignal(c.signal));
    const std::string root = tnwtest::MakeTempDir("life"), out = root + ".out";
    pid_t pid = tnwtest::Launch({Sim(), "demo", "--plain", "--seconds", "60"}, root, out);
    // Scanning: every process of the world has started its program.
    ASSERT_TRUE(tnwtest::WaitForText(out, "scan +running=1 ready=1", 20000)) << tnwtest::ReadAll(out);
    // The logger, pumpsim, the scanner and scadasim itself.
    ASSERT_GE(tnwtest::ProcessesOfRoot(root).size(), 4u);
    ASSERT_EQ(kill(pid, c.signal), 0);
    int status = tnwtest::WaitChild(pid, 15000);
    if (c.signal == SIGKILL) EXPECT_EQ(status, 128 + SIGKILL);
    else EXPECT_EQ(status, 0) << tnwtest::ReadAll(out);  // stopped in order: the scanner's own exit status
    std::vector<int> left = tnwtest::WaitRootEmpty(root, 2000);
    EXPECT_TRUE(left.empty()) << left.size() << " processes left, the first " << left[0];
    if (c.cleansUp) {
      EXPECT_EQ(WorldGone(root), "");
      EXPECT_NE(tnwtest::ReadAll(out).find("ended by signal " + std::to_string(c.signal)), std::string::npos);
      continue;
    }
    // SIGKILL: the next scadasim takes the dead one's root, removes its world
    // and its pumpsim replaces the stale link.
    ASSERT_TRUE(std::filesystem::is_symlink(root + "/dev/COM1"));
    ASSERT_TRUE(std::filesystem::exists(root + "/scadasim-world"));
    const std::string again = root + ".again";
    pid_t next = tnwtest::Launch({Sim(), "demo", "--plain", "--seconds", "3"}, root, again);
    EXPECT_EQ(tnwtest::WaitChild(next, 30000), 0) << tnwtest::ReadAll(again);
    std::string text = tnwtest::ReadAll(again);
    EXPECT_TRUE(std::regex_search(text, std::regex("scadasim process " + std::to_string(pid) +
                                                   " ended without cleaning up")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("removed [0-9]+ objects of a world whose scadasim is gone"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("pumpsim: replaced .*/dev/COM1 \\(to /dev/pts/[0-9]+\\) left by "
                                                   "process [0-9]+, which is gone")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("P1\\.CYL1\\.POS +[0-9.]+ +% +(ok|ALARM|WARN|EVENT)"))) << text;
    EXPECT_EQ(WorldGone(root), "");
    EXPECT_TRUE(tnwtest::WaitRootEmpty(root, 2000).empty());
  }
}

TEST(ScadasimLife, AReaderThatGoesAwayIsNoDeathBySignal) {
  const std::string root = tnwtest::MakeTempDir("pipe"), status = root + ".status";
  std::string cmd = "PLATFORM_ROOT='" + root + "' bash -c '" + Sim() + " demo --plain --seconds 30 | head -3 >/dev/null; " +
                    "echo ${PIPESTATUS[0]} > " + status + "'";
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int code = atoi(tnwtest::ReadAll(status).c_str());
  EXPECT_LT(code, 128) << "ended by a signal";
  EXPECT_LT(took, 20.0) << "ran on after its reader left";
  EXPECT_TRUE(tnwtest::WaitRootEmpty(root, 2000).empty());
  EXPECT_EQ(WorldGone(root), "");
}

TEST(ScadasimLife, ALivePortOwnerIsNamedAndItsLinkKept) {
  const std::string root = tnwtest::MakeTempDir("owner"), first = root + ".1", second = root + ".2";
  const std::string psim = tnwtest::BinPath("pumpsim");
  pid_t owner = tnwtest::Launch({psim, "--port", "COM5"}, root, first);
  ASSERT_TRUE(tnwtest::WaitForText(first, "COM5 -> /dev/pts/", 10000));
  std::string target = std::filesystem::read_symlink(root + "/dev/COM5").string();
  pid_t other = tnwtest::Launch({psim, "--port", "COM5"}, root, second);
  EXPECT_EQ(tnwtest::WaitChild(other, 10000), 1);
  EXPECT_NE(tnwtest::ReadAll(second).find("COM5 is in use by process " + std::to_string(owner)), std::string::npos)
      << tnwtest::ReadAll(second);
  EXPECT_EQ(std::filesystem::read_symlink(root + "/dev/COM5").string(), target);
  kill(owner, SIGTERM);
  EXPECT_EQ(tnwtest::WaitChild(owner, 10000), 0);

  // A second scadasim on a live root is refused by name (and leaves it alone).
  const std::string out = root + ".sim", refused = root + ".refused";
  pid_t pid = tnwtest::Launch({Sim(), "run", "--plain"}, root, out);
  ASSERT_TRUE(tnwtest::WaitForText(out, "started Tnwell_SC instance 1", 20000)) << tnwtest::ReadAll(out);
  pid_t late = tnwtest::Launch({Sim(), "run", "--plain"}, root, refused);
  EXPECT_EQ(tnwtest::WaitChild(late, 10000), 1);
  EXPECT_NE(tnwtest::ReadAll(refused).find("in use by scadasim process " + std::to_string(pid)), std::string::npos)
      << tnwtest::ReadAll(refused);
  EXPECT_TRUE(std::filesystem::is_symlink(root + "/dev/COM1"));
  kill(pid, SIGTERM);
  EXPECT_EQ(tnwtest::WaitChild(pid, 15000), 0);
  EXPECT_TRUE(tnwtest::WaitRootEmpty(root, 2000).empty());
}

TEST(ScadasimLife, AChildThatDiesIsReportedAtOnce) {
  const std::string root = tnwtest::MakeTempDir("death"), out = root + ".out";
  pid_t pid = tnwtest::Launch({Sim(), "run", "--plain"}, root, out);
  ASSERT_TRUE(tnwtest::WaitForText(out, "started Tnwell_SC instance 1", 20000)) << tnwtest::ReadAll(out);
  std::smatch m;
  std::string text = tnwtest::ReadAll(out);
  ASSERT_TRUE(std::regex_search(text, m, std::regex("started pumpsim on COM1, process ([0-9]+)")));
  pid_t line = static_cast<pid_t>(std::stol(m[1]));
  ASSERT_EQ(kill(line, SIGKILL), 0);
  EXPECT_TRUE(tnwtest::WaitForText(out, "scadasim: pumpsim on COM1 \\(process " + std::to_string(line) +
                                             "\\) ended: killed by signal 9",
                                   3000))
      << tnwtest::ReadAll(out);
  kill(pid, SIGTERM);
  EXPECT_EQ(tnwtest::WaitChild(pid, 15000), 0);
  EXPECT_TRUE(tnwtest::WaitRootEmpty(root, 2000).empty());
}

TEST(ScadasimLife, BadNumbersAreRefused) {
  for (const char *bad : {"abc", "0", "-1", "nan", "1e99", ""}) {
    std::string cmd = Sim() + " demo --plain --seconds '" + bad + "' >/dev/null 2>&1";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 2) << bad;
  }
}

}  // namespace
