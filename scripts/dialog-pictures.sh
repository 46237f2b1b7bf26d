#!/usr/bin/env bash
# Pictures of the daemon's task dialogs for the README, rendered by Wine's
# X11 driver on a virtual X server (Xvfb) and saved under docs/. Each dialog
# is shown by the daemon's own prompt code (tests/tools/qln_show_prompt runs
# QLNUpgradeUI with the daemon's string table and manifest), brought up as a
# click on its taskbar button would when it starts minimised, captured, and
# answered. Run again after a change of texts; takes about a minute after
# the build.
#   dialog-update-available.png  dialog-silent-ready.png  dialog-reboot.png
#   dialog-resume.png            dialog-unverified.png
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build/mingw-x64"
out_dir="$root/docs"

bash "$root/scripts/install-deps.sh"
# The picture tools are needed here only.
missing=()
for p in xvfb imagemagick x11-utils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
bash "$root/scripts/build.sh" --build-dir "$build_dir"

export QLN_BIN_DIR="$build_dir/bin"
export QLN_RUN_DIR="$(mktemp -d /tmp/qln-pictures.XXXXXX)"
source "$root/tests/harness/wine-prefix.sh"

xvfb=""
prompt=""
cleanup() {
    trap - EXIT INT TERM
    [ -z "$prompt" ] || kill "$prompt" 2>/dev/null || true
    qln_prefix_destroy
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    rm -rf "$QLN_RUN_DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A free display number.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$display"
for i in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

echo "== Prefix with Wine's X11 driver on $DISPLAY"
qln_prefix_create "$QLN_RUN_DIR/prefix"
# wine-prefix.sh chooses the null driver; here dialogs are drawn on X, and
# without a window manager Wine draws the window frames itself.
"$QLN_WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1
"$QLN_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
"$QLN_WINESERVER" -k; "$QLN_WINESERVER" -w
"$QLN_WINESERVER" -p </dev/null >/dev/null 2>&1 &
sleep 0.5
mkdir -p "$out_dir"

dialog() { "$QLN_WINE" "$QLN_BIN_DIR/qln_answer_dialog.exe" "$@" 2>/dev/null; }

# Shows prompt <which> [version], saves its window as docs/<name>.png and
# answers it with <button>.
capture() {
    local name="$1" button="$2" id="" i; shift 2
    "$QLN_WINE" "$QLN_BIN_DIR/qln_show_prompt.exe" "$@" </dev/null >/dev/null 2>&1 &
    prompt=$!
    dialog restore 30000 >/dev/null || { echo "no dialog for $name" >&2; return 1; }
    sleep 1
    for i in $(seq 1 30); do
        id="$(xwininfo -root -tree | grep -E '"Quillon": \(' | head -1 | awk '{print $1}')"
        [ -n "$id" ] && break
        sleep 0.2
    done
    [ -n "$id" ] || { echo "no X window for $name" >&2; return 1; }
    import -window "$id" "$out_dir/$name.png"
    echo "   docs/$name.png"
    dialog click "$button" 10000 >/dev/null
    wait "$prompt" || true
    prompt=""
}

echo "== Capturing"
capture dialog-update-available "Later" update-available 1.16.KM16.2382
capture dialog-silent-ready "Later" silent-ready 1.16.KM16.2382
capture dialog-reboot "Restart later" reboot
capture dialog-resume "Later" resume 1.16.KM16.2382
capture dialog-unverified "Cancel upgrade" unverified
echo "== Done"
