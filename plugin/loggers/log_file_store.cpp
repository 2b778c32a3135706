#include "plugin/loggers/log_file_store.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/eventlog/sts_report.h"
#include "framework/server/srv_client.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_io.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/loggers/log_text.h"

namespace {

const uint32_t kShare = OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE;
const uint64_t kWholeFile = ~uint64_t{0};
// How the server opens a run for reading: shared, existing.
const CfgOpen kRemoteRead = {OS_GENERIC_READ, kShare, 1, OS_OPEN_EXISTING, 0};
// 100 ns ticks from 1601 to 1970.
const uint64_t kFileTimeEpoch = 116444736000000000ull;
// Bytes of a "CV" reply before the channel record.
const int CV_REPLY_HEAD = 8;

OsHandle SystemOpenRun(const char *path, uint32_t access) {
  return os_CreateFile(path, access, kShare, OS_OPEN_EXISTING, OS_FILE_FLAG_WRITE_THROUGH);
}
const LogFileCalls kSystemCalls = {SystemOpenRun, os_SetEndOfFile, os_WriteFileAt};
std::atomic<const LogFileCalls *> g_calls{&kSystemCalls};

OsHandle OpenRun(const char *path, uint32_t access) { return g_calls.load()->openRun(path, access); }
int SetEnd(OsHandle h) { return g_calls.load()->setEndOfFile(h); }

int WriteAll(OsHandle h, uint64_t offset, const void *buf, uint32_t n) {
  uint32_t done = 0;
  if (g_calls.load()->writeAt(h, offset, buf, n, &done) != 0) return -1;
  return done == n ? 0 : (os_Fail(OS_ERROR_WRITE_FAULT), -1);
}

uint16_t Get16(const void *p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}

// Where a name's folder ends (just past the last '\' or '/').
const char *NamePart(const char *path) {
  const char *slash = strrchr(path, '\\'), *fwd = strrchr(path, '/');
  if (fwd && (!slash || fwd > slash)) slash = fwd;
  return slash ? slash + 1 : path;
}

// A run file's name with the new prefix: folder, prefix, the old name from
// its stamp on. 1 renamed or already so named, 0 not.
int RenameWithPrefix(const char *path, const char *ext, const char *prefix, char *renamed, size_t size) {
  const char *name = NamePart(path);
  uint32_t tail = log_StampTail(name, ext);
  if (!*name || tail == 0) return 0;
  if (os_CompareNoCaseN(name, prefix, strlen(prefix)) == 0) return snprintf(renamed, size, "%s", path), 1;
  int n = snprintf(renamed, size, "%.*s%s%s", static_cast<int>(name - path), path, prefix, name + strlen(name) - tail);
  if (n < 0 || static_cast<size_t>(n) >= size) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), 0;
  return os_MoveFile(path, renamed) == 0 ? 1 : 0;
}

// The data path with ".txt" in place of its extension.
bool TextPath(const char *path, char *out, size_t size) {
  const char *name = NamePart(path), *dot = strrchr(name, '.');
  size_t base = dot ? static_cast<size_t>(dot - path) : strlen(path);
  if (base + 5 > size) return false;
  memcpy(out, path, base);
  memcpy(out + base, ".txt", 5);
  return true;
}

// A run's text file: the data path with ".txt" when that file is there (on
// the server when one is named), else the first ".txt" of the folder whose
// name is the same prefix and start stamp (a text file that kept the open
// run's name, say). *out gets the file found, else the data path's
// ".txt" for a writer to make. true when one is there.
bool FindTextFile(const char *server, const char *path, std::string *out) {
  char text[520];
  if (!TextPath(path, text, sizeof text)) return false;
  *out = text;
  if (server && *server) return srv_RemoteRequestOF(server, text) == 1;
  if (os_GetFileAttributes(text) != OS_INVALID_FILE_ATTRIBUTES) return true;
  const char *name = NamePart(path);
  uint32_t tail = log_StampTail(name, ".odl");
  if (tail == 0) return false;
  struct Walk {
    std::string prefix, start, found;
    static int Each(const char *n, bool isDir, void *ctx) {
      Walk *w = static_cast<Walk *>(ctx);
      uint32_t t = isDir ? 0 : log_StampTail(n, ".txt");
      size_t at = strlen(n) - t;
      // Same prefix too: another run may have started in the same second.
      if (t == 0 || at != w->prefix.size() || os_CompareNoCaseN(n, w->prefix.c_str(), at) != 0 ||
          strncmp(n + at, w->start.c_str(), w->start.size()) != 0)
        return 0;
      w->found = n;
      return 1;
    }
  } walk{std::string(name, strlen(name) - tail), std::string(name + strlen(name) - tail, 13), std::string()};
  std::string folder(path, static_cast<size_t>(name - path));
  if (os_ListDirectory(folder.empty() ? "." : folder.c_str(), &Walk::Each, &walk) != 1) return false;
  *out = folder + walk.found;
  return true;
}

// Reads up to `count` records at `offset` and marks their bad values, in
// slices small enough to be marked while still in the cache. *records gets
// the whole records read.
int ReadMarked(OsHandle h, uint64_t offset, const LogFileHeader *header, void *out, uint32_t count, uint32_t *records) {
  const uint32_t size = header->recordSize, slice = size >= 262144 ? 1 : 262144 / size;
  uint8_t *p = static_cast<uint8_t *>(out);
  *records = 0;
  while (*records < count) {
    uint32_t n = count - *records < slice ? count - *records : slice, got = 0;
    if (os_ReadFileAt(h, offset + uint64_t{*records} * size, p + uint64_t{*records} * size, n * size, &got) != 0)
      return -1;
    uint32_t whole = got / size;
    log_MarkBadValues(header, p + uint64_t{*records} * size, whole);
    *records += whole;
    if (whole < n) break;
  }
  return 0;
}

}  // namespace

void log_SetFileCalls(const LogFileCalls *calls) { g_calls.store(calls ? calls : &kSystemCalls); }
const LogFileCalls *log_SystemFileCalls(void) { return &kSystemCalls; }

bool log_ChannelsRemote(const char *server) { return server && *server && !os_IsLocalHost(server); }

int log_FetchChannels(const char *server, const LogChannelBlock &b, ChannelRecord *out) {
  char prefix[3] = {b.prefix[0], b.prefix[1], 0};
  if (b.first == 0 || b.last < b.first) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (log_ChannelsRemote(server)) {
    for (uint32_t k = b.first; k <= b.last; ++k) {
      char argument[32], reply[CV_REPLY_HEAD + LOG_CHANNEL_SIZE + 64];
      snprintf(argument, sizeof argument, "%1.2s,%u", prefix, k);
      int size = static_cast<int>(sizeof reply);
      if (srv_RequestChannelValue(server, argument, reply, &size) < 0) return -1;
      // The record follows the reply's head; a reply too short to hold it is refused.
      if (size < CV_REPLY_HEAD + int{LOG_CHANNEL_SIZE}) return os_Fail(OS_ERROR_INVALID_DATA), -1;
      memcpy(&out[k - b.first], reply + CV_REPLY_HEAD, LOG_CHANNEL_SIZE);
    }
    return 0;
  }
  void *data = shm_OpenDataArea(prefix), *conf = shm_OpenConfArea(prefix);
  if (!data || !conf) return os_Fail(OS_ERROR_FILE_NOT_FOUND), -1;
  if (b.last > shm_AreaHeader(data)->count || int64_t{b.last} * LOG_CHANNEL_SIZE > shm_DataLength(conf))
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  memcpy(out, shm_AreaRecords(conf) + size_t{b.first - 1u} * LOG_CHANNEL_SIZE,
         (size_t{b.last} - b.first + 1) * LOG_CHANNEL_SIZE);
  return 0;
}

CLogFileStore::CLogFileStore() {
  server_[0] = 0;
  path_[0] = 0;
}

CLogFileStore::~CLogFileStore() { CloseHandles(); }

void CLogFileStore::CloseHandles() {
  remote_ = false;
  if (header_) os_CloseHandle(header_);
  if (data_) os_CloseHandle(data_);
  header_ = data_ = nullptr;
}

void CLogFileStore::Report(const char *text) { sts_ReportErrorEvent(".", STS_EVENT_ERROR, text); }

int CLogFileStore::Create(const char *path, LogFileHeader *h, ChannelRecord *const *blockRecords, const char *server) {
  if (!path || !h || strlen(path) >= sizeof path_ || h->blockCount > LOG_MAX_BLOCKS)
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  // Each block's channel records: the caller's, else the server's, else the
  // channel configuration of the block's data area here.
  std::vector<std::vector<ChannelRecord>> fetched(h->blockCount);
  for (uint32_t i = 0; i < h->blockCount; ++i) {
    if (blockRecords && blockRecords[i]) continue;
    const LogChannelBlock &b = h->blocks[i];
    if (b.last < b.first || b.first == 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
    fetched[i].resize(size_t{b.last} - b.first + 1);
    if (log_FetchChannels(server, b, fetched[i].data()) != 0) return -1;
  }
  CloseHandles();
  h->type = LOG_FILE_TYPE;
  uint64_t area = log_ChannelAreaEnd(h);
  if (h->blockCount > LOG_HEADER_BLOCKS && h->extLength == 0) h->extLength = LOG_EXTENSION_SIZE;
  uint32_t extLen = h->extLength < LOG_EXTENSION_SIZE ? h->extLength : LOG_EXTENSION_SIZE;
  h->extLength = extLen;
  h->extOffset = extLen ? static_cast<uint32_t>(area) : 0;
  if (h->firstRecord == 0) h->firstRecord = static_cast<uint32_t>(area + extLen);
  h->recordCount = 0;
  h->endOffset = h->firstRecord;
  if (h->firstRecord < area + extLen || log_CheckHeader(h) != 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;

  // A run started in the same second under the same prefix must not be lost.
  OsHandle data = os_CreateFile(path, OS_GENERIC_READ | OS_GENERIC_WRITE, kShare, OS_CREATE_NEW,
                                OS_FILE_FLAG_WRITE_THROUGH);
  if (!data) return -1;
  std::vector<uint8_t> image(area + extLen);
  LogFileImage head;
  log_HeaderToImage(h, &head);
  memcpy(image.data(), &head, sizeof head);
  size_t at = LOG_HEADER_SIZE;
  for (uint32_t i = 0; i < h->blockCount; ++i) {
    const LogChannelBlock &b = h->blocks[i];
    size_t bytes = (size_t{b.last} - b.first + 1) * LOG_CHANNEL_SIZE;
    uint16_t mark = LOG_BLOCK_START;
    memcpy(&image[at], &mark, 2);
    memcpy(&image[at + 2], blockRecords && blockRecords[i] ? blockRecords[i] : fetched[i].data(), bytes);
    mark = LOG_BLOCK_END;
    memcpy(&image[at + 2 + bytes], &mark, 2);
    at += bytes + 4;
  }
  if (extLen) {
    LogExtension ext;
    log_HeaderToExtension(h, &ext);
    memcpy(&image[at], &ext, extLen);
  }
  // The end-offset word stays 0 until the whole layout is down: a crash before
  // leaves a file no reader takes for a run with records.
  uint32_t zero = 0;
  memcpy(image.data(), &zero, 4);
  OsHandle header = nullptr;
  bool ok = WriteAll(data, 0, image.data(), static_cast<uint32_t>(image.size())) == 0;
  if (ok) header = OpenRun(path, OS_GENERIC_READ | OS_GENERIC_WRITE);
  ok = ok && header && os_LockFile(data, h->firstRecord, 1, true, false) == 0;
  uint32_t word = h->firstRecord;
  ok = ok && WriteAll(header, 0, &word, 4) == 0;
  if (!ok) {
    uint32_t e = os_GetLastError();
    if (header) os_CloseHandle(header);
    os_CloseHandle(data);
    return os_Fail(e), -1;
  }
  data_ = data;
  header_ = header;
  end_ = storedEnd_ = h->firstRecord;
  server_[0] = 0;
  snprintf(path_, sizeof path_, "%s", path);
  access_ = OS_GENERIC_READ | OS_GENERIC_WRITE;
  return 0;
}

int CLogFileStore::Open(const char *server, const char *path, uint32_t access) {
  if (!path || strlen(path) >= sizeof path_) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (server && strlen(server) >= sizeof server_) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  CloseHandles();
  if (access & OS_GENERIC_WRITE) os_SetFileAttributes(path, OS_FILE_ATTRIBUTE_NORMAL);
  OsHandle h = OpenRun(path, access);
  if (!h && !(server && *server)) return -1;
  char unc[sizeof path_];
  if (!h && path[0] != '\\' && path[0] && path[1] != '\\' && srv_ConnectionKind(server) == SRV_KIND_PIPE) {
    // The server's share of the path, reached as a file.
    int n = snprintf(unc, sizeof unc, "\\\\%s\\%s", server, path);
    if (n > 0 && static_cast<size_t>(n) < sizeof unc && (h = OpenRun(unc, access)) != nullptr) path = unc;
  }
  if (!h) {
    // Not here: every read goes through the server's file requests.
    snprintf(server_, sizeof server_, "%s", server);
    snprintf(path_, sizeof path_, "%s", path);
    access_ = access;
    end_ = storedEnd_ = 0;
    remote_ = true;
    return 0;
  }
  uint8_t head[6];
  uint32_t got = 0;
  if (os_ReadFileAt(h, 0, head, 6, &got) != 0 || got != 6) {
    os_CloseHandle(h);
    return os_Fail(OS_ERROR_INVALID_DATA), -1;
  }
  uint16_t type = Get16(head + 4);
  if (type >= 384 && type <= 480) type = static_cast<uint16_t>((type >> 8) | (type << 8));  // a big-endian writer's file
  if (type < 0x8001 || type > 0xE001) {
    os_CloseHandle(h);
    return os_Fail(OS_ERROR_INVALID_DATA), -1;
  }
  data_ = h;
  snprintf(server_, sizeof server_, "%s", server ? server : "");
  snprintf(path_, sizeof path_, "%s", path);
  access_ = access;
  end_ = storedEnd_ = 0;
  return 0;
}

int CLogFileStore::Reopen() {
  uint32_t before = os_GetLastError();
  // The end lock belongs to the appending handle and cannot move to another.
  if (end_) return -1;
  OsHandle h = OpenRun(path_, access_);
  uint64_t size;
  if (!h || os_GetFileSize(h, &size) != 0) {
    if (h) os_CloseHandle(h);
    os_SetLastError(before);
    return -1;
  }
  if (data_) os_CloseHandle(data_);
  data_ = h;
  os_SetLastError(OS_ERROR_SUCCESS);
  return 0;
}

int CLogFileStore::RemoteRead(uint64_t offset, void *buf, uint32_t n, uint32_t *got) {
  *got = 0;
  // The request carries a 32-bit offset: one that does not fit is refused,
  // never sent wrapped.
  if (offset + n > uint64_t{INT32_MAX}) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint8_t *p = static_cast<uint8_t *>(buf);
  while (*got < n) {
    int32_t want = static_cast<int32_t>(n - *got < uint32_t{CFG_RF_MAX} ? n - *got : uint32_t{CFG_RF_MAX}), part = 0;
    if (!srv_RemoteReadFile(server_, nullptr, path_, p + *got, want, static_cast<int32_t>(offset + *got), OS_FILE_BEGIN,
                            &kRemoteRead, &part))
      return -1;
    *got += static_cast<uint32_t>(part);
    if (part < want) break;
  }
  return 0;
}

int CLogFileStore::ReadAt(uint64_t offset, void *buf, uint32_t n) {
  if (Remote()) {
    uint32_t got = 0;
    if (RemoteRead(offset, buf, n, &got) != 0) return -1;
    return got == n ? 0 : (os_Fail(OS_ERROR_HANDLE_EOF), -1);
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    OsHandle h = header_ ? header_ : data_;
    if (!h) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
    uint32_t got = 0;
    if (os_ReadFileAt(h, offset, buf, n, &got) == 0 && got == n) return 0;
    if (got != n && os_GetLastError() == OS_ERROR_SUCCESS) os_Fail(OS_ERROR_HANDLE_EOF);
    if (attempt == 0 && Reopen() != 0) return -1;
  }
  return -1;
}

int CLogFileStore::Close() {
  if (header_) {
    FlushHeader(0);
    os_CloseHandle(header_);
    header_ = nullptr;
  }
  if (data_) {
    if (end_) os_UnlockFile(data_, end_, 1);
    os_CloseHandle(data_);
    data_ = nullptr;
  }
  end_ = storedEnd_ = 0;
  remote_ = false;
  return 0;
}

int CLogFileStore::FlushHeader(uint32_t value) {
  if (!header_) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  if (value == 0) {
    uint32_t word = log_EndWord(storedEnd_);
    return WriteAll(header_, 0, &word, 4);
  }
  // Only the count word changes: the rest is rewritten with what is there,
  // so a torn rewrite leaves the other fields as they were.
  return WriteAll(header_, 8, &value, 4);
}

int CLogFileStore::ReadHeader(LogFileHeader *h) {
  if (!h) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  LogFileImage image;
  if (ReadAt(0, &image, sizeof image) != 0) {
    if (os_GetLastError() == OS_ERROR_IO_PENDING) os_SetLastError(OS_ERROR_SUCCESS);
    return -1;
  }
  LogFileHeader read;
  if (image.extLength) {
    LogExtension ext;
    memset(&ext, 0, sizeof ext);
    uint32_t n = image.extLength < LOG_EXTENSION_SIZE ? image.extLength : LOG_EXTENSION_SIZE;
    if (ReadAt(image.extOffset, &ext, n) != 0) {
      if (os_GetLastError() == OS_ERROR_HANDLE_EOF) os_Fail(OS_ERROR_INVALID_DATA);  // cut short
      return -1;
    }
    log_HeaderFromImage(&image, &ext, &read);
  } else {
    log_HeaderFromImage(&image, nullptr, &read);
  }
  if (image.blockCount > LOG_HEADER_BLOCKS || log_CheckHeader(&read) != 0) return os_Fail(OS_ERROR_INVALID_DATA), -1;
  int64_t count = GetNoLogs(&read);
  if (count < 0 || count > 0xFFFFFFFFll) return count < 0 ? -1 : (os_Fail(OS_ERROR_INVALID_DATA), -1);
  read.recordCount = static_cast<uint32_t>(count);
  read.endOffset = log_EndWord(read.firstRecord + uint64_t(count) * read.recordSize);
  *h = read;
  return 0;
}

int CLogFileStore::WriteHeader(const LogFileHeader *h, const char *) {
  if (!h) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (!data_) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  LogFileImage image;
  log_HeaderToImage(h, &image);
  return WriteAll(data_, 0, &image, sizeof image);
}

int CLogFileStore::ReadChannels(const LogFileHeader *h, ChannelRecord *out, int block, int first, int count) {
  if (!h || !out || block < 0 || block >= h->blockCount || block >= int{LOG_MAX_BLOCKS} || first < 0 || count < 0 ||
      h->blocks[block].last < h->blocks[block].first ||
      first + count > int{h->blocks[block].last} - int{h->blocks[block].first} + 1)
    return os_SetLastError(OS_ERROR_SUCCESS), -1;
  if (count == 0) return 0;
  return ReadAt(log_ChannelOffset(h, block, first), out, static_cast<uint32_t>(count) * LOG_CHANNEL_SIZE);
}

int CLogFileStore::WriteLogs(const LogFileHeader *h, const void *records, uint32_t count) {
  if (!h || !records || !data_ || h->recordSize == 0 || end_ == 0 || end_ < h->firstRecord)
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  uint64_t bytes = uint64_t{count} * h->recordSize;
  if (bytes > 0x7FFFFFFFull) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  const uint8_t *p = static_cast<const uint8_t *>(records);
  for (uint32_t i = 0; i < count; ++i)
    if (Get16(p + uint64_t{i} * h->recordSize) != LOG_RECORD_MARK) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (count == 0) return 0;
  uint64_t newEnd = end_ + bytes;
  if (WriteAll(data_, end_, records, static_cast<uint32_t>(bytes)) != 0) return -1;
  if (os_LockFile(data_, newEnd, 1, true, false) != 0) return -1;
  os_UnlockFile(data_, end_, 1);
  end_ = storedEnd_ = newEnd;
  return 0;
}

int32_t CLogFileStore::ReadLogs(int64_t first, const LogFileHeader *h, void *out, int32_t count, void *, void *,
                                void *) {
  if (!h || !out || count <= 0 || first < 0 || h->recordSize == 0) return 0;
  if (Remote()) {
    // One request carries at most CFG_RF_MAX bytes; a failure halves the count.
    int32_t fit = static_cast<int32_t>(uint32_t{CFG_RF_MAX} / h->recordSize);
    for (int32_t n = count < fit ? count : fit; n > 0; n /= 2) {
      os_SetLastError(OS_ERROR_SUCCESS);
      uint32_t got = 0;
      if (RemoteRead(h->firstRecord + uint64_t(first) * h->recordSize, out, static_cast<uint32_t>(n) * h->recordSize,
                     &got) != 0) {
        if (os_GetLastError() == OS_ERROR_INVALID_PARAMETER) return 0;  // past what a request can name
        continue;
      }
      log_MarkBadValues(h, out, got / h->recordSize);
      return static_cast<int32_t>(got / h->recordSize);
    }
    return 0;
  }
  OsHandle handle = header_ ? header_ : data_;
  if (!handle) return os_Fail(OS_ERROR_INVALID_HANDLE), 0;
  uint64_t maxCount = 0x7FFFFFFFull / h->recordSize;
  uint64_t want = uint64_t(count) < maxCount ? uint64_t(count) : maxCount;
  uint64_t offset = h->firstRecord + uint64_t(first) * h->recordSize;
  bool reopened = false;
  while (want > 0) {
    os_SetLastError(OS_ERROR_SUCCESS);
    uint32_t got = 0;
    if (ReadMarked(header_ ? header_ : data_, offset, h, out, static_cast<uint32_t>(want), &got) == 0)
      return static_cast<int32_t>(got);
    uint32_t e = os_GetLastError();
    if (e == OS_ERROR_SUCCESS || e == OS_ERROR_NOT_READY || e == OS_ERROR_LOCK_VIOLATION || e == OS_ERROR_IO_PENDING) {
      want /= 2;
      reopened = false;
    } else if (reopened || Reopen() != 0) {
      return 0;
    } else {
      reopened = true;
    }
  }
  return 0;
}

int CLogFileStore::ReadLog(int64_t index, const LogFileHeader *h, void *out, uint32_t bytes, void *, void *, void *,
                           void *, void *) {
  if (!h || !out || index < 0 || h->recordSize == 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (ReadAt(h->firstRecord + uint64_t(index) * h->recordSize, out, bytes) != 0) return -1;
  log_MarkBadValues(h, out, bytes / h->recordSize);
  return 0;
}

int CLogFileStore::WriteLog(int64_t index, const LogFileHeader *h, const void *buf, uint32_t bytes) {
  if (!h || !buf || index < 0 || h->recordSize == 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  OsHandle handle = header_ ? header_ : data_;
  if (!handle) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  uint64_t at = h->firstRecord + uint64_t(index) * h->recordSize;
  // Only records that are there may be rewritten: past the end lies the lock.
  uint64_t limit = end_ ? end_ : h->firstRecord + uint64_t{h->recordCount} * h->recordSize;
  if (at + bytes > limit) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  const uint8_t *p = static_cast<const uint8_t *>(buf);
  for (uint64_t off = 0; off < bytes; off += h->recordSize)
    if (off + 2 > bytes || Get16(p + off) != LOG_RECORD_MARK) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  return WriteAll(handle, at, buf, bytes);
}

int64_t CLogFileStore::GetNoLogs(const LogFileHeader *h) {
  if (!h || h->recordSize == 0) return os_Fail(OS_ERROR_INVALID_DATA), -1;
  if (Remote()) {
    int64_t size = srv_RemoteFileOpenSize(server_, path_, &kRemoteRead);
    if (size < 0) return -1;
    return size < h->firstRecord ? 0 : (size - h->firstRecord) / h->recordSize;
  }
  OsHandle handle = header_ ? header_ : data_;
  if (!handle) return os_Fail(OS_ERROR_INVALID_HANDLE), -1;
  uint64_t size;
  if (os_GetFileSize(handle, &size) != 0) {
    if (Reopen() != 0 || os_GetFileSize(header_ ? header_ : data_, &size) != 0) return -1;
  }
  if (size < h->firstRecord) return 0;
  return static_cast<int64_t>((size - h->firstRecord) / h->recordSize);
}

int64_t CLogFileStore::CountChannelRows(const LogFileHeader *h) {
  if (!h) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  if (h->sigChange == 0) return 0;
  int64_t count = GetNoLogs(h);
  if (count < 0) return -1;
  uint8_t head[16];
  uint32_t n = h->recordSize < sizeof head ? h->recordSize : sizeof head;
  for (int64_t i = 0; i < count; ++i) {
    if (ReadAt(h->firstRecord + uint64_t(i) * h->recordSize, head, n) != 0) return -1;
    if (n < 4 || Get16(head + 2) == 0) return i;
  }
  return count;
}

int CLogFileStore::UseforLogging(uint32_t *endOffset) {
  char text[600];
  if (!endOffset || !path_[0]) return Report("No file name"), os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  const char *name = NamePart(path_);
  uint32_t tail = log_StampTail(name, ".odl");
  if (tail == 0) return Report("Bad file name"), os_SetLastError(OS_ERROR_SUCCESS), -1;

  // Take the whole file first: a run another description appends to is
  // refused before anything is touched.
  OsHandle probe = OpenRun(path_, OS_GENERIC_READ | OS_GENERIC_WRITE);
  if (!probe) return Report("Cant open1"), -1;
  if (os_LockFile(probe, 0, kWholeFile, true, false) != 0) return os_CloseHandle(probe), -1;
  LogFileImage image;
  uint32_t got = 0;
  uint64_t size = 0;
  if (os_ReadFileAt(probe, 0, &image, sizeof image, &got) != 0 || got != sizeof image ||
      os_GetFileSize(probe, &size) != 0 || image.recordSize == 0 || image.firstRecord < LOG_HEADER_SIZE)
    return os_CloseHandle(probe), os_Fail(OS_ERROR_INVALID_DATA), -1;
  uint64_t whole = size < image.firstRecord ? 0 : (size - image.firstRecord) / image.recordSize;
  uint64_t lastEnd = image.firstRecord + whole * image.recordSize, end = *endOffset;
  if (end == LOG_END_UNKNOWN) end = lastEnd;
  if (end < image.firstRecord || end > lastEnd || (end - image.firstRecord) % image.recordSize != 0)
    return os_CloseHandle(probe), os_Fail(OS_ERROR_INVALID_PARAMETER), -1;

  if (tail == LOG_CLOSED_STAMP_LEN) {
    char open[sizeof path_];
    size_t keep = strlen(path_) - tail + 13;
    snprintf(open, sizeof open, "%.*s.odl", static_cast<int>(keep), path_);
    if (data_) os_CloseHandle(data_), data_ = nullptr;
    os_UnlockFile(probe, 0, kWholeFile);
    if (os_MoveFile(path_, open) == 0) {
      snprintf(path_, sizeof path_, "%s", open);
    } else if (os_GetLastError() != OS_ERROR_SHARING_VIOLATION) {
      uint32_t e = os_GetLastError();
      snprintf(text, sizeof text, "Cant Move %s to %s Error %u", path_, open, e);
      Report(text);
      os_CloseHandle(probe);
      return os_Fail(e), -1;
    }
    if (os_LockFile(probe, 0, kWholeFile, true, false) != 0) return os_CloseHandle(probe), -1;
  }
  CloseHandles();
  data_ = probe;
  access_ |= OS_GENERIC_READ | OS_GENERIC_WRITE;
  header_ = OpenRun(path_, OS_GENERIC_READ | OS_GENERIC_WRITE);
  if (!header_) {
    Report("Cant open2");
    CloseHandles();
    return -1;
  }
  // Keep only the byte at the end locked (no moment without the lock), then
  // cut there.
  bool ok = os_UnlockFile(data_, end + 1, kWholeFile) == 0 && (end == 0 || os_UnlockFile(data_, 0, end) == 0);
  if (ok) ok = os_SetFilePointer(data_, static_cast<int64_t>(end), OS_FILE_BEGIN, nullptr) == 0 && SetEnd(data_) == 0;
  end_ = storedEnd_ = end;
  if (ok) ok = FlushHeader(0) == 0;
  if (!ok) {
    uint32_t e = os_GetLastError();
    Report("Cant lock");
    CloseHandles();
    end_ = storedEnd_ = 0;
    return os_Fail(e), -1;
  }
  *endOffset = log_EndWord(end);
  server_[0] = 0;
  return 0;
}

void CLogFileStore::GetName(char *out, uint32_t *size) {
  if (size) *size = sizeof path_;
  if (out) snprintf(out, sizeof path_, "%s", path_);
}

void CLogFileStore::Truncate(LogFileHeader *h, uint32_t records) {
  if (!h || !data_ || h->recordSize == 0 || end_ < h->firstRecord) return (void)os_Fail(OS_ERROR_INVALID_PARAMETER);
  uint64_t bytes = uint64_t{records} * h->recordSize;
  // More records than there are would cut into the header.
  if (bytes > end_ - h->firstRecord) return (void)os_Fail(OS_ERROR_INVALID_PARAMETER);
  uint64_t newEnd = end_ - bytes;
  if (newEnd == end_) return;
  if (os_LockFile(data_, newEnd, 1, true, false) != 0) return;
  if (os_SetFilePointer(data_, static_cast<int64_t>(newEnd), OS_FILE_BEGIN, nullptr) != 0 || SetEnd(data_) != 0) {
    uint32_t e = os_GetLastError();
    os_UnlockFile(data_, newEnd, 1);
    return (void)os_Fail(e);
  }
  os_UnlockFile(data_, end_, 1);
  end_ = storedEnd_ = newEnd;
}

int CLogFileStore::GetLastModified(int32_t *seconds) {
  char text[sizeof path_];
  OsFileInfo info;
  if (seconds && Remote()) {
    uint64_t times[3];
    if (!TextPath(path_, text, sizeof text) || !srv_RemoteFileTimes(server_, nullptr, text, times) ||
        times[2] < kFileTimeEpoch)
      return -1;
    *seconds = static_cast<int32_t>((times[2] - kFileTimeEpoch) / 10000000u);
    return 0;
  }
  std::string found;
  if (!seconds || !FindTextFile(nullptr, path_, &found) || os_GetFileInfo(found.c_str(), &info) != 0) return -1;
  int64_t latest = info.writeSeconds;
  if (txt_EventsFileOn()) {
    std::string events = std::string(path_, static_cast<size_t>(NamePart(path_) - path_)) + "events.txt";
    if (os_CheckAccess(events.c_str(), OS_GENERIC_READ) == 0 && os_GetFileInfo(events.c_str(), &info) == 0 &&
        info.writeSeconds > latest)
      latest = info.writeSeconds;
  }
  *seconds = static_cast<int32_t>(latest);
  return 0;
}

int CLogFileStore::Rename(const char *prefix) {
  if (!prefix || !path_[0]) return 0;
  char renamed[sizeof path_], textRenamed[sizeof path_];
  std::string text;
  bool hadText = FindTextFile(nullptr, path_, &text);
  if (!RenameWithPrefix(path_, ".odl", prefix, renamed, sizeof renamed)) return 0;
  // Later calls (Close, the collection's CloseRun) must find the file.
  snprintf(path_, sizeof path_, "%s", renamed);
  if (!hadText) return 1;
  return RenameWithPrefix(text.c_str(), ".txt", prefix, textRenamed, sizeof textRenamed);
}

void CLogFileStore::SetPath(const char *path) { snprintf(path_, sizeof path_, "%s", path ? path : ""); }

bool log_FindRunText(const char *path, std::string *out) { return FindTextFile(nullptr, path, out); }

bool CLogFileStore::Text(std::string *path) const {
  if (!path_[0]) return os_Fail(OS_ERROR_FILE_NOT_FOUND), false;
  FindTextFile(TextServer(), path_, path);
  if (path->empty()) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), false;
  return true;
}

int CLogFileStore::ReadSectionW(const char *section, uint16_t *out, uint32_t *capacity, void *, void *) {
  std::string t;
  if (!Text(&t)) return -1;
  int n = txt_ReadSectionW(t.c_str(), section, out, capacity, TextServer());
  return n < 0 ? -1 : n;
}

int CLogFileStore::ReadSectionLinesW(const char *section, uint16_t **lines, uint32_t *lineCount, uint16_t *buf,
                                     uint32_t *capacity, void *, void *) {
  std::string t;
  return Text(&t) ? txt_ReadSectionLinesW(t.c_str(), section, lines, lineCount, buf, capacity, TextServer()) : -1;
}

int CLogFileStore::WriteTextW(int32_t seconds, const uint16_t *text, const uint16_t *text2, const char *section) {
  return WriteTextAtW(TimeStamp{seconds, 0, 0}, text, text2, section);
}

int CLogFileStore::WriteTextAtW(TimeStamp at, const uint16_t *text, const uint16_t *text2, const char *section) {
  std::string t;
  return Text(&t) && txt_AddEntryW(t.c_str(), section, at, text, text2, TextServer()) == 0 ? 0 : -1;
}

int CLogFileStore::WriteHeaderTextW(const uint16_t *text) {
  std::string t;
  return Text(&t) && txt_ReplaceSectionW(t.c_str(), "[HEADER]", text, TextServer()) == 1 ? 0 : -1;
}

int CLogFileStore::ReadSection(const char *section, char *out, uint32_t *capacity, void *, void *) {
  std::string t;
  if (!Text(&t)) return -1;
  int n = txt_ReadSection(t.c_str(), section, out, capacity, TextServer());
  return n < 0 ? -1 : n;
}

int CLogFileStore::ReadSectionLines(const char *section, char **lines, uint32_t *lineCount, char *buf,
                                    uint32_t *capacity, void *, void *) {
  std::string t;
  return Text(&t) ? txt_ReadSectionLines(t.c_str(), section, lines, lineCount, buf, capacity, TextServer()) : -1;
}

int CLogFileStore::WriteText(int32_t seconds, const char *text, const char *text2, const char *section) {
  return WriteTextAt(TimeStamp{seconds, 0, 0}, text, text2, section);
}

int CLogFileStore::WriteTextAt(TimeStamp at, const char *text, const char *text2, const char *section) {
  std::string t;
  return Text(&t) && txt_AddEntry(t.c_str(), section, at, text, text2, TextServer()) == 0 ? 0 : -1;
}

int CLogFileStore::WritePosition(int32_t seconds, int flag, float value) {
  char text[64] = "";
  if (flag) snprintf(text, sizeof text, "%f", static_cast<double>(value));
  return WriteText(seconds, text, nullptr, "[POSITIONS]");
}

int CLogFileStore::WriteHeaderText(const char *text) {
  std::string t;
  return Text(&t) && txt_ReplaceSection(t.c_str(), "[HEADER]", text, TextServer()) == 1 ? 0 : -1;
}

int CLogFileStore::WriteFormulae(const char *prefix, int number, const char *text) {
  char section[64];
  snprintf(section, sizeof section, "[%1.2s_%d_FORMULAE]", prefix ? prefix : "", number);
  std::string t;
  return Text(&t) && txt_ReplaceSection(t.c_str(), section, text, TextServer()) == 1 ? 0 : -1;
}

int CLogFileStore::WriteUnitCategory(const char *category, const char *text) {
  char section[300];
  snprintf(section, sizeof section, "[%.280s_UNIT_CATEGORY]", category ? category : "");
  std::string t;
  return Text(&t) && txt_ReplaceSection(t.c_str(), section, text, TextServer()) == 1 ? 0 : -1;
}
