// The SOAP transport's reply handling on any HTTP reply body: the first byte
// picks the status (200, 500, 401, 404) and, with 4 set, a gzip body (the
// rest gzip-wrapped here); the second the caller's capacity; the rest is the
// body the SOAP layer receives. A body that is gzip itself (a seed's, or one
// the fuzzer makes) reaches the layer as it is. The call succeeds only with a
// result within the buffer, nothing is written past it, and a failure carries
// an error; the next call builds a new context. A gzip-wrapped envelope gives
// what the same envelope plain gives.
#include <zlib.h>

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

std::string Gzip(const std::string &in) {
  z_stream z{};
  FUZZ_CHECK(deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) == Z_OK);
  std::string out(deflateBound(&z, in.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  FUZZ_CHECK(deflate(&z, Z_FINISH) == Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Outcome {
  int rc;
  uint32_t error;
  std::string reply;
};

Outcome Call(int capacity) {
  std::vector<char> buf(static_cast<size_t>(capacity) + 16, 0x5a);
  int n = capacity;
  static const char kLine[] = "PI";
  os_SetLastError(0);
  int rc = con_Transact("http://fuzzhost/a/b", kLine, sizeof kLine, buf.data(), &n);
  uint32_t err = os_GetLastError();
  for (size_t i = static_cast<size_t>(capacity); i < buf.size(); ++i) FUZZ_CHECK(buf[i] == 0x5a);
  FUZZ_CHECK(n >= 0 && n <= capacity);
  if (rc == -1) FUZZ_CHECK(err != 0);
  return {rc, rc == -1 ? err : 0, std::string(buf.data(), static_cast<size_t>(n))};
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
  const bool gzip = (data[0] & 4) != 0;
  const int capacity = 1 + data[1];
  const std::string plain(reinterpret_cast<const char *>(data) + 2, size - 2);
  g_body = gzip ? Gzip(plain) : plain;
  Outcome o = Call(capacity);
  // Only an envelope has a plain twin: the SOAP library reads a plain body
  // that does not open with '<' as HTTP headers, and one that opens with the
  // gzip magic as gzip.
  if (gzip && !plain.empty() && plain[0] == '<') {
    g_body = plain;
    Outcome twin = Call(capacity);
    FUZZ_CHECK(o.rc == twin.rc);
    FUZZ_CHECK(o.error == twin.error);
    FUZZ_CHECK(o.reply == twin.reply);
  }
  return 0;
}
