#include "plugin/loggers/log_text.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/eventlog/sts_report.h"
#include "framework/registry/reg_settings.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_registry.h"
#include "plugin/connect/cfg_access.h"
#include "plugin/connect/cfg_files.h"
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

using U16 = std::u16string;

// Splits at CR LF, each line keeping its CR LF.
template <class S>
std::vector<S> Lines(const S &text) {
  std::vector<S> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = at;
    while (end + 1 < text.size() && !(text[end] == '\r' && text[end + 1] == '\n')) ++end;
    end = end + 1 < text.size() ? end + 2 : text.size();
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  return lines;
}

template <class S>
bool EndsWithCrLf(const S &s) {
  return s.size() >= 2 && s[s.size() - 2] == '\r' && s[s.size() - 1] == '\n';
}

template <class S>
bool Opens(const S &line) {
  return !line.empty() && line[0] == '[';
}

unsigned Fold(unsigned c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

// Whether line[at..] begins with prefix; ASCII letters folded when asked.
template <class S, class P>
bool BeginsWith(const S &line, size_t at, const P &prefix, bool ignoreCase) {
  if (line.size() < at || line.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    unsigned a = static_cast<std::make_unsigned_t<typename S::value_type>>(line[at + i]);
    unsigned b = static_cast<std::make_unsigned_t<typename P::value_type>>(prefix[i]);
    if (ignoreCase ? Fold(a) != Fold(b) : a != b) return false;
  }
  return true;
}

U16 Widen(const std::string &s) {
  U16 w(s.size(), u'\0');
  for (size_t i = 0; i < s.size(); ++i) w[i] = os_Cp1252ToUnicode(static_cast<uint8_t>(s[i]));
  return w;
}

std::string Narrow(const U16 &w) {
  std::string s(w.size(), '\0');
  for (size_t i = 0; i < w.size(); ++i) {
    int c = os_UnicodeToCp1252(w[i]);
    s[i] = c < 0 ? '?' : static_cast<char>(c);
  }
  return s;
}

// Stamps are ASCII: a 16-bit line is looked at as 8-bit text, one byte per
// character, so the text's start is the same index.
std::string Ascii(const std::string &s) { return s; }
std::string Ascii(const U16 &w) {
  std::string s(w.size(), '?');
  for (size_t i = 0; i < w.size(); ++i)
    if (w[i] < 128) s[i] = static_cast<char>(w[i]);
  return s;
}

template <class S>
S Same(const std::string &s);
template <>
std::string Same<std::string>(const std::string &s) { return s; }
template <>
U16 Same<U16>(const std::string &s) { return Widen(s); }

bool HasHigh(const U16 *w) {
  if (w)
    for (char16_t c : *w)
      if (c > 127) return true;
  return false;
}

U16 FromUnits(const uint16_t *p) {
  U16 w;
  if (p)
    for (; *p; ++p) w.push_back(static_cast<char16_t>(*p));
  return w;
}

// A text file as read: 8-bit, or 16-bit (UTF-16LE after the mark).
struct TextImage {
  bool wide = false;
  std::string narrow;
  U16 wideText;
};

void Decode(const std::string &bytes, TextImage *f) {
  f->wide = bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE;
  f->narrow.clear();
  f->wideText.clear();
  if (!f->wide) {
    f->narrow = bytes;
    return;
  }
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    f->wideText.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8));
}

std::string Encode(const U16 &w) {
  std::string out("\xFF\xFE", 2);
  out.reserve(2 + 2 * w.size());
  for (char16_t c : w) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

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


// A time-first "[TEXT]" line comes back date first, its text as it stands.
template <class S>
S DateFirstLine(const S &line) {
  std::string a = Ascii(line);
  TimeStamp at;
  size_t textStart;
  bool timeFirst;
  if (!txt_ParseStamp(a.data(), a.size(), &at, &textStart, &timeFirst) || !timeFirst) return line;
  return Same<S>(DateFirst(a.substr(0, textStart))) + line.substr(textStart);
}

// The section's lines (up to the next '[' line), as a read gives them.
template <class S>
std::vector<S> SectionLines(const std::vector<S> &lines, const std::string &name, bool text, bool events) {
  size_t i = 0;
  if (!events) {
    while (i < lines.size() && !BeginsWith(lines[i], 0, name, true)) ++i;
    if (i < lines.size()) ++i;
  }
  std::vector<S> out;
  for (; i < lines.size() && !Opens(lines[i]); ++i) out.push_back(text ? DateFirstLine(lines[i]) : lines[i]);
  return out;
}

// Whether some ".txt" file of the folder (other than "events.txt") already
// holds "[TEXT]" entries: its runs keep their events in their own files.
bool FolderHoldsTextEntries(const std::string &folder) {
  struct Walk {
    std::string folder;
    static int Each(const char *name, bool isDir, void *ctx) {
      size_t n = strlen(name);
      if (isDir || n < 4 || os_CompareNoCase(name + n - 4, ".txt") != 0 || os_CompareNoCase(name, kEventsName) == 0)
        return 0;
      std::string content;
      if (!ReadWhole(static_cast<Walk *>(ctx)->folder + name, false, &content)) return 0;
      TextImage f;
      Decode(content, &f);
      std::vector<std::string> lines;
      if (f.wide)
        for (const U16 &w : SectionLines(Lines(f.wideText), "[TEXT]", false, false)) lines.push_back(Ascii(w));
      else
        lines = SectionLines(Lines(f.narrow), "[TEXT]", false, false);
      for (const std::string &line : lines) {
        TimeStamp at;
        size_t textStart;
        bool timeFirst;
        if (txt_ParseStamp(line.data(), line.size(), &at, &textStart, &timeFirst)) return 1;
      }
      return 0;
    }
  } walk{folder.empty() ? std::string(".\\") : folder};
  return os_ListDirectory(walk.folder.c_str(), &Walk::Each, &walk) == 1;
}

// The file "[TEXT]" entries go to, and whether it is the events file: with
// the switch on, "events.txt" when it can be opened for writing, or when it
// cannot (not made yet) and no run of the folder keeps entries of its own.
std::string EntryFile(const char *server, const char *textPath, const std::string &section, bool *events) {
  *events = IsTextSection(section) && txt_EventsFileOn();
  if (!*events) return textPath;
  std::string ev = Folder(textPath) + kEventsName;
  if (server && *server) return ev;
  OsHandle h = os_CreateFile(ev.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                             OS_OPEN_EXISTING, 0);
  if (h) return os_CloseHandle(h), ev;
  if (FolderHoldsTextEntries(Folder(textPath))) return *events = false, textPath;
  return ev;
}

// Copies whole lines while they fit with a terminator; capacity in units of C.
template <class C, class S>
int CopyLines(const std::vector<S> &lines, C *out, uint32_t *capacity) {
  uint64_t used = 0;
  int count = 0;
  for (const S &line : lines) {
    if (out && used + line.size() + 1 > *capacity) break;
    if (out)
      for (size_t k = 0; k < line.size(); ++k) out[used + k] = static_cast<C>(line[k]);
    used += line.size();
    ++count;
  }
  if (out) out[used] = 0;
  *capacity = static_cast<uint32_t>(used + 1);
  return count;
}

template <class S>
S ReplaceIn(const std::vector<S> &lines, const std::string &name, S body) {
  // Without its CR LF the text would run into the next section's header.
  if (!body.empty() && !EndsWithCrLf(body)) body += Same<S>("\r\n");
  S result;
  bool done = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!done && BeginsWith(lines[i], 0, name, false)) {
      result += Same<S>(name + "\r\n") + body;
      while (i + 1 < lines.size() && !Opens(lines[i + 1])) ++i;
      done = true;
      continue;
    }
    result += lines[i];
  }
  if (!done) {
    if (!result.empty() && !EndsWithCrLf(result)) result += Same<S>("\r\n");
    result += Same<S>(name + "\r\n") + body;
  }
  return result;
}

// The file's lines with the entry put in time order. `newText` empty only
// removes; `text2` null is absent.
// `wideForm`: the 16-bit form's walk, which finds the section's header line
// with letter case ignored and keeps it as it stands.
template <class S>
S AddIn(const std::vector<S> &lines, const std::string &name, bool events, const TimeStamp &at, const S &newText,
        const S *text2, bool wideForm) {
  S entry;
  if (!newText.empty()) {
    entry = Same<S>(txt_FormatStamp(at, events)) + newText;
    if (!EndsWithCrLf(entry)) entry += Same<S>("\r\n");  // exactly one line end
  }
  S result;
  size_t i = 0;
  bool inSection = events, written = false;
  if (!events) {
    for (; i < lines.size(); ++i) {
      if (BeginsWith(lines[i], 0, name, wideForm)) {
        result += wideForm ? lines[i] : Same<S>(name + "\r\n");
        ++i;
        inSection = true;
        break;
      }
      result += lines[i];
    }
  }
  const bool text2Absent = text2 == nullptr, text2Empty = text2Absent || text2->empty();
  for (; inSection && !written; ++i) {
    // Readers stop at a '[' line, in "events.txt" as well: so does the walk.
    if (i == lines.size() || Opens(lines[i])) {  // 1
      if (!entry.empty() && !result.empty() && !EndsWithCrLf(result)) result += Same<S>("\r\n");
      result += entry;
      written = true;
      break;
    }
    const S &line = lines[i];
    std::string a = Ascii(line);
    TimeStamp t;
    size_t textStart;
    bool timeFirst;
    if (!txt_ParseStamp(a.data(), a.size(), &t, &textStart, &timeFirst)) {  // 2
      result += line;
      continue;
    }
    int cmp = tm_CompareStamps(&t, &at);
    if (cmp == 0 && text2Empty && !newText.empty() && BeginsWith(line, textStart, newText, true)) continue;  // 3
    if (cmp == 0 && (text2Absent || (!text2Empty && BeginsWith(line, textStart, *text2, true)))) {         // 4
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
    if (!result.empty() && !EndsWithCrLf(result)) result += Same<S>("\r\n");
    result += Same<S>(name + "\r\n") + entry;
  }
  return result;
}

// A server file read and written in pieces one request carries.
const int32_t kRemotePiece = 9999;

bool RemoteLoad(const char *server, const std::string &path, std::string *out) {
  const CfgOpen open = {OS_GENERIC_READ, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE, 1, OS_OPEN_ALWAYS, 0};
  out->clear();
  char piece[kRemotePiece];
  for (;;) {
    if (out->size() > static_cast<size_t>(INT32_MAX - kRemotePiece)) return os_Fail(CFG_FILE_TOO_LARGE), false;
    int32_t got = 0;
    if (!srv_RemoteReadFile(server, nullptr, path.c_str(), piece, kRemotePiece, static_cast<int32_t>(out->size()),
                            OS_FILE_BEGIN, &open, &got))
      return false;
    out->append(piece, static_cast<size_t>(got));
    if (got < kRemotePiece) return true;
  }
}

// Reads the section from the file a read takes it from: 8-bit or 16-bit
// lines in *narrow or *wide. The file's width, or -2 when it cannot be opened
// (0 lines for "[TEXT]" from "events.txt").
int LoadSection(const char *server, const char *textPath, const char *section, std::vector<std::string> *narrow,
                std::vector<U16> *wide) {
  std::string name = Bracketed(section), content;
  bool text = IsTextSection(name), events = false;
  auto load = [&](const std::string &path) {
    if (!server || !*server) return ReadWhole(path, false, &content);
    const CfgOpen open = {OS_GENERIC_READ, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE, 1, OS_OPEN_EXISTING, 0};
    return srv_RemoteFileOpenSize(server, path.c_str(), &open) >= 0 && RemoteLoad(server, path, &content);
  };
  if (text && txt_EventsFileOn()) events = load(Folder(textPath) + kEventsName);
  if (!events && !load(textPath)) return -2;
  TextImage f;
  Decode(content, &f);
  if (f.wide) *wide = SectionLines(Lines(f.wideText), name, text, events);
  else *narrow = SectionLines(Lines(f.narrow), name, text, events);
  return f.wide ? 1 : 0;
}

// Texts of either width for one rewrite; null pointers are absent texts.
struct NewTexts {
  const std::string *text = nullptr, *text2 = nullptr;
  const U16 *wtext = nullptr, *wtext2 = nullptr;
};

// The file image with the section replaced (replace) or the entry added. A
// 16-bit file stays 16-bit; an 8-bit one becomes 16-bit only for a 16-bit
// text an 8-bit file cannot hold.
std::string Rewritten(const std::string &content, const std::string &name, bool replace, bool events,
                      const TimeStamp &at, const NewTexts &t) {
  TextImage f;
  Decode(content, &f);
  bool wide = f.wide || HasHigh(t.wtext) || HasHigh(t.wtext2);
  if (wide) {
    U16 file = f.wide ? f.wideText : Widen(f.narrow);
    U16 text = t.wtext ? *t.wtext : t.text ? Widen(*t.text) : U16(), text2;
    const U16 *p2 = nullptr;
    if (t.wtext2 || t.text2) text2 = t.wtext2 ? *t.wtext2 : Widen(*t.text2), p2 = &text2;
    std::vector<U16> lines = Lines(file);
    return Encode(replace ? ReplaceIn(lines, name, text)
                          : AddIn(lines, name, events, at, text, p2, t.wtext != nullptr));
  }
  std::string text = t.text ? *t.text : t.wtext ? Narrow(*t.wtext) : std::string(), text2;
  const std::string *p2 = nullptr;
  if (t.wtext2 || t.text2) text2 = t.text2 ? *t.text2 : Narrow(*t.wtext2), p2 = &text2;
  std::vector<std::string> lines = Lines(f.narrow);
  return replace ? ReplaceIn(lines, name, text) : AddIn(lines, name, events, at, text, p2, t.wtext != nullptr);
}

// Writes the server file anew from `content`. The whole new image is first
// kept in a local copy: a write that fails after the first piece has cut the
// server's file, and the copy is then the only whole one, so it stays and the
// event log names it.
int RemoteStore(const char *server, const std::string &path, const std::string &content) {
  size_t cut = path.find('\\');
  const char *folder = cut == std::string::npos ? nullptr : cfg_ResolveName(path.substr(0, cut).c_str());
  if (!folder) return os_Fail(OS_ERROR_PATH_NOT_FOUND), -1;
  char suffix[32];
  snprintf(suffix, sizeof suffix, " %u.tmp", os_GetCurrentProcessId());
  std::string name = path.substr(path.rfind('\\') + 1);
  if (name.size() >= 4 && os_CompareNoCase(name.c_str() + name.size() - 4, ".txt") == 0)
    name.replace(name.size() - 4, 4, suffix);
  else
    name = std::string("logger") + suffix;
  std::string copy = std::string(folder) + "\\" + name;
  OsHandle h = os_CreateFile(copy.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, 3, OS_CREATE_ALWAYS,
                             OS_FILE_FLAG_WRITE_THROUGH);
  if (!h) return -1;
  uint32_t written = 0;
  bool ok = os_WriteFileAt(h, 0, content.data(), static_cast<uint32_t>(content.size()), &written) == 0 &&
            written == content.size();
  os_CloseHandle(h);
  if (!ok) return os_DeleteFile(copy.c_str()), os_Fail(OS_ERROR_WRITE_FAULT), -1;
  size_t at = 0;
  do {
    const CfgOpen open = {OS_GENERIC_READ | OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE, 1,
                          at == 0 ? uint32_t{OS_CREATE_ALWAYS} : uint32_t{OS_OPEN_EXISTING}, 0};
    int32_t n = static_cast<int32_t>(content.size() - at < size_t{kRemotePiece} ? content.size() - at : kRemotePiece);
    int32_t done = 0;
    if (!srv_RemoteWriteFile(server, nullptr, path.c_str(), content.data() + at, n, static_cast<int32_t>(at),
                             OS_FILE_BEGIN, &open, &done)) {
      uint32_t e = os_GetLastError();
      if (at == 0) {
        os_DeleteFile(copy.c_str());
      } else {
        char text[900];
        snprintf(text, sizeof text, "Cant write %.300s on %.200s Error %u: the whole text is kept in %.300s",
                 path.c_str(), server, e, copy.c_str());
        sts_ReportErrorEvent(".", STS_EVENT_ERROR, text);
      }
      return os_Fail(e ? e : OS_ERROR_WRITE_FAULT), -1;
    }
    at += static_cast<size_t>(n);
  } while (at < content.size());
  os_DeleteFile(copy.c_str());
  return 0;
}

// Rewrites a text file on this computer, or on the server when one is named.
int Rewrite(const char *server, const std::string &path, const std::string &name, bool replace, bool events,
            const TimeStamp &at, const NewTexts &t) {
  std::string content;
  if (server && *server) {
    if (!RemoteLoad(server, path, &content)) return -1;
    std::string out = Rewritten(content, name, replace, events, at, t);
    return out == content ? 0 : RemoteStore(server, path, out);
  }
  WriterLock lock(path);
  if (!lock.held()) return -1;
  if (!ReadWhole(path, true, &content)) return -2;
  std::string out = Rewritten(content, name, replace, events, at, t);
  if (out == content) return 0;
  return ReplaceWith(path, out) == 0 ? 0 : -1;
}

int AddEntry(const char *server, const char *textPath, const char *section, const TimeStamp &at, const NewTexts &t) {
  if (!textPath) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string name = Bracketed(section);
  bool events = false;
  std::string path = EntryFile(server, textPath, name, &events);
  return Rewrite(server, path, name, false, events, at, t);
}

int ReplaceSection(const char *server, const char *textPath, const char *section, const NewTexts &t) {
  if (!textPath) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  int rc = Rewrite(server, textPath, Bracketed(section), true, false, TimeStamp{0, 0, 0}, t);
  return rc == 0 ? 1 : rc;
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

int txt_ReadSection(const char *textPath, const char *section, char *out, uint32_t *capacity, const char *server) {
  if (!textPath || !capacity) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::vector<std::string> narrow;
  std::vector<U16> wide;
  int width = LoadSection(server, textPath, section, &narrow, &wide);
  if (width < 0) return width;
  if (width == 1)
    for (const U16 &w : wide) narrow.push_back(Narrow(w));
  return CopyLines(narrow, out, capacity);
}

int txt_ReadSectionW(const char *textPath, const char *section, uint16_t *out, uint32_t *capacity, const char *server) {
  if (!textPath || !capacity) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::vector<std::string> narrow;
  std::vector<U16> wide;
  int width = LoadSection(server, textPath, section, &narrow, &wide);
  if (width < 0) return width;
  if (width == 0)
    for (const std::string &n : narrow) wide.push_back(Widen(n));
  // Bounded in 16-bit characters, whatever the file's width.
  return CopyLines(wide, out, capacity);
}

namespace {

// Splits a read section at CR LF into terminated lines, in place.
template <class C>
void SplitLines(C *buf, uint32_t used, C **lines, uint32_t *lineCount) {
  uint32_t n = 0, at = 0;
  while (n < *lineCount && at < used) {
    lines[n++] = buf + at;
    uint32_t end = at;
    while (end + 1 < used && !(buf[end] == '\r' && buf[end + 1] == '\n')) ++end;
    if (end + 1 >= used) break;
    buf[end] = 0;
    at = end + 2;
  }
  *lineCount = n;
}

}  // namespace

int txt_ReadSectionLines(const char *textPath, const char *section, char **lines, uint32_t *lineCount, char *buf,
                         uint32_t *capacity, const char *server) {
  if (!lines || !lineCount || !buf || !capacity) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint32_t cap = *capacity;
  if (txt_ReadSection(textPath, section, buf, &cap, server) < 0) return -1;
  SplitLines(buf, cap - 1, lines, lineCount);
  return 0;
}

int txt_ReadSectionLinesW(const char *textPath, const char *section, uint16_t **lines, uint32_t *lineCount,
                          uint16_t *buf, uint32_t *capacity, const char *server) {
  if (!lines || !lineCount || !buf || !capacity) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint32_t cap = *capacity;
  if (txt_ReadSectionW(textPath, section, buf, &cap, server) < 0) return -1;
  SplitLines(buf, cap - 1, lines, lineCount);
  return 0;
}

int txt_ReplaceSection(const char *textPath, const char *section, const char *text, const char *server) {
  std::string body = text ? text : "";
  NewTexts t;
  t.text = &body;
  return ReplaceSection(server, textPath, section, t);
}

int txt_ReplaceSectionW(const char *textPath, const char *section, const uint16_t *text, const char *server) {
  U16 body = FromUnits(text);
  NewTexts t;
  t.wtext = &body;
  return ReplaceSection(server, textPath, section, t);
}

int txt_AddEntry(const char *textPath, const char *section, const TimeStamp &at, const char *text, const char *text2,
                 const char *server) {
  std::string a = text ? text : "", b = text2 ? text2 : "";
  NewTexts t;
  t.text = &a;
  t.text2 = text2 ? &b : nullptr;
  return AddEntry(server, textPath, section, at, t);
}

int txt_AddEntryW(const char *textPath, const char *section, const TimeStamp &at, const uint16_t *text,
                  const uint16_t *text2, const char *server) {
  U16 a = FromUnits(text), b = FromUnits(text2);
  NewTexts t;
  t.wtext = &a;
  t.wtext2 = text2 ? &b : nullptr;
  return AddEntry(server, textPath, section, at, t);
}

namespace {

// Where a server keeps its loggers' text files, as its file requests name it.
const char kServerLoggers[] = "TSQ_CURRENT_CONFIG\\LOGGERS\\";

bool ServersLoggerFile(const char *server) { return cfg_Road(server) == CFG_ROAD_REMOTE; }

std::string LoggerFileName(const char *type, int number) {
  return type && *type ? std::string(type) + "_" + std::to_string(number) + ".txt" : std::string();
}

}  // namespace

std::string txt_LoggerTextPath(const char *server, const char *type, int number) {
  std::string name = LoggerFileName(type, number);
  if (name.empty() || !ServersLoggerFile(server)) return name;
  return std::string("\\\\") + server + "\\" + kServerLoggers + name;
}

int txt_ReadLoggerSection(const char *server, const char *type, int number, const char *section, char *out,
                          uint32_t *capacity) {
  std::string name = LoggerFileName(type, number);
  if (name.empty()) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (!ServersLoggerFile(server)) return txt_ReadSection(name.c_str(), section, out, capacity);
  return txt_ReadSection((kServerLoggers + name).c_str(), section, out, capacity, server);
}

int txt_ReplaceLoggerSection(const char *server, const char *type, int number, const char *section,
                             const char *text) {
  std::string name = LoggerFileName(type, number);
  if (name.empty()) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (!ServersLoggerFile(server)) return txt_ReplaceSection(name.c_str(), section, text);
  return txt_ReplaceSection((kServerLoggers + name).c_str(), section, text, server);
}
