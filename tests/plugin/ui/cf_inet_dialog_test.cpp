// The Internet error dialog as the SOAP transport offers it, scripted, against
// scadasim's HTTPS peer: Cancel fails, accepting a certificate or giving a
// user name and password repeats the send once; without a host's UI or with
// the error callback the send fails at once. Under a display, the windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "platform/os_http.h"
#include "platform/os_path.h"
#include "platform/ui/ui_print.h"
#include "plugin/connect/con_transports.h"
#include "plugin/connect/ws_endpoint.h"
#include "plugin/connect/ws_soap.h"
#include "plugin/ui/cf_inet_dialog.h"
#include "tests/plugin/ui/cf_test_host.h"
#include "tests/support/tls_peer.h"
#include "tools/scadasim/sim_soap.h"

namespace {

SimSoapServer *Start(const char *cert) {
  SimSoapSpec spec;
  spec.https = true;
  spec.certFile = tnwtest::TestCerts() + "/" + cert + ".pem";
  spec.keyFile = tnwtest::TestCerts() + "/" + cert + ".key";
  spec.answer = [](const std::string &) { return std::string("17,dialog"); };
  std::string why;
  SimSoapServer *s = sim_StartSoapServer(spec, &why);
  EXPECT_NE(s, nullptr) << why;
  return s;
}

std::string Url(const SimSoapServer *s, const std::string &path = "/t/") {
  return "https://127.0.0.2:" + std::to_string(sim_SoapPort(s)) + path;
}

struct Outcome {
  int result;
  uint32_t error;
};

Outcome Send(const std::string &server) {
  char buf[256];
  int n = sizeof buf;
  static const char kLine[] = "PI,x";
  int rc = con_Transact(server.c_str(), kLine, sizeof kLine, buf, &n);
  return {rc, rc < 0 ? os_GetLastError() : 0u};
}

void Script(const std::vector<std::string> &lines) {
  cftest::ResetHost("", 0);
  for (const std::string &l : lines) {
    char why[128];
    ASSERT_EQ(ui_ScriptParseLine(&cftest::TheHost().script, l.c_str(), why, sizeof why), 0) << why;
  }
}

class InetDialog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { con_InstallTransports(); }
  void SetUp() override {
    ASSERT_NE(ui_AttachHost(), nullptr);
    cf_InstallInternetErrorDialog();
    ws_EnableErrorCallback(0);
  }
  void TearDown() override {
    srv_CloseAllConnections();
    ws_EnableErrorCallback(0);
    ws_SetErrorDialog(nullptr);
    tnw_ui_host.backend = UI_BACKEND_SCRIPTED;
    tnw_ui_host.screenshot = nullptr;
  }
};

TEST_F(InetDialog, CertificateAndLoginAnsweredInTheDialog) {
  SimSoapServer *s = Start("server");
  ASSERT_NE(s, nullptr);
  const UiScript &shown = cftest::TheHost().script;
  struct Case {
    const char *name;
    SimSoapFault fault;
    std::vector<std::string> script;
    int dialogs;          // shown, in order: certificate, then login
    uint32_t error;       // 0: succeeds
    const char *user;     // the last call's user at scadasim ("" none)
  } cases[] = {
      {"unknown CA, Cancel", SimSoapFault::None, {"cancel"}, 1, OS_INET_INVALID_CA, nullptr},
      {"unknown CA, accepted", SimSoapFault::None, {"ok"}, 1, 0, ""},
      {"login, Cancel", SimSoapFault::NeedLogin, {"ok", "cancel"}, 2, 401, ""},
      {"login answered", SimSoapFault::NeedLogin, {"ok", "type 7011 ann", "type 7012 p@ss", "ok"}, 2, 0, "ann"},
      // No user name typed: OK keeps the dialog open, out of actions it is cancelled.
      {"login without a name", SimSoapFault::NeedLogin, {"ok", "type 7012 pw", "ok"}, 2, 401, ""},
      {"proxy login answered", SimSoapFault::NeedProxyLogin, {"ok", "type 7011 bob", "type 7012 x", "ok"}, 2, 0,
       "bob"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    srv_CloseAllConnections();
    sim_SetSoapFault(s, c.fault);
    Script(c.script);
    size_t before = sim_SoapCalls(s).size();
    Outcome o = Send(Url(s));
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(o.result, c.error ? -1 : 17);
    ASSERT_EQ(shown.dialogCount, c.dialogs);
    EXPECT_EQ(shown.dialogs[0].templateId, CF_IDD_INET_CERT);
    if (c.dialogs > 1) {
      EXPECT_EQ(shown.dialogs[1].templateId, CF_IDD_INET_LOGIN);
    }
    EXPECT_EQ(shown.dialogs[c.dialogs - 1].result, c.error ? UI_IDCANCEL : UI_IDOK);
    std::vector<SimSoapCall> calls = sim_SoapCalls(s);
    if (c.user) {
      ASSERT_GT(calls.size(), before);
      EXPECT_EQ(calls.back().user, c.user);
    } else {
      EXPECT_EQ(calls.size(), before) << "nothing reached the service";
    }
  }
  // The credentials typed arrive whole with their password.
  EXPECT_EQ(sim_SoapCalls(s).back().password, "x");
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
}

TEST_F(InetDialog, ExpiredCertificateAccepted) {
  SimSoapServer *s = Start("expired");
  ASSERT_NE(s, nullptr);
  std::filesystem::create_directories(std::string(os_Root()) + "/certs");
  std::filesystem::copy_file(tnwtest::TestCerts() + "/ca.pem", std::string(os_Root()) + "/certs/ca.pem",
                             std::filesystem::copy_options::overwrite_existing);
  Script({"cancel"});
  EXPECT_EQ(Send(Url(s)).error, OS_INET_CERT_DATE_INVALID);
  EXPECT_EQ(cftest::TheHost().script.dialogCount, 1);
  srv_CloseAllConnections();
  Script({"ok"});
  EXPECT_EQ(Send(Url(s)).result, 17);
  EXPECT_EQ(cftest::TheHost().script.dialogCount, 1);
  std::filesystem::remove(std::string(os_Root()) + "/certs/ca.pem");
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
}

TEST_F(InetDialog, FailsAtOnceWithTheCallbackOrWithoutUi) {
  SimSoapServer *s = Start("server");
  ASSERT_NE(s, nullptr);
  // The error callback installed: no dialog, even with "ok" queued.
  Script({"ok"});
  ws_EnableErrorCallback(1);
  EXPECT_EQ(Send(Url(s)).error, OS_INET_INVALID_CA);
  EXPECT_EQ(cftest::TheHost().script.dialogCount, 0);
  ws_EnableErrorCallback(0);
  // A host state this layer does not know is no UI: nothing installed, nothing shown.
  srv_CloseAllConnections();
  tnw_ui_host.size = 0;
  ui_AttachHost();
  cf_InstallInternetErrorDialog();
  tnw_ui_host.size = sizeof(UiHostState);
  EXPECT_EQ(Send(Url(s)).error, OS_INET_INVALID_CA);
  EXPECT_EQ(cftest::TheHost().script.dialogCount, 0);
  char user[WS_CREDENTIAL_MAX] = "", password[WS_CREDENTIAL_MAX] = "";
  EXPECT_EQ(cf_InternetErrorDialog(WS_DIALOG_NEEDS_LOGIN, "https://h/", user, password), 0);
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
}

TEST(InetDialogText, UserFromTheUrlOfferedOtherErrorsNotShown) {
  ASSERT_NE(ui_AttachHost(), nullptr);
  char user[WS_CREDENTIAL_MAX] = "ann", password[WS_CREDENTIAL_MAX] = "old";
  // OK straight away keeps the name the URL gave; the password typed.
  Script({"type 7012 new", "ok"});
  EXPECT_EQ(cf_InternetErrorDialog(WS_DIALOG_NEEDS_LOGIN, "https://h/", user, password), 1);
  EXPECT_STREQ(user, "ann");
  EXPECT_STREQ(password, "new");
  // An error the dialog does not resolve is not shown.
  Script({"ok"});
  EXPECT_EQ(cf_InternetErrorDialog(12029, "https://h/", user, password), 0);
  EXPECT_EQ(cftest::TheHost().script.dialogCount, 0);
}

// Under a display (the test runs under Xvfb): both windows saved, then cancelled.
TEST_F(InetDialog, GtkScreenshots) {
  if (!getenv("DISPLAY")) GTEST_SKIP() << "no display; run under xvfb-run";
  const char *base = getenv("TNW_TEST_TMP");
  std::string shots = std::string(base && *base ? base : "/tmp") + "/screenshots";
  std::filesystem::create_directories(shots);
  tnw_ui_host.backend = UI_BACKEND_GTK;
  const struct {
    const char *name;
    int error;
  } dialogs[] = {{"inet-certificate", WS_DIALOG_UNKNOWN_CA}, {"inet-login", WS_DIALOG_NEEDS_LOGIN}};
  for (const auto &d : dialogs) {
    std::string png = shots + "/" + d.name + ".png";
    std::filesystem::remove(png);
    tnw_ui_host.screenshot = png.c_str();
    char user[WS_CREDENTIAL_MAX] = "ann", password[WS_CREDENTIAL_MAX] = "";
    EXPECT_EQ(cf_InternetErrorDialog(d.error, "https://127.0.0.2:8443/t/", user, password), 0) << "cancelled";
    long inked = ui_PngInkedPixels(png.c_str());
    EXPECT_GT(inked, 2000) << png;
    printf("screenshot %s (%ld pixels drawn)\n", png.c_str(), inked);
  }
}

}  // namespace
