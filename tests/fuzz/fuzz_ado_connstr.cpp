// Any connection string: parsed without opening anything; a parsed one names a
// file of its profile, and masking passwords is stable.
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/ado/ado.h"
#include "platform/os_path.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string cs((const char *)data, size);
  ado::ConnInfo info;
  std::string why;
  ado::HRESULT hr = ado::ado_ParseConnStr(cs, &info, &why);
  if (hr < 0) {
    FUZZ_CHECK(!why.empty());
  } else {
    FUZZ_CHECK(cs.size() <= ado::ADO_MAX_CONNSTR);
    FUZZ_CHECK(!info.path.empty());
    if (info.profile == ado::PROFILE_SQLSERVER) {
      // Always below the servers' folder, never beside it.
      const std::string hosts = std::string(os_Root()) + "/hosts/";
      FUZZ_CHECK(info.path.compare(0, hosts.size(), hosts) == 0);
      FUZZ_CHECK(info.path.find("/../") == std::string::npos);
      FUZZ_CHECK(info.path.size() > 3 && info.path.compare(info.path.size() - 3, 3, ".db") == 0);
    } else {
      FUZZ_CHECK(info.profile == ado::PROFILE_JET);
    }
  }
  const std::string masked = ado::ado_MaskPassword(cs);
  FUZZ_CHECK(ado::ado_MaskPassword(masked) == masked);
  return 0;
}
