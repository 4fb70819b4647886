#!/usr/bin/env bash
# Installs what is missing, builds, starts the private server with the sample
# inventory, and runs music-inventory on it in this terminal.
set -euo pipefail

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
