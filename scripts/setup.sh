#!/usr/bin/env bash
# Installs, from Debian's packages (Debian 13 or 12), whatever is missing of
# what building and running need; with --package, also what making the
# Debian package needs; with --reproduce, also what checking that packages
# are reproducible needs; with --test, also what the tests need; with
# --server, only a database server and its client programs.
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

packages=("${server_packages[@]}")
case ${1:-} in
--server) ;;
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
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
echo "setup: installing ${#missing[@]} packages and what they need: ${missing[*]}" >&2
# sudo resets the environment, so the front end is set on its far side.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
# --no-remove: a package that conflicts with an installed one fails the
# set-up instead of replacing it.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends --no-remove \
    "${missing[@]}" >&2
