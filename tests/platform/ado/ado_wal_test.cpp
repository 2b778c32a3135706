// Two processes on one file: one appends rows in transactions while the other
// walks and updates; a third connection polls every 100 ms and watches the
// write-ahead log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "platform/ado/ado.h"
#include "platform/os_path.h"

using namespace ado;

namespace {

constexpr int kRows = 40000;         // ~80 MB of payload: more than the log may hold
constexpr int kPerTransaction = 50;
constexpr off_t kWalLimit = 64 << 20;
const char kCs[] = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\wal\\w.mdb";

// The appending process: its own connection, rows k = 0..kRows-1.
int Appender(int readyFd) {
  Connection c;
  if (c.Open(kCs) < 0) return 10;
  Command cmd;
  cmd.SetActiveConnection(&c);
  cmd.SetCommandText("INSERT INTO W (k, n, p) VALUES (@k, 0, @p)");
  if (cmd.AppendParameter("k", adInteger, 1, 4, var_I4(0)) < 0) return 11;
  if (cmd.AppendParameter("p", adVarWChar, 1, 2000, var_Utf8(std::string(2000, 'x'))) < 0) return 12;
  for (int k = 0; k < kRows; ++k) {
    if (k % kPerTransaction == 0 && c.BeginTrans() < 0) return 13;
    cmd.SetParameterValue("k", var_I4(k));
    if (cmd.Execute(nullptr, nullptr) < 0) return 14;
    if (k % kPerTransaction == kPerTransaction - 1) {
      if (c.CommitTrans() < 0) return 15;
      if (k == kPerTransaction - 1 && write(readyFd, "r", 1) != 1) return 16;
    }
  }
  return 0;
}

TEST(AdoWal, AppenderAndUpdaterShareOneFile) {
  std::string dir = std::string(os_Root()) + "/drives/c/wal", why;
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  const std::string path = dir + "/w.mdb";
  ASSERT_EQ(ado_CreateFile(path, &why), ADO_S_OK);
  {
    Connection c;
    ASSERT_EQ(c.Open(kCs), ADO_S_OK);
    ASSERT_EQ(c.Execute("CREATE TABLE W (k int, n int, p text)", nullptr), ADO_S_OK);
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    _exit(Appender(fds[1]));
  }
  close(fds[1]);
  char b;
  ASSERT_EQ(read(fds[0], &b, 1), 1);  // the first transaction is in
  close(fds[0]);

  // The poller: a reader every 100 ms, and the log's size each time.
  std::atomic<bool> stop{false};
  std::atomic<off_t> walMax{0};
  std::atomic<int> pollFailures{0}, polls{0};
  std::thread poller([&] {
    Connection c;
    if (c.Open(kCs) < 0) { ++pollFailures; return; }
    while (!stop) {
      Recordset rs;
      int32_t n = 0;
      if (rs.Open("SELECT COUNT(*) FROM W", &c, adOpenForwardOnly, adLockReadOnly, adCmdUnknown) < 0) ++pollFailures;
      rs.Close();
      (void)n;
      struct stat st;
      if (stat((path + "-wal").c_str(), &st) == 0 && st.st_size > walMax) walMax = st.st_size;
      ++polls;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  // The updater: walk every row, add 1 to n of every tenth; keep what each
  // row must hold.
  Connection c;
  ASSERT_EQ(c.Open(kCs), ADO_S_OK);
  std::map<int32_t, int32_t> expected;
  int passes = 0, status = -1;
  bool childDone = false;
  while (!childDone || passes < 2) {
    if (!childDone && waitpid(child, &status, WNOHANG) == child) childDone = true;
    Recordset rs;
    ASSERT_EQ(rs.Open("select k, n from W", &c, adOpenStatic, adLockOptimistic, adCmdUnknown), ADO_S_OK)
        << rs.LastError().description;
    for (;;) {
      bool eof = true;
      ASSERT_EQ(rs.GetEOF(&eof), ADO_S_OK);
      if (eof) break;
      Variant k, n;
      ASSERT_EQ(rs.GetValue(0, &k), ADO_S_OK);
      ASSERT_EQ(rs.GetValue(1, &n), ADO_S_OK);
      auto it = expected.emplace(k.lVal, 0).first;
      ASSERT_EQ(n.lVal, it->second) << "row " << k.lVal;
      if (k.lVal % 10 == 0) {
        ASSERT_EQ(rs.PutValue(1, var_I4(n.lVal + 1)), ADO_S_OK);
        ASSERT_EQ(rs.Update(), ADO_S_OK) << rs.LastError().description;  // no busy failure
        ++it->second;
      }
      ASSERT_EQ(rs.MoveNext(), ADO_S_OK);
    }
    ++passes;
  }
  stop = true;
  poller.join();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(pollFailures.load(), 0);
  EXPECT_GT(polls.load(), 0);
  EXPECT_LT(walMax.load(), kWalLimit);

  // Every append is there, and every update holds.
  Recordset all;
  ASSERT_EQ(all.Open("select k, n from W order by k", &c, adOpenStatic, adLockReadOnly, adCmdUnknown), ADO_S_OK);
  int32_t count = 0;
  ASSERT_EQ(all.GetRecordCount(&count), ADO_S_OK);
  EXPECT_EQ(count, kRows);
  int mismatches = 0;
  for (int32_t i = 0; i < count; ++i, all.MoveNext()) {
    Variant k, n;
    all.GetValue(0, &k);
    all.GetValue(1, &n);
    if (k.lVal != i || n.lVal != expected[k.lVal]) ++mismatches;
  }
  EXPECT_EQ(mismatches, 0);
  printf("passes %d, polls %d, largest log %lld bytes\n", passes, polls.load(), (long long)walMax.load());
}

}  // namespace
