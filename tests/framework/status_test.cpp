#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "framework/time/tm_time.h"

#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "framework/status/sts_status.h"
#include "tools/scadasim/sim_world.h"

namespace {

class StatusTest : public ::testing::Test {
 protected:
  void Build(bool shortTable, int entries = 4) {
    SimWorldSpec w;
    w.shortErrorTable = shortTable;
    w.errorEntries = entries;
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    ASSERT_EQ(shm_AttachErrors(), 0);
    seg = shm_ErrorTable()->segment;
    // This process as a waiter that never waits: each notice adds one pending change.
    ASSERT_GE(shm_ClaimWaiter(seg, 1), 0);
  }
  void TearDown() override { sim_DestroyWorld(); }
  int Notices() {
    int n = 0;
    while (shm_WaitChangeFor(seg, 1, 1) == 1) ++n;
    return n;
  }
  void *seg = nullptr;
};

}  // namespace

TEST_F(StatusTest, SetClearAndSameTextTwice) {
  Build(false);
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  const ShmErrorTable *t = shm_ErrorTable();
  EXPECT_EQ(t->longEntries[0].kind, 2);
  EXPECT_STREQ(t->longEntries[0].name, "TNWELL1");
  errno = 1234;
  sts_SetDriverStatus("Tarnwell Error #%03d", 7);
  EXPECT_EQ(errno, 1234);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Tarnwell Error #007");
  EXPECT_EQ(Notices(), 1);
  sts_SetDriverStatus("TARNWELL ERROR #007");  // same text, other case: nothing happens
  EXPECT_EQ(Notices(), 0);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Tarnwell Error #007");
  sts_SetDriverStatus("%s", "");
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  EXPECT_EQ(Notices(), 1);
  sts_ClearDriverStatus();
  EXPECT_EQ(Notices(), 0);
  // A long text is cut to the room the entry offers.
  sts_SetDriverStatus("%s", std::string(100, 'x').c_str());
  EXPECT_EQ(sim_StatusText("TNWELL1"), std::string(80, 'x'));
  // Registering again finds the same entry; another name takes the next free one.
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "tnwell1");
  EXPECT_EQ(sts_CurrentStatus(), std::string(80, 'x'));
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "OTHER");
  EXPECT_STREQ(t->longEntries[1].name, "OTHER");
}

TEST_F(StatusTest, ShortTableUsesTheLastFreeEntry) {
  Build(true, 3);
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "A_STATUS_NAME_LONGER_THAN_24");
  const ShmErrorTable *t = shm_ErrorTable();
  ASSERT_EQ(t->longEntries, nullptr);
  EXPECT_STREQ(t->shortEntries[2].name, "A_STATUS_NAME_LONGER_THA");
  sts_SetDriverStatus("%s", "Comms Error and a great deal more text");
  EXPECT_EQ(std::string(t->shortEntries[2].message), std::string("Comms Error and a great deal more text").substr(0, 30));
}

TEST_F(StatusTest, NoTableOrEntryDoesNothing) {
  Build(false, 1);
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "FIRST");
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "SECOND");  // table full
  sts_SetDriverStatus("Comms Error");
  EXPECT_EQ(sim_StatusText("SECOND"), "");
  EXPECT_EQ(sts_CurrentStatus(), std::string(""));
}

namespace {

class SyserTest : public ::testing::Test {
 protected:
  void Build(bool shortTable = false, uint8_t kind = 0, uint32_t owner = 0) {
    SimWorldSpec w;
    w.shortErrorTable = shortTable;
    w.errorEntries = 4;
    SimProcessorSpec p;
    p.name = "SYSER";
    p.text = "System errors";
    p.code = "se";
    p.kind = kind;
    p.processId = owner;
    w.processors.push_back(p);
    w.processorAreas.push_back(SimProcessorAreas{"se", 4, {"OTHER", "tnwell1", "TNWELL1_TOO_LON"}});
    std::string why;
    ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
    data = sim_Area("SE", SHM_AREA_DATA);
    conf = sim_Area("SE", SHM_AREA_CONF);
    ASSERT_NE(data, nullptr);
    ASSERT_NE(conf, nullptr);
    ASSERT_GE(shm_ClaimWaiter(conf, 1), 0);
    ASSERT_GE(shm_ClaimWaiter(data, 1), 0);
  }
  void TearDown() override { sim_DestroyWorld(); }
  static int Notices(void *seg) {
    int n = 0;
    while (shm_WaitChangeFor(seg, 1, 1) == 1) ++n;
    return n;
  }
  uint32_t Word(int channel) { return shm_AreaStatusWords(data)[channel - 1]; }
  uint8_t *Record(int channel) { return shm_AreaRecords(conf) + (channel - 1) * CHAN_RECORD_SIZE; }
  std::string Field(int channel, int offset, size_t n = 32) {
    return std::string(reinterpret_cast<char *>(Record(channel)) + offset, n);
  }
  void *data = nullptr, *conf = nullptr;
};

std::string Padded(const std::string &s, size_t n = 32) { return s + std::string(n - s.size(), '\0'); }

}  // namespace

TEST_F(SyserTest, StatusIsMirroredIntoTheChannelOfTheSameTag) {
  Build();
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  ASSERT_EQ(sts_SyserChannel(), 2);  // tags compare ignoring case
  Notices(conf);
  Notices(data);
  TimeStamp before;
  tm_Now(&before);
  shm_AreaHeader(data)->changed = TimeStamp{};

  sts_SetDriverStatus("Comms Error");
  EXPECT_EQ(sim_StatusText("TNWELL1"), "Comms Error");
  EXPECT_TRUE(Word(2) & CST_VALUE);
  EXPECT_FALSE(Word(2) & CST_BAD);
  EXPECT_FALSE(Word(1) & CST_VALUE);
  EXPECT_EQ(Field(2, 32), Padded("Comms Error"));
  EXPECT_EQ(Field(2, 97), Padded("Comms Error"));
  EXPECT_EQ(Notices(conf), 1);
  EXPECT_EQ(Notices(data), 1);
  TimeStamp stamp = shm_AreaHeader(data)->changed;
  EXPECT_GE(tm_DiffMs(&stamp, &before), 0);
  EXPECT_LT(tm_DiffMs(&stamp, &before), 60000);

  sts_SetDriverStatus("COMMS ERROR");  // no change: nothing is written or told
  EXPECT_EQ(Notices(conf), 0);
  EXPECT_EQ(Notices(data), 0);
  EXPECT_EQ(Field(2, 32), Padded("Comms Error"));

  // A long text: the entry keeps 80 characters, the record fields 32 each,
  // and the fields beside them stay as they were.
  memset(Record(2) + 64, 'L', 32);
  std::string longText(100, 'x');
  sts_SetDriverStatus("%s", longText.c_str());
  EXPECT_EQ(sim_StatusText("TNWELL1"), longText.substr(0, 80));
  EXPECT_EQ(Field(2, 32), std::string(32, 'x'));
  EXPECT_EQ(Field(2, 64), std::string(32, 'L'));
  EXPECT_EQ(Field(2, 97), std::string(32, 'x'));

  sts_SetDriverStatus("%s", "");  // empty: cleared, the channel goes to 0
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  EXPECT_FALSE(Word(2) & CST_VALUE);
  sts_SetDriverStatus("Timeout Error");
  EXPECT_TRUE(Word(2) & CST_VALUE);
  sts_ClearDriverStatus();
  EXPECT_FALSE(Word(2) & CST_VALUE);
  EXPECT_EQ(Field(2, 32), Padded("Timeout Error"));  // the text stays in the record
}

TEST_F(SyserTest, StandingMessageIsRestoredFromTheTextFieldOnly) {
  Build();
  // A message that stood when the program stopped: value 1, a full text field
  // (no terminator) and text in the neighbouring field.
  shm_AreaStatusWords(data)[1] |= CST_VALUE;
  memset(Record(2) + 32, 'M', 32);
  memset(Record(2) + 64, 'N', 32);
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  EXPECT_EQ(sts_CurrentStatus(), std::string(32, 'M'));
  EXPECT_EQ(sim_StatusText("TNWELL1"), std::string(32, 'M'));
  // Clearing it takes the channel down.
  sts_ClearDriverStatus();
  EXPECT_FALSE(Word(2) & CST_VALUE);

  // Value 0: nothing is restored.
  memcpy(Record(2) + 32, "Old text\0", 9);
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  EXPECT_EQ(sts_CurrentStatus(), std::string(""));
}

TEST_F(SyserTest, ShortEntriesRestoreThirtyCharacters) {
  Build(true);
  shm_AreaStatusWords(data)[1] |= CST_VALUE;
  memset(Record(2) + 32, 'M', 32);
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  ASSERT_EQ(sts_SyserChannel(), 2);
  EXPECT_EQ(sts_CurrentStatus(), std::string(30, 'M'));
}

TEST_F(SyserTest, NamesWithoutAChannelAreNotLinked) {
  Build();
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1_TOO_LONG");  // the 15-character tag is no match
  EXPECT_EQ(sts_SyserChannel(), 0);
  sts_SetDriverStatus("Comms Error");
  EXPECT_EQ(sim_StatusText("TNWELL1_TOO_LONG"), "Comms Error");
  for (int ch = 1; ch <= 4; ++ch) EXPECT_FALSE(Word(ch) & CST_VALUE);
}

TEST_F(SyserTest, WithoutTheErrorsSegmentEveryCallDoesNothing) {
  Build();
  ASSERT_EQ(shm_DestroySegment("dm_errors"), 0);
  shm_ForgetTables();
  Notices(conf);
  Notices(data);
  errno = 4321;
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  EXPECT_EQ(errno, 4321);
  EXPECT_EQ(sts_SyserChannel(), 0) << "no entry, no mirror";
  sts_SetDriverStatus("Comms Error");
  EXPECT_EQ(errno, 4321);
  EXPECT_EQ(sts_CurrentStatus(), std::string(""));
  sts_ClearDriverStatus();
  EXPECT_EQ(errno, 4321);
  EXPECT_FALSE(Word(2) & CST_VALUE);
  EXPECT_EQ(Field(2, 32), Padded(""));
  EXPECT_EQ(Notices(conf), 0);
  EXPECT_EQ(Notices(data), 0);
}

// Kinds 4 and 5 name a logger: its channel carries the logger's display name.
TEST(SyserLoggerNames, LoggerEntriesSearchByTheLoggersDisplayName) {
  struct Teardown {
    ~Teardown() { sim_DestroyWorld(); }
  } teardown;
  SimWorldSpec w;
  w.errorEntries = 8;
  w.loggers = {"events", "R_NS_STATIONNAME_TAG"};
  SimProcessorSpec p;
  p.name = "SYSER";
  p.code = "se";
  w.processors.push_back(p);
  w.processorAreas.push_back(SimProcessorAreas{"se", 4, {"EVENTS", "NS_STATIONNAME", "NOLOGGER", "R_NS_STATIONNAM"}});
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  ASSERT_EQ(shm_AttachLoggers(), 0);
  // The second logger is a resubscriber: its record's leading text is its type.
  LoggerRecord *resub = reinterpret_cast<LoggerRecord *>(shm_LoggerTable()->first) + 1;
  memcpy(resub->TypeName, "resub", 5);
  struct Case {
    int kind;
    const char *name;
    int channel;
  } cases[] = {
      {4, "EVENTS", 1},                // a logger with a short name: the name itself
      {5, "r_ns_stationname_tag", 2},  // the resubscriber's shortened form
      {4, "NOLOGGER", 0},              // no such logger: no channel, though a tag matches
      {2, "NOLOGGER", 3},              // a driver's name is searched as it is
      {2, "R_NS_STATIONNAME_TAG", 0},
  };
  for (const Case &c : cases) {
    sts_RegisterDriverStatus(c.kind, c.name);
    EXPECT_EQ(sts_SyserChannel(), c.channel) << c.kind << " " << c.name;
  }
  // The entry itself keeps the name it was registered with.
  sts_RegisterDriverStatus(5, "R_NS_STATIONNAME_TAG");
  sts_SetDriverStatus("Logger stopped");
  EXPECT_EQ(sim_StatusText("r_ns_stationname_tag"), "Logger stopped");
  EXPECT_TRUE(shm_AreaStatusWords(sim_Area("SE", SHM_AREA_DATA))[1] & CST_VALUE);
}

namespace {
std::atomic<int> g_outputNotices{0};
int CountOutputs(int32_t code) {
  if (code == NTF_OUTPUT_WRITTEN) ++g_outputNotices;
  return 0;
}
}  // namespace

TEST_F(SyserTest, AnAreaItsOwnerEvaluatesIsToldWithCode305) {
  ntf_Start(CountOutputs);
  ASSERT_TRUE(ntf_IsStarted());
  Build(false, 1, static_cast<uint32_t>(getpid()));  // kind 1: class 2, the owner evaluates
  sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
  Notices(data);
  g_outputNotices = 0;
  sts_SetDriverStatus("Comms Error");
  EXPECT_TRUE(Word(2) & CST_VALUE);
  EXPECT_EQ(g_outputNotices.load(), 1);
  EXPECT_EQ(Notices(data), 0);  // the owner evaluates and tells the readers
  ntf_Stop();
}
