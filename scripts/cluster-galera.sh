# shellcheck shell=bash disable=SC2154,SC2034 # the variables are cluster.sh's, and its own are used there
# Galera's part of cluster.sh, sourced by it: a node's options, its state,
# its position, and which node founds the cluster. Another engine provides
# the same functions in a file of its own:
#   node_state N          "Primary 4 ON" ($synced) when Synced in the primary
#                         component; "non-Primary ...", "Disconnected ..." out of it
#   write_node_cnf N      the node's option file, written at each start
#   start_options N [new] sets `options` to the server's arguments of this start
#   node_seqno N          its data's last committed position, a number
#   first_node            the local node to found the cluster again from
#   may_found N           true when node N left the cluster last, cleanly
#   rejoins_alone N       true when node N waits for the others of its last
#                         primary component by itself (after a crash of all)
#   found_again N         makes running node N, outside a primary component,
#                         found it again
#   last_committed N      its last commit's position, asked of the running node
#   cluster_size N        how many nodes its component holds
#   data_history N        the cluster that node N's data comes from, once it has joined one
#   running_history N     the cluster that running node N is in
#   engine_installed      true when its programs are installed, setting
#                         server_program and client_program
#   state_in_majority S, state_out S, state_words S N, start_failed N:
#                         node_state's answer S read: in the primary
#                         component, out of the cluster until started again,
#                         in words for status; the joining node N failed
#   takes_writes N        true when node N takes the administrator's writes
#   caught_up_position N  last_committed, once node N has applied what the
#                         cluster committed before the question
#   cause_out N           why node N runs out of the cluster, for a message
#   found_in_place        true when found_again serves; else a running node
#                         outside the majority is stopped and first_node chosen
#   prepare_first_node    what node 1's data needs once dbserver.sh made it
#   founded N, copied_node N: after node N founded the cluster, and after
#                         node 1's data was copied to make node N
#   serving_question, serving_answer: what HAProxy's node answers when it serves
#   engine_on_hosts       1 when init may make nodes on hosts of their own
#   copied_whole N        true when node N's server ended once a full copy
#                         from a donor was made, to be started on it

# Nodes on hosts of their own (init) are Galera's.
engine_on_hosts=1
# HAProxy's interval between checks of a node, which bounds each check.
check_interval=1s
# How messages name the part of the cluster that may commit.
majority="a primary component"
the_majority="the primary component"
engine_packages="MariaDB's server with Galera, its backup tool, HAProxy, socat, openssl, iproute2"
server_name=mariadbd
galera=/usr/lib/galera/libgalera_smm.so
# Programs that Galera's state transfer runs.
engine_installed() {
    look_for server_program mariadbd && look_for client_program mariadb && present mariadb-install-db &&
        present wsrep_sst_mariabackup && present mariadb-backup && [ -e "$galera" ]
}
# The script's own questions are about the node itself: the nodes' causal
# wait, which a node outside a primary component refuses and a stalled
# group holds up, is left out of them.
own_question_setting="set session wsrep_sync_wait = 0"
# The server run only to read its data's position is not the node.
inspecting=--wsrep-recover
serving_question="select variable_value from information_schema.global_status where variable_name = 'wsrep_local_state'"
serving_answer=4

# A node's wsrep_cluster_status, wsrep_local_state and wsrep_ready, as
# "Primary 4 ON" when it is Synced in the primary component.
node_state() {
    ask_node "$1" "select group_concat(variable_value order by variable_name separator ' ')
        from information_schema.global_status
        where variable_name in ('wsrep_cluster_status', 'wsrep_local_state', 'wsrep_ready')"
}
synced="Primary 4 ON"

state_in_majority() { [[ $1 == "Primary "* ]]; }
state_out() { [[ $1 == Disconnected* ]]; }
start_failed() { return 1; }
takes_writes() { return 0; }
state_words() {
    case "$1" in
    "$synced") echo Synced ;;
    "Primary 1 "*) echo joining ;;
    "Primary 2 "*) echo "giving a state transfer" ;;
    "Primary 3 "*) echo joined ;;
    non-Primary*) echo "running, outside a primary component" ;;
    Disconnected*) echo "running, out of the cluster ($(cause_out "$2"))" ;;
    "") echo "running, not answering (receiving a full state transfer, or hung)" ;;
    *) echo "running, not ready" ;;
    esac
}
# Why node $1 runs out of the cluster (Disconnected), for a message.
cause_out() {
    if ! space_exhausted "$(node_dir "$1")/db" "$(node_dir "$1")/server.log" &&
        tail -n 200 "$(node_dir "$1")/server.log" 2>/dev/null | grep -q "Inconsistent by consensus"; then
        echo "voted out by the other nodes: it failed to apply a commit of theirs; its log is $(node_dir "$1")/server.log"
    else
        cause "$1"
    fi
}
# A node outside a primary component is made to found it again in place.
found_in_place() { return 0; }
prepare_first_node() { :; }
founded() { :; }
# The copy starts at node 1's position, as a joiner.
copied_node() {
    rm -f "$(node_dir "$1")/db/galera.cache" "$(node_dir "$1")/db/gvwstate.dat"
    sed -i 's/^safe_to_bootstrap: *1/safe_to_bootstrap: 0/' "$(node_dir "$1")/db/grastate.dat"
}

# Each node's options, written at each start: the ports may have changed.
# The addresses and ports are cluster.sh's (address, group_port, ist_port,
# sst_port, by node).
write_node_cnf() {
    local node=$1 sst_password user_line='' member members=''
    local here=${address[$1]} group=${group_port[$1]} ist=${ist_port[$1]} sst=${sst_port[$1]}
    for member in "${all_nodes[@]}"; do members+="${members:+,}${address[$member]}:${group_port[$member]}"; done
    sst_password=$(sed -n 's/^password=//p' "$admin_cnf")
    # mariadbd refuses to run as root unless told to.
    if runs_as_root; then user_line="user=root"; fi
    cat >"$(node_cnf "$node").new" <<EOF
# Written by $name at each start; edits are lost.
[mysqld]
$user_line
datadir=$(node_dir "$node")/db
socket=$(node_socket "$node")
pid-file=$(node_dir "$node")/server.pid
log-error=$(node_dir "$node")/server.log
tmpdir=$dir/tmp
# Clients only on the socket inside the folder; files only in files/.
skip-networking
skip-name-resolve
secure-file-priv=$dir/files
local-infile=0
# Only the administrator writes; the nodes' replication is not held back.
read-only
event-scheduler=ON
innodb-buffer-pool-size=64M
innodb-log-file-size=16M
max-connections=100
# A commit is acknowledged only once the node that took it has it on disk:
# its redo log is written and flushed at every commit. (Galera's usual
# advice, 2 or 0, loses the last second of acknowledged commits when every
# node is lost at once: a power cut.) The other nodes commit it just after,
# in the cluster's one order, each as durably; so after a crash of every
# node, the node whose data goes furthest holds every acknowledged commit,
# and start founds the cluster again from it. No binary log is kept (Galera
# needs none), so there is no sync_binlog to set.
innodb-flush-log-at-trx-commit=1
# A read (SELECT, SHOW, BEGIN) first waits until this node has applied what
# the cluster had committed when it arrived: without it, a report made just
# after a commit through another node could miss it.
wsrep-sync-wait=1
# What Galera needs of every node: row events, InnoDB, interleaved autoincrement.
binlog-format=ROW
default-storage-engine=InnoDB
innodb-autoinc-lock-mode=2
wsrep-on=ON
wsrep-provider=$galera
wsrep-cluster-name=music-inventory
wsrep-node-name=node$node
wsrep-cluster-address=gcomm://$members
wsrep-node-address=$here:$group
wsrep-sst-receive-address=$here:$sst
# A transaction larger than this is refused rather than replicated: a
# node restarted with a huge one in its cache once grew to 23 GB.
wsrep-max-ws-size=256M
# mariabackup copies a running donor as any user; rsync's daemon, run as
# root, drops to "nobody", who may not enter the folder.
wsrep-sst-method=mariabackup
wsrep-sst-auth=music-inventory-admin:$sst_password
# gmcast.listen_addr: the group's port on the node's own address only
# (Galera would take every address); gcache: a fixed 128 MB ring, no extra page files kept, in
# the node's folder, read back after a crash rather than thrown away
# (recover), so that after a crash of every node the founding node can
# still send the others what they missed (IST) instead of a full copy;
# ist.recv_addr: incremental transfers on a port of ours;
# (Galera's own timeouts for a silent node are kept: shortened, a killed
# node that came back before its old self was dropped made the group's
# next membership fail to form, and every node left service for seconds.)
# socket.ssl_*: the group's and the incremental transfers' connections in
# TLS, each peer's certificate checked against the folder's own authority.
wsrep-provider-options="gmcast.listen_addr=tcp://$here:$group;gcache.size=128M;gcache.page_size=32M;gcache.keep_pages_size=0;gcache.recover=yes;ist.recv_addr=$here:$ist;socket.ssl_key=$node_key;socket.ssl_cert=$node_certificate;socket.ssl_ca=$tls/ca.pem"

[sst]
# The full transfer through socat in TLS, both ends checked against the
# folder's authority (encrypt=3: key and certificate, with verification).
encrypt=3
tkey=$node_key
tcert=$node_certificate
tca=$tls/ca.pem
# socat would listen on every address.
sockopt=",bind=$here"
# The transfer's logs stay in the folder, not in a folder of /tmp that
# another user could have made first.
sst-log-archive-dir=$(node_dir "$node")/sst-logs
EOF
    mv -f "$(node_cnf "$node").new" "$(node_cnf "$node")"
}

# The data's last committed position of node $1 ("uuid:seqno"), asked of
# the server itself after a crash left grastate.dat without one.
recovered_position() {
    local node=$1 log position
    log=$(node_dir "$1")/recover.log
    # InnoDB's crash recovery of a small inventory takes seconds.
    (in_cluster_network timeout 120 "$server_program" --defaults-file="$(node_cnf "$node")" \
        --wsrep-recover --log-error="$log") >/dev/null 2>&1 || true
    position=$(sed -n 's/.*WSREP: Recovered position: \([0-9a-f-]*:-\{0,1\}[0-9]*\).*/\1/p' "$log" | tail -n 1)
    echo "$position"
}
grastate_value() {
    sed -n "s/^$2: *//p" "$(node_dir "$1")/db/grastate.dat" 2>/dev/null
}


# A full transfer completes in the running server.
copied_whole() { return 1; }

# Sets `options` for starting node $1; with "new", as the first of a new cluster.
start_options() {
    local node=$1 position
    options=()
    [ "$2" = new ] && options+=(--wsrep-new-cluster)
    if [ "$(grastate_value "$node" seqno)" = -1 ] && [ -e "$(node_dir "$node")/db/ibdata1" ]; then
        # A crash leaves no position in grastate.dat: a joining node would
        # ask for a full copy, a founding one start a new history. Told its
        # recovered position, it catches up on what it missed alone (IST)
        # while the others' cache holds it, or founds the cluster where it was.
        position=$(recovered_position "$node")
        [ -n "$position" ] && options+=(--wsrep-start-position="$position")
    fi
    return 0
}

# A node's last committed seqno: from grastate.dat after a clean stop, else
# (a crash leaves -1 there) asked of its data.
node_seqno() {
    local seqno position
    seqno=$(grastate_value "$1" seqno)
    if [ -z "$seqno" ] || [ "$seqno" = -1 ]; then
        position=$(recovered_position "$1")
        seqno=${position##*:}
    fi
    [[ $seqno =~ ^-?[0-9]+$ ]] && echo "$seqno"
}

# The node to found the cluster again when none runs: the one whose data
# goes furthest, and of those the one that left last (safe_to_bootstrap). A
# crashed node keeps the mark from an earlier clean stop: taken at its
# word, it would found a new history, and the others, further on, would
# be copied over from it and lose their later commits.
first_node() {
    local node best='' best_seqno=-2 seqno
    for node in "${nodes[@]}"; do
        # No data, or a full copy that was being received: never ahead.
        [ -e "$(node_dir "$node")/db/ibdata1" ] && [ ! -e "$(node_dir "$node")/db/sst_in_progress" ] || continue
        # Passed over, a node whose position is unknown could be the one
        # that went furthest, and lose its last commits to a full copy.
        seqno=$(node_seqno "$node") ||
            fail "the position of node $node's data cannot be read ($(node_dir "$node")/recover.log; $(cause "$node")); nothing was started: to found the cluster without it, move $(node_dir "$node")/db aside"
        if [ "$seqno" -gt "$best_seqno" ] || { [ "$seqno" = "$best_seqno" ] &&
            [ "$(grastate_value "$node" safe_to_bootstrap)" = 1 ]; }; then
            best=$node best_seqno=$seqno
        fi
    done
    [ -n "$best" ] || fail "no node of $dir holds data to start the cluster from"
    # Galera's own mark that this node may found the cluster.
    sed -i 's/^safe_to_bootstrap: *0/safe_to_bootstrap: 1/' "$(node_dir "$best")/db/grastate.dat"
    echo "$best"
}


# Galera's own mark: the node left the cluster last, cleanly, so no other
# can have gone further.
may_found() {
    [ "$(grastate_value "$1" safe_to_bootstrap)" = 1 ] && [ ! -e "$(node_dir "$1")/db/gvwstate.dat" ]
}
# A node lost with the others (a crash, a power cut) keeps the last primary
# component's members (gvwstate.dat) and forms it again by itself once
# every one of them is back, with nobody choosing who goes first.
rejoins_alone() {
    [ -s "$(node_dir "$1")/db/gvwstate.dat" ]
}
found_again() {
    admin "$1" -e "set global wsrep_provider_options = 'pc.bootstrap=YES'"
}
status_value() {
    ask_node "$1" "select variable_value from information_schema.global_status where variable_name = '$2'"
}
last_committed() { status_value "$1" wsrep_last_committed; }
cluster_size() { status_value "$1" wsrep_cluster_size; }
data_history() {
    local uuid
    uuid=$(grastate_value "$1" uuid)
    [ "$uuid" = 00000000-0000-0000-0000-000000000000 ] || echo "$uuid"
}
running_history() { status_value "$1" wsrep_cluster_state_uuid; }
# Node $1's last committed position, once it has applied everything the
# cluster committed before the question (wsrep_sync_wait): a node out of the
# primary component, or that cannot catch up, does not answer.
caught_up_position() {
    admin "$1" --connect-timeout=2 --batch --skip-column-names -e "set session wsrep_sync_wait = 1;
        select variable_value from information_schema.global_status where variable_name = 'wsrep_last_committed'" 2>/dev/null
}
