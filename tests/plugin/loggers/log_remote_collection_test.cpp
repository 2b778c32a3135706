// A logger folder on another host ("\\HOSTR\..."), not reachable as a share,
// listed through scadasim's "DF" answers: many runs over several pages, the
// newest run found, and replies that lie about their names refused.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_io.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/connect/con_transports.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_format.h"
#include "tests/support/test_root.h"
#include "tests/support/tls_peer.h"
#include "tools/scadasim/sim_requests.h"

namespace fs = std::filesystem;

namespace {

const char *kFolder = "\\\\HOSTR\\TSQ_CURRENT_CONFIG\\RUNS";
constexpr int32_t kBase = 1672574400;  // 2023-01-01 12:00:00

std::string Stamp(int32_t seconds) {
  char s[14];
  log_FormatStamp(seconds, s);
  return std::string(s, 13);
}

class RemoteCollection : public ::testing::Test {
 protected:
  void SetUp() override {
    con_InstallTransports();
    runs = tnwtest::Root() + "/drives/c/SRVCFG/RUNS";
    fs::remove_all(runs);
    fs::create_directories(runs);
    SimRequestSpec spec;
    spec.host = "HOSTR";
    spec.configFolder = "C:\\SRVCFG";
    spec.answer = [this](const std::string &line, std::string *reply) {
      return line.rfind("DF,", 0) == 0 && hook && hook(line, reply);
    };
    ASSERT_TRUE(tnwtest::StartRemotePeer(spec, &server, &tls, &url));
  }
  void TearDown() override { tnwtest::StopRemotePeer(&server, &tls); }
  size_t Listings() const {
    size_t n = 0;
    for (const std::string &r : sim_ServedRequests(server)) n += r.rfind("DF,", 0) == 0;
    return n;
  }
  void Touch(const std::string &name) const { ASSERT_TRUE(tnwtest::WriteFile(runs + "/" + name, "")) << name; }

  std::string runs, url;
  SimRequestServer *server = nullptr;
  SimTlsServer *tls = nullptr;
  std::function<bool(const std::string &, std::string *)> hook;
};

}  // namespace

TEST_F(RemoteCollection, ThousandRunsOverSeveralPages) {
  // A long prefix makes the listing span several 64 KiB pages.
  const std::string prefix = "A" + std::string(119, 'p');
  std::set<std::string> want;
  for (int32_t i = 0; i < 1000; ++i) {
    int32_t start = kBase + i * 3600;
    std::string name = prefix + Stamp(start) + (i == 999 ? "" : "_" + Stamp(start + 1800)) + ".odl";
    Touch(name);
    want.insert(name);
  }
  // Another logger's newer run and files that are no runs.
  const std::string other = "B" + Stamp(kBase + 2000 * 3600) + ".odl";
  Touch(other);
  Touch("events.txt");
  Touch(prefix + Stamp(kBase) + ".txt");

  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, kFolder, "L", prefix.c_str(), OS_GENERIC_READ), 0) << os_GetLastError();
  size_t before = Listings();
  uint32_t cap = 0;
  ASSERT_EQ(c.FirstRun(&cap), 1) << c.GetErrorText();
  EXPECT_EQ(cap, 256u);
  EXPECT_GE(Listings() - before, 4u) << "a count and a listing, each over more than one page";
  std::set<std::string> got;
  char name[256];
  LogRunTime s{}, e{};
  while (c.NextRun(name, &s, &e)) {
    if (name[0] != 'A') continue;
    int32_t i = (s.seconds - kBase) / 3600;
    EXPECT_EQ(s.seconds, kBase + i * 3600) << name;
    EXPECT_EQ(e.seconds, i == 999 ? 0 : s.seconds + 1800) << name;
    got.insert(name);
  }
  EXPECT_EQ(os_GetLastError(), 0u);
  EXPECT_EQ(got, want);

  cap = sizeof name;
  ASSERT_EQ(c.FindRun(name, &cap, &s, &e, 0), 1);
  EXPECT_EQ(std::string(name), prefix + Stamp(kBase + 999 * 3600) + ".odl");
  EXPECT_EQ(s.seconds, kBase + 999 * 3600);
  EXPECT_EQ(e.seconds, 0);
  cap = sizeof name;
  ASSERT_EQ(c.FindRun(name, &cap, &s, &e, 1), 1);
  EXPECT_EQ(std::string(name), other) << "all runs: the other logger's is newest";
}

TEST_F(RemoteCollection, BadRepliesFailClearly) {
  Touch("A" + Stamp(kBase) + ".odl");
  struct Case {
    const char *what;
    std::string reply;
    uint32_t error;
    const char *text;
  } cases[] = {
      // 16,777,216 slots of 256 bytes wrap 32 bits to nothing.
      {"count too big", "16777216,A" + Stamp(kBase) + ".odl", OS_ERROR_INVALID_DATA, "count"},
      {"count far too big", "99999999999,x.odl", OS_ERROR_INVALID_DATA, "count"},
      {"short reply", "3,A" + Stamp(kBase) + ".odl,A" + Stamp(kBase + 60) + ".odl", OS_ERROR_INVALID_DATA, "count"},
      {"names without count", "0,A" + Stamp(kBase) + ".odl", OS_ERROR_INVALID_DATA, "count"},
      {"name over 255", "1," + std::string(256, 'n') + ".odl", OS_ERROR_FILENAME_EXCED_RANGE, "255"},
      {"server refuses", "-1,5", OS_ERROR_ACCESS_DENIED, "no answer"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    CLogFileCollection c;
    hook = nullptr;
    ASSERT_EQ(c.Open(nullptr, kFolder, "L", "A", OS_GENERIC_READ), 0);
    hook = [&](const std::string &, std::string *reply) {
      *reply = k.reply;
      return true;
    };
    EXPECT_EQ(c.FirstRun(nullptr), 0);
    EXPECT_EQ(os_GetLastError(), k.error);
    EXPECT_STREQ(c.GetErrorSummary(), "Remote listing failed");
    EXPECT_NE(strstr(c.GetErrorText(), k.text), nullptr) << c.GetErrorText();
    EXPECT_NE(strstr(c.GetErrorText(), "HOSTR"), nullptr) << c.GetErrorText();
    char name[256];
    EXPECT_EQ(c.NextRun(name, nullptr, nullptr), 0) << "nothing listed";
    uint32_t cap = sizeof name;
    EXPECT_EQ(c.FindRun(name, &cap, nullptr, nullptr, 1), 0);

    // The same reply to the open's own count refuses the folder.
    CLogFileCollection d;
    EXPECT_EQ(d.Open(nullptr, kFolder, "L", "A", OS_GENERIC_READ), -1);
    EXPECT_EQ(os_GetLastError(), k.error);
  }
}

TEST_F(RemoteCollection, ListingTakesOnlyTheNamesThatArrived) {
  // The folder shrinks between the count and the listing.
  const std::string a = "A" + Stamp(kBase) + ".odl", b = "A" + Stamp(kBase + 60) + ".odl";
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, kFolder, "L", "A", OS_GENERIC_READ), 0);
  int asked = 0;
  hook = [&](const std::string &, std::string *reply) {
    *reply = ++asked == 1 ? "3," + a + "," + b + ",A" + Stamp(kBase + 120) + ".odl" : "1," + a;
    return true;
  };
  ASSERT_EQ(c.FirstRun(nullptr), 1);
  char name[256];
  ASSERT_EQ(c.NextRun(name, nullptr, nullptr), 1);
  EXPECT_EQ(std::string(name), a);
  EXPECT_EQ(c.NextRun(name, nullptr, nullptr), 0);

  // An empty folder lists nothing, without error text.
  hook = [&](const std::string &, std::string *reply) { return *reply = "0,", true; };
  EXPECT_EQ(c.FirstRun(nullptr), 0);
  EXPECT_STREQ(c.GetErrorText(), "");
}

// Names a server may send that are no runs are passed over: empty, hidden,
// without a stamp, month 13; a last character with its top bit set is read
// without it.
TEST_F(RemoteCollection, ListingSkipsNamesThatAreNoRuns) {
  const std::string top = "A" + Stamp(kBase + 60) + ".od" + static_cast<char>('l' | 0x80);
  const std::string names[] = {"", ".A" + Stamp(kBase) + ".odl", "Anostamp.odl", "A231301_120000.odl", top,
                               "A" + Stamp(kBase + 120) + "_" + Stamp(kBase + 180) + ".odl"};
  std::string reply = std::to_string(std::size(names));
  for (const std::string &n : names) reply += "," + n;
  hook = [&](const std::string &, std::string *r) { return *r = reply, true; };
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, kFolder, "L", "A", OS_GENERIC_READ), 0);
  ASSERT_EQ(c.FirstRun(nullptr), 1) << c.GetErrorText();
  struct Seen {
    std::string name;
    int32_t start, end;
  };
  std::vector<Seen> seen;
  char name[256];
  LogRunTime s{}, e{};
  while (c.NextRun(name, &s, &e) == 1) seen.push_back({name, s.seconds, e.seconds});
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].name, "A" + Stamp(kBase + 60) + ".odl");
  EXPECT_EQ(seen[0].start, kBase + 60);
  EXPECT_EQ(seen[0].end, 0);
  EXPECT_EQ(seen[1].start, kBase + 120);
  EXPECT_EQ(seen[1].end, kBase + 180);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SUCCESS);
}

TEST_F(RemoteCollection, WriteAccessOrLocalHostIsNoRemoteListing) {
  size_t before = Listings();
  CLogFileCollection c;
  // This computer's UNC paths are its own folders: missing and read-only fails.
  EXPECT_EQ(c.Open(nullptr, "\\\\.\\TSQ_CURRENT_CONFIG\\RUNS", "L", "A", OS_GENERIC_READ), -1);
  // A server part alone has no folder to list.
  EXPECT_EQ(c.Open(nullptr, "\\\\HOSTR\\", "L", "A", OS_GENERIC_READ), -1);
  EXPECT_EQ(Listings(), before);
}
