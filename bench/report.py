#!/usr/bin/env python3
"""Prints the benchmark table from the raw results that run.sh collected.

Input lines: "<measure> <side> <value>", one per run, side "product" or
"baseline". Each figure is the median of its runs; the ratio is product over
baseline, and the raw runs are listed beside it.
"""

import statistics
import sys

# measure: (label, unit, scale for display, target text, check on (product, baseline, ratio))
MEASURES = [
    ("idle_wakeups", "idle: wake-ups in the window", "", 1,
     "0", lambda p, b, r: p == 0),
    ("idle_cpu_ms", "idle: CPU time in the window", "ms", 1,
     "0 ms", lambda p, b, r: p == 0),
    ("idle_rss_kib", "idle: resident memory", "MiB", 1 / 1024,
     "<= 1.5x", lambda p, b, r: r is not None and r <= 1.5),
    ("startup_ms", "start-up to the window", "ms", 1,
     "<= 1.2x", lambda p, b, r: r is not None and r <= 1.2),
    ("download_mib_s", "download 256 MiB: throughput", "MiB/s", 1,
     ">= 0.9x", lambda p, b, r: r is not None and r >= 0.9),
    ("download_proxy_mib_s", "  through the user's proxy vs direct", "MiB/s", 1,
     ">= 0.9x", lambda p, b, r: r is not None and r >= 0.9),
    ("download_proxy_curl_mib_s", "  floor: curl via the proxy vs direct", "MiB/s", 1,
     "(reference)", None),
    ("download_floor_mib_s", "  floor: bare WinHTTP read loop", "MiB/s", 1,
     "(reference)", None),
    ("download_growth_kib", "download: memory growth", "KiB", 1,
     "<= 1024 KiB", lambda p, b, r: p <= 1024),
    ("deploy_s", "deployment 500 files/200 MiB", "s", 1,
     "<= 2.2x", lambda p, b, r: r is not None and r <= 2.2),
    ("log_info_ns", "log call, info, written", "ns", 1,
     "<= 2000 ns", lambda p, b, r: p <= 2000),
    ("log_debug_ns", "log call, debug, filtered", "ns", 1,
     "<= 50 ns", lambda p, b, r: p <= 50),
    ("log_floor_ns", "  floor: one line appended+flushed", "ns", 1,
     "(reference)", None),
    ("log_unflushed_ns", "  info call with its flush left out", "ns", 1,
     "(reference)", None),
]


def fmt(value, scale):
    v = value * scale
    return "%.3g" % v if abs(v) < 100 else "%.0f" % v


def main():
    runs = {}
    for line in open(sys.argv[1], encoding="utf-8"):
        parts = line.split()
        if len(parts) != 3:
            continue
        runs.setdefault((parts[0], parts[1]), []).append(float(parts[2]))

    print("%-32s %12s %12s %8s  %-12s %-5s  %s" % ("measure", "product", "baseline", "ratio", "target", "", "raw runs (product | baseline)"))
    for key, label, unit, scale, target, check in MEASURES:
        product = runs.get((key, "product"))
        baseline = runs.get((key, "baseline"))
        if not product:
            print("%-32s %12s" % (label, "not measured"))
            continue
        p = statistics.median(product)
        b = statistics.median(baseline) if baseline else None
        ratio = p / b if b else None
        verdict = "" if check is None else "met" if check(p, b, ratio) else "MISSED"
        raw = " ".join(fmt(v, scale) for v in product)
        if baseline:
            raw += " | " + " ".join(fmt(v, scale) for v in baseline)
        print("%-32s %12s %12s %8s  %-12s %-6s %s" % (
            label, fmt(p, scale) + " " + unit, (fmt(b, scale) + " " + unit) if b is not None else "-",
            ("%.2fx" % ratio) if ratio is not None else "-", target, verdict, raw))


if __name__ == "__main__":
    main()
