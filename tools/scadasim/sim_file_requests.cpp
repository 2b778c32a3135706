#include "tools/scadasim/sim_file_requests.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/cfg_device.h"
#include "framework/config/cfg_load.h"
#include "framework/config/chan_files.h"
#include "framework/registry/reg_settings.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_format.h"
#include "platform/os_io.h"
#include "plugin/dbstores/asset_folders.h"
#include "plugin/dbstores/asset_settings.h"
#include "plugin/loggers/lcfg_list.h"

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
  uint64_t size = 0;
  int rc = os_GetFileSize(h, &size);
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
  int rc = os_SetFilePointer(h, offset, method, nullptr);
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
  int rc = os_SetFilePointer(h, offset, method, nullptr);
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
  uint32_t attributes = os_GetFileAttributes(path.c_str());
  switch (a) {
    case 'S': *reply = Size(path, f); break;
    case 'T': *reply = Times(path); break;
    case 'R': *reply = Read(path, f); break;
    case 'W': *reply = Write(path, f, data); break;
    case 'D': *reply = List(path, f); break;
    case 'U': *reply = os_DeleteFile(path.c_str()) == 0 ? "0" : Error(os_GetLastError()); break;
    case 'N': *reply = os_MakeDirectory(path.c_str()) == 0 ? "0" : Error(os_GetLastError()); break;
    case 'O': *reply = attributes != OS_INVALID_FILE_ATTRIBUTES && !(attributes & (OS_FILE_ATTRIBUTE_DIRECTORY | OS_FILE_ATTRIBUTE_DEVICE)) ? "1" : "0"; break;
    case 'B': *reply = attributes != OS_INVALID_FILE_ATTRIBUTES && (attributes & OS_FILE_ATTRIBUTE_DIRECTORY) ? "1" : "0"; break;
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

namespace {

std::vector<std::string> SplitCommas(const std::string &s, size_t max) {
  std::vector<std::string> out;
  size_t i = 0;
  while (out.size() + 1 < max) {
    size_t j = s.find(',', i);
    if (j == std::string::npos) break;
    out.push_back(s.substr(i, j - i));
    i = j + 1;
  }
  out.push_back(s.substr(i));
  return out;
}

std::string DeviceFolder(const std::string &configFolder, const std::string &folder) {
  std::string base = configFolder;
  if (base.empty()) {
    const char *f = cfg_ResolveName("TSQ_CURRENT_CONFIG");
    base = f ? f : "";
  }
  if (folder.empty() || folder == " ") return base;
  if (folder.find("..") != std::string::npos || folder.find(':') != std::string::npos) return std::string();
  return base + (base[0] == '/' ? "/" : "\\") + folder;
}

// The failure of a framework call: 1465 carries the XML text.
std::string Failure() {
  uint32_t code = os_GetLastError();
  if (code == OS_ERROR_XML_PARSE_ERROR) return "-1,1465," + std::string(xml_GetErrorText());
  return Error(code ? code : OS_ERROR_GEN_FAILURE);
}

const char *Opt(const std::string &s) { return s == " " ? nullptr : s.c_str(); }

}  // namespace

bool sim_AnswerConfigVerb(const std::string &configFolder, const std::string &request, std::string *reply) {
  if (request.size() < 3 || request[2] != ',') return false;
  std::string verb = request.substr(0, 2);
  for (char &c : verb) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (verb != "IF" && verb != "GF" && verb != "HF" && verb != "FF" && verb != "CF") return false;
  size_t nul = request.find('\0');
  std::string line = request.substr(3, nul == std::string::npos ? std::string::npos : nul - 3);
  std::string data = nul == std::string::npos ? std::string() : request.substr(nul + 1);
  if (verb == "IF") {
    std::vector<std::string> f = SplitCommas(line, 7);
    if (f.size() != 7) return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
    int first = atoi(f[2].c_str()), count = atoi(f[3].c_str()), extraLen = atoi(f[4].c_str()), type = atoi(f[6].c_str());
    std::string dir = DeviceFolder(configFolder, f[1]);
    if (dir.empty() || count < 0 || count > 60000 || extraLen < 0 || extraLen > (1 << 20))
      return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
    std::vector<ChannelRecord> records(static_cast<size_t>(count) + 1);
    std::string extra(static_cast<size_t>(extraLen), '\0');
    if (chan_ReadChannels(dir.c_str(), type, records.data(), first, count, extraLen ? extra.data() : nullptr,
                          static_cast<uint32_t>(extraLen), extraLen ? Opt(f[5]) : nullptr) != 0)
      return *reply = Failure() + '\0', true;
    *reply = "0," + std::string(reinterpret_cast<const char *>(records.data()), static_cast<size_t>(count) * 216) + extra;
    return true;
  }
  if (verb == "GF") {
    std::vector<std::string> f = SplitCommas(line, 9);
    if (f.size() != 9) return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
    int length = atoi(f[2].c_str()), extraLen = atoi(f[3].c_str());
    std::string dir = DeviceFolder(configFolder, f[1]);
    if (dir.empty() || length < 0 || length > (1 << 20) || extraLen < 0 || extraLen > (1 << 20))
      return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
    std::string record(static_cast<size_t>(length), '\0'), extra(static_cast<size_t>(extraLen), '\0');
    uint8_t ae = 0, so = 0, sbt = 0;
    uint32_t rate = 0;
    if (cfg_LoadConfigFiles(dir.c_str(), {.config = record.data(),
                                          .configSize = static_cast<uint32_t>(length),
                                          .extra = extraLen ? extra.data() : nullptr,
                                          .extraSize = static_cast<uint32_t>(extraLen),
                                          .extraFile = extraLen ? Opt(f[4]) : nullptr,
                                          .autoEnable = &ae,
                                          .saveOutputs = &so,
                                          .saveByTag = &sbt,
                                          .saveRate = &rate}) != 0)
      return *reply = Failure() + '\0', true;
    std::string head = "0,";
    head += static_cast<char>(ae);
    head += static_cast<char>(so);
    head += static_cast<char>(sbt);
    head.append(reinterpret_cast<const char *>(&rate), 4);
    *reply = head + record + extra;
    return true;
  }
  if (verb == "HF") {
    std::vector<std::string> f = SplitCommas(line, 9);
    if (f.size() != 9) return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
    int size = atoi(f[0].c_str()), first = atoi(f[3].c_str()), count = atoi(f[4].c_str());
    int extraLen = atoi(f[5].c_str()), type = atoi(f[7].c_str()), xmlMode = atoi(f[8].c_str());
    std::string dir = DeviceFolder(configFolder, f[2]);
    if (dir.empty() || count < 0 || extraLen < 0 || size != count * 216 + extraLen ||
        data.size() != static_cast<size_t>(size))
      return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
    const ChannelRecord *records = reinterpret_cast<const ChannelRecord *>(data.data());
    const char *extra = extraLen ? data.data() + count * 216 : nullptr;
    auto write = xmlMode ? chan_WriteChannels : chan_RewriteChannels;
    if (write(f[1].c_str(), dir.c_str(), type, records, first, count, extra, static_cast<uint32_t>(extraLen),
              extraLen ? Opt(f[6]) : nullptr) != 0)
      return *reply = Failure() + '\0', true;
    return *reply = std::string("0", 2), true;
  }
  if (verb == "FF") {
    std::vector<std::string> f = SplitCommas(line, 10);
    if (f.size() != 10) return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
    int size = atoi(f[0].c_str()), length = atoi(f[3].c_str()), extraLen = atoi(f[4].c_str());
    std::string dir = DeviceFolder(configFolder, f[2]);
    if (dir.empty() || length < 0 || extraLen < 0 || size != length + extraLen || data.size() != static_cast<size_t>(size))
      return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
    uint8_t ae = static_cast<uint8_t>(atoi(f[6].c_str())), so = static_cast<uint8_t>(atoi(f[7].c_str()));
    uint8_t sbt = static_cast<uint8_t>(atoi(f[8].c_str()));
    int32_t rate = atoi(f[9].c_str());
    if (cfg_WriteDeviceConfig(f[1].c_str(), dir.c_str(), data.data(), static_cast<uint32_t>(length),
                              extraLen ? data.data() + length : nullptr, static_cast<uint32_t>(extraLen),
                              extraLen ? Opt(f[5]) : nullptr, f[6] == " " ? nullptr : &ae, f[7] == " " ? nullptr : &so,
                              f[8] == " " ? nullptr : &sbt, f[9] == " " ? nullptr : &rate) != 0)
      return *reply = Failure() + '\0', true;
    return *reply = std::string("0", 2), true;
  }
  // CF,type,number,length,user,<record>
  std::vector<std::string> f = SplitCommas(request.substr(3), 5);
  if (f.size() != 5 || static_cast<size_t>(atoi(f[2].c_str())) != f[4].size() || f[0].find_first_of("\\/.") != std::string::npos)
    return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
  std::string dir = DeviceFolder(configFolder, "LOGGERS");
  std::string path = dir + (dir[0] == '/' ? "/" : "\\") + f[0] + "_" + std::to_string(atoi(f[1].c_str()));
  OsHandle h = os_CreateFile(path.c_str(), OS_GENERIC_WRITE, 3, OS_CREATE_ALWAYS, 0);
  uint32_t written = 0;
  bool ok = h && (f[4].empty() || (os_WriteFile(h, f[4].data(), static_cast<uint32_t>(f[4].size()), &written) == 0 &&
                                   written == f[4].size()));
  uint32_t err = os_GetLastError();
  if (h) os_CloseHandle(h);
  *reply = ok ? std::string("0", 2) : Error(err) + '\0';
  return true;
}

bool sim_AnswerChannelVerb(const std::string &request, std::string *reply) {
  if (request.size() < 3 || toupper(static_cast<unsigned char>(request[0])) != 'C' ||
      toupper(static_cast<unsigned char>(request[1])) != 'V' || request[2] != ',')
    return false;
  std::string line = request.substr(3, strnlen(request.c_str() + 3, request.size() - 3));
  size_t comma = line.find(',');
  char *end = nullptr;
  long k = comma == 2 ? strtol(line.c_str() + 3, &end, 10) : 0;
  if (comma != 2 || end == line.c_str() + 3 || *end || k < 1 || k > 0xFFFF)
    return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
  std::string code = line.substr(0, 2);
  void *data = shm_OpenDataArea(code.c_str()), *conf = shm_OpenConfArea(code.c_str());
  if (!data || !conf) return *reply = Error(OS_ERROR_FILE_NOT_FOUND) + '\0', true;
  const size_t record = sizeof(ChannelRecord);
  if (k > shm_AreaHeader(data)->count || static_cast<int64_t>(k * record) > shm_DataLength(conf))
    return *reply = Error(OS_ERROR_INVALID_PARAMETER) + '\0', true;
  char head[16];
  snprintf(head, sizeof head, "1,%.2s,%03ld", code.c_str(), k % 1000);
  reply->assign(head, 8);
  reply->append(reinterpret_cast<const char *>(shm_AreaRecords(conf)) + (k - 1) * record, record);
  reply->push_back('\0');
  return true;
}

bool sim_AnswerAssetVerb(const std::string &request, std::string *reply) {
  if (request.size() < 3 || request[2] != ',' || toupper(static_cast<unsigned char>(request[0])) != 'L' ||
      toupper(static_cast<unsigned char>(request[1])) != 'F')
    return false;
  std::string line = request.substr(3, strnlen(request.c_str() + 3, request.size() - 3));
  size_t comma = line.rfind(',');
  if (comma == std::string::npos || strcasecmp(line.c_str() + comma + 1, "information.ini") != 0)
    return *reply = Error(OS_ERROR_INVALID_PARAMETER), true;
  std::string folder = line.substr(0, comma);
  double latitude = 0, longitude = 0;
  if (!asset_PositionBelow(asset_Root(nullptr), folder.c_str(), &latitude, &longitude)) return *reply = "0", true;
  char text[96];
  os_FormatC(text, sizeof text, "1,%f,%f", latitude, longitude);
  *reply = text;
  return true;
}

bool sim_AnswerLoggerListVerb(const std::string &configFolder, const std::string &request, std::string *reply) {
  if (request.size() < 3 || request[2] != ',' || toupper(static_cast<unsigned char>(request[0])) != 'I' ||
      toupper(static_cast<unsigned char>(request[1])) != 'L')
    return false;
  std::string selector = request.substr(3, strnlen(request.c_str() + 3, request.size() - 3));
  // As many entries as fit the client's reply buffer.
  int64_t limit = lcfg_ListSelectorLimit(selector.c_str());
  int capacity = static_cast<int>(limit < LCFG_LIST_REPLY / 40 ? limit : LCFG_LIST_REPLY / 40);
  std::vector<LoggerListEntry> entries(static_cast<size_t>(capacity > 0 ? capacity : 1));
  int n = lcfg_ListLoggersIn(DeviceFolder(configFolder, "").c_str(), selector.c_str(), entries.data(), capacity);
  if (n == -2) return *reply = Error(OS_ERROR_INVALID_DATA), true;
  if (n < 0) return *reply = Error(os_GetLastError() ? os_GetLastError() : OS_ERROR_GEN_FAILURE), true;
  std::vector<char> text(LCFG_LIST_REPLY);
  if (lcfg_FormatLoggerList(entries.data(), n, text.data(), text.size()) < 0)
    return *reply = Error(OS_ERROR_MORE_DATA), true;
  *reply = text.data();
  return true;
}
