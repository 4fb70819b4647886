#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# once as built for use, once under AddressSanitizer and
# UndefinedBehaviorSanitizer; each run starts and stops its own private
# server. Last, a short run of the fuzz targets (clang's libFuzzer).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
"$here/scripts/setup.sh"

run_suite() {
    local build=$1
    shift
    cmake -S "$here" -B "$build" "$@" >/dev/null
    cmake --build "$build" -j"$jobs"
    (cd "$build" && ctest --output-on-failure -j2)
}

run_suite "$here/build"
run_suite "$here/build-sanitize" -DMUSIC_INVENTORY_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
CC=clang CXX=clang++ run_suite "$here/build-fuzz" -DMUSIC_INVENTORY_FUZZ=ON \
    -DMUSIC_INVENTORY_TESTS=OFF -DCMAKE_BUILD_TYPE=Debug
