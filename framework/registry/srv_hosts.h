// Server strings: which name this computer, how each is reached, and the URL
// splitter that accepts an '@' inside a password.
#pragma once
#include <cstdint>

enum : int {
  SRV_SERVER_MAX = 1283,  // characters of a server string
  SRV_URL_SCHEME_MAX = 32,
  SRV_URL_PART_MAX = 1284,
};

// Server kinds: how a server string is reached.
enum : int {
  SRV_KIND_PIPE = 1,      // named pipe (or the request mailslot on Windows 9x)
  SRV_KIND_SOCKET = 2,    // a URL of another scheme that names a host
  SRV_KIND_PROVIDER = 3,  // a "file" URL
  SRV_KIND_SOAP = 4,      // "http" or "https"
};

// Scheme numbers as the URL splitter reports them.
enum SrvUrlScheme : int32_t {
  SRV_SCHEME_UNKNOWN = -1,
  SRV_SCHEME_DEFAULT = 0,
  SRV_SCHEME_FTP = 1,
  SRV_SCHEME_GOPHER = 2,
  SRV_SCHEME_HTTP = 3,
  SRV_SCHEME_HTTPS = 4,
  SRV_SCHEME_FILE = 5,
  SRV_SCHEME_NEWS = 6,
  SRV_SCHEME_MAILTO = 7,
  SRV_SCHEME_SOCKS = 8,
};

struct SrvUrlComponents {
  int32_t scheme;  // SrvUrlScheme
  char schemeText[SRV_URL_SCHEME_MAX];
  char host[SRV_URL_PART_MAX];
  uint16_t port;   // the scheme's default when none is given (0 for unknown schemes)
  char user[SRV_URL_PART_MAX];
  char password[SRV_URL_PART_MAX];
  char path[SRV_URL_PART_MAX];   // from the first '/' after the host, up to '?' or '#'
  char extra[SRV_URL_PART_MAX];  // '?' or '#' and what follows
};

// 1 when `server` names this computer: NULL, "", ".", "localhost",
// "127.0.0.1", this computer's name, or a URL whose host is one of these.
// "PROVIDER=..." (any case), a drive path and a string that begins with '\'
// are not local.
int srv_IsLocalHost(const char *server);
// A UNC path's host is tested; every other path counts as local.
int srv_IsLocalPath(const char *path);
// SRV_KIND_*: local servers and strings that are no URL are pipe servers.
int srv_ClassifyServer(const char *server);
// 1 when the server is neither local nor a pipe server.
int srv_IsUrlServer(const char *server);

// Splits a URL of at most SRV_SERVER_MAX characters (length 0: up to its
// terminator). The user part ends at the last '@' of the authority, so a
// password may hold '@'. flags are accepted and not used (no decoding).
// 1, or 0 with OS_ERROR_INVALID_PARAMETER (too long) or OS_ERROR_INVALID_NAME
// (no scheme, a bad port).
int srv_CrackUrl(const char *url, uint32_t length, uint32_t flags, SrvUrlComponents *out);
