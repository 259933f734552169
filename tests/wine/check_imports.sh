#!/bin/bash
# check_imports.sh - the 32-bit k7340config.exe imports exactly its five library calls, under
# their decorated stdcall names, from k7340.dll.
#
#   tests/wine/check_imports.sh [BUILD_DIR]      (default: build/mingw32 of this repository)
#
# Exit status 0 and a PASS line when the import table matches, 1 and a FAIL line otherwise.
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR=${1:-$ROOT/build/mingw32}
EXE=$BUILD_DIR/bin/k7340config.exe
OBJDUMP=${OBJDUMP:-i686-w64-mingw32-objdump}

EXPECTED='_K7340_CloseDevice@4
_K7340_GetErrString@4
_K7340_GetRanges@12
_K7340_OpenDevice@8
_K7340_SetRanges@12'

fail() {
    echo "FAIL check_imports: $*"
    exit 1
}

[ -f "$EXE" ] || fail "$EXE not found (build the mingw32 preset first)"
DUMP=$("$OBJDUMP" -p "$EXE") || fail "$OBJDUMP -p $EXE failed"

# The member names listed under "DLL Name: k7340.dll", up to the blank line that ends the block.
ACTUAL=$(printf '%s\n' "$DUMP" | awk '
    /^[ \t]*DLL Name:/ { inside = (tolower($3) == "k7340.dll"); next }
    inside && /^[ \t]*$/ { inside = 0; next }
    inside && $NF ~ /K7340_/ { print $NF }
' | sort)

if [ "$ACTUAL" != "$EXPECTED" ]; then
    echo "expected imports from k7340.dll:"
    printf '%s\n' "$EXPECTED" | sed 's/^/  /'
    echo "actual:"
    printf '%s\n' "${ACTUAL:-(none)}" | sed 's/^/  /'
    fail "k7340config.exe does not import exactly the five decorated names"
fi

# The program must start on a bare Windows: nothing from the MinGW runtime DLLs.
RUNTIME=$(printf '%s\n' "$DUMP" | grep -iE 'DLL Name: *(libstdc\+\+|libgcc|libwinpthread)' || true)
[ -z "$RUNTIME" ] || fail "k7340config.exe needs MinGW runtime DLLs: $RUNTIME"

echo "PASS check_imports: k7340config.exe imports exactly the five decorated names from k7340.dll"
exit 0
