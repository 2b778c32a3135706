#include "plugin/connect/con_tls.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_tls.h"

namespace {

uint32_t TimeoutOf(const ServerConnection *e) {
  return e->timeoutMs > 0 ? static_cast<uint32_t>(e->timeoutMs) : static_cast<uint32_t>(SRV_DEFAULT_TIMEOUT_MS);
}

uint32_t ReadTls(void *context, void *buffer, uint32_t capacity) {
  return os_TlsRead(static_cast<OsTls *>(context), buffer, capacity);
}

}  // namespace

int con_ReadFramedReply(ConReadFn readSome, void *context, void *reply, uint32_t *replySize) {
  uint32_t capacity = *replySize;
  *replySize = 0;
  char chunk[CON_TLS_READ_CHUNK];
  uint32_t have = 0;
  // The prefix may come in pieces: read on until its 4 bytes are whole.
  while (have < 4) {
    uint32_t n = readSome(context, chunk + have, sizeof chunk - have);
    if (n == 0) return 0;
    have += n;
  }
  int32_t announced;
  memcpy(&announced, chunk, 4);  // little-endian on every target we build for
  if (announced < 0) return os_Fail(OS_ERROR_INVALID_DATA), 0;
  uint32_t total = static_cast<uint32_t>(announced);
  if (total > capacity) return os_Fail(OS_ERROR_MORE_DATA), 0;
  uint32_t first = have - 4;
  if (first > total) return os_Fail(OS_ERROR_INVALID_DATA), 0;
  if (first) memcpy(reply, chunk + 4, first);
  uint32_t got = first;
  char *out = static_cast<char *>(reply);
  while (got < total) {
    uint32_t want = std::min<uint32_t>(total - got, CON_TLS_READ_CHUNK);
    uint32_t n = readSome(context, out + got, want);
    if (n == 0) return 0;
    got += n;
  }
  *replySize = got;
  return 1;
}

int con_OpenTlsConnection(ServerConnection *e) {
  char line[SRV_SERVER_MAX + 40];
  snprintf(line, sizeof line, ">>%s Opening socket connection\r\n", e->server);
  os_OutputDebugString(line);
  e->kind = 0;
  e->handle = nullptr;
  SrvUrlComponents url;
  // Parts over their fields are refused, not cut: nothing is sent.
  if (!srv_CrackUrl(e->server, 0, 0, &url) || !url.host[0] || strlen(url.host) >= CON_TLS_HOST_MAX ||
      strlen(url.user) >= CON_TLS_CREDENTIAL_MAX || strlen(url.password) >= CON_TLS_CREDENTIAL_MAX)
    return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  uint16_t port = url.port;
  if (!port) port = os_ServicePort(url.schemeText);
  if (!port) port = CON_TLS_DEFAULT_PORT;
  OsTls *tls = os_TlsConnect(url.host, port, TimeoutOf(e));
  if (!tls) return 0;
  e->handle = tls;
  e->kind = SRV_KIND_SOCKET;
  return 1;
}

void con_CloseTlsConnection(ServerConnection *e) {
  os_TlsClose(static_cast<OsTls *>(e->handle));
  e->handle = nullptr;
  e->kind = 0;
}

int con_TlsExchange(ServerConnection *e, const void *request, uint32_t length, void *reply, uint32_t *replySize) {
  if (!e || e->kind != SRV_KIND_SOCKET || !e->handle) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  auto *tls = static_cast<OsTls *>(e->handle);
  if (!os_TlsWrite(tls, request, length)) return 0;
  if (!con_ReadFramedReply(ReadTls, tls, reply, replySize)) return 0;
  os_SetLastError(OS_ERROR_SUCCESS);
  return 1;
}

int con_TlsRequest(ServerConnection *e, const void *request, uint32_t length, void *reply, uint32_t *replySize) {
  if (!e || e->kind != SRV_KIND_SOCKET || !e->handle) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  // The time-out bounds every socket wait of this exchange, on this thread:
  // when it fails nothing is left running on the caller's buffers, and no
  // thread is made per request.
  os_TlsSetDeadline(static_cast<OsTls *>(e->handle), TimeoutOf(e));
  return con_TlsExchange(e, request, length, reply, replySize);
}
