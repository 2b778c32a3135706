// scadasim's request delimiting on a TLS stream of any bytes: the size of the
// first request is 0 (more to come), SIZE_MAX (no request) or within the
// bytes given, and a whole request keeps its size as more bytes arrive.
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "tools/scadasim/sim_tls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *p = reinterpret_cast<const char *>(data);
  size_t r = sim_TlsRequestSize(p, size);
  FUZZ_CHECK(r == 0 || r == SIZE_MAX || (r >= 1 && r <= size));
  if (r != 0 && r != SIZE_MAX) {
    std::string more(p, size);
    more.append("PI\0", 3);
    FUZZ_CHECK(sim_TlsRequestSize(more.data(), more.size()) == r);
  }
  return 0;
}
