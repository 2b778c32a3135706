// Communication statistics channels in a statistics area made by scadasim.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/config/chan_text.h"
#include "framework/shm/shm_areas.h"
#include "framework/writers/shm_writers.h"
#include "framework/status/sts_stats.h"
#include "platform/os_env.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

namespace {

class CommStats : public ::testing::Test {
 protected:
  void Build(const std::string &name = "Tnwell", uint16_t channels = 30, const std::string &code = "S1") {
    SimWorldSpec spec;
    spec.devices[0].name = name;
    spec.devices[0].statsCode = code;
    spec.devices[0].statsChannels = channels;
    spec.devices[0].writeConfigFiles = false;
    std::string why;
    ASSERT_EQ(sim_CreateWorld(spec, &why), 0) << why;
  }
  void TearDown() override {
    sts_FreeCommStats();
    sim_DestroyWorld();
    os_SetEnvironmentVariable("TSQ_BIN", nullptr);
  }
  // Channel ch (from 1) of the statistics area as published.
  static uint32_t Word(int ch) { return shm_AreaStatusWords(sim_Area("S1", SHM_AREA_DATA))[ch - 1]; }
  static float Value(int ch) { return shm_AreaValues(sim_Area("S1", SHM_AREA_DATA))[ch - 1]; }
  static const ChannelRecord *Record(int ch) {
    return reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(sim_Area("S1", SHM_AREA_CONF))) + ch - 1;
  }
  static std::string Text32(const ChannelRecord *r, int offset) {
    char t[CHAN_TEXT_SIZE + 1];
    chan_GetText32(r, offset, t);
    return t;
  }
};

}  // namespace

TEST(CommStatsNames, TagsAndDescriptionsByInstanceAndRow) {
  struct Case {
    int instance, row;
    const char *tag, *lastDescription;
  } cases[] = {
      {0, 0, "PUMPSTATION1_ST", "PUMPSTATION1_TRANSMIT ERRORS"},
      {3, 0, "PUMPSTATI_3_ST", "PUMPSTATI_3_TRANSMIT ERRORS"},
      {0, 4, "PUMPSTAT_004_ST", "PUMPSTAT_004_TRANSMIT ERRORS"},
      {3, 4, "PUMPS_3_004_ST", "PUMPS_3_004_TRANSMIT ERRORS"},
  };
  for (const Case &c : cases) {
    ChannelRecord r[STS_ROW_SLOTS];
    memset(r, 0x77, sizeof r);
    sts_BuildCommStatsChannels("PumpStation1x", c.instance, c.row, r);
    EXPECT_STREQ(chan_GetTag(&r[0]), c.tag);
    EXPECT_STREQ(chan_GetDescription(&r[9]), c.lastDescription);
    EXPECT_EQ(r[0].raw[200], 0) << "the records start zeroed";
  }
  ChannelRecord r[STS_ROW_SLOTS];
  sts_BuildCommStatsChannels("PumpStation1", 0, 0, r);
  EXPECT_STREQ(chan_GetDescription(&r[5]), "PUMPSTATION1_RECEIVE COMM ERRORS") << "exactly 32 characters";
  const char *tags[] = {"ST", "RS", "RB", "RP", "RT", "RE", "RC", "TB", "TP", "TE"};
  const char *units[] = {"", "", "BYTES", "PACKETS", "TIMEOUTS", "ERRORS", "ERRORS", "BYTES", "PACKETS", "ERRORS"};
  for (int s = 0; s < STS_ROW_SLOTS; ++s) {
    EXPECT_EQ(std::string(chan_GetTag(&r[s])), std::string("PUMPSTATION1_") + tags[s]);
    EXPECT_EQ(chan_TypeByte(&r[s]), s < 2 ? IO_DO : IO_AO);
    EXPECT_TRUE(chan_FlagBit(&r[s], CHAN_FLAG_ENABLE));
    if (s >= 2) {
      EXPECT_STREQ(chan_GetUnits(&r[s]), units[s]);
    }
  }
}

TEST_F(CommStats, TheChannelsOfTheArea) {
  Build();
  ASSERT_EQ(sts_InitCommStats(sim_Device(0), "s1"), 0);
  EXPECT_EQ(sts_CommStatsRows(), 3);
  EXPECT_STREQ(chan_GetTag(Record(1)), "TNWELL_1_ST");
  EXPECT_STREQ(chan_GetDescription(Record(1)), "TNWELL_1_STATUS");
  EXPECT_EQ(Text32(Record(1), CHAN_HIGH_STATE_TEXT_OFFSET), "ENABLED") << "no library, no port text";
  EXPECT_EQ(Text32(Record(1), 64), "DISABLED");
  EXPECT_EQ(Text32(Record(12), CHAN_HIGH_STATE_TEXT_OFFSET), "RESET");
  EXPECT_EQ(Text32(Record(12), 64), "NORESET");
  EXPECT_STREQ(chan_GetTag(Record(23)), "TNWEL_1_002_RB");
  EXPECT_STREQ(chan_GetDescription(Record(23)), "TNWEL_1_002_RECEIVE BYTES");
  EXPECT_STREQ(chan_GetUnits(Record(23)), "BYTES");
  EXPECT_EQ(chan_TypeByte(Record(30)), IO_AO);
  EXPECT_NE(shm_AreaHeader(sim_Area("S1", SHM_AREA_DATA))->changed.seconds, 0u);
  // The first publication wrote every channel: all counters 0, nothing counted yet.
  for (int ch = 1; ch <= 30; ++ch) {
    if (ch % 10 == 1 || ch % 10 == 2) {
      EXPECT_EQ(Word(ch) & 1u, 0u) << ch;
    } else {
      EXPECT_EQ(Value(ch), 0.0f) << ch;
    }
    EXPECT_EQ(Word(ch) & CST_BAD, 0u) << ch;
  }
}

TEST_F(CommStats, CountingIntoAUnitsRowAndTheLinesRow) {
  Build();
  sim_Device(0)->Running = 1;
  ASSERT_EQ(sts_InitCommStats(sim_Device(0), "S1"), 0);
  EXPECT_EQ(Word(1) & 1u, 1u) << "row 0 starts with the Running byte";
  sts_AddTransmitBytes(2, 10);
  sts_AddTransmitPackets(2, 1);
  sts_AddReceiveBytes(0, 6);
  sts_AddReceiveCrcErrors(2, 1);
  EXPECT_EQ(Value(28), 10.0f);  // row 2 TB
  EXPECT_EQ(Value(8), 10.0f);   // row 0 TB
  EXPECT_EQ(Value(29), 1.0f);
  EXPECT_EQ(Value(9), 1.0f);
  EXPECT_EQ(Value(3), 6.0f);    // row 0 RB
  EXPECT_EQ(Value(23), 0.0f);   // row 2 RB
  EXPECT_EQ(Value(27), 1.0f);
  EXPECT_EQ(Word(21) & 1u, 1u) << "row 2 has counted";
  EXPECT_EQ(Word(11) & 1u, 0u) << "row 1 has not";
  EXPECT_EQ(sts_GetCommCounter(2, STS_SLOT_TX_BYTES), 10u);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_TX_BYTES), 10u);
  // A pump number beyond the rows has nowhere to go.
  sts_AddTransmitBytes(3, 99);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_TX_BYTES), 10u);
  EXPECT_EQ(Value(8), 10.0f);
  sts_AddCommCounter(1, 5, 11);
  EXPECT_EQ(Word(11) & 1u, 0u) << "no slot 11";
}

TEST_F(CommStats, AClientResetsARowThroughItsResetChannel) {
  Build();
  ASSERT_EQ(sts_InitCommStats(sim_Device(0), "S1"), 0);
  sts_AddTransmitBytes(2, 40);
  sts_AddReceiveTimeouts(1, 3);
  const uint32_t one = 1;
  ASSERT_EQ(shm_WriteDigital("S1", 22, 22, &one), 0);
  EXPECT_EQ(Word(22) & 1u, 1u);
  sts_PublishCommStats();
  EXPECT_EQ(Value(28), 0.0f) << "row 2 zeroed";
  EXPECT_EQ(sts_GetCommCounter(2, STS_SLOT_TX_BYTES), 0u);
  EXPECT_EQ(Word(22) & 1u, 0u) << "the reset channel goes back to 0";
  EXPECT_EQ(Value(8), 40.0f) << "the line's row keeps its counts";
  EXPECT_EQ(Value(15), 3.0f) << "and so does row 1";
  sts_AddTransmitBytes(2, 2);
  EXPECT_EQ(Value(28), 2.0f) << "counting goes on after the reset";
  EXPECT_EQ(Value(8), 42.0f);
}

TEST_F(CommStats, EachCountIsPublishedButSingleBytesWaitForTheNextOne) {
  Build();
  ASSERT_EQ(sts_InitCommStats(sim_Device(0), "S1"), 0);
  struct Case {
    void (*add)(int, uint32_t);
    int slot;
  } cases[] = {
      {sts_AddReceivePackets, STS_SLOT_RX_PACKETS},       {sts_AddReceiveTimeouts, STS_SLOT_RX_TIMEOUTS},
      {sts_AddReceiveCommErrors, STS_SLOT_RX_COMM_ERRORS}, {sts_AddReceiveCrcErrors, STS_SLOT_RX_CRC_ERRORS},
      {sts_AddTransmitBytes, STS_SLOT_TX_BYTES},          {sts_AddTransmitPackets, STS_SLOT_TX_PACKETS},
      {sts_AddTransmitErrors, STS_SLOT_TX_ERRORS},
  };
  for (const Case &c : cases) {
    c.add(1, 3);
    EXPECT_EQ(Value(10 + c.slot), 3.0f) << c.slot;
    EXPECT_EQ(Value(c.slot), 3.0f) << c.slot;
  }
  // Received bytes are counted at once and go out with the next count.
  sts_AddReceiveBytes(1, 4);
  EXPECT_EQ(sts_GetCommCounter(1, STS_SLOT_RX_BYTES), 4u);
  EXPECT_EQ(Value(10 + STS_SLOT_RX_BYTES), 0.0f);
  sts_AddReceivePackets(1, 1);
  EXPECT_EQ(Value(10 + STS_SLOT_RX_BYTES), 4.0f);
  EXPECT_EQ(Value(STS_SLOT_RX_BYTES), 4.0f);
}

TEST_F(CommStats, StoppingClearsTheStatus) {
  Build();
  ASSERT_EQ(sts_InitCommStats(sim_Device(0), "S1"), 0);
  sts_AddReceiveBytes(0, 1);
  sts_AddTransmitBytes(1, 1);
  EXPECT_EQ(Word(1) & 1u, 1u);
  EXPECT_EQ(Word(11) & 1u, 1u);
  sts_FreeCommStats();
  EXPECT_EQ(Word(1) & 1u, 0u);
  EXPECT_EQ(Word(11) & 1u, 0u);
  sts_AddReceiveBytes(0, 5);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_BYTES), 0u);
  EXPECT_EQ(Value(3), 1.0f) << "nothing is counted once stopped";
}

TEST_F(CommStats, AreasThatCannotHoldStatistics) {
  Build("Tnwell", 9);
  EXPECT_EQ(sts_InitCommStats(sim_Device(0), "S1"), -1) << "fewer than ten channels: no row";
  sts_AddReceiveBytes(0, 1);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_BYTES), 0u);
  EXPECT_EQ(sts_InitCommStats(sim_Device(0), "D1"), -1) << "entries of 4 bytes";
  EXPECT_EQ(sts_InitCommStats(sim_Device(0), "ZZ"), -1) << "no such area";
  EXPECT_EQ(sts_CommStatsRows(), 0);
}

TEST_F(CommStats, ThePortTextOfTheExtensionLibrary) {
  // The stand-in library answers "COM<length of the device name>:".
  Build("fullx", 10);
  os_SetEnvironmentVariable("TSQ_BIN", EXT_TESTLIB_DIR);
  ASSERT_EQ(sts_InitCommStats(sim_Device(0), "S1"), 0);
  EXPECT_EQ(Text32(Record(1), CHAN_HIGH_STATE_TEXT_OFFSET), "ENABLED COM5:");
  EXPECT_EQ(Text32(Record(1), 64), "DISABLED COM5:");
  EXPECT_EQ(Text32(Record(2), CHAN_HIGH_STATE_TEXT_OFFSET), "RESET") << "only the status channel";
}
