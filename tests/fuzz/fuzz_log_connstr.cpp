// Connection strings of any bytes through the key helpers and the run
// resolver: a taken key shortens the string by at least the key, a value is
// copied only within its capacity, an untaken one leaves the string as it
// was, and a resolved string never passes its capacity.
#include <cstdint>
#include <cstring>
#include <string>

#include "plugin/loggers/log_store.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  text = text.c_str();
  std::string conn = text;
  char value[16];
  memset(value, 'Z', sizeof value);
  uint32_t cap = data[0] % 12;
  int rc = log_TakeLoggerName(conn.data(), &cap, value);
  conn = conn.c_str();
  if (rc) {
    FUZZ_CHECK(conn.size() + strlen(";LoggerName=") <= text.size());
    FUZZ_CHECK(strlen(value) < data[0] % 12u);
  } else {
    FUZZ_CHECK(conn == text);
  }
  FUZZ_CHECK(value[12] == 'Z');

  std::string seqConn = text;
  int32_t seq = 0;
  if (log_TakeLoggerSeq(seqConn.data(), &seq)) FUZZ_CHECK(strlen(seqConn.c_str()) + 11 <= text.size());
  else FUZZ_CHECK(seqConn == text);

  const char *resolved = log_ResolveRun(text.c_str());
  if (resolved) FUZZ_CHECK(strlen(resolved) <= LOG_CONNSTR_MAX);
  int kind = log_ProviderKind(text.c_str());
  FUZZ_CHECK(kind >= -1 && kind <= 3);
  log_SanitizeName(text.data());
  FUZZ_CHECK(strpbrk(text.c_str(), " #&*=+?!^(){}~<>:-") == nullptr);
  FUZZ_CHECK(log_CountLines(text.c_str()) >= 0);
  return 0;
}
