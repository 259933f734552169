# wine_env.sh - a private Wine prefix for running the Windows builds against k7340sim.
#
# Source it from bash:
#   . tests/wine/wine_env.sh
#   wine_use_build mingw64              # the loader for that build: sets WINE_LOADER
#   wine_env_create                     # private prefix, booted (about 10 s)
#   wine_map_com 1 "$dir/com1"          # COM1 -> the simulator's pty link
#   wine_run build/mingw64/bin/k7340config.exe 0 50000 500
#   wine_env_destroy                    # stop the wineserver, remove the prefix
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
