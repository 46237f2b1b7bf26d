#!/usr/bin/env bash
# Benchmarks of the daemon against baselines measured in the same run under
# Wine. Installs what is missing, builds what it needs, runs every measure
# several times and prints the medians, the ratios and the raw runs.
#
# Usage: bash bench/run.sh [--build-dir DIR] [--no-build] [--runs N] [--idle-seconds S] [--only LIST]
#   --no-build        measure the programs already in DIR/bin
#   --runs N          runs per measure (default 3; start-up uses 2N+1)
#   --idle-seconds S  length of each idle window (default 60)
#   --only LIST       comma-separated subset of: log,startup,download,deploy,idle
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build/bench"
runs=3
build=1
idle_seconds=60
only="log,startup,download,deploy,idle"
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir="$(realpath -m "$2")"; shift 2 ;;
        --no-build) build=0; shift ;;
        --runs) runs="$2"; shift 2 ;;
        --idle-seconds) idle_seconds="$2"; shift 2 ;;
        --only) only="$2"; shift 2 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
wanted() { [[ ",$only," == *",$1,"* ]]; }

bash "$root/scripts/install-deps.sh"
if ! command -v curl >/dev/null; then
    SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq curl >/dev/null
fi

[ $build -eq 1 ] && echo "== Building" && cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
[ $build -eq 1 ] && cmake --build "$build_dir" -j"$(nproc)" --target QLNUpgrade qln_bench_bare qln_bench_probe qln_bench_core \
    qln_add_root_cert qln_send_request >/dev/null

export QLN_BIN_DIR="$build_dir/bin"
export QLN_RUN_DIR="$(mktemp -d /tmp/qln-bench.XXXXXX)"
source "$root/tests/harness/wine-prefix.sh"
source "$root/tests/harness/servers.sh"
children=()
cleanup() {
    local pid
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
    qln_servers_stop || true
    qln_prefix_destroy
    rm -rf "$QLN_RUN_DIR"
}
trap cleanup EXIT

winpath() { echo "Z:${1//\//\\}"; }
# Windows programs end their lines with CR LF.
wine_run() { "$QLN_WINE" "$@" | tr -d '\r'; }
results="$QLN_RUN_DIR/results.txt"
: >"$results"
record() { echo "$1 $2 $3" >>"$results"; }
bin="$QLN_BIN_DIR"

echo "== Creating a Wine prefix and the test server"
qln_prefix_create "$QLN_RUN_DIR/prefix"
qln_servers_start
reg_km() { wine_run reg add 'HKCU\Software\Quillon\KM' /v "$1" /d "$2" /f >/dev/null 2>&1; }
# The daemon logs at info into a folder of its own; its update check is
# switched off through the local configuration override, so that after the
# first check nothing is left to do but wait for the hourly timer.
reg_km LoggerLevel info
reg_km VersionCheck false

if wanted log; then
    echo "== Log call ($runs runs)"
    out=$(wine_run "$bin/qln_bench_core.exe" log 'C:\QLNBench\LogBench\' "$runs")
    echo "$out" | sed 's/^/   /'
    runs_re='^run [0-9]*: info \([0-9.]*\) ns, debug \([0-9.]*\) ns, floor \([0-9.]*\) ns, unflushed \([0-9.]*\) ns$'
    for v in $(echo "$out" | sed -n "s/$runs_re/\1/p"); do record log_info_ns product "$v"; done
    for v in $(echo "$out" | sed -n "s/$runs_re/\2/p"); do record log_debug_ns product "$v"; done
    for v in $(echo "$out" | sed -n "s/$runs_re/\3/p"); do record log_floor_ns product "$v"; done
    for v in $(echo "$out" | sed -n "s/$runs_re/\4/p"); do record log_unflushed_ns product "$v"; done
fi

# The log measure points the logger elsewhere; the daemon logs here.
reg_km_daemon_log() { reg_km LoggerDir 'C:\QLNBench\Logger\'; }

if wanted startup; then
    reg_km_daemon_log
    n=$((2 * runs + 1))
    echo "== Start-up to the window ($n runs each, alternating)"
    for i in $(seq 1 "$n"); do
        b=$(wine_run "$bin/qln_bench_probe.exe" start QLNBenchBareWindow "$(winpath "$bin/qln_bench_bare.exe")" | sed -n 's/^startup_us=//p')
        d=$(wine_run "$bin/qln_bench_probe.exe" start QLNUpgradeWindow "$(winpath "$bin/QLNUpgrade.exe")" | sed -n 's/^startup_us=//p')
        echo "   run $i: daemon ${d} us, bare ${b} us"
        record startup_ms product "$(awk "BEGIN{print $d/1000}")"
        record startup_ms baseline "$(awk "BEGIN{print $b/1000}")"
    done
fi

# The user's fixed proxy as Windows keeps it (Internet Settings\Connections,
# DefaultConnectionSettings); without an argument the setting is removed.
connections='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
user_proxy() {
    if [ -z "${1:-}" ]; then
        wine_run reg delete "$connections" /v DefaultConnectionSettings /f >/dev/null 2>&1 || true
        return
    fi
    local hex
    hex=$(python3 -c 'import struct, sys; p = sys.argv[1].encode()
print((struct.pack("<4I", 0x46, 1, 2, len(p)) + p + bytes(40)).hex())' "$1")
    wine_run reg add "$connections" /v DefaultConnectionSettings /t REG_BINARY /d "$hex" /f >/dev/null
}

# A squid forward proxy on loopback for the download through a proxy; sets
# squid_port and squid_log. Company proxies relay in large blocks, as squid
# does; tinyproxy, which the tests use for its log written as each request
# starts, relays in 2 KiB blocks and here costs any client, curl as well,
# a third of its speed or more.
squid_start() {
    local dir="$QLN_RUN_DIR/squid" i
    squid_port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
    squid_log="$dir/access.log"
    # squid writes as its own user.
    mkdir -p "$dir" && chmod 777 "$dir" && chmod a+x "$QLN_RUN_DIR"
    printf '%s\n' "http_port 127.0.0.1:$squid_port" "pid_filename $dir/squid.pid" "access_log stdio:$squid_log" \
        "cache_log $dir/cache.log" "coredump_dir $dir" "cache deny all" "shutdown_lifetime 1 seconds" \
        "http_access allow localhost" "http_access deny all" >"$dir/squid.conf"
    squid -N -f "$dir/squid.conf" </dev/null >"$dir/stdout.log" 2>&1 &
    children+=($!)
    for i in $(seq 1 100); do (exec 3<>"/dev/tcp/127.0.0.1/$squid_port") 2>/dev/null && return 0 || sleep 0.1; done
    echo "squid did not start: $(tail -3 "$dir/cache.log" "$dir/stdout.log" 2>/dev/null)" >&2
    exit 1
}

# Tunnels to localhost that squid logged (it logs a tunnel once it is closed).
squid_tunnels() { grep -c "CONNECT localhost:" "$squid_log" || true; }

# DownloadToFile of $url; sets dsec and growth.
daemon_download() {
    local out dbytes
    out=$(wine_run "$bin/qln_bench_core.exe" download "$url" "$(winpath "$dl/package.msi")" "$warm")
    rm -f "$dl/package.msi"
    dsec=$(echo "$out" | sed -n 's/.*download_s=\([0-9.]*\).*/\1/p')
    dbytes=$(echo "$out" | sed -n 's/.* bytes=\([0-9]*\).*/\1/p')
    growth=$(echo "$out" | sed -n 's/.* rss_growth=\(-*[0-9]*\).*/\1/p')
    [ "$dbytes" = "$size" ] || { echo "DownloadToFile wrote $dbytes bytes: $out" >&2; exit 1; }
}

if wanted download; then
    size=$((256 * 1024 * 1024))
    url="https://localhost:$QLN_TEST_HTTPS_PORT/large?size=$size"
    warm="https://localhost:$QLN_TEST_HTTPS_PORT/large?size=1048576"
    dl="$QLN_RUN_DIR/download"
    mkdir -p "$dl"
    squid_start
    echo "== Download of 256 MiB over loopback TLS ($runs runs each, alternating with curl and the proxy)"
    # curl -> seconds of one 256 MiB download (extra curl options as arguments).
    curl_download() {
        local ctime csize
        read -r ctime csize < <(curl -sS --cacert "$QLN_RUN_DIR/certs/ca.pem" -o "$dl/curl.bin" \
            -w '%{time_total} %{size_download}\n' "$@" "$url")
        rm -f "$dl/curl.bin"
        [ "$csize" = "$size" ] || { echo "curl fetched $csize bytes" >&2; exit 1; }
        echo "$ctime"
    }
    for i in $(seq 1 "$runs"); do
        ctime=$(curl_download)
        # What the proxy itself costs any client: curl through it.
        cptime=$(curl_download --proxy "http://127.0.0.1:$squid_port")
        # The same download through the user's proxy and directly, each
        # first in every other run.
        tunnels=$(squid_tunnels)
        order="proxy direct"
        [ $((i % 2)) -eq 0 ] && order="direct proxy"
        for side in $order; do
            if [ "$side" = proxy ]; then
                user_proxy "127.0.0.1:$squid_port"
                daemon_download
                user_proxy
                psec=$dsec
            else
                daemon_download
                direct_sec=$dsec direct_growth=$growth
            fi
        done
        dsec=$direct_sec growth=$direct_growth
        for _ in $(seq 1 50); do [ "$(squid_tunnels)" -ge $((tunnels + 2)) ] && break || sleep 0.1; done
        [ "$(squid_tunnels)" -ge $((tunnels + 2)) ] || { echo "the proxied download did not go through squid" >&2; exit 1; }
        fout=$(wine_run "$bin/qln_bench_core.exe" winhttp-floor "$url")
        fsec=$(echo "$fout" | sed -n 's/.*floor_s=\([0-9.]*\).*/\1/p')
        [ -n "$fsec" ] || { echo "the WinHTTP floor failed: $fout" >&2; exit 1; }
        echo "   run $i: DownloadToFile ${dsec} s (peak resident growth ${growth} bytes), through the proxy ${psec} s," \
            "curl ${ctime} s (through the proxy ${cptime} s), bare WinHTTP ${fsec} s"
        record download_proxy_curl_mib_s product "$(awk "BEGIN{print 256/$cptime}")"
        record download_proxy_curl_mib_s baseline "$(awk "BEGIN{print 256/$ctime}")"
        record download_proxy_mib_s product "$(awk "BEGIN{print 256/$psec}")"
        record download_proxy_mib_s baseline "$(awk "BEGIN{print 256/$dsec}")"
        record download_floor_mib_s product "$(awk "BEGIN{print 256/$fsec}")"
        record download_mib_s product "$(awk "BEGIN{print 256/$dsec}")"
        record download_mib_s baseline "$(awk "BEGIN{print 256/$ctime}")"
        record download_growth_kib product "$(awk "BEGIN{print $growth/1024}")"
    done
fi

if wanted deploy; then
    trees="$QLN_RUN_DIR/trees"
    echo "== Deployment of a 500-file, 200 MiB release ($runs runs each)"
    python3 "$root/bench/make_tree.py" "$trees/installed" --generation 1
    python3 "$root/bench/make_tree.py" "$trees/release" --generation 2
    for i in $(seq 1 "$runs"); do
        rm -rf "$trees/target" && cp -r "$trees/installed" "$trees/target" && sync
        out=$(wine_run "$bin/qln_bench_probe.exe" copytree "$(winpath "$trees/release")" "$(winpath "$trees/target")")
        copy_ms=$(echo "$out" | sed -n 's/^copy_ms=\([0-9.]*\).*/\1/p')
        rm -rf "$trees/target" "$trees/staging" && cp -r "$trees/installed" "$trees/target" && mkdir "$trees/staging" && sync
        out=$(wine_run "$bin/qln_bench_core.exe" deploy "$(winpath "$trees/release")" "$(winpath "$trees/target")" \
            "$(winpath "$trees/staging")" 'C:\QLNBench\DeployLog\')
        deploy_ms=$(echo "$out" | sed -n 's/^deploy_ms=\([0-9.]*\).*/\1/p')
        [ -n "$deploy_ms" ] && [ -n "$copy_ms" ] || { echo "deployment run failed: $out" >&2; exit 1; }
        diff -rq "$trees/release" "$trees/target" >/dev/null || { echo "the deployed tree differs from the release" >&2; exit 1; }
        echo "   run $i: deployment with backup ${deploy_ms} ms, plain copy ${copy_ms} ms"
        record deploy_s product "$(awk "BEGIN{print $deploy_ms/1000}")"
        record deploy_s baseline "$(awk "BEGIN{print $copy_ms/1000}")"
    done
    rm -rf "$trees"
fi

# Sums over every thread of a Linux process: context switches (each is one
# wake-up that ended in sleeping again, or a preemption), nanoseconds on a
# CPU; and the resident set in KiB.
proc_stats() {
    local pid=$1 switches=0 ns=0 t v cpu
    for t in /proc/"$pid"/task/*; do
        v=$(awk '/^(non)?voluntary_ctxt_switches/ {s += $2} END {print s + 0}' "$t/status" 2>/dev/null || echo 0)
        read -r cpu _ <"$t/schedstat" 2>/dev/null || cpu=0
        switches=$((switches + v))
        ns=$((ns + cpu))
    done
    echo "$switches $ns $(awk '/^VmRSS/ {print $2}' /proc/"$pid"/status)"
}

if wanted idle; then
    echo "== Idle daemon after its first check ($runs windows of $idle_seconds s)"
    reg_km_daemon_log
    "$QLN_WINE" "$bin/QLNUpgrade.exe" </dev/null >/dev/null 2>&1 &
    daemon=$!
    children+=("$daemon")
    "$QLN_WINE" "$bin/qln_bench_bare.exe" </dev/null >/dev/null 2>&1 &
    bare=$!
    children+=("$bare")
    log_dir="$WINEPREFIX/drive_c/QLNBench/Logger"
    for _ in $(seq 1 120); do
        grep -qs "Startup delay elapsed" "$log_dir"/*.upgrade.log && break
        sleep 1
    done
    grep -qs "Startup delay elapsed" "$log_dir"/*.upgrade.log || { echo "the daemon's first check did not run" >&2; exit 1; }
    sleep 2
    for i in $(seq 1 "$runs"); do
        read -r d_sw0 d_ns0 _ < <(proc_stats "$daemon")
        read -r b_sw0 b_ns0 _ < <(proc_stats "$bare")
        sleep "$idle_seconds"
        read -r d_sw1 d_ns1 d_rss < <(proc_stats "$daemon")
        read -r b_sw1 b_ns1 b_rss < <(proc_stats "$bare")
        echo "   window $i: daemon $((d_sw1 - d_sw0)) wake-ups, $((d_ns1 - d_ns0)) ns CPU, ${d_rss} KiB resident;" \
            "bare $((b_sw1 - b_sw0)) wake-ups, $((b_ns1 - b_ns0)) ns CPU, ${b_rss} KiB resident"
        record idle_wakeups product $((d_sw1 - d_sw0))
        record idle_wakeups baseline $((b_sw1 - b_sw0))
        record idle_cpu_ms product "$(awk "BEGIN{print ($d_ns1 - $d_ns0)/1e6}")"
        record idle_cpu_ms baseline "$(awk "BEGIN{print ($b_ns1 - $b_ns0)/1e6}")"
        record idle_rss_kib product "$d_rss"
        record idle_rss_kib baseline "$b_rss"
    done
    wine_run "$bin/qln_send_request.exe" quit >/dev/null 2>&1 || true
fi

echo
echo "== Results (median of the runs; ratio = product / baseline)"
python3 "$root/bench/report.py" "$results"
