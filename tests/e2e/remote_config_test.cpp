// Channels changed through the plug-in's remote road (a kind-2 connection
// to scadasim's TLS listener, the server answering with its own
// configuration code) are read by the real scanner after the reconfigure
// code and published in its configuration area.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "framework/server/srv_client.h"
#include "platform/os_handle.h"
#include "plugin/connect/cfg_access.h"
#include "tests/support/proc_stats.h"
#include "plugin/connect/con_transports.h"
#include "tests/support/tls_peer.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

void Word(ChannelRecord *r, int at, uint32_t v) { memcpy(r->raw + at, &v, 4); }

void BindToPumps(int type, int i, ChannelRecord *r) {
  if (type == IO_AI) {
    Word(r, CHAN_ANALOGUE_HW_OFFSET, 1);
    Word(r, CHAN_ANALOGUE_HW_OFFSET + 4, 18 + static_cast<uint32_t>(i % 2));
  } else {
    Word(r, CHAN_DIGITAL_HW_OFFSET, 1);
    Word(r, CHAN_DIGITAL_HW_OFFSET + 4, 1 + static_cast<uint32_t>(i));
  }
  chan_SetDescription(r, ("pump 1 item " + std::to_string(i + 1)).c_str());
}

}  // namespace

TEST(RemoteConfig, ChannelsWrittenThroughTheServerReachTheScanner) {
  SimWorldSpec w;
  w.devices[0].channelSetup = BindToPumps;
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  std::string folder = std::filesystem::path(sim_DeviceFolder(0)).filename().string();
  con_InstallTransports();
  SimRequestSpec spec;
  spec.host = "HOSTR";
  spec.configFolder = w.configFolder;
  SimRequestServer *server = sim_StartRequestServer(spec, &why);
  ASSERT_NE(server, nullptr) << why;
  std::string url;
  SimTlsServer *tls = tnwtest::ServeOverTls(server, &url);
  ASSERT_NE(tls, nullptr);
  uint32_t linePid = 0, pid = 0;
  OsHandle line = sim_StartPumpSim(0, {}, &linePid);
  ASSERT_NE(line, nullptr);
  OsHandle proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0 && r->NextScanDue.seconds != 0; }, 10000));

  const char *remote = url.c_str();
  ChannelRecord c;
  ASSERT_EQ(cfg_ReadChannels(remote, folder.c_str(), IO_DI, &c, 3, 1), 0);
  EXPECT_STREQ(chan_GetDescription(&c), "pump 1 item 4");
  chan_SetTag(&c, "REMOTE.TAG");
  ASSERT_EQ(cfg_WriteChannelRecords(remote, "ann", folder.c_str(), IO_DI, &c, 3, 1), 0);
  std::vector<std::string> served = sim_ServedRequests(server);
  ASSERT_GE(served.size(), 2u);
  EXPECT_EQ(served[0].substr(0, 3), "IF,");
  EXPECT_EQ(served[1].substr(0, 3), "HF,") << "through the server, not its files";

  ASSERT_EQ(sim_Post(pid, NTF_RECONFIGURE), 0);
  ChannelRecord *table = reinterpret_cast<ChannelRecord *>(shm_AreaRecords(sim_Area("D1", SHM_AREA_CONF)));
  EXPECT_TRUE(Until([&] { return std::string(chan_GetTag(&table[3])) == "REMOTE.TAG"; }, 10000));
  EXPECT_STREQ(chan_GetDescription(&table[3]), "pump 1 item 4");

  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  EXPECT_EQ(sim_WaitExit(proc, 10000), 0);
  os_CloseHandle(proc);
  sim_StopPumpSim(line, linePid, 5000);
  srv_CloseAllConnections();
  sim_StopTlsServer(tls);
  sim_StopRequestServer(server);
  ntf_Stop();
  sim_DestroyWorld();
}
