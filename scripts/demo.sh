#!/usr/bin/env bash
# The daemon's real job, under Wine: installs what is missing, builds, starts
# the release server (nginx, TLS) with releases N and N+1, installs release N
# into C:\Program Files\Quillon of a fresh prefix, runs bin\QLNUpgrade.exe
# from there and lets it find, download, verify and install N+1, answering
# its dialogs as a user would. Shows the key log lines, the history entry and
# the installed version before and after. Stops everything it started, also
# when interrupted.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The build of scripts/test.sh: what one of them built, the other reuses.
build_dir="$root/build/mingw-x64"

say() { printf '\n== %s\n' "$*"; }
step() { printf '   %s\n' "$*"; }

bash "$root/scripts/install-deps.sh"
source "$root/tests/harness/release-server.sh"
port="$(qln_release_port "$build_dir/release-server.port")"
say "Building the daemon and the tools the demo uses, with the release service at https://127.0.0.1:$port"
demo_targets=()
for t in QLNUpgrade QLNCache qln_add_root_cert qln_answer_dialog qln_send_request qln_fake_msiexec; do
    demo_targets+=(--target "$t")
done
bash "$root/scripts/build.sh" --build-dir "$build_dir" "${demo_targets[@]}" -DQLN_SERVICE_HOST="https://127.0.0.1:$port"

export QLN_BIN_DIR="$build_dir/bin"
export QLN_RUN_DIR="$(mktemp -d /tmp/qln-demo.XXXXXX)"
source "$root/tests/harness/wine-prefix.sh"
source "$root/tests/harness/installation.sh"
cleanup() {
    trap - EXIT INT TERM
    qln_daemon_stop
    qln_release_server_stop
    qln_prefix_destroy
    rm -rf "$QLN_RUN_DIR"
}
trap cleanup EXIT
trap 'echo; echo "Interrupted; stopping what the demo started."; exit 130' INT TERM

say "Creating a fresh Wine prefix"
qln_prefix_create "$QLN_RUN_DIR/prefix"

say "Starting the release server (nginx on https://127.0.0.1:$port, test CA trusted in the prefix)"
step "building release N ($QLN_RELEASE_N) and N+1 ($QLN_RELEASE_N1): signed MSI packages of more than 1 MiB"
qln_release_server_start "$QLN_RUN_DIR/release" "$port" "$QLN_BIN_DIR/QLNUpgrade.exe"
step "both published with scripts/publish-release.sh; the version service answers:"
sed 's/^/     | /' "$QLN_RELEASE_DIR/served/api/web/corvid/quillon/upgrade"

say "Installing release N with Wine's msiexec /i into C:\\Program Files\\Quillon"
qln_install_release "$QLN_RELEASE_N"
before="$(qln_installed_version)"
step "installed version (version.txt): $before"
# Wine's msiexec cannot unpack a package administratively ("msiexec /a"),
# which the replace strategy does first; a stand-in does that part.
step "stand-in msiexec.exe for \"msiexec /a\" in C:\\windows\\system32, where the daemon starts msiexec from"
qln_stand_in_msiexec "admin_tree=$(_qln_unix_to_win "$QLN_RELEASE_DIR/releases/$QLN_RELEASE_N1/admin")"

say "Settings (registry overrides under HKCU\\Software\\Quillon\\KM)"
qln_setting QlnUpgradeMode immediate_silent
qln_setting SilentUpgradePreNotify true
qln_setting SilentUpgradeSuccessNotify true
step "QlnUpgradeMode=immediate_silent, SilentUpgradePreNotify=true, SilentUpgradeSuccessNotify=true"

say "Starting C:\\Program Files\\Quillon\\bin\\QLNUpgrade.exe"
qln_daemon_start
step "hidden window QLNUpgradeWindow is up; the first update check runs 30 s after start"

# Answers the daemon's dialogs as a user would, until the upgrade worker has
# logged its outcome and no dialog is left (or the time is up).
outcome_re='Upgrade completed|Upgrade failed with result|Upgrade cancelled by user'
answer_dialogs() {
    local deadline=$((SECONDS + $1)) out button choice
    while [ $SECONDS -lt $deadline ]; do
        if out="$(qln_dialog show 2000)"; then
            button=""
            for choice in "Upgrade now" "Restart later" "OK"; do
                if grep -q "^button [0-9]*: $choice" <<<"$out"; then button="$choice"; break; fi
            done
            step "dialog of the daemon:"
            sed 's/^/     | /' <<<"$out"
            [ -n "$button" ] || { echo "   no known answer to this dialog"; return 1; }
            step "answering \"$button\""
            qln_dialog click "$button" 5000 >/dev/null || true
        elif qln_log | grep -Eq "$outcome_re"; then
            # The success or reboot dialog follows the outcome line at once.
            qln_dialog none 3000 >/dev/null && return 0
        fi
    done
    echo "   no outcome within $1 s"
    return 1
}

say "Waiting for the update check, answering the daemon's dialogs"
answer_dialogs 240 || true

say "Key lines of the log (C:\\QuillonRun\\Logger\\<date>.upgrade.log)"
# On Windows the worker re-launches the daemon with administrator rights
# ("Re-launching elevated") and that copy upgrades; under Wine every process
# has them already, so the worker thread upgrades itself.
step "(under Wine the daemon already has administrator rights: no elevated copy, its worker upgrades)"
qln_log | grep -E 'QLNUpgrade starting|Checking version from|LoadVersionInfo: (got|newer)|MSI download completed|Starting .* upgrade worker|Re-launching elevated:|Running elevated|Upgrade pipeline started|MSI verification passed on|Attempting strategy|Locked file replaced|File replacement complete|Strategy \[|Elevated process exited|Added upgrade result|Upgrade completed|Upgrade failed|User chose' |
    sed -E 's/^\[[0-9-]+ ([0-9:.]+)\] \[([a-z]+)\] \[[^]]*\] \[[^]]*\] /\1 \2  /' | sed 's/^/   /' || true

say "History (HKCU\\Software\\Quillon\\KM\\UpgradeResult; time|mode|success|code|version)"
qln_history | sed 's/^/   /'

say "Installed version before and after"
after="$(qln_installed_version)"
step "before: $before"
step "after:  $after"
tree_n1="$QLN_RELEASE_DIR/releases/$QLN_RELEASE_N1/tree"
same=0 differ=()
while IFS= read -r -d '' f; do
    rel="${f#"$tree_n1"/}"
    if cmp -s "$f" "$QLN_INSTALL_DIR/$rel"; then same=$((same + 1)); else differ+=("$rel"); fi
done < <(find "$tree_n1" -type f -print0)
step "$same files of the installation equal release N+1"
for rel in "${differ[@]}"; do step "differs: $rel"; done
# Files in use were renamed aside; Windows finishes the job at the next
# restart (pairs of source and target, an empty target deletes).
pending="$("$QLN_WINE" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null |
    tr -d '\r' | sed -n 's/^.*REG_MULTI_SZ *//p' || true)"
if [ -n "$pending" ]; then
    # reg shows the strings joined by "\0", without the terminator of the
    # last one, so a final empty target leaves no record of its own.
    awk -v RS='\\\\0' '{ gsub(/\n/, ""); sub(/^\\\?\?\\/, "") }
        NR % 2 { src = $0; next }
        src != "" { print "   at the next restart: " ($0 == "" ? "delete " src : "move " src " to " $0); src = "" }
        END { if (src != "") print "   at the next restart: delete " src }' <<<"$pending"
fi

say "Asking the daemon to quit"
qln_daemon_stop
if [ "$after" = "$QLN_RELEASE_N1" ]; then
    say "Done: the daemon upgraded Quillon from $before to $after"
else
    say "The installation was not upgraded (still $after); see the log lines above"
    exit 1
fi
