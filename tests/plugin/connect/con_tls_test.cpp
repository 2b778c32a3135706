// Request lines over TLS to scadasim's TLS listener: peer behaviour to
// result, error and reconnection; the framing reader over memory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_tls.h"
#include "plugin/connect/con_tls.h"
#include "plugin/connect/con_transports.h"
#include "tests/support/test_root.h"
#include "tests/support/tls_peer.h"
#include "tools/scadasim/sim_tls.h"

namespace {

const std::string &Certs() { return tnwtest::TestCerts(); }

// The reply "17," and filler up to `size` bytes, the filler counting on.
std::string Reply(size_t size) {
  std::string r = "17,";
  for (size_t i = r.size(); i < size; ++i) r += static_cast<char>('a' + i % 23);
  return r.substr(0, size);
}

SimTlsServer *Start(const char *cert, size_t replySize, uint32_t chunk = 0, const char *address = "127.0.0.2",
                    uint16_t port = 0) {
  SimTlsSpec spec;
  spec.address = address;
  spec.port = port;
  spec.certFile = Certs() + "/" + cert + ".pem";
  spec.keyFile = Certs() + "/" + cert + ".key";
  spec.answer = [replySize](const std::string &) { return Reply(replySize); };
  spec.writeChunk = chunk;
  std::string why;
  SimTlsServer *s = sim_StartTlsServer(spec, &why);
  EXPECT_NE(s, nullptr) << why;
  return s;
}

std::string Url(const SimTlsServer *s, const char *scheme = "tnw") {
  return std::string(scheme) + "://127.0.0.2:" + std::to_string(sim_TlsPort(s)) + "/";
}

struct Outcome {
  int result;
  uint32_t error;
  std::string reply;
  bool guardIntact;
};

Outcome Send(const std::string &server, int capacity) {
  std::vector<char> buf(static_cast<size_t>(capacity) + 64, '#');
  int n = capacity;
  static const char kLine[] = "PI";
  int rc = con_Transact(server.c_str(), kLine, sizeof kLine, buf.data(), &n);
  uint32_t err = rc < 0 ? os_GetLastError() : 0;
  bool guard = true;
  for (size_t i = static_cast<size_t>(capacity); i < buf.size(); ++i) guard = guard && buf[i] == '#';
  return {rc, err, rc < 0 ? std::string() : std::string(buf.data(), static_cast<size_t>(n)), guard};
}

class Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { con_InstallTransports(); }
  void TearDown() override { srv_CloseAllConnections(); }
};

TEST_F(Tls, PeerBehaviourToResultErrorAndReconnection) {
  struct Case {
    const char *name;
    SimTlsFault fault;
    size_t replySize;
    uint32_t chunk;
    int capacity;
    uint32_t error;        // 0: the request succeeds
    uint32_t connections;  // accepted after the failing request and one good one
  } cases[] = {
      {"prefix and text in one record", SimTlsFault::None, 200, 0, 4096, 0, 1},
      {"10000 bytes over several reads", SimTlsFault::None, 10000, 3000, 10000, 0, 1},
      {"prefix split 2 + 2", SimTlsFault::SplitPrefix, 300, 0, 4096, 0, 1},
      {"reply exactly the buffer", SimTlsFault::None, 4096, 0, 4096, 0, 1},
      {"reply over the buffer", SimTlsFault::None, 4097, 0, 4096, OS_ERROR_MORE_DATA, 2},
      {"length over capacity", SimTlsFault::OverCapacity, 100, 0, 4096, OS_ERROR_MORE_DATA, 2},
      {"negative length", SimTlsFault::NegativeLength, 100, 0, 4096, OS_ERROR_INVALID_DATA, 2},
      {"reset mid-reply", SimTlsFault::ResetMidReply, 9000, 0, 10000, OS_WSAECONNRESET, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SimTlsServer *s = Start("server", c.replySize, c.chunk);
    ASSERT_NE(s, nullptr);
    sim_SetTlsFault(s, c.fault);
    Outcome o = Send(Url(s), c.capacity);
    EXPECT_TRUE(o.guardIntact);
    if (c.error == 0) {
      EXPECT_EQ(o.result, 17);
      EXPECT_EQ(o.reply, Reply(c.replySize));
    } else {
      EXPECT_EQ(o.result, -1);
      EXPECT_EQ(o.error, c.error);
    }
    // The next request goes over a new connection after a failure, the same one after a success.
    sim_SetTlsFault(s, SimTlsFault::None);
    Outcome next = Send(Url(s), static_cast<int>(c.replySize) + 16);
    EXPECT_EQ(next.result, 17);
    EXPECT_EQ(sim_TlsConnections(s), c.connections);
    EXPECT_EQ(sim_TlsRequests(s), std::vector<std::string>(2, "PI"));
    srv_CloseAllConnections();
    sim_StopTlsServer(s);
  }
}

TEST_F(Tls, OpenFailuresAndCertificateLines) {
  // A peer that does not speak TLS, and one that is gone.
  SimTlsServer *s = Start("server", 10);
  ASSERT_NE(s, nullptr);
  sim_SetTlsFault(s, SimTlsFault::NotTls);
  testing::internal::CaptureStdout();
  Outcome notTls = Send(Url(s), 64);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(notTls.result, -1);
  EXPECT_EQ(notTls.error, OS_WSAECONNRESET);
  EXPECT_EQ(out.find("Server certificate"), std::string::npos);
  std::string gone = Url(s);
  sim_StopTlsServer(s);
  Outcome refused = Send(gone, 64);
  EXPECT_EQ(refused.result, -1);
  EXPECT_EQ(refused.error, OS_WSAECONNREFUSED);
  // URL parts over their fields: refused before any connection.
  for (const std::string &url : {"tnw://" + std::string(256, 'h') + ":1/", "tnw://" + std::string(128, 'u') + ":p@127.0.0.2:1/",
                                 "tnw://u:" + std::string(128, 'p') + "@127.0.0.2:1/"}) {
    Outcome o = Send(url, 64);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.error, static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER)) << url.substr(0, 30);
  }

  // Certificates are printed, never verified.
  struct Cert {
    const char *name, *issuer;
  } certs[] = {{"expired", "/CN=Test Root CA"}, {"self", "/CN=127.0.0.2"}, {"other", "/CN=Test Root CA"}};
  for (const Cert &c : certs) {
    SCOPED_TRACE(c.name);
    SimTlsServer *t = Start(c.name, 20);
    ASSERT_NE(t, nullptr);
    const size_t traced = tnwtest::ReadFile(os_DebugOutputPath()).size();
    testing::internal::CaptureStdout();
    Outcome o = Send(Url(t), 64);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(o.result, 17);
    EXPECT_NE(tnwtest::ReadFile(os_DebugOutputPath()).find(">>" + Url(t) + " Opening socket connection\r\n", traced),
              std::string::npos);
    EXPECT_NE(out.find("Server certificate:\n\t subject: /CN="), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("\t issuer: ") + c.issuer + "\n"), std::string::npos) << out;
    srv_CloseAllConnections();
    sim_StopTlsServer(t);
  }
}

TEST_F(Tls, SchemeWithoutPortUsesTheDefaultPort) {
  SimTlsServer *s = Start("server", 30, 0, "127.0.0.3", CON_TLS_DEFAULT_PORT);
  ASSERT_NE(s, nullptr);
  Outcome o = Send("zzqx://127.0.0.3/", 64);
  EXPECT_EQ(o.result, 17);
  EXPECT_EQ(sim_TlsConnections(s), 1u);
  sim_StopTlsServer(s);
}

TEST_F(Tls, DotHostReachesLocalhost) {
  SimTlsServer *s = Start("server", 25, 0, "127.0.0.1");
  ASSERT_NE(s, nullptr);
  // Through the table "." names the pipe; the opener itself is called here.
  ServerConnection e{};
  snprintf(e.server, sizeof e.server, "tnw://.:%u/", sim_TlsPort(s));
  ASSERT_EQ(con_OpenTlsConnection(&e), 1) << os_GetLastError();
  EXPECT_EQ(e.kind, SRV_KIND_SOCKET);
  char reply[64];
  uint32_t n = sizeof reply;
  ASSERT_EQ(con_TlsRequest(&e, "PI", 3, reply, &n), 1);
  EXPECT_EQ(std::string(reply, n), Reply(25));
  con_CloseTlsConnection(&e);
  EXPECT_EQ(sim_TlsConnections(s), 1u);
  sim_StopTlsServer(s);
}

TEST_F(Tls, WritesToAResetPeerDoNotRaiseSigpipe) {
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &now), 0);
  ASSERT_EQ(now.sa_handler, SIG_DFL);
  SimTlsServer *s = Start("server", 10);
  ASSERT_NE(s, nullptr);
  OsTls *t = os_TlsConnect("127.0.0.2", sim_TlsPort(s), 5000);
  ASSERT_NE(t, nullptr);
  sim_StopTlsServer(s);
  // The first writes may still be taken; then the reset shows. SIGPIPE would end this process.
  std::string block(16384, 'x');
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) failed = !os_TlsWrite(t, block.data(), static_cast<uint32_t>(block.size()));
  EXPECT_TRUE(failed);
  EXPECT_EQ(os_GetLastError(), OS_WSAECONNRESET);
  os_TlsClose(t);
}

// A peer that holds the reply, and one that never finishes the handshake:
// 10060 after the 15 s time-out, then a new connection. Run side by side.
TEST_F(Tls, SilentPeersTimeOut) {
  SimTlsServer *slow = Start("server", 40);
  SimTlsServer *silent = Start("server", 40);
  ASSERT_NE(slow, nullptr);
  ASSERT_NE(silent, nullptr);
  ASSERT_EQ(Send(Url(slow), 64).result, 17);
  sim_SetTlsFault(slow, SimTlsFault::SlowReply);
  sim_SetTlsFault(silent, SimTlsFault::Silent);
  Outcome slowOut{}, silentOut{};
  double slowSec = 0, silentSec = 0;
  auto timed = [](const std::string &url, Outcome *o, double *sec) {
    auto t0 = std::chrono::steady_clock::now();
    *o = Send(url, 64);
    *sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  std::thread a(timed, Url(slow), &slowOut, &slowSec);
  std::thread b(timed, Url(silent), &silentOut, &silentSec);
  a.join();
  b.join();
  for (auto [o, sec] : {std::pair{slowOut, slowSec}, std::pair{silentOut, silentSec}}) {
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.error, OS_WSAETIMEDOUT);
    EXPECT_GE(sec, 14.9);
    EXPECT_LT(sec, 16.0);
  }
  sim_SetTlsFault(slow, SimTlsFault::None);
  sim_SetTlsFault(silent, SimTlsFault::None);
  EXPECT_EQ(Send(Url(slow), 64).result, 17);
  EXPECT_EQ(Send(Url(silent), 64).result, 17);
  EXPECT_EQ(sim_TlsConnections(slow), 2u);
  EXPECT_EQ(sim_TlsConnections(silent), 2u);
  srv_CloseAllConnections();
  sim_StopTlsServer(slow);
  sim_StopTlsServer(silent);
}

// A listener that never accepts: the first open's connection waits in its
// queue for a handshake that never begins, and fills it, so the second
// open's connect is not answered. Each gives up after the entry's time-out
// with 10060.
TEST_F(Tls, OpensToAListenerThatNeverAcceptsTimeOut) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &sa.sin_addr);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len), 0);
  for (const char *stage : {"the handshake", "the connect"}) {
    SCOPED_TRACE(stage);
    ServerConnection e{};
    snprintf(e.server, sizeof e.server, "tnw://127.0.0.2:%u/", ntohs(sa.sin_port));
    e.timeoutMs = 1500;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(con_OpenTlsConnection(&e), 0);
    double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(os_GetLastError(), OS_WSAETIMEDOUT);
    EXPECT_EQ(e.kind, 0);
    EXPECT_GE(sec, 1.4);
    EXPECT_LT(sec, 3.5);
  }
  close(listener);
}

// The framing reader over memory: the bytes come in the given pieces.
struct Pieces {
  std::string bytes;
  std::vector<uint32_t> sizes;
  size_t at = 0, step = 0;
};

uint32_t ReadPieces(void *context, void *buffer, uint32_t capacity) {
  auto *p = static_cast<Pieces *>(context);
  if (p->at >= p->bytes.size()) return os_Fail(OS_WSAECONNRESET), 0;
  uint32_t n = p->step < p->sizes.size() ? p->sizes[p->step++] : 4093;
  n = std::min<uint32_t>({n, capacity, static_cast<uint32_t>(p->bytes.size() - p->at)});
  memcpy(buffer, p->bytes.data() + p->at, n);
  p->at += n;
  return n;
}

std::string Framed(int32_t length, const std::string &body) {
  std::string s(4, '\0');
  memcpy(s.data(), &length, 4);
  return s + body;
}

TEST(TlsFraming, JoinsPiecesAndRefusesBadLengths) {
  struct Case {
    const char *name;
    std::string bytes;
    std::vector<uint32_t> sizes;
    uint32_t capacity;
    int ok;
    std::string reply;
    uint32_t error;
  } cases[] = {
      {"whole in one read", Framed(5, "17,ab"), {}, 16, 1, "17,ab", 0},
      {"prefix one byte at a time", Framed(5, "17,ab"), {1, 1, 1, 1, 2, 1}, 16, 1, "17,ab", 0},
      {"prefix 3 then the rest", Framed(5, "17,ab"), {3, 6}, 16, 1, "17,ab", 0},
      {"empty reply", Framed(0, ""), {}, 16, 1, "", 0},
      {"exactly the capacity", Framed(8, "12345678"), {}, 8, 1, "12345678", 0},
      {"one over the capacity", Framed(9, "123456789"), {}, 8, 0, "", OS_ERROR_MORE_DATA},
      {"negative length", Framed(-1, "abc"), {}, 16, 0, "", OS_ERROR_INVALID_DATA},
      {"more bytes than announced", Framed(2, "abcdef"), {}, 16, 0, "", OS_ERROR_INVALID_DATA},
      {"peer ends inside the prefix", std::string("\x05\x00", 2), {}, 16, 0, "", OS_WSAECONNRESET},
      {"peer ends inside the text", Framed(10, "1234"), {}, 16, 0, "", OS_WSAECONNRESET},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    Pieces p{c.bytes, c.sizes};
    std::vector<char> buf(c.capacity + 8, '#');
    uint32_t n = c.capacity;
    int ok = con_ReadFramedReply(ReadPieces, &p, buf.data(), &n);
    EXPECT_EQ(ok, c.ok);
    if (ok) EXPECT_EQ(std::string(buf.data(), n), c.reply);
    else EXPECT_EQ(os_GetLastError(), c.error);
    EXPECT_EQ(std::string(buf.data() + c.capacity, 8), std::string(8, '#'));
  }
}

TEST(TlsRequestSize, DelimitsRequestsInAStream) {
  std::string hf = std::string("HF,5,N,F,0,0,0, ,3,0") + '\0' + "abcde";
  std::string cf("CF,T,1,3,user,x\0y", 17);
  std::string wf("WF,p\t4\t0\t0\t1\t1\t0\t2\t0\tab\0d", 25);
  struct Case {
    const char *name;
    std::string bytes;
    size_t size;
  } cases[] = {
      {"a line to its NUL", std::string("PI\0next", 7), 3},
      {"a line not yet whole", "PI,abc", 0},
      {"HF with its data", hf + "PI", hf.size()},
      {"HF data not yet whole", hf.substr(0, hf.size() - 1), 0},
      {"FF size no number", std::string("FF,x5,a\0", 8), SIZE_MAX},
      {"CF record with a NUL", cf + "PI", cf.size()},
      {"WF data with a NUL", wf, wf.size()},
      {"WF data not yet whole", wf.substr(0, wf.size() - 2), 0},
      {"size over the limit", std::string("HF,999999999,a\0", 15), SIZE_MAX},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sim_TlsRequestSize(c.bytes.data(), c.bytes.size()), c.size);
  }
}

}  // namespace
