#include "plugin/dbstores/asset_cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Hex(const uint8_t *b, size_t n) {
  std::string s;
  char t[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(t, sizeof t, "%02x", b[i]);
    s += t;
  }
  return s;
}

std::vector<uint8_t> Bytes(const char *hex) {
  std::vector<uint8_t> v;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) v.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  return v;
}

TEST(AssetCipher, Available) { EXPECT_EQ(asset_CryptoAvailable(), 1); }

// Vectors worked out from the key rule independently of this code.
struct Vector {
  const char *phrase;
  const char *key40;   // what encryption gives
  const char *key128;  // a text from an enhanced-provider host
};
const Vector kVectors[] = {
    {ASSET_PHRASE_PASSWORD, "9dd331b37153", "04c78297a4a4"},
    {ASSET_PHRASE_URL, "62be49a8143b", "a842242d8b21"},
};

TEST(AssetCipher, VectorsBothDirectionsAndKeys) {
  for (const Vector &v : kVectors) {
    SCOPED_TRACE(v.phrase);
    uint8_t out[16];
    ASSERT_EQ(asset_EncryptPassword("secret", out, sizeof out, v.phrase), 6u);
    EXPECT_EQ(Hex(out, 6), v.key40);
    for (const char *hex : {v.key40, v.key128}) {
      std::vector<uint8_t> c = Bytes(hex);
      char plain[16];
      memset(plain, 'x', sizeof plain);
      ASSERT_NE(asset_DecryptPassword(c.data(), c.size(), plain, sizeof plain, v.phrase), 0) << hex;
      EXPECT_STREQ(plain, "secret") << hex;
    }
  }
}

TEST(AssetCipher, OtherPhraseFailsAndLeavesOutputAlone) {
  const struct {
    const char *hex, *phrase;
  } cases[] = {
      {"9dd331b37153", ASSET_PHRASE_URL}, {"04c78297a4a4", ASSET_PHRASE_URL},
      {"62be49a8143b", ASSET_PHRASE_PASSWORD}, {"a842242d8b21", ASSET_PHRASE_PASSWORD},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> b = Bytes(c.hex);
    char plain[16] = "untouched";
    EXPECT_EQ(asset_DecryptPassword(b.data(), b.size(), plain, sizeof plain, c.phrase), 0) << c.hex;
    EXPECT_STREQ(plain, "untouched");
  }
}

TEST(AssetCipher, PaddedFieldRoundTripsUnderThe40BitKey) {
  // A 256-byte space-padded field: the 40-bit text must win even when both
  // texts could look printable.
  std::string field = "pa55 word!";
  field.resize(256, ' ');
  uint8_t c[256];
  ASSERT_EQ(asset_EncryptPassword(field.c_str(), c, sizeof c, ASSET_PHRASE_PASSWORD), 256u);
  char back[257];
  ASSERT_NE(asset_DecryptPassword(c, 256, back, sizeof back, ASSET_PHRASE_PASSWORD), 0);
  EXPECT_EQ(std::string(back), field);

  // A password that fills the field has no padding and still deciphers.
  std::string full;
  for (int i = 0; i < 256; ++i) full += static_cast<char>('!' + (i * 7) % 90);
  ASSERT_EQ(asset_EncryptPassword(full.c_str(), c, sizeof c, ASSET_PHRASE_PASSWORD), 256u);
  ASSERT_NE(asset_DecryptPassword(c, 256, back, sizeof back, ASSET_PHRASE_PASSWORD), 0);
  EXPECT_EQ(std::string(back), full);
}

TEST(AssetCipher, LengthLimits) {
  std::string text(ASSET_CIPHER_MAX_TEXT, 'a');
  std::vector<uint8_t> c(1200, 0xEE);
  ASSERT_EQ(asset_EncryptPassword(text.c_str(), c.data(), c.size(), ASSET_PHRASE_PASSWORD), 999u);
  std::vector<char> back(1200, 'z');
  ASSERT_NE(asset_DecryptPassword(c.data(), 999, back.data(), back.size(), ASSET_PHRASE_PASSWORD), 0);
  EXPECT_EQ(std::string(back.data()), text);

  // 1,000 characters and up are refused and nothing is written.
  std::string over(1000, 'a');
  std::vector<uint8_t> untouched(1200, 0xEE);
  EXPECT_EQ(asset_EncryptPassword(over.c_str(), untouched.data(), untouched.size(), ASSET_PHRASE_PASSWORD), 0u);
  EXPECT_EQ(untouched, std::vector<uint8_t>(1200, 0xEE));
  std::vector<char> out(1200, 'z');
  EXPECT_EQ(asset_DecryptPassword(c.data(), 1000, out.data(), out.size(), ASSET_PHRASE_PASSWORD), 0);
  EXPECT_EQ(out, std::vector<char>(1200, 'z'));

  // Output too small for the bytes (encryption) or the terminator (decryption).
  uint8_t five[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(asset_EncryptPassword("secret", five, sizeof five, ASSET_PHRASE_PASSWORD), 0u);
  EXPECT_EQ(five[0], 1);
  std::vector<uint8_t> s = Bytes("9dd331b37153");
  char six[6] = "abcde";
  EXPECT_EQ(asset_DecryptPassword(s.data(), s.size(), six, sizeof six, ASSET_PHRASE_PASSWORD), 0);
  EXPECT_STREQ(six, "abcde");
  // Nothing to encipher.
  EXPECT_EQ(asset_EncryptPassword("", five, sizeof five, ASSET_PHRASE_PASSWORD), 0u);
}

TEST(AssetCipher, ThreadsAgreeOnFirstUse) {
  std::vector<std::string> got(8);
  std::vector<std::thread> t;
  for (int i = 0; i < 8; ++i)
    t.emplace_back([&got, i] {
      uint8_t out[8];
      size_t n = asset_EncryptPassword("secret", out, sizeof out, ASSET_PHRASE_PASSWORD);
      got[i] = Hex(out, n);
    });
  for (auto &th : t) th.join();
  for (const std::string &g : got) EXPECT_EQ(g, "9dd331b37153");
}

}  // namespace
