#include "tools/scadasim/sim_demo.h"

#include <cstdio>
#include <cstring>

#include "framework/config/chan_text.h"
#include "tools/scadasim/sim_file.h"

std::vector<DemoEvent> demo_Schedule(void) {
  char surge[64], unplug[64];
  snprintf(surge, sizeof surge, "1/%g-%g:%g", kDemoSurgeFrom, kDemoSurgeTo, kDemoSurgeBar);
  snprintf(unplug, sizeof unplug, "2=absent/%g-%g", kDemoUnplugFrom, kDemoUnplugTo);
  return {
      {kDemoSurgeFrom, "--surge", surge, "unit 1's outlet is blocked: its pressure climbs past the P1.OP.PRESS limit"},
      {kDemoSurgeTo, "", "", "unit 1's outlet is clear again: the pressure falls back"},
      {kDemoUnplugFrom, "--fault", unplug, "unit 2 is unplugged"},
      {kDemoUnplugTo, "", "", "unit 2 is plugged back in"},
  };
}

std::string demo_WorldPath(void) { return sim_ProgramPath("demo.world"); }

int demo_LoadWorld(SimWorldSpec *spec, std::string *why) { return simfile_Load(demo_WorldPath(), spec, why); }

void demo_Subscribe(const SimWorldSpec &spec) {
  const SimDeviceSpec &d = spec.devices[0];
  for (int ch : {1, 2}) sim_Subscribe(d.codes[IO_AI], 1, ch);
  for (int ch : {3, 4}) sim_Subscribe(d.codes[IO_DI], 1, ch);
  sim_Subscribe(d.codes[IO_AI], 0, 1);
  sim_Subscribe(d.codes[IO_DI], 0, 2);
}
