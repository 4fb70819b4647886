# shellcheck shell=bash disable=SC2154,SC2034 # the variables are cluster.sh's, and its own are used there
# The cluster on hosts of their own, sourced by cluster.sh: init, which
# writes one folder per host, and the verbs on a node's folder and on the
# program host's folder.
#
# A node's server listens on no network port: its clients come through
# HAProxy on the same host, the node's gateway, which admits only a client
# whose certificate the cluster's authority signed (TLS both ways) and
# relays it to the server's socket; it also answers the program host's
# health check, over the same TLS, with the node's own state. The nodes
# meet each other on the group's and the transfers' ports, also by TLS
# checked against the authority.

# A node's five ports, from its base: the group, the incremental transfer,
# the full transfer, the program's sessions, the health check.
default_base_port=4567
host_conf=$dir/host.conf

# An address as the hosts reach each other: an IPv4 address or a host name.
valid_address() {
    [[ $1 =~ ^[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?$ ]]
}
valid_port() {
    [[ $1 =~ ^[0-9]{1,5}$ ]] && [ "$1" -ge 1 ] && [ "$1" -le 65531 ]
}
# The IPv4 address a firewall rule names for ADDR.
ipv4_of() {
    if [[ $1 =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
        echo "$1"
    else
        getent ahostsv4 "$1" | awk 'NR == 1 { print $1 }'
    fi
}

# Sets each node's address and ports from node N's base port B.
set_member() {
    local node=$1 base=$2
    address[$node]=$3
    group_port[$node]=$base
    ist_port[$node]=$((base + 1))
    sst_port[$node]=$((base + 2))
    session_port[$node]=$((base + 3))
    health_port[$node]=$((base + 4))
}

# host.conf, written by init, is read word by word, never run: a folder
# copied from elsewhere runs nothing of its own.
read_host_conf() {
    local key first second third
    role='' this_node='' all_nodes=()
    while read -r key first second third; do
        case $key in
        role) role=$first ;;
        node) this_node=$first ;;
        member)
            [[ $first =~ ^[1-9]$ ]] && valid_address "$second" && valid_port "$third" ||
                fail "$host_conf names a node wrongly ($key $first $second $third); copy the folder again from the one init wrote"
            all_nodes+=("$first")
            set_member "$first" "$third" "$second"
            ;;
        esac
    done <"$host_conf"
    case $role in
    node) [ -n "${address[$this_node]:-}" ] || fail "$host_conf names no address for its own node; copy the folder again from the one init wrote" ;;
    client) ;;
    *) fail "$host_conf is not one that $name init writes; copy the folder again from the one init wrote" ;;
    esac
    [ ${#all_nodes[@]} -ge 3 ] || fail "$host_conf names fewer than three nodes; copy the folder again from the one init wrote"
}

# --- init --------------------------------------------------------------

init_usage="$name init DIR --nodes ADDR[:PORT],ADDR[:PORT],ADDR[:PORT] [--client ADDR]"
init_cluster() {
    local list='' client='' members=() member node base host ipv4 other
    local -A node_ipv4=()
    while [ $# -gt 0 ]; do
        case $1 in
        --nodes) [ $# -ge 2 ] || fail "--nodes needs the nodes' addresses (usage: $init_usage)"; list=$2; shift ;;
        --client) [ $# -ge 2 ] || fail "--client needs the program host's address (usage: $init_usage)"; client=$2; shift ;;
        *) fail "unknown argument $1 (usage: $init_usage)" ;;
        esac
        shift
    done
    [ -n "$list" ] || fail "init needs the nodes' addresses (usage: $init_usage)"
    IFS=, read -r -a members <<<"$list"
    [ ${#members[@]} -ge 3 ] && [ ${#members[@]} -le 9 ] ||
        fail "a cluster has three nodes or more (at most nine), each at an address of its own host; --nodes names ${#members[@]}"
    node=0
    all_nodes=()
    for member in "${members[@]}"; do
        node=$((node + 1))
        host=${member%:*} base=$default_base_port
        [ "$host" = "$member" ] || base=${member##*:}
        valid_address "$host" && valid_port "$base" ||
            fail "$member is not an IPv4 address or host name with an optional :PORT (IPv6 is not supported yet)"
        ipv4=$(ipv4_of "$host")
        [ -n "$ipv4" ] || fail "$host does not resolve to an IPv4 address here; its firewall rules need one (name it by address)"
        for other in "${all_nodes[@]}"; do
            if [ "${node_ipv4[$other]}" = "$ipv4" ] && [ $((base - group_port[$other])) -gt -5 ] &&
                [ $((base - group_port[$other])) -lt 5 ]; then
                fail "nodes $other and $node would share ports on $host: give one another base port (ADDR:PORT, 5 ports each)"
            fi
        done
        all_nodes+=("$node")
        node_ipv4[$node]=$ipv4
        set_member "$node" "$base" "$host"
    done
    local client_ipv4=''
    if [ -n "$client" ]; then
        valid_address "$client" || fail "$client is not an IPv4 address or host name"
        client_ipv4=$(ipv4_of "$client")
        [ -n "$client_ipv4" ] || fail "$client does not resolve to an IPv4 address here; its firewall rules need one"
    fi
    [ -z "$(find "$dir" -mindepth 1 -maxdepth 1 ! -name lock)" ] ||
        fail "$dir is not empty; init writes a new cluster's folders only into a new or empty folder"

    echo "made by $name init; not yet complete" >"$incomplete"
    local authority=$dir/.authority
    private_folder "$authority"
    # The authority's key lives only until every certificate is signed: no
    # other certificate it signed can ever exist.
    trap 'rm -rf "$authority"' EXIT
    "$openssl_program" req -x509 -newkey rsa:2048 -nodes -days 36500 -subj "/CN=music-inventory cluster authority" \
        -keyout "$authority/ca.key" -out "$authority/ca.pem" >"$authority/log" 2>&1 ||
        { cat "$authority/log" >&2; fail "making the cluster's authority failed; remove $dir and init again"; }
    local admin_password
    admin_password=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
    for node in "${all_nodes[@]}"; do
        make_host_folder "node$node" "$authority" "DNS:node$node,$(san_of "${address[$node]}")"
        {
            echo "role node"
            echo "node $node"
            write_members
            [ -z "$client" ] || echo "client $client"
        } >"$dir/node$node/host.conf"
        printf '[client]\nuser=music-inventory-admin\npassword=%s\n' "$admin_password" >"$dir/node$node/admin.cnf"
        write_firewall "$node" "$client_ipv4" node_ipv4 >"$dir/node$node/firewall.nft"
    done
    make_host_folder client "$authority" "DNS:client"
    { echo "role client"; write_members; } >"$dir/client/host.conf"
    rm -rf "$authority"
    trap - EXIT
    rm -f "$incomplete" "$dir/lock"
    echo "$name: wrote the cluster's folders in $dir:" >&2
    for node in "${all_nodes[@]}"; do
        echo "  $dir/node$node: copy it to ${address[$node]}, load its firewall (nft -f firewall.nft), then $name start FOLDER there" >&2
    done
    echo "  $dir/client: copy it to the program's host, then $name start FOLDER there" >&2
    echo "Start node 1 first: it founds the cluster with the sample inventory; then the others. No other copy of the authority's key exists." >&2
    [ -n "$client" ] ||
        echo "$name: without --client, the nodes' firewalls let any address at the sessions' and health ports, where only the cluster's certificate gets in" >&2
}
san_of() {
    if [[ $1 =~ ^[0-9.]+$ ]]; then echo "IP:$1"; else echo "DNS:$1"; fi
}
write_members() {
    local node
    for node in "${all_nodes[@]}"; do echo "member $node ${address[$node]} ${group_port[$node]}"; done
}
# make_host_folder NAME AUTHORITY SAN: DIR/NAME with the authority's
# certificate and a key and certificate of its own, named NAME.
make_host_folder() {
    local folder=$dir/$1 authority=$2 key=node
    [ "$1" != client ] || key=client
    private_folder "$folder"
    private_folder "$folder/tls"
    cp "$authority/ca.pem" "$folder/tls/ca.pem"
    if ! {
        "$openssl_program" req -newkey rsa:2048 -nodes -subj "/CN=$1" -addext "subjectAltName=$3" \
            -keyout "$folder/tls/$key.key" -out "$authority/$1.csr" &&
            "$openssl_program" x509 -req -in "$authority/$1.csr" -CA "$authority/ca.pem" \
                -CAkey "$authority/ca.key" -CAcreateserial -days 36500 -copy_extensions copy \
                -out "$folder/tls/$key.crt"
    } >"$authority/log" 2>&1; then
        cat "$authority/log" >&2
        fail "making the certificate of $1 failed; remove $dir and init again"
    fi
}

# The firewall of node $1's host: the group's and the transfers' ports only
# for the other nodes, the sessions' and health ports only for the
# program's host (for any address when none was named). Everything else
# on the host is left as it is.
write_firewall() {
    local node=$1 client_ipv4=$2 other peers=''
    local -n ipv4s=$3
    for other in "${all_nodes[@]}"; do
        [ "$other" = "$node" ] || peers+="${peers:+, }${ipv4s[$other]}"
    done
    local cluster_ports="${group_port[$node]}-${sst_port[$node]}"
    local client_ports="${session_port[$node]}-${health_port[$node]}"
    local sessions=${session_port[$node]} health=${health_port[$node]}
    cat <<EOF
#!/usr/sbin/nft -f
# The firewall of node $node's host (${address[$node]}), written by $name init.
# Load it as root with: nft -f firewall.nft
# and keep it across reboots by adding to /etc/nftables.conf the line
#   include "/the/folder/on/the/host/firewall.nft"
# with the nftables service enabled (systemctl enable nftables). Loading it
# again replaces it; nft delete table inet music_inventory removes it.
table inet music_inventory
delete table inet music_inventory
table inet music_inventory {
    chain input {
        type filter hook input priority filter - 1; policy accept;
        # The host itself: a node also connects to its own ports (a joiner
        # ends its incremental transfer's listener so).
        iif lo accept
        # The group's, the incremental and the full transfer's ports: the other nodes only.
        tcp dport $cluster_ports ip saddr { $peers } accept
        tcp dport $cluster_ports drop
EOF
    if [ -n "$client_ipv4" ]; then
        cat <<EOF
        # The program's sessions: the program's host only; the health check
        # also for the other nodes, which ask it before they join.
        tcp dport $sessions ip saddr $client_ipv4 accept
        tcp dport $health ip saddr { $client_ipv4, $peers } accept
        tcp dport $client_ports drop
EOF
    else
        echo "        # The program's sessions and the health check: any address (init was given no --client)."
    fi
    cat <<EOF
        meta nfproto ipv6 tcp dport { $cluster_ports, $client_ports } drop
    }
}
EOF
}

# --- a node's host ---------------------------------------------------------

# The gateway: the program host's sessions, by TLS with its certificate,
# relayed to the server's socket while the node is Synced in the primary
# component; and the health check's answer, with the node's own state, to
# any holder of a certificate of the cluster.
write_gateway_cfg() {
    local here=${address[$this_node]}
    cat >"$haproxy_cfg.new" <<EOF
# Written by $name at each start; edits are lost.
global
    # The node's state is asked by a program (below), which HAProxy forks only when told to.
    insecure-fork-wanted
    external-check
    stats socket $haproxy_admin mode 600 level user
    pidfile $haproxy_pidfile
    log stderr format raw local0 info
    # node.crt's key is node.key.
    ssl-load-extra-del-ext

defaults
    mode tcp
    log global
    option tcplog
    timeout client 8h
    timeout server 8h
    timeout connect 2s
    timeout check 2s

frontend sessions
    bind $here:${session_port[$this_node]} ssl crt $tls/node.crt ca-file $tls/ca.pem verify required
    # Refused before the handshake while the node is out of service, so that
    # the program's HAProxy tries another node at once.
    tcp-request connection reject if { nbsrv(local) lt 1 }
    # The program's host only: another node's certificate opens no session.
    tcp-request session reject unless { ssl_c_s_dn(CN) -m str client }
    maxconn 100
    default_backend local

frontend health
    mode http
    bind $here:${health_port[$this_node]} ssl crt $tls/node.crt ca-file $tls/ca.pem verify required
    timeout client 5s
    maxconn 20
    monitor-uri /synced
    monitor fail if { nbsrv(local) lt 1 }
    http-request deny

backend local
    # Passes only for a Synced node in the primary component, asked on its socket.
    option external-check
    external-check path "/usr/bin:/bin"
    external-check command $check_program
    # Checked every half second; its sessions end as soon as a check fails,
    # so that a node out of the primary component answers no report.
    server node$this_node unix@$(node_socket "$this_node") check inter 500ms fall 1 rise 1 on-marked-down shutdown-sessions
EOF
    mv -f "$haproxy_cfg.new" "$haproxy_cfg"
}

# HAProxy's own view of a backend's servers: "NAME STATUS" lines.
server_states() {
    echo "show stat" | timeout 5 "$socat_program" -t 2 - "UNIX-CONNECT:$haproxy_admin" 2>/dev/null |
        awk -F, -v backend="$1" '$1 == backend && $2 != "BACKEND" && $2 != "FRONTEND" { print $2, $18 }'
}
gateway_in_service() {
    [ "$(server_states local)" = "node$this_node UP" ]
}

# The answer another node's gateway gives for its node, by the health
# check's TLS with this node's certificate: 200 when Synced in the primary
# component, 503 when not, nothing when it does not answer.
peer_health() {
    local node=$1
    printf 'GET /synced HTTP/1.0\r\n\r\n' |
        timeout 4 "$openssl_program" s_client -quiet -verify_return_error \
            -connect "${address[$node]}:${health_port[$node]}" -verify_hostname "node$node" \
            -CAfile "$tls/ca.pem" -cert "$tls/node.crt" -key "$tls/node.key" 2>/dev/null |
        head -n 1 | awk '{ print $2 }'
}
synced_peer() {
    local node
    for node in "${all_nodes[@]}"; do
        [ "$node" = "$this_node" ] || [ "$(peer_health "$node")" != 200 ] || return 0
    done
    return 1
}
# Waits up to $1 seconds for another node to be Synced.
wait_synced_peer() {
    local deadline=$((SECONDS + $1))
    while [ "$SECONDS" -lt "$deadline" ]; do
        synced_peer && return 0
        sleep 1
    done
    return 1
}

peer_seconds=60
# Sets `how` for this node's start: "join" a running cluster, "new" to
# found it again from this node, "make" its data and found the cluster
# (the first start of node 1), or "wait" for the others of its last
# primary component (every node was lost at once).
how_to_start() {
    local node=$this_node
    how="join"
    synced_peer && return 0
    if [ ! -e "$dir/db" ]; then
        if [ "$node" = 1 ]; then
            how="make"
            return 0
        fi
        echo "$name: node $node has no data yet and joins a running node; waiting up to $peer_seconds seconds for one to be Synced..." >&2
        wait_synced_peer "$peer_seconds" ||
            fail "no other node of the cluster was Synced within $peer_seconds seconds: start node 1 first (and load each node host's firewall.nft); nothing was started"
    elif may_found "$node"; then
        how=new
    elif rejoins_alone "$node"; then
        how="wait"
    else
        echo "$name: waiting up to $peer_seconds seconds for another node of the cluster to be Synced..." >&2
        wait_synced_peer "$peer_seconds" ||
            fail "no other node of the cluster is Synced, and node $node did not leave it last: start first the node that did (its db/grastate.dat says safe_to_bootstrap: 1); nothing was started"
    fi
}

# The first start of node 1: a private server made by dbserver.sh, with its
# accounts and the inventory, whose administrator takes the password that
# init gave every node.
make_first_node() {
    local making=$dir/making admin_password
    rm -rf "$making"
    private_folder "$making"
    echo "$name: making node 1's data, with the sample inventory..." >&2
    "$dbserver" start --no-tcp "$making" >/dev/null || fail "making node 1's data failed"
    admin_password=$(sed -n 's/^password=//p' "$admin_cnf")
    [[ $admin_password =~ ^[A-Za-z0-9]+$ ]] || fail "$admin_cnf holds no password that init wrote; nothing was started"
    if ! "$dbserver" sql "$making" -e "alter user 'music-inventory-admin'@localhost identified by '$admin_password'"; then
        "$dbserver" stop "$making" >/dev/null 2>&1 || true
        fail "giving node 1's administrator its password failed"
    fi
    "$dbserver" stop "$making" || fail "stopping node 1's data after making it failed"
    mv "$making/db" "$dir/db"
    rm -rf "$making"
}

start_node_host() {
    local node=$this_node pid how
    find_processes
    pid=${server_pid[$node]:-}
    if [ -n "$pid" ] && [ "$(node_state "$node")" = "$synced" ] && [ -n "$haproxy_pid" ] && gateway_in_service; then
        return 0
    fi
    private_folder "$socket_dir"
    private_folder "$dir/tmp"
    private_folder "$dir/files"
    if [ -n "$pid" ] && is_stopped "$pid"; then
        fail "node $node (PID $pid) is stopped by a signal; resume it (kill -CONT $pid) and start again; nothing was started"
    elif [ -n "$pid" ] && [[ "$(node_state "$node")" == Disconnected* ]]; then
        echo "$name: node $node runs outside the cluster ($(cause_out "$node")); starting it again" >&2
        stop_one "$node" || fail "$why; nothing was started"
        pid=''
    fi
    if [ -z "$pid" ]; then
        [ -z "${helpers[$node]:-}" ] || stop_one "$node" || fail "$why; nothing was started"
        write_node_cnf "$node"
        how_to_start
        case $how in
        make)
            make_first_node
            echo "$name: starting node 1, founding the cluster..." >&2
            how=new
            ;;
        new) echo "$name: starting node $node, which left the cluster last, founding it again..." >&2 ;;
        wait) echo "$name: starting node $node; it forms the cluster again once every other node of its last primary component is started too..." >&2 ;;
        join)
            echo "$name: starting node $node, joining the cluster..." >&2
            [ -e "$dir/db" ] || mkdir -m 700 "$dir/db"
            ;;
        esac
        launch_node "$node" "$how"
        pid=$launched_pid
    fi
    if ! wait_synced "$node" "$pid"; then
        show_log "$dir/server.log" 20
        fail "node $node did not start; $why"
    fi
    if [ -z "$(running_pid haproxy)" ]; then
        write_gateway_cfg
        launch_haproxy
    fi
    local deadline=$((SECONDS + 30))
    until gateway_in_service; do
        if [ -z "$(running_pid haproxy)" ]; then
            show_log "$dir/haproxy.log" 20
            fail "the gateway (HAProxy) did not start; its log is $dir/haproxy.log"
        fi
        [ "$SECONDS" -lt "$deadline" ] || fail "the gateway did not put node $node in service within 30 seconds; its log is $dir/haproxy.log"
        sleep 0.2
    done
}

status_node_host() {
    local node=$this_node state degraded=0
    state=$(node_description "$node")
    [ "$state" = Synced ] || degraded=1
    echo "node $node (${address[$node]}): $state"
    if [ -z "$haproxy_pid" ]; then
        echo "gateway: not running"
        degraded=1
    elif is_stopped "$haproxy_pid"; then
        echo "gateway: stopped by a signal (PID $haproxy_pid)"
        degraded=1
    elif gateway_in_service; then
        echo "gateway: in service, sessions at ${address[$node]}:${session_port[$node]}, health at ${address[$node]}:${health_port[$node]}"
    else
        echo "gateway: running, the node out of service"
        degraded=1
    fi
    return "$degraded"
}

# --- the program's host ----------------------------------------------------

write_client_cfg() {
    local node servers=''
    for node in "${all_nodes[@]}"; do
        servers+="    server node$node ${address[$node]}:${session_port[$node]} check port ${health_port[$node]} verifyhost node$node"$'\n'
    done
    cat >"$haproxy_cfg.new" <<EOF
# Written by $name at each start; edits are lost.
global
    stats socket $haproxy_admin mode 600 level user
    pidfile $haproxy_pidfile
    log stderr format raw local0 info
    # client.crt's key is client.key.
    ssl-load-extra-del-ext

defaults
    mode tcp
    log global
    option tcplog
    timeout client 8h
    timeout server 8h
    timeout connect 2s
    timeout check 2s
    # A node that refuses the session (it just left service) is tried
    # again, then another node instead.
    retries 3
    option redispatch 1

listen inventory
    bind unix@$socket mode 600
    # Every session on the first node in service: a read never lags a commit
    # made through another session on another node.
    balance first
    # A node's gateway answers 200 only while the node is Synced in the
    # primary component, by the node's own state.
    option httpchk
    http-check send meth GET uri /synced ver HTTP/1.0
    http-check expect status 200
    # Checked every second, down after two failures, up after two passes;
    # sessions of a node marked down are ended at once. Every connection,
    # the checks' too, is TLS with this host's certificate, the node's
    # checked against the cluster's authority and its name.
    default-server inter 1s fall 2 rise 2 on-marked-down shutdown-sessions check-ssl ssl verify required ca-file $tls/ca.pem crt $tls/client.crt
$servers
EOF
    mv -f "$haproxy_cfg.new" "$haproxy_cfg"
}

client_seconds=30
start_client() {
    find_processes
    if [ -n "$haproxy_pid" ] && answers; then return 0; fi
    private_folder "$socket_dir"
    if [ -z "$haproxy_pid" ]; then
        write_client_cfg
        launch_haproxy
    fi
    local deadline=$((SECONDS + client_seconds))
    until answers; do
        find_processes
        if [ -z "$haproxy_pid" ]; then
            show_log "$dir/haproxy.log" 20
            fail "HAProxy did not start; its log is $dir/haproxy.log"
        fi
        [ "$SECONDS" -lt "$deadline" ] ||
            fail "HAProxy runs, but no node of the cluster let the program's account in within $client_seconds seconds ($name status '$dir' shows each node; are they started, and their firewalls loaded?); it serves as soon as one does"
        sleep 0.2
    done
}

status_client() {
    local node state degraded=0 states
    states=$(server_states inventory)
    for node in "${all_nodes[@]}"; do
        case $(awk -v server="node$node" '$1 == server { print $2 }' <<<"$states") in
        UP) state="in service" ;;
        "") state="not known (HAProxy is not running)" ;;
        *) state="out of service (not Synced in the primary component, or not answering)" ;;
        esac
        [ "$state" = "in service" ] || degraded=1
        echo "node $node (${address[$node]}:${session_port[$node]}): $state"
    done
    if [ -z "$haproxy_pid" ]; then
        echo "HAProxy: not running"
        return 1
    elif is_stopped "$haproxy_pid"; then
        echo "HAProxy: stopped by a signal (PID $haproxy_pid)"
        return 1
    fi
    echo "HAProxy: running, $socket"
    answers && return "$degraded"
}
