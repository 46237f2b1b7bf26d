# Sourced: creates a fresh Wine prefix for one run and a persistent
# wineserver; qln_prefix_destroy stops the server and removes the prefix.
#   qln_prefix_create <dir>     exports WINEPREFIX, WINEDEBUG, WINEARCH, QLN_WINE
#   qln_prefix_msiexec_stand_in <qln_fake_msiexec.exe>
#                               puts the stand-in msiexec where Windows looks
#                               for the system's, system32\msiexec.exe (the
#                               daemon starts it by that full path), and Wine's
#                               own beside it as qln_wine_msiexec.exe, to which
#                               "/i" goes unless a control file (see
#                               tests/tools/qln_fake_msiexec) says otherwise
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

qln_prefix_msiexec_stand_in() {
    local system="$WINEPREFIX/drive_c/windows/system32" builtin
    for builtin in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/msiexec.exe /usr/lib/wine/x86_64-windows/msiexec.exe; do
        [ -f "$builtin" ] && break
    done
    [ -f "$builtin" ] && [ -f "$1" ] || { echo "qln_prefix_msiexec_stand_in: no msiexec.exe to put in place" >&2; return 1; }
    cp "$builtin" "$system/qln_wine_msiexec.exe"
    cp "$1" "$system/msiexec.exe"
    echo 'install=C:\windows\system32\qln_wine_msiexec.exe' >"$system/qln_fake_msiexec.control"
    # Else Wine would run its built-in msiexec whatever lies in system32.
    "$QLN_WINE" reg add 'HKCU\Software\Wine\DllOverrides' /v msiexec.exe /d native /f >/dev/null 2>&1
}

qln_prefix_destroy() {
    [ -n "${WINEPREFIX:-}" ] || return 0
    "$QLN_WINESERVER" -k >/dev/null 2>&1 || true
    "$QLN_WINESERVER" -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
