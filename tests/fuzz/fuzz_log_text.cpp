// A "[TEXT]" section of any bytes between two fixed sections, through the
// section read, the stamp parser and entry insertion: a read stays inside
// its capacity; an insertion leaves the other sections whole and keeps the
// stamped entries in time order when they were.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/time/tm_time.h"
#include "plugin/loggers/log_text.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

const char kHead[] = "[HEADER]\r\nwell 7\r\n[TEXT]\r\n";
const char kTail[] = "[POSITIONS]\r\n23/01/01 10:00:00 1.5\r\n";

// Whether the stamped lines of a section body are in time order.
bool Ordered(const std::string &body) {
  TimeStamp prev = {0, 0, 0};
  bool first = true;
  size_t at = 0;
  while (at < body.size()) {
    size_t end = body.find("\r\n", at);
    end = end == std::string::npos ? body.size() : end + 2;
    TimeStamp t;
    size_t textAt;
    bool tf;
    if (txt_ParseStamp(body.data() + at, end - at, &t, &textAt, &tf)) {
      FUZZ_CHECK(at + textAt <= end);
      if (!first && tm_CompareStamps(&t, &prev) < 0) return false;
      prev = t;
      first = false;
    }
    at = end;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  static std::string path = fuzz::Root() + "/FZ230101_120000.txt";
  std::string body(reinterpret_cast<const char *>(data) + 1, size - 1);
  // Keep the body one section: no line of it may begin with '['.
  for (size_t i = 0; i < body.size(); ++i)
    if (body[i] == '[' && (i == 0 || body[i - 1] == '\n')) body[i] = '(';
  // Lines end with CR LF: without one the next section's header would not
  // begin a line.
  if (!body.empty() && (body.size() < 2 || body.compare(body.size() - 2, 2, "\r\n") != 0)) body += "\r\n";
  std::string file = kHead + body + kTail;
  FUZZ_CHECK(fuzz::WriteFile(path, file.data(), file.size()));

  char out[256];
  out[sizeof out - 1] = 'Z';
  uint32_t cap = sizeof out - 1;
  int n = txt_ReadSection(path.c_str(), "TEXT", out, &cap);
  FUZZ_CHECK(n >= 0 && cap <= sizeof out - 1 && out[sizeof out - 1] == 'Z');

  bool ordered = Ordered(body);
  TimeStamp at = {1672574400 + data[0], 0, 0};
  const char *text2 = data[0] & 1 ? "" : nullptr;
  FUZZ_CHECK(txt_AddEntry(path.c_str(), nullptr, at, data[0] & 2 ? "" : "fuzz", text2) == 0);
  std::string after = fuzz::ReadFile(path);
  FUZZ_CHECK(after.compare(0, strlen(kHead), kHead) == 0);
  size_t tail = after.rfind(kTail);
  FUZZ_CHECK(tail != std::string::npos && tail + strlen(kTail) == after.size());
  if (ordered) FUZZ_CHECK(Ordered(after.substr(strlen(kHead), tail - strlen(kHead))));
  return 0;
}
