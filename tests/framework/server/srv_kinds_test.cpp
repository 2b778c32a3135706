// Connections by kind: which kind each form of server string gets, replies
// parsed within the bytes received, connections opened again in their entry,
// servers and transports that are slow holding up only their own requests,
// and many threads on several servers each getting its own reply.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/server/srv_client.h"
#include "framework/trace/dbg_trace.h"
#include "framework/xml/xml_error.h"
#include "platform/os_debug.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_registry.h"
#include "plugin/connect/con_transports.h"
#include "tests/support/tls_peer.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace {

class Connections : public ::testing::Test {
 protected:
  void SetUp() override { srv_CloseAllConnections(); }
  void TearDown() override {
    srv_CloseAllConnections();
    for (SimTlsServer *s : tlsServers) sim_StopTlsServer(s);
    for (SimRequestServer *s : servers) sim_StopRequestServer(s);
    srv_SetTransport(SRV_KIND_SOCKET, nullptr);
    srv_SetTransport(SRV_KIND_SOAP, nullptr);
    dbg_Close();
  }
  SimRequestServer *Serve(SimRequestSpec spec) {
    std::string why;
    SimRequestServer *s = sim_StartRequestServer(spec, &why);
    EXPECT_NE(s, nullptr) << why;
    if (s) servers.push_back(s);
    return s;
  }
  static void TraceOn() {
    std::string key = std::string("SOFTWARE\\Quenford\\") + prod_GetProductName();
    OsHKey k = nullptr;
    ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, key.c_str(), 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
    ASSERT_EQ(os_RegSetValueEx(k, "SRVT_Debug", OS_REG_SZ, "ON", 3), 0);
    os_RegCloseKey(k);
    dbg_Open("SRVT");
    unlink(os_DebugOutputPath().c_str());
  }
  // The trace lines of this process, without their "[pid] ".
  static std::vector<std::string> TraceLines() {
    std::string all = tnwtest::ReadFile(os_DebugOutputPath());
    std::string prefix = "[" + std::to_string(getpid()) + "] ";
    std::vector<std::string> lines;
    for (size_t at = 0; (at = all.find(prefix, at)) != std::string::npos;) {
      size_t end = all.find('\n', at);
      lines.push_back(all.substr(at + prefix.size(), end - at - prefix.size() + 1));
      at = end == std::string::npos ? all.size() : end + 1;
    }
    return lines;
  }
  static int EntryOf(const std::string &key) {
    int count = 0;
    ServerConnection *t = srv_ConnectionTable(&count);
    for (int i = 0; i < count; ++i)
      if (t[i].server == key) return i;
    return -1;
  }
  static int KindOf(const std::string &key) {
    int i = EntryOf(key);
    return i < 0 ? -1 : srv_ConnectionTable(nullptr)[i].kind;
  }
  std::vector<SimRequestServer *> servers;
  std::vector<SimTlsServer *> tlsServers;
};

// A reply of the test's own for every request.
SimRequestSpec Answering(const std::string &host, std::function<std::string(const std::string &)> f) {
  SimRequestSpec spec;
  spec.host = host;
  spec.answer = [f](const std::string &line, std::string *reply) {
    *reply = f(line);
    return true;
  };
  return spec;
}

int Ask(const char *server, const std::string &line, std::string *reply = nullptr, int capacity = 256) {
  std::vector<char> buf(static_cast<size_t>(capacity));
  int n = capacity;
  errno = 12345;
  int rc = con_Transact(server, line.c_str(), static_cast<int>(line.size() + 1), buf.data(), &n);
  if (reply) *reply = std::string(buf.data(), static_cast<size_t>(n));
  return rc;
}

}  // namespace

TEST_F(Connections, EachFormOfServerStringGetsItsKind) {
  const std::string me = os_ComputerName();
  struct Case {
    std::string server;
    int kind;
    const char *key;  // the table key, NULL: the string itself
  } cases[] = {
      {"", SRV_KIND_PIPE, "."},
      {".", SRV_KIND_PIPE, "."},
      {"localhost", SRV_KIND_PIPE, "."},
      {"127.0.0.1", SRV_KIND_PIPE, "."},
      {me, SRV_KIND_PIPE, "."},
      {"http://localhost/x", SRV_KIND_PIPE, "."},
      {"https://127.0.0.1:8443/", SRV_KIND_PIPE, "."},
      {"HOSTB", SRV_KIND_PIPE, nullptr},
      {"x", SRV_KIND_PIPE, nullptr},
      {"PROVIDER=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\d.mdb", SRV_KIND_PROVIDER, nullptr},
      {"provider=SQLOLEDB;Data Source=HOSTB", SRV_KIND_PROVIDER, nullptr},
      {"Provider=", SRV_KIND_PROVIDER, nullptr},
      {"C:\\data", SRV_KIND_PROVIDER, nullptr},
      {"c:", SRV_KIND_PROVIDER, nullptr},
      {"\\\\H\\s", SRV_KIND_PROVIDER, nullptr},
      {"\\x", SRV_KIND_PROVIDER, nullptr},
      {"file:///C:/data", SRV_KIND_PROVIDER, nullptr},
      {"file://HOSTB/logs", SRV_KIND_PROVIDER, nullptr},
      {"https://h/", SRV_KIND_SOAP, nullptr},
      {"HTTP://scada.example:8080/ws", SRV_KIND_SOAP, nullptr},
      {"tnw://127.0.0.2", SRV_KIND_SOCKET, nullptr},
      {"ftp://h", SRV_KIND_SOCKET, nullptr},
      {"mailto:ops", SRV_KIND_SOCKET, nullptr},
      {"http//h", SRV_KIND_PIPE, nullptr},  // no scheme: not a URL
  };
  for (const Case &c : cases) {
    EXPECT_EQ(srv_ConnectionKind(c.server.c_str()), c.kind) << c.server;
    EXPECT_STREQ(srv_ServerKey(c.server.c_str()), c.key ? c.key : c.server.c_str()) << c.server;
  }
  EXPECT_EQ(srv_ConnectionKind(nullptr), SRV_KIND_PIPE);

  // Kinds without a transport are refused before anything is opened or sent.
  for (const char *server : {"C:\\data", "https://h/", "tnw://127.0.0.2"}) {
    EXPECT_EQ(Ask(server, "QP,"), -1) << server;
    EXPECT_EQ(errno, OS_ERROR_NOT_SUPPORTED) << server;
    EXPECT_EQ(EntryOf(server), -1) << server;
  }
  // A server string longer than a key: invalid, nothing sent.
  SimRequestServer *s = Serve(Answering(".", [](const std::string &) { return std::string("0", 2); }));
  EXPECT_EQ(Ask(std::string(SRV_SERVER_MAX + 1, 'h').c_str(), "QP,"), -1);
  EXPECT_EQ(errno, OS_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Ask(std::string(SRV_SERVER_MAX, 'h').c_str(), "QP,"), -1);
  EXPECT_EQ(errno, OS_ERROR_BAD_NETPATH) << "the longest key is looked for";
  EXPECT_TRUE(sim_ServedRequests(s).empty());
}

TEST_F(Connections, RepliesAreParsedWithinTheBytesReceived) {
  const std::string xmlText = "Line 3 : element <Channel> is not closed";
  std::string next;
  SimRequestServer *s = Serve(Answering(".", [&](const std::string &) { return next; }));
  (void)s;
  TraceOn();
  struct Case {
    std::string reply;
    int capacity;
    std::string prefill;  // what the reply buffer held before
    int result;
    int error;
    const char *trace;
  } cases[] = {
      {std::string("17,x", 5), 64, "", 17, 0, "Result 17"},
      {std::string("-1,2", 5), 64, "", -1, 2, "Call Error 2"},
      {"-1,1465," + xmlText, 64, "", -1, 1465, "Call Error 1465"},
      {"", 64, "", -1, SRV_EMPTY_REPLY, "No Result"},
      {std::string(1, '\0'), 64, "", -1, SRV_EMPTY_REPLY, "No Result"},
      // "-1" alone: no code, whatever the buffer held past the reply.
      {"-1", 64, "zz,77", -1, 0, "Call Error 0"},
      {"-", 64, "z1,5", 0, 0, "Result 0"},
      // A reply that fills the buffer, with no terminator.
      {"42," + std::string(61, 'x'), 64, "", 42, 0, "Result 42"},
      {"-1,5" + std::string(60, '9'), 64, "", -1, INT32_MAX, nullptr},
      {"-1,1465,ab", 10, "", -1, 1465, "Call Error 1465"},
      {"12345678901234567890", 64, "", INT32_MAX, 0, nullptr},
      {std::string(65, '7'), 64, "", -1, OS_ERROR_MORE_DATA, "Error 234"},
  };
  for (const Case &c : cases) {
    next = c.reply;
    unlink(os_DebugOutputPath().c_str());
    xml_ClearError();
    std::vector<char> buf(static_cast<size_t>(c.capacity) + 8, '#');
    memcpy(buf.data(), c.prefill.data(), c.prefill.size());
    int n = c.capacity;
    int rc = con_Transact(".", "AB", 3, buf.data(), &n);
    EXPECT_EQ(rc, c.result) << c.reply;
    EXPECT_EQ(static_cast<int>(os_GetLastError()), rc == -1 ? c.error : 0) << c.reply;
    if (c.error != OS_ERROR_MORE_DATA) {
      EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(n)), c.reply);
    } else {
      EXPECT_EQ(n, 0);
    }
    EXPECT_EQ(std::string(buf.data() + c.capacity, 8), std::string(8, '#')) << "nothing past the buffer";
    if (c.trace) {
      std::vector<std::string> lines;
      for (const std::string &l : TraceLines())
        if (l.rfind("SRVT : ", 0) == 0) lines.push_back(l);
      std::string want = std::string("SRVT : <<. ") + c.trace + " to AB\r\n";
      EXPECT_EQ(lines, std::vector<std::string>{want}) << c.reply;
    }
  }
  // The 1465 text, cut where the buffer ended, is the XML error detail.
  next = "-1,1465," + xmlText;
  Ask(".", "AB");
  EXPECT_EQ(std::string(xml_GetErrorText()), " - " + xmlText);
  next = "-1,1465,ab";
  char small[10];
  int n = sizeof small;
  con_Transact(".", "AB", 3, small, &n);
  EXPECT_EQ(std::string(xml_GetErrorText()), " - ab");
  // Bad arguments: nothing sent.
  n = 0;
  EXPECT_EQ(con_Transact(".", "AB", 3, small, &n), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  n = sizeof small;
  EXPECT_EQ(con_Transact(".", "AB", -1, small, &n), -1);
  EXPECT_EQ(n, 0);
}

TEST_F(Connections, ADroppedConnectionOpensAgainInItsEntry) {
  con_InstallTransports();
  SimRequestServer *local = Serve(Answering(".", [](const std::string &) { return std::string("5", 2); }));
  SimRequestServer *remote = Serve(Answering("HOSTR", [](const std::string &) { return std::string("6", 2); }));
  std::string url;
  SimTlsServer *tls = tnwtest::ServeOverTls(remote, &url);
  ASSERT_NE(tls, nullptr);
  tlsServers.push_back(tls);
  ASSERT_EQ(Ask(".", "QP,"), 5);
  ASSERT_EQ(Ask(url.c_str(), "QP,"), 6);
  EXPECT_EQ(KindOf(url.c_str()), SRV_KIND_SOCKET);
  int localEntry = EntryOf("."), remoteEntry = EntryOf(url.c_str());
  uint32_t opens = sim_TlsConnections(tls);
  sim_SetDropConnections(local, true);
  sim_SetTlsFault(tls, SimTlsFault::ResetMidReply);
  EXPECT_EQ(Ask(".", "QP,"), -1);
  EXPECT_EQ(Ask(url.c_str(), "QP,"), -1);
  EXPECT_EQ(KindOf("."), 0) << "closed, its key kept";
  EXPECT_EQ(KindOf(url.c_str()), 0);
  sim_SetDropConnections(local, false);
  sim_SetTlsFault(tls, SimTlsFault::None);
  std::string upper = url;
  for (size_t i = 0; i < 3; ++i) upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(upper[i])));
  EXPECT_EQ(Ask("localhost", "QP,"), 5);
  EXPECT_EQ(Ask(upper.c_str(), "QP,"), 6);
  EXPECT_EQ(EntryOf("."), localEntry);
  EXPECT_EQ(EntryOf(url.c_str()), remoteEntry);
  EXPECT_EQ(KindOf(url.c_str()), SRV_KIND_SOCKET);
  EXPECT_EQ(sim_TlsConnections(tls), opens + 1);
}

// A server that answers late holds up only the requests to itself.
TEST_F(Connections, ASlowServerDoesNotDelayAnother) {
  std::mutex m;
  std::condition_variable cv;
  bool arrived = false, release = false;
  Serve(Answering(".", [](const std::string &) { return std::string("1", 2); }));
  Serve(Answering("HOSTB", [&](const std::string &) {
    std::unique_lock<std::mutex> g(m);
    arrived = true;
    cv.notify_all();
    cv.wait_for(g, std::chrono::seconds(5), [&] { return release; });
    return std::string("2", 2);
  }));
  int slow = 0;
  std::thread t([&] { slow = Ask("HOSTB", "QP,"); });
  {
    std::unique_lock<std::mutex> g(m);
    ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(10), [&] { return arrived; }));
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(".", "QP,"), 1);
  EXPECT_EQ(srv_Connect("HOSTC"), 0) << "a lookup of another server";
  auto spent = std::chrono::steady_clock::now() - t0;
  {
    std::lock_guard<std::mutex> g(m);
    release = true;
  }
  cv.notify_all();
  t.join();
  EXPECT_EQ(slow, 2);
  EXPECT_LT(spent, std::chrono::milliseconds(500));
}

namespace {

// A transport (as kind 4) whose open waits until the test lets it go, or
// sends a request of its own to this computer while it opens.
std::mutex g_m;
std::condition_variable g_cv;
bool g_opening = false, g_letGo = false;
int g_nested = 0;

int SlowOpen(ServerConnection *e) {
  std::unique_lock<std::mutex> g(g_m);
  g_opening = true;
  g_cv.notify_all();
  g_cv.wait_for(g, std::chrono::seconds(5), [] { return g_letGo; });
  e->handle = e;
  return 1;
}
int NestedOpen(ServerConnection *e) {
  g_nested = Ask(".", "QP,");
  e->handle = e;
  return g_nested >= 0 ? 1 : (os_Fail(OS_ERROR_BAD_NETPATH), 0);
}
int ZeroReply(ServerConnection *, const void *, uint32_t, void *reply, uint32_t *n) {
  memcpy(reply, "0", 2);
  *n = 2;
  return 1;
}
void NoClose(ServerConnection *e) { e->handle = nullptr; }

// The table keeps a pointer to its transports: they live as long as the program.
const SrvTransport kSlow = {SlowOpen, ZeroReply, NoClose, 0};
const SrvTransport kNested = {NestedOpen, ZeroReply, NoClose, 0};

}  // namespace

TEST_F(Connections, ATransportThatOpensSlowlyOrAsksOnItsOwnHoldsNobodyUp) {
  Serve(Answering(".", [](const std::string &) { return std::string("3", 2); }));
  srv_SetTransport(SRV_KIND_SOAP, &kSlow);
  int slowResult = -2;
  std::thread t([&] { slowResult = Ask("https://slow/", "QP,"); });
  {
    std::unique_lock<std::mutex> g(g_m);
    ASSERT_TRUE(g_cv.wait_for(g, std::chrono::seconds(10), [] { return g_opening; }));
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Ask(".", "QP,"), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  {
    std::lock_guard<std::mutex> g(g_m);
    g_letGo = true;
  }
  g_cv.notify_all();
  t.join();
  EXPECT_EQ(slowResult, 0);

  // An open that sends a request of its own through the table.
  srv_SetTransport(SRV_KIND_SOAP, &kNested);
  srv_CloseAllConnections();
  EXPECT_EQ(Ask("https://nested/", "QP,"), 0);
  EXPECT_EQ(g_nested, 3);
}

// 16 threads, 4 servers that hang up at random: every reply that comes is the
// reply to its own request.
TEST_F(Connections, EveryReplyIsItsRequests) {
  const char *hosts[] = {".", "HOSTB", "HOSTC", "HOSTD"};
  for (const char *h : hosts) {
    SimRequestSpec spec = Answering(h, [h](const std::string &line) {
      // "EC,<n>,<thread>" -> "<n>,<host>,<thread>"
      size_t comma = line.find(',', 3);
      return line.substr(3, comma - 3) + "," + h + line.substr(comma) + std::string(1, '\0');
    });
    spec.dropOneIn = 25;
    Serve(spec);
  }
  std::atomic<int> good{0}, failed{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 150; ++i) {
        const char *h = hosts[(t + i) % 4];
        int n = t * 1000 + i;
        std::string reply;
        int rc = Ask(h, "EC," + std::to_string(n) + "," + std::to_string(t), &reply);
        if (rc == -1) {
          ++failed;
          continue;
        }
        std::string want = std::to_string(n) + "," + h + "," + std::to_string(t) + std::string(1, '\0');
        if (rc == n && reply == want) ++good;
        else ++wrong;
      }
    });
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(failed.load(), 0) << "the servers hung up now and then";
  EXPECT_GT(good.load(), 16 * 150 / 2);
  EXPECT_EQ(good + failed, 16 * 150);
}
