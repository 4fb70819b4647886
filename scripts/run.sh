#!/usr/bin/env bash
# Installs what is missing, builds, starts the private server with the sample
# inventory, and runs music-inventory on it in this terminal. The server is
# stopped again afterwards, unless it was already running.
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

started=0
stop_server() {
    if [ "$started" = 1 ]; then "$here/scripts/dbserver.sh" stop; fi
}
# In place before the server starts, so that no way out leaves it running.
trap stop_server EXIT
if ! "$here/scripts/dbserver.sh" status; then
    echo "run: starting a private MariaDB server in .dbdata..." >&2
    started=1
    "$here/scripts/dbserver.sh" start
fi

status=0
MYSQL_UNIX_PORT=$("$here/scripts/dbserver.sh" socket) "$here/build/music-inventory" || status=$?
exit "$status"
