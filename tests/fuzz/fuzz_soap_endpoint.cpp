// Server texts of any bytes as a user types them into the SOAP connection:
// an accepted one gives terminated fields, the credentials the URL held, and
// an endpoint that splits again into the same host and port with no
// credentials and a query (when it is no longer than a server string may
// be); a refused one fails with 87 and writes nothing.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/registry/srv_hosts.h"
#include "platform/os_error.h"
#include "plugin/connect/ws_endpoint.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string server(reinterpret_cast<const char *>(data), size);
  WsEndpoint out;
  memset(&out, 0x5a, sizeof out);
  os_SetLastError(0);
  int ok = ws_SoapEndpoint(server.c_str(), &out);
  FUZZ_CHECK(ok == 0 || ok == 1);
  if (!ok) {
    FUZZ_CHECK(os_GetLastError() == OS_ERROR_INVALID_PARAMETER);
    for (size_t i = 0; i < sizeof out; ++i) FUZZ_CHECK(reinterpret_cast<const uint8_t *>(&out)[i] == 0x5a);
    return 0;
  }
  FUZZ_CHECK(memchr(out.url, 0, sizeof out.url) && memchr(out.user, 0, sizeof out.user) &&
             memchr(out.password, 0, sizeof out.password));
  SrvUrlComponents given, built;
  FUZZ_CHECK(srv_CrackUrl(server.c_str(), 0, 0, &given));
  FUZZ_CHECK(strcmp(out.user, given.user) == 0 && strcmp(out.password, given.password) == 0);
  // What it adds may take the endpoint past what a server string may be.
  if (strlen(out.url) > SRV_SERVER_MAX) return 0;
  if (!srv_CrackUrl(out.url, 0, 0, &built)) {
    fprintf(stderr, "endpoint \"%s\" does not split again\n", out.url);
    FUZZ_CHECK(false);
  }
  if (strcmp(built.schemeText, given.schemeText) != 0 || strcmp(built.host, given.host) != 0 ||
      built.port != given.port) {
    fprintf(stderr, "endpoint \"%s\" splits into %s %s %u, the server's \"%s\" into %s %s %u\n", out.url,
            built.schemeText, built.host, built.port, server.c_str(), given.schemeText, given.host, given.port);
    FUZZ_CHECK(false);
  }
  if (built.user[0] || built.password[0] || built.path[0] != '/' || (built.extra[0] != '?' && built.extra[0] != '#')) {
    fprintf(stderr, "endpoint \"%s\" splits into user \"%s\", path \"%s\", extra \"%s\"\n", out.url, built.user,
            built.path, built.extra);
    FUZZ_CHECK(false);
  }
  return 0;
}
