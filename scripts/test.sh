#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under a fresh Wine
# prefix with the local test servers (the end-to-end tests make their own
# prefix and release server).
# Usage: scripts/test.sh [--build-dir DIR] [--no-deps] [ctest args...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build/mingw-x64"
deps=1
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir="$(realpath -m "$2")"; shift 2 ;;
        --no-deps) deps=0; shift ;;
        *) break ;;
    esac
done

[ $deps -eq 1 ] && bash "$root/scripts/install-deps.sh"
# The daemon under test talks to the release server of the end-to-end tests
# on a loopback port fixed for this build directory while it stays free.
source "$root/tests/harness/release-server.sh"
port="$(qln_release_port "$build_dir/release-server.port")"
bash "$root/scripts/build.sh" --build-dir "$build_dir" -DQLN_SERVICE_HOST="https://127.0.0.1:$port"

export QLN_BIN_DIR="$build_dir/bin"
export QLN_RUN_DIR="$(mktemp -d /tmp/qln-run.XXXXXX)"
source "$root/tests/harness/wine-prefix.sh"
[ -f "$root/tests/harness/servers.sh" ] && source "$root/tests/harness/servers.sh"

cleanup() {
    if declare -F qln_servers_stop >/dev/null; then qln_servers_stop || true; fi
    qln_prefix_destroy
    rm -rf "$QLN_RUN_DIR"
}
trap cleanup EXIT

echo "Creating Wine prefix..."
qln_prefix_create "$QLN_RUN_DIR/prefix"
qln_prefix_msiexec_stand_in "$QLN_BIN_DIR/qln_fake_msiexec.exe"
if declare -F qln_servers_start >/dev/null; then qln_servers_start; fi

cd "$build_dir"
status=0
ctest --output-on-failure --no-tests=error --timeout 300 "$@" || status=$?
if [ $status -ne 0 ] && [ -f Testing/Temporary/LastTest.log ]; then
    echo "Why the failed tests failed:"
    awk -f "$root/tests/harness/ctest-failures.awk" Testing/Temporary/LastTest.log
fi
exit $status
