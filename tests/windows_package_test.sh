#!/usr/bin/env bash
# Makes the Windows installer and ZIP, installs the installer silently into
# a fresh Wine prefix, checks that the DLLs and the licence notices are
# beside the program in the 64-bit Program Files, runs the installed program
# against a closed port and then against the private server in DATADIR
# (started with --tcp), and checks that the ZIP holds the DLLs too.
#
#   windows_package_test.sh BUILD DATADIR
set -euo pipefail
build=$1
datadir=$2
dbserver=$(cd "$(dirname "$0")/.." && pwd)/scripts/dbserver.sh
scratch=$(mktemp -d)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all
# No Gecko or Mono to offer: those prompts would want a display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine 10's Wayland driver complains on standard error without a runtime
# folder, even with nothing to show; an empty private one quiets it.
export XDG_RUNTIME_DIR=$scratch/run
# Debian 12 and 13 put wineserver on PATH; sid keeps it in Wine's own folder.
wineserver=$(command -v wineserver || command -v wineserver-stable ||
    ls /usr/lib/x86_64-linux-gnu/wine/wineserver /usr/lib/wine/wineserver64 2>/dev/null | head -n 1 || true)
mkdir -m 700 "$XDG_RUNTIME_DIR"
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "windows package: $*" >&2
    exit 1
}

(cd "$build" && cpack -G "NSIS;ZIP" >/dev/null)
installer=$(ls "$build"/music-inventory-*-win64.exe)
zip=$(ls "$build"/music-inventory-*-win64.zip)

# A 64-bit installer: Windows runs it with the 64-bit Program Files as its
# own, with nothing to detect.
format=$(x86_64-w64-mingw32-objdump -f "$installer" | grep -o 'file format .*')
[ "$format" = "file format pei-x86-64" ] || fail "the installer is not a 64-bit program: $format"

# The prefix is made before the installer runs, as Windows is set up before
# anything is installed on it.
wine wineboot --init >/dev/null 2>&1
"$wineserver" -w
wine "$installer" /S >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log" >&2; fail "installer failed"; }
"$wineserver" -w
folder="$WINEPREFIX/drive_c/Program Files/music-inventory"
[ -d "$folder" ] || fail "nothing installed in the 64-bit Program Files; the program went to:" \
    "$(cd "$WINEPREFIX/drive_c" && find . -name music-inventory.exe -printf '%h ')"
[ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/music-inventory" ] ||
    fail "installed in Program Files (x86)"
shipped=(
    music-inventory.exe mysqlpp.dll libmariadb.dll libutf8proc.dll
    libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll libssp-0.dll
    LICENSE.txt README-Windows.txt music-inventory-window.cmd
    licenses/mysql++/LICENSE.txt licenses/mysql++/COPYING.txt
    licenses/mariadb-connector-c/COPYING.LIB.txt
    licenses/mariadb-connector-c/connector-c-no-plugin-files.patch.txt
    licenses/utf8proc/LICENSE.md.txt licenses/SOURCES.txt
)
for file in "${shipped[@]}"; do
    [ -f "$folder/$file" ] || fail "not installed: $file"
done
# Every client plugin wanted is built in; none may come as a file.
[ ! -e "$folder/plugin" ] || fail "a plugin folder was installed"

# As Windows expects: every text with Windows line ends; the program with
# its version; the list of installed programs with its icon, size and
# version.
while IFS= read -r -d '' text; do
    ! grep -qP '(?<!\r)$' "$text" || fail "not with Windows line ends: ${text#"$folder"/}"
done < <(find "$folder" \( -name '*.txt' -o -name '*.cmd' \) -print0)
strings -el "$folder/music-inventory.exe" | grep -qx 'FileVersion' ||
    fail "the program has no version information"
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\music-inventory'
entry=$(wine reg query "$uninstall" 2>/dev/null | tr -d '\r')
for value in 'DisplayIcon.*music-inventory\.exe' 'DisplayVersion.*1\.0\.0' 'EstimatedSize.*0x[0-9a-f]*[1-9a-f]'; do
    grep -qE "$value" <<<"$entry" || fail "the installed programs' entry lacks $value: $entry"
done

# Windows' localhost is TCP, to the port MYSQL_TCP_PORT names: one just
# freed, where nothing listens.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
status=0
MYSQL_TCP_PORT=$port wine 'C:\Program Files\music-inventory\music-inventory.exe' \
    </dev/null >"$scratch/out" 2>"$scratch/err" || status=$?
errors=$(tr -d '\r' <"$scratch/err")
if [ "$status" != 1 ] || [ -s "$scratch/out" ] || [ "$(wc -l <<<"$errors")" != 1 ] ||
    [[ $errors != "Connection failed: "* ]]; then
    fail "installed program: status $status, output: $(cat "$scratch/out"), errors: $errors"
fi

# Started from the Start menu, the program runs in a window that stays open
# after it ends, its failure line and all: the entry runs the launcher.
shortcut=$(cd "$WINEPREFIX/drive_c" && find . -name music-inventory.lnk)
[[ $shortcut == */"Start Menu/Programs/music-inventory/music-inventory.lnk" ]] ||
    fail "no Start menu entry in a folder music-inventory: ${shortcut:-none}"
status=0
printf 'x\r\n' | MYSQL_TCP_PORT=$port wine cmd /c 'C:\Program Files\music-inventory\music-inventory-window.cmd' \
    >"$scratch/out" 2>"$scratch/err" || status=$?
if ! grep -q '^Connection failed: ' "$scratch/err" || ! grep -q 'Press any key' "$scratch/out"; then
    fail "the launcher: status $status, output: $(cat "$scratch/out"), errors: $(cat "$scratch/err")"
fi

# The installed program on the server with the sample inventory: the artist
# table, "Björk" lined up with the ASCII names.
"$dbserver" load "$datadir" >/dev/null
status=0
printf '0\n4\n' | MYSQL_TCP_PORT=$("$dbserver" port "$datadir") \
    wine 'C:\Program Files\music-inventory\music-inventory.exe' >"$scratch/out" 2>"$scratch/err" ||
    status=$?
output=$(tr -d '\r' <"$scratch/out")
if [ "$status" != 0 ] || [ -s "$scratch/err" ] ||
    ! grep -qx '2              David               Bowie' <<<"$output" ||
    ! grep -qx '3              Björk               Guðmundsdóttir' <<<"$output"; then
    fail "installed program on the server: status $status, output: $output, errors: $(cat "$scratch/err")"
fi

# Uninstalled, it leaves neither files nor an empty registry key.
wine "$folder/Uninstall.exe" /S >/dev/null 2>&1
"$wineserver" -w
[ ! -e "$folder/music-inventory.exe" ] || fail "the uninstaller left the program"
[ ! -e "$WINEPREFIX/drive_c/$shortcut" ] || fail "the uninstaller left the Start menu entry"
if wine reg query 'HKLM\Software\the music-inventory developers' >/dev/null 2>&1; then
    fail "the uninstaller left the registry key of the music-inventory developers"
fi

listing=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
for file in "${shipped[@]}"; do
    grep -q "/$file\$" <<<"$listing" || fail "not in the ZIP: $file"
done
