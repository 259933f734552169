#!/bin/bash
# test_install.sh - what users of a release get, checked as they would use it:
#   - `cmake --install` into a temporary prefix; the docs' example built against it through
#     find_package(k7340) and through pkg-config, and a session run against k7340sim; the
#     installed k7340config runs without LD_LIBRARY_PATH, also from a moved prefix;
#   - a project that adds this repository with add_subdirectory builds the library alone;
#   - scripts/package: the Debian packages (debian_checks.sh: file lists, lintian, one package
#     at a time in a throwaway dpkg root, purges), each zip's file list, k7340.lib linked the way Microsoft's linker does, and the
#     64-bit k7340config.exe run from its unzipped folder under wine64 (the 32-bit one under
#     the 32-bit Wine where the machine runs 32-bit x86 programs, else SKIPPED).
#
#   tests/install/test_install.sh [LINUX_BUILD_DIR]      default build/linux (built)
#
# K7340_CAN_RUN_I686=yes|no overrides the probe for 32-bit x86 programs.
# One PASS, FAIL or SKIPPED line per check and a summary; exits 1 when any check failed.
set -u

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=${1:-$ROOT/build/linux}
VERSION=$(sed -n 's/^__version__ = "\([0-9.]*\)".*/\1/p' "$ROOT/python/k7340/_version.py")
PACKAGES=$ROOT/build/packages

WORK=$(mktemp -d "${TMPDIR:-/tmp}/k7340-install.XXXXXX")
PREFIX=$WORK/prefix
SIM_PID=
PASSED=0
FAILED=0
SKIPPED=0

. "$ROOT/tests/wine/wine_env.sh"

cleanup() {
    stop_sim
    wine_env_destroy
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# check NAME COMMAND...: PASS when COMMAND succeeds; its output is kept in $WORK/last.
check() {
    local name=$1
    shift
    if "$@" >"$WORK/last" 2>&1; then
        echo "PASS $name"
        PASSED=$((PASSED + 1))
    else
        echo "FAIL $name"
        sed 's/^/  /' "$WORK/last" | tail -15
        FAILED=$((FAILED + 1))
    fi
}

skip() {
    echo "SKIPPED: $1"
    SKIPPED=$((SKIPPED + 1))
}

stop_sim() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null
        wait "$SIM_PID" 2>/dev/null
        SIM_PID=
    fi
}

# start_sim PROGRAM OPTIONS...: a fresh simulated supply behind $WORK/com1.
start_sim() {
    stop_sim
    rm -f "$WORK/com1"
    "$1" --link "$WORK/com1" "${@:2}" </dev/null >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    local i
    for i in $(seq 1 200); do
        [ -e "$WORK/com1" ] && return 0
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "k7340sim did not come up: $(cat "$WORK/sim.log")"
    return 1
}

# session PROGRAM: the docs' example sets 1500 V on COM port 0 and switches off again.
session() {
    local out
    out=$(K7340_COM1=$WORK/com1 "$1" 0 1500) || { echo "$out"; return 1; }
    echo "$out"
    grep -qx "k7340 library $VERSION" <<<"$out" && [ "$(tail -1 <<<"$out")" = "output off, closed" ]
}

# has_all LIST_FILE PATH...: every PATH is a line of LIST_FILE.
has_all() {
    local list=$1 path ok=0
    shift
    for path in "$@"; do
        grep -qxF "$path" "$list" || { echo "missing: $path"; ok=1; }
    done
    return $ok
}

# listed_exactly LIST_FILE DIR NAME...: the entries directly in DIR are exactly NAME...
listed_exactly() {
    local got want
    got=$(sed -n "s|^$2/\([^/]*\)$|\1|p" "$1" | sort | tr '\n' ' ')
    want=$(printf '%s\n' "${@:3}" | sort | tr '\n' ' ')
    echo "$2 holds: $got"
    [ "$got" = "$want" ]
}

# --- the prefix install -------------------------------------------------------------------
check "cmake --install into a temporary prefix" cmake --install "$BUILD" --prefix "$PREFIX"
(cd "$PREFIX" && find . ! -type d | sed 's|^\./||' | sort) >"$WORK/prefix.list"
check "the prefix holds the header, library, CMake and pkg-config files, programs, docs" \
    has_all "$WORK/prefix.list" include/k7340.h lib/libk7340.so "lib/libk7340.so.$VERSION" \
    lib/libk7340.so.2 lib/cmake/k7340/k7340Config.cmake lib/cmake/k7340/k7340ConfigVersion.cmake \
    lib/cmake/k7340/k7340Targets.cmake lib/pkgconfig/k7340.pc share/doc/k7340/using-c.md \
    share/doc/k7340/examples/example.c share/doc/k7340/LICENSE share/doc/k7340/CHANGELOG.md \
    share/man/man1/k7340config.1 share/man/man1/k7340sim.1
check "the prefix's bin/ holds k7340config and k7340sim and no test program" \
    listed_exactly "$WORK/prefix.list" bin k7340config k7340sim
readelf -d "$PREFIX/lib/libk7340.so.$VERSION" | grep SONAME
check "readelf -d: SONAME libk7340.so.2" \
    sh -c "readelf -d '$PREFIX/lib/libk7340.so.$VERSION' | grep -q 'Library soname: \[libk7340.so.2\]'"

EXAMPLE=$PREFIX/share/doc/k7340/examples/example.c
start_sim "$PREFIX/bin/k7340sim" || exit 1
check "find_package(k7340 2.0) consumer builds" sh -c "cmake -S '$HERE/consumer' -B '$WORK/fp' \
    -DCMAKE_PREFIX_PATH='$PREFIX' -DEXAMPLE_SOURCE='$EXAMPLE' && cmake --build '$WORK/fp'"
check "find_package consumer runs a session against k7340sim" session "$WORK/fp/session"
check "find_package(k7340 3.0) is refused (same major version only)" \
    sh -c "! cmake -S '$HERE/consumer' -B '$WORK/fp3' -DCMAKE_PREFIX_PATH='$PREFIX' \
    -DK7340_WANTED_VERSION=3.0 -DEXAMPLE_SOURCE='$EXAMPLE'"

export PKG_CONFIG_PATH=$PREFIX/lib/pkgconfig
check "pkg-config --modversion k7340 is $VERSION" test "$(pkg-config --modversion k7340)" = "$VERSION"
check "pkg-config consumer builds" sh -c "cc '$EXAMPLE' \$(pkg-config --cflags --libs k7340) \
    -Wl,-rpath,\$(pkg-config --variable=libdir k7340) -o '$WORK/pc-session'"
check "pkg-config consumer runs a session against k7340sim" session "$WORK/pc-session"
unset PKG_CONFIG_PATH

# A unit whose stored ranges are out of bounds is configured without a question.
start_sim "$PREFIX/bin/k7340sim" --eeprom bad-ranges || exit 1
check "installed k7340config programs the supply without LD_LIBRARY_PATH" sh -c \
    "env -u LD_LIBRARY_PATH K7340_COM1='$WORK/com1' '$PREFIX/bin/k7340config' 0 40000 250 </dev/null | tail -1 | grep -qx OK"
mv "$PREFIX" "$WORK/moved"
check "k7340config finds its library in a moved prefix" sh -c \
    "env -u LD_LIBRARY_PATH '$WORK/moved/bin/k7340config' 2>&1 | grep -q '^Usage: k7340config'"

start_sim "$BUILD/bin/k7340sim" || exit 1
check "an add_subdirectory consumer builds" sh -c "cmake -S '$HERE/consumer' -B '$WORK/sub' \
    -DK7340_SOURCE_DIR='$ROOT' -DEXAMPLE_SOURCE='$ROOT/docs/examples/example.c' \
    && nice -n 10 cmake --build '$WORK/sub' -j2"
check "add_subdirectory consumer runs a session against k7340sim" session "$WORK/sub/session"
check "an add_subdirectory consumer builds no programs or tests of this project" \
    test -z "$(find "$WORK/sub" -type f \( -name 'k7340sim*' -o -name 'k7340config*' -o -name '*_tests' \))"

# --- scripts/package on bad input: one line naming what is missing, exit 1, no package ------
# refused WHAT REPO [ENV...]: scripts/package of REPO fails with one line naming WHAT.
refused() {
    local what=$1 repo=$2 out
    shift 2
    out=$(env "$@" "$repo/scripts/package" 2>&1 >/dev/null)
    local status=$?
    echo "status $status, stderr: $out"
    [ "$status" -ne 0 ] && [ "$(wc -l <<<"$out")" -eq 1 ] && grep -q "$what" <<<"$out" &&
        [ -z "$(ls "$repo/build/packages" 2>/dev/null)" ]
}
# A copy of the repository, so that its bad builds and empty package folder are its own.
mkdir -p "$WORK/repo"
(cd "$ROOT" && git ls-files -coz --exclude-standard | xargs -0 cp --parents -t "$WORK/repo")
mkdir -p "$WORK/nozip"
for tool in /usr/bin/*; do
    case "${tool##*/}" in zip | dpkg-deb) ;; *) ln -s "$tool" "$WORK/nozip/" ;; esac
done
check "scripts/package without zip and dpkg-deb names them" \
    refused "missing tools: dpkg-deb (Debian package dpkg), zip (Debian package zip)" \
    "$WORK/repo" PATH="$WORK/nozip"
echo '#error a broken build' >>"$WORK/repo/device_library/instrument.cpp"
check "scripts/package with a failing build names it" \
    refused "the deb build failed (see build/package-logs/deb.log)" "$WORK/repo"

# --- the release files --------------------------------------------------------------------
check "scripts/package" "$ROOT/scripts/package"
. "$HERE/debian_checks.sh"
debian_checks

# Each zip: one folder with bin/ (the DLL and the two programs only), include/, lib/, doc/.
for bits in 32 64; do
    name=k7340-$VERSION-win$bits
    extra=()
    [ "$bits" = 32 ] && extra=("$name/lib/k7340.def")
    unzip -Z1 "$PACKAGES/$name.zip" | sed 's|/$||' >"$WORK/$name.list"
    check "$name.zip holds the header, import libraries, README, docs, licence, changelog" has_all \
        "$WORK/$name.list" "$name/README.txt" "$name/LICENSE" "$name/CHANGELOG.md" "$name/include/k7340.h" "$name/lib/libk7340.dll.a" \
        "$name/lib/k7340.lib" "$name/doc/windows.md" "$name/doc/using-c.md" "${extra[@]}"
    check "$name.zip: bin/ holds k7340.dll, 7340demo.exe, k7340config.exe only" \
        listed_exactly "$WORK/$name.list" "$name/bin" k7340.dll 7340demo.exe k7340config.exe
    check "$name.zip: lib/ holds the import libraries (and the 32-bit .def) only" \
        listed_exactly "$WORK/$name.list" "$name/lib" libk7340.dll.a k7340.lib "${extra[@]##*/}"
    unzip -q "$PACKAGES/$name.zip" -d "$WORK/unzipped"
done

# k7340.lib as Microsoft's linker takes it: clang for the MSVC target and lld-link.
msvc_link() {
    local bits=$1 target=$2 machine=$3 want=$4 dir=$WORK/unzipped/k7340-$VERSION-win$1
    clang --target="$target" -I"$dir/include" -c "$HERE/msvc_caller.c" -o "$WORK/msvc$bits.obj" &&
        lld-link /nologo /nodefaultlib /entry:Start /subsystem:console /machine:"$machine" \
            "$WORK/msvc$bits.obj" "$dir/lib/k7340.lib" /out:"$WORK/msvc$bits.exe" &&
        x86_64-w64-mingw32-objdump -p "$WORK/msvc$bits.exe" | grep -A4 'DLL Name: k7340.dll' |
        grep -qw "$want"
}
check "MSVC-style link with the win32 k7340.lib imports _K7340_OpenDevice@8" \
    msvc_link 32 i686-pc-windows-msvc x86 _K7340_OpenDevice@8
check "MSVC-style link with the win64 k7340.lib imports K7340_OpenDevice" \
    msvc_link 64 x86_64-pc-windows-msvc x64 K7340_OpenDevice

# The unzipped programs under Wine, COM1 mapped to the simulated supply.
# config_from_zip BITS LOADER: k7340config.exe run from the zip's bin/ programs the supply.
config_from_zip() {
    start_sim "$BUILD/bin/k7340sim" --eeprom bad-ranges || return 1
    (cd "$WORK/unzipped/k7340-$VERSION-win$1/bin" &&
        WINE_LOADER=$2 wine_run ./k7340config.exe 0 40000 250 </dev/null) | tr -d '\r' | tail -1 |
        grep -qx OK
}
if wine_env_create && wine_map_com 1 "$WORK/com1"; then
    check "win64 k7340config.exe from its unzipped folder under wine64 programs the supply" \
        config_from_zip 64 /usr/lib/wine/wine64
    cp "$WORK/msvc64.exe" "$WORK/unzipped/k7340-$VERSION-win64/bin/" 2>/dev/null
    start_sim "$BUILD/bin/k7340sim"
    check "the MSVC-linked 64-bit program opens the supply through the zip's k7340.dll" sh -c \
        "cd '$WORK/unzipped/k7340-$VERSION-win64/bin' && '$WINE_LOADER' ./msvc64.exe"
else
    check "a private Wine prefix with COM1 mapped" false
fi

# Whether the kernel runs 32-bit x86 programs: a static i686 program that exits 0.
can_run_i686() {
    case "${K7340_CAN_RUN_I686:-}" in yes) return 0 ;; no) return 1 ;; esac
    printf '.globl _start\n_start: movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' |
        as --32 -o "$WORK/probe.o" - 2>/dev/null && ld -m elf_i386 -o "$WORK/probe" "$WORK/probe.o" &&
        "$WORK/probe" 2>/dev/null
}
if ! can_run_i686; then
    skip "win32 k7340config.exe from its unzipped folder under Wine: this machine cannot run 32-bit x86 programs"
elif [ ! -x /usr/lib/wine/wine ]; then
    skip "win32 k7340config.exe from its unzipped folder under Wine: no 32-bit Wine loader (wine32:i386)"
else
    check "win32 k7340config.exe from its unzipped folder under 32-bit Wine programs the supply" \
        config_from_zip 32 /usr/lib/wine/wine
fi

echo "test_install: $PASSED passed, $FAILED failed, $SKIPPED skipped"
[ "$FAILED" -eq 0 ]
