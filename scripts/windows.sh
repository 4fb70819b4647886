#!/usr/bin/env bash
# usage: scripts/windows.sh [--no-tests]
#
# Builds the program for 64-bit Windows on Debian (13 or 12), with its NSIS
# installer and ZIP, and runs the cross build's tests under Wine.
#
# Installs whatever is missing of the cross compiler, Wine, NSIS, the tools
# and, for the tests, a database server as scripts/setup.sh picks it (sudo
# when not run as root; nothing installed is removed). Fetches
# the pinned Debian source packages of MariaDB (for Connector/C), MySQL++ and
# utf8proc through an apt configuration of its own under build-windows/apt,
# so the system's is never changed; apt checks them against Debian's signed
# index, and each .dsc is checked against the hash pinned below too. Builds
# them for Windows once into build-windows/deps-*, a folder of their own for
# each set of pins and build steps, then the program in build-windows, its
# installer and ZIP, and runs ctest there; with --no-tests it stops once the
# installer and ZIP are made (and needs no database server).
set -euo pipefail
tests=yes
case ${1:-} in
--no-tests) tests=no ;;
"") ;;
-h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//'
    exit 0
    ;;
*)
    echo "windows: unknown option $1 (usage: scripts/windows.sh [--no-tests])" >&2
    exit 2
    ;;
esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$here/build-windows
jobs=$(nproc)
started=$SECONDS

# bookworm's versions: Connector/C 3.3 (in MariaDB 10.11), the MySQL++ 3.2.5
# and utf8proc 2.8.0 that the program is tested with on Debian 12. Fetched
# from bookworm whatever the host runs. A point release of Debian 12 replaces
# MariaDB's version on the mirror; the fetch then fails, naming the pin to
# move.
suite=bookworm
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
# name, version, SHA-256 of its .dsc
sources=(
    "mariadb 1:10.11.18-0+deb12u1 bf86fbf8c9cf5d40329d63cbadfbc776e19d7caacef480befda181f10fbcd1f9"
    "mysql++ 3.2.5-2.1 e81e72b2e90eb36299e64c8724d45ab9bacf1775bffc7f7c98633b999e12d5e2"
    "utf8proc 2.8.0-1 6ce2b0ab12fe7d0c3fd0a40d4eb886ae82bf6ea356e4db1a0a9f76582947625c"
)
triplet=x86_64-w64-mingw32

step() {
    printf 'windows: %-58s %4ds\n' "$1" $((SECONDS - started)) >&2
}
fail() {
    echo "windows: $*" >&2
    exit 1
}
# Runs a build step with its output in a log, shown only when it fails.
logged() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        fail "failed: $* (whole output in ${log#"$here"/})"
    fi
}

# netbase makes /etc/hosts where there is none (a minimal system): Wine
# looks "localhost" up through it, and the program connects to "localhost".
packages=(
    cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
    wine wine64 nsis python3 python3-pyte dpkg-dev xz-utils debian-archive-keyring gpgv netbase
    git strip-nondeterminism
)
# The tests' private server, MariaDB's or MySQL's, chosen as for the Linux build.
[ "$tests" = no ] || "$here/scripts/setup.sh" --server
missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" = 0 ] || sudo=(sudo)
    step "installing ${#missing[@]} packages: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        --no-remove "${missing[@]}" >&2
fi
step "tools installed"

toolchain=$here/cmake/mingw-w64-x86_64.cmake
# The folder built in stays out of the libraries, as out of the program: two
# builds in two folders are the same bytes. (The toolchain file keeps the
# time of linking out of them.)
prefix_map="-ffile-prefix-map=$here=."
connector_patch=$here/cmake/connector-c-no-plugin-files.patch
work=$out/deps-build
mkdir -p "$work"
# Unpacks NAME's pinned source into $work/NAME afresh.
unpack() {
    local name=$1 version=$2 upstream
    upstream=${version#*:}
    upstream=${upstream%-*}
    rm -rf "${work:?}/$name"
    if [ -e "$src_dir/${name}_${version#*:}.dsc" ] && [ -e "$src_dir/${name}_${version#*:}.debian.tar.xz" ]; then
        logged "$work/$name-unpack.log" dpkg-source -x \
            "$src_dir/${name}_${version#*:}.dsc" "$work/$name"
    else
        mkdir -p "$work/$name"
        tar -C "$work/$name" --strip-components=1 -xf "$src_dir/${name}_$upstream.orig.tar."*
    fi
}

build_connector() {
    local source=$work/mariadb/libmariadb build=$work/connector-build
    rm -rf "$build"
    # Only the password logins the Linux build allows are ever wanted: dialog
    # (it would prompt on the console), the clear-text password, GSSAPI/SSPI
    # and the old, weak password hash are not built at all; the other
    # password methods are built in (their hashing and RSA come from
    # Windows' crypto API, TLS from Schannel, so no OpenSSL is shipped), and
    # so is the shared-memory transport. On Windows the library would load
    # any other method a server names from a DLL found by its bare name (its
    # plugin folder is not used): in the program's folder, the current
    # folder, along PATH. The patch makes it load no plugin file at all and
    # refuse a method that is not built in before it sends anything more.
    # The files are installed into the deps prefix.
    logged "$work/connector-patch.log" patch -d "$work/mariadb" -p1 -i "$connector_patch"
    logged "$work/connector-configure.log" cmake -S "$source" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DWINDOWS_DEPS="$deps" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$prefix_map" \
        -DCMAKE_INSTALL_PREFIX="C:/Program Files/music-inventory" -DINSTALL_PLUGINDIR=plugin \
        -DCLIENT_PLUGIN_MYSQL_OLD_PASSWORD=OFF \
        -DWITH_SSL=SCHANNEL -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF -DWITH_EXTERNAL_ZLIB=OFF \
        -DCLIENT_PLUGIN_DIALOG=OFF -DCLIENT_PLUGIN_MYSQL_CLEAR_PASSWORD=OFF \
        -DCLIENT_PLUGIN_AUTH_GSSAPI_CLIENT=OFF -DCLIENT_PLUGIN_CACHING_SHA2_PASSWORD=STATIC \
        -DCLIENT_PLUGIN_CLIENT_ED25519=STATIC -DCLIENT_PLUGIN_SHA256_PASSWORD=STATIC \
        -DCLIENT_PLUGIN_PVIO_SHMEM=STATIC -DCLIENT_PLUGIN_ZSTD=OFF -DCLIENT_PLUGIN_REMOTE_IO=OFF
    logged "$work/connector-build.log" cmake --build "$build" -j"$jobs"
    logged "$work/connector-install.log" cmake --install "$build" --prefix "$deps"
}

build_mysqlpp() {
    local source=$work/mysql++ client_lib
    client_lib=$(find "$deps/lib" -name 'libmariadb.dll.a' -o -name 'liblibmariadb.dll.a' | head -n 1)
    [ -n "$client_lib" ] || fail "no import library of Connector/C in $deps/lib"
    # Its MinGW makefile links the client library as -lmysql.
    mkdir -p "$work/mysqlpp-link"
    cp "$client_lib" "$work/mysqlpp-link/libmysql.a"
    # Its option classes are templates exported from the DLL, whose
    # implicit instances newer compilers (sid's) do not export: instantiated
    # there explicitly, their tables are in the DLL for a program to use.
    printf '\nnamespace mysqlpp {\ntemplate class DataOption<std::string>;\ntemplate class DataOption<unsigned>;\ntemplate class DataOption<bool>;\n}\n' \
        >>"$source/lib/options.cpp"
    # MariaDB's mysql.h, unlike MySQL's, does not bring in windows.h;
    # NOMINMAX keeps its min and max macros out of C++.
    logged "$work/mysqlpp-build.log" make -C "$source" -f Makefile.mingw -j"$jobs" \
        SHELL=/bin/sh BUILD=release CXX="$triplet-g++-posix" \
        CXXFLAGS="-O2 $prefix_map -DNOMINMAX -include winsock2.h -include windows.h -I$deps/include/mariadb" \
        LDFLAGS="-L$work/mysqlpp-link -Wl,--no-insert-timestamp" mysqlpp.dll
    mkdir -p "$deps/include/mysql++" "$deps/lib" "$deps/bin" "$deps/share/doc/mysql++"
    cp "$source"/lib/*.h "$deps/include/mysql++/"
    cp "$source/mysqlpp.dll" "$deps/bin/"
    cp "$source/libmysqlpp.a" "$deps/lib/libmysqlpp.dll.a"
    cp "$source/COPYING.txt" "$source/LICENSE.txt" "$deps/share/doc/mysql++/"
}

build_utf8proc() {
    local source=$work/utf8proc build=$work/utf8proc-build
    rm -rf "$build"
    # It asks for CMake 3.0, whose ways CMake 4 no longer has; it builds the
    # same with those of 3.5 (older CMake ignores the setting).
    logged "$work/utf8proc-configure.log" cmake -S "$source" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DWINDOWS_DEPS="$deps" -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$prefix_map" -DCMAKE_INSTALL_PREFIX="$deps" \
        -DBUILD_SHARED_LIBS=ON -DUTF8PROC_INSTALL=ON -DUTF8PROC_ENABLE_TESTING=OFF
    logged "$work/utf8proc-build.log" cmake --build "$build" -j"$jobs"
    logged "$work/utf8proc-install.log" cmake --install "$build"
    mkdir -p "$deps/share/doc/utf8proc"
    cp "$source/LICENSE.md" "$deps/share/doc/utf8proc/"
}

# The libraries go into a folder named after the pins and the recipe below:
# a change builds a new one beside, and one that is built is never changed.
recipe=$({
    printf '%s\n' "${sources[@]}"
    declare -f unpack build_connector build_mysqlpp build_utf8proc
    cat "$toolchain" "$connector_patch"
} | sha256sum | cut -c1-12)
deps=$out/deps-$recipe
mkdir -p "$out" "$deps"
# One stamp per source: a later run skips what is already built.
stamp() {
    echo "$deps/.built-$1-${2//[:\/]/_}"
}
need_fetch=()
for entry in "${sources[@]}"; do
    read -r name version _ <<<"$entry"
    [ -e "$(stamp "$name" "$version")" ] || need_fetch+=("$entry")
done

apt_dir=$out/apt
src_dir=$out/sources
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State=$apt_dir/state"
    -o "Dir::State::status=/dev/null"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Debug::NoLocking=1"
)
# Fetches NAME=VERSION's .dsc and upstream tarball, and its Debian part when
# the mirror serves it, with apt's downloader against the hashes of Debian's
# signed index, and checks the .dsc's pinned hash.
fetch() {
    local name=$1 version=$2 dsc_sha256=$3 uris uri file size hash dsc=
    uris=$(apt-get "${apt_options[@]}" source --print-uris -q "$name=$version" 2>/dev/null |
        grep "^'") || fail "$name $version is not in $suite's sources"
    while read -r uri file size hash; do
        uri=${uri//\'/}
        [ -s "$src_dir/$file" ] && [ "$(stat -c %s "$src_dir/$file")" = "$size" ] && continue
        if ! /usr/lib/apt/apt-helper download-file "$uri" "$src_dir/$file" "$hash" \
            >"$src_dir/$file.log" 2>&1; then
            # MySQL++ is built from its upstream tarball alone; Debian's
            # packaging around it is not used.
            if [[ $file == *.debian.tar.* ]] && [ "$name" = mysql++ ]; then
                rm -f "$src_dir/$file"
                continue
            fi
            cat "$src_dir/$file.log" >&2
            fail "could not fetch $file"
        fi
        rm -f "$src_dir/$file.log"
    done <<<"$uris"
    dsc=$(sed -n "s/^'[^']*' \([^ ]*\.dsc\) .*/\1/p" <<<"$uris")
    echo "$dsc_sha256  $src_dir/$dsc" | sha256sum --quiet -c - ||
        fail "$dsc does not have the pinned SHA-256"
    # The upstream tarball against the checked .dsc as well.
    local orig sum
    orig=$(sed -n "s/^'[^']*' \([^ ]*\.orig\.tar\.[a-z]*\) .*/\1/p" <<<"$uris")
    sum=$(awk -v f="$orig" '/^Checksums-Sha256:/ {on = 1; next} /^[^ ]/ {on = 0}
        on && $3 == f {print $1}' "$src_dir/$dsc")
    echo "$sum  $src_dir/$orig" | sha256sum --quiet -c - || fail "$orig does not match $dsc"
}

if [ ${#need_fetch[@]} -gt 0 ]; then
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/state/lists/partial" \
        "$apt_dir/cache/archives/partial" "$src_dir"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        >"$apt_dir/sources.list"
    logged "$apt_dir/update.log" apt-get "${apt_options[@]}" update
    for entry in "${need_fetch[@]}"; do
        fetch $entry
    done
    step "sources fetched and checked"
fi

for entry in "${sources[@]}"; do
    read -r name version _ <<<"$entry"
    [ -e "$(stamp "$name" "$version")" ] && continue
    unpack "$name" "$version"
    case $name in
    mariadb)
        build_connector
        mkdir -p "$deps/share/doc/mariadb-connector-c"
        cp "$work/mariadb/libmariadb/COPYING.LIB" "$deps/share/doc/mariadb-connector-c/"
        ;;
    mysql++) build_mysqlpp ;;
    utf8proc) build_utf8proc ;;
    esac
    rm -rf "${work:?}/$name"
    touch "$(stamp "$name" "$version")"
    step "$name $version built for Windows"
done
# What the shipped libraries were built from, for their licences' sake: the
# installer and the ZIP carry it beside the notices, with the change made to
# Connector/C.
{
    echo "The libraries beside music-inventory.exe are built from these source"
    echo "packages of Debian 12 (bookworm), each checked against the SHA-256 of its"
    echo ".dsc file given here:"
    echo
    for entry in "${sources[@]}"; do
        read -r name version dsc_sha256 <<<"$entry"
        echo "    $name $version   (.dsc SHA-256 $dsc_sha256)"
    done
    echo
    echo "mariadb gives MariaDB Connector/C (libmariadb.dll, LGPL 2.1), mysql++ gives"
    echo "MySQL++ (mysqlpp.dll, LGPL 2.1), utf8proc gives libutf8proc.dll (MIT). Their"
    echo "source is on Debian's mirrors (apt-get source NAME=VERSION) and, for good, at"
    echo "https://snapshot.debian.org/package/NAME/VERSION/. Two are changed:"
    echo "Connector/C by mariadb-connector-c/connector-c-no-plugin-files.patch.txt"
    echo "here, and MySQL++ by three lines added to the end of lib/options.cpp, in"
    echo "namespace mysqlpp: template class DataOption<std::string>; and the same"
    echo "for <unsigned> and <bool>. How each is built is in scripts/windows.sh of"
    echo "music-inventory's source."
} >"$deps/share/doc/SOURCES.txt"
cp "$connector_patch" "$deps/share/doc/mariadb-connector-c/"
step "dependencies ready in ${deps#"$here"/}"

# Found libraries are cached by path: a build made with other libraries
# starts its configuration afresh.
if [ -e "$out/CMakeCache.txt" ] && ! grep -qxF "WINDOWS_DEPS:PATH=$deps" "$out/CMakeCache.txt"; then
    rm -f "$out/CMakeCache.txt"
fi
logged "$out/configure.log" cmake -S "$here" -B "$out" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DWINDOWS_DEPS:PATH="$deps"
logged "$out/build.log" cmake --build "$out" -j"$jobs"
step "program built"
(cd "$out" && logged "$out/cpack.log" cpack -G "NSIS;ZIP")
step "installer and ZIP made: $(cd "$out" && ls music-inventory-*.exe music-inventory-*.zip | tr '\n' ' ')"

if [ "$tests" = no ]; then
    echo "windows: made, not tested: ${out#"$here"/}/$(cd "$out" && ls music-inventory-*-win64.exe)," \
        "${out#"$here"/}/$(cd "$out" && ls music-inventory-*-win64.zip)" >&2
    exit 0
fi
(cd "$out" && ctest --output-on-failure --no-tests=error -j2) || fail "the cross build's tests failed"
step "tests run"
echo "windows: passed: ${out#"$here"/}/$(cd "$out" && ls music-inventory-*-win64.exe)," \
    "${out#"$here"/}/$(cd "$out" && ls music-inventory-*-win64.zip); libraries in ${deps#"$here"/}" >&2
