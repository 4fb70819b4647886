#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice:
# once as built for use, once under AddressSanitizer and
# UndefinedBehaviorSanitizer; each run starts and stops its own private
# server. Last, a short run of the fuzz targets (clang's libFuzzer).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
"$here/scripts/setup.sh" --test

run_suite() {
    local name=$1 build=$2
    shift 2
    echo "test: building $name in ${build#"$here"/}..." >&2
    local log
    log=$(mktemp)
    if ! { cmake -S "$here" -B "$build" "$@" && cmake --build "$build" -j"$jobs"; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "test: building $name failed" >&2
        exit 1
    fi
    rm -f "$log"
    echo "test: running the tests of $name..." >&2
    (cd "$build" && ctest --output-on-failure -j2)
}

run_suite "the program" "$here/build"
# The connect timeout waits a whole minute, and the plain build has shown it.
run_suite "the sanitizer build" "$here/build-sanitize" -DMUSIC_INVENTORY_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug -DMUSIC_INVENTORY_TIMEOUT_TEST=OFF
CC=clang CXX=clang++ run_suite "the fuzz targets" "$here/build-fuzz" -DMUSIC_INVENTORY_FUZZ=ON \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Debug
