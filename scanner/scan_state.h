// The driver's global state: the flags the listener sets, this instance's
// device record, the working configuration, the saved-values settings and the
// per-type buffers that the scan cycle and the pump handlers work on.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "framework/config/chan_record.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_tables.h"
#include "framework/time/tm_time.h"

struct ScanTypeBuffers {
  void *area;                  // data area segment, NULL when the type has none
  ChannelAreaHeader *header;   // area + 128
  ChannelRecord *table;        // configuration area + 128
  uint32_t *workStatus;
  uint32_t *otherStatus;
  float *workValues;
  float *otherValues;
  uint32_t *previous;          // previous values for the change deadband (0x7FFFFFFF: none)
  uint8_t *descriptions;       // per-channel description blocks, when the area has room
  float *zeroOffsets;          // AI and CI only
  bool changed;                // AO and DO: the pass changed the program's copy
};

struct ScanState {
  // The five flag words that the listener writes and the main thread clears.
  std::atomic<int> run{1};
  std::atomic<int> pendingScans{0};
  std::atomic<int> reconfigure{0};
  std::atomic<int> initialiseValues{0};
  std::atomic<int> resetCounters{0};

  DeviceRecord *record = nullptr;
  uint8_t config[DEVICE_CONFIG_SIZE] = {};

  uint8_t saveOutputs = 0;
  uint8_t saveByTag = 0;
  uint32_t saveRate = 0;
  TimeStamp nextSave = {};

  char computerName[16] = {};
  char userName[257] = {};

  uint16_t limit[IO_TYPE_COUNT] = {128, 256, 0, 0, 0};
  ScanTypeBuffers type[IO_TYPE_COUNT] = {};
  void *block = nullptr;
};

extern ScanState g_scan;

// Channel counts as the scan works them: the limit, or 0 without an area.
inline uint16_t scan_Count(int t) { return g_scan.type[t].area ? g_scan.limit[t] : 0; }
inline const char *scan_Folder() { return g_scan.record ? g_scan.record->Folder : ""; }
