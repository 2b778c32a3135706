#include "tests/support/remote_transport.h"

#include <atomic>
#include <cstdio>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_pipe.h"

namespace {

std::atomic<uint32_t> g_opens{0};

int Open(ServerConnection *e) {
  SrvUrlComponents url;
  if (!srv_CrackUrl(e->server, 0, 0, &url) || !url.host[0]) return os_Fail(OS_ERROR_BAD_NETPATH), 0;
  char path[SRV_URL_PART_MAX + 32];
  snprintf(path, sizeof path, "\\\\%s\\pipe\\" SRV_PIPE_NAME, url.host);
  OsHandle h = os_CreateFile(path, OS_GENERIC_READ | OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING, 0);
  if (!h) return 0;
  uint32_t mode = OS_PIPE_READMODE_MESSAGE;
  if (os_SetNamedPipeHandleState(h, &mode) != 0) {
    uint32_t err = os_GetLastError();
    os_CloseHandle(h);
    return os_Fail(err), 0;
  }
  e->handle = h;
  ++g_opens;
  return 1;
}

int Exchange(ServerConnection *e, const void *request, uint32_t length, void *reply, uint32_t *replyLength) {
  uint32_t got = 0;
  int rc = os_TransactNamedPipe(static_cast<OsHandle>(e->handle), request, length, reply, *replyLength, &got);
  *replyLength = got;
  return rc == 0 ? 1 : 0;
}

void Close(ServerConnection *e) {
  if (e->handle) os_CloseHandle(static_cast<OsHandle>(e->handle));
  e->handle = nullptr;
}

const SrvTransport kRemote = {Open, Exchange, Close, 0};

}  // namespace

namespace tnwtest {
void InstallRemoteTransport() { srv_SetTransport(SRV_KIND_SOCKET, &kRemote); }
void RemoveRemoteTransport() { srv_SetTransport(SRV_KIND_SOCKET, nullptr); }
uint32_t RemoteOpens() { return g_opens.load(); }
}  // namespace tnwtest
