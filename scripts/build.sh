#!/usr/bin/env bash
# Builds one configuration: "release" (Release, -O3, with the benchmarks) into build/, "asan"
# (AddressSanitizer + UBSan, Debug) into build-asan/, "clang-release" (the release build with clang, so both
# compilers stay warning-free) into build-clang/, "fuzz" (clang, libFuzzer with the sanitizers; only the
# fuzz targets) into build-fuzz/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-release}
jobs=$(nproc 2>/dev/null || echo 4)
targets=()
case "$kind" in
  release) dir="$top/build"; flags=(-DCMAKE_BUILD_TYPE=Release) ;;
  clang-release)
           dir="$top/build-clang"; flags=(-DCMAKE_BUILD_TYPE=Release); export CC=clang CXX=clang++ ;;
  asan)    dir="$top/build-asan"; flags=(-DTNW_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  fuzz)    dir="$top/build-fuzz"; flags=(-DTNW_FUZZ=ON -DTNW_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
           targets=(--target fuzz_all); export CC=clang CXX=clang++ ;;
  *) echo "usage: $0 [release|asan|clang-release|fuzz]" >&2; exit 2 ;;
esac
cmake -S "$top" -B "$dir" "${flags[@]}" >/dev/null
echo "build.sh: $kind into $dir, build type $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt"), compiler ${CXX:-c++}"
cmake --build "$dir" -j "$jobs" "${targets[@]}"
