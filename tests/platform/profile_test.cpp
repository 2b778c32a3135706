#include "platform/os_profile.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <string>

#include "platform/os_error.h"
#include "tests/support/test_root.h"

namespace {

const char kFixture[] =
    "; a comment=not a key\r\n"
    "[HEADER]\r\n"
    "Customer:ACME\r\n"
    "  Well No : 7 \r\n"
    "[ position ]\n"
    "LATITUDE=48.500000\r\n"
    "  longitude =  2.25  \r\n"
    "junk \x01\xff line\r\n"
    "[USERLIMIT]\r\n"
    "LIMIT=\r\n"
    "[Empty]\r\n"
    "[Last]\r\n"
    "k=v";  // no final line end

std::string Files(const std::string &dir) {
  std::string names;
  DIR *d = opendir(dir.c_str());
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') names += std::string(e->d_name) + ";";
  closedir(d);
  return names;
}

TEST(Profile, ReadsKeysWithoutCaseAndBlanks) {
  std::string dir = tnwtest::MakeTempDir("profile");
  std::string path = dir + "/information.ini";
  ASSERT_TRUE(tnwtest::WriteFile(path, kFixture));
  const struct {
    const char *section, *key, *fallback, *want;
  } cases[] = {
      {"POSITION", "LATITUDE", "x", "48.500000"},
      {"Position", "LONGITUDE", "x", "2.25"},
      {"USERLIMIT", "LIMIT", "-1", ""},      // present but empty
      {"USERLIMIT", "NOLIMIT", "-1", "-1"},  // missing key
      {"NOSECTION", "LIMIT", "-1", "-1"},
      {"last", "K", nullptr, "v"},
      {"HEADER", "Customer:ACME", nullptr, ""},  // a line without '=' is no key
      {"HEADER", "; a comment", "d", "d"},
  };
  for (const auto &c : cases) {
    char out[32];
    size_t n = os_GetProfileString(c.section, c.key, c.fallback, out, sizeof out, path.c_str());
    EXPECT_STREQ(out, c.want) << c.section << "/" << c.key;
    EXPECT_EQ(n, strlen(c.want));
  }
  char small[4];
  EXPECT_EQ(os_GetProfileString("POSITION", "LATITUDE", "", small, sizeof small, path.c_str()), 3u);
  EXPECT_STREQ(small, "48.");
  char out[8];
  EXPECT_EQ(os_GetProfileString("A", "B", "def", out, sizeof out, (dir + "/missing.ini").c_str()), 3u);
  EXPECT_STREQ(out, "def");
}

TEST(Profile, ReadsSections) {
  std::string dir = tnwtest::MakeTempDir("profile");
  std::string path = dir + "/information.ini";
  ASSERT_TRUE(tnwtest::WriteFile(path, kFixture));
  char out[64];
  size_t n = os_GetProfileSection("header", out, sizeof out, path.c_str());
  EXPECT_EQ(std::string(out, n + 1), std::string("Customer:ACME\0Well No : 7\0\0", 27));
  EXPECT_EQ(out[n], '\0');
  // Whole lines only: the second does not fit.
  char cut[20];
  n = os_GetProfileSection("HEADER", cut, sizeof cut, path.c_str());
  EXPECT_EQ(std::string(cut, n + 1), std::string("Customer:ACME\0\0", 15));
  memset(out, 'x', sizeof out);
  EXPECT_EQ(os_GetProfileSection("EMPTY", out, sizeof out, path.c_str()), 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], '\0');
  EXPECT_EQ(os_GetProfileSection("NONE", out, sizeof out, path.c_str()), 0u);
}

TEST(Profile, WritesKeysInPlaceAndMakesTheFile) {
  std::string dir = tnwtest::MakeTempDir("profile");
  std::string path = dir + "/information.ini";
  ASSERT_EQ(os_WriteProfileString("USERLIMIT", "LIMIT", "5", path.c_str()), 1);
  EXPECT_EQ(tnwtest::ReadFile(path), "[USERLIMIT]\r\nLIMIT=5\r\n");
  ASSERT_EQ(os_WriteProfileString("userlimit", "limit", "-2", path.c_str()), 1);
  ASSERT_EQ(os_WriteProfileString("POSITION", "LATITUDE", "1.5", path.c_str()), 1);
  ASSERT_EQ(os_WriteProfileString("UserLimit", "Other", "x", path.c_str()), 1);
  EXPECT_EQ(tnwtest::ReadFile(path),
            "[USERLIMIT]\r\nLIMIT=-2\r\nOther=x\r\n[POSITION]\r\nLATITUDE=1.5\r\n");
  ASSERT_EQ(os_WriteProfileString("USERLIMIT", "LIMIT", nullptr, path.c_str()), 1);
  ASSERT_EQ(os_WriteProfileString("POSITION", nullptr, nullptr, path.c_str()), 1);
  EXPECT_EQ(tnwtest::ReadFile(path), "[USERLIMIT]\r\nOther=x\r\n");
  EXPECT_EQ(Files(dir), "information.ini;");  // no work file left behind
}

TEST(Profile, WritesSectionsKeepingTheRest) {
  std::string dir = tnwtest::MakeTempDir("profile");
  std::string path = dir + "/information.ini";
  ASSERT_TRUE(tnwtest::WriteFile(path, "[HEADER]\r\nA:1\r\n[POSITION]\r\nLATITUDE=0\r\nX=1\r\n[USERLIMIT]\r\nLIMIT=3\r\n"));
  ASSERT_EQ(os_WriteProfileSection("position", "LATITUDE=1.000000\r\nLONGITUDE=2.000000\r\n", path.c_str()), 1);
  EXPECT_EQ(tnwtest::ReadFile(path),
            "[HEADER]\r\nA:1\r\n[POSITION]\r\nLATITUDE=1.000000\r\nLONGITUDE=2.000000\r\n[USERLIMIT]\r\nLIMIT=3\r\n");
  ASSERT_EQ(os_WriteProfileSection("NEW", "a=b\nc=d", path.c_str()), 1);
  char out[16];
  os_GetProfileString("NEW", "C", "", out, sizeof out, path.c_str());
  EXPECT_STREQ(out, "d");
}

TEST(Profile, RefusalsLeaveTheFileAlone) {
  std::string dir = tnwtest::MakeTempDir("profile");
  std::string path = dir + "/information.ini";
  ASSERT_TRUE(tnwtest::WriteFile(path, "[A]\r\nk=1\r\n"));
  const struct {
    const char *section, *key, *value;
  } bad[] = {{"A]", "k", "2"}, {"A", "k=x", "2"}, {"A", "k", "2\r\nk2=3"}, {"A\n", "k", "2"}, {nullptr, "k", "2"}};
  for (const auto &b : bad) {
    EXPECT_EQ(os_WriteProfileString(b.section, b.key, b.value, path.c_str()), 0);
    EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  }
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(os_WriteProfileString("A", "k", "2", path.c_str()), 0);
  EXPECT_EQ(os_WriteProfileSection("A", "k=2", path.c_str()), 0);
  EXPECT_EQ(tnwtest::ReadFile(path), "[A]\r\nk=1\r\n");
  EXPECT_EQ(Files(dir), "information.ini;");
  // A folder that does not exist: nothing made.
  EXPECT_EQ(os_WriteProfileString("A", "k", "2", (dir + "/no/information.ini").c_str()), 0);
  EXPECT_EQ(Files(dir), "information.ini;");
}

}  // namespace
