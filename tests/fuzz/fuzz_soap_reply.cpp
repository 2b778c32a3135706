// The SOAP transport's reply handling on any HTTP reply body: the first byte
// picks the status (200, 500, 401, 404), the second the caller's capacity,
// the rest is the body the SOAP layer receives. The call succeeds only with a
// result within the buffer, nothing is written past it, and a failure carries
// an error; the next call builds a new context.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "platform/os_http.h"
#include "plugin/connect/con_transports.h"
#include "plugin/connect/ws_soap.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::string g_body;
int g_status;

uint32_t Post(OsHttp *, const OsHttpRequest &, int *status, std::string *body) {
  *status = g_status;
  *body = g_body;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  con_InstallTransports();
  ws_SetPost(Post);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  static const int kStatus[] = {200, 500, 401, 404};
  g_status = kStatus[data[0] % 4];
  const int capacity = 1 + data[1];
  g_body.assign(reinterpret_cast<const char *>(data) + 2, size - 2);
  std::vector<char> buf(static_cast<size_t>(capacity) + 16, 0x5a);
  int n = capacity;
  static const char kLine[] = "PI";
  os_SetLastError(0);
  int rc = con_Transact("http://fuzzhost/a/b", kLine, sizeof kLine, buf.data(), &n);
  for (size_t i = static_cast<size_t>(capacity); i < buf.size(); ++i) FUZZ_CHECK(buf[i] == 0x5a);
  FUZZ_CHECK(n >= 0 && n <= capacity);
  if (rc == -1) FUZZ_CHECK(os_GetLastError() != 0);
  return 0;
}
