#include "scanner/scan_life.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/config/cfg_load.h"
#include "framework/notify/ntf_notify.h"
#include "framework/registry/prod_platform.h"
#include "framework/registry/reg_settings.h"
#include "framework/shm/shm_segment.h"
#include "framework/status/sts_stats.h"
#include "framework/status/sts_status.h"
#include "framework/trace/dbg_trace.h"
#include "framework/values/sav_values.h"
#include "framework/xml/xml_error.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_file.h"
#include "platform/os_handle.h"
#include "scanner/com_port.h"
#include "scanner/pump_handlers.h"
#include "scanner/scan_cycle.h"
#include "scanner/scan_state.h"

ScanState g_scan;

namespace {

int Masked(int e) { return e & 0xFFF; }

// A copy of a fixed-width record text with its terminator.
template <size_t N>
void FixedText(char (&out)[N + 1], const char (&in)[N]) {
  memcpy(out, in, N);
  out[N] = '\0';
}

// Statistics channels, where the device table has a code for this device.
void InitStatistics() {
  const ShmTable *t = shm_DeviceTable();
  if (!t) return;
  int32_t index = static_cast<int32_t>(g_scan.record - reinterpret_cast<DeviceRecord *>(t->first));
  const char *code = shm_DeviceStatsCode(index);
  if (code && code[0]) {
    char c[3] = {code[0], code[1], 0};
    sts_InitCommStats(g_scan.record, c);
  }
}

// Zero offsets of an AI or CI type: the saved ones by position, then 0.0 for
// every channel that does not take a reference.
void LoadZeroOffsets(int t) {
  ScanTypeBuffers &b = g_scan.type[t];
  int n = g_scan.limit[t];
  sav_ReadValues(scan_Folder(), t, 0, b.zeroOffsets, b.table, n);
  for (int i = 0; i < n; ++i) {
    const ChannelRecord *r = &b.table[i];
    uint8_t type = chan_TypeByte(r);
    if (!chan_FlagBit(r, CHAN_FLAG_ENABLE) || (type != IO_AI && type != IO_CI) || !chan_FlagBit(r, CHAN_FLAG_REFERENCE_ENABLE))
      b.zeroOffsets[i] = 0.0f;
  }
}

// The program's copy of an output type holds every channel of its area, as
// the saved-values file does: the save writes what the load restored.
size_t CopyCount(int t, size_t n, size_t areaCount) { return io_IsOutput(t) ? areaCount : n; }

// Bytes of the buffer block for a type of n worked channels.
size_t BlockShare(int t, size_t n, size_t areaCount) {
  size_t copy = CopyCount(t, n, areaCount);
  switch (t) {
    case IO_AI: case IO_CI: return 16 * n;
    case IO_AO: return 8 * copy + 4 * n;
    default: return 4 * copy;
  }
}

// Lays the type's arrays out in the buffer block from *cursor on.
void LayOut(int t, uint8_t **cursor) {
  ScanTypeBuffers &b = g_scan.type[t];
  size_t n = g_scan.limit[t], areaCount = b.header->count;
  size_t copy = CopyCount(t, n, areaCount);
  uint32_t *block = reinterpret_cast<uint32_t *>(*cursor);
  uint32_t *area = shm_AreaStatusWords(b.area);
  *cursor += copy * 4;
  if (io_IsOutput(t)) {
    b.workStatus = area;
    b.otherStatus = block;
  } else {
    b.workStatus = block;
    b.otherStatus = area;
  }
  if (io_IsAnalogue(t)) {
    float *values = reinterpret_cast<float *>(*cursor);
    *cursor += copy * 4;
    if (t == IO_AO) {
      b.workValues = reinterpret_cast<float *>(area + areaCount);
      b.otherValues = values;
    } else {
      b.workValues = values;
      b.otherValues = reinterpret_cast<float *>(area + areaCount);
    }
    b.previous = reinterpret_cast<uint32_t *>(*cursor);
    *cursor += n * 4;
    for (size_t i = 0; i < n; ++i) b.previous[i] = 0x7FFFFFFF;
    if (t != IO_AO) {
      b.zeroOffsets = reinterpret_cast<float *>(*cursor);
      *cursor += n * 4;
    }
  }
}

// The area must hold its header and the status words (and values) of its own count.
bool AreaFits(void *area, int t) {
  const ChannelAreaHeader *h = shm_AreaHeader(area);
  int64_t need = 20 + static_cast<int64_t>(h->count) * (io_IsAnalogue(t) ? 8 : 4);
  return shm_DataLength(area) >= need;
}

}  // namespace

void scan_ReportFailure(const char *format) {
  if (os_GetLastError() == OS_ERROR_XML_PARSE_ERROR)
    sts_SetDriverStatus("%s", xml_GetErrorText());
  else
    sts_SetDriverStatus(format, Masked(errno));
}

bool scan_ParseCommandLine(int argc, char **argv, char *driver, size_t driverSize, uint16_t *instance) {
  if (argc < 1 || !argv[0]) return false;
  const char *path = argv[0];
  // The program's file name: after the last '\' (or '/', on this platform).
  const char *file = path;
  for (const char *p = path; *p; ++p)
    if (*p == '\\' || *p == '/') file = p + 1;
  const char *cut = strrchr(file, '_');
  if (!cut) return false;
  if (argc != 2) return false;
  size_t n = static_cast<size_t>(cut - file);
  if (n + 1 > driverSize) n = driverSize - 1;
  memcpy(driver, file, n);
  driver[n] = '\0';
  *instance = static_cast<uint16_t>(atoi(argv[1]));
  return *instance != 0;
}

int scan_OnSignal(int32_t code) {
  switch (code) {
    case NTF_STOP: g_scan.run = 0; break;
    case NTF_SCAN: g_scan.pendingScans += 1; break;
    case NTF_RECONFIGURE: g_scan.reconfigure = 1; break;
    case NTF_RESET_COUNTERS: g_scan.resetCounters = 1; break;
    case NTF_INITIALISE_VALUES: g_scan.initialiseValues = 1; break;
    default: break;
  }
  return 0;
}

int scan_LoadConfiguration(void) {
  DeviceRecord *rec = g_scan.record;
  if (cfg_LoadDeviceConfig(g_scan.config, DEVICE_CONFIG_SIZE) != 0) {
    scan_ReportFailure("CAN'T READ CONFIGURATION -%04d");
    return -1;
  }
  memcpy(rec->Config, g_scan.config, DEVICE_CONFIG_SIZE);
  if (sav_LoadSettings(&g_scan.saveOutputs, &g_scan.saveByTag, &g_scan.saveRate) != 0) {
    g_scan.saveOutputs = 0;
  } else if (g_scan.saveOutputs) {
    TimeStamp now;
    tm_Now(&now);
    g_scan.nextSave = *tm_NextPeriodBoundary(&now, &now, g_scan.saveRate);
  }
  size_t size = 0;
  for (int t = 0; t < IO_TYPE_COUNT; ++t) {
    ScanTypeBuffers &b = g_scan.type[t];
    if (!rec->IoCodes[t][0]) continue;
    char code[3] = {rec->IoCodes[t][0], rec->IoCodes[t][1], 0};
    void *area = shm_OpenDataArea(code);
    if (!area) continue;
    if (!AreaFits(area, t)) {
      errno = OS_ERROR_INVALID_DATA;
      scan_ReportFailure("CAN'T READ CONFIGURATION -%04d");
      return -1;
    }
    b.area = area;
    b.header = shm_AreaHeader(area);
    uint16_t n = b.header->count;
    if (n < g_scan.limit[t]) g_scan.limit[t] = n;
    size += BlockShare(t, g_scan.limit[t], n);
    b.descriptions = shm_AreaDescriptions(area);
  }
  pump_LoadPathDescs(rec);
  g_scan.block = fw_Allocate(size);
  if (!g_scan.block) {
    errno = ENOMEM;
    sts_SetDriverStatus("CAN'T GET MEMORY -%04d", Masked(errno));
    return -1;
  }
  memset(g_scan.block, 0, size);
  uint8_t *cursor = static_cast<uint8_t *>(g_scan.block);
  for (int t = 0; t < IO_TYPE_COUNT; ++t) {
    ScanTypeBuffers &b = g_scan.type[t];
    if (!b.area) continue;
    char code[3] = {rec->IoCodes[t][0], rec->IoCodes[t][1], 0};
    void *conf = shm_OpenConfArea(code);
    if (!conf || shm_DataLength(conf) < static_cast<int64_t>(b.header->count) * CHAN_RECORD_SIZE) {
      if (errno == 0) errno = OS_ERROR_FILE_NOT_FOUND;
      scan_ReportFailure("CAN'T READ CONFIGURATION -%04d");
      return -1;
    }
    b.table = reinterpret_cast<ChannelRecord *>(shm_AreaRecords(conf));
    if (cfg_ReloadChannelTable(t, b.header) == -1) {
      scan_ReportFailure("CAN'T READ CONFIGURATION -%04d");
      return -1;
    }
    LayOut(t, &cursor);
    if (b.zeroOffsets) LoadZeroOffsets(t);
    if (io_IsOutput(t) && g_scan.saveOutputs)
      sav_ReadValues(scan_Folder(), t, g_scan.saveByTag, t == IO_AO ? static_cast<void *>(b.workValues) : b.workStatus,
                     b.table, b.header->count);
    if (io_IsOutput(t)) {
      // Channels the scan does not work keep what the area holds when saved.
      size_t count = b.header->count;
      memcpy(b.otherStatus, b.workStatus, count * 4);
      if (b.otherValues) memcpy(b.otherValues, b.workValues, count * 4);
    }
  }
  uint32_t n = sizeof g_scan.computerName;
  os_GetComputerName(g_scan.computerName, &n);
  n = sizeof g_scan.userName;
  os_GetUserName(g_scan.userName, &n);
  return 0;
}

int scan_InitialiseDevice(int reason) {
  scan_MarkBusy();
  for (;;) {
    scan_MarkAllBad(reason);
    bool ok = false;
    if (com_OpenPort(g_scan.record) == 0) {
      if (!g_scan.run) break;
      int rc = 0;
      for (int t = 0; t < IO_TYPE_COUNT && rc != -1 && g_scan.run; ++t)
        if (g_scan.type[t].area) rc = InitHandlerTable[t](g_scan.config, g_scan.limit[t], g_scan.type[t].table);
      if (rc != -1 && g_scan.run) rc = scan_ScanDevice(1);
      ok = rc != -1 && g_scan.run;
    }
    if (ok) break;
    scan_ReportFailure("CAN'T INITIALISE DEVICE -%04d");
    ntf_Wait(1000);
    if (!g_scan.run) break;
  }
  pump_DeviceReady();
  scan_RestartTiming();
  sts_ClearDriverStatus();
  return 1;
}

int scan_Reconfigure(void) {
  scan_MarkBusy();
  if (cfg_LoadDeviceConfig(g_scan.config, DEVICE_CONFIG_SIZE) != 0) {
    scan_ReportFailure("CAN'T READ CONFIGURATION -%04d");
    scan_Shutdown(errno);
  }
  memcpy(g_scan.record->Config, g_scan.config, DEVICE_CONFIG_SIZE);
  InitStatistics();
  int sum = 0;
  for (int t = 0; t < IO_TYPE_COUNT && g_scan.run; ++t) {
    ScanTypeBuffers &b = g_scan.type[t];
    if (!b.header) continue;
    int32_t r = cfg_ReloadChannelTable(t, b.header);
    if (r == -1) {
      scan_ReportFailure("CAN'T READ CONFIGURATION -%04d");
      scan_Shutdown(errno);
    }
    if (r == 0) continue;
    if (b.zeroOffsets) LoadZeroOffsets(t);
    sum += InitHandlerTable[t](g_scan.config, g_scan.limit[t], b.table);
  }
  if (sum != 0) return -1;
  pump_DeviceReady();
  if (scan_ScanDevice(1) == -1) return -1;
  scan_RestartTiming();
  return 0;
}

int scan_RebaseOffsets(int count, const ChannelRecord *table, float *offsets, const float *values,
                       const uint32_t *status, int ioType) {
  bool changed = false;
  for (int i = 0; i < count; ++i) {
    float candidate = 0.0f;
    if ((status[i] & CST_ANALOGUE) && !(status[i] & CST_BAD) && chan_FlagBit(&table[i], CHAN_FLAG_REFERENCE_ENABLE))
      candidate = tm_CheckedAdd(offsets[i], values[i]);
    if (candidate != offsets[i]) {
      offsets[i] = candidate;
      changed = true;
    }
  }
  if (changed) sav_WriteValues(scan_Folder(), ioType, offsets, table, count);
  return 0;
}

int scan_InitialiseValues(void) {
  scan_MarkBusy();
  for (int t : {IO_AI, IO_CI}) {
    ScanTypeBuffers &b = g_scan.type[t];
    if (b.area) scan_RebaseOffsets(g_scan.limit[t], b.table, b.zeroOffsets, b.workValues, b.workStatus, t);
  }
  if (scan_ScanDevice(0) == -1) return -1;
  return scan_RestartTiming();
}

int scan_ResetCounters(void) {
  ScanTypeBuffers &b = g_scan.type[IO_CI];
  if (!b.area) return 0;
  scan_MarkBusy();
  if (pump_ResetCounters(g_scan.record->Config, g_scan.limit[IO_CI], b.table) == -1) return -1;
  if (scan_ScanDevice(0) == -1) return -1;
  return scan_RestartTiming();
}

int scan_RestartTiming(void) {
  void *seg = shm_DeviceTable() ? shm_DeviceTable()->segment : nullptr;
  if (seg) shm_Lock(seg);
  g_scan.pendingScans = 0;
  uint32_t scanRate;
  memcpy(&scanRate, g_scan.record->Config, sizeof scanRate);
  TimeStamp now;
  tm_Now(&now);
  g_scan.record->NextScanDue = *tm_NextAlignedTime(&now, scanRate);
  g_scan.record->Busy = 0;
  if (seg) shm_Unlock(seg);
  return 0;
}

int scan_MarkBusy(void) {
  void *seg = shm_DeviceTable() ? shm_DeviceTable()->segment : nullptr;
  if (seg) shm_Lock(seg);
  g_scan.record->Busy = 1;
  if (seg) shm_Unlock(seg);
  return 0;
}

void scan_SaveOutputValues(void) {
  for (int t : {IO_AO, IO_DO}) {
    ScanTypeBuffers &b = g_scan.type[t];
    if (!g_scan.record || !g_scan.record->IoCodes[t][0] || !b.area || !b.changed) continue;
    b.changed = false;
    const void *copy = t == IO_AO ? static_cast<const void *>(b.otherValues) : b.otherStatus;
    sav_WriteValues(scan_Folder(), t, copy, b.table, b.header ? b.header->count : 0);
  }
}

[[noreturn]] void scan_Shutdown(int code) {
  scan_MarkAllBad(code);
  com_ClosePort();
  if (g_scan.record) g_scan.record->Running = 0;
  os_CloseStandardInput();
  ntf_Stop();
  fw_Free(g_scan.block);
  g_scan.block = nullptr;
  sts_FreeCommStats();
  exit(code);
}

void scan_MainLoop(void) {
  while (g_scan.run) {
    ntf_HoldDelivery(1);
    int rc = 0;
    bool served = true;
    if (g_scan.reconfigure) {
      g_scan.reconfigure = 0;
      ntf_HoldDelivery(0);
      rc = scan_Reconfigure();
      if (rc == -1) scan_ReportFailure("CAN'T RECONFIGURE DEVICE -%04d");
    } else if (g_scan.initialiseValues) {
      g_scan.initialiseValues = 0;
      ntf_HoldDelivery(0);
      rc = scan_InitialiseValues();
      if (rc == -1) sts_SetDriverStatus("CAN'T INITIALISE VALUES - %04d", Masked(errno));
    } else if (g_scan.resetCounters) {
      g_scan.resetCounters = 0;
      ntf_HoldDelivery(0);
      rc = scan_ResetCounters();
      if (rc == -1) sts_SetDriverStatus("CAN'T RESET COUNTERS -%04d", Masked(errno));
    } else if (g_scan.pendingScans > 0) {
      g_scan.pendingScans -= 1;
      ntf_HoldDelivery(0);
      rc = scan_ScanDevice(0);
      if (rc == -1) sts_SetDriverStatus("CAN'T SCAN DEVICE -%04d", Masked(errno));
    } else {
      served = false;
    }
    if (served) {
      if (rc == -1) {
        if (!g_scan.run) break;
        scan_InitialiseDevice(errno);
      }
      continue;
    }
    // Nothing pending: the save period is only looked at when a notification wakes us.
    if (!g_scan.saveOutputs || g_scan.saveRate == 0) {
      ntf_WaitTicks(0);
      continue;
    }
    TimeStamp now;
    tm_Now(&now);
    if (!scan_SaveStep(&now, &g_scan.nextSave, g_scan.saveRate)) {
      ntf_WaitTicks(0);
      continue;
    }
    // Open again before the save, as for every other piece of work: a loop
    // that ends after it must not leave deliveries held for good.
    ntf_HoldDelivery(0);
    scan_SaveOutputValues();
  }
}

namespace {

// A save period may exceed the 24.8 days that 32-bit milliseconds hold.
void AddMs(TimeStamp *stamp, int64_t ms) {
  for (; ms > INT32_MAX; ms -= INT32_MAX) tm_AddMs(stamp, INT32_MAX);
  tm_AddMs(stamp, static_cast<int32_t>(ms));
}

}  // namespace

bool scan_ClaimDevice(DeviceRecord *record, uint32_t self) {
  void *seg = shm_DeviceTable() ? shm_DeviceTable()->segment : nullptr;
  if (seg) shm_Lock(seg);
  bool other = false;
  uint32_t owner = record->ProcessId;
  if (record->Running == 1 && owner != 0 && owner != self) {
    // A scanner that died left its record running; its slot went with it.
    if (OsHandle slot = ntf_OpenMailslot(ntf_SlotName(owner))) {
      os_CloseHandle(slot);
      other = true;
    }
  }
  // Taken at once, so a second scanner starting meanwhile finds it taken.
  if (!other) record->ProcessId = self;
  if (seg) shm_Unlock(seg);
  return !other;
}

bool scan_SaveStep(const TimeStamp *now, TimeStamp *nextSave, uint32_t saveRate) {
  int64_t rate = saveRate;
  int64_t d = tm_DiffMicros(now, nextSave) / 1000;
  if (d >= -rate && d <= 0) return false;
  if (d < -rate || d > 2 * rate) {
    *nextSave = *now;
    AddMs(nextSave, rate);
  } else {
    while (tm_CompareStamps(nextSave, now) <= 0) AddMs(nextSave, rate);
  }
  return true;
}

[[noreturn]] void scan_Main(int argc, char **argv) {
  if (os_SetPriorityClass(OS_REALTIME_PRIORITY_CLASS) != 0) exit(0);
  if (prod_GetOsPlatformId() == 1) {
    // Hides the process from the task list on Windows 9x; absent elsewhere.
    if (OsModuleHandle k = os_LoadLibrary("KERNEL32.DLL")) {
      typedef uint32_t (*RegisterServiceProcessFn)(uint32_t, uint32_t);
      if (auto fn = reinterpret_cast<RegisterServiceProcessFn>(os_GetProcAddress(k, "RegisterServiceProcess")))
        fn(os_GetCurrentProcessId(), 1);
    }
  }
  // Without the mailslot no code, not even the stop, could reach the loop.
  ntf_Start(scan_OnSignal);
  if (!ntf_IsStarted()) exit(0);
  char driver[260];
  uint16_t instance = 0;
  if (!scan_ParseCommandLine(argc, argv, driver, sizeof driver, &instance)) {
    ntf_Stop();
    exit(0);
  }
  DeviceRecord *found = shm_FindDeviceRecord(driver, instance);
  // A device that a live scanner serves is left to it, untouched.
  if (!found || !scan_ClaimDevice(found, os_GetCurrentProcessId())) {
    ntf_Stop();
    exit(0);
  }
  g_scan.record = found;
  DeviceRecord *rec = g_scan.record;
  char folder[sizeof rec->Folder + 1], statusName[sizeof rec->StatusName + 1];
  FixedText(folder, rec->Folder);
  FixedText(statusName, rec->StatusName);
  dbg_Open(folder);

  // A status text posted before the entry is registered would reach no one:
  // the entry is taken at the first failure already.
  const char *config = cfg_GetFolder("TSQ_CURRENT_CONFIG");
  if (!config) {
    int e = errno;
    sts_RegisterDriverStatus(STS_KIND_DRIVER, statusName);
    errno = e;
    sts_SetDriverStatus("CAN'T GET CONFIG DIR -%04d", Masked(e));
    scan_Shutdown(e);
  }
  if (os_SetCurrentDirectory(config) != 0 || os_SetCurrentDirectory(folder) != 0) {
    int e = errno;
    sts_RegisterDriverStatus(STS_KIND_DRIVER, statusName);
    sts_SetDriverStatus("CAN'T ACCESS CONFIG DIR -%04d", Masked(e));
    scan_Shutdown(e);
  }
  InitStatistics();
  rec->Running = 1;
  rec->ProcessId = os_GetCurrentProcessId();
  sts_RegisterDriverStatus(STS_KIND_DRIVER, statusName);
  tm_SetTimeZone();
  if (scan_LoadConfiguration() != 0) scan_Shutdown(errno);
  rec->Ready = 1;
  scan_InitialiseDevice(0);
  scan_MainLoop();
  scan_SaveOutputValues();
  scan_Shutdown(0);
}
