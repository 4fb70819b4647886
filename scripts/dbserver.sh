#!/usr/bin/env bash
# A private MariaDB or MySQL server for music-inventory, in a folder of the user's own.
#
#   dbserver start  [--tcp PORT | --no-tcp] [DATADIR] [SERVER OPTION...]
#                    make the folder if needed, start the server, create the
#                    inventory if missing; --tcp also listens on 127.0.0.1:PORT
#   dbserver run    [DATADIR] [PROGRAM [ARG...]]  start it if needed, run music-inventory
#                                                 on it, stop it after the last run ends
#   dbserver load   [DATADIR]  replace every artist and song with the sample inventory
#   dbserver status [DATADIR]  exit 0 when the server lets the program's account in
#   dbserver stop   [DATADIR]  stop it (nothing to do when it is not running)
#   dbserver socket [DATADIR]  print its socket path
#   dbserver port   [DATADIR]  print its TCP port (exit 1 when it has none)
#   dbserver sql    [DATADIR] [CLIENT ARG...]  run the client as the server's administrator
#
# DATADIR defaults to .dbdata in a checkout, else to music-inventory under
# $XDG_DATA_HOME (~/.local/share). Only its owner may enter it (mode 700);
# a folder of another user, or one that others may write, is refused. The
# server listens only on a socket inside it (no TCP unless asked, below),
# runs as the user who started it, and can read and write files only in
# DATADIR/files. The program's account, root with the published password
# "tamrix", may only read the inventory; the administrator's password is
# made at random and kept in DATADIR/admin.cnf. Server options given to
# start (such as --character-set-server=latin1) apply to that start only.
#
# For a client that cannot reach a Unix socket (the Windows program under
# Wine, say), start --tcp PORT also listens on 127.0.0.1 at PORT, and keeps
# doing so at later starts until start --no-tcp. Over TCP only root with its
# password gets in (as root@127.0.0.1); the administrator stays on the socket.
# Unlike the socket, the port is open to every local user, who may then read
# the inventory with root's published password.
set -euo pipefail
# Everything made here is the user's alone, the server's files included.
umask 077

name=$(basename "$0")
fail() {
    echo "$name: $*" >&2
    exit 1
}

scripts=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
if [ -f "$scripts/../db/schema.sql" ]; then
    checkout=$(cd "$scripts/.." && pwd)
    sql_dir=$checkout/db
    default_datadir=$checkout/.dbdata
    default_program=$checkout/build/music-inventory
else
    sql_dir=$scripts/../share/music-inventory
    default_datadir=${XDG_DATA_HOME:-$HOME/.local/share}/music-inventory
    default_program=$scripts/music-inventory
fi

command=${1:-}
shift || true
# The TCP port asked for by start: a number, "off" for --no-tcp, or empty to
# keep the one the folder records.
tcp_request=
if [ "$command" = start ]; then
    case ${1:-} in
    --tcp)
        tcp_request=${2:-}
        shift 2 || true
        ;;
    --tcp=*)
        tcp_request=${1#--tcp=}
        shift
        ;;
    --no-tcp)
        tcp_request=off
        shift
        ;;
    esac
    if [ -n "$tcp_request" ] && [ "$tcp_request" != off ] &&
        ! { [[ $tcp_request =~ ^[1-9][0-9]{0,4}$ ]] && [ "$tcp_request" -le 65535 ]; }; then
        echo "$name: --tcp needs a port number from 1 to 65535" >&2
        exit 2
    fi
fi
datadir=${1:-$default_datadir}
shift || true
case "$command" in
start | run | load | status | stop | socket | port | sql) ;;
*)
    sed -n '2,31p' "$0" | sed -e "s/^# \{0,1\}//" -e "s/^  dbserver /  $name /" >&2
    exit 2
    ;;
esac

uid=$(id -u)
# Refuses anything but a real folder of this user that only its owner may enter.
check_private() {
    if [ -L "$1" ] || [ ! -d "$1" ] || [ "$(stat -c '%u %a' "$1")" != "$uid 700" ]; then
        fail "$1 is not a folder of $(id -un) that only its owner may enter (a real folder, mode 700); refusing it"
    fi
}
private_folder() {
    if [ ! -e "$1" ] && [ ! -L "$1" ]; then mkdir -m 700 "$1"; fi
    check_private "$1"
}

if [ ! -e "$datadir" ] && [ ! -L "$datadir" ]; then mkdir -p -m 700 "$datadir"; fi
datadir=$(cd "$datadir" 2>/dev/null && pwd -P) || fail "cannot enter the data folder $datadir"
# A folder this user owns that no one else could write to is only tightened;
# one that others could have planted files in is refused.
if [ "$(stat -c %u "$datadir")" = "$uid" ] && [ -z "$(find "$datadir" -maxdepth 0 -perm /022)" ]; then
    chmod 700 "$datadir"
fi
check_private "$datadir"

server_data=$datadir/db
pidfile=$datadir/server.pid
logfile=$datadir/server.log
admin_cnf=$datadir/admin.cnf
# Present from the first step of making the folder until the last, so that a
# folder left half-made is never taken for a usable one.
incomplete=$datadir/incomplete
# Present while the server was started by a run command, which may then stop it.
started_by_run=$datadir/started-by-run
password=tamrix
# The TCP port of the last start that asked for one, until one asks for none.
port_record=$datadir/tcp-port
tcp_port=
if [ -e "$port_record" ]; then tcp_port=$(cat "$port_record"); fi
[[ $tcp_port =~ ^[0-9]*$ ]] || fail "$port_record holds no port number; remove it and start with --tcp PORT"

# A socket path holds at most 107 bytes. A data folder too deep for that gets
# a fresh folder from mktemp, whose name only the data folder records.
if [ ${#datadir} -le 80 ]; then
    socket_dir=$datadir/run
else
    record=$datadir/socket-folder
    [ -s "$record" ] || mktemp -d "${TMPDIR:-/tmp}/music-inventory.XXXXXXXX" >"$record"
    socket_dir=$(cat "$record")
fi
private_folder "$socket_dir"
socket=$socket_dir/mysqld.sock

# The server's programs live in sbin, which a normal user's PATH lacks.
find_program() {
    local variable=$1 program dir
    shift
    for program in "$@"; do
        for dir in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin /sbin /bin; do
            if [ -x "$dir/$program" ]; then
                printf -v "$variable" %s "$dir/$program"
                return 0
            fi
        done
    done
    fail "none of $* is installed (on Debian: mariadb-server-core and mariadb-client-core)"
}
case "$command" in
socket | port | stop) ;;
*) find_program client_program mariadb mysql ;;
esac

admin() {
    "$client_program" --defaults-file="$admin_cnf" --socket="$socket" \
        --default-character-set=utf8mb4 "$@"
}
# Ready means the program's account gets in, not merely that something answers.
answers() {
    "$client_program" --no-defaults --socket="$socket" --user=root --password="$password" \
        --connect-timeout=2 -e 'select 1' >/dev/null 2>&1
}

# A PID counts only while it is this folder's server: a dead one, a zombie
# (whose program can no longer be read), or another program that got the
# number after a crash or a reboot does not.
is_our_server() {
    local exe
    [[ $1 =~ ^[0-9]+$ ]] || return 1
    exe=$(readlink "/proc/$1/exe" 2>/dev/null) || return 1
    exe=${exe% (deleted)}
    case ${exe##*/} in mariadbd | mysqld) ;; *) return 1 ;; esac
    tr '\0' '\n' <"/proc/$1/cmdline" 2>/dev/null | grep -qxF -- "--datadir=$server_data"
}
read_pidfile() {
    server_pid=
    if [ -e "$pidfile" ]; then
        server_pid=$(cat "$pidfile")
        if ! is_our_server "$server_pid"; then
            rm -f "$pidfile"
            server_pid=
        fi
    fi
}

create() {
    # Only a folder this script began may be emptied; anything else is the user's.
    if [ -e "$incomplete" ]; then
        echo "$name: $datadir was left half-made; making it again" >&2
        find "$datadir" -mindepth 1 -maxdepth 1 ! -name run ! -name socket-folder ! -name lock \
            -exec rm -rf {} +
    elif [ -n "$(ls -A "$datadir" | grep -vxE 'run|socket-folder|lock')" ]; then
        fail "$datadir holds something other than this script's server; remove it (rm -rf '$datadir') or name another folder"
    fi
    : >"$incomplete"
    local made=0
    if [ "$flavour" = mariadb ]; then
        mkdir -m 700 "$server_data"
        # --force: no host name is looked up (the server resolves none), so
        # a machine whose own name does not resolve is no reason to stop.
        "$install_program" --no-defaults --datadir="$server_data" "${user_option[@]}" \
            --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve --force \
            >"$datadir/install.log" 2>&1 || made=$?
    else
        # MySQL makes the folder itself, and only where nothing is yet.
        "$server_program" --no-defaults --initialize-insecure --datadir="$server_data" \
            "${user_option[@]}" --log-error="$datadir/install.log" >/dev/null 2>&1 || made=$?
    fi
    if [ "$made" != 0 ]; then
        cat "$datadir/install.log" >&2
        fail "making the server's data in $server_data failed"
    fi
}

# A fresh root has no password. Only root on the socket is kept: the
# password-less root accounts for TCP and the anonymous ones are dropped, a
# random administrator does the rest, and root may only read the inventory.
secure_accounts() {
    local admin_password statements
    admin_password=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
    printf '[client]\nuser=music-inventory-admin\npassword=%s\n' "$admin_password" >"$admin_cnf"
    statements=$("$client_program" --no-defaults --socket="$socket" --user=root -N -e "
        select concat('drop user ', quote(user), '@', quote(host), ';') from mysql.user
        where user = '' or (user = 'root' and host <> 'localhost')")
    "$client_program" --no-defaults --socket="$socket" --user=root <<EOF
$statements
create user 'music-inventory-admin'@localhost identified by '$admin_password';
grant all privileges on *.* to 'music-inventory-admin'@localhost with grant option;
EOF
    admin <<EOF
revoke all privileges, grant option from root@localhost;
delete from mysql.proxies_priv where user = 'root';
flush privileges;
alter user root@localhost identified by '$password';
create database if not exists mysql_cpp_data;
grant select on mysql_cpp_data.* to root@localhost;
grant select on Music_Inventory.* to root@localhost;
EOF
}

ensure_inventory() {
    local tables
    tables=$(admin -N -e "select count(*) from information_schema.tables
        where table_schema = 'Music_Inventory' and table_name in ('Artists', 'Songs')")
    admin <"$sql_dir/schema.sql"
    if [ "$tables" = 0 ]; then admin <"$sql_dir/sample.sql"; fi
}

# mariadbd refuses to run as root unless told to.
user_option=()
[ "$uid" = 0 ] && user_option=(--user=root)

listening() {
    if [ -n "$1" ]; then echo "on TCP port $1"; else echo "without TCP"; fi
}

# Over TCP from 127.0.0.1 the server, resolving no names, matches no
# root@localhost: the program's login there is an account of its own, with
# the same password and rights, and exists only while TCP is on.
tcp_account() {
    if [ -n "$1" ]; then
        admin <<EOF
create user if not exists root@'127.0.0.1' identified by '$password';
alter user root@'127.0.0.1' identified by '$password';
grant select on mysql_cpp_data.* to root@'127.0.0.1';
grant select on Music_Inventory.* to root@'127.0.0.1';
EOF
    else
        admin -e "drop user if exists root@'127.0.0.1'"
    fi
}

start() {
    local port=$tcp_port
    case "$tcp_request" in
    off) port= ;;
    ?*) port=$tcp_request ;;
    esac
    if answers; then
        if [ "$port" != "$tcp_port" ]; then
            fail "the server for $datadir is running $(listening "$tcp_port"); stop it ($name stop '$datadir') to start it $(listening "$port")"
        fi
        return 0
    fi
    # All of them first, so that a missing one leaves nothing half-done.
    find_program server_program mariadbd mysqld
    local server_options version
    version=$("$server_program" --version)
    if [[ $version == *MariaDB* ]]; then
        flavour=mariadb
        find_program install_program mariadb-install-db mysql_install_db
        server_options=(--innodb-log-file-size=16M)
    else
        flavour=mysql
        # Without it, X Plugin listens on a socket of its own under /var/run.
        server_options=(--mysqlx=OFF)
    fi
    if [ -n "$server_pid" ]; then
        fail "a server for $datadir is running (PID $server_pid) but does not let the program's account in; stop it ($name stop '$datadir')"
    fi
    local new=0
    if [ -e "$incomplete" ] || [ ! -d "$server_data" ]; then
        create
        new=1
    fi
    private_folder "$datadir/tmp"
    private_folder "$datadir/files"
    # A new server's root has no password until it is secured: that happens
    # on the socket alone, before any start on TCP.
    if [ "$new" = 1 ] && [ -n "$port" ]; then
        serve "" "$@"
        stop
    fi
    serve "$port" "$@"
}

# Starts the server, on TCP at port $1 if one is given, and waits until the
# program's account gets in.
serve() {
    local port=$1 network
    shift
    if [ -n "$port" ]; then
        network=(--bind-address=127.0.0.1 --port="$port")
    else
        network=(--skip-networking)
    fi
    # No server of this folder runs (it would have answered, or its PID been
    # known): a socket or a MySQL socket lock left by a killed one is stale.
    rm -f "$socket" "$socket.lock"
    # A private temporary folder: servers started at the same moment would
    # otherwise collide over the same file names in /tmp. Files can be read
    # and written by SQL only in DATADIR/files, and never from the client.
    setsid "$server_program" --no-defaults --datadir="$server_data" --socket="$socket" \
        "${network[@]}" --skip-name-resolve --pid-file="$pidfile" --log-error="$logfile" \
        --tmpdir="$datadir/tmp" --secure-file-priv="$datadir/files" --local-infile=0 \
        "${user_option[@]}" --innodb-buffer-pool-size=64M "${server_options[@]}" "$@" \
        </dev/null >"$datadir/start.log" 2>&1 8<&- 9>&- &
    local pid=$! ready=0 reply exe
    server_pid=$pid
    # Until setsid has run the server, that PID is still a copy of this
    # script, or setsid: not yet the server, nor a server that died.
    for _ in $(seq 1 500); do
        exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || break
        case ${exe##*/} in mariadbd | mysqld) break ;; esac
        sleep 0.01
    done
    for _ in $(seq 1 600); do
        if [ -e "$incomplete" ]; then
            if "$client_program" --no-defaults --socket="$socket" --user=root \
                -e 'select 1' >/dev/null 2>&1; then
                secure_accounts
                ensure_inventory
                rm -f "$incomplete"
            fi
        elif reply=$(admin --connect-timeout=2 -e 'select 1' 2>&1); then
            ready=1
            break
        elif [[ $reply == *"Access denied"* ]]; then
            kill "$pid"
            fail "the server in $datadir refuses its administrator; the folder may have been left half-made: remove it (rm -rf '$datadir') and start again"
        fi
        if ! is_our_server "$pid"; then
            cat "$datadir/start.log" >&2
            tail -n 20 "$logfile" >&2 2>/dev/null || true
            fail "the server did not start"
        fi
        sleep 0.1
    done
    if [ "$ready" = 0 ]; then
        fail "the server did not answer within 60 seconds; its log is $logfile"
    fi
    ensure_inventory
    tcp_account "$port"
    if ! answers; then
        fail "the server in $datadir does not let the program's account in (root with its password)"
    fi
    if [ -n "$port" ]; then
        if ! "$client_program" --no-defaults --protocol=tcp --host=127.0.0.1 --port="$port" \
            --user=root --password="$password" --connect-timeout=2 -e 'select 1' >/dev/null 2>&1; then
            fail "the server in $datadir does not let the program's account in over TCP at 127.0.0.1:$port"
        fi
        echo "$port" >"$port_record"
    else
        rm -f "$port_record"
    fi
    tcp_port=$port
}

stop() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid"
        for _ in $(seq 1 600); do
            if ! is_our_server "$server_pid"; then break; fi
            sleep 0.1
        done
        if is_our_server "$server_pid"; then
            fail "the server did not stop within 60 seconds"
        fi
    fi
    rm -f "$started_by_run" "$socket" "$socket.lock"
}

# Start and stop take turns; the run commands that use the server hold the
# data folder itself shared, so only the last of them to end stops it.
exec 9>"$datadir/lock"
case "$command" in
start | load | stop | run) flock 9 ;;
esac
# Read under the lock, so that a start or stop running beside this one has
# finished with the file.
read_pidfile

finish_run() {
    flock 9
    if flock -n -x 8 && [ -e "$started_by_run" ]; then
        read_pidfile
        stop
    fi
}

case "$command" in
start) start "$@" ;;
load)
    start
    echo "$name: replacing every artist and song in $datadir with the sample inventory" >&2
    admin <"$sql_dir/schema.sql"
    admin <"$sql_dir/sample.sql"
    ;;
status) answers ;;
stop) stop ;;
socket) echo "$socket" ;;
port)
    [ -n "$tcp_port" ] || fail "the server in $datadir listens on no TCP port (start it with --tcp PORT)"
    echo "$tcp_port"
    ;;
sql) admin "$@" ;;
run)
    [ $# -gt 0 ] || set -- "$default_program"
    exec 8<"$datadir"
    flock -s 8
    if ! answers; then
        echo "$name: starting a private server in $datadir..." >&2
        start
        : >"$started_by_run"
    fi
    trap finish_run EXIT
    flock -u 9
    status=0
    # A client that reaches the server by TCP only (a Windows one) finds it too.
    if [ -n "$tcp_port" ]; then export MYSQL_TCP_PORT=$tcp_port; fi
    MYSQL_UNIX_PORT=$socket "$@" 9<&- || status=$?
    exit "$status"
    ;;
esac
