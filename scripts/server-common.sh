# shellcheck shell=bash disable=SC2154 # name and command are the sourcing script's
# What dbserver.sh and cluster.sh share: their commands and arguments, folders
# that only their owner may enter (the data or cluster folder and its socket
# folder), the server's programs found outside PATH, finding their own
# processes among others', and telling a full disk. Sourced once `name`,
# `fail` and `command` are set.

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

# Where a user's data goes by default. A relative XDG_DATA_HOME is ignored,
# as the desktop's own programs ignore it: it would name another folder in
# each working folder.
data_home() {
    if [[ ${XDG_DATA_HOME:-} == /* ]]; then echo "$XDG_DATA_HOME"; else echo "$HOME/.local/share"; fi
}

# The arguments of run: [FOLDER [--]] [PROGRAM [ARG...]]. The first is the
# folder only when it is a folder already, or -- follows it, or a program
# follows it and it is no program itself: "run bash -c ..." runs bash, and
# "run nice music-inventory" nice, rather than make a folder of that name. Sets
# run_folder (empty for the default one) and run_command, whose program is
# checked before anything starts. run_arguments DEFAULT_PROGRAM ARG...
# shellcheck disable=SC2034 # both are the sourcing script's
run_arguments() {
    local default_program=$1
    shift
    run_folder=
    if [ $# -gt 0 ] && [[ $1 != -* ]] &&
        { [ -d "$1" ] || [ "${2:-}" = -- ] ||
            { [ $# -gt 1 ] && ! type -P -- "$1" >/dev/null && type -P -- "$2" >/dev/null; }; }; then
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

# ---------------------------------------------------------------------------
# Replacing the whole inventory, with a dump or with the sample. These
# functions are given their logins as the names of functions that run the
# client with the arguments that follow: LOGIN as the administrator, who may
# do anything, RESTORER as the account that reads a dump. A failure of the
# server's goes to the sourcing script's `refuse WHAT OUTPUT`, which fails
# with one line: WHAT failed, why (the client's OUTPUT, a full disk, a lock
# held elsewhere), and that the inventory was left unchanged.

# A dump is the rows of both tables as INSERT statements of the server's own
# dump program, between a first and a last line of ours: a file without the
# first is not a dump, one without the last was cut short.
dump_header="-- music-inventory dump: every artist and song, for: music-inventory-server restore"
dump_trailer="-- end of the music-inventory dump"
inventory_tables=(Artists Songs)
staging=music_inventory_restore
restorer_account=music-inventory-restore

# Text of the server's or of a dump's, fit for a terminal: without control
# characters, whether 7-bit or 8-bit in UTF-8.
printable() {
    LC_ALL=C sed -e 's/[\x01-\x08\x0b-\x1f\x7f]//g' -e 's/\xc2[\x80-\x9f]//g'
}
# The line of a client's output that says what went wrong.
first_error() {
    { grep -m 1 '^ERROR' <<<"$1" || echo "${1%%$'\n'*}"; } | printable
}

# Refuses FILE, a copy of standard input, unless it is a whole dump as dump
# writes it: our first and last lines around it, UTF-8 throughout.
check_dump() {
    local file=$1 first last problem line=''
    first=$(head -n 1 "$file")
    last=$(tail -n 1 "$file")
    if [ "$first" = "$dump_header"$'\r' ] || [ "$last" = "$dump_trailer"$'\r' ]; then
        fail "the dump on standard input has CR LF line ends, as a Windows program may save it; restore it with LF ones again (sed 's/\\r\$//'); the inventory was left unchanged"
    fi
    [ "$first" = "$dump_header" ] ||
        fail "standard input is not a dump made by $name dump; the inventory was left unchanged"
    [ "$last" = "$dump_trailer" ] ||
        fail "the dump on standard input is cut short (its last line is missing); the inventory was left unchanged"
    # Bytes of another encoding (a name saved as Latin-1) would otherwise
    # reach the server, which makes each one a question mark.
    if ! problem=$(iconv -f UTF-8 -t UTF-8 "$file" 2>&1 >/dev/null); then
        if [[ $problem =~ position\ ([0-9]+) ]]; then
            line=$(($(head -c "${BASH_REMATCH[1]}" "$file" | wc -l) + 1))
        fi
        fail "the dump on standard input is not valid UTF-8${line:+ (its line $line is not)}, as every dump is; the inventory was left unchanged"
    fi
}

# Rolls back every prepared XA transaction of the server. Neither the
# program nor these scripts use XA; one left prepared, by a dump or by hand,
# keeps its locks past its session and past a restart, and would stop every
# later load and restore. MariaDB lists each as SQL, MySQL as the hex of its
# two parts together.
clear_prepared_xa() {
    local login=$1 part="(X'[0-9A-Fa-f]*'|'[^'\\]*')" xids xid
    [ -n "${server_brand:-}" ] || server_brand=$("$login" -N -e 'select version()' 2>/dev/null) || return 0
    # A server that fails here fails the next step too, which says why.
    if [[ $server_brand == *MariaDB* ]]; then
        xids=$("$login" -N -e "xa recover format='SQL'" | cut -f 4) || return 0
    else
        xids=$("$login" -N -e 'xa recover convert xid' | awk -F '\t' '{
            hex = substr($4, 3)
            printf "X\047%s\047,X\047%s\047,%s\n", substr(hex, 1, 2 * $2), substr(hex, 2 * $2 + 1, 2 * $3), $1
        }') || return 0
    fi
    while read -r xid; do
        if [[ $xid =~ ^$part(,$part)?(,[0-9]+)?$ ]]; then
            # MariaDB reports a branch it rolled back as an error.
            "$login" -e "xa rollback $xid" >/dev/null 2>&1 || true
        fi
    done <<<"$xids"
}

# fail_if_held LOGIN OUTPUT: when the client's OUTPUT says that it waited
# for a lock in vain, fails naming the sessions that hold locks in a
# transaction, or else (LOCK TABLES holds none) every other session.
fail_if_held() {
    [[ $2 == *"Lock wait timeout exceeded"* ]] || return 0
    local holders
    holders=$("$1" -N -e "
        select concat(ifnull(concat(p.user, '@', p.host, ' (connection ', p.id, ')'),
                             'a prepared XA transaction'),
                      ', in a transaction for ', timestampdiff(second, t.trx_started, now()), ' seconds')
        from information_schema.innodb_trx t
            left join information_schema.processlist p on p.id = t.trx_mysql_thread_id
        where t.trx_mysql_thread_id <> connection_id() and t.trx_lock_structs > 0
        order by t.trx_started" 2>/dev/null) || true
    if [ -z "$holders" ]; then
        holders=$("$1" -N -e "
            select concat(user, '@', host, ' (connection ', id, '), ',
                          if(command = 'Sleep', 'idle', concat('running ', lower(command))), ' for ', time, ' seconds')
            from information_schema.processlist
            where id <> connection_id() and command <> 'Daemon' and user not in ('system user', 'event_scheduler')
            order by id" 2>/dev/null) || true
    fi
    holders=$(printable <<<"$holders" | awk 'NF { printf "%s%s", n++ ? "; " : "", $0 }')
    [ -n "$holders" ] ||
        fail "another session held the inventory longer than this one could wait, and has let go since; try again; the inventory was left unchanged"
    fail "another session holds the inventory: $holders; end it, then try again; the inventory was left unchanged"
}

# inventory_columns LOGIN TABLE: sets table_columns to the inventory
# TABLE's columns in order, each quoted as an identifier, one a line. The
# server is asked once for each table.
declare -A inventory_column_lists
inventory_columns() {
    local output
    if [ -z "${inventory_column_lists[$2]:-}" ]; then
        output=$("$1" -N -e "
            select concat('\`', replace(column_name, '\`', '\`\`'), '\`')
            from information_schema.columns
            where table_schema = 'Music_Inventory' and table_name = '$2' order by ordinal_position" 2>&1) ||
            refuse "reading the inventory's tables failed" "$output"
        inventory_column_lists[$2]=$output
    fi
    table_columns=${inventory_column_lists[$2]}
}

# make_staging LOGIN PASSWORD: the staging database made anew, and the
# restoring account with PASSWORD, which may only make temporary tables
# there: it can neither write a table of the server's nor change a setting,
# read_only included. For each table, "TABLE as dumped" takes the dump's
# rows as they are, every column a longblob after the order they came in,
# and TABLE, like the inventory's, the same rows once checked.
make_staging() {
    local login=$1 table columns tables='' output
    for table in "${inventory_tables[@]}"; do
        inventory_columns "$login" "$table"
        columns=$(sed 's/$/ longblob/' <<<"$table_columns" | paste -sd ,)
        tables+="create table $staging.\`$table as dumped\` (\`restore order\` serial, $columns);
create table $staging.\`$table\` like Music_Inventory.\`$table\`;
"
    done
    output=$("$login" 2>&1 <<EOF
drop database if exists $staging;
create database $staging;
$tables
drop user if exists '$restorer_account'@localhost;
create user '$restorer_account'@localhost identified by '$2';
grant create temporary tables on $staging.* to '$restorer_account'@localhost;
EOF
    ) || refuse "making the staging database failed" "$output"
}
# remove_staging LOGIN: what a restore leaves on the server while it runs.
remove_staging() {
    "$1" -e "drop database if exists $staging; drop user if exists '$restorer_account'@localhost"
    clear_prepared_xa "$1"
}

# stage_dump LOGIN RESTORER FILE ROWS: the dump in FILE in the staging
# database, each row checked. The restoring account reads the dump into
# temporary tables of its own as wide as the staging ones, so that nothing
# the dump's session sets (strict mode off, a transaction never committed)
# can change or lose a row, and then, after a line the dump cannot know,
# writes every row out as hex into ROWS. Values of over 1 MB, more than the
# inventory takes and more than hex() may return, come out as "L".
stage_dump() {
    local login=$1 restorer=$2 file=$3 rows=$4 mark table column columns temporary='' export='' errors
    mark=restore-$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')
    for table in "${inventory_tables[@]}"; do
        inventory_columns "$login" "$table"
        mapfile -t columns <<<"$table_columns"
        temporary+="create temporary table $staging.\`$table\` (\`restore order\` serial"
        export+="select '$table'"
        for column in "${columns[@]}"; do
            temporary+=", $column longblob"
            export+=", if(length($column) > 1048576, 'L', hex($column))"
        done
        temporary+="); "
        export+=" from $staging.\`$table\` order by \`restore order\`;"$'\n'
    done
    # The dump's first line is a comment: the temporary tables go before it
    # on the same line, so that the client's line numbers are the dump's.
    # Its end goes back to the usual delimiter, character set and mode, and
    # to every row of a select: a dump may have capped them.
    if ! errors=$({
        printf %s "$temporary"
        cat "$file"
        printf "\ndelimiter ;\nset names utf8mb4;\nset session sql_mode = default, sql_select_limit = default;\nselect '%s';\n%sselect '%s end';\n" \
            "$mark" "$export" "$mark"
    } | "$restorer" -N --batch --binary-mode "$staging" 2>&1 >"$rows"); then
        refuse "the dump could not be loaded" "$errors"
    fi
    grep -qxF "$mark end" "$rows" ||
        fail "the dump on standard input does not end at its last line: a quote, a comment or a statement left open there takes in what follows; the inventory was left unchanged"
    # Only hex digits reach the administrator's session.
    if ! errors=$(awk -F '\t' -v mark="$mark" -v staging="$staging" -v tables=" ${inventory_tables[*]} " '
        BEGIN { print "start transaction;" }
        $0 == mark " end" { copying = 0 }
        copying {
            if (!index(tables, " " $1 " ")) exit 1
            row = "insert into " staging ".`" $1 " as dumped` values (null"
            for (i = 2; i <= NF; i++) {
                if ($i == "NULL") value = "null"
                else if ($i == "L") value = "repeat(\047x\047, 1048577)"
                else if ($i ~ /^[0-9A-F]*$/) value = "unhex(\047" $i "\047)"
                else exit 1
                row = row ", " value
            }
            print row ");"
        }
        $0 == mark { copying = 1 }
        END { print "commit;" }' "$rows" | "$login" 2>&1); then
        refuse "the dump's rows could not be staged" "$errors"
    fi
    rm -f "$rows"
    for table in "${inventory_tables[@]}"; do check_staged "$login" "$table"; done
}

# check_staged LOGIN TABLE: TABLE's rows as dumped, copied into TABLE in the
# staging database in a strict session of the administrator's. A value that
# would be stored otherwise than it was written (cut, rounded, out of range,
# not a number, or bytes that are no character) fails, and so does a change
# the server counts only as a note: each names the table and the row.
check_staged() {
    local login=$1 table=$2 columns output problem row key
    inventory_columns "$login" "$table"
    columns=$(paste -sd , <<<"$table_columns")
    if output=$("$login" -N 2>&1 <<EOF
set session sql_mode = 'STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION';
insert into $staging.\`$table\` ($columns)
    select $columns from $staging.\`$table as dumped\` order by \`restore order\`;
show warnings;
EOF
    ) && [ -z "$output" ]; then
        return 0
    fi
    problem=$(first_error "$output" | sed -E -e 's/^ERROR [0-9]+ \([^)]*\)( at line [0-9]+)?: //' \
        -e 's/^(Note|Warning|Error)\t[0-9]+\t//' -e "s/\`$staging\`\\.//g")
    if [[ $problem =~ ^(.*)\ at\ row\ ([0-9]+)$ ]]; then
        problem=${BASH_REMATCH[1]} row=${BASH_REMATCH[2]}
        key=$("$login" -N -e "select concat(replace('${columns%%,*}', '\`', ''), ' ',
                quote(convert(left(${columns%%,*}, 40) using utf8mb4)))
            from $staging.\`$table as dumped\` order by \`restore order\` limit $((row - 1)), 1" | printable)
        fail "row $row of $table in the dump${key:+ ($key)} would not be restored as it is: $problem; the inventory was left unchanged"
    elif [[ $problem == "Duplicate entry"* ]]; then
        fail "the dump holds two rows of $table with the same key: $problem; the inventory was left unchanged"
    fi
    refuse "checking the dump's $table failed" "$output"
}

# replace_inventory LOGIN: in one transaction, the inventory's rows become
# the checked ones of the staging database; sets inventory_counts to how
# many of each there are now. A lock held elsewhere is waited for no longer
# than a row's.
replace_inventory() {
    local output
    if ! output=$("$1" -N 2>&1 <<EOF
set session lock_wait_timeout = @@innodb_lock_wait_timeout;
start transaction;
delete from Music_Inventory.Songs;
delete from Music_Inventory.Artists;
insert into Music_Inventory.Artists select * from $staging.Artists;
insert into Music_Inventory.Songs select * from $staging.Songs;
commit;
select concat((select count(*) from Music_Inventory.Artists), ' artists and ',
    (select count(*) from Music_Inventory.Songs), ' songs');
EOF
    ); then
        refuse "replacing the inventory failed" "$output"
    fi
    # shellcheck disable=SC2034 # for the sourcing script
    inventory_counts=$output
}

# replace_with_sample LOGIN SQL_DIR: the inventory's tables made where
# missing, then every artist and song replaced with the sample's, which
# empties and fills the tables in one transaction: a failure anywhere, or
# the client's end, rolls all of it back. A lock held elsewhere is waited
# for no longer than a row's.
replace_with_sample() {
    local errors
    clear_prepared_xa "$1"
    if ! errors=$({ "$1" <"$2/schema.sql" &&
        "$1" --init-command='set session lock_wait_timeout = @@innodb_lock_wait_timeout' \
            <"$2/sample.sql"; } 2>&1); then
        refuse "loading the sample failed" "$errors"
    fi
}

# Writes a client option file $2 for account $1 with a fresh random
# password, and prints the password.
login_file() {
    local login_password
    login_password=$(head -c 24 /dev/urandom | base64 | tr -d '/+=')
    printf '[client]\nuser=%s\npassword=%s\n' "$1" "$login_password" >"$2"
    echo "$login_password"
}

# A restore reads its dump from standard input: from a terminal, it would
# wait for one unannounced, with the server started for it.
refuse_terminal_input() {
    if [ -t 0 ]; then
        echo "$name: restore reads a dump from standard input ($name restore [FOLDER] <inventory.sql)" >&2
        exit 2
    fi
}

# restore_dump LOGIN RESTORER FILE ROWS CNF: the inventory replaced with the
# dump in FILE (standard input's copy), which is loaded by RESTORER, an
# account that may only make temporary tables, with the client's commands
# off, and checked in a database of its own; only then does one transaction
# of LOGIN's replace the inventory with it. Neither a statement of the dump
# nor its failure can touch the inventory or a setting of the server's.
# ROWS is a scratch file, CNF the restoring account's login; staging_begun
# is set once the server holds something of the restore's.
restore_dump() {
    local login=$1 restorer=$2 file=$3 rows=$4 cnf=$5 restorer_password
    check_dump "$file"
    # shellcheck disable=SC2034 # the sourcing script's, for its clean-up
    staging_begun=1
    clear_prepared_xa "$login"
    restorer_password=$(login_file "$restorer_account" "$cnf" 2>&1) ||
        refuse "writing the restoring account's login failed" "$restorer_password"
    make_staging "$login" "$restorer_password"
    stage_dump "$login" "$restorer" "$file" "$rows"
    replace_inventory "$login"
}

# dump_inventory DUMP_PROGRAM LOGIN_OPTION...: the whole inventory on
# standard output as a dump, read by the server's own dump program logged
# in with the options given (its option file first).
dump_inventory() {
    local dump_program=$1
    shift
    local options=(--single-transaction --no-create-info --skip-add-locks --skip-disable-keys
        --complete-insert --skip-comments --no-tablespaces --order-by-primary
        --default-character-set=utf8mb4)
    # MySQL's own option: no GTID statements, which only replication wants.
    "$dump_program" --version 2>/dev/null | grep -q MariaDB || options+=(--set-gtid-purged=OFF)
    echo "$dump_header"
    # MariaDB's first line, a client command that MySQL's client rejects, is
    # left out; restore runs no client commands anyway.
    "$dump_program" "$@" "${options[@]}" Music_Inventory Artists Songs |
        sed '/^\/\*M!999999\\- enable the sandbox mode \*\/ *$/d' ||
        fail "the dump failed; what was written lacks its last line, so restore refuses it"
    echo "$dump_trailer"
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

present() {
    local found=''
    look_for found "$1" && [ -n "$found" ]
}
# MySQL's server is the one installed (MariaDB's installs a mysqld too):
# the private server and the cluster are then MySQL's.
mysql_server_installed() {
    present mysqld && ! present mariadbd
}

# What turns TLS off for one of the client programs: the scripts' own
# logins are on a private socket or loopback, and a newer MariaDB client
# would otherwise refuse an older server that offers no TLS.
no_tls() {
    if "$1" --version 2>/dev/null | grep -q MariaDB; then echo --skip-ssl; else echo --ssl-mode=DISABLED; fi
}

# wait_for_program PID NAME...: waits (5 seconds at most) until PID, just
# launched by setsid in the background, runs one of the programs NAME or has
# ended: until then it is still a copy of the script, or setsid.
wait_for_program() {
    local pid=$1 exe
    shift
    for _ in $(seq 1 500); do
        exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || return 0
        [[ " $* " != *" ${exe##*/} "* ]] || return 0
        sleep 0.01
    done
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
# Path $1 as one word of HAProxy's configuration, quoted so that a space or
# a '#' in it stays part of it; a quote or a line break cannot be written.
haproxy_path() {
    [[ $1 != *"'"* && $1 != *$'\n'* ]] ||
        fail "HAProxy cannot be given $1: its path holds a quote or a line break; choose another folder"
    printf "'%s'" "$1"
}

# The last $2 lines of a log, for a failure: without the control characters
# that could drive the terminal (a log holds what clients and the server
# wrote, a name given at a refused login among it).
show_log() {
    tail -n "$2" "$1" 2>/dev/null | LC_ALL=C tr -d '\000-\010\013-\037\177' >&2 || true
}

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
