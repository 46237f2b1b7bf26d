#!/usr/bin/env bash
# Installs what is missing, builds, and runs the daemon under a fresh Wine
# prefix: it starts, writes its log, answers requests sent to its window and
# quits when asked. The log is printed at the end.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build/demo"

bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" --build-dir "$build_dir"

export QLN_BIN_DIR="$build_dir/bin"
export QLN_RUN_DIR="$(mktemp -d /tmp/qln-demo.XXXXXX)"
source "$root/tests/harness/wine-prefix.sh"
trap 'qln_prefix_destroy; rm -rf "$QLN_RUN_DIR"' EXIT

echo "== Creating a fresh Wine prefix"
qln_prefix_create "$QLN_RUN_DIR/prefix"

log_dir='C:\QuillonDemo\Logger\'
"$QLN_WINE" reg add 'HKCU\Software\Quillon\KM' /v LoggerDir /d "$log_dir" /f >/dev/null 2>&1
"$QLN_WINE" reg add 'HKCU\Software\Quillon\KM' /v LoggerLevel /d debug /f >/dev/null 2>&1

send() { "$QLN_WINE" "$QLN_BIN_DIR/qln_send_request.exe" "$@" 2>/dev/null; }

echo "== Starting QLNUpgrade.exe (daemon mode)"
"$QLN_WINE" "$QLN_BIN_DIR/QLNUpgrade.exe" &
daemon=$!
send wait 30000 || { echo "the daemon's window did not appear"; exit 1; }
echo "   window QLNUpgradeWindow is up"

echo "== Starting a second daemon in the same session (must exit at once)"
set +e
"$QLN_WINE" "$QLN_BIN_DIR/QLNUpgrade.exe"; echo "   second daemon exit code: $?"
echo "== Sending an upgrade request with a malformed version"
send copydata 0x514C4E00 1.16.km16.2381; echo "   window answered: $?"
echo "== Asking the daemon to quit (QLNUpgradeMsg::WM_Quit)"
send quit; echo "   window answered: $?"
wait $daemon; echo "   daemon exit code: $?"
set -e

echo "== Log file"
cat "$WINEPREFIX/drive_c/QuillonDemo/Logger/"*.upgrade.log
