// MD5 digests, the one hash the password cipher derives its key from.
//
// On Windows the cipher's key comes from the cryptographic provider's MD5;
// here OpenSSL's libcrypto computes it. The digest is unavailable when the
// library refuses MD5 (a FIPS-only configuration): callers then fail as the
// provider-less cipher would.
#pragma once
#include <cstddef>
#include <cstdint>

// 1 when MD5 can be computed in this process (checked once, thread-safe).
int os_Md5Available(void);

// The 16-byte digest of `length` bytes at `data` in `digest`; 1, or 0 when
// MD5 is unavailable (digest untouched).
int os_Md5(const void *data, size_t length, uint8_t digest[16]);
