// The device and processor list: built over scadasim's file requests from
// its TSQ_DEVICES and TSQ_PROCESSORS folders, and read back from its text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "plugin/connect/cfg_requests.h"
#include "plugin/connect/con_transports.h"
#include "tests/support/test_root.h"
#include "tests/support/tls_peer.h"
#include "tools/scadasim/sim_requests.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

std::string g_server;

class UnitList : public ::testing::Test {
 protected:
  void SetUp() override {
    con_InstallTransports();
    devices = tnwtest::Root() + "/drives/c/SRVDEV";
    processors = tnwtest::Root() + "/drives/c/SRVPROC";
    fs::remove_all(devices);
    fs::remove_all(processors);
    fs::create_directories(devices + "/TNWLL_2");
    fs::create_directories(devices + "/PUMPA_12");
    fs::create_directories(devices + "/SOLO");
    fs::create_directories(processors + "/MODBX_1");
    ASSERT_TRUE(tnwtest::WriteFile(devices + "/TNWLL_2/config", "\x01rest"s));
    ASSERT_TRUE(tnwtest::WriteFile(devices + "/PUMPA_12/config", "\x00rest"s));
    ASSERT_TRUE(tnwtest::WriteFile(devices + "/NOTES.TXT", "a file, not a device"));
    ASSERT_TRUE(tnwtest::WriteFile(processors + "/MODBX_1/config", "\x07"s));
    os_SetEnvironmentVariable("TSQ_DEVICES", "C:\\SRVDEV");
    os_SetEnvironmentVariable("TSQ_PROCESSORS", "C:\\SRVPROC");
    SimRequestSpec spec;
    spec.host = "HOSTU";
    spec.configFolder = "C:\\SRVCFG";
    ASSERT_TRUE(tnwtest::StartRemotePeer(spec, &server, &tls, &g_server));
  }
  void TearDown() override {
    tnwtest::StopRemotePeer(&server, &tls);
    os_SetEnvironmentVariable("TSQ_DEVICES", nullptr);
    os_SetEnvironmentVariable("TSQ_PROCESSORS", nullptr);
  }
  std::string devices, processors;
  SimRequestServer *server = nullptr;
  SimTlsServer *tls = nullptr;
};

// Entries of a list, sorted within each table (listing order is the
// server's), devices first as sent.
std::vector<std::string> Entries(const std::string &list) {
  std::vector<std::string> dev, proc;
  for (size_t at = 0; at < list.size();) {
    size_t end = list.find(';', at);
    std::string e = list.substr(at, end - at + 1);
    (e.substr(e.size() - 2) == "1;" ? dev : proc).push_back(e);
    at = end + 1;
  }
  std::sort(dev.begin(), dev.end());
  std::sort(proc.begin(), proc.end());
  dev.insert(dev.end(), proc.begin(), proc.end());
  return dev;
}

}  // namespace

TEST_F(UnitList, BuiltFromBothServerFolders) {
  char out[256];
  ASSERT_EQ(srv_ListUnits(g_server.c_str(), out, sizeof out), 4);
  std::string list = out;
  // Devices come before processors, whatever order each folder lists in.
  size_t firstProcessor = list.find("MODBX");
  ASSERT_NE(firstProcessor, std::string::npos);
  EXPECT_EQ(list.substr(firstProcessor), "MODBX,1,1,0;");
  EXPECT_EQ(Entries(list), (std::vector<std::string>{"PUMPA,12,0,1;", "SOLO,,0,1;", "TNWLL,2,1,1;", "MODBX,1,1,0;"}));
  std::vector<std::string> sent = sim_ServedRequests(server);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.front(), "DF,TSQ_DEVICES\t*\t0");
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const std::string &s) { return s.rfind("DF,TSQ_PROCESSORS\t", 0) == 0; }), 1);

  // The list read back.
  UnitEntry entries[4];
  ASSERT_EQ(srv_ParseUnitList(out, entries, 4), 4);
  EXPECT_STREQ(entries[3].Name, "MODBX");
  EXPECT_STREQ(entries[3].Instance, "1");
  EXPECT_EQ(entries[3].Enabled, 1);
  EXPECT_EQ(entries[3].IsDevice, 0);
}

TEST_F(UnitList, NothingPastTheCallersBuffer) {
  char full[256];
  ASSERT_EQ(srv_ListUnits(g_server.c_str(), full, sizeof full), 4);
  size_t need = strlen(full) + 1;
  std::vector<char> exact(need + 8, '#');
  EXPECT_EQ(srv_ListUnits(g_server.c_str(), exact.data(), static_cast<int>(need)), 4);
  EXPECT_EQ(Entries(exact.data()), Entries(full));
  EXPECT_EQ(std::string(exact.begin() + static_cast<long>(need), exact.end()), "########");

  std::vector<char> shortBuf(need + 8, '#');
  EXPECT_EQ(srv_ListUnits(g_server.c_str(), shortBuf.data(), static_cast<int>(need - 1)), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_MORE_DATA));
  EXPECT_EQ(shortBuf[0], '\0');
  EXPECT_EQ(std::string(shortBuf.begin() + static_cast<long>(need - 1), shortBuf.end()), "#########");
}

TEST_F(UnitList, AMissingFolderFailsTheList) {
  fs::remove_all(processors);
  char out[256] = "untouched";
  EXPECT_EQ(srv_ListUnits(g_server.c_str(), out, sizeof out), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(srv_ListUnits(g_server.c_str(), nullptr, 10), -1);
}

TEST(UnitListText, ReadsWellFormedListsAndRefusesAnyOtherShape) {
  struct Case {
    const char *text;
    int result;
  };
  const Case cases[] = {
      {"", 0},
      {"A,01,1,0;", 1},
      {"TNWLL,2,1,1;MODBX,,0,0;", 2},
      {"A,01,1,0", -1},          // no closing ';'
      {"A,01,1;", -1},           // three fields
      {"A,01,1,0,9;", -1},       // five fields
      {",01,1,0;", -1},          // no name
      {"A,123,1,0;", -1},        // instance longer than two
      {"A,01,2,0;", -1},         // flags are 0 or 1
      {"A,01,1,;", -1},
      {"A,01,1,0;;", -1},        // empty entry
      {"A,01,1,0;B,1,x,0;", -1},
  };
  for (const Case &c : cases) {
    UnitEntry entries[4];
    EXPECT_EQ(srv_ParseUnitList(c.text, entries, 4), c.result) << c.text;
  }
  UnitEntry entries[2];
  ASSERT_EQ(srv_ParseUnitList("TNWLL,2,1,1;MODBX,,0,0;", entries, 2), 2);
  EXPECT_STREQ(entries[0].Name, "TNWLL");
  EXPECT_STREQ(entries[0].Instance, "2");
  EXPECT_EQ(entries[0].Enabled, 1);
  EXPECT_EQ(entries[0].IsDevice, 1);
  EXPECT_STREQ(entries[1].Name, "MODBX");
  EXPECT_STREQ(entries[1].Instance, "");
  EXPECT_EQ(entries[1].Enabled, 0);
  EXPECT_EQ(entries[1].IsDevice, 0);

  // Never past the caller's array.
  UnitEntry bounded[2];
  memset(bounded, 0x5a, sizeof bounded);
  EXPECT_EQ(srv_ParseUnitList("A,1,1,1;B,2,0,1;C,3,1,0;", bounded, 1), 1);
  EXPECT_STREQ(bounded[0].Name, "A");
  EXPECT_EQ(bounded[1].Name[0], 0x5a);
  EXPECT_EQ(srv_ParseUnitList("A,1,1,1;", nullptr, 0), 0);
  EXPECT_EQ(srv_ParseUnitList(nullptr, bounded, 1), -1);
}
