#include "platform/os_tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <mutex>

#include "platform/os_env.h"
#include "platform/os_error.h"

struct OsTls {
  int fd;
  SSL *ssl;
  int lastErrno;  // of the socket call that failed last
  bool ownsFd;
  bool bounded;
  std::chrono::steady_clock::time_point deadline;
  int64_t socketMs;  // the socket's time-outs now, 0 none
};

namespace {

uint32_t WsaOf(int err) {
  switch (err) {
    case ECONNREFUSED: return OS_WSAECONNREFUSED;
    case ETIMEDOUT:
    case EAGAIN:
    case EINPROGRESS: return OS_WSAETIMEDOUT;
    case EHOSTUNREACH:
    case ENETUNREACH: return OS_WSAEHOSTUNREACH;
    default: return OS_WSAECONNRESET;
  }
}

// Socket I/O of our own: send with MSG_NOSIGNAL, remembering errno.
void SetTimeouts(int fd, uint32_t ms);

// The time left before the deadline goes into the socket's time-outs; false
// when none is left. They are set again only when they would overrun the
// deadline by more than kSlackMs, which spares two calls on every record.
enum : int64_t { kSlackMs = 250 };
bool Remaining(OsTls *t) {
  if (!t->bounded) return true;
  int64_t left =
      std::chrono::duration_cast<std::chrono::milliseconds>(t->deadline - std::chrono::steady_clock::now()).count();
  if (left <= 0) return t->lastErrno = ETIMEDOUT, false;
  if (t->socketMs == 0 || t->socketMs > left + kSlackMs) {
    SetTimeouts(t->fd, static_cast<uint32_t>(left));
    t->socketMs = left;
  }
  return true;
}

int BioWrite(BIO *b, const char *data, int length) {
  auto *t = static_cast<OsTls *>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  if (!Remaining(t)) return -1;
  ssize_t n;
  do n = ::send(t->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n < 0) t->lastErrno = errno;
  return static_cast<int>(n);
}

int BioRead(BIO *b, char *data, int length) {
  auto *t = static_cast<OsTls *>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  if (!Remaining(t)) return -1;
  ssize_t n;
  do n = ::recv(t->fd, data, static_cast<size_t>(length), 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) t->lastErrno = errno;
  if (n == 0) t->lastErrno = ECONNRESET;
  return static_cast<int>(n);
}

long BioCtrl(BIO *, int cmd, long, void *) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD *Method() {
  static BIO_METHOD *m = [] {
    BIO_METHOD *x = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "nosignal socket");
    BIO_meth_set_write(x, BioWrite);
    BIO_meth_set_read(x, BioRead);
    BIO_meth_set_ctrl(x, BioCtrl);
    return x;
  }();
  return m;
}

SSL_CTX *Context() {
  static SSL_CTX *ctx = [] {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    SSL_CTX *c = SSL_CTX_new(TLS_client_method());
    if (c) SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    return c;
  }();
  return ctx;
}

void SetTimeouts(int fd, uint32_t ms) {
  timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Non-blocking connect bounded by ms; 0 or an errno.
int ConnectWithin(int fd, const sockaddr_in &sa, uint32_t ms) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
  int err = rc == 0 ? 0 : errno;
  if (err == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int n;
    do n = poll(&p, 1, static_cast<int>(ms));
    while (n < 0 && errno == EINTR);
    if (n == 0) err = ETIMEDOUT;
    else {
      socklen_t len = sizeof err;
      if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno ? errno : ECONNRESET;
    }
  }
  fcntl(fd, F_SETFL, flags);
  return err;
}

void PrintCertificate(X509 *cert) {
  char *subject = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
  char *issuer = X509_NAME_oneline(X509_get_issuer_name(cert), nullptr, 0);
  printf("Server certificate:\n");
  printf("\t subject: %s\n", subject ? subject : "");
  printf("\t issuer: %s\n", issuer ? issuer : "");
  fflush(stdout);
  OPENSSL_free(subject);
  OPENSSL_free(issuer);
}

uint32_t FailTls(OsTls *t, uint32_t fallback) {
  uint32_t code = t->lastErrno ? WsaOf(t->lastErrno) : fallback;
  ERR_clear_error();
  return os_Fail(code);
}

}  // namespace

uint16_t os_ServicePort(const char *scheme) {
  if (!scheme || !*scheme) return 0;
  servent result{}, *found = nullptr;
  char buf[1024];
  if (getservbyname_r(scheme, "tcp", &result, buf, sizeof buf, &found) != 0 || !found) return 0;
  return ntohs(static_cast<uint16_t>(found->s_port));
}

int os_ResolveHost(const char *host, char out[16]) {
  auto lookup = [out](const char *name) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (!name || !*name || getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return false;
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, out, 16);
    freeaddrinfo(res);
    return true;
  };
  if (host && strcmp(host, ".") == 0) {
    if (lookup("localhost")) return 1;
    char name[17] = "";
    uint32_t size = sizeof name;
    if (os_GetComputerName(name, &size) == 0 && lookup(name)) return 1;
    return os_Fail(OS_WSAHOST_NOT_FOUND), 0;
  }
  if (lookup(host)) return 1;
  return os_Fail(OS_WSAHOST_NOT_FOUND), 0;
}

OsTls *os_TlsConnect(const char *host, uint16_t port, uint32_t timeoutMs) {
  SSL_CTX *ctx = Context();
  if (!ctx) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  char ip[16];
  if (!os_ResolveHost(host, ip)) return nullptr;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, ip, &sa.sin_addr);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return os_Fail(OS_WSAECONNRESET), nullptr;
  if (int err = ConnectWithin(fd, sa, timeoutMs)) {
    ::close(fd);
    return os_Fail(WsaOf(err)), nullptr;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto *t = new OsTls{fd, SSL_new(ctx), 0, true, false, {}, 0};
  BIO *bio = t->ssl ? BIO_new(Method()) : nullptr;
  if (!bio) {
    os_TlsClose(t);
    return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  }
  BIO_set_data(bio, t);
  BIO_set_init(bio, 1);
  SSL_set_bio(t->ssl, bio, bio);
  os_TlsSetDeadline(t, timeoutMs);
  int rc = SSL_connect(t->ssl);
  X509 *cert = rc == 1 ? SSL_get1_peer_certificate(t->ssl) : nullptr;
  if (!cert) {
    // A peer that is no TLS server fails the handshake: call it a reset.
    FailTls(t, OS_WSAECONNRESET);
    uint32_t err = os_GetLastError();
    os_TlsClose(t);
    return os_Fail(err), nullptr;
  }
  PrintCertificate(cert);
  X509_free(cert);
  os_TlsSetDeadline(t, 0);
  return t;
}

void os_TlsSetDeadline(OsTls *t, uint32_t ms) {
  if (!t) return;
  t->bounded = ms != 0;
  t->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  if (!ms && t->socketMs) SetTimeouts(t->fd, 0), t->socketMs = 0;
}

int os_TlsWrite(OsTls *t, const void *data, uint32_t length) {
  if (!t) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  if (length == 0) return 1;
  size_t written = 0;
  t->lastErrno = 0;
  // Only a complete write succeeds.
  if (SSL_write_ex(t->ssl, data, length, &written) != 1 || written != length) return FailTls(t, OS_WSAECONNRESET), 0;
  return 1;
}

uint32_t os_TlsRead(OsTls *t, void *buffer, uint32_t capacity) {
  if (!t) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  if (capacity == 0) return 0;
  size_t got = 0;
  t->lastErrno = 0;
  if (SSL_read_ex(t->ssl, buffer, capacity, &got) != 1 || got == 0) return FailTls(t, OS_WSAECONNRESET), 0;
  return static_cast<uint32_t>(got);
}

void os_TlsAbort(OsTls *t) {
  if (t && t->fd >= 0) ::shutdown(t->fd, SHUT_RDWR);
}

void os_TlsClose(OsTls *t) {
  if (!t) return;
  if (t->ssl) SSL_free(t->ssl);  // frees the BIO with it
  if (t->fd >= 0 && t->ownsFd) ::close(t->fd);
  delete t;
}

OsTls *os_TlsAccept(int fd, void *sslCtx) {
  auto *t = new OsTls{fd, SSL_new(static_cast<SSL_CTX *>(sslCtx)), 0, false, false, {}, 0};
  BIO *bio = t->ssl ? BIO_new(Method()) : nullptr;
  if (!bio) {
    os_TlsClose(t);
    return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), nullptr;
  }
  BIO_set_data(bio, t);
  BIO_set_init(bio, 1);
  SSL_set_bio(t->ssl, bio, bio);
  if (SSL_accept(t->ssl) != 1) {
    FailTls(t, OS_WSAECONNRESET);
    uint32_t err = os_GetLastError();
    os_TlsClose(t);
    return os_Fail(err), nullptr;
  }
  return t;
}
