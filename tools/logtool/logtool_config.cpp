// logtool logger-config read|write FOLDER TYPE N: a logger configuration as
// field=value lines, in the field texts of its XML form.
#include "tools/logtool/logtool_config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "plugin/loggers/lcfg_files.h"
#include "plugin/loggers/lcfg_types.h"
#include "record/record.h"

namespace {

struct Names {
  char **names = nullptr;
  int count = 0;
  ~Names() {
    for (int i = 0; i < count; ++i) typed_mem_Release(TYPED_MEM_TEMP, names[i]);
    if (names) typed_mem_Release(TYPED_MEM_TEMP, names);
  }
};

int ReadFailed(const char *what) {
  int e = errno;
  if (e == OS_ERROR_XML_PARSE_ERROR)
    fprintf(stderr, "logtool: %s: %s\n", what, xml_GetErrorText());
  else
    fprintf(stderr, "logtool: %s: error %d\n", what, e);
  return 1;
}

int Print(const RecordType *type, const std::vector<uint8_t> &record) {
  Names n;
  n.count = structs_ListFieldNames(type, record.data(), &n.names, TYPED_MEM_TEMP);
  if (n.count < 0) return fprintf(stderr, "logtool: cannot list the fields\n"), 1;
  for (int i = 0; i < n.count; ++i) {
    char *text = structs_FieldToText(type, n.names[i], record.data(), TYPED_MEM_TEMP);
    std::string value = text ? text : "";
    if (text) typed_mem_Release(TYPED_MEM_TEMP, text);
    // One line per field: line ends inside a value are shown escaped.
    std::string shown;
    for (char c : value) shown += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    printf("%s=%s\n", n.names[i], shown.c_str());
  }
  return 0;
}

std::string Unescaped(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'r' || s[i + 1] == 'n' || s[i + 1] == '\\')) {
      out += s[i + 1] == 'r' ? '\r' : s[i + 1] == 'n' ? '\n' : '\\';
      ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

int LoggerConfigCommand(const char *verb, const char *folder, const char *typeName, const char *number) {
  char *end = nullptr;
  long n = strtol(number, &end, 10);
  LcfgKind kind = lcfg_KindOf(typeName);
  const RecordType *type = lcfg_RecordType(kind);
  if (!*number || *end || n < 0 || n > 65535) return fprintf(stderr, "logtool: bad logger number %s\n", number), 2;
  if (!type) return fprintf(stderr, "logtool: %s has no record type (stand, repub, resub)\n", typeName), 2;
  std::vector<uint8_t> record(type->size, 0);
  int size = static_cast<int>(record.size());
  bool write = strcmp(verb, "write") == 0;
  if (!write && strcmp(verb, "read") != 0) return fprintf(stderr, "logtool: read or write, not %s\n", verb), 2;
  if (lcfg_ReadLogger(folder, typeName, static_cast<int>(n), record.data(), size) != 0) {
    // A new logger starts from an empty record.
    if (!write || errno != OS_ERROR_FILE_NOT_FOUND) return ReadFailed("read");
    std::fill(record.begin(), record.end(), 0);
  }
  lcfg_RecordToXmlForm(kind, record.data());
  if (!write) return Print(type, record);
  std::string line;
  int lineNo = 0;
  while (std::getline(std::cin, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fprintf(stderr, "logtool: line %d: no '='\n", lineNo), 1;
    std::string field = line.substr(0, eq), value = Unescaped(line.substr(eq + 1));
    void *at = record.data();
    if (!structs_LocateField(type, field.c_str(), &at, 0))
      return fprintf(stderr, "logtool: line %d: <%s> no such field\n", lineNo, field.c_str()), 1;
    char ebuf[256] = "";
    if (structs_FieldFromText(type, field.c_str(), value.c_str(), record.data(), ebuf, sizeof ebuf) != 0) {
      fprintf(stderr, "logtool: line %d: <%s> %s\n", lineNo, field.c_str(), *ebuf ? ebuf : strerror(errno));
      return 1;
    }
  }
  lcfg_RecordFromXmlForm(kind, record.data());
  if (lcfg_WriteLogger(folder, nullptr, typeName, static_cast<int>(n), record.data(), size) != 0)
    return ReadFailed("write");
  return 0;
}
