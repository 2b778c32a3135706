#include "tools/scadasim/sim_soap.h"

#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "plugin/soap/ws_service.h"
#include "tools/scadasim/sim_requests.h"
#include "tools/scadasim/sim_workers.h"

struct SimSoapServer {
  SimSoapSpec spec;
  struct soap *master = nullptr;
  uint16_t port = 0;
  std::thread acceptor;
  std::atomic<bool> stopping{false};
  std::atomic<SimSoapFault> fault{SimSoapFault::None};
  std::atomic<uint32_t> connections{0};
  mutable std::mutex m;
  std::condition_variable wake;
  std::vector<SimSoapCall> calls;
  std::vector<SimWorker<struct soap *>> workers;  // one a connection
};

namespace {

// Per connection: the request's content encoding as its header gave it, and
// the reply being damaged.
struct Conn {
  SimSoapServer *server;
  std::string encoding;
  int (*parseHeader)(struct soap *, const char *, const char *);
  int (*send)(struct soap *, const char *, size_t);
  bool corrupt = false;
  uint32_t headerEnd = 0;  // how much of "\r\n\r\n" was seen
  size_t bodyAt = 0;
};

Conn *ConnOf(struct soap *soap) { return static_cast<Conn *>(soap->user); }

// Past the header, bytes 20 to 27 of the body are flipped: deflate data
// whether or not a chunk line comes first.
int CorruptingSend(struct soap *soap, const char *data, size_t n) {
  Conn *c = ConnOf(soap);
  if (!c->corrupt) return c->send(soap, data, n);
  std::string out(data, n);
  static const char kEnd[] = "\r\n\r\n";
  for (char &ch : out) {
    if (c->headerEnd < 4) {
      c->headerEnd = ch == kEnd[c->headerEnd] ? c->headerEnd + 1 : (ch == '\r' ? 1 : 0);
      continue;
    }
    if (c->bodyAt >= 20 && c->bodyAt < 28) ch = static_cast<char>(ch ^ 0xA5);
    ++c->bodyAt;
  }
  return c->send(soap, out.data(), out.size());
}

int ParseHeader(struct soap *soap, const char *key, const char *value) {
  Conn *c = ConnOf(soap);
  if (!soap_tag_cmp(key, "Content-Encoding")) c->encoding = value ? value : "";
  return c->parseHeader(soap, key, value);
}

bool Pause(SimSoapServer *s, uint32_t ms) {
  std::unique_lock<std::mutex> g(s->m);
  return s->wake.wait_for(g, std::chrono::milliseconds(ms), [s] { return s->stopping.load(); });
}

void Serve(SimSoapServer *s, struct soap *conn) {
  // The library's TLS writes can raise SIGPIPE on a client that hung up: this
  // thread keeps it blocked, so the process that hosts the service is not ended.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  Conn c{s, "", conn->fparsehdr, conn->fsend};
  conn->user = &c;
  conn->fparsehdr = ParseHeader;
  conn->fsend = CorruptingSend;
  if (!s->spec.https || soap_ssl_accept(conn) == SOAP_OK) WebServ::WebServ_serve(conn);
  soap_destroy(conn);
  soap_end(conn);
  soap_closesock(conn);
}

void Accept(SimSoapServer *s) {
  while (!s->stopping) {
    SOAP_SOCKET fd = soap_accept(s->master);
    if (!soap_valid_socket(fd)) {
      if (s->master->errnum == 0) continue;  // the accept time-out: look at the stop flag again
      break;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);  // not handed to the programs a test starts
    ++s->connections;
    struct soap *conn = soap_copy(s->master);
    if (!conn) continue;
    std::lock_guard<std::mutex> g(s->m);
    sim_ReapWorkers(&s->workers, [](struct soap *ended) { soap_free(ended); });
    auto done = std::make_shared<std::atomic<bool>>(false);
    s->workers.push_back({conn, std::thread([s, conn, done] {
                            Serve(s, conn);
                            *done = true;
                          }),
                          done});
  }
}

}  // namespace

namespace WebServ {

// The service itself: one request line in, its reply out.
int ns__SendRequest(struct soap *soap, SendRequest *request, xsd__base64Binary *result) {
  SimSoapServer *s = ConnOf(soap)->server;
  SimSoapCall call;
  call.path = soap->path;
  call.encoding = ConnOf(soap)->encoding;
  call.user = soap->userid ? soap->userid : "";
  call.password = soap->passwd ? soap->passwd : "";
  call.host = request && request->Host ? request->Host : "";
  if (request && request->Request && request->Request->__ptr)
    call.request.assign(reinterpret_cast<const char *>(request->Request->__ptr), static_cast<size_t>(request->Request->__size));
  call.resultSize = request ? request->ResultSize : 0;
  {
    std::lock_guard<std::mutex> g(s->m);
    if (s->spec.keepLog) s->calls.push_back(call);
  }
  SimSoapFault fault = s->fault.load();
  if (fault == SimSoapFault::NeedLogin && call.user.empty()) {
    soap->authrealm = "scadasim";
    return 401;
  }
  if (fault == SimSoapFault::NeedProxyLogin && call.user.empty()) return 407;
  if (fault == SimSoapFault::Fault500) return soap_receiver_fault(soap, "scadasim refuses", "by its fault knob");
  if (fault == SimSoapFault::NotFound404) {
    // A status without a SOAP body.
    soap->keep_alive = 0;
    soap_send_empty_response(soap, 404);
    return SOAP_STOP;
  }
  if (fault == SimSoapFault::SlowReply && Pause(s, 16000)) return SOAP_EOF;
  if (fault == SimSoapFault::ResetMidReply) {
    linger l{1, 0};
    setsockopt(soap->socket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    shutdown(soap->socket, SHUT_RDWR);
    return SOAP_EOF;
  }
  Conn *conn = ConnOf(soap);
  conn->corrupt = fault == SimSoapFault::CorruptGzip;
  conn->headerEnd = 0;
  conn->bodyAt = 0;
  if (fault == SimSoapFault::GzipReply || conn->corrupt) soap_set_omode(soap, SOAP_ENC_ZLIB);
  std::string reply = s->spec.answer ? s->spec.answer(call.request) : sim_ServeRequest(s->spec.server, call.request);
  result->__ptr = static_cast<unsigned char *>(soap_malloc(soap, reply.size() ? reply.size() : 1));
  memcpy(result->__ptr, reply.data(), reply.size());
  result->__size = static_cast<int>(reply.size());
  return SOAP_OK;
}

}  // namespace WebServ

SimSoapServer *sim_StartSoapServer(const SimSoapSpec &spec, std::string *why) {
  auto *s = new SimSoapServer;
  s->spec = spec;
  auto fail = [&](const std::string &text) {
    if (why) *why = text;
    if (s->master) soap_free(s->master);
    delete s;
    return nullptr;
  };
  if (!spec.server && !spec.answer) return fail("no answers to give");
  s->master = soap_new1(SOAP_IO_KEEPALIVE);
  if (!s->master) return fail("no memory");
  soap_set_namespaces(s->master, WebServ_namespaces);
  s->master->user = s;
  s->master->bind_flags = SO_REUSEADDR;
  s->master->accept_timeout = 1;
  s->master->socket_flags = MSG_NOSIGNAL;
  s->master->send_timeout = s->master->recv_timeout = 30;
  if (spec.https) {
    // The library wants the key and its certificate in one file.
    std::string both = spec.keyFile + ".with-cert";
    std::ifstream key(spec.keyFile), cert(spec.certFile);
    std::stringstream text;
    text << key.rdbuf() << cert.rdbuf();
    std::ofstream(both) << text.str();
    if (soap_ssl_server_context(s->master, SOAP_SSL_NO_AUTHENTICATION, both.c_str(), nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr) != SOAP_OK)
      return fail("cannot load the certificate " + spec.certFile);
  }
  if (!soap_valid_socket(soap_bind(s->master, spec.address.c_str(), spec.port, 64)))
    return fail("cannot listen on " + spec.address);
  fcntl(s->master->master, F_SETFD, FD_CLOEXEC);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(s->master->master, reinterpret_cast<sockaddr *>(&sa), &len);
  s->port = ntohs(sa.sin_port);
  s->acceptor = std::thread(Accept, s);
  return s;
}

void sim_StopSoapServer(SimSoapServer *s) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(s->m);
    s->stopping = true;
    for (const SimWorker<struct soap *> &w : s->workers)
      if (!*w.done && soap_valid_socket(w.handle->socket)) shutdown(w.handle->socket, SHUT_RDWR);
  }
  s->wake.notify_all();
  s->acceptor.join();
  for (SimWorker<struct soap *> &w : s->workers) w.thread.join();
  for (SimWorker<struct soap *> &w : s->workers) soap_free(w.handle);
  soap_destroy(s->master);
  soap_end(s->master);
  soap_free(s->master);
  delete s;
}

uint16_t sim_SoapPort(const SimSoapServer *s) { return s->port; }
void sim_SetSoapFault(SimSoapServer *s, SimSoapFault fault) { s->fault = fault; }
uint32_t sim_SoapConnections(const SimSoapServer *s) { return s->connections.load(); }
std::vector<SimSoapCall> sim_SoapCalls(const SimSoapServer *s) {
  std::lock_guard<std::mutex> g(s->m);
  return s->calls;
}

bool sim_SoapOption(int argc, char **argv, int *i, SimSoapOptions *o, bool *bad) {
  std::string a = argv[*i];
  if (a != "--soap" && a != "--soap-https") return false;
  if (*i + 1 >= argc) return *bad = true, true;
  uint16_t port = static_cast<uint16_t>(strtoul(argv[++*i], nullptr, 10));
  if (a == "--soap") o->http = true, o->httpPort = port;
  else o->https = true, o->httpsPort = port;
  return true;
}

bool sim_StartSoapFromOptions(const SimSoapOptions &o, const std::string &certFile, const std::string &keyFile,
                              SimRequestServer *server, SimSoapServer *out[2]) {
  out[0] = out[1] = nullptr;
  for (int k = 0; k < 2; ++k) {
    if (!(k == 0 ? o.http : o.https)) continue;
    SimSoapSpec spec;
    spec.https = k == 1;
    spec.port = k == 0 ? o.httpPort : o.httpsPort;
    spec.certFile = certFile;
    spec.keyFile = keyFile;
    spec.server = server;
    std::string why;
    out[k] = sim_StartSoapServer(spec, &why);
    if (!out[k]) {
      fprintf(stderr, "scadasim: %s\n", why.c_str());
      sim_StopSoapServer(out[0]);
      out[0] = nullptr;
      return false;
    }
    printf("scadasim: answering SOAP calls on %s://%s:%u/\n", k ? "https" : "http", spec.address.c_str(),
           sim_SoapPort(out[k]));
  }
  return true;
}

void sim_SoapUsage(FILE *f) {
  fprintf(f,
          "           [--soap PORT] [--soap-https PORT]\n"
          "        --soap and --soap-https also answer the SOAP call SendRequest over\n"
          "        HTTP and HTTPS on 127.0.0.2:PORT (0: a free port; HTTPS with --cert\n"
          "        and --key).\n");
}
