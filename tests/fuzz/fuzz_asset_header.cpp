// An asset folder's "information.ini" of any bytes, and a server's "LF"
// reply of the same bytes: the header, its lines without the level names and
// its named values stay within their buffers and terminated, a number value
// reads back from its text, a user limit and a position are read or refused;
// a refused remote position leaves the outputs as they were. Input: header
// capacity byte, value capacity byte, then the file.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_registry.h"
#include "plugin/dbstores/asset_folders.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_memory_server.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

const char kGuard = 0x5a;
const char *kRoot = "C:\\FZASSETS";
const char *kFolder = "C:\\FZASSETS\\E\\FRANCE\\ACME";
const char *kBelow = "C:\\FZASSETS\\E\\FRANCE\\ACME\\NORTH";
std::string g_ini;

bool Guarded(const std::vector<char> &buf, size_t from) {
  for (size_t i = from; i < buf.size(); ++i)
    if (buf[i] != kGuard) return false;
  return true;
}

// The header (or its extra lines, none when each names a level) into `cap`
// bytes: the lines end in CR LF and nothing is written past the terminator;
// a refusal writes nothing. -1 for a refusal, else the text's length.
long Header(int (*read)(const char *, const char *, char *, size_t), size_t cap) {
  std::vector<char> buf(cap + 16, kGuard);
  int ok = read(".", kBelow, buf.data(), cap);
  FUZZ_CHECK(ok == 0 || ok == 1);
  if (!ok) {
    FUZZ_CHECK(Guarded(buf, 0));
    return -1;
  }
  const char *end = static_cast<const char *>(memchr(buf.data(), 0, cap));
  FUZZ_CHECK(end != nullptr);
  std::string text(buf.data(), static_cast<size_t>(end - buf.data()));
  FUZZ_CHECK(text.empty() || (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0));
  FUZZ_CHECK(Guarded(buf, text.size() + 1));
  return static_cast<long>(text.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string disk = fuzz::Root() + "/drives/c/FZASSETS/E/FRANCE/ACME";
  std::filesystem::create_directories(disk + "/NORTH");
  g_ini = disk + "/information.ini";
  OsHKey k = nullptr;
  if (os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine\\FIELDTOBASE", 0, OS_KEY_ALL_ACCESS,
                        nullptr, &k, nullptr) != 0)
    abort();
  os_RegSetValueEx(k, "ROOT", OS_REG_SZ, kRoot, static_cast<uint32_t>(strlen(kRoot) + 1));
  os_RegCloseKey(k);
  fuzz::UseMemoryServer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const size_t headerCap = static_cast<size_t>(data[0]) * 4;
  const int valueCap = data[1] % (ASSET_VALUE_MAX + 8);
  FUZZ_CHECK(fuzz::WriteFile(g_ini, data + 2, size - 2));
  fuzz::SetMemoryReply(data + 2, size - 2);

  long whole = Header(asset_GetHeader, headerCap);
  long extra = Header(asset_GetHeaderExtra, headerCap);
  // The extra lines are some of the header's: they fit where it fits.
  if (whole >= 0) FUZZ_CHECK(extra >= 0 && extra <= whole);

  std::vector<AssetHeaderValue> values(static_cast<size_t>(valueCap) + 1);
  memset(values.data(), kGuard, values.size() * sizeof(AssetHeaderValue));
  int n = asset_HeaderValues(".", kBelow, values.data(), valueCap);
  FUZZ_CHECK(n >= 0 && n <= valueCap && n <= ASSET_VALUE_MAX);
  for (int i = 0; i < n; ++i) {
    const AssetHeaderValue &v = values[static_cast<size_t>(i)];
    FUZZ_CHECK(memchr(v.name, 0, sizeof v.name) && memchr(v.text, 0, sizeof v.text));
    FUZZ_CHECK(v.kind == ASSET_VALUE_TEXT || v.kind == ASSET_VALUE_INT || v.kind == ASSET_VALUE_FLOAT);
    if (v.kind == ASSET_VALUE_FLOAT) FUZZ_CHECK(strtod(v.text, nullptr) == v.number || std::isnan(v.number));
    if (v.kind == ASSET_VALUE_INT) FUZZ_CHECK(static_cast<double>(strtoll(v.text, nullptr, 10)) == v.number);
  }
  const char *past = reinterpret_cast<const char *>(&values[static_cast<size_t>(valueCap)]);
  for (size_t i = 0; i < sizeof(AssetHeaderValue); ++i) FUZZ_CHECK(past[i] == kGuard);

  int limit = asset_GetUserLimit(kFolder);
  (void)limit;
  double lat = 99, lon = 99;
  FUZZ_CHECK(asset_PositionBelow(kRoot, kBelow, &lat, &lon) == 1);

  lat = lon = 1234.5;
  int got = asset_GetPosition(fuzz::kMemoryServer, kBelow, &lat, &lon);
  FUZZ_CHECK(got == 0 || got == 1);
  if (!got) FUZZ_CHECK(lat == 1234.5 && lon == 1234.5);
  return 0;
}
