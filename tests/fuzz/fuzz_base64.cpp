// The base64 decoder on arbitrary text (strict and lenient, two alphabets),
// fed whole and in pieces; and the encoder's output always decodes back.
#include <cerrno>
#include <string>

#include "tests/fuzz/fuzz_types.h"

namespace {

const char *const kAlphabets[] = {nullptr, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_."};

bool Convert(Filter *f, const std::string &in, std::string *out) {
  void *buf = nullptr;
  ssize_t n = filter_Convert(f, in.data(), in.size(), 1, &buf, "fuzz");
  if (n < 0) {
    FUZZ_CHECK(buf == nullptr);
    return false;
  }
  FUZZ_CHECK(((char *)buf)[n] == '\0');
  out->assign((const char *)buf, (size_t)n);
  typed_mem_Release("fuzz", buf);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  bool strict = data[0] & 1;
  const char *alphabet = kAlphabets[(data[0] >> 1) & 1];
  size_t piece = data[1] % 7 + 1;
  std::string in((const char *)data + 2, size - 2);

  Filter *dec = base64_DecoderCreate(alphabet, strict);
  FUZZ_CHECK(dec != nullptr);
  std::string whole;
  bool ok = Convert(dec, in, &whole);
  filter_Destroy(&dec);

  // The same bytes in small writes and reads.
  dec = base64_DecoderCreate(alphabet, strict);
  std::string parts;
  bool pieces_ok = true;
  char buf[5];
  for (size_t i = 0; i < in.size() && pieces_ok;) {
    size_t k = std::min(piece, in.size() - i);
    ssize_t w = filter_Write(dec, in.data() + i, k);
    if (w <= 0) {
      FUZZ_CHECK(errno == EINVAL);
      pieces_ok = false;
      break;
    }
    i += (size_t)w;
    for (ssize_t r; (r = filter_Read(dec, buf, piece % sizeof(buf) + 1)) > 0;) parts.append(buf, (size_t)r);
  }
  if (pieces_ok) {
    FUZZ_CHECK(filter_End(dec) == 0);
    for (ssize_t r; (r = filter_Read(dec, buf, sizeof(buf))) > 0;) parts.append(buf, (size_t)r);
  }
  filter_Destroy(&dec);
  FUZZ_CHECK(ok == pieces_ok);
  if (ok) FUZZ_CHECK(parts == whole);
  FUZZ_CHECK(ok || strict);

  // Encoding the input always decodes back strictly.
  Filter *enc = base64_EncoderCreate(alphabet);
  std::string text, back;
  FUZZ_CHECK(Convert(enc, in, &text));
  filter_Destroy(&enc);
  FUZZ_CHECK(text.size() == (in.size() + 2) / 3 * 4);
  dec = base64_DecoderCreate(alphabet, 1);
  FUZZ_CHECK(Convert(dec, text, &back));
  filter_Destroy(&dec);
  FUZZ_CHECK(back == in);
  return 0;
}
