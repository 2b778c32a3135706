#!/usr/bin/env bash
# Builds one configuration: "release" into build/, "asan" (AddressSanitizer + UBSan) into build-asan/,
# "fuzz" (clang, libFuzzer with the sanitizers; only the fuzz targets) into build-fuzz/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
jobs=$(nproc 2>/dev/null || echo 4)
targets=()
case "$kind" in
  release) dir="$top/build"; flags=() ;;
  asan)    dir="$top/build-asan"; flags=(-DTNW_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  fuzz)    dir="$top/build-fuzz"; flags=(-DTNW_FUZZ=ON -DTNW_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
           targets=(--target fuzz_all); export CC=clang CXX=clang++ ;;
  *) echo "usage: $0 [release|asan|fuzz]" >&2; exit 2 ;;
esac
cmake -S "$top" -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs" "${targets[@]}"
