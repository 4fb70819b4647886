#!/usr/bin/env bash
# Installs what is missing, builds, starts the private server with the sample
# inventory, and runs music-inventory on it in this terminal. The server is
# stopped again afterwards, unless it was already running.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$here/scripts/setup.sh"
cmake -S "$here" -B "$here/build" >/dev/null
cmake --build "$here/build" -j"$(nproc)" >/dev/null

started=0
if ! "$here/scripts/dbserver.sh" status; then
    "$here/scripts/dbserver.sh" start
    started=1
fi
stop_server() {
    [ "$started" = 1 ] && "$here/scripts/dbserver.sh" stop
}
trap stop_server EXIT

status=0
MYSQL_UNIX_PORT=$("$here/scripts/dbserver.sh" socket) "$here/build/music-inventory" || status=$?
exit "$status"
