#!/usr/bin/env bash
# usage: scripts/reproduce.sh [--windows] [--keep]
#
# Checks that the release of the commit checked out is reproducible: builds
# its Debian package and source package twice, from two clones of it, and
# compares them byte for byte; with --windows, its Windows installer and ZIP
# instead. The two builds differ in what a builder's machine may differ in:
#
#                  first build           second build
#   folder         build-reproduce/one/  a deeper one with a longer name
#   umask          022                   002
#   clock          now                   a year ahead (faketime)
#   time zone      UTC                   UTC+14
#   locale         C.UTF-8               C
#   home           one folder            another
#   parallel jobs  all cores             one (the Windows build uses all)
#
# Neither sets SOURCE_DATE_EPOCH: the build takes its date from the commit.
# On a difference, diffoscope shows it. Changes not committed are not built.
# Installs what it needs from Debian (scripts/setup.sh --reproduce, and for
# --windows what scripts/windows.sh installs). The clones are made in
# build-reproduce/ and removed at the end unless --keep is given.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
windows=no
keep=no
for argument in "$@"; do
    case $argument in
    --windows) windows=yes ;;
    --keep) keep=yes ;;
    -h | --help)
        sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "reproduce: unknown option $argument (usage: scripts/reproduce.sh [--windows] [--keep])" >&2
        exit 2
        ;;
    esac
done
started=$SECONDS
step() {
    printf 'reproduce: %-56s %4ds\n' "$1" $((SECONDS - started)) >&2
}
fail() {
    echo "reproduce: $*" >&2
    exit 1
}

"$here/scripts/setup.sh" --reproduce
commit=$(git -C "$here" rev-parse HEAD)
[ -z "$(git -C "$here" status --porcelain --untracked-files=no)" ] ||
    echo "reproduce: note: changes not committed are not in what is built" >&2
work=$here/build-reproduce
rm -rf "$work"
if [ "$keep" = no ]; then
    trap 'rm -rf "$work"' EXIT
fi
first=$work/one/music-inventory
second=$work/two/a-second-folder-with-a-longer-name/music-inventory-again
for clone in "$first" "$second"; do
    git clone -q --no-checkout "$here" "$clone"
    git -C "$clone" checkout -q "$commit"
    # The Windows libraries' source packages, already fetched and checked
    # here, are not fetched again (each build checks them against its pins).
    if [ "$windows" = yes ] && [ -d "$here/build-windows/sources" ]; then
        mkdir -p "$clone/build-windows"
        cp -R "$here/build-windows/sources" "$clone/build-windows/"
    fi
done
step "cloned ${commit:0:12} twice"

# Builds in the clone CLONE, every command run by the rest (the clock's
# variation) when given.
build() {
    local clone=$1
    shift
    local log=$clone.log
    (
        cd "$clone"
        if [ "$windows" = yes ]; then
            "$@" scripts/windows.sh --no-tests
        else
            "$@" cmake -S . -B build
            "$@" cmake --build build --target deb source-package
        fi
    ) >"$log" 2>&1 || {
        tail -n 40 "$log" >&2
        fail "the build in ${clone#"$here"/} failed (whole output in ${log#"$here"/})"
    }
}
mkdir -p "$work/home-one" "$work/home-two"
cores=$(nproc)
(
    umask 022
    unset SOURCE_DATE_EPOCH
    export TZ=UTC LC_ALL=C.UTF-8 HOME=$work/home-one CMAKE_BUILD_PARALLEL_LEVEL=$cores
    build "$first"
)
step "built in ${first#"$here"/}"
(
    umask 002
    unset SOURCE_DATE_EPOCH
    export TZ=UTC-14 LC_ALL=C HOME=$work/home-two CMAKE_BUILD_PARALLEL_LEVEL=1
    # FAKE_UTIME=1: without it, libfaketime turns setting a file's times to
    # "now" into an invalid time, and dpkg-source fails.
    build "$second" env FAKE_UTIME=1 faketime -f +365d
)
step "built in ${second#"$here"/}, a year ahead"

if [ "$windows" = yes ]; then
    artefacts=(build-windows/music-inventory-*-win64.exe build-windows/music-inventory-*-win64.zip)
else
    artefacts=(build/music-inventory_*.deb build/music-inventory-*.tar.gz)
fi
differ=0
for pattern in "${artefacts[@]}"; do
    # shellcheck disable=SC2086 # the pattern is to be expanded
    one=$(cd "$first" && ls $pattern)
    [ -f "$second/$one" ] || fail "the second build made no $one"
    if cmp -s "$first/$one" "$second/$one"; then
        echo "reproduce: ${one#*/}: the same bytes, SHA-256 $(sha256sum <"$first/$one" | cut -c1-64)"
    else
        differ=1
        echo "reproduce: ${one#*/}: the builds differ; diffoscope says:"
        diffoscope --no-progress "$first/$one" "$second/$one" | head -n 300 || true
    fi
done
[ "$differ" = 0 ] || fail "not reproducible (--keep keeps both builds to look at)"
step "passed"
