// The same configuration operations on the three roads (this computer,
// another host's share, a server reached by URL that answers with its own
// configuration code): the same bytes on disk, the same records read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/server/srv_client.h"
#include "platform/os_env.h"
#include "plugin/connect/cfg_access.h"
#include "plugin/connect/con_transports.h"
#include "tests/support/tls_peer.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace fs = std::filesystem;

namespace {

std::string Records(int count, int seed) {
  std::string s(static_cast<size_t>(count) * 216, '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 13 + static_cast<size_t>(seed)) % 253);
  // The I/O kind byte: analogue layout.
  for (int i = 0; i < count; ++i) s[static_cast<size_t>(i) * 216 + 24] = 0;
  return s;
}

struct Road {
  const char *server;
  std::string folder;  // its configuration folder on disk
};

class Roads : public ::testing::Test {
 protected:
  void SetUp() override {
    con_InstallTransports();
    SimRequestSpec spec;
    spec.host = "HOSTR";
    spec.configFolder = "C:\\REMOTE";
    std::string why;
    server = sim_StartRequestServer(spec, &why);
    ASSERT_NE(server, nullptr) << why;
    tls = tnwtest::ServeOverTls(server, &url);
    ASSERT_NE(tls, nullptr);
    // No TSQ_CURRENT_CONFIG: its value would name every host's folder; each
    // computer's default folder under its product root is used.
    os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);
    roads = {{".", tnwtest::Root() + "/drives/c/TESSARINE/CURRENT_CONFIG"},
             {"HOSTB", tnwtest::Root() + "/hosts/HOSTB/shares/" + prod_GetProductName() + "/CURRENT_CONFIG"},
             {url.c_str(), tnwtest::Root() + "/drives/c/REMOTE"}};
    for (const Road &r : roads) {
      fs::remove_all(r.folder);
      fs::create_directories(r.folder + "/DEV1");
      ASSERT_TRUE(tnwtest::WriteFile(r.folder + "/config", std::string(1, '\x01')));
      ASSERT_TRUE(tnwtest::WriteFile(r.folder + "/DEV1/ai", std::string(8, '\0') + Records(10, 1)));
    }
  }
  void TearDown() override {
    srv_CloseAllConnections();
    sim_StopTlsServer(tls);
    sim_StopRequestServer(server);
  }
  std::vector<Road> roads;
  std::string url;  // the request server's TLS listener
  SimRequestServer *server = nullptr;
  SimTlsServer *tls = nullptr;
};

}  // namespace

TEST_F(Roads, ChannelsWrittenAndReadAlike) {
  std::string records = Records(4, 7);
  for (const Road &r : roads) {
    ASSERT_EQ(cfg_RewriteChannelRecords(r.server, "ann", "DEV1", 0,
                                        reinterpret_cast<const ChannelRecord *>(records.data()), 2, 4),
              0)
        << r.server;
  }
  std::string first = tnwtest::ReadFile(roads[0].folder + "/DEV1/ai");
  ASSERT_EQ(first.size(), 8u + 10 * 216);
  EXPECT_TRUE(first.substr(8 + 2 * 216, 4 * 216) == records);
  for (const Road &r : roads) {
    std::string ai = tnwtest::ReadFile(r.folder + "/DEV1/ai");
    EXPECT_TRUE(ai.substr(8) == first.substr(8)) << r.server;
    std::vector<ChannelRecord> got(10);
    ASSERT_EQ(cfg_ReadChannels(r.server, "DEV1", 0, got.data(), 0, 10), 0) << r.server;
    EXPECT_TRUE(std::string(reinterpret_cast<char *>(got.data()), 10 * 216) == first.substr(8)) << r.server;
  }
  EXPECT_FALSE(sim_ServedRequests(server).empty());
  EXPECT_EQ(sim_ServedRequests(server)[0].substr(0, 3), "HF,") << "the remote road asked the server";
}

TEST_F(Roads, DeviceRecordAndSettingsAlike) {
  std::string record(120, '\0');
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(i * 3 + 1);
  uint8_t autoEnable = 1;
  for (const Road &r : roads) {
    ASSERT_TRUE(tnwtest::WriteFile(r.folder + "/DEV1/config", std::string(121, '\0')));
    ASSERT_EQ(cfg_WriteDeviceConfigurationEx(r.server, "ann", "DEV1", record.data(), 120, nullptr, 0, nullptr,
                                             &autoEnable, nullptr, nullptr, nullptr),
              0)
        << r.server;
    ASSERT_EQ(cfg_WriteSaveConfig(r.server, "DEV1", 1, 1, 60000), 0) << r.server;
  }
  std::string first = tnwtest::ReadFile(roads[0].folder + "/DEV1/config");
  EXPECT_EQ(first.substr(1, 120), record);
  for (const Road &r : roads) {
    EXPECT_EQ(tnwtest::ReadFile(r.folder + "/DEV1/config"), first) << r.server;
    EXPECT_EQ(tnwtest::ReadFile(r.folder + "/DEV1/saveconfig"), tnwtest::ReadFile(roads[0].folder + "/DEV1/saveconfig"))
        << r.server;
    std::string got(120, '?');
    uint8_t ae = 9, so = 9, sbt = 9;
    int32_t rate = 0;
    ASSERT_EQ(cfg_ReadDeviceConfigEx(r.server, "DEV1", got.data(), 120, nullptr, 0, nullptr, &ae, &so, &sbt, &rate), 0)
        << r.server;
    EXPECT_EQ(got, record) << r.server;
    EXPECT_EQ(ae, 1) << r.server;
    EXPECT_EQ(so, 1) << r.server;
    EXPECT_EQ(rate, 60000) << r.server;
  }
}
