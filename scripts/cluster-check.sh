#!/usr/bin/env bash
# usage: cluster-check.sh PROXY_ADDRESS PROXY_PORT NODE_SOCKET NODE_PORT
#
# HAProxy's health check of one node of scripts/cluster.sh, run by HAProxy
# with the node's Unix socket as its third argument: passes only while the
# node is Synced and ready (Galera), or ONLINE in the group's majority
# (Group Replication, where MySQL's server is the one installed). A node
# that accepts logins is not enough.
set -euo pipefail

name=$(basename "$0")
case ${1:-} in
-h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
    exit 0
    ;;
-*)
    echo "$name: unknown option $1 (see $name --help)" >&2
    exit 2
    ;;
esac
if [ $# -lt 3 ]; then
    echo "usage: $name PROXY_ADDRESS PROXY_PORT NODE_SOCKET NODE_PORT" >&2
    exit 2
fi
socket=$3
# The program's account, which may only read; "timeout" ends the wait on a
# node that accepted the connection but is hung (stopped, or swapping). The
# question is about the node itself: the nodes' wait for the group's
# earlier commits would hold it up while the group stalls on another node.
login=(--no-defaults --protocol=socket --host=localhost --socket="$socket" --user=root --password=tamrix
    --connect-timeout=1 --batch --skip-column-names)
# The cluster's engine goes with the client installed: MariaDB's client
# comes with MariaDB's server (scripts/setup.sh), and a system with MySQL's
# server has MySQL's client alone. The check must end within HAProxy's
# interval of a second, on a busy machine too.
if ! command -v mariadb >/dev/null; then
    # Group Replication: the member is ONLINE, and so are most of the
    # members it counts (a member cut off from the others still calls
    # itself ONLINE).
    state=$(timeout 2 mysql "${login[@]}" --ssl-mode=DISABLED \
        --init-command="set session group_replication_consistency = 'EVENTUAL'" -e "
        select concat(member_state, ' ',
            (select sum(member_state = 'ONLINE') * 2 > count(*) from performance_schema.replication_group_members))
        from performance_schema.replication_group_members where member_id = @@server_uuid" 2>/dev/null) || exit 1
    [ "$state" = "ONLINE 1" ]
    exit
fi
# Galera: 4 is Synced; a donor (2) or a joiner (1, 3) is left out; a node
# that accepts logins but is joining fails every statement with "WSREP has
# not yet prepared node for application use".
state=$(timeout 2 mariadb "${login[@]}" --skip-ssl \
    --init-command="set session wsrep_sync_wait = 0" -e "select group_concat(variable_value order by variable_name)
        from information_schema.global_status
        where variable_name in ('wsrep_local_state', 'wsrep_ready')" 2>/dev/null) || exit 1
[ "$state" = "4,ON" ]
