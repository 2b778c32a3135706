#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "tools/scadasim/sim_world.h"

namespace {

SimWorldSpec TwoDevices() {
  SimWorldSpec w;
  SimDeviceSpec a;
  a.name = "Tnwell";
  a.instance = 1;
  a.codes[IO_AI] = "A1";
  a.codes[IO_DI] = "D1";
  a.statsCode = "S1";
  SimDeviceSpec b = a;
  b.instance = 2;
  b.statusName = "TNWELL2";
  b.folder = "TNWELL2";
  b.codes[IO_AI] = "A2";
  b.codes[IO_DI] = "";
  b.statsCode = "";
  w.devices = {a, b};
  w.processors = {
      {"ALARMS", "Alarm text", "AL", 0, 1, 9, 1111},
      {"ALARM", "Alarm processor", "AM", 2, 1, 5, 2222},
      {"MODBUS1", "Modbus", "MB", 3, 1, 0, 3333},
  };
  w.loggers = {"Trend", "Events"};
  w.statisticsCodes = true;
  return w;
}

class TablesTest : public ::testing::Test {
 protected:
  void Build(const SimWorldSpec &spec) {
    std::string why;
    ASSERT_EQ(sim_CreateWorld(spec, &why), 0) << why;
  }
  void TearDown() override { sim_DestroyWorld(); }
};

}  // namespace

TEST_F(TablesTest, FindsDevicesByDriverNameAndInstance) {
  Build(TwoDevices());
  EXPECT_EQ(shm_FindDeviceRecord("TNWELL_SC", 1), sim_Device(0));
  EXPECT_EQ(shm_FindDeviceRecord("tnwel", 2), sim_Device(1));
  EXPECT_EQ(shm_FindDeviceRecord("Tnwell", 3), nullptr);
  EXPECT_EQ(shm_FindDeviceRecord("Other", 1), nullptr);
  ASSERT_NE(shm_DeviceStatsCode(0), nullptr);
  EXPECT_EQ(std::string(shm_DeviceStatsCode(0), 2), "S1");
}

TEST_F(TablesTest, StatisticsCodesNeedRoomBehindTheRecords) {
  SimWorldSpec w = TwoDevices();
  w.statisticsCodes = false;
  Build(w);
  ASSERT_EQ(shm_AttachDevices(), 0);
  EXPECT_EQ(shm_DeviceTable()->count, 2);
  EXPECT_EQ(shm_DeviceStatsCode(0), nullptr);
}

TEST_F(TablesTest, StatisticsCodesNeedRoomBesideTheCount) {
  // The codes lie behind the 4-byte count and the records: n x 790 bytes of
  // payload are not enough, 4 + n x 790 are.
  Build(TwoDevices());
  SegmentLockBlock *lb = shm_LockBlock(shm_OpenSegment("dm_device"));
  const int32_t n = 2, records = n * 790;
  struct Case { int32_t length; bool codes; } cases[] = {
      {records, false}, {records + 3, false}, {records + 4, true}, {records + 40, true},
  };
  for (const Case &c : cases) {
    lb->dataLength = c.length;
    shm_ForgetTables();
    ASSERT_EQ(shm_AttachDevices(), 0) << c.length;
    EXPECT_EQ(shm_DeviceTable()->count, n) << c.length;
    EXPECT_EQ(shm_DeviceStatsCode(1) != nullptr, c.codes) << c.length;
    // Known as the device's statistics code (its area is missing), or not at all.
    EXPECT_EQ(shm_GetCodeOwnerPid("S1"), c.codes ? -1 : 0) << c.length;
  }
}

TEST_F(TablesTest, AStaleSegmentTooSmallForTheWorldIsRefused) {
  // Left by a world of an earlier, killed run: far too small for two records.
  ASSERT_NE(shm_CreateSegmentWithWaiters("dm_device", 10), nullptr);
  std::string why;
  EXPECT_EQ(sim_CreateWorld(TwoDevices(), &why), -1);
  EXPECT_NE(why.find("dm_device"), std::string::npos) << why;
  EXPECT_EQ(shm_LockBlock(shm_OpenSegment("dm_device"))->dataLength, 10);
  shm_DestroySegment("dm_device");
  Build(TwoDevices());
  EXPECT_EQ(shm_FindDeviceRecord("Tnwell", 2), sim_Device(1));
}

TEST_F(TablesTest, ACountBeyondThePayloadIsBounded) {
  Build(TwoDevices());
  // The server claims more records than its payload holds.
  void *seg = shm_OpenSegment("dm_device");
  int32_t lie = 1000000;
  memcpy(shm_Payload(seg), &lie, 4);
  shm_ForgetTables();
  ASSERT_EQ(shm_AttachDevices(), 0);
  EXPECT_EQ(shm_DeviceTable()->count, 2);
  int32_t negative = -5;
  memcpy(shm_Payload(seg), &negative, 4);
  shm_ForgetTables();
  ASSERT_EQ(shm_AttachDevices(), 0);
  EXPECT_EQ(shm_DeviceTable()->count, 0);
  EXPECT_EQ(shm_FindDeviceRecord("Tnwell", 1), nullptr);
}

TEST_F(TablesTest, ProcessorsPreferAWholeNameMatch) {
  Build(TwoDevices());
  DataProcessorRecord *p = shm_FindProcessor("alarm");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ProcessId, 2222u);  // whole name beats the earlier "ALARMS"
  p = shm_FindProcessor("ALARMXYZ");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ProcessId, 1111u);  // else the first sharing five characters
  EXPECT_EQ(shm_FindProcessor("DERIVED"), nullptr);
  EXPECT_EQ(shm_FindLoggerIndex("events"), 2);
  EXPECT_EQ(shm_FindLoggerIndex("none"), 0);
}

TEST_F(TablesTest, DirectoryOfCodes) {
  Build(TwoDevices());
  // Processors first, then six entries a device: five I/O codes and the statistics code.
  EXPECT_EQ(shm_FindDirectoryIndex("d1"), 3 + 1);
  EXPECT_EQ(shm_FindDirectoryIndex("A2"), 3 + 6);
  EXPECT_EQ(shm_FindDirectoryIndex(""), -1);
  EXPECT_EQ(shm_FindDirectoryIndex("ZZ"), -1);
  EXPECT_EQ(shm_FindDirectoryIndex("AL"), -1);  // known, but its data area does not exist
  EXPECT_EQ(shm_GetCodeOwnerPid("ZZ"), 0);
  EXPECT_EQ(shm_GetCodeOwnerPid("AL"), -1);
  sim_Device(0)->ProcessId = 4321;
  EXPECT_EQ(shm_GetCodeOwnerPid("a1"), 4321);
  EXPECT_STREQ(shm_GetCodeName("A1"), "TNWELL1");
  EXPECT_STREQ(shm_GetCodeName("ZZ"), "");
  EXPECT_EQ(shm_GetCodeClass("A1"), 0);
  EXPECT_EQ(shm_GetCodeClass("ZZ"), 1);
  EXPECT_EQ(shm_GetCodeClass("AL"), -1);
  EXPECT_EQ(shm_GetCodeFlag("AL"), 9);
  EXPECT_EQ(shm_GetCodeFlag("A1"), 0);
  // Lower and upper case open the same, cached areas.
  void *lower = shm_OpenDataArea("a1");
  ASSERT_NE(lower, nullptr);
  EXPECT_EQ(shm_OpenDataArea("A1"), lower);
  EXPECT_EQ(shm_OpenConfArea("a1"), shm_OpenConfArea("A1"));
  EXPECT_NE(shm_OpenEventArea("a1"), nullptr);
  EXPECT_EQ(shm_DirectoryArea(3, SHM_AREA_DATA), lower);
  EXPECT_EQ(shm_AreaHeader(lower)->count, 8);
  EXPECT_EQ(std::string(chan_KindShortName(5)), "dc");
}

TEST_F(TablesTest, MovingAProcessorKeepsItsDirectoryEntry) {
  Build(TwoDevices());
  ASSERT_EQ(shm_FindDirectoryIndex("A1"), 3);
  ASSERT_EQ(shm_MoveProcessorToEnd(0), 0);
  EXPECT_EQ(shm_FindProcessor("ALARMS")->ProcessId, 1111u);
  const DataProcessorRecord *last = reinterpret_cast<const DataProcessorRecord *>(shm_ProcessorTable()->first) + 2;
  EXPECT_EQ(last->ProcessId, 1111u);
  EXPECT_EQ(shm_MoveProcessorToEnd(3), -1);
}

TEST_F(TablesTest, ErrorTableForms) {
  SimWorldSpec w = TwoDevices();
  w.errorEntries = 5;
  Build(w);
  ASSERT_EQ(shm_AttachErrors(), 0);
  const ShmErrorTable *t = shm_ErrorTable();
  EXPECT_EQ(t->count, 5);
  ASSERT_NE(t->longEntries, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(t->longEntries) - reinterpret_cast<uint8_t *>(t->shortEntries), 5 * 57);
  sim_DestroyWorld();

  w.shortErrorTable = true;  // data length 4 + n x 57: short entries only
  Build(w);
  ASSERT_EQ(shm_AttachErrors(), 0);
  EXPECT_EQ(shm_ErrorTable()->count, 5);
  EXPECT_EQ(shm_ErrorTable()->longEntries, nullptr);
}
