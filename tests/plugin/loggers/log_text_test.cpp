#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "plugin/loggers/log_text.h"
#include "tests/support/test_root.h"

namespace {

void SetEventsSwitch(const char *value) {
  OsHKey key;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
            0);
  ASSERT_EQ(os_RegSetValueEx(key, "EventsTextFile", OS_REG_SZ, value, uint32_t(strlen(value) + 1)), 0);
  os_RegCloseKey(key);
}

class LogTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    win_ = std::string("C:\\lt\\") + name;
    dir_ = tnwtest::Root() + "/drives/c/lt/" + name;
    ASSERT_EQ(os_MakeFolders(dir_.c_str()), 0);
    SetEventsSwitch("OFF");
  }
  std::string W(const std::string &n) const { return win_ + "\\" + n; }
  std::string L(const std::string &n) const { return dir_ + "/" + n; }
  std::string win_, dir_;
};

const TimeStamp kNoon = {1672574400, 0, 0};  // 23/01/01 12:00:00

// An ASCII text as a 16-bit file: the mark, then each character in two bytes.
std::string Wide(const std::string &ascii) {
  std::string out("\xFF\xFE", 2);
  for (char c : ascii) out += std::string(1, c) + '\0';
  return out;
}
std::u16string Units(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }
const uint16_t *U(const std::u16string &s) { return reinterpret_cast<const uint16_t *>(s.c_str()); }

// The 8-bit forms, or the 16-bit ones with the same (ASCII) texts.
int Replace(const char *p, bool wide, const char *section, const char *text) {
  if (!wide) return txt_ReplaceSection(p, section, text);
  return txt_ReplaceSectionW(p, section, U(Units(text)));
}
int Add(const char *p, bool wide, const char *section, const TimeStamp &at, const char *text, const char *text2) {
  if (!wide) return txt_AddEntry(p, section, at, text, text2);
  std::u16string a = Units(text), b = text2 ? Units(text2) : std::u16string();
  return txt_AddEntryW(p, section, at, U(a), text2 ? U(b) : nullptr);
}

TEST(LogTextStamps, ParseAndFormat) {
  struct Case {
    const char *line;
    bool ok, timeFirst;
    int32_t seconds;
    int16_t ms, us;
    const char *text;
  } cases[] = {
      {"23/01/01 12:00:00 pump on\r\n", true, false, 1672574400, 0, 0, "pump on\r\n"},
      {"23/01/01 12:00:00.250 x", true, false, 1672574400, 250, 0, "x"},
      {"23/01/01 12:00:00.250125   x", true, false, 1672574400, 250, 125, "x"},
      {"12:00:00.250 01/01/23 x", true, true, 1672574400, 250, 0, "x"},
      {"12:00:00.000007 01/01/23 x", true, true, 1672574400, 0, 7, "x"},
      {"23/01/01 12:00:00.25 x", false, false, 0, 0, 0, ""},
      {"23/13/01 12:00:00 x", false, false, 0, 0, 0, ""},
      {"[TEXT]", false, false, 0, 0, 0, ""},
      {"12:00", false, false, 0, 0, 0, ""},
      {"", false, false, 0, 0, 0, ""},
  };
  for (const Case &c : cases) {
    TimeStamp t;
    size_t at = 0;
    bool tf = false;
    std::string line = c.line;
    EXPECT_EQ(txt_ParseStamp(line.data(), line.size(), &t, &at, &tf), c.ok) << c.line;
    if (!c.ok) continue;
    EXPECT_EQ(tf, c.timeFirst) << c.line;
    EXPECT_EQ(t.seconds, c.seconds) << c.line;
    EXPECT_EQ(t.ms, c.ms) << c.line;
    EXPECT_EQ(t.us, c.us) << c.line;
    EXPECT_EQ(line.substr(at), c.text) << c.line;
  }
  EXPECT_EQ(txt_FormatStamp({1672574400, 0, 0}, false), "23/01/01 12:00:00 ");
  EXPECT_EQ(txt_FormatStamp({1672574400, 250, 0}, false), "23/01/01 12:00:00.250 ");
  EXPECT_EQ(txt_FormatStamp({1672574400, 250, 125}, true), "12:00:00.250125 01/01/23 ");
  EXPECT_EQ(txt_FormatStamp({1672574400, 0, 7}, true), "12:00:00.000007 01/01/23 ");
}

// (file before, operation, file after): sections, order, line ends.
TEST_F(LogTextTest, RewritesAsImages) {
  const std::string hdr = "[HEADER]\r\nwell 7\r\n";
  const std::string t0 = "23/01/01 11:00:00 early\r\n", t1 = "23/01/01 12:00:00 first\r\n",
                    t2 = "23/01/01 12:00:00 second\r\n", t3 = "23/01/01 13:00:00 late\r\n";
  const std::string pos = "[POSITIONS]\r\n23/01/01 10:00:00 1.5\r\n";
  struct Case {
    const char *what;
    std::string before;
    std::function<int(const char *path, bool wide)> op;
    int rc;
    std::string after;
  } cases[] = {
      {"replace a missing section appends it", "[TEXT]\r\n" + t1,
       [](const char *p, bool w) { return Replace(p, w, "HEADER", "well 9\r\n"); }, 1,
       "[TEXT]\r\n" + t1 + "[HEADER]\r\nwell 9\r\n"},
      {"replaced text without CR LF keeps the next header apart", hdr + "[TEXT]\r\n" + t1,
       [](const char *p, bool w) { return Replace(p, w, "[HEADER]", "well 9"); }, 1,
       "[HEADER]\r\nwell 9\r\n[TEXT]\r\n" + t1},
      {"replace in a missing file creates it", "",
       [](const char *p, bool w) { return Replace(p, w, "[HEADER]", "x\r\n"); }, 1, "[HEADER]\r\nx\r\n"},
      {"entry keeps later sections whole", hdr + "[TEXT]\r\n" + t0 + t3 + pos,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "noon", nullptr); }, 0,
       hdr + "[TEXT]\r\n" + t0 + "23/01/01 12:00:00 noon\r\n" + t3 + pos},
      {"entry at the end of its section", hdr + "[TEXT]\r\n" + t0 + pos,
       [](const char *p, bool w) { return Add(p, w, "TEXT", kNoon, "noon", nullptr); }, 0,
       hdr + "[TEXT]\r\n" + t0 + "23/01/01 12:00:00 noon\r\n" + pos},
      {"new section, short text: one CR LF", hdr,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "ab", nullptr); }, 0,
       hdr + "[TEXT]\r\n23/01/01 12:00:00 ab\r\n"},
      {"new section, text with CR LF: one CR LF", hdr,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "abc\r\n", nullptr); }, 0,
       hdr + "[TEXT]\r\n23/01/01 12:00:00 abc\r\n"},
      {"new section after a last line without CR LF", "[HEADER]\r\nwell 7",
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "x", nullptr); }, 0,
       "[HEADER]\r\nwell 7\r\n[TEXT]\r\n23/01/01 12:00:00 x\r\n"},
      {"no second text: another text at that time is replaced", "[TEXT]\r\n" + t1 + t3,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "new", nullptr); }, 0,
       "[TEXT]\r\n23/01/01 12:00:00 new\r\n" + t3},
      {"no second text, empty text: every entry at that time goes", "[TEXT]\r\n" + t0 + t1 + t2 + t3,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "", nullptr); }, 0, "[TEXT]\r\n" + t0 + t3},
      {"empty second text: others stay, the new one follows", "[TEXT]\r\n" + t1 + t2 + t3,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "third", ""); }, 0,
       "[TEXT]\r\n" + t1 + t2 + "23/01/01 12:00:00 third\r\n" + t3},
      {"empty second text: one beginning with the text is replaced", "[TEXT]\r\n" + t1 + t2,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "SECOND", ""); }, 0,
       "[TEXT]\r\n" + t1 + "23/01/01 12:00:00 SECOND\r\n"},
      {"second text selects the entry to replace", "[TEXT]\r\n" + t1 + t2,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "2nd", "sec"); }, 0,
       "[TEXT]\r\n" + t1 + "23/01/01 12:00:00 2nd\r\n"},
      {"fractions order entries", "[TEXT]\r\n23/01/01 12:00:00.500 b\r\n",
       [](const char *p, bool w) { return Add(p, w, nullptr, {1672574400, 250, 125}, "a", ""); }, 0,
       "[TEXT]\r\n23/01/01 12:00:00.250125 a\r\n23/01/01 12:00:00.500 b\r\n"},
      {"lines without a stamp are passed over", "[TEXT]\r\nnote\r\n" + t3,
       [](const char *p, bool w) { return Add(p, w, nullptr, kNoon, "x", nullptr); }, 0,
       "[TEXT]\r\nnote\r\n23/01/01 12:00:00 x\r\n" + t3},
  };
  // Each case on an 8-bit file through the 8-bit forms, and on the same file
  // in 16-bit form through the 16-bit forms: the file keeps its width (a
  // missing file is made 8-bit for a text an 8-bit file can hold).
  int n = 0;
  for (bool wide : {false, true}) {
    for (const Case &c : cases) {
      std::string name = "R" + std::to_string(n++) + ".txt";
      if (!c.before.empty()) {
        ASSERT_TRUE(tnwtest::WriteFile(L(name), wide ? Wide(c.before) : c.before));
      }
      EXPECT_EQ(c.op(W(name).c_str(), wide), c.rc) << c.what << (wide ? " (16-bit)" : "");
      EXPECT_EQ(tnwtest::ReadFile(L(name)), wide && !c.before.empty() ? Wide(c.after) : c.after)
          << c.what << (wide ? " (16-bit)" : "");
    }
  }
  // The 16-bit form finds its section whatever the letter case and keeps the
  // header line; the 8-bit form counts the case and appends a section.
  const std::string notes = "[Notes]\r\n" + t3;
  for (bool wide : {false, true}) {
    std::string name = wide ? "case16.txt" : "case8.txt";
    ASSERT_TRUE(tnwtest::WriteFile(L(name), notes));
    EXPECT_EQ(Add(W(name).c_str(), wide, "[NOTES]", kNoon, "x", nullptr), 0);
    EXPECT_EQ(tnwtest::ReadFile(L(name)), wide ? "[Notes]\r\n23/01/01 12:00:00 x\r\n" + t3
                                               : notes + "[NOTES]\r\n23/01/01 12:00:00 x\r\n")
        << name;
  }
  // A 16-bit text an 8-bit file cannot hold turns the whole file 16-bit; the
  // 8-bit forms keep a 16-bit file 16-bit, narrowing only what they read.
  ASSERT_TRUE(tnwtest::WriteFile(L("w.txt"), hdr));
  const std::u16string omega = u"\u03A9 up";
  EXPECT_EQ(txt_AddEntryW(W("w.txt").c_str(), nullptr, kNoon, U(omega), nullptr), 0);
  std::string wideAfter = Wide(hdr + "[TEXT]\r\n23/01/01 12:00:00 ");
  wideAfter += std::string("\xA9\x03 \0u\0p\0\r\0\n\0", 12);
  EXPECT_EQ(tnwtest::ReadFile(L("w.txt")), wideAfter);
  EXPECT_EQ(txt_AddEntry(W("w.txt").c_str(), nullptr, {1672574401, 0, 0}, "x", nullptr), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("w.txt")), wideAfter + Wide("23/01/01 12:00:01 x\r\n").substr(2));
  char out[100];
  uint32_t cap = sizeof out;
  EXPECT_EQ(txt_ReadSection(W("w.txt").c_str(), "TEXT", out, &cap), 2);
  EXPECT_STREQ(out, "23/01/01 12:00:00 ? up\r\n23/01/01 12:00:01 x\r\n");
  // A read-only file is refused and stays as it was.
  ASSERT_TRUE(tnwtest::WriteFile(L("ro.txt"), hdr));
  ASSERT_EQ(os_SetFileAttributes(W("ro.txt").c_str(), OS_FILE_ATTRIBUTE_READONLY), 0);
  EXPECT_EQ(txt_ReplaceSection(W("ro.txt").c_str(), "[HEADER]", "x"), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(tnwtest::ReadFile(L("ro.txt")), hdr);
}

TEST_F(LogTextTest, ReadSections) {
  const std::string file = "[HEADER]\r\nwell 7\r\ndepth 30\r\n[TEXT]\r\n12:00:00.250 31/12/23 from events form\r\n"
                           "23/12/31 12:00:01.250125 plain\r\n[POSITIONS]\r\n";
  ASSERT_TRUE(tnwtest::WriteFile(L("run.txt"), file));
  struct Case {
    const char *section;
    uint32_t capacity;
    int lines;
    const char *text;
    uint32_t used;
  } cases[] = {
      {"HEADER", 100, 2, "well 7\r\ndepth 30\r\n", 19},
      {"[header]", 100, 2, "well 7\r\ndepth 30\r\n", 19},
      {"HEADER", 18, 1, "well 7\r\n", 9},  // the second line does not fit with the terminator
      {"TEXT", 200, 2, "23/12/31 12:00:00.250 from events form\r\n23/12/31 12:00:01.250125 plain\r\n", 73},
      {"POSITIONS", 10, 0, "", 1},
      {"MISSING", 10, 0, "", 1},
  };
  for (const Case &c : cases) {
    char out[256];
    uint32_t cap = c.capacity;
    EXPECT_EQ(txt_ReadSection(W("run.txt").c_str(), c.section, out, &cap), c.lines) << c.section;
    EXPECT_STREQ(out, c.text) << c.section;
    EXPECT_EQ(cap, c.used) << c.section;
  }
  // The 16-bit read of the same lines from the 8-bit file and from the file
  // in 16-bit form: capacity and length in 16-bit characters for both.
  ASSERT_TRUE(tnwtest::WriteFile(L("wide.txt"), Wide(file)));
  for (const char *name : {"run.txt", "wide.txt"}) {
    for (const Case &c : cases) {
      uint16_t out[256];
      uint32_t cap = c.capacity;
      EXPECT_EQ(txt_ReadSectionW(W(name).c_str(), c.section, out, &cap), c.lines) << name << " " << c.section;
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(out)), Units(c.text)) << name << " " << c.section;
      EXPECT_EQ(cap, c.used) << name << " " << c.section;
    }
  }
  {
    uint16_t buf[100], *lines[4];
    uint32_t count = 4, cap = 100;
    ASSERT_EQ(txt_ReadSectionLinesW(W("wide.txt").c_str(), "HEADER", lines, &count, buf, &cap), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(lines[1])), u"depth 30");
  }
  uint32_t cap = 0;
  EXPECT_EQ(txt_ReadSection(W("none.txt").c_str(), "HEADER", nullptr, &cap), -2);
  char buf[100], *lines[4];
  uint32_t count = 4;
  cap = sizeof buf;
  ASSERT_EQ(txt_ReadSectionLines(W("run.txt").c_str(), "HEADER", lines, &count, buf, &cap), 0);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(lines[0], "well 7");
  EXPECT_STREQ(lines[1], "depth 30");
  // The events switch on but no events file: the run's own "[TEXT]".
  SetEventsSwitch("on");
  cap = 200;
  EXPECT_EQ(txt_ReadSection(W("run.txt").c_str(), "[TEXT]", buf, &cap), 2);
}

TEST_F(LogTextTest, EventsFile) {
  SetEventsSwitch("ON");
  ASSERT_TRUE(txt_EventsFileOn());
  const std::string run = W("AB230101_120000.txt");
  EXPECT_EQ(txt_AddEntry(run.c_str(), nullptr, kNoon, "first", nullptr), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("events.txt")), "12:00:00 01/01/23 first\r\n");
  EXPECT_EQ(txt_AddEntry(run.c_str(), "TEXT", {1672574399, 0, 0}, "before", nullptr), 0);
  EXPECT_EQ(txt_AddEntry(run.c_str(), "TEXT", {1672574401, 0, 0}, "after", nullptr), 0);
  // Readers and writers stop at a '[' line.
  std::string ev = tnwtest::ReadFile(L("events.txt")) + "[OTHER]\r\n12:00:09 01/01/23 not an event\r\n";
  ASSERT_TRUE(tnwtest::WriteFile(L("events.txt"), ev));
  EXPECT_EQ(txt_AddEntry(run.c_str(), "TEXT", {1672574402, 0, 0}, "last", nullptr), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("events.txt")),
            "11:59:59 01/01/23 before\r\n12:00:00 01/01/23 first\r\n12:00:01 01/01/23 after\r\n"
            "12:00:02 01/01/23 last\r\n[OTHER]\r\n12:00:09 01/01/23 not an event\r\n");
  char out[300];
  uint32_t cap = sizeof out;
  EXPECT_EQ(txt_ReadSection(run.c_str(), "TEXT", out, &cap), 4);
  EXPECT_EQ(std::string(out).substr(0, 26), "23/01/01 11:59:59 before\r\n");
  EXPECT_EQ(os_GetFileAttributes(run.c_str()), OS_INVALID_FILE_ATTRIBUTES);  // the run's own file is not made
  // The same in a 16-bit events file: the walk stops at the '[' line too.
  ASSERT_TRUE(tnwtest::WriteFile(L("events.txt"), Wide("12:00:00 01/01/23 first\r\n[OTHER]\r\n12:00:09 01/01/23 x\r\n")));
  std::u16string later = u"later";
  EXPECT_EQ(txt_AddEntryW(run.c_str(), "TEXT", {1672574405, 0, 0}, U(later), nullptr), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("events.txt")),
            Wide("12:00:00 01/01/23 first\r\n12:00:05 01/01/23 later\r\n[OTHER]\r\n12:00:09 01/01/23 x\r\n"));
  // Another section still goes to the run's own file.
  EXPECT_EQ(txt_AddEntry(run.c_str(), "POSITIONS", kNoon, "1.5", nullptr), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("AB230101_120000.txt")), "[POSITIONS]\r\n23/01/01 12:00:00 1.5\r\n");
}

// With the switch on but no "events.txt" yet, a folder whose runs already
// keep "[TEXT]" entries of their own goes on doing so; once "events.txt"
// exists it takes the entries.
TEST_F(LogTextTest, EventsFileChoice) {
  SetEventsSwitch("ON");
  const std::string older = "[HEADER]\r\nx\r\n[TEXT]\r\n23/01/01 11:00:00 old\r\n";
  struct Case {
    const char *what;
    std::string other;  // another run's text file ("" none)
    bool eventsExists;
    bool toEvents;
  } cases[] = {
      {"empty folder: events.txt is made", "", false, true},
      {"another run holds entries: the run's own file", older, false, false},
      {"another run's [TEXT] without entries: events.txt", "[TEXT]\r\nnote\r\n", false, true},
      {"events.txt there: it takes them", older, true, true},
  };
  int n = 0;
  for (const Case &c : cases) {
    std::string sub = "c" + std::to_string(n++);
    ASSERT_EQ(os_MakeFolders(L(sub).c_str()), 0);
    if (!c.other.empty()) {
      ASSERT_TRUE(tnwtest::WriteFile(L(sub + "/XY230101_110000.txt"), c.other));
    }
    if (c.eventsExists) {
      ASSERT_TRUE(tnwtest::WriteFile(L(sub + "/events.txt"), ""));
    }
    const std::string run = W(sub + "\\XY230101_120000.txt");
    EXPECT_EQ(txt_AddEntry(run.c_str(), nullptr, kNoon, "new", nullptr), 0) << c.what;
    EXPECT_EQ(tnwtest::ReadFile(L(sub + "/events.txt")), c.toEvents ? "12:00:00 01/01/23 new\r\n" : "") << c.what;
    EXPECT_EQ(tnwtest::ReadFile(L(sub + "/XY230101_120000.txt")), c.toEvents ? "" : "[TEXT]\r\n23/01/01 12:00:00 new\r\n")
        << c.what;
  }
}

// Four processes add 500 entries each to "events.txt" and to one run's own
// text file: none is lost, each file stays in time order.
TEST_F(LogTextTest, FourWritersLoseNothing) {
  const std::string run = W("AB230101_120000.txt");
  const int kWriters = 4, kEach = 500;
  std::vector<pid_t> kids;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SetEventsSwitch("ON");
      int bad = 0;
      for (int k = 0; k < kEach; ++k) {
        TimeStamp at = {1672574400 + k, int16_t(w), 0};
        std::string text = "w" + std::to_string(w) + " n" + std::to_string(k);
        bad += txt_AddEntry(run.c_str(), "TEXT", at, text.c_str(), "") != 0;
        bad += txt_AddEntry(run.c_str(), "POSITIONS", at, text.c_str(), "") != 0;
      }
      _exit(bad == 0 ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (const char *file : {"events.txt", "AB230101_120000.txt"}) {
    std::string all = tnwtest::ReadFile(L(file));
    std::vector<std::string> lines;
    for (size_t at = 0; at < all.size();) {
      size_t end = all.find("\r\n", at);
      ASSERT_NE(end, std::string::npos) << file;
      lines.push_back(all.substr(at, end - at));
      at = end + 2;
    }
    size_t first = lines.size() && lines[0][0] == '[' ? 1 : 0;
    ASSERT_EQ(lines.size() - first, size_t(kWriters * kEach)) << file;
    TimeStamp prev = {0, 0, 0};
    for (size_t i = first; i < lines.size(); ++i) {
      TimeStamp t;
      size_t textAt;
      bool tf;
      ASSERT_TRUE(txt_ParseStamp(lines[i].data(), lines[i].size(), &t, &textAt, &tf)) << lines[i];
      EXPECT_GT(tm_CompareStamps(&t, &prev), 0) << file << ": " << lines[i];
      prev = t;
      int k = t.seconds - 1672574400, w = t.ms;
      EXPECT_EQ(lines[i].substr(textAt), "w" + std::to_string(w) + " n" + std::to_string(k)) << file;
    }
  }
}

}  // namespace

namespace {

// This computer and pipe servers keep a logger's text file in the LOGGERS
// folder the caller stands in; any other server keeps it in its own.
TEST(LoggerTextFile, PathByServer) {
  const std::string self = os_ComputerName();
  struct Case {
    const char *server, *type;
    int number;
    std::string path;
  } cases[] = {
      {nullptr, "gen", 3, "gen_3.txt"},
      {"", "gen", 3, "gen_3.txt"},
      {".", "resub", 12, "resub_12.txt"},
      {"localhost", "gen", 0, "gen_0.txt"},
      {self.c_str(), "gen", 3, "gen_3.txt"},
      {"PUMPHOST", "gen", 3, "gen_3.txt"},  // a name alone: a pipe server
      {"http://127.0.0.2:8080", "gen", 3, "\\\\http://127.0.0.2:8080\\TSQ_CURRENT_CONFIG\\LOGGERS\\gen_3.txt"},
      {"tcp://scada1:5000", "fast", -1, "\\\\tcp://scada1:5000\\TSQ_CURRENT_CONFIG\\LOGGERS\\fast_-1.txt"},
      {"PROVIDER=x;", "gen", 3, "\\\\PROVIDER=x;\\TSQ_CURRENT_CONFIG\\LOGGERS\\gen_3.txt"},
      {nullptr, "", 3, ""},
      {"http://127.0.0.2:8080", nullptr, 3, ""},
  };
  for (const Case &c : cases)
    EXPECT_EQ(txt_LoggerTextPath(c.server, c.type, c.number), c.path) << (c.server ? c.server : "(null)");
}

// Replaced and read back on this computer: the file is the type and number's
// in the current directory, and other sections survive.
TEST_F(LogTextTest, LoggerTextFileInCurrentFolder) {
  char before[1024];
  ASSERT_EQ(os_GetCurrentDirectory(before, sizeof before), 0);
  ASSERT_EQ(os_SetCurrentDirectory(W("").c_str()), 0);
  ASSERT_TRUE(tnwtest::WriteFile(L("gen_4.txt"), "[HEADER]\r\nold\r\n[POSITIONS]\r\nAI1 1\r\n"));
  EXPECT_EQ(txt_ReplaceLoggerSection(nullptr, "gen", 4, "HEADER", "new 1\r\nnew 2\r\n"), 1);
  EXPECT_EQ(txt_ReplaceLoggerSection("localhost", "gen", 5, "[TEXT]", "made\r\n"), 1);
  char out[64];
  uint32_t cap = sizeof out;
  EXPECT_EQ(txt_ReadLoggerSection(".", "gen", 4, "HEADER", out, &cap), 2);
  EXPECT_STREQ(out, "new 1\r\nnew 2\r\n");
  cap = sizeof out;
  EXPECT_EQ(txt_ReadLoggerSection(nullptr, "gen", 6, "HEADER", out, &cap), -2);
  EXPECT_EQ(txt_ReadLoggerSection(nullptr, "", 4, "HEADER", out, &cap), -1);
  ASSERT_EQ(os_SetCurrentDirectory(before), 0);
  EXPECT_EQ(tnwtest::ReadFile(L("gen_4.txt")), "[HEADER]\r\nnew 1\r\nnew 2\r\n[POSITIONS]\r\nAI1 1\r\n");
  EXPECT_EQ(tnwtest::ReadFile(L("gen_5.txt")), "[TEXT]\r\nmade\r\n");
}

}  // namespace
