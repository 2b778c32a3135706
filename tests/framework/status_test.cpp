#include <gtest/gtest.h>

#include <cerrno>
#include <string>

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
