#!/usr/bin/env bash
# Sets up the machine, builds, and runs the demo of the whole system: the
# scanner driven by the server stand-in, the loggers, cfgtool, logtool and
# the archive, on a temporary platform root of its own.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" release
unset PLATFORM_ROOT
exec "$top/build/bin/scadasim" demo --whole "$@"
