#!/usr/bin/env bash
# usage: bench/run.sh [--runs N] [--sizes ROWS,ROWS,...]
#
# Benchmarks music-inventory against the server's own client (mariadb or
# mysql) on 10,000, 100,000 and 1,000,000 songs, on a private server of its
# own in build-bench/, and prints one table (bench/README.md tells what it
# measures, and how long it takes).
#
#   --runs N       rounds of every measurement; the table gives their
#                  medians (default 5)
#   --sizes LIST   the numbers of songs, separated by commas, from 1 to
#                  1000000 (default 10000,100000,1000000); instructions are
#                  counted with callgrind when 100000 is among them
#
# Installs what is missing (scripts/setup.sh --bench: valgrind and python3
# besides what building needs), builds for speed in build-bench/, and stops
# its server at the end.
set -euo pipefail

usage="usage: bench/run.sh [--runs N] [--sizes ROWS,ROWS,...]"
options=()
while [ $# -gt 0 ]; do
    case $1 in
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
        exit 0
        ;;
    --runs | --sizes)
        [ $# -ge 2 ] || { echo "bench: $1 needs a value ($usage)" >&2; exit 2; }
        options+=("$1=$2")
        shift 2
        ;;
    --runs=* | --sizes=*)
        options+=("$1")
        shift
        ;;
    *)
        echo "bench: unknown option $1 ($usage)" >&2
        exit 2
        ;;
    esac
done
# Checked before the build, which takes minutes. The fill makes at most a
# million songs.
for option in ${options[@]+"${options[@]}"}; do
    name=${option%%=*} value=${option#*=}
    numbers=()
    if [[ $value =~ ^[1-9][0-9]{0,6}(,[1-9][0-9]{0,6})*$ ]]; then IFS=, read -ra numbers <<<"$value"; fi
    for number in "${numbers[@]}"; do [ "$number" -le 1000000 ] || numbers=(); done
    if [ ${#numbers[@]} = 0 ] || { [ "$name" = --runs ] && [ ${#numbers[@]} != 1 ]; }; then
        echo "bench: $name takes numbers from 1 to 1000000, not $value ($usage)" >&2
        exit 2
    fi
done

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$here/build-bench
datadir=$build/bench-db
"$here/scripts/setup.sh" --bench
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DMUSIC_INVENTORY_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

"$here/scripts/dbserver.sh" start "$datadir" >/dev/null
trap '"$here/scripts/dbserver.sh" stop "$datadir"' EXIT
python3 "$here/bench/bench.py" --program "$build/music-inventory" --bare "$build/bench/bare_store" \
    --glibc-program "$build/music-inventory-glibc-malloc" \
    --socket "$("$here/scripts/dbserver.sh" socket "$datadir")" \
    --datadir "$datadir" ${options[@]+"${options[@]}"}
