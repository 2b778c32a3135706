#!/usr/bin/env bash
# Sets up the machine, builds both configurations and runs every test in each.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 4)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" release
"$top/scripts/build.sh" asan
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
(cd "$top/build" && ctest -j "$jobs" --output-on-failure "$@") || status=1
(cd "$top/build-asan" && ctest -j "$jobs" --output-on-failure "$@") || status=1
exit $status
