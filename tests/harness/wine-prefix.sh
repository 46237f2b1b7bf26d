# Sourced: creates a fresh Wine prefix for one run and a persistent
# wineserver; qln_prefix_destroy stops the server and removes the prefix.
#   qln_prefix_create <dir>     exports WINEPREFIX, WINEDEBUG, WINEARCH, QLN_WINE
#   qln_prefix_destroy

QLN_WINE="${QLN_WINE:-/usr/lib/wine/wine64}"
[ -x "$QLN_WINE" ] || QLN_WINE="$(command -v wine64 || command -v wine)"
QLN_WINESERVER="$(command -v wineserver || echo /usr/lib/wine/wineserver64)"
[ -x "$QLN_WINESERVER" ] || QLN_WINESERVER=/usr/lib/wine/wineserver64

qln_prefix_create() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    export WINEARCH=win64
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export QLN_WINE
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$QLN_WINE" wineboot -i >/dev/null 2>&1 || true
    # Hidden windows, timers and WM_COPYDATA need the null display driver.
    "$QLN_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # Let the set-up server finish before the persistent one starts, or windows
    # of one process were seen to be invisible to the next.
    "$QLN_WINESERVER" -w
    "$QLN_WINESERVER" -p </dev/null >/dev/null 2>&1 &
    sleep 0.5
}

qln_prefix_destroy() {
    [ -n "${WINEPREFIX:-}" ] || return 0
    "$QLN_WINESERVER" -k >/dev/null 2>&1 || true
    "$QLN_WINESERVER" -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
