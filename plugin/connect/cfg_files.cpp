#include "plugin/connect/cfg_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_file.h"
#include "platform/os_io.h"

namespace {

enum : int { kReplyMax = 65536 };

int Fail(uint32_t code) {
  os_Fail(code);
  return 0;
}

// A field may not hold its separator, nor be longer than max.
bool FieldOk(const char *s, char separator, size_t max = CFG_PATH_MAX) {
  return s && strlen(s) <= max && (separator == '\0' || !strchr(s, separator)) && !strchr(s, '\t');
}

std::string Numbers(std::initializer_list<long long> values, char separator) {
  std::string s;
  for (long long v : values) s += separator + std::to_string(v);
  return s;
}

// A decimal number (sign allowed) in reply[at, end); false when none.
bool NumberIn(const char *reply, size_t at, size_t end, long long *value) {
  bool negative = false;
  if (at < end && (reply[at] == '-' || reply[at] == '+')) negative = reply[at++] == '-';
  if (at >= end || reply[at] < '0' || reply[at] > '9') return false;
  long long v = 0;
  for (; at < end && reply[at] >= '0' && reply[at] <= '9'; ++at)
    if (v < (1LL << 50)) v = v * 10 + (reply[at] - '0');
  *value = negative ? -v : v;
  return true;
}

// One request with a reply buffer of `capacity` bytes: the result number;
// *reply gets the bytes received.
int Ask(const char *server, const std::string &request, size_t capacity, std::string *reply = nullptr) {
  std::vector<char> buf(capacity, '\0');
  int n = static_cast<int>(capacity);
  int rc = con_Transact(server, request.data(), static_cast<int>(request.size()), buf.data(), &n);
  if (reply) reply->assign(buf.data(), n > 0 ? static_cast<size_t>(n) : 0);
  return rc;
}

std::string Line(const std::string &text) { return std::string(text.c_str(), text.size() + 1); }

int OnePath(const char *server, const char *verb, const char *path) {
  if (!FieldOk(path, ',')) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  return Ask(server, Line(std::string(verb) + "," + path), 16);
}

}  // namespace

int64_t srv_RemoteFileOpenSize(const char *server, const char *path, const CfgOpen *o) {
  if (!FieldOk(path, '\t') || !o) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string reply;
  // Room for any size: a 10-digit size must not fail for want of a byte.
  int rc = Ask(server,
               Line("SF," + std::string(path) +
                    Numbers({o->access, o->share, o->inherit, o->disposition, o->attributes}, '\t')),
               32, &reply);
  if (rc < 0) return -1;
  long long size = 0;
  if (!NumberIn(reply.data(), 0, strnlen(reply.data(), reply.size()), &size)) return os_Fail(OS_ERROR_INVALID_DATA), -1;
  if (size > INT32_MAX) return os_Fail(CFG_FILE_TOO_LARGE), -1;
  return size;
}

int srv_RemoteFileTimes(const char *server, OsHandle local, const char *path, uint64_t times[3]) {
  if (!times) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (local) return os_GetFileTimes(local, times) == 0 ? 1 : 0;
  if (!FieldOk(path, ',')) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string reply;
  if (Ask(server, Line(std::string("TF,") + path), 128, &reply) < 0) return 0;
  size_t end = strnlen(reply.data(), reply.size()), at = 2;
  long long v[6];
  for (int i = 0; i < 6; ++i) {
    if (!NumberIn(reply.data(), at, end, &v[i])) return Fail(OS_ERROR_INVALID_DATA);
    while (at < end && reply[at] != ',') ++at;
    ++at;
  }
  for (int i = 0; i < 3; ++i)
    times[i] = static_cast<uint64_t>(static_cast<uint32_t>(v[2 * i])) << 32 | static_cast<uint32_t>(v[2 * i + 1]);
  return 1;
}

int srv_RemoteReadFile(const char *server, OsHandle local, const char *path, void *data, int32_t count,
                       int32_t offset, uint32_t method, const CfgOpen *o, int32_t *got) {
  if (got) *got = 0;
  if (count < 0 || count > CFG_RF_MAX || (!data && count)) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (local) {
    if (offset != -1 && os_SetFilePointer(local, offset, method, nullptr) != 0) return 0;
    uint32_t n = 0;
    if (os_ReadFile(local, data, static_cast<uint32_t>(count), &n) != 0) return 0;
    if (got) *got = static_cast<int32_t>(n);
    return 1;
  }
  if (!FieldOk(path, '\t') || !o) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string request = Line("RF," + std::string(path) +
                             Numbers({count, offset, method, o->access, o->share, o->inherit, o->disposition,
                                      o->attributes},
                                     '\t'));
  // One reply buffer per thread: a fetch asks for many chunks in a row.
  thread_local std::vector<char> reply(kReplyMax);
  memset(reply.data(), 0, reply.size());
  int received = kReplyMax;
  if (con_Transact(server, request.data(), static_cast<int>(request.size()), reply.data(), &received) < 0) return 0;
  // "<result>,<count bytes of data>,<bytes read>": only 0..count, and only
  // what the reply holds.
  long long n = -1;
  size_t at = static_cast<size_t>(count) + 3, size = static_cast<size_t>(received);
  if (at >= size || !NumberIn(reply.data(), at, size, &n) || n < 0 || n > count) return Fail(OS_ERROR_INVALID_DATA);
  if (n) memcpy(data, reply.data() + 2, static_cast<size_t>(n));
  if (got) *got = static_cast<int32_t>(n);
  return 1;
}

int srv_RemoteWriteFile(const char *server, OsHandle local, const char *path, const void *data, int32_t count,
                        int32_t offset, uint32_t method, const CfgOpen *o, int32_t *written) {
  if (written) *written = 0;
  if (count < 0 || (!data && count)) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (local) {
    if (os_SetFilePointer(local, offset, method, nullptr) != 0) return 0;
    uint32_t n = 0;
    if (os_WriteFile(local, data, static_cast<uint32_t>(count), &n) != 0) return 0;
    if (n != static_cast<uint32_t>(count)) return Fail(OS_ERROR_WRITE_FAULT);
    if (written) *written = count;
    return 1;
  }
  if (!FieldOk(path, '\t') || !o) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string request =
      "WF," + std::string(path) +
      Numbers({count, offset, method, o->access, o->share, o->inherit, o->disposition, o->attributes}, '\t') + "\t";
  if (request.size() + static_cast<size_t>(count) > CFG_WF_MAX) return Fail(OS_ERROR_INVALID_PARAMETER);
  request.append(static_cast<const char *>(data), static_cast<size_t>(count));
  if (Ask(server, request, 32) < 0) return 0;
  if (written) *written = count;
  return 1;
}

namespace {

// The pages of a "DF" listing from index start. Names go to slots while
// capacity lasts; without slots (names NULL) they are only counted. Strict:
// each page must bring the number of names its result states, a name over
// CFG_DF_NAME - 1 characters is refused rather than cut, and the whole
// listing is bounded by CFG_DF_COUNT_MAX so that slots for it can be sized.
int ListPages(const char *server, const char *folder, const char *pattern, int start, char (*names)[CFG_DF_NAME],
              int capacity, bool strict) {
  if (!FieldOk(folder, '\t') || !FieldOk(pattern, '\t') || start < 0 || capacity < 0 || (!names && capacity))
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  const bool counting = strict && !names;
  int filled = 0, index = start;
  while (counting || filled < capacity) {
    std::string reply;
    int stated = Ask(server, Line("DF," + std::string(folder) + "\t" + pattern + "\t" + std::to_string(index)),
                     kReplyMax, &reply);
    if (stated < 0) return -1;
    size_t end = strnlen(reply.data(), reply.size());
    size_t at = reply.find(',');
    // "0," is a page without names.
    if (at != std::string::npos && at + 1 >= end) at = std::string::npos;
    int page = 0;
    while (at != std::string::npos && at < end && (strict || filled < capacity)) {
      size_t next = reply.find(',', at + 1);
      size_t stop = next == std::string::npos || next > end ? end : next;
      size_t len = stop - at - 1;
      if (len > CFG_DF_NAME - 1) {
        if (strict) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), -1;
        len = CFG_DF_NAME - 1;
      }
      if (names && filled < capacity) {
        memcpy(names[filled], reply.data() + at + 1, len);
        names[filled][len] = '\0';
        ++filled;
      } else if (counting) {
        ++filled;
      }
      ++page;
      at = stop < end ? stop : std::string::npos;
    }
    // The page's own count is trusted only as far as its names arrived.
    if (strict && (page != stated || (counting && filled > CFG_DF_COUNT_MAX)))
      return os_Fail(OS_ERROR_INVALID_DATA), -1;
    // A page that filled its buffer may have a next one; a page that brought
    // nothing ends the listing.
    if (page == 0 || reply.size() < static_cast<size_t>(kReplyMax) - static_cast<size_t>(CFG_DF_NAME)) break;
    index += page;
  }
  return filled;
}

}  // namespace

int srv_ListDirectory(const char *server, const char *folder, const char *pattern, int start,
                      char (*names)[CFG_DF_NAME], int capacity) {
  return ListPages(server, folder, pattern, start, names, capacity, false);
}

int srv_CountDirectory(const char *server, const char *folder, const char *pattern) {
  return ListPages(server, folder, pattern, 0, nullptr, 0, true);
}

int srv_ListDirectoryStrict(const char *server, const char *folder, const char *pattern, int start,
                            char (*names)[CFG_DF_NAME], int capacity) {
  if (!names) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  return ListPages(server, folder, pattern, start, names, capacity, true);
}

int srv_RemoteRequestUF(const char *server, const char *path) { return OnePath(server, "UF", path); }
int srv_RemoteRequestNF(const char *server, const char *path) { return OnePath(server, "NF", path); }
int srv_RemoteRequestOF(const char *server, const char *path) { return OnePath(server, "OF", path); }
int srv_RemoteRequestBF(const char *server, const char *path) { return OnePath(server, "BF", path); }

int srv_RemoteRequestEF(const char *server, const char *path, const char *other) {
  if (!FieldOk(path, ',') || !FieldOk(other, ',')) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  return Ask(server, Line(std::string("EF,") + path + "\t" + other), 16);
}

int srv_RemoteRequestMF(const char *server, const char *path, const char *textIn, char *textOut, size_t size) {
  if (!textIn) textIn = "";
  if (!FieldOk(path, ',') || !FieldOk(textIn, ',')) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string reply;
  int rc = Ask(server, Line(std::string("MF,") + path + "\t" + textIn), 40, &reply);
  if (rc == 1 && textOut && size) {
    size_t end = strnlen(reply.data(), reply.size());
    std::string text = end > 2 ? reply.substr(2, end - 2) : std::string();
    snprintf(textOut, size, "%s", text.c_str());
  }
  return rc;
}

int srv_RequestChannelValue(const char *server, const char *argument, char *reply, int *size) {
  if (!FieldOk(argument, '\0', 255) || !reply || !size) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string line = Line(std::string("CV,") + argument);
  return con_Transact(server, line.data(), static_cast<int>(line.size()), reply, size);
}

namespace {

const CfgOpen kReadExisting = {OS_GENERIC_READ, 3, 1, OS_OPEN_EXISTING, 0};

}  // namespace

int cfg_FetchConfigFile(const char *server, const char *path, const char *localPath) {
  if (!path || !localPath) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string remote = std::string("TSQ_CURRENT_CONFIG\\") + path;
  int64_t size = srv_RemoteFileOpenSize(server, remote.c_str(), &kReadExisting);
  if (size < 0) return -1;
  // The copy grows beside the file it replaces.
  std::string part = std::string(localPath) + ".part~";
  OsHandle out = os_CreateFile(part.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, 3, OS_CREATE_ALWAYS, 0);
  if (!out) return -1;
  std::vector<char> chunk(CFG_FETCH_CHUNK);
  bool ok = true;
  for (int64_t at = 0; ok && at < size; at += CFG_FETCH_CHUNK) {
    int64_t chunkMax = CFG_FETCH_CHUNK;
    int32_t want = static_cast<int32_t>(size - at < chunkMax ? size - at : chunkMax), got = 0;
    uint32_t written = 0;
    ok = srv_RemoteReadFile(server, nullptr, remote.c_str(), chunk.data(), want, static_cast<int32_t>(at), OS_FILE_BEGIN,
                            &kReadExisting, &got) &&
         (got == want || (os_Fail(OS_ERROR_HANDLE_EOF), false)) &&
         os_WriteFile(out, chunk.data(), static_cast<uint32_t>(got), &written) == 0 && written == static_cast<uint32_t>(got);
  }
  uint32_t err = os_GetLastError();
  os_CloseHandle(out);
  if (ok) {
    os_DeleteFile(localPath);
    ok = os_MoveFile(part.c_str(), localPath) == 0;
    err = os_GetLastError();
  }
  if (!ok) {
    os_DeleteFile(part.c_str());
    os_Fail(err);
    return -1;
  }
  return 0;
}

int cfg_PushConfigFile(const char *server, const char *folder, const char *name, const char *localPath) {
  if (!name || !localPath) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string remote = "TSQ_CURRENT_CONFIG\\";
  if (folder && *folder) remote += std::string(folder) + "\\";
  remote += name;
  if (remote.size() > CFG_PATH_MAX) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  OsHandle in = os_CreateFile(localPath, OS_GENERIC_READ, 3, OS_OPEN_EXISTING, 0);
  if (!in) return -1;
  uint64_t fileSize = 0;
  if (os_GetFileSize(in, &fileSize) != 0 || fileSize > INT32_MAX) {
    os_CloseHandle(in);
    return os_Fail(CFG_FILE_TOO_LARGE), -1;
  }
  const int64_t size = static_cast<int64_t>(fileSize);
  const int32_t step = CFG_RAW_CHUNK - static_cast<int32_t>(remote.size());
  std::vector<char> chunk(static_cast<size_t>(step));
  bool ok = true;
  // An empty file is sent too, so the server's copy becomes empty.
  int64_t at = 0;
  do {
    int32_t want = static_cast<int32_t>(size - at < step ? size - at : step);
    uint32_t got = 0;
    int32_t written = 0;
    CfgOpen o = {OS_GENERIC_WRITE, 3, 1, at == 0 ? static_cast<uint32_t>(OS_CREATE_ALWAYS) : OS_OPEN_EXISTING, 0};
    ok = os_ReadFile(in, chunk.data(), static_cast<uint32_t>(want), &got) == 0 &&
         (got == static_cast<uint32_t>(want) || (os_Fail(OS_ERROR_HANDLE_EOF), false)) &&
         srv_RemoteWriteFile(server, nullptr, remote.c_str(), chunk.data(), want, static_cast<int32_t>(at), OS_FILE_BEGIN,
                             &o, &written) &&
         written == want;
    at += want;
  } while (ok && at < size);
  uint32_t err = os_GetLastError();
  os_CloseHandle(in);
  if (!ok) return os_Fail(err), -1;
  return 0;
}
