#include "plugin/connect/con_transports.h"

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "plugin/connect/con_tls.h"
#include "plugin/connect/ws_soap.h"

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

// The logged-data provider is not built yet: no store can be opened.
int con_OpenProviderConnection(ServerConnection *e) {
  e->handle = nullptr;
  e->kind = 0;
  return os_Fail(OS_ERROR_NOT_SUPPORTED), 0;
}

void con_CloseProviderConnection(ServerConnection *e) {
  e->handle = nullptr;
  e->kind = 0;
}

int con_ProviderRequest(ServerConnection *e, const void *, uint32_t, void *, uint32_t *replyLength) {
  if (replyLength) *replyLength = 0;
  if (!e || e->kind != SRV_KIND_PROVIDER || !e->handle) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  return os_Fail(OS_ERROR_NOT_SUPPORTED), 0;
}
