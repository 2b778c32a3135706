// The scadasim program as a TLS and an HTTPS peer: the plug-in's
// configuration calls by a TLS and an https URL, answered by the program's own
// request server, also when its "IF" fails with 2 and the plug-in falls back
// to reading the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "plugin/connect/cfg_access.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/connect/con_transports.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"
#include "tests/support/tls_peer.h"

namespace {

std::string Records(int count) {
  std::string s(static_cast<size_t>(count) * 216, '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 11 + 3) % 249);
  return s;
}

struct Peer {
  pid_t pid = 0;
  std::string url, https;
};

// Starts "scadasim requests" with a TLS listener and the extra options; its URL.
Peer StartSim(const std::string &tag, std::vector<std::string> extra) {
  std::string out = tnwtest::MakeTempDir(tag.c_str()) + "/out.txt";
  std::vector<std::string> argv = {tnwtest::BinPath("scadasim"), "requests", "--host", tag, "--config", "C:\\TLSCFG",
                                   "--tls", "0", "--cert", tnwtest::TestCerts() + "/server.pem", "--key",
                                   tnwtest::TestCerts() + "/server.key", "--soap-https", "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  Peer p;
  p.pid = tnwtest::Launch(argv, tnwtest::Root(), out);
  EXPECT_TRUE(tnwtest::WaitForText(out, "over TLS on 127\\.0\\.0\\.2:[0-9]+", 10000)) << tnwtest::ReadAll(out);
  std::smatch m;
  std::string text = tnwtest::ReadAll(out);
  if (std::regex_search(text, m, std::regex("over TLS on (127\\.0\\.0\\.2:[0-9]+)"))) p.url = "tnw://" + m[1].str() + "/";
  EXPECT_TRUE(tnwtest::WaitForText(out, "SOAP calls on https://", 10000)) << tnwtest::ReadAll(out);
  text = tnwtest::ReadAll(out);
  if (std::regex_search(text, m, std::regex("SOAP calls on (https://127\\.0\\.0\\.2:[0-9]+/)"))) p.https = m[1].str() + "cfg/";
  return p;
}

void Stop(const Peer &p) {
  srv_CloseAllConnections();
  kill(p.pid, SIGTERM);
  EXPECT_EQ(tnwtest::WaitChild(p.pid, 10000), 0);
}

TEST(TlsPeerProgram, ConfigurationCallsOverTls) {
  con_InstallTransports();
  // The https peer's certificate is signed by the tests' CA: trusted here.
  std::filesystem::create_directories(tnwtest::Root() + "/certs");
  std::filesystem::copy_file(tnwtest::TestCerts() + "/ca.pem", tnwtest::Root() + "/certs/ca.pem",
                             std::filesystem::copy_options::overwrite_existing);
  std::string folder = tnwtest::Root() + "/drives/c/TLSCFG";
  std::filesystem::create_directories(folder + "/DEV1");
  ASSERT_TRUE(tnwtest::WriteFile(folder + "/config", std::string(1, '\x01')));
  ASSERT_TRUE(tnwtest::WriteFile(folder + "/DEV1/ai", std::string(8, '\0') + Records(20)));
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 256);
  std::string local = tnwtest::MakeTempDir("tlslocal");
  ASSERT_TRUE(tnwtest::WriteFile(local + "/push.bin", big));

  struct Case {
    const char *tag;
    std::vector<std::string> extra;
  } cases[] = {{"TLSA", {}}, {"TLSB", {"--fail", "IF:2"}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.tag);
    Peer p = StartSim(c.tag, c.extra);
    ASSERT_FALSE(p.url.empty());
    ASSERT_FALSE(p.https.empty());
    for (const std::string &url : {p.url, p.https}) {
      SCOPED_TRACE(url);
      std::vector<ChannelRecord> r(5);
      ASSERT_EQ(cfg_ReadChannels(url.c_str(), "DEV1", 0, r.data(), 2, 5), 0);
      EXPECT_TRUE(std::string(reinterpret_cast<char *>(r.data()), 5 * 216) == Records(20).substr(2 * 216, 5 * 216));
      // A file there and back, larger than one request.
      std::string name = std::string("p") + c.tag + (url == p.url ? "t" : "s");
      ASSERT_EQ(cfg_PushConfigFile(url.c_str(), "DEV1", name.c_str(), (local + "/push.bin").c_str()), 0);
      EXPECT_TRUE(tnwtest::ReadFile(folder + "/DEV1/" + name) == big);
      ASSERT_EQ(cfg_FetchConfigFile(url.c_str(), ("DEV1\\" + name).c_str(), (local + "/back").c_str()), 0);
      EXPECT_TRUE(tnwtest::ReadFile(local + "/back") == big);
    }
    Stop(p);
  }
}

}  // namespace
