#!/bin/bash
# check_panel_imports.sh - the 32-bit 7340demo.exe imports exactly its ten calls from k7340.dll,
# under their decorated stdcall names, and nothing else from it.
#
#   tests/wine/check_panel_imports.sh [build/mingw32/bin/7340demo.exe]
set -u
here=$(cd "$(dirname "$0")" && pwd)
exe=${1:-$here/../../build/mingw32/bin/7340demo.exe}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

expected="_K7340_CloseDevice@4
_K7340_GetErrString@4
_K7340_GetFaultFlags@8
_K7340_GetFwVersion@8
_K7340_GetRanges@12
_K7340_GetStatusFlags@8
_K7340_OpenDevice@8
_K7340_ReadMeter@12
_K7340_SetVoltage@12
_K7340_SetWD@8"

if [ ! -f "$exe" ]; then
    echo "FAIL: $exe not found (cmake --preset mingw32 && cmake --build build/mingw32 --target 7340demo)"
    exit 1
fi
dump=$("$objdump" -p "$exe") || { echo "FAIL: $objdump -p $exe"; exit 1; }
if ! grep -q 'file format pei-i386' <<<"$dump"; then
    echo "FAIL: $exe is not a 32-bit x86 program"
    exit 1
fi

# The import entries listed under "DLL Name: k7340.dll", up to the next blank line.
actual=$(awk '/DLL Name:/ { inside = (tolower($3) == "k7340.dll"); next }
              inside && NF == 0 { inside = 0 }
              inside && $3 ~ /^_?K7340_/ { print $3 }' <<<"$dump" | sort)
count=$(grep -c . <<<"$actual")
dlls=$(grep -ci 'DLL Name: k7340.dll' <<<"$dump")

if [ "$dlls" -eq 1 ] && [ "$actual" = "$(sort <<<"$expected")" ]; then
    echo "ok: 7340demo.exe imports exactly these $count names from k7340.dll:"
    sed 's/^/    /' <<<"$actual"
    echo "1 passed, 0 failed"
    exit 0
fi
echo "FAIL: 7340demo.exe imports from k7340.dll (table found $dlls times):"
diff <(sort <<<"$expected") <(echo "$actual") | sed 's/^/    /'
echo "0 passed, 1 failed"
exit 1
