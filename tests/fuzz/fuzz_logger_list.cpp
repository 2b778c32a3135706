// The "IL" reply parser on any bytes: the first byte gives the room (0 to
// 15 entries), the rest is the reply. Nothing is written past the room nor
// into the bytes after an entry's description; the fields are terminated
// within their lengths; the filled entries, formatted as a reply and parsed
// again, come back the same.
#include <cstdint>
#include <cstring>
#include <vector>

#include "plugin/loggers/lcfg_list.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr uint8_t kGuard = 0x5A;

bool Guarded(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != kGuard) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  int capacity = data[0] & 15;
  // The reply in a buffer of its own size, so reading past it is caught.
  std::vector<char> reply(data + 1, data + size);
  std::vector<LoggerListEntry> entries(static_cast<size_t>(capacity) + 1);
  memset(entries.data(), kGuard, entries.size() * sizeof(LoggerListEntry));
  int n = lcfg_ParseLoggerList(reply.data(), static_cast<int>(reply.size()), entries.data(), capacity);
  FUZZ_CHECK(n >= -1 && n <= capacity);
  FUZZ_CHECK(Guarded(reinterpret_cast<const uint8_t *>(&entries[static_cast<size_t>(capacity)]),
                     sizeof(LoggerListEntry)));
  if (n <= 0) return 0;
  for (int i = 0; i < n; ++i) {
    const LoggerListEntry &e = entries[static_cast<size_t>(i)];
    FUZZ_CHECK(Guarded(e.rest, sizeof e.rest));
    FUZZ_CHECK(memchr(e.TypeName, '\0', sizeof e.TypeName) != nullptr);
    FUZZ_CHECK(memchr(e.Description, '\0', sizeof e.Description) != nullptr);
  }
  std::vector<char> text(static_cast<size_t>(n) * 64 + 16);
  FUZZ_CHECK(lcfg_FormatLoggerList(entries.data(), n, text.data(), text.size()) > 0);
  std::vector<LoggerListEntry> again(static_cast<size_t>(n));
  FUZZ_CHECK(lcfg_ParseLoggerList(text.data(), static_cast<int>(strlen(text.data())), again.data(), n) == n);
  for (int i = 0; i < n; ++i) {
    const LoggerListEntry &a = entries[static_cast<size_t>(i)], &b = again[static_cast<size_t>(i)];
    FUZZ_CHECK(strcmp(a.TypeName, b.TypeName) == 0 && a.Number == b.Number &&
               strcmp(a.Description, b.Description) == 0);
  }
  return 0;
}
