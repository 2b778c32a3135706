// Cipher texts of any bytes and lengths under either phrase: decryption either
// gives a printable text of the same length, which enciphers and deciphers back
// to itself, or fails without touching its output.
#include <cstdint>
#include <cstring>
#include <vector>

#include "plugin/dbstores/asset_cipher.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const char *phrase = (data[0] & 1) ? ASSET_PHRASE_URL : ASSET_PHRASE_PASSWORD;
  const uint8_t *cipher = data + 1;
  size_t length = size - 1;
  std::vector<char> out(length + 2, '\x01');
  int ok = asset_DecryptPassword(cipher, length, out.data(), out.size(), phrase);
  if (!ok) {
    for (char c : out) FUZZ_CHECK(c == '\x01');
    return 0;
  }
  FUZZ_CHECK(length <= ASSET_CIPHER_MAX_TEXT);
  FUZZ_CHECK(strlen(out.data()) == length);
  for (size_t i = 0; i < length; ++i) FUZZ_CHECK(out[i] >= 0x20 && out[i] <= 0x7e);
  if (length == 0) return 0;
  std::vector<uint8_t> again(length);
  FUZZ_CHECK(asset_EncryptPassword(out.data(), again.data(), again.size(), phrase) == length);
  std::vector<char> back(length + 1);
  FUZZ_CHECK(asset_DecryptPassword(again.data(), length, back.data(), back.size(), phrase));
  FUZZ_CHECK(memcmp(back.data(), out.data(), length + 1) == 0);
  return 0;
}
