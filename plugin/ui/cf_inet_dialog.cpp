// The Internet error dialog: accept a certificate, or give a user name and
// password for a server or a proxy.
#include "plugin/ui/cf_inet_dialog.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ui/ui_layer.h"
#include "plugin/connect/ws_endpoint.h"

namespace {

struct Login {
  char *user;
  char *password;
};

bool Fits(const char *text) { return text && strlen(text) < WS_CREDENTIAL_MAX; }

// Over-long credentials keep the dialog open rather than being cut.
bool LoginOk(UiDialog *d, void *context) {
  Login *l = static_cast<Login *>(context);
  const char *user = ui_EditText(d, CF_IDC_INET_USER);
  const char *password = ui_EditText(d, CF_IDC_INET_PASSWORD);
  if (!Fits(user) || !Fits(password) || user[0] == '\0') return false;
  memcpy(l->user, user, strlen(user) + 1);
  memcpy(l->password, password, strlen(password) + 1);
  return true;
}

std::string Explanation(int error, const char *url) {
  std::string site = url ? url : "";
  switch (error) {
    case WS_DIALOG_UNKNOWN_CA:
      return "The certificate of " + site + " was issued by an authority that is not trusted. Continue?";
    case WS_DIALOG_EXPIRED:
      return "The certificate of " + site + " has expired or is not yet valid. Continue?";
    case WS_DIALOG_NEEDS_PROXY_LOGIN:
      return "The proxy for " + site + " needs a user name and password.";
    default:
      return "The server " + site + " needs a user name and password.";
  }
}

}  // namespace

int cf_InternetErrorDialog(int error, const char *url, char *user, char *password) {
  if (!ui_Host() || !user || !password) return 0;
  const std::string text = Explanation(error, url);
  const bool login = error == WS_DIALOG_NEEDS_LOGIN || error == WS_DIALOG_NEEDS_PROXY_LOGIN;
  if (!login && error != WS_DIALOG_UNKNOWN_CA && error != WS_DIALOG_EXPIRED) return 0;
  // The user field starts with the name the URL gave, the password empty.
  char knownUser[WS_CREDENTIAL_MAX];
  snprintf(knownUser, sizeof knownUser, "%s", user);
  const UiControl certControls[] = {
      {CF_IDC_INET_TEXT, UI_STATIC, text.c_str(), 7, 7, 226, 36, nullptr, 0},
      {UI_IDOK, UI_DEFAULT_BUTTON, "Accept", 66, 50, 50, 14, nullptr, 0},
      {UI_IDCANCEL, UI_BUTTON, "Cancel", 124, 50, 50, 14, nullptr, 0},
  };
  const UiControl loginControls[] = {
      {CF_IDC_INET_TEXT, UI_STATIC, text.c_str(), 7, 7, 226, 24, nullptr, 0},
      {-1, UI_STATIC, "User name:", 7, 38, 50, 9, nullptr, 0},
      {CF_IDC_INET_USER, UI_EDIT, knownUser, 66, 36, 167, 12, nullptr, 0},
      {-1, UI_STATIC, "Password:", 7, 56, 50, 9, nullptr, 0},
      {CF_IDC_INET_PASSWORD, UI_PASSWORD_EDIT, "", 66, 54, 167, 12, nullptr, 0},
      {UI_IDOK, UI_DEFAULT_BUTTON, "OK", 66, 76, 50, 14, nullptr, 0},
      {UI_IDCANCEL, UI_BUTTON, "Cancel", 124, 76, 50, 14, nullptr, 0},
  };
  const UiTemplate certTemplate = {CF_IDD_INET_CERT, "Security Warning", "MS Shell Dlg", 8, 240, 71,
                                   certControls, 3};
  const UiTemplate loginTemplate = {CF_IDD_INET_LOGIN, "Enter Network Password", "MS Shell Dlg", 8, 240, 97,
                                    loginControls, 7};
  UiDialog *d = ui_DialogCreate(login ? &loginTemplate : &certTemplate);
  Login context{user, password};
  UiDialogHooks hooks{login ? LoginOk : nullptr, nullptr, &context};
  int result = ui_DialogRun(d, &hooks);
  ui_DialogFree(d);
  return result == UI_IDOK ? 1 : 0;
}

void cf_InstallInternetErrorDialog(void) { ws_SetErrorDialog(ui_Host() ? cf_InternetErrorDialog : nullptr); }
