#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/config/chan_record.h"
#include "platform/os_path.h"
#include "platform/os_io.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_format.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace {

LogFileHeader TwoChannels() {
  LogFileHeader h;
  memset(&h, 0, sizeof h);
  h.blockCount = 1;
  h.recordSize = 12 + 16;
  memcpy(h.blocks[0].prefix, "AI", 2);
  h.blocks[0].first = 1;
  h.blocks[0].last = 2;
  h.blocks[0].statusOffset = 12;
  h.start = {1672574400, 0, 0};
  return h;
}

std::string Record(uint32_t i) {
  std::string r(28, '\0');
  uint16_t mark = 0x8004, word = 1;
  int32_t seconds = 1672574400 + int32_t(i);
  uint32_t present = 0x80;
  float a = float(i), b = float(i) / 2;
  memcpy(&r[0], &mark, 2);
  memcpy(&r[2], &word, 2);
  memcpy(&r[4], &seconds, 4);
  memcpy(&r[12], &present, 4);
  memcpy(&r[16], &present, 4);
  memcpy(&r[20], &a, 4);
  memcpy(&r[24], &b, 4);
  return r;
}

std::string Hex(const std::string &s) {
  std::string h;
  char b[3];
  for (unsigned char c : s) snprintf(b, sizeof b, "%02x", c), h += b;
  return h;
}

int Create(CLogFileStore &s, const std::string &path, LogFileHeader &h) {
  std::vector<ChannelRecord> ch(2);
  memset(ch.data(), 0, sizeof(ChannelRecord) * 2);
  ChannelRecord *blocks[1] = {ch.data()};
  return s.Create(path.c_str(), &h, blocks);
}

using tnwtest::Shell;

TEST(Logtool, DumpShowsHeaderBlocksRecordsAndSections) {
  std::string dir = tnwtest::MakeTempDir("logtool_dump");
  std::string run = dir + "/PU230101_120000.odl";
  LogFileHeader h = TwoChannels();
  CLogFileStore s;
  ASSERT_EQ(Create(s, run, h), 0);
  std::string recs = Record(0) + Record(1);
  uint32_t bad = 0x80;
  float inf = 1.0f / 0.0f;
  memcpy(&recs[28 + 16], &bad, 4);
  memcpy(&recs[28 + 24], &inf, 4);
  ASSERT_EQ(s.WriteLogs(&h, recs.data(), 2), 0);
  ASSERT_EQ(s.WriteHeaderText("well 7"), 0);
  ASSERT_EQ(s.WriteText(1672574401, "surge", nullptr, nullptr), 0);
  s.Close();
  std::string out = Shell(tnwtest::BinPath("logtool") + " dump " + run);
  for (const char *want : {"header type=0x8001 blocks=1 records=2 record_size=28",
                           "block 0 AI 1-2 kind=0 status_offset=12",
                           "record 0 23/01/01 12:00:00 word=1 AI1=0[P] AI2=0[P]",
                           "record 1 23/01/01 12:00:01 word=1 AI1=1[P] AI2=inf[PB]",
                           "section [TEXT] lines=1\n23/01/01 12:00:01 surge\r\n",
                           "section [HEADER] lines=1\nwell 7\r\n"})
    EXPECT_NE(out.find(want), std::string::npos) << want << "\n---\n" << out;
  EXPECT_NE(Shell(tnwtest::BinPath("logtool") + " dump " + dir + "/none.odl 2>&1").find("cannot read run"),
            std::string::npos);
}

// A follower beside a writer for 30 s: the records it shows run on without a
// gap or a repeat, each begins with the record marker and equals what was
// written, and at the end it has them all.
TEST(Logtool, FollowsARunWhileItIsWritten) {
  std::string dir = tnwtest::MakeTempDir("logtool_follow");
  std::string run = dir + "/FO230101_120000.odl";
  LogFileHeader h = TwoChannels();
  {
    CLogFileStore s;
    ASSERT_EQ(Create(s, run, h), 0);
    s.Close();
  }
  const double kSeconds = 30;
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    CLogFileStore s;
    uint32_t at = 0xFFFFFFFFu;
    if (s.Open(nullptr, run.c_str(), 0xC0000000u) != 0 || s.UseforLogging(&at) != 0) _exit(3);
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(kSeconds - 2);
    uint32_t n = 0;
    while (std::chrono::steady_clock::now() < until) {
      uint32_t batch = 1 + n % 7;
      std::string recs;
      for (uint32_t i = 0; i < batch; ++i) recs += Record(n + i);
      if (s.WriteLogs(&h, recs.data(), batch) != 0) _exit(4);
      n += batch;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    s.Close();
    FILE *f = fopen((run + ".count").c_str(), "w");
    fprintf(f, "%u\n", n);
    fclose(f);
    _exit(0);
  }
  std::string out = Shell(tnwtest::BinPath("logtool") + " follow " + run + " --raw --seconds " + std::to_string(kSeconds));
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  uint32_t written = std::stoul(tnwtest::ReadFile(run + ".count"));
  ASSERT_GT(written, 1000u);
  uint32_t expect = 0;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    std::string line = out.substr(at, end - at);
    at = end + 1;
    size_t sp = line.find(' ');
    ASSERT_EQ(std::stoul(line.substr(0, sp)), expect) << line;
    ASSERT_EQ(line.substr(sp + 1, 4), "0480") << line;
    ASSERT_EQ(line.substr(sp + 1), Hex(Record(expect))) << line;
    ++expect;
  }
  EXPECT_EQ(expect, written);
}

}  // namespace

namespace {

// Two loggers in one folder: "runs" lists one prefix's runs or all of them,
// "purge" removes only the named prefix's closed runs ended before the time.
TEST(Logtool, RunsAndPurgeByPrefix) {
  std::string dir = tnwtest::MakeTempDir("logtool_runs");
  LogFileHeader h = TwoChannels();
  struct Run {
    const char *prefix, *start, *end;
  } runs[] = {{"A", "230101_120000", "230101_130000"},
              {"A", "230102_120000", nullptr},
              {"B", "230101_120000", "230101_130000"}};
  for (const Run &r : runs) {
    CLogFileCollection c;
    ASSERT_EQ(c.Open("", dir.c_str(), "", r.prefix, OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
    std::vector<ChannelRecord> ch(2);
    memset(ch.data(), 0, sizeof(ChannelRecord) * 2);
    ChannelRecord *blocks[1] = {ch.data()};
    int32_t start = int32_t(log_ParseStamp(r.start));
    std::unique_ptr<CLogStore> s(c.CreateRun(&start, 0, nullptr, &h, "hdr", 0, nullptr, nullptr, blocks));
    ASSERT_NE(s, nullptr);
    std::string recs = Record(0) + Record(1) + Record(2);
    ASSERT_EQ(s->WriteLogs(&h, recs.data(), 3), 0);
    if (r.end) {
      int32_t end = int32_t(log_ParseStamp(r.end));
      ASSERT_EQ(c.CloseRun(s.get(), &start, &end, 0), 0);
    } else {
      s->Close();
    }
  }
  ASSERT_TRUE(tnwtest::WriteFile(dir + "/events.txt", "x"));
  std::string tool = tnwtest::BinPath("logtool");
  EXPECT_EQ(Shell(tool + " runs " + dir + " --prefix A"),
            "A230101_120000_230101_130000.odl 230101_120000 230101_130000 3\n"
            "A230102_120000.odl 230102_120000 - 3\n");
  EXPECT_EQ(Shell(tool + " runs " + dir),
            "A230101_120000_230101_130000.odl 230101_120000 230101_130000 3\n"
            "A230102_120000.odl 230102_120000 - 3\n"
            "B230101_120000_230101_130000.odl 230101_120000 230101_130000 3\n");
  EXPECT_NE(Shell(tool + " purge " + dir + " --prefix A --before yesterday 2>&1").find("bad time"), std::string::npos);
  EXPECT_NE(Shell(tool + " purge " + dir + "/none --prefix A --before now 2>&1").find("cannot open folder"),
            std::string::npos);
  EXPECT_EQ(system((tool + " purge " + dir + " --prefix A --before now").c_str()), 0);
  EXPECT_EQ(Shell(tool + " runs " + dir),
            "A230102_120000.odl 230102_120000 - 3\n"
            "B230101_120000_230101_130000.odl 230101_120000 230101_130000 3\n");
  EXPECT_EQ(Shell("ls " + dir),
            "A230102_120000.odl\nA230102_120000.txt\nB230101_120000_230101_130000.odl\n"
            "B230101_120000_230101_130000.txt\nevents.txt\n");
}

// A request through the connection table to a folder of runs: text replies
// as they stand, binary ones field by field.
TEST(Logtool, RequestPrintsTheReplyFieldByField) {
  std::string dir = tnwtest::Root() + "/drives/c/ltreq";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  LogFileHeader h = TwoChannels();
  h.type = LOG_FILE_TYPE;
  CLogFileCollection c;
  ASSERT_EQ(c.Open("", "C:\\ltreq", "", "R", OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  std::vector<ChannelRecord> ch(2);
  memset(ch.data(), 0, sizeof(ChannelRecord) * 2);
  memcpy(ch[1].raw, "Level", 5);
  ChannelRecord *blocks[1] = {ch.data()};
  int32_t start = h.start.seconds;
  std::unique_ptr<CLogStore> s(c.CreateRun(&start, 0, nullptr, &h, nullptr, 0, nullptr, nullptr, blocks));
  ASSERT_NE(s, nullptr);
  std::string recs = Record(0) + Record(1) + Record(2);
  ASSERT_EQ(s->WriteLogs(&h, recs.data(), 3), 0);
  s->Close();
  std::string tool = tnwtest::BinPath("logtool") + " request 'C:\\ltreq' ";
  EXPECT_EQ(Shell(tool + "QP"), "result 2, 2 bytes\n2\n");
  EXPECT_EQ(Shell(tool + "'RV,AI1,2,XX1'"),
            "result 1, 34 bytes\n"
            "group AI: run start 1672574400.000\n"
            "  AI1 status 0x80 P value 2\n"
            "  AI2 status 0x80 P value 1\n"
            "group XX: run start 0.000\n"
            "  XX1 status 0x20 B state 0\n");
  EXPECT_EQ(Shell(tool + "'CV,AI2'"),
            "result 1, 224 bytes\ngroup AI: run start 1672574400.000\n"
            "  AI2 tag \"Level\" description \"\" type 0 analogue\n");
  EXPECT_EQ(Shell(tool + "'TC,level,none'"), "result 1, 10 bytes\nlevel = AI2\nnone = none\n");
  EXPECT_EQ(Shell(tool + "TS | head -2"), "result 1672574402, 185 bytes\ntime 1672574402,0\n");
  EXPECT_EQ(Shell(tool + "'7S,0,1,0,1,1,1,1,1,1,1'"), "result -1, 6 bytes, error 87\n-1,87\n");
}

// The logger list: from the tables while no server answers, and the
// server's own list while one does.
TEST(Logtool, LoggersFromTheTablesAndFromTheServer) {
  std::string config = tnwtest::Root() + "/drives/c/LTCFG";
  std::filesystem::create_directories(config + "/LOGGERS");
  ASSERT_TRUE(tnwtest::WriteFile(config + "/LOGCAP.TXT", "* types\nstand\nresub\n"));
  std::string one(1480, '\0'), two(1480, '\0');
  one.replace(1, 10, "Main pumps");
  two.replace(1, 29, "A resubscriber, its long name");
  ASSERT_TRUE(tnwtest::WriteFile(config + "/LOGGERS/stand_1", one));
  ASSERT_TRUE(tnwtest::WriteFile(config + "/LOGGERS/resub_2", two));
  std::string tool = "TSQ_CURRENT_CONFIG='C:\\LTCFG' " + tnwtest::BinPath("logtool") + " loggers . ";
  EXPECT_EQ(Shell(tool), "stand,1,Main pumps\nresub,2,A resubscriber, its long\n");
  EXPECT_EQ(Shell(tool + "RESUB"), "resub,2,A resubscriber, its long\n");
  EXPECT_EQ(Shell(tool + "'*,1'"), "stand,1,Main pumps\n");
  EXPECT_EQ(Shell(tool + "3"), "");
  ASSERT_TRUE(tnwtest::WriteFile(config + "/LOGCAP.TXT", "stand\nnine_long\n"));
  tnwtest::ShellResult bad = tnwtest::ShellRun(tool + "2>&1");
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.out.find("fails its check"), std::string::npos) << bad.out;

  SimRequestSpec spec;
  spec.answer = [](const std::string &line, std::string *reply) {
    if (line == "QL") return *reply = std::string("2", 2), true;
    if (line.rfind("IL,", 0) != 0) return false;
    *reply = std::string("2,stand,4,Live;repub,5,Other;", 30);
    return true;
  };
  std::string why;
  SimRequestServer *server = sim_StartRequestServer(spec, &why);
  ASSERT_NE(server, nullptr) << why;
  EXPECT_EQ(Shell(tool), "stand,4,Live\nrepub,5,Other\n");
  EXPECT_EQ(Shell(tool + "stand"), "stand,4,Live\n");
  sim_StopRequestServer(server);
}

}  // namespace

namespace {

// "asset" in a process of its own per case: the asset terms set with regtool
// before it starts name the levels it prints.
TEST(Logtool, AssetShowsCodeLevelsAndPosition) {
  const std::string regtool = tnwtest::BinPath("regtool"), tool = tnwtest::BinPath("logtool");
  const std::string key = "'HKLM\\SOFTWARE\\Quenford\\Tessarine\\FIELDTOBASE'";
  ASSERT_EQ(system((regtool + " write " + key + " ROOT sz 'C:\\AST'").c_str()), 0);
  const std::string disk = tnwtest::Root() + "/drives/c/AST";
  ASSERT_EQ(system(("mkdir -p " + disk + "/E/FRANCE/ACME/NORTH/F1/W1/P7 " + disk + "/X/FRANCE/C " + disk +
                    "/N/ATLANTIS/C").c_str()),
            0);
  ASSERT_TRUE(tnwtest::WriteFile(disk + "/E/FRANCE/ACME/NORTH/F1/information.ini",
                                 "[POSITION]\r\nLATITUDE=47.5\r\nLONGITUDE=1.25\r\n"));
  const std::string well = "'C:\\AST\\E\\FRANCE\\ACME\\NORTH\\F1\\W1'";
  const struct {
    const char *terms;  // "NAME=VALUE ..." set for this case only
    std::string path, out;
  } cases[] = {
      {"", well,
       "code E_FR_ACME_NORTH_F1_W1\nREGION=EUROPE CIS\nCOUNTRY=FRANCE\nCUSTOMER=ACME\nCLIENT=NORTH\nFIELD=F1\n"
       "WELL=W1\nposition 47.500000 1.250000\n"},
      {"ASSET_TERM_1=AREA", well,
       "code E_FR_ACME_NORTH_F1_W1\nREGION=EUROPE CIS\nCOUNTRY=FRANCE\nCUSTOMER=ACME\nCLIENT=NORTH\nAREA=F1\n"
       "WELL=W1\nposition 47.500000 1.250000\n"},
      {"", "'c:\\ast\\E\\France\\ACME\\NORTH\\F1\\W1\\P7'",  // deeper than the levels
       "code E_FR_ACME_NORTH_F1_W1\nREGION=EUROPE CIS\nCOUNTRY=FRANCE\nCUSTOMER=ACME\nCLIENT=NORTH\nFIELD=F1\n"
       "WELL=W1\nposition 47.500000 1.250000\n"},
      {"ASSET_TERM_3=PAD", "'C:\\AST\\E\\FRANCE\\ACME\\NORTH\\F1\\W1\\P7'",
       "code E_FR_ACME_NORTH_F1_W1_P7\nREGION=EUROPE CIS\nCOUNTRY=FRANCE\nCUSTOMER=ACME\nCLIENT=NORTH\nFIELD=F1\n"
       "WELL=W1\nPAD=P7\nposition 47.500000 1.250000\n"},
      {"", "'C:\\AST\\X\\FRANCE\\C'", "code X_FR_C\nREGION=-\nCOUNTRY=FRANCE\nCUSTOMER=C\nposition -\n"},
      {"", "'C:\\AST\\N\\ATLANTIS\\C'",
       "code N_--_C\nREGION=NORTH AMERICA\nCOUNTRY=-\nCUSTOMER=C\nposition 48.806999 -104.414001\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.terms) + " " + c.path);
    std::string set = c.terms, name;
    size_t eq = set.find('=');
    if (eq != std::string::npos) {
      name = set.substr(0, eq);
      ASSERT_EQ(system((regtool + " write " + key + " " + name + " sz " + set.substr(eq + 1)).c_str()), 0);
    }
    tnwtest::ShellResult r = tnwtest::ShellRun(tool + " asset " + c.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    if (!name.empty()) {
      ASSERT_EQ(system((regtool + " delete " + key + " " + name).c_str()), 0);
    }
  }
  tnwtest::ShellResult r = tnwtest::ShellRun(tool + " asset 'C:\\OTHER\\E\\FRANCE' 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "logtool: C:\\OTHER\\E\\FRANCE is not below the asset root C:\\AST\n");
  EXPECT_EQ(tnwtest::ShellRun(tool + " asset 2>/dev/null").status, 2);
}

}  // namespace

// A logger configuration written from field=value lines and printed back in
// the same form; what does not parse names its line and field.
TEST(Logtool, LoggerConfigWrittenAndReadAsFieldLines) {
  std::string dir = tnwtest::MakeTempDir("lcfg") + "/LOGGERS";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  std::string tool = tnwtest::BinPath("logtool") + " logger-config ";
  tnwtest::ShellResult w = tnwtest::ShellRun(
      "printf 'Name=Pump wells\\nExpiryTimeEnable=1\\nExpiryTime=2030-12-31T23:59\\n"
      "SourceServer=https://me:pw@logs.example:8443/x\\n' | " + tool + "write " + dir + " resub 4");
  ASSERT_EQ(w.status, 0) << w.out;
  std::string out = Shell(tool + "read " + dir + " resub 4");
  EXPECT_NE(out.find("\nExpiryTime=2030-12-31T23:59\n"), std::string::npos) << out;
  EXPECT_EQ(out.rfind("Name=Pump wells\nAutostart=0\nExpiryTimeEnable=1\n", 0), 0u) << out;
  EXPECT_NE(out.find("\nSourceServer=https://me:enc"), std::string::npos) << out;
  EXPECT_EQ(out.find(":pw@"), std::string::npos) << out;
  // The rest of the record was kept by a later write of one field.
  ASSERT_EQ(tnwtest::ShellRun("echo 'Autostart=1' | " + tool + "write " + dir + " resub 4").status, 0);
  out = Shell(tool + "read " + dir + " resub 4");
  EXPECT_NE(out.find("Name=Pump wells\nAutostart=1\n"), std::string::npos) << out;

  struct Case {
    std::string cmd, message;
    int status;
  } cases[] = {
      {"echo 'ExpiryTime=2030-12-31T24:00' | " + tool + "write " + dir + " resub 4",
       "line 1: <ExpiryTime> invalid time value", 1},
      {"printf '\\nNoSuch=1\\n' | " + tool + "write " + dir + " resub 4", "line 2: <NoSuch> no such field", 1},
      {"echo 'Name' | " + tool + "write " + dir + " resub 4", "line 1: no '='", 1},
      {tool + "read " + dir + " resub 5", "read: error 2", 1},
      {tool + "read " + dir + " filelog 1", "filelog has no record type", 2},
      {tool + "read " + dir + " resub x", "bad logger number", 2},
  };
  for (const Case &c : cases) {
    tnwtest::ShellResult r = tnwtest::ShellRun(c.cmd + " 2>&1");
    EXPECT_EQ(r.status, c.status) << c.cmd;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.cmd << ": " << r.out;
  }
  EXPECT_NE(Shell(tool + "read " + dir + " resub 4").find("Autostart=1"), std::string::npos) << "failed writes change nothing";
}
