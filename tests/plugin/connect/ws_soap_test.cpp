// Request lines over SOAP to scadasim's SOAP service over HTTP and HTTPS:
// what each call carries, server behaviour to result and error, the error
// dialog, kept-alive connections.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/server/srv_client.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_spawn.h"
#include "platform/os_http.h"
#include "platform/os_path.h"
#include "plugin/connect/con_transports.h"
#include "plugin/connect/ws_endpoint.h"
#include "plugin/connect/ws_soap.h"
#include "tests/support/test_root.h"
#include "tests/support/tls_peer.h"
#include "tools/scadasim/sim_soap.h"

namespace {

std::string Reply(size_t size) {
  std::string r = "17,";
  for (size_t i = r.size(); i < size; ++i) r += static_cast<char>('a' + i % 23);
  return r.substr(0, size);
}

SimSoapServer *Start(bool https = false, const char *cert = "server", size_t replySize = 40) {
  SimSoapSpec spec;
  spec.https = https;
  spec.certFile = tnwtest::TestCerts() + "/" + cert + ".pem";
  spec.keyFile = tnwtest::TestCerts() + "/" + cert + ".key";
  spec.answer = [replySize](const std::string &) { return Reply(replySize); };
  std::string why;
  SimSoapServer *s = sim_StartSoapServer(spec, &why);
  EXPECT_NE(s, nullptr) << why;
  return s;
}

std::string Base(const SimSoapServer *s, bool https = false, const std::string &cred = "") {
  return std::string(https ? "https://" : "http://") + cred + "127.0.0.2:" + std::to_string(sim_SoapPort(s));
}

struct Outcome {
  int result;
  uint32_t error;
  std::string reply;
};

Outcome Send(const std::string &server, int capacity = 256) {
  std::vector<char> buf(static_cast<size_t>(capacity) + 32, '#');
  int n = capacity;
  static const char kLine[] = "PI,x";
  int rc = con_Transact(server.c_str(), kLine, sizeof kLine, buf.data(), &n);
  uint32_t err = rc < 0 ? os_GetLastError() : 0;
  for (size_t i = static_cast<size_t>(capacity); i < buf.size(); ++i) EXPECT_EQ(buf[i], '#');
  return {rc, err, rc < 0 ? std::string() : std::string(buf.data(), static_cast<size_t>(n))};
}

std::string DebugOutput() {
  std::ifstream in(os_DebugOutputPath(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int g_dialogs = 0;
int g_dialogAnswer = 0;
int Dialog(int error, const char *, char *user, char *password) {
  ++g_dialogs;
  if (g_dialogAnswer && (error == 401 || error == 407)) {
    snprintf(user, WS_CREDENTIAL_MAX, "dlg");
    snprintf(password, WS_CREDENTIAL_MAX, "pw");
  }
  return g_dialogAnswer;
}

class Soap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { con_InstallTransports(); }
  void SetUp() override {
    g_dialogs = 0;
    g_dialogAnswer = 0;
    ws_SetErrorDialog(Dialog);
    ws_EnableErrorCallback(0);
  }
  void TearDown() override {
    srv_CloseAllConnections();
    ws_SetErrorDialog(nullptr);
    ws_EnableErrorCallback(0);
  }
};

TEST_F(Soap, WhatEachCallCarries) {
  SimSoapServer *s = Start();
  ASSERT_NE(s, nullptr);
  const std::string product = prod_GetProductName();
  struct Case {
    std::string server, path, user, password;
  } cases[] = {
      {Base(s), "/" + product + "/BIN/mod_gsoap.dll?Service", "", ""},
      {Base(s) + "/app", "/app/BIN/mod_gsoap.dll?Service", "", ""},
      {Base(s) + "/a/b?x=1", "/a/b?x=1", "", ""},
      {Base(s, false, "ann:p@ss@") + "/", "/" + product + "/BIN/mod_gsoap.dll?Service", "ann", "p@ss"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.server);
    Outcome o = Send(c.server, 300);
    ASSERT_EQ(o.result, 17) << o.error;
    EXPECT_EQ(o.reply, Reply(40));
    SimSoapCall call = sim_SoapCalls(s).back();
    EXPECT_EQ(call.path, c.path);
    EXPECT_EQ(call.user, c.user);
    EXPECT_EQ(call.password, c.password);
    EXPECT_EQ(call.host, ".");
    EXPECT_EQ(call.request, std::string("PI,x", 5));
    EXPECT_EQ(call.resultSize, 300);
    EXPECT_EQ(call.encoding, "gzip");
  }
  // A kept context: the credentials go with every call, over one connection.
  std::string kept = Base(s, false, "ann:p@ss@") + "/k/";
  uint32_t before = sim_SoapConnections(s);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(Send(kept).result, 17) << i;
  EXPECT_EQ(sim_SoapConnections(s), before + 1);
  std::vector<SimSoapCall> calls = sim_SoapCalls(s);
  for (size_t i = calls.size() - 100; i < calls.size(); ++i) EXPECT_EQ(calls[i].password, "p@ss");
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
}

TEST_F(Soap, ServerBehaviourToResultAndError) {
  SimSoapServer *s = Start(false, "server", 40);
  ASSERT_NE(s, nullptr);
  struct Case {
    const char *name;
    SimSoapFault fault;
    int capacity;
    uint32_t error;      // 0: succeeds
    const char *traced;  // a text the debugger output gains, or nullptr
  } cases[] = {
      {"gzip reply", SimSoapFault::GzipReply, 256, 0, nullptr},
      {"corrupt gzip reply", SimSoapFault::CorruptGzip, 256, OS_INET_BAD_REPLY, nullptr},
      {"reset mid-reply", SimSoapFault::ResetMidReply, 256, OS_INET_CONNECTION_RESET, nullptr},
      // The SOAP library's server fault, its text in the trace.
      {"fault", SimSoapFault::Fault500, 256, 2, "scadasim refuses"},
      {"not found", SimSoapFault::NotFound404, 256, 404, nullptr},
      {"proxy login, no dialog answer", SimSoapFault::NeedProxyLogin, 256, 407, nullptr},
      {"result over the buffer", SimSoapFault::None, 39, OS_ERROR_MORE_DATA, nullptr},
      {"result exactly the buffer", SimSoapFault::None, 40, 0, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim_SetSoapFault(s, c.fault);
    const size_t traceBefore = DebugOutput().size();
    Outcome o = Send(Base(s), c.capacity);
    const uint32_t connections = sim_SoapConnections(s);
    if (c.traced) {
      EXPECT_NE(DebugOutput().find(c.traced, traceBefore), std::string::npos);
    }
    if (c.error) {
      EXPECT_EQ(o.result, -1);
      EXPECT_EQ(o.error, c.error);
    } else {
      EXPECT_EQ(o.result, 17);
      EXPECT_EQ(o.reply, Reply(40));
    }
    sim_SetSoapFault(s, SimSoapFault::None);
    EXPECT_EQ(Send(Base(s)).result, 17);
    // A failed call frees the context: the next builds one and connects anew.
    EXPECT_EQ(sim_SoapConnections(s), connections + (c.error ? 1 : 0));
  }
  std::string gone = Base(s);
  sim_StopSoapServer(s);
  Outcome refused = Send(gone);
  EXPECT_EQ(refused.result, -1);
  EXPECT_EQ(refused.error, OS_INET_CANNOT_CONNECT);
  Outcome noHost = Send("http://no-such-host.invalid:8080");
  EXPECT_EQ(noHost.result, -1);
  EXPECT_EQ(noHost.error, OS_INET_NAME_NOT_RESOLVED);
}

TEST_F(Soap, UrlPartsOverTheirFieldsAreNotSent) {
  SimSoapServer *s = Start();
  ASSERT_NE(s, nullptr);
  for (const std::string &cred : {std::string(128, 'u') + ":p@", "u:" + std::string(128, 'p') + "@"}) {
    const size_t traced = DebugOutput().size();
    Outcome o = Send(Base(s, false, cred) + "/");
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.error, static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
    EXPECT_NE(DebugOutput().find("InternetCrackUrl failed\r\n", traced), std::string::npos);
  }
  EXPECT_EQ(sim_SoapConnections(s), 0u);
  EXPECT_TRUE(sim_SoapCalls(s).empty());
  EXPECT_EQ(Send(Base(s, false, std::string(127, 'u') + ":" + std::string(127, 'p') + "@") + "/").result, 17);
  EXPECT_EQ(sim_SoapCalls(s).back().password, std::string(127, 'p'));
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
}

TEST_F(Soap, CertificatesAndTheErrorDialog) {
  SimSoapServer *s = Start(true, "server");
  SimSoapServer *expired = Start(true, "expired");
  SimSoapServer *other = Start(true, "other");
  ASSERT_TRUE(s && expired && other);
  // Unknown CA: Cancel, then accepted, then the error callback (no dialog).
  Outcome cancel = Send(Base(s, true));
  EXPECT_EQ(cancel.error, OS_INET_INVALID_CA);
  EXPECT_EQ(g_dialogs, 1);
  g_dialogAnswer = 1;
  EXPECT_EQ(Send(Base(s, true)).result, 17);
  EXPECT_EQ(g_dialogs, 2);
  srv_CloseAllConnections();
  ws_EnableErrorCallback(1);
  EXPECT_EQ(Send(Base(s, true)).error, OS_INET_INVALID_CA);
  EXPECT_EQ(g_dialogs, 2);
  ws_EnableErrorCallback(0);
  g_dialogAnswer = 0;
  // The test's CA trusted: the server and another name work, the expired one not.
  std::filesystem::create_directories(std::string(os_Root()) + "/certs");
  std::filesystem::copy_file(tnwtest::TestCerts() + "/ca.pem", std::string(os_Root()) + "/certs/ca.pem",
                             std::filesystem::copy_options::overwrite_existing);
  srv_CloseAllConnections();
  EXPECT_EQ(Send(Base(s, true) + "/t/").result, 17);
  EXPECT_EQ(Send(Base(other, true) + "/t/").result, 17);
  EXPECT_EQ(Send(Base(expired, true) + "/t/").error, OS_INET_CERT_DATE_INVALID);
  // 401: answered in the dialog, the send repeated with its credentials.
  sim_SetSoapFault(s, SimSoapFault::NeedLogin);
  EXPECT_EQ(Send(Base(s, true) + "/login/").error, 401u);
  g_dialogAnswer = 1;
  EXPECT_EQ(Send(Base(s, true) + "/login/").result, 17);
  EXPECT_EQ(sim_SoapCalls(s).back().user, "dlg");
  std::filesystem::remove(std::string(os_Root()) + "/certs/ca.pem");
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
  sim_StopSoapServer(expired);
  sim_StopSoapServer(other);
}

// A reply the SOAP library cannot read: the trace shows what came, at most
// 1024 bytes on either side of the place where reading failed, marked.
std::string g_garbled;
uint32_t GarbledPost(OsHttp *, const OsHttpRequest &, int *status, std::string *body) {
  *status = 200;
  *body = g_garbled;
  return 0;
}

TEST_F(Soap, AGarbledReplyIsTracedWithTheFailingPlace) {
  const std::string envelope =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope "
      "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns=\"urn:service\"><SOAP-ENV:Body>";
  const std::string end = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  const std::string other = "<ns:Other><result>MTcsYWJj</result></ns:Other>";
  struct Case {
    std::string body;
    bool cut;  // the failing place lies more than 1024 bytes in
  } cases[] = {
      {envelope + other + end, false},
      {"<html><body><h1>Service Unavailable</h1><p>The service is down for maintenance.</p></body></html>", false},
      {envelope + "<!--" + std::string(3000, 'c') + "-->" + other + std::string(3000, ' ') + end, true},
  };
  const std::string marker = "\n<!-- ** HERE ** -->\n";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.body.substr(0, 120));
    g_garbled = c.body;
    ws_SetPost(GarbledPost);
    const size_t before = DebugOutput().size();
    Outcome o = Send("http://garbled.invalid/a/b");
    ws_SetPost(nullptr);
    EXPECT_EQ(o.result, -1);
    EXPECT_NE(o.error, 0u);
    const std::string trace = DebugOutput().substr(before);
    ASSERT_NE(trace.find(marker), std::string::npos) << trace.substr(0, 400);
    // The reply split after byte k-1, the place where reading failed.
    auto traced = [&](size_t k) {
      size_t from = k > 1025 ? k - 1025 : 0;
      return c.body.substr(from, k - from) + marker + c.body.substr(k, 1024) + "\n";
    };
    size_t split = std::string::npos;
    for (size_t k = 1; k <= c.body.size() && split == std::string::npos; ++k)
      if (trace.find(traced(k)) != std::string::npos) split = k;
    ASSERT_NE(split, std::string::npos) << trace.substr(0, 400);
    if (c.cut) {
      EXPECT_GT(split, 1025u);
      EXPECT_EQ(trace.find(c.body.substr(0, 40)), std::string::npos);
    }
  }
}

// A program started while a call's connection stays open gets no part of
// it: a child that outlives the call would keep the server's end open.
TEST_F(Soap, AnOpenConnectionIsNotHandedToAProgram) {
  SimSoapServer *s = Start();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Send(Base(s)).result, 17);
  // The child names each TCP socket it was handed.
  const char *const argv[] = {"/bin/sh", "-c",
                              "for f in /proc/self/fd/*; do l=$(readlink $f); case $l in socket:*) i=${l#socket:[}; "
                              "i=${i%]}; grep -q \" $i \" /proc/net/tcp && echo \"tcp $l\";; esac; done; echo end",
                              nullptr};
  OsProgramRun run;
  ASSERT_EQ(os_RunProgram(argv, &run), 0);
  EXPECT_EQ(run.out, "end\n");
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
}

TEST_F(Soap, ASilentServerTimesOut) {
  SimSoapServer *s = Start();
  ASSERT_NE(s, nullptr);
  sim_SetSoapFault(s, SimSoapFault::SlowReply);
  auto t0 = std::chrono::steady_clock::now();
  Outcome o = Send(Base(s));
  double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(o.error, OS_INET_TIMEOUT);
  EXPECT_GE(sec, 14.5);
  EXPECT_LT(sec, 16.5);
  sim_SetSoapFault(s, SimSoapFault::None);
  EXPECT_EQ(Send(Base(s)).result, 17);
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
}

}  // namespace
