#!/bin/bash
# check_exports.sh - the 32-bit k7340.dll exports exactly the nineteen decorated stdcall names,
# and its import library hands those same names to the programs that link it.
#
#   tests/wine/check_exports.sh [BUILD_DIR]      (default: build/mingw32 of this repository)
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR=${1:-$ROOT/build/mingw32}
DLL=$BUILD_DIR/bin/k7340.dll
IMPLIB=$BUILD_DIR/lib/libk7340.dll.a
OBJDUMP=${OBJDUMP:-i686-w64-mingw32-objdump}

EXPECTED=$(sort <<'NAMES'
_K7340_OpenDevice@8
_K7340_CloseDevice@4
_K7340_GetApiVersion@0
_K7340_GetErrString@4
_K7340_ReadPort@12
_K7340_WritePort@12
_K7340_GetRanges@12
_K7340_SetRanges@12
_K7340_GetEEPROM@12
_K7340_SetEEPROM@12
_K7340_GetFwVersion@8
_K7340_GetStatusFlags@8
_K7340_GetFaultFlags@8
_K7340_ReadMeter@12
_K7340_ReadRawMeter@12
_K7340_SetVoltage@12
_K7340_SetWD@8
_K7340_SetLimits@12
_K7340_Reset@4
NAMES
)

fail() {
    echo "FAIL check_exports: $*"
    exit 1
}

[ -f "$DLL" ] || fail "$DLL not found (build the mingw32 preset first)"
[ -f "$IMPLIB" ] || fail "$IMPLIB not found"

# Every name in the export table's name pointer table.
EXPORTS=$("$OBJDUMP" -p "$DLL" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
    inside && /^[ \t]*$/ { inside = 0 }
    inside { print $NF }
' | sort)
if [ "$EXPORTS" != "$EXPECTED" ]; then
    diff <(echo "$EXPECTED") <(echo "$EXPORTS") | sed 's/^/  /'
    fail "k7340.dll export table differs (< expected, > actual)"
fi

# A 32-bit test program linked with the import library must name the decorated exports.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat > "$tmp/caller.c" <<'C'
#include "k7340.h"
int main(void) { return K7340_OpenDevice(0, 0) + K7340_CloseDevice(0) + (int)(long)K7340_GetApiVersion(); }
C
i686-w64-mingw32-gcc -I"$ROOT/device_library" "$tmp/caller.c" "$IMPLIB" -o "$tmp/caller.exe" ||
    fail "a program cannot link the import library"
IMPORTS=$("$OBJDUMP" -p "$tmp/caller.exe" | awk '
    /^[ \t]*DLL Name:/ { inside = (tolower($3) == "k7340.dll"); next }
    inside && /^[ \t]*$/ { inside = 0; next }
    inside && $NF ~ /K7340_/ { print $NF }
' | sort | tr '\n' ' ')
[ "$IMPORTS" = "_K7340_CloseDevice@4 _K7340_GetApiVersion@0 _K7340_OpenDevice@8 " ] ||
    fail "import library gives the names: $IMPORTS"

echo "PASS check_exports: k7340.dll exports exactly the 19 decorated names; its import library matches"
