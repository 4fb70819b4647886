#!/usr/bin/env bash
# A private MariaDB server for running and testing music-inventory.
#
#   scripts/dbserver.sh start  [DATADIR]  create if needed, start, wait, load the sample if missing
#   scripts/dbserver.sh load   [DATADIR]  (re)load the schema and the sample inventory
#   scripts/dbserver.sh status [DATADIR]  exit 0 when the server answers
#   scripts/dbserver.sh stop   [DATADIR]  stop it (nothing to do when it is not running)
#   scripts/dbserver.sh socket [DATADIR]  print its socket path
#   scripts/dbserver.sh sql    [DATADIR] [mariadb args...]   run the mariadb client on it
#
# DATADIR defaults to .dbdata in the checkout. The server listens only on its
# own Unix socket (no TCP), and its root password is "tamrix". It never uses
# a system server's files or socket.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
command=${1:-}
shift || true
datadir=${1:-$here/.dbdata}
shift || true
mkdir -p "$datadir"
datadir=$(cd "$datadir" && pwd)

# Unix socket paths are limited to about 107 bytes, so the socket lives in a
# short folder of its own, named after the data folder.
socketdir=/tmp/mi-$(id -u)-$(printf '%s' "$datadir" | cksum | cut -d' ' -f1)
socket=$socketdir/mysqld.sock
pidfile=$datadir/mariadbd.pid
logfile=$datadir/mariadbd.log
password=tamrix

client() {
    mariadb --no-defaults --socket="$socket" --user=root --password="$password" \
        --default-character-set=utf8mb4 "$@"
}

answers() {
    mariadb-admin --no-defaults --socket="$socket" --user=root --password="$password" \
        --connect-timeout=2 ping >/dev/null 2>&1
}

# A dead server can linger as a zombie until it is reaped; that no longer counts.
alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

server_pid() {
    [ -s "$pidfile" ] && alive "$(cat "$pidfile")" && cat "$pidfile"
}

load() {
    client <"$here/db/schema.sql"
    client <"$here/db/sample.sql"
}

start() {
    if answers; then
        return 0
    fi
    if server_pid >/dev/null; then
        echo "dbserver: a server for $datadir is running but does not answer" >&2
        exit 1
    fi
    local fresh=0
    local user_args=()
    # mariadbd refuses to run as root unless told to.
    [ "$(id -u)" = 0 ] && user_args=(--user=root)
    if [ ! -d "$datadir/mysql" ]; then
        fresh=1
        mariadb-install-db --no-defaults --datadir="$datadir" "${user_args[@]}" \
            --auth-root-authentication-method=normal --skip-test-db >"$datadir/install.log" 2>&1 || {
            cat "$datadir/install.log" >&2
            exit 1
        }
    fi
    mkdir -p "$socketdir"
    chmod 700 "$socketdir"
    setsid mariadbd --no-defaults --datadir="$datadir" --socket="$socket" --skip-networking \
        --pid-file="$pidfile" --log-error="$logfile" "${user_args[@]}" \
        --innodb-buffer-pool-size=64M --innodb-log-file-size=16M \
        </dev/null >/dev/null 2>&1 &
    local pid=$!
    for _ in $(seq 1 600); do
        if [ "$fresh" = 1 ]; then
            # A fresh root has no password yet.
            if mariadb --no-defaults --socket="$socket" --user=root \
                -e "alter user root@localhost identified by '$password'" 2>/dev/null; then
                fresh=0
            fi
        fi
        if [ "$fresh" = 0 ] && answers; then
            break
        fi
        if ! alive "$pid"; then
            echo "dbserver: the server did not start; its log:" >&2
            tail -n 20 "$logfile" >&2
            exit 1
        fi
        sleep 0.1
    done
    if ! answers; then
        echo "dbserver: the server did not answer within 60 seconds" >&2
        exit 1
    fi
}

load_if_missing() {
    if [ -z "$(client -N -e "show databases like 'Music_Inventory'")" ]; then
        load
    fi
}

stop() {
    local pid
    pid=$(server_pid) || return 0
    kill "$pid"
    for _ in $(seq 1 600); do
        server_pid >/dev/null || return 0
        sleep 0.1
    done
    echo "dbserver: the server did not stop within 60 seconds" >&2
    exit 1
}

case "$command" in
start) start && load_if_missing ;;
load) start && load ;;
status) answers ;;
stop) stop ;;
socket) echo "$socket" ;;
sql) client "$@" ;;
*)
    sed -n '2,14p' "$0" >&2
    exit 2
    ;;
esac
