#include "platform/os_http.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/os_path.h"

struct OsHttp {
  CURL *curl;
  long connections;
};

namespace {

size_t Collect(char *data, size_t size, size_t n, void *user) {
  auto *ctx = static_cast<std::pair<std::string *, size_t> *>(user);
  if (ctx->first->size() + size * n > ctx->second) return 0;  // over the limit: the transfer fails
  ctx->first->append(data, size * n);
  return size * n;
}

// The roots beside the system's: every PEM file in PLATFORM_ROOT/certs/.
CURLcode AddRoots(CURL *, void *sslCtx, void *) {
  X509_STORE *store = SSL_CTX_get_cert_store(static_cast<SSL_CTX *>(sslCtx));
  std::string dir = std::string(os_Root()) + "/certs";
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pem") == 0)
        X509_STORE_load_file(store, (dir + "/" + name).c_str());
    }
    closedir(d);
  }
  return CURLE_OK;
}

long Ms(uint32_t ms) { return ms ? static_cast<long>(ms) : 15000L; }

uint32_t InetOf(CURL *c, CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST: return OS_INET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return OS_INET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return OS_INET_TIMEOUT;
    case CURLE_PEER_FAILED_VERIFICATION: {
      long v = 0;
      curl_easy_getinfo(c, CURLINFO_SSL_VERIFYRESULT, &v);
      return v == X509_V_ERR_CERT_HAS_EXPIRED ? OS_INET_CERT_DATE_INVALID : OS_INET_INVALID_CA;
    }
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR: return OS_INET_CONNECTION_RESET;
    default: return OS_INET_BAD_REPLY;
  }
}

// A connection's socket is not handed to programs this process starts: a
// child that outlives the call would hold the connection open.
int NoInherit(void *, curl_socket_t fd, curlsocktype) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  return CURL_SOCKOPT_OK;
}

}  // namespace

OsHttp *os_HttpOpen(void) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL *c = curl_easy_init();
  if (!c) return nullptr;
  return new OsHttp{c, 0};
}

void os_HttpClose(OsHttp *h) {
  if (!h) return;
  curl_easy_cleanup(h->curl);
  delete h;
}

long os_HttpConnections(OsHttp *h) { return h ? h->connections : 0; }

uint32_t os_HttpPost(OsHttp *h, const OsHttpRequest &r, int *status, std::string *body) {
  CURL *c = h->curl;
  body->clear();
  *status = 0;
  std::pair<std::string *, size_t> sink{body, r.replyMax ? r.replyMax : static_cast<size_t>(64) << 20};
  curl_slist *headers = nullptr;
  std::string type = std::string("Content-Type: ") + r.contentType;
  headers = curl_slist_append(headers, type.c_str());
  if (r.contentEncoding) headers = curl_slist_append(headers, (std::string("Content-Encoding: ") + r.contentEncoding).c_str());
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(c, CURLOPT_URL, r.url);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, r.body);
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.bodySize));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "gzip");
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, NoInherit);
  // The library forgets nothing between calls, but the caller may change them: set every time.
  curl_easy_setopt(c, CURLOPT_USERNAME, r.user && *r.user ? r.user : nullptr);
  curl_easy_setopt(c, CURLOPT_PASSWORD, r.user && *r.user ? r.password : nullptr);
  curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, Ms(r.connectMs));
  // The whole call within the longer of the send and receive time-outs: nothing unbounded.
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, std::max(Ms(r.sendMs), Ms(r.receiveMs)));
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, r.acceptAnyCertificate ? 0L : 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NO_REVOKE));
  curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, AddRoots);
  CURLcode rc = curl_easy_perform(c);
  curl_slist_free_all(headers);
  long opened = 0;
  curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &opened);
  h->connections += opened;
  if (rc != CURLE_OK) {
    body->clear();
    return InetOf(c, rc);
  }
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  *status = static_cast<int>(code);
  return 0;
}
