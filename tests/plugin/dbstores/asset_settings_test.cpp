// Asset settings as regtool sets them: first use from several threads, the
// values of this and of another computer, and, one process per case (the
// settings are read once per process), the levels, logger folders, root and
// default server that each set of values gives.
#include "plugin/dbstores/asset_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <latch>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "platform/os_registry.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"

namespace {

const char kAssetKey[] = "HKLM\\SOFTWARE\\Quenford\\Tessarine\\FIELDTOBASE";

// Runs regtool in this program's platform root; its exit status.
int Regtool(const std::string &args) {
  return tnwtest::ShellRun(tnwtest::BinPath("regtool") + " " + args + " >/dev/null 2>&1").status;
}

std::string Quoted(const std::string &s) { return "'" + s + "'"; }

class AssetSettings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool done = false;
    if (done) return;
    done = true;
    // Before any first use: the root, no terms (the defaults), no server.
    ASSERT_EQ(Regtool("write " + Quoted(kAssetKey) + " ROOT sz 'C:\\ASSETS'"), 0);
    std::filesystem::create_directories(tnwtest::Root() + "/hosts/HOSTA");
  }
};

// Declared first: the settings' first use is here, from four threads at once.
TEST_F(AssetSettings, FourThreadsFirstUseSeeTheSameValues) {
  std::latch go(1);
  std::vector<std::string> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      go.wait();
      std::string s;
      // Each thread starts with another of the cached values.
      for (int k = 0; k < 6; ++k) {
        switch ((k + t) % 6) {
          case 0: s += std::to_string(asset_LevelCount()) + ";"; break;
          case 1: s += std::string(asset_TermName(2) ? asset_TermName(2) : "(null)") + ";"; break;
          case 2: s += std::to_string(asset_LoggerDirCount()) + asset_LoggerDirSuffix(1) + ";"; break;
          case 3: s += std::string(asset_DefaultServer()) + ";"; break;
          case 4: s += std::string(asset_ProductKeyWord()) + ";"; break;
          case 5: s += std::string(asset_Root(nullptr) ? asset_Root(nullptr) : "(null)") + ";"; break;
        }
      }
      seen[static_cast<size_t>(t)] = s;
    });
  go.count_down();
  for (auto &th : threads) th.join();
  const std::string want = "6;WELL;1_;" + std::string(asset_DefaultServer()) + ";FIELDTOBASE;C:\\ASSETS;";
  for (int t = 0; t < 4; ++t) {
    // Rotate back to the common order before comparing.
    std::vector<std::string> parts;
    for (size_t at = 0, cut; (cut = seen[static_cast<size_t>(t)].find(';', at)) != std::string::npos; at = cut + 1)
      parts.push_back(seen[static_cast<size_t>(t)].substr(at, cut - at));
    ASSERT_EQ(parts.size(), 6u) << seen[static_cast<size_t>(t)];
    std::string ordered;
    for (int k = 0; k < 6; ++k) ordered += parts[static_cast<size_t>((k - t + 6) % 6)] + ";";
    EXPECT_EQ(ordered, want) << "thread " << t;
  }
  EXPECT_TRUE(std::regex_match(asset_DefaultServer(), std::regex("fieldlogger:[^:@]{8}@[^:@]+")))
      << asset_DefaultServer();
}

TEST_F(AssetSettings, LevelsWithoutTermsAreRegionToWell) {
  const char *want[] = {"REGION", "COUNTRY", "CUSTOMER", "CLIENT", "FIELD", "WELL"};
  ASSERT_EQ(asset_LevelCount(), 6);
  ASSERT_EQ(asset_TermCount(), 2);
  for (int i = 1; i <= 6; ++i) EXPECT_STREQ(asset_LevelName(i), want[i - 1]);
  EXPECT_EQ(asset_LevelName(0), nullptr);
  EXPECT_EQ(asset_LevelName(7), nullptr);
  EXPECT_EQ(asset_TermName(3), nullptr);
  EXPECT_STREQ(asset_LoggerDirName(1), "");
  EXPECT_EQ(asset_LoggerDirName(2), nullptr);
  EXPECT_EQ(asset_LoggerDirSuffix(2), nullptr);
}

TEST_F(AssetSettings, ReadAndWriteValuesHereAndOnAnotherComputer) {
  ASSERT_EQ(Regtool("write " + Quoted(kAssetKey) + " Word dword 77"), 0);
  ASSERT_EQ(Regtool("write " + Quoted(kAssetKey) + " Text sz 'twelve chars'"), 0);
  ASSERT_EQ(Regtool("--host HOSTA write " + Quoted(kAssetKey) + " ROOT sz 'E:\\FAR'"), 0);
  ASSERT_EQ(Regtool("--host HOSTA write " + Quoted(kAssetKey) + " Text sz remote"), 0);
  const struct {
    const char *host, *name;
    uint32_t type, size;
    int ok;
    const char *text;  // a text's expected content; "" for the dword
  } cases[] = {
      {".", "Text", OS_REG_SZ, 64, 1, "twelve chars"},
      {nullptr, "text", OS_REG_SZ, 13, 1, "twelve chars"},  // exactly fits with its terminator
      {".", "Text", OS_REG_SZ, 12, 0, nullptr},             // one byte short
      {".", "Word", OS_REG_SZ, 64, 0, nullptr},             // not a text
      {".", "Word", OS_REG_DWORD, 4, 1, ""},
      {".", "Text", OS_REG_DWORD, 4, 0, nullptr},
      {".", "Missing", OS_REG_SZ, 64, 0, nullptr},
      {"HOSTA", "Text", OS_REG_SZ, 64, 1, "remote"},
      {"hosta", "Word", OS_REG_DWORD, 4, 0, nullptr},  // only this computer has it
      {"NOHOST", "Text", OS_REG_SZ, 64, 0, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.host ? c.host : "(null)") + " " + c.name);
    char buf[64];
    memset(buf, '#', sizeof buf);
    ASSERT_EQ(asset_GetSetting(c.host, c.name, c.type, buf, c.size), c.ok);
    if (!c.ok) {
      EXPECT_EQ(buf[0], '#') << "untouched on failure";
    } else if (c.type == OS_REG_DWORD) {
      uint32_t v = 0;
      memcpy(&v, buf, 4);
      EXPECT_EQ(v, 77u);
    } else {
      EXPECT_STREQ(buf, c.text);
    }
  }
  EXPECT_STREQ(asset_Root("HOSTA"), "E:\\FAR");
  EXPECT_STREQ(asset_Root("."), "C:\\ASSETS");
  EXPECT_EQ(asset_Root("NOHOST"), nullptr) << "an unreachable host gives no root, not this computer's";

  // Written on the other computer, seen there by regtool, not here.
  ASSERT_EQ(asset_SetSetting("HOSTA", "Note", OS_REG_SZ, "set remotely", 13), 1);
  EXPECT_EQ(tnwtest::Shell(tnwtest::BinPath("regtool") + " --host HOSTA read " + Quoted(kAssetKey) + " Note"),
            "set remotely\n");
  char buf[32] = "";
  EXPECT_EQ(asset_GetSetting(".", "Note", OS_REG_SZ, buf, sizeof buf), 0);
  EXPECT_EQ(asset_SetSetting("NOHOST", "Note", OS_REG_SZ, "x", 2), 0);
  uint32_t seven = 7;
  ASSERT_EQ(asset_SetSetting(nullptr, "Seven", OS_REG_DWORD, &seven, 4), 1);
  EXPECT_EQ(tnwtest::Shell(tnwtest::BinPath("regtool") + " read " + Quoted(kAssetKey) + " Seven"), "7\n");
}

// The child half of the per-process cases: applies TNW_ASSET_CASE's values
// ("NAME=VALUE" or "NAME:dword=N" separated by '|'; ProductName and
// ReplicationProductName go to the maker's key) with regtool, then prints
// what the settings give.
TEST(AssetSettingsChild, Report) {
  const char *spec = getenv("TNW_ASSET_CASE");
  if (!spec) GTEST_SKIP() << "run by AssetSettingsCases";
  std::vector<std::string> assetValues;
  std::string all = spec;
  for (size_t at = 0; at <= all.size();) {
    size_t cut = all.find('|', at);
    std::string item = all.substr(at, cut == std::string::npos ? std::string::npos : cut - at);
    at = cut == std::string::npos ? all.size() + 1 : cut + 1;
    if (item.empty()) continue;
    if (item.rfind("ProductName=", 0) == 0 || item.rfind("ReplicationProductName=", 0) == 0) {
      size_t eq = item.find('=');
      ASSERT_EQ(Regtool("write 'HKLM\\SOFTWARE\\Quenford' " + item.substr(0, eq) + " sz " +
                        Quoted(item.substr(eq + 1))),
                0);
    } else {
      assetValues.push_back(item);
    }
  }
  // The asset key depends on the names just set.
  std::string key = std::string("HKLM\\SOFTWARE\\Quenford\\") + prod_GetProductName() + "\\" + asset_ProductKeyWord();
  for (const std::string &item : assetValues) {
    size_t eq = item.find('=');
    std::string name = item.substr(0, eq), value = item.substr(eq + 1), type = "sz";
    if (name.size() > 6 && name.compare(name.size() - 6, 6, ":dword") == 0) name.resize(name.size() - 6), type = "dword";
    ASSERT_EQ(Regtool("write " + Quoted(key) + " " + name + " " + type + " " + Quoted(value)), 0) << item;
  }
  std::string levels, dirs;
  for (int i = 1; i <= asset_LevelCount(); ++i) levels += std::string(i > 1 ? "," : "") + asset_LevelName(i);
  for (int i = 1; i <= asset_LoggerDirCount(); ++i)
    dirs += std::string(i > 1 ? "," : "") + asset_LoggerDirName(i) + "(" + asset_LoggerDirSuffix(i) + ")";
  printf("levels=%s\ndirs=%s\nkeyword=%s\nroot=%s\nserver=%s\n", levels.c_str(), dirs.c_str(), asset_ProductKeyWord(),
         asset_Root(nullptr) ? asset_Root(nullptr) : "(null)", asset_DefaultServer());
}

TEST(AssetSettingsCases, EachSetOfValuesInItsOwnProcess) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  const char *kFieldLevels = "REGION,COUNTRY,CUSTOMER,CLIENT,";
  const struct {
    const char *values;
    std::string levels, dirs, keyword, root, server;  // server: a regular expression
  } cases[] = {
      {"", std::string(kFieldLevels) + "FIELD,WELL", "(_)", "FIELDTOBASE", "C:\\TESSARINE\\FIELDTOBASE",
       "fieldlogger:[^:@]{8}@[^:@]+"},
      {"ASSET_TERM_1=AREA", std::string(kFieldLevels) + "AREA,WELL", "(_)", "FIELDTOBASE",
       "C:\\TESSARINE\\FIELDTOBASE", ".*"},
      // 1 and 2 have defaults, so 3 counts; 5 follows a gap and does not.
      {"ASSET_TERM_3=PAD|ASSET_TERM_5=LOST", std::string(kFieldLevels) + "FIELD,WELL,PAD", "(_)", "FIELDTOBASE",
       "C:\\TESSARINE\\FIELDTOBASE", ".*"},
      {"ASSET_TERM_1:dword=5", std::string(kFieldLevels) + "FIELD,WELL", "(_)", "FIELDTOBASE",
       "C:\\TESSARINE\\FIELDTOBASE", ".*"},
      {"LOGGER_DIR_1=|LOGGER_DIR_2=FAST", std::string(kFieldLevels) + "FIELD,WELL", "(_),FAST(_FAST)", "FIELDTOBASE",
       "C:\\TESSARINE\\FIELDTOBASE", ".*"},
      {"ROOT=E:\\Assets|DefaultServer=me:secret@example", std::string(kFieldLevels) + "FIELD,WELL", "(_)",
       "FIELDTOBASE", "E:\\Assets", "me:secret@example"},
      {"ProductName=Rimfold", std::string(kFieldLevels) + "FIELD,WELL", "SLOW_LOG(_SLOW_LOG),FAST_LOG(_FAST_LOG)",
       "LEDGERLANE", "D:\\LedgerLane", "rimlogger:[^:@]{8}@[^:@]+"},
      {"ProductName=Rimfold|LOGGER_DIR_2=MID|LOGGER_DIR_3=EXTRA", std::string(kFieldLevels) + "FIELD,WELL",
       "SLOW_LOG(_SLOW_LOG),MID(_MID),EXTRA(_EXTRA)", "LEDGERLANE", "D:\\LedgerLane", ".*"},
      // The key word: upper case, no blanks, 19 characters at most.
      {"ReplicationProductName=North Sea production assets|ASSET_TERM_1=BLOCK",
       std::string(kFieldLevels) + "BLOCK,WELL", "(_)", "NORTHSEAPRODUCTIONA", "C:\\TESSARINE\\NORTHSEAPRODUCTIONA",
       ".*"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.values);
    std::string out = tnwtest::Shell("TNW_ASSET_CASE=" + Quoted(c.values) + " " + self +
                                     " --gtest_filter=AssetSettingsChild.Report 2>&1");
    std::smatch m;
    std::regex report("levels=(.*)\ndirs=(.*)\nkeyword=(.*)\nroot=(.*)\nserver=(.*)\n");
    ASSERT_TRUE(std::regex_search(out, m, report)) << out;
    EXPECT_EQ(m[1].str(), c.levels);
    EXPECT_EQ(m[2].str(), c.dirs);
    EXPECT_EQ(m[3].str(), c.keyword);
    EXPECT_EQ(m[4].str(), c.root);
    EXPECT_TRUE(std::regex_match(m[5].str(), std::regex(c.server))) << m[5].str();
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
  }
}

}  // namespace
