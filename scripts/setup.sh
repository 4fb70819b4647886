#!/usr/bin/env bash
# Installs, from Debian's packages, whatever of the build, run and test
# dependencies is missing. Uses sudo when not run as root.
set -euo pipefail

packages=(
    cmake g++ make pkg-config dpkg-dev man-db
    libmysql++-dev libmariadb-dev libutf8proc-dev
    mariadb-server mariadb-client
    libgtest-dev python3
    clang clang-format libclang-rt-14-dev valgrind
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
echo "setup: installing ${missing[*]}" >&2
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
