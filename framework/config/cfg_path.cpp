#include "framework/config/cfg_path.h"

#include <cerrno>
#include <ctime>

#include "framework/binding/ext_binding.h"
#include "framework/eventlog/sts_report.h"
#include "framework/registry/reg_settings.h"
#include "framework/xml/xml_error.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "platform/os_path.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAbsolute(const std::string &d) {
  if (d.empty()) return false;
  if (IsSeparator(d[0])) return true;
  return d.size() >= 2 && d[1] == ':';
}

std::string Linux(const std::string &path) {
  char out[4096];
  return os_TranslatePath(path.c_str(), out, sizeof out) == 0 ? std::string(out) : std::string();
}

}  // namespace

std::string cfg_AbsoluteDir(const char *directory) {
  std::string d = directory ? directory : "";
  if (!IsAbsolute(d)) {
    char cwd[4096];
    std::string base = os_GetCurrentDirectory(cwd, sizeof cwd) == 0 ? cwd : ".";
    std::string rest = d;
    for (char &c : rest)
      if (c == '\\') c = '/';
    while (rest.rfind("./", 0) == 0) rest.erase(0, 2);
    d = rest.empty() || rest == "." ? base : base + "/" + rest;
  }
  while (d.size() > 1 && IsSeparator(d.back()) && !(d.size() == 3 && d[1] == ':')) d.pop_back();
  return d;
}

std::string cfg_JoinPath(const std::string &dir, const char *name) {
  if (dir.empty()) return name;
  char sep = dir[0] == '/' && (dir.size() < 2 || dir[1] != '/') ? '/' : '\\';
  return IsSeparator(dir.back()) ? dir + name : dir + sep + name;
}

std::string cfg_LastComponent(const std::string &dir) {
  size_t cut = dir.find_last_of("\\/");
  return cut == std::string::npos ? dir : dir.substr(cut + 1);
}

std::string cfg_ParentDir(const std::string &dir) {
  size_t cut = dir.find_last_of("\\/");
  if (cut == std::string::npos) return "";
  return cut == 0 ? dir.substr(0, 1) : dir.substr(0, cut);
}

std::string cfg_DriverOf(const std::string &dir) {
  char driver[EXT_NAME_MAX];
  ext_DriverName(dir.c_str(), driver, sizeof driver);
  return driver;
}

bool cfg_IsCurrentConfigFolder(const std::string &dir) {
  const char *current = cfg_GetFolder("TSQ_CURRENT_CONFIG");
  if (!current) return false;
  std::string a = Linux(cfg_AbsoluteDir(current)), b = Linux(cfg_AbsoluteDir(dir.c_str()));
  return !a.empty() && os_CompareNoCase(a.c_str(), b.c_str()) == 0;
}

bool cfg_FileExists(const std::string &path) {
  int e = errno;
  uint32_t attributes = os_GetFileAttributes(path.c_str());
  bool there = attributes != OS_INVALID_FILE_ATTRIBUTES &&
               !(attributes & (OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_DEVICE));
  errno = e;
  return there;
}

int cfg_FileStamp(const std::string &path, TimeStamp *stamp) {
  OsFileInfo info;
  if (os_GetFileInfo(path.c_str(), &info) != 0) return -1;
  struct tm local;
  time_t t = static_cast<time_t>(info.writeSeconds);
  localtime_r(&t, &local);
  TmCalendar cal{static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                 static_cast<uint16_t>(local.tm_wday), static_cast<uint16_t>(local.tm_mday),
                 static_cast<uint16_t>(local.tm_hour), static_cast<uint16_t>(local.tm_min),
                 static_cast<uint16_t>(local.tm_sec), static_cast<uint16_t>(info.writeNanoseconds / 1000000)};
  tm_FromSystemTime(&cal, stamp);
  return 0;
}

int cfg_ReadFileAt(const std::string &path, uint64_t offset, void *buf, size_t n) {
  OsHandle file = os_CreateFile(path.c_str(), OS_GENERIC_READ, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                                OS_OPEN_EXISTING, 0);
  if (!file) return -1;
  size_t got = 0;
  bool ok = os_SetFilePointer(file, static_cast<int64_t>(offset), OS_FILE_BEGIN, nullptr) == 0;
  while (ok && got < n) {
    uint32_t chunk = n - got > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n - got), r = 0;
    ok = os_ReadFile(file, static_cast<uint8_t *>(buf) + got, chunk, &r) == 0;
    if (!ok || r == 0) break;
    got += r;
  }
  uint32_t code = os_GetLastError();
  os_CloseHandle(file);
  if (!ok) return os_Fail(code), -1;
  if (got < n) return os_Fail(OS_ERROR_HANDLE_EOF), -1;
  return 0;
}

int cfg_WriteFileAt(const std::string &path, uint64_t offset, const void *buf, size_t n) {
  OsHandle file = os_CreateFile(path.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE,
                                OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE, OS_OPEN_ALWAYS, 0);
  if (!file) return -1;
  bool ok = os_SetFilePointer(file, static_cast<int64_t>(offset), OS_FILE_BEGIN, nullptr) == 0;
  for (size_t done = 0; ok && done < n;) {
    uint32_t chunk = n - done > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n - done), w = 0;
    ok = os_WriteFile(file, static_cast<const uint8_t *>(buf) + done, chunk, &w) == 0;
    done += w;
  }
  uint32_t code = os_GetLastError();
  os_CloseHandle(file);
  if (!ok) return os_Fail(code), -1;
  return 0;
}

int cfg_FailXml(void) {
  sts_ReportErrorEvent(".", STS_EVENT_ERROR, xml_GetErrorText());
  os_Fail(OS_ERROR_XML_PARSE_ERROR);
  return -1;
}

int cfg_FailXmlText(const char *text) {
  xml_SetError(-1, text);
  return cfg_FailXml();
}
