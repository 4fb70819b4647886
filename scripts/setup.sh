#!/usr/bin/env bash
# Installs, from Debian's packages (Debian 13 or 12), whatever is missing of
# what building and running need; with --package, also what making the
# Debian package needs; with --reproduce, also what checking that packages
# are reproducible needs; with --test, also what the tests need; with
# --server, only a database server and its client programs; with --cluster,
# what a local Galera cluster behind HAProxy needs (scripts/cluster.sh).
# Uses sudo when not run as root. A server already installed, MariaDB's or
# MySQL's, is used as it is; where none is, only MariaDB's core programs are
# installed, so no system database service is set up or started. Nothing
# installed is ever removed or replaced.
set -euo pipefail

build_packages=(
    cmake g++ make pkg-config
    libmysql++-dev libmariadb-dev libutf8proc-dev libmimalloc-dev
)
server_packages=()
# The Debian package's tools: dpkg-shlibdeps, dpkg-gencontrol and dpkg-deb.
package_packages=(dpkg-dev)
# MariaDB's server package holds the state-transfer scripts, which the core
# package lacks; MariaDB's backup tool and socat carry the transfer itself.
cluster_packages=(mariadb-server mariadb-backup galera-4 haproxy socat openssl)
# Two builds under another clock, compared, their differences shown.
reproduce_packages=(git faketime diffoscope-minimal)
test_packages=(
    libgtest-dev python3
    clang clang-format libclang-rt-dev valgrind shellcheck
    lintian man-db mandoc groff-base locales
)

installed() {
    local dir
    for dir in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
        if [ -x "$dir/$1" ]; then return 0; fi
    done
    return 1
}
# MariaDB installs a mysqld too; MySQL has no mariadbd. The client packages
# hold the dump programs too, which keep and move an inventory.
if installed mysqld && ! installed mariadbd; then
    installed mysql && installed mysqldump || server_packages+=(mysql-client)
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
*) packages+=("${build_packages[@]}") ;;
esac

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
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
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
# --no-remove: a package that conflicts with an installed one fails the
# set-up instead of replacing it.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends --no-remove \
    "${missing[@]}" >&2
for service in "${services[@]}"; do
    echo "setup: $service was installed as a system service; it was not started, and is left disabled" >&2
    "${sudo[@]}" deb-systemd-helper disable "$service.service" >/dev/null 2>&1 || true
    "${sudo[@]}" update-rc.d "$service" disable >/dev/null 2>&1 || true
done
if [ "$own_policy" = 1 ]; then
    "${sudo[@]}" rm -f "$policy"
    trap - EXIT
fi
