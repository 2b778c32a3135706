#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

#include "platform/os_codepage.h"

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

// Only the ASCII letters fold, whatever locale the host set: code page 1252
// letters above 0x7F compare as the bytes they are.
TEST(CodePageTest, CompareIgnoringCase) {
  const struct {
    const char *a, *b;
    size_t n;  // SIZE_MAX: the whole texts
    int sign;
  } cases[] = {
      {"Tessarine", "TESSARINE", SIZE_MAX, 0},
      {"abc", "abd", SIZE_MAX, -1},
      {"ABD", "abc", SIZE_MAX, 1},
      {"ab", "abc", SIZE_MAX, -1},
      {"abc", "AB", SIZE_MAX, 1},
      {"", "", SIZE_MAX, 0},
      {"[", "a", SIZE_MAX, -1},  // '[' lies between 'Z' and 'a': compared as lower case
      {"_", "A", SIZE_MAX, -1},
      {"\xC9", "\xE9", SIZE_MAX, -1},  // E acute in both cases stays apart
      {"\xE9x", "\xE9X", SIZE_MAX, 0},
      {"RE2_PATH", "re2_other", 4, 0},
      {"RE2", "re2_other", 4, -1},
      {"abc", "abd", 2, 0},
      {"abc", "xyz", 0, 0},
  };
  const char *locales[] = {"C", "C.UTF-8", "en_US.ISO-8859-1"};
  for (const char *locale : locales) {
    if (!setlocale(LC_ALL, locale)) continue;
    for (const auto &c : cases) {
      int got = c.n == SIZE_MAX ? os_CompareNoCase(c.a, c.b) : os_CompareNoCaseN(c.a, c.b, c.n);
      EXPECT_EQ(Sign(got), c.sign) << locale << ": " << c.a << " / " << c.b << " / " << c.n;
    }
  }
  setlocale(LC_ALL, "C");
}

// A cut keeps whole characters: a sequence across the limit goes whole.
TEST(CodePageTest, Utf8FitKeepsWholeCharacters) {
  const struct {
    const char *text;
    size_t max, fit;
  } cases[] = {
      {"abc", 5, 3},           {"abc", 2, 2},
      {"a\xC3\xA9", 2, 1},     {"a\xC3\xA9", 3, 3},
      {"\xE2\x82\xAC", 2, 0}, {"x\xF0\x9F\x98\x80", 4, 1},
      {"x\xF0\x9F\x98\x80", 5, 5}, {"", 0, 0},
  };
  for (const auto &c : cases) EXPECT_EQ(os_Utf8Fit(c.text, strlen(c.text), c.max), c.fit) << c.text << " / " << c.max;
}

}  // namespace
