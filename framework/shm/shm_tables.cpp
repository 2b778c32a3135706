#include "framework/shm/shm_tables.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "framework/shm/shm_segment.h"
#include "platform/os_codepage.h"

namespace {

std::recursive_mutex g_lock;
ShmTable g_devices, g_processors, g_loggers;
ShmErrorTable g_errors;
void *g_status;
const char *g_statsCodes;  // n codes of 2 characters behind the device records

struct DirEntry {
  void *areas[3];
};
DirEntry *g_directory;
int32_t g_directorySize;

// Opens a table segment and bounds its count by the payload it really has.
bool AttachTable(const char *name, size_t recordSize, ShmTable &t) {
  if (t.segment) return true;
  void *seg = shm_OpenSegment(name);
  if (!seg) return false;
  int64_t length = shm_DataLength(seg);
  int32_t n = 0;
  if (length >= 4) memcpy(&n, shm_Payload(seg), 4);
  if (n < 0) n = 0;
  int64_t fit = length >= 4 ? (length - 4) / static_cast<int64_t>(recordSize) : 0;
  if (n > fit) n = static_cast<int32_t>(fit);
  t.segment = seg;
  t.count = n;
  t.first = shm_Payload(seg) + 4;
  t.end = shm_Payload(seg) + (length > 0 ? length : 0);
  return true;
}

bool CodeMatches(const char *a, const char *b) {
  return a[0] != 0 && os_CompareNoCaseN(a, b, 2) == 0;
}

DeviceRecord *Device(int32_t i) { return reinterpret_cast<DeviceRecord *>(g_devices.first) + i; }
DataProcessorRecord *Processor(int32_t i) { return reinterpret_cast<DataProcessorRecord *>(g_processors.first) + i; }

bool EnsureDirectory() {
  if (g_directory) return true;
  if (shm_AttachProcessors() != 0 || shm_AttachDevices() != 0) return false;
  int32_t n = g_processors.count + 6 * g_devices.count;
  g_directory = static_cast<DirEntry *>(calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(DirEntry)));
  if (!g_directory) return errno = ENOMEM, false;
  g_directorySize = n;
  return true;
}

// The directory index of a code, without opening anything; -1 when absent.
int32_t LookupCode(const char *code) {
  if (!code || !code[0] || !EnsureDirectory()) return -1;
  for (int32_t i = 0; i < g_processors.count; ++i)
    if (CodeMatches(Processor(i)->Code, code)) return i;
  for (int32_t d = 0; d < g_devices.count; ++d) {
    for (int t = 0; t < IO_TYPE_COUNT; ++t)
      if (CodeMatches(Device(d)->IoCodes[t], code)) return g_processors.count + 6 * d + t;
    const char *stats = shm_DeviceStatsCode(d);
    if (stats && CodeMatches(stats, code)) return g_processors.count + 6 * d + 5;
  }
  return -1;
}

// Opens the code's data area into its directory entry; false when it does not exist.
bool OpenEntryData(int32_t index, const char *code) {
  if (g_directory[index].areas[SHM_AREA_DATA]) return true;
  char name[8];
  snprintf(name, sizeof name, "dm_%c%c", toupper(static_cast<unsigned char>(code[0])),
           toupper(static_cast<unsigned char>(code[1])));
  void *seg = shm_OpenSegment(name);
  if (!seg) return false;
  g_directory[index].areas[SHM_AREA_DATA] = seg;
  return true;
}

}  // namespace

int shm_AttachDevices(void) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (g_devices.segment) return 0;
  if (!AttachTable("dm_device", sizeof(DeviceRecord), g_devices)) return -1;
  // The statistics codes follow the records when the payload has room for them.
  int64_t need = 4 + static_cast<int64_t>(g_devices.count) * (sizeof(DeviceRecord) + 2);
  g_statsCodes = (g_devices.end - (g_devices.first - 4) >= need)
                     ? reinterpret_cast<const char *>(g_devices.first + g_devices.count * sizeof(DeviceRecord))
                     : nullptr;
  return 0;
}

int shm_AttachProcessors(void) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return AttachTable("dm_datproc", sizeof(DataProcessorRecord), g_processors) ? 0 : -1;
}

int shm_AttachLoggers(void) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  return AttachTable("dm_loggers", sizeof(LoggerRecord), g_loggers) ? 0 : -1;
}

int shm_AttachErrors(void) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (g_errors.segment) return 0;
  ShmTable t{};
  if (!AttachTable("dm_errors", sizeof(ShortDriverStatusEntry), t)) return -1;
  int64_t length = t.end - (t.first - 4);
  int32_t n = t.count;
  // Long entries sit behind room for (length - 4) / 443 short ones; a table
  // without room for n long entries holds short entries only.
  int64_t capacity = (length - 4) / static_cast<int64_t>(sizeof(ShortDriverStatusEntry) + sizeof(DriverStatusEntry));
  g_errors.segment = t.segment;
  g_errors.count = n;
  g_errors.shortEntries = reinterpret_cast<ShortDriverStatusEntry *>(t.first);
  g_errors.longEntries =
      capacity >= n && n > 0
          ? reinterpret_cast<DriverStatusEntry *>(t.first + capacity * static_cast<int64_t>(sizeof(ShortDriverStatusEntry)))
          : nullptr;
  return 0;
}

int shm_OpenStatusTable(void) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (g_status) return 0;
  g_status = shm_OpenSegment("dm_status");
  return g_status ? 0 : -1;
}

const ShmTable *shm_DeviceTable(void) { return g_devices.segment ? &g_devices : nullptr; }
const ShmTable *shm_ProcessorTable(void) { return g_processors.segment ? &g_processors : nullptr; }
const ShmTable *shm_LoggerTable(void) { return g_loggers.segment ? &g_loggers : nullptr; }
const ShmErrorTable *shm_ErrorTable(void) { return g_errors.segment ? &g_errors : nullptr; }

const char *shm_DeviceStatsCode(int32_t index) {
  if (!g_statsCodes || index < 0 || index >= g_devices.count) return nullptr;
  return g_statsCodes + 2 * index;
}

DeviceRecord *shm_FindDeviceRecord(const char *programName, uint16_t instance) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!programName || shm_AttachDevices() != 0) return nullptr;
  for (int32_t i = 0; i < g_devices.count; ++i) {
    DeviceRecord *r = Device(i);
    if (os_CompareNoCaseN(r->Name, programName, 5) == 0 && r->Instance == instance) return r;
  }
  return nullptr;
}

DataProcessorRecord *shm_FindProcessor(const char *name) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!name || shm_AttachProcessors() != 0) return nullptr;
  char key[9];
  snprintf(key, sizeof key, "%s", name);
  tbl_ToUpper(key, sizeof key);
  DataProcessorRecord *partial = nullptr;
  for (int32_t i = 0; i < g_processors.count; ++i) {
    DataProcessorRecord *p = Processor(i);
    char own[10];
    memcpy(own, p->Name, sizeof p->Name);
    own[9] = '\0';
    if (os_CompareNoCase(own, key) == 0) return p;
    if (!partial && os_CompareNoCaseN(own, key, 5) == 0) partial = p;
  }
  return partial;
}

int32_t shm_FindLoggerIndex(const char *name) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!name || shm_AttachLoggers() != 0) return 0;
  for (int32_t i = 0; i < g_loggers.count; ++i) {
    const LoggerRecord *l = reinterpret_cast<const LoggerRecord *>(g_loggers.first) + i;
    if (os_CompareNoCaseN(l->Name, name, sizeof l->Name) == 0 && strlen(name) <= sizeof l->Name) return i + 1;
  }
  return 0;
}

int32_t shm_FindDirectoryIndex(const char *code) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  int32_t i = LookupCode(code);
  if (i < 0 || !OpenEntryData(i, code)) return -1;
  return i;
}

int64_t shm_GetCodeOwnerPid(const char *code) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  int32_t i = LookupCode(code);
  if (i < 0) return 0;
  if (!OpenEntryData(i, code)) return -1;
  if (i < g_processors.count) return Processor(i)->ProcessId;
  return Device((i - g_processors.count) / 6)->ProcessId;
}

const char *shm_GetCodeName(const char *code) {
  static thread_local char text[26];
  std::lock_guard<std::recursive_mutex> g(g_lock);
  text[0] = '\0';
  int32_t i = LookupCode(code);
  if (i < 0) return text;
  if (i < g_processors.count)
    memcpy(text, Processor(i)->NameText, sizeof Processor(i)->NameText);
  else
    memcpy(text, Device((i - g_processors.count) / 6)->StatusName, sizeof(DeviceRecord::StatusName));
  text[25] = '\0';
  return text;
}

int shm_GetCodeClass(const char *code) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  int32_t i = LookupCode(code);
  if (i < 0) return 1;
  if (!OpenEntryData(i, code)) return -1;
  if (i < g_processors.count) {
    const DataProcessorRecord *p = Processor(i);
    return os_CompareNoCaseN(p->Name, "modb", 4) == 0 ? 1 : p->Kind + 1;
  }
  return (i - g_processors.count) % 6 == 5 ? 1 : 0;
}

int shm_GetCodeFlag(const char *code) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  int32_t i = LookupCode(code);
  return (i >= 0 && i < g_processors.count) ? Processor(i)->Flag : 0;
}

int shm_MoveProcessorToEnd(int32_t index) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (shm_AttachProcessors() != 0) return -1;
  if (index < 0 || index >= g_processors.count) return errno = EINVAL, -1;
  int32_t last = g_processors.count - 1;
  DataProcessorRecord moved = *Processor(index);
  memmove(Processor(index), Processor(index + 1), sizeof(DataProcessorRecord) * static_cast<size_t>(last - index));
  *Processor(last) = moved;
  if (g_directory) {
    DirEntry e = g_directory[index];
    memmove(&g_directory[index], &g_directory[index + 1], sizeof(DirEntry) * static_cast<size_t>(last - index));
    g_directory[last] = e;
  }
  return 0;
}

void *shm_DirectoryArea(int32_t index, ShmAreaKind kind) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!g_directory || index < 0 || index >= g_directorySize) return nullptr;
  return g_directory[index].areas[kind];
}

void shm_SetDirectoryArea(int32_t index, ShmAreaKind kind, void *seg) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (g_directory && index >= 0 && index < g_directorySize) g_directory[index].areas[kind] = seg;
}

const char *chan_KindShortName(int kind) {
  static const char *const names[7] = {"ai", "di", "ao", "do", "ci", "dc", "dc"};
  return kind >= 0 && kind < 7 ? names[kind] : "";
}

void shm_ForgetTables(void) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  g_devices = g_processors = g_loggers = ShmTable{};
  g_errors = ShmErrorTable{};
  g_status = nullptr;
  g_statsCodes = nullptr;
  free(g_directory);
  g_directory = nullptr;
  g_directorySize = 0;
}
