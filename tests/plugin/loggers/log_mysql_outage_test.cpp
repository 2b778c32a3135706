// A logger writing into a MariaDB server of its own that is killed mid-stream
// and started again, then paused: every record ends up stored exactly once,
// in order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_mysql_conn.h"
#include "plugin/loggers/log_mysql_store.h"
#include "tests/plugin/loggers/mysql_fixture.h"

namespace {

using mysqltest::kT0;
using mysqltest::LoggedRun;
using mysqltest::Server;
using tnwtest::ShellResult;

constexpr uint32_t kRW = 0xC0000000u;

// What the server does to the writer, step by step, each when the writer has
// stored `after` records.
struct Step {
  enum Kind { KILL, PAUSE } kind;
  uint32_t after;
  int downMs;  // how long the server stays dead or stopped
};

struct Shared {
  std::mutex m;
  std::condition_variable cv;
  uint32_t stored = 0;
  bool done = false;   // the controller ran every step
  bool paused = false;  // the server is stopped
  int step = -1;       // the step under way
  int restarts = 0;
  bool broken = false;  // the server could not be brought back
};

bool LinkText(const std::string &t) {
  for (const char *s : {"Lost connection", "gone away", "Can't connect", "Connection refused", "Server shutdown"})
    if (t.find(s) != std::string::npos) return true;
  return false;
}

TEST(LogMySqlOutage, EveryRecordStoredOnceThroughKillsAndAPause) {
  // Far over the 3 s pause, far under the test's own bound: a server that
  // never comes back fails a call instead of holding it for 300 s.
  lmy_SetTimeout(20);
  Server srv = Server::Start("myout");
  ASSERT_FALSE(srv.port.empty());
  srv.Fresh("outage");
  CLogDbMySQLCollection c;
  ASSERT_EQ(c.Open(srv.Tcp("outage").c_str(), "", "Pumps", "", kRW), 0) << c.GetErrorText();
  LoggedRun run(6);
  int32_t start = kT0;
  CLogStore *made = c.CreateRun(&start, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records);
  ASSERT_NE(made, nullptr) << c.GetErrorText();
  auto *store = dynamic_cast<CLogDbMySQLStore *>(made);
  const std::string table = store->TablePrefix() + "DATA";
  // A reader of the same run, idle through the outages.
  CLogDbMySQLStore reader;
  const std::string path = srv.Tcp("outage") + ";LoggerName=Pumps;LoggerSeq=00000001";
  ASSERT_EQ(reader.Open(nullptr, path.c_str(), 0x80000000u), 0) << reader.GetErrorText();

  std::mt19937 rng(std::random_device{}());
  std::vector<Step> steps = {{Step::KILL, 3000, 2000}, {Step::PAUSE, 9000, 3000}};
  // Kills at random moments, up for a random while after each.
  uint32_t at = 12000;
  for (int i = 0; i < 3; ++i) {
    at += 1000 + rng() % 4000;
    steps.push_back({Step::KILL, at, static_cast<int>(rng() % 800)});
  }
  const uint32_t total = at + 6000;

  Shared sh;
  std::thread controller([&] {
    for (size_t i = 0; i < steps.size(); ++i) {
      const Step &s = steps[i];
      {
        std::unique_lock<std::mutex> lk(sh.m);
        if (!sh.cv.wait_for(lk, std::chrono::seconds(120), [&] { return sh.stored >= s.after || sh.broken; }) ||
            sh.broken)
          break;
        sh.step = static_cast<int>(i);
      }
      if (s.kind == Step::KILL) {
        EXPECT_EQ(srv.Kill(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(s.downMs));  // the outage itself
        ShellResult r = srv.Restart();
        EXPECT_EQ(r.status, 0) << r.out;
        std::lock_guard<std::mutex> lk(sh.m);
        ++sh.restarts;
        if (r.status != 0) sh.broken = true;
        sh.cv.notify_all();
        if (r.status != 0) break;
      } else {
        EXPECT_EQ(srv.Signal("STOP"), 0);
        {
          std::lock_guard<std::mutex> lk(sh.m);
          sh.paused = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(s.downMs));
        EXPECT_EQ(srv.Signal("CONT"), 0);
      }
    }
    std::lock_guard<std::mutex> lk(sh.m);
    sh.done = true;
    sh.cv.notify_all();
  });

  // The writer: each call hands what failed before and what came since.
  uint32_t next = 0, stored = 0;
  std::vector<uint8_t> pending;
  std::vector<int> failuresPerStep(steps.size() + 1, 0);
  std::vector<std::string> texts;
  const uint32_t sizes[] = {300, 2500, 700};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(200);
  for (int call = 0;; ++call) {
    bool done, broken;
    {
      std::lock_guard<std::mutex> lk(sh.m);
      done = sh.done;
      broken = sh.broken;
    }
    if (broken || std::chrono::steady_clock::now() > deadline) {
      {
        std::lock_guard<std::mutex> lk(sh.m);
        sh.broken = true;
        sh.cv.notify_all();
      }
      ADD_FAILURE() << "the stream did not finish: " << stored << " of " << total << " stored";
      break;
    }
    if (done && next >= total && pending.empty()) break;
    uint32_t more = sizes[call % 3];
    if (next >= total) more = 0;
    if (more > total - next) more = total - next;
    if (pending.size() / run.h.recordSize > 20000) more = 0;  // a logger's buffer has a bound too
    std::vector<uint8_t> fresh = run.Records(static_cast<int>(more), static_cast<int>(next));
    pending.insert(pending.end(), fresh.begin(), fresh.end());
    next += more;
    if (pending.empty()) {
      std::unique_lock<std::mutex> lk(sh.m);
      sh.cv.wait_for(lk, std::chrono::milliseconds(100), [&] { return sh.done; });
      continue;
    }
    const uint32_t n = static_cast<uint32_t>(pending.size() / run.h.recordSize);
    int rc = store->WriteLogs(&run.h, pending.data(), n);
    int step, restarts;
    {
      std::lock_guard<std::mutex> lk(sh.m);
      step = sh.step;
      restarts = sh.restarts;
    }
    if (rc == 0) {
      stored += n;
      pending.clear();
      std::lock_guard<std::mutex> lk(sh.m);
      sh.stored = stored;
      sh.cv.notify_all();
      continue;
    }
    ++failuresPerStep[step + 1];
    texts.push_back(store->GetErrorText());
    const std::string summary = store->GetErrorSummary();
    EXPECT_TRUE(summary == " mysql_stmt_execute(), failedd" || summary == "CAN'T CONNECT TO DATABASE" ||
                summary == "INSERT failed" || summary == "SELECT failed" || summary == "mysql_stmt_execute(), failed")
        << summary;
    // The server is away: try again once it is back (or after a while, when
    // the failure came just after it returned).
    std::unique_lock<std::mutex> lk(sh.m);
    sh.cv.wait_for(lk, std::chrono::seconds(5), [&] { return sh.restarts != restarts; });
  }
  controller.join();

  // Calls in the kills' outages failed with the library's text; the pause
  // only held them up.
  for (size_t i = 0; i < steps.size(); ++i)
    if (steps[i].kind == Step::KILL && steps[i].downMs >= 500) {
      EXPECT_GT(failuresPerStep[i + 1], 0) << "kill " << i;
    }
  for (const std::string &t : texts) EXPECT_TRUE(LinkText(t)) << t;
  if (sh.broken) {
    store->Close();
    delete store;
    srv.Stop();
    return;
  }

  // Every record once, in the order written: AI1 of record i is i * 10.
  ASSERT_EQ(srv.Value("outage", "select count(*) from " + table), std::to_string(total));
  EXPECT_EQ(mysqltest::Departure(srv.Sql("outage", "select AI1 from " + table).out, total), "");
  // The reader's link died with the first kill: its first call says so, the
  // next one connects again.
  LogFileHeader h;
  int64_t n = reader.GetNoLogs(&h);
  if (n < 0) {
    EXPECT_TRUE(LinkText(reader.GetErrorText())) << reader.GetErrorText();
    n = reader.GetNoLogs(&h);
  }
  EXPECT_EQ(n, int64_t{total}) << reader.GetErrorText();
  EXPECT_EQ(reader.ReadHeader(&h), 0) << reader.GetErrorText();
  EXPECT_EQ(h.recordCount, total);
  reader.Close();
  store->Close();
  delete store;
  srv.Stop();
}

}  // namespace
