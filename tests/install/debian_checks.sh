# debian_checks.sh - the Debian packages that scripts/package wrote, checked as a lab's
# administrator would use them. Sourced by test_install.sh after scripts/package; uses its
# check, has_all, session, start_sim, $WORK, $BUILD, $HERE, $PACKAGES and $VERSION.
#
#   - each package's file list (what it must hold and what belongs to another package);
#   - lintian on every .deb, the -dbgsym ones too: no errors, no warnings;
#   - in a throwaway dpkg root, one package at a time: libk7340-2 alone runs a program linked
#     against the library; libk7340-dev builds the find_package and pkg-config consumers;
#     k7340-tools gives k7340config and its man page; python3-k7340 imports and runs its
#     console tool on the root's libk7340.so.2; purging each removes every file it brought.

MA=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
LIBDIR=usr/lib/$MA
DEB_PACKAGES=(libk7340-2 libk7340-dev k7340-tools python3-k7340)

deb_file() { ls "$PACKAGES/$1_${VERSION}"_*.deb 2>/dev/null; }

# holds_none LIST_FILE REGEX: no line of LIST_FILE matches REGEX (files of another package).
holds_none() {
    ! grep -E "$2" "$1"
}

# package | what it must hold | what must not be in it (extended regex)
DEB_CONTENTS=(
    "libk7340-2|$LIBDIR/libk7340.so.2 $LIBDIR/libk7340.so.$VERSION usr/share/doc/libk7340-2/copyright usr/share/doc/libk7340-2/changelog.gz|libk7340\.so$|^usr/(bin|include)/"
    "libk7340-dev|usr/include/k7340.h $LIBDIR/libk7340.so $LIBDIR/cmake/k7340/k7340Config.cmake $LIBDIR/cmake/k7340/k7340ConfigVersion.cmake $LIBDIR/cmake/k7340/k7340Targets.cmake $LIBDIR/pkgconfig/k7340.pc usr/share/doc/libk7340-dev/copyright|libk7340\.so\.|^usr/bin/"
    "k7340-tools|usr/bin/k7340config usr/bin/k7340sim usr/share/man/man1/k7340config.1.gz usr/share/man/man1/k7340sim.1.gz usr/share/doc/k7340-tools/copyright|libk7340|^usr/include/"
    "python3-k7340|usr/bin/k7340 usr/bin/k7340-tango usr/share/man/man1/k7340.1.gz usr/share/man/man1/k7340-tango.1.gz usr/lib/python3/dist-packages/k7340/__init__.py usr/share/doc/python3-k7340/copyright|/libk7340[^/]*$|/k7340sim$|k7340config"
)

# lintian_clean FILE: lintian reports no error and no warning (overrides need a comment).
lintian_clean() {
    local out
    out=$(lintian --no-cfg "$1" 2>&1)
    echo "$out"
    echo "lintian ${1##*/}: $(grep -c '^E:' <<<"$out") errors, $(grep -c '^W:' <<<"$out") warnings"
    ! grep -q '^[EW]:' <<<"$out"
}

# stripped_with_dbgsym PATH_IN_ROOT DBGSYM: the installed binary is stripped and the -dbgsym
# package holds the debug file of its build id.
stripped_with_dbgsym() {
    local id
    file -L "$DROOT/$1" | grep -q ', stripped' || { file -L "$DROOT/$1"; return 1; }
    id=$(readelf -n "$DROOT/$1" | sed -n 's/.*Build ID: //p')
    dpkg-deb -c "$PACKAGES/$2_${VERSION}_"*.deb | grep -q "usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
}

# A throwaway dpkg root: its own database and log; the maintainer scripts run outside a chroot
# (the root has no shell) and find stand-ins for ldconfig and Python's byte-compiler, so the
# machine stays as it is. Programs find the root's library through LD_LIBRARY_PATH.
DROOT=$WORK/dpkg-root
mkdir -p "$DROOT/var/lib/dpkg/info" "$DROOT/var/lib/dpkg/updates" "$WORK/fakebin"
touch "$DROOT/var/lib/dpkg/status"
for stand_in in ldconfig py3compile py3clean; do
    printf '#!/bin/sh\nexit 0\n' >"$WORK/fakebin/$stand_in"
    chmod +x "$WORK/fakebin/$stand_in"
done
droot_dpkg() {
    PATH=$WORK/fakebin:$PATH dpkg --root="$DROOT" --log="$DROOT/dpkg.log" --force-not-root \
        --force-script-chrootless "$@"
}
# in_root COMMAND...: COMMAND (a program or a function) with the root's library and Python
# package, and no K7340_ variable that would point elsewhere.
in_root() {
    K7340_LIBRARY='' K7340_BUILD_DIR='' LD_LIBRARY_PATH="$DROOT/$LIBDIR" \
        PYTHONPATH="$DROOT/usr/lib/python3/dist-packages" "$@"
}

# purged NAME: dpkg -P NAME leaves none of the files the package brought, nor its status.
purged() {
    local list=$WORK/$1.list path left=0
    droot_dpkg -P "$1" || return 1
    while read -r path; do
        [ -e "$DROOT/$path" ] && [ ! -d "$DROOT/$path" ] && { echo "left: $path"; left=1; }
    done <"$list"
    [ "$left" -eq 0 ] && ! droot_dpkg -s "$1" 2>/dev/null | grep -q '^Status: install'
}

# A program linked against the library (built here, without RPATH) takes the root's one.
linked_program_takes_root_library() {
    cc "$ROOT/docs/examples/example.c" -I"$ROOT/device_library" -L"$BUILD/lib" -lk7340 \
        -o "$WORK/plain-session" && in_root ldd "$WORK/plain-session" |
        grep -F "$DROOT/$LIBDIR/libk7340.so.2"
}

find_package_consumer() {
    cmake -S "$HERE/consumer" -B "$WORK/deb-fp" -DCMAKE_PREFIX_PATH="$DROOT/usr" \
        -DEXAMPLE_SOURCE="$ROOT/docs/examples/example.c" && cmake --build "$WORK/deb-fp"
}

pkg_config_consumer() {
    local flags
    flags=$(PKG_CONFIG_PATH=$DROOT/$LIBDIR/pkgconfig pkg-config --cflags --libs k7340) &&
        echo "pkg-config: $flags" && cc "$ROOT/docs/examples/example.c" $flags -o "$WORK/deb-pc"
}

man_page_shows() {
    MANPAGER=cat man -M "$DROOT/usr/share/man" "$1" | grep -A1 '^NAME' | grep "$1 - "
}

# The console script run in-process: its exit and the libk7340 files the process mapped.
MAPS_OF_INFO='import runpy, sys
script = sys.argv[1]
sys.argv = ["k7340", "info", "--port", "/nonexistent/port"]
try:
    runpy.run_path(script, run_name="__main__")
except SystemExit as exc:
    print("exit", exc.code)
print(*sorted({l.split()[-1] for l in open("/proc/self/maps") if "libk7340" in l}))'

# k7340 info fails on a missing port with the library's own error text, on the root's library.
console_tool_uses_root_library() {
    local out
    out=$(in_root /usr/bin/python3 -c "$MAPS_OF_INFO" "$DROOT/usr/bin/k7340" 2>&1)
    echo "$out"
    grep -q 'COM port busy or not found' <<<"$out" && grep -qx 'exit 1' <<<"$out" &&
        [ "$(tail -1 <<<"$out")" = "$DROOT/$LIBDIR/libk7340.so.$VERSION" ]
}

debian_checks() {
    local row name must mustnot file i
    for row in "${DEB_CONTENTS[@]}"; do
        IFS='|' read -r name must mustnot <<<"$row"
        file=$(deb_file "$name")
        dpkg-deb -c "$file" | awk '{ print $6 }' | sed 's|^\./||; s|/$||' >"$WORK/$name.list"
        # shellcheck disable=SC2086
        check "$name: holds its files" has_all "$WORK/$name.list" $must
        check "$name: holds nothing of another package" holds_none "$WORK/$name.list" "$mustnot"
    done
    for file in "$PACKAGES"/*.deb; do
        check "lintian ${file##*/}: no errors, no warnings" lintian_clean "$file"
        grep '^lintian ' "$WORK/last"
    done

    check "libk7340-2 installs alone into a throwaway root" \
        droot_dpkg --force-depends -i "$(deb_file libk7340-2)"
    check "  ... a program linked against the library loads the root's libk7340.so.2" \
        linked_program_takes_root_library
    start_sim "$BUILD/bin/k7340sim" || return 1
    check "  ... and runs a session against k7340sim" in_root session "$WORK/plain-session"
    check "  ... the library is stripped; libk7340-2-dbgsym holds its debug file" \
        stripped_with_dbgsym "$LIBDIR/libk7340.so.$VERSION" libk7340-2-dbgsym

    check "libk7340-dev installs into the root" droot_dpkg --force-depends -i "$(deb_file libk7340-dev)"
    check "  ... the find_package(k7340 2.0) consumer builds" find_package_consumer
    check "  ... and runs a session against k7340sim" in_root session "$WORK/deb-fp/session"
    check "  ... the pkg-config consumer builds" pkg_config_consumer
    check "  ... and runs a session against k7340sim" in_root session "$WORK/deb-pc"

    check "k7340-tools installs into the root" droot_dpkg --force-depends -i "$(deb_file k7340-tools)"
    check "  ... its k7340config runs" sh -c "LD_LIBRARY_PATH='$DROOT/$LIBDIR' \
        '$DROOT/usr/bin/k7340config' | grep -q '^Usage: k7340config'"
    check "  ... man k7340config shows its page" man_page_shows k7340config
    check "  ... k7340config is stripped, k7340-tools-dbgsym holds its debug file" \
        stripped_with_dbgsym usr/bin/k7340config k7340-tools-dbgsym
    check "  ... k7340sim is stripped, k7340-tools-dbgsym holds its debug file" \
        stripped_with_dbgsym usr/bin/k7340sim k7340-tools-dbgsym

    check "python3-k7340 installs into the root" droot_dpkg --force-depends -i "$(deb_file python3-k7340)"
    check "  ... python3 -c 'import k7340' (Debian's python3)" in_root /usr/bin/python3 -c "import k7340"
    check "  ... k7340 --help" sh -c "LD_LIBRARY_PATH='$DROOT/$LIBDIR' \
        PYTHONPATH='$DROOT/usr/lib/python3/dist-packages' '$DROOT/usr/bin/k7340' --help |
        grep -q '^usage: k7340 '"
    check "  ... k7340 info runs on the root's libk7340.so.2, no copy of its own" \
        console_tool_uses_root_library

    for ((i = ${#DEB_PACKAGES[@]} - 1; i >= 0; i--)); do
        check "${DEB_PACKAGES[i]} is purged from the root, leaving none of its files" \
            purged "${DEB_PACKAGES[i]}"
    done
}
