// Stamped file names, channel tags and data-file headers from any bytes: a
// match points at 6 or 12 digits before the suffix, a tag is one or two
// letters and a number the rules allow, a header check leaves the file at
// its start and answers -1, the header's length or the file's size.
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/os_file.h"
#include "platform/os_io.h"
#include "plugin/connect/tm_utils.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

void Stamp(const std::string &text) {
  size_t cut = text.find('|');
  std::string name = text.substr(0, cut), suffix = cut == std::string::npos ? "" : text.substr(cut + 1);
  name = name.c_str();
  suffix = suffix.c_str();
  const char *p = tm_MatchStampedName(name.c_str(), suffix.c_str());
  if (!p) return;
  size_t at = static_cast<size_t>(p - name.c_str());
  FUZZ_CHECK(at < name.size());
  FUZZ_CHECK(name.size() >= suffix.size() && name.size() - suffix.size() > 1);
  for (int i = 0; i < 6; ++i) FUZZ_CHECK(Digit(p[i]));
  size_t end = name.size() - suffix.size();
  size_t digits = 0;
  for (size_t i = at; i < end; ++i) digits += Digit(name[i]);
  FUZZ_CHECK(digits == 6 || digits == 12);
}

void Tag(const std::string &text) {
  char prefix[2] = {'#', '#'};
  int32_t number = -7;
  std::string t = text.c_str();
  if (tm_ParseTag(t.c_str(), prefix, &number) != 0) return;
  FUZZ_CHECK((prefix[0] >= 'A' && prefix[0] <= 'Z') || (prefix[0] >= 'a' && prefix[0] <= 'z'));
  FUZZ_CHECK(number >= 0 && number <= 99999);
  size_t letters = prefix[1] ? 2 : 1;
  FUZZ_CHECK(t.size() > letters && t.size() <= letters + 5);
}

void Header(const uint8_t *data, size_t size) {
  static std::string path = fuzz::Root() + "/header.dat";
  FUZZ_CHECK(fuzz::WriteFile(path, data, size));
  OsHandle h = os_CreateFile(path.c_str(), OS_GENERIC_READ, 3, OS_OPEN_EXISTING, 0);
  FUZZ_CHECK(h != nullptr);
  int64_t r = tm_CheckDataFileHeader(h);
  uint64_t pos = UINT64_MAX;
  os_SetFilePointer(h, 0, OS_FILE_CURRENT, &pos);
  os_CloseHandle(h);
  FUZZ_CHECK(pos == 0);
  if (size < 6) {
    FUZZ_CHECK(r == -1);
    return;
  }
  uint32_t length;
  uint16_t type;
  memcpy(&length, data, 4);
  memcpy(&type, data + 4, 2);
  if (type >= 384 && type <= 480) length = __builtin_bswap32(length), type = __builtin_bswap16(type);
  if (type <= 0x8000 || type >= 0xE002) {
    FUZZ_CHECK(r == -1);
    return;
  }
  FUZZ_CHECK(r == (size < length ? static_cast<int64_t>(length) : static_cast<int64_t>(size)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: Stamp(text); break;
    case 1: Tag(text); break;
    default: Header(data + 1, size - 1); break;
  }
  return 0;
}
