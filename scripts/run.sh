#!/usr/bin/env bash
# usage: scripts/run.sh
#
# Installs what is missing (scripts/setup.sh), builds in build/ (without the
# tests), starts the private server in .dbdata/ with the sample inventory,
# and runs music-inventory on it in this terminal. The server is stopped
# when the program ends, unless it was running before.
set -euo pipefail

if [ $# -gt 0 ]; then
    case $1 in
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "run: unknown option $1 (see scripts/run.sh --help)" >&2
        exit 2
        ;;
    esac
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$here/scripts/setup.sh"

echo "run: building in build/..." >&2
log=$(mktemp)
if ! { cmake -S "$here" -B "$here/build" -DBUILD_TESTING=OFF &&
    cmake --build "$here/build" -j"$(nproc)"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "run: the build failed" >&2
    exit 1
fi
rm -f "$log"

# The server is started if needed, and stopped when the last run command
# using it ends, unless it was running before.
exec "$here/scripts/dbserver.sh" run "$here/.dbdata" "$here/build/music-inventory"
