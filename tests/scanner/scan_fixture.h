// A scanner in this test process: a server world, the device's configuration
// loaded into the driver state, the status entry registered.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "framework/alarms/alm_alarms.h"
#include "framework/status/sts_status.h"
#include "scanner/com_port.h"
#include "scanner/pump_handlers.h"
#include "scanner/scan_cycle.h"
#include "scanner/scan_life.h"
#include "scanner/scan_state.h"
#include "tools/scadasim/sim_world.h"

namespace scantest {

// One channel's shape: pump and value index in its hardware block, and
// whatever else the case sets.
struct ChannelSpec {
  uint32_t pump = 0, value = 0;
  std::function<void(ChannelRecord *)> shape;
};

inline void SetHardware(ChannelRecord *r, bool digital, uint32_t pump, uint32_t value) {
  int at = digital ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  memcpy(r->raw + at, &pump, 4);
  memcpy(r->raw + at + 4, &value, 4);
}

inline void ResetScanState() {
  g_scan.run = 1;
  g_scan.pendingScans = 0;
  g_scan.reconfigure = g_scan.initialiseValues = g_scan.resetCounters = 0;
  g_scan.record = nullptr;
  memset(g_scan.config, 0, sizeof g_scan.config);
  g_scan.saveOutputs = g_scan.saveByTag = 0;
  g_scan.saveRate = 0;
  g_scan.nextSave = TimeStamp{};
  const uint16_t limits[IO_TYPE_COUNT] = {128, 256, 0, 0, 0};
  memcpy(g_scan.limit, limits, sizeof limits);
  for (ScanTypeBuffers &b : g_scan.type) b = ScanTypeBuffers{};
  free(g_scan.block);
  g_scan.block = nullptr;
  pump_ResetState();
}

class ScanWorld {
 public:
  // Channels of AI and DI as listed; the world as `edit` leaves it.
  bool Build(const std::vector<ChannelSpec> &ai, const std::vector<ChannelSpec> &di,
             const std::function<void(SimWorldSpec &)> &edit = nullptr) {
    SimWorldSpec w;
    SimDeviceSpec &d = w.devices[0];
    d.channels[IO_AI] = static_cast<uint16_t>(ai.size());
    d.channels[IO_DI] = static_cast<uint16_t>(di.size());
    if (ai.empty()) d.codes[IO_AI] = "";
    if (di.empty()) d.codes[IO_DI] = "";
    ai_ = ai;
    di_ = di;
    d.channelSetup = [this](int t, int i, ChannelRecord *r) {
      const std::vector<ChannelSpec> &list = t == IO_AI ? ai_ : di_;
      if (static_cast<size_t>(i) >= list.size()) return;
      SetHardware(r, t == IO_DI, list[i].pump, list[i].value);
      if (list[i].shape) list[i].shape(r);
    };
    w.processors.push_back({"ALARM", "Alarms", "", 0, 1, 0, 0});
    if (edit) edit(w);
    std::string why;
    if (sim_CreateWorld(w, &why) != 0) return ADD_FAILURE() << why, false;
    if (sim_OpenServerSlots(&why) != 0) return ADD_FAILURE() << why, false;
    oldCwd_ = std::filesystem::current_path();
    std::filesystem::current_path(sim_DeviceFolder(0));
    ResetScanState();
    g_scan.record = sim_Device(0);
    sts_RegisterDriverStatus(STS_KIND_DRIVER, "TNWELL1");
    if (scan_LoadConfiguration() != 0) return ADD_FAILURE() << "load: " << sim_StatusText("TNWELL1"), false;
    built_ = true;
    return true;
  }
  // The device's init handlers after marking everything bad, with the port opened.
  bool Initialise() {
    scan_MarkAllBad(0);
    if (com_OpenPort(g_scan.record) != 0) return ADD_FAILURE() << "port: " << errno, false;
    for (int t = 0; t < IO_TYPE_COUNT; ++t)
      if (g_scan.type[t].area && InitHandlerTable[t](g_scan.config, g_scan.limit[t], g_scan.type[t].table) != 0)
        return ADD_FAILURE() << "init of type " << t, false;
    return true;
  }
  ~ScanWorld() {
    if (!built_) {
      sim_DestroyWorld();
      return;
    }
    com_ClosePort();
    alm_CloseAlarmSlot();
    alm_CloseDerivedSlot();
    std::filesystem::current_path(oldCwd_);
    sim_DestroyWorld();
    ResetScanState();
  }

  static const uint32_t *Words(const char *code) { return shm_AreaStatusWords(sim_Area(code, SHM_AREA_DATA)); }
  static const float *Values(const char *code) { return shm_AreaValues(sim_Area(code, SHM_AREA_DATA)); }

 private:
  std::vector<ChannelSpec> ai_, di_;
  std::filesystem::path oldCwd_;
  bool built_ = false;
};

}  // namespace scantest
