# wine_env.sh - what the Windows programs need around them when they run against k7340sim:
# a private Wine prefix, a headless X server, the simulated supply, and the bridge that answers
# the panel driver's requests. scripts/demo and both Wine tests source it.
#
# Source it from bash:
#   . tests/wine/wine_env.sh
#   xvfb_start "$dir"                   # only for GUI programs without a display
#   sim_start "$sim" "$dir/com1" "$dir/sim.log" --control "$dir/ctl"
#   wine_use_build mingw64              # the loader for that build: sets WINE_LOADER
#   wine_env_create                     # private prefix, booted (about 10 s)
#   wine_map_com 1 "$dir/com1"          # COM1 -> the simulator's pty link
#   wine_run build/mingw64/bin/k7340config.exe 0 50000 500
#   harness_stop                        # bridge, simulator, prefix and X server, from a trap
#
# The prefix's wineserver is kept running (persistent, output discarded) from wine_env_create
# until wine_env_destroy: do not wait for it with a bare `wineserver -w`, which would not return.
# The loader is always named, never left to the `wine` wrapper: /usr/lib/wine/wine64 runs the
# mingw64 build, Wine's 32-bit loader /usr/lib/wine/wine (package wine32:i386) the mingw32 build.
# The prefix itself is always booted and edited with the 64-bit loader, so that it is the same
# win64 prefix (with its 32-bit side where wine32 is installed) whichever build runs in it.
#
# WINE_SHARED_PREFIX names a folder to use as the prefix instead of a fresh one: booted on first
# use, kept by wine_env_destroy (whose caller removes it). The 32- and 64-bit runs of one test
# share it to boot once. The functions return non-zero on failure and print why on stderr.

WINE64=/usr/lib/wine/wine64
unset WINEPREFIX # the caller's own prefix is never used, nor removed by wine_env_destroy
WINE_LOADER=${WINE_LOADER:-$WINE64}
if [ -z "${WINE_SERVER:-}" ]; then
    if [ -x /usr/lib/wine/wineserver64 ]; then
        WINE_SERVER=/usr/lib/wine/wineserver64
    else
        WINE_SERVER=wineserver
    fi
fi
export WINESERVER="$WINE_SERVER"

# wine_use_build mingw64|mingw32: sets WINE_LOADER to the loader of that build.
wine_use_build() {
    case $1 in
    mingw64) WINE_LOADER=$WINE64 ;;
    mingw32) WINE_LOADER=/usr/lib/wine/wine ;;
    *)
        echo "wine_env: unknown build '$1' (mingw64 or mingw32)" >&2
        return 1
        ;;
    esac
    if [ ! -x "$WINE_LOADER" ]; then
        echo "wine_env: $WINE_LOADER not found (the $1 build needs it; scripts/setup installs" \
            "wine32:i386 where the machine runs 32-bit programs)" >&2
        return 1
    fi
}

# Creates a fresh prefix in a temporary folder (or takes WINE_SHARED_PREFIX) and boots it.
# Exports WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES (no Mono or Gecko install dialogs).
wine_env_create() {
    if [ -n "${WINE_SHARED_PREFIX:-}" ]; then
        WINEPREFIX=$WINE_SHARED_PREFIX
    else
        WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/k7340-wine.XXXXXX") || return 1
    fi
    export WINEPREFIX
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES='mscoree,mshtml='
    if [ -f "$WINEPREFIX/system.reg" ]; then
        wine_server_start # booted by an earlier run
        return
    fi
    if ! "$WINE64" wineboot -i >"$WINEPREFIX/.wineboot.log" 2>&1; then
        echo "wine_env: wineboot failed, see $WINEPREFIX/.wineboot.log" >&2
        return 1
    fi
    # wineboot returns before the prefix is fully written; wait for the server to go idle.
    "$WINE_SERVER" -w
    wine_server_start
}

# Starts the prefix's wineserver in the background, kept alive between programs, with its
# output discarded: a server started by wine_run would inherit the program's stderr and fill a
# captured stderr with its own diagnostics.
wine_server_start() {
    "$WINE_SERVER" -p >/dev/null 2>&1 </dev/null
}

# wine_map_com N PATH: COMN opens the Unix device PATH (a pty or its symlink). Restarts the
# wineserver so that the next program sees the mapping.
wine_map_com() {
    local port=$1 path=$2
    if [ -z "${WINEPREFIX:-}" ]; then
        echo "wine_env: wine_map_com before wine_env_create" >&2
        return 1
    fi
    if ! "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "COM$port" /d "$path" /f \
        >/dev/null 2>&1; then
        echo "wine_env: reg add COM$port -> $path failed" >&2
        return 1
    fi
    "$WINE_SERVER" -k 2>/dev/null
    "$WINE_SERVER" -w 2>/dev/null
    wine_server_start
}

# wine_run PROGRAM [ARGS...]: runs a Windows program in the prefix with WINE_LOADER and returns
# its exit status.
wine_run() {
    "$WINE_LOADER" "$@"
}

# Stops the prefix's wineserver and removes the prefix (a shared one is kept). Safe to call
# twice and from a trap.
wine_env_destroy() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        "$WINE_SERVER" -k 2>/dev/null
        "$WINE_SERVER" -w 2>/dev/null
        [ "$WINEPREFIX" = "${WINE_SHARED_PREFIX:-}" ] || rm -rf "$WINEPREFIX"
    fi
    unset WINEPREFIX
    return 0
}

# wine_path PATH: the Windows name of a Unix path (drive Z: is the root).
wine_path() {
    echo "Z:$1" | sed 's|/|\\|g'
}

# Without a window manager Wine draws the captions and frames itself.
wine_unmanaged_windows() {
    "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
}

# --- the X server --------------------------------------------------------------------------

# xvfb_start DIR: a headless X server at 1024 x 768, its display number in DIR/display and its
# messages in DIR/xvfb.log. Exports DISPLAY; sets XVFB_PID.
xvfb_start() {
    local dir=$1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
    XVFB_PID=$!
    local i
    for i in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
    if [ ! -s "$dir/display" ]; then
        echo "wine_env: Xvfb did not start:" >&2
        cat "$dir/xvfb.log" >&2
        return 1
    fi
    export DISPLAY=:$(cat "$dir/display")
}

xvfb_stop() {
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
}

# --- the simulated supply ------------------------------------------------------------------

# sim_start SIM LINK LOG [OPTIONS...]: k7340sim with its pty behind the link LINK, its decoded
# traffic log in LOG and its own messages in LOG.err. Returns once the link and the files of
# any --control and --eeprom-file options exist. Sets SIM_PID.
sim_start() {
    local sim=$1 link=$2 log=$3
    shift 3
    local files=() previous= option
    for option in "$@"; do
        case $previous in --control | --eeprom-file) files+=("$option") ;; esac
        previous=$option
    done
    "$sim" --link "$link" --log "$@" </dev/null >"$log" 2>"$log.err" &
    SIM_PID=$!
    local i file ready
    for i in $(seq 200); do
        ready=1
        [ -L "$link" ] || ready=0
        for file in "${files[@]}"; do [ -e "$file" ] || ready=0; done
        [ $ready -eq 1 ] && return 0
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "wine_env: k7340sim did not come up:" >&2
    cat "$log.err" >&2
    sim_stop
    return 1
}

sim_stop() {
    if [ -n "${SIM_PID:-}" ]; then
        kill "$SIM_PID" 2>/dev/null
        wait "$SIM_PID" 2>/dev/null
    fi
    SIM_PID=
}

# --- the panel driver's bridge -------------------------------------------------------------

# bridge_start DIR SHOTS CONTROL: answers what the panel driver asks for in DIR: "N.shot"
# ("NAME GEOMETRY") saves that part of the screen as SHOTS/NAME.png, "N.ctl" writes its line to
# the simulator's control FIFO CONTROL; each is answered with "N.done". Sets BRIDGE_PID.
bridge_start() {
    local dir=$1 shots=$2 control=$3
    mkdir -p "$dir"
    (
        while :; do
            for req in "$dir"/*.shot "$dir"/*.ctl; do
                [ -e "$req" ] || continue
                case $req in
                *.shot)
                    read -r name geometry <"$req"
                    import -window root -crop "$geometry" +repage "$shots/$name.png" \
                        2>>"$dir/import.log"
                    ;;
                *.ctl)
                    { cat "$req"; echo; } >"$control"
                    sleep 0.1 # the simulator takes it in before the driver goes on
                    ;;
                esac
                rm -f "$req"
                touch "${req%.*}.done"
            done
            sleep 0.1
        done
    ) &
    BRIDGE_PID=$!
}

bridge_stop() {
    [ -n "${BRIDGE_PID:-}" ] && kill "$BRIDGE_PID" 2>/dev/null
    BRIDGE_PID=
}

# panel_driver_run SECONDS BIN SCENARIO LOG BRIDGE: BIN/panel_driver.exe works BIN/7340demo.exe
# through SCENARIO, reading the simulator's log LOG and asking through the bridge folder BRIDGE.
panel_driver_run() {
    local seconds=$1 bin=$2 scenario=$3 log=$4 bridge=$5
    timeout "$seconds" "$WINE_LOADER" "$bin/panel_driver.exe" "$scenario" \
        "$(wine_path "$bin/7340demo.exe")" "$(wine_path "$log")" "$(wine_path "$bridge")"
}

# Stops whatever of the above is running. Safe to call twice and from a trap.
harness_stop() {
    bridge_stop
    sim_stop
    wine_env_destroy
    xvfb_stop
}
