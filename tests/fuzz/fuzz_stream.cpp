// Lines and base64 text read through callback streams whose read function
// hands out arbitrary pieces: nothing is lost, doubled or read past.
#include <algorithm>
#include <string>

#include "tests/fuzz/fuzz_types.h"

namespace {

struct Source {
  const uint8_t *data;
  size_t size;
  size_t pos;
  uint32_t seed;
};

ssize_t PieceRead(void *c, char *buf, size_t size) {
  Source *s = (Source *)c;
  s->seed = s->seed * 1103515245u + 12345u;
  size_t n = std::min<size_t>({size, s->size - s->pos, (s->seed >> 16) % 700 + 1});
  memcpy(buf, s->data + s->pos, n);
  s->pos += n;
  return (ssize_t)n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  Source src = {data + 1, size - 1, 0, data[0]};
  FILE *fp = stream_Open(&src, PieceRead, nullptr, nullptr, nullptr);
  FUZZ_CHECK(fp != nullptr);
  std::string joined;
  size_t len = 0;
  for (char *line; (line = stream_GetLine(fp, &len)) != nullptr;) {
    FUZZ_CHECK(len > 0);
    std::string l(line, len);
    FUZZ_CHECK(l.find('\n') == std::string::npos || l.find('\n') == len - 1);
    joined += l;
  }
  FUZZ_CHECK(joined == std::string((const char *)src.data, src.size));
  FUZZ_CHECK(stream_Close(fp) == 0);

  // The same bytes as base64 text through a lenient decoding filter stream.
  Source again = {data + 1, size - 1, 0, data[0]};
  FILE *under = stream_Open(&again, PieceRead, nullptr, nullptr, nullptr);
  Filter *dec = base64_DecoderCreate(nullptr, 0);
  FILE *fs = filter_OpenStream(under, dec, 0, "r");
  FUZZ_CHECK(fs != nullptr);
  std::string streamed;
  char buf[97];
  for (size_t n; (n = stream_Read(buf, 1, sizeof(buf), fs)) > 0;) streamed.append(buf, n);
  FUZZ_CHECK(stream_Close(fs) == 0);
  Filter *one = base64_DecoderCreate(nullptr, 0);
  void *out = nullptr;
  ssize_t n = filter_Convert(one, src.data, src.size, 1, &out, "fuzz");
  filter_Destroy(&one);
  FUZZ_CHECK(n >= 0);
  FUZZ_CHECK(streamed == std::string((const char *)out, (size_t)n));
  typed_mem_Release("fuzz", out);
  return 0;
}
