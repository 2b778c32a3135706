#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "platform/ado/ado.h"
#include "platform/os_env.h"
#include "plugin/loggers/log_db_store.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_file_store.h"
#include "plugin/loggers/log_text.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

namespace {

// `scadasim logger --runs` as a child, its output read line by line.
struct Logger {
  pid_t pid = -1;
  FILE *out = nullptr;
  std::string Line() {
    char buf[512];
    if (!fgets(buf, sizeof buf, out)) return "";
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  void Start(const std::string &folder, std::vector<std::string> more = {}, const char *option = "--runs") {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string prog = tnwtest::BinPath("scadasim");
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::vector<std::string> args = {prog, "logger", option, folder};
      args.insert(args.end(), more.begin(), more.end());
      std::vector<char *> argv;
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(prog.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    out = fdopen(fds[0], "r");
  }
  int Wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    fclose(out);
    return status;
  }
};

// The logger writes one record per code from the published areas, an entry
// for events; killed and restarted it continues the same run.
TEST(ScadasimLogger, WritesARunAndContinuesItAfterAKill) {
  std::string why;
  ASSERT_EQ(sim_CreateWorld(SimWorldSpec{}, &why), 0) << why;
  std::string folder = tnwtest::MakeTempDir("sim_logger");
  Logger a;
  a.Start(folder);
  std::string created = a.Line();
  ASSERT_EQ(created.rfind("created ", 0), 0u) << created;
  std::string run = created.substr(8);
  std::string slot = tnwtest::Root() + "/kernel/mailslot/dm_" + std::to_string(a.pid) + ".slt";
  for (int i = 0; i < 500 && access(slot.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const int32_t codes[] = {200000, 200002, int32_t(0x80000000u | 200000u)};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(sim_Post(uint32_t(a.pid), codes[i]), 0) << "logger ended: " << a.Wait() << " " << errno;
    EXPECT_EQ(a.Line(), "wrote " + std::to_string(i + 1));
  }
  kill(a.pid, SIGKILL);
  a.Wait();

  Logger b;
  b.Start(folder);
  EXPECT_EQ(b.Line(), "continued " + run + " at 3");
  slot = tnwtest::Root() + "/kernel/mailslot/dm_" + std::to_string(b.pid) + ".slt";
  for (int i = 0; i < 500 && access(slot.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(sim_Post(uint32_t(b.pid), 200000), 0);
  EXPECT_EQ(b.Line(), "wrote 4");
  ASSERT_EQ(sim_Post(uint32_t(b.pid), NTF_STOP), 0);
  int status = b.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  CLogFileStore r;
  ASSERT_EQ(r.Open(nullptr, run.c_str(), 0x80000000u), 0);
  LogFileHeader h;
  ASSERT_EQ(r.ReadHeader(&h), 0);
  ASSERT_EQ(h.recordCount, 4u);
  ASSERT_EQ(h.blockCount, 2);
  EXPECT_EQ(std::string(h.blocks[0].prefix, 2), "A1");
  EXPECT_EQ(h.blocks[0].last, 8);
  EXPECT_EQ(std::string(h.blocks[1].prefix, 2), "D1");
  EXPECT_EQ(h.blocks[1].last, 16);
  std::vector<uint8_t> recs(size_t(h.recordSize) * 4);
  ASSERT_EQ(r.ReadLogs(0, &h, recs.data(), 4, nullptr, nullptr, nullptr), 4);
  std::vector<SimChannel> ai = sim_ReadChannels("A1");
  ASSERT_EQ(ai.size(), 8u);
  for (int i = 0; i < 4; ++i) {
    uint16_t word;
    memcpy(&word, &recs[size_t(i) * h.recordSize + 2], 2);
    EXPECT_EQ(word, i == 2 ? 1 : 0) << i;
    for (size_t k = 0; k < 8; ++k) {
      float v;
      memcpy(&v, &recs[size_t(i) * h.recordSize + h.blocks[0].statusOffset + 32 + 4 * k], 4);
      EXPECT_EQ(v, ai[k].value) << i << " " << k;
    }
  }
  ChannelRecord ch[8];
  ASSERT_EQ(r.ReadChannels(&h, ch, 0, 0, 8), 0);
  EXPECT_STRNE(reinterpret_cast<const char *>(ch[0].raw), "");  // a tag from the configuration
  std::string text = run.substr(0, run.size() - 4) + ".txt";
  char out[512];
  uint32_t cap = sizeof out;
  EXPECT_EQ(txt_ReadSection(text.c_str(), "TEXT", out, &cap), 1);
  EXPECT_NE(std::string(out).find(" events 2\r\n"), std::string::npos) << out;
  sim_DestroyWorld();
}

// A logger process writing into a database while this process reads the
// same run: no busy failure on either side, the reader sees every record.
TEST(ScadasimLogger, WritesADatabaseRunThatAnotherProcessReads) {
  std::string why;
  ASSERT_EQ(sim_CreateWorld(SimWorldSpec{}, &why), 0) << why;
  std::string dir = tnwtest::Root() + "/hosts/./sqlserver";
  ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
  remove((dir + "/simlog.db").c_str());
  ASSERT_EQ(ado::ado_CreateFile(dir + "/simlog.db", &why), ado::ADO_S_OK) << why;
  const std::string cs = "Provider=SQLOLEDB;Data Source=.;Initial Catalog=simlog";
  Logger a;
  a.Start(cs, {}, "--store");
  std::string created = a.Line();
  ASSERT_EQ(created, "created " + cs + ";LoggerName=LOG;LoggerSeq=00000001");
  std::string slot = tnwtest::Root() + "/kernel/mailslot/dm_" + std::to_string(a.pid) + ".slt";
  for (int i = 0; i < 500 && access(slot.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  CLogDbStore r;
  ASSERT_EQ(r.Open(nullptr, created.substr(8).c_str(), 0x80000000u), 0) << r.GetErrorSummary() << r.GetErrorText();
  std::vector<SimChannel> ai = sim_ReadChannels("A1");
  ASSERT_EQ(ai.size(), 8u);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(sim_Post(uint32_t(a.pid), i == 1 ? 200002 : 200000), 0);
    ASSERT_EQ(a.Line(), "wrote " + std::to_string(i + 1));
    LogFileHeader h;
    ASSERT_EQ(r.ReadHeader(&h), 0) << r.GetErrorSummary() << r.GetErrorText();
    ASSERT_EQ(h.recordCount, uint32_t(i + 1));
    ASSERT_EQ(h.blockCount, 2);
    std::vector<uint8_t> rec(h.recordSize);
    int desc = 1;
    ASSERT_EQ(r.ReadLogs(0, &h, rec.data(), 1, &desc, nullptr, nullptr), 1) << r.GetErrorSummary();
    for (size_t k = 0; k < 8; ++k) {
      float v;
      memcpy(&v, &rec[h.blocks[0].statusOffset + 32 + 4 * k], 4);
      EXPECT_EQ(v, ai[k].value) << i << " " << k;
    }
  }
  char out[512];
  uint32_t cap = sizeof out;
  EXPECT_EQ(r.ReadSection("TEXT", out, &cap, nullptr, nullptr), 1) << r.GetErrorSummary() << r.GetErrorText();
  EXPECT_NE(std::string(out).find(" events 2\r\n"), std::string::npos) << out;
  ASSERT_EQ(sim_Post(uint32_t(a.pid), NTF_STOP), 0);
  int status = a.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  sim_DestroyWorld();
}

// The same into the MariaDB server of the CTest fixture: the logger's records
// read back by logtool and by the mariadb client.
TEST(ScadasimLogger, WritesAMySqlRunThatLogtoolAndTheClientRead) {
  const char *dir = getenv("TNW_MYSQL_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "no server: run through ctest (the fixture starts one)";
  std::string port = tnwtest::ReadFile(std::string(dir) + "/port");
  while (!port.empty() && port.back() == '\n') port.pop_back();
  const std::string client = std::string("mariadb --no-defaults -N -B -uroot --socket='") + dir + "/sock' ";
  ASSERT_EQ(system((client + "-e 'DROP DATABASE IF EXISTS simlog; CREATE DATABASE simlog'").c_str()), 0);
  std::string why;
  ASSERT_EQ(sim_CreateWorld(SimWorldSpec{}, &why), 0) << why;
  // Published values on the analogue area, so that the records carry them.
  void *area = shm_OpenDataArea("A1");
  ASSERT_NE(area, nullptr);
  for (uint32_t k = 0; k < 8; ++k) {
    shm_AreaStatusWords(area)[k] = LOG_STATUS_PRESENT;
    shm_AreaValues(area)[k] = 1.5f + static_cast<float>(k) * 10.25f;
  }
  const std::string cs =
      "PROVIDER=MYSQL;HOST=127.0.0.2;PORT=" + port + ";USER=tnw;PASSWORD=dG53cGFzcw==;DB=simlog";
  Logger a;
  a.Start(cs, {"--logger", "PUMPS"}, "--store");
  std::string created = a.Line();
  ASSERT_EQ(created, "created " + cs + ";LoggerName=PUMPS;LoggerSeq=00000001");
  std::string slot = tnwtest::Root() + "/kernel/mailslot/dm_" + std::to_string(a.pid) + ".slt";
  for (int i = 0; i < 500 && access(slot.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(sim_Post(uint32_t(a.pid), i == 1 ? 200002 : 200000), 0);
    ASSERT_EQ(a.Line(), "wrote " + std::to_string(i + 1));
  }
  ASSERT_EQ(sim_Post(uint32_t(a.pid), NTF_STOP), 0);
  int status = a.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // logtool finds the newest run of the logger through the socket.
  std::string dump;
  {
    std::string cmd = "MYSQL_UNIX_PORT='" + std::string(dir) + "/sock' '" + tnwtest::BinPath("logtool") +
                      "' dump 'PROVIDER=MYSQL;USER=tnw;PASSWORD=dG53cGFzcw==;DB=simlog;LoggerName=PUMPS' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) dump.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << dump;
  }
  EXPECT_NE(dump.find("records=3 "), std::string::npos) << dump;
  EXPECT_NE(dump.find("record 2 "), std::string::npos) << dump;
  EXPECT_NE(dump.find(" A11=1.5[P] A12=11.75[P]"), std::string::npos) << dump;
  // The client reads the same values from the run's data table.
  FILE *p = popen((client + "simlog -e 'select A11, A12, A13, A14, A15, A16, A17, A18 from PUMPS_DATA'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[512];
  int rows = 0;
  while (fgets(line, sizeof line, p)) {
    ++rows;
    char *at = line;
    for (size_t k = 0; k < 8; ++k) {
      char *end = nullptr;
      float v = strtof(at, &end);
      ASSERT_NE(end, at) << line;
      EXPECT_EQ(v, 1.5f + static_cast<float>(k) * 10.25f) << rows << " " << k;
      at = end;
    }
  }
  pclose(p);
  EXPECT_EQ(rows, 3);
  sim_DestroyWorld();
}

// Cycling every second with a two-second keep: each run is closed with its
// start and end and a new one begins; the purge takes this prefix's old
// closed runs only.
TEST(ScadasimLogger, CyclesRunsAndPurgesItsOwnPrefix) {
  std::string why;
  ASSERT_EQ(sim_CreateWorld(SimWorldSpec{}, &why), 0) << why;
  std::string folder = tnwtest::MakeTempDir("sim_logger_cycle");
  for (const char *n : {"A230101_000000_230101_010000.odl", "A230101_000000_230101_010000.txt",
                        "B230101_000000_230101_010000.odl", "B230101_000000_230101_010000.txt"})
    ASSERT_TRUE(tnwtest::WriteFile(folder + "/" + n, "x"));
  Logger a;
  a.Start(folder, {"--prefix", "A", "--cycle", "1", "--keep", "2"});
  for (int i = 0; i < 6; ++i) {
    std::string line = a.Line();
    ASSERT_EQ(line.rfind("created " + folder + "/A", 0), 0u) << line;
  }
  kill(a.pid, SIGTERM);
  int status = a.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  CLogFileCollection c;
  ASSERT_EQ(c.Open("", folder.c_str(), "", "", 0x80000000u), 0);
  ASSERT_EQ(c.FirstRun(nullptr), 1);
  char name[256];
  LogRunTime start{}, end{};
  int open = 0, closed = 0, b = 0;
  while (c.NextRun(name, &start, &end)) {
    std::string n = name;
    if (n[0] == 'B') {
      ++b;
      continue;
    }
    ASSERT_NE(n, "A230101_000000_230101_010000.odl");
    if (end.seconds == 0) {
      ++open;
    } else {
      ++closed;
      EXPECT_GE(end.seconds - start.seconds, 1) << n;
      EXPECT_TRUE(tnwtest::ReadFile(folder + "/" + n.substr(0, n.size() - 4) + ".txt").find("scadasim logger") !=
                  std::string::npos) << n;
      EXPECT_TRUE(access((folder + "/" + n.substr(0, n.size() - 4) + ".tsq").c_str(), F_OK) == 0) << n;
    }
  }
  EXPECT_EQ(b, 1);
  EXPECT_EQ(open, 1);
  EXPECT_GE(closed, 1);
  EXPECT_LE(closed, 3);  // five were closed; those ended over two seconds ago went
  EXPECT_FALSE(access((folder + "/A230101_000000_230101_010000.txt").c_str(), F_OK) == 0);
  EXPECT_TRUE(access((folder + "/B230101_000000_230101_010000.txt").c_str(), F_OK) == 0);
}

// Without a configuration folder the logger still keeps its runs, with
// their header text and no configuration copy.
TEST(ScadasimLogger, RunsWithoutAConfigurationHaveNoCopy) {
  std::string why;
  ASSERT_EQ(sim_CreateWorld(SimWorldSpec{}, &why), 0) << why;
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\NO_SUCH_CONFIG");
  std::string folder = tnwtest::MakeTempDir("sim_logger_noconf");
  Logger a;
  a.Start(folder, {"--prefix", "N"});
  std::string created = a.Line();
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);
  ASSERT_EQ(created.rfind("created ", 0), 0u) << created;
  std::string base = created.substr(8, created.size() - 12);
  EXPECT_EQ(tnwtest::ReadFile(base + ".txt"), "[HEADER]\r\nscadasim logger, prefix N, areas A1 D1\r\n");
  EXPECT_NE(access((base + ".odl").c_str(), F_OK), -1);
  EXPECT_EQ(access((base + ".tsq").c_str(), F_OK), -1);
  kill(a.pid, SIGTERM);
  int status = a.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  sim_DestroyWorld();
}

}  // namespace
