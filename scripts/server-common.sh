# shellcheck shell=bash disable=SC2154 # name and command are the sourcing script's
# What dbserver.sh and cluster.sh share: their commands and arguments, folders
# that only their owner may enter (the data or cluster folder and its socket
# folder), the server's programs found outside PATH, and finding their own
# processes among others'. Sourced once `name`, `fail` and `command` are set.

uid=$(id -u)

# check_command COMMANDS WORD: -h or --help prints the usage, the script's
# header with WORD standing for the name it was run by; a command not among
# COMMANDS is named, then the usage follows on standard error.
check_command() {
    local known
    for known in $1; do [ "$command" != "$known" ] || return 0; done
    case $command in
    -h | --help)
        usage "$2"
        exit 0
        ;;
    esac
    [ -z "$command" ] || echo "$name: unknown command $command" >&2
    usage "$2" >&2
    exit 2
}
usage() {
    sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e "s/^# \{0,1\}//" -e "s/^  $1 /  $name /"
}

# Where a user's data goes by default. The XDG specification has a relative
# XDG_DATA_HOME ignored: it would name another folder in each working folder.
data_home() {
    if [[ ${XDG_DATA_HOME:-} == /* ]]; then echo "$XDG_DATA_HOME"; else echo "$HOME/.local/share"; fi
}

# The arguments of run: [FOLDER [--]] [PROGRAM [ARG...]]. The first is the
# folder only when it is a folder already, or a program or -- follows it:
# "run bash -c ..." runs bash rather than make a folder named bash. Sets
# run_folder (empty for the default one) and run_command, whose program is
# checked before anything starts. run_arguments DEFAULT_PROGRAM ARG...
# shellcheck disable=SC2034 # both are the sourcing script's
run_arguments() {
    local default_program=$1
    shift
    run_folder=
    if [ $# -gt 0 ] && [[ $1 != -* ]] &&
        { [ -d "$1" ] || [ "${2:-}" = -- ] || { [ $# -gt 1 ] && type -P -- "$2" >/dev/null; }; }; then
        run_folder=$1
        shift
    fi
    if [ "${1:-}" = -- ]; then shift; fi
    [ $# -gt 0 ] || set -- "$default_program"
    run_command=("$@")
    type -P -- "$1" >/dev/null && return 0
    if [ "$1" = "$default_program" ] && [ -n "${checkout:-}" ]; then
        fail "there is no $1 to run; build it first (cmake -S . -B build && cmake --build build, in $checkout)"
    elif [ -z "$run_folder" ] && [[ $1 != */* ]]; then
        fail "there is no program $1, nor a folder $1 (a new folder is made when a program or -- follows it)"
    fi
    fail "there is no program $1"
}

# Refuses anything but a real folder of this user that only its owner may enter.
check_private() {
    if [ -L "$1" ] || [ ! -d "$1" ] || [ "$(stat -c '%u %a' "$1")" != "$uid 700" ]; then
        fail "$1 is not a folder of $(id -un) that only its owner may enter (a real folder, mode 700); refusing it"
    fi
}
private_folder() {
    if [ ! -e "$1" ] && [ ! -L "$1" ]; then mkdir -m 700 "$1"; fi
    check_private "$1"
}

# open_folder DIR KIND MAKERS: sets `folder` to DIR's real path, made when
# missing by one of the commands in MAKERS; without it, stop has nothing to
# do and status finds nothing running. A link is refused as the folder itself
# (its target may be anyone's and change under us); links higher up the
# path, a linked home, are fine. A folder of this user that no one else
# could write to is only tightened; one that others could have planted files
# in is refused.
open_folder() {
    local dir=$1 kind=$2 makers=" $3 " given=$1
    while [[ $given == */ && $given != / ]]; do given=${given%/}; done
    if [ -L "$given" ]; then
        fail "$dir is a link; name the folder it leads to instead; refusing it"
    fi
    if [ ! -e "$dir" ]; then
        if [[ $makers == *" $command "* ]]; then
            mkdir -p "$dir"
        elif [ "$command" = stop ]; then
            exit 0
        elif [ "$command" = status ]; then
            exit 1
        else
            fail "there is no $kind $dir (make it with: $name start '$dir')"
        fi
    fi
    folder=$(cd "$dir" 2>/dev/null && pwd -P) || fail "cannot enter the $kind $dir"
    if [ "$(stat -c %u "$folder")" = "$uid" ] && [ -z "$(find "$folder" -maxdepth 0 -perm /022)" ]; then
        chmod 700 "$folder"
    fi
    check_private "$folder"
}

# choose_socket_folder FOLDER PREFIX MAKERS: sets `socket_dir`. A socket path
# holds at most 107 bytes. A folder too deep for that gets a fresh folder
# from mktemp, whose name only FOLDER records; one that is gone (a reboot
# empties /tmp) is replaced by another fresh one, by the commands in MAKERS.
# A socket folder that is there is refused unless private: a planted one
# before any login.
choose_socket_folder() {
    local folder=$1 prefix=$2 makers=" $3 " record=$1/socket-folder
    socket_dir=$folder/run
    if [ ${#folder} -gt 80 ]; then
        socket_dir=
        if [ -s "$record" ]; then socket_dir=$(cat "$record"); fi
        if [ -z "$socket_dir" ] || { [ ! -e "$socket_dir" ] && [ ! -L "$socket_dir" ]; }; then
            if [[ $makers == *" $command "* ]]; then
                socket_dir=$(mktemp -d "${TMPDIR:-/tmp}/$prefix.XXXXXXXX")
                echo "$socket_dir" >"$record"
            else
                # Nothing can be listening without the folder.
                socket_dir=$folder/no-socket-folder
            fi
        elif [ -L "$socket_dir" ] || [ "$(stat -c '%u %a' "$socket_dir")" != "$uid 700" ]; then
            fail "$socket_dir, the socket folder that $record names, is not a folder of $(id -un) that only its owner may enter; refusing it (remove $record to have a new one made)"
        fi
    fi
    if [ -e "$socket_dir" ] || [ -L "$socket_dir" ]; then check_private "$socket_dir"; fi
}

# The server's programs live in sbin, which a normal user's PATH lacks.
# look_for VARIABLE PROGRAM...: sets VARIABLE to the first one found.
look_for() {
    local variable=$1 program folder
    shift
    for program in "$@"; do
        for folder in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin /sbin /bin; do
            if [ -x "$folder/$program" ]; then
                printf -v "$variable" %s "$folder/$program"
                return 0
            fi
        done
    done
    return 1
}

# A PID from a file may since belong to anything. own_program PID prints
# the program that PID runs when it is a process of this user under this
# root (not another user's, nor one in a chroot); has_argument PID ARGUMENT
# tells whether ARGUMENT is one of its command line's.
own_root=$(readlink /proc/self/root)
own_program() {
    local exe
    [[ $1 =~ ^[0-9]+$ ]] || return 1
    [ "$(stat -c %u "/proc/$1" 2>/dev/null)" = "$uid" ] || return 1
    [ "$(readlink "/proc/$1/root" 2>/dev/null)" = "$own_root" ] || return 1
    exe=$(readlink "/proc/$1/exe" 2>/dev/null) || return 1
    echo "${exe% (deleted)}"
}
has_argument() {
    { tr '\0' '\n' <"/proc/$1/cmdline"; } 2>/dev/null | grep -qxF -- "$2"
}

# own_processes ARGUMENT CHECK [ARG...]: prints the PID of each process of
# this user that has ARGUMENT on its command line and passes CHECK PID
# ARG...: found by the process itself, which a start killed before its
# program wrote the PID file leaves unnamed. Builtins alone until CHECK:
# every process is looked at.
own_processes() {
    local argument=$1 entry arguments one
    shift
    for entry in /proc/[0-9]*; do
        [ -O "$entry" ] || continue
        { mapfile -d '' -t arguments <"$entry/cmdline"; } 2>/dev/null || continue
        for one in "${arguments[@]}"; do
            if [ "$one" = "$argument" ]; then
                if "$1" "${entry#/proc/}" "${@:2}"; then echo "${entry#/proc/}"; fi
                break
            fi
        done
    done
}
