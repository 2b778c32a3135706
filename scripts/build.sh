#!/usr/bin/env bash
# Builds one configuration: "release" into build/, "asan" (AddressSanitizer + UBSan) into build-asan/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
jobs=$(nproc 2>/dev/null || echo 4)
case "$kind" in
  release) dir="$top/build"; flags=() ;;
  asan)    dir="$top/build-asan"; flags=(-DTNW_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "usage: $0 [release|asan]" >&2; exit 2 ;;
esac
cmake -S "$top" -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
