#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/os_path.h"
#include "tests/support/test_root.h"

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs build/bin/adotool with the test's platform root and `env` ("NAME=value" or "").
Result Adotool(const std::vector<std::string> &args, const std::string &env = "") {
  const std::string outPath = tnwtest::Root() + "/adotool.out", errPath = tnwtest::Root() + "/adotool.err";
  std::string bin = tnwtest::BinPath("adotool");
  std::vector<char *> argv{bin.data()};
  std::vector<std::string> copy = args;
  for (std::string &a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string envCopy = env;
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
    if (!envCopy.empty()) putenv(envCopy.data());
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = tnwtest::ReadFile(outPath);
  r.err = tnwtest::ReadFile(errPath);
  return r;
}

const char kCs[] = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\tool\\a.mdb;User ID=u;Password=topsecret";

}  // namespace

TEST(Adotool, CommandLines) {
  std::string dir = std::string(os_Root()) + "/drives/c/tool";
  ASSERT_EQ(os_MakeFolders(dir.c_str()), 0);
  std::string script = dir + "/s.sql";
  ASSERT_TRUE(tnwtest::WriteFile(script, "-- two rows\nINSERT INTO T (k, d) VALUES (2, #2/3/2024 04:05:06#)\r\n\n"
                                         "INSERT INTO T (k, d) VALUES (3, NULL)\n"));
  std::string bad = dir + "/bad.sql";
  ASSERT_TRUE(tnwtest::WriteFile(bad, "INSERT INTO T (k) VALUES (9)\nINSERT INTO Nope (k) VALUES (1)\nINSERT INTO T (k) VALUES (10)\n"));
  struct Case {
    std::vector<std::string> args;
    std::string env;
    int status;
    std::string out;  // exact
    std::string err;  // part of it
  } cases[] = {
      {{"--help"}, "", 0, "", ""},
      {{}, "", 2, "", "usage: adotool"},
      {{"translate", "oracle", "SELECT 1"}, "", 2, "", "usage"},
      {{"translate", "jet", "select TOP 2 * from T ORDER BY k"}, "", 0, "SELECT * from T ORDER BY k LIMIT 2\n", ""},
      {{"translate", "jet", "select TOP 2 * from T"}, "ADO_REFUSE=jet:top", 1, "", "0x80040E14 Syntax error: TOP"},
      {{"translate", "sqlserver", "select TOP 2 * from T"}, "ADO_REFUSE=jet:top", 0, "SELECT * from T LIMIT 2\n", ""},
      {{"translate", "sqlserver", "SELECT * FROM T WHERE d = #1/1/2024#"}, "", 1, "", "0x80040E14"},
      {{"exec", kCs, "SELECT 1"}, "", 1, "", "0x80004005 Could not find file 'C:\\tool\\a.mdb'."},
      {{"create", kCs}, "", 0, "", ""},
      {{"create", kCs}, "", 1, "", "Database already exists."},
      {{"create", "Provider=SQLOLEDB;Data Source=.;Initial Catalog=X;Password=topsecret"}, "", 1, "", "0x800A0CB3"},
      {{"exec", "Provider=X;Password=topsecret", "SELECT 1"}, "", 1, "", "0x800A0E7A Provider cannot be found"},
      {{"exec", kCs, "CREATE TABLE T (k int, d datetime)"}, "", 0, "0 row(s)\n", ""},
      {{"exec", kCs, "INSERT INTO T (k, d) VALUES (1, #1/2/2024 03:04:05#)"}, "", 0, "1 row(s)\n", ""},
      {{"exec", kCs, "-f", script}, "", 0, "1 row(s)\n1 row(s)\n", ""},
      {{"exec", kCs, "-f", bad}, "", 1, "1 row(s)\n", "0x80040E37 no such table: Nope"},
      {{"exec", kCs, "select k, d from T order by k"}, "", 0,
       "k\td\n1\t2024-01-02 03:04:05\n2\t2024-02-03 04:05:06\n3\tNULL\n9\tNULL\n", ""},
      {{"exec", kCs, "select TOP 1 k from T order by k DESC"}, "", 0, "k\n9\n", ""},
      {{"exec", kCs, "SELECT * FROM T; DROP TABLE T"}, "", 1, "", "0x80040E14"},
      {{"exec", kCs}, "", 2, "", "usage"},
  };
  for (const auto &c : cases) {
    std::string shown;
    for (const auto &a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    Result r = Adotool(c.args, c.env);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.args.size() == 1 && c.args[0] == "--help") EXPECT_NE(r.out.find("translate jet|sqlserver STMT"), std::string::npos);
    else EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("topsecret"), std::string::npos) << r.err;
  }
}
