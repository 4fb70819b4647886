# shellcheck shell=bash disable=SC2154 # name and command are the sourcing script's
# What dbserver.sh and cluster.sh share: folders that only their owner may
# enter (the data or cluster folder and its socket folder), the server's
# programs found outside PATH, telling their own processes from others, and
# telling a full disk.
# Sourced once `name`, `fail` and `command` are set.

uid=$(id -u)

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
    local arguments argument
    # Read by the shell itself: it is asked of every process when a script
    # looks for its own.
    { mapfile -t -d '' arguments <"/proc/$1/cmdline"; } 2>/dev/null || return 1
    for argument in "${arguments[@]}"; do
        [ "$argument" = "$2" ] && return 0
    done
    return 1
}

# True when process $1 is stopped by a signal (SIGSTOP, Ctrl-Z): until it is
# resumed it acts on no other signal but SIGKILL, and answers nothing.
is_stopped() {
    local stat
    { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
    stat=${stat##*) }
    [[ ${stat%% *} == [tT] ]]
}

# True when the device holding folder $1 is (nearly) full, or one of the
# logs given after it says the server found it so (before the stack trace
# of a server that it made abort).
space_exhausted() {
    local folder=$1 available
    shift
    available=$(df -Pk "$folder" 2>/dev/null | awk 'NR == 2 { print $4 }')
    [ -n "$available" ] && [ "$available" -lt 2048 ] && return 0
    [ $# -gt 0 ] && tail -n 200 "$@" 2>/dev/null |
        grep -qiE 'no space left|disk (is )?full|out of disk space|errno:? ?28|error:? ?28'
}
