// scadasim's TLS listener in front of a request server, for the tests that
// reach a server by URL: the certificates are made once per test program.
#pragma once
#include <string>

#include "tools/scadasim/sim_requests.h"
#include "tools/scadasim/sim_tls.h"

namespace tnwtest {
// The folder of the test certificates (see make_certs.sh).
const std::string &TestCerts();
// A listener on 127.0.0.2 answering with `server`; *url gets
// "tnw://127.0.0.2:PORT/". NULL on failure (the test fails).
SimTlsServer *ServeOverTls(SimRequestServer *server, std::string *url);
// A request server of `spec` with its TLS listener: the remote peer of the
// plug-in's tests. With TNW_REMOTE_OVER set to "http" or "https" the peer is
// scadasim's SOAP service instead (*tls stays NULL) and *url its http(s)
// URL, so the same tests run over the SOAP transport. False (the test fails)
// when either does not start.
bool StartRemotePeer(const SimRequestSpec &spec, SimRequestServer **server, SimTlsServer **tls, std::string *url);
// Drops this process's connections, then stops the peer and the server; the pointers become NULL.
void StopRemotePeer(SimRequestServer **server, SimTlsServer **tls);
}  // namespace tnwtest
