#!/usr/bin/env bash
# Installs, from Debian's packages (Debian 13 or 12), whatever is missing of
# what building and running need; with --test, also what the tests need.
# Uses sudo when not run as root. Only the server's core programs are
# installed, so no system database service is set up or started.
set -euo pipefail

run_packages=(
    cmake g++ make pkg-config
    libmysql++-dev libmariadb-dev libutf8proc-dev libmimalloc-dev
    mariadb-server-core mariadb-client-core
)
test_packages=(
    libgtest-dev python3
    clang clang-format libclang-rt-dev valgrind
    dpkg-dev file lintian man-db mandoc groff-base locales
)

packages=("${run_packages[@]}")
[ "${1:-}" = --test ] && packages+=("${test_packages[@]}")

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
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "${missing[@]}" >&2
