// The rule that reads a run's name in a folder listing: which names are runs,
// their start and end times, and whose runs they are. Listing, finding the
// newest run and purging all decide through it.
#pragma once
#include <cstddef>
#include <cstdint>

struct LogRunName {
  size_t prefixLength;  // characters before the start stamp
  int64_t start;        // seconds of the start stamp
  int64_t end;          // seconds of the end stamp; 0 while the run is open
};

// Names longer than this are never runs (a listing slot holds 256 bytes).
inline constexpr size_t LOG_RUN_NAME_MAX = 255;

// Reads `name` as a run with extension `ext` (".odl", ".txt", ...): not
// empty, not beginning with '.', at most LOG_RUN_NAME_MAX characters, and,
// once the top bit of its last character is cleared, ending in a whole
// open or closed stamp with the extension (letter case ignored). False when
// it is not a run.
bool log_ParseRunName(const char *name, const char *ext, LogRunName *run);

// Whether a run read from `name` belongs to `prefix`: the name begins with
// the prefix (letter case ignored) and the start stamp follows it directly;
// an empty prefix takes names that begin with the stamp.
bool log_RunOfPrefix(const char *name, const LogRunName &run, const char *prefix);

// Whether a purge with cut-off `cutoff` removes `name`: a closed run of
// `prefix` whose start and end are both before the cut-off.
bool log_PurgeTakes(const char *name, const char *ext, const char *prefix, int64_t cutoff);
