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
xvfb_pid=
sim_pid=
bridge_pid=
cleanup() {
    [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    declare -F wine_env_destroy >/dev/null && wine_env_destroy
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
[ -s "$dir/display" ] || { echo "FAIL: Xvfb did not start"; cat "$dir/xvfb.log"; exit 1; }
export DISPLAY=:$(cat "$dir/display")

note "Wine prefix (wineboot takes a while)"
wine_env_create || { echo "FAIL: Wine prefix"; exit 1; }

# start_sim LOG OPTIONS...: a supply on $dir/com1 with a control FIFO; its log in $dir/LOG.
start_sim() {
    local log=$1
    shift
    rm -f "$dir/ctl"
    "$sim" --link "$dir/com1" --log --control "$dir/ctl" "$@" >"$dir/$log" 2>"$dir/$log.err" &
    sim_pid=$!
    for _ in $(seq 100); do [ -L "$dir/com1" ] && [ -p "$dir/ctl" ] && return 0; sleep 0.05; done
    echo "FAIL: k7340sim did not come up"; cat "$dir/$log.err"
    return 1
}
stop_sim() {
    kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    sim_pid=
}

# The driver's requests: N.shot "NAME GEOMETRY" takes a screenshot, N.ctl a simulator command.
mkdir -p "$dir/bridge"
bridge() {
    while :; do
        for req in "$dir"/bridge/*.shot "$dir"/bridge/*.ctl; do
            [ -e "$req" ] || continue
            base=${req%.*}
            case $req in
            *.shot)
                read -r name geometry <"$req"
                import -window root -crop "$geometry" +repage "$out/$name.png" 2>>"$dir/import.log"
                ;;
            *.ctl)
                cat "$req" >"$dir/ctl"
                echo >"$dir/ctl"
                sleep 0.1
                ;;
            esac
            rm -f "$req"
            touch "$base.done"
        done
        sleep 0.1
    done
}
bridge &
bridge_pid=$!

win() { echo "Z:$1" | sed 's|/|\\|g'; }
# Without a window manager Wine draws the captions and frames itself.
"$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine_map_com 1 "$dir/com1" || { echo "FAIL: COM mapping"; exit 1; }

run_driver() { # run_driver SCENARIO LOG
    timeout 600 "$WINE_LOADER" "$bin/panel_driver.exe" "$1" "$(win "$bin/7340demo.exe")" "$(win "$dir/$2")" \
        "$(win "$dir/bridge")" 2>"$dir/driver-$1.err"
}

note "a configured supply on COM1 (50000 V, 200 uA, firmware 0x0123), nothing on COM5"
start_sim sim-main.log --vrange 50000 --irange 200 --fw 0x0123 || exit 1
run_driver main sim-main.log
result "main" $?
stop_sim
cp "$dir/sim-main.log" "$out/sim-main.log"

note "a supply with a blank EEPROM on COM1"
start_sim sim-blank.log --eeprom blank || exit 1
run_driver blank sim-blank.log
result "blank" $?
stop_sim
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
