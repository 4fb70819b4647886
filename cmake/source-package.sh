#!/bin/sh
# Makes the source package: exactly what git holds at the commit checked out
# (git archive, which also writes the commit's time into
# cmake/source-date.txt), under NAME-VERSION/, its members sorted by name,
# owned by root, world-readable and writable by their owner alone, all dated
# DATE. Changes not committed are not in it.
#
# usage: source-package.sh SOURCE OUTPUT.tar.gz DATE
set -eu
source=$1
output=$2
date=$3
name=$(basename "$output" .tar.gz)

# git's own reason when it cannot read the checkout (one of another user's,
# say), else the tree is not a checkout of its own.
if ! top=$(git -C "$source" rev-parse --show-toplevel 2>&1) ||
    [ "$(cd "$top" && pwd -P)" != "$(cd "$source" && pwd -P)" ]; then
    case $top in
    "fatal: not a git repository"* | /*)
        echo "source-package: $source is not a git checkout; the source package is made from one" >&2
        ;;
    *) echo "source-package: ${top#fatal: }" | head -n 1 >&2 ;;
    esac
    exit 1
fi
if [ -n "$(git -C "$source" status --porcelain --untracked-files=no)" ]; then
    echo "source-package: note: changes not committed are left out" >&2
fi
[ -n "$date" ] || date=$(git -C "$source" log -1 --format=%ct)

umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git -C "$source" archive --format=tar --prefix="$name/" HEAD | tar -C "$work" -xf -
# GNU tar's --sort and --mtime; gzip -n keeps the file name and time out of
# its header.
tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner --mode=u=rwX,go=rX \
    --mtime="@$date" --format=gnu -cf - "$name" | gzip -9n >"$output.tmp"
mv "$output.tmp" "$output"
