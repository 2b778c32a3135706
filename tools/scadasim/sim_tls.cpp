#include "tools/scadasim/sim_tls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/os_tls.h"
#include "tools/scadasim/sim_requests.h"
#include "tools/scadasim/sim_workers.h"

namespace {

enum : size_t { kRequestMax = 16u << 20 };

// A decimal field of at most 9 digits at buf[at..end): its value, or -1.
long long Decimal(const char *buf, size_t at, size_t end) {
  if (at >= end || end - at > 9) return -1;
  long long v = 0;
  for (size_t i = at; i < end; ++i) {
    if (buf[i] < '0' || buf[i] > '9') return -1;
    v = v * 10 + (buf[i] - '0');
  }
  return v;
}

// Position just past the k-th `sep` from `from`, or SIZE_MAX when not all in buf.
size_t After(const char *buf, size_t n, size_t from, char sep, int k) {
  for (size_t i = from; i < n; ++i)
    if (buf[i] == sep && --k == 0) return i + 1;
  return SIZE_MAX;
}

}  // namespace

size_t sim_TlsRequestSize(const char *buf, size_t n) {
  if (n < 3) return 0;
  char v0 = static_cast<char>(toupper(static_cast<unsigned char>(buf[0])));
  char v1 = static_cast<char>(toupper(static_cast<unsigned char>(buf[1])));
  size_t head = 0, data = 0;
  if ((v0 == 'C' && v1 == 'F') || (v0 == 'W' && v1 == 'F')) {
    // CF,type,number,length,user,<record>   WF,path\tcount\t...8 numbers...\t<data>
    bool cf = v0 == 'C';
    head = cf ? After(buf, n, 3, ',', 4) : After(buf, n, 3, '\t', 9);
    if (head == SIZE_MAX) {
      const void *nul = memchr(buf, '\0', n);
      if (nul) return static_cast<size_t>(static_cast<const char *>(nul) - buf) + 1;  // a short line: as it is
      return n > 65536 ? SIZE_MAX : 0;
    }
    size_t at = cf ? After(buf, n, 3, ',', 2) : After(buf, n, 3, '\t', 1);
    size_t end = cf ? After(buf, n, at, ',', 1) - 1 : After(buf, n, at, '\t', 1) - 1;
    long long len = Decimal(buf, at, end);
    if (len < 0) return SIZE_MAX;
    data = static_cast<size_t>(len);
  } else {
    const void *nul = memchr(buf, '\0', n);
    if (!nul) return n > 65536 ? SIZE_MAX : 0;
    head = static_cast<size_t>(static_cast<const char *>(nul) - buf) + 1;
    if ((v0 == 'H' || v0 == 'F') && v1 == 'F' && buf[2] == ',') {
      size_t comma = After(buf, head, 3, ',', 1);
      long long len = Decimal(buf, 3, comma == SIZE_MAX ? head - 1 : comma - 1);
      if (len < 0) return SIZE_MAX;
      data = static_cast<size_t>(len);
    }
  }
  if (head + data > kRequestMax) return SIZE_MAX;
  return n >= head + data ? head + data : 0;
}

struct SimTlsServer {
  SimTlsSpec spec;
  SSL_CTX *ctx = nullptr;
  int listenFd = -1;
  uint16_t port = 0;
  std::thread acceptor;
  std::atomic<bool> stopping{false};
  std::atomic<SimTlsFault> fault{SimTlsFault::None};
  std::atomic<uint32_t> connections{0};
  mutable std::mutex m;
  std::condition_variable wake;
  std::vector<std::string> requests;
  std::vector<SimWorker<int>> workers;  // one a connection
};

namespace {

// Waits ms or until the server stops; true when it stops.
bool Pause(SimTlsServer *s, uint32_t ms) {
  std::unique_lock<std::mutex> g(s->m);
  return s->wake.wait_for(g, std::chrono::milliseconds(ms), [s] { return s->stopping.load(); });
}

bool WriteAll(OsTls *ssl, const char *p, size_t n) { return os_TlsWrite(ssl, p, static_cast<uint32_t>(n)) != 0; }

void Reset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  shutdown(fd, SHUT_RDWR);
}

void Serve(SimTlsServer *s, int fd) {
  SimTlsFault fault = s->fault.load();
  if (fault == SimTlsFault::Silent) {
    // What the client sends is read and never answered, until it hangs up.
    char b[512];
    while (!s->stopping) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) < 0 && errno != EINTR) break;
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && recv(fd, b, sizeof b, 0) <= 0) break;
    }
    return;
  }
  if (fault == SimTlsFault::NotTls) {
    char b[512];
    (void)recv(fd, b, sizeof b, 0);
    static const char kText[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
    (void)send(fd, kText, sizeof kText - 1, MSG_NOSIGNAL);
    return;
  }
  // Our own socket I/O: a client that hangs up must not raise SIGPIPE here.
  OsTls *ssl = os_TlsAccept(fd, s->ctx);
  if (!ssl) return;
  std::string pending;
  char buf[16384];
  while (!s->stopping) {
    size_t size = sim_TlsRequestSize(pending.data(), pending.size());
    if (size == SIZE_MAX) break;
    if (size == 0) {
      uint32_t got = os_TlsRead(ssl, buf, sizeof buf);
      if (got == 0) break;
      pending.append(buf, got);
      continue;
    }
    std::string request = pending.substr(0, size);
    pending.erase(0, size);
    {
      std::lock_guard<std::mutex> g(s->m);
      size_t nul = request.find('\0');
      if (s->spec.keepLog) s->requests.push_back(request.substr(0, nul));
    }
    std::string reply = s->spec.answer ? s->spec.answer(request) : sim_ServeRequest(s->spec.server, request);
    fault = s->fault.load();
    int32_t length = static_cast<int32_t>(reply.size());
    if (fault == SimTlsFault::OverCapacity) length = 0x7FFFFFF0;
    if (fault == SimTlsFault::NegativeLength) length = -16;
    char prefix[4];
    memcpy(prefix, &length, 4);
    if (fault == SimTlsFault::SlowReply && Pause(s, 16000)) break;
    bool ok;
    if (fault == SimTlsFault::ResetMidReply) {
      WriteAll(ssl, prefix, 4);
      WriteAll(ssl, reply.data(), reply.size() / 2);
      Reset(fd);
      break;
    } else if (fault == SimTlsFault::SplitPrefix) {
      ok = WriteAll(ssl, prefix, 2) && WriteAll(ssl, prefix + 2, 2) && WriteAll(ssl, reply.data(), reply.size());
    } else if (s->spec.writeChunk) {
      ok = WriteAll(ssl, prefix, 4);
      for (size_t at = 0; ok && at < reply.size(); at += s->spec.writeChunk)
        ok = WriteAll(ssl, reply.data() + at, std::min<size_t>(s->spec.writeChunk, reply.size() - at));
    } else {
      // Prefix and text in one record.
      std::string all(prefix, 4);
      all += reply;
      ok = WriteAll(ssl, all.data(), all.size());
    }
    if (!ok) break;
  }
  os_TlsClose(ssl);
}

void Accept(SimTlsServer *s) {
  while (!s->stopping) {
    int fd = accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;
    }
    ++s->connections;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> g(s->m);
    if (s->stopping) {
      close(fd);
      break;
    }
    sim_ReapWorkers(&s->workers, [](int ended) { close(ended); });
    auto done = std::make_shared<std::atomic<bool>>(false);
    s->workers.push_back({fd, std::thread([s, fd, done] {
                            Serve(s, fd);
                            shutdown(fd, SHUT_RDWR);
                            *done = true;
                          }),
                          done});
  }
}

}  // namespace

SimTlsServer *sim_StartTlsServer(const SimTlsSpec &spec, std::string *why) {
  auto *s = new SimTlsServer;
  s->spec = spec;
  auto fail = [&](const std::string &text) {
    if (why) *why = text;
    if (s->listenFd >= 0) close(s->listenFd);
    if (s->ctx) SSL_CTX_free(s->ctx);
    delete s;
    return nullptr;
  };
  if (!spec.server && !spec.answer) return fail("no answers to give");
  s->ctx = SSL_CTX_new(TLS_server_method());
  if (!s->ctx || SSL_CTX_use_certificate_chain_file(s->ctx, spec.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(s->ctx, spec.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    ERR_clear_error();
    return fail("cannot load the certificate " + spec.certFile + " or its key " + spec.keyFile);
  }
  s->listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(s->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(spec.port);
  if (inet_pton(AF_INET, spec.address.c_str(), &sa.sin_addr) != 1) return fail("bad address " + spec.address);
  if (bind(s->listenFd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s->listenFd, 64) != 0)
    return fail("cannot listen on " + spec.address + ": " + strerror(errno));
  socklen_t len = sizeof sa;
  getsockname(s->listenFd, reinterpret_cast<sockaddr *>(&sa), &len);
  s->port = ntohs(sa.sin_port);
  s->acceptor = std::thread(Accept, s);
  return s;
}

void sim_StopTlsServer(SimTlsServer *s) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(s->m);
    s->stopping = true;
    for (const SimWorker<int> &w : s->workers) shutdown(w.handle, SHUT_RDWR);
  }
  s->wake.notify_all();
  shutdown(s->listenFd, SHUT_RDWR);
  s->acceptor.join();
  for (SimWorker<int> &w : s->workers) w.thread.join();
  for (const SimWorker<int> &w : s->workers) close(w.handle);
  close(s->listenFd);
  SSL_CTX_free(s->ctx);
  delete s;
}

uint16_t sim_TlsPort(const SimTlsServer *s) { return s->port; }
void sim_SetTlsFault(SimTlsServer *s, SimTlsFault fault) { s->fault = fault; }
uint32_t sim_TlsConnections(const SimTlsServer *s) { return s->connections.load(); }
std::vector<std::string> sim_TlsRequests(const SimTlsServer *s) {
  std::lock_guard<std::mutex> g(s->m);
  return s->requests;
}

bool sim_TlsOption(int argc, char **argv, int *i, SimTlsOptions *o, bool *bad) {
  std::string a = argv[*i];
  bool more = *i + 1 < argc;
  if (a != "--tls" && a != "--cert" && a != "--key" && a != "--tls-fault") return false;
  if (!more) return *bad = true, true;
  std::string v = argv[++*i];
  if (a == "--tls") {
    o->wanted = true;
    o->spec.port = static_cast<uint16_t>(strtoul(v.c_str(), nullptr, 10));
  } else if (a == "--cert") {
    o->spec.certFile = v;
  } else if (a == "--key") {
    o->spec.keyFile = v;
  } else {
    static const struct {
      const char *name;
      SimTlsFault fault;
    } kFaults[] = {{"reset", SimTlsFault::ResetMidReply}, {"slow", SimTlsFault::SlowReply},
                   {"silent", SimTlsFault::Silent},       {"not-tls", SimTlsFault::NotTls},
                   {"split", SimTlsFault::SplitPrefix},   {"over", SimTlsFault::OverCapacity},
                   {"negative", SimTlsFault::NegativeLength}};
    *bad = true;
    for (const auto &f : kFaults)
      if (v == f.name) o->fault = f.fault, *bad = false;
  }
  return true;
}

bool sim_StartTlsFromOptions(SimTlsOptions *o, SimRequestServer *server, SimTlsServer **out) {
  *out = nullptr;
  if (!o->wanted) return true;
  o->spec.server = server;
  std::string why;
  *out = sim_StartTlsServer(o->spec, &why);
  if (!*out) {
    fprintf(stderr, "scadasim: %s\n", why.c_str());
    return false;
  }
  sim_SetTlsFault(*out, o->fault);
  printf("scadasim: answering requests over TLS on %s:%u\n", o->spec.address.c_str(), sim_TlsPort(*out));
  return true;
}

void sim_TlsUsage(FILE *f) {
  fprintf(f,
          "           [--tls PORT --cert F --key F [--tls-fault NAME]]\n"
          "        --tls also answers over TLS on 127.0.0.2:PORT (0: a free port) with the\n"
          "        certificate F and its key; --tls-fault reset, slow, silent, not-tls,\n"
          "        split, over or negative plays a broken peer.\n");
}
