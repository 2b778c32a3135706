// File requests of the plug-in on the remote road (a kind-2 connection
// carried over scadasim's pipe) against scadasim's world: whole files
// fetched and pushed byte for byte, the size and chunk limits, replies of
// any shape, listings over pages and the smaller file verbs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/connect/con_transports.h"
#include "tests/support/tls_peer.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// The request server's TLS listener, by URL (set up per test).
std::string g_server;

class FileRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    con_InstallTransports();
    config = tnwtest::Root() + "/drives/c/SRVCFG";
    fs::remove_all(config);
    fs::create_directories(config + "/DEV1");
    local = tnwtest::MakeTempDir("cfgfiles");
    SimRequestSpec spec;
    spec.host = "HOSTR";
    spec.configFolder = "C:\\SRVCFG";
    spec.answer = [this](const std::string &line, std::string *reply) { return hook && hook(line, reply); };
    ASSERT_TRUE(tnwtest::StartRemotePeer(spec, &server, &tls, &g_server));
  }
  void TearDown() override {
    tnwtest::StopRemotePeer(&server, &tls);
  }
  size_t Sent() const { return sim_ServedRequests(server).size(); }
  std::string config, local;
  SimRequestServer *server = nullptr;
  SimTlsServer *tls = nullptr;
  std::function<bool(const std::string &, std::string *)> hook;
};

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char &c : s) c = static_cast<char>(rng());
  return s;
}

const CfgOpen kRead = {OS_GENERIC_READ, 3, 1, OS_OPEN_EXISTING, 0};

}  // namespace

TEST_F(FileRequests, WholeFilesTravelByteForByte) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{32744}, size_t{32745}, size_t{3} << 20}) {
    std::string bytes = RandomBytes(size, static_cast<uint32_t>(size));
    std::string name = "f" + std::to_string(size);
    ASSERT_TRUE(tnwtest::WriteFile(config + "/DEV1/" + name, bytes));
    std::string target = local + "/" + name;
    ASSERT_TRUE(tnwtest::WriteFile(target, "old contents"));
    ASSERT_EQ(cfg_FetchConfigFile(g_server.c_str(), ("DEV1\\" + name).c_str(), target.c_str()), 0) << size;
    EXPECT_TRUE(tnwtest::ReadFile(target) == bytes) << size;
    EXPECT_FALSE(fs::exists(target + ".part~"));

    std::string pushed = RandomBytes(size, static_cast<uint32_t>(size) + 1);
    ASSERT_TRUE(tnwtest::WriteFile(local + "/p", pushed));
    ASSERT_TRUE(tnwtest::WriteFile(config + "/DEV1/p" + name, "server's old contents"));
    ASSERT_EQ(cfg_PushConfigFile(g_server.c_str(), "DEV1", ("p" + name).c_str(), (local + "/p").c_str()), 0) << size;
    EXPECT_TRUE(tnwtest::ReadFile(config + "/DEV1/p" + name) == pushed) << size;
  }
  // A file at the top of the folder.
  ASSERT_TRUE(tnwtest::WriteFile(local + "/top", "top"));
  ASSERT_EQ(cfg_PushConfigFile(g_server.c_str(), "", "TOP.TXT", (local + "/top").c_str()), 0);
  EXPECT_EQ(tnwtest::ReadFile(config + "/TOP.TXT"), "top");

  // A fetch that fails half-way leaves the local file as it was.
  std::string bytes = RandomBytes(100000, 7);
  ASSERT_TRUE(tnwtest::WriteFile(config + "/DEV1/big", bytes));
  ASSERT_TRUE(tnwtest::WriteFile(local + "/big", "keep me"));
  int reads = 0;
  hook = [&](const std::string &line, std::string *reply) {
    if (line.rfind("RF,", 0) != 0 || ++reads < 2) return false;
    *reply = std::string("-1,5", 5);
    return true;
  };
  EXPECT_EQ(cfg_FetchConfigFile(g_server.c_str(), "DEV1\\big", (local + "/big").c_str()), -1);
  EXPECT_EQ(errno, OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(tnwtest::ReadFile(local + "/big"), "keep me");
  EXPECT_FALSE(fs::exists(local + "/big.part~"));
  EXPECT_EQ(cfg_FetchConfigFile(g_server.c_str(), "DEV1\\none", (local + "/big").c_str()), -1);
  EXPECT_EQ(errno, OS_ERROR_FILE_NOT_FOUND);
}

TEST_F(FileRequests, LimitsAndBadFieldsSendNothing) {
  std::vector<char> buf(70000);
  int32_t got = 0;
  const std::string path = "TSQ_CURRENT_CONFIG\\DEV1\\x";
  ASSERT_TRUE(tnwtest::WriteFile(config + "/DEV1/x", std::string(70000, 'x')));
  EXPECT_EQ(srv_RemoteReadFile(g_server.c_str(), nullptr, path.c_str(), buf.data(), CFG_RF_MAX, 0, 0, &kRead, &got), 1);
  EXPECT_EQ(got, CFG_RF_MAX);
  size_t sent = Sent();
  EXPECT_EQ(srv_RemoteReadFile(g_server.c_str(), nullptr, path.c_str(), buf.data(), CFG_RF_MAX + 1, 0, 0, &kRead, &got), 0);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));

  CfgOpen w = {OS_GENERIC_WRITE, 3, 1, OS_CREATE_ALWAYS, 0};
  int32_t written = 0;
  std::string header = "WF," + path + "\t32000\t0\t0\t1073741824\t3\t1\t2\t0\t";
  int32_t fits = static_cast<int32_t>(CFG_WF_MAX - header.size());
  EXPECT_EQ(srv_RemoteWriteFile(g_server.c_str(), nullptr, path.c_str(), buf.data(), fits + 1, 0, 0, &w, &written), 0);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Sent(), sent) << "neither was sent";

  // Fields holding their separator or too long.
  std::string longPath = "TSQ_CURRENT_CONFIG\\" + std::string(CFG_PATH_MAX, 'p');
  EXPECT_EQ(srv_RemoteFileOpenSize(g_server.c_str(), "TSQ_CURRENT_CONFIG\\a\tb", &kRead), -1);
  EXPECT_EQ(srv_RemoteFileOpenSize(g_server.c_str(), longPath.c_str(), &kRead), -1);
  EXPECT_EQ(srv_RemoteRequestUF(g_server.c_str(), "TSQ_CURRENT_CONFIG\\a,b"), -1);
  EXPECT_EQ(srv_RemoteRequestEF(g_server.c_str(), "TSQ_CURRENT_CONFIG\\a", "TSQ_CURRENT_CONFIG\\b,c"), -1);
  EXPECT_EQ(srv_RemoteRequestMF(g_server.c_str(), "TSQ_CURRENT_CONFIG", "x,y", nullptr, 0), -1);
  char names[2][CFG_DF_NAME];
  EXPECT_EQ(srv_ListDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG", "*\t", 0, names, 2), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  std::string longServer(SRV_SERVER_MAX + 1, 's');
  EXPECT_EQ(srv_RemoteRequestOF(longServer.c_str(), "TSQ_CURRENT_CONFIG\\a"), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Sent(), sent);
}

TEST_F(FileRequests, ReadRepliesOfAnyShape) {
  std::string next;
  hook = [&](const std::string &, std::string *reply) {
    *reply = next;
    return true;
  };
  struct Case {
    std::string reply;
    int32_t ask;
    int ok;
    std::string data;
  } cases[] = {
      {"0,abc\0\0\0\0\0\0\0,3\0"s, 10, 1, "abc"},
      {"0," + std::string(10, 'z') + ",10", 10, 1, std::string(10, 'z')},
      {"0,abc\0\0\0\0\0\0\0,-3"s, 10, 0, ""},   // a negative count
      {"0,abc\0\0\0\0\0\0\0,11"s, 10, 0, ""},   // more than asked
      {"0,abc", 10, 0, ""},                      // cut before its count
      {"0,", 0, 0, ""},
      {"0,,0", 0, 1, ""},
      {std::string("-1,38", 6), 10, 0, ""},
  };
  for (const Case &c : cases) {
    next = c.reply;
    std::string buf(16, '#');
    int32_t got = -1;
    EXPECT_EQ(srv_RemoteReadFile(g_server.c_str(), nullptr, "TSQ_CURRENT_CONFIG\\f", buf.data(), c.ask, 0, 0, &kRead, &got), c.ok)
        << c.reply;
    if (c.ok) {
      EXPECT_EQ(buf.substr(0, static_cast<size_t>(got)), c.data);
    } else {
      EXPECT_EQ(got, 0);
    }
    EXPECT_EQ(buf.substr(c.data.size()), std::string(16 - c.data.size(), '#')) << "nothing past the data";
  }

  // Sizes: any size up to INT32_MAX, error 223 above.
  struct Size {
    std::string reply;
    int64_t size;
    uint32_t error;
  } sizes[] = {
      {std::string("123456789", 10), 123456789, 0},
      {std::string("2147483647", 11), INT32_MAX, 0},
      {std::string("2147483648", 11), -1, CFG_FILE_TOO_LARGE},
      {std::string("99999999999", 12), -1, CFG_FILE_TOO_LARGE},
      {std::string("-1,2", 5), -1, OS_ERROR_FILE_NOT_FOUND},
  };
  for (const Size &s : sizes) {
    next = s.reply;
    EXPECT_EQ(srv_RemoteFileOpenSize(g_server.c_str(), "TSQ_CURRENT_CONFIG\\f", &kRead), s.size) << s.reply;
    if (s.error) {
      EXPECT_EQ(os_GetLastError(), s.error) << s.reply;
    }
  }
}

TEST_F(FileRequests, ListingsOverPages) {
  std::vector<std::string> want;
  for (int i = 0; i < 1000; ++i) {
    char name[128];
    snprintf(name, sizeof name, "%04d_%s.dat", i, std::string(70, 'n').c_str());
    want.push_back(name);
    ASSERT_TRUE(tnwtest::WriteFile(config + "/DEV1/" + name, ""));
  }
  ASSERT_TRUE(tnwtest::WriteFile(config + "/DEV1/other.txt", ""));
  std::vector<char[CFG_DF_NAME]> names(1001);
  size_t sent = Sent();
  ASSERT_EQ(srv_ListDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG\\DEV1", "*.dat", 0, names.data(), 1001), 1000);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(std::string(names[static_cast<size_t>(i)]), want[static_cast<size_t>(i)]);
  EXPECT_GE(Sent() - sent, 2u) << "more than one page";
  EXPECT_EQ(srv_ListDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG\\DEV1", "*.dat", 990, names.data(), 1001), 10);
  EXPECT_EQ(srv_ListDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG\\DEV1", "*.dat", 0, names.data(), 5), 5);
  EXPECT_EQ(srv_ListDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG\\NONE", "*", 0, names.data(), 5), -1);

  // Names over 255 characters are cut; a full page that brings no name ends.
  std::string next;
  hook = [&](const std::string &line, std::string *reply) {
    if (line.rfind("DF,", 0) != 0) return false;
    *reply = next;
    return true;
  };
  next = "1," + std::string(300, 'L') + std::string(65536 - 303, ' ');
  EXPECT_EQ(srv_ListDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG", "*", 0, names.data(), 3), 3);
  EXPECT_EQ(std::string(names[0]), std::string(255, 'L'));
  next = "0" + std::string(65530, ' ');
  sent = Sent();
  EXPECT_EQ(srv_ListDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG", "*", 0, names.data(), 3), 0);
  EXPECT_EQ(Sent() - sent, 1u);
  // An empty folder's "0," is no name at all, not one empty name.
  next = "0,";
  EXPECT_EQ(srv_ListDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG", "*", 0, names.data(), 3), 0);
  EXPECT_EQ(srv_CountDirectory(g_server.c_str(), "TSQ_CURRENT_CONFIG", "*"), 0);
}

TEST_F(FileRequests, SmallerFileVerbs) {
  const char *dir = "TSQ_CURRENT_CONFIG\\NEWDIR";
  EXPECT_EQ(srv_RemoteRequestBF(g_server.c_str(), dir), 0);
  EXPECT_EQ(srv_RemoteRequestNF(g_server.c_str(), dir), 0);
  EXPECT_EQ(srv_RemoteRequestBF(g_server.c_str(), dir), 1);
  EXPECT_TRUE(fs::is_directory(config + "/NEWDIR"));
  ASSERT_TRUE(tnwtest::WriteFile(config + "/NEWDIR/a.txt", "a"));
  EXPECT_EQ(srv_RemoteRequestOF(g_server.c_str(), "TSQ_CURRENT_CONFIG\\NEWDIR\\a.txt"), 1);
  EXPECT_EQ(srv_RemoteRequestEF(g_server.c_str(), "TSQ_CURRENT_CONFIG\\NEWDIR\\a.txt", "TSQ_CURRENT_CONFIG\\NEWDIR\\b.txt"), 0);
  EXPECT_EQ(tnwtest::ReadFile(config + "/NEWDIR/b.txt"), "a");
  EXPECT_EQ(srv_RemoteRequestUF(g_server.c_str(), "TSQ_CURRENT_CONFIG\\NEWDIR\\b.txt"), 0);
  EXPECT_FALSE(fs::exists(config + "/NEWDIR/b.txt"));
  EXPECT_EQ(srv_RemoteRequestUF(g_server.c_str(), "TSQ_CURRENT_CONFIG\\NEWDIR\\b.txt"), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_FILE_NOT_FOUND));
  char text[16];
  EXPECT_EQ(srv_RemoteRequestMF(g_server.c_str(), dir, "log", text, sizeof text), 1);
  EXPECT_STREQ(text, "log1.tmp");
  EXPECT_TRUE(fs::exists(config + "/NEWDIR/log1.tmp"));

  uint64_t times[3] = {0, 0, 0};
  ASSERT_TRUE(tnwtest::WriteFile(config + "/NEWDIR/t.txt", "t"));
  ASSERT_EQ(srv_RemoteFileTimes(g_server.c_str(), nullptr, "TSQ_CURRENT_CONFIG\\NEWDIR\\t.txt", times), 1);
  int64_t unix = static_cast<int64_t>(times[2] / 10000000ull) - 11644473600LL;
  EXPECT_NEAR(static_cast<double>(unix), static_cast<double>(time(nullptr)), 5.0);

  // Paths that would leave the server's folders are refused.
  for (const char *bad : {"TSQ_CURRENT_CONFIG\\..\\x", "C:\\x", "\\\\H\\s\\x", "NOTNAMED\\x", "TSQ_CURRENT_CONFIG\\a\\..\\..\\b"})
    EXPECT_EQ(srv_RemoteRequestOF(g_server.c_str(), bad), -1) << bad;
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_ACCESS_DENIED));

  char value[32];
  int n = sizeof value;
  hook = [](const std::string &line, std::string *reply) {
    if (line != "CV,AI0001") return false;
    *reply = std::string("12,3.5", 7);
    return true;
  };
  EXPECT_EQ(srv_RequestChannelValue(g_server.c_str(), "AI0001", value, &n), 12);
  EXPECT_EQ(std::string(value, static_cast<size_t>(n)), std::string("12,3.5", 7));
}
