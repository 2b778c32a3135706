#include "tools/scadasim/sim_files.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_filepos.h"
#include "platform/os_io.h"

namespace {

enum : size_t { kReplyMax = 65536, kReadMax = 65512 };

std::vector<std::string> SplitTabs(const std::string &s) {
  std::vector<std::string> out;
  size_t i = 0;
  for (;;) {
    size_t j = s.find('\t', i);
    out.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
    if (j == std::string::npos) return out;
    i = j + 1;
  }
}

std::string Error(uint32_t code) { return "-1," + std::to_string(code); }

// "TSQ_NAME\rest" -> the named folder and rest; empty when the path would
// leave it or names no folder.
std::string Resolve(const std::string &configFolder, const std::string &path) {
  size_t cut = path.find('\\');
  std::string name = path.substr(0, cut), rest = cut == std::string::npos ? "" : path.substr(cut + 1);
  if (strncasecmp(name.c_str(), "TSQ_", 4) != 0) return std::string();
  for (size_t at = 0; at <= rest.size();) {
    size_t end = rest.find_first_of("\\/", at);
    if (end == std::string::npos) end = rest.size();
    std::string part = rest.substr(at, end - at);
    if (part == ".." || part.find(':') != std::string::npos) return std::string();
    at = end + 1;
  }
  if (!rest.empty() && (rest[0] == '\\' || rest[0] == '/')) return std::string();
  std::string folder;
  if (strcasecmp(name.c_str(), "TSQ_CURRENT_CONFIG") == 0 && !configFolder.empty()) {
    folder = configFolder;
  } else {
    const char *f = cfg_ResolveName(name.c_str());
    if (!f) return std::string();
    folder = f;
  }
  if (rest.empty()) return folder;
  return folder + (folder[0] == '/' ? "/" : "\\") + rest;
}

bool Matches(const char *pattern, const char *name) {
  for (; *pattern; ++pattern, ++name) {
    if (*pattern == '*') {
      for (const char *n = name;; ++n) {
        if (Matches(pattern + 1, n)) return true;
        if (!*n) return false;
      }
    }
    if (!*name) return false;
    if (*pattern != '?' && tolower(static_cast<unsigned char>(*pattern)) != tolower(static_cast<unsigned char>(*name)))
      return false;
  }
  return !*name;
}

// Opens a file as the request's values say.
OsHandle Open(const std::string &path, const std::vector<std::string> &f, size_t first) {
  uint32_t access = static_cast<uint32_t>(strtoul(f[first].c_str(), nullptr, 10));
  uint32_t disposition = static_cast<uint32_t>(strtoul(f[first + 3].c_str(), nullptr, 10));
  if (!access) access = OS_GENERIC_READ;
  return os_CreateFile(path.c_str(), access, 3, disposition ? disposition : OS_OPEN_EXISTING, 0);
}

std::string Size(const std::string &path, const std::vector<std::string> &f) {
  if (f.size() < 6) return Error(OS_ERROR_INVALID_PARAMETER);
  OsHandle h = Open(path, f, 1);
  if (!h) return Error(os_GetLastError());
  int64_t size = 0;
  int rc = os_GetFileSizeEx(h, &size);
  os_CloseHandle(h);
  return rc == 0 ? std::to_string(size) : Error(os_GetLastError());
}

std::string Times(const std::string &path) {
  OsHandle h = os_CreateFile(path.c_str(), OS_GENERIC_READ, 3, OS_OPEN_EXISTING, 0);
  if (!h) return Error(os_GetLastError());
  uint64_t t[3];
  int rc = os_GetFileTimes(h, t);
  os_CloseHandle(h);
  if (rc != 0) return Error(os_GetLastError());
  std::string s = "1";
  for (uint64_t v : t) s += "," + std::to_string(static_cast<int32_t>(v >> 32)) + "," + std::to_string(static_cast<int32_t>(v));
  return s;
}

std::string Read(const std::string &path, const std::vector<std::string> &f) {
  if (f.size() < 9) return Error(OS_ERROR_INVALID_PARAMETER);
  long count = strtol(f[1].c_str(), nullptr, 10), offset = strtol(f[2].c_str(), nullptr, 10);
  uint32_t method = static_cast<uint32_t>(strtoul(f[3].c_str(), nullptr, 10));
  if (count < 0 || static_cast<size_t>(count) > kReadMax) return Error(OS_ERROR_INVALID_PARAMETER);
  OsHandle h = Open(path, f, 4);
  if (!h) return Error(os_GetLastError());
  std::string data(static_cast<size_t>(count), '\0');
  uint32_t got = 0;
  int rc = os_SetFilePointerEx(h, offset, nullptr, method);
  if (rc == 0) rc = os_ReadFile(h, data.data(), static_cast<uint32_t>(count), &got);
  uint32_t err = os_GetLastError();
  os_CloseHandle(h);
  if (rc != 0) return Error(err);
  return "0," + data + "," + std::to_string(got);
}

std::string Write(const std::string &path, const std::vector<std::string> &f, const std::string &data) {
  if (f.size() < 10) return Error(OS_ERROR_INVALID_PARAMETER);
  long count = strtol(f[1].c_str(), nullptr, 10), offset = strtol(f[2].c_str(), nullptr, 10);
  uint32_t method = static_cast<uint32_t>(strtoul(f[3].c_str(), nullptr, 10));
  if (count < 0 || static_cast<size_t>(count) != data.size()) return Error(OS_ERROR_INVALID_PARAMETER);
  OsHandle h = Open(path, f, 4);
  if (!h) return Error(os_GetLastError());
  uint32_t written = 0;
  int rc = os_SetFilePointerEx(h, offset, nullptr, method);
  if (rc == 0 && count) rc = os_WriteFile(h, data.data(), static_cast<uint32_t>(count), &written);
  uint32_t err = os_GetLastError();
  os_CloseHandle(h);
  if (rc != 0) return Error(err);
  return std::to_string(written);
}

std::string List(const std::string &path, const std::vector<std::string> &f) {
  if (f.size() < 3) return Error(OS_ERROR_INVALID_PARAMETER);
  struct Walk {
    std::string pattern;
    std::vector<std::string> names;
  } walk{f[1].empty() ? "*" : f[1], {}};
  int rc = os_ListDirectory(
      path.c_str(),
      [](const char *name, bool, void *ctx) {
        Walk *w = static_cast<Walk *>(ctx);
        if (Matches(w->pattern.c_str(), name)) w->names.emplace_back(name);
        return 0;
      },
      &walk);
  if (rc != 0) return Error(os_GetLastError());
  size_t start = static_cast<size_t>(atol(f[2].c_str()));
  std::string body;
  size_t n = 0;
  for (size_t i = start; i < walk.names.size(); ++i) {
    std::string head = std::to_string(n + 1) + ",";
    if (head.size() + body.size() + 1 + walk.names[i].size() + 1 > kReplyMax) break;
    body += "," + walk.names[i];
    ++n;
  }
  return std::to_string(n) + (body.empty() ? "," : body);
}

}  // namespace

bool sim_AnswerFileVerb(const std::string &configFolder, const std::string &request, std::string *reply) {
  if (request.size() < 3 || request[2] != ',') return false;
  char a = static_cast<char>(toupper(static_cast<unsigned char>(request[0])));
  char b = static_cast<char>(toupper(static_cast<unsigned char>(request[1])));
  if (b != 'F' || !strchr("STRWDUNOBEM", a)) return false;
  std::string body = request.substr(3);
  std::string data;
  if (a == 'W') {
    // The header ends with the tab after its ninth field; the data follows.
    size_t at = std::string::npos, from = 0;
    for (int i = 0; i < 9; ++i) {
      at = body.find('\t', from);
      if (at == std::string::npos) break;
      from = at + 1;
    }
    if (at == std::string::npos) return *reply = Error(OS_ERROR_INVALID_PARAMETER), true;
    data = body.substr(at + 1);
    body = body.substr(0, at + 1);
  } else {
    body = body.substr(0, strnlen(body.c_str(), body.size()));
  }
  std::vector<std::string> f = SplitTabs(body);
  std::string path = Resolve(configFolder, f[0]);
  if (path.empty()) return *reply = Error(OS_ERROR_ACCESS_DENIED), true;
  std::string other = f.size() > 1 ? Resolve(configFolder, f[1]) : std::string();
  struct stat st;
  switch (a) {
    case 'S': *reply = Size(path, f); break;
    case 'T': *reply = Times(path); break;
    case 'R': *reply = Read(path, f); break;
    case 'W': *reply = Write(path, f, data); break;
    case 'D': *reply = List(path, f); break;
    case 'U': *reply = os_DeleteFile(path.c_str()) == 0 ? "0" : Error(os_GetLastError()); break;
    case 'N': *reply = os_MakeDirectory(path.c_str()) == 0 ? "0" : Error(os_GetLastError()); break;
    case 'O': *reply = os_Stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? "1" : "0"; break;
    case 'B': *reply = os_Stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? "1" : "0"; break;
    case 'E':
      if (other.empty()) *reply = Error(OS_ERROR_ACCESS_DENIED);
      else *reply = os_MoveFile(path.c_str(), other.c_str()) == 0 ? "0" : Error(os_GetLastError());
      break;
    case 'M': {
      // A new empty file in the folder whose name begins with the text.
      std::string prefix = f.size() > 1 ? f[1] : "";
      *reply = Error(OS_ERROR_FILE_EXISTS);
      for (int i = 1; i < 1000; ++i) {
        std::string name = prefix + std::to_string(i) + ".tmp";
        std::string full = path + (path[0] == '/' ? "/" : "\\") + name;
        OsHandle h = os_CreateFile(full.c_str(), OS_GENERIC_WRITE, 3, OS_CREATE_NEW, 0);
        if (!h) continue;
        os_CloseHandle(h);
        *reply = "1," + name;
        break;
      }
      break;
    }
  }
  return true;
}
