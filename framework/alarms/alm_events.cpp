// The event pass: per-logger event and significant-change counts from the
// event area's subscription rows, signalled to the loggers at its end.
#include <cerrno>
#include <cstring>

#include "framework/alarms/alm_alarms.h"
#include "framework/alarms/alm_private.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_error.h"

namespace {

struct LoggerCounts {
  int32_t events;       // started minus ended
  uint32_t sigChanges;
  bool counted;         // anything started or ended, even when it nets to 0
};

struct ScanEvents {
  ChannelAreaHeader *header;
  void *eventArea;
  uint8_t *rows;         // row 0: the device's own, row k: logger k's
  uint16_t count;
  uint32_t rowSize;
  int32_t loggers;       // logger rows that the table, the area and the counts all hold
  int32_t touched;       // loggers 0 .. touched - 1 may hold counts
  int32_t hits;          // device-row hits, for the derived notice
  LoggerCounts counts[ALM_MAX_LOGGERS];
};

ScanEvents g_pass;

bool Bit(const uint8_t *row, int channel) { return (row[channel >> 3] & (0x80 >> (channel & 7))) != 0; }

const uint8_t *Row(int32_t k) { return g_pass.rows + static_cast<size_t>(k) * g_pass.rowSize; }

template <typename F>
void ForEachLogger(int channel, F count) {
  for (int32_t k = 1; k <= g_pass.loggers; ++k) {
    if (!Bit(Row(k), channel)) continue;
    count(g_pass.counts[k - 1]);
    if (k > g_pass.touched) g_pass.touched = k;
  }
}

}  // namespace

const ChannelAreaHeader *alm_CurrentHeader(void) { return g_pass.header; }

bool alm_ChannelInPass(int channel) { return g_pass.header && channel >= 0 && channel < g_pass.count; }

void alm_TestDeviceRow(int channel) {
  if (g_pass.rowSize && Bit(Row(0), channel)) g_pass.hits += 1;
}

int alm_BeginScanEvents(ChannelAreaHeader *header) {
  if (g_pass.header) alm_EndScanEvents();
  if (!header) return errno = OS_ERROR_INVALID_PARAMETER, -1;
  char code[3] = {header->code[0], header->code[1], 0};
  void *area = shm_OpenEventArea(code);
  if (!area) return errno = OS_ERROR_FILE_NOT_FOUND, -1;
  if (shm_Lock(area) != 0) return -1;
  g_pass.header = header;
  g_pass.eventArea = area;
  g_pass.count = header->count;
  g_pass.rowSize = shm_EventRowSize(header->count);
  g_pass.rows = shm_Payload(area);
  g_pass.hits = 0;
  g_pass.touched = 0;
  // Every row read must lie inside the area: the device's row first, then as
  // many loggers as the table has, the area holds and the counts cover.
  int64_t rows = g_pass.rowSize ? shm_DataLength(area) / g_pass.rowSize : 0;
  if (rows < 1) g_pass.rowSize = 0;
  int64_t loggers = 0;
  if (rows > 1 && shm_AttachLoggers() == 0 && shm_LoggerTable()) {
    loggers = shm_LoggerTable()->count;
    if (loggers > rows - 1) loggers = rows - 1;
    if (loggers > ALM_MAX_LOGGERS) loggers = ALM_MAX_LOGGERS;
  }
  g_pass.loggers = static_cast<int32_t>(loggers);
  return 0;
}

int alm_EndScanEvents(void) {
  if (!g_pass.header) return errno = OS_ERROR_INVALID_PARAMETER, -1;
  int saved = errno;
  const ShmTable *table = shm_LoggerTable();
  for (int32_t k = 0; k < g_pass.touched; ++k) {
    LoggerCounts &c = g_pass.counts[k];
    if ((c.counted || c.sigChanges) && table && k < table->count) {
      const LoggerRecord *l = reinterpret_cast<const LoggerRecord *>(table->first) + k;
      if (l->Enabled && l->ProcessId) {
        uint32_t code = static_cast<uint32_t>(NTF_LOGGER_BASE + c.events);
        if (c.sigChanges) code |= 0x80000000u;
        ntf_Post(l->ProcessId, static_cast<int32_t>(code));  // a logger that is gone is no failure
      }
    }
    c = LoggerCounts{};
  }
  shm_Unlock(g_pass.eventArea);
  if (g_pass.hits > 0) alm_WriteDerived(g_pass.header->code);
  g_pass.header = nullptr;
  g_pass.eventArea = nullptr;
  g_pass.rows = nullptr;
  g_pass.count = 0;
  g_pass.rowSize = 0;
  g_pass.loggers = g_pass.touched = g_pass.hits = 0;
  errno = saved;
  return 0;
}

int alm_EventOn(int channel) {
  if (!alm_ChannelInPass(channel)) return errno = OS_ERROR_INVALID_PARAMETER, -1;
  alm_TestDeviceRow(channel);
  ForEachLogger(channel, [](LoggerCounts &c) {
    c.events += 1;
    c.counted = true;
  });
  return 0;
}

int alm_EventOff(int channel) {
  if (!alm_ChannelInPass(channel)) return errno = OS_ERROR_INVALID_PARAMETER, -1;
  alm_TestDeviceRow(channel);
  ForEachLogger(channel, [](LoggerCounts &c) {
    c.events -= 1;
    c.counted = true;
  });
  return 0;
}

int alm_SigChangeEvent(int channel) {
  if (!alm_ChannelInPass(channel)) return errno = OS_ERROR_INVALID_PARAMETER, -1;
  ForEachLogger(channel, [](LoggerCounts &c) { c.sigChanges += 1; });
  return 0;
}
