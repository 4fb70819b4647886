#!/usr/bin/env bash
# Benchmarks music-inventory against the mariadb client on 10,000, 100,000 and
# 1,000,000 songs, on a private server of its own; prints one table.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$here/build-bench
datadir=$build/bench-db
"$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DMUSIC_INVENTORY_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

"$here/scripts/dbserver.sh" start "$datadir" >/dev/null
trap '"$here/scripts/dbserver.sh" stop "$datadir"' EXIT
python3 "$here/bench/bench.py" --program "$build/music-inventory" --bare "$build/bench/bare_store" \
    --glibc-program "$build/music-inventory-glibc-malloc" \
    --socket "$("$here/scripts/dbserver.sh" socket "$datadir")" \
    --datadir "$datadir" "$@"
