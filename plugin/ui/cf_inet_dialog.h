// The Internet error dialog the SOAP transport offers a certificate it
// cannot trust or a request for a user name and password.
#pragma once

enum : int {
  CF_IDD_INET_CERT = 7002, CF_IDD_INET_LOGIN = 7003,
  CF_IDC_INET_TEXT = 7010, CF_IDC_INET_USER = 7011, CF_IDC_INET_PASSWORD = 7012,
};

// The dialog for the transport's hook: 1 when the user accepted the
// certificate or gave a user name and password (into buffers of
// WS_CREDENTIAL_MAX bytes), 0 for Cancel, for a dialog that cannot be shown
// and when no host's UI is attached.
int cf_InternetErrorDialog(int error, const char *url, char *user, char *password);
// Installs the dialog on the transport when a host's UI is attached, else
// takes any installed one away (the transport then fails at once).
void cf_InstallInternetErrorDialog(void);
