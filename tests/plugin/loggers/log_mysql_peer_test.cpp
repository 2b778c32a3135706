// The MySQL store and collection against a peer that is no proper server:
// it closes at once, sends garbage, breaks off its greeting or stalls; and
// against the fixture's server behind a relay that stalls or cuts a reply
// short. Each call fails with the library's text, a stalled peer within the
// client time-outs (shortened here from a real logger's 300 s).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_mysql_conn.h"
#include "plugin/loggers/log_mysql_store.h"
#include "tests/plugin/loggers/mysql_fixture.h"

namespace {

constexpr uint32_t kRW = 0xC0000000u, kRO = 0x80000000u;
constexpr unsigned kTimeoutS = 2;

enum class Mode { CLOSE, BAD_PROTOCOL, BANNER_THEN_CLOSE, HALF_GREETING_THEN_CLOSE, SILENT, HALF_GREETING_STALL };

// A greeting packet's start: length 0x4A, sequence 0, protocol 10, a version.
const char kGreetingStart[] = "\x4a\x00\x00\x00\x0a" "10.11.6-MariaDB";

// A socket listening on 127.0.0.1 at a port of the system's choice.
int ListenLoopback(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  EXPECT_EQ(listen(fd, 8), 0);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// Listens on 127.0.0.1 and treats every connection as `mode` says; stalled
// connections stay open until the peer goes.
class Peer {
 public:
  explicit Peer(Mode mode) : mode_(mode) {
    fd_ = ListenLoopback(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Peer() {
    stop_ = true;
    thread_.join();
    for (int c : held_) close(c);
    close(fd_);
  }
  int Port() const { return port_; }
  int Accepted() const { return accepted_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      ++accepted_;
      switch (mode_) {
        case Mode::CLOSE:
          close(c);
          break;
        case Mode::BAD_PROTOCOL: {
          // A whole packet, but of protocol 99.
          const char pkt[] = "\x10\x00\x00\x00\x63garbage-garbage";
          Send(c, pkt, 20);
          held_.push_back(c);
          break;
        }
        case Mode::BANNER_THEN_CLOSE:
          Send(c, "SSH-2.0-OpenSSH_9.2\r\n", 21);
          close(c);
          break;
        case Mode::HALF_GREETING_THEN_CLOSE:
          Send(c, kGreetingStart, sizeof kGreetingStart - 1);
          close(c);
          break;
        case Mode::SILENT:
          held_.push_back(c);
          break;
        case Mode::HALF_GREETING_STALL:
          Send(c, kGreetingStart, sizeof kGreetingStart - 1);
          held_.push_back(c);
          break;
      }
    }
  }
  static void Send(int c, const char *p, size_t n) { EXPECT_EQ(send(c, p, n, MSG_NOSIGNAL), ssize_t(n)); }

  Mode mode_;
  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<int> held_;
  std::thread thread_;
};

class LogMySqlPeer : public ::testing::Test {
 protected:
  void SetUp() override { lmy_SetTimeout(kTimeoutS); }
  void TearDown() override { lmy_SetTimeout(0); }
};

TEST_F(LogMySqlPeer, BrokenOrSilentPeersFailFastWithTheLibrarysText) {
  struct Case {
    const char *name;
    Mode mode;
    const char *detail;  // part of the library's text, after "Lost connection to server at"
  };
  const Case cases[] = {
      {"closes at once", Mode::CLOSE, "reading initial communication packet"},
      {"greeting of protocol 99", Mode::BAD_PROTOCOL, "reading authorization packet"},
      {"text banner, then closes", Mode::BANNER_THEN_CLOSE, "reading initial communication packet"},
      {"greeting broken off", Mode::HALF_GREETING_THEN_CLOSE, "reading initial communication packet"},
      {"never answers", Mode::SILENT, "reading initial communication packet"},
      {"greeting stalls", Mode::HALF_GREETING_STALL, "reading initial communication packet"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    Peer peer(k.mode);
    const std::string cs =
        "PROVIDER=MYSQL;HOST=127.0.0.1;PORT=" + std::to_string(peer.Port()) + ";USER=tnw;PASSWORD=dG53cGFzcw==;DB=x";
    auto t0 = std::chrono::steady_clock::now();
    CLogDbMySQLCollection c;
    EXPECT_EQ(c.Open(cs.c_str(), "", "Pumps", "", kRW), -1);
    EXPECT_STREQ(c.GetErrorSummary(), "CAN'T CONNECT TO DATABASE");
    EXPECT_NE(std::string(c.GetErrorText()).find(k.detail), std::string::npos) << c.GetErrorText();
    EXPECT_EQ(std::string(c.GetErrorText()).rfind("Lost connection", 0), 0u) << c.GetErrorText();
    CLogDbMySQLStore s;
    const std::string path = cs + ";LoggerName=Pumps;LoggerSeq=00000001";
    EXPECT_EQ(s.Open(nullptr, path.c_str(), kRO), -1);
    EXPECT_STREQ(s.GetErrorSummary(), "CAN'T CONNECT TO DATABASE");
    EXPECT_NE(std::string(s.GetErrorText()).find(k.detail), std::string::npos) << s.GetErrorText();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Two opens, each at most a few time-outs long (connect, then read).
    EXPECT_LT(took, 4.0 * kTimeoutS * 2 + 2) << "s";
    EXPECT_GE(peer.Accepted(), 2);
    std::printf("%-26s %.2f s: %s\n", k.name, took, s.GetErrorText());
  }
}

// Relays 127.0.0.1:Port() to the fixture's server. FORWARD passes bytes
// both ways; STALL stops passing and answers no new connection, and a link
// it held is closed afterwards, never resumed (with HoldLate: resumed on
// Deliver, what the client sent reaching the server late); CUT passes
// what the client sends but only half of the server's next reply, then closes.
class Relay {
 public:
  enum Mode { FORWARD, STALL, CUT };
  explicit Relay(int serverPort) : serverPort_(serverPort) {
    fd_ = ListenLoopback(&port_);
    accepter_ = std::thread([this] { Accept(); });
  }
  ~Relay() {
    stop_ = true;
    accepter_.join();
    std::lock_guard<std::mutex> lk(m_);
    for (std::thread &t : pumps_) t.join();
    close(fd_);
  }
  int Port() const { return port_; }
  void Set(Mode m) { mode_ = m; }
  void HoldLate() { holdLate_ = true; }
  void Deliver() { deliver_ = true; }
  // Until a link resumed late has been closed by the server, after it read
  // and answered what came late.
  bool WaitDelivered(int seconds) {
    std::unique_lock<std::mutex> lk(lateM_);
    return lateCv_.wait_for(lk, std::chrono::seconds(seconds), [this] { return delivered_ > 0; });
  }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (mode_ == STALL || poll(&p, 1, 50) != 1) {
        if (mode_ == STALL) poll(nullptr, 0, 50);
        continue;
      }
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      int sv = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(serverPort_));
      inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
      if (connect(sv, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(c), close(sv);
        continue;
      }
      std::lock_guard<std::mutex> lk(m_);
      pumps_.emplace_back([this, c, sv] { Pump(c, sv); });
    }
  }
  void Pump(int c, int sv) {
    char buf[65536];
    bool stalled = false, late = false;
    while (!stop_) {
      if (mode_ == STALL) {
        stalled = true;
        poll(nullptr, 0, 50);
        continue;
      }
      if (stalled) {
        // A stalled link is dead: what the client sent into it never arrives,
        // unless it is held for a late delivery.
        if (!holdLate_) break;
        if (!deliver_) {
          poll(nullptr, 0, 50);
          continue;
        }
        stalled = false;
        late = true;
      }
      pollfd p[2] = {{c, POLLIN, 0}, {sv, POLLIN, 0}};
      // Bytes that come once the stall has begun wait for its end.
      if (poll(p, 2, 50) <= 0 || mode_ == STALL) continue;
      if (p[0].revents) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n == 0 && late) {
          // The client is gone; the server still reads what came late.
          shutdown(sv, SHUT_WR);
          pollfd q{sv, POLLIN, 0};
          while (poll(&q, 1, 10000) == 1 && recv(sv, buf, sizeof buf, 0) > 0) {
          }
          break;
        }
        if (n <= 0 || send(sv, buf, size_t(n), MSG_NOSIGNAL) != n) break;
      }
      if (p[1].revents) {
        ssize_t n = recv(sv, buf, sizeof buf, 0);
        if (n <= 0) break;
        if (mode_ == CUT) {
          send(c, buf, size_t(n) / 2, MSG_NOSIGNAL);
          break;
        }
        if (send(c, buf, size_t(n), MSG_NOSIGNAL) != n) break;
      }
    }
    close(c);
    close(sv);
    if (late) {
      std::lock_guard<std::mutex> lk(lateM_);
      ++delivered_;
      lateCv_.notify_all();
    }
  }

  int serverPort_, fd_ = -1, port_ = 0;
  std::atomic<Mode> mode_{FORWARD};
  std::atomic<bool> stop_{false}, holdLate_{false}, deliver_{false};
  std::mutex lateM_;
  std::condition_variable lateCv_;
  int delivered_ = 0;
  std::mutex m_;
  std::vector<std::thread> pumps_;
  std::thread accepter_;
};

TEST_F(LogMySqlPeer, StalledAndCutRepliesFailFastAndLoseNoRecord) {
  mysqltest::Server srv = mysqltest::Server::Shared();
  if (srv.dir.empty()) GTEST_SKIP() << "no server: run through ctest (the fixture starts one)";
  const std::string db = mysqltest::DbName();
  srv.Fresh(db);
  Relay relay(std::stoi(srv.port));
  const std::string cs = "PROVIDER=MYSQL;HOST=127.0.0.1;PORT=" + std::to_string(relay.Port()) +
                         ";USER=tnw;PASSWORD=" + mysqltest::kPassword64 + ";DB=" + db;
  CLogDbMySQLCollection c;
  ASSERT_EQ(c.Open(cs.c_str(), "", "Pumps", "", kRW), 0) << c.GetErrorText();
  mysqltest::LoggedRun run(4);
  int32_t start = mysqltest::kT0;
  std::unique_ptr<CLogStore> made(c.CreateRun(&start, 1, nullptr, &run.h, nullptr, 0, nullptr, nullptr, run.records));
  ASSERT_NE(made, nullptr) << c.GetErrorText();
  auto *store = dynamic_cast<CLogDbMySQLStore *>(made.get());
  const std::string table = store->TablePrefix() + "DATA";

  // Each batch is handed again until it is taken, as a logger does.
  const int kBatch = 200;
  auto write = [&](int batch, const char *what, bool ok) {
    SCOPED_TRACE(what);
    std::vector<uint8_t> recs = run.Records(kBatch, batch * kBatch);
    auto t0 = std::chrono::steady_clock::now();
    int rc = store->WriteLogs(&run.h, recs.data(), kBatch);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-30s %d in %.2f s: %s\n", what, rc, took, rc ? store->GetErrorText() : "");
    if (ok) {
      EXPECT_EQ(rc, 0) << store->GetErrorText();
    } else {
      EXPECT_EQ(rc, -1);
      const std::string text = store->GetErrorText();
      EXPECT_TRUE(text.find("Lost connection") != std::string::npos || text.find("gone away") != std::string::npos)
          << text;
    }
    // The read, then one reconnect, each bounded by a time-out.
    EXPECT_LT(took, 4.0 * kTimeoutS + 2);
    return rc == 0;
  };
  EXPECT_TRUE(write(0, "through the relay", true));
  relay.Set(Relay::STALL);
  EXPECT_FALSE(write(1, "stalled", false));
  relay.Set(Relay::CUT);
  EXPECT_FALSE(write(1, "replies cut short", false));
  relay.Set(Relay::FORWARD);
  EXPECT_TRUE(write(1, "forwarding again", true));
  // A cut after the connection is made: the reply to the INSERT, which the
  // server may have taken, is broken off.
  EXPECT_TRUE(write(2, "through the relay", true));
  relay.Set(Relay::CUT);
  EXPECT_FALSE(write(3, "reply to the insert cut", false));
  relay.Set(Relay::FORWARD);
  EXPECT_TRUE(write(3, "forwarding again", true));
  // A stalled INSERT (its statement prepared by the batch before) that
  // reaches the server after all, once the store has connected again and
  // written the batch itself.
  EXPECT_TRUE(write(4, "through the relay", true));
  relay.HoldLate();
  relay.Set(Relay::STALL);
  EXPECT_FALSE(write(5, "stalled, delivered late", false));
  relay.Set(Relay::FORWARD);
  EXPECT_TRUE(write(5, "forwarding again", true));
  relay.Deliver();
  EXPECT_TRUE(relay.WaitDelivered(30));
  EXPECT_TRUE(write(6, "after the late delivery", true));

  // Every record once, in order: AI1 of record i is i * 10.
  EXPECT_EQ(mysqltest::Departure(srv.Sql(db, "select AI1 from " + table).out, 7 * kBatch), "");
  store->Close();
  srv.Sql("", "DROP DATABASE IF EXISTS " + db);
}

}  // namespace
