// The MySQL store and collection against a peer that is no proper server:
// it closes at once, sends garbage, breaks off its greeting or stalls. Each
// open fails with the library's text, and a stalled peer within the
// (shortened) client time-outs, not the 300 s of a real logger.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plugin/loggers/log_mysql_collection.h"
#include "plugin/loggers/log_mysql_conn.h"
#include "plugin/loggers/log_mysql_store.h"

namespace {

constexpr uint32_t kRW = 0xC0000000u, kRO = 0x80000000u;
constexpr unsigned kTimeoutS = 2;

enum class Mode { CLOSE, BAD_PROTOCOL, BANNER_THEN_CLOSE, HALF_GREETING_THEN_CLOSE, SILENT, HALF_GREETING_STALL };

// A greeting packet's start: length 0x4A, sequence 0, protocol 10, a version.
const char kGreetingStart[] = "\x4a\x00\x00\x00\x0a" "10.11.6-MariaDB";

// Listens on 127.0.0.1 and treats every connection as `mode` says; stalled
// connections stay open until the peer goes.
class Peer {
 public:
  explicit Peer(Mode mode) : mode_(mode) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd_, 8), 0);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
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

}  // namespace
