#!/usr/bin/env bash
# usage: scripts/test.sh
#
# Installs what is missing, then builds and runs the whole test suite twice:
# once as built for use (in build/, with the tests whatever an earlier
# configure there left out), once under AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-sanitize/); each run starts and stops
# its own private server. Last, a short run of the fuzz targets (clang's
# libFuzzer, in build-fuzz/). A run that finds no test fails.
#
# A suite that skipped a case here (one that needs root, when run as another
# user; valgrind's, without valgrind) shows as skipped, and the cases it
# skipped are listed with the reason after that build's run. A case left to
# another build (the server scripts' to the plain one, the Windows console's
# to the Windows build) is not counted.
set -euo pipefail

if [ $# -gt 0 ]; then
    case $1 in
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "test: unknown option $1 (see scripts/test.sh --help)" >&2
        exit 2
        ;;
    esac
fi

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
    (cd "$build" && ctest --output-on-failure --no-tests=error -j2)
    # CTest shows no output of a skipped suite: its skipped cases, and why.
    sed -n 's/^skipped: /test: skipped in '"$name"': /p' "$build/Testing/Temporary/LastTest.log" >&2
}

# scripts/run.sh configures build/ without the tests, and the cache would keep that.
run_suite "the program" "$here/build" -DBUILD_TESTING=ON -DMUSIC_INVENTORY_TIMEOUT_TEST=ON
# The connect timeout waits a whole minute, and the plain build has shown it.
run_suite "the sanitizer build" "$here/build-sanitize" -DBUILD_TESTING=ON \
    -DMUSIC_INVENTORY_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DMUSIC_INVENTORY_TIMEOUT_TEST=OFF
CC=clang CXX=clang++ run_suite "the fuzz targets" "$here/build-fuzz" -DMUSIC_INVENTORY_FUZZ=ON \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Debug
