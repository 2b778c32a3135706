#include "tests/support/tls_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "framework/server/srv_client.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_soap.h"

namespace tnwtest {

const std::string &TestCerts() {
  static std::string dir = [] {
    std::string d = MakeTempDir("certs");
    std::string cmd = "sh " TNW_SOURCE_DIR "/tests/support/make_certs.sh " + d;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return d;
  }();
  return dir;
}

SimTlsServer *ServeOverTls(SimRequestServer *server, std::string *url) {
  SimTlsSpec spec;
  spec.certFile = TestCerts() + "/server.pem";
  spec.keyFile = TestCerts() + "/server.key";
  spec.server = server;
  std::string why;
  SimTlsServer *s = sim_StartTlsServer(spec, &why);
  EXPECT_NE(s, nullptr) << why;
  if (s && url) *url = "tnw://127.0.0.2:" + std::to_string(sim_TlsPort(s)) + "/";
  return s;
}

namespace {
// The SOAP peer of the running test, when the tests run over SOAP.
SimSoapServer *g_soap = nullptr;
}  // namespace

bool StartRemotePeer(const SimRequestSpec &spec, SimRequestServer **server, SimTlsServer **tls, std::string *url) {
  std::string why;
  *tls = nullptr;
  *server = sim_StartRequestServer(spec, &why);
  EXPECT_NE(*server, nullptr) << why;
  if (!*server) return false;
  const char *over = getenv("TNW_REMOTE_OVER");
  if (!over || !*over) {
    *tls = ServeOverTls(*server, url);
    return *tls != nullptr;
  }
  const bool https = std::string(over) == "https";
  EXPECT_TRUE(https || std::string(over) == "http") << "TNW_REMOTE_OVER: " << over;
  if (https) {
    // The client trusts the test CA, as a site trusts its own.
    std::filesystem::create_directories(Root() + "/certs");
    std::filesystem::copy_file(TestCerts() + "/ca.pem", Root() + "/certs/ca.pem",
                               std::filesystem::copy_options::overwrite_existing);
  }
  SimSoapSpec soap;
  soap.https = https;
  soap.certFile = TestCerts() + "/server.pem";
  soap.keyFile = TestCerts() + "/server.key";
  soap.server = *server;
  EXPECT_EQ(g_soap, nullptr) << "one remote peer at a time";
  g_soap = sim_StartSoapServer(soap, &why);
  EXPECT_NE(g_soap, nullptr) << why;
  if (g_soap && url) *url = std::string(https ? "https" : "http") + "://127.0.0.2:" + std::to_string(sim_SoapPort(g_soap)) + "/";
  return g_soap != nullptr;
}

void StopRemotePeer(SimRequestServer **server, SimTlsServer **tls) {
  srv_CloseAllConnections();
  sim_StopSoapServer(g_soap);
  g_soap = nullptr;
  sim_StopTlsServer(*tls);
  sim_StopRequestServer(*server);
  *tls = nullptr;
  *server = nullptr;
}

}  // namespace tnwtest
