#!/usr/bin/env bash
# Sets up the machine, checks that nothing above the platform layer reaches
# past it, builds both configurations and runs every test in each (the soak's
# short form among them), compiles the release build with clang too, then
# builds the fuzz targets and runs each for a bounded time.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 4)
# Each step's time, so a slow step shows in the log.
step() { echo "test.sh: $1 done at ${SECONDS} s"; }
"$top/scripts/setup.sh"
step setup
"$top/scripts/check-seam.sh"
"$top/scripts/build.sh" release
step "release build"
"$top/scripts/build.sh" asan
step "asan build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
(cd "$top/build" && ctest -j "$jobs" --output-on-failure "$@") || status=1
step "release tests"
(cd "$top/build-asan" && ctest -j "$jobs" --output-on-failure "$@") || status=1
step "asan tests"
# Both compilers stay warning-free (-Werror) at -O3: clang compiles the release build too.
"$top/scripts/build.sh" clang-release || status=1
step "clang build"
# Each fuzz target runs for FUZZ_SECONDS (default 15), one per core (each is one thread).
fuzz_seconds=${FUZZ_SECONDS:-15}
fuzz_jobs=$jobs
fuzz_one() {
  local bin=$1 name work log
  name=$(basename "$bin")
  # New inputs go to a scratch folder; the seed corpus in the tree stays as it is.
  work=$(mktemp -d)
  log="$top/build-fuzz/$name.log"
  if ! "$bin" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$top/build-fuzz/artifacts/$name-" \
      "$work" "$top/tests/fuzz/corpus/${name#fuzz_}" >"$log" 2>&1; then
    echo "$name found a failure (input in build-fuzz/artifacts/):" >&2
    tail -n 40 "$log" >&2
    rm -rf "$work"
    return 1
  fi
  grep -h '^Done' "$log" | sed "s/^/$name: /"
  rm -rf "$work"
}
if "$top/scripts/build.sh" fuzz; then
  mkdir -p "$top/build-fuzz/artifacts"
  running=0
  for bin in "$top"/build-fuzz/fuzz/fuzz_*; do
    fuzz_one "$bin" &
    running=$((running + 1))
    if [ "$running" -ge "$fuzz_jobs" ]; then
      wait -n || status=1
      running=$((running - 1))
    fi
  done
  while [ "$running" -gt 0 ]; do
    wait -n || status=1
    running=$((running - 1))
  done
else
  status=1
fi
step "fuzz runs"
exit $status
