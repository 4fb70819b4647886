#!/usr/bin/env bash
# A MariaDB Galera cluster of three nodes behind HAProxy for music-inventory:
# on three hosts of their own and the program's host, or all on this one.
#
#   cluster init DIR --nodes ADDR[:PORT],ADDR[:PORT],ADDR[:PORT] [--client ADDR]
#                         write DIR/node1, DIR/node2, DIR/node3 and DIR/client,
#                         one folder per host to copy there as it is: each
#                         node's key and certificate (and the program host's),
#                         signed by authorities made for this cluster whose
#                         keys are then deleted, the authorities' certificates,
#                         the addresses of the others, and for a node its
#                         firewall rules (firewall.nft). ADDR is an address or
#                         host name that the other hosts reach the node at;
#                         node N uses the 5 TCP ports from PORT (default
#                         4567): the group, the incremental transfer, the full
#                         transfer, the program's sessions, the health check.
#                         --client names the program host's address: the
#                         nodes' firewalls then let only it at the sessions'
#                         port, and only it and the other nodes at the
#                         health port (without it: any address, still only
#                         with a certificate of the cluster)
#   On node N's host:   cluster start|stop|status|sql|load|dump|restore DIR/nodeN
#                         the node, and its gateway: an HAProxy that relays
#                         the program host's TLS sessions to the node's
#                         socket while the node is Synced in the primary
#                         component, and answers the health check. The first
#                         start of node 1 founds the cluster with the sample
#                         inventory; the others join a Synced node by a full
#                         state transfer, later starts by an incremental one.
#                         With no other node Synced, a start founds the
#                         cluster again only on the node that left it last
#                         (the others wait up to a minute for one); after
#                         every node was lost at once, each waits for all the
#                         others of its last primary component. A node with
#                         data joins only the cluster its data comes from.
#   On the program's host: cluster start|stop|status|socket|run DIR/client
#                         HAProxy gives the program a Unix socket in the
#                         folder, and sends its sessions over TLS to the
#                         first node whose gateway reports it Synced
#
# Without init, every verb below works on a local cluster in one folder:
#   cluster start  [DIR]  make the folder if needed, start the nodes that are
#                         not running (and again those voted out of the
#                         cluster) and HAProxy, which serves as soon as one
#                         node is Synced; return once every node is Synced and
#                         in HAProxy's service, and HAProxy lets the program's
#                         account in
#   cluster run    [DIR [--]] [PROGRAM [ARG...]]  start it if needed, run
#                         music-inventory on it, stop it after the last run
#                         ends (or once it fails to start: what it started)
#   cluster status [DIR]  print each node's state; exit 0 when every node is
#                         Synced and HAProxy lets the program's account in
#   cluster stop   [DIR]  stop HAProxy and the nodes, with their state
#                         transfers; name what did not stop
#   cluster socket [DIR]  print HAProxy's socket, where the program connects
#   cluster load    [DIR] replace every artist and song with the sample inventory
#   cluster dump    [DIR] write the whole inventory to standard output as SQL
#   cluster restore [DIR] replace the whole inventory with a dump read from
#                         standard input, one made here or by dbserver.sh dump
#   cluster sql     [DIR] [CLIENT ARG...]  run the client as the administrator
#
# DIR defaults to .cluster in a checkout, else to music-inventory-cluster
# under $XDG_DATA_HOME when that is an absolute path, else under
# ~/.local/share; run takes its first argument for DIR only when it is a
# folder, or a program or -- follows it. Only its owner may enter it (mode
# 700). The first start makes node 1 as scripts/dbserver.sh makes a private
# server (the same accounts: root with the published password "tamrix" may
# only read the inventory, a random administrator in DIR/node1/admin.cnf, no
# account without a password), then nodes 2 and 3 copy it by state transfer.
# Clients reach the nodes and HAProxy only by Unix sockets inside DIR. The
# nodes, HAProxy and the state transfers run in a network of the folder's
# own, which holds only loopback: no other local user can reach their
# ports. Where the system lets no such network be made (a user's, in a
# chroot), they share the machine's loopback, and start and status say so;
# the nodes talk by TLS with a certificate that only DIR holds, so another
# local user can still neither join the cluster nor write into a node
# during a transfer, but can break a transfer. What the cluster needs is installed
# from Debian (scripts/setup.sh --cluster) when missing; no system service
# is started or enabled, and nothing is removed.
#
# load, dump, restore and sql work on a node that is Synced in the primary
# component, as the administrator. load, dump and restore start the cluster
# for their work when none of its nodes runs, and stop it again after; with
# nodes running but none in a primary component they refuse and change
# nothing. A load or a restore is one transaction of the cluster, reported
# once committed, with how many nodes hold it. Dumps are those of
# dbserver.sh: to move the inventory from a private server into the cluster,
#   scripts/dbserver.sh dump >inventory.sql; scripts/cluster.sh restore <inventory.sql
# and out of it, to a private server,
#   scripts/cluster.sh dump >inventory.sql; scripts/dbserver.sh restore <inventory.sql
#
# A commit is acknowledged once it is on the disk of the node that took it,
# and every node commits in the cluster's one order: when every node is
# lost at once (a power cut), start founds the cluster again from the node
# whose data goes furthest, so no acknowledged commit is lost. A read waits
# until its node has applied every commit the cluster had made when it
# began (wsrep_sync_wait): a report shows every earlier commit, whichever
# node took it. Writers that update the same rows at once can still
# overwrite each other's changes (a lost update); the program only reads.
# Every wait of the script has a bound, which its message states; a node
# that cannot start or was voted out is named with the cause, a full disk
# as such.
set -euo pipefail
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
else
    library=$scripts/../share/music-inventory
fi
dbserver=$scripts/dbserver.sh
check_program=$scripts/cluster-check.sh

command=${1:-}
shift || true
# shellcheck source-path=SCRIPTDIR source=server-common.sh
. "$library/server-common.sh"
check_command "init start run load dump restore status stop socket sql" cluster
if [ -n "$checkout" ]; then
    sql_dir=$checkout/db
    default_dir=$checkout/.cluster
    default_program=$checkout/build/music-inventory
else
    sql_dir=$library
    default_dir=$(data_home)/music-inventory-cluster
    default_program=$scripts/music-inventory
fi
dir=$default_dir
if [ "$command" = run ]; then
    run_arguments "$default_program" "$@"
    dir=${run_folder:-$default_dir}
elif [ $# -gt 0 ] && [[ $1 != -* ]]; then
    dir=$1
    shift
fi

[ "$command" != restore ] || refuse_terminal_input
# The nodes' option files end a value at a '#' and take quotes as their own.
case $dir in
*[\#\'\"]* | *$'\n'*) fail "a cluster cannot be kept in $dir: the servers' option files cannot name a path that holds '#', a quote or a line break; choose another folder" ;;
esac
open_folder "$dir" "cluster folder" "init start run load restore"
dir=$folder

# The nodes of the cluster, and those that run on this host; their folders.
declare -A address=() group_port=() ist_port=() sst_port=() session_port=() health_port=()
# shellcheck source-path=SCRIPTDIR source=cluster-hosts.sh
. "$scripts/cluster-hosts.sh"
# The cluster's engine is that of the installed server, as for the
# private server: Galera with MariaDB's, Group Replication with MySQL's.
if mysql_server_installed; then
    # shellcheck source-path=SCRIPTDIR source=cluster-group-replication.sh
    . "$scripts/cluster-group-replication.sh"
else
    # shellcheck source-path=SCRIPTDIR source=cluster-galera.sh
    . "$scripts/cluster-galera.sh"
fi
role=local
all_nodes=(1 2 3)
[ "$command" != init ] || [ "$engine_on_hosts" = 1 ] || hosts_unsupported
if [ "$command" != init ] && [ -e "$host_conf" ]; then read_host_conf; fi
case $role in
local)
    nodes=(1 2 3)
    node_dir() { echo "$dir/node$1"; }
    admin_cnf=$dir/node1/admin.cnf
    node_certificate=$dir/tls/node.pem
    ;;
node)
    nodes=("$this_node")
    node_dir() { echo "$dir"; }
    admin_cnf=$dir/admin.cnf
    # HAProxy finds a certificate's key beside it only for a name in .crt.
    node_certificate=$dir/tls/node.crt
    [[ " start stop status sql load dump restore " == *" $command "* ]] ||
        fail "$dir is node $this_node's folder, which takes start, stop, status, sql, load, dump and restore; $command is for the program host's folder (client)"
    ;;
client)
    nodes=()
    [[ " start stop status socket run " == *" $command "* ]] ||
        fail "$dir is the program host's folder, which takes start, stop, status, socket and run; $command works on a node's folder, on its host"
    ;;
esac
password=tamrix
tls=$dir/tls
node_key=$tls/node.key
ports_record=$dir/ports
addresses_record=$dir/addresses
started_by_run=$dir/started-by-run
haproxy_cfg=$dir/haproxy.cfg
haproxy_pidfile=$dir/haproxy.pid
# Present from the first step of making the folder until node 1 holds the
# inventory and the certificates are made: until then nothing but this
# script has used it, so it may be made again.
incomplete=$dir/incomplete

choose_socket_folder "$dir" music-inventory-cluster "start run load dump restore"
socket=$socket_dir/inventory.sock
haproxy_admin=$socket_dir/haproxy-admin.sock
node_socket() { echo "$socket_dir/node$1.sock"; }
node_cnf() { echo "$(node_dir "$1")/node.cnf"; }

if [ "$command" = socket ]; then
    echo "$socket"
    exit 0
fi

server_program='' client_program='' haproxy_program='' openssl_program='' socat_program=''
everything_installed() {
    engine_installed && look_for haproxy_program haproxy && look_for openssl_program openssl &&
        look_for socat_program socat && present ss && present ip && present unshare && present nsenter
}
if ! everything_installed; then
    case "$command" in
    init | start | run | load | restore)
        echo "$name: installing what the cluster needs from Debian ($engine_packages); no system service is started or enabled, nothing is removed" >&2
        "$scripts/setup.sh" --cluster || fail "installing the cluster's packages failed; nothing was started"
        everything_installed || fail "the cluster's programs are still missing after the set-up (scripts/setup.sh --cluster)"
        ;;
    # Without its programs, no cluster of the folder can be running.
    stop) exit 0 ;;
    *) fail "the cluster's programs are not installed (they are at the first start: $name start '$dir')" ;;
    esac
fi

if [ "$command" = init ]; then
    init_cluster "$@"
    exit 0
fi
client_tls=$(no_tls "$client_program")

# Every login of the script is on a socket inside the folder, and gives up
# after 10 seconds: a hung node or HAProxy (stopped, swapping) takes the
# connection and never answers, whatever --connect-timeout says.
login_timeout=10
# Sets the caller's `login` to the administrator's client on node $1.
admin_login() {
    login=("$client_program" --defaults-file="$admin_cnf" --protocol=socket --host=localhost
        --socket="$(node_socket "$1")" "$client_tls" --default-character-set=utf8mb4)
}
admin() {
    local login
    admin_login "$1"
    shift
    timeout "$login_timeout" "${login[@]}" "$@"
}
# The program's own login, through HAProxy.
program_login() {
    timeout "$login_timeout" "$client_program" --no-defaults --protocol=socket --host=localhost \
        --socket="$socket" "$client_tls" --user=root --password="$password" --connect-timeout=2 "$@"
}
# One of the script's questions about node $1 itself, the answer on
# standard output, nothing when it does not answer within 5 seconds (a
# node receiving a full transfer takes the connection and answers only
# once it is done). Without the nodes' causal wait, which a node outside a
# primary component refuses and a stalled group holds up.
ask_node() {
    local node=$1
    shift
    login_timeout=5 admin "$node" --connect-timeout=2 --batch --skip-column-names \
        --init-command="$own_question_setting" -e "$*" 2>/dev/null
}

# A PID counts only while it is this folder's node $2 (or HAProxy, for
# "haproxy"): a process of this user under this root, running the program,
# with the node's option file (HAProxy's configuration) on its command line.
# The server run only to read its data's position (--wsrep-recover) is not
# the node.
is_ours() {
    local pid=$1 what=$2 exe wanted argument
    if [ "$what" = haproxy ]; then
        wanted=$haproxy_exe argument=$haproxy_cfg
    else
        wanted=$server_exe argument=${node_option[$what]}
        ! has_argument "$pid" "$inspecting" || return 1
    fi
    has_argument "$pid" "$argument" && exe=$(own_program "$pid") && [ "$exe" = "$wanted" ]
}
# What is asked of every process is worked out once.
server_exe=$(readlink -f "$server_program")
haproxy_exe=$(readlink -f "$haproxy_program")
declare -A node_option=()
for node in "${nodes[@]}"; do node_option[$node]=--defaults-file=$(node_cnf "$node"); done

# The folder's processes, found by what they run rather than by PID files:
# a node writes its own only once started, and a start cut short leaves
# none. Sets server_pid[N] to node N's server, helpers[N] to the processes
# of its state transfers (the transfer script, socat, mariadb-backup: they
# run in the server's session, and stay there when the server ends or is
# killed), and haproxy_pid.
declare -A server_pid=() helpers=()
haproxy_pid=''
find_processes() {
    server_pid=() helpers=() haproxy_pid=''
    local entry stat pid node i name pids=() sessions=() names=()
    local -A node_of_session=()
    for entry in /proc/[0-9]*; do
        [ -O "$entry" ] || continue
        { read -r stat <"$entry/stat"; } 2>/dev/null || continue
        pid=${entry#/proc/}
        pids+=("$pid")
        name=${stat#*"("}
        names+=("${name%")"*}")
        read -r _ _ _ stat _ <<<"${stat##*) }"
        sessions+=("$stat")
    done
    for i in "${!pids[@]}"; do
        pid=${pids[i]}
        case ${names[i]} in
        "$server_name")
            for node in "${nodes[@]}"; do
                if is_ours "$pid" "$node"; then
                    server_pid[$node]=$pid
                    # Launched by setsid: its session is its own.
                    [ "${sessions[i]}" != "$pid" ] || node_of_session[$pid]=$node
                fi
            done
            ;;
        haproxy) if is_ours "$pid" haproxy; then haproxy_pid=$pid; fi ;;
        esac
    done
    # A session whose server has ended is the node's whose option file a
    # transfer script in it names.
    for i in "${!pids[@]}"; do
        [ -z "${node_of_session[${sessions[i]}]:-}" ] && [ ! -e "/proc/${sessions[i]}" ] || continue
        for node in "${nodes[@]}"; do
            if has_argument "${pids[i]}" "${node_option[$node]}"; then
                node_of_session[${sessions[i]}]=$node
            fi
        done
    done
    for i in "${!pids[@]}"; do
        node=${node_of_session[${sessions[i]}]:-}
        [ -n "$node" ] && [ "${pids[i]}" != "${server_pid[$node]:-}" ] || continue
        own_program "${pids[i]}" >/dev/null && helpers[$node]+="${pids[i]} "
    done
}
# The PID of node $1's server (or HAProxy's) when it runs, else nothing.
running_pid() {
    find_processes
    if [ "$1" = haproxy ]; then echo "$haproxy_pid"; else echo "${server_pid[$1]:-}"; fi
}
describe() {
    if [ "$1" = haproxy ]; then echo HAProxy; else echo "node $1"; fi
}

# The cluster's network: a namespace of the folder's own holding only
# loopback, which every node and HAProxy enter (and the state transfers,
# as the nodes' children). Only the folder's Unix sockets lead into it:
# another local user can neither connect to a node's ports (one connection
# to a transfer's port made the transfer fail, and the joining node abort)
# nor take a stopped node's port. Root makes it; a user, in a user
# namespace of their own, where the system allows it. Where it does not,
# the cluster shares the machine's loopback, and says so.
no_own_network=
own_network_possible() {
    local error
    [ -z "$no_own_network" ] || return 1
    if [ "$uid" = 0 ]; then
        error=$(unshare --net true 2>&1) && return 0
    else
        error=$(unshare --user --map-root-user --net true 2>&1) && return 0
    fi
    no_own_network=$(printf '%s' "${error:-unshare failed}" | head -n 1 | LC_ALL=C tr -d '\000-\037\177')
    return 1
}
# The PID of a running process of the cluster whose network the others
# share, else nothing.
network_holder() {
    local pid
    find_processes
    for pid in "${server_pid[@]}" "$haproxy_pid"; do
        if [ -n "$pid" ]; then
            echo "$pid"
            return 0
        fi
    done
}
same_namespace() {
    [ "$(readlink "/proc/$1/ns/$2")" = "$(readlink "/proc/self/ns/$2")" ]
}
# True when the cluster's processes see themselves as root: run by root,
# or in the user namespace that lets a user make the network.
runs_as_root() {
    local holder
    [ "$uid" = 0 ] && return 0
    [ "$role" = local ] || return 1
    holder=$(network_holder)
    if [ -n "$holder" ]; then ! same_namespace "$holder" user; else own_network_possible; fi
}
# Replaces the shell with "$@" run in the cluster's network: that of its
# running processes, else a new one.
in_cluster_network() {
    local holder
    # A node on a host of its own listens on its host's address.
    [ "$role" = local ] || exec "$@"
    holder=$(network_holder)
    if [ -n "$holder" ]; then
        same_namespace "$holder" net && exec "$@"
        same_namespace "$holder" user && exec nsenter --target "$holder" --net -- "$@"
        exec nsenter --target "$holder" --user --net --preserve-credentials -- "$@"
    fi
    own_network_possible || exec "$@"
    local user=()
    [ "$uid" = 0 ] || user=(--user --map-root-user)
    # A new namespace's loopback is down; the nodes' own addresses are on it
    # (Group Replication takes only an address that an interface holds).
    exec unshare "${user[@]}" --net -- sh -c 'ip link set lo up && ip address add 127.0.0.2/8 dev lo &&
        ip address add 127.0.0.3/8 dev lo && exec "$@"' sh "$@"
}
# Why other local users can reach the cluster's ports, when they can.
shared_network() {
    local holder
    holder=$(network_holder)
    if [ -n "$holder" ] && same_namespace "$holder" net; then
        own_network_possible || true
        echo "the cluster's ports are on this machine's loopback, where other local users can reach them and disturb it (stop its state transfers, take a stopped node's port): this system lets no network of the folder's own be made${no_own_network:+ ($no_own_network)}"
    fi
}

# Why node $1 ended, for a message: a full disk as such.
cause() {
    local log
    log=$(node_dir "$1")/server.log
    if space_exhausted "$(node_dir "$1")/db" "$log"; then
        echo "no space left on the device holding $(node_dir "$1")/db; its log is $log"
    else
        echo "its log is $log"
    fi
}

# A server given SIGTERM ends within seconds; one that waits for a peer
# gone silent, some 15 seconds more (Galera's own timeouts).
stop_seconds=60
# Sends SIGTERM to node $1 (or HAProxy) and to its transfer helpers, and
# waits for them to end. Returns 1 with the reason in `why` when the server
# is stopped by a signal or does not end within $stop_seconds; helpers
# still there by then are killed: what they were copying is copied anew.
stop_one() {
    local what=$1 pid others deadline
    find_processes
    if [ "$what" = haproxy ]; then pid=$haproxy_pid others=''; else pid=${server_pid[$what]:-} others=${helpers[$what]:-}; fi
    [ -n "$pid$others" ] || return 0
    # shellcheck disable=SC2086 # a list of PIDs
    kill $pid $others 2>/dev/null || true
    deadline=$((SECONDS + stop_seconds))
    while :; do
        find_processes
        if [ "$what" = haproxy ]; then pid=$haproxy_pid others=''; else pid=${server_pid[$what]:-} others=${helpers[$what]:-}; fi
        [ -n "$pid$others" ] || return 0
        if [ -n "$pid" ] && is_stopped "$pid"; then
            why="$(describe "$what") (PID $pid) is stopped by a signal; it ends once resumed (kill -CONT $pid)"
            return 1
        fi
        [ "$SECONDS" -lt "$deadline" ] || break
        sleep 0.2
    done
    # shellcheck disable=SC2086
    [ -z "$others" ] || kill -KILL $others 2>/dev/null || true
    [ -n "$pid" ] || return 0
    why="$(describe "$what") (PID $pid) did not stop within $stop_seconds seconds"
    if [ "$what" != haproxy ] && space_exhausted "$(node_dir "$what")/db" "$(node_dir "$what")/server.log"; then
        why+=": no space left on the device holding $(node_dir "$what")/db, it waits for space to finish stopping"
    fi
    return 1
}

reversed_nodes() {
    local i
    for ((i = ${#nodes[@]} - 1; i >= 0; i--)); do echo "${nodes[i]}"; done
}
stop() {
    local node failed=()
    stop_one haproxy || failed+=("$why")
    # One at a time, node 1 last: the last to leave may found the cluster
    # again at the next start without a question of which has the latest
    # data. A node that does not stop does not keep the others running.
    for node in $(reversed_nodes); do stop_one "$node" || failed+=("$why"); done
    rm -f "$started_by_run"
    [ -n "$(running_pid haproxy)" ] || rm -f "$socket" "$haproxy_admin"
    [ ${#failed[@]} = 0 ] || fail "$(printf '%s; ' "${failed[@]}")the rest of the cluster was stopped"
}

# The first start: node 1 is a private server made by dbserver.sh, with its
# accounts and the inventory; then a certificate authority signs one
# certificate for the nodes and is thrown away, so that no other
# certificate it signed can ever exist.
make_cluster() {
    if [ -e "$incomplete" ]; then
        echo "$name: $dir was left half-made, never used; making it again" >&2
        "$dbserver" stop "$dir/node1" >/dev/null 2>&1 || true
        find "$dir" -mindepth 1 -maxdepth 1 ! -name lock ! -name run ! -name socket-folder \
            -exec rm -rf {} +
    elif [ -n "$(find "$dir" -mindepth 1 -maxdepth 1 ! -name lock ! -name run ! -name socket-folder)" ]; then
        fail "$dir holds something other than this script's cluster; remove it (rm -rf '$dir') or name another folder"
    fi
    echo "made by $name; not yet used" >"$incomplete"
    private_folder "$dir/tmp"
    private_folder "$dir/files"
    echo "$name: making a cluster in $dir..." >&2
    private_folder "$dir/node1"
    "$dbserver" start --no-tcp "$dir/node1" >/dev/null || fail "making node 1 failed"
    prepare_first_node
    "$dbserver" stop "$dir/node1" || fail "stopping node 1 after making it failed"
    private_folder "$tls"
    # Every loopback address a local node may have: a member of a group
    # checks the address of the one it connects to against it.
    local subject=/CN=localhost san="subjectAltName=DNS:localhost,IP:127.0.0.1,IP:127.0.0.2,IP:127.0.0.3"
    if ! {
        "$openssl_program" req -x509 -newkey rsa:2048 -nodes -days 36500 -subj "/CN=music-inventory cluster CA" \
            -keyout "$tls/ca.key" -out "$tls/ca.pem" &&
            "$openssl_program" req -newkey rsa:2048 -nodes -subj "$subject" -addext "$san" \
                -keyout "$tls/node.key" -out "$tls/node.csr" &&
            "$openssl_program" x509 -req -in "$tls/node.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" \
                -CAcreateserial -days 36500 -copy_extensions copy -out "$tls/node.pem"
    } >"$dir/tls.log" 2>&1; then
        show_log "$dir/tls.log" 20
        fail "making the nodes' certificate failed"
    fi
    rm -f "$tls/ca.key" "$tls/node.csr" "$tls/ca.srl"
    # Nodes 2 and 3 start as copies of node 1 once it has founded the
    # cluster and left it cleanly: the same data at the same position,
    # nothing to transfer (a full transfer takes some 20 seconds each).
    choose_ports
    write_node_cnf 1
    launch_node 1 new
    wait_synced 1 "$launched_pid" || fail "node 1 did not start; $why"
    founded 1
    stop_one 1 || fail "$why"
    local node
    for node in 2 3; do
        private_folder "$(node_dir "$node")"
        cp -a "$dir/node1/db" "$(node_dir "$node")/db"
        copied_node "$node"
    done
    rm -f "$incomplete"
}

free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        if [[ " ${ports[*]:-} " != *" $port "* ]] &&
            ! ss -Htln "sport = :$port" 2>/dev/null | grep -q .; then
            echo "$port"
            return 0
        fi
    done
}
# Loopback ports for each node's group communication, incremental (IST) and
# full (SST) state transfer, chosen free when no node runs and kept while
# any does (a joining node must find the others where they are). In a
# network of its own, each node also has a loopback address of its own
# (127.0.0.1 to .3), as on three hosts; on the machine's loopback, all are
# on 127.0.0.1. A folder made before records no addresses: its nodes keep
# 127.0.0.1 until they next start together.
choose_ports() {
    local _ node
    ports=() addresses=()
    for _ in $(seq 1 9); do ports+=("$(free_port)"); done
    echo "${ports[*]}" >"$ports_record"
    if own_network; then
        for node in "${nodes[@]}"; do addresses+=("127.0.0.$node"); done
    else
        addresses=(127.0.0.1 127.0.0.1 127.0.0.1)
    fi
    echo "${addresses[*]}" >"$addresses_record"
    local_addresses
}
read_ports() {
    ports=() addresses=()
    [ -s "$ports_record" ] && read -r -a ports <"$ports_record"
    [ -s "$addresses_record" ] && read -r -a addresses <"$addresses_record"
    [[ "${addresses[*]}" =~ ^127\.0\.0\.[1-3]( 127\.0\.0\.[1-3]){2}$ ]] || addresses=(127.0.0.1 127.0.0.1 127.0.0.1)
    if [ ${#ports[@]} = 9 ]; then local_addresses; else choose_ports; fi
}
local_addresses() {
    local node i
    for node in "${nodes[@]}"; do
        i=$((node - 1))
        address[$node]=${addresses[i]}
        group_port[$node]=${ports[i * 3]} ist_port[$node]=${ports[i * 3 + 1]} sst_port[$node]=${ports[i * 3 + 2]}
    done
}
# True when the cluster's processes run (or will) in a network of its own.
own_network() {
    local holder
    holder=$(network_holder)
    if [ -n "$holder" ]; then ! same_namespace "$holder" net; else own_network_possible; fi
}

# The most memory a node may take (RLIMIT_DATA: its heap and private
# mappings), so that a node gone wrong fails alone instead of starving the
# machine; about three times what one takes at work (its heap, thread
# stacks and buffers: some 500 MB).
node_memory_kb=$((1536 * 1024))

# Starts node $1; with "new", as the first of a new cluster.
launch_node() {
    local node=$1 options=()
    start_options "$node" "${2:-}"
    rm -f "$(node_socket "$node")" "$(node_socket "$node").lock"
    (
        ulimit -d "$node_memory_kb"
        in_cluster_network setsid "$server_program" --defaults-file="$(node_cnf "$node")" "${options[@]}"
    ) </dev/null >"$(node_dir "$node")/start.log" 2>&1 8<&- 9>&- &
    launched_pid=$!
    # Not one of this script's jobs: one killed is not reported as such.
    disown
}

# A full state transfer of a large inventory takes minutes.
synced_seconds=300
# Waits until node $1, whose server is PID $2, is Synced in the primary
# component. Returns 1, with the reason in `why`, when the server ends.
wait_synced() {
    local node=$1 pid=$2 deadline=$((SECONDS + synced_seconds))
    while [ "$(node_state "$node")" != "$synced" ]; do
        if ! readlink "/proc/$pid/exe" >/dev/null 2>&1; then
            why=$(cause "$node")
            return 1
        fi
        if is_stopped "$pid"; then
            fail "node $node (PID $pid) is stopped by a signal; resume it (kill -CONT $pid) and start again"
        fi
        if start_failed "$node"; then
            why="it did not join ($(cause "$node"))"
            return 1
        fi
        if [ "$SECONDS" -ge "$deadline" ]; then
            fail "node $node was not Synced within $synced_seconds seconds; $(cause "$node")"
        fi
        sleep 0.2
    done
}

# Starts node $1 as a joiner of the running cluster and waits until it is
# Synced. A joiner that ended is started once more: a full transfer can
# fail by a fault of the server's own (its check of the copy's position
# against the view it holds) and succeed the next time.
join_node() {
    local node=$1 attempt
    for attempt in 1 2; do
        echo "$name: starting node $node..." >&2
        launch_node "$node"
        wait_synced "$node" "$launched_pid" && return 0
        # What is left of its transfer would hold the transfer's port.
        stop_one "$node" || fail "node $node did not start, and $why"
        if copied_whole "$node"; then
            echo "$name: node $node was copied whole from a donor; starting it on the copy" >&2
        elif [ "$attempt" = 1 ]; then
            echo "$name: node $node did not start ($why); starting it once more" >&2
        fi
    done
    show_log "$(node_dir "$node")/server.log" 20
    fail "node $node did not start twice; $why; the other nodes serve the program"
}

# The start of each of the cluster's HAProxy configurations: its stats
# socket (for status; only the owner can reach it), PID file and log (each
# session's node and end: which node a failed report was on), TCP by
# default, and the global lines given as arguments, one each.
haproxy_cfg_start() {
    local admin pidfile line
    admin=$(haproxy_path "$haproxy_admin")
    pidfile=$(haproxy_path "$haproxy_pidfile")
    printf '# Written by %s at each start; edits are lost.\nglobal\n' "$name"
    for line in "$@"; do printf '    %s\n' "$line"; done
    cat <<EOF
    stats socket $admin mode 600 level user
    pidfile $pidfile
    log stderr format raw local0 info

defaults
    mode tcp
    log global
    option tcplog
    # A session may sit at the program's menu for as long as the server allows.
    timeout client 8h
    timeout server 8h
    timeout connect 2s
    timeout check 2s
EOF
}
# The program's socket, and how its sessions go to the nodes.
inventory_listener() {
    local socket_path
    socket_path=$(haproxy_path "$socket")
    cat <<EOF
    # A connection refused by a node that just died (or left service) is
    # tried again, then on another node, instead of failing the session
    # ("Server has gone away" and seconds lost).
    retries 3
    option redispatch 1

listen inventory
    bind unix@$socket_path mode 600
    # Every session on the first node in service: a read never lags a commit
    # made through another session on another node.
    balance first
EOF
}
# The nodes' health check is a program, which HAProxy forks only when told to.
external_check_globals=(insecure-fork-wanted external-check)

write_haproxy_cfg() {
    local node servers='' check
    for node in "${nodes[@]}"; do
        servers+="    server node$node unix@$(haproxy_path "$(node_socket "$node")") check"$'\n'
    done
    check=$(haproxy_path "$check_program")
    {
        haproxy_cfg_start "${external_check_globals[@]}"
        inventory_listener
        cat <<EOF
    # Passes only for a Synced node: logins on a joining node succeed, but
    # every statement fails until it is Synced.
    option external-check
    external-check path "/usr/bin:/bin"
    external-check command $check
    # Checked every $check_interval, which bounds each check too; down
    # after two failures, up after two passes;
    # sessions of a node marked down are ended at once, so that a hung node
    # (stopped, swapping) does not freeze a report for the whole server timeout.
    default-server inter $check_interval fall 2 rise 2 on-marked-down shutdown-sessions
$servers
EOF
    } >"$haproxy_cfg.new"
    mv -f "$haproxy_cfg.new" "$haproxy_cfg"
}

launch_haproxy() {
    rm -f "$socket" "$haproxy_admin"
    "$haproxy_program" -c -q -f "$haproxy_cfg" >"$dir/haproxy.log" 2>&1 ||
        { show_log "$dir/haproxy.log" 20; fail "HAProxy refused its configuration ($haproxy_cfg)"; }
    (in_cluster_network setsid "$haproxy_program" -db -f "$haproxy_cfg") </dev/null >>"$dir/haproxy.log" 2>&1 8<&- 9>&- &
    echo $! >"$haproxy_pidfile"
}

# Ready: HAProxy lets the program's account in and sends it to a Synced node.
answers() {
    [ ! -e "$incomplete" ] || return 1
    [ "$(program_login --batch --skip-column-names --init-command="$own_question_setting" \
        -e "$serving_question" 2>/dev/null)" = "$serving_answer" ]
}
# True when one of the nodes given is in a primary component.
in_primary() {
    local node
    for node in "$@"; do
        state_in_majority "$(node_state "$node")" && return 0
    done
    return 1
}
# True once HAProxy has every node in service: plainly "UP", not on its way
# down after a failed check nor up after a passed one. A rejoin's donor
# leaves service for a moment and the node that rejoined enters it two
# checks after it is Synced; a session sent meanwhile could land on a node
# about to leave, and a node hung just then would cost it a failure line.
# Sets out_of_service to the nodes that are not.
all_in_service() {
    local up node
    up=$(echo "show stat" | timeout 5 "$socat_program" -t 2 - "UNIX-CONNECT:$haproxy_admin" 2>/dev/null |
        awk -F, '$1 == "inventory" && $2 ~ /^node[0-9]+$/ && $18 == "UP" { print substr($2, 5) }')
    out_of_service=()
    for node in "${all_nodes[@]}"; do
        grep -qx "$node" <<<"$up" || out_of_service+=("node $node")
    done
    [ ${#out_of_service[@]} = 0 ]
}
all_synced() {
    local node
    find_processes
    for node in "${nodes[@]}"; do
        [ -n "${server_pid[$node]:-}" ] && [ "$(node_state "$node")" = "$synced" ] || return 1
    done
}

start() {
    case $role in
    node) start_node_host ;;
    client) start_client ;;
    *) start_local ;;
    esac
}
start_local() {
    if [ ! -e "$incomplete" ] && [ -e "$dir/node1/db" ] && all_synced &&
        [ -n "$haproxy_pid" ] && answers && all_in_service; then
        return 0
    fi
    private_folder "$socket_dir"
    if [ -e "$incomplete" ] || [ ! -e "$dir/node1/db" ]; then make_cluster; fi
    local node pid running=()
    find_processes
    for node in "${nodes[@]}"; do
        pid=${server_pid[$node]:-}
        if [ -z "$pid" ]; then
            # What is left of a transfer whose server has ended (a start cut
            # short) holds its port: the next would fail.
            [ -z "${helpers[$node]:-}" ] || stop_one "$node" || fail "$why; nothing was started"
        elif is_stopped "$pid"; then
            fail "node $node (PID $pid) is stopped by a signal; resume it (kill -CONT $pid) and start again; nothing was started"
        elif state_out "$(node_state "$node")" "$node"; then
            # Voted out of the cluster (it failed to apply what the others
            # committed, as on a full disk): it stays out until started again.
            echo "$name: node $node runs outside the cluster ($(cause_out "$node")); starting it again" >&2
            stop_one "$node" || fail "$why; nothing was started"
        else
            running+=("$node")
        fi
    done
    if [ ${#running[@]} = 0 ]; then
        choose_ports
    else
        read_ports
    fi
    for node in "${nodes[@]}"; do write_node_cnf "$node"; done
    if [ ${#running[@]} -gt 0 ] && ! found_in_place && ! in_primary "${running[@]}"; then
        # An engine that cannot tell how far a running node's data goes
        # against the stopped ones' has it stopped, and every node's data
        # read, so that the group is founded again from the furthest.
        echo "$name: $(printf 'node %s, ' "${running[@]}" | sed 's/, $//') $([ ${#running[@]} = 1 ] && echo runs || echo run) outside $majority (the other nodes were lost); stopping to start the cluster from the node whose data goes furthest" >&2
        for node in "${running[@]}"; do stop_one "$node" || fail "$why; nothing was started"; done
        running=()
    fi
    if [ ${#running[@]} = 0 ]; then
        node=$(first_node)
        echo "$name: starting node $node, the first of the cluster..." >&2
        launch_node "$node" new
        if ! wait_synced "$node" "$launched_pid"; then
            show_log "$(node_dir "$node")/server.log" 20
            fail "node $node, whose data goes furthest, did not start; $why"
        fi
        founded "$node"
        running+=("$node")
    elif ! in_primary "${running[@]}"; then
        # Nodes that run outside a primary component (two of three were
        # lost, and the survivor cannot tell a crash from a partition) would
        # never let another node join. The others are known not to run, so
        # no other component can exist: the one that went furthest founds
        # it again.
        local best='' best_seqno=-2 seqno
        for node in "${running[@]}"; do
            seqno=$(last_committed "$node") || continue
            if [[ $seqno =~ ^[0-9]+$ ]] && [ "$seqno" -gt "$best_seqno" ]; then best=$node best_seqno=$seqno; fi
        done
        [ -n "$best" ] || fail "the running nodes of $dir are outside $majority and do not answer; stop them ($name stop '$dir') and start again"
        echo "$name: node $best runs outside $majority (the other nodes were lost); making it the first of the cluster again" >&2
        found_again "$best"
        wait_synced "$best" "$(running_pid "$best")" || fail "node $best ended; $why"
    fi
    # The program is served as soon as one node is Synced; the others join
    # behind it.
    if [ -z "$(running_pid haproxy)" ]; then
        write_haproxy_cfg
        launch_haproxy
    fi
    # A node that died is counted by the others until they drop it, some 15
    # seconds after it fell silent (Galera's own timeouts); started again
    # before that, it makes the group's next membership fail to form, and
    # every node leaves service for seconds.
    local counting=${running[0]} deadline=$((SECONDS + 60))
    for node in "${running[@]}"; do
        if [ "$(node_state "$node")" = "$synced" ]; then counting=$node && break; fi
    done
    while [ "$SECONDS" -lt "$deadline" ] && [ "$(cluster_size "$counting")" != ${#running[@]} ]; do
        sleep 0.2
    done
    # A node that was joining when a start was cut short goes on by itself.
    for node in "${running[@]}"; do
        pid=$(running_pid "$node")
        [ -n "$pid" ] && wait_synced "$node" "$pid" && continue
        stop_one "$node" || fail "node $node ended while joining, and $why"
        join_node "$node"
    done
    # One at a time: each joiner takes a donor from the nodes already Synced.
    for node in "${nodes[@]}"; do
        [[ " ${running[*]} " == *" $node "* ]] || join_node "$node"
    done
    local waiting shared
    shared=$(shared_network)
    [ -z "$shared" ] || echo "$name: $shared" >&2
    deadline=$((SECONDS + 30))
    while :; do
        if ! answers; then
            waiting="let the program's account in"
        elif ! all_in_service; then
            waiting="put $(printf '%s, ' "${out_of_service[@]}" | sed 's/, $//') in service"
        else
            return 0
        fi
        find_processes
        if [ -z "$haproxy_pid" ]; then
            show_log "$dir/haproxy.log" 20
            fail "HAProxy did not start; its log is $dir/haproxy.log"
        elif is_stopped "$haproxy_pid"; then
            fail "HAProxy (PID $haproxy_pid) is stopped by a signal; resume it (kill -CONT $haproxy_pid) and start again"
        elif [ "$SECONDS" -ge "$deadline" ]; then
            fail "HAProxy did not $waiting within 30 seconds; its log is $dir/haproxy.log"
        fi
        sleep 0.2
    done
}

# Node $1's state in words; only the words we know are printed: nothing a
# server sends reaches the terminal.
node_description() {
    local pid=${server_pid[$1]:-}
    if [ -z "$pid" ]; then
        echo "not running${helpers[$1]:+; what is left of its state transfer runs (PIDs ${helpers[$1]% }), which stop or start ends}"
    elif is_stopped "$pid"; then
        echo "stopped by a signal (PID $pid)"
    else
        state_words "$(node_state "$1")" "$1"
    fi
}

status() {
    find_processes
    case $role in
    node) status_node_host ;;
    client) status_client ;;
    *) status_local ;;
    esac
}
status_local() {
    local node state degraded=0
    for node in "${nodes[@]}"; do
        state=$(node_description "$node")
        [ "$state" = Synced ] || degraded=1
        echo "node $node: $state"
    done
    if [ -z "$haproxy_pid" ]; then
        echo "HAProxy: not running"
    elif is_stopped "$haproxy_pid"; then
        echo "HAProxy: stopped by a signal (PID $haproxy_pid)"
    else
        echo "HAProxy: running, $socket"
    fi
    local shared
    shared=$(shared_network)
    [ -z "$shared" ] || echo "network: $shared"
    answers && return "$degraded"
}

# The administrator's commands go to a node Synced in the primary
# component that takes writes: what it commits, the cluster has.
work_node=
find_work_node() {
    local node
    for node in "${nodes[@]}"; do
        if [ "$(node_state "$node")" = "$synced" ] && takes_writes "$node"; then
            work_node=$node
            return 0
        fi
    done
    return 1
}
# Without the script's own bound: a restore may take longer, and sql is
# the user's session on the terminal, which timeout would take from it.
work_admin() {
    local login
    admin_login "$work_node"
    "${login[@]}" "$@"
}
no_primary="no node of the cluster in $dir is Synced in $majority ($name status '$dir' shows each node's state; $name start '$dir' brings it back)"

# load, dump and restore start the cluster for their work when none of its
# nodes runs, and stop what they started when they end. Nodes that run with
# none in a primary component are left as they are: bringing them back
# means choosing whose data goes on, which is start's to do.
started_here=0
start_for_command() {
    trap finish_command EXIT
    find_work_node && return 0
    [ "$role" = local ] ||
        fail "node $this_node is not Synced in $majority ($name status '$dir' says why; $name start '$dir' starts it); the inventory was left unchanged"
    local one
    for one in "${nodes[@]}"; do
        [ -z "$(running_pid "$one")" ] || fail "$no_primary; the inventory was left unchanged"
    done
    for one in haproxy "${nodes[@]}"; do
        [ -z "$(running_pid "$one")" ] || running_before+=" $one"
    done
    echo "$name: starting the cluster in $dir for the $command; it is stopped again after" >&2
    started_here=1
    start
    find_work_node || fail "$no_primary; the inventory was left unchanged"
}
finish_command() {
    if [ "$started_here" = 1 ]; then stop_started; fi
}

# Prints "N of 3 nodes hold it" for the work node's last commit, naming the
# nodes that do not: a Synced node holds it once it has caught up as far.
holders() {
    local target node position held=0 missing=''
    if [ "$role" = node ]; then
        echo "$the_majority holds it, of $(cluster_size "$work_node") nodes"
        return 0
    fi
    target=$(caught_up_position "$work_node") || target=''
    for node in "${nodes[@]}"; do
        if [[ $target =~ ^[0-9]+$ ]] && [ "$(node_state "$node")" = "$synced" ] &&
            position=$(caught_up_position "$node") && [[ $position =~ ^[0-9]+$ ]] &&
            [ "$position" -ge "$target" ]; then
            held=$((held + 1))
        else
            missing+=" $node"
        fi
    done
    echo "$held of ${#nodes[@]} nodes hold it${missing:+ (not Synced with it:$missing)}"
}

# Fails for a load or restore that the cluster refused or could not do: $1
# says what failed, $2 is the client's output. A node that left the primary
# component refuses every statement, and a lock held elsewhere is named.
refuse() {
    ! space_exhausted "$(node_dir "$work_node")/db" "$(node_dir "$work_node")/server.log" ||
        fail "$1: no space left on the device holding $(node_dir "$work_node")/db; the inventory was left unchanged"
    in_primary "$work_node" ||
        fail "$1: node $work_node left $the_majority; the inventory was left unchanged"
    fail_if_held work_admin "$2"
    fail "$1 ($(first_error "$2")); the inventory was left unchanged"
}

load() {
    start_for_command
    echo "$name: replacing every artist and song in $dir with the sample inventory, on node $work_node" >&2
    replace_with_sample work_admin "$sql_dir"
    echo "$name: the sample inventory is committed in $the_majority; $(holders)" >&2
}

dump() {
    local dump_program
    look_for dump_program mariadb-dump mysqldump || fail "mariadb-dump is not installed (on Debian: mariadb-client)"
    start_for_command
    # What the cluster committed before the dump began, on whichever node.
    caught_up_position "$work_node" >/dev/null ||
        fail "node $work_node could not catch up with the cluster; nothing was dumped"
    dump_inventory "$dump_program" --defaults-file="$admin_cnf" --protocol=socket --host=localhost \
        --socket="$(node_socket "$work_node")" "$client_tls"
}

# The dump's reader and its files (restore_dump, server-common.sh): the
# staging database and the reading account are replicated, the reader's
# temporary tables stay on its node, and the final replace is one
# transaction of the cluster.
restore_cnf=$dir/restore.cnf
restore_file=$dir/tmp/restore.sql
restore_rows=$dir/tmp/restore.rows
restorer() {
    "$client_program" --defaults-file="$restore_cnf" --protocol=socket --host=localhost \
        --socket="$(node_socket "$work_node")" "$client_tls" --default-character-set=utf8mb4 "$@"
}
# What a restore leaves until it ends, or, killed, until the next start;
# on the cluster, only once it has begun staging the dump, and before the
# restoring account's login, which tells the next start that it may have.
staging_begun=1
remove_restore_leftovers() {
    [ "$staging_begun" = 0 ] || { find_work_node && remove_staging work_admin; } >/dev/null 2>&1 || true
    rm -f "$restore_file" "$restore_rows" "$restore_cnf"
}
restore() {
    staging_begun=0
    start_for_command
    trap 'remove_restore_leftovers; finish_command' EXIT
    private_folder "$dir/tmp"
    cat >"$restore_file" ||
        fail "cannot read the dump from standard input, or store it in $dir/tmp; the inventory was left unchanged"
    restore_dump work_admin restorer "$restore_file" "$restore_rows" "$restore_cnf"
    echo "$name: replaced the inventory in $dir with the dump's $inventory_counts, on node $work_node, committed in $the_majority; $(holders)" >&2
}

# Start and stop take turns; the run commands hold the folder shared, so
# only the last of them to end stops the cluster.
exec 9>"$dir/lock"
case "$command" in
start | stop | run | load | dump | restore) flock 9 ;;
esac

finish_run() {
    flock 9
    if flock -n -x 8 && [ -e "$started_by_run" ]; then stop; fi
}
# A run that does not get its cluster started, failing or ended on the way,
# stops what it started itself (a node 1 being made included): no later run
# would know to.
running_before=
stop_started() {
    local one
    for one in haproxy $(reversed_nodes); do
        [[ " $running_before " == *" $one "* ]] || stop_one "$one"
    done
    if [ -e "$incomplete" ]; then "$dbserver" stop "$dir/node1" >/dev/null 2>&1 || true; fi
}

case "$command" in
start)
    start
    if [ -e "$restore_cnf" ]; then remove_restore_leftovers; fi
    ;;
stop) stop ;;
status) status ;;
load) load ;;
dump) dump ;;
restore) restore ;;
sql)
    find_work_node || fail "$no_primary"
    work_admin "$@"
    ;;
run)
    exec 8<"$dir"
    flock -s 8
    if ! answers; then
        if [ "$role" = client ]; then
            echo "$name: starting the program host's HAProxy in $dir..." >&2
        else
            echo "$name: starting a local cluster in $dir..." >&2
        fi
        for one in haproxy "${nodes[@]}"; do
            [ -z "$(running_pid "$one")" ] || running_before+=" $one"
        done
        trap stop_started EXIT
        start
        : >"$started_by_run"
    fi
    trap finish_run EXIT
    flock -u 9
    status=0
    MYSQL_UNIX_PORT=$socket command "${run_command[@]}" 9<&- || status=$?
    exit "$status"
    ;;
esac
