#!/usr/bin/env bash
# usage: scripts/setup.sh [--package | --reproduce | --test | --bench | --server | --cluster]
#
# Installs, from Debian's packages (Debian 13 or 12), whatever is missing of
# what building and running need; with --package, also what making the
# Debian package needs; with --reproduce, also what checking that packages
# are reproducible needs; with --test, also what the tests need; with
# --bench, also what the benchmark needs (bench/run.sh); with --server, only
# a database server and its client programs; with --cluster, what a local
# cluster behind HAProxy needs (scripts/cluster.sh): Galera where MySQL's
# server is not installed, else only what MySQL's Group Replication lacks.
# Uses sudo when not run as root, and waits for another apt-get or dpkg
# running beside it to finish. A server already installed, MariaDB's or
# MySQL's, is used as it is; where none is, only MariaDB's core programs are
# installed, so no system database service is set up or started. Nothing
# installed is ever removed or replaced.
set -euo pipefail

if [ $# -gt 1 ]; then
    echo "setup: one option at most, not $* (see scripts/setup.sh --help)" >&2
    exit 2
fi
case ${1:-} in
-h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
    exit 0
    ;;
"" | --package | --reproduce | --test | --bench | --server | --cluster) ;;
*)
    echo "setup: unknown option $1 (see scripts/setup.sh --help)" >&2
    exit 2
    ;;
esac

build_packages=(
    cmake g++ make pkg-config
    libmysql++-dev libmariadb-dev libutf8proc-dev libmimalloc-dev
)
server_packages=()
# The Debian package's tools: dpkg-shlibdeps, dpkg-gencontrol and dpkg-deb.
package_packages=(dpkg-dev)
# MariaDB's server package holds the state-transfer scripts, which the core
# package lacks; MariaDB's backup tool and socat carry the transfer itself;
# iproute2 gives the local cluster a network of its own; nftables loads the
# firewall rules that cluster.sh init writes for a node's host.
cluster_packages=(mariadb-server mariadb-backup galera-4 haproxy socat openssl iproute2 nftables)
# Two builds under another clock, compared, their differences shown.
reproduce_packages=(git faketime diffoscope-minimal)
test_packages=(
    libgtest-dev python3
    clang clang-format libclang-rt-dev valgrind shellcheck
    lintian man-db mandoc groff-base locales
)
# bench/bench.py, and callgrind for its count of instructions.
bench_packages=(python3 valgrind)

installed() {
    local dir
    for dir in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
        if [ -x "$dir/$1" ]; then return 0; fi
    done
    return 1
}
# With MySQL's server installed, the cluster is MySQL's own Group
# Replication, which its server package holds.
mysql_cluster_packages=(mysql-client haproxy socat openssl iproute2 nftables)
# MariaDB installs a mysqld too; MySQL has no mariadbd. The client packages
# hold the dump programs too, which keep and move an inventory.
if installed mysqld && ! installed mariadbd; then
    installed mysql && installed mysqldump || server_packages+=(mysql-client)
    cluster_packages=("${mysql_cluster_packages[@]}")
else
    installed mariadbd || server_packages+=(mariadb-server-core)
    installed mariadb-dump || installed mysqldump || server_packages+=(mariadb-client)
fi
# The relay that puts the private server on a TCP port (dbserver.sh start --tcp).
installed haproxy || server_packages+=(haproxy)

packages=("${server_packages[@]}")
case ${1:-} in
--server) ;;
--cluster) packages=("${cluster_packages[@]}") ;;
--package) packages+=("${build_packages[@]}" "${package_packages[@]}") ;;
--reproduce) packages+=("${build_packages[@]}" "${package_packages[@]}" "${reproduce_packages[@]}") ;;
--test) packages+=("${build_packages[@]}" "${package_packages[@]}" "${test_packages[@]}") ;;
--bench) packages+=("${build_packages[@]}" "${bench_packages[@]}") ;;
*) packages+=("${build_packages[@]}") ;;
esac

# A package whose triggers are still to run (another package's, or its own,
# such as man-db's index) is installed and configured all the same.
missing=()
for package in "${packages[@]}"; do
    case $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true) in
    installed | triggers-pending | triggers-awaited) ;;
    *) missing+=("$package") ;;
    esac
done

sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)

# Installing the server or HAProxy asks policy-rc.d before it starts their
# services (below); one of ours, left by a setup killed while it installed,
# would deny every service start on this system from now on, and pass for
# the system's own.
policy=/usr/sbin/policy-rc.d
policy_mark="# music-inventory setup: no service starts while it installs"
if [ -f "$policy" ] && [ ! -L "$policy" ] && grep -qxF "$policy_mark" "$policy"; then
    "${sudo[@]}" rm -f "$policy"
fi
[ ${#missing[@]} -eq 0 ] && exit 0

# Installing the server or HAProxy would enable their system services and
# start them. invoke-rc.d and deb-systemd-invoke ask policy-rc.d first: for
# this installation one of ours denies every start, unless the system has
# its own, which is left alone and must deny them itself. A service of a
# package that was already installed is never touched; one that this
# installation brought is disabled again after it.
services=()
for package in mariadb-server haproxy; do
    [[ " ${missing[*]} " == *" $package "* ]] && services+=("${package%-server}")
done
own_policy=0
if [ ${#services[@]} -gt 0 ]; then
    if [ -e "$policy" ] || [ -L "$policy" ]; then
        status=0
        "$policy" "${services[0]}" start >/dev/null 2>&1 || status=$?
        if [ "$status" != 101 ]; then
            echo "setup: $policy would let ${services[*]} start as system services when installed; install ${missing[*]} yourself (nothing was installed)" >&2
            exit 1
        fi
    else
        own_policy=1
        trap '"${sudo[@]}" rm -f "$policy"' EXIT
        printf '#!/bin/sh\n%s\nexit 101\n' "$policy_mark" |
            "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 755 "$policy"
    fi
fi
echo "setup: installing ${#missing[@]} packages and what they need: ${missing[*]}" >&2
# sudo resets the environment, so the front end is set on its far side.
# apt-get waits up to 10 minutes for dpkg's lock held by another apt-get or
# dpkg, as told here, but never for the package lists' lock that another
# apt-get update holds: that one is tried again for as long.
apt_get=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
for ((waited = 0; ; waited += 5)); do
    errors=$("${apt_get[@]}" update 2>&1 >&2) && break
    if [[ $errors != *"Could not get lock"* ]] || [ "$waited" -ge 600 ]; then
        echo "$errors" >&2
        echo "setup: updating the package lists failed (nothing was installed)" >&2
        exit 1
    fi
    [ "$waited" -gt 0 ] ||
        echo "setup: waiting for another apt-get to finish with the package lists..." >&2
    sleep 5
done
[ -z "$errors" ] || echo "$errors" >&2
# --no-remove: a package that conflicts with an installed one fails the
# set-up instead of replacing it.
"${apt_get[@]}" install -y --no-install-recommends --no-remove "${missing[@]}" >&2
for service in "${services[@]}"; do
    echo "setup: $service was installed as a system service; it was not started, and is left disabled" >&2
    "${sudo[@]}" deb-systemd-helper disable "$service.service" >/dev/null 2>&1 || true
    "${sudo[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true
done
if [ "$own_policy" = 1 ]; then
    "${sudo[@]}" rm -f "$policy"
    trap - EXIT
fi
