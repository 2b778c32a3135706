#include "plugin/loggers/prov_provider.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "framework/eventlog/sts_report.h"
#include "framework/registry/srv_hosts.h"
#include "framework/registry/reg_settings.h"
#include "framework/server/srv_requests.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "framework/xml/xml_doc.h"
#include "platform/os_file.h"
#include "platform/os_codepage.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_mapping.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_run_name.h"
#include "plugin/loggers/log_status.h"
#include "plugin/loggers/log_text.h"
#include "plugin/loggers/log_store.h"

namespace {

constexpr uint32_t kRead = OS_GENERIC_READ;

struct ProvSlot {
  CLogCollection *collection = nullptr;
  CLogStore *store = nullptr;
  LogFileHeader header{};
  char run[LOG_RUN_NAME_MAX + 1] = {};
  TimeStamp start{};
  std::vector<uint8_t> record;
  int64_t newest = -1;  // -1 none, -2 the count failed
  bool digital[LOG_MAX_BLOCKS] = {};
  char folder[260] = {};
  char logger[100] = {};
};

struct ProvEntry {
  std::string name;
  CLogStore *store = nullptr;
  LogFileHeader header{};
  std::vector<uint8_t> cache;  // whole records from 0, or empty
  int64_t records = 0;
  std::string text;
  TimeStamp first{}, last{};
  std::vector<std::string> updates;  // its update and backfill lines at the last rebuild, sorted
  uint32_t readAt = 0;               // the rebuild that last read its records
};

}  // namespace

struct LocalProvider {
  ProvSlot slot[2];
  CLogCollection *spare = nullptr;
  int database = 0;
  std::string connection;
  char server[260] = {};
  uint32_t refreshTick = 0, loadTick = 0, listTick = 0;
  bool refreshed = false, listed = false;
  std::vector<ProvEntry> runs;
  uint64_t cached = 0;  // record bytes the run list holds
  LoggerStatusRow rows[LOG_STATUS_ROWS];
  float values[LOG_STATUS_ROWS] = {};
  uint32_t status[LOG_STATUS_ROWS] = {};
  // Rows 1-32 as a live resubscriber of these runs publishes them.
  bool live = false;
  uint8_t liveRecords[LOG_STATUS_FEED_ROWS][CHAN_RECORD_SIZE] = {};
  uint32_t state = 0;
  uint32_t word = 0;  // written as owner
  ProvOwnerRecord *owner = nullptr;
  OsHandle ownerMutex = nullptr;
  bool opened = false;
  int webChannels = 0;  // 0 not yet counted, -1 unavailable
  uint32_t rebuilds = 0;
  // Update and backfill lines the latest rebuild found new, and the span of
  // data they changed; the count ends the history replies.
  int changedLines = 0;
  TimeStamp changedFrom{}, changedTo{};
  // Each request but "5S" to "8S" closes the slot stores after it, so the
  // runs' files are held only while a request reads them.
  bool closeAfterRequest = false;
};

namespace {

std::atomic_uint64_t g_cacheLimit{64ull << 20};
std::atomic_uint32_t g_newerRunMs{PROV_NEWER_RUN_MS};
std::atomic_uint32_t g_words{0};

// ---- Buffers the sending thread lends ----

struct LentBuffer {
  uintptr_t at;
  uint64_t size;
};
constexpr size_t kLentMax = 16;
thread_local LentBuffer t_lent[kLentMax];
thread_local size_t t_lentCount = 0;

// The address of [at, at + n) when the thread registered a buffer holding it.
void *LentAt(int64_t at, uint64_t n) {
  uintptr_t a = static_cast<uintptr_t>(at);
  for (size_t i = 0; i < t_lentCount; ++i) {
    const LentBuffer &b = t_lent[i];
    if (a >= b.at && a - b.at <= b.size && n <= b.size - (a - b.at)) return reinterpret_cast<void *>(a);
  }
  return nullptr;
}

// ---- Replies ----

struct Reply {
  uint8_t *p;
  uint32_t cap;
  uint32_t len = 0;
  bool over = false;
  void Put(const void *b, size_t n) {
    if (over || n > cap - len) {
      over = true;
      return;
    }
    if (n) memcpy(p + len, b, n);
    len += static_cast<uint32_t>(n);
  }
  void Text(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) Put(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
  }
  void U32(uint32_t v) { Put(&v, 4); }
  void U16(uint16_t v) { Put(&v, 2); }
  void End() { Put("", 1); }
};

// A complete text reply.
void Say(Reply *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void Say(Reply *r, const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  r->len = 0;
  r->over = false;
  r->Put(buf, strlen(buf) + 1);
}

void Fail(Reply *r, uint32_t err) { Say(r, "-1,%u", err); }

void Debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Debug(const char *fmt, ...) {
  char buf[600];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  os_OutputDebugString(buf);
}

bool Elapsed(uint32_t since, uint32_t ms) { return os_GetTickCount() - since >= ms; }

// ---- Records ----

TimeStamp RecordTime(const uint8_t *rec) {
  TimeStamp t;
  memcpy(&t, rec + LOG_RECORD_TIME, sizeof t);
  return t;
}

bool Earlier(const TimeStamp &a, const TimeStamp &b) {
  return a.seconds != b.seconds ? a.seconds < b.seconds : a.ms < b.ms;
}

uint32_t Get32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// Where a channel lies in a record of `h`: its block, the offsets of its
// status word and value. False when no block holds it or the header puts it
// past the record.
struct Where {
  int block;
  uint32_t status, value;
};
bool Locate(const LogFileHeader &h, const char prefix[2], uint32_t number, Where *w) {
  for (int b = 0; b < h.blockCount && b < int{LOG_MAX_BLOCKS}; ++b) {
    const LogChannelBlock &k = h.blocks[b];
    if (os_CompareNoCaseN(k.prefix, prefix, 2) != 0 || number < k.first || number > k.last) continue;
    uint64_t n = uint64_t{k.last} - k.first + 1, i = number - k.first;
    uint64_t s = k.statusOffset + 4 * i, v = k.statusOffset + 4 * n + 4 * i;
    if (v + 4 > h.recordSize) return false;
    *w = {b, static_cast<uint32_t>(s), static_cast<uint32_t>(v)};
    return true;
  }
  return false;
}

// "AI12": the prefix (one or two letters) and a number of up to five digits.
bool ParseTag(const char *s, size_t n, char prefix[2], uint32_t *number) {
  size_t i = 0;
  prefix[0] = prefix[1] = ' ';
  while (i < n && i < 2 && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) {
    prefix[i] = static_cast<char>(s[i] >= 'a' ? s[i] - 32 : s[i]);
    ++i;
  }
  if (i == 0) return false;
  size_t digits = n - i;
  if (digits == 0 || digits > 5) return false;
  uint32_t v = 0;
  for (; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + static_cast<uint32_t>(s[i] - '0');
  }
  *number = v;
  return true;
}

std::vector<std::string> Split(const std::string &s) {
  std::vector<std::string> out;
  size_t at = 0;
  while (true) {
    size_t c = s.find(',', at);
    out.push_back(s.substr(at, c == std::string::npos ? std::string::npos : c - at));
    if (c == std::string::npos) break;
    at = c + 1;
  }
  return out;
}

// Signed decimal numbers of a whole argument; false on anything else.
bool Number(const std::string &s, int64_t *v) {
  if (s.empty() || s.size() > 20) return false;
  char *end = nullptr;
  errno = 0;
  long long x = strtoll(s.c_str(), &end, 10);
  if (*end || errno == ERANGE) return false;
  *v = x;
  return true;
}

// ---- Opening and loading ----

// The next refresh opens the slot's newest run again.
void CloseSlotStore(ProvSlot *s) {
  if (s->store) s->store->Close();
  delete s->store;
  s->store = nullptr;
}

void DestroySlot(ProvSlot *s) {
  delete s->store;
  s->store = nullptr;
  delete s->collection;
  s->collection = nullptr;
}

int LoadSlot(LocalProvider *p, int i) {
  ProvSlot &s = p->slot[i];
  if (!s.collection) return 0;
  char name[LOG_RUN_NAME_MAX + 1];
  uint32_t cap = sizeof name;
  LogRunTime start{}, end{};
  if (!s.collection->FindRun(name, &cap, &start, &end, 1)) return -1;
  if (s.store && os_CompareNoCase(name, s.run) == 0) return 0;
  char path[LOG_CONNSTR_MAX + 300];
  uint32_t len = sizeof path;
  s.collection->GetStorePath(name, path, &len);
  if (len > sizeof path) return 0;
  CLogStore *store = log_CreateStore(p->database ? p->connection.c_str() : "");
  LogFileHeader h{};
  if (!store || store->Open(p->server[0] ? p->server : nullptr, path, kRead) != 0 || store->ReadHeader(&h) != 0 ||
      log_CheckHeader(&h) != 0 || store->GetNoLogs(&h) < 1) {
    delete store;
    return 0;
  }
  snprintf(s.run, sizeof s.run, "%s", name);
  s.start = {start.seconds, 0, 0};
  if (s.store) s.store->Close();
  delete s.store;
  s.store = store;
  s.header = h;
  s.record.assign(h.recordSize, 0);
  s.newest = -1;
  // A database keeps no block kind: its channel records tell.
  for (int b = 0; b < h.blockCount && b < int{LOG_MAX_BLOCKS}; ++b) {
    ChannelRecord c{};
    s.digital[b] = h.blocks[b].kind == LOG_KIND_DIGITAL ||
                   (store->ReadChannels(&h, &c, b, 0, 1) == 0 && chan_IsDigital(&c));
  }
  return 0;
}

int LoadRuns(LocalProvider *p) {
  for (int i = 0; i < 2; ++i)
    if (LoadSlot(p, i) != 0 && i == 0) return -1;
  p->loadTick = os_GetTickCount();
  return 0;
}

bool EndsNoCase(const char *s, const char *tail) {
  size_t n = strlen(s), t = strlen(tail);
  return n >= t && os_CompareNoCase(s + n - t, tail) == 0;
}

int OpenCollection(LocalProvider *p, int i, CLogCollection **out) {
  const char *conn = p->database ? p->connection.c_str() : "";
  CLogCollection *c = log_CreateCollection(conn);
  if (!c) return -1;
  if (c->Open(conn, p->slot[i].folder, p->slot[i].logger, "", kRead) != 0) {
    delete c;
    return -1;
  }
  *out = c;
  return 0;
}

// ---- Refreshing ----

bool SameText(const char *field, size_t width, const char *text) {
  size_t n = strnlen(field, width);
  return n == strlen(text) && os_CompareNoCaseN(field, text, n) == 0;
}

// A "resub" logger of the loggers table that serves these runs (its
// connection our server, empty when local; its path our folder, or for a
// database our logger name) publishes its own rows in the "LS" area: they
// are taken as they stand. False when there is none or its rows are not there.
bool LiveStatusRows(LocalProvider *p) {
  const uint32_t before = os_GetLastError();
  p->live = false;
  const ShmTable *t = shm_AttachLoggers() == 0 ? shm_LoggerTable() : nullptr;
  int32_t number = 0;
  const char *path = p->database ? p->slot[0].logger : p->slot[0].folder;
  for (int32_t i = 0; t && i < t->count && !number; ++i) {
    const LoggerRecord *r = reinterpret_cast<const LoggerRecord *>(t->first) + i;
    if (os_CompareNoCaseN(r->TypeName, "resub", 5) == 0 && SameText(r->Connection, sizeof r->Connection, p->server) &&
        *path && SameText(r->Path, sizeof r->Path, path))
      number = i + 1;
  }
  const DataProcessorRecord *proc = number && shm_AttachProcessors() == 0 ? shm_FindProcessor("logst") : nullptr;
  const char code[3] = {proc ? proc->Code[0] : '\0', proc ? proc->Code[1] : '\0', 0};
  void *data = code[0] && code[1] ? shm_OpenDataArea(code) : nullptr;
  void *conf = data ? shm_OpenConfArea(code) : nullptr;
  const int64_t base = int64_t{number - 1} * LOG_STATUS_FEED_ROWS, need = base + LOG_STATUS_FEED_ROWS;
  bool ok = conf && shm_AreaHeader(data)->entryWidth == 8 && shm_AreaHeader(data)->count >= need &&
            shm_DataLength(data) >= static_cast<int64_t>(sizeof(ChannelAreaHeader)) + 8 * int64_t{shm_AreaHeader(data)->count} &&
            shm_DataLength(conf) >= need * CHAN_RECORD_SIZE;
  if (ok && shm_Lock(data) == 0) {
    memcpy(p->status, shm_AreaStatusWords(data) + base, LOG_STATUS_FEED_ROWS * sizeof p->status[0]);
    memcpy(p->values, shm_AreaValues(data) + base, LOG_STATUS_FEED_ROWS * sizeof p->values[0]);
    shm_Unlock(data);
    if (shm_Lock(conf) == 0) {
      memcpy(p->liveRecords, shm_AreaRecords(conf) + base * CHAN_RECORD_SIZE, sizeof p->liveRecords);
      shm_Unlock(conf);
      p->live = true;
    }
  }
  if (p->live) {
    // The logger publishes no rows past 32: none stale are served.
    for (int i = LOG_STATUS_FEED_ROWS; i < LOG_STATUS_ROWS; ++i) {
      p->status[i] = LOG_STATUS_BAD | LOG_STATUS_PRESENT;
      p->values[i] = 0;
    }
  }
  os_SetLastError(before);
  return p->live;
}

void StatusRows(LocalProvider *p) {
  if (LiveStatusRows(p)) return;
  const ProvSlot &s = p->slot[0];
  char path[LOG_CONNSTR_MAX + 300] = {};
  LogProviderRun run{};
  if (s.store) {
    uint32_t len = sizeof path;
    s.collection->GetStorePath(s.run, path, &len);
    if (len > sizeof path) path[0] = 0;
    run.dataPath = path;
    run.database = p->database;
    run.hasStop = s.header.stop.seconds != 0;
    run.stopSeconds = s.header.stop.seconds;
    run.records = static_cast<int32_t>(std::min<int64_t>(s.newest + 1, INT32_MAX));
    if (s.newest >= 0) run.newestSeconds = RecordTime(s.record.data()).seconds;
  }
  memcpy(p->rows, log_StatusRows, sizeof p->rows);
  log_ProviderStatusRows(&run, p->rows, p->values, p->status);
}

// Re-reads the newest record of each slot.
void RefreshRecords(LocalProvider *p) {
  if (!p->refreshed || p->closeAfterRequest || Elapsed(p->refreshTick, PROV_REFRESH_MS)) {
    p->refreshed = true;
    p->refreshTick = os_GetTickCount();
    if (!p->slot[0].store) {
      LoadRuns(p);
    } else if (Elapsed(p->loadTick, g_newerRunMs.load())) {
      for (int i = 0; i < 2; ++i) {
        ProvSlot &s = p->slot[i];
        LogRunTime start{};
        if (s.collection && s.collection->FindRun(nullptr, nullptr, &start, nullptr, 1) &&
            start.seconds > s.start.seconds) {
          LoadRuns(p);
          break;
        }
      }
      p->loadTick = os_GetTickCount();
    }
    for (ProvSlot &s : p->slot) {
      if (!s.store) {
        s.newest = -1;
        continue;
      }
      int64_t count = s.store->GetNoLogs(&s.header);
      if (count < 0) {
        s.newest = -2;
        break;
      }
      if (count == s.newest + 1) continue;
      s.newest = -1;
      for (int64_t i = count - 1; i >= 0; --i) {
        if (s.store->ReadLog(i, &s.header, s.record.data(), s.header.recordSize, nullptr, nullptr, nullptr, nullptr,
                             nullptr) != 0)
          break;
        if (RecordTime(s.record.data()).seconds != 0) {
          s.newest = i;
          break;
        }
      }
    }
  }
}

// True when slot 0 has a newest record to serve; a failed refresh (memory
// short) is reported and the request served from what was read before.
bool Refresh(LocalProvider *p) {
  try {
    RefreshRecords(p);
  } catch (...) {
    sts_ReportErrorEvent(".", STS_EVENT_ERROR, "readmrf exception\r\n");
  }
  StatusRows(p);
  return p->slot[0].store && p->slot[0].newest >= 0;
}

// ---- The run list ----

int64_t CacheRoom(const LocalProvider *p) {
  uint64_t limit = g_cacheLimit.load();
  return p->cached >= limit ? 0 : static_cast<int64_t>(limit - p->cached);
}

int ReadTimeAt(void *ctx, int64_t i, TimeStamp *t);

struct TimeReader {
  ProvEntry *e;
  std::vector<uint8_t> buf;
};

int ReadTimeAt(void *ctx, int64_t i, TimeStamp *t) {
  auto *r = static_cast<TimeReader *>(ctx);
  ProvEntry &e = *r->e;
  if (i < 0 || i >= e.records) return -1;
  uint32_t size = e.header.recordSize;
  if (!e.cache.empty()) {
    *t = RecordTime(&e.cache[static_cast<size_t>(i) * size]);
    return 0;
  }
  r->buf.resize(size);
  if (e.store->ReadLog(i, &e.header, r->buf.data(), size, nullptr, nullptr, nullptr, nullptr, nullptr) != 0)
    return -1;
  *t = RecordTime(r->buf.data());
  return 0;
}

// Counts the entry's records anew, with its first and last times, and caches
// them while the provider's budget allows.
void CountEntry(LocalProvider *p, ProvEntry *e, bool force = false) {
  int64_t n = e->store->GetNoLogs(&e->header);
  if (n < 0) {
    Debug("Can't get size of GraphFiltered %s\r\n", e->name.c_str());
    n = 0;
  }
  if (n == e->records && n > 0 && !force) return;
  e->readAt = p->rebuilds;
  uint64_t size = e->header.recordSize;
  p->cached -= e->cache.size();
  e->cache.clear();
  e->cache.shrink_to_fit();
  e->records = n;
  if (n > 0 && static_cast<uint64_t>(n) * size <= static_cast<uint64_t>(CacheRoom(p))) {
    std::vector<uint8_t> all(static_cast<size_t>(n * static_cast<int64_t>(size)));
    int64_t got = 0;
    while (got < n) {
      int32_t want = static_cast<int32_t>(std::min<int64_t>(n - got, PROV_BATCH));
      int32_t r = e->store->ReadLogs(got, &e->header, &all[static_cast<size_t>(got) * size], want, nullptr, nullptr,
                                     nullptr);
      if (r <= 0) break;
      got += r;
    }
    if (got == n) {
      e->cache.swap(all);
      p->cached += e->cache.size();
    }
  }
  TimeReader tr{e, {}};
  if (n > 0) {
    ReadTimeAt(&tr, 0, &e->first);
    ReadTimeAt(&tr, n - 1, &e->last);
  }
}

void FreeEntry(LocalProvider *p, ProvEntry *e) {
  p->cached -= e->cache.size();
  e->cache.clear();
  delete e->store;
  e->store = nullptr;
}

void ReadText(CLogStore *store, const char *section, std::string *out) {
  out->clear();
  uint32_t cap = 0;
  if (store->ReadSection(section, nullptr, &cap, nullptr, nullptr) < 0 || cap <= 1) return;
  std::vector<char> buf(cap + 1, 0);
  uint32_t room = cap + 1;
  if (store->ReadSection(section, buf.data(), &room, nullptr, nullptr) < 0) return;
  out->assign(buf.data(), strnlen(buf.data(), buf.size()));
}

// Takes the entry's "SCAN UPDATES" and "BACKFILLS" lines (each the start and
// the end of a span of data that was written again, then any text); those
// not seen at the last rebuild are counted into *lines and widen the span.
void TakeUpdates(ProvEntry *e, int *lines, TimeStamp *from, TimeStamp *to) {
  std::vector<std::string> now;
  for (const char *section : {"SCAN UPDATES", "BACKFILLS"}) {
    std::string text;
    ReadText(e->store, section, &text);
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      at = end + 1;
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      TimeStamp start{}, stop{};
      size_t past = 0, past2 = 0;
      bool timeFirst = false;
      if (!txt_ParseStamp(line.data(), line.size(), &start, &past, &timeFirst) ||
          !txt_ParseStamp(line.data() + past, line.size() - past, &stop, &past2, &timeFirst))
        continue;
      line.insert(0, section);  // the same line in the other section is another change
      if (std::binary_search(e->updates.begin(), e->updates.end(), line)) {
        now.push_back(std::move(line));
        continue;
      }
      if (*lines == 0 || Earlier(start, *from)) *from = start;
      if (*lines == 0 || Earlier(*to, stop)) *to = stop;
      ++*lines;
      now.push_back(std::move(line));
    }
  }
  std::sort(now.begin(), now.end());
  e->updates.swap(now);
}

void CountWebChannels(LocalProvider *p);
bool Overlaps(const ProvEntry &e, bool fromSet, const TimeStamp &from, bool toSet, const TimeStamp &to);

void RebuildList(LocalProvider *p) {
  // Counted once; whole records are cached whatever the count.
  if (p->webChannels == 0 && !p->database) CountWebChannels(p);
  if (p->listed && !Elapsed(p->listTick, PROV_LIST_MS)) return;
  p->listed = true;
  p->listTick = os_GetTickCount();
  CLogCollection *c = p->slot[0].collection;
  if (!c || !c->FirstRun(nullptr)) return;
  char name[LOG_RUN_NAME_MAX + 1];
  LogRunTime s{}, e{};
  std::vector<std::string> names;
  while (c->NextRun(name, &s, &e)) names.emplace_back(name);
  ++p->rebuilds;
  // A run no longer listed was renamed when it closed (or removed): its
  // records come again under the new name.
  std::sort(names.begin(), names.end());
  for (size_t i = p->runs.size(); i-- > 0;)
    if (!std::binary_search(names.begin(), names.end(), p->runs[i].name)) {
      FreeEntry(p, &p->runs[i]);
      p->runs.erase(p->runs.begin() + static_cast<ptrdiff_t>(i));
    }
  for (const std::string &n : names) {
    auto at = std::lower_bound(p->runs.begin(), p->runs.end(), n,
                               [](const ProvEntry &x, const std::string &y) { return x.name < y; });
    if (at != p->runs.end() && at->name == n) {
      if (at->header.stop.seconds == 0) CountEntry(p, &*at);
      continue;
    }
    char path[LOG_CONNSTR_MAX + 300];
    uint32_t len = sizeof path;
    c->GetStorePath(n.c_str(), path, &len);
    if (len > sizeof path) continue;
    ProvEntry entry;
    entry.name = n;
    entry.store = log_CreateStore(p->database ? p->connection.c_str() : "");
    if (!entry.store || entry.store->Open(p->server[0] ? p->server : nullptr, path, kRead) != 0 ||
        entry.store->ReadHeader(&entry.header) != 0) {
      delete entry.store;
      continue;
    }
    if (entry.header.type != LOG_FILE_TYPE || entry.header.blockCount > LOG_MAX_BLOCKS ||
        log_CheckHeader(&entry.header) != 0) {
      Debug("Corrupt file GraphFiltered %s\r\n", n.c_str());
      delete entry.store;
      continue;
    }
    ReadText(entry.store, "TEXT", &entry.text);
    at = p->runs.insert(at, std::move(entry));
    CountEntry(p, &*at);
  }
  // Records written again since the last rebuild are read again where they
  // were kept (the runs read just now hold them already).
  p->changedLines = 0;
  for (ProvEntry &x : p->runs) TakeUpdates(&x, &p->changedLines, &p->changedFrom, &p->changedTo);
  if (p->changedLines > 0) {
    TimeStamp after = p->changedTo;
    ++after.ms;  // the span's last record too
    for (ProvEntry &x : p->runs)
      if (x.readAt != p->rebuilds && Overlaps(x, true, p->changedFrom, true, after)) CountEntry(p, &x, true);
  }
}

// ---- The WebHMI channel set ----

// `tail` beside the first "LOGGED_DATA" level of `folder` when that file
// exists, else under the named folder.
std::string WebFile(const char *folder, const std::string &tail, const std::string &named) {
  std::string f = folder;
  for (size_t at = 0; at <= f.size();) {
    size_t end = f.find_first_of("\\/", at);
    if (end == std::string::npos) end = f.size();
    if (end - at == 11 && os_CompareNoCaseN(f.c_str() + at, "LOGGED_DATA", 11) == 0) {
      std::string beside = f.substr(0, at) + "WEBHMI\\" + tail;
      if (os_GetFileAttributes(beside.c_str()) != OS_INVALID_FILE_ATTRIBUTES) return beside;
      break;
    }
    at = end + 1;
  }
  const char *web = srv_ResolveServerFolder(nullptr, "TSQ_WEBHMI");
  return std::string(web ? web : "") + "\\" + named;
}

void CollectElements(XmlNode *node, const char *const *names, std::vector<XmlNode *> *out) {
  for (XmlNode *c = xml_FirstChild(node); c; c = xml_NextSibling(c)) {
    char *n = xml_getName(c);
    for (const char *const *w = names; n && *w; ++w)
      if (strcmp(n, *w) == 0) out->push_back(c);
    xml_FreeText(n);
    CollectElements(c, names, out);
  }
}

std::string ChildText(XmlNode *node, const char *name) {
  XmlNode *c = xml_FindByName(node, name);
  char *t = c ? xml_getText(c) : nullptr;
  std::string s = t ? t : "";
  xml_FreeText(t);
  return s;
}

// The channels the web operator pages show: the menu's dashboards' channels.
void CountWebChannels(LocalProvider *p) {
  const char *folder = p->slot[0].folder;
  std::string menu = WebFile(folder, "menu.xml", "menu.xml");
  XmlDocument *doc = xml_CreateDocument();
  if (!doc || xml_Load(doc, menu.c_str()) != 0) {
    Debug("Can't read menu file %s to determine number of WebHMIChannels\r\n", menu.c_str());
    xml_ReleaseDocument(doc);
    p->webChannels = -1;
    return;
  }
  static const char *const kItem[] = {"Item", nullptr};
  static const char *const kAll[] = {"channel", "XChannel", nullptr};
  static const char *const kPlain[] = {"channel", nullptr};
  bool rimfold = strcmp(prod_GetProductName(), "Rimfold") == 0;
  std::vector<XmlNode *> items;
  CollectElements(xml_DocumentNode(doc), kItem, &items);
  std::vector<std::pair<std::string, int>> set;
  for (XmlNode *item : items) {
    char *t = xml_getText(item);
    std::string name = t ? t : "";
    xml_FreeText(t);
    std::string path = WebFile(folder, "DASHBOARDS\\" + name, "DASHBOARDS\\" + name);
    XmlDocument *d = xml_CreateDocument();
    if (name.empty() || !d || xml_Load(d, path.c_str()) != 0) {
      Debug("Can't read dashboard %s to determine number of WebHMIChannels\r\n", path.c_str());
      xml_ReleaseDocument(d);
      continue;
    }
    std::vector<XmlNode *> chans;
    CollectElements(xml_DocumentNode(d), rimfold ? kPlain : kAll, &chans);
    for (XmlNode *c : chans) {
      std::string prefix = ChildText(c, "prefix").substr(0, 2);
      short number = 0;
      if (prefix.empty() || sscanf(ChildText(c, "no").c_str(), "%hd", &number) != 1 || number == 0) continue;
      for (char &ch : prefix) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
      std::pair<std::string, int> key{prefix, number};
      if (std::find(set.begin(), set.end(), key) == set.end()) set.push_back(key);
    }
    xml_ReleaseDocument(d);
  }
  xml_ReleaseDocument(doc);
  std::sort(set.begin(), set.end());
  p->webChannels = static_cast<int>(set.size());
  if (set.empty()) Debug("No WebHMIChannels for %s\r\n", folder);
  else Debug("%d WebHMIChannels for %s\r\n", p->webChannels, folder);
}

bool Overlaps(const ProvEntry &e, bool fromSet, const TimeStamp &from, bool toSet, const TimeStamp &to) {
  if (e.records <= 0) return false;
  if (fromSet && Earlier(e.last, from)) return false;
  if (toSet && !Earlier(e.first, to)) return false;
  return true;
}

// ---- Requests ----

const ProvSlot &ListingSlot(const LocalProvider *p) { return p->slot[1].store ? p->slot[1] : p->slot[0]; }

struct Pseudo {
  char prefix[2];
  int last;
  char kind;
  std::string description;
};

std::vector<Pseudo> Processors(const LocalProvider *p, bool *hasStatus) {
  std::vector<Pseudo> out;
  *hasStatus = false;
  const ProvSlot &s = ListingSlot(p);
  if (!s.store) return out;
  for (int b = 0; b < s.header.blockCount && b < int{LOG_MAX_BLOCKS}; ++b) {
    const LogChannelBlock &k = s.header.blocks[b];
    if (os_CompareNoCaseN(k.prefix, "LS", 2) == 0) *hasStatus = true;
    auto at = std::find_if(out.begin(), out.end(),
                           [&](const Pseudo &x) { return os_CompareNoCaseN(x.prefix, k.prefix, 2) == 0; });
    if (at != out.end()) {
      at->last = std::max<int>(at->last, k.last);
      continue;
    }
    Pseudo q{{k.prefix[0], k.prefix[1]}, k.last, s.digital[b] ? 'D' : 'A', {}};
    std::string src(k.source, strnlen(k.source, sizeof k.source));
    if (src.empty()) {
      char d[32];
      snprintf(d, sizeof d, "%.2s CHANNELS", q.prefix);
      src = d;
    }
    q.description = src;
    out.push_back(q);
  }
  return out;
}

std::string PseudoName(size_t k) {
  char n[8];
  char row = k < 26 ? 'A' : k < 52 ? 'B' : 'C';
  size_t at = k < 26 ? k : k < 52 ? k - 26 : k - 52;
  snprintf(n, sizeof n, "CUST%c%c", row, static_cast<char>('A' + std::min<size_t>(at, 255 - 'A')));
  return n;
}

void ListProcessors(LocalProvider *p, const std::string &selector, bool tp, Reply *r) {
  bool hasStatus = false;
  std::vector<Pseudo> list = Processors(p, &hasStatus);
  size_t total = list.size() + (hasStatus ? 0 : 1);
  std::vector<size_t> chosen;
  if (selector.size() >= 2 && selector[0] == '*' && selector[1] == ',') {
    int64_t n = 0;
    if (!Number(selector.substr(2), &n)) n = 0;
    for (size_t k = 0; k < total && static_cast<int64_t>(k) < n; ++k) chosen.push_back(k);
  } else {
    for (size_t k = 0; k < total; ++k) {
      std::string name = k < list.size() ? PseudoName(k) : "logst";
      if (os_CompareNoCase(name.c_str(), selector.c_str()) == 0) chosen.push_back(k);
    }
  }
  if (chosen.empty()) return Say(r, "0,");
  r->Text("1,");
  for (size_t k : chosen) {
    if (tp) r->Text("1,1,");
    else if (k < list.size())
      r->Text("%s,%s,%.2s:%d,0,%c;", PseudoName(k).c_str(), list[k].description.c_str(), list[k].prefix, list[k].last,
              list[k].kind);
    else
      r->Text("logst,LOGGER STATUS CHANNELS,LS:56,0,A;");
  }
  r->End();
}

// The status channel record of logger-status row n (1-56).
void StatusChannel(const LocalProvider *p, int n, ChannelRecord *out) {
  if (p->live && n <= LOG_STATUS_FEED_ROWS) return (void)memcpy(out, p->liveRecords[n - 1], sizeof *out);
  const LoggerStatusRow &row = p->rows[n - 1];
  memset(out, 0, sizeof *out);
  char tag[32];
  snprintf(tag, sizeof tag, "%04d_%.10s", 1, row.tag);
  chan_SetTag(out, tag);
  char d[sizeof row.description + 1];
  snprintf(d, sizeof d, "%.*s", static_cast<int>(sizeof row.description), row.description);
  chan_SetDescription(out, d);
  char t1[33], t2[33];
  snprintf(t1, sizeof t1, "%.*s", 32, row.text1);
  snprintf(t2, sizeof t2, "%.*s", 32, row.text2);
  if (n <= LOG_STATUS_DIGITAL_ROWS) {
    out->raw[CHAN_TYPE_OFFSET] = 3;
    chan_PutText32(out, CHAN_HIGH_STATE_TEXT_OFFSET, t1);
    chan_PutText32(out, 64, t2);
  } else {
    out->raw[CHAN_TYPE_OFFSET] = 2;
    chan_SetUnits(out, t1);
  }
  chan_SetFlagBit(out, CHAN_FLAG_ENABLE, true);
}

// The slot whose header holds `prefix`, or -1.
int SlotOf(const LocalProvider *p, const char prefix[2]) {
  for (int i = 0; i < 2; ++i) {
    const ProvSlot &s = p->slot[i];
    if (!s.store) continue;
    for (int b = 0; b < s.header.blockCount && b < int{LOG_MAX_BLOCKS}; ++b)
      if (os_CompareNoCaseN(s.header.blocks[b].prefix, prefix, 2) == 0) return i;
  }
  return -1;
}

// The channel groups of "CV" and "RV": a tag, then plain numbers.
struct Group {
  char prefix[2];
  std::vector<uint32_t> numbers;
};
// A tag whose prefix is a letter and a digit ("A12": area A1's channel 2)
// names that prefix when a run holds it and holds no one-letter "A".
bool AreaTag(const LocalProvider *p, const std::string &a, Group *g) {
  if (a.size() < 2 || a.size() > 7 || !isalpha(static_cast<unsigned char>(a[0])) ||
      !isdigit(static_cast<unsigned char>(a[1])))
    return false;
  const char two[2] = {static_cast<char>(toupper(static_cast<unsigned char>(a[0]))), a[1]};
  const char one[2] = {two[0], ' '};
  if (SlotOf(p, two) < 0 || SlotOf(p, one) >= 0) return false;
  int64_t v = 0;
  if (a.size() > 2 && (!Number(a.substr(2), &v) || v < 0 || v > 99999)) return false;
  memcpy(g->prefix, two, 2);
  if (a.size() > 2) g->numbers.push_back(static_cast<uint32_t>(v));
  return true;
}

bool Groups(const LocalProvider *p, const std::vector<std::string> &args, std::vector<Group> *out) {
  for (const std::string &a : args) {
    if (a.empty()) continue;
    if (a[0] >= '0' && a[0] <= '9') {
      int64_t v = 0;
      if (out->empty() || !Number(a, &v) || v < 0 || v > 99999) return false;
      out->back().numbers.push_back(static_cast<uint32_t>(v));
      continue;
    }
    Group g{};
    uint32_t n = 0;
    if (AreaTag(p, a, &g)) {
      out->push_back(g);
      continue;
    }
    // A prefix alone ("AI,2", as a new run asks for its channel records)
    // names the group; its numbers follow.
    bool bare = a.size() <= 2;
    for (char c : a) bare = bare && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
    if (bare) {
      g.prefix[0] = g.prefix[1] = ' ';
      for (size_t i = 0; i < a.size(); ++i) g.prefix[i] = static_cast<char>(a[i] >= 'a' ? a[i] - 32 : a[i]);
    } else {
      if (!ParseTag(a.data(), a.size(), g.prefix, &n)) return false;
      g.numbers.push_back(n);
    }
    out->push_back(g);
  }
  return true;
}

void GroupStart(const LocalProvider *p, const Group &g, Reply *r) {
  int i = SlotOf(p, g.prefix);
  r->U32(i < 0 ? 0 : static_cast<uint32_t>(p->slot[i].start.seconds));
  r->U16(i < 0 ? 0 : static_cast<uint16_t>(p->slot[i].start.ms));
}

bool IsStatus(const char prefix[2], uint32_t n) {
  return prefix[0] == 'L' && prefix[1] == 'S' && n >= 1 && n <= LOG_STATUS_ROWS;
}

void ChannelValues(LocalProvider *p, const std::vector<std::string> &args, Reply *r) {
  std::vector<Group> groups;
  if (args.empty() || args[0].empty()) return Say(r, "0");
  if (!Groups(p, args, &groups)) return Fail(r, OS_ERROR_INVALID_PARAMETER);
  r->Text("1,");
  for (const Group &g : groups) {
    GroupStart(p, g, r);
    for (uint32_t n : g.numbers) {
      ChannelRecord c;
      if (IsStatus(g.prefix, n)) {
        StatusChannel(p, static_cast<int>(n), &c);
        r->Put(&c, sizeof c);
        continue;
      }
      memset(&c, 0, sizeof c);
      int i = SlotOf(p, g.prefix);
      Where w{};
      if (i >= 0 && Locate(p->slot[i].header, g.prefix, n, &w)) {
        const LogChannelBlock &k = p->slot[i].header.blocks[w.block];
        if (p->slot[i].store->ReadChannels(&p->slot[i].header, &c, w.block, static_cast<int>(n - k.first), 1) != 0)
          memset(&c, 0, sizeof c);
        if (c.raw[CHAN_TYPE_OFFSET] == 3) c.raw[CHAN_TYPE_OFFSET] = 1;
        else if (c.raw[CHAN_TYPE_OFFSET] == 2) c.raw[CHAN_TYPE_OFFSET] = 0;
      }
      r->Put(&c, sizeof c);
    }
  }
}

// Status and value of a channel in slot i's newest record.
bool SlotValue(const LocalProvider *p, int i, const char prefix[2], uint32_t n, uint32_t *status, uint32_t *value) {
  const ProvSlot &s = p->slot[i];
  Where w{};
  if (!s.store || s.newest < 0 || !Locate(s.header, prefix, n, &w)) return false;
  *status = Get32(&s.record[w.status]) & ~0x40u;
  *value = Get32(&s.record[w.value]);
  // A digital value stored as a number (databases) reads as its state bit.
  if (s.digital[w.block] && (*status & LOG_STATUS_PRESENT) && !(*status & LOG_STATUS_BAD)) {
    float f;
    memcpy(&f, value, 4);
    *status = (*status & ~(LOG_STATUS_PRESENT | 1u)) | (static_cast<int64_t>(f) & 1);
  }
  return true;
}

void ReadValues(LocalProvider *p, const std::vector<std::string> &args, Reply *r) {
  std::vector<Group> groups;
  if (args.empty() || args[0].empty()) return Say(r, "0");
  if (!Groups(p, args, &groups)) return Fail(r, OS_ERROR_INVALID_PARAMETER);
  bool partner = false;
  const ProvSlot &s0 = p->slot[0], &s1 = p->slot[1];
  if (s1.store && s1.newest >= 0 && s0.newest >= 0) {
    int64_t d = int64_t{RecordTime(s1.record.data()).seconds} - RecordTime(s0.record.data()).seconds;
    partner = d <= PROV_PARTNER_WINDOW_S && d >= -int64_t{PROV_PARTNER_WINDOW_S};
  }
  r->Text("1,");
  for (const Group &g : groups) {
    GroupStart(p, g, r);
    for (uint32_t n : g.numbers) {
      uint32_t st = LOG_STATUS_BAD, v = 0;
      if (IsStatus(g.prefix, n)) {
        st = p->status[n - 1];
        memcpy(&v, &p->values[n - 1], 4);
        // Digital rows carry their state in the status word.
        if (n <= LOG_STATUS_DIGITAL_ROWS && !(st & LOG_STATUS_BAD) && p->values[n - 1] != 0) st |= 1;
      } else {
        bool in0 = SlotValue(p, 0, g.prefix, n, &st, &v);
        uint32_t st1 = 0, v1 = 0;
        // The partner stands in where the primary has no good value.
        if ((!in0 || (st & LOG_STATUS_BAD)) && partner && SlotValue(p, 1, g.prefix, n, &st1, &v1)) {
          st = st1;
          v = v1;
        } else if (!in0) {
          st = LOG_STATUS_BAD;
        }
      }
      r->U32(st);
      if ((st & LOG_STATUS_PRESENT) && !(st & LOG_STATUS_BAD)) r->U32(v);
    }
  }
}

void FindTags(LocalProvider *p, const std::vector<std::string> &args, Reply *r) {
  r->Text("1,");
  for (const std::string &tag : args) {
    uint8_t found[4] = {};
    bool done = tag.empty() || tag.size() > PROV_TAG_MAX;
    for (int i = 0; i < 2 && !done; ++i) {
      ProvSlot &s = p->slot[i];
      if (!s.store) continue;
      for (int b = 0; b < s.header.blockCount && b < int{LOG_MAX_BLOCKS} && !done; ++b) {
        const LogChannelBlock &k = s.header.blocks[b];
        if (k.last < k.first) continue;
        std::vector<ChannelRecord> recs(k.last - k.first + 1u);
        if (s.store->ReadChannels(&s.header, recs.data(), b, 0, static_cast<int>(recs.size())) != 0) continue;
        for (size_t c = 0; c < recs.size(); ++c) {
          if (os_CompareNoCase(chan_GetTag(&recs[c]), tag.c_str()) != 0) continue;
          uint16_t num = static_cast<uint16_t>(k.first + c);
          memcpy(found, k.prefix, 2);
          memcpy(found + 2, &num, 2);
          done = true;
          break;
        }
      }
    }
    r->Put(found, 4);
  }
}

// Every run of the primary logger: name, start and end times.
struct Listed {
  std::string name;
  int32_t start, end;
};
std::vector<Listed> AllRuns(const LocalProvider *p, int slot = 0) {
  std::vector<Listed> out;
  CLogCollection *c = p->slot[slot].collection;
  if (!c || !c->FirstRun(nullptr)) return out;
  char name[LOG_RUN_NAME_MAX + 1];
  LogRunTime s{}, e{};
  while (c->NextRun(name, &s, &e)) out.push_back({name, s.seconds, e.seconds});
  return out;
}

void EarliestStart(LocalProvider *p, Reply *r) {
  std::vector<Listed> runs = AllRuns(p);
  if (runs.empty()) return Fail(r, OS_ERROR_NO_MORE_ITEMS);
  int32_t first = runs[0].start;
  for (const Listed &l : runs) first = std::min(first, l.start);
  Say(r, "1,%u", static_cast<uint32_t>(first));
}

void LatestEnd(LocalProvider *p, Reply *r) {
  std::vector<Listed> runs = AllRuns(p);
  if (runs.empty()) return Fail(r, OS_ERROR_NO_MORE_ITEMS);
  int32_t last = 0;
  int64_t total = 0;
  for (const Listed &l : runs) {
    char path[LOG_CONNSTR_MAX + 300];
    uint32_t len = sizeof path;
    p->slot[0].collection->GetStorePath(l.name.c_str(), path, &len);
    CLogStore *st = len <= sizeof path ? log_CreateStore(p->database ? p->connection.c_str() : "") : nullptr;
    LogFileHeader h{};
    int32_t end = l.end;
    if (st && st->Open(p->server[0] ? p->server : nullptr, path, kRead) == 0 && st->ReadHeader(&h) == 0 &&
        log_CheckHeader(&h) == 0) {
      int64_t n = st->GetNoLogs(&h);
      if (n > 0) {
        total += n;
        // An open run ends at its newest record.
        std::vector<uint8_t> rec(h.recordSize);
        if (end == 0 && st->ReadLog(n - 1, &h, rec.data(), h.recordSize, nullptr, nullptr, nullptr, nullptr,
                                    nullptr) == 0)
          end = RecordTime(rec.data()).seconds;
      }
    }
    delete st;
    last = std::max(last, end);
  }
  Say(r, "1,%u,%d", static_cast<uint32_t>(last), static_cast<int>(std::min<int64_t>(total, INT32_MAX)));
}

void Summary(LocalProvider *p, const std::vector<std::string> &args, Reply *r) {
  int64_t a[4] = {};
  for (size_t i = 0; i < 4; ++i)
    if (i >= args.size() || !Number(args[i], &a[i])) return Fail(r, OS_ERROR_INVALID_PARAMETER);
  RebuildList(p);
  if (p->runs.empty()) return Fail(r, OS_ERROR_NO_MORE_ITEMS);
  TimeStamp from{static_cast<int32_t>(a[1]), 0, 0}, to{static_cast<int32_t>(a[3]), 0, 0};
  uint32_t first = 0, last = 0, records = 0, text = 0;
  bool any = false;
  for (const ProvEntry &e : p->runs) {
    if (!Overlaps(e, a[0] != 0, from, a[2] != 0, to)) continue;
    uint32_t f = static_cast<uint32_t>(e.first.seconds);
    if (!any || f < first) first = f;
    any = true;
    if (e.records > 1) last = std::max(last, static_cast<uint32_t>(e.last.seconds) + 1);
    records += static_cast<uint32_t>(std::min<int64_t>(e.records, UINT32_MAX - records));
    text += static_cast<uint32_t>(e.text.size());
  }
  if (text) ++text;
  Say(r, "1,%u,%u,%u,%u,%d", first, last, records, text, p->changedLines);
}

void Section(LocalProvider *p, const std::vector<std::string> &args, Reply *r) {
  if (args.size() < 3 || args[0].empty() || args[0].size() > PROV_SECTION_MAX) return Say(r, "-1,0");
  int64_t at = 0, cap = 0;
  if (!Number(args[1], &at) || !Number(args[2], &cap) || cap < 0) return Fail(r, OS_ERROR_INVALID_PARAMETER);
  char *out = static_cast<char *>(LentAt(at, static_cast<uint64_t>(cap)));
  if (!out && cap) return Fail(r, OS_ERROR_INVALID_PARAMETER);
  RebuildList(p);
  std::string text;
  if (os_CompareNoCase(args[0].c_str(), "HEADER") == 0) {
    if (p->slot[0].store) ReadText(p->slot[0].store, "HEADER", &text);
  } else {
    for (const ProvEntry &e : p->runs) {
      if (text.size() + e.text.size() + 1 > static_cast<uint64_t>(cap)) break;
      text += e.text;
    }
  }
  if (text.size() + 1 > static_cast<uint64_t>(cap)) text.resize(cap > 0 ? static_cast<size_t>(cap - 1) : 0);
  if (cap) {
    memcpy(out, text.data(), text.size());
    out[text.size()] = 0;
  }
  Say(r, "1,%u", static_cast<uint32_t>(text.size()));
}

// ---- History ----

struct Listed7 {
  char prefix[2];
  uint32_t number;
};

// One history read: into the lent arrays, records of every overlapping
// entry in order. `changes` (8S): only records whose values differ from the
// one delivered before, each with the count of records passed over.
int History(LocalProvider *p, const std::vector<std::string> &args, bool eight, Reply *r) {
  size_t want = eight ? 11 : 10;
  int64_t a[11] = {};
  if (args.size() < want) return Fail(r, OS_ERROR_INVALID_PARAMETER), 1;
  for (size_t i = 0; i < want; ++i)
    if (!Number(args[i], &a[i])) return Fail(r, OS_ERROR_INVALID_PARAMETER), 1;
  // Lent buffers need not be aligned: every access is a byte copy.
  const void *fromAt = a[0] ? LentAt(a[1], sizeof(TimeStamp)) : nullptr;
  const void *toAt = a[2] ? LentAt(a[3], sizeof(TimeStamp)) : nullptr;
  if ((a[0] && !fromAt) || (a[2] && !toAt)) return Fail(r, OS_ERROR_INVALID_PARAMETER), 1;
  // The channel list: a text within its lent buffer.
  const char *list = nullptr;
  for (size_t i = 0; i < t_lentCount && !list; ++i) {
    uintptr_t x = static_cast<uintptr_t>(a[4]);
    const LentBuffer &b = t_lent[i];
    if (x >= b.at && x - b.at < b.size && memchr(reinterpret_cast<const void *>(x), 0, b.size - (x - b.at)))
      list = reinterpret_cast<const char *>(x);
  }
  if (!list) return Fail(r, OS_ERROR_INVALID_PARAMETER), 1;
  std::vector<Listed7> chans;
  if (*list) {
    for (const std::string &t : Split(list)) {
      Listed7 c{};
      if (!ParseTag(t.data(), t.size(), c.prefix, &c.number)) return Fail(r, OS_ERROR_INVALID_PARAMETER), 1;
      chans.push_back(c);
    }
  }
  if (a[5] < 0 || a[5] > UINT32_MAX || a[9] < 0 || a[9] > INT32_MAX) return Fail(r, OS_ERROR_INVALID_PARAMETER), 1;
  uint64_t capacity = static_cast<uint64_t>(a[5]), textCap = static_cast<uint64_t>(a[9]);
  auto *times = static_cast<uint8_t *>(LentAt(a[6], capacity * sizeof(TimeStamp)));
  auto *values = static_cast<uint8_t *>(LentAt(a[7], capacity * chans.size() * 4));
  auto *text = static_cast<char *>(LentAt(a[8], textCap));
  auto *passed = static_cast<uint8_t *>(eight ? LentAt(a[10], capacity * 4) : nullptr);
  if ((!times && capacity) || (!values && capacity && !chans.empty()) || (!text && textCap) ||
      (eight && !passed && capacity))
    return Fail(r, OS_ERROR_INVALID_PARAMETER), 1;
  if (chans.empty()) {
    Debug("No RT Records GraphFiltered for %d:d\r\n", 0);
    return 0;
  }
  TimeStamp from{}, to{};
  if (fromAt) memcpy(&from, fromAt, sizeof from);
  if (toAt) memcpy(&to, toAt, sizeof to);
  RebuildList(p);
  if (p->runs.empty()) return Fail(r, OS_ERROR_NO_MORE_ITEMS), 1;
  if (!fromAt) {
    from = p->runs[0].first;
    for (const ProvEntry &e : p->runs)
      if (e.records > 0 && Earlier(e.first, from)) from = e.first;
  }
  if (!toAt) {
    for (const ProvEntry &e : p->runs)
      if (e.records > 0 && Earlier(to, e.last)) to = e.last;
    to.seconds += 1;
  }
  uint64_t delivered = 0, textLen = 0;
  if (text && textCap) text[0] = 0;
  TimeStamp lastOut = from;
  std::vector<uint8_t> batch, previous;
  uint32_t skipped = 0;
  for (ProvEntry &e : p->runs) {
    if (text && e.text.size() > 0 && textLen + e.text.size() + 1 <= textCap) {
      memcpy(text + textLen, e.text.data(), e.text.size());
      textLen += e.text.size();
      text[textLen] = 0;
    }
    if (delivered >= capacity || !Overlaps(e, true, lastOut, true, to)) continue;
    std::vector<Where> where(chans.size());
    std::vector<char> has(chans.size());
    for (size_t c = 0; c < chans.size(); ++c) has[c] = Locate(e.header, chans[c].prefix, chans[c].number, &where[c]);
    TimeReader tr{&e, {}};
    int64_t i = prov_FindRecord(e.records, lastOut, ReadTimeAt, &tr);
    if (i < 0) return Fail(r, OS_ERROR_READ_FAULT), 1;
    uint32_t size = e.header.recordSize;
    while (i < e.records && delivered < capacity) {
      const uint8_t *recs;
      int64_t n;
      if (!e.cache.empty()) {
        recs = &e.cache[static_cast<size_t>(i) * size];
        n = e.records - i;
      } else {
        int32_t want32 = static_cast<int32_t>(std::min<int64_t>(e.records - i, PROV_BATCH));
        batch.resize(static_cast<size_t>(want32) * size);
        n = e.store->ReadLogs(i, &e.header, batch.data(), want32, nullptr, nullptr, nullptr);
        if (n <= 0) return Fail(r, OS_ERROR_READ_FAULT), 1;
        recs = batch.data();
      }
      bool past = false;
      for (int64_t k = 0; k < n && delivered < capacity; ++k) {
        const uint8_t *rec = recs + static_cast<size_t>(k) * size;
        TimeStamp t = RecordTime(rec);
        if (!Earlier(t, to)) {
          past = true;
          break;
        }
        if (Earlier(t, lastOut)) continue;
        uint8_t *row = values ? values + delivered * chans.size() * 4 : nullptr;
        if (eight) {
          bool same = !previous.empty();
          for (size_t c = 0; c < chans.size() && same; ++c)
            same = has[c] ? memcmp(&previous[c * 8], rec + where[c].status, 4) == 0 &&
                                memcmp(&previous[c * 8 + 4], rec + where[c].value, 4) == 0
                          : true;
          if (same) {
            ++skipped;
            continue;
          }
          previous.resize(chans.size() * 8);
          for (size_t c = 0; c < chans.size(); ++c)
            if (has[c]) {
              memcpy(&previous[c * 8], rec + where[c].status, 4);
              memcpy(&previous[c * 8 + 4], rec + where[c].value, 4);
            }
          memcpy(passed + delivered * 4, &skipped, 4);
          skipped = 0;
        }
        memcpy(times + delivered * sizeof t, &t, sizeof t);
        for (size_t c = 0; c < chans.size(); ++c) {
          uint8_t *cell = row + c * 4;
          if (!has[c]) {
            uint32_t missing = 2147483647u;
            memcpy(cell, &missing, 4);
            continue;
          }
          uint32_t st = Get32(rec + where[c].status);
          if (st & LOG_STATUS_BAD) continue;
          if (st & LOG_STATUS_PRESENT) {
            memcpy(cell, rec + where[c].value, 4);
          } else {
            float f = (st & 1) ? 1.0f : 0.0f;
            memcpy(cell, &f, 4);
          }
        }
        lastOut = t;
        ++delivered;
      }
      if (past) break;
      i += n;
    }
  }
  Say(r, "1,%u,%u,%d", static_cast<uint32_t>(delivered), static_cast<uint32_t>(textLen), p->changedLines);
  return 1;
}

// Under the owner mutex (waited for without limit): `act` on the record.
template <class Act>
bool WithOwner(LocalProvider *p, Act act) {
  uint32_t w = os_WaitMutex(p->ownerMutex, OS_INFINITE);
  if (w != OS_WAIT_OBJECT_0 && w != OS_WAIT_ABANDONED_0) return false;
  act(p->owner);
  os_ReleaseMutex(p->ownerMutex);
  return true;
}

void Own(const LocalProvider *p, ProvOwnerRecord *o) {
  o->processId = os_GetCurrentProcessId();
  o->owner = p->word;
  o->second = 1;
  o->first = 0;
}

// The store path of run `run` of slot `slot`; false when it does not fit.
bool OwnerPath(const LocalProvider *p, int slot, const std::string &run, ProvOwnerPath *out) {
  char path[LOG_CONNSTR_MAX + 300];
  uint32_t len = sizeof path;
  p->slot[slot].collection->GetStorePath(run.c_str(), path, &len);
  if (len > sizeof path || strlen(path) >= sizeof out->path) return false;
  memset(out, 0, sizeof *out);
  memcpy(out->path, path, strlen(path));
  out->set = 1;
  return true;
}

// "WS": the primary's earliest run, and the partner's run that was open at
// its start (an open run, end 0, still is), become the owner's paths.
void WriteOwnerRuns(LocalProvider *p, Reply *r) {
  std::vector<Listed> runs = AllRuns(p);
  if (runs.empty()) return Fail(r, OS_ERROR_NO_MORE_ITEMS);
  const Listed *first = &runs[0];
  for (const Listed &l : runs)
    if (l.start < first->start) first = &l;
  ProvOwnerPath paths[2] = {};
  if (!OwnerPath(p, 0, first->name, &paths[0])) return Fail(r, OS_ERROR_FILENAME_EXCED_RANGE);
  for (const Listed &l : AllRuns(p, 1))
    if (l.start < first->start && (l.end == 0 || l.end > first->start)) {
      if (!OwnerPath(p, 1, l.name, &paths[1])) return Fail(r, OS_ERROR_FILENAME_EXCED_RANGE);
      break;
    }
  if (!WithOwner(p, [&](ProvOwnerRecord *o) {
        memcpy(o->slot, paths, sizeof paths);
        Own(p, o);
      }))
    return Fail(r, os_GetLastError());
  Say(r, "1");
}

void Owner(LocalProvider *p, const char *cmd, Reply *r) {
  ProvOwnerRecord *o = p->owner;
  bool status = !strcmp(cmd, "RS") || !strcmp(cmd, "BS");
  if (!o) {
    // Without a record the host supplies, nothing is owned.
    if (status) return Say(r, "%1d", static_cast<int>(p->state & 1));
    if (!strcmp(cmd, "ES")) return Say(r, "1");
    if (!strcmp(cmd, "DS")) return Say(r, "0");
    return Fail(r, OS_ERROR_NOT_SUPPORTED);
  }
  if (status) return Say(r, "%s", __atomic_load_n(&o->first, __ATOMIC_ACQUIRE) ? "0" : "1");
  if (!strcmp(cmd, "WS")) return WriteOwnerRuns(p, r);
  bool done = WithOwner(p, [&](ProvOwnerRecord *rec) {
    if (cmd[0] == 'X' || cmd[0] == 'M') {
      rec->tick = os_GetTickCount();
      return;
    }
    Own(p, rec);
    if (cmd[0] == 'E') rec->second = 0;
    if (cmd[0] == 'D') rec->first = 1;
  });
  if (!done) return Fail(r, os_GetLastError());
  Say(r, "1");
}

void TimeZone(LocalProvider *p, Reply *r) {
  const ProvSlot &s = p->slot[0];
  if (s.record.empty()) return Say(r, "-1,0");
  TimeStamp t = RecordTime(s.record.data());
  r->Text("%d,%d", t.seconds, static_cast<int>(t.ms));
  r->End();
  r->Put(&s.header.timeZone, PROV_TZ_SIZE);
}

}  // namespace

// ---- Public ----

int64_t prov_Micros(const TimeStamp &t) {
  return int64_t{t.seconds} * 1000000 + int64_t{t.ms} * 1000 + t.us;
}

int64_t prov_EstimateIndex(int64_t first, int64_t last, int64_t sought, int64_t count) {
  if (count <= 0) return 0;
  if (last <= first || sought <= first) return 0;
  if (sought >= last) return count - 1;
  // Exact in 128 bits: (sought - first) x count can pass 64 bits on long runs.
  __int128 i = static_cast<__int128>(sought - first) * count / (last - first);
  return i >= count ? count - 1 : static_cast<int64_t>(i);
}

int64_t prov_FindRecord(int64_t count, const TimeStamp &sought, int (*timeAt)(void *, int64_t, TimeStamp *),
                        void *ctx) {
  if (count <= 0) return 0;
  TimeStamp first{}, last{};
  if (timeAt(ctx, 0, &first) != 0 || timeAt(ctx, count - 1, &last) != 0) return -1;
  if (Earlier(sought, first)) return 0;
  if (!Earlier(sought, last)) return count - 1;
  // Invariant: time(lo) <= sought < time(hi).
  int64_t lo = 0, hi = count - 1;
  int64_t guess = prov_EstimateIndex(prov_Micros(first), prov_Micros(last), prov_Micros(sought), count);
  if (guess > lo && guess < hi) {
    TimeStamp t{};
    if (timeAt(ctx, guess, &t) != 0) return -1;
    if (Earlier(sought, t)) hi = guess;
    else lo = guess;
  }
  while (hi - lo > 1) {
    int64_t mid = lo + (hi - lo) / 2;
    TimeStamp t{};
    if (timeAt(ctx, mid, &t) != 0) return -1;
    if (Earlier(sought, t)) hi = mid;
    else lo = mid;
  }
  return lo;
}

void prov_PartnerName(const char *name, char *out, uint32_t size) {
  if (!out || !size) return;
  out[0] = 0;
  if (!name) return;
  size_t n = strlen(name);
  if (n >= 10 && EndsNoCase(name, "_FAST_LOG")) snprintf(out, size, "%.*s", static_cast<int>(n - 9), name);
  else if (n >= 9 && EndsNoCase(name, "FAST_LOG")) snprintf(out, size, "%.*sSLOW_LOG", static_cast<int>(n - 8), name);
}

int prov_RegisterBuffer(const void *address, uint64_t size) {
  if (t_lentCount >= kLentMax) return 0;
  t_lent[t_lentCount++] = {reinterpret_cast<uintptr_t>(address), size};
  return 1;
}

void prov_ClearBuffers(void) { t_lentCount = 0; }

int prov_SetOwner(LocalProvider *p, ProvOwnerRecord *record, OsHandle mutex) {
  if (!p || (record && !mutex)) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  p->owner = record;
  p->ownerMutex = record ? mutex : nullptr;
  return 0;
}

uint32_t prov_OwnerWord(const LocalProvider *p) { return p ? p->word : 0; }

void prov_SetCacheLimit(uint64_t bytes) { g_cacheLimit = bytes; }

void prov_SetNewerRunMs(uint32_t ms) { g_newerRunMs = ms; }

LocalProvider *prov_Init(void) {
  auto *p = new (std::nothrow) LocalProvider();
  if (!p) return nullptr;
  do p->word = ++g_words;
  while (p->word == 0);
  memcpy(p->rows, log_StatusRows, sizeof p->rows);
  return p;
}

int prov_Open(LocalProvider *p, const char *server) {
  if (!p || !server) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string s = srv_ProviderPath(server);
  if (os_CompareNoCaseN(s.c_str(), "PROVIDER=", 9) == 0) {
    char cs[LOG_CONNSTR_MAX + 1], logger[201];
    if (s.size() > LOG_CONNSTR_MAX) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
    snprintf(cs, sizeof cs, "%s", s.c_str());
    uint32_t cap = sizeof logger;
    if (!log_TakeLoggerName(cs, &cap, logger)) {
      errno = 0;
      return os_SetLastError(0), -1;
    }
    int32_t seq = 0;
    log_TakeLoggerSeq(cs, &seq);
    p->database = 1;
    p->connection = cs;
    if (strlen(logger) >= sizeof p->slot[0].logger) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
    memcpy(p->slot[0].logger, logger, strlen(logger) + 1);
    prov_PartnerName(p->slot[0].logger, p->slot[1].logger, sizeof p->slot[1].logger);
  } else {
    if (s.size() >= sizeof p->slot[0].folder) return os_Fail(OS_ERROR_FILENAME_EXCED_RANGE), -1;
    p->database = 0;
    snprintf(p->slot[0].folder, sizeof p->slot[0].folder, "%s", s.c_str());
    prov_PartnerName(p->slot[0].folder, p->slot[1].folder, sizeof p->slot[1].folder);
    // A folder of another computer: reads go through its server.
    if (s.size() > 2 && s[0] == '\\' && s[1] == '\\') {
      size_t end = s.find('\\', 2);
      std::string host = s.substr(2, end == std::string::npos ? std::string::npos : end - 2);
      if (!host.empty() && host.size() < sizeof p->server && !srv_IsLocalHost(host.c_str()))
        snprintf(p->server, sizeof p->server, "%s", host.c_str());
    }
  }
  if (OpenCollection(p, 0, &p->slot[0].collection) != 0 || OpenCollection(p, 0, &p->spare) != 0) {
    uint32_t err = os_GetLastError();
    DestroySlot(&p->slot[0]);
    return os_Fail(err), -1;
  }
  bool partner = p->database ? p->slot[1].logger[0] != 0 : p->slot[1].folder[0] != 0;
  if (partner && OpenCollection(p, 1, &p->slot[1].collection) != 0) p->slot[1].collection = nullptr;
  if (LoadRuns(p) != 0) {
    uint32_t err = os_GetLastError();
    for (ProvSlot &sl : p->slot) DestroySlot(&sl);
    delete p->spare;
    p->spare = nullptr;
    return os_Fail(err ? err : OS_ERROR_NO_MORE_ITEMS), -1;
  }
  p->opened = true;
  return 0;
}

int prov_Dispatch(LocalProvider *p, const void *line, uint32_t length, void *reply, uint32_t *replyLength) {
  if (!replyLength) return 0;
  Reply r{static_cast<uint8_t *>(reply), reply ? *replyLength : 0};
  *replyLength = 0;
  if (!p || !line) return 0;
  const char *text = static_cast<const char *>(line);
  std::string req(text, strnlen(text, length));
  if (req.size() < 2) {
    Say(&r, "0");
  } else {
    char cmd[3] = {static_cast<char>(toupper(static_cast<unsigned char>(req[0]))),
                   static_cast<char>(toupper(static_cast<unsigned char>(req[1]))), 0};
    std::string rest = req.size() > 2 && req[2] == ',' ? req.substr(3) : req.substr(2);
    std::vector<std::string> args = Split(rest);
    bool history = cmd[1] == 'S' && cmd[0] >= '5' && cmd[0] <= '8';
    struct CloseAfter {
      LocalProvider *p;
      bool on;
      ~CloseAfter() {
        if (on)
          for (ProvSlot &s : p->slot) CloseSlotStore(&s);
      }
    } closeAfter{p, p->closeAfterRequest && !history};
    if (!history && !Refresh(p)) {
      Debug("No RT Records GraphFiltered for %d:d\r\n", 0);
      return 0;
    }
    if (!strcmp(cmd, "TS")) TimeZone(p, &r);
    else if (!strcmp(cmd, "QE")) Say(&r, "0");
    else if (!strcmp(cmd, "QP")) {
      bool hasStatus = false;
      size_t n = Processors(p, &hasStatus).size();
      Say(&r, "%d", static_cast<int>(n + (hasStatus ? 0 : 1)));
    } else if (!strcmp(cmd, "IP") || !strcmp(cmd, "TP"))
      ListProcessors(p, rest, cmd[0] == 'T', &r);
    else if (!strcmp(cmd, "CV")) ChannelValues(p, args, &r);
    else if (!strcmp(cmd, "RV")) ReadValues(p, args, &r);
    else if (!strcmp(cmd, "TC")) FindTags(p, args, &r);
    else if (!strcmp(cmd, "IS")) EarliestStart(p, &r);
    else if (!strcmp(cmd, "NS")) LatestEnd(p, &r);
    else if (!strcmp(cmd, "5S")) Summary(p, args, &r);
    else if (!strcmp(cmd, "6S")) Section(p, args, &r);
    else if (!strcmp(cmd, "7S") || !strcmp(cmd, "8S")) {
      if (!History(p, args, cmd[0] == '8', &r)) return 0;
    } else if (!strcmp(cmd, "RS") || !strcmp(cmd, "BS") || !strcmp(cmd, "ES") || !strcmp(cmd, "DS") ||
               !strcmp(cmd, "WS") || !strcmp(cmd, "PS") || !strcmp(cmd, "FS") || !strcmp(cmd, "XS") ||
               !strcmp(cmd, "MS"))
      Owner(p, cmd, &r);
    else
      Say(&r, "0");
  }
  if (r.over) Fail(&r, OS_ERROR_MORE_DATA);
  if (r.over) r.len = 0;  // not even the error fits
  *replyLength = r.len;
  return 1;
}

void prov_Close(LocalProvider *p) {
  if (!p) return;
  for (ProvEntry &e : p->runs) {
    LogFileHeader h{};
    if (e.store && p->spare && e.store->ReadHeader(&h) == 0 && h.stop.seconds != 0) {
      int32_t s = h.start.seconds, t = h.stop.seconds;
      p->spare->CloseRun(e.store, &s, &t, 0);
    } else if (e.store) {
      e.store->Close();
    }
    FreeEntry(p, &e);
  }
  p->runs.clear();
  delete p->spare;
  p->spare = nullptr;
  for (ProvSlot &s : p->slot) {
    s.record.clear();
    LogFileHeader h{};
    if (s.store && s.collection && s.store->ReadHeader(&h) == 0 && h.stop.seconds != 0) {
      int32_t a = h.start.seconds, b = h.stop.seconds;
      s.collection->CloseRun(s.store, &a, &b, 0);
    } else if (s.store) {
      s.store->Close();
    }
    DestroySlot(&s);
  }
  p->opened = false;
}

void prov_SetCloseAfterRequest(LocalProvider *p, bool on) {
  if (p) p->closeAfterRequest = on;
}

void prov_Destroy(LocalProvider *p) {
  if (!p) return;
  prov_Close(p);
  delete p;
}
