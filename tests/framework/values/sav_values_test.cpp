// Saved values on real files under TSQ_SAVED_VALUES.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/shm/shm_tables.h"
#include "framework/values/sav_values.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "tests/support/test_root.h"

namespace {

struct Chan {
  std::string tag;
  bool enabled = true;
};

std::vector<ChannelRecord> Table(int type, const std::vector<Chan> &chans) {
  std::vector<ChannelRecord> t(chans.size());
  for (size_t i = 0; i < chans.size(); ++i) {
    memset(&t[i], 0, sizeof t[i]);
    t[i].raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(type);
    chan_SetFlagBit(&t[i], CHAN_FLAG_ENABLE, chans[i].enabled);
    chan_SetTag(&t[i], chans[i].tag.c_str());
  }
  return t;
}

uint32_t Bits(float f) {
  uint32_t w;
  memcpy(&w, &f, 4);
  return w;
}

class SavedValues : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = tnwtest::Root() + "/drives/c/SAVED";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    os_SetEnvironmentVariable("TSQ_SAVED_VALUES", "C:\\SAVED");
  }
  std::string File(const char *kind, const char *ext) const { return dir + "/PUMPS1_" + kind + ext; }
  std::string dir;
};

}  // namespace

TEST_F(SavedValues, TheBytesOfBothFiles) {
  auto t = Table(IO_AO, {{"AO_TAG_123456789"}, {"SHORT"}, {"OFF1", false}});
  std::vector<uint32_t> v = {Bits(1.5f), Bits(-2.0f), 0xDEADBEEF};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AO, v.data(), t.data(), 3), 0);
  std::string bin = tnwtest::ReadFile(File("ao", ".bin"));
  ASSERT_EQ(bin.size(), 48u);
  EXPECT_EQ(bin.substr(0, 12), "AO_TAG_12345") << "12 characters, no terminator";
  EXPECT_EQ(bin.substr(16, 12), std::string("SHORT") + std::string(7, '\0'));
  EXPECT_EQ(bin.substr(32, 12), std::string(12, '\0')) << "a channel that is not enabled";
  uint32_t w;
  memcpy(&w, bin.data() + 12, 4);
  EXPECT_EQ(w, Bits(1.5f));
  memcpy(&w, bin.data() + 28, 4);
  EXPECT_EQ(w, Bits(-2.0f));
  memcpy(&w, bin.data() + 44, 4);
  EXPECT_EQ(w, 0xDEADBEEFu);
  std::string tag = tnwtest::ReadFile(File("ao", ".tag"));
  EXPECT_EQ(tag, std::string("AO_TAG_12345678") + "SHORT" + std::string(10, '\0') + "OFF1" + std::string(11, '\0'));
}

TEST_F(SavedValues, ByPositionDigitalChannelsTakeBitZero) {
  auto dos = Table(IO_DO, {{"D1"}, {"D2"}, {"D3"}});
  std::vector<uint32_t> saved = {0xFFFFFFFF, 0xFFFFFFFE, 1};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_DO, saved.data(), dos.data(), 3), 0);
  // Four channels now: the fourth has no saved value and becomes 0.
  auto four = Table(IO_DO, {{"D1"}, {"D2"}, {"D3"}, {"D4"}});
  std::vector<uint32_t> out = {0x20, 0x21, 0x20, 0x80};
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_DO, 0, out.data(), four.data(), 4), 0);
  EXPECT_EQ(out, (std::vector<uint32_t>{1, 0, 1, 0}));
  auto ais = Table(IO_AI, {{"A1"}, {"A2"}});
  std::vector<uint32_t> offsets = {Bits(0.25f), 0xFFFFFFFF};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AI, offsets.data(), ais.data(), 2), 0);
  std::vector<uint32_t> back(2, 7);
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AI, 0, back.data(), ais.data(), 2), 0);
  EXPECT_EQ(back, offsets) << "analogue channels take the whole word";
}

TEST_F(SavedValues, ByTagAfterTheChannelsWereReordered) {
  auto before = Table(IO_AO, {{"FLOW"}, {"PRESSURE"}, {"LEVEL"}, {"SPARE"}});
  std::vector<float> v = {1.0f, 2.0f, 3.0f, 4.0f};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AO, v.data(), before.data(), 4), 0);
  auto after = Table(IO_AO, {{"level"}, {"NEW"}, {"FLOW"}, {"PRESSURE", false}, {"PRESSURE"}});
  std::vector<float> out(5, 9.0f);
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 1, out.data(), after.data(), 5), 0);
  // Tags match without case; a disabled channel takes nothing; a new one keeps 0.
  EXPECT_EQ(out, (std::vector<float>{3.0f, 0.0f, 1.0f, 0.0f, 2.0f}));
  // By position the same file gives the old order.
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 0, out.data(), after.data(), 5), 0);
  EXPECT_EQ(out, (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 0.0f}));
}

TEST_F(SavedValues, WithoutTagFileTheTwelveStoredCharactersMatch) {
  // Tags of 15 characters that differ only after the twelfth.
  auto before = Table(IO_AO, {{"PUMP_STATION_A"}, {"ABCDEFGHIJKL"}, {"OFF", false}});
  std::vector<float> v = {5.0f, 6.0f, 7.0f};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AO, v.data(), before.data(), 3), 0);
  ASSERT_EQ(unlink(File("ao", ".tag").c_str()), 0);
  auto after = Table(IO_AO, {{"OFF"}, {"ABCDEFGHIJKL"}, {"PUMP_STATION_B"}, {"PUMP_STATION_A"}});
  std::vector<float> out(4, 9.0f);
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 1, out.data(), after.data(), 4), 0);
  // A full 12-character field is compared within the field, never with the
  // value bytes after it: "ABCDEFGHIJKL" matches. The first 12 characters of
  // the station tags are all that is known, so the first station takes it.
  // The channel saved while disabled has an empty tag and keeps 0.
  EXPECT_EQ(out, (std::vector<float>{0.0f, 6.0f, 5.0f, 0.0f}));
  // With the ".tag" file the whole 15 characters tell them apart.
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AO, v.data(), before.data(), 3), 0);
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 1, out.data(), after.data(), 4), 0);
  EXPECT_EQ(out, (std::vector<float>{7.0f, 6.0f, 0.0f, 5.0f})) << "the .tag file names even a disabled channel";
}

TEST_F(SavedValues, ALongerOldFileKeepsItsTail) {
  auto five = Table(IO_AO, {{"T1"}, {"T2"}, {"T3"}, {"T4"}, {"T5"}});
  std::vector<float> v5 = {1, 2, 3, 4, 5};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AO, v5.data(), five.data(), 5), 0);
  auto three = Table(IO_AO, {{"T1"}, {"T2"}, {"T3"}});
  std::vector<float> v3 = {10, 20, 30};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AO, v3.data(), three.data(), 3), 0);
  EXPECT_EQ(tnwtest::ReadFile(File("ao", ".bin")).size(), 80u);
  EXPECT_EQ(tnwtest::ReadFile(File("ao", ".tag")).size(), 75u);
  // One record is read a channel: the stale tail ("T5" was last saved by the
  // five-channel table) is never restored.
  auto again = Table(IO_AO, {{"T5"}, {"T1"}});
  std::vector<float> out(2, 9);
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 1, out.data(), again.data(), 2), 0);
  EXPECT_EQ(out, (std::vector<float>{0, 10}));
}

TEST_F(SavedValues, ATagFileShorterThanTheRecordsReadFails) {
  auto three = Table(IO_AO, {{"T1"}, {"T2"}, {"T3"}});
  std::vector<float> v = {1, 2, 3};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AO, v.data(), three.data(), 3), 0);
  std::string tag = tnwtest::ReadFile(File("ao", ".tag"));
  // Two whole tags and part of the third.
  ASSERT_TRUE(tnwtest::WriteFile(File("ao", ".tag"), tag.substr(0, 40)));
  std::vector<float> out(3, 9);
  errno = 0;
  EXPECT_EQ(sav_ReadValues("PUMPS1", IO_AO, 1, out.data(), three.data(), 3), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_HANDLE_EOF));
  EXPECT_EQ(out, (std::vector<float>{9, 9, 9})) << "nothing is touched before the failure";
  // Enough tags for the records read, or no tags needed: restored.
  auto two = Table(IO_AO, {{"T2"}, {"T1"}});
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 1, out.data(), two.data(), 2), 0);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(out[1], 1);
  out.assign(3, 9);
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 0, out.data(), three.data(), 3), 0);
  EXPECT_EQ(out, v);
}

TEST_F(SavedValues, ShortAndMissingFiles) {
  auto two = Table(IO_AO, {{"T1"}, {"T2"}});
  std::vector<float> v = {1, 2};
  ASSERT_EQ(sav_WriteValues("PUMPS1", IO_AO, v.data(), two.data(), 2), 0);
  // A file shorter than the channel count restores what it holds.
  auto four = Table(IO_AO, {{"T1"}, {"T2"}, {"T3"}, {"T4"}});
  std::vector<float> out = {9, 9, 9, 9};
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 0, out.data(), four.data(), 4), 0);
  EXPECT_EQ(out, (std::vector<float>{1, 2, 0, 0}));
  out = {9, 9, 9, 9};
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 1, out.data(), four.data(), 4), 0);
  EXPECT_EQ(out, (std::vector<float>{1, 2, 0, 0}));
  // A half record at the end counts for nothing.
  std::string bin = tnwtest::ReadFile(File("ao", ".bin"));
  ASSERT_TRUE(tnwtest::WriteFile(File("ao", ".bin"), bin.substr(0, 24)));
  out = {9, 9, 9, 9};
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 0, out.data(), four.data(), 4), 0);
  EXPECT_EQ(out, (std::vector<float>{1, 0, 0, 0}));
  // No file: -1, and the values are left as they were.
  out = {9, 9, 9, 9};
  errno = 0;
  EXPECT_EQ(sav_ReadValues("OTHER", IO_AO, 0, out.data(), four.data(), 4), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(out, (std::vector<float>{9, 9, 9, 9}));
  // No folder to write to.
  std::filesystem::remove_all(dir);
  EXPECT_EQ(sav_WriteValues("PUMPS1", IO_AO, v.data(), two.data(), 2), -1);
  EXPECT_EQ(sav_ReadValues("PUMPS1", IO_AO, 7, v.data(), two.data(), -1), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(SavedValues, UpdatesRewriteOnlyChangedValues) {
  auto t = Table(IO_AO, {{"T1"}, {"T2"}, {"T3"}});
  std::vector<float> old = {1, 2, 3}, now = {1, 5, 3};
  // No file yet: written whole.
  ASSERT_EQ(sav_UpdateValues("PUMPS1", IO_AO, old.data(), old.data(), t.data(), 3), 0);
  std::string bin = tnwtest::ReadFile(File("ao", ".bin"));
  ASSERT_EQ(bin.size(), 48u);
  // Mark the tags in the file: an update must not touch them.
  bin[0] = 'X';
  bin[32] = 'Y';
  ASSERT_TRUE(tnwtest::WriteFile(File("ao", ".bin"), bin));
  ASSERT_EQ(sav_UpdateValues("PUMPS1", IO_AO, old.data(), now.data(), t.data(), 3), 0);
  std::string after = tnwtest::ReadFile(File("ao", ".bin"));
  EXPECT_EQ(after[0], 'X');
  EXPECT_EQ(after[32], 'Y');
  std::vector<float> out(3);
  ASSERT_EQ(sav_ReadValues("PUMPS1", IO_AO, 0, out.data(), t.data(), 3), 0);
  EXPECT_EQ(out, now);
  // More channels than the file holds: written whole again.
  auto four = Table(IO_AO, {{"T1"}, {"T2"}, {"T3"}, {"T4"}});
  std::vector<float> o4 = {1, 5, 3, 0}, n4 = {1, 5, 3, 8};
  ASSERT_EQ(sav_UpdateValues("PUMPS1", IO_AO, o4.data(), n4.data(), four.data(), 4), 0);
  EXPECT_EQ(tnwtest::ReadFile(File("ao", ".bin")).substr(0, 2), "T1");
  EXPECT_EQ(tnwtest::ReadFile(File("ao", ".bin")).size(), 64u);
}
