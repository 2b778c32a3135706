// The utilities beside the database stores: base64, translation tables from
// the server's translations folder, and the two forms of the state texts.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/os_env.h"
#include "platform/os_registry.h"
#include "plugin/dbstores/db_utils.h"
#include "tests/support/test_root.h"

namespace {

std::string Bytes(const uint8_t *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

TEST(DbBase64, DecodeAndEncode) {
  const struct {
    const char *text, *bytes;
  } cases[] = {
      {"c2VjcmV0", "secret"}, {"c2VjcmV0MQ==", "secret1"}, {"c2VjcmV0MQ", "secret1"}, {"c2VjcmV0MTI=", "secret12"},
      {"c2VjcmV0MTI", "secret12"}, {"", ""}, {"YQ", "a"}, {"Y", ""}, {"c2Vj cmV0", "sec"}, {"c2Vj=cmV0", "sec"},
      {"+/+/", "\xfb\xff\xbf"},
  };
  for (const auto &c : cases) {
    uint8_t out[64];
    size_t n = db_Base64Decode(c.text, out, sizeof out);
    EXPECT_EQ(Bytes(out, n), c.bytes) << c.text;
  }
  uint8_t small[3];
  EXPECT_EQ(db_Base64Decode("c2VjcmV0", small, sizeof small), 3u);
  EXPECT_EQ(Bytes(small, 3), "sec");
  const struct {
    const char *bytes, *text;
  } enc[] = {{"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"secret1", "c2VjcmV0MQ=="}};
  for (const auto &e : enc) {
    EXPECT_EQ(db_Base64Encode(reinterpret_cast<const uint8_t *>(e.bytes), strlen(e.bytes)), e.text);
    uint8_t back[16];
    size_t n = db_Base64Decode(e.text, back, sizeof back);
    EXPECT_EQ(Bytes(back, n), e.bytes);
  }
}

class Translations : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = tnwtest::Root() + "/drives/c/translations";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ASSERT_EQ(os_SetEnvironmentVariable("TSQ_TRANSLATIONS", "C:\\translations"), 0);
    tr_FreeTranslations();
  }
  void TearDown() override { tr_FreeTranslations(); }
  void Write(const char *name, const std::string &bytes) { ASSERT_TRUE(tnwtest::WriteFile(dir + "/" + name, bytes)); }
  static std::string Utf16(const std::u16string &s) {
    std::string b = "\xFF\xFE";
    for (char16_t c : s) {
      b += static_cast<char>(c & 0xFF);
      b += static_cast<char>(c >> 8);
    }
    return b;
  }
  std::u16string Translate(int kind, const char *text, size_t bound = 33) {
    char16_t out[64];
    last = tr_Translate(kind, text, out, bound);
    return out;
  }
  std::string dir;
  int last = -1;
};

TEST_F(Translations, FilesInBothForms) {
  Write("tags.txt", Utf16(u"SOURCE\tTARGET\r\nPT101\tDRUCK\u00dc1\r\nno separator\r\n\tempty source\r\nX\t\r\n"));
  Write("descriptions.csv", "SOURCE,TARGET\r\nCYL1 PRESS,Zylinder 1, Druck\r\nLONG,ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n");
  char message[TR_MESSAGE_SIZE] = "";
  ASSERT_EQ(tr_LoadTranslations(".", message), 0) << message;
  EXPECT_STREQ(message, "");
  EXPECT_EQ(Translate(TR_TAGS, "pt101", 16), u"DRUCK\u00dc1");
  EXPECT_EQ(last, 1);
  EXPECT_EQ(Translate(TR_TAGS, "SOURCE", 16), u"SOURCE");  // the heading is no entry
  EXPECT_EQ(last, 0);
  EXPECT_EQ(Translate(TR_TAGS, "X", 16), u"X");
  EXPECT_EQ(Translate(TR_DESCRIPTIONS, "cyl1 press"), u"Zylinder 1, Druck");
  EXPECT_EQ(Translate(TR_DESCRIPTIONS, "LONG", 9), u"ABCDEFGH");
  EXPECT_EQ(Translate(TR_UNITS, "BAR", 9), u"BAR");  // no units file: an empty table
  EXPECT_EQ(last, 0);
  // A text longer than the result is cut at its bound, and nothing beyond it is written.
  char16_t out[20];
  for (char16_t &c : out) c = u'#';
  std::string longText(100, 'L');
  EXPECT_EQ(tr_Translate(TR_UNITS, longText.c_str(), out, 9), 0);
  EXPECT_EQ(std::u16string(out), std::u16string(8, u'L'));
  EXPECT_EQ(out[9], u'#');
}

TEST_F(Translations, Messages) {
  const struct {
    const char *what;
    const char *file;
    std::string bytes;
    const char *message;
  } cases[] = {
      {"empty file", "tags.txt", "", "CAN'T GET FILE SIZE OR EMPTY TRANSLATIONS FILE C:\\translations\\tags.txt - ERROR "},
      {"no separator", "tags.csv", "a\r\nb\r\n",
       "NO TRANSLATIONS PARSED IN FILE C:\\translations\\tags.csv - USE <tab> or <comma> as a SEPARATOR"},
      {"heading only", "tags.txt", "A\tB\r\n", "NO TRANSLATIONS PARSED IN FILE"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    Write(c.file, c.bytes);
    char message[TR_MESSAGE_SIZE] = "";
    EXPECT_EQ(tr_LoadTranslationTable(".", TR_TAGS, "tags", message), -1);
    EXPECT_EQ(std::string(message).rfind(c.message, 0), 0u) << message;
  }
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/tags.txt");  // a folder cannot be read
  char message[TR_MESSAGE_SIZE] = "";
  EXPECT_EQ(tr_LoadTranslationTable(".", TR_TAGS, "tags", message), -1);
  EXPECT_EQ(std::string(message).rfind("CAN'T ACCESS TRANSLATIONS FILE C:\\translations\\tags.txt - ERROR 5", 0), 0u)
      << message;
  std::filesystem::remove_all(dir);
  message[0] = '\0';
  EXPECT_EQ(tr_LoadTranslationTable(".", TR_TAGS, "tags", message), 0);  // no folder and no file: empty
}

ChannelRecord Digital(bool digital) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  r.raw[CHAN_TYPE_OFFSET] = digital ? 1 : 0;
  return r;
}

TEST(StateTexts, BothForms) {
  const struct {
    const char *what;
    std::string stored;  // the 32 bytes' start
    std::u16string wide;
  } reads[] = {
      {"UTF-8", "Geschlossen \xC3\xA4", u"Geschlossen \u00e4"},
      {"code page 1252", "Ge\xF6" "ffnet \x80", u"Ge\u00f6ffnet \u20ac"},
      {"wide form", std::string("\0\xFF\xA9\x03O\0N\0", 8), u"\u03a9ON"},
      {"32 bytes, unterminated", std::string(32, 'Z'), std::u16string(32, u'Z')},
      {"wide form of 15, unterminated", std::string("\0\xFF", 2) + std::string(30, 'A'), std::u16string(15, u'\x4141')},
  };
  for (const auto &c : reads) {
    SCOPED_TRACE(c.what);
    ChannelRecord r = Digital(true);
    memcpy(r.d.HighStateText, c.stored.data(), c.stored.size());
    memcpy(r.d.LowStateText, c.stored.data(), c.stored.size());
    EXPECT_EQ(chn_HighStateTextToWide(&r), c.wide);
    EXPECT_EQ(chn_LowStateTextToWide(&r), c.wide);
    r.raw[CHAN_TYPE_OFFSET] = 2;
    EXPECT_EQ(chn_HighStateTextToWide(&r), u"");
  }
  ChannelRecord r = Digital(true);
  chn_HighStateTextFromWide(&r, u"Caf\u00e9");
  chn_LowStateTextFromWide(&r, u"Caf\u00e9");
  EXPECT_EQ(std::string(r.d.HighStateText), "Caf\xE9");
  EXPECT_EQ(std::string(r.d.LowStateText), "Caf\xC3\xA9");
  EXPECT_EQ(chn_HighStateTextToWide(&r), u"Caf\u00e9");
  EXPECT_EQ(chn_LowStateTextToWide(&r), u"Caf\u00e9");
  chn_HighStateTextFromWide(&r, u"\u03a9 OPEN");
  EXPECT_EQ(static_cast<uint8_t>(r.d.HighStateText[0]), 0);
  EXPECT_EQ(static_cast<uint8_t>(r.d.HighStateText[1]), 0xFF);
  EXPECT_EQ(chn_HighStateTextToWide(&r), u"\u03a9 OPEN");
  // 32 narrow characters fill the field without a terminator; a UTF-8 text
  // is cut at a whole character.
  chn_LowStateTextFromWide(&r, std::u16string(31, u'a') + u"\u00e9");
  EXPECT_EQ(std::string(r.d.LowStateText, 32), std::string(31, 'a') + '\0');
  chn_HighStateTextFromWide(&r, std::u16string(40, u'b'));
  EXPECT_EQ(std::string(r.d.HighStateText, 32), std::string(32, 'b'));
  EXPECT_EQ(r.d.LowStateText[0], 'a');  // the neighbour is untouched
}

// The configured server name, else this computer's; a value of the wrong
// type or none falls back.
TEST(ServerName, SettingElseThisComputer) {
  char here[300] = {};
  uint32_t n = sizeof here;
  ASSERT_EQ(os_GetComputerName(here, &n), 0);
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_CURRENT_USER, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr, &k,
                              nullptr),
            0);
  ASSERT_EQ(os_RegSetValueEx(k, "ServerName", OS_REG_SZ, "SCADA-7", 8), 0);
  EXPECT_STREQ(db_GetServerName(), "SCADA-7");
  const uint32_t number = 7;
  ASSERT_EQ(os_RegSetValueEx(k, "ServerName", OS_REG_DWORD, &number, 4), 0);
  EXPECT_STREQ(db_GetServerName(), here);
  ASSERT_EQ(os_RegDeleteValue(k, "ServerName"), 0);
  EXPECT_STREQ(db_GetServerName(), here);
  os_RegCloseKey(k);
}

}  // namespace
