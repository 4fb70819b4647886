#!/usr/bin/env bash
# usage: cluster-check.sh PROXY_ADDRESS PROXY_PORT NODE_SOCKET NODE_PORT
#
# HAProxy's health check of one node of scripts/cluster.sh, run by HAProxy
# with the node's Unix socket as its third argument: passes only while the
# node is Synced and ready. A node that accepts logins is not enough: while
# it joins, every statement fails with "WSREP has not yet prepared node for
# application use".
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
# question is about the node itself: the nodes' causal wait for reads would
# hold it up while the group stalls on another node.
state=$(timeout 2 mariadb --no-defaults --protocol=socket --host=localhost --socket="$socket" \
    --skip-ssl --user=root --password=tamrix --connect-timeout=1 --batch --skip-column-names \
    --init-command="set session wsrep_sync_wait = 0" -e "select group_concat(variable_value order by variable_name)
        from information_schema.global_status
        where variable_name in ('wsrep_local_state', 'wsrep_ready')" 2>/dev/null) || exit 1
# 4 is Synced; a donor (2) or a joiner (1, 3) is left out.
[ "$state" = "4,ON" ]
