#!/bin/sh
# Makes the Debian package of the build in BUILD with Debian's own tools, the
# same bytes from any folder, umask, clock, time zone, locale and home:
# dpkg-shlibdeps for its dependencies, dpkg-gencontrol for the control file
# (its Installed-Size counted as dpkg counts it), dpkg-deb with root as
# every file's owner. CPack's DEB generator takes its archive members' modes
# from the umask and counts Installed-Size from the file system's folder
# sizes, and has no setting for either.
#
# usage: debian-package.sh CMAKE BUILD DATE
# CMAKE is the cmake that configured BUILD; DATE is the build's date in
# seconds since 1970, or empty for the time it is run.
set -eu
cmake=$1
build=$2
date=$3
root=$build/debian/music-inventory
work=$build/debian

# Every file and folder made here is world-readable and writable by its
# owner alone, whoever's umask it runs under.
umask 022
rm -rf "$root"
DESTDIR=$root "$cmake" --install "$build" --prefix /usr --strip >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; exit 1; }
chmod -R u=rwX,go=rX "$root"

# As in a Debian package's build: DEBIAN is there when the dependencies are
# found (it marks the package's root) and the size is counted.
mkdir -m 755 "$root/DEBIAN"
# dpkg-shlibdeps reads debian/control from where it runs.
(cd "$build" && dpkg-shlibdeps -T"$work/substvars" debian/music-inventory/usr/bin/music-inventory)
dpkg-gencontrol -c"$work/control" -l"$work/changelog" -f"$work/files" -T"$work/substvars" \
    -P"$root"
(cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums)
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

if [ -n "$date" ]; then
    # dpkg-deb dates the archive from SOURCE_DATE_EPOCH and only clamps its
    # members' times to it: a file older than the date would keep its own.
    find "$root" -exec touch -h -d "@$date" {} +
    export SOURCE_DATE_EPOCH="$date"
fi
dpkg-deb --root-owner-group --build "$root" "$build"
