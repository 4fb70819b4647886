#!/usr/bin/env bash
# Builds the Debian and source packages, checks the Debian one with lintian,
# unpacks it into a temporary root and runs the installed program's
# connection-failure path.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

cmake --build "$build" --target deb >/dev/null
package=$(ls "$build"/music-inventory_*.deb)
# Any error or warning fails, the pedantic and informational tags shown
# (those overridden say why in the package); lintian only notes that it runs
# as root.
lintian --pedantic --display-info --fail-on error,warning "$package" 2> >(grep -v 'root privileges' >&2)
here=$(cd "$(dirname "$0")/.." && pwd)
for page in "$here"/doc/*.1; do
    mandoc -Tlint -W warning "$page"
    groff -man -ww -z "$page"
done
dpkg -x "$package" "$root"
for file in usr/share/man/man1/music-inventory.1.gz usr/share/man/man1/music-inventory-server.1.gz \
    usr/share/doc/music-inventory/copyright \
    usr/share/doc/music-inventory/changelog.gz usr/share/music-inventory/schema.sql \
    usr/share/music-inventory/sample.sql; do
    test -f "$root/$file" || { echo "not in the package: $file" >&2; exit 1; }
done
depends=$(dpkg-deb -f "$package" Depends)
for library in libmysql++ libutf8proc; do
    grep -q "$library" <<<"$depends" || { echo "no $library in Depends: $depends" >&2; exit 1; }
done

status=0
errors=$(MYSQL_UNIX_PORT=/tmp/no-such-dir/mysqld.sock "$root/usr/bin/music-inventory" \
    </dev/null 2>&1 >/dev/null) || status=$?
expected="Connection failed: Can't connect to local server through socket '/tmp/no-such-dir/mysqld.sock' (2)"
if [ "$status" != 1 ] || [ "$errors" != "$expected" ]; then
    echo "installed program: status $status, errors: $errors" >&2
    exit 1
fi

# The installed private-server command with its defaults: a server made in
# $XDG_DATA_HOME, the installed program run on it, and no server left after.
session=$(XDG_DATA_HOME="$root/data" "$root/usr/bin/music-inventory-server" run <<<$'0\n4' 2>&1)
if ! grep -q 'Artist ID      First Name' <<<"$session" ||
    "$root/usr/bin/music-inventory-server" status "$root/data/music-inventory"; then
    echo "installed music-inventory-server run: $session" >&2
    exit 1
fi

# The installed command keeps and moves an inventory: the default folder's
# dump, restored into a new folder, is the whole sample. Its dump programs are
# recommended.
server=$root/usr/bin/music-inventory-server
if ! XDG_DATA_HOME="$root/data" "$server" dump >"$root/inventory.sql" ||
    ! "$server" restore "$root/moved" <"$root/inventory.sql" 2>"$root/restore.log" ||
    ! grep -q "38 artists and 257 songs" "$root/restore.log" || "$server" status "$root/moved"; then
    echo "installed music-inventory-server dump and restore: $(cat "$root/restore.log")" >&2
    exit 1
fi
recommends=$(dpkg-deb -f "$package" Recommends)
grep -q 'mariadb-client | mysql-client' <<<"$recommends" ||
    { echo "the dump programs are not recommended: $recommends" >&2; exit 1; }

# The source package: what git holds at the commit, no more, no less, under
# one folder named after the version, with the commit's date recorded.
here_commit=$(git -C "$here" rev-parse HEAD 2>/dev/null) || {
    echo "package ok: $package; no source package outside a git checkout"
    exit 0
}
cmake --build "$build" --target source-package >/dev/null
source=$(ls "$build"/music-inventory-*.tar.gz)
listing=$(tar -tzf "$source" | grep -v '/$')
if grep -qvE '^music-inventory-[0-9.]+/' <<<"$listing" ||
    ! diff <(sed 's|^[^/]*/||' <<<"$listing" | LC_ALL=C sort) \
        <(git -C "$here" ls-tree -r --name-only "$here_commit" | LC_ALL=C sort) >&2; then
    echo "the source package does not hold what git holds (above: < in it, > in git)" >&2
    exit 1
fi
recorded=$(tar -xOzf "$source" --wildcards '*/cmake/source-date.txt')
[ "$recorded" = "$(git -C "$here" log -1 --format=%ct "$here_commit")" ] ||
    { echo "the source package records the date \"$recorded\"" >&2; exit 1; }
echo "package ok: $package, $source"
