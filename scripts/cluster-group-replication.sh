# shellcheck shell=bash disable=SC2154,SC2034 # the variables are cluster.sh's, and its own are used there
# MySQL Group Replication's part of cluster.sh, sourced by it where MySQL's
# server is the one installed: the same functions as cluster-galera.sh
# provides for MariaDB. The group has one primary, which alone takes
# writes; the others apply what it commits, in the group's one order.
#
# A node's state (node_state) is its member state in the group and whether
# the members it sees ONLINE are a majority of the group's, as
# "ONLINE majority" ($synced) when it serves.

# HAProxy's interval between checks of a member, which bounds each check:
# MySQL's client alone took up to 0.9 seconds to log in and ask on a busy
# two-core machine, and checks cut at one second took every member out
# of service.
check_interval=2s
# How messages name the part of the cluster that may commit.
majority="the group's majority"
the_majority="the group's majority"
server_name=mysqld
plugins=/usr/lib/mysql/plugin
engine_packages="HAProxy, socat, openssl, iproute2; MySQL's own server is kept"
engine_installed() {
    look_for server_program mysqld && look_for client_program mysql &&
        [ -e "$plugins/group_replication.so" ] && [ -e "$plugins/mysql_clone.so" ]
}
# The script's own questions do not wait for the group (a stalled group
# would hold them up); the account that recovery and cloning log in with.
own_question_setting="set session group_replication_consistency = 'EVENTUAL'"
recovery_account=music-inventory-recovery
# The only argument that marks a server run to read its data's position
# rather than to be the node.
inspecting=--skip-replica-start
serving_question="select member_state from performance_schema.replication_group_members where member_id = @@server_uuid"
serving_answer=ONLINE

node_state() {
    ask_node "$1" "select concat(member_state, ' ',
            if((select sum(member_state = 'ONLINE') from performance_schema.replication_group_members) * 2 >
               (select count(*) from performance_schema.replication_group_members), 'majority', 'minority'))
        from performance_schema.replication_group_members where member_id = @@server_uuid"
}
synced="ONLINE majority"
# node_state's answer, for a state: the member is in the group's majority
# (serving, or catching up), or runs outside the group and stays so until
# started again (it left in an error, or was expelled).
state_in_majority() { [[ $1 == *" majority"* ]]; }
# A member out of the group stays so until started again: it left in an
# error (or was expelled and could not rejoin), or its start of Group
# Replication failed, which leaves it OFFLINE with an error as its log's
# last word of the group's (a member still joining is OFFLINE too).
state_out() {
    [[ $1 == ERROR* ]] && return 0
    [[ $1 == OFFLINE* ]] && grep 'Plugin group_replication reported' "$(node_dir "$2")/server.log" 2>/dev/null |
        tail -n 1 | grep -q '\[ERROR\]'
}
start_failed() { state_out "$(node_state "$1")" "$1"; }
cause_out() { cause "$1"; }
state_words() {
    case "$1" in
    "$synced") echo Synced ;;
    "RECOVERING majority") echo "joining (recovering what it missed)" ;;
    *minority*) echo "running, outside the group's majority" ;;
    ERROR*) echo "running, out of the group (it failed; its log is $(node_dir "$2")/server.log)" ;;
    OFFLINE*) echo "running, out of the group" ;;
    "") echo "running, not answering (hung, or starting)" ;;
    *) echo "running, not ready" ;;
    esac
}
# Only the primary takes writes.
takes_writes() {
    [ "$(ask_node "$1" "select member_role from performance_schema.replication_group_members
        where member_id = @@server_uuid")" = PRIMARY ]
}

# How many transactions a GTID set holds ("uuid:1-5:7,uuid2:1-3" is 9).
gtid_count() {
    tr -d ' \n' <<<"$1" | tr ',' '\n' | awk -F: '
        { for (i = 2; i <= NF; i++) { if ($i ~ /^[0-9]+-[0-9]+$/) { split($i, r, "-"); n += r[2] - r[1] + 1 } else if ($i ~ /^[0-9]+$/) n++ } }
        END { print n + 0 }'
}
# What node $1 holds and will apply: its executed transactions and those
# already in its relay log, as one GTID set.
held_set="select gtid_subtract(concat(@@global.gtid_executed, ',', ifnull((select received_transaction_set
        from performance_schema.replication_connection_status
        where channel_name = 'group_replication_applier'), '')), '')"
last_committed() {
    local set
    set=$(ask_node "$1" "$held_set") || return 1
    gtid_count "$set"
}
# The members node $1's group counts, a lost one too until it is expelled.
cluster_size() {
    ask_node "$1" "select count(*) from performance_schema.replication_group_members"
}
# Node $1's position once it has applied every transaction the group had
# ordered before the question: a member outside the majority refuses it.
caught_up_position() {
    local set
    set=$(admin "$1" --connect-timeout=2 --batch --skip-column-names -e "
        set session group_replication_consistency = 'BEFORE'; select @@global.gtid_executed" 2>/dev/null) || return 1
    gtid_count "$set"
}

group_name_record=$dir/group-name
# Each node's options, written at each start: the ports may have changed.
# group_port is the group's own, ist_port the node's SQL port, which only
# recovery and cloning use (the folder's Unix socket serves the clients).
write_node_cnf() {
    local node=$1 member seeds='' allowed='' user_line='' group_name
    for member in "${all_nodes[@]}"; do
        seeds+="${seeds:+,}${address[$member]}:${group_port[$member]}"
        [[ ",$allowed," == *",${address[$member]},"* ]] || allowed+="${allowed:+,}${address[$member]}"
    done
    [ -s "$group_name_record" ] || cat /proc/sys/kernel/random/uuid >"$group_name_record"
    group_name=$(cat "$group_name_record")
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
mysqlx=OFF
# The SQL port is on loopback, for the other members' recovery alone: no
# account but the recovery one may log in over TCP, and only by TLS with a
# certificate of the folder's authority. Clients use the socket.
bind-address=${address[$node]}
port=${ist_port[$node]}
require-secure-transport=ON
skip-name-resolve
secure-file-priv=$dir/files
local-infile=0
ssl-ca=$tls/ca.pem
ssl-cert=$node_certificate
ssl-key=$node_key
innodb-buffer-pool-size=64M
innodb-redo-log-capacity=32M
max-connections=100
performance-schema-max-table-instances=400
# Durable at each acknowledged commit: the redo log and the binary log
# flushed at every commit, so that after a crash of every member the one
# whose data goes furthest holds every acknowledged commit.
innodb-flush-log-at-trx-commit=1
sync-binlog=1
# What Group Replication needs of every member.
server-id=$node
gtid-mode=ON
enforce-gtid-consistency=ON
log-bin=node-bin
relay-log=node-relay
binlog-format=ROW
log-replica-updates=ON
disabled-storage-engines=MyISAM,BLACKHOLE,FEDERATED,ARCHIVE,MEMORY
# A member that runs outside the group never takes a write.
super-read-only=ON
plugin-load-add=group_replication.so
plugin-load-add=mysql_clone.so
report-host=${address[$node]}
report-port=${ist_port[$node]}
group-replication-group-name=$group_name
group-replication-start-on-boot=ON
group-replication-bootstrap-group=OFF
group-replication-single-primary-mode=ON
group-replication-local-address=${address[$node]}:${group_port[$node]}
group-replication-group-seeds=$seeds
group-replication-ip-allowlist=$allowed
# A member silent for 5 seconds is expelled at once, so that a killed one
# may join again soon; one that was only hung rejoins by itself.
group-replication-member-expel-timeout=0
group-replication-autorejoin-tries=3
# Every transaction first waits until its member has applied what the group
# had ordered before it: a report sees every earlier commit, whichever
# member serves it. (BEFORE_ON_PRIMARY_FAILOVER, the default, would let a
# secondary's read miss a commit just made on the primary.)
group-replication-consistency=BEFORE
# The group's messages cached for a member that falls behind: the least
# allowed, to bound the member's memory.
group-replication-message-cache-size=128M
# Group communication in TLS, each peer's certificate checked against the
# folder's authority and its address; recovery and cloning the same.
group-replication-ssl-mode=VERIFY_IDENTITY
group-replication-recovery-use-ssl=ON
group-replication-recovery-ssl-ca=$tls/ca.pem
group-replication-recovery-ssl-cert=$node_certificate
group-replication-recovery-ssl-key=$node_key
group-replication-recovery-ssl-verify-server-cert=ON
EOF
    mv -f "$(node_cnf "$node").new" "$(node_cnf "$node")"
}

# The account that recovery and cloning log in with over TCP, made on node
# 1's data with the rest: a random password, and only with a certificate of
# the folder's authority. Its login is kept in each member's recovery
# channel, so that a member joins by itself at its start. The program's
# account may read which members are ONLINE, for HAProxy's check.
prepare_first_node() {
    local recovery_password
    recovery_password=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
    "$dbserver" sql "$dir/node1" >/dev/null <<EOF || fail "making the recovery account on node 1 failed"
create user '$recovery_account'@'127.0.0.%' identified by '$recovery_password' require x509;
grant replication slave, connection_admin, backup_admin, clone_admin, group_replication_stream on *.* to '$recovery_account'@'127.0.0.%';
grant select on performance_schema.replication_group_members to root@localhost;
change replication source to source_user = '$recovery_account', source_password = '$recovery_password'
    for channel 'group_replication_recovery';
EOF
}
# A copy takes a server UUID of its own at its first start. Node 1 holds
# as much as its copies: the group is founded from it without asking.
made_now=0
copied_node() {
    rm -f "$(node_dir "$1")/db/auto.cnf"
    made_now=1
}
# The founding member founds one group, once: a later start of Group
# Replication in the same server (an automatic rejoin) joins it instead.
founded() {
    admin "$1" -e "set global group_replication_bootstrap_group = OFF" >/dev/null 2>&1 || true
}

# Sets `options` for starting node $1; with "new", as the first of a new group.
start_options() {
    options=()
    if [ "${2:-}" = new ]; then
        options+=(--group-replication-bootstrap-group=ON)
    elif [ ! -e "$(node_dir "$1")/db/mysql.ibd" ]; then
        # A member without data (lost, or moved aside) is made anew, empty,
        # and copied whole from a donor by the clone plugin as it joins:
        # the donors' binary logs do not hold what node 1 was made with.
        # The copied server ends, and its next start joins on the copy.
        fresh_member "$1"
        options+=(--group-replication-clone-threshold=1)
    fi
    return 0
}

# A server that a clone copied whole ends (no supervisor restarts it), and
# completes the copy at its next start.
copied_whole() {
    tail -n 20 "$(node_dir "$1")/server.log" 2>/dev/null | grep -q "Clone shutting down server as RESTART failed"
}

# Runs the SQL on standard input as root in node $1's new, empty server,
# started without Group Replication and without a port for it.
in_fresh_server() {
    local node=$1 fresh_socket=$socket_dir/fresh$1.sock pid deadline done=1
    rm -f "$fresh_socket" "$fresh_socket.lock"
    (in_cluster_network setsid "$server_program" --defaults-file="$(node_cnf "$node")" "$inspecting" \
        --group-replication-start-on-boot=OFF --super-read-only=OFF --skip-networking \
        --socket="$fresh_socket" --log-error="$(node_dir "$node")/fresh.log") </dev/null >/dev/null 2>&1 8<&- 9>&- &
    pid=$!
    deadline=$((SECONDS + 120))
    while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$pid" 2>/dev/null; do
        if timeout 10 "$client_program" --no-defaults --protocol=socket --host=localhost \
            --socket="$fresh_socket" --user=root -e 'select 1' >/dev/null 2>&1; then
            timeout 30 "$client_program" --no-defaults --protocol=socket --host=localhost \
                --socket="$fresh_socket" --user=root && done=0
            break
        fi
        sleep 0.5
    done
    kill "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.2; done
    return "$done"
}

fresh_member() {
    local node=$1 db login user_option=()
    db=$(node_dir "$node")/db
    find_work_node || fail "node $node has no data, and no member is Synced in $the_majority to copy it from"
    login=$(ask_node "$work_node" "select concat(quote(User_name), ', source_password = ', quote(User_password))
        from mysql.slave_master_info where Channel_name = 'group_replication_recovery'")
    [ -n "$login" ] || fail "node $node has no data, and the recovery login cannot be read on node $work_node"
    # Only a missing or empty folder is made anew: what else is there, the
    # user moves aside.
    if [ -e "$db" ] && { [ ! -d "$db" ] || [ -n "$(ls -A "$db" 2>/dev/null)" ]; }; then
        fail "node $node did not start: $db holds no server's data; move it aside (or empty it) to have the node copied anew from a donor"
    fi
    rm -rf "$db"
    if runs_as_root; then user_option=(--user=root); fi
    echo "$name: making node $node anew, to be copied from a donor as it joins" >&2
    (in_cluster_network "$server_program" --no-defaults --initialize-insecure --datadir="$db" \
        "${user_option[@]}" --log-error="$(node_dir "$node")/fresh.log") >/dev/null 2>&1 </dev/null 8<&- 9>&- ||
        fail "making node $node's new data failed; its log is $(node_dir "$node")/fresh.log"
    in_fresh_server "$node" <<EOF || fail "setting node $node's recovery login failed; its log is $(node_dir "$node")/fresh.log"
change replication source to source_user = $login for channel 'group_replication_recovery';
EOF
}

# What node $1's data holds, as a count of transactions: its server is run
# without Group Replication and without a port, asked, and stopped.
inspected_count() {
    local node=$1 inspect_socket set='' pid deadline
    inspect_socket=$socket_dir/inspect$node.sock
    rm -f "$inspect_socket" "$inspect_socket.lock"
    (in_cluster_network setsid "$server_program" --defaults-file="$(node_cnf "$node")" "$inspecting" \
        --group-replication-start-on-boot=OFF --skip-networking --socket="$inspect_socket" \
        --log-error="$(node_dir "$node")/inspect.log") </dev/null >/dev/null 2>&1 8<&- 9>&- &
    pid=$!
    deadline=$((SECONDS + 120))
    while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$pid" 2>/dev/null; do
        set=$(timeout 5 "$client_program" --defaults-file="$admin_cnf" --protocol=socket --host=localhost \
            --socket="$inspect_socket" "$client_tls" --batch --skip-column-names -e "$held_set" 2>/dev/null) && break
        sleep 0.5
    done
    kill "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do sleep 0.2; done
    [ -n "$set" ] || return 1
    gtid_count "$set"
}

# The node to found the group again when none runs: the one that holds the
# most transactions, executed or received (a member that has applied less
# holds a part of the same history). A node whose data cannot be read
# stops the start: passed over, it could be the one that went furthest.
first_node() {
    local node best='' best_count=-1 count
    if [ "$made_now" = 1 ]; then
        echo 1
        return 0
    fi
    # All at once: each server takes seconds to start.
    for node in "${nodes[@]}"; do
        rm -f "$(node_dir "$node")/inspected"
        [ ! -e "$(node_dir "$node")/db/mysql.ibd" ] ||
            { inspected_count "$node" >"$(node_dir "$node")/inspected" || true; } &
    done
    wait
    for node in "${nodes[@]}"; do
        [ -e "$(node_dir "$node")/db/mysql.ibd" ] || continue
        count=$(cat "$(node_dir "$node")/inspected" 2>/dev/null) || count=''
        [[ $count =~ ^[0-9]+$ ]] ||
            fail "what node $node's data holds cannot be read ($(node_dir "$node")/inspect.log; $(cause "$node")); nothing was started: to start the group without it, move $(node_dir "$node")/db aside"
        if [ "$count" -gt "$best_count" ]; then best=$node best_count=$count; fi
    done
    [ -n "$best" ] || fail "no node of $dir holds data to start the group from"
    echo "$best"
}

# A member outside the majority may lack commits that the lost ones had
# acknowledged (a majority holds each, not every member): the group is
# founded again only from the data of every member, stopped.
found_in_place() { return 1; }

# A cluster of hosts of their own (init) is Galera's alone for now.
engine_on_hosts=0
hosts_unsupported() {
    fail "a cluster of hosts of their own needs MariaDB's Galera; with MySQL, $name runs the local group alone"
}
may_found() { hosts_unsupported; }
rejoins_alone() { hosts_unsupported; }
found_again() { hosts_unsupported; }
