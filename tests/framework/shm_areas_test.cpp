// Channel data, configuration and event areas, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"

namespace {

class AreaTest : public ::testing::Test {
 protected:
  void *Make(const std::string &name, uint32_t payload) {
    void *seg = shm_CreateSegmentWithWaiters(name.c_str(), payload);
    EXPECT_NE(seg, nullptr) << name;
    made.push_back(name);
    return seg;
  }
  void TearDown() override {
    for (const std::string &n : made) shm_DestroySegment(n.c_str());
    shm_ForgetTables();
  }
  template <typename T>
  static void Put(uint8_t *p, size_t at, T v) {
    memcpy(p + at, &v, sizeof v);
  }
  std::vector<std::string> made;
};

}  // namespace

TEST_F(AreaTest, AnalogueAreaWithDescriptionBlocks) {
  const uint16_t n = 3;
  void *seg = Make("dm_T1", 20 + n * 8 + n * CHAN_DESCRIPTION_BLOCK);
  uint8_t *p = shm_Payload(seg);
  memcpy(p, "T1", 2);
  Put<uint16_t>(p, 2, 8);
  Put<uint16_t>(p, 4, n);
  Put<int16_t>(p, 6, -5);
  Put<int32_t>(p, 8, 1234);
  Put<int32_t>(p, 12, 0x01020304);
  Put<int16_t>(p, 16, 999);
  for (uint32_t i = 0; i < n; ++i) {
    Put<uint32_t>(p, 20 + 4 * i, 0x80u | i);
    Put<float>(p, 20 + 4 * n + 4 * i, 1.5f * static_cast<float>(i));
  }
  void *area = shm_OpenDataArea("t1");  // the lower-case code opens the same area
  ASSERT_NE(area, nullptr);
  ChannelAreaHeader *h = shm_AreaHeader(area);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(h), p);
  EXPECT_EQ(std::string(h->code, 2), "T1");
  EXPECT_EQ(h->entryWidth, 8);
  EXPECT_EQ(h->count, n);
  EXPECT_EQ(h->error, -5);
  EXPECT_EQ(h->duration, 1234);
  EXPECT_EQ(h->changed.seconds, 0x01020304);
  EXPECT_EQ(h->changed.ms, 999);
  uint32_t *words = shm_AreaStatusWords(area);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(words), p + 20);
  EXPECT_EQ(words[2], 0x82u);
  float *values = shm_AreaValues(area);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(values), p + 20 + 4 * n);
  EXPECT_EQ(values[2], 3.0f);
  EXPECT_EQ(shm_AreaDescriptions(area), p + 20 + 8 * n);
  // Writing through the header lands at the documented offsets.
  h->error = 13;
  h->duration = -1;
  h->changed.ms = 7;
  EXPECT_EQ(p[6], 13);
  EXPECT_EQ(p[7], 0);
  EXPECT_EQ(memcmp(p + 8, "\xff\xff\xff\xff", 4), 0);
  EXPECT_EQ(p[16], 7);
}

TEST_F(AreaTest, OneByteShortOfTheBlocksIsUsedWithout) {
  const uint16_t n = 4;
  void *seg = Make("dm_T2", 20 + n * (8 + CHAN_DESCRIPTION_BLOCK) - 1);
  uint8_t *p = shm_Payload(seg);
  Put<uint16_t>(p, 2, 8);
  Put<uint16_t>(p, 4, n);
  void *area = shm_OpenDataArea("T2");
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(shm_AreaDescriptions(area), nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(shm_AreaValues(area)), p + 20 + 4 * n);
}

TEST_F(AreaTest, DigitalAreaHasNoValues) {
  const uint16_t n = 16;
  void *seg = Make("dm_T3", 20 + n * (4 + CHAN_DESCRIPTION_BLOCK));
  uint8_t *p = shm_Payload(seg);
  Put<uint16_t>(p, 2, 4);
  Put<uint16_t>(p, 4, n);
  void *area = shm_OpenDataArea("T3");
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(shm_AreaValues(area), nullptr);
  EXPECT_EQ(shm_AreaDescriptions(area), p + 20 + 4 * n);
}

TEST_F(AreaTest, ConfigurationAndEventAreas) {
  const uint16_t n = 16;
  void *conf = Make("dm_T4_conf", n * CHAN_RECORD_SIZE);
  EXPECT_EQ(shm_OpenConfArea("t4"), conf);
  EXPECT_EQ(shm_AreaRecords(conf), static_cast<uint8_t *>(conf) + 128);
  void *ev = Make("dm_T4_event", 3 * (n / 8));  // the device's row and two loggers
  ASSERT_EQ(shm_OpenEventArea("T4"), ev);
  EXPECT_EQ(shm_EventRowSize(n), 2u);
  EXPECT_EQ(shm_EventRow(ev, n, 0), shm_Payload(ev));
  EXPECT_EQ(shm_EventRow(ev, n, 2), shm_Payload(ev) + 4);
  EXPECT_EQ(shm_EventRow(ev, n, 3), nullptr);  // no room for a fourth row
  EXPECT_EQ(shm_EventRow(ev, n, -1), nullptr);
  EXPECT_EQ(shm_OpenDataArea("T5"), nullptr);
  EXPECT_EQ(shm_OpenDataArea("T"), nullptr);
}
