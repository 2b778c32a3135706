#include "framework/registry/srv_hosts.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"

namespace {

struct SchemeName {
  const char *name;
  int32_t number;
  uint16_t port;
};

const SchemeName kSchemes[] = {
    {"ftp", SRV_SCHEME_FTP, 21},     {"gopher", SRV_SCHEME_GOPHER, 70}, {"http", SRV_SCHEME_HTTP, 80},
    {"https", SRV_SCHEME_HTTPS, 443}, {"file", SRV_SCHEME_FILE, 0},      {"news", SRV_SCHEME_NEWS, 119},
    {"mailto", SRV_SCHEME_MAILTO, 0}, {"socks", SRV_SCHEME_SOCKS, 1080},
};

void CopyPart(char *to, const char *from, size_t n) {
  if (n >= SRV_URL_PART_MAX) n = SRV_URL_PART_MAX - 1;
  memcpy(to, from, n);
  to[n] = '\0';
}

bool IsLocalName(const char *name) { return !name || !*name || os_IsLocalHost(name); }

// Strings the in-process provider serves are never this computer's pipe.
bool IsProviderForm(const char *s) {
  return os_CompareNoCaseN(s, "PROVIDER=", 9) == 0 || (s[0] && s[1] == ':') || s[0] == '\\';
}

}  // namespace

int srv_CrackUrl(const char *url, uint32_t length, uint32_t, SrvUrlComponents *out) {
  if (!url || !out) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  size_t len = strnlen(url, SRV_SERVER_MAX + 1);
  if (length && length < len) len = length;
  if (len > SRV_SERVER_MAX) return os_Fail(OS_ERROR_INVALID_PARAMETER), 0;
  char copy[SRV_SERVER_MAX + 1];
  memcpy(copy, url, len);
  copy[len] = '\0';
  memset(out, 0, sizeof *out);
  out->scheme = SRV_SCHEME_UNKNOWN;

  size_t i = 0;
  if (!isalpha(static_cast<unsigned char>(copy[0]))) return os_Fail(OS_ERROR_INVALID_NAME), 0;
  while (isalnum(static_cast<unsigned char>(copy[i])) || copy[i] == '+' || copy[i] == '-' || copy[i] == '.') ++i;
  if (copy[i] != ':' || i >= SRV_URL_SCHEME_MAX) return os_Fail(OS_ERROR_INVALID_NAME), 0;
  memcpy(out->schemeText, copy, i);
  out->schemeText[i] = '\0';
  for (const SchemeName &s : kSchemes)
    if (os_CompareNoCase(s.name, out->schemeText) == 0) out->scheme = s.number, out->port = s.port;
  const char *p = copy + i + 1;

  if (p[0] == '/' && p[1] == '/') {
    p += 2;
    size_t authLen = strcspn(p, "/\\?#");
    const char *auth = p;
    const char *authEnd = p + authLen;
    const char *at = nullptr;
    for (const char *q = auth; q < authEnd; ++q)
      if (*q == '@') at = q;  // the last one: a password may hold '@'
    const char *hostStart = auth;
    if (at) {
      const char *colon = static_cast<const char *>(memchr(auth, ':', static_cast<size_t>(at - auth)));
      if (colon) {
        CopyPart(out->user, auth, static_cast<size_t>(colon - auth));
        CopyPart(out->password, colon + 1, static_cast<size_t>(at - colon - 1));
      } else {
        CopyPart(out->user, auth, static_cast<size_t>(at - auth));
      }
      hostStart = at + 1;
    }
    const char *hostEnd = authEnd;
    if (*hostStart == '[') {
      const char *close = static_cast<const char *>(memchr(hostStart, ']', static_cast<size_t>(authEnd - hostStart)));
      if (!close) return os_Fail(OS_ERROR_INVALID_NAME), 0;
      hostEnd = close + 1;
    } else {
      const char *colon = static_cast<const char *>(memchr(hostStart, ':', static_cast<size_t>(authEnd - hostStart)));
      if (colon) hostEnd = colon;
    }
    CopyPart(out->host, hostStart, static_cast<size_t>(hostEnd - hostStart));
    if (hostEnd < authEnd) {
      if (*hostEnd != ':') return os_Fail(OS_ERROR_INVALID_NAME), 0;
      const char *digits = hostEnd + 1;
      if (digits < authEnd) {
        uint32_t port = 0;
        for (const char *q = digits; q < authEnd; ++q) {
          if (!isdigit(static_cast<unsigned char>(*q))) return os_Fail(OS_ERROR_INVALID_NAME), 0;
          port = port * 10 + static_cast<uint32_t>(*q - '0');
          if (port > 65535) return os_Fail(OS_ERROR_INVALID_NAME), 0;
        }
        out->port = static_cast<uint16_t>(port);
      }
    }
    p = authEnd;
  }
  size_t pathLen = strcspn(p, "?#");
  CopyPart(out->path, p, pathLen);
  CopyPart(out->extra, p + pathLen, strlen(p + pathLen));
  return 1;
}

int srv_IsLocalHost(const char *server) {
  if (IsLocalName(server)) return 1;
  if (IsProviderForm(server)) return 0;
  SrvUrlComponents url;
  if (!srv_CrackUrl(server, 0, 0, &url)) return 0;
  return url.host[0] && os_IsLocalHost(url.host) ? 1 : 0;
}

int srv_IsLocalPath(const char *path) {
  if (!path || path[0] != '\\' || path[1] != '\\') return 1;
  const char *host = path + 2;
  const char *end = strchr(host, '\\');
  if (!end || end == host) return 1;
  char name[SRV_URL_PART_MAX];
  CopyPart(name, host, static_cast<size_t>(end - host));
  return srv_IsLocalHost(name);
}

int srv_ClassifyServer(const char *server) {
  if (srv_IsLocalHost(server)) return SRV_KIND_PIPE;
  SrvUrlComponents url;
  if (!srv_CrackUrl(server, 0, 0, &url)) return SRV_KIND_PIPE;
  if (url.scheme == SRV_SCHEME_HTTP || url.scheme == SRV_SCHEME_HTTPS) return SRV_KIND_SOAP;
  if (url.scheme == SRV_SCHEME_FILE) return SRV_KIND_PROVIDER;
  if (url.host[0]) return SRV_KIND_SOCKET;
  return SRV_KIND_PIPE;
}

int srv_IsUrlServer(const char *server) {
  return !srv_IsLocalHost(server) && srv_ClassifyServer(server) != SRV_KIND_PIPE ? 1 : 0;
}
