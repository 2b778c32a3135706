// The demo's whole road (`scadasim demo --whole`): beside the scanner's demo,
// two loggers keep runs in a folder and in a SQLite catalog, cfgtool changes a
// channel through its dialog and prints the configuration, logtool reads the
// outlet's surge back through the in-process provider and over TLS, and the
// older runs go to an archive. Each step runs on a thread of its own, timed
// from the pump line's start; the scan loop takes its lines and requests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/scadasim/sim_world.h"

struct WholeRoad;

// Starts the road for the world's first device; files the person looks at
// (PDF, PNG, the loggers' output) go into outDir. Null when it cannot start.
WholeRoad *whole_Start(const SimWorldSpec &spec, const std::string &outDir, uint32_t lineStart);
// The scan loop's share, on its thread: the analogue channels of the pass it
// just saw; the lines the road has to say since the last call; and whether
// the road asks for a reconfigure in place of the next scan.
void whole_Tick(WholeRoad *road, const std::vector<SimChannel> &ai);
std::vector<std::string> whole_TakeLines(WholeRoad *road);
bool whole_TakeReconfigure(WholeRoad *road);
// Ends the road (loggers stopped, the archive made) and frees it: the closing
// lines, one a step, with figures. *ok is false when a step failed.
std::vector<std::string> whole_Finish(WholeRoad *road, bool *ok);
