#!/usr/bin/env bash
# End-to-end tests: release N installed into C:\Program Files\Quillon of a
# fresh Wine prefix, the daemon started from there and driven only from
# outside (its timers, window messages, the registry, files, its dialogs read
# and answered), against the nginx release server serving N+1.
#
# Usage: e2e.sh --bin-dir DIR --host https://127.0.0.1:PORT <scenario>
# Scenarios:
#   replace-in-use   update check -> silent upgrade by replacement while a
#                    file is in use -> "Restart later"
#   msi-failover     external WM_COPYDATA request; replacement fails, the
#                    upgrade goes through msiexec
#   manual           "immediate_manual": prompt, the installer's wizard
#   interrupted      the deploying process dies mid-deployment; resumed after
#                    the prompt at the next start
#   unsigned         unsigned package: downloaded twice, refused; then accepted
#                    after one question and installed
#   history          a full history of 50 lines rolls over
# Exit code 0 when every check passed; each failed check prints FAIL.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

bin_dir="" host="" scenario=""
while [ $# -gt 0 ]; do
    case "$1" in
        --bin-dir) bin_dir="$2"; shift 2 ;;
        --host) host="$2"; shift 2 ;;
        *) scenario="$1"; shift ;;
    esac
done
[[ "$host" =~ ^https://127\.0\.0\.1:([0-9]+)$ ]] || { echo "e2e.sh: --host must be https://127.0.0.1:<port>" >&2; exit 2; }
port="${BASH_REMATCH[1]}"
export QLN_BIN_DIR="$bin_dir"
run_dir="$(mktemp -d "${TMPDIR:-/tmp}/qln-e2e.XXXXXX")"
export QLN_RUN_DIR="$run_dir"

source "$root/tests/harness/wine-prefix.sh"
source "$root/tests/harness/release-server.sh"
source "$root/tests/harness/installation.sh"

holder=""
cleanup() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null
    qln_daemon_stop
    qln_release_server_stop
    qln_prefix_destroy
    rm -rf "$run_dir"
}
trap cleanup EXIT

failures=0
check() {
    local what="$1"; shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}
fatal() {
    echo "FAIL: $*"
    echo "--- log"; qln_log | tail -60
    exit 1
}
contains() { grep -Eq -- "$2" <<<"$1"; }
log_has() { qln_log | grep -Eq -- "$1"; }
log_lacks() { ! log_has "$1"; }
# grep reads the whole log: "grep -q" would stop at the first match, and
# under pipefail the SIGPIPE of the writer still feeding it fails the check.
msi_log_has() { cat "$WINEPREFIX/drive_c/QuillonRun/Logger/"*.upgrade.msi.log 2>/dev/null | tr -d '\r' | grep -E -- "$1" >/dev/null; }
history_last() { qln_history | grep "^Entry$(( $(qln_history | sed -n 's/^Count=//p') - 1 ))=" | cut -d= -f2-; }
history_last_is() { [[ "$(history_last)" =~ ^[0-9]+\|$1$ ]]; }

# Every file of release $1 is in the installation with the same content;
# beyond them only backup files (*.qlnupd.bak) that wait for a restart and
# nothing else.
tree_equals_release() {
    local tree="$QLN_RELEASE_DIR/releases/$1/tree" f rel ok=0
    while IFS= read -r -d '' f; do
        rel="${f#"$tree"/}"
        cmp -s "$f" "$QLN_INSTALL_DIR/$rel" || { echo "  differs from release $1: $rel"; ok=1; }
    done < <(find "$tree" -type f -print0)
    while IFS= read -r -d '' f; do
        rel="${f#"$QLN_INSTALL_DIR"/}"
        [ -e "$tree/$rel" ] || [[ "$rel" == *.qlnupd.bak ]] ||
            { echo "  not in release $1: $rel"; ok=1; }
    done < <(find "$QLN_INSTALL_DIR" -type f -print0)
    return $ok
}

# Answers whatever follow-up dialogs the outcome brings (restart question,
# Explorer check, success or failure message) until none shows for 5 s.
answer_follow_ups() {
    local out choice
    while out="$(qln_dialog show 5000)"; do
        for choice in "Restart later" "Everything is fine" "OK"; do
            if grep -q "^button [0-9]*: $choice" <<<"$out"; then
                qln_dialog click "$choice" 5000 >/dev/null
                continue 2
            fi
        done
        echo "  unexpected dialog:"; echo "$out"; return 1
    done
    return 0
}

# A value of the upgrade progress record (empty when missing).
progress_value() {
    "$QLN_WINE" reg query 'HKCU\Software\Quillon\KM\UpgradeProgress' /v "$1" 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *'"$1"' *REG_SZ *//p'
}

pending_renames() {
    "$QLN_WINE" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations \
        2>/dev/null | tr -d '\r'
}

qln_prefix_create "$run_dir/prefix"
qln_release_server_start "$run_dir/release" "$port" "$QLN_BIN_DIR/QLNUpgrade.exe" >"$run_dir/release.log" 2>&1 ||
    { cat "$run_dir/release.log"; fatal "release server did not start"; }
qln_install_release "$QLN_RELEASE_N" || fatal "release N not installed"
n1_admin="admin_tree=$(_qln_unix_to_win "$QLN_RELEASE_DIR/releases/$QLN_RELEASE_N1/admin")"
# Another program holds a file open with the given sharing (see qln_hold_file)
# until the scenario or the clean-up kills it.
hold_file() {
    "$QLN_WINE" "$QLN_BIN_DIR/qln_hold_file.exe" - "$1" "$2" </dev/null >/dev/null 2>&1 &
    holder=$!
}
downloads_of() { grep -c "GET /SVN/Quillon/$1/" "$QLN_RELEASE_DIR/nginx/access.log"; }

case "$scenario" in
replace-in-use)
    qln_stand_in_msiexec "$n1_admin"
    qln_setting QlnUpgradeMode immediate_silent
    # The shell extension is loaded, as Explorer keeps it.
    hold_file rename 'C:\Program Files\Quillon\bin\QLNShell64.dll'
    qln_daemon_start || fatal "daemon did not start"
    # The first update check runs 30 s after start.
    dialog="$(qln_dialog click "Restart later" 180000)"
    check "reboot prompt answered Restart later" contains "$dialog" "clicking: Restart later"
    check "reboot prompt text" contains "$dialog" "static: Upgrade completed. A restart is needed for some changes to take effect."
    check "update check found N+1" log_has "LoadVersionInfo: got version=$QLN_RELEASE_N1"
    check "silent worker started" log_has "Starting silent upgrade worker for version $QLN_RELEASE_N1"
    check "locked file renamed and copied" log_has "Locked file replaced via rename\+copy: .*QLNShell64.dll"
    check "outcome logged" qln_wait_log "Upgrade completed via replace strategy, some files need reboot" 20
    # Written once the daemon has the answer, which may be after the click returns.
    check "restart later logged" qln_wait_log "User chose to restart later" 20
    check "history: silent, success, code 3" history_last_is "silent\|1\|3\|$QLN_RELEASE_N1"
    check "installation equals N+1" tree_equals_release "$QLN_RELEASE_N1"
    check "backup of the locked file exists" test -f "$QLN_INSTALL_DIR/bin/QLNShell64.dll.qlnupd.bak"
    check "backup deleted at restart" contains "$(pending_renames)" 'QLNShell64\.dll\.qlnupd\.bak'
    check "package downloaded once" test "$(downloads_of "$QLN_RELEASE_N1")" -eq 1
    ;;
msi-failover)
    # The administrative extraction fails, so the replace strategy cannot
    # run; Windows Installer installs N+1.
    qln_stand_in_msiexec exit=1603
    qln_setting QlnUpgradeMode immediate_silent
    qln_setting VersionCheck false
    qln_daemon_start || fatal "daemon did not start"
    qln_send copydata 0x514C4E00 "$QLN_RELEASE_N1"
    check "WM_COPYDATA request accepted" test $? -eq 1
    dialog="$(qln_dialog click "Continue upgrade" 120000)"
    check "installer confirmation answered" contains "$dialog" "clicking: Continue upgrade"
    check "external request logged" log_has "External upgrade requested \(manual=false, version=$QLN_RELEASE_N1\)"
    check "outcome logged" qln_wait_log "Upgrade completed (successfully \(type=silent\)|, some files need reboot)" 180
    check "follow-up dialogs answered" answer_follow_ups
    check "replace strategy failed over" log_has "Strategy \[SilentReplace\] failed"
    check "installer ran without UI" msi_log_has "UILevel = 2"
    check "history: silent, success" history_last_is "silent\|1\|[01]\|$QLN_RELEASE_N1"
    check "installation equals N+1" tree_equals_release "$QLN_RELEASE_N1"
    ;;
manual)
    qln_stand_in_msiexec
    qln_setting QlnUpgradeMode immediate_manual
    qln_daemon_start || fatal "daemon did not start"
    dialog="$(qln_dialog click "Upgrade now" 180000)"
    check "update-available prompt answered" contains "$dialog" "clicking: Upgrade now"
    check "prompt names N+1" contains "$dialog" "static: Quillon $QLN_RELEASE_N1 is available"
    check "outcome logged" qln_wait_log "Upgrade completed (successfully \(type=manual\)|, some files need reboot)" 180
    # Windows Installer's own log of that run: the wizard (full UI), not a
    # silent installation, put the files in place.
    check "installer ran with its full UI" msi_log_has "UILevel = 5"
    check "installer copied the files" msi_log_has "Action ended .*: InstallFiles\. Return value 1"
    check "history: manual, success" history_last_is "manual\|1\|[01]\|$QLN_RELEASE_N1"
    check "installation equals N+1" tree_equals_release "$QLN_RELEASE_N1"
    ;;
interrupted)
    # Deployment stops at version.txt, which another program holds open
    # without sharing (each failed copy is retried after a pause); meanwhile
    # the deploying process dies, as in a crash or a power failure. Under
    # Wine every process is elevated, so that process is the daemon itself.
    qln_stand_in_msiexec "$n1_admin"
    qln_setting QlnUpgradeMode immediate_silent
    hold_file none 'C:\Program Files\Quillon\version.txt'
    qln_daemon_start || fatal "daemon did not start"
    deadline=$((SECONDS + 180))
    until log_has "Deploy attempt 1/[0-9]+ failed for: .*version\.txt"; do
        [ $SECONDS -lt $deadline ] || fatal "deployment never reached version.txt"
        sleep 0.2
    done
    kill -9 "$QLN_DAEMON_PID" 2>/dev/null; wait "$QLN_DAEMON_PID" 2>/dev/null; QLN_DAEMON_PID=""
    kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; holder=""
    check "killed before the deployment gave up" log_lacks "Deployment aborted"
    check "record left in progress" test "$(progress_value State)" = InProgress
    check "record: categories before version.txt done" test "$(progress_value CompletedCategories)" = \
        "QLN,Lang,SVN,Common,System,System64,Third"
    check "installation half upgraded" bash -c 'cmp -s "$1/bin/QuillProc.exe" "$2/bin/QuillProc.exe" && cmp -s "$1/version.txt" "$3/version.txt"' \
        _ "$QLN_INSTALL_DIR" "$QLN_RELEASE_DIR/releases/$QLN_RELEASE_N1/tree" "$QLN_RELEASE_DIR/releases/$QLN_RELEASE_N/tree"
    qln_daemon_start || fatal "daemon did not restart"
    dialog="$(qln_dialog click "Upgrade now" 120000)"
    check "resume prompt answered Upgrade now" contains "$dialog" "clicking: Upgrade now"
    check "resume prompt names N+1" contains "$dialog" "An upgrade to version $QLN_RELEASE_N1 was not completed last time"
    check "interruption detected" log_has "Detected interrupted upgrade, prompting user for confirmation"
    check "outcome logged" qln_wait_log "Upgrade completed via replace strategy" 180
    check "follow-up dialogs answered" answer_follow_ups
    check "whole upgrade re-run" log_has "Re-running full silent upgrade for version $QLN_RELEASE_N1"
    check "deployment continued" log_has "Continuing an interrupted deployment: [1-9][0-9]* files touched, 7 categories completed"
    # The running daemon's own executable is renamed aside: a restart is needed.
    check "history: resume_silent, success" history_last_is "resume_silent\|1\|3\|$QLN_RELEASE_N1"
    check "one outcome only" contains "$(qln_history)" "^Count=1$"
    check "installation equals N+1" tree_equals_release "$QLN_RELEASE_N1"
    check "progress record cleared" test -z "$(progress_value State)"
    ;;
unsigned)
    qln_stand_in_msiexec "$n1_admin"
    qln_setting VersionCheck false
    qln_daemon_start || fatal "daemon did not start"
    qln_send copydata 0x514C4E00 "$QLN_RELEASE_UNSIGNED"
    dialog="$(qln_dialog click "Cancel upgrade" 120000)"
    check "unverified-package prompt answered Cancel upgrade" contains "$dialog" "clicking: Cancel upgrade"
    check "prompt text" contains "$dialog" "static: Installer package verification failed"
    check "package downloaded twice" test "$(downloads_of "$QLN_RELEASE_UNSIGNED")" -eq 2
    dialog="$(qln_dialog click "OK" 60000)"
    check "failure message shown" contains "$dialog" "static: The installer package verification failed"
    check "history: silent, failure, code 5" history_last_is "silent\|0\|5\|$QLN_RELEASE_UNSIGNED"
    check "nothing installed" tree_equals_release "$QLN_RELEASE_N"
    check "download cache removed" bash -c '! compgen -G "$1/drive_c/users/*/Temp/QLNUpgrade/$2" >/dev/null' \
        _ "$WINEPREFIX" "$QLN_RELEASE_UNSIGNED"
    # Accepted this time: the user is asked once, about the bytes then installed.
    sleep 1
    qln_send copydata 0x514C4E00 "$QLN_RELEASE_UNSIGNED"
    dialog="$(qln_dialog click "Continue anyway" 120000)"
    check "unverified-package prompt answered Continue anyway" contains "$dialog" "clicking: Continue anyway"
    check "asked once, then installed" qln_wait_log "Upgrade completed via replace strategy" 120
    check "follow-up dialogs answered" answer_follow_ups
    # 3: the running daemon's own executable is renamed aside.
    check "history: silent, success" history_last_is "silent\|1\|3\|$QLN_RELEASE_UNSIGNED"
    ;;
history)
    # 50 earlier outcomes, then two more: the oldest two roll out.
    for i in $(seq 0 49); do
        "$QLN_WINE" reg add 'HKCU\Software\Quillon\KM\UpgradeResult' /v "Entry$i" /t REG_SZ \
            /d "17000000$i|silent|0|6|1.16.KM16.$i" /f >/dev/null 2>&1
    done
    "$QLN_WINE" reg add 'HKCU\Software\Quillon\KM\UpgradeResult' /v Count /t REG_DWORD /d 50 /f >/dev/null 2>&1
    qln_stand_in_msiexec "$n1_admin"
    qln_setting VersionCheck false
    qln_daemon_start || fatal "daemon did not start"
    for missing in 1.16.KM16.9001 1.16.KM16.9002; do
        # The worker gives up its claim on the upgrade only after its failure
        # message is answered; a request in between would be turned away as
        # "already in progress". A user takes longer than that pause, too.
        sleep 1
        qln_send copydata 0x514C4E00 "$missing"
        check "request for $missing started a worker" qln_wait_log "Starting silent upgrade worker for version $missing" 20
        dialog="$(qln_dialog click "OK" 120000)"
        check "failure of $missing shown" contains "$dialog" "clicking: OK"
    done
    history="$(qln_history)"
    check "history holds 50 lines" contains "$history" "^Count=50$"
    check "oldest two dropped" contains "$history" "^Entry0=170000002\|silent\|0\|6\|1.16.KM16.2$"
    check "newest last" contains "$history" "^Entry49=[0-9]+\|silent\|0\|5\|1.16.KM16.9002$"
    check "second newest before it" contains "$history" "^Entry48=[0-9]+\|silent\|0\|5\|1.16.KM16.9001$"
    check "rollover logged" log_has "Upgrade result list full \(50 entries\), dropping the oldest record"
    ;;
*)
    echo "e2e.sh: unknown scenario '$scenario'" >&2
    exit 2
    ;;
esac

if [ $failures -ne 0 ]; then
    echo "--- $failures check(s) failed; log:"
    qln_log | tail -80
    exit 1
fi
echo "all checks passed ($scenario)"
