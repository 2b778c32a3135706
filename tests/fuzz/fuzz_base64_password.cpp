// Password texts of any bytes: decoding stops where the alphabet ends and
// encoding what was decoded gives it back.
#include <cstdint>
#include <cstring>
#include <string>

#include "plugin/dbstores/db_utils.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size < 100 ? size : 100);
  text = text.c_str();
  uint8_t out[80];
  size_t n = db_Base64Decode(text.c_str(), out, sizeof out);
  FUZZ_CHECK(n <= text.size() * 3 / 4);
  std::string again = db_Base64Encode(out, n);
  FUZZ_CHECK(again.size() % 4 == 0);
  uint8_t back[80];
  size_t m = db_Base64Decode(again.c_str(), back, sizeof back);
  FUZZ_CHECK(m == n && memcmp(out, back, n) == 0);
  uint8_t small[2];
  FUZZ_CHECK(db_Base64Decode(text.c_str(), small, sizeof small) <= sizeof small);
  return 0;
}
