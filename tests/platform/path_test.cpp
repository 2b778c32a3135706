#include <gtest/gtest.h>

#include <string>

#include "platform/os_error.h"
#include "platform/os_path.h"
#include "tests/support/test_root.h"

static std::string Tr(const char *p) {
  char buf[4096];
  if (os_TranslatePath(p, buf, sizeof buf) != 0) return "<fail " + std::to_string(os_GetLastError()) + ">";
  return buf;
}

TEST(PathTest, TranslatesWindowsForms) {
  const std::string r = os_Root();
  struct Case { const char *in; std::string out; } cases[] = {
      {"C:\\Tessarine\\BIN", r + "/drives/c/Tessarine/BIN"},
      {"d:\\x", r + "/drives/d/x"},
      {"\\\\.\\COM3:", r + "/dev/COM3"},
      {"\\\\.\\mailslot\\dm_12.slt", r + "/kernel/mailslot/dm_12.slt"},
      {"\\\\.\\pipe\\tessarine", r + "/hosts/./pipe/tessarine"},
      {"\\\\FARHOST\\pipe\\tessarine", r + "/hosts/FARHOST/pipe/tessarine"},
      {"\\\\FARHOST\\share\\a\\b.txt", r + "/hosts/FARHOST/shares/share/a/b.txt"},
      {"\\top\\x", r + "/drives/c/top/x"},
      {"/usr/lib", "/usr/lib"},
      {"..\\recent_history.txt", "../recent_history.txt"},
      {"ai.xml", "ai.xml"},
  };
  for (const Case &c : cases) EXPECT_EQ(Tr(c.in), c.out) << c.in;
}

TEST(PathTest, FallsBackToCaseInsensitiveMatch) {
  const std::string r = os_Root();
  ASSERT_EQ(os_MakeFolders((r + "/drives/c/Tessarine/Config").c_str()), 0);
  EXPECT_EQ(Tr("C:\\TESSARINE\\config\\new.txt"), r + "/drives/c/Tessarine/Config/new.txt");
  // A missing component ends the search; the rest is kept as spelled.
  EXPECT_EQ(Tr("C:\\tessarine\\Missing\\CONFIG"), r + "/drives/c/Tessarine/Missing/CONFIG");
}

TEST(PathTest, RejectsBadInput) {
  char small[8];
  EXPECT_EQ(os_TranslatePath("", small, sizeof small), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_NAME);
  EXPECT_EQ(os_TranslatePath("C:\\a\\long\\path", small, sizeof small), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILENAME_EXCED_RANGE);
  char buf[4096];
  EXPECT_EQ(os_ObjectPath("Global\\..\\..\\etc", buf, sizeof buf), -1);
  ASSERT_EQ(os_ObjectPath("Global\\Global\\dm_device.mut", buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), std::string(os_Root()) + "/kernel/Global/Global/dm_device.mut");
}
