// The named folders of a server: local, a remote computer's shares, or the
// folders beside an in-process provider's path.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/registry/reg_settings.h"
#include "framework/registry/srv_hosts.h"
#include "framework/server/srv_requests.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"

namespace {

thread_local char t_folder[SRV_URL_PART_MAX];

const char *Keep(const std::string &path) {
  if (path.size() >= sizeof t_folder) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), nullptr;
  memcpy(t_folder, path.c_str(), path.size() + 1);
  return t_folder;
}

const char *Local(const char *name) {
  const char *f = cfg_GetFolder(name);
  return f ? Keep(f) : nullptr;
}

const char *Bare(const char *name) { return os_CompareNoCaseN(name, "TSQ_", 4) == 0 ? name + 4 : name; }

bool IsWritableKind(const char *bare) {
  return os_CompareNoCase(bare, "REPLAY_OPTIONS") == 0 || os_CompareNoCase(bare, "EXPORTED_DATA") == 0 ||
         os_CompareNoCase(bare, "EXPORTED_IMAGES") == 0;
}

// Servers whose requests the in-process provider answers: connection strings,
// drive and UNC paths, "file" URLs.
bool IsProviderServer(const char *server) {
  if (os_CompareNoCaseN(server, "PROVIDER=", 9) == 0 || (server[0] && server[1] == ':') || server[0] == '\\')
    return true;
  SrvUrlComponents url;
  return srv_CrackUrl(server, 0, 0, &url) && url.scheme == SRV_SCHEME_FILE;
}

int NoteFile(const char *, bool isDir, void *) { return isDir ? 0 : 1; }

bool HoldsAFile(const std::string &folder) { return os_ListDirectory(folder.c_str(), NoteFile, nullptr) == 1; }

// Walks up the provider's path for "<parent>\<bare name>" holding a file.
const char *Beside(const char *server, const char *name) {
  std::string p = srv_ProviderPath(server);
  for (;;) {
    size_t cut = p.find_last_of("\\/");
    if (cut == std::string::npos) break;
    char sep = p[cut];
    p.resize(cut);
    std::string candidate = p + sep + Bare(name);
    if (HoldsAFile(candidate)) return Keep(candidate);
  }
  return Local(name);
}

// Creates the folders below a share ("\\host\share\..."); a share itself is
// never made.
void MakeBelowShare(const std::string &path) {
  size_t host = path.find('\\', 2);
  size_t share = host == std::string::npos ? host : path.find('\\', host + 1);
  for (size_t at = share; at != std::string::npos;) {
    at = path.find('\\', at + 1);
    os_MakeDirectory(path.substr(0, at).c_str());
  }
}

const char *Remote(const char *server, const char *name) {
  char value[SRV_URL_PART_MAX];
  uint32_t n = os_GetEnvironmentVariable(name, value, sizeof value);
  if (n >= 2 && n < sizeof value) return Keep(value);
  std::string host = server;
  SrvUrlComponents url;
  if (srv_CrackUrl(server, 0, 0, &url) && url.host[0]) host = url.host;
  const char *bare = Bare(name);
  std::string path = bare == name ? "\\\\" + host + "\\" + name
                                  : "\\\\" + host + "\\" + prod_GetProductName() + "\\" + bare;
  if (!IsWritableKind(bare)) return Keep(path);
  MakeBelowShare(path);
  if (fs_CheckAccess(path.c_str(), OS_GENERIC_WRITE)) return Keep(path);
  return Local(name);
}

}  // namespace

std::string srv_ProviderPath(const char *server) {
  if (os_CompareNoCaseN(server, "file://", 7) != 0) return server;
  std::string rest = server + 7;
  if (rest.size() > 2 && rest[0] == '/' && rest[2] == ':') return rest.substr(1);  // file:///C:/...
  if (!rest.empty() && rest[0] != '/') return "\\\\" + rest;                         // file://host/share
  return rest;
}

const char *srv_ResolveServerFolder(const char *server, const char *name) {
  if (!name || !*name) return errno = EINVAL, nullptr;
  if (!server || !*server) return Local(name);
  if (IsProviderServer(server)) {
    if (os_CompareNoCase(name, "TSQ_LOGGED_DATA") == 0) return Keep(server);
    if (os_CompareNoCase(name, "TSQ_CURRENT_CONFIG") == 0 || os_CompareNoCaseN(server, "PROVIDER=", 9) == 0)
      return Local(name);
    return Beside(server, name);
  }
  if (!srv_IsLocalHost(server)) return Remote(server, name);
  return Local(name);
}
