// Which server strings name this computer, how each is reached, and the URL splitter.
#include <gtest/gtest.h>

#include <string>

#include "framework/registry/srv_hosts.h"
#include "platform/os_env.h"
#include "platform/os_error.h"

TEST(ServerHosts, LocalNamesAndKinds) {
  const std::string me = os_ComputerName();
  struct Case {
    std::string server;
    int local, kind;
  } cases[] = {
      {"", 1, SRV_KIND_PIPE},
      {".", 1, SRV_KIND_PIPE},
      {"localhost", 1, SRV_KIND_PIPE},
      {"LocalHost", 1, SRV_KIND_PIPE},
      {"127.0.0.1", 1, SRV_KIND_PIPE},
      {me, 1, SRV_KIND_PIPE},
      {"http://localhost/tessarine", 1, SRV_KIND_PIPE},  // a URL naming this computer uses the pipe
      {"https://" + me + ":8443/x", 1, SRV_KIND_PIPE},
      {"HOSTB", 0, SRV_KIND_PIPE},                        // a plain host name: its pipe
      {"127.0.0.2", 0, SRV_KIND_PIPE},
      {"http://scada.example/x", 0, SRV_KIND_SOAP},
      {"HTTPS://scada.example", 0, SRV_KIND_SOAP},
      {"file:///C:/DATA", 0, SRV_KIND_PROVIDER},
      {"tls://scada.example:11234", 0, SRV_KIND_SOCKET},
      {"mailto:someone", 0, SRV_KIND_PIPE},               // a scheme without a host
      {"PROVIDER=Sqlite;Data Source=x", 0, SRV_KIND_PIPE},
      {"provider=x", 0, SRV_KIND_PIPE},
      {"C:\\DATA\\LOGS", 0, SRV_KIND_PIPE},
      {"\\\\HOSTB\\share", 0, SRV_KIND_PIPE},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(srv_IsLocalHost(c.server.c_str()), c.local) << c.server;
    EXPECT_EQ(srv_ClassifyServer(c.server.c_str()), c.kind) << c.server;
    EXPECT_EQ(srv_IsUrlServer(c.server.c_str()), !c.local && c.kind != SRV_KIND_PIPE) << c.server;
  }
  EXPECT_EQ(srv_IsLocalHost(nullptr), 1);
}

TEST(ServerHosts, LocalPaths) {
  EXPECT_EQ(srv_IsLocalPath("C:\\TESSARINE\\CONFIG"), 1);
  EXPECT_EQ(srv_IsLocalPath("\\\\.\\share\\x"), 1);
  EXPECT_EQ(srv_IsLocalPath("\\\\localhost\\share\\x"), 1);
  EXPECT_EQ(srv_IsLocalPath("\\\\HOSTB\\share\\x"), 0);
  EXPECT_EQ(srv_IsLocalPath("\\\\HOSTB"), 1) << "no backslash after the host: no UNC path";
  EXPECT_EQ(srv_IsLocalPath(nullptr), 1);
}

TEST(ServerHosts, CrackUrl) {
  SrvUrlComponents u;
  ASSERT_EQ(srv_CrackUrl("https://ops:p@ss@scada.example:8443/svc/path?x=1#y", 0, 0, &u), 1);
  EXPECT_EQ(u.scheme, SRV_SCHEME_HTTPS);
  EXPECT_STREQ(u.schemeText, "https");
  EXPECT_STREQ(u.user, "ops");
  EXPECT_STREQ(u.password, "p@ss") << "an @ inside the password stays in it";
  EXPECT_STREQ(u.host, "scada.example");
  EXPECT_EQ(u.port, 8443);
  EXPECT_STREQ(u.path, "/svc/path");
  EXPECT_STREQ(u.extra, "?x=1#y");

  ASSERT_EQ(srv_CrackUrl("http://host", 0, 0, &u), 1);
  EXPECT_EQ(u.port, 80) << "the scheme's default port";
  EXPECT_STREQ(u.user, "");
  EXPECT_STREQ(u.path, "");
  ASSERT_EQ(srv_CrackUrl("http://user@host:/a", 0, 0, &u), 1);
  EXPECT_STREQ(u.user, "user");
  EXPECT_STREQ(u.password, "");
  EXPECT_EQ(u.port, 80);
  ASSERT_EQ(srv_CrackUrl("file:///C:/DATA/LOGS", 0, 0, &u), 1);
  EXPECT_EQ(u.scheme, SRV_SCHEME_FILE);
  EXPECT_STREQ(u.host, "");
  EXPECT_STREQ(u.path, "/C:/DATA/LOGS");
  ASSERT_EQ(srv_CrackUrl("opc.tcp://[::1]:4840", 0, 0, &u), 1);
  EXPECT_EQ(u.scheme, SRV_SCHEME_UNKNOWN);
  EXPECT_STREQ(u.host, "[::1]");
  EXPECT_EQ(u.port, 4840);
  // The length bounds the text.
  ASSERT_EQ(srv_CrackUrl("http://hostname/long", 11, 0, &u), 1);
  EXPECT_STREQ(u.host, "host");

  for (const char *bad : {"", "host", "1http://x", "http://host:80x/", "http://host:70000", "http://[::1"}) {
    EXPECT_EQ(srv_CrackUrl(bad, 0, 0, &u), 0) << bad;
    EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_NAME) << bad;
  }
  std::string longest = "http://h/" + std::string(SRV_SERVER_MAX - 9, 'a');
  EXPECT_EQ(srv_CrackUrl(longest.c_str(), 0, 0, &u), 1);
  std::string tooLong = longest + "a";
  EXPECT_EQ(srv_CrackUrl(tooLong.c_str(), 0, 0, &u), 0);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
}
