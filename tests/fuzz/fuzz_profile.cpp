// Profile files of any bytes: reads stay within their buffers, and a key
// written into such a file reads back while a key of another section keeps
// its value.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os_profile.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string path = [] {
    char dir[] = "/tmp/fuzz_profile_XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    return std::string(dir) + "/information.ini";
  }();
  FILE *f = fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  fwrite(data, 1, size, f);
  fclose(f);

  char small[8], big[256];
  size_t n = os_GetProfileString("POSITION", "LATITUDE", "-", small, sizeof small, path.c_str());
  FUZZ_CHECK(n < sizeof small && strlen(small) == n);
  n = os_GetProfileSection("HEADER", big, sizeof big, path.c_str());
  FUZZ_CHECK(n < sizeof big && big[n] == '\0');
  os_GetProfileString("ZZ", "OTHER", "", big, sizeof big, path.c_str());
  std::string other = big;

  FUZZ_CHECK(os_WriteProfileString("USERLIMIT", "LIMIT", "42", path.c_str()) == 1);
  FUZZ_CHECK(os_GetProfileString("userlimit", "limit", "", small, sizeof small, path.c_str()) == 2);
  FUZZ_CHECK(strcmp(small, "42") == 0);
  os_GetProfileString("ZZ", "OTHER", "", big, sizeof big, path.c_str());
  FUZZ_CHECK(other == big);
  FUZZ_CHECK(os_WriteProfileSection("POSITION", "LATITUDE=1.5\r\nLONGITUDE=2.5\r\n", path.c_str()) == 1);
  FUZZ_CHECK(os_GetProfileString("POSITION", "LONGITUDE", "", small, sizeof small, path.c_str()) == 3);
  FUZZ_CHECK(strcmp(small, "2.5") == 0);
  return 0;
}
