// The private MariaDB server of the tests (scripts/mariadb.sh): the shared
// one of the CTest fixture ($TNW_MYSQL_DIR), or one a test starts itself.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/child_run.h"
#include "tests/support/test_root.h"

namespace mysqltest {

using tnwtest::ShellResult;
using tnwtest::ShellRun;

// "tnwpass" in base64, the script's user's password.
constexpr const char *kPassword64 = "dG53cGFzcw==";

inline std::string Quote(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

struct Server {
  std::string dir;
  std::string port;

  // The fixture's server; empty dir when the tests run outside ctest.
  static Server Shared() {
    Server s;
    const char *d = getenv("TNW_MYSQL_DIR");
    if (!d || !*d) return s;
    s.dir = d;
    s.port = Trim(tnwtest::ReadFile(s.dir + "/port"));
    return s;
  }
  static std::string Script() {
    const char *p = getenv("TNW_MARIADB_SH");
    return p ? p : "scripts/mariadb.sh";
  }
  // A server of its own in a new folder.
  static Server Start(const char *tag) {
    Server s;
    s.dir = tnwtest::MakeTempDir(tag) + "/my";
    ShellResult r = ShellRun(Quote(Script()) + " start " + Quote(s.dir) + " 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    s.port = Trim(r.out);
    return s;
  }
  int Restart() const { return ShellRun(Quote(Script()) + " start " + Quote(dir) + " >/dev/null 2>&1").status; }
  void Stop() const { ShellRun(Quote(Script()) + " stop " + Quote(dir) + " >/dev/null 2>&1"); }
  std::string Pid() const { return Trim(tnwtest::ReadFile(dir + "/mysqld.pid")); }
  int Signal(const char *sig) const { return ShellRun("kill -" + std::string(sig) + " " + Pid()).status; }

  // A statement as root through the socket; tab-separated rows, no heading.
  ShellResult Sql(const std::string &db, const std::string &sql) const {
    return ShellRun("mariadb --no-defaults -N -B -uroot --socket=" + Quote(dir + "/sock") +
                    (db.empty() ? std::string() : " -D " + Quote(db)) + " -e " + Quote(sql) + " 2>&1");
  }
  std::string Value(const std::string &db, const std::string &sql) const { return Trim(Sql(db, sql).out); }

  // A new empty database.
  void Fresh(const std::string &db) const {
    ShellResult r = Sql("", "DROP DATABASE IF EXISTS " + db + "; CREATE DATABASE " + db);
    ASSERT_EQ(r.status, 0) << r.out;
  }
  std::string Tcp(const std::string &db) const {
    return "PROVIDER=MYSQL;HOST=127.0.0.2;PORT=" + port + ";USER=tnw;PASSWORD=" + kPassword64 + ";DB=" + db;
  }
  // Without HOST=: "localhost", the socket MYSQL_UNIX_PORT names.
  std::string Local(const std::string &db) const {
    return std::string("PROVIDER=MYSQL;USER=tnw;PASSWORD=") + kPassword64 + ";DB=" + db;
  }
};

// The test's own database name.
inline std::string DbName() {
  const auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string n = std::string("t_") + t->test_suite_name() + "_" + t->name();
  for (char &c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n.substr(0, 64);
}

}  // namespace mysqltest
