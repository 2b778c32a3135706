#include "plugin/connect/ws_soap.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "plugin/soap/ws_service.h"
#include "framework/trace/dbg_trace.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_http.h"
#include "plugin/connect/ws_endpoint.h"

namespace {

std::atomic<int> g_callback{0};
constexpr size_t kFaultContext = 1024;
std::atomic<WsPostFn> g_post{nullptr};

struct SoapContext {
  struct soap *soap;
  char endpoint[WS_ENDPOINT_MAX];
  char user[WS_CREDENTIAL_MAX];
  char password[WS_CREDENTIAL_MAX];
  int32_t lastTransportError;
  // The transport's state for one call.
  OsHttp *http;
  bool callback;
  bool acceptCertificate;
  bool performed;
  uint32_t replyMax;
  std::string out, in;
  size_t inAt;
  int status;
  const char *encoding;
};

SoapContext *Ctx(struct soap *soap) { return static_cast<SoapContext *>(soap->user); }

// The POST with the envelope gathered so far; errors the dialog resolves are
// offered to it and the send repeated once resolved.
uint32_t Perform(SoapContext *c) {
  c->performed = true;
  c->inAt = 0;
  for (;;) {
    OsHttpRequest r{};
    r.url = c->endpoint;
    r.contentType = "text/xml; charset=utf-8";
    r.contentEncoding = c->encoding;
    r.body = c->out.data();
    r.bodySize = c->out.size();
    r.user = c->user;
    r.password = c->password;
    r.connectMs = c->soap->connect_timeout > 0 ? static_cast<uint32_t>(c->soap->connect_timeout) * 1000 : 0;
    r.sendMs = c->soap->send_timeout > 0 ? static_cast<uint32_t>(c->soap->send_timeout) * 1000 : 0;
    r.receiveMs = c->soap->recv_timeout > 0 ? static_cast<uint32_t>(c->soap->recv_timeout) * 1000 : 0;
    r.acceptAnyCertificate = c->acceptCertificate;
    // Room for the base64 result of a full buffer and the envelope around it.
    r.replyMax = static_cast<size_t>(c->replyMax) * 2 + 65536;
    WsPostFn post = g_post.load();
    uint32_t err = (post ? post : os_HttpPost)(c->http, r, &c->status, &c->in);
    // The transport's number is what the caller is told for an HTTP error.
    c->lastTransportError = static_cast<int32_t>(err);
    int offer = err == OS_INET_INVALID_CA || err == OS_INET_CERT_DATE_INVALID ? static_cast<int>(err)
                : !err && (c->status == 401 || c->status == 407) ? c->status
                : 0;
    if (!offer) return err;
    if (c->callback) {
      c->lastTransportError = static_cast<int32_t>(err ? err : static_cast<uint32_t>(c->status));
      return err;
    }
    if (!ws_OfferErrorDialog(offer, c->endpoint, c->user, c->password)) return err;
    if (err) c->acceptCertificate = true;
  }
}

SOAP_SOCKET Open(struct soap *soap, const char *, const char *, int) {
  SoapContext *c = Ctx(soap);
  c->out.clear();
  c->in.clear();
  c->performed = false;
  c->status = 0;
  return 0;  // no socket of the library's: every byte goes through the handle
}

int Post(struct soap *soap, const char *, const char *, int, const char *, const char *, ULONG64) {
  SoapContext *c = Ctx(soap);
  c->out.clear();
  c->in.clear();
  c->performed = false;
  c->encoding = (soap->omode & SOAP_ENC_ZLIB) ? "gzip" : nullptr;
  return SOAP_OK;
}

int Send(struct soap *soap, const char *data, size_t n) {
  Ctx(soap)->out.append(data, n);
  return SOAP_OK;
}

int Parse(struct soap *soap) {
  SoapContext *c = Ctx(soap);
  if (!c->performed && Perform(c) != 0) return WS_SOAP_HTTP_ERROR;
  if (c->performed && c->status == 0) return WS_SOAP_HTTP_ERROR;
  soap->status = c->status;
  soap->length = c->in.size();
  soap->keep_alive = 1;
  if (c->status == 200 || c->status == 202) return SOAP_OK;
  // A fault comes with a body; a status alone is the error.
  return c->in.empty() ? c->status : SOAP_OK;
}

size_t Recv(struct soap *soap, char *buf, size_t len) {
  SoapContext *c = Ctx(soap);
  if (!c->performed && Perform(c) != 0) return 0;
  size_t n = std::min(len, c->in.size() - c->inAt);
  memcpy(buf, c->in.data() + c->inAt, n);
  c->inAt += n;
  return n;
}

int Poll(struct soap *) { return SOAP_OK; }
int CloseSocket(struct soap *, SOAP_SOCKET) { return SOAP_OK; }
int Close(struct soap *) { return SOAP_OK; }

void Install(SoapContext *c) {
  struct soap *s = c->soap;
  s->user = c;
  s->fopen = Open;
  s->fpost = Post;
  s->fsend = Send;
  s->fparse = Parse;
  s->frecv = Recv;
  s->fpoll = Poll;
  s->fclosesocket = CloseSocket;
  s->fclose = Close;
}

void Free(SoapContext *c) {
  if (!c) return;
  if (c->soap) {
    soap_destroy(c->soap);
    soap_end(c->soap);
    soap_free(c->soap);
  }
  os_HttpClose(c->http);
  delete c;
}

// The SOAP library's fault, as the trace shows it.
void TraceFault(struct soap *soap) {
  const char **code = soap_faultcode(soap);
  const char **sub = soap_faultsubcode(soap);
  const char *reason = soap_fault_string(soap);
  const char **detail = soap_faultdetail(soap);
  char line[4096];
  snprintf(line, sizeof line, "%s%d fault: %s [%s]\n\"%s\"\nDetail: %s\n", soap->version ? "SOAP 1." : "Error ",
           soap->version ? soap->version : soap->error, code && *code ? *code : "no code", sub && *sub ? *sub : "no subcode",
           reason ? reason : "[no reason]", detail && *detail ? *detail : "[no detail]");
  os_OutputDebugString(line);
  // What was received, with the place where reading failed marked, so a
  // garbled reply can be read in the trace. The trace takes at most
  // kFaultContext bytes on either side: every failed call writes it.
  if (soap->buflen == 0 || soap->buflen > sizeof soap->buf || soap->bufidx > soap->buflen) return;
  size_t at = soap->bufidx > 0 ? soap->bufidx - 1 : 0;
  size_t from = at > kFaultContext ? at - kFaultContext : 0;
  std::string before(soap->buf + from, at - from);
  before = before.substr(0, strnlen(before.data(), before.size()));
  std::string text(before.size() + 32, '\0');
  int n = snprintf(text.data(), text.size(), "%s%c\n<!-- ** HERE ** -->\n", before.c_str(),
                   soap->buf[at] ? soap->buf[at] : ' ');
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (soap->bufidx < soap->buflen) {
    std::string rest(soap->buf + soap->bufidx, std::min(soap->buflen - soap->bufidx, kFaultContext));
    text += rest.substr(0, strnlen(rest.data(), rest.size()));
    text += "\n";
  }
  os_OutputDebugString(text.c_str());
}

}  // namespace

int ws_OpenSoapConnection(ServerConnection *e) {
  e->kind = 0;
  e->handle = nullptr;
  auto *c = new SoapContext{};
  WsEndpoint ep;
  if (!ws_SoapEndpoint(e->server, &ep)) {
    os_OutputDebugString("InternetCrackUrl failed\r\n");
    delete c;
    return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  }
  memcpy(c->endpoint, ep.url, sizeof c->endpoint);
  memcpy(c->user, ep.user, sizeof c->user);
  memcpy(c->password, ep.password, sizeof c->password);
  c->soap = soap_new1(SOAP_IO_KEEPALIVE | SOAP_IO_STORE | SOAP_ENC_ZLIB);
  c->http = os_HttpOpen();
  if (!c->soap || !c->http) {
    os_OutputDebugString("soap_register_plugin_arg failed\r\n");
    Free(c);
    return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), 0;
  }
  soap_set_namespaces(c->soap, WebServ_namespaces);
  c->soap->z_level = 9;
  c->callback = g_callback.load() != 0;
  Install(c);
  e->handle = c;
  e->kind = SRV_KIND_SOAP;
  return 1;
}

int ws_SendSoapRequest(ServerConnection *e, const void *request, uint32_t length, void *reply, uint32_t *replySize) {
  if (!e || e->kind != SRV_KIND_SOAP || !e->handle) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  SoapContext *c = static_cast<SoapContext *>(e->handle);
  struct soap *soap = c->soap;
  uint32_t capacity = *replySize;
  *replySize = 0;
  WebServ::SendRequest *req = WebServ::soap_new_SendRequest(soap);
  WebServ::xsd__base64Binary *bytes = WebServ::soap_new_xsd__base64Binary(soap);
  WebServ::xsd__base64Binary *result = WebServ::soap_new_xsd__base64Binary(soap);
  if (!req || !bytes || !result) {
    os_OutputDebugString("soap_new_xsd__base64Binary failed\r\n");
    soap_destroy(soap);
    soap_end(soap);
    return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), 0;
  }
  req->Host = soap_strdup(soap, ".");
  bytes->__ptr = static_cast<unsigned char *>(soap_malloc(soap, length ? length : 1));
  if (length) memcpy(bytes->__ptr, request, length);
  bytes->__size = static_cast<int>(length);
  req->Request = bytes;
  req->ResultSize = static_cast<int>(capacity);
  c->lastTransportError = 0;
  c->replyMax = capacity;
  int rc = WebServ::soap_call_ns__SendRequest(soap, c->endpoint, "", req, result);
  uint32_t transport = 0;
  if (rc == SOAP_OK && result->__size >= 0 && static_cast<uint32_t>(result->__size) <= capacity) {
    if (result->__size) memcpy(reply, result->__ptr, static_cast<size_t>(result->__size));
    *replySize = static_cast<uint32_t>(result->__size);
  } else if (rc == SOAP_OK) {
    transport = OS_ERROR_MORE_DATA;  // the server was told the capacity
  } else {
    TraceFault(soap);
  }
  soap_destroy(soap);
  soap_end(soap);
  if (rc == SOAP_OK && !transport) return os_SetLastError(OS_ERROR_SUCCESS), 1;
  // A status the dialog did not resolve, or one without a SOAP body, is the error.
  if (!transport && !c->lastTransportError && (c->status == 401 || c->status == 407 || (c->status >= 300 && c->in.empty())))
    transport = static_cast<uint32_t>(c->status);
  if (!transport) transport = c->lastTransportError ? static_cast<uint32_t>(c->lastTransportError) : static_cast<uint32_t>(rc);
  return os_Fail(transport), 0;
}

void ws_CloseSoapConnection(ServerConnection *e) {
  Free(static_cast<SoapContext *>(e->handle));
  e->handle = nullptr;
  e->kind = 0;
}

void ws_SetPost(WsPostFn post) { g_post.store(post); }

void ws_EnableErrorCallback(int enable) { g_callback.store(enable); }

long ws_SoapConnections(const ServerConnection *e) {
  return e && e->kind == SRV_KIND_SOAP && e->handle ? os_HttpConnections(static_cast<SoapContext *>(e->handle)->http) : 0;
}
