// The demo's server world, and the live view of what the scanner publishes.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "tools/scadasim/sim_world.h"

// One pump device with analogue and digital inputs on pumps 1 and 2, alarm
// limits, events and a significant-change deadband on some of them, an
// enabled "ALARM" and "DERIVED" processor, a "SYSER" status channel and one
// logger.
SimWorldSpec demo_WorldSpec(void);
// Subscribes the logger and the device itself to some channels.
void demo_Subscribe(const SimWorldSpec &spec);

// The channel table of the device's areas: tag, value, units, state flags.
void demo_PrintTable(FILE *out, const SimWorldSpec &spec);
