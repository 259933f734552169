#!/bin/bash
# test_panel_wine.sh - 7340demo.exe end to end under Wine and Xvfb against k7340sim.
#
#   tests/wine/test_panel_wine.sh [--save-screenshots] [mingw64|mingw32]
#
# Runs the panel and the driver of one build (default mingw64): mingw64 under
# /usr/lib/wine/wine64, mingw32 under Wine's 32-bit loader /usr/lib/wine/wine. Needs
# build/linux/bin/k7340sim and build/BUILD/bin/{k7340.dll,7340demo.exe,panel_driver.exe} (built
# here when missing) and the 32-bit build/mingw32/bin/7340demo.exe for the import check.
# The screenshots land in build/wine/panel/BUILD/; --save-screenshots also copies them to
# docs/screenshots/. Exits non-zero when any check failed.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root" || exit 1
save_screenshots=0
build=mingw64
for arg in "$@"; do
    case $arg in
    --save-screenshots) save_screenshots=1 ;;
    *) build=$arg ;;
    esac
done

sim=$root/build/linux/bin/k7340sim
bin=$root/build/$build/bin
out=$root/build/wine/panel/$build
mkdir -p "$out"
failed=0
passed=0

note() { echo "== $*"; }
result() { # result NAME STATUS
    if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi
}

# --- builds --------------------------------------------------------------------------------
if [ ! -x "$sim" ]; then
    { [ -d build/linux ] || cmake --preset linux >/dev/null; } &&
        cmake --build build/linux -j2 --target k7340sim >/dev/null || { echo "FAIL: k7340sim build"; exit 1; }
fi
for preset in mingw64 mingw32; do
    { [ -d build/$preset ] || cmake --preset $preset >/dev/null; } &&
        cmake --build build/$preset -j2 --target 7340demo >/dev/null ||
        { echo "FAIL: $preset build of 7340demo"; exit 1; }
done
cmake --build build/$build -j2 --target panel_driver >/dev/null || { echo "FAIL: panel_driver build"; exit 1; }
. "$root/tests/wine/wine_env.sh"
wine_use_build "$build" || { echo "FAIL: no Wine loader for $build"; exit 1; }

# --- the import table of the 32-bit build ----------------------------------------------------
note "imports of the i686 7340demo.exe"
"$root/tests/wine/check_panel_imports.sh" "$root/build/mingw32/bin/7340demo.exe"
result "imports" $?

# --- X server, Wine prefix, simulated supply -------------------------------------------------
dir=$(mktemp -d "${TMPDIR:-/tmp}/k7340-panel.XXXXXX")
cleanup() {
    harness_stop
    rm -rf "$dir"
}
trap cleanup EXIT

xvfb_start "$dir" || { echo "FAIL: Xvfb did not start"; exit 1; }
note "Wine prefix (wineboot takes a while)"
wine_env_create || { echo "FAIL: Wine prefix"; exit 1; }

# start_sim LOG OPTIONS...: a supply on $dir/com1 with a control FIFO; its log in $dir/LOG.
start_sim() {
    local log=$1
    shift
    rm -f "$dir/ctl"
    sim_start "$sim" "$dir/com1" "$dir/$log" --control "$dir/ctl" "$@" ||
        { echo "FAIL: k7340sim did not come up"; return 1; }
}

bridge_start "$dir/bridge" "$out" "$dir/ctl"
wine_unmanaged_windows
wine_map_com 1 "$dir/com1" || { echo "FAIL: COM mapping"; exit 1; }

run_driver() { # run_driver SCENARIO LOG
    panel_driver_run 600 "$bin" "$1" "$dir/$2" "$dir/bridge" 2>"$dir/driver-$1.err"
}

note "a configured supply on COM1 (50000 V, 200 uA, firmware 0x0123), nothing on COM5"
start_sim sim-main.log --vrange 50000 --irange 200 --fw 0x0123 || exit 1
run_driver main sim-main.log
result "main" $?
sim_stop
cp "$dir/sim-main.log" "$out/sim-main.log"

note "a supply with a blank EEPROM on COM1"
start_sim sim-blank.log --eeprom blank || exit 1
run_driver blank sim-blank.log
result "blank" $?
sim_stop
cp "$dir/sim-blank.log" "$out/sim-blank.log"

if [ $save_screenshots -eq 1 ]; then
    mkdir -p "$root/docs/screenshots"
    for name in panel-connected panel-help panel-about; do
        [ -f "$out/$name.png" ] && cp "$out/$name.png" "$root/docs/screenshots/$name.png"
    done
fi
echo "screenshots and simulator logs: $out"
echo "panel wine ($build): $passed passed, $failed failed"
[ $failed -eq 0 ]
