#include "tests/support/tls_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "framework/server/srv_client.h"
#include "tests/support/test_root.h"

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

bool StartRemotePeer(const SimRequestSpec &spec, SimRequestServer **server, SimTlsServer **tls, std::string *url) {
  std::string why;
  *server = sim_StartRequestServer(spec, &why);
  EXPECT_NE(*server, nullptr) << why;
  *tls = *server ? ServeOverTls(*server, url) : nullptr;
  return *server && *tls;
}

void StopRemotePeer(SimRequestServer **server, SimTlsServer **tls) {
  srv_CloseAllConnections();
  sim_StopTlsServer(*tls);
  sim_StopRequestServer(*server);
  *tls = nullptr;
  *server = nullptr;
}

}  // namespace tnwtest
