#include "plugin/loggers/log_file_collection.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/registry/reg_settings.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_store.h"
#include "plugin/loggers/log_format.h"
#include "tests/support/child_run.h"
#include "tests/support/logger_db.h"
#include "tests/support/test_root.h"

namespace {

constexpr uint32_t kRW = OS_GENERIC_READ | OS_GENERIC_WRITE;

int32_t Seconds(const char *stamp) { return static_cast<int32_t>(log_ParseStamp(stamp)); }

class LogFileCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    win_ = std::string("C:\\lc\\") + name;
    dir_ = tnwtest::Root() + "/drives/c/lc/" + name;
    ASSERT_EQ(os_MakeFolders(dir_.c_str()), 0);
    memset(&h_, 0, sizeof h_);
    h_.blockCount = 1;
    h_.recordSize = 28;
    LogChannelBlock &b = h_.blocks[0];
    memcpy(b.prefix, "AI", 2);
    b.first = 1;
    b.last = 2;
    b.kind = 8;
    b.statusOffset = 12;
    snprintf(b.source, sizeof b.source, "PUMP1");
    records_.resize(2);
    for (auto &r : records_) memset(r.raw, 0x11, sizeof r.raw);
    blocks_[0] = records_.data();
  }
  std::string L(const std::string &name) const { return dir_ + "/" + name; }
  bool Exists(const std::string &name) const { return os_GetFileAttributes((win_ + "\\" + name).c_str()) != OS_INVALID_FILE_ATTRIBUTES; }
  void Touch(const std::vector<std::string> &names) const {
    for (const auto &n : names) ASSERT_TRUE(tnwtest::WriteFile(L(n), "x")) << n;
  }
  std::vector<std::string> Listing() const {
    std::vector<std::string> out;
    os_ListDirectory(win_.c_str(), [](const char *n, bool, void *ctx) {
      static_cast<std::vector<std::string> *>(ctx)->emplace_back(n);
      return 0;
    }, &out);
    return out;
  }
  std::unique_ptr<CLogStore> Create(CLogFileCollection &c, const char *stamp, const char *text = nullptr) {
    int32_t start = Seconds(stamp);
    return std::unique_ptr<CLogStore>(c.CreateRun(&start, 0, nullptr, &h_, text, 0, nullptr, nullptr, blocks_));
  }

  std::string win_, dir_;
  LogFileHeader h_;
  std::vector<ChannelRecord> records_;
  ChannelRecord *blocks_[1];
};

// The listing takes every ".odl" name the run rule reads, in name order,
// with both times; everything else is skipped.
TEST_F(LogFileCollectionTest, ListingSkipsWhatIsNoRun) {
  Touch({".hidden230101_120000.odl", "AB230101_120000.odl", "AB230101_120000_230101_180000.odl",
         "AB231301_120000.odl", "nostamp.odl", "AB230101_120000.txt", "events.txt", "X230102_000000.od\xEC"});
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "AB", OS_GENERIC_READ), 0);
  uint32_t cap = 0;
  ASSERT_EQ(c.FirstRun(&cap), 1);
  EXPECT_EQ(cap, 256u);
  struct Seen {
    std::string name;
    int32_t start, end;
  };
  std::vector<Seen> seen;
  char name[256];
  LogRunTime s{1, 1}, e{1, 1};
  while (c.NextRun(name, &s, &e) == 1) {
    EXPECT_EQ(s.zero, 0);
    EXPECT_EQ(e.zero, 0);
    seen.push_back({name, s.seconds, e.seconds});
  }
  const Seen want[] = {
      {"AB230101_120000.odl", Seconds("230101_120000"), 0},
      {"AB230101_120000_230101_180000.odl", Seconds("230101_120000"), Seconds("230101_180000")},
      {"X230102_000000.odl", Seconds("230102_000000"), 0},  // the last character's top bit cleared
  };
  ASSERT_EQ(seen.size(), std::size(want));
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].name, want[i].name);
    EXPECT_EQ(seen[i].start, want[i].start);
    EXPECT_EQ(seen[i].end, want[i].end);
  }
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SUCCESS);
  EXPECT_EQ(c.NextRun(name, &s, &e), 0);
}

TEST_F(LogFileCollectionTest, EmptyFolderListsNothing) {
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "AB", OS_GENERIC_READ), 0);
  EXPECT_EQ(c.FirstRun(nullptr), 0);
  char name[256];
  uint32_t cap = sizeof name;
  EXPECT_EQ(c.FindRun(name, &cap, nullptr, nullptr, 1), 0);
}

// The newest run of the prefix, or of any prefix with the all-runs flag;
// among equal starts the first listed.
TEST_F(LogFileCollectionTest, FindRun) {
  Touch({"AB230101_120000.odl", "AB230101_100000_230101_110000.odl", "ABC230105_120000.odl", "XY230109_120000.odl",
         "ab230101_120000_230101_130000.odl"});
  struct Case {
    const char *prefix;
    int all;
    const char *name;  // null: none
  } cases[] = {
      {"AB", 0, "AB230101_120000.odl"},
      {"ab", 0, "AB230101_120000.odl"},
      {"AB", 1, "XY230109_120000.odl"},
      {"ABC", 0, "ABC230105_120000.odl"},
      {"XY", 0, "XY230109_120000.odl"},
      {"Q", 0, nullptr},
      {"", 0, nullptr},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(std::string(k.prefix) + (k.all ? " all" : ""));
    CLogFileCollection c;
    ASSERT_EQ(c.Open("", win_.c_str(), "", k.prefix, OS_GENERIC_READ), 0);
    char name[256] = "untouched";
    uint32_t cap = sizeof name;
    LogRunTime s{}, e{};
    int r = c.FindRun(name, &cap, &s, &e, k.all);
    if (!k.name) {
      EXPECT_EQ(r, 0);
      EXPECT_STREQ(name, "untouched");
      continue;
    }
    ASSERT_EQ(r, 1);
    EXPECT_STREQ(name, k.name);
    EXPECT_EQ(cap, strlen(k.name) + 1);
  }
  // An empty prefix takes names that begin with the stamp.
  Touch({"230201_000000.odl"});
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "", OS_GENERIC_READ), 0);
  char name[256];
  uint32_t cap = sizeof name;
  ASSERT_EQ(c.FindRun(name, &cap, nullptr, nullptr, 0), 1);
  EXPECT_STREQ(name, "230201_000000.odl");
  // Too small a buffer: nothing copied.
  cap = 5;
  EXPECT_EQ(c.FindRun(name, &cap, nullptr, nullptr, 0), 0);

  // Of many runs with the newest start, the first in name order wins,
  // whatever order the folder gives.
  std::vector<std::string> same;
  for (int i = 10; i < 40; ++i) same.push_back("T230301_000000_230301_0000" + std::to_string(i) + ".odl");
  same.push_back("T230301_000000.odl");
  Touch(same);
  CLogFileCollection t;
  ASSERT_EQ(t.Open("", win_.c_str(), "", "T", OS_GENERIC_READ), 0);
  cap = sizeof name;
  LogRunTime s{}, e{};
  ASSERT_EQ(t.FindRun(name, &cap, &s, &e, 0), 1);
  EXPECT_STREQ(name, "T230301_000000.odl");
  EXPECT_EQ(s.seconds, Seconds("230301_000000"));
  EXPECT_EQ(e.seconds, 0);
}

// Two loggers in one folder: A's purge takes only A's closed runs older than
// the cut-off, with their companions.
TEST_F(LogFileCollectionTest, PurgeKeepsOtherPrefixes) {
  std::vector<std::string> gone, kept;
  for (const char *ext : {".odl", ".txt", ".tsq", ".zip"}) {
    gone.push_back(std::string("A230101_000000_230102_000000") + ext);
    kept.push_back(std::string("B230101_000000_230102_000000") + ext);
    kept.push_back(std::string("AB230101_000000_230102_000000") + ext);
  }
  kept.insert(kept.end(), {"A230101_000000.odl", "A230101_000000.txt", "A230103_000000_230110_000000.odl",
                            "A230101_000000_230110_000000.odl", "events.txt", "A2301_garbage.odl",
                            "xA230101_000000_230102_000000.odl"});
  Touch(gone);
  Touch(kept);
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "A", kRW), 0);
  int32_t cut = Seconds("230105_000000");
  c.Purge(&cut);
  std::vector<std::string> now = Listing();
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(now, kept);
}

// Open: prefix and path limits are checked before anything is touched.
TEST_F(LogFileCollectionTest, OpenLimits) {
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "OLD", OS_GENERIC_READ), 0);
  std::string longPrefix(205, 'P');
  EXPECT_EQ(c.Open("", win_.c_str(), "", longPrefix.c_str(), OS_GENERIC_READ), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_STREQ(c.Prefix(), "OLD");

  // Folder + '\' + prefix + closed stamp must fit in 259 characters.
  std::string base = win_ + "\\";
  size_t room = 259 - base.size() - 1 - LOG_CLOSED_STAMP_LEN;
  std::string fits = base + std::string(room, 'f'), over = base + std::string(room + 1, 'f');
  EXPECT_EQ(c.Open("", over.c_str(), "", "", kRW), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILENAME_EXCED_RANGE);
  EXPECT_TRUE(Listing().empty());
  EXPECT_EQ(c.Open("", fits.c_str(), "", "", kRW), 0);
  EXPECT_EQ(c.Open("", fits.c_str(), "", "Q", kRW), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILENAME_EXCED_RANGE);

  // A missing folder without write access fails.
  EXPECT_EQ(c.Open("", (win_ + "\\missing").c_str(), "", "", OS_GENERIC_READ), -1);
  EXPECT_FALSE(Exists("missing"));
}

// Missing levels are made below the protected "\LOGGED_DATA\" level only.
TEST_F(LogFileCollectionTest, OpenMakesLevelsBelowTheLimit) {
  struct Case {
    std::string folder;
    int result;
  } cases[] = {
      {win_ + "\\ROOT\\LOGGED_DATA\\L1", -1},
      {win_ + "\\HAS\\LOGGED_DATA\\L1\\L2", 0},
      {win_ + "\\PLAIN\\L1\\L2", 0},
  };
  ASSERT_EQ(os_MakeFolders((dir_ + "/HAS/LOGGED_DATA").c_str()), 0);
  for (const Case &k : cases) {
    SCOPED_TRACE(k.folder);
    CLogFileCollection c;
    EXPECT_EQ(c.Open("", k.folder.c_str(), "", "A", kRW), k.result);
    EXPECT_EQ(os_GetFileAttributes(k.folder.c_str()) != OS_INVALID_FILE_ATTRIBUTES, k.result == 0);
  }
  EXPECT_FALSE(Exists("ROOT"));
}

// CreateRun: 8-bit and 16-bit header texts; a second run in the same second
// is refused and leaves the first run's files alone.
TEST_F(LogFileCollectionTest, CreateRun) {
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "CR", kRW), 0);
  auto first = Create(c, "230101_120000", "caf\xE9 header");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(tnwtest::ReadFile(L("CR230101_120000.txt")), "caf\xE9 header");
  EXPECT_TRUE(Exists("CR230101_120000.odl"));
  std::string firstData = tnwtest::ReadFile(L("CR230101_120000.odl"));

  auto again = Create(c, "230101_120000", "other");
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_EXISTS);
  EXPECT_EQ(tnwtest::ReadFile(L("CR230101_120000.txt")), "caf\xE9 header");
  EXPECT_EQ(tnwtest::ReadFile(L("CR230101_120000.odl")), firstData);

  const uint16_t wide[] = {'A', 0x00E9, 0x4E2D, 0};
  int32_t start = Seconds("230101_130000");
  std::unique_ptr<CLogStore> w(c.CreateRunW(&start, 0, nullptr, &h_, wide, 0, nullptr, nullptr, blocks_));
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(tnwtest::ReadFile(L("CR230101_130000.txt")), std::string("\xFF\xFE" "A\0\xE9\0\x2D\x4E", 8));

  // Without a header text no text file is made.
  auto bare = Create(c, "230101_140000");
  ASSERT_NE(bare, nullptr);
  EXPECT_FALSE(Exists("CR230101_140000.txt"));
  char path[300];
  uint32_t len = sizeof path;
  c.GetStorePath("CR230101_140000.odl", path, &len);
  EXPECT_EQ(std::string(path), win_ + "\\CR230101_140000.odl");
  EXPECT_EQ(len, win_.size() + strlen("CR230101_140000.odl") + 2);
}

// CloseRun renames the run and its companions, or deletes them all without
// a start time; a failed rename is not reported and changes nothing.
TEST_F(LogFileCollectionTest, CloseRun) {
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "AB", kRW), 0);
  auto s = Create(c, "230101_120000", "text");
  ASSERT_NE(s, nullptr);
  Touch({"AB230101_120000.tsq", "AB230101_120000.zip"});
  int32_t start = Seconds("230101_120000"), end = Seconds("230101_180000");
  ASSERT_EQ(c.CloseRun(s.get(), &start, &end, 1), 0);
  std::vector<std::string> want = {"AB230101_120000_230101_180000.odl", "AB230101_120000_230101_180000.tsq",
                                   "AB230101_120000_230101_180000.txt", "AB230101_120000_230101_180000.zip"};
  EXPECT_EQ(Listing(), want);
  for (const auto &n : want)
    EXPECT_TRUE(os_GetFileAttributes((win_ + "\\" + n).c_str()) & OS_FILE_ATTRIBUTE_READONLY) << n;
  char name[300];
  uint32_t size = sizeof name;
  s->GetName(name, &size);
  EXPECT_EQ(std::string(name), win_ + "\\AB230101_120000_230101_180000.odl");

  // Start only: an open name with the new stamp.
  auto t = Create(c, "230102_000000", "t2");
  ASSERT_NE(t, nullptr);
  int32_t later = Seconds("230102_010000");
  ASSERT_EQ(c.CloseRun(t.get(), &later, nullptr, 0), 0);
  EXPECT_TRUE(Exists("AB230102_010000.odl"));
  EXPECT_TRUE(Exists("AB230102_010000.txt"));
  EXPECT_FALSE(Exists("AB230102_000000.odl"));

  // No start: the run and its companions go.
  auto u = Create(c, "230103_000000", "t3");
  ASSERT_NE(u, nullptr);
  Touch({"AB230103_000000.tsq", "AB230103_000000.zip"});
  ASSERT_EQ(c.CloseRun(u.get(), nullptr, nullptr, 0), 0);
  for (const char *n : {"AB230103_000000.odl", "AB230103_000000.txt", "AB230103_000000.tsq", "AB230103_000000.zip"})
    EXPECT_FALSE(Exists(n)) << n;

  // A rename onto an existing name fails quietly; the run keeps its name.
  auto v = Create(c, "230104_000000", "t4");
  ASSERT_NE(v, nullptr);
  Touch({"AB230104_000000_230104_010000.odl"});
  int32_t vs = Seconds("230104_000000"), ve = Seconds("230104_010000");
  EXPECT_EQ(c.CloseRun(v.get(), &vs, &ve, 0), 0);
  EXPECT_TRUE(Exists("AB230104_000000.odl"));
  EXPECT_TRUE(Exists("AB230104_000000.txt"));
}

// UseRunForLogging reopens a closed run; its companions follow the data
// file's open name. Its failures leave their texts.
TEST_F(LogFileCollectionTest, UseRunForLogging) {
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "UR", kRW), 0);
  auto s = Create(c, "230101_120000", "text");
  ASSERT_NE(s, nullptr);
  Touch({"UR230101_120000.tsq"});
  int32_t start = Seconds("230101_120000"), end = Seconds("230101_180000");
  ASSERT_EQ(c.CloseRun(s.get(), &start, &end, 0), 0);
  s.reset();

  std::unique_ptr<CLogStore> r(c.OpenStore("UR230101_120000_230101_180000.odl", kRW));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(c.UseRunForLogging(r.get(), 0, "XX", 1, 1), -1);
  EXPECT_STREQ(c.GetErrorSummary(), "Prefixes don't match");
  EXPECT_EQ(std::string(c.GetErrorText()),
            "Prefixes don't match, Path " + win_ + "\\UR230101_120000_230101_180000.odl, LogPrefix XX");

  LogFileHeader h;
  ASSERT_EQ(r->ReadHeader(&h), 0);
  ASSERT_EQ(c.UseRunForLogging(r.get(), h.firstRecord, "ur", 1, 1), 0);
  std::vector<std::string> want = {"UR230101_120000.odl", "UR230101_120000.tsq", "UR230101_120000.txt"};
  EXPECT_EQ(Listing(), want);
  r.reset();

  // A missing text file.
  ASSERT_EQ(os_DeleteFile((win_ + "\\UR230101_120000.txt").c_str()), 0);
  std::unique_ptr<CLogStore> q(c.OpenStore("UR230101_120000.odl", kRW));
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(c.UseRunForLogging(q.get(), 0, "UR", 1, 0), -1);
  EXPECT_STREQ(c.GetErrorSummary(), "Cant access text file 2");
  EXPECT_EQ(std::string(c.GetErrorText()), "Cant access text file 2 " + win_ + "\\UR230101_120000.txt");
  // A missing configuration copy.
  ASSERT_EQ(os_DeleteFile((win_ + "\\UR230101_120000.tsq").c_str()), 0);
  EXPECT_EQ(c.UseRunForLogging(q.get(), 0, "UR", 0, 1), -1);
  // An offset the store refuses: both texts carry its error.
  EXPECT_EQ(c.UseRunForLogging(q.get(), 1, "UR", 0, 0), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_STREQ(c.GetErrorSummary(), "UseforLogging failed 87 87");
  EXPECT_STREQ(c.GetErrorText(), "UseforLogging failed 87 87");
  EXPECT_EQ(c.OpenStore("UR991231_000000.odl", OS_GENERIC_READ), nullptr);
}

// A run its writer in another process holds is never renamed or deleted.
TEST_F(LogFileCollectionTest, RunHeldByAnotherProcess) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CLogFileCollection w;
    char ok = 0;
    if (w.Open("", win_.c_str(), "", "HW", kRW) == 0) {
      auto s = Create(w, "230101_120000", "held");
      // A second held run under a closed name: only a purge could reach it.
      auto t = Create(w, "230102_000000", "held closed");
      ok = s != nullptr && t != nullptr;
      for (const char *ext : {".odl", ".txt"})
        ok = ok && rename(L(std::string("HW230102_000000") + ext).c_str(),
                          L(std::string("HW230102_000000_230102_010000") + ext).c_str()) == 0;
      (void)!write(ready[1], &ok, 1);
      (void)!read(done[0], &ok, 1);
    } else {
      (void)!write(ready[1], &ok, 1);
    }
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "HW", kRW), 0);
  std::unique_ptr<CLogStore> s(c.OpenStore("HW230101_120000.odl", OS_GENERIC_READ));
  ASSERT_NE(s, nullptr);
  int32_t start = Seconds("230101_120000"), end = Seconds("230101_130000");
  EXPECT_EQ(c.CloseRun(s.get(), &start, &end, 0), 0);  // the failed rename is not reported
  EXPECT_TRUE(Exists("HW230101_120000.odl"));
  std::unique_ptr<CLogStore> d(c.OpenStore("HW230101_120000.odl", OS_GENERIC_READ));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(c.CloseRun(d.get(), nullptr, nullptr, 0), -1);
  EXPECT_TRUE(Exists("HW230101_120000.odl"));
  EXPECT_TRUE(Exists("HW230101_120000.txt"));
  std::unique_ptr<CLogStore> u(c.OpenStore("HW230101_120000.odl", kRW));
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(c.UseRunForLogging(u.get(), 0, "HW", 1, 0), -1);
  EXPECT_TRUE(Exists("HW230101_120000.odl"));
  Touch({"HW230103_000000_230103_010000.odl", "HW230103_000000_230103_010000.txt"});
  int32_t cut = Seconds("300101_000000");
  c.Purge(&cut);
  EXPECT_TRUE(Exists("HW230101_120000.odl"));
  // The held closed run keeps its text; a run nobody holds goes.
  EXPECT_TRUE(Exists("HW230102_000000_230102_010000.odl"));
  EXPECT_TRUE(Exists("HW230102_000000_230102_010000.txt"));
  EXPECT_FALSE(Exists("HW230103_000000_230103_010000.odl"));
  EXPECT_FALSE(Exists("HW230103_000000_230103_010000.txt"));
  ASSERT_EQ(write(done[1], &ok, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int f : {ready[0], ready[1], done[0], done[1]}) close(f);
}

}  // namespace

namespace {

using tnwtest::Shell;

// The configuration copy: archived from the configuration folder (the
// parent of the caller's "LOGGERS"), the caller left in "LOGGERS"; when the
// archive cannot be made the run's own files go and nothing else.
TEST_F(LogFileCollectionTest, CreateRunCopiesTheConfiguration) {
  std::string conf = dir_ + "/CONF";
  ASSERT_EQ(os_MakeFolders((conf + "/LOGGERS").c_str()), 0);
  ASSERT_TRUE(tnwtest::WriteFile(conf + "/LOGGERS/L1.ini", "[Logger]\r\n"));
  ASSERT_TRUE(tnwtest::WriteFile(conf + "/chan.cfg", "x"));
  const char *bin = getenv("TNW_BIN");
  ASSERT_NE(bin, nullptr);
  os_SetEnvironmentVariable("TSQ_BIN", bin);
  ASSERT_EQ(os_MakeFolders((dir_ + "/SAVED").c_str()), 0);
  os_SetEnvironmentVariable("TSQ_SAVED_CONFIG", (win_ + "\\SAVED").c_str());
  ASSERT_EQ(os_SetCurrentDirectory((win_ + "\\CONF\\LOGGERS").c_str()), 0);
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "CC", kRW), 0);
  int32_t start = Seconds("230101_120000");
  std::unique_ptr<CLogStore> s(c.CreateRun(&start, 0, nullptr, &h_, "hdr", 1, nullptr, nullptr, blocks_));
  ASSERT_NE(s, nullptr) << os_GetLastError();
  std::string list = Shell("uncompress -c '" + L("CC230101_120000.tsq") + "' | tar -tPf -");
  EXPECT_NE(list.find("./LOGGERS/L1.ini"), std::string::npos) << list;
  EXPECT_NE(list.find("./chan.cfg"), std::string::npos) << list;
  char cwd[600];
  ASSERT_EQ(os_GetCurrentDirectory(cwd, sizeof cwd), 0);
  EXPECT_EQ(std::string(cwd), conf + "/LOGGERS");

  // No archive program: the second run's files are removed, the first run's stay.
  std::string path = getenv("PATH");
  setenv("PATH", "/nonexistent", 1);
  int32_t later = Seconds("230101_130000");
  std::unique_ptr<CLogStore> t(c.CreateRun(&later, 0, nullptr, &h_, "hdr2", 1, nullptr, nullptr, blocks_));
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(t, nullptr);
  std::vector<std::string> want = {"CC230101_120000.odl", "CC230101_120000.tsq", "CC230101_120000.txt", "CONF", "SAVED"};
  EXPECT_EQ(Listing(), want);
  os_SetCurrentDirectory(tnwtest::Root().c_str());
}

}  // namespace

namespace {

// Without a folder the logger's folder under the logged-data folder serves;
// the connection string is completed with its newest run of any prefix.
TEST_F(LogFileCollectionTest, DefaultFolderAndResolveRun) {
  os_SetEnvironmentVariable("TSQ_LOGGED_DATA", win_.c_str());
  CLogFileCollection c;
  EXPECT_EQ(c.Open("", "", "P1", "P", OS_GENERIC_READ), -1);  // no folder of P1 yet
  EXPECT_EQ(std::string(log_ResolveRun("C:\\L;LoggerName=P1")), "");
  ASSERT_EQ(c.Open("", "", "P1", "P", kRW), 0);
  EXPECT_EQ(std::string(c.Folder()), win_ + "\\P1");
  Touch({"P1/P230101_120000_230101_130000.odl", "P1/Q230102_120000.odl"});
  EXPECT_EQ(std::string(log_ResolveRun("C:\\L;LoggerName=P1")), "C:\\L;LoggerName=P1;Q230102_120000.odl");
  os_SetEnvironmentVariable("TSQ_LOGGED_DATA", nullptr);
}

}  // namespace

namespace {

// The product name the edition test reads; restored to none afterwards.
using tnwtest::SetProduct;

// A country level and those above it belong to the installation: a missing
// one fails the open, the levels below it are made. The "Rimfold" edition
// protects only the logged-data folder.
TEST_F(LogFileCollectionTest, OpenMakesLevelsBelowTheCountry) {
  struct Case {
    const char *product;     // null: the default edition
    const char *existing;    // made before the open (below the test folder)
    const char *folder;      // opened, below the test folder
    int result;
    const char *notMade;     // a level the open must not make
  } cases[] = {
      {nullptr, "D1\\A\\E", "D1\\A\\E\\FRANCE\\C1\\L1", -1, "D1\\A\\E\\FRANCE"},
      {nullptr, "D2\\A\\E\\FRANCE", "D2\\A\\E\\FRANCE\\C1\\L1", 0, nullptr},
      {nullptr, "D3\\A\\E\\france", "D3\\A\\E\\FRANCE\\C1", 0, nullptr},
      // A country below the logged-data folder wins over it.
      {nullptr, "D4\\LOGGED_DATA", "D4\\LOGGED_DATA\\E\\CHAD\\L1", -1, "D4\\LOGGED_DATA\\E"},
      {nullptr, "D5\\A", "D5\\A\\E\\L1\\FRANCE", 0, nullptr},  // the last level is no limit
      {"Rimfold", "D6\\A\\E", "D6\\A\\E\\FRANCE\\C1\\L1", 0, nullptr},
      {"Rimfold", "D7", "D7\\LOGGED_DATA\\E\\FRANCE\\L1", -1, "D7\\LOGGED_DATA"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.folder);
    SetProduct(k.product);
    std::string existing = k.existing;
    std::replace(existing.begin(), existing.end(), '\\', '/');
    ASSERT_EQ(os_MakeFolders(L(existing).c_str()), 0);
    CLogFileCollection c;
    std::string folder = win_ + "\\" + k.folder;
    EXPECT_EQ(c.Open("", folder.c_str(), "", "A", kRW), k.result);
    EXPECT_EQ(Exists(k.folder), k.result == 0);
    if (k.notMade) {
      EXPECT_FALSE(Exists(k.notMade));
    }
  }
  SetProduct(nullptr);
}

// UseRunForLogging passes the store's refusal on in both texts; CloseRun of
// a run without a stamp fails and keeps it; a run closed writable stays
// normal.
TEST_F(LogFileCollectionTest, ReopenAndCloseFailures) {
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", win_.c_str(), "", "UF", kRW), 0);
  auto s = Create(c, "230101_120000", "text");
  ASSERT_NE(s, nullptr);
  int32_t start = Seconds("230101_120000"), end = Seconds("230101_130000");
  ASSERT_EQ(c.CloseRun(s.get(), &start, &end, 0), 0);
  EXPECT_FALSE(os_GetFileAttributes((win_ + "\\UF230101_120000_230101_130000.odl").c_str()) & OS_FILE_ATTRIBUTE_READONLY);
  s.reset();
  const std::string data = tnwtest::ReadFile(L("UF230101_120000_230101_130000.odl"));
  Touch({"UFbad.txt"});
  ASSERT_TRUE(tnwtest::WriteFile(L("UFbad.odl"), data));

  struct Case {
    const char *run;
    uint32_t offset;  // LOG_END_UNKNOWN: the last whole record
    const char *text;
  } cases[] = {
      {"UFbad.odl", LOG_END_UNKNOWN, "UseforLogging failed 0 0"},                     // no stamp
      {"UF230101_120000_230101_130000.odl", 3, "UseforLogging failed 87 87"},        // not a record's end
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.run);
    std::unique_ptr<CLogStore> r(c.OpenStore(k.run, kRW));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(c.UseRunForLogging(r.get(), k.offset, "UF", 1, 0), -1);
    EXPECT_STREQ(c.GetErrorSummary(), k.text);
    EXPECT_STREQ(c.GetErrorText(), k.text);
    EXPECT_TRUE(Exists(k.run));
  }

  std::unique_ptr<CLogStore> bad(c.OpenStore("UFbad.odl", kRW));
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(c.CloseRun(bad.get(), &start, &end, 1), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_NAME);
  EXPECT_TRUE(Exists("UFbad.odl"));
  EXPECT_TRUE(Exists("UFbad.txt"));
}

}  // namespace
