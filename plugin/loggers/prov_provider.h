// The in-process logged-data provider: answers server request lines inside
// this process from the runs of one logger (and of its partner logger), kept
// in a folder of data files or in a database.
//
// Requests that hand the provider addresses ("6S", "7S", "8S") are served
// only into buffers the sending thread registered beforehand; a reply never
// passes the capacity it is given.
#pragma once
#include <cstddef>
#include <cstdint>

#include "framework/time/tm_time.h"
#include "platform/os_handle.h"

struct LocalProvider;

enum : uint32_t {
  PROV_TZ_SIZE = 172,
  PROV_BATCH = 100,                      // records read from a store at once
  PROV_SECTION_MAX = 99,                 // characters of a "6S" section name
  PROV_TAG_MAX = 15,                     // characters of a "TC" tag
  PROV_PARTNER_WINDOW_S = 180,           // "RV": how far the partner's record may lie from the primary's
  PROV_REFRESH_MS = 500,
  PROV_NEWER_RUN_MS = 30000,
  PROV_LIST_MS = 1000,
};

// Constructs an empty provider; null when memory is short.
LocalProvider *prov_Init(void);
// Opens on a server string: a folder, a UNC path, a "file" URL or a
// "PROVIDER=" connection string with ";LoggerName=". 0, or -1.
int prov_Open(LocalProvider *p, const char *server);
// Serves one request line of `length` bytes (it may hold any bytes; a NUL
// ends it). *replyLength: in, the reply capacity; out, the bytes written
// (text replies count their terminator). 1 when a reply was written, 0 when
// there are no records to serve (no reply).
int prov_Dispatch(LocalProvider *p, const void *line, uint32_t length, void *reply, uint32_t *replyLength);
void prov_Close(LocalProvider *p);
// Closes (when still open) and frees.
void prov_Destroy(LocalProvider *p);
// Off at first. On: every request but "5S" to "8S" closes the stores of the
// newest runs when it is served (the next one opens them again) and re-reads
// the newest records without waiting PROV_REFRESH_MS.
void prov_SetCloseAfterRequest(LocalProvider *p, bool on);

// Who owns a logger's runs, shared by the providers of several processes:
// a host keeps it in a mapping, with a named mutex that guards it.
struct ProvOwnerPath {
  char path[260];  // a run's path: "%s\%s" for folders, "%s;LoggerName=%s;%s" for databases
  uint32_t set;
};
struct ProvOwnerRecord {
  uint32_t processId;  // of the owner
  uint32_t owner;      // the owning provider's word (prov_OwnerWord)
  uint32_t first;      // set by "DS"; "RS" and "BS" then answer 0
  uint32_t second;     // set by taking ownership, cleared by "ES"
  uint32_t tick;       // tick count of the last "XS" or "MS"
  ProvOwnerPath slot[2];
};
static_assert(sizeof(ProvOwnerPath) == 264 && offsetof(ProvOwnerPath, set) == 260);
static_assert(sizeof(ProvOwnerRecord) == 548 && offsetof(ProvOwnerRecord, owner) == 4 &&
              offsetof(ProvOwnerRecord, first) == 8 && offsetof(ProvOwnerRecord, second) == 12 &&
              offsetof(ProvOwnerRecord, tick) == 16 && offsetof(ProvOwnerRecord, slot) == 20);

// Hands the provider the host's owner record and the mutex that guards it;
// both stay the host's and must outlive the provider's use of them. A null
// record takes it away. 0, or -1 (87) for a record without a mutex.
int prov_SetOwner(LocalProvider *p, ProvOwnerRecord *record, OsHandle mutex);
// The word a provider writes as owner: nonzero, its own in this process.
uint32_t prov_OwnerWord(const LocalProvider *p);

// The buffers the calling thread lets the provider read from or write into
// for its next requests. 1 registered, 0 when the thread's table is full.
int prov_RegisterBuffer(const void *address, uint64_t size);
void prov_ClearBuffers(void);

// Record bytes the run list may keep in memory per provider (the rest is
// read in batches); for tests and the benchmark.
void prov_SetCacheLimit(uint64_t bytes);
// How often a newer run is looked for (PROV_NEWER_RUN_MS); for tests.
void prov_SetNewerRunMs(uint32_t ms);

// A time in microseconds.
int64_t prov_Micros(const TimeStamp &t);
// The interpolated index of `sought` in `count` records spread from `first`
// to `last` (all microseconds), cut to 0..count-1; exact for any 64-bit
// inputs, 0 when the run has no time span.
int64_t prov_EstimateIndex(int64_t first, int64_t last, int64_t sought, int64_t count);
// The last record whose time is not later than `sought` (record 0 when all
// are later) among `count` records ordered by time; `timeAt` reads record
// i's time (0, or -1 on failure). -1 when a read fails.
int64_t prov_FindRecord(int64_t count, const TimeStamp &sought, int (*timeAt)(void *ctx, int64_t i, TimeStamp *t),
                        void *ctx);

// The folder or logger name of the partner of `name` ("" when none).
void prov_PartnerName(const char *name, char *out, uint32_t size);
