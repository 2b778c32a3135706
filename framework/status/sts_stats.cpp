// Minimal bodies until the statistics channels land: the counters are kept
// in memory only; nothing is published.
#include "framework/status/sts_stats.h"

#include <mutex>
#include <vector>

namespace {

std::mutex g_lock;
std::vector<uint32_t> g_counters;  // rows x 10

void Add(int row, int slot, uint32_t amount) {
  size_t at = static_cast<size_t>(row) * 10 + static_cast<size_t>(slot - 1);
  if (g_counters.size() <= at) g_counters.resize((static_cast<size_t>(row) + 1) * 10, 0);
  g_counters[at] += amount;
  g_counters[static_cast<size_t>(row) * 10] = 1;
}

}  // namespace

int sts_InitCommStats(DeviceRecord *, const char *) { return 0; }

void sts_FreeCommStats(void) {
  std::lock_guard<std::mutex> g(g_lock);
  g_counters.clear();
}

void sts_AddCommCounter(int row, uint32_t amount, int slot) {
  // Pump numbers are bounded by the line: a row far out is no row.
  if (row < 0 || row > 255 || slot < 1 || slot > 10) return;
  std::lock_guard<std::mutex> g(g_lock);
  Add(row, slot, amount);
  if (row != 0) Add(0, slot, amount);
}

void sts_AddReceiveBytes(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_BYTES); }
void sts_AddReceivePackets(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_PACKETS); }
void sts_AddReceiveTimeouts(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_TIMEOUTS); }
void sts_AddReceiveCommErrors(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_COMM_ERRORS); }
void sts_AddReceiveCrcErrors(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_RX_CRC_ERRORS); }
void sts_AddTransmitBytes(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_TX_BYTES); }
void sts_AddTransmitPackets(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_TX_PACKETS); }
void sts_AddTransmitErrors(int row, uint32_t amount) { sts_AddCommCounter(row, amount, STS_SLOT_TX_ERRORS); }

uint32_t sts_GetCommCounter(int row, int slot) {
  std::lock_guard<std::mutex> g(g_lock);
  size_t at = static_cast<size_t>(row) * 10 + static_cast<size_t>(slot - 1);
  return row >= 0 && slot >= 1 && slot <= 10 && at < g_counters.size() ? g_counters[at] : 0;
}
