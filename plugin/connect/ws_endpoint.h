// The SOAP connection's endpoint and credentials from an http or https server
// URL, and the hook through which the plug-in's UI layer answers the errors
// the Internet error dialog resolves.
#pragma once
#include <cstdint>

enum : int {
  WS_ENDPOINT_MAX = 2084,
  WS_CREDENTIAL_MAX = 128,  // with the terminator
  WS_HOST_MAX = 256,
  WS_PATH_MAX = 2048,
};

struct WsEndpoint {
  char url[WS_ENDPOINT_MAX];
  char user[WS_CREDENTIAL_MAX];
  char password[WS_CREDENTIAL_MAX];
};

// "scheme://host[:port]" (the port only when it is not the scheme's own),
// then the path: none or "/" becomes "/<product name>/", and a path of one
// segment gets "BIN/mod_gsoap.dll" after it; then the query, "?Service" when
// there is none. 1, or 0 with OS_ERROR_INVALID_PARAMETER when the URL cannot
// be split, is not http or https, has no host or port 0, or a part is over
// its field (a user name or password over 127 characters is refused, not cut).
int ws_SoapEndpoint(const char *server, WsEndpoint *out);

// The errors the dialog is offered.
enum WsDialogError : int {
  WS_DIALOG_UNKNOWN_CA = 12045,
  WS_DIALOG_EXPIRED = 12037,
  WS_DIALOG_NEEDS_LOGIN = 401,
  WS_DIALOG_NEEDS_PROXY_LOGIN = 407,
};
// The dialog: 1 when the user resolved the error (accepted the certificate,
// or gave a user name and password into the buffers of WS_CREDENTIAL_MAX
// bytes), 0 for Cancel.
using WsErrorDialog = int (*)(int error, const char *url, char *user, char *password);
// The plug-in's UI layer installs its dialog here (NULL takes it away); tests
// install their own.
void ws_SetErrorDialog(WsErrorDialog dialog);
// Offers the error: the dialog's answer, or 0 at once when no dialog is installed.
int ws_OfferErrorDialog(int error, const char *url, char *user, char *password);
