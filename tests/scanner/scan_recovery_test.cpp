// The main loop with the real handlers: a unit that stops answering fails
// the pass and the device is initialised again until it answers again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "tests/scanner/scan_fixture.h"
#include "tools/pumpsim/psim.h"
#include "tests/support/proc_stats.h"

using scantest::ChannelSpec;
using scantest::ScanWorld;

using tnwtest::Until;

namespace {


}  // namespace

TEST(ScanRecovery, AUnitThatComesBackIsReadAgain) {
  PsimConfig config;
  std::string why;
  PumpSim *line = psim_Start(config, &why);
  ASSERT_NE(line, nullptr) << why;
  {
    ScanWorld w;
    ASSERT_TRUE(w.Build({}, {ChannelSpec{1, 1, nullptr}, ChannelSpec{2, 1, nullptr}}));
    errno = 0;
    ntf_Start(scan_OnSignal);
    ASSERT_EQ(errno, 0);
    DeviceRecord *r = g_scan.record;
    std::thread loop([] {
      scan_InitialiseDevice(0);
      scan_MainLoop();
    });
    const uint32_t self = static_cast<uint32_t>(getpid());
    const uint32_t *words = ScanWorld::Words("D1");
    const ChannelAreaHeader *h = shm_AreaHeader(sim_Area("D1", SHM_AREA_DATA));
    EXPECT_TRUE(Until([&] { return r->Busy == 0 && !(words[1] & CST_BAD); }, 10000));

    // Unit 2 falls silent: the next pass fails and the device is initialised
    // again, every second, with every channel bad and the reason in the areas.
    psim_SetFaults(line, {PsimFault{2, "", PSIM_FAULT_ABSENT, 0, 100}});
    ASSERT_EQ(ntf_Post(self, NTF_SCAN), 0);
    EXPECT_TRUE(Until([] { return sim_StatusText("TNWELL1") == "CAN'T INITIALISE DEVICE -1460"; }, 15000))
        << sim_StatusText("TNWELL1");
    EXPECT_EQ(r->Busy, 1);
    EXPECT_EQ(h->error, 1460);
    EXPECT_TRUE(words[0] & CST_BAD);
    EXPECT_TRUE(words[1] & CST_BAD);

    // It answers again: initialised, read, cleared.
    psim_ClearCommands(line);
    psim_SetFaults(line, {});
    EXPECT_TRUE(Until([&] { return r->Busy == 0; }, 15000));
    EXPECT_EQ(sim_StatusText("TNWELL1"), "");
    ASSERT_EQ(ntf_Post(self, NTF_SCAN), 0);
    EXPECT_TRUE(Until([&] { return !(words[1] & CST_BAD) && h->error == 0; }, 10000));
    EXPECT_EQ(words[1] & CST_VALUE, CST_VALUE);
    std::vector<std::string> sent = psim_Commands(line);
    EXPECT_NE(std::find(sent.begin(), sent.end(), "RP2STATUS"), sent.end());

    g_scan.run = 0;
    ntf_Post(self, NTF_STOP);
    loop.join();
    ntf_Stop();
  }
  psim_Stop(line);
}
