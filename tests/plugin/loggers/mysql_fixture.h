// The private MariaDB server of the tests (scripts/mariadb.sh): the shared
// one of the CTest fixture ($TNW_MYSQL_DIR), or one a test starts itself;
// and a logger run to write into it.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "plugin/loggers/log_db_schema.h"
#include "plugin/loggers/log_format.h"
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
  ShellResult Restart() const { return ShellRun(Quote(Script()) + " start " + Quote(dir) + " 2>&1"); }
  void Stop() const { ShellRun(Quote(Script()) + " stop " + Quote(dir) + " >/dev/null 2>&1"); }
  std::string Pid() const { return Trim(tnwtest::ReadFile(dir + "/mysqld.pid")); }
  int Signal(const char *sig) const { return ShellRun("kill -" + std::string(sig) + " " + Pid()).status; }
  // SIGKILL, and back once the process is gone (a zombie counts as gone).
  int Kill() const {
    const std::string pid = Pid();
    return ShellRun("kill -KILL " + pid + " || exit 1; for i in $(seq 1 400); do s=$(ps -o stat= -p " + pid +
                    "); case $s in ''|Z*) exit 0;; esac; sleep 0.05; done; exit 1")
        .status;
  }

  // A statement as root through the socket; tab-separated rows, no heading.
  // Bounded: a stalled server fails the test instead of hanging it.
  ShellResult Sql(const std::string &db, const std::string &sql) const {
    return ShellRun("timeout 60 mariadb --no-defaults --connect-timeout=10 -N -B -uroot --socket=" +
                    Quote(dir + "/sock") +
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

constexpr int32_t kT0 = 19523 * 86400 + 8 * 3600;  // 2023-06-15 08:00:00

// A run of `analogue` AI channels and two DI channels, laid out as a logger
// lays it out; `sig` makes it a significant-change run.
struct LoggedRun {
  LogFileHeader h{};
  std::vector<ChannelRecord> ai, di;
  ChannelRecord *records[2];
  explicit LoggedRun(int analogue, bool sig = false) : ai(analogue), di(2) {
    memcpy(h.blocks[0].prefix, "AI", 2);
    h.blocks[0].first = 1;
    h.blocks[0].last = static_cast<uint16_t>(analogue);
    h.blocks[0].kind = 8;
    memcpy(h.blocks[1].prefix, "DI", 2);
    h.blocks[1].first = 1;
    h.blocks[1].last = 2;
    h.blocks[1].kind = LOG_KIND_DIGITAL;
    snprintf(h.blocks[0].source, sizeof h.blocks[0].source, "srv");
    h.blockCount = 2;
    h.start.seconds = kT0;
    h.type = LOG_FILE_TYPE;
    h.sigChange = sig ? 1 : 0;
    if (sig) {
      memcpy(h.trigPrefix, "AI", 2);
      h.trigNumber = 1;
      memcpy(h.lagPrefix, "DI", 2);
      h.lagNumber = 2;
    }
    ldb_RecordLayout(&h, 0);
    memset(ai.data(), 0, ai.size() * sizeof(ChannelRecord));
    memset(di.data(), 0, di.size() * sizeof(ChannelRecord));
    for (int i = 0; i < analogue; ++i) {
      char tag[16];
      snprintf(tag, sizeof tag, "Flow%d", i + 1);
      memcpy(ai[i].raw, tag, strlen(tag));
      memcpy(ai[i].raw + 32, "m3/h", 4);
      float lo = -5, hi = 250;
      memcpy(ai[i].raw + 172, &lo, 4);
      memcpy(ai[i].raw + 168, &hi, 4);
      chan_SetFlagBit(&ai[i], CHAN_FLAG_ENABLE, true);
    }
    for (int i = 0; i < 2; ++i) {
      char tag[8];
      snprintf(tag, sizeof tag, "Pump%d", i + 1);
      memcpy(di[i].raw, tag, strlen(tag));
      di[i].raw[24] = 1;
      chan_SetFlagBit(&di[i], CHAN_FLAG_ENABLE, true);
      chan_PutText32(&di[i], CHAN_HIGH_STATE_TEXT_OFFSET, "RUNNING");
      chan_PutText32(&di[i], 64, "STOPPED");
    }
    records[0] = ai.data();
    records[1] = di.data();
  }
  uint32_t Analogue() const { return h.blocks[0].last; }
  // Record i: kT0 + i s, 250 ms + i % 1000 us; AI k = i * 10 + k, AI2 bad
  // on odd records; DI1 on for even records, DI2 bad; LL = i % 7, LV = i / 2.
  std::vector<uint8_t> Records(int count, int from = 0) const {
    std::vector<uint8_t> out(size_t(count) * h.recordSize, 0);
    const uint32_t n = Analogue();
    for (int j = 0; j < count; ++j) {
      const int i = from + j;
      uint8_t *r = &out[size_t(j) * h.recordSize];
      uint16_t mark = LOG_RECORD_MARK;
      memcpy(r, &mark, 2);
      TimeStamp t{kT0 + i, 250, static_cast<int16_t>(i % 1000)};
      memcpy(r + LOG_RECORD_TIME, &t, 8);
      if (h.sigChange) {
        r[12] = static_cast<uint8_t>(i % 7);
        float lv = i / 2.0f;
        memcpy(r + 13, &lv, 4);
      }
      uint8_t *a = r + h.blocks[0].statusOffset;
      for (uint32_t k = 0; k < n; ++k) {
        uint32_t st = (k == 1 && i % 2) ? LOG_STATUS_BAD : LOG_STATUS_PRESENT;
        float v = static_cast<float>(i * 10 + k);
        memcpy(a + 4 * k, &st, 4);
        memcpy(a + 4 * n + 4 * k, &v, 4);
      }
      uint32_t d1 = (i % 2 == 0) ? 1u : 0u, d2 = LOG_STATUS_BAD;
      memcpy(r + h.blocks[1].statusOffset, &d1, 4);
      memcpy(r + h.blocks[1].statusOffset + 4, &d2, 4);
    }
    return out;
  }
};

// Where AI1 values read back one a line first depart from record i holding
// i * 10 (LoggedRun::Records), or "" when they are exactly `total` records
// in order.
inline std::string Departure(const std::string &rows, uint32_t total) {
  uint32_t i = 0;
  for (size_t p = 0; p < rows.size(); ++i) {
    size_t e = rows.find('\n', p);
    if (e == std::string::npos) e = rows.size();
    if (i >= total || rows.substr(p, e - p) != std::to_string(i * 10))
      return "row " + std::to_string(i) + " holds " + rows.substr(p, e - p);
    p = e + 1;
  }
  return i == total ? "" : std::to_string(i) + " rows of " + std::to_string(total);
}

// The test's own database name.
inline std::string DbName() {
  const auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string n = std::string("t_") + t->test_suite_name() + "_" + t->name();
  for (char &c : n)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return n.substr(0, 64);
}

}  // namespace mysqltest
