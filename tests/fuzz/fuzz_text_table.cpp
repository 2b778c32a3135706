// The text-table reader on any file, read as DATPROC.TXT and as LOGCAP.TXT:
// every data line is read once, in order, with its line number; each line's
// check either fills a record by the rules or leaves an error text that names
// the file and the line; the reader rewinds at the end and reads the same again.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/tables/tbl_text.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

enum : int { kFields = 8, kRecords = 64 };

bool IsData(const std::string &line) {
  size_t b = line.find_first_not_of(" \t");
  return b != std::string::npos && line[b] != '*';
}

// The data lines of the text by the table rules: lines of at most 499
// characters (the rest dropped), without their trailing CR and LF.
std::vector<std::string> DataLines(const std::string &text, std::vector<int> *numbers) {
  std::vector<std::string> out;
  size_t at = 0;
  int number = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    ++number;
    if (line.size() > TBL_LINE_MAX - 1) line.resize(TBL_LINE_MAX - 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    line = line.c_str();  // the reader keeps C texts
    if (!IsData(line)) continue;
    out.push_back(line);
    numbers->push_back(number);
  }
  return out;
}

void CheckError(const std::string &file) {
  const char *e = tbl_GetErrorText();
  FUZZ_CHECK(e != nullptr);
  FUZZ_CHECK(strlen(e) < TBL_ERROR_MAX);
  std::string head = "Can't Parse " + file + "\nLine ";
  FUZZ_CHECK(std::string(e).compare(0, head.size(), head) == 0 || strlen(e) == TBL_ERROR_MAX - 1);
}

void ReadTable(const std::string &path, const std::string &text, bool processors) {
  std::vector<int> numbers;
  std::vector<std::string> lines = DataLines(text, &numbers);
  FUZZ_CHECK(tbl_Open(path.c_str()) == static_cast<int>(lines.size()));
  for (int round = 0; round < 2; ++round) {
    ProcessorRecord records[kRecords];
    size_t k = 0;
    for (;; ++k) {
      char *fields[kFields];
      int offsets[kFields];
      int n = tbl_ReadFields(fields, offsets, kFields);
      if (n == 0) break;
      FUZZ_CHECK(n > 0 && k < lines.size());
      FUZZ_CHECK(tbl_GetLineNumber() == numbers[k]);
      // The fields are the line cut at its first commas, the last keeping the rest.
      std::string joined;
      for (int i = 0; i < n; ++i) {
        FUZZ_CHECK(offsets[i] == static_cast<int>(joined.size()));
        joined += fields[i];
        if (i + 1 < n) joined += ',';
      }
      FUZZ_CHECK(joined == lines[k]);
      if (processors && k < kRecords) {
        ProcessorRecord *r = &records[k];
        int rc = tbl_ParseProcessorLine(nullptr, r, fields, offsets, n, records);
        if (rc == -2) {
          CheckError(path);
          continue;
        }
        FUZZ_CHECK(rc == 1);
        FUZZ_CHECK(r->Name[0] != '\0' && strnlen(r->Name, sizeof r->Name) <= 8);
        for (size_t i = 0; i < sizeof r->Name && r->Name[i]; ++i) FUZZ_CHECK(!islower(static_cast<unsigned char>(r->Name[i])));
        FUZZ_CHECK(r->Run <= 1);
        FUZZ_CHECK(r->Type == 0 || r->Type == 2 || r->Type == 3 || r->Type == 6);
        FUZZ_CHECK(r->Count <= TBL_CHANNELS_MAX);
        for (size_t j = 0; j < k; ++j) FUZZ_CHECK(strncasecmp(records[j].Name, r->Name, sizeof r->Name) != 0 || records[j].Name[0] == 0);
      } else if (!processors) {
        LoggerTypeRecord t;
        int rc = tbl_ParseLoggerTypeLine(fields, n, &t);
        if (rc == -2) {
          CheckError(path);
          continue;
        }
        FUZZ_CHECK(rc == 1 && t.Name[0] && strnlen(t.Name, sizeof t.Name) <= 8);
      }
    }
    FUZZ_CHECK(k == lines.size());
    FUZZ_CHECK(tbl_GetLineNumber() == 0);  // rewound
  }
  tbl_Close();
  FUZZ_CHECK(tbl_GetLine() == nullptr && tbl_NextLine() == -1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::Root();
  fuzz::ConfigFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  static const std::string dir = fuzz::ConfigFolder().linux;
  bool processors = (data[0] & 1) == 0;
  std::string path = dir + (processors ? "/DATPROC.TXT" : "/LOGCAP.TXT");
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  FUZZ_CHECK(fuzz::WriteFile(path, text.data(), text.size()));
  ReadTable(path, text, processors);
  return 0;
}
