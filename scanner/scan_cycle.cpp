#include "scanner/scan_cycle.h"

#include <cerrno>
#include <cstring>

#include "framework/alarms/alm_alarms.h"
#include "framework/shm/shm_segment.h"
#include "framework/status/sts_stats.h"
#include "scanner/pump_handlers.h"
#include "scanner/scan_eval.h"
#include "scanner/scan_state.h"

namespace {

void UnlockKeepingErrno(void *area) {
  int e = errno;
  shm_Unlock(area);
  errno = e;
}

// One pass over the types, inputs after outputs.
int ScanPass(int force) {
  static const int kOrder[IO_TYPE_COUNT] = {IO_CI, IO_DO, IO_AO, IO_DI, IO_AI};
  int32_t total = 0;
  for (int t : kOrder) {
    if (!g_scan.run.load()) break;
    ScanTypeBuffers &b = g_scan.type[t];
    if (!b.area) continue;
    TimeStamp start;
    tm_Now(&start);
    // Outputs are read under the lock; inputs take it after the line traffic.
    if (io_IsOutput(t)) shm_Lock(b.area);
    int rc = ReadHandlerTable[t](g_scan.record->Config, g_scan.limit[t], b.table, b.workStatus, b.workValues);
    if (rc == -1 || rc == 2) {
      if (io_IsOutput(t)) UnlockKeepingErrno(b.area);
      if (rc == -1) return -1;
      continue;
    }
    if (!io_IsOutput(t)) shm_Lock(b.area);
    alm_BeginScanEvents(b.header);
    int n = g_scan.limit[t];
    for (int i = 0; i < n; ++i) scan_EvaluateChannel(t, i, force != 0);
    memcpy(b.otherStatus, b.workStatus, sizeof(uint32_t) * static_cast<size_t>(n));
    b.header->error = 0;
    if (b.workValues) memcpy(b.otherValues, b.workValues, sizeof(float) * static_cast<size_t>(n));
    alm_EndScanEvents();
    shm_NotifyChange(b.area, 0);
    shm_Unlock(b.area);
    TimeStamp end;
    tm_Now(&end);
    b.header->duration = tm_DiffMs(&end, &start);
    total += b.header->duration;
  }
  g_scan.record->PassDuration = total;
  return 0;
}

}  // namespace

int scan_ScanDevice(int force) {
  if (!g_scan.run.load()) return 0;
  // The line's statistics go out once, when the pass is over.
  sts_HoldPublication(true);
  int rc = ScanPass(force);
  int e = errno;
  sts_HoldPublication(false);
  errno = e;
  return rc;
}

// Sends no return-to-normal and ends no event count: the server sees the
// alarm bits go with the bad bit, and the next forced pass raises again.
int scan_MarkAllBad(int reason) {
  if (g_scan.record) g_scan.record->PassDuration = 0;
  for (int t = 0; t < IO_TYPE_COUNT; ++t) {
    ScanTypeBuffers &b = g_scan.type[t];
    if (!b.area) continue;
    shm_Lock(b.area);
    alm_BeginScanEvents(b.header);
    b.header->error = static_cast<int16_t>(reason);
    b.header->duration = 0;
    uint32_t *words = shm_AreaStatusWords(b.area);
    int n = g_scan.limit[t];
    for (int i = 0; i < n; ++i) {
      words[i] = (words[i] & ~(CST_ALARM | CST_RAISED_AT_ONCE | CST_ALARM_ANNOUNCED)) | CST_BAD;
      if (b.descriptions) {
        uint16_t bad = 13;
        memcpy(b.descriptions + static_cast<size_t>(i) * CHAN_DESCRIPTION_BLOCK, &bad, sizeof bad);
      }
    }
    uint32_t *program = io_IsOutput(t) ? b.otherStatus : b.workStatus;
    if (program && program != words) memcpy(program, words, sizeof(uint32_t) * static_cast<size_t>(n));
    alm_EndScanEvents();
    shm_NotifyChange(b.area, 0);
    shm_Unlock(b.area);
  }
  errno = reason;
  return 0;
}
