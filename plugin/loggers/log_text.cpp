#include "plugin/loggers/log_text.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_registry.h"
#include "plugin/loggers/log_format.h"

namespace {

const char kEventsName[] = "events.txt";

bool Digits2(const char *p, int *v) {
  if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return false;
  *v = (p[0] - '0') * 10 + (p[1] - '0');
  return true;
}

// Three two-digit fields separated by `sep`, at p (8 characters).
bool Triple(const char *p, size_t n, char sep, int v[3]) {
  return n >= 8 && Digits2(p, &v[0]) && p[2] == sep && Digits2(p + 3, &v[1]) && p[5] == sep && Digits2(p + 6, &v[2]);
}

// ".fff" or ".ffffff" after the time: characters used, 0 when none, -1 when bad.
int Fraction(const char *p, size_t n, TimeStamp *at) {
  if (n == 0 || p[0] != '.') return 0;
  size_t d = 1;
  while (d < n && d <= 7 && p[d] >= '0' && p[d] <= '9') ++d;
  int digits = static_cast<int>(d - 1);
  if (digits != 3 && digits != 6) return -1;
  int f = 0;
  for (int i = 1; i <= digits; ++i) f = f * 10 + (p[i] - '0');
  if (digits == 3) at->ms = static_cast<int16_t>(f);
  else at->ms = static_cast<int16_t>(f / 1000), at->us = static_cast<int16_t>(f % 1000);
  return static_cast<int>(d);
}

bool StartsWith(const std::string &line, const char *prefix, bool ignoreCase) {
  size_t n = strlen(prefix);
  if (line.size() < n) return false;
  return ignoreCase ? os_CompareNoCaseN(line.c_str(), prefix, n) == 0 : memcmp(line.data(), prefix, n) == 0;
}

std::string Bracketed(const char *section) {
  if (!section || !*section) return "[TEXT]";
  if (section[0] == '[') return section;
  return std::string("[") + section + "]";
}

bool IsTextSection(const std::string &bracketed) { return os_CompareNoCase(bracketed.c_str(), "[TEXT]") == 0; }

std::string Folder(const char *path) {
  const char *slash = strrchr(path, '\\'), *fwd = strrchr(path, '/');
  if (fwd && (!slash || fwd > slash)) slash = fwd;
  return slash ? std::string(path, static_cast<size_t>(slash - path + 1)) : std::string();
}

// Whole file; false (with the error) when it cannot be opened or read.
bool ReadWhole(const std::string &path, bool create, std::string *out) {
  OsHandle h = os_CreateFile(path.c_str(), OS_GENERIC_READ | (create ? OS_GENERIC_WRITE : 0u),
                             OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE, create ? OS_OPEN_ALWAYS : OS_OPEN_EXISTING, 0);
  if (!h && create) h = os_CreateFile(path.c_str(), OS_GENERIC_READ, 3, OS_OPEN_EXISTING, 0);  // a read-only file
  if (!h) return false;
  out->clear();
  char buf[65536];
  uint64_t at = 0;
  for (;;) {
    uint32_t got = 0;
    if (os_ReadFileAt(h, at, buf, sizeof buf, &got) != 0) return os_CloseHandle(h), false;
    if (got == 0) break;
    out->append(buf, got);
    at += got;
  }
  os_CloseHandle(h);
  return true;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    end = end == std::string::npos ? text.size() : end + 2;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

bool EndsWithCrLf(const std::string &s) { return s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0; }

// A writer's hold on one text file, across processes: a lock on a companion
// file, released when the holder ends, however it ends.
class WriterLock {
 public:
  explicit WriterLock(const std::string &textPath) {
    std::string lck = textPath + ".lck";
    h_ = os_CreateFile(lck.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, 3, OS_OPEN_ALWAYS, 0);
    if (h_ && os_LockFile(h_, 0, 1, true, true) != 0) os_CloseHandle(h_), h_ = nullptr;
  }
  ~WriterLock() {
    if (h_) os_CloseHandle(h_);
  }
  bool held() const { return h_ != nullptr; }

 private:
  OsHandle h_;
};

// Writes `content` to a copy beside the file and puts the copy in its place.
int ReplaceWith(const std::string &path, const std::string &content) {
  std::string tmp = path;
  char suffix[32];
  snprintf(suffix, sizeof suffix, " %u.tmp", os_GetCurrentProcessId());
  size_t dot = tmp.size() >= 4 && os_CompareNoCase(tmp.c_str() + tmp.size() - 4, ".txt") == 0 ? tmp.size() - 4 : std::string::npos;
  if (dot != std::string::npos) tmp.replace(dot, 4, suffix);
  else tmp = Folder(path.c_str()) + "logger" + suffix;
  OsHandle h = os_CreateFile(tmp.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, 3, OS_CREATE_ALWAYS,
                             OS_FILE_FLAG_WRITE_THROUGH);
  if (!h) return -1;
  uint32_t written = 0;
  bool ok = os_WriteFileAt(h, 0, content.data(), static_cast<uint32_t>(content.size()), &written) == 0 &&
            written == content.size();
  os_CloseHandle(h);
  if (ok && os_ReplaceFile(path.c_str(), tmp.c_str()) == 0) return 0;
  uint32_t e = os_GetLastError();
  os_DeleteFile(tmp.c_str());
  os_Fail(e ? e : OS_ERROR_WRITE_FAULT);
  return -1;
}

// The file "[TEXT]" entries go to, and whether it is the events file.
std::string EntryFile(const char *textPath, const std::string &section, bool *events) {
  *events = IsTextSection(section) && txt_EventsFileOn();
  return *events ? Folder(textPath) + kEventsName : std::string(textPath);
}

// Rewrites a time-first entry date first, date fields reversed.
std::string DateFirst(const std::string &line) {
  TimeStamp at;
  size_t textStart;
  bool timeFirst;
  if (!txt_ParseStamp(line.data(), line.size(), &at, &textStart, &timeFirst) || !timeFirst) return line;
  int t[3], d[3];
  Triple(line.data(), line.size(), ':', t);
  size_t dateAt = line.find(' ');
  Triple(line.data() + dateAt + 1, line.size() - dateAt - 1, '/', d);
  size_t fracEnd = line.find(' ');
  std::string frac = line.substr(8, fracEnd - 8);
  char head[64];
  snprintf(head, sizeof head, "%02d/%02d/%02d %02d:%02d:%02d%s ", d[2] % 100, d[1] % 100, d[0] % 100, t[0] % 100,
           t[1] % 100, t[2] % 100, frac.size() <= 7 ? frac.c_str() : "");
  return head + line.substr(textStart);
}

}  // namespace

bool txt_EventsFileOn(void) {
  if (strcmp(prod_GetProductName(), "Rimfold") == 0) return true;
  char value[32] = {0};
  uint32_t type = 0, size = sizeof value - 1;
  if (reg_AccessValue(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", OS_KEY_QUERY_VALUE, "EventsTextFile",
                      &type, value, &size) != 0)
    return false;
  return os_CompareNoCaseN(value, "ON", 2) == 0;
}

bool txt_ParseStamp(const char *line, size_t n, TimeStamp *at, size_t *textStart, bool *timeFirst) {
  int a[3], b[3];
  TimeStamp t{0, 0, 0};
  size_t p;
  int date[3], time[3];
  if (Triple(line, n, '/', a)) {  // YY/MM/DD hh:mm:ss[.f]
    if (n < 17 || line[8] != ' ' || !Triple(line + 9, n - 9, ':', b)) return false;
    int f = Fraction(line + 17, n - 17, &t);
    if (f < 0) return false;
    p = 17 + static_cast<size_t>(f);
    date[0] = a[0], date[1] = a[1], date[2] = a[2];
    memcpy(time, b, sizeof time);
    *timeFirst = false;
  } else if (Triple(line, n, ':', a)) {  // hh:mm:ss[.f] DD/MM/YY
    int f = Fraction(line + 8, n - 8, &t);
    if (f < 0) return false;
    p = 8 + static_cast<size_t>(f);
    if (n < p + 9 || line[p] != ' ' || !Triple(line + p + 1, n - p - 1, '/', b)) return false;
    p += 9;
    date[0] = b[2], date[1] = b[1], date[2] = b[0];
    memcpy(time, a, sizeof time);
    *timeFirst = true;
  } else {
    return false;
  }
  if (date[1] < 1 || date[1] > 12 || date[2] < 1 || date[2] > 31 || time[0] > 23 || time[1] > 59 || time[2] > 59)
    return false;
  char stamp[80];
  snprintf(stamp, sizeof stamp, "%02d%02d%02d_%02d%02d%02d", date[0], date[1], date[2], time[0], time[1], time[2]);
  int64_t seconds = log_ParseStamp(stamp);
  if (seconds < 0 || seconds > INT32_MAX) return false;
  t.seconds = static_cast<int32_t>(seconds);
  if (p < n && line[p] != ' ' && line[p] != '\r') return false;
  while (p < n && line[p] == ' ') ++p;
  *at = t;
  *textStart = p;
  return true;
}

std::string txt_FormatStamp(const TimeStamp &at, bool timeFirst) {
  char stamp[14];
  log_FormatStamp(at.seconds, stamp);
  char frac[16] = "";
  int ms = at.ms < 0 ? 0 : at.ms % 1000, us = at.us < 0 ? 0 : at.us % 1000;
  if (us) snprintf(frac, sizeof frac, ".%03d%03d", ms, us);
  else if (ms) snprintf(frac, sizeof frac, ".%03d", ms);
  char out[48];
  // stamp: YYMMDD_hhmmss
  if (timeFirst)
    snprintf(out, sizeof out, "%.2s:%.2s:%.2s%s %.2s/%.2s/%.2s ", stamp + 7, stamp + 9, stamp + 11, frac, stamp + 4,
             stamp + 2, stamp);
  else
    snprintf(out, sizeof out, "%.2s/%.2s/%.2s %.2s:%.2s:%.2s%s ", stamp, stamp + 2, stamp + 4, stamp + 7, stamp + 9,
             stamp + 11, frac);
  return out;
}

int txt_ReadSection(const char *textPath, const char *section, char *out, uint32_t *capacity) {
  if (!textPath || !capacity) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string name = Bracketed(section), content;
  bool text = IsTextSection(name), events = false;
  if (text && txt_EventsFileOn()) {
    std::string ev = Folder(textPath) + kEventsName;
    events = ReadWhole(ev, false, &content);
  }
  if (!events && !ReadWhole(textPath, false, &content)) return -2;
  std::vector<std::string> lines = Lines(content);
  size_t i = 0;
  if (!events) {
    while (i < lines.size() && !StartsWith(lines[i], name.c_str(), true)) ++i;
    if (i < lines.size()) ++i;
  }
  uint32_t used = 0;
  int count = 0;
  for (; i < lines.size() && (lines[i].empty() || lines[i][0] != '['); ++i) {
    std::string line = text ? DateFirst(lines[i]) : lines[i];
    if (out && uint64_t{used} + line.size() + 1 > *capacity) break;
    if (out) memcpy(out + used, line.data(), line.size());
    used += static_cast<uint32_t>(line.size());
    ++count;
  }
  if (out) out[used] = 0;
  *capacity = used + 1;
  return count;
}

int txt_ReadSectionLines(const char *textPath, const char *section, char **lines, uint32_t *lineCount, char *buf,
                         uint32_t *capacity) {
  if (!lines || !lineCount || !buf || !capacity) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint32_t cap = *capacity;
  if (txt_ReadSection(textPath, section, buf, &cap) < 0) return -1;
  uint32_t n = 0, used = cap - 1;
  char *p = buf;
  while (n < *lineCount && p < buf + used) {
    lines[n++] = p;
    char *end = strstr(p, "\r\n");
    if (!end) break;
    *end = 0;
    p = end + 2;
  }
  *lineCount = n;
  return 0;
}

int txt_ReplaceSection(const char *textPath, const char *section, const char *text) {
  if (!textPath) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string name = Bracketed(section), body = text ? text : "";
  // Without its CR LF the text would run into the next section's header.
  if (!body.empty() && !EndsWithCrLf(body)) body += "\r\n";
  WriterLock lock(textPath);
  if (!lock.held()) return -1;
  std::string content;
  if (!ReadWhole(textPath, true, &content)) return -2;
  std::vector<std::string> lines = Lines(content);
  std::string result;
  bool done = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!done && StartsWith(lines[i], name.c_str(), false)) {
      result += name + "\r\n" + body;
      while (i + 1 < lines.size() && (lines[i + 1].empty() || lines[i + 1][0] != '[')) ++i;
      done = true;
      continue;
    }
    result += lines[i];
  }
  if (!done) {
    if (!result.empty() && !EndsWithCrLf(result)) result += "\r\n";
    result += name + "\r\n" + body;
  }
  return ReplaceWith(textPath, result) == 0 ? 1 : -1;
}

int txt_AddEntry(const char *textPath, const char *section, const TimeStamp &at, const char *text, const char *text2) {
  if (!textPath) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string name = Bracketed(section);
  bool events = false;
  std::string path = EntryFile(textPath, name, &events);
  std::string newText = text ? text : "";
  std::string entry;
  if (!newText.empty()) {
    entry = txt_FormatStamp(at, events) + newText;
    if (!EndsWithCrLf(entry)) entry += "\r\n";  // exactly one line end
  }
  WriterLock lock(path);
  if (!lock.held()) return -1;
  std::string content;
  if (!ReadWhole(path, true, &content)) return -2;
  std::vector<std::string> lines = Lines(content);
  std::string result;
  size_t i = 0;
  bool inSection = events, written = false;
  if (!events) {
    for (; i < lines.size(); ++i) {
      if (StartsWith(lines[i], name.c_str(), false)) {
        result += name + "\r\n";
        ++i;
        inSection = true;
        break;
      }
      result += lines[i];
    }
  }
  const bool text2Absent = text2 == nullptr, text2Empty = text2Absent || !*text2;
  for (; inSection && !written; ++i) {
    if (i == lines.size() || (!lines[i].empty() && lines[i][0] == '[')) {  // 1
      if (!entry.empty() && !result.empty() && !EndsWithCrLf(result)) result += "\r\n";
      result += entry;
      written = true;
      break;
    }
    const std::string &line = lines[i];
    TimeStamp t;
    size_t textStart;
    bool timeFirst;
    if (!txt_ParseStamp(line.data(), line.size(), &t, &textStart, &timeFirst)) {  // 2
      result += line;
      continue;
    }
    const char *lineText = line.c_str() + textStart;
    int cmp = tm_CompareStamps(&t, &at);
    if (cmp == 0 && text2Empty && !newText.empty() &&
        os_CompareNoCaseN(lineText, newText.c_str(), newText.size()) == 0 && strlen(lineText) >= newText.size())
      continue;  // 3
    if (cmp == 0 && (text2Absent || (!text2Empty && strlen(lineText) >= strlen(text2) &&
                                     os_CompareNoCaseN(lineText, text2, strlen(text2)) == 0))) {  // 4
      if (!newText.empty()) result += entry, written = true;
      continue;
    }
    if (cmp > 0) {  // 5
      result += entry;
      written = true;
      result += line;
      continue;
    }
    result += line;  // 6
  }
  if (written || inSection) {
    for (; i < lines.size(); ++i) result += lines[i];
  } else if (!newText.empty()) {
    if (!result.empty() && !EndsWithCrLf(result)) result += "\r\n";
    result += name + "\r\n" + entry;
  }
  if (result == content) return 0;
  return ReplaceWith(path, result) == 0 ? 0 : -1;
}
