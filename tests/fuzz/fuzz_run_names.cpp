// Run names of any bytes against any prefix: a name a purge takes always
// begins with the prefix and ends in a whole closed stamp with the extension,
// and a run's times read back from the stamps where they stand.
#include <cstdint>
#include <cstring>
#include <string>

#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_run_name.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // First byte: prefix length; then the prefix, then the name.
  if (size == 0) return 0;
  size_t p = data[0] % 8;
  if (size < 1 + p) return 0;
  std::string prefix(reinterpret_cast<const char *>(data + 1), p);
  prefix = prefix.c_str();
  std::string name(reinterpret_cast<const char *>(data + 1 + p), size - 1 - p);
  name = name.c_str();

  LogRunName run;
  if (log_ParseRunName(name.c_str(), ".odl", &run)) {
    FUZZ_CHECK(name.size() <= LOG_RUN_NAME_MAX && name[0] != '.');
    FUZZ_CHECK(run.start >= 0 && run.end >= 0);
    FUZZ_CHECK(run.prefixLength + LOG_OPEN_STAMP_LEN <= name.size());
    FUZZ_CHECK(log_ParseStamp(name.substr(run.prefixLength, 13).c_str()) == run.start);
  }
  if (log_PurgeTakes(name.c_str(), ".odl", prefix.c_str(), INT64_MAX)) {
    FUZZ_CHECK(name.size() == prefix.size() + LOG_CLOSED_STAMP_LEN);
    for (size_t i = 0; i < prefix.size(); ++i)
      FUZZ_CHECK((name[i] | 0x20) == (prefix[i] | 0x20) || name[i] == prefix[i]);
    FUZZ_CHECK(log_ParseStamp(name.substr(prefix.size(), 13).c_str()) >= 0);
    FUZZ_CHECK(name[prefix.size() + 13] == '_');
    FUZZ_CHECK(log_ParseStamp(name.substr(prefix.size() + 14, 13).c_str()) > 0);
  }
  return 0;
}
