#include "platform/os_path.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/os_env.h"
#include "platform/os_error.h"

static std::mutex g_rootLock;
static std::string g_root;
static bool g_rootKnown;

const char *os_Root(void) {
  std::lock_guard<std::mutex> guard(g_rootLock);
  if (!g_rootKnown) {
    const char *env = getenv("PLATFORM_ROOT");
    g_root = (env && *env) ? env : "/var/lib/tnwell/platform";
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
    os_MakeFolders(g_root.c_str());
    g_rootKnown = true;
  }
  return g_root.c_str();
}

void os_ResetRootForTests(void) {
  std::lock_guard<std::mutex> guard(g_rootLock);
  g_rootKnown = false;
}

int os_MakeFolders(const char *linuxPath) {
  std::string p(linuxPath);
  if (p.empty()) return os_Fail(OS_ERROR_INVALID_NAME), -1;
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i < p.size() && p[i] != '/') continue;
    std::string part = p.substr(0, i);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return os_FailErrno(errno), -1;
  }
  struct stat st;
  if (stat(p.c_str(), &st) != 0) return os_FailErrno(errno), -1;
  if (!S_ISDIR(st.st_mode)) return os_Fail(OS_ERROR_PATH_NOT_FOUND), -1;
  return 0;
}

// Finds an entry of folder `dir` whose name matches `name` ignoring case.
static bool FindCaseless(const std::string &dir, const std::string &name, std::string &found) {
  DIR *d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (struct dirent *e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      ok = true;
      break;
    }
  }
  closedir(d);
  return ok;
}

// Appends the '/'-separated components of `rest` to `base`, using a
// case-insensitive match for every component that does not exist as spelled.
static void AppendCaseless(std::string &out, const std::string &rest) {
  size_t i = 0;
  bool searching = true;  // once a component is missing, the rest is taken as given
  while (i <= rest.size()) {
    size_t j = rest.find('/', i);
    if (j == std::string::npos) j = rest.size();
    std::string comp = rest.substr(i, j - i);
    i = j + 1;
    if (comp.empty()) {
      if (j == rest.size()) break;
      continue;
    }
    std::string next = out.empty() ? comp : (out.back() == '/' ? out + comp : out + "/" + comp);
    if (searching && comp != "." && comp != "..") {
      struct stat st;
      if (lstat(next.c_str(), &st) != 0) {
        std::string found;
        if (FindCaseless(out, comp, found))
          next = out.empty() ? found : (out.back() == '/' ? out + found : out + "/" + found);
        else
          searching = false;
      }
    }
    out = next;
    if (j >= rest.size()) break;
  }
}

int os_FindEntryCaseless(const char *dir, const char *name, char *out, size_t size) {
  std::string d(dir), found;
  struct stat st;
  if (lstat((d + "/" + name).c_str(), &st) == 0)
    found = name;
  else if (!FindCaseless(d, name, found))
    return os_Fail(OS_ERROR_FILE_NOT_FOUND), -1;
  if (found.size() + 1 > size) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), -1;
  memcpy(out, found.c_str(), found.size() + 1);
  return 0;
}

static int Emit(const std::string &s, char *out, size_t size) {
  if (s.size() + 1 > size) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), -1;
  memcpy(out, s.c_str(), s.size() + 1);
  return 0;
}

int os_TranslatePath(const char *path, char *out, size_t size) {
  if (!path || !*path || !out || size == 0) return os_Fail(OS_ERROR_INVALID_NAME), -1;
  if (path[0] == '/' && path[1] != '/') return Emit(path, out, size);

  std::string p(path);
  for (char &c : p)
    if (c == '\\') c = '/';
  std::string root = os_Root();
  std::string base, rest;

  if (p.size() >= 2 && p[0] == '/' && p[1] == '/') {
    // "\\.\X" device namespace or "\\H\S\..." share.
    std::string tail = p.substr(2);
    size_t slash = tail.find('/');
    std::string host = tail.substr(0, slash);
    std::string after = slash == std::string::npos ? "" : tail.substr(slash + 1);
    if (host.empty()) return os_Fail(OS_ERROR_INVALID_NAME), -1;
    size_t s2 = after.find('/');
    std::string first = after.substr(0, s2);
    std::string more = s2 == std::string::npos ? "" : after.substr(s2 + 1);
    bool local = host == "." || os_IsLocalHost(host.c_str());
    if (host == ".") {
      if (strcasecmp(first.c_str(), "mailslot") == 0) {
        base = root + "/kernel/mailslot";
        rest = more;
      } else if (strcasecmp(first.c_str(), "pipe") == 0) {
        base = root + "/hosts/./pipe";
        rest = more;
      } else if (first.size() >= 2 && first[1] == ':' && isalpha(static_cast<unsigned char>(first[0]))) {
        base = root + "/drives/" + static_cast<char>(tolower(static_cast<unsigned char>(first[0])));
        rest = after.substr(2);
      } else {
        // Devices such as "COM3:" lose their trailing colon.
        std::string dev = after;
        if (!dev.empty() && dev.back() == ':') dev.pop_back();
        base = root + "/dev";
        rest = dev;
      }
    } else if (strcasecmp(first.c_str(), "pipe") == 0) {
      std::string hostDir = ".";
      if (!local && !FindCaseless(root + "/hosts", host, hostDir)) hostDir = host;
      base = root + "/hosts/" + hostDir + "/pipe";
      rest = more;
    } else if (strcasecmp(first.c_str(), "mailslot") == 0 && (local || host == "*")) {
      base = root + "/kernel/mailslot";
      rest = more;
    } else {
      if (first.empty()) return os_Fail(OS_ERROR_BAD_NETPATH), -1;
      std::string hostDir;
      if (!FindCaseless(root + "/hosts", host, hostDir)) hostDir = host;
      base = root + "/hosts/" + hostDir + "/shares";
      rest = after;
    }
  } else if (p.size() >= 2 && p[1] == ':' && isalpha(static_cast<unsigned char>(p[0]))) {
    base = root + "/drives/" + static_cast<char>(tolower(static_cast<unsigned char>(p[0])));
    rest = p.substr(2);
  } else if (p[0] == '/') {
    base = root + "/drives/c";
    rest = p.substr(1);
  } else {
    base = "";
    rest = p;
  }

  std::string result = base;
  AppendCaseless(result, rest);
  if (result.empty()) result = ".";
  return Emit(result, out, size);
}

int os_ObjectPath(const char *name, char *out, size_t size) {
  if (!name || !*name || name[0] == '\\' || name[0] == '/') return os_Fail(OS_ERROR_INVALID_NAME), -1;
  std::string s = std::string(os_Root()) + "/kernel/";
  size_t start = s.size();
  s += name;
  for (size_t i = start; i < s.size(); ++i)
    if (s[i] == '\\') s[i] = '/';
  // No component may climb out of the kernel folder.
  std::string rel = s.substr(start);
  size_t i = 0;
  while (i <= rel.size()) {
    size_t j = rel.find('/', i);
    if (j == std::string::npos) j = rel.size();
    std::string comp = rel.substr(i, j - i);
    if (comp.empty() || comp == "." || comp == "..") return os_Fail(OS_ERROR_INVALID_NAME), -1;
    i = j + 1;
  }
  return Emit(s, out, size);
}
