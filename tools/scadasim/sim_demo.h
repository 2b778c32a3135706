// The demo's server world, and the live view of what the scanner publishes.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "tools/scadasim/sim_world.h"

// The demo's road: seconds into pumpsim's run. Unit 1's outlet pressure
// (about 160 bar) surges past the high alarm limit of P1.OP.PRESS, then
// falls back; later unit 2 is unplugged for a while.
const double kDemoSurgeFrom = 12, kDemoSurgeTo = 20, kDemoSurgeBar = 150;
const double kDemoUnplugFrom = 26, kDemoUnplugTo = 32;
const double kDemoSeconds = 40;

// One step of the road: when it happens, the pumpsim option that makes it
// ("" for the end of one) and what the console says.
struct DemoEvent {
  double at;
  std::string option, value, text;
};
std::vector<DemoEvent> demo_Schedule(void);

// The demo's world description, demo.world beside the program: one pump
// device with analogue and digital inputs on pumps 1 and 2, alarm limits,
// events and a significant-change deadband on some of them, an enabled
// "ALARM" and "DERIVED" processor, a "SYSER" status channel and one logger.
std::string demo_WorldPath(void);
int demo_LoadWorld(SimWorldSpec *spec, std::string *why);
// Subscribes the logger and the device itself to some channels.
void demo_Subscribe(const SimWorldSpec &spec);
