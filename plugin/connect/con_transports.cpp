#include "plugin/connect/con_transports.h"

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "plugin/connect/con_tls.h"
#include "plugin/connect/ws_soap.h"
#include "plugin/loggers/prov_provider.h"

namespace {

const SrvTransport kSocket = {con_OpenTlsConnection, con_TlsRequest, con_CloseTlsConnection, 0};
const SrvTransport kProvider = {con_OpenProviderConnection, con_ProviderRequest, con_CloseProviderConnection, 1};
const SrvTransport kSoap = {ws_OpenSoapConnection, ws_SendSoapRequest, ws_CloseSoapConnection, 0};

}  // namespace

void con_InstallTransports(void) {
  srv_SetTransport(SRV_KIND_SOCKET, &kSocket);
  srv_SetTransport(SRV_KIND_PROVIDER, &kProvider);
  srv_SetTransport(SRV_KIND_SOAP, &kSoap);
}

int con_OpenProviderConnection(ServerConnection *e) {
  e->handle = nullptr;
  e->kind = 0;
  LocalProvider *p = prov_Init();
  if (!p) return os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY), 0;
  if (prov_Open(p, e->server) != 0) {
    uint32_t err = os_GetLastError();
    prov_Destroy(p);
    return os_Fail(err ? err : OS_ERROR_NOT_FOUND), 0;
  }
  e->handle = p;
  e->openerThread = os_GetCurrentThreadId();
  return 1;
}

void con_CloseProviderConnection(ServerConnection *e) {
  prov_Destroy(static_cast<LocalProvider *>(e->handle));
  e->handle = nullptr;
  e->kind = 0;
}

int con_ProviderRequest(ServerConnection *e, const void *request, uint32_t requestLength, void *reply,
                        uint32_t *replyLength) {
  if (!replyLength) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  if (!e || e->kind != SRV_KIND_PROVIDER || !e->handle) return *replyLength = 0, os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  // No records to serve: no reply, a failed request on a connection that stays.
  if (!prov_Dispatch(static_cast<LocalProvider *>(e->handle), request, requestLength, reply, replyLength))
    return *replyLength = 0, os_Fail(OS_ERROR_NO_DATA), 0;
  return 1;
}
