// The request writers without a caller in the plug-in: the exact bytes each
// sends and what it takes from the reply, logged-data queries that only a
// provider server gets, and the DEVCAP.TXT table behind the device requests.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "framework/tables/tbl_text.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_spawn.h"
#include "plugin/connect/cfg_requests.h"
#include "tests/support/test_root.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// A transport that keeps every request's bytes and answers with `next`.
std::vector<std::string> g_sent;
std::string g_next = "0\0"s;

int Open(ServerConnection *e) {
  e->handle = e;
  return 1;
}
int Exchange(ServerConnection *, const void *request, uint32_t length, void *reply, uint32_t *n) {
  g_sent.emplace_back(static_cast<const char *>(request), length);
  if (g_next.size() > *n) return os_Fail(OS_ERROR_MORE_DATA), 0;
  memcpy(reply, g_next.data(), g_next.size());
  *n = static_cast<uint32_t>(g_next.size());
  return 1;
}
void Close(ServerConnection *e) { e->handle = nullptr; }
const SrvTransport kCapture = {Open, Exchange, Close, 0};

class Writers : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_SetTransport(SRV_KIND_SOCKET, &kCapture);
    srv_SetTransport(SRV_KIND_PROVIDER, &kCapture);
    g_sent.clear();
    g_next = "0\0"s;
    user = UserName();
    host = os_ComputerName();
  }
  void TearDown() override {
    srv_CloseAllConnections();
    srv_SetTransport(SRV_KIND_SOCKET, nullptr);
    srv_SetTransport(SRV_KIND_PROVIDER, nullptr);
  }
  static std::string UserName() {
    char name[257] = "";
    uint32_t size = sizeof name;
    os_GetUserName(name, &size);
    return name;
  }
  std::string user, host;
};

const char *kRemote = "tnw://cap/";
const char *kProvider = "PROVIDER=cap";

}  // namespace

TEST_F(Writers, ExactBytesOfEachCall) {
  struct Case {
    std::function<int()> call;
    std::string bytes;
  };
  char buf[64];
  int size = sizeof buf;
  const char16_t wide[] = u"\u00e9t\u20ac";
  std::vector<Case> cases = {
      {[&] { return srv_RequestRV(kRemote, "AI0001", buf, &size); }, "RV,AI0001\0"s},
      {[&] { return srv_RequestSV(kRemote, "DO0007", wide); },
       "SV,DO0007," + host + "," + user + ",\xe9\x00t\x00\xac\x20\x00\x00"s},
      {[&] { return srv_RequestFV(kRemote, "AO0001", 1234.5); }, "FV,AO0001,1234.5," + host + "," + user + "\0"s},
      {[&] { return srv_RequestFV(kRemote, "AO0001", -2.5e-7); }, "FV,AO0001,-2.5e-07," + host + "," + user + "\0"s},
      {[&] { return srv_RequestDS(kRemote); }, "DS," + user + "\0"s},
      {[&] { return srv_RequestES(kRemote); }, "ES,\0"s},
      {[&] { return srv_RequestESCount(kRemote, 12); }, "ES,*,12\0"s},
      {[&] { return srv_RequestBS(kRemote); }, "BS\0"s},
      {[&] { return srv_RequestRS(kRemote); }, "RS\0"s},
      {[&] { return srv_RequestOS(kRemote); }, "OS\0"s},
      {[&] { return srv_RequestAS(kRemote, "note"); }, "AS,note\0"s},
      {[&] { return srv_ControlDevice(kRemote, "tnwll_2", 'r'); }, "CE,tnwll_2,R\0"s},
      {[&] { return srv_ControlDevice(kRemote, "tnwll_2", 300); }, "CE,tnwll_2,300\0"s},
      {[&] { return srv_RequestDE(kRemote, "D1"); }, "DE,D1\0"s},
      {[&] { return srv_RequestEE(kRemote, "D1"); }, "EE,D1\0"s},
      {[&] { return srv_RequestSE(kRemote, "D1", -4); }, "SE,D1,-4\0"s},
      {[&] { return srv_QueryFS(kProvider); }, "FS\0"s},
      {[&] { return srv_QueryWS(kProvider); }, "WS\0"s},
      {[&] { return srv_QueryPS(kProvider); }, "PS\0"s},
      {[&] { return srv_QueryMS(kProvider, 4000000000u); }, "MS,4000000000\0"s},
      {[&] { return srv_Query5S(kRemote, -1, 2, 3, 4000000000u, nullptr, nullptr); }, "5S,-1,2,3,4000000000\0"s},
      {[&] { return srv_Query6S(kProvider, "AI0001", int64_t{1} << 40, 1, nullptr); }, "6S,AI0001,1099511627776,1\0"s},
      {[&] {
         return srv_Query7S(kProvider, 1, int64_t{1} << 40, 2, -3, 4, 5, 6, 7, int64_t{1} << 33, 9, nullptr, nullptr,
                            nullptr);
       },
       "7S,1,1099511627776,2,-3,4,5,6,7,8589934592,9\0"s},
      {[&] { return srv_Query8S(kProvider, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -11, nullptr, nullptr, nullptr); },
       "8S,1,2,3,4,5,6,7,8,9,10,-11\0"s},
  };
  for (const Case &c : cases) {
    g_sent.clear();
    EXPECT_EQ(c.call(), 0) << c.bytes;
    ASSERT_EQ(g_sent.size(), 1u) << c.bytes;
    EXPECT_EQ(g_sent[0], c.bytes);
  }

  // '.' whatever the process's numeric locale.
  std::string dir = tnwtest::MakeTempDir("locale");
  const char *argv[] = {"localedef", "-i", "de_DE", "-f", "UTF-8", nullptr, nullptr};
  std::string target = dir + "/de_DE.UTF-8";
  argv[5] = target.c_str();
  OsProgramRun run;
  ASSERT_EQ(os_RunProgram(argv, &run), 0);
  setenv("LOCPATH", dir.c_str(), 1);
  ASSERT_NE(setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << run.err;
  char check[16];
  snprintf(check, sizeof check, "%g", 1.5);
  EXPECT_STREQ(check, "1,5") << "the locale is German";
  g_sent.clear();
  srv_RequestFV(kRemote, "AO0001", 1234.5);
  setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(g_sent[0], "FV,AO0001,1234.5," + host + "," + user + "\0"s);
}

TEST_F(Writers, RepliesAndRefusals) {
  // Logged-data queries to other kinds: -1, nothing sent; "5S" goes anywhere.
  uint32_t out1 = 9, out2 = 9, value = 9, four[4] = {9, 9, 9, 9};
  int32_t out3 = 9, last = 9;
  EXPECT_EQ(srv_QueryFS(kRemote), -1);
  EXPECT_EQ(srv_QueryIS("HOSTB", &value), -1);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(srv_Query7S(".", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, &out1, &out2, &out3), -1);
  EXPECT_EQ(out1 + out2 + static_cast<uint32_t>(out3), 0u) << "outputs cleared";
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(g_sent.empty());

  g_next = "7,8,9,10,-11\0"s;
  EXPECT_EQ(srv_Query5S(kRemote, 1, 2, 3, 4, four, &last), 7);
  EXPECT_EQ(four[0] + four[1] + four[2] + four[3], 34u);
  EXPECT_EQ(last, -11);
  g_next = "3,4,-5\0"s;
  EXPECT_EQ(srv_Query8S(kProvider, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, &out1, &out2, &out3), 3);
  EXPECT_EQ(out1, 3u);
  EXPECT_EQ(out2, 4u);
  EXPECT_EQ(out3, -5);
  g_next = "-1,5\0"s;
  EXPECT_EQ(srv_Query8S(kProvider, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, &out1, &out2, &out3), -1);
  EXPECT_EQ(out1 + out2 + static_cast<uint32_t>(out3), 0u);
  g_next = "12,-3\0"s;
  uint32_t count = 0;
  int32_t more = 0;
  EXPECT_EQ(srv_QueryNS(kProvider, &count, &more), 12);
  EXPECT_EQ(more, -3);
  int32_t ts1 = 0;
  int16_t ts2 = 0;
  g_next = "70000,-2\0"s;
  EXPECT_EQ(srv_RequestTS(kRemote, &ts1, &ts2), 70000);
  EXPECT_EQ(ts2, -2);
  char small[6];
  int n = sizeof small;
  g_next = "1,abcdefghij\0"s;
  EXPECT_EQ(srv_RequestTC(kRemote, "q", small, &n), 1);
  EXPECT_EQ(std::string(small, static_cast<size_t>(n)), "1,abcd") << "never past the caller's buffer";

  // Separators and long channel names: nothing sent.
  g_sent.clear();
  EXPECT_EQ(srv_RequestFV(kRemote, "AO000001", 1), -1);
  EXPECT_EQ(srv_RequestSV(kRemote, "A,B", u"x"), -1);
  EXPECT_EQ(srv_RequestAS(kRemote, "a\tb"), -1);
  EXPECT_EQ(srv_RequestDE(kRemote, "a;b"), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(g_sent.empty());

  char path[64];
  struct Path {
    void (*fn)(char *, size_t, const char *, const char *);
    const char *want;
  } paths[] = {{srv_FolderPath, "C:\\CFG\\DEV_1"},
               {srv_FolderXmlPath, "C:\\CFG\\DEV_1\\config.xml"},
               {srv_FolderConfigPath, "C:\\CFG\\DEV_1\\config"},
               {srv_XmlFilePath, "C:\\CFG\\DEV_1.xml"}};
  for (const Path &p : paths) {
    p.fn(path, sizeof path, "C:\\CFG", "DEV_1");
    EXPECT_STREQ(path, p.want);
  }
  os_SetLastError(1465);
  srv_ErrorLine(path, sizeof path);
  EXPECT_STREQ(path, "Error 1465\r\n");
}

TEST_F(Writers, DeviceTableBehindTheDeviceRequests) {
  std::string config = tnwtest::Root() + "/drives/c/DEVCFG";
  fs::create_directories(config);
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\DEVCFG");
  srv_SetTransport(SRV_KIND_SOCKET, nullptr);
  // No server answers on this computer: the table speaks.
  ASSERT_TRUE(tnwtest::WriteFile(config + "/DEVCAP.TXT",
                                 "* devices\n"
                                 "tnwll,2,PUMPS EAST,AI:64,DI:128\n"
                                 "tnwll,3,PUMPS WEST,AI:64\n"
                                 "modbus,1,MODBUS LINE,AI:10,DI:10,AO:5,DO:5,CI:2,XX:1\n"));
  EXPECT_EQ(srv_CountDevices("."), 3);
  DeviceCapRecord r[4];
  ASSERT_EQ(srv_GetDevices(".", "*,5", r, 4), 3);
  EXPECT_STREQ(r[0].Folder, "TNWLL_2");
  EXPECT_STREQ(r[1].PrintName, "PUMPS WEST");
  EXPECT_EQ(r[2].RangeCount, 6);
  EXPECT_EQ(r[0].Ranges[1].Count, 128);
  ASSERT_EQ(srv_GetDevices(".", "tnwll_3", r, 4), 1);
  EXPECT_EQ(r[0].Number, 3);
  EXPECT_EQ(srv_GetDevices(".", "*,2", r, 1), 1) << "never more than the caller's array";

  struct Bad {
    const char *line, *message;
  } bad[] = {
      {",1,P,AI:1", "no device name specified"},
      {"toolongname,1,P,AI:1", "device name too long"},
      {"dev,,P,AI:1", "no device number specified"},
      {"dev,100,P,AI:1", "invalid device number"},
      {"dev,0,P,AI:1", "invalid device number"},
      {"dev,1,,AI:1", "no print name specified"},
      {"dev,1,PRINT NAME THAT IS TOO LONG,AI:1", "print name too long"},
      {"tnwll,2,OTHER,AI:1", "duplicate device name and number"},
      {"other,1,PUMPS EAST,AI:1", "duplicate print name"},
      {"dev,1,P", "no channel range(s) defined"},
      {"dev,1,P,A1:4", "invalid channel prefix"},
      {"dev,1,P,AI:0", "invalid number of channels"},
  };
  for (const Bad &b : bad) {
    ASSERT_TRUE(tnwtest::WriteFile(config + "/DEVCAP.TXT", std::string("tnwll,2,PUMPS EAST,AI:64\n") + b.line + "\n"));
    EXPECT_EQ(srv_GetDevices(".", "*,9", r, 4), -2) << b.line;
    const char *text = tbl_GetErrorText();
    ASSERT_NE(text, nullptr) << b.line;
    EXPECT_NE(std::string(text).find(std::string("**** ") + b.message + " ****"), std::string::npos) << b.line << ": " << text;
  }
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);

  // An answering server: its list.
  srv_SetTransport(SRV_KIND_SOCKET, &kCapture);
  g_next = "2,dudi,4,DUDI FOUR,AI:8;vantx,1,VANTX,DI:3\0"s;
  ASSERT_EQ(srv_GetDevices(kRemote, "*,2", r, 4), 2);
  EXPECT_STREQ(r[1].Folder, "VANTX_1");
  g_next = "2,1,2,3,NAME,text;4,5,6\0"s;
  DeviceTextEntry t[2];
  ASSERT_EQ(srv_GetDeviceTexts(kRemote, "*", t, 2), 2);
  EXPECT_STREQ(t[0].Name, "NAME");
  EXPECT_STREQ(t[0].Text, "text");
  EXPECT_EQ(t[1].Numbers[2], 6);
  g_next = "9\0"s;
  EXPECT_EQ(srv_CountDevices(kRemote), 9);
}
