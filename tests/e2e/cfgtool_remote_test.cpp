// The configuration tool on a TLS and an https server URL: its print-out and
// a channel written through scadasim's request server (TLS listener and SOAP
// service), read by the real scanner after the reconfigure code; with the
// server's "IF" failing with 2 the print-out takes the raw road.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "framework/server/srv_client.h"
#include "framework/shm/shm_areas.h"
#include "platform/os_handle.h"
#include "tests/support/proc_stats.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"
#include "tests/support/tls_peer.h"
#include "tools/scadasim/sim_requests.h"
#include "tools/scadasim/sim_soap.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

using Result = tnwtest::ShellResult;

Result Cfgtool(const std::string &server, const std::string &folder, const std::string &args) {
  return tnwtest::ShellRun("env -u DISPLAY '" + tnwtest::BinPath("cfgtool") + "' --server '" + server + "' --folder " +
                           folder + " --types A1:8,D1:16,,, " + args + " 2>&1");
}

uint32_t Word(const ChannelRecord &r, int at) {
  uint32_t v;
  memcpy(&v, r.raw + at, 4);
  return v;
}

class CfgtoolRemote : public ::testing::Test {
 protected:
  void TearDown() override {
    if (proc) {
      if (sim_WaitExit(proc, 0) < 0) os_TerminateProcess(proc, 9);
      sim_WaitExit(proc, 5000);
      os_CloseHandle(proc);
    }
    if (line) sim_StopPumpSim(line, linePid, 5000);
    srv_CloseAllConnections();
    sim_StopSoapServer(soap);
    sim_StopTlsServer(tls);
    sim_StopRequestServer(server);
    ntf_Stop();
    sim_DestroyWorld();
  }
  // The request server on the world's folder with its TLS listener and
  // HTTPS SOAP service; their URLs.
  void StartPeers(const SimWorldSpec &w, std::vector<SimVerbKnob> knobs, std::string *tlsUrl, std::string *httpsUrl) {
    std::string why;
    // The https peer's certificate is signed by the tests' CA, trusted on this root.
    std::filesystem::create_directories(tnwtest::Root() + "/certs");
    std::filesystem::copy_file(tnwtest::TestCerts() + "/ca.pem", tnwtest::Root() + "/certs/ca.pem",
                               std::filesystem::copy_options::overwrite_existing);
    SimRequestSpec spec;
    spec.host = "HOSTR";
    spec.configFolder = w.configFolder;
    spec.knobs = std::move(knobs);
    server = sim_StartRequestServer(spec, &why);
    ASSERT_NE(server, nullptr) << why;
    tls = tnwtest::ServeOverTls(server, tlsUrl);
    ASSERT_NE(tls, nullptr);
    SimSoapSpec soapSpec;
    soapSpec.https = true;
    soapSpec.certFile = tnwtest::TestCerts() + "/server.pem";
    soapSpec.keyFile = tnwtest::TestCerts() + "/server.key";
    soapSpec.server = server;
    soap = sim_StartSoapServer(soapSpec, &why);
    ASSERT_NE(soap, nullptr) << why;
    *httpsUrl = "https://127.0.0.2:" + std::to_string(sim_SoapPort(soap)) + "/cfg/";
  }
  OsHandle proc = nullptr, line = nullptr;
  uint32_t linePid = 0;
  SimRequestServer *server = nullptr;
  SimTlsServer *tls = nullptr;
  SimSoapServer *soap = nullptr;
};

TEST_F(CfgtoolRemote, PrintAndChannelWriteOverTlsAndHttpsReachTheScanner) {
  SimWorldSpec w;
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  std::string folder = std::filesystem::path(sim_DeviceFolder(0)).filename().string();
  std::string tlsUrl, httpsUrl;
  StartPeers(w, {}, &tlsUrl, &httpsUrl);
  if (HasFatalFailure()) return;

  uint32_t pid = 0;
  line = sim_StartPumpSim(0, {}, &linePid);
  ASSERT_NE(line, nullptr);
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0; }, 10000));

  std::string dir = tnwtest::MakeTempDir("cfgremote");
  const struct {
    const char *name;
    std::string url;
    int channel;  // from 1
    const char *pump;
  } roads[] = {{"tls", tlsUrl, 4, "2"}, {"https", httpsUrl, 5, "3"}};
  for (const auto &road : roads) {
    SCOPED_TRACE(road.name);
    size_t before = sim_ServedRequests(server).size();
    std::string pdf = dir + "/" + road.name + ".pdf";
    Result p = Cfgtool(road.url, folder, "--pdf '" + pdf + "' print-all");
    ASSERT_EQ(p.status, 0) << p.out;
    EXPECT_GT(std::filesystem::file_size(pdf), 1000u);
    std::string script = dir + "/" + road.name + ".txt";
    ASSERT_TRUE(tnwtest::WriteFile(script, std::string("pick 7001 ") + road.pump + "\npick 7002 STATUS\nok\n"));
    Result c = Cfgtool(road.url, folder, "--script '" + script + "' channel DI " + std::to_string(road.channel));
    ASSERT_EQ(c.status, 0) << c.out;
    EXPECT_NE(c.out.find("channel written"), std::string::npos) << c.out;
    // Both went through the server's request verbs.
    std::vector<std::string> served = sim_ServedRequests(server);
    bool wrote = false;
    for (size_t i = before; i < served.size(); ++i) wrote = wrote || served[i].rfind("HF,", 0) == 0;
    EXPECT_GT(served.size(), before + 1);
    EXPECT_TRUE(wrote) << "written through the server";
  }

  ASSERT_EQ(sim_Post(pid, NTF_RECONFIGURE), 0);
  ChannelRecord *table = reinterpret_cast<ChannelRecord *>(shm_AreaRecords(sim_Area("D1", SHM_AREA_CONF)));
  for (const auto &road : roads) {
    SCOPED_TRACE(road.name);
    const ChannelRecord &c = table[road.channel - 1];
    EXPECT_TRUE(Until([&] { return Word(c, CHAN_DIGITAL_HW_OFFSET) == static_cast<uint32_t>(atoi(road.pump)); },
                      10000));
    EXPECT_EQ(Word(c, CHAN_DIGITAL_HW_OFFSET + 4), 1u);
    EXPECT_STREQ(chan_GetDescription(&c), "STATUS");
  }

  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  EXPECT_EQ(sim_WaitExit(proc, 10000), 0);
}

// The server's "IF" failing with 2: the print-out reads the channel files
// with "RF" over both roads.
TEST_F(CfgtoolRemote, PrintFallsBackToTheFileWhenIfFails) {
  SimWorldSpec w;
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  std::string folder = std::filesystem::path(sim_DeviceFolder(0)).filename().string();
  std::string tlsUrl, httpsUrl;
  StartPeers(w, {SimVerbKnob{"IF", 2, "", 0, false, -1, 0}}, &tlsUrl, &httpsUrl);
  if (HasFatalFailure()) return;
  std::string dir = tnwtest::MakeTempDir("cfgfallback");
  for (const std::string &url : {tlsUrl, httpsUrl}) {
    SCOPED_TRACE(url);
    size_t before = sim_ServedRequests(server).size();
    Result p = Cfgtool(url, folder, "--pdf '" + dir + "/all.pdf' print-all");
    ASSERT_EQ(p.status, 0) << p.out;
    std::vector<std::string> served = sim_ServedRequests(server);
    int ifs = 0, rfs = 0;
    for (size_t i = before; i < served.size(); ++i) {
      ifs += served[i].rfind("IF,", 0) == 0;
      rfs += served[i].rfind("RF,", 0) == 0;
    }
    EXPECT_GT(ifs, 0);
    EXPECT_GT(rfs, 0) << "the raw road after IF's 2";
  }
}

}  // namespace
