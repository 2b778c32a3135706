#include "plugin/dbstores/asset_cipher.h"

#include <cstring>

#include "platform/os_md5.h"

const char ASSET_PHRASE_PASSWORD[] = "Tq4!brn7LwzP";
const char ASSET_PHRASE_URL[] = "Tq4!brn7LwzS";

namespace {

// A padded password field is this long (the configuration pads with spaces).
constexpr size_t kPaddedField = 256;

void Rc4(const uint8_t key[16], const uint8_t *in, uint8_t *out, size_t length) {
  uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s[i] + key[i % 16]);
    uint8_t t = s[i]; s[i] = s[j]; s[j] = t;
  }
  uint8_t a = 0;
  j = 0;
  for (size_t n = 0; n < length; ++n) {
    a = static_cast<uint8_t>(a + 1);
    j = static_cast<uint8_t>(j + s[a]);
    uint8_t t = s[a]; s[a] = s[j]; s[j] = t;
    out[n] = in[n] ^ s[static_cast<uint8_t>(s[a] + s[j])];
  }
}

// Both keys of a phrase: [0] the 40-bit one, [1] the 128-bit one.
bool DeriveKeys(const char *phrase, uint8_t keys[2][16]) {
  if (phrase == nullptr || !asset_CryptoAvailable()) return false;
  uint8_t digest[16];
  if (!os_Md5(phrase, strlen(phrase), digest)) return false;
  memset(keys[0], 0, 16);
  memcpy(keys[0], digest, 5);
  memcpy(keys[1], digest, 16);
  return true;
}

bool Printable(const uint8_t *text, size_t length) {
  for (size_t n = 0; n < length; ++n)
    if (text[n] < 0x20 || text[n] > 0x7e) return false;
  return true;
}

// A field-sized text normally ends in its padding.
bool Plausible(const uint8_t *text, size_t length) {
  return Printable(text, length) && (length != kPaddedField || text[length - 1] == ' ');
}

}  // namespace

int asset_CryptoAvailable(void) { return os_Md5Available(); }

size_t asset_EncryptPassword(const char *plain, uint8_t *out, size_t size, const char *phrase) {
  if (plain == nullptr || out == nullptr) return 0;
  size_t length = strnlen(plain, ASSET_CIPHER_MAX_TEXT + 1);
  if (length == 0 || length > ASSET_CIPHER_MAX_TEXT || length > size) return 0;
  uint8_t keys[2][16];
  if (!DeriveKeys(phrase, keys)) return 0;
  Rc4(keys[0], reinterpret_cast<const uint8_t *>(plain), out, length);
  return length;
}

int asset_DecryptPassword(const uint8_t *cipher, size_t length, char *out, size_t size,
                          const char *phrase) {
  if ((cipher == nullptr && length > 0) || out == nullptr) return 0;
  if (length > ASSET_CIPHER_MAX_TEXT || length + 1 > size) return 0;
  uint8_t keys[2][16];
  if (!DeriveKeys(phrase, keys)) return 0;
  uint8_t work[ASSET_CIPHER_MAX_TEXT], other[ASSET_CIPHER_MAX_TEXT];
  Rc4(keys[0], cipher, work, length);
  const uint8_t *text = work;
  if (!Plausible(work, length)) {
    // RC4 cannot tell a wrong key; a text that is not printable shows one.
    // A password that fills the whole field has no padding: printable is
    // then enough, the 40-bit text first.
    Rc4(keys[1], cipher, other, length);
    if (Plausible(other, length))
      text = other;
    else if (!Printable(work, length))
      text = Printable(other, length) ? other : nullptr;
    if (!text) return 0;
  }
  memcpy(out, text, length);
  out[length] = '\0';
  return 1;
}
