// Translation files of any bytes: loading ends in success or a message,
// and a translation stays within its result's bound.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "plugin/dbstores/db_utils.h"
#include "tests/fuzz/fuzz_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string dir = [] {
    std::string d = fuzz::Root() + "/drives/c/fuzztr";
    std::filesystem::create_directories(d);
    os_SetEnvironmentVariable("TSQ_TRANSLATIONS", "C:\\fuzztr");
    return d;
  }();
  if (size < 1) return 0;
  bool csv = data[0] & 1;
  std::filesystem::remove(dir + "/tags.txt");
  std::filesystem::remove(dir + "/tags.csv");
  FUZZ_CHECK(fuzz::WriteFile(dir + (csv ? "/tags.csv" : "/tags.txt"), data + 1, size - 1));
  char message[TR_MESSAGE_SIZE] = "";
  int r = tr_LoadTranslationTable(".", TR_TAGS, "tags", message);
  FUZZ_CHECK(r == 0 || r == -1);
  FUZZ_CHECK(r == 0 || message[0] != '\0');
  FUZZ_CHECK(strnlen(message, sizeof message) < sizeof message);
  // Look up a text from the file itself, and an over-long one.
  std::string probe(reinterpret_cast<const char *>(data) + 1, size - 1 < 40 ? size - 1 : 40);
  probe = probe.substr(0, probe.find_first_of("\t,\r\n"));
  char16_t out[17];
  out[16] = u'#';
  int t = tr_Translate(TR_TAGS, probe.c_str(), out, 16);
  FUZZ_CHECK(t == 0 || t == 1);
  FUZZ_CHECK(out[16] == u'#');
  size_t n = 0;
  while (n < 16 && out[n]) ++n;
  FUZZ_CHECK(n < 16);
  tr_FreeTranslations();
  return 0;
}
