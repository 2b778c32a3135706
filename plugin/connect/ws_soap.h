// Connection kind 4: request lines as the base64 payload of one SOAP call,
// "SendRequest", to an http or https server; the reply is the call's base64
// result. The HTTP exchange is our transport over libcurl (see os_http.h).
#pragma once
#include <cstdint>
#include <string>

#include "framework/server/srv_client.h"

enum : int {
  WS_SOAP_HTTP_ERROR = 29,  // the SOAP library's "HTTP error": the transport's number is the last error
};

// Builds the connection's SOAP context: 1 with kind 4, or 0 (87 for a URL
// whose parts are over their fields).
int ws_OpenSoapConnection(ServerConnection *entry);
// One call: 1 with the result in the reply buffer, or 0 with the error set
// (a result over the buffer: OS_ERROR_MORE_DATA, nothing copied).
int ws_SendSoapRequest(ServerConnection *entry, const void *request, uint32_t length, void *reply,
                       uint32_t *replySize);
void ws_CloseSoapConnection(ServerConnection *entry);
// Later opens fail the errors the dialog would resolve at once, recording the
// transport's number in the context.
void ws_EnableErrorCallback(int enable);
// The HTTP exchange the transport makes (NULL: os_HttpPost); a fuzz target
// puts its own in place to hand the SOAP layer any reply.
struct OsHttp;
struct OsHttpRequest;
using WsPostFn = uint32_t (*)(OsHttp *http, const OsHttpRequest &request, int *status, std::string *body);
void ws_SetPost(WsPostFn post);
// Connections the entry's context has opened (its kept-alive connection counts once).
long ws_SoapConnections(const ServerConnection *entry);
