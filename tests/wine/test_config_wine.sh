#!/bin/bash
# test_config_wine.sh - k7340config.exe under Wine against k7340sim on a mapped COM port.
#
#   tests/wine/test_config_wine.sh [mingw64|mingw32] [LINUX_BUILD_DIR]
#     defaults: mingw64 (build/mingw64/bin: k7340config.exe, k7340.dll) and build/linux (k7340sim)
#
# mingw64 runs under /usr/lib/wine/wine64, mingw32 under Wine's 32-bit loader /usr/lib/wine/wine.
#
# Compares the whole standard output byte for byte (the Windows runtime writes CR LF line ends)
# and the exit status of each run. Prints one PASS or FAIL line per case and a summary line;
# exits 1 when any case failed or the setup did not work.
set -u

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=${1:-mingw64}
WIN_BUILD=$ROOT/build/$BUILD
LINUX_BUILD=${2:-$ROOT/build/linux}
EXE=$WIN_BUILD/bin/k7340config.exe
SIM=$LINUX_BUILD/bin/k7340sim

. "$HERE/wine_env.sh"
wine_use_build "$BUILD" || { echo "FAIL test_config_wine ($BUILD): no loader"; exit 1; }

for f in "$EXE" "$WIN_BUILD/bin/k7340.dll" "$SIM"; do
    if [ ! -e "$f" ]; then
        echo "FAIL test_config_wine: $f not found"
        exit 1
    fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/k7340-config-wine.XXXXXX")

cleanup() {
    harness_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# start_sim OPTIONS...: a fresh simulated supply behind $WORK/com1, EEPROM saved to
# $WORK/eeprom.bin (written at start, copied to $WORK/eeprom.start, and after every write).
start_sim() {
    sim_stop
    rm -f "$WORK/eeprom.bin"
    sim_start "$SIM" "$WORK/com1" "$WORK/sim.log" --eeprom-file "$WORK/eeprom.bin" "$@" ||
        return 1
    cp "$WORK/eeprom.bin" "$WORK/eeprom.start"
}

# Bytes of the expected output, with the CR LF line ends of a Windows program.
BANNER='Vantrel MODEL 7340 CONFIGURATION UTILITY\r\n'
USAGE='Usage: k7340config <comport> <vrange> <irange>\r\n'
USAGE+=' comport - COM port designator: 0=COM1, 1=COM2, etc.\r\n'
USAGE+=' vrange  - maximum "output voltage swing" from data sheet (2000 to 60000)\r\n'
USAGE+=' irange  - "I Limit" from data sheet (50 to 20000)\r\n'
USAGE+='Examples:\r\n'
USAGE+=' "k7340config 0 50000 500"  - COM1, 50 kV, 500 uA\r\n'
USAGE+=' "k7340config 1 20000 1000" - COM2, 20 kV, 1 mA\r\n'

PASSED=0
FAILED=0

# run_case NAME EXPECTED_STATUS EXPECTED_OUTPUT(printf format, no arguments) ARGS...
run_case() {
    local name=$1 want_status=$2 want_output=$3
    shift 3
    printf "$want_output" >"$WORK/expected"
    (cd "$WIN_BUILD/bin" && wine_run ./k7340config.exe "$@" </dev/null >"$WORK/actual" 2>"$WORK/stderr")
    local status=$?
    if [ "$status" -eq "$want_status" ] && cmp -s "$WORK/expected" "$WORK/actual"; then
        echo "PASS k7340config.exe ($BUILD) $name"
        PASSED=$((PASSED + 1))
    else
        echo "FAIL k7340config.exe ($BUILD) $name: exit status $status (expected $want_status)"
        echo "  expected: $(od -c "$WORK/expected" | head -20)"
        echo "  actual:   $(od -c "$WORK/actual" | head -20)"
        sed 's/^/  stderr: /' "$WORK/stderr" | head -5
        FAILED=$((FAILED + 1))
    fi
}

# eeprom_ranges: "vrange irange" from the saved EEPROM image (big-endian words at 64 and 66).
eeprom_ranges() {
    od -An -tu1 -j64 -N4 "$WORK/eeprom.bin" 2>/dev/null |
        awk '{ printf "%d %d", $1 * 256 + $2, $3 * 256 + $4 }'
}

# The supply's log shows each command frame it received as "TIME > bytes  words".
# untouched: no command reached the supply and its EEPROM is as it was at start.
untouched() {
    ! grep -q '^[0-9.]* > ' "$WORK/sim.log" && cmp -s "$WORK/eeprom.start" "$WORK/eeprom.bin"
}

# unwritten: the supply was read (opened) but no EEPROM write reached it.
unwritten() {
    grep -q '^[0-9.]* > .*read EEPROM' "$WORK/sim.log" &&
        ! grep -q '^[0-9.]* > .*write EEPROM' "$WORK/sim.log" &&
        cmp -s "$WORK/eeprom.start" "$WORK/eeprom.bin"
}

check() {
    local name=$1
    shift
    if "$@"; then
        echo "PASS k7340config.exe ($BUILD) $name"
        PASSED=$((PASSED + 1))
    else
        echo "FAIL k7340config.exe ($BUILD) $name"
        FAILED=$((FAILED + 1))
    fi
}

if ! wine_env_create; then
    echo "FAIL test_config_wine: no Wine prefix"
    exit 1
fi
# COM1 is the simulated supply. COM5 stays unmapped: Wine then has no such device and
# answers "file not found", as Windows does for a port that does not exist. (A port mapped to
# a missing path answers differently under Wine: "path not found", a "System error".)
if ! wine_map_com 1 "$WORK/com1"; then
    echo "FAIL test_config_wine: COM port mapping"
    exit 1
fi

start_sim --eeprom bad-ranges || { echo "FAIL test_config_wine: k7340sim"; exit 1; }

# Command-line paths: no library call, the bad-ranges unit stays as it is.
run_case "no arguments" 1 "$BANNER"'ERROR: wrong number of arguments\r\n'"$USAGE"
run_case "two arguments" 1 "$BANNER"'ERROR: wrong number of arguments\r\n'"$USAGE" 0 50000
run_case "vrange 1999" 1 "$BANNER"'ERROR: vrange must fall within 2000:60000\r\n'"$USAGE" \
    0 1999 500
run_case "irange 20001" 1 "$BANNER"'ERROR: irange must fall within 50:20000\r\n'"$USAGE" \
    0 50000 20001
run_case "vrange 100 irange 5" 1 "$BANNER"'ERROR: vrange must fall within 2000:60000\r\n'"$USAGE" \
    0 100 5
check "command-line errors send nothing to the supply" untouched

# Stored ranges out of bounds (-8): configured at once, no question.
run_case "out-of-bounds EEPROM configured at once" 0 "$BANNER"'configuring unit ... \r\nOK' \
    0 40000 250
check "EEPROM holds 40000 250" test "$(eeprom_ranges)" = "40000 250"

# The supply refuses an irange above 500: nothing is written.
start_sim --eeprom bad-ranges || { echo "FAIL test_config_wine: k7340sim"; exit 1; }
run_case "irange 1000 refused" 1 \
    "$BANNER"'configuring unit ... \r\nFAILED!\r\nERROR: Illegal argument value\r\n' 0 20000 1000
check "refused irange writes nothing" unwritten

# A COM port whose device does not exist.
run_case "missing COM port" 1 \
    "$BANNER"'Can'"'"'t open the power supply\r\nERROR: COM port busy or not found\r\n' 4 50000 500

# A question answered with one key. Wine reads _getch's key from a console, which it makes of
# a Unix terminal on standard input: `script` gives it one. Wine draws that console with
# escape sequences (cursor moves stand for spaces), so the text is compared without them.
start_sim --eeprom blank || { echo "FAIL test_config_wine: k7340sim"; exit 1; }
(sleep 2; printf Y) | (cd "$WIN_BUILD/bin" &&
    timeout 120 script -qec "$WINE_LOADER ./k7340config.exe 0 30000 350" /dev/null) \
    >"$WORK/console" 2>&1
status=$?
squeeze() { sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1b\][^\x07]*\x07//g' | tr -d ' \r\n'; }
want=$(printf 'Vantrel MODEL 7340 CONFIGURATION UTILITY\nWARNING: unit is not calibrated\nproceed anyway (Y/N)? Y\nconfiguring unit ... \nOK' | squeeze)
got=$(squeeze <"$WORK/console")
check "not-calibrated unit answered Y through the console (exit status $status)" \
    test "$status" -eq 0 -a "$got" = "$want"
check "EEPROM holds 30000 350 after the answer" test "$(eeprom_ranges)" = "30000 350"

echo "test_config_wine ($BUILD): $PASSED passed, $FAILED failed"
if [ "$FAILED" -ne 0 ]; then
    echo "FAIL test_config_wine ($BUILD)"
    exit 1
fi
echo "PASS test_config_wine ($BUILD)"
exit 0
