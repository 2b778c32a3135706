#include "framework/server/srv_modules.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"

namespace {

thread_local char t_found[SRV_URL_PART_MAX + 2];

// "dudi12" and "vantx3" share the module of their family.
std::string Reduced(const char *name) {
  for (const char *family : {"dudi", "vantx"}) {
    size_t n = strlen(family);
    if (os_CompareNoCaseN(name, family, n) != 0 || !name[n]) continue;
    bool digits = true;
    for (const char *p = name + n; *p; ++p) digits = digits && isdigit(static_cast<unsigned char>(*p));
    if (digits) return family;
  }
  return name;
}

bool IsFile(const std::string &path) {
  uint32_t attributes = os_GetFileAttributes(path.c_str());
  return attributes != OS_INVALID_FILE_ATTRIBUTES &&
         !(attributes & (OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_DEVICE));
}

std::string Join(const std::string &dir, const std::string &file) {
  if (dir.empty()) return file;
  char last = dir.back();
  return last == '\\' || last == '/' ? dir + file : dir + (dir[0] == '/' ? "/" : "\\") + file;
}

std::vector<std::string> SearchFolders(const char *server) {
  std::vector<std::string> dirs;
  if (const char *local = cfg_GetFolder("TSQ_BIN")) dirs.push_back(local);
  if (server && strcmp(srv_ServerKey(server), ".") != 0)
    if (const char *remote = srv_ResolveServerFolder(server, "TSQ_BIN")) dirs.push_back(remote);
  char self[4096];
  if (os_GetModuleFileName(self, sizeof self) > 0) {
    std::string s = self;
    dirs.push_back(s.substr(0, s.rfind('/')));
  }
  dirs.push_back(".");
  std::string list;
  os_GetEnvironmentText("PATH", &list);
  while (!list.empty()) {
    size_t colon = list.find(':');
    if (colon) dirs.push_back(list.substr(0, colon));
    list = colon == std::string::npos ? "" : list.substr(colon + 1);
  }
  return dirs;
}

const char *Find(const char *server, const char *name, const char *suffix, const char *const *extensions, bool quote) {
  if (!name || !*name) return errno = EINVAL, nullptr;
  std::string base = Reduced(name);
  if (suffix && *suffix) {
    char file[16];
    snprintf(file, sizeof file, "%.5s_%.2s", base.c_str(), suffix);
    base = file;
  }
  for (const std::string &dir : SearchFolders(server)) {
    for (const char *const *ext = extensions; *ext; ++ext) {
      std::string path = Join(dir, base + *ext);
      if (!IsFile(path)) continue;
      if (path.size() + 3 > sizeof t_found) continue;
      snprintf(t_found, sizeof t_found, quote ? "\"%s\"" : "%s", path.c_str());
      return t_found;
    }
  }
  return os_Fail(OS_ERROR_MOD_NOT_FOUND), nullptr;
}

}  // namespace

const char *srv_FindModuleDll(const char *server, const char *name, const char *suffix) {
  static const char *const kExt[] = {".dll", ".so", nullptr};
  return Find(server, name, suffix, kExt, false);
}

const char *srv_FindModuleExe(const char *server, const char *name, const char *suffix) {
  static const char *const kExt[] = {".exe", "", nullptr};
  return Find(server, name, suffix, kExt, true);
}
