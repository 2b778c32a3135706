// Logger configuration XML of any content, read as each of the three logger
// types: the read fails with 1465 and a text that says why, or the record it
// gives is written and read back; a second round gives the same bytes (the
// first may drop what has no written form, as a password's trailing spaces).
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "plugin/loggers/lcfg_files.h"
#include "plugin/loggers/lcfg_types.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

const char *const kTypes[3] = {"stand", "repub", "resub"};

fuzz::Folder Loggers() {
  static fuzz::Folder f = [] {
    fuzz::Folder c = fuzz::ConfigFolder();
    fuzz::SetServerText("ReadXML", "ON");
    fuzz::SetServerText("WriteXML", "XML");
    fuzz::Folder l{c.win + "\\LOGGERS", c.linux + "/LOGGERS"};
    std::filesystem::create_directories(l.linux);
    return l;
  }();
  return f;
}

std::vector<uint8_t> ReadBack(const fuzz::Folder &f, const char *type, int n, size_t size) {
  std::vector<uint8_t> r(size, 0xA5);
  FUZZ_CHECK(lcfg_ReadLogger(f.win.c_str(), type, n, r.data(), static_cast<int>(size)) == 0);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::Root();
  Loggers();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const fuzz::Folder f = Loggers();
  const char *type = kTypes[data[0] % 3];
  size_t record = lcfg_RecordSize(lcfg_KindOf(type));
  FUZZ_CHECK(fuzz::WriteFile(f.linux + "/" + type + "_1.xml", data + 1, size - 1));
  std::vector<uint8_t> first(record, 0xA5);
  xml_ClearError();
  errno = 0;
  int rc = lcfg_ReadLogger(f.win.c_str(), type, 1, first.data(), static_cast<int>(record));
  if (rc != 0) {
    FUZZ_CHECK(rc == -1);
    FUZZ_CHECK(errno == OS_ERROR_XML_PARSE_ERROR);
    FUZZ_CHECK(xml_GetError() < 0);
    std::string why = xml_GetErrorText();
    size_t dash = why.find(" - ");
    FUZZ_CHECK(dash != std::string::npos && dash + 3 < why.size());
    return 0;
  }
  FUZZ_CHECK(lcfg_WriteLogger(f.win.c_str(), nullptr, type, 2, first.data(), static_cast<int>(record)) == 0);
  std::vector<uint8_t> second = ReadBack(f, type, 2, record);
  FUZZ_CHECK(lcfg_WriteLogger(f.win.c_str(), nullptr, type, 3, second.data(), static_cast<int>(record)) == 0);
  std::vector<uint8_t> third = ReadBack(f, type, 3, record);
  FUZZ_CHECK(second == third);
  return 0;
}
