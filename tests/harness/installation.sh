# Sourced by scripts/demo.sh, the end-to-end tests and
# scripts/dialog-pictures.sh, after wine-prefix.sh and release-server.sh: an
# installed Quillon in the prefix and the daemon that runs from it, driven
# only from outside (window messages, dialogs, registry, files).
#
#   qln_install_release <version>     Wine's msiexec /i of the release's
#                                     package into C:\Program Files\Quillon
#   qln_stand_in_msiexec <key=value>...  the stand-in msiexec.exe (see
#                                     tests/tools/qln_fake_msiexec) in
#                                     system32, its control file for the
#                                     daemon with these lines in
#                                     C:\QuillonRun\tools; "/i" goes to
#                                     Wine's msiexec
#   qln_setting <name> <value>        a configuration override (REG_SZ under
#                                     HKCU\Software\Quillon\KM)
#   qln_daemon_start                  bin\QLNUpgrade.exe of the installation,
#                                     working directory C:\QuillonRun\tools;
#                                     waits for its window
#   qln_daemon_stop                   asks it to quit, waits, then kills
#   qln_dialog <args>                 qln_answer_dialog.exe (show/click/none)
#   qln_send <args>                   qln_send_request.exe
#   qln_log                           the day's log of daemon and elevated copy
#                                     (qln_log and qln_history never fail, so
#                                     that callers under "set -e" go on)
#   qln_wait_log <regex> <seconds>    waits for a log line
#   qln_history                       the result history, "Count=n" and one
#                                     "Entry<i>=<line>" per line
#   qln_installed_version             version.txt of the installation
#
# Wine's msiexec cannot unpack a package administratively ("/a"), which the
# replace strategy needs. The stand-in in system32, where the daemon starts
# msiexec.exe from, does that part by writing the release's files as
# "msiexec /a" would.

QLN_INSTALL_DIR=""
QLN_TOOLS_DIR=""
QLN_DAEMON_PID=""

_qln_unix_to_win() {
    local p="$1"
    echo "Z:${p//\//\\}"
}

qln_install_release() {
    local version="$1"
    local msi="$QLN_RELEASE_DIR/releases/$version/Quillon-$version-x64.msi"
    QLN_INSTALL_DIR="$WINEPREFIX/drive_c/Program Files/Quillon"
    "$QLN_WINE" msiexec /i "$(_qln_unix_to_win "$msi")" /qn >/dev/null 2>&1 || true
    [ -f "$QLN_INSTALL_DIR/bin/QLNUpgrade.exe" ] && [ "$(qln_installed_version)" = "$version" ] ||
        { echo "installing release $version failed" >&2; return 1; }
    # Log in a fixed place, at debug level.
    qln_setting LoggerDir 'C:\QuillonRun\Logger\'
    qln_setting LoggerLevel debug
}

qln_installed_version() {
    tr -d '\r\n' <"$QLN_INSTALL_DIR/version.txt" 2>/dev/null
}

qln_stand_in_msiexec() {
    QLN_TOOLS_DIR="$WINEPREFIX/drive_c/QuillonRun/tools"
    mkdir -p "$QLN_TOOLS_DIR"
    qln_prefix_msiexec_stand_in "$QLN_BIN_DIR/qln_fake_msiexec.exe" || return 1
    {
        echo 'install=C:\windows\system32\qln_wine_msiexec.exe'
        local line
        for line in "$@"; do echo "$line"; done
    } >"$QLN_TOOLS_DIR/qln_fake_msiexec.control"
}

qln_setting() {
    "$QLN_WINE" reg add 'HKCU\Software\Quillon\KM' /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1
}

qln_send() { "$QLN_WINE" "$QLN_BIN_DIR/qln_send_request.exe" "$@" 2>/dev/null; }
qln_dialog() { "$QLN_WINE" "$QLN_BIN_DIR/qln_answer_dialog.exe" "$@" 2>/dev/null; }

qln_daemon_start() {
    [ -n "$QLN_TOOLS_DIR" ] || qln_stand_in_msiexec
    (cd "$QLN_TOOLS_DIR" && QLN_FAKE_MSIEXEC_CONTROL='C:\QuillonRun\tools\qln_fake_msiexec.control' \
        exec "$QLN_WINE" 'C:\Program Files\Quillon\bin\QLNUpgrade.exe' </dev/null >/dev/null 2>&1) &
    QLN_DAEMON_PID=$!
    qln_send wait 30000 >/dev/null || { echo "the daemon's window did not appear" >&2; return 1; }
}

qln_daemon_stop() {
    [ -n "$QLN_DAEMON_PID" ] || return 0
    qln_send quit >/dev/null || true
    local i
    for i in $(seq 1 50); do
        kill -0 "$QLN_DAEMON_PID" 2>/dev/null || break
        sleep 0.2
    done
    kill "$QLN_DAEMON_PID" 2>/dev/null || true
    wait "$QLN_DAEMON_PID" 2>/dev/null || true
    QLN_DAEMON_PID=""
}

qln_log() {
    cat "$WINEPREFIX/drive_c/QuillonRun/Logger/"*.upgrade.log 2>/dev/null | tr -d '\r' || true
}

qln_wait_log() {
    local regex="$1" deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do
        qln_log | grep -Eq "$regex" && return 0
        sleep 1
    done
    return 1
}

qln_history() {
    local name type value
    "$QLN_WINE" reg query 'HKCU\Software\Quillon\KM\UpgradeResult' 2>/dev/null | tr -d '\r' |
        while read -r name type value; do
            case "$name:$type" in
                Count:REG_DWORD) echo "Count=$((value))" ;;
                Entry*:REG_SZ) echo "$name=$value" ;;
            esac
        done || true
}
