// A device's configuration over the remote road (a kind-2 connection over
// scadasim's pipe): requests answered or refused, the raw file road behind
// them with its chunking, error 1465 that forbids it, the change signal, and
// the small files read and written alike on every road.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "plugin/connect/cfg_access.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/connect/con_transports.h"
#include "tests/support/tls_peer.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace fs = std::filesystem;

namespace {

// The request server's TLS listener, by URL (set up per test).
std::string g_server;

std::string Records(int count, int seed) {
  std::string s(static_cast<size_t>(count) * 216, '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) % 251);
  return s;
}

class ConfigAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    con_InstallTransports();
    remote = tnwtest::Root() + "/drives/c/REMOTE";
    fs::remove_all(remote);
    fs::create_directories(remote + "/DEV1");
    ASSERT_TRUE(tnwtest::WriteFile(remote + "/config", std::string("\x05", 1)));
    ASSERT_TRUE(tnwtest::WriteFile(remote + "/DEV1/ai", std::string(8, 'S') + Records(300, 1)));
    ASSERT_TRUE(tnwtest::WriteFile(remote + "/DEV1/config", "\x01" + std::string(700, 'c')));
    ASSERT_TRUE(tnwtest::WriteFile(remote + "/DEV1/extra.bin", std::string(40, 'e')));
    SimRequestSpec spec;
    spec.host = "HOSTR";
    spec.configFolder = "C:\\REMOTE";
    spec.answer = [this](const std::string &line, std::string *reply) { return hook && hook(line, reply); };
    ASSERT_TRUE(tnwtest::StartRemotePeer(spec, &server, &tls, &g_server));
  }
  void TearDown() override {
    tnwtest::StopRemotePeer(&server, &tls);
  }
  std::vector<std::string> Served(const char *verb) const {
    std::vector<std::string> out;
    for (const std::string &l : sim_ServedRequests(server))
      if (l.rfind(verb, 0) == 0) out.push_back(l);
    return out;
  }
  // A verb answered with these bytes; others by the server itself.
  void Answer(const std::string &verb, const std::string &bytes) {
    hook = [verb, bytes](const std::string &line, std::string *reply) {
      if (line.rfind(verb, 0) != 0) return false;
      *reply = bytes;
      return true;
    };
  }
  std::string remote;
  SimRequestServer *server = nullptr;
  SimTlsServer *tls = nullptr;
  std::function<bool(const std::string &, std::string *)> hook;
};

}  // namespace

TEST_F(ConfigAccess, ChannelsReadByRequestOrInWholeRecordChunks) {
  // The request answered: the records are the reply's.
  std::string answered = Records(3, 9);
  Answer("IF", "0," + answered);
  std::vector<ChannelRecord> r(300);
  ASSERT_EQ(cfg_ReadChannels(g_server.c_str(), "DEV1", 0, r.data(), 5, 3), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(r.data()), 3 * 216), answered);
  EXPECT_EQ(Served("IF"), std::vector<std::string>{"IF,650,DEV1,5,3,0, ,0"});

  // Refused with 2: the "ai" file read raw from channel `first` on, in
  // chunks of whole records within the limit.
  Answer("IF", std::string("-1,2", 5));
  ASSERT_EQ(cfg_ReadChannels(g_server.c_str(), "DEV1", 0, r.data(), 0, 300), 0);
  EXPECT_TRUE(std::string(reinterpret_cast<char *>(r.data()), 300 * 216) == Records(300, 1));
  const std::string path = "TSQ_CURRENT_CONFIG\\DEV1\\ai";
  int perChunk = (32668 - static_cast<int>(path.size())) / 216;
  std::vector<std::string> reads = Served("RF");
  ASSERT_EQ(reads.size(), static_cast<size_t>((300 + perChunk - 1) / perChunk));
  int first = 0;
  for (const std::string &l : reads) {
    int n = std::min(perChunk, 300 - first);
    EXPECT_EQ(l, "RF," + path + "\t" + std::to_string(n * 216) + "\t" + std::to_string(8 + 216 * first) +
                     "\t0\t2147483648\t3\t0\t3\t0");
    first += n;
  }
  // A read past the file's end is short: a failure.
  EXPECT_EQ(cfg_ReadChannels(g_server.c_str(), "DEV1", 0, r.data(), 290, 11), -1);

  // The server could not parse its XML: no raw road.
  size_t before = Served("RF").size();
  Answer("IF", "-1,1465,Line 1: bad");
  EXPECT_EQ(cfg_ReadChannels(g_server.c_str(), "DEV1", 0, r.data(), 0, 1), -1);
  EXPECT_EQ(errno, OS_ERROR_XML_PARSE_ERROR);
  EXPECT_EQ(Served("RF").size(), before);
}

TEST_F(ConfigAccess, DeviceConfigByRequestOrRaw) {
  std::vector<char> record(100, '?'), extra(40, '?');
  uint8_t ae = 7, so = 7, sbt = 7;
  int32_t rate = 7;
  // The request answered with the exact size: switches and record from it.
  std::string reply = std::string("0,\x01\x00\x01\x10\x27\x00\x00", 9) + std::string(100, 'R') + std::string(40, 'X');
  Answer("GF", reply);
  ASSERT_EQ(cfg_ReadDeviceConfigEx(g_server.c_str(), "DEV1", record.data(), 100, extra.data(), 40, "extra.bin", &ae, &so, &sbt,
                                   &rate),
            0);
  EXPECT_EQ(ae, 1);
  EXPECT_EQ(so, 0);
  EXPECT_EQ(sbt, 1);
  EXPECT_EQ(rate, 10000);
  EXPECT_EQ(std::string(record.data(), 100), std::string(100, 'R'));
  EXPECT_EQ(std::string(extra.data(), 40), std::string(40, 'X'));
  EXPECT_EQ(Served("GF"), std::vector<std::string>{"GF,149,DEV1,100,40,extra.bin,1,1,1,1"});

  // A reply one byte short: the raw road, the switches untouched.
  Answer("GF", reply.substr(0, reply.size() - 1));
  ae = so = sbt = 7;
  rate = 7;
  ASSERT_EQ(cfg_ReadDeviceConfigEx(g_server.c_str(), "DEV1", record.data(), 100, extra.data(), 40, "extra.bin", &ae, &so, &sbt,
                                   &rate),
            0);
  EXPECT_EQ(std::string(record.data(), 100), std::string(100, 'c')) << "from byte 1 of config";
  EXPECT_EQ(std::string(extra.data(), 40), std::string(40, 'e'));
  EXPECT_EQ(ae + so + sbt + rate, 28);
  Answer("GF", std::string("-1,1465,x", 10));
  EXPECT_EQ(cfg_ReadDeviceConfig(g_server.c_str(), "DEV1", record.data(), 100), -1);
}

TEST_F(ConfigAccess, WritesByRequestOrRawWithTheChangeSignal) {
  std::string records = Records(4, 3);
  auto top = fs::last_write_time(remote + "/config");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // file times must be able to move
  // The request answered: its result, and the change signal after it.
  Answer("HF", std::string("0", 2));
  EXPECT_EQ(cfg_WriteChannelRecords(g_server.c_str(), "ann", "DEV1", 0, reinterpret_cast<const ChannelRecord *>(records.data()),
                                    2, 4),
            0);
  ASSERT_EQ(Served("HF").size(), 1u);
  EXPECT_EQ(Served("HF")[0], "HF,864,ann,DEV1,2,4,0, ,0,1");
  EXPECT_GT(fs::last_write_time(remote + "/config"), top);
  EXPECT_EQ(tnwtest::ReadFile(remote + "/config"), std::string("\x05", 1)) << "byte 0 kept";

  // Refused: the records raw at their place, then the write stamp.
  Answer("HF", std::string("-1,5", 5));
  ASSERT_EQ(cfg_RewriteChannelRecords(g_server.c_str(), "ann", "DEV1", 0,
                                      reinterpret_cast<const ChannelRecord *>(records.data()), 2, 4),
            0);
  std::string ai = tnwtest::ReadFile(remote + "/DEV1/ai");
  EXPECT_TRUE(ai.substr(8 + 2 * 216, 4 * 216) == records);
  EXPECT_TRUE(ai.substr(8, 2 * 216) == Records(300, 1).substr(0, 2 * 216)) << "the others untouched";
  EXPECT_NE(ai.substr(0, 8), std::string(8, 'S')) << "a new write stamp";
  EXPECT_EQ(ai.size(), 8u + 300 * 216);
  Answer("HF", std::string("-1,1465,x", 10));
  EXPECT_EQ(cfg_WriteChannelRecords(g_server.c_str(), "ann", "DEV1", 0, reinterpret_cast<const ChannelRecord *>(records.data()),
                                    0, 1),
            -1);
  EXPECT_TRUE(tnwtest::ReadFile(remote + "/DEV1/ai") == ai);

  // The device record, refused: raw from byte 1 of config, extra block, signal.
  top = fs::last_write_time(remote + "/config");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Answer("FF", std::string("-1,5", 5));
  std::string rec(50, 'N');
  uint8_t ae = 1;
  int32_t rate = 250;
  ASSERT_EQ(cfg_WriteDeviceConfigurationEx(g_server.c_str(), "ann", "DEV1", rec.data(), 50, "XYZ", 3, "extra.bin", &ae, nullptr,
                                           nullptr, &rate),
            0);
  EXPECT_EQ(Served("FF"), std::vector<std::string>{"FF,53,ann,DEV1,50,3,extra.bin,1, , ,250"});
  std::string config = tnwtest::ReadFile(remote + "/DEV1/config");
  EXPECT_EQ(config.substr(0, 51), "\x01" + rec);
  EXPECT_EQ(tnwtest::ReadFile(remote + "/DEV1/extra.bin").substr(0, 3), "XYZ");
  EXPECT_GT(fs::last_write_time(remote + "/config"), top) << "the change signal";
  EXPECT_EQ(tnwtest::ReadFile(remote + "/config"), std::string("\x05", 1));

  // Fields with their separator: nothing sent.
  size_t sent = sim_ServedRequests(server).size();
  EXPECT_EQ(cfg_WriteChannelRecords(g_server.c_str(), "a,b", "DEV1", 0, reinterpret_cast<const ChannelRecord *>(records.data()),
                                    0, 1),
            -1);
  EXPECT_EQ(cfg_ReadChannels(g_server.c_str(), "DEV,1", 0, nullptr, 0, 0), -1);
  EXPECT_EQ(errno, OS_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(sim_ServedRequests(server).size(), sent);
}

// The small files read and written the same way on this computer's folder
// and through the server.
TEST_F(ConfigAccess, SmallFilesAliveOnEveryRoad) {
  std::string local = tnwtest::Root() + "/drives/c/LOCALCFG";
  fs::create_directories(local + "/DEV1");
  fs::create_directories(local + "/LOGGERS");
  ASSERT_TRUE(tnwtest::WriteFile(local + "/config", std::string("\x05", 1)));
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\LOCALCFG");
  for (const char *road : {".", g_server.c_str()}) {
    std::string root = std::string(road) == "." ? local : remote;
    ASSERT_EQ(cfg_WriteSaveConfig(road, "DEV1", 1, 0, 123456), 0) << road;
    EXPECT_EQ(tnwtest::ReadFile(root + "/DEV1/saveconfig"), std::string("\x01\x00\x40\xe2\x01\x00", 6)) << road;
    uint8_t so = 9, sbt = 9, ae = 9;
    int32_t rate = 0;
    ASSERT_EQ(cfg_ReadSaveConfig(road, "DEV1", &so, &sbt, &rate), 0);
    EXPECT_EQ(so, 1);
    EXPECT_EQ(sbt, 0);
    EXPECT_EQ(rate, 123456);
    ASSERT_EQ(cfg_WriteConfigStatus(road, nullptr, 0), 0);
    ASSERT_EQ(cfg_ReadConfigStatus(road, nullptr, &ae), 0);
    EXPECT_EQ(ae, 0);
    EXPECT_EQ(tnwtest::ReadFile(root + "/config"), std::string(1, '\0'));
    EXPECT_EQ(cfg_ReadSaveConfig(road, "NODEV", &so, &sbt, &rate), -1);
  }
  // Logger configurations: binary, read in chunks of at most 65512 bytes.
  std::string logger = Records(400, 5);  // 86400 bytes
  fs::create_directories(remote + "/LOGGERS");
  ASSERT_TRUE(tnwtest::WriteFile(remote + "/LOGGERS/filelog_3", logger));
  std::vector<char> got(logger.size());
  ASSERT_EQ(cfg_ReadLoggerConfig(g_server.c_str(), "filelog", 3, got.data(), static_cast<int>(got.size())), 0);
  EXPECT_TRUE(std::string(got.data(), got.size()) == logger);
  EXPECT_EQ(Served("RF,TSQ_CURRENT_CONFIG\\LOGGERS\\filelog_3").size(), 2u) << "65512 and the rest";
  ASSERT_EQ(cfg_WriteLoggerConfig(".", "filelog", 4, logger.data(), 1000, "ann"), 0);
  EXPECT_TRUE(tnwtest::ReadFile(local + "/LOGGERS/filelog_4") == logger.substr(0, 1000));
  Answer("CF", std::string("0", 2));
  ASSERT_EQ(cfg_WriteLoggerConfig(g_server.c_str(), "filelog", 4, "AB", 2, "ann"), 0);
  EXPECT_EQ(Served("CF"), std::vector<std::string>{"CF,filelog,4,2,ann,AB"});
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);
}

// scadasim's own answers with a verb's fault: the plug-in takes the road the
// fault calls for.
TEST_F(ConfigAccess, ServerFaultsOfOneVerb) {
  auto restart = [this](std::vector<SimVerbKnob> knobs) {
    tnwtest::StopRemotePeer(&server, &tls);
    SimRequestSpec spec;
    spec.host = "HOSTR";
    spec.configFolder = "C:\\REMOTE";
    spec.knobs = std::move(knobs);
    ASSERT_TRUE(tnwtest::StartRemotePeer(spec, &server, &tls, &g_server));
  };
  std::vector<ChannelRecord> r(4);
  std::vector<char> record(100);
  uint8_t ae = 7;
  // The server's own "IF" fails with 2: the raw road.
  restart({SimVerbKnob{"IF", 2, "", 0, false, -1, 0}});
  ASSERT_EQ(cfg_ReadChannels(g_server.c_str(), "DEV1", 0, r.data(), 1, 3), 0);
  EXPECT_TRUE(std::string(reinterpret_cast<char *>(r.data()), 3 * 216) == Records(300, 1).substr(216, 3 * 216));
  EXPECT_EQ(Served("RF").size(), 1u);
  // 1465 with its text: no raw road, the text is the XML error's.
  restart({SimVerbKnob{"IF", 1465, "Line 2: bad", 0, false, -1, 0}});
  EXPECT_EQ(cfg_ReadChannels(g_server.c_str(), "DEV1", 0, r.data(), 0, 1), -1);
  EXPECT_EQ(errno, OS_ERROR_XML_PARSE_ERROR);
  EXPECT_TRUE(Served("RF").empty());
  // The server's "GF" one byte short: the raw road, the switch untouched.
  restart({SimVerbKnob{"GF", 0, "", -1, false, -1, 0}});
  ASSERT_EQ(cfg_ReadDeviceConfigEx(g_server.c_str(), "DEV1", record.data(), 100, nullptr, 0, nullptr, &ae, nullptr, nullptr,
                                   nullptr),
            0);
  EXPECT_EQ(ae, 7);
  EXPECT_EQ(Served("RF").size(), 1u);
  // A negative count of bytes read, a cut reply: failures, nothing copied.
  for (SimVerbKnob k : {SimVerbKnob{"RF", 0, "", 0, true, -1, 0}, SimVerbKnob{"RF", 0, "", 0, false, 40, 0}}) {
    restart({k});
    std::vector<char> buf(64, '#');
    int32_t got = -1;
    const CfgOpen o = {0x80000000u, 3, 0, 3, 0};
    EXPECT_EQ(srv_RemoteReadFile(g_server.c_str(), nullptr, "TSQ_CURRENT_CONFIG\\DEV1\\ai", buf.data(), 50, 0, 0, &o, &got), 0);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(std::string(buf.data(), 64), std::string(64, '#'));
  }
  // A verb that answers late.
  restart({SimVerbKnob{"SF", 0, "", 0, false, -1, 300}});
  auto t0 = std::chrono::steady_clock::now();
  const CfgOpen o = {0x80000000u, 3, 0, 3, 0};
  EXPECT_EQ(srv_RemoteFileOpenSize(g_server.c_str(), "TSQ_CURRENT_CONFIG\\DEV1\\ai", &o), 8 + 300 * 216);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
  // The same answers come from the answer function other transports use.
  std::string answer = sim_AnswerRequest(server, std::string("SF,TSQ_CURRENT_CONFIG\\DEV1\\ai\t0\t3\t0\t3\t0", 40));
  EXPECT_EQ(answer, std::to_string(8 + 300 * 216) + std::string(1, '\0'));
}
