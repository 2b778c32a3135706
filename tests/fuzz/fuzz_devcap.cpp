// DEVCAP.TXT of any content, read when no server answers: the count is the
// table's, the devices read are valid ones and never more than asked, and a
// bad line ends the read with -2.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "plugin/connect/cfg_requests.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Folder config = fuzz::ConfigFolder();
  FUZZ_CHECK(fuzz::WriteFile(config.linux + "/DEVCAP.TXT", data, size));
  const int cap = 8;
  DeviceCapRecord r[cap + 1];
  memset(r, 0x5a, sizeof r);
  int got = srv_GetDevices(".", "*,99", r, cap);
  FUZZ_CHECK(got == -2 || (got >= 0 && got <= cap));
  for (int i = 0; i < got; ++i) {
    size_t n = strnlen(r[i].Name, sizeof r[i].Name);
    FUZZ_CHECK(n >= 1 && n <= 8);
    for (size_t k = 0; k < n; ++k) FUZZ_CHECK(!islower(static_cast<unsigned char>(r[i].Name[k])));
    FUZZ_CHECK(r[i].Number >= 1 && r[i].Number <= 99);
    FUZZ_CHECK(r[i].RangeCount >= 1 && r[i].RangeCount <= 6);
    FUZZ_CHECK(strnlen(r[i].PrintName, sizeof r[i].PrintName) <= 24);
  }
  unsigned char guard[sizeof(DeviceCapRecord)];
  memset(guard, 0x5a, sizeof guard);
  FUZZ_CHECK(memcmp(&r[cap], guard, sizeof guard) == 0);
  int count = srv_CountDevices(".");
  FUZZ_CHECK(count >= 0);
  if (got >= 0 && got < cap) FUZZ_CHECK(got <= count);
  return 0;
}
