#!/usr/bin/env bash
# A private MariaDB or MySQL server for music-inventory, in a folder of the user's own.
#
#   dbserver start   [--tcp PORT | --no-tcp] [DATADIR] [SERVER OPTION...]
#                     make the folder if needed, start the server, create the
#                     inventory if missing; --tcp also listens at PORT on the
#                     loopback addresses (127.0.0.1 and ::1)
#   dbserver run     [DATADIR] [PROGRAM [ARG...]]  start it if needed, run music-inventory
#                                                  on it, stop it after the last run ends
#   dbserver load    [DATADIR]  replace every artist and song with the sample inventory
#   dbserver dump    [DATADIR]  write the whole inventory to standard output as SQL
#   dbserver restore [DATADIR]  replace the whole inventory with a dump read from standard input
#   dbserver status  [DATADIR]  exit 0 when the server lets the program's account in
#   dbserver stop    [DATADIR]  stop it (nothing to do when it is not running)
#   dbserver socket  [DATADIR]  print its socket path
#   dbserver port    [DATADIR]  print its TCP port (exit 1 when it has none)
#   dbserver sql     [DATADIR] [CLIENT ARG...]  run the client as the server's administrator
#
# DATADIR defaults to .dbdata in a checkout, else to music-inventory under
# $XDG_DATA_HOME (~/.local/share); an argument that begins with "-" is never
# DATADIR. Only its owner may enter it (mode 700); a link, a folder of another
# user, or one that others may write, is refused. The server listens only on a
# socket inside it (no TCP unless asked, below), runs as the user who started
# it, and can read and write files only in DATADIR/files. The program's
# account, root with the published password "tamrix", may only read the
# inventory; the administrator's password is made at random and kept in
# DATADIR/admin.cnf. Server options given to start (such as
# --character-set-server=latin1) apply to that start only. load, dump and
# restore start the server for their work if it is not running, and stop it
# again after. The folder records the kind and version of the server that
# last ran it: the other kind, or an older version, is refused before
# anything is started; a newer version upgrades it once.
#
# For a client that cannot reach a Unix socket (the Windows program under
# Wine, say), start --tcp PORT also listens at PORT on the loopback
# addresses, and keeps doing so at later starts until start --no-tcp. Over
# TCP only root with its password gets in, at most 10 connections at a time,
# each statement ended after 10 seconds, unable to change its password; the
# administrator stays on the socket. Unlike the socket, the port is open to
# every local user, who may then read the inventory with root's password.
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
    library=$scripts
    sql_dir=$checkout/db
    default_datadir=$checkout/.dbdata
    default_program=$checkout/build/music-inventory
else
    sql_dir=$scripts/../share/music-inventory
    library=$sql_dir
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
# An option (sql -e ..., start --character-set-server=...) is never taken
# for the folder.
datadir=$default_datadir
if [ $# -gt 0 ] && [[ $1 != -* ]]; then
    datadir=${1:-$default_datadir}
    shift
fi
case "$command" in
start | run | load | dump | restore | status | stop | socket | port | sql) ;;
*)
    sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e "s/^# \{0,1\}//" -e "s/^  dbserver /  $name /" >&2
    exit 2
    ;;
esac

# shellcheck source-path=SCRIPTDIR source=server-common.sh
. "$library/server-common.sh"
open_folder "$datadir" "data folder" "start run load restore"
datadir=$folder

server_data=$datadir/db
pidfile=$datadir/server.pid
logfile=$datadir/server.log
admin_cnf=$datadir/admin.cnf
# Present from the first step of making the folder until its server is
# secured and stopped; while it is there, the server has listened only on a
# socket that no one but this script knows, so the folder may be made again.
incomplete=$datadir/incomplete
making_mark="being made; its server has listened only on the making socket"
# The kind and version of the server that last ran the folder.
version_record=$datadir/server-version
# Present while the server was started by a run command, which may then stop it.
started_by_run=$datadir/started-by-run
password=tamrix
# The TCP port of the last start that asked for one, until one asks for none.
port_record=$datadir/tcp-port
tcp_port=
if [ -e "$port_record" ]; then tcp_port=$(cat "$port_record"); fi
[[ $tcp_port =~ ^[0-9]*$ ]] || fail "$port_record holds no port number; remove it and start with --tcp PORT"
# Both loopback addresses where the machine has IPv6: a client may try
# "localhost" as ::1 first, where another user could otherwise listen.
loopbacks=(127.0.0.1)
if grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then loopbacks+=(::1); fi

choose_socket_folder "$datadir" music-inventory "start run load dump restore"
socket=$socket_dir/mysqld.sock

find_program() {
    look_for "$@" ||
        fail "none of ${*:2} is installed (on Debian: mariadb-server-core and mariadb-client, or mysql-server-core and mysql-client)"
}
server_program=
look_for server_program mariadbd mysqld || true
case "$command" in
socket | port | stop) ;;
*) find_program client_program mariadb mysql ;;
esac

# What turns TLS off for one of the client programs: the script's own logins
# are on the private socket or loopback, and a newer MariaDB client would
# otherwise refuse an older server that offers no TLS.
no_tls() {
    if "$1" --version 2>/dev/null | grep -q MariaDB; then echo --skip-ssl; else echo --ssl-mode=DISABLED; fi
}
# Over TCP, MySQL's password method needs TLS (or the server's RSA key) for
# a full login, so there MySQL's client keeps its default.
client_tls='' tcp_tls=''
if [ -n "${client_program:-}" ]; then
    client_tls=$(no_tls "$client_program")
    tcp_tls=$client_tls
    [ "$tcp_tls" = --skip-ssl ] || tcp_tls=--ssl-mode=PREFERRED
fi

# Every login of the script goes to the folder's socket, whatever MYSQL_HOST
# or MYSQL_TCP_PORT say.
admin() {
    "$client_program" --defaults-file="$admin_cnf" --protocol=socket --host=localhost \
        --socket="$socket" "$client_tls" --default-character-set=utf8mb4 "$@"
}
root_login() {
    "$client_program" --no-defaults --protocol=socket --host=localhost --socket="$socket" \
        "$client_tls" --user=root "$@"
}
# Root's password works over TCP at address $1, port $2; every connection the
# account may hold being in use counts as working too.
tcp_login() {
    local reply
    reply=$("$client_program" --no-defaults --protocol=tcp --host="$1" --port="$2" "$tcp_tls" \
        --user=root --password="$password" --connect-timeout=2 -e 'select 1' 2>&1) ||
        [[ $reply == *max_user_connections* ]]
}
# Ready means the program's account gets in, not merely that something
# answers: on the socket, and at each loopback address where TCP is on.
answers() {
    [ ! -e "$incomplete" ] || return 1
    root_login --password="$password" --connect-timeout=2 -e 'select 1' >/dev/null 2>&1 ||
        return 1
    local address
    if [ -n "$tcp_port" ]; then
        for address in "${loopbacks[@]}"; do tcp_login "$address" "$tcp_port" || return 1; done
    fi
}

# True when the device holding the folder is (nearly) full, or one of the
# logs given says the server found it so.
out_of_space() { space_exhausted "$datadir" "$@"; }
no_space="no space left on the device holding $datadir"

# A PID counts only while it is this folder's server: a dead one, a zombie
# (whose program can no longer be read), or another program that got the
# number after a crash or a reboot does not, nor a process of another user,
# of another program that calls itself the server, or of another root.
is_our_server() {
    local exe
    exe=$(own_program "$1") || return 1
    if [ -n "$server_program" ]; then
        [ -n "${server_exe:-}" ] || server_exe=$(readlink -f "$server_program")
        [ "$exe" = "$server_exe" ] || return 1
    else
        case ${exe##*/} in mariadbd | mysqld) ;; *) return 1 ;; esac
    fi
    has_argument "$1" "--datadir=$server_data"
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

# The installed server's kind (MariaDB or MySQL), version, and the options
# that differ between the two.
server_kind() {
    local version
    install_program=
    version=$("$server_program" --version)
    [[ $version =~ Ver\ ([0-9]+\.[0-9]+\.[0-9]+) ]] || fail "cannot tell the version of $server_program: $version"
    server_version=${BASH_REMATCH[1]}
    if [[ $version == *MariaDB* ]]; then
        kind=MariaDB
        find_program install_program mariadb-install-db mysql_install_db
        # The same redo log when the data is made as when it is served: the
        # install's default is six times the size, too much for a small disk.
        kind_options=(--innodb-log-file-size=16M)
    else
        kind=MySQL
        # Without it, X Plugin listens on a socket of its own under /var/run.
        kind_options=(--mysqlx=OFF)
    fi
}

# Refuses, before anything is started or changed, a folder last run by the
# other kind of server or by a newer version than the installed one; an
# older version's folder is upgraded once it runs (upgrade_due). A folder
# made before the record was kept tells its kind by a file only that kind
# makes, and MariaDB's its version by its upgrade file.
check_server_kind() {
    local recorded_kind='' recorded_version=''
    if [ -e "$version_record" ]; then
        read -r recorded_kind recorded_version <"$version_record" || true
        [[ $recorded_kind =~ ^(MariaDB|MySQL)$ && $recorded_version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
            fail "$version_record names no server kind and version (such as: MariaDB 10.11.6); refusing it"
    elif [ -e "$server_data/aria_log_control" ]; then
        recorded_kind=MariaDB
        recorded_version=$(grep -oE '^[0-9]+\.[0-9]+\.[0-9]+' "$server_data/mysql_upgrade_info" 2>/dev/null) || true
    elif [ -e "$server_data/mysql.ibd" ]; then
        recorded_kind=MySQL
    else
        return 0
    fi
    local recorded="$recorded_kind${recorded_version:+ $recorded_version}"
    if [ "$recorded_kind" != "$kind" ]; then
        fail "$datadir holds the data of a $recorded server, but the installed server is $kind $server_version; nothing was changed. To move the inventory, dump it where $recorded_kind is installed ($name dump '$datadir' >inventory.sql), then restore the dump here into a new folder ($name restore NEWDIR <inventory.sql)"
    fi
    if [ -z "$recorded_version" ]; then
        upgrade_due=1
    elif [ "$recorded_version" != "$server_version" ]; then
        local older
        older=$(printf '%s\n' "${recorded_version%.*}.0" "${server_version%.*}.0" | sort -V | head -n 1)
        if [ "$older" = "${server_version%.*}.0" ] && [ "${recorded_version%.*}" != "${server_version%.*}" ]; then
            fail "$datadir was last run by $recorded, newer than the installed $kind $server_version, which cannot read it; nothing was changed. Start it where $recorded_kind ${recorded_version%.*} or later is installed, or dump it there and restore the dump here"
        fi
        older=$(printf '%s\n' "$recorded_version" "$server_version" | sort -V | head -n 1)
        [ "$older" = "$recorded_version" ] && upgrade_due=1
    fi
    upgraded_from=$recorded
}

# Runs once a newer server has started on an older one's folder: MariaDB's
# upgrade step brings the system tables up to date; MySQL upgrades itself at
# start. Then the folder records the server that runs it.
record_server() {
    if [ "$upgrade_due" = 1 ] && [ "$kind" = MariaDB ]; then
        local upgrade_program
        find_program upgrade_program mariadb-upgrade mysql_upgrade
        echo "$name: $datadir was last run by $upgraded_from; upgrading it for $kind $server_version" >&2
        if ! "$upgrade_program" --defaults-file="$admin_cnf" --protocol=socket --host=localhost \
            --socket="$socket" --silent >"$datadir/upgrade.log" 2>&1; then
            out_of_space "$datadir/upgrade.log" && fail "$no_space; the upgrade step stopped ($datadir/upgrade.log)"
            fail "the upgrade step (mariadb-upgrade) failed; its output is in $datadir/upgrade.log"
        fi
        upgrade_due=0
    fi
    # Whole or not at all: a record cut short by a full disk would have the
    # folder refused at the next start.
    echo "$kind $server_version" >"$version_record.new"
    mv -f "$version_record.new" "$version_record"
}

create() {
    # Only a folder this script began, whose server no one else can have
    # used, may be emptied; anything else is the user's.
    if [ -e "$incomplete" ]; then
        if [ "$(cat "$incomplete")" != "$making_mark" ] && [ -d "$server_data" ]; then
            fail "$datadir is marked half-made, but its server may have been used, so nothing was removed: if it holds an inventory you want, remove the mark (rm '$incomplete') and start again; if not, remove the folder (rm -rf '$datadir')"
        fi
        # A making server left running by a start that was killed, perhaps
        # while it stopped, after its PID file was gone.
        local pid
        for pid in /proc/[0-9]*; do
            server_pid=${pid#/proc/}
            if is_our_server "$server_pid"; then stop; fi
        done
        server_pid=
        echo "$name: $datadir was left half-made, its server never used; making it again" >&2
        find "$datadir" -mindepth 1 -maxdepth 1 ! -name run ! -name socket-folder ! -name lock \
            -exec rm -rf {} +
    elif [ -n "$(find "$datadir" -mindepth 1 -maxdepth 1 ! -name run ! -name socket-folder ! -name lock)" ]; then
        fail "$datadir holds something other than this script's server; remove it (rm -rf '$datadir') or name another folder"
    fi
    echo "$making_mark" >"$incomplete"
    local made=0
    if [ "$kind" = MariaDB ]; then
        mkdir -m 700 "$server_data"
        # --force: no host name is looked up (the server resolves none), so
        # a machine whose own name does not resolve is no reason to stop.
        "$install_program" --no-defaults --datadir="$server_data" "${user_option[@]}" \
            --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve --force \
            "${kind_options[@]}" >"$datadir/install.log" 2>&1 || made=$?
    else
        # MySQL makes the folder itself, and only where nothing is yet.
        "$server_program" --no-defaults --initialize-insecure --datadir="$server_data" \
            "${user_option[@]}" --log-error="$datadir/install.log" >/dev/null 2>&1 || made=$?
    fi
    if [ "$made" != 0 ]; then
        out_of_space "$datadir/install.log" && fail "$no_space; making the server's data failed"
        cat "$datadir/install.log" >&2
        fail "making the server's data in $server_data failed"
    fi
}

# Writes a client option file $2 for account $1 with a fresh random
# password, and prints the password.
login_file() {
    local login_password
    login_password=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
    printf '[client]\nuser=%s\npassword=%s\n' "$1" "$login_password" >"$2"
    echo "$login_password"
}

# A fresh root has no password. Only root on the socket is kept: the
# password-less root accounts for TCP and the anonymous ones are dropped, a
# random administrator does the rest, and root may only read the inventory.
secure_accounts() {
    local admin_password statements
    admin_password=$(login_file music-inventory-admin "$admin_cnf")
    statements=$(root_login -N -e "
        select concat('drop user ', quote(user), '@', quote(host), ';') from mysql.user
        where user = '' or (user = 'root' and host <> 'localhost')")
    root_login <<EOF
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

# Over TCP the server, resolving no names, matches no root@localhost: the
# program's login there is an account of its own per loopback address, with
# the same password and rights, and exists only while TCP is on. Anyone on
# the machine may use it, so it holds at most 10 connections (the owner's
# socket keeps the rest), its statements are ended after 10 seconds (a
# session could raise its own limit, so an event of the administrator's
# ends them), and the server's read_only keeps it from changing its password.
tcp_account() {
    local address
    for address in 127.0.0.1 ::1; do
        if [ -n "$1" ] && [[ " ${loopbacks[*]} " == *" $address "* ]]; then
            admin <<EOF
create user if not exists root@'$address' identified by '$password';
alter user root@'$address' identified by '$password' with max_user_connections 10;
grant select on mysql_cpp_data.* to root@'$address';
grant select on Music_Inventory.* to root@'$address';
EOF
        else
            admin -e "drop user if exists root@'$address'"
        fi
    done
    if [ -n "$1" ]; then
        admin <<'EOF'
create database if not exists music_inventory_server;
drop event if exists music_inventory_server.end_long_tcp_statements;
delimiter //
create event music_inventory_server.end_long_tcp_statements on schedule every 1 second do
begin
    declare finished int default 0;
    declare statement_id bigint unsigned;
    declare long_statements cursor for
        select id from information_schema.processlist
        where user = 'root' and host <> 'localhost' and command = 'Query' and time >= 10;
    declare continue handler for not found set finished = 1;
    -- a statement that ended meanwhile is not an error
    declare continue handler for sqlexception begin end;
    open long_statements;
    ending: loop
        fetch long_statements into statement_id;
        if finished then
            leave ending;
        end if;
        kill query statement_id;
    end loop;
    close long_statements;
end//
delimiter ;
EOF
    else
        admin -e "drop database if exists music_inventory_server"
    fi
}

start() {
    local port=$tcp_port
    case "$tcp_request" in
    off) port= ;;
    ?*) port=$tcp_request ;;
    esac
    if [ ! -e "$incomplete" ] && answers; then
        if [ "$port" != "$tcp_port" ]; then
            fail "the server for $datadir is running $(listening "$tcp_port"); stop it ($name stop '$datadir') to start it $(listening "$port")"
        fi
        return 0
    fi
    # All of them first, so that a missing one leaves nothing half-done.
    find_program server_program mariadbd mysqld
    server_kind
    upgrade_due=0
    local new=0
    if [ -e "$incomplete" ] || [ ! -d "$server_data" ]; then
        create
        new=1
    else
        check_server_kind
    fi
    if [ -n "$server_pid" ]; then
        fail "a server for $datadir is running (PID $server_pid) but does not let the program's account in; stop it ($name stop '$datadir')"
    fi
    private_folder "$datadir/tmp"
    private_folder "$datadir/files"
    if [ "$new" = 1 ]; then make_server; fi
    serve "$port" "$@"
    record_server
}

# Starts the server on $socket, and on TCP at port $1 if one is given.
launch() {
    local port=$1 network
    shift
    if [ -n "$port" ]; then
        network=(--bind-address="$(IFS=,; echo "${loopbacks[*]}")" --port="$port")
    else
        network=(--skip-networking)
    fi
    private_folder "$socket_dir"
    # No server of this folder runs (it would have answered, or its PID been
    # known): a socket or a MySQL socket lock left by a killed one is stale.
    rm -f "$socket" "$socket.lock"
    # A private temporary folder: servers started at the same moment would
    # otherwise collide over the same file names in /tmp. Files can be read
    # and written by SQL only in DATADIR/files, and never from the client.
    # read_only: only the administrator writes (root cannot even change its
    # password); the event scheduler runs the TCP account's time limit.
    setsid "$server_program" --no-defaults --datadir="$server_data" --socket="$socket" \
        "${network[@]}" --skip-name-resolve --pid-file="$pidfile" --log-error="$logfile" \
        --tmpdir="$datadir/tmp" --secure-file-priv="$datadir/files" --local-infile=0 \
        --read-only --event-scheduler=ON "${user_option[@]}" --innodb-buffer-pool-size=64M \
        "${kind_options[@]}" "$@" </dev/null >"$datadir/start.log" 2>&1 8<&- 9>&- &
    local pid=$! exe
    server_pid=$pid
    # Until setsid has run the server, that PID is still a copy of this
    # script, or setsid: not yet the server, nor a server that died.
    for _ in $(seq 1 500); do
        exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || break
        case ${exe##*/} in mariadbd | mysqld) break ;; esac
        sleep 0.01
    done
}

# Fails with the reason when the server just launched has ended.
check_alive() {
    is_our_server "$server_pid" && return 0
    if [ -n "${1:-}" ] && grep -q 'Address already in use' "$logfile" 2>/dev/null; then
        fail "port $1 is taken on $(IFS=/; echo "${loopbacks[*]}") by another program; nothing was started (choose another port)"
    fi
    out_of_space "$logfile" && fail "$no_space; the server did not start"
    cat "$datadir/start.log" >&2
    tail -n 20 "$logfile" >&2 2>/dev/null || true
    fail "the server did not start"
}

# The first run of new data, on a socket of its own that nothing but this
# script knows: its root, password-less until secured, and a folder still
# marked half-made are never seen by anyone else. The mark goes only once
# the server is secured, holds the inventory, and has stopped.
make_server() {
    local socket=$socket_dir/making.sock
    launch ""
    for _ in $(seq 1 600); do
        if root_login -e 'select 1' >/dev/null 2>&1; then
            secure_accounts
            ensure_inventory
            stop
            rm -f "$incomplete"
            return 0
        fi
        check_alive
        sleep 0.1
    done
    fail "the new server did not answer within 60 seconds; its log is $logfile"
}

# Starts the server, on TCP at port $1 if one is given, and waits until the
# program's account gets in.
serve() {
    local port=$1 ready=0 reply address
    shift
    launch "$port" "$@"
    for _ in $(seq 1 600); do
        if reply=$(admin --connect-timeout=2 -e 'select 1' 2>&1); then
            ready=1
            break
        elif [[ $reply == *"Access denied"* ]]; then
            kill "$server_pid"
            fail "the server in $datadir refuses its administrator ($admin_cnf); nothing was removed"
        fi
        check_alive "$port"
        sleep 0.1
    done
    if [ "$ready" = 0 ]; then
        fail "the server did not answer within 60 seconds; its log is $logfile"
    fi
    ensure_inventory
    tcp_account "$port"
    if ! root_login --password="$password" --connect-timeout=2 -e 'select 1' >/dev/null 2>&1; then
        fail "the server in $datadir does not let the program's account in (root with its password)"
    fi
    if [ -n "$port" ]; then
        for address in "${loopbacks[@]}"; do
            tcp_login "$address" "$port" ||
                fail "the server in $datadir does not let the program's account in over TCP at $address port $port"
        done
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
            out_of_space "$logfile" &&
                fail "$no_space: the server waits for space to finish stopping; free some, and it will"
            fail "the server did not stop within 60 seconds"
        fi
        server_pid=
    fi
    rm -f "$started_by_run" "$socket" "$socket.lock"
}

# The line of a client's output that says what went wrong.
first_error() {
    grep -m 1 '^ERROR' <<<"$1" || echo "${1%%$'\n'*}"
}

# load, dump and restore start the server for their own work when it is not
# running, and stop it again when they end.
started_here=0
start_for_command() {
    trap finish_command EXIT
    answers && return 0
    start
    started_here=1
}
finish_command() {
    if [ "$started_here" = 1 ]; then
        read_pidfile
        stop
    fi
}

load() {
    start_for_command
    echo "$name: replacing every artist and song in $datadir with the sample inventory" >&2
    local errors
    # The sample empties and fills the tables in one transaction: a failure
    # anywhere, or the client's end, rolls all of it back.
    if ! errors=$({ admin <"$sql_dir/schema.sql" && admin <"$sql_dir/sample.sql"; } 2>&1); then
        out_of_space "$logfile" && fail "$no_space; the inventory was left unchanged"
        fail "loading the sample failed ($(first_error "$errors")); the inventory was left unchanged"
    fi
}

# A dump is the rows of both tables as INSERT statements of the server's own
# dump program, between a first and a last line of ours: a file without the
# first is not a dump, one without the last was cut short.
dump_header="-- music-inventory dump: every artist and song, for: music-inventory-server restore"
dump_trailer="-- end of the music-inventory dump"
dump() {
    local dump_program
    find_program dump_program mariadb-dump mysqldump
    local tls
    tls=$(no_tls "$dump_program")
    local options=(--single-transaction --no-create-info --skip-add-locks --skip-disable-keys
        --complete-insert --skip-comments --no-tablespaces --order-by-primary
        --default-character-set=utf8mb4 "$tls")
    # MySQL's own option: no GTID statements, which only replication wants.
    [ "$tls" = --skip-ssl ] || options+=(--set-gtid-purged=OFF)
    start_for_command
    echo "$dump_header"
    # MariaDB's first line, a client command that MySQL's client rejects, is
    # left out; restore runs no client commands anyway.
    "$dump_program" --defaults-file="$admin_cnf" --protocol=socket --host=localhost --socket="$socket" \
        "${options[@]}" Music_Inventory Artists Songs |
        sed '/^\/\*M!999999\\- enable the sandbox mode \*\/ *$/d' ||
        fail "the dump failed; what was written lacks its last line, so restore refuses it"
    echo "$dump_trailer"
}

# The dump is loaded into a database of its own by an account that may only
# insert there, with the client's commands off; only then does one
# transaction of the administrator's replace the inventory with it. Neither
# a statement of the dump nor its failure can touch the inventory.
staging=music_inventory_restore
restorer="'music-inventory-restore'@localhost"
restore_cnf=$datadir/restore.cnf
restore_file=$datadir/tmp/restore.sql
drop_staging() {
    rm -f "$restore_file" "$restore_cnf"
    admin -e "drop database if exists $staging; drop user if exists $restorer" 2>/dev/null || true
}
restore() {
    local file=$restore_file cnf=$restore_cnf errors counts
    start_for_command
    trap 'drop_staging; finish_command' EXIT
    if ! cat >"$file"; then
        out_of_space && fail "$no_space; the inventory was left unchanged"
        fail "cannot read the dump from standard input; the inventory was left unchanged"
    fi
    [ "$(head -n 1 "$file")" = "$dump_header" ] ||
        fail "standard input is not a dump made by $name dump; the inventory was left unchanged"
    [ "$(tail -n 1 "$file")" = "$dump_trailer" ] ||
        fail "the dump on standard input is cut short (its last line is missing); the inventory was left unchanged"
    local restore_password
    restore_password=$(login_file music-inventory-restore "$cnf")
    # Writing past read_only: READ_ONLY ADMIN on MariaDB, CONNECTION_ADMIN on MySQL.
    local past_read_only=CONNECTION_ADMIN
    if admin -N -e 'select version()' | grep -q MariaDB; then past_read_only="READ_ONLY ADMIN"; fi
    admin <<EOF
drop database if exists $staging;
create database $staging;
create table $staging.Artists like Music_Inventory.Artists;
create table $staging.Songs like Music_Inventory.Songs;
drop user if exists $restorer;
create user $restorer identified by '$restore_password';
grant insert on $staging.* to $restorer;
grant $past_read_only on *.* to $restorer;
EOF
    if ! errors=$("$client_program" --defaults-file="$cnf" --protocol=socket --host=localhost --socket="$socket" \
        "$client_tls" --default-character-set=utf8mb4 --binary-mode "$staging" <"$file" 2>&1); then
        out_of_space "$logfile" && fail "$no_space; the inventory was left unchanged"
        fail "the dump could not be loaded ($(first_error "$errors")); the inventory was left unchanged"
    fi
    # The account could have lifted read_only for everyone.
    admin -e "set global read_only = 1"
    if ! errors=$(admin -N 2>&1 <<EOF
start transaction;
delete from Music_Inventory.Songs;
delete from Music_Inventory.Artists;
insert into Music_Inventory.Artists select * from $staging.Artists;
insert into Music_Inventory.Songs select * from $staging.Songs;
commit;
select concat((select count(*) from Music_Inventory.Artists), ' artists and ',
    (select count(*) from Music_Inventory.Songs), ' songs');
EOF
    ); then
        out_of_space "$logfile" && fail "$no_space; the inventory was left unchanged"
        fail "replacing the inventory failed ($(first_error "$errors")); it was left unchanged"
    fi
    counts=$errors
    echo "$name: replaced the inventory in $datadir with the dump's $counts" >&2
}

# Start and stop take turns; the run commands that use the server hold the
# data folder itself shared, so only the last of them to end stops it.
exec 9>"$datadir/lock"
case "$command" in
start | load | dump | restore | stop | run) flock 9 ;;
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
load) load ;;
dump) dump ;;
restore) restore ;;
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
