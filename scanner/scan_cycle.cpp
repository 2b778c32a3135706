#include "scanner/scan_cycle.h"

#include <cerrno>
#include <cstring>

#include "framework/shm/shm_segment.h"
#include "scanner/pump_handlers.h"
#include "scanner/scan_state.h"

namespace {
bool IsOutput(int t) { return t == IO_AO || t == IO_DO; }
}  // namespace

// Minimal pass until the evaluation lands: each type's read handler runs in
// the pass order, the working words are published as they stand, the area's
// waiters are told and the durations recorded.
int scan_ScanDevice(int) {
  if (!g_scan.run.load()) return 0;
  static const int kOrder[IO_TYPE_COUNT] = {IO_CI, IO_DO, IO_AO, IO_DI, IO_AI};
  int32_t total = 0;
  for (int t : kOrder) {
    if (!g_scan.run.load()) break;
    ScanTypeBuffers &b = g_scan.type[t];
    if (!b.area) continue;
    TimeStamp start;
    tm_Now(&start);
    if (IsOutput(t)) shm_Lock(b.area);
    int rc = ReadHandlerTable[t](g_scan.record->Config, g_scan.limit[t], b.table, b.workStatus, b.workValues);
    if (rc == -1 || rc == 2) {
      if (IsOutput(t)) {
        int e = errno;
        shm_Unlock(b.area);
        errno = e;
      }
      if (rc == -1) return -1;
      continue;
    }
    if (!IsOutput(t)) shm_Lock(b.area);
    int n = g_scan.limit[t];
    memcpy(b.otherStatus, b.workStatus, sizeof(uint32_t) * static_cast<size_t>(n));
    if (b.workValues && b.otherValues) memcpy(b.otherValues, b.workValues, sizeof(float) * static_cast<size_t>(n));
    b.header->error = 0;
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

int scan_MarkAllBad(int reason) {
  if (g_scan.record) g_scan.record->PassDuration = 0;
  for (int t = 0; t < IO_TYPE_COUNT; ++t) {
    ScanTypeBuffers &b = g_scan.type[t];
    if (!b.area) continue;
    shm_Lock(b.area);
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
    uint32_t *program = IsOutput(t) ? b.otherStatus : b.workStatus;
    if (program != words) memcpy(program, words, sizeof(uint32_t) * static_cast<size_t>(n));
    shm_NotifyChange(b.area, 0);
    shm_Unlock(b.area);
  }
  errno = reason;
  return 0;
}
