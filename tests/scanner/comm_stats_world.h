// The line's counters are kept only once the statistics channels are set up:
// a server world whose device has a statistics area of nine rows (the line
// and pumps 1-8).
#pragma once
#include <string>

#include "framework/status/sts_stats.h"
#include "tools/scadasim/sim_world.h"

struct CommStatsWorld {
  CommStatsWorld() {
    SimWorldSpec spec;
    spec.devices[0].statsCode = "S9";
    spec.devices[0].statsChannels = 90;
    spec.devices[0].writeConfigFiles = false;
    ok = sim_CreateWorld(spec, &why) == 0 && sts_InitCommStats(sim_Device(0), "S9") == 0;
  }
  ~CommStatsWorld() {
    sts_FreeCommStats();
    sim_DestroyWorld();
  }
  CommStatsWorld(const CommStatsWorld &) = delete;
  CommStatsWorld &operator=(const CommStatsWorld &) = delete;
  bool ok = false;
  std::string why;
};
