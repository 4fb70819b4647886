#!/bin/sh
# A Wine prefix of the tests' own, made anew for each run, with its Wine
# server kept running until the run ends: a server started for each program
# costs a second, and its helpers would hold the program's pipes open for
# seconds after it ends.
#
#   wine_prefix.sh start|stop PREFIX
set -eu
[ $# = 2 ] || { echo "usage: $0 start|stop PREFIX" >&2; exit 2; }
export WINEPREFIX="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset DISPLAY WAYLAND_DISPLAY
# Debian 12 and 13 put wineserver on PATH; sid keeps it in Wine's own folder.
wineserver=$(command -v wineserver || command -v wineserver-stable ||
    ls /usr/lib/x86_64-linux-gnu/wine/wineserver /usr/lib/wine/wineserver64 2>/dev/null | head -n 1 || true)
case $1 in
start)
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Nothing Wine leaves running may hold the test runner's output open.
    "$wineserver" -p </dev/null >/dev/null 2>&1
    wine wineboot --init </dev/null >/dev/null 2>&1
    # Wine's desktop, which a console needs, with no display; kept alive by a
    # window of its own (Wine's file manager, never shown), as it ends soon
    # after its last program. A program on a terminal that has to start it
    # waits ten seconds and may lose its first keys to it.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    setsid wine explorer.exe </dev/null >/dev/null 2>&1 &
    ;;
stop) "$wineserver" -k 2>/dev/null || true ;;
*) echo "usage: $0 start|stop PREFIX" >&2; exit 2 ;;
esac
