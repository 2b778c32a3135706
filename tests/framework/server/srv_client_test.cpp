// The request client against scadasim's request server: replies and what
// each returns, the shared local entry, trace lines, other hosts, and servers
// that are slow, drop the connection, go down or come back.
#include <gtest/gtest.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "framework/trace/dbg_trace.h"
#include "framework/xml/xml_error.h"
#include "platform/os_debug.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_registry.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace {

class ServerClient : public ::testing::Test {
 protected:
  void SetUp() override { srv_CloseAllConnections(); }
  void TearDown() override {
    srv_CloseAllConnections();
    for (SimRequestServer *s : servers) sim_StopRequestServer(s);
    dbg_Close();
  }
  SimRequestServer *Serve(const SimRequestSpec &spec) {
    std::string why;
    SimRequestServer *s = sim_StartRequestServer(spec, &why);
    EXPECT_NE(s, nullptr) << why;
    if (s) servers.push_back(s);
    return s;
  }
  void Stop(SimRequestServer *s) {
    for (auto it = servers.begin(); it != servers.end(); ++it)
      if (*it == s) {
        servers.erase(it);
        break;
      }
    sim_StopRequestServer(s);
  }
  static SimRequestSpec Processors(const std::string &host, int n) {
    SimRequestSpec spec;
    spec.host = host;
    for (int i = 0; i < n; ++i) {
      spec.processors.emplace_back();
      spec.processors.back().name = "P" + std::to_string(i + 1);
    }
    return spec;
  }
  // The open entries of the connection table.
  static std::vector<std::string> OpenEntries() {
    int count = 0;
    ServerConnection *t = srv_ConnectionTable(&count);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
      if (t[i].kind != 0) names.push_back(t[i].server);
    return names;
  }
  // Whether another thread holds the entry of server: its request is under way.
  static bool HeldElsewhere(const char *server) {
    OsCriticalSection *table = srv_ConnectionTableLock();
    os_EnterCriticalSection(table);
    int count = 0;
    ServerConnection *t = srv_ConnectionTable(&count);
    bool held = false;
    for (int i = 0; i < count && !held; ++i) {
      if (strcasecmp(t[i].server, server) != 0) continue;
      if (os_TryEnterCriticalSection(&t[i].lock)) os_LeaveCriticalSection(&t[i].lock);
      else held = true;
    }
    os_LeaveCriticalSection(table);
    return held;
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
  // The debugger output lines of this process, without their "[pid] ".
  static std::vector<std::string> DebugLines() {
    std::string all = tnwtest::ReadFile(os_DebugOutputPath());
    std::string prefix = "[" + std::to_string(getpid()) + "] ";
    std::vector<std::string> lines;
    for (size_t at = 0; (at = all.find(prefix, at)) != std::string::npos;) {
      size_t end = all.find('\n', at);
      lines.push_back(all.substr(at + prefix.size(), end == std::string::npos ? end : end + 1 - at - prefix.size()));
      at = end == std::string::npos ? all.size() : end + 1;
    }
    return lines;
  }
  std::vector<SimRequestServer *> servers;
};

int Ask(const char *server, const std::string &line, uint32_t capacity = SRV_RESULT_REPLY, std::string *reply = nullptr) {
  std::vector<char> buf(capacity);
  uint32_t length = capacity;
  errno = 12345;
  int rc = srv_Request(server, line.c_str(), buf.data(), &length);
  if (reply) *reply = std::string(buf.data(), length);
  return rc;
}

}  // namespace

TEST_F(ServerClient, RepliesAndWhatEachReturns) {
  const std::string xmlText = "Line 3 : element <Channel> is not closed";
  std::map<std::string, std::string> replies = {
      {"AA", std::string("17,x", 5)},
      {"AB", std::string("-1,2", 5)},
      {"AC", "-1,1465," + xmlText + std::string(1, '\0')},
      {"AD", ""},
      {"AE", std::string(1, '\0')},
      {"AF", std::string(100, '7')},
      {"AG", std::string("0", 2)},
      {"AH", "-1"},
  };
  SimRequestSpec spec;
  spec.answer = [&](const std::string &line, std::string *reply) {
    auto it = replies.find(line.substr(0, 2));
    if (it == replies.end()) return false;
    *reply = it->second;
    return true;
  };
  Serve(spec);
  struct Case {
    const char *line;
    uint32_t capacity;
    int result;
    int error;
  } cases[] = {
      {"AA", 64, 17, 0},
      {"AB,x", 64, -1, 2},
      {"AC", SRV_RESULT_REPLY, -1, 1465},
      {"AD", 64, -1, SRV_EMPTY_REPLY},
      {"AE", 64, -1, SRV_EMPTY_REPLY},
      {"AF", 64, -1, OS_ERROR_MORE_DATA},  // longer than the reply buffer
      {"AG", 64, 0, 0},
      {"AH", 64, -1, 0},
      {"QP,", 64, 0, 0},  // the server's own answer: no processors
  };
  for (const Case &c : cases) {
    xml_ClearError();
    int rc = Ask(".", c.line, c.capacity);
    EXPECT_EQ(rc, c.result) << c.line;
    if (rc == -1) {
      EXPECT_EQ(errno, c.error) << c.line;
      EXPECT_EQ(static_cast<int>(os_GetLastError()), c.error) << c.line;
    } else {
      EXPECT_EQ(os_GetLastError(), 0u) << c.line;
    }
  }
  // The XML failure's text became the XML error text, with no context.
  Ask(".", "AC");
  EXPECT_EQ(std::string(xml_GetErrorText()), " - " + xmlText);
  EXPECT_LT(xml_GetError(), 0);
  // A failed exchange closes the entry; the next request opens it again.
  EXPECT_EQ(Ask(".", "AF", 64), -1);
  EXPECT_TRUE(OpenEntries().empty());
  EXPECT_EQ(Ask(".", "AA", 64), 17);
  EXPECT_EQ(OpenEntries(), std::vector<std::string>{"."});
  // The request goes with its terminator; a reply is terminated within its buffer.
  std::string reply;
  EXPECT_EQ(Ask(".", "AA", 3, &reply), -1);
  EXPECT_EQ(errno, OS_ERROR_MORE_DATA) << "5 bytes do not fit 2 and a terminator";
  EXPECT_EQ(reply, "");
  char small[3] = {'x', 'x', 'x'};
  uint32_t length = sizeof small;
  EXPECT_EQ(srv_Request(".", "AA", small, &length), -1);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(small[0], '\0') << "the part of the reply that came is not left in the buffer";
  EXPECT_EQ(Ask(".", "AA", 6, &reply), 17);
  EXPECT_EQ(reply, std::string("17,x", 5));
}

// Every failed exchange ends its connection; the server stand-in that serves
// many such clients keeps no descriptor or thread of theirs.
TEST_F(ServerClient, TheServerStandInForgetsTheClientsThatHaveGone) {
  SimRequestSpec spec;
  spec.answer = [](const std::string &, std::string *reply) {
    *reply = std::string(40, '9');
    return true;
  };
  Serve(spec);
  auto descriptors = [] {
    size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) n += e.path().filename() != ".";
    return n;
  };
  ASSERT_EQ(Ask(".", "AA", 8), -1);
  size_t before = descriptors();
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Ask(".", "AA", 8), -1) << i;
  EXPECT_EQ(errno, OS_ERROR_MORE_DATA);
  EXPECT_LE(descriptors(), before + 3) << "one descriptor kept a client";
}

TEST_F(ServerClient, LocalNamesShareOneConnection) {
  SimRequestServer *s = Serve(Processors(".", 3));
  TraceOn();
  const std::string me = os_ComputerName();
  for (const char *server : {".", "localhost", "", "127.0.0.1", me.c_str(), "LOCALHOST", "http://localhost/x"})
    EXPECT_EQ(srv_CountProcessors(server), 3) << server;
  EXPECT_EQ(srv_CountProcessors(nullptr), 3);
  EXPECT_EQ(OpenEntries(), std::vector<std::string>{"."});
  int opened = 0;
  for (const std::string &l : DebugLines()) opened += l == ">>. Opening pipe connection\r\n";
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(sim_ServedRequests(s).size(), 8u);
  // A connection can be asked for without a request.
  EXPECT_EQ(srv_Connect("localhost"), 1);
  EXPECT_EQ(srv_Connect("http://scada.example/"), 0) << "no pipe server";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_NOT_SUPPORTED);
}

TEST_F(ServerClient, EveryRequestWritesOneTraceLine) {
  SimRequestSpec spec;
  spec.answer = [](const std::string &line, std::string *reply) {
    if (line == "ZZ") *reply = "";
    else if (line == "YY") *reply = std::string("-1,5", 5);
    else return false;
    return true;
  };
  Serve(spec);
  TraceOn();
  Ask("localhost", "QP,");
  Ask(".", "YY");
  Ask(".", "ZZ");
  Ask("HOSTC", "QL");
  std::vector<std::string> expected = {
      ">>. Opening pipe connection\r\n",  // the debugger output, then the trace's lines
      "SRVT : <<. Result 0 to QP\r\n",
      "SRVT : <<. Call Error 5 to YY\r\n",
      "SRVT : <<. No Result to ZZ\r\n",
      ">>HOSTC Opening pipe connection\r\n",
  };
  EXPECT_EQ(DebugLines(), expected) << "no line for a connection that cannot be made";
  // A failed exchange has its own line.
  sim_SetDropConnections(servers[0], true);
  unlink(os_DebugOutputPath().c_str());
  EXPECT_EQ(Ask(".", "QP,"), -1);
  int err = errno;
  EXPECT_EQ(DebugLines(), std::vector<std::string>{"SRVT : <<. Error " + std::to_string(err) + " to QP\r\n"});
}

TEST_F(ServerClient, AnotherHostAndAHostThatCannotBeReached) {
  Serve(Processors(".", 1));
  SimRequestServer *b = Serve(Processors("HOSTB", 4));
  EXPECT_EQ(srv_CountProcessors("."), 1);
  EXPECT_EQ(srv_CountProcessors("HOSTB"), 4);
  EXPECT_EQ(srv_CountProcessors("hostb"), 4);
  EXPECT_EQ(sim_ServedRequests(b).size(), 2u);
  std::vector<std::string> open = OpenEntries();
  EXPECT_EQ(open.size(), 2u) << "one entry a host, its name compared without case";
  EXPECT_EQ(Ask("HOSTC", "QP,"), -1);
  EXPECT_EQ(errno, OS_ERROR_BAD_NETPATH);
}

TEST_F(ServerClient, ADroppedConnectionIsOpenedAgain) {
  SimRequestServer *s = Serve(Processors(".", 2));
  EXPECT_EQ(srv_CountProcessors("."), 2);
  sim_SetDropConnections(s, true);
  EXPECT_EQ(Ask(".", "QP,"), -1);
  EXPECT_EQ(errno, OS_ERROR_BROKEN_PIPE);
  EXPECT_TRUE(OpenEntries().empty());
  sim_SetDropConnections(s, false);
  EXPECT_EQ(Ask(".", "QP,"), 2);
}

TEST_F(ServerClient, ASlowServerHoldsOnlyItsOwnConnection) {
  Serve(Processors(".", 1));
  SimRequestSpec slow = Processors("HOSTB", 5);
  slow.delayMs = 1500;
  Serve(slow);
  uint32_t slowSpent = 0;
  int slowResult = 0;
  std::atomic<bool> slowDone{false};
  std::thread t([&] {
    uint32_t t0 = os_GetTickCount();
    slowResult = srv_CountProcessors("HOSTB");
    slowSpent = os_GetTickCount() - t0;
    slowDone = true;
  });
  EXPECT_TRUE(tnwtest::Until([] { return HeldElsewhere("HOSTB"); }, 10000)) << "the slow request never began";
  uint32_t t0 = os_GetTickCount();
  EXPECT_EQ(srv_CountProcessors("."), 1);
  uint32_t fastSpent = os_GetTickCount() - t0;
  EXPECT_FALSE(slowDone) << "the slow request ended first: the two never ran at once";
  t.join();
  EXPECT_EQ(slowResult, 5);
  EXPECT_GE(slowSpent, 1500u);
  EXPECT_LT(fastSpent, 1000u) << "the local request did not wait for the slow host";
}

TEST_F(ServerClient, AServerStoppedAndStartedAgainIsReconnected) {
  SimRequestServer *s = Serve(Processors(".", 2));
  EXPECT_EQ(srv_CountLoggers("."), 0);
  Stop(s);
  // The connection went with the server: the next request finds it broken, the
  // one after cannot open it while the server is down.
  EXPECT_EQ(Ask(".", "QL"), -1);
  EXPECT_TRUE(errno == OS_ERROR_BROKEN_PIPE || errno == OS_ERROR_NO_DATA) << errno;
  EXPECT_EQ(Ask(".", "QL"), -1);
  EXPECT_EQ(errno, OS_ERROR_FILE_NOT_FOUND);
  SimRequestSpec again = Processors(".", 2);
  again.loggers.emplace_back();
  again.loggers.back().name = "L1";
  Serve(again);
  EXPECT_EQ(Ask(".", "QL"), 1);
}

TEST_F(ServerClient, AServerThatIsDownIsAnsweredByTheTables) {
  std::string config = tnwtest::Root() + "/drives/c/SRVCFG";
  std::filesystem::create_directories(config);
  ASSERT_TRUE(tnwtest::WriteFile(config + "/DATPROC.TXT",
                                 "* processors\r\n"
                                 "SYSER,SYSTEM ERRORS,D-SE:64,run\r\n"
                                 "  * an indented comment\r\n"
                                 "\r\n"
                                 "TNWLL,TARNWELL PUMPS,A-TA:128,stop\r\n"
                                 "ALARM,,,run\r\n"
                                 "modbus1,,X-MB:10,run\r\n"));
  ASSERT_TRUE(tnwtest::WriteFile(config + "/LOGCAP.TXT", "* logger types\nfilelog\ndblog\n"));
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\SRVCFG");
  EXPECT_EQ(srv_CountProcessors("."), 4) << "comment and blank lines do not count";
  EXPECT_EQ(srv_CountLoggers("."), 2);

  ProcessorRecord r[8];
  EXPECT_EQ(srv_GetProcessors(".", "*,3", r, 8), 3);
  EXPECT_STREQ(r[0].Name, "SYSER");
  EXPECT_STREQ(r[1].PrintName, "TARNWELL PUMPS");
  EXPECT_EQ(r[1].Type, 2);
  EXPECT_EQ(r[1].Run, 0);
  EXPECT_EQ(r[2].Count, 256) << "ALARM keeps its queue entries";
  EXPECT_EQ(srv_GetProcessors(".", "*,9", r, 2), 2) << "never more than the caller's array";
  EXPECT_EQ(srv_GetProcessors(".", "4", r, 8), 1);
  EXPECT_STREQ(r[0].Name, "MODBUS1");
  EXPECT_EQ(r[0].Type, 6);
  EXPECT_EQ(srv_GetProcessors(".", "5", r, 8), 0) << "beyond the end";
  EXPECT_EQ(srv_GetProcessors(".", "tarnwell pumps", r, 8), 1);
  EXPECT_STREQ(r[0].Name, "TNWLL");
  EXPECT_EQ(srv_GetProcessors(".", "tnwllxyz", r, 8), 1) << "the first five letters of the name";
  EXPECT_STREQ(r[0].Name, "TNWLL");
  EXPECT_EQ(srv_GetProcessors(".", "NOSUCH", r, 8), 0);

  // A line that fails its check ends the call.
  ASSERT_TRUE(tnwtest::WriteFile(config + "/DATPROC.TXT", "SYSER,,D-SE:64,run\nBAD,,X-AB:10\nLAST\n"));
  EXPECT_EQ(srv_GetProcessors(".", "*,3", r, 8), -2);
  EXPECT_EQ(srv_GetProcessors(".", "2", r, 8), -2);
  EXPECT_EQ(srv_GetProcessors(".", "1", r, 8), 1);

  // A remote host that is down: the tables of its own configuration folder.
  std::string remote = tnwtest::Root() + "/hosts/HOSTD/shares/" + prod_GetProductName() + "/CURRENT_CONFIG";
  std::filesystem::create_directories(remote);
  ASSERT_TRUE(tnwtest::WriteFile(remote + "/DATPROC.TXT", "A1\nA2\nA3\nA4\nA5\n"));
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);
  EXPECT_EQ(srv_CountProcessors("HOSTD"), 5);
  // A server that answers is asked, not the table.
  Serve(Processors(".", 7));
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\SRVCFG");
  EXPECT_EQ(srv_CountProcessors("."), 7);
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);
}

// A server that is reached but refuses ("-1,<code>") is answered by the
// tables as well; one that answers 0 is not.
TEST_F(ServerClient, AServerThatRefusesIsAnsweredByTheTables) {
  std::string config = tnwtest::Root() + "/drives/c/REFCFG";
  std::filesystem::create_directories(config);
  ASSERT_TRUE(tnwtest::WriteFile(config + "/DATPROC.TXT", "* p\nSYSER,,D-SE:64,run\nTNWLL,,A-TA:128\n"));
  ASSERT_TRUE(tnwtest::WriteFile(config + "/LOGCAP.TXT", "filelog\ndblog\nnetlog\n"));
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\REFCFG");
  SimRequestSpec spec;
  spec.answer = [](const std::string &line, std::string *reply) {
    *reply = line == "IP,empty" ? std::string("0", 2) : std::string("-1,5", 5);
    return true;
  };
  SimRequestServer *s = Serve(spec);
  EXPECT_EQ(srv_CountProcessors("."), 2);
  EXPECT_EQ(srv_CountLoggers("."), 3);
  ProcessorRecord r[4];
  ASSERT_EQ(srv_GetProcessors(".", "2", r, 4), 1);
  EXPECT_STREQ(r[0].Name, "TNWLL");
  EXPECT_EQ(srv_GetProcessors(".", "empty", r, 4), 0);
  EXPECT_EQ(sim_ServedRequests(s), (std::vector<std::string>{"QP,", "QL", "IP,2", "IP,empty"}));
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);
}
