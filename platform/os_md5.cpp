#include "platform/os_md5.h"

#include <openssl/evp.h>

#include <cstring>
#include <mutex>

int os_Md5(const void *data, size_t length, uint8_t digest[16]) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data, length, out, &size, EVP_md5(), nullptr) != 1 || size != 16) return 0;
  memcpy(digest, out, 16);
  return 1;
}

int os_Md5Available(void) {
  static std::once_flag once;
  static int available = 0;
  std::call_once(once, [] {
    // RFC 1321's vector for "abc": a provider that answers wrongly is no provider.
    static const uint8_t expect[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                       0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    uint8_t d[16];
    available = os_Md5("abc", 3, d) && memcmp(d, expect, 16) == 0;
  });
  return available;
}
