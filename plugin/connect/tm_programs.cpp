#include "plugin/connect/tm_programs.h"


#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/config/cfg_path.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "plugin/connect/tm_utils.h"

void tm_FolderProgramName(const char *processor, char *out, size_t size) {
  const char *p = processor ? processor : "";
  std::string name = p;
  for (const char *family : {"dudi", "vantx"}) {
    size_t n = strlen(family);
    if (os_CompareNoCaseN(p, family, n) == 0 && p[n] >= '0' && p[n] <= '9') name = family;
  }
  snprintf(out, size, "%.5s_%.2s", name.c_str(), "run");
}

int tm_RunFolderProgram(const char *folder, const char *processor, int enabled, int instance, char *status,
                        size_t statusSize) {
  if (!enabled) return 0;
  if (!folder || os_SetCurrentDirectory(folder) != 0) return -1;
  char program[16], number[16];
  tm_FolderProgramName(processor, program, sizeof program);
  snprintf(number, sizeof number, "%d", instance);
  // The folder's own program first, as Windows looks in the working folder.
  std::string own = std::string("./") + program;
  const char *argv[] = {os_CheckAccess(program, OS_GENERIC_EXECUTE) == 0 ? own.c_str() : program, number, nullptr};
  int rc = 0;
  OsHandle h = os_CreateProcessArgv(argv, nullptr);
  if (!h) {
    uint32_t err = os_GetLastError();
    if (status && statusSize) snprintf(status, statusSize, "CAN'T RUN - %04u", err);
    rc = -1;
  } else {
    while (os_WaitForSingleObject(h, 2000) == OS_WAIT_TIMEOUT) {
    }
    os_CloseHandle(h);
  }
  uint32_t err = os_GetLastError();
  os_SetCurrentDirectory("..");
  if (rc != 0) os_Fail(err);
  return rc;
}

namespace {

enum : size_t { kRingSize = 256 };

struct Pending {
  std::string file;
  std::string bytes;
};

}  // namespace

struct TmLogSet {
  std::string folder, suffix;
  uint32_t flushSeconds = 1, keepSeconds = 0;
  std::mutex lock;
  std::condition_variable wake, room;
  std::vector<Pending> ring;  // at most kRingSize pending writes
  std::string file;           // the current file's name
  std::atomic<uint32_t> writes{0};
  bool stop = false;
  uint64_t flushAsked = 0, flushDone = 0;
  std::thread writer;
};

namespace {

// Appends each run of writes to one file in one go.
bool WritePending(TmLogSet *s, std::vector<Pending> &batch) {
  bool ok = true;
  for (size_t i = 0; i < batch.size();) {
    std::string region = batch[i].bytes;
    size_t j = i + 1;
    for (; j < batch.size() && batch[j].file == batch[i].file; ++j) region += batch[j].bytes;
    std::string path = cfg_JoinPath(s->folder, batch[i].file.c_str());
    OsHandle h = os_CreateFile(path.c_str(), OS_GENERIC_WRITE, OS_FILE_SHARE_READ, OS_OPEN_ALWAYS, 0);
    uint32_t written = 0;
    if (!h || os_SetFilePointer(h, 0, OS_FILE_END, nullptr) != 0 ||
        os_WriteFile(h, region.data(), static_cast<uint32_t>(region.size()), &written) != 0 || written != region.size())
      ok = false;
    if (h) os_CloseHandle(h);
    ++s->writes;
    i = j;
  }
  return ok;
}

void RemoveOld(TmLogSet *s) {
  if (!s->keepSeconds) return;
  int64_t now = static_cast<int64_t>(time(nullptr));
  TmDir *d = tm_DirOpen(s->folder.c_str());
  if (!d) return;
  std::vector<std::string> old;
  while (const char *name = tm_DirNext(d)) {
    const char *stamp = tm_MatchStampedName(name, s->suffix.c_str());
    if (!stamp || stamp != name || strlen(name) != 13 + s->suffix.size()) continue;
    TmDateTime t{};
    auto two = [](const char *q) { return (q[0] - '0') * 10 + (q[1] - '0'); };
    int yy = two(stamp);
    t = {yy < 70 ? yy + 100 : yy, two(stamp + 2) - 1, two(stamp + 4), two(stamp + 7), two(stamp + 9), two(stamp + 11)};
    if (now - tm_MakeTime(&t) > static_cast<int64_t>(s->keepSeconds) && s->file != name) old.push_back(name);
  }
  tm_DirClose(d);
  for (const std::string &name : old) os_DeleteFile(cfg_JoinPath(s->folder, name.c_str()).c_str());
}

void Writer(TmLogSet *s) {
  std::unique_lock<std::mutex> g(s->lock);
  for (;;) {
    s->wake.wait_for(g, std::chrono::seconds(s->flushSeconds),
                     [s] { return s->stop || s->flushAsked != s->flushDone; });
    std::vector<Pending> batch;
    batch.swap(s->ring);
    uint64_t asked = s->flushAsked;
    bool stopping = s->stop;
    g.unlock();
    s->room.notify_all();
    WritePending(s, batch);
    RemoveOld(s);
    g.lock();
    s->flushDone = asked;
    s->room.notify_all();
    if (stopping && s->ring.empty()) return;
  }
}

}  // namespace

TmLogSet *tm_LogSetOpen(const char *folder, const char *suffix, uint32_t flushSeconds, uint32_t keepSeconds) {
  if (!folder || !*folder) return os_Fail(OS_ERROR_INVALID_PARAMETER), nullptr;
  auto *s = new TmLogSet;
  s->folder = folder;
  s->suffix = suffix ? suffix : "";
  s->flushSeconds = flushSeconds ? flushSeconds : 1;
  s->keepSeconds = keepSeconds;
  int64_t now = static_cast<int64_t>(time(nullptr));
  s->file = std::string(tm_StampName(&now)) + s->suffix;
  s->writer = std::thread(Writer, s);
  return s;
}

int tm_LogSetWrite(TmLogSet *s, const void *data, uint32_t size) {
  if (!s || (!data && size)) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::unique_lock<std::mutex> g(s->lock);
  if (s->ring.size() >= kRingSize) {
    s->flushAsked++;
    s->wake.notify_all();
    if (!s->room.wait_for(g, std::chrono::seconds(10), [s] { return s->ring.size() < kRingSize; }))
      return os_Fail(OS_ERROR_BUSY), -1;
  }
  s->ring.push_back({s->file, std::string(static_cast<const char *>(data), size)});
  return 0;
}

int tm_LogSetNewFile(TmLogSet *s, int64_t when) {
  if (!s) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::lock_guard<std::mutex> g(s->lock);
  s->file = std::string(tm_StampName(&when)) + s->suffix;
  return 0;
}

int tm_LogSetFlush(TmLogSet *s) {
  if (!s) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::unique_lock<std::mutex> g(s->lock);
  uint64_t ticket = ++s->flushAsked;
  s->wake.notify_all();
  s->room.wait(g, [s, ticket] { return s->flushDone >= ticket; });
  return 0;
}

const char *tm_LogSetFileName(const TmLogSet *s) { return s ? s->file.c_str() : nullptr; }
uint32_t tm_LogSetWriteCount(const TmLogSet *s) { return s ? s->writes.load() : 0; }

void tm_LogSetClose(TmLogSet *s) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> g(s->lock);
    s->stop = true;
  }
  s->wake.notify_all();
  s->writer.join();
  delete s;
}
