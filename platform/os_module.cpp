#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_object.h"
#include "platform/os_path.h"

struct OsModule {
  void *dl;
};

namespace {

// "X.dll" is "X.so" here; a name without an extension is a DLL's, as on Windows.
std::string LinuxName(const std::string &file) {
  size_t dot = file.rfind('.');
  if (dot == std::string::npos) return file + ".so";
  if (strcasecmp(file.c_str() + dot, ".dll") == 0) return file.substr(0, dot) + ".so";
  return file;
}

void AddFolders(std::vector<std::string> &dirs, const char *var) {
  os_LockEnvironment();
  const char *v = getenv(var);
  std::string list = v ? v : "";
  os_UnlockEnvironment();
  size_t i = 0;
  while (i < list.size()) {
    size_t j = list.find(':', i);
    if (j == std::string::npos) j = list.size();
    if (j > i) dirs.push_back(list.substr(i, j - i));
    i = j + 1;
  }
}

OsModuleHandle Wrap(void *dl) {
  OsModule *m = new (std::nothrow) OsModule{dl};
  if (!m) dlclose(dl), os_Fail(OS_ERROR_NOT_ENOUGH_MEMORY);
  return m;
}

bool IsElf(const std::string &path) {
  char magic[4] = {};
  FILE *f = fopen(path.c_str(), "rbe");
  if (!f) return false;
  size_t n = fread(magic, 1, sizeof magic, f);
  fclose(f);
  return n == sizeof magic && memcmp(magic, "\x7f" "ELF", 4) == 0;
}

// Opens a file that was found. One that is no library for this machine has a
// bad format; a library whose own dependencies are missing is not found.
OsModuleHandle OpenFound(const std::string &path) {
  void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (dl) return Wrap(dl);
  const char *why = dlerror();
  bool bad = !IsElf(path) || (why && strstr(why, "wrong ELF class"));
  return os_Fail(bad ? OS_ERROR_BAD_EXE_FORMAT : OS_ERROR_MOD_NOT_FOUND), nullptr;
}

bool FindIn(const std::string &dir, const std::string &file, std::string &path) {
  char found[NAME_MAX + 1];
  if (os_FindEntryCaseless(dir.c_str(), file.c_str(), found, sizeof found) != 0) return false;
  path = dir + "/" + found;
  return true;
}

}  // namespace

OsModuleHandle os_LoadLibrary(const char *name) {
  if (!name || !*name) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  std::string n(name);
  size_t cut = n.find_last_of("\\/");
  std::string file = LinuxName(cut == std::string::npos ? n : n.substr(cut + 1));
  std::string path;
  if (cut != std::string::npos) {
    // A path names its folder: only there.
    char dir[PATH_MAX];
    std::string folder = cut == 0 ? n.substr(0, 1) : n.substr(0, cut);
    if (os_TranslatePath(folder.c_str(), dir, sizeof dir) != 0 || !FindIn(dir, file, path))
      return os_Fail(OS_ERROR_MOD_NOT_FOUND), nullptr;
    return OpenFound(path);
  }
  std::vector<std::string> dirs;
  char exe[PATH_MAX];
  if (os_GetModuleFileName(exe, sizeof exe) > 0 && strrchr(exe, '/')) {
    *strrchr(exe, '/') = '\0';
    dirs.push_back(*exe ? exe : "/");
  }
  AddFolders(dirs, "LD_LIBRARY_PATH");
  AddFolders(dirs, "PATH");
  for (const std::string &d : dirs)
    if (FindIn(d, file, path)) return OpenFound(path);
  // Last the system loader's own search (ld.so.cache, the default folders).
  void *dl = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) return os_Fail(OS_ERROR_MOD_NOT_FOUND), nullptr;
  return Wrap(dl);
}

void *os_GetProcAddress(OsModuleHandle m, const char *symbol) {
  if (!m) return os_Fail(OS_ERROR_INVALID_HANDLE), nullptr;
  // Ordinals (small numbers instead of names) have no meaning here.
  if (!symbol || reinterpret_cast<uintptr_t>(symbol) < 0x10000) return os_Fail(OS_ERROR_PROC_NOT_FOUND), nullptr;
  dlerror();
  void *p = dlsym(m->dl, symbol);
  if (!p) os_Fail(OS_ERROR_PROC_NOT_FOUND);
  return p;
}

int os_FreeLibrary(OsModuleHandle m) {
  if (!m) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  int rc = dlclose(m->dl);
  delete m;
  return rc == 0 ? 0 : (os_Fail(OS_ERROR_INVALID_HANDLE), -1);
}
