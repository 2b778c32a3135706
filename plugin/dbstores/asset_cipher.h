// The password cipher of stored logger settings: RC4 under a key derived from
// a fixed pass phrase. The key is the first 5 bytes of MD5(phrase) followed by
// 11 zero bytes (the base provider's 40-bit derivation). Files written where
// the enhanced provider was the default hold texts under all 16 MD5 bytes;
// decryption falls back to that key when the 40-bit text is not plausible.
// "enc:" and the hexadecimal form around the bytes belong to the callers.
#pragma once
#include <cstddef>
#include <cstdint>

// The phrase of the logger configurations' password fields.
extern const char ASSET_PHRASE_PASSWORD[];
// The phrase of the passwords inside server URLs.
extern const char ASSET_PHRASE_URL[];

// Plain texts longer than this are refused.
constexpr size_t ASSET_CIPHER_MAX_TEXT = 999;

// 1 when the cipher can run (MD5 is available).
int asset_CryptoAvailable(void);

// Enciphers the characters of `plain` (without terminator) into `out`
// (`size` bytes). The number of cipher bytes, or 0 on failure (empty, longer
// than ASSET_CIPHER_MAX_TEXT, `size` too small, no MD5); `out` is then untouched.
size_t asset_EncryptPassword(const char *plain, uint8_t *out, size_t size, const char *phrase);

// Deciphers `length` bytes into `out` (`size` bytes, room for the terminator).
// Nonzero on success; 0 on failure (longer than ASSET_CIPHER_MAX_TEXT, `size`
// too small, no MD5, or a byte outside printable ASCII under both keys, as
// a wrong phrase gives), `out` then untouched.
int asset_DecryptPassword(const uint8_t *cipher, size_t length, char *out, size_t size,
                          const char *phrase);
