// scadasim's TLS listener in front of a request server, for the tests that
// reach a server by URL: the certificates are made once per test program.
#pragma once
#include <string>

#include "tools/scadasim/sim_tls.h"

namespace tnwtest {
// The folder of the test certificates (see make_certs.sh).
const std::string &TestCerts();
// A listener on 127.0.0.2 answering with `server`; *url gets
// "tnw://127.0.0.2:PORT/". NULL on failure (the test fails).
SimTlsServer *ServeOverTls(SimRequestServer *server, std::string *url);
}  // namespace tnwtest
