// The SOAP endpoint and credentials taken from server URLs.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "framework/registry/reg_settings.h"
#include "platform/os_error.h"
#include "plugin/connect/ws_endpoint.h"

namespace {

TEST(SoapEndpoint, FromServerUrls) {
  const std::string product = prod_GetProductName();
  struct Case {
    std::string server, url, user, password;
  } cases[] = {
      {"http://host", "http://host/" + product + "/BIN/mod_gsoap.dll?Service", "", ""},
      {"http://host/", "http://host/" + product + "/BIN/mod_gsoap.dll?Service", "", ""},
      {"https://host:443/app", "https://host/app/BIN/mod_gsoap.dll?Service", "", ""},
      {"https://host/abc/", "https://host/abc/BIN/mod_gsoap.dll?Service", "", ""},
      {"http://host:8080/a/b?x=1", "http://host:8080/a/b?x=1", "", ""},
      {"http://host:80/a/b", "http://host/a/b?Service", "", ""},
      {"https://host:8443/", "https://host:8443/" + product + "/BIN/mod_gsoap.dll?Service", "", ""},
      {"http://host\\app\\x", "http://host/app/x?Service", "", ""},
      {"http://host\\app", "http://host/app/BIN/mod_gsoap.dll?Service", "", ""},
      {"http://ann:p@ss@w0rd@host/app", "http://host/app/BIN/mod_gsoap.dll?Service", "ann", "p@ss@w0rd"},
      {"http://" + std::string(127, 'u') + ":" + std::string(127, 'p') + "@h/", "http://h/" + product +
           "/BIN/mod_gsoap.dll?Service", std::string(127, 'u'), std::string(127, 'p')},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.server);
    WsEndpoint e{};
    ASSERT_EQ(ws_SoapEndpoint(c.server.c_str(), &e), 1);
    EXPECT_EQ(std::string(e.url), c.url);
    EXPECT_EQ(std::string(e.user), c.user);
    EXPECT_EQ(std::string(e.password), c.password);
  }
}

TEST(SoapEndpoint, PartsOverTheirFieldsAreRefused) {
  const std::string refused[] = {
      "http://" + std::string(128, 'u') + ":p@h/",
      "http://u:" + std::string(128, 'p') + "@h/",
      "http://" + std::string(256, 'h') + "/",
      "http://h/" + std::string(1300, 'a'),
      "nonsense",
      // No web server to post to: no host, or another scheme.
      "httphost:60/a/b#frag",
      "http:///a/b",
      "ftp://h/a",
      "http://h:00000/",
  };
  for (const std::string &s : refused) {
    SCOPED_TRACE(s.substr(0, 40));
    WsEndpoint e{};
    os_SetLastError(0);
    EXPECT_EQ(ws_SoapEndpoint(s.c_str(), &e), 0);
    EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  }
}

TEST(SoapErrorDialog, FailsAtOnceWithoutUiAndAsksTheInstalledOne) {
  char user[WS_CREDENTIAL_MAX] = "", password[WS_CREDENTIAL_MAX] = "";
  ws_SetErrorDialog(nullptr);
  EXPECT_EQ(ws_OfferErrorDialog(WS_DIALOG_NEEDS_LOGIN, "http://h/", user, password), 0);
  ws_SetErrorDialog([](int error, const char *, char *u, char *p) {
    if (error != WS_DIALOG_NEEDS_LOGIN) return 0;
    snprintf(u, WS_CREDENTIAL_MAX, "ann");
    snprintf(p, WS_CREDENTIAL_MAX, "secret");
    return 1;
  });
  EXPECT_EQ(ws_OfferErrorDialog(WS_DIALOG_UNKNOWN_CA, "https://h/", user, password), 0);
  EXPECT_EQ(ws_OfferErrorDialog(WS_DIALOG_NEEDS_LOGIN, "http://h/", user, password), 1);
  EXPECT_STREQ(user, "ann");
  EXPECT_STREQ(password, "secret");
  ws_SetErrorDialog(nullptr);
}

}  // namespace
