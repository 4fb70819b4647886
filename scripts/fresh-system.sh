#!/usr/bin/env bash
# Proves the README's two commands on a fresh minimal Debian system.
#
# usage:
#   scripts/fresh-system.sh SUITE [--user]     SUITE: trixie, bookworm, ...
#   scripts/fresh-system.sh sid --mysql        the same with MySQL installed first
#   scripts/fresh-system.sh SUITE --windows    the Windows build instead
#
# Makes a minimal system of SUITE with debootstrap (the bare system is cached
# as a tarball under ${XDG_CACHE_HOME:-~/.cache}/music-inventory), installs
# only git (and sudo with --user), clones this checkout's HEAD into it and
# runs there, as root or with --user as a user with passwordless sudo, in
# the README's order: the run command on a pseudo-terminal with a short
# session (choice 0, a key, choice 4), then the test command in full, then
# the reproducibility check (scripts/reproduce.sh). Checks that the artist
# table appears, that the program exits 0, that the test command passes,
# and that no server runs after either.
# With --mysql, MySQL's server and client are installed before anything else
# (so every private server is MySQL's), and it checks that MySQL is still
# installed at the end, that no MariaDB server was, and that the program
# builds without a warning; then it moves an inventory from MariaDB to MySQL
# and back: a private MariaDB folder made on this machine, copied in, is
# refused with one line and left unchanged, and its dump, restored into
# MySQL, dumped there and restored into MariaDB here, comes back the same
# (this needs this machine's MariaDB: scripts/setup.sh --server). With --windows, it runs scripts/windows.sh from
# the clean clone instead of the two commands: the cross build, its installer
# and ZIP, and their tests under Wine, then scripts/reproduce.sh --windows.
# Needs root, debootstrap, python3 and Debian's package mirror.
set -euo pipefail

usage="usage: scripts/fresh-system.sh SUITE [--user] [--mysql] [--windows]"
case ${1:-} in
-h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
    exit 0
    ;;
"")
    echo "$usage" >&2
    exit 2
    ;;
-*)
    echo "fresh-system: unknown option $1 ($usage)" >&2
    exit 2
    ;;
esac
suite=$1
as_user=0
mysql=0
windows=0
for option in "${@:2}"; do
    case "$option" in
    --user) as_user=1 ;;
    --mysql) mysql=1 ;;
    --windows) windows=1 ;;
    *) echo "fresh-system: unknown option $option ($usage)" >&2; exit 2 ;;
    esac
done
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/music-inventory
tarball=$cache/$suite-minbase.tar
started=$SECONDS

step() {
    printf '%-48s %4ds\n' "$1" $((SECONDS - started))
}
fail() {
    echo "fresh-system: $*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || fail "needs root (debootstrap, chroot and mounts)"
command -v debootstrap >/dev/null || fail "needs debootstrap (apt-get install debootstrap)"

root=$(mktemp -d "/var/tmp/fresh-$suite.XXXXXX")
mounts=()
cleanup() {
    local pid
    # Whatever still runs inside the system goes first, so its mounts can go.
    for pid in /proc/[0-9]*; do
        [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ] && kill -9 "${pid#/proc/}" 2>/dev/null
    done
    # The servers this machine ran for moving an inventory, in the system's folder.
    local folder
    for folder in "$root"/moves/*/; do
        [ -d "$folder" ] && "$here/scripts/dbserver.sh" stop "$folder" 2>/dev/null || true
    done
    sleep 0.5
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount -l "${mounts[i]}" 2>/dev/null || true
    done
    # And what the tests mounted inside it (ip netns's folder), deepest first.
    local mount_point
    awk -v root="$root" '$5 == root || index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo |
        sort -r | while read -r mount_point; do umount -l "$mount_point" 2>/dev/null || true; done
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

if [ ! -s "$tarball" ]; then
    mkdir -p "$cache"
    debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
        { tail -n 20 "$root.debootstrap.log" >&2; fail "debootstrap $suite failed"; }
    rm -f "$root.debootstrap.log"
    tar -C "$root" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    step "$suite: minimal system made and cached"
else
    tar -C "$root" -xf "$tarball"
    step "$suite: minimal system unpacked from the cache"
fi

# mktemp made it private (and the tarball keeps that); a test user must be
# able to enter the system.
chmod 755 "$root"
# dev/shm as every Debian system has it: Wine's server and its programs
# share memory there, and faketime (the reproducibility check) its clock.
filesystems=(proc sys dev dev/pts dev/shm)
for fs in "${filesystems[@]}"; do
    mount --bind "/$fs" "$root/$fs"
    mounts+=("$root/$fs")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"

in_root() {
    chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 "$@"
}

# A development suite's Release file may be older than the clock allows; the
# check is relaxed inside this system only.
echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99fresh-system"
if [ "$mysql" = 1 ]; then
    in_root bash -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends mysql-server-core mysql-client" \
        >"$root/tmp/mysql.log" 2>&1 ||
        { tail -n 20 "$root/tmp/mysql.log" >&2; fail "installing MySQL failed"; }
    step "$suite: $(in_root mysqld --version | grep -o 'Ver [^ ]*') of MySQL installed"
fi

extra=()
[ "$as_user" = 1 ] && extra=(sudo)
in_root bash -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends git ca-certificates ${extra[*]}" \
    >"$root/tmp/git.log" 2>&1 || { tail -n 20 "$root/tmp/git.log" >&2; fail "installing git failed"; }
step "$suite: git${extra:+ and sudo} installed"

if [ "$as_user" = 1 ]; then
    in_root useradd --create-home --shell /bin/bash tester
    echo 'tester ALL=(ALL) NOPASSWD: ALL' >"$root/etc/sudoers.d/tester"
    chmod 440 "$root/etc/sudoers.d/tester"
    home=/home/tester
    run_as=(chroot --userspec=tester:tester "$root" env -i "HOME=$home" USER=tester
        LOGNAME=tester PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8)
else
    home=/root
    run_as=(chroot "$root" env -i "HOME=$home" USER=root LOGNAME=root
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
fi
git clone -q "$here" "$root$home/music-inventory"
[ "$as_user" = 1 ] && in_root chown -R tester:tester "$home/music-inventory"
step "$suite: checkout cloned into $home/music-inventory"

tag=$suite${extra:+-user}
[ "$mysql" = 1 ] && tag+=-mysql
label=$suite
[ "$as_user" = 1 ] && label+=" --user"
[ "$mysql" = 1 ] && label+=" --mysql"
server_running() {
    local pid
    for pid in /proc/[0-9]*; do
        [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ] || continue
        grep -qE '^(mariadbd|mysqld)$' "$pid/comm" 2>/dev/null && return 0
    done
    return 1
}

# Runs one of the checkout's scripts in the system as CI would; its output
# goes to $log, and its end is shown when it fails.
run_script() {
    local what=$1 script=$2
    if ! "${run_as[@]}" CI=true bash -c "cd ~/music-inventory && $script" </dev/null >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        fail "the $what failed; its whole output is in $log"
    fi
}

# A private MariaDB folder made here (with an artist of the user's own) is
# refused in the MySQL system, unchanged; its inventory goes to MySQL by dump
# and restore, and back to MariaDB here, where it must be what it was.
move_between_mariadb_and_mysql() {
    local dbserver=$here/scripts/dbserver.sh moves=$root/moves
    local tables='checksum table Music_Inventory.Artists, Music_Inventory.Songs'
    mkdir -m 700 "$moves"
    "$dbserver" start "$moves/mariadb" 2>/dev/null ||
        fail "no private MariaDB server here to move an inventory from (scripts/setup.sh --server)"
    "$dbserver" sql "$moves/mariadb" Music_Inventory \
        -e "insert into Artists values (100, 'Zoë ''Moved''', 'Ärtist \\\\ 坂本')"
    "$dbserver" dump "$moves/mariadb" >"$moves/from-mariadb.sql"
    local checksums
    checksums=$("$dbserver" sql "$moves/mariadb" -N -e "$tables")
    "$dbserver" stop "$moves/mariadb"
    cp -a "$moves/mariadb" "$moves/from-mariadb.sql" "$root$home/"
    if [ "$as_user" = 1 ]; then in_root chown -R tester:tester "$home/mariadb" "$home/from-mariadb.sql"; fi
    local in_system=("${run_as[@]}" bash -c)
    local state='cd ~/mariadb && find . -type f ! -name lock | sort | xargs sha256sum'
    local before refusal
    before=$("${in_system[@]}" "$state")
    refusal=$("${in_system[@]}" 'cd ~/music-inventory && scripts/dbserver.sh start ~/mariadb 2>&1; echo "status $?"')
    [[ $refusal == *"holds the data of a MariaDB"*"status 1" ]] && [ "$(wc -l <<<"$refusal")" = 2 ] ||
        fail "a MariaDB folder in the MySQL system was not refused with one line: $refusal"
    [ "$before" = "$("${in_system[@]}" "$state")" ] || fail "the refused MariaDB folder was changed"
    "${in_system[@]}" 'cd ~/music-inventory && scripts/dbserver.sh restore ~/moved <~/from-mariadb.sql &&
        scripts/dbserver.sh dump ~/moved >~/from-mysql.sql' >"$moves/mysql.log" 2>&1 ||
        { cat "$moves/mysql.log" >&2; fail "restoring the MariaDB dump into MySQL failed"; }
    "$dbserver" start "$moves/back" 2>/dev/null
    "$dbserver" restore "$moves/back" <"$root$home/from-mysql.sql" 2>/dev/null ||
        fail "restoring MySQL's dump into MariaDB failed"
    [ "$checksums" = "$("$dbserver" sql "$moves/back" -N -e "$tables")" ] ||
        fail "the inventory moved to MySQL and back is not what it was"
    "$dbserver" stop "$moves/back"
    step "$suite: MariaDB folder refused unchanged; inventory moved to MySQL and back"
}

if [ "$windows" = 1 ]; then
    log=$cache/$tag-windows.log
    run_script "Windows command" scripts/windows.sh
    step "$suite: Windows command passed ($(grep -o '[0-9]*% tests passed.*' "$log" || echo 'no tests'))"
    log=$cache/$tag-reproduce-windows.log
    run_script "reproducibility check" "scripts/reproduce.sh --windows"
    step "$suite: Windows installer and ZIP reproducible ($(grep -c 'the same bytes' "$log") of 2)"
    server_running && fail "a server is left running after the Windows command"
    step "$label --windows: passed, no server left running"
    exit 0
fi
# The README's order: the run command on a fresh system, then the test command.
python3 - "$root" "${run_as[@]}" bash -c "cd ~/music-inventory && scripts/run.sh" <<'EOF' ||
import os, pty, select, sys, time
root, command = sys.argv[1], sys.argv[2:]
pid, fd = pty.fork()
if pid == 0:
    os.execvp(command[0], command)
out = b""
def expect(text, timeout):
    global out
    deadline = time.monotonic() + timeout
    while text.encode() not in out:
        left = deadline - time.monotonic()
        ready = select.select([fd], [], [], max(left, 0))[0] if left > 0 else []
        if not ready:
            sys.exit("waited for %r; got:\n%s" % (text, out.decode(errors="replace")[-2000:]))
        try:
            data = os.read(fd, 65536)
        except OSError:
            data = b""
        if not data:
            sys.exit("ended before %r; got:\n%s" % (text, out.decode(errors="replace")[-2000:]))
        out += data
    out = out[out.index(text.encode()) + len(text):]
expect("4 - Exit", 1800)
os.write(fd, b"0\n")
expect("Artist ID      First Name          Last Name", 30)
expect("Press any key...", 30)
os.write(fd, b"x")
expect("? ", 30)
os.write(fd, b"4\n")
expect("Exiting, please wait...", 30)
_, status = os.waitpid(pid, 0)
sys.exit(0 if os.waitstatus_to_exitcode(status) == 0 else "run command exited %d" % status)
EOF
    fail "the run command's session failed"
step "$suite: run command showed the artists and exited 0"
server_running && fail "a server is left running after the run command"
log=$cache/$tag-test.log
run_script "test command" scripts/test.sh
step "$suite: test command passed ($(grep -c 'tests passed' "$log") runs, $(grep -c '^test: skipped in ' "$log") cases skipped)"
server_running && fail "a server is left running after the test command"
log=$cache/$tag-reproduce.log
run_script "reproducibility check" scripts/reproduce.sh
step "$suite: Debian and source packages reproducible ($(grep -c 'the same bytes' "$log") of 2)"
if [ "$mysql" = 1 ]; then
    for package in mysql-server-core mysql-client; do
        [ "$(in_root dpkg-query -W -f='${Status}' "$package")" = "install ok installed" ] ||
            fail "$package is no longer installed"
    done
    if in_root dpkg-query -W -f='${Status}\n' 'mariadb-server*' 2>/dev/null | grep -q 'ok installed'; then
        fail "a MariaDB server package was installed"
    fi
    # The program alone: the test command left build/ configured with the tests.
    warnings=$("${run_as[@]}" bash -c "cd ~/music-inventory && cmake --build build --clean-first --target music-inventory 2>&1" |
        grep -c 'warning' || true)
    [ "$warnings" = 0 ] || fail "the build showed $warnings warnings"
    step "$suite: MySQL still installed, no MariaDB server, built without a warning"
    move_between_mariadb_and_mysql
fi
step "$label: passed, no server left running"
