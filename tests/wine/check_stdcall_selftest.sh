#!/bin/bash
# check_stdcall_selftest.sh - check_stdcall.sh catches the faults it is there for: it fails on a
# DLL that exports a cdecl function under a decorated stdcall name and on a caller that declares
# a k7340.dll import cdecl, and passes on the same two sources built stdcall.
#
#   tests/wine/check_stdcall_selftest.sh [BUILD_DIR]    (default: build/mingw32; its k7340.dll
#                                                        and import library serve the callers)
set -u

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD_DIR=${1:-$HERE/../../build/mingw32}
CC=${CC_I686:-i686-w64-mingw32-gcc}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/k7340-stdcall-selftest.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT

# CONV is how the function returns; its exported name says stdcall, 8 bytes, either way.
cat >"$tmp/lib.c" <<'C'
int CONV Sum(int a, int b) __asm__("_K7340_Sum@8");
int CONV Sum(int a, int b) { return a + b; }
C
printf 'LIBRARY k7340.dll\nEXPORTS\n    _K7340_Sum@8 = K7340_Sum@8\n' >"$tmp/lib.def"
# CONV is what the caller believes of the library's K7340_CloseDevice.
cat >"$tmp/caller.c" <<'C'
int CONV CloseDevice(int index) __asm__("_K7340_CloseDevice@4");
int main(int argc, char **argv) { (void)argv; return CloseDevice(argc) + CloseDevice(argc + 1); }
C

passed=0
failed=0
for conv in cdecl stdcall; do
    mkdir -p "$tmp/$conv"
    "$CC" -O2 -shared -DCONV=__$conv "$tmp/lib.c" "$tmp/lib.def" -o "$tmp/$conv/k7340.dll" &&
        "$CC" -O2 -DCONV=__$conv "$tmp/caller.c" "$BUILD_DIR/lib/libk7340.dll.a" \
            -o "$tmp/$conv/caller.exe" || { echo "FAIL check_stdcall_selftest: $conv build"; exit 1; }
done

# want (pass, or the text of the expected failure) | DLL | program
while IFS='|' read -r want dll exe; do
    out=$("$HERE/check_stdcall.sh" $dll $exe)
    status=$?
    if { [ "$want" = pass ] && [ $status -eq 0 ]; } ||
        { [ "$want" != pass ] && [ $status -ne 0 ] && grep -q -- "$want" <<<"$out"; }; then
        echo "PASS check_stdcall on $(basename "$(dirname "$dll$exe")")/$(basename "${exe:-$dll}"): ${want}"
        passed=$((passed + 1))
    else
        echo "FAIL check_stdcall on $dll $exe: wanted '$want', got status $status:"
        sed 's/^/  /' <<<"$out"
        failed=$((failed + 1))
    fi
done <<CASES
not every ret pops 8 bytes|$tmp/cdecl/k7340.dll|
pass|$tmp/stdcall/k7340.dll|
the call to _K7340_CloseDevice@4 at [0-9a-f]* grows the frame back by 0 bytes, not 4|$BUILD_DIR/bin/k7340.dll|$tmp/cdecl/caller.exe
pass|$BUILD_DIR/bin/k7340.dll|$tmp/stdcall/caller.exe
CASES

echo "check_stdcall_selftest: $passed passed, $failed failed"
[ $failed -eq 0 ]
