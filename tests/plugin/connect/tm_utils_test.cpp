// The plug-in's small services: UTC calendar against the C library, stamped
// names, the data-file header check, the formatter against snprintf, channel
// tags and numbers in the user's regional format.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "platform/os_registry.h"
#include "plugin/connect/tm_utils.h"
#include "tests/support/test_root.h"

TEST(PluginTime, MakeTimeNormalisesAnyFieldsAsTimegmDoes) {
  std::mt19937 rng(20261210);
  auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int i = 0; i < 5000; ++i) {
    TmDateTime t{in(-50, 250), in(-40, 40), in(-400, 400), in(-100, 100), in(-5000, 5000), in(-200000, 200000)};
    struct tm c{};
    c.tm_year = t.year, c.tm_mon = t.month, c.tm_mday = t.day;
    c.tm_hour = t.hour, c.tm_min = t.minute, c.tm_sec = t.second;
    std::string fields = std::to_string(t.year) + "/" + std::to_string(t.month) + "/" + std::to_string(t.day) + " " +
                         std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second);
    int64_t want = timegm(&c);
    ASSERT_EQ(tm_MakeTime(&t), want) << fields;
    EXPECT_EQ(t.year, c.tm_year) << fields;
    EXPECT_EQ(t.month, c.tm_mon) << fields;
    EXPECT_EQ(t.day, c.tm_mday) << fields;
    EXPECT_EQ(t.hour, c.tm_hour) << fields;
    EXPECT_EQ(t.minute, c.tm_min) << fields;
    EXPECT_EQ(t.second, c.tm_sec) << fields;
  }
  // Every 32-bit time and back.
  for (int i = 0; i < 2000; ++i) {
    int64_t s = std::uniform_int_distribution<int64_t>(INT32_MIN, INT32_MAX)(rng);
    TmDateTime t = tm_GmTime(s);
    time_t ts = static_cast<time_t>(s);
    struct tm c{};
    gmtime_r(&ts, &c);
    EXPECT_EQ(t.year, c.tm_year);
    EXPECT_EQ(t.month, c.tm_mon);
    EXPECT_EQ(t.day, c.tm_mday);
    EXPECT_EQ(t.hour * 3600 + t.minute * 60 + t.second, c.tm_hour * 3600 + c.tm_min * 60 + c.tm_sec);
    EXPECT_EQ(tm_MakeTime(&t), s);
  }
}

TEST(PluginTime, StampedNames) {
  int64_t zero = 0, last = INT32_MAX, leap = 951782400 + 86399;  // 2000-02-29 23:59:59
  EXPECT_STREQ(tm_StampName(&zero), "700101_000000");
  EXPECT_STREQ(tm_StampName(&last), "380119_031407");
  EXPECT_STREQ(tm_StampName(&leap), "000229_235959");
  // Each thread has its own buffer.
  const char *mine = tm_StampName(&zero);
  std::thread([&] { EXPECT_STREQ(tm_StampName(&last), "380119_031407"); }).join();
  EXPECT_STREQ(mine, "700101_000000");

  struct Case {
    const char *name, *suffix;
    int at;  // -1: no match
  } cases[] = {
      {"events_240131_235959.txt", ".txt", 7},
      {"events_240131.235959.TXT", ".txt", 7},
      {"events240131235959.txt", ".txt", 6},
      {"run_240131.dat", ".DAT", 4},
      {"240131.dat", ".dat", 0},
      {"run_240131", "", 4},
      {"run_1234.txt", ".txt", -1},
      {"run_24013.txt", ".txt", -1},
      {"run_240131_23595.txt", ".txt", -1},
      {"run_240131_235959.txt", ".dat", -1},
      {"7.txt", ".txt", -1},
      {".txt", ".txt", -1},
      {"", "", -1},
  };
  for (const Case &c : cases) {
    const char *p = tm_MatchStampedName(c.name, c.suffix);
    EXPECT_EQ(p ? static_cast<int>(p - c.name) : -1, c.at) << c.name;
  }
  EXPECT_EQ(tm_MatchStampedName(nullptr, ".txt"), nullptr);

  std::string dir = tnwtest::MakeTempDir("stamps");
  for (const char *f : {"a_991231_235959.txt", "a_000101_000000.txt", "a_691231.txt", "a_700101.txt", "b.txt",
                        "a_750101_000000.dat"})
    ASSERT_TRUE(tnwtest::WriteFile(dir + "/" + f, "x"));
  char latest[64] = "";
  EXPECT_EQ(tm_LatestStampedFile(dir.c_str(), ".txt", latest, sizeof latest), 3155673600LL)
      << "years below 70 are after 2000";
  EXPECT_STREQ(latest, "a_691231.txt");
  EXPECT_EQ(tm_LatestStampedFile(dir.c_str(), ".csv", latest, sizeof latest), -1);

  TmDir *d = tm_DirOpen(dir.c_str());
  ASSERT_NE(d, nullptr);
  std::vector<std::string> names;
  while (const char *n = tm_DirNext(d)) names.push_back(n);
  tm_DirClose(d);
  EXPECT_EQ(names.size(), 6u);
  EXPECT_EQ(names.front(), "a_000101_000000.txt") << "sorted";
  EXPECT_EQ(tm_DirOpen((dir + "/none").c_str()), nullptr);
}

namespace {

std::string Header(uint32_t length, uint16_t type, bool swapped) {
  if (swapped) length = __builtin_bswap32(length), type = __builtin_bswap16(type);
  std::string h(6, '\0');
  memcpy(&h[0], &length, 4);
  memcpy(&h[4], &type, 2);
  return h;
}

}  // namespace

TEST(PluginFiles, DataFileHeader) {
  std::string dir = tnwtest::MakeTempDir("header");
  struct Case {
    std::string content;
    int64_t result;
    uint32_t error;  // checked when not 0
  } cases[] = {
      {Header(100, 0x8001, false) + std::string(44, 'x'), 100, 0},      // shorter than its header says
      {Header(100, 0x8001, false) + std::string(194, 'x'), 200, OS_ERROR_ACCESS_DENIED},
      {Header(100, 0x8001, true) + std::string(10, 'x'), 100, 0},        // reads as type 0x0180
      {Header(100, 0xE001, false), 100, 0},
      {Header(100, 0x8000, false), -1, 0},
      {Header(100, 0xE002, false), -1, 0},
      {Header(100, 0x0001, false), -1, 0},
      {std::string("\x10\x00\x00", 3), -1, 0},
  };
  int i = 0;
  for (const Case &c : cases) {
    std::string path = dir + "/f" + std::to_string(i++);
    ASSERT_TRUE(tnwtest::WriteFile(path, c.content));
    OsHandle h = os_CreateFile(path.c_str(), OS_GENERIC_READ, OS_FILE_SHARE_READ, OS_OPEN_EXISTING, 0);
    ASSERT_NE(h, nullptr);
    os_SetFilePointer(h, 3, OS_FILE_BEGIN, nullptr);
    os_SetLastError(0);
    EXPECT_EQ(tm_CheckDataFileHeader(h), c.result) << i;
    if (c.error) {
      EXPECT_EQ(os_GetLastError(), c.error) << i;
    }
    uint64_t pos = UINT64_MAX;
    os_SetFilePointer(h, 0, OS_FILE_CURRENT, &pos);
    EXPECT_EQ(pos, 0) << "left at the start";
    EXPECT_EQ(tm_FileSize(h), static_cast<int64_t>(c.content.size()));
    os_CloseHandle(h);
  }
  EXPECT_EQ(tm_FileSize(nullptr), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_HANDLE));
}

#define EXPECT_FORMATS_AS_SNPRINTF(fmt, ...)                  \
  do {                                                        \
    char ours[256], theirs[256];                              \
    int n = tm_FormatText(ours, sizeof ours, fmt, __VA_ARGS__); \
    int m = snprintf(theirs, sizeof theirs, fmt, __VA_ARGS__); \
    EXPECT_STREQ(ours, theirs) << fmt;                        \
    EXPECT_EQ(n, m) << fmt;                                   \
  } while (0)

TEST(PluginText, FormatterMatchesSnprintf) {
  EXPECT_FORMATS_AS_SNPRINTF("%d|%5d|%-5d|%05d|%d", 42, -42, 7, -3, INT32_MIN);
  EXPECT_FORMATS_AS_SNPRINTF("%f|%.3f|%10.2f|%-10.2f|%010.2f|%.0f", 3.14159, -2.5, 1234.567, 0.005, -7.25, 2.5);
  EXPECT_FORMATS_AS_SNPRINTF("%e|%.2e|%12.3e|%g|%10.4g|%-8g|", 12345.678, -0.000123, 1e300, 0.0001, 123456789.0, 1.5);
  EXPECT_FORMATS_AS_SNPRINTF("%s|%10s|%-10s|%.2s|%s", "abc", "right", "left", "cut", "");
  EXPECT_FORMATS_AS_SNPRINTF("%*d|%-*d|%.*f|%*.*f|", 6, 12, 6, 12, 3, 2.71828, 9, 2, 1.005);
  EXPECT_FORMATS_AS_SNPRINTF("100%% done %d%%", 5);

  char out[64];
  EXPECT_EQ(tm_FormatText(out, sizeof out, "a%xb%qc%d", 5), 4);
  EXPECT_STREQ(out, "abc5") << "unknown conversions are dropped";
  // Bounded: the text is cut and terminated, its length still told.
  char small[8];
  memset(small, '#', sizeof small);
  EXPECT_EQ(tm_FormatText(small, 6, "%s-%d", "abcdef", 12345), 12);
  EXPECT_STREQ(small, "abcde");
  EXPECT_EQ(small[6], '#');
  std::string longText(5000, 'z');
  std::vector<char> big(6000);
  EXPECT_EQ(tm_FormatText(big.data(), big.size(), "[%s]", longText.c_str()), 5002);
  EXPECT_EQ(std::string(big.data()), "[" + longText + "]");
  // Threads format at once without meeting.
  std::vector<std::thread> ts;
  std::atomic<int> bad{0};
  for (int t = 0; t < 8; ++t)
    ts.emplace_back([t, &bad] {
      for (int i = 0; i < 2000; ++i) {
        char a[64], b[64];
        tm_FormatText(a, sizeof a, "%05d:%-6.2f:%s", t * 10000 + i, i / 7.0, "x");
        snprintf(b, sizeof b, "%05d:%-6.2f:%s", t * 10000 + i, i / 7.0, "x");
        bad += strcmp(a, b) != 0;
      }
    });
  for (std::thread &th : ts) th.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(PluginText, Tags) {
  struct Case {
    const char *text;
    int rc;
    const char *prefix;
    int32_t number;
  } cases[] = {
      {"AB123", 0, "AB", 123},  {"A1K", 0, "A", 1000},   {"a1k", 0, "a", 1000},   {"X12345", 0, "X", 12345},
      {"ABC1", -1, "", 0},      {"123", -1, "", 0},      {"AB123456", -1, "", 0}, {"AB", -1, "", 0},
      {"A12K", -1, "", 0},      {"AB1X", -1, "", 0},     {"A1K5", -1, "", 0},     {"", -1, "", 0},
      {"A-1", -1, "", 0},
  };
  for (const Case &c : cases) {
    char prefix[2] = {'?', '?'};
    int32_t n = -7;
    EXPECT_EQ(tm_ParseTag(c.text, prefix, &n), c.rc) << c.text;
    if (c.rc == 0) {
      EXPECT_EQ(std::string(prefix, strnlen(prefix, 2)), c.prefix) << c.text;
      EXPECT_EQ(n, c.number) << c.text;
    }
  }
  int32_t n = 0;
  EXPECT_EQ(tm_ParseNumber("1K", &n), 0);
  EXPECT_EQ(n, 1000);
  EXPECT_EQ(tm_ParseNumber("99999", &n), 0);
  EXPECT_EQ(n, 99999);
  for (const char *bad : {"123456", "2K", "", "1KK", "K"}) EXPECT_EQ(tm_ParseNumber(bad, &n), -1) << bad;
}

namespace {

void International(const char *decimal, const char *grouping, const char *leadingZero) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_CURRENT_USER, "Control Panel\\International", 0, OS_KEY_ALL_ACCESS, nullptr, &k,
                              nullptr),
            0);
  os_RegSetValueEx(k, "sDecimal", OS_REG_SZ, decimal, static_cast<uint32_t>(strlen(decimal) + 1));
  os_RegSetValueEx(k, "sGrouping", OS_REG_SZ, grouping, static_cast<uint32_t>(strlen(grouping) + 1));
  os_RegSetValueEx(k, "iLZero", OS_REG_SZ, leadingZero, static_cast<uint32_t>(strlen(leadingZero) + 1));
  os_RegCloseKey(k);
  tm_ResetNumberFormat();
}

}  // namespace

TEST(PluginText, RegionalNumbers) {
  struct Case {
    double value;
    int width, decimals;
    bool left, zero;
    char separator;
    const char *text;
  };
  auto check = [](const std::vector<Case> &cases, const char *region) {
    for (const Case &c : cases) {
      char out[64];
      int n = tm_FormatNumber(out, sizeof out, c.value, c.width, c.decimals, c.left, c.zero, c.separator);
      EXPECT_STREQ(out, c.text) << region << " " << c.value;
      EXPECT_EQ(n, static_cast<int>(strlen(c.text)));
    }
  };
  os_RegDeleteKey(OS_HKEY_CURRENT_USER, "Control Panel\\International");
  tm_ResetNumberFormat();
  check({{1234567.891, 12, 2, false, false, ',', "1,234,567.89"},
         {1234567.891, 14, 2, true, false, ',', "1,234,567.89  "},
         {-1234.5, 10, 1, false, false, ',', "  -1,234.5"},
         {999.0, 6, 1, false, false, ',', " 999.0"},
         {1234.5, 10, 1, false, true, ',', "00001234.5"},
         {0.5, 5, 2, false, false, ',', " 0.50"},
         {123456.0, 6, 2, false, false, ',', " 1E+05"},
         {123456.0, 7, 2, false, false, ',', "1.2E+05"}},
        "English (US)");
  International(",", "3;0", "0");
  check({{1234.5, 10, 1, false, false, '.', "   1.234,5"},
         {0.5, 5, 2, false, false, '.', "  ,50"},
         {-0.25, 5, 2, true, false, '.', "-,25 "},
         {1234.5, 10, 1, false, true, '.', "00001234,5"}},
        "German");
  International(".", "0", "1");
  check({{1234567.0, 9, 0, false, false, ',', "  1234567"}}, "no grouping");
  os_RegDeleteKey(OS_HKEY_CURRENT_USER, "Control Panel\\International");
  tm_ResetNumberFormat();
}
