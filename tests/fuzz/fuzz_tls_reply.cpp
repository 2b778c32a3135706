// The TLS transport's framing reader on any bytes from a peer, arriving in
// pieces of any size: it succeeds only with the announced length whole and
// within the buffer, never writes past the buffer, and a failure carries an
// error code. Input: capacity byte, piece-size seed byte, then the stream.
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/os_error.h"
#include "plugin/connect/con_tls.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct Stream {
  const uint8_t *data;
  size_t size, at;
  uint32_t seed;
};

uint32_t ReadSome(void *context, void *buffer, uint32_t capacity) {
  auto *s = static_cast<Stream *>(context);
  if (s->at >= s->size) return os_Fail(10054), 0;
  s->seed = s->seed * 1103515245u + 12345u;
  size_t n = 1 + (s->seed >> 16) % 7000;
  if (n > capacity) n = capacity;
  if (n > s->size - s->at) n = s->size - s->at;
  memcpy(buffer, s->data + s->at, n);
  s->at += n;
  return static_cast<uint32_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const uint32_t capacity = static_cast<uint32_t>(data[0]) * 64;
  Stream s{data + 2, size - 2, 0, data[1]};
  std::vector<char> buf(capacity + 32, 0x5a);
  uint32_t n = capacity;
  os_SetLastError(0);
  int ok = con_ReadFramedReply(ReadSome, &s, buf.data(), &n);
  FUZZ_CHECK(ok == 0 || ok == 1);
  for (size_t i = capacity; i < buf.size(); ++i) FUZZ_CHECK(buf[i] == 0x5a);
  if (ok) {
    int32_t announced;
    FUZZ_CHECK(s.size >= 4);
    memcpy(&announced, s.data, 4);
    FUZZ_CHECK(announced >= 0 && static_cast<uint32_t>(announced) == n && n <= capacity);
    FUZZ_CHECK(memcmp(buf.data(), s.data + 4, n) == 0);
  } else {
    FUZZ_CHECK(n == 0);
    FUZZ_CHECK(os_GetLastError() != 0);
  }
  return 0;
}
