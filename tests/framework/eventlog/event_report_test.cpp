// Reports to the event log stand-in and the wide-string conversion.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "framework/eventlog/sts_report.h"
#include "framework/registry/reg_settings.h"
#include "framework/xml/xml_wide.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_eventlog.h"
#include "tests/support/test_root.h"

namespace {

std::vector<std::string> Lines(const char *server) {
  char path[4096];
  std::vector<std::string> lines;
  if (os_EventLogPath(server, path, sizeof path) != 0) return lines;
  std::istringstream in(tnwtest::ReadFile(path));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::vector<std::string> Split(const std::string &line) {
  std::vector<std::string> parts;
  size_t i = 0;
  for (;;) {
    size_t t = line.find('\t', i);
    parts.push_back(line.substr(i, t == std::string::npos ? std::string::npos : t - i));
    if (t == std::string::npos) break;
    i = t + 1;
  }
  return parts;
}

std::string UserName() {
  char user[64];
  uint32_t size = sizeof user;
  return os_GetUserName(user, &size) == 0 ? user : "N/A";
}

}  // namespace

TEST(EventReport, OneLinePerReportWithSourceIdAndUser) {
  prod_ForgetNames();
  errno = 77;
  os_SetLastError(1465);
  ASSERT_EQ(sts_ReportErrorEvent(".", STS_EVENT_ERROR, "tnwll Dev/Proc Config - first"), 0);
  EXPECT_EQ(errno, 77) << "the caller's error stays";
  EXPECT_EQ(os_GetLastError(), 1465u);
  ASSERT_EQ(sts_ReportErrorEvent(nullptr, STS_EVENT_ERROR, "Can't Parse X\nLine 1 : **** bad ****\r\nP1\tx"), 0);
  std::vector<std::string> lines = Lines(".");
  ASSERT_EQ(lines.size(), 2u);
  std::vector<std::string> f = Split(lines[0]);
  ASSERT_EQ(f.size(), 6u) << lines[0];
  EXPECT_EQ(f[0].size(), 19u) << "YYYY-MM-DD HH:MM:SS";
  EXPECT_EQ(f[1], "Tessarine");
  EXPECT_EQ(f[2], "Error");
  EXPECT_EQ(f[3], "102");
  EXPECT_EQ(f[4], UserName());
  EXPECT_EQ(f[5], "tnwll Dev/Proc Config - first");
  f = Split(lines[1]);
  ASSERT_EQ(f.size(), 6u) << lines[1];
  EXPECT_EQ(f[5], "Can't Parse X\\nLine 1 : **** bad ****\\r\\nP1\\tx");
}

TEST(EventReport, ARemoteServerNeedsItsHost) {
  EXPECT_EQ(sts_ReportErrorEvent("\\\\NOHOST", STS_EVENT_ERROR, "lost"), -1);
  std::filesystem::create_directories(tnwtest::Root() + "/hosts/LOGHOST");
  ASSERT_EQ(sts_ReportErrorEvent("\\\\loghost", STS_EVENT_ERROR, "kept"), 0);
  std::vector<std::string> lines = Lines("LOGHOST");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Split(lines[0]).back(), "kept");
  for (const std::string &l : Lines(".")) EXPECT_EQ(l.find("kept"), std::string::npos);
}

TEST(WideConversion, CodePage1252AndGrowthInSteps) {
  const char16_t *w = BstrFromChar("A\x80\xE9\x9F\x81");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::u16string(w), (std::u16string{u'A', 0x20AC, 0x00E9, 0x0178, 0x0081}));
  EXPECT_EQ(BstrCapacity(0), 1024u);
  EXPECT_EQ(BstrFromChar(nullptr), nullptr);
  EXPECT_EQ(BstrCapacity(0), 1024u) << "a text that cannot be converted grows nothing";
  std::string fits(1023, 'a'), fills(1024, 'b'), longer(3000, 'c');
  EXPECT_EQ(std::u16string(BstrFromChar(fits.c_str())).size(), 1023u);
  EXPECT_EQ(BstrCapacity(0), 1024u);
  EXPECT_EQ(std::u16string(BstrFromChar(fills.c_str())).size(), 1024u);
  EXPECT_EQ(BstrCapacity(0), 2048u);
  const char16_t *l = BstrFromChar(longer.c_str());
  EXPECT_EQ(std::u16string(l), std::u16string(3000, u'c'));
  EXPECT_EQ(BstrCapacity(0), 3072u);
  // The second conversion keeps its own buffer: the first result stays.
  const char16_t *second = BstrFromChar2("xy");
  EXPECT_EQ(std::u16string(second), u"xy");
  EXPECT_EQ(std::u16string(l).size(), 3000u);
  EXPECT_EQ(BstrCapacity(1), 1024u);
}
