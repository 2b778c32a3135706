// HTTP(S) POST over libcurl, failing with WinINet error numbers.
//
// One OsHttp is one kept-alive connection (a curl handle). Certificates are
// checked against the system's roots and the PEM files in
// PLATFORM_ROOT/certs/; a certificate for another name is accepted. The
// credentials go with every request. Time-outs of 0 mean the request
// time-out of 15 s.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum : uint32_t {
  OS_INET_TIMEOUT = 12002,
  OS_INET_NAME_NOT_RESOLVED = 12007,
  OS_INET_CANNOT_CONNECT = 12029,
  OS_INET_CONNECTION_RESET = 12031,
  OS_INET_INVALID_CA = 12045,
  OS_INET_CERT_DATE_INVALID = 12037,
  OS_INET_BAD_REPLY = 12152,
};

struct OsHttp;

struct OsHttpRequest {
  const char *url;
  const char *contentType;
  const char *contentEncoding;  // NULL: none
  const void *body;
  size_t bodySize;
  const char *user;      // NULL or "": none
  const char *password;
  uint32_t connectMs, sendMs, receiveMs;
  bool acceptAnyCertificate;  // the user accepted the certificate
  size_t replyMax;            // a reply body over this fails (OS_INET_BAD_REPLY)
};

OsHttp *os_HttpOpen(void);
void os_HttpClose(OsHttp *http);
// One POST: 0 with *status and the body (gzip decoded), or a WinINet number.
uint32_t os_HttpPost(OsHttp *http, const OsHttpRequest &request, int *status, std::string *body);
// The connections the handle has opened so far.
long os_HttpConnections(OsHttp *http);
