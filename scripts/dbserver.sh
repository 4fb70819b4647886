#!/usr/bin/env bash
# A private MariaDB server for running and testing music-inventory.
#
#   scripts/dbserver.sh start  [DATADIR] [SERVER OPTION...]   create if needed, start, wait,
#                                                             load the sample if missing
#   scripts/dbserver.sh load   [DATADIR]  (re)load the schema and the sample inventory
#   scripts/dbserver.sh status [DATADIR]  exit 0 when the server lets the program's account in
#   scripts/dbserver.sh stop   [DATADIR]  stop it (nothing to do when it is not running)
#   scripts/dbserver.sh socket [DATADIR]  print its socket path
#   scripts/dbserver.sh sql    [DATADIR] [mariadb args...]   run the mariadb client on it
#
# DATADIR defaults to .dbdata in the checkout. The server listens only on its
# own Unix socket (no TCP), and its root password is "tamrix". It never uses
# a system server's files or socket. Server options given to start (such as
# --character-set-server=latin1) apply to that start only.
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
# Present from the first step of creating the data folder until the last, so
# that a folder left half-made is never taken for a usable one.
incomplete=$datadir/music-inventory-incomplete
password=tamrix

# The server's programs live in sbin, which a normal user's PATH lacks.
program() {
    local name dir
    for name in "$@"; do
        for dir in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin /sbin /bin; do
            [ -x "$dir/$name" ] && { echo "$dir/$name"; return 0; }
        done
    done
    echo "dbserver: none of $* is installed (scripts/setup.sh installs them)" >&2
    exit 1
}

client() {
    "$(program mariadb mysql)" --no-defaults --socket="$socket" --user=root \
        --password="$password" --default-character-set=utf8mb4 "$@"
}

# Ready means the program's account gets in, not merely that something answers.
answers() {
    client --connect-timeout=2 -e 'select 1' >/dev/null 2>&1
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

user_args=()
# mariadbd refuses to run as root unless told to.
[ "$(id -u)" = 0 ] && user_args=(--user=root)

create() {
    # Only a folder this script began may be emptied; anything else is the user's.
    if [ -e "$incomplete" ]; then
        echo "dbserver: $datadir was left half-made; making it again" >&2
        find "$datadir" -mindepth 1 -delete
    elif [ -n "$(ls -A "$datadir")" ]; then
        echo "dbserver: $datadir is not empty and holds no server; remove it (rm -rf '$datadir') or name another folder" >&2
        exit 1
    fi
    touch "$incomplete"
    mkdir -p "$datadir/tmp"
    # --skip-name-resolve: a system without a resolvable host name works too.
    "$(program mariadb-install-db mysql_install_db)" --no-defaults --datadir="$datadir" \
        "${user_args[@]}" --auth-root-authentication-method=normal --skip-test-db \
        --skip-name-resolve --tmpdir="$datadir/tmp" >"$datadir/install.log" 2>&1 || {
        cat "$datadir/install.log" >&2
        echo "dbserver: creating the data folder $datadir failed" >&2
        exit 1
    }
}

start() {
    if answers; then
        return 0
    fi
    if server_pid >/dev/null; then
        echo "dbserver: a server for $datadir is running but does not let root in" >&2
        exit 1
    fi
    [ -d "$datadir/mysql" ] && [ ! -e "$incomplete" ] || create
    mkdir -p "$socketdir" "$datadir/tmp"
    chmod 700 "$socketdir"
    # A private temporary folder: servers started at the same moment would
    # otherwise collide over the same file names in /tmp.
    setsid "$(program mariadbd mysqld)" --no-defaults --datadir="$datadir" --socket="$socket" \
        --skip-networking --skip-name-resolve --pid-file="$pidfile" --log-error="$logfile" \
        --tmpdir="$datadir/tmp" "${user_args[@]}" \
        --innodb-buffer-pool-size=64M --innodb-log-file-size=16M "$@" \
        </dev/null >"$datadir/start.log" 2>&1 &
    local pid=$!
    for _ in $(seq 1 600); do
        if [ -e "$incomplete" ]; then
            # A fresh root has no password yet.
            "$(program mariadb mysql)" --no-defaults --socket="$socket" --user=root \
                -e "alter user root@localhost identified by '$password'" 2>/dev/null || true
        fi
        answers && break
        if [ ! -e "$incomplete" ] && client -e 'select 1' 2>&1 | grep -q 'Access denied'; then
            kill "$pid"
            echo "dbserver: the server in $datadir refuses root's password; the folder may have been left half-made: remove it (rm -rf '$datadir') and start again" >&2
            exit 1
        fi
        if ! alive "$pid"; then
            echo "dbserver: the server did not start:" >&2
            cat "$datadir/start.log" >&2
            tail -n 20 "$logfile" >&2 2>/dev/null || true
            exit 1
        fi
        sleep 0.1
    done
    if ! answers; then
        echo "dbserver: the server did not let root in within 60 seconds; its log is $logfile" >&2
        exit 1
    fi
    if [ -e "$incomplete" ]; then
        load
        rm -f "$incomplete"
    fi
}

load_if_missing() {
    if [ "$(client -N -e "select count(*) from information_schema.tables
            where table_schema = 'Music_Inventory' and table_name in ('Artists', 'Songs')")" != 2 ]; then
        load
    fi
}

stop() {
    local pid
    if pid=$(server_pid); then
        kill "$pid"
        for _ in $(seq 1 600); do
            server_pid >/dev/null || break
            sleep 0.1
        done
        if server_pid >/dev/null; then
            echo "dbserver: the server did not stop within 60 seconds" >&2
            exit 1
        fi
    fi
    rm -rf "$socketdir"
}

case "$command" in
start) start "$@" && load_if_missing ;;
load) start && load ;;
status) answers ;;
stop) stop ;;
socket) echo "$socket" ;;
sql) client "$@" ;;
*)
    sed -n '2,16p' "$0" >&2
    exit 2
    ;;
esac
