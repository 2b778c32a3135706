#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os_env.h"
#include "platform/os_error.h"

extern char **environ;

namespace {

int Spellings(const char *name) {
  int n = 0;
  size_t len = strlen(name);
  for (char **e = environ; *e; ++e)
    if (strncasecmp(*e, name, len) == 0 && (*e)[len] == '=') ++n;
  return n;
}

TEST(EnvironmentTest, NamesIgnoreCase) {
  ASSERT_EQ(os_SetEnvironmentVariable("Tnw_Test_Var", "first"), 0);
  char buf[64];
  EXPECT_EQ(os_GetEnvironmentVariable("TNW_TEST_VAR", buf, sizeof buf), 5u);
  EXPECT_STREQ(buf, "first");
  ASSERT_EQ(os_SetEnvironmentVariable("tnw_test_var", "second"), 0);
  EXPECT_EQ(Spellings("TNW_TEST_VAR"), 1) << "one variable, whatever the spelling";
  EXPECT_STREQ(getenv("Tnw_Test_Var"), "second");

  // Too small a buffer: the size needed, terminator included.
  char small[3] = "xy";
  EXPECT_EQ(os_GetEnvironmentVariable("tnw_TEST_var", small, sizeof small), 7u);
  EXPECT_EQ(os_GetEnvironmentVariable("tnw_TEST_var", nullptr, 0), 7u);

  // Spellings that a Linux parent left side by side become one variable.
  setenv("TNW_TEST_VAR", "third", 1);
  ASSERT_EQ(Spellings("TNW_TEST_VAR"), 2);
  ASSERT_EQ(os_SetEnvironmentVariable("tnw_test_VAR", "fourth"), 0);
  EXPECT_EQ(Spellings("TNW_TEST_VAR"), 1);
  EXPECT_EQ(os_GetEnvironmentVariable("TNW_TEST_VAR", buf, sizeof buf), 6u);
  EXPECT_STREQ(buf, "fourth");

  ASSERT_EQ(os_SetEnvironmentVariable("TNW_test_VAR", nullptr), 0);
  EXPECT_EQ(Spellings("TNW_TEST_VAR"), 0);
  EXPECT_EQ(os_GetEnvironmentVariable("Tnw_Test_Var", buf, sizeof buf), 0u);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ENVVAR_NOT_FOUND);

  ASSERT_EQ(os_SetEnvironmentVariable("TNW_EMPTY", ""), 0);
  os_SetLastError(99);
  EXPECT_EQ(os_GetEnvironmentVariable("tnw_empty", buf, sizeof buf), 0u);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SUCCESS) << "present but empty";
  os_SetEnvironmentVariable("TNW_EMPTY", nullptr);
  EXPECT_EQ(os_SetEnvironmentVariable("A=B", "x"), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
}

// The whole value of any length, and an unset variable that leaves the
// error numbers alone (callers look it up where a failure is no error).
TEST(EnvironmentTest, WholeValues) {
  std::string longValue(5000, 'v');
  ASSERT_EQ(os_SetEnvironmentVariable("Tnw_Long", longValue.c_str()), 0);
  std::string got;
  ASSERT_TRUE(os_GetEnvironmentText("TNW_LONG", &got));
  EXPECT_EQ(got, longValue);
  ASSERT_EQ(os_SetEnvironmentVariable("TNW_LONG", ""), 0);
  got = "old";
  ASSERT_TRUE(os_GetEnvironmentText("tnw_long", &got)) << "set, but empty";
  EXPECT_EQ(got, "");
  ASSERT_EQ(os_SetEnvironmentVariable("TNW_LONG", nullptr), 0);
  errno = 77;
  os_SetLastError(78);
  got = "kept";
  EXPECT_FALSE(os_GetEnvironmentText("TNW_LONG", &got));
  EXPECT_EQ(got, "kept");
  EXPECT_EQ(errno, 77);
  EXPECT_EQ(os_GetLastError(), 78u);
  EXPECT_FALSE(os_GetEnvironmentText("A=B", &got));
  EXPECT_FALSE(os_GetEnvironmentText("PATH", nullptr));
}

TEST(EnvironmentTest, ComputerAndUserNames) {
  char host[256] = "";
  ASSERT_EQ(gethostname(host, sizeof host), 0);
  std::string want(host);
  want = want.substr(0, want.find('.')).substr(0, 15);
  for (char &c : want) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

  char buf[32];
  uint32_t size = sizeof buf;
  ASSERT_EQ(os_GetComputerName(buf, &size), 0);
  EXPECT_EQ(std::string(buf), want);
  EXPECT_EQ(size, want.size());
  EXPECT_STREQ(os_ComputerName(), want.c_str());
  size = static_cast<uint32_t>(want.size());  // no room for the terminator
  EXPECT_EQ(os_GetComputerName(buf, &size), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, want.size() + 1);

  std::string lower = want;
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  EXPECT_TRUE(os_IsLocalHost("."));
  EXPECT_TRUE(os_IsLocalHost(lower.c_str()));
  EXPECT_TRUE(os_IsLocalHost("LocalHost"));
  EXPECT_TRUE(os_IsLocalHost("127.0.0.1"));
  EXPECT_FALSE(os_IsLocalHost("127.0.0.2"));
  EXPECT_FALSE(os_IsLocalHost("FARHOST"));
  EXPECT_FALSE(os_IsLocalHost(""));
  // The host name whole and up to its first dot, but not a part of that.
  std::string full(host), shortName = full.substr(0, full.find('.'));
  EXPECT_TRUE(os_IsLocalHost(full.c_str()));
  EXPECT_TRUE(os_IsLocalHost(shortName.c_str()));
  if (shortName.size() > 1 && shortName.size() <= 15) {
    EXPECT_FALSE(os_IsLocalHost(shortName.substr(0, shortName.size() - 1).c_str()));
  }
  EXPECT_FALSE(os_IsLocalHost((full + "x").c_str()));

  struct passwd *pw = getpwuid(geteuid());
  std::string user = pw ? pw->pw_name : std::to_string(geteuid());
  char name[257];
  size = sizeof name;
  ASSERT_EQ(os_GetUserName(name, &size), 0);
  EXPECT_EQ(std::string(name), user);
  EXPECT_EQ(size, user.size() + 1);
  size = 1;
  EXPECT_EQ(os_GetUserName(name, &size), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, user.size() + 1);
}

TEST(EnvironmentTest, SystemFolderAndPlatform) {
  char buf[64];
  EXPECT_EQ(os_GetSystemDirectory(buf, sizeof buf), 19u);
  EXPECT_STREQ(buf, "C:\\WINDOWS\\system32");
  EXPECT_EQ(os_GetSystemDirectory(buf, 19), 20u);

  unsetenv("PLATFORM_WIN9X");
  EXPECT_FALSE(os_IsWindows9x());
  setenv("PLATFORM_WIN9X", "1", 1);
  EXPECT_TRUE(os_IsWindows9x());
  setenv("PLATFORM_WIN9X", "0", 1);
  EXPECT_FALSE(os_IsWindows9x());
  unsetenv("PLATFORM_WIN9X");
}

}  // namespace
