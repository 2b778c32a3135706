#include "plugin/connect/ws_endpoint.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/registry/reg_settings.h"
#include "framework/server/srv_client.h"
#include "platform/os_error.h"

namespace {
std::atomic<WsErrorDialog> g_dialog{nullptr};
}  // namespace

int ws_SoapEndpoint(const char *server, WsEndpoint *out) {
  SrvUrlComponents url;
  if (!server || !out || !srv_CrackUrl(server, 0, 0, &url)) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  // Any other URL would give an endpoint that names no web server (port 0 is
  // one written out: no server listens there, and leaving it out would pick 80).
  if ((url.scheme != SRV_SCHEME_HTTP && url.scheme != SRV_SCHEME_HTTPS) || !url.host[0] || !url.port)
    return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  if (strlen(url.user) >= WS_CREDENTIAL_MAX || strlen(url.password) >= WS_CREDENTIAL_MAX ||
      strlen(url.host) >= WS_HOST_MAX || strlen(url.path) >= WS_PATH_MAX || strlen(url.schemeText) >= SRV_URL_SCHEME_MAX)
    return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  std::string endpoint = std::string(url.schemeText) + "://" + url.host;
  uint16_t own = url.scheme == SRV_SCHEME_HTTPS ? 443 : 80;
  if (url.port != own) endpoint += ":" + std::to_string(url.port);
  std::string path = url.path;
  // The splitter takes '\' as a path separator too; on the wire it must be '/'.
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || path == "/") path = "/" + std::string(prod_GetProductName()) + "/";
  size_t slash = path.find('/', 1);
  if (slash == std::string::npos) slash = path.size();
  std::string rest = path.substr(slash);
  if (rest.empty() || rest == "/") path = path.substr(0, slash) + "/BIN/mod_gsoap.dll";
  endpoint += path;
  endpoint += url.extra[0] ? url.extra : "?Service";
  if (endpoint.size() >= WS_ENDPOINT_MAX) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  snprintf(out->url, sizeof out->url, "%s", endpoint.c_str());
  // Both fit: their lengths were checked above.
  memcpy(out->user, url.user, strlen(url.user) + 1);
  memcpy(out->password, url.password, strlen(url.password) + 1);
  return 1;
}

void ws_SetErrorDialog(WsErrorDialog dialog) { g_dialog.store(dialog); }

int ws_OfferErrorDialog(int error, const char *url, char *user, char *password) {
  WsErrorDialog dialog = g_dialog.load();
  return dialog ? dialog(error, url, user, password) : 0;
}
