// Any connection string through the MySQL key reader and the password
// decode: an accepted one has every value within its bound, a user and a
// database, a port in range and a password without a zero byte; a refused
// one says why. Nothing connects.
#include <cstdint>
#include <cstring>
#include <string>

#include "plugin/loggers/log_mysql_conn.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  text = text.c_str();
  LmyKeys k;
  memset(&k, 'Z', sizeof k);
  std::string message, detail;
  int rc = lmy_ReadKeys(text.c_str(), &k, &message, &detail);
  if (rc == 0) {
    FUZZ_CHECK(message.empty());
    FUZZ_CHECK(strnlen(k.host, sizeof k.host) < sizeof k.host && k.host[0]);
    FUZZ_CHECK(strnlen(k.user, sizeof k.user) < sizeof k.user && k.user[0]);
    FUZZ_CHECK(strnlen(k.db, sizeof k.db) < sizeof k.db && k.db[0]);
    FUZZ_CHECK(strnlen(k.password, sizeof k.password) < sizeof k.password);
    FUZZ_CHECK(k.port <= 65535);
  } else {
    FUZZ_CHECK(rc == -1);
    FUZZ_CHECK(!message.empty());
    if (message == "CAN'T CONNECT TO DATABASE") FUZZ_CHECK(!detail.empty());
  }
  // The password decode alone, into a small buffer: never past it.
  char out[8];
  memset(out, 'Z', sizeof out);
  if (lmy_DecodePassword(text.c_str(), out, 6)) {
    FUZZ_CHECK(strlen(out) < 6);
    FUZZ_CHECK(text.size() % 4 != 1);
  }
  FUZZ_CHECK(out[6] == 'Z' && out[7] == 'Z');
  return 0;
}
