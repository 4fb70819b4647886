#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a temporary root and runs the
# installed program's connection-failure path.
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls "$build"/music-inventory_*.deb)
dpkg -x "$package" "$root"
test -f "$root/usr/share/man/man1/music-inventory.1"
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
echo "package ok: $package"
