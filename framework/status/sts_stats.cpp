#include "framework/status/sts_stats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "framework/binding/ext_binding.h"
#include "framework/config/chan_text.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/writers/shm_writers.h"
#include "framework/time/tm_time.h"
#include "platform/os_handle.h"

namespace {

struct SlotText {
  const char *name, *description, *on, *off, *units;
};

const SlotText kSlots[STS_ROW_SLOTS] = {
    {"ST", "STATUS", "ENABLED", "DISABLED", nullptr},
    {"RS", "RESET COUNTS", "RESET", "NORESET", nullptr},
    {"RB", "RECEIVE BYTES", nullptr, nullptr, "BYTES"},
    {"RP", "RECEIVE PACKETS", nullptr, nullptr, "PACKETS"},
    {"RT", "RECEIVE TIMEOUTS", nullptr, nullptr, "TIMEOUTS"},
    {"RE", "RECEIVE COMM ERRORS", nullptr, nullptr, "ERRORS"},
    {"RC", "RECEIVE CRC ERRORS", nullptr, nullptr, "ERRORS"},
    {"TB", "TRANSMIT BYTES", nullptr, nullptr, "BYTES"},
    {"TP", "TRANSMIT PACKETS", nullptr, nullptr, "PACKETS"},
    {"TE", "TRANSMIT ERRORS", nullptr, nullptr, "ERRORS"},
};

enum : int { kLowStateText = 64, kDeviceNameMax = 12 };

struct CommStats {
  bool enabled = false;
  bool first = true;
  bool held = false;
  bool counted = false;  // while held
  char code[3] = {};
  char port[STS_PORT_TEXT_MAX + 1] = {};
  int rows = 0;
  // rows x 10 each: the counters, the status words and the values published.
  uint32_t *counters = nullptr;
  uint32_t *status = nullptr;
  float *values = nullptr;
  void *data = nullptr;
  void *conf = nullptr;
};

CommStats g_stats;
std::once_flag g_once;
OsCriticalSection g_lock;  // publication, and the counters it reads

OsCriticalSection *Lock() {
  std::call_once(g_once, [] { os_InitializeCriticalSection(&g_lock); });
  return &g_lock;
}

struct Guard {
  Guard() { os_EnterCriticalSection(Lock()); }
  ~Guard() { os_LeaveCriticalSection(Lock()); }
};

// Names never follow the process locale.
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

void Release(void) {
  free(g_stats.counters);
  g_stats.counters = nullptr;
  g_stats.status = nullptr;
  g_stats.values = nullptr;
  g_stats.enabled = false;
  g_stats.rows = 0;
}

void ChannelName(char *out, size_t size, const char *device, int instance, int row, const char *what) {
  if (instance && row)
    snprintf(out, size, "%1.5s_%d_%03d_%s", device, instance, row, what);
  else if (instance)
    snprintf(out, size, "%1.9s_%d_%s", device, instance, what);
  else if (row)
    snprintf(out, size, "%1.8s_%03d_%s", device, row, what);
  else
    snprintf(out, size, "%1.12s_%s", device, what);
}

// Whether a write is due: a digital output whose bit, or an analogue one
// whose value, differs from the area's.
bool DigitalChanged(const uint32_t *published, int n) {
  for (int i = 0; i < n; ++i) {
    int slot = i % STS_ROW_SLOTS;
    if (slot < 2 && (published[i] & 1u) != (g_stats.status[i] & 1u)) return true;
  }
  return false;
}

bool AnalogueChanged(const float *published, int n) {
  for (int i = 0; i < n; ++i)
    if (i % STS_ROW_SLOTS >= 2 && memcmp(&published[i], &g_stats.values[i], sizeof(float)) != 0) return true;
  return false;
}

}  // namespace

void sts_BuildCommStatsChannels(const char *deviceName, int instance, int row, ChannelRecord records[STS_ROW_SLOTS]) {
  char device[kDeviceNameMax + 1] = {};
  for (int i = 0; deviceName && i < kDeviceNameMax && deviceName[i]; ++i)
    device[i] = Upper(deviceName[i]);
  memset(records, 0, sizeof(ChannelRecord) * STS_ROW_SLOTS);
  for (int s = 0; s < STS_ROW_SLOTS; ++s) {
    ChannelRecord *r = &records[s];
    const SlotText &t = kSlots[s];
    r->raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(t.units ? IO_AO : IO_DO);
    chan_SetFlagBit(r, CHAN_FLAG_ENABLE, true);
    char text[64];
    ChannelName(text, sizeof text, device, instance, row, t.name);
    chan_SetTag(r, text);
    ChannelName(text, sizeof text, device, instance, row, t.description);
    chan_SetDescription(r, text);
    if (t.units) {
      chan_SetUnits(r, t.units);
      continue;
    }
    const char *port = s == 0 ? g_stats.port : "";
    char on[64], off[64];
    snprintf(on, sizeof on, "%s%s%s", t.on, port[0] ? " " : "", port);
    snprintf(off, sizeof off, "%s%s%s", t.off, port[0] ? " " : "", port);
    chan_PutText32(r, CHAN_HIGH_STATE_TEXT_OFFSET, on);
    chan_PutText32(r, kLowStateText, off);
  }
}

int sts_InitCommStats(const DeviceRecord *record, const char *code) {
  Guard g;
  Release();
  if (!record || !code || !code[0] || !code[1]) return -1;
  g_stats.first = true;
  for (int i = 0; i < 2; ++i) g_stats.code[i] = Upper(code[i]);
  g_stats.code[2] = '\0';
  char name[sizeof record->Name + 1] = {};
  memcpy(name, record->Name, sizeof record->Name);
  g_stats.port[0] = '\0';
  ext_GetConfigPort(name, g_stats.port, sizeof g_stats.port);

  void *data = shm_OpenDataArea(g_stats.code);
  void *conf = shm_OpenConfArea(g_stats.code);
  if (!data || !conf) return -1;
  ChannelAreaHeader *h = shm_AreaHeader(data);
  int rows = h->count / STS_ROW_SLOTS;
  if (h->entryWidth != 8 || rows == 0) return -1;
  int n = rows * STS_ROW_SLOTS;
  if (shm_DataLength(data) < 20 + 8 * static_cast<int64_t>(h->count) ||
      shm_DataLength(conf) < static_cast<int64_t>(n) * CHAN_RECORD_SIZE)
    return -1;
  // One block of rows x 120 bytes: counters, status words, values.
  uint8_t *block = static_cast<uint8_t *>(calloc(static_cast<size_t>(rows), 120));
  if (!block) return -1;
  g_stats.counters = reinterpret_cast<uint32_t *>(block);
  g_stats.status = g_stats.counters + n;
  g_stats.values = reinterpret_cast<float *>(g_stats.status + n);
  g_stats.rows = rows;
  g_stats.data = data;
  g_stats.conf = conf;
  g_stats.counters[0] = record->Running;

  if (shm_Lock(conf) == 0) {
    ChannelRecord *records = reinterpret_cast<ChannelRecord *>(shm_AreaRecords(conf));
    uint32_t *words = shm_AreaStatusWords(data);
    for (int r = 0; r < rows; ++r) {
      sts_BuildCommStatsChannels(name, record->Instance, r, records + r * STS_ROW_SLOTS);
      words[r * STS_ROW_SLOTS] |= CST_ANALOGUE;
    }
    tm_Now(&h->changed);
    shm_NotifyChange(conf, 0);
    shm_Unlock(conf);
  }
  g_stats.enabled = true;
  sts_PublishCommStats();
  return 0;
}

void sts_PublishCommStats(void) {
  Guard g;
  if (!g_stats.enabled) return;
  int n = g_stats.rows * STS_ROW_SLOTS;
  uint32_t *published = shm_AreaStatusWords(g_stats.data);
  if (shm_Lock(g_stats.conf) != 0) return;
  for (int r = 0; r < g_stats.rows; ++r) {
    uint32_t *c = g_stats.counters + r * STS_ROW_SLOTS;
    uint32_t *s = g_stats.status + r * STS_ROW_SLOTS;
    s[0] = (s[0] & ~1u) | (c[0] != 0 ? 1u : 0u);
    if (published[r * STS_ROW_SLOTS + 1] & 1u) {
      memset(c, 0, sizeof(uint32_t) * STS_ROW_SLOTS);
      s[1] &= ~1u;
    }
    for (int k = 0; k < STS_ROW_SLOTS; ++k) g_stats.values[r * STS_ROW_SLOTS + k] = static_cast<float>(c[k]);
  }
  shm_Unlock(g_stats.conf);
  if (g_stats.first) {
    g_stats.first = false;
    shm_ForceDigital(g_stats.code, 1, n, g_stats.status);
    shm_ForceAnalog(g_stats.code, 1, n, g_stats.values);
    return;
  }
  if (DigitalChanged(published, n)) shm_WriteDigital(g_stats.code, 1, n, g_stats.status);
  if (AnalogueChanged(shm_AreaValues(g_stats.data), n)) shm_WriteAnalog(g_stats.code, 1, n, g_stats.values);
}

void sts_FreeCommStats(void) {
  Guard g;
  if (!g_stats.enabled) return;
  for (int r = 0; r < g_stats.rows; ++r) g_stats.counters[r * STS_ROW_SLOTS] = 0;
  sts_PublishCommStats();
  Release();
}

namespace {

// Adds to a row (and, for a unit, to the line's row 0). False when there is
// nowhere to count.
bool Count(int row, uint32_t amount, int slot) {
  // A row the area does not provide has nowhere to go.
  if (!g_stats.enabled || row < 0 || row >= g_stats.rows || slot < 1 || slot > STS_ROW_SLOTS) return false;
  uint32_t *c = g_stats.counters + row * STS_ROW_SLOTS;
  c[0] = 1;
  c[slot - 1] += amount;
  // What a unit counts, the line has counted too.
  if (row != 0) {
    g_stats.counters[0] = 1;
    g_stats.counters[slot - 1] += amount;
  }
  return true;
}

}  // namespace

void sts_AddCommCounter(int row, uint32_t amount, int slot) {
  Guard g;
  if (!Count(row, amount, slot)) return;
  if (g_stats.held)
    g_stats.counted = true;
  else
    sts_PublishCommStats();
}

void sts_HoldPublication(bool hold) {
  Guard g;
  if (hold == g_stats.held) return;
  g_stats.held = hold;
  if (!g_stats.enabled) return;
  if (hold) {
    g_stats.counted = false;
    const uint32_t *published = shm_AreaStatusWords(g_stats.data);
    for (int r = 0; r < g_stats.rows; ++r)
      if (published[r * STS_ROW_SLOTS + 1] & 1u) return sts_PublishCommStats();
    return;
  }
  if (g_stats.counted) sts_PublishCommStats();
  g_stats.counted = false;
}

// Counted only: published with the count that ends the reply, not once a byte.
void sts_AddReceiveBytes(int row, uint32_t amount) {
  if (amount == 0) return;
  Guard g;
  if (Count(row, amount, STS_SLOT_RX_BYTES) && g_stats.held) g_stats.counted = true;
}
void sts_AddReceivePackets(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_PACKETS); }
void sts_AddReceiveTimeouts(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_TIMEOUTS); }
void sts_AddReceiveCommErrors(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_COMM_ERRORS); }
void sts_AddReceiveCrcErrors(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_CRC_ERRORS); }
void sts_AddTransmitBytes(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_TX_BYTES); }
void sts_AddTransmitPackets(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_TX_PACKETS); }
void sts_AddTransmitErrors(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_TX_ERRORS); }

uint32_t sts_GetCommCounter(int row, int slot) {
  Guard g;
  if (!g_stats.enabled || row < 0 || row >= g_stats.rows || slot < 1 || slot > STS_ROW_SLOTS) return 0;
  return g_stats.counters[row * STS_ROW_SLOTS + slot - 1];
}

int sts_CommStatsRows(void) {
  Guard g;
  return g_stats.enabled ? g_stats.rows : 0;
}
