#!/usr/bin/env bash
# A private MariaDB or MySQL server for music-inventory, in a folder of the user's own.
#
#   dbserver start   [--tcp PORT | --no-tcp] [DATADIR] [SERVER OPTION...]
#                     make the folder if needed, start the server, create the
#                     inventory if missing; --tcp also listens at PORT on the
#                     loopback addresses (127.0.0.1 and ::1)
#   dbserver run     [DATADIR [--]] [PROGRAM [ARG...]]  start it if needed, run
#                     music-inventory on it, stop it after the last run ends
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
# $XDG_DATA_HOME when that is an absolute path, else under ~/.local/share. An
# argument that begins with "-" is never DATADIR; run takes its first one for
# DATADIR only when it is a folder, or a program or -- follows it (run bash
# -c ... runs bash; run NEWDIR -- makes NEWDIR). Only its owner may enter
# DATADIR (mode 700); a link, a folder of another user, or one that others
# may write, is refused. The server listens only on a socket inside it (no
# TCP unless asked, below), runs as the user who started it, and can read
# and write files only in DATADIR/files. The program's account, root with
# the published password "tamrix", may only read the inventory; the
# administrator's password is made at random and kept in DATADIR/admin.cnf.
# The script's own logins name their passwords, whatever MYSQL_PWD says.
# Server options given to start (such as --character-set-server=latin1)
# apply to that start only; a start with other ones than those the server
# runs with is refused while it runs (one with none accepts it as it is).
# load, dump and restore start the server for their work if it is not
# running, and stop it again after. One server at most runs a folder: a
# start finds one already running by its process, and stop returns once
# none does. The folder records the kind and version of the server that last
# ran it: the other kind, or an older release series (MariaDB 10.6 after
# 10.11), is refused before anything is started; a newer version upgrades it
# once. Within a series MariaDB's patch releases go both ways, as MariaDB
# supports (10.11.6 runs a folder that 10.11.11 ran, and is then recorded);
# any older MySQL release is refused.
#
# For a client that cannot reach a Unix socket (the Windows program under
# Wine, say), start --tcp PORT also listens at PORT on the loopback
# addresses, and keeps doing so at later starts until start --no-tcp. The
# port is HAProxy's, which relays at most 20 connections to the server's
# socket, so the socket always has room for its owner. Over TCP only root
# with its password gets in, unable to change its password; a session
# silent for 10 seconds, one at work on one request, or holding one
# transaction, for 10 seconds is ended; on MariaDB, a temporary table on
# disk holds at most 64 MB. status fails, saying so, while every connection
# of the port is in use. Unlike the socket, the port is open to every local
# user, who may then read the inventory with root's password.
set -euo pipefail
# Everything made here is the user's alone, the server's files included.
umask 077

name=$(basename "$0")
fail() {
    echo "$name: $*" >&2
    exit 1
}

scripts=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
checkout=
if [ -f "$scripts/../db/schema.sql" ]; then
    checkout=$(cd "$scripts/.." && pwd)
    library=$scripts
    sql_dir=$checkout/db
else
    sql_dir=$scripts/../share/music-inventory
    library=$sql_dir
fi

command=${1:-}
shift || true
# shellcheck source-path=SCRIPTDIR source=server-common.sh
. "$library/server-common.sh"
check_command "start run load dump restore status stop socket port sql" dbserver
if [ -n "$checkout" ]; then
    default_datadir=$checkout/.dbdata
    default_program=$checkout/build/music-inventory
else
    default_datadir=$(data_home)/music-inventory
    default_program=$scripts/music-inventory
fi

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
# for the folder, nor is run's program.
datadir=$default_datadir
if [ "$command" = run ]; then
    run_arguments "$default_program" "$@"
    datadir=${run_folder:-$default_datadir}
elif [ $# -gt 0 ] && [[ $1 != -* ]]; then
    datadir=${1:-$default_datadir}
    shift
fi

[ "$command" != restore ] || refuse_terminal_input
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
# The server options of the start that runs the server, which a start with
# other ones would not apply.
options_record=$datadir/server-options
# The TCP relay's configuration and log, while the server is on TCP.
relay_cfg=$datadir/relay.cfg
relay_log=$datadir/relay.log
password=tamrix

# check_readable FILE WHAT [needed]: a file of the folder's that is there
# (or needed) and that the script cannot read is one line, not a shell
# error, a record taken for none, or a login that never comes.
check_readable() {
    if [ -e "$1" ] || [ -L "$1" ] || [ "${3:-}" = needed ]; then
        [ -f "$1" ] && [ -r "$1" ] || fail "cannot read $1, $2; nothing was started or changed"
    fi
}

# The TCP port of the last start that asked for one, until one asks for none.
port_record=$datadir/tcp-port
check_readable "$port_record" "the server's TCP port"
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
server_program='' haproxy_program=''
look_for server_program mariadbd mysqld || true
case "$command" in
socket | port | stop) ;;
*) find_program client_program mariadb mysql ;;
esac

# Over TCP, MySQL's password method needs TLS (or the server's RSA key) for
# a full login, so there MySQL's client keeps its default.
client_tls='' tcp_tls=''
if [ -n "${client_program:-}" ]; then
    client_tls=$(no_tls "$client_program")
    tcp_tls=$client_tls
    [ "$tcp_tls" = --skip-ssl ] || tcp_tls=--ssl-mode=PREFERRED
fi

# Every login of the script goes to the folder's socket, whatever MYSQL_HOST
# or MYSQL_TCP_PORT say, and names its password, whatever MYSQL_PWD says.
admin() {
    "$client_program" --defaults-file="$admin_cnf" --protocol=socket --host=localhost \
        --socket="$socket" "$client_tls" --default-character-set=utf8mb4 "$@"
}
# root_login PASSWORD ARG...: an empty one is none.
root_login() {
    "$client_program" --no-defaults --protocol=socket --host=localhost --socket="$socket" \
        "$client_tls" --user=root --password="$1" "${@:2}"
}
# The sessions the TCP relay holds at once, and how long one may be silent,
# work on one request or hold one transaction.
relay_connections=20
tcp_limit_seconds=10
# What the client said when the program's account last failed to get in.
login_error=
# Set when every connection that the TCP relay holds was found in use.
tcp_full=0
# Root's password works over TCP at address $1, port $2; every connection of
# the relay being in use counts as working too. MariaDB shows the relay's
# sessions by their loopback address; MySQL, which takes no address from the
# relay, as root's or not yet logged in on the socket, as the owner's own
# root sessions are, which are few and short.
tcp_login() {
    # timeout: a relay whose connections are all in use takes the new one in
    # the system's queue, and the client waits for a greeting past its own
    # connect timeout.
    login_error=$(timeout 5 "$client_program" --no-defaults --protocol=tcp --host="$1" --port="$2" \
        "$tcp_tls" --user=root --password="$password" --connect-timeout=2 -e 'select 1' 2>&1 >/dev/null) &&
        return 0
    [ "$(admin -N -e "select count(*) >= $relay_connections from information_schema.processlist
        where host <> '' and (host <> 'localhost' or user in ('root', 'unauthenticated user'))" \
        2>/dev/null)" = 1 ] || return 1
    tcp_full=1
}
# status: the server lets the program's account in, and the TCP port has room for it.
status() {
    answers || return 1
    [ "$tcp_full" = 0 ] || fail "the server in $datadir lets the program's account in on its socket, but every one of the $relay_connections connections at TCP port $tcp_port is in use (the relay ends each one idle for $tcp_limit_seconds seconds)"
}
# Ready means the program's account gets in, not merely that something
# answers: on the socket, and at each loopback address where TCP is on.
answers() {
    [ ! -e "$incomplete" ] || return 1
    login_error=$(root_login "$password" --connect-timeout=2 -e 'select 1' 2>&1 >/dev/null) ||
        return 1
    local address
    if [ -n "$tcp_port" ]; then
        for address in "${loopbacks[@]}"; do tcp_login "$address" "$tcp_port" || return 1; done
    fi
}
# Why a server of the folder that runs does not let the program's account
# in, from the client's words, and what to do.
shut_out() {
    local stop_it="stop it ($name stop '$datadir')"
    case $login_error in
    *"Too many connections"*)
        echo "has every connection in use (Too many connections), so the program's account cannot get in; end some of its sessions, or $stop_it" ;;
    *"Access denied"*)
        echo "does not let the program's account in (root with its password); $stop_it" ;;
    *"Can't connect"* | *"Lost connection"* | *"timeout"* | *"gone away"*)
        echo "does not answer (it may be starting, stopping or stopped by a signal); try again, or $stop_it" ;;
    *)
        echo "does not let the program's account in ($(first_error "$login_error")); $stop_it" ;;
    esac
}

# True when the device holding the folder is (nearly) full, or one of the
# logs given says the server found it so.
out_of_space() { space_exhausted "$datadir" "$@"; }
no_space="no space left on the device holding $datadir"

# A process counts only while it is this folder's server: a dead one, a
# zombie (whose program can no longer be read), or another program that got
# a number after a crash or a reboot does not, nor a process of another
# user, of another program that calls itself the server, or of another root.
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
# A process counts as the folder's relay only while it is HAProxy run with
# the relay's configuration.
is_our_relay() {
    local exe
    exe=$(own_program "$1") || return 1
    [ "${exe##*/}" = haproxy ] && has_argument "$1" "$relay_cfg"
}
# Sets `servers` to the PIDs of every server of this folder, found by its
# process: a start killed before its server wrote the PID file leaves one
# that the file does not name. A PID file that names none is stale.
find_servers() {
    mapfile -t servers < <(own_processes "--datadir=$server_data" is_our_server)
    server_pid=${servers[0]:-}
    if [ -e "$pidfile" ] && ! is_our_server "$(cat "$pidfile" 2>/dev/null)"; then rm -f "$pidfile"; fi
}

# The installed server's kind (MariaDB or MySQL), version, and the options
# that differ between the two.
temporary_table_bound=64M
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
        # What one temporary table on disk may hold, which no session may
        # raise: a join of the inventory with itself, sorted or grouped,
        # would otherwise fill the disk within its time limit. From 11.5 on,
        # the same bound holds for all of one session's temporary files.
        temporary_space=(--tmp-disk-table-size="$temporary_table_bound"
            --maximum-tmp-disk-table-size="$temporary_table_bound")
        if [ "$(printf '%s\n' 11.5.0 "$server_version" | sort -V | head -n 1)" = 11.5.0 ]; then
            temporary_space+=(--max-tmp-session-space-usage="$temporary_table_bound"
                --maximum-max-tmp-session-space-usage="$temporary_table_bound")
        fi
    else
        kind=MySQL
        # Without it, X Plugin listens on a socket of its own under /var/run.
        kind_options=(--mysqlx=OFF)
        # MySQL bounds no temporary table on disk (InnoDB's grow freely):
        # there the time limit of the TCP account bounds it.
        temporary_space=()
    fi
}

# Refuses, before anything is started or changed, a folder last run by the
# other kind of server or by a newer version than the installed one; an
# older version's folder is upgraded once it runs (upgrade_due). MariaDB
# keeps a release series' data format across its patch releases, both ways:
# an older patch release of the series runs the folder, then recorded as the
# last. MySQL goes back in place only within some series, from some
# releases on, so any older MySQL is refused. A folder made before the
# record was kept tells its kind by a file only that kind makes, and
# MariaDB's its version by its upgrade file.
check_server_kind() {
    local recorded_kind='' recorded_version=''
    check_readable "$version_record" "the record of the server that last ran the folder"
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
        local older last=$recorded_version installed=$server_version
        if [ "$kind" = MariaDB ]; then last=${recorded_version%.*}.0 installed=${server_version%.*}.0; fi
        older=$(printf '%s\n' "$last" "$installed" | sort -V | head -n 1)
        if [ "$older" = "$installed" ] && [ "$last" != "$installed" ]; then
            fail "$datadir was last run by $recorded, newer than the installed $kind $server_version, which cannot read it; nothing was changed. Start it where $recorded_kind ${last%.0} or later is installed, or dump it there and restore the dump here"
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
        # A making server left running by a start that was killed.
        stop
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
        show_log "$datadir/install.log" 40
        fail "making the server's data in $server_data failed"
    fi
}

# A fresh root has no password. Only root on the socket is kept: the
# password-less root accounts for TCP and the anonymous ones are dropped, a
# random administrator does the rest, and root may only read the inventory.
secure_accounts() {
    local admin_password statements
    admin_password=$(login_file music-inventory-admin "$admin_cnf")
    statements=$(root_login '' -N -e "
        select concat('drop user ', quote(user), '@', quote(host), ';') from mysql.user
        where user = '' or (user = 'root' and host <> 'localhost')")
    root_login '' <<EOF
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

# The TCP port is HAProxy's, a relay of the folder's own, never the
# server's: the server listens on its socket alone, and the relay holds at
# most $relay_connections sessions, so that nothing on the port, not even
# connections that never log in, can take the connections that the owner's
# socket needs. The relay ends a session whose client has been silent for
# 10 seconds, idle or logging in (the program reconnects before each
# report). Over the relay the program's login is root's, with its password
# and rights; MariaDB learns each session's loopback address from the relay
# (the PROXY protocol, accepted on the socket, which only the owner reaches)
# and shows it as the session's host. MySQL cannot: there the relay's
# sessions are root's on the socket, and the limits below hold for all of
# root's. Anyone on the machine may use the port, so an event of the
# administrator's ends any of its sessions that has worked on one request,
# or held one transaction, for 10 seconds (a session could raise its own
# statement limit, and a batch of statements or a prepared one would escape
# it), and the server's read_only keeps root from changing its password.
tcp_account() {
    local tcp_sessions="user = 'root' and host <> 'localhost'"
    [ "$kind" = MariaDB ] || tcp_sessions="user = 'root'"
    # The accounts per loopback address of folders made before the relay.
    admin -e "drop user if exists root@'127.0.0.1', root@'::1'"
    if [ -n "$1" ]; then
        admin <<EOF
create database if not exists music_inventory_server;
drop event if exists music_inventory_server.end_long_tcp_statements;
drop event if exists music_inventory_server.end_long_tcp_sessions;
-- When the event first saw each session of the account at work on a request.
drop table if exists music_inventory_server.busy_tcp_sessions;
create table music_inventory_server.busy_tcp_sessions
    (id bigint unsigned primary key, since datetime not null) engine = memory;
delimiter //
create event music_inventory_server.end_long_tcp_sessions on schedule every 1 second do
begin
    declare finished int default 0;
    declare session_id bigint unsigned;
    declare overdue cursor for
        select id from music_inventory_server.busy_tcp_sessions
        where since <= now() - interval $tcp_limit_seconds second
        union
        select trx_mysql_thread_id from information_schema.innodb_trx
        where trx_started <= now() - interval $tcp_limit_seconds second and trx_mysql_thread_id in
            (select id from information_schema.processlist where $tcp_sessions);
    declare continue handler for not found set finished = 1;
    -- a session that ended meanwhile is not an error
    declare continue handler for sqlexception begin end;
    delete from music_inventory_server.busy_tcp_sessions where id not in
        (select id from information_schema.processlist where $tcp_sessions and command <> 'Sleep');
    insert ignore into music_inventory_server.busy_tcp_sessions
        select id, now() from information_schema.processlist where $tcp_sessions and command <> 'Sleep';
    open overdue;
    ending: loop
        fetch overdue into session_id;
        if finished then
            leave ending;
        end if;
        kill connection session_id;
    end loop;
    close overdue;
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
        # Without options, a start only asks that the server run.
        if [ $# -gt 0 ] && [ "$(printf '%q ' "$@")" != "$(cat "$options_record" 2>/dev/null)" ]; then
            fail "the server for $datadir is running with other options; stop it ($name stop '$datadir') to start it with these"
        fi
        return 0
    fi
    # All of them first, so that a missing one leaves nothing half-done.
    find_program server_program mariadbd mysqld
    if [ -n "$port" ]; then
        look_for haproxy_program haproxy ||
            fail "HAProxy, which relays the TCP port to the server, is not installed (on Debian: haproxy); nothing was started"
    fi
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
        fail "a server for $datadir is running (PID $server_pid) but $(shut_out)"
    fi
    # Unread, it would leave the server unanswered for a minute.
    [ "$new" = 1 ] || check_readable "$admin_cnf" "the administrator's login" needed
    private_folder "$datadir/tmp"
    private_folder "$datadir/files"
    if [ "$new" = 1 ]; then make_server; fi
    serve "$port" "$@"
    if [ $# -gt 0 ]; then printf '%q ' "$@"; fi >"$options_record"
    record_server
}

# Starts the server on $socket, and on TCP at port $1 if one is given.
launch() {
    local port=$1 network=(--skip-networking)
    shift
    # The relay's sessions come with their loopback address; only the owner
    # reaches the socket, so no one else can claim one.
    if [ -n "$port" ] && [ "$kind" = MariaDB ]; then network+=(--proxy-protocol-networks=localhost); fi
    private_folder "$socket_dir"
    # No server of this folder runs (it would have answered, or been found):
    # a socket or a MySQL socket lock left by a killed one is stale, and so
    # is a relay to it, which would hold the port.
    rm -f "$socket" "$socket.lock"
    stop_relays
    # A private temporary folder: servers started at the same moment would
    # otherwise collide over the same file names in /tmp. Files can be read
    # and written by SQL only in DATADIR/files, and never from the client.
    # read_only: only the administrator writes (root cannot even change its
    # password); the event scheduler runs the TCP account's time limit.
    setsid "$server_program" --no-defaults --datadir="$server_data" --socket="$socket" \
        "${network[@]}" --skip-name-resolve --pid-file="$pidfile" --log-error="$logfile" \
        --tmpdir="$datadir/tmp" --secure-file-priv="$datadir/files" --local-infile=0 \
        --read-only --event-scheduler=ON "${user_option[@]}" --innodb-buffer-pool-size=64M \
        "${kind_options[@]}" "${temporary_space[@]}" "$@" </dev/null >"$datadir/start.log" 2>&1 8<&- 9>&- &
    server_pid=$!
    wait_for_program "$server_pid" mariadbd mysqld
}

# Fails with the reason when the server just launched has ended.
check_alive() {
    is_our_server "$server_pid" && return 0
    if [ -n "${1:-}" ] && grep -q 'Address already in use' "$logfile" 2>/dev/null; then
        fail "port $1 is taken on $(IFS=/; echo "${loopbacks[*]}") by another program; nothing was started (choose another port)"
    fi
    out_of_space "$logfile" && fail "$no_space; the server did not start"
    show_log "$datadir/start.log" 20
    show_log "$logfile" 20
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
        if root_login '' -e 'select 1' >/dev/null 2>&1; then
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

# The relay at TCP port $1, to the server's socket, once the server answers
# there. A port already taken is refused before anyone could use the server.
launch_relay() {
    local bind="    bind 127.0.0.1:$1" address proxy=''
    if [[ " ${loopbacks[*]} " == *" ::1 "* ]]; then bind+=$'\n'"    bind [::1]:$1 v6only"; fi
    [ "$kind" = MariaDB ] && proxy=send-proxy
    local server_socket
    server_socket=$(haproxy_path "$socket")
    cat >"$relay_cfg.new" <<EOF
# Written by $name at each start on TCP; edits are lost.
global
    nbthread 1
    maxconn $((relay_connections + 10))

defaults
    mode tcp
    timeout connect 2s
    # A client silent for this long, logging in or idle, is let go.
    timeout client ${tcp_limit_seconds}s
    timeout server $((tcp_limit_seconds + 5))s
    timeout client-fin 2s
    timeout server-fin 2s

listen tcp
$bind
    maxconn $relay_connections
    server mariadb unix@$server_socket $proxy
EOF
    mv -f "$relay_cfg.new" "$relay_cfg"
    "$haproxy_program" -c -q -f "$relay_cfg" >"$relay_log" 2>&1 ||
        { show_log "$relay_log" 20; stop; fail "HAProxy refused the relay's configuration ($relay_cfg); the server was stopped"; }
    setsid "$haproxy_program" -db -f "$relay_cfg" </dev/null >>"$relay_log" 2>&1 8<&- 9>&- &
    local pid=$!
    wait_for_program "$pid" haproxy
    for _ in $(seq 1 100); do
        for address in "${loopbacks[@]}"; do
            if ! is_our_relay "$pid"; then
                stop
                grep -q 'cannot bind' "$relay_log" &&
                    fail "port $1 is taken on $(IFS=/; echo "${loopbacks[*]}") by another program; nothing was started (choose another port)"
                show_log "$relay_log" 20
                fail "HAProxy, the relay at TCP port $1, did not start; the server was stopped"
            fi
            tcp_login "$address" "$1" || { sleep 0.1 && continue 2; }
        done
        return 0
    done
    stop
    fail "the relay at TCP port $1 did not let the program's account in within 10 seconds${login_error:+ ($(first_error "$login_error"))}; the server was stopped"
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
    if ! login_error=$(root_login "$password" --connect-timeout=2 -e 'select 1' 2>&1 >/dev/null); then
        fail "the server in $datadir $(shut_out)"
    fi
    if [ -n "$port" ]; then
        launch_relay "$port"
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

# Returns once no relay of the folder runs, which it ends.
stop_relays() {
    local relays
    for _ in $(seq 1 100); do
        mapfile -t relays < <(own_processes "$relay_cfg" is_our_relay)
        [ ${#relays[@]} -gt 0 ] || return 0
        kill "${relays[@]}" 2>/dev/null || true
        sleep 0.1
    done
    fail "HAProxy, the relay at the server's TCP port (PID ${relays[*]}), did not end within 10 seconds"
}

# Returns once no server nor relay of the folder runs.
stop() {
    stop_relays
    find_servers
    if [ -n "$server_pid" ]; then
        kill "${servers[@]}" 2>/dev/null || true
        for _ in $(seq 1 600); do
            find_servers
            [ -n "$server_pid" ] || break
            ! is_stopped "$server_pid" ||
                fail "the server for $datadir (PID $server_pid) is stopped by a signal; it ends once resumed (kill -CONT $server_pid)"
            sleep 0.1
        done
        if [ -n "$server_pid" ]; then
            out_of_space "$logfile" &&
                fail "$no_space: the server waits for space to finish stopping; free some, and it will"
            fail "the server did not stop within 60 seconds"
        fi
    fi
    rm -f "$started_by_run" "$options_record" "$socket" "$socket.lock"
}

# load, dump and restore start the server for their own work when it is not
# running, and stop it again when they end.
started_here=0
start_for_command() {
    trap finish_command EXIT
    answers && return 0
    # Set first: a start that fails once the server is launched stops it.
    [ -n "$server_pid" ] || started_here=1
    start
}
finish_command() {
    if [ "$started_here" = 1 ]; then stop; fi
}

# Fails for a load or restore that the server refused or could not do: $1
# says what failed, $2 is the client's output. A full disk, and a lock that
# another session held, are named as such; so is a server that stopped.
refuse() {
    local stopped=0 again="start it again ($name start '$datadir')"
    if ! answers; then
        # A server that crashes takes a moment to end.
        for _ in $(seq 1 100); do
            is_our_server "$server_pid" || break
            sleep 0.1
        done
        is_our_server "$server_pid" || stopped=1
    fi
    if out_of_space "$logfile"; then
        [ "$stopped" = 0 ] ||
            fail "$no_space; the inventory was left unchanged, but the server stopped: free some space, then $again"
        fail "$no_space; the inventory was left unchanged"
    fi
    [ "$stopped" = 0 ] ||
        fail "$1 ($(first_error "$2")); the inventory was left unchanged, but the server stopped: $again"
    fail_if_held admin "$2"
    fail "$1 ($(first_error "$2")); the inventory was left unchanged"
}

load() {
    start_for_command
    echo "$name: replacing every artist and song in $datadir with the sample inventory" >&2
    replace_with_sample admin "$sql_dir"
}

dump() {
    local dump_program
    find_program dump_program mariadb-dump mysqldump
    local tls
    tls=$(no_tls "$dump_program")
    start_for_command
    dump_inventory "$dump_program" --defaults-file="$admin_cnf" --protocol=socket --host=localhost \
        --socket="$socket" "$tls"
}

# The dump's reader and its files (restore_dump, server-common.sh).
restore_cnf=$datadir/restore.cnf
restore_file=$datadir/tmp/restore.sql
restore_rows=$datadir/tmp/restore.rows
restorer() {
    "$client_program" --defaults-file="$restore_cnf" --protocol=socket --host=localhost \
        --socket="$socket" "$client_tls" --default-character-set=utf8mb4 "$@"
}
# What a restore leaves until it ends, or, killed, until the next start;
# on the server, only once it has begun staging the dump.
staging_begun=1
remove_restore_leftovers() {
    rm -f "$restore_file" "$restore_rows" "$restore_cnf"
    [ "$staging_begun" = 0 ] || remove_staging admin >/dev/null 2>&1 || true
}
restore() {
    staging_begun=0
    start_for_command
    trap 'remove_restore_leftovers; finish_command' EXIT
    if ! cat >"$restore_file"; then
        out_of_space && fail "$no_space; the inventory was left unchanged"
        fail "cannot read the dump from standard input; the inventory was left unchanged"
    fi
    restore_dump admin restorer "$restore_file" "$restore_rows" "$restore_cnf"
    echo "$name: replaced the inventory in $datadir with the dump's $inventory_counts" >&2
}

# Start and stop take turns; the run commands that use the server hold the
# data folder itself shared, so only the last of them to end stops it.
exec 9>"$datadir/lock"
case "$command" in
start | load | dump | restore | stop | run) flock 9 ;;
esac
# Under the lock, so that a start or stop running beside this one has
# finished.
find_servers

finish_run() {
    flock 9
    if flock -n -x 8 && [ -e "$started_by_run" ]; then stop; fi
}

case "$command" in
start)
    start "$@"
    remove_restore_leftovers
    ;;
load) load ;;
dump) dump ;;
restore) restore ;;
status) status ;;
stop) stop ;;
socket) echo "$socket" ;;
port)
    [ -n "$tcp_port" ] || fail "the server in $datadir listens on no TCP port (start it with --tcp PORT)"
    echo "$tcp_port"
    ;;
sql)
    [ -n "$server_pid" ] || fail "the server for $datadir is not running; start it first ($name start '$datadir')"
    admin "$@"
    ;;
run)
    exec 8<"$datadir"
    flock -s 8
    if ! answers; then
        if [ -z "$server_pid" ]; then
            echo "$name: starting a private server in $datadir..." >&2
            # A start that fails once the server is launched stops it.
            trap stop EXIT
        fi
        start
        : >"$started_by_run"
    fi
    trap finish_run EXIT
    flock -u 9
    status=0
    # A client that reaches the server by TCP only (a Windows one) finds it too.
    if [ -n "$tcp_port" ]; then export MYSQL_TCP_PORT=$tcp_port; fi
    MYSQL_UNIX_PORT=$socket command "${run_command[@]}" 9<&- || status=$?
    exit "$status"
    ;;
esac
