#!/usr/bin/env bash
# How ctest runs a Windows test program: through the Wine loader the build
# found (the first argument).
#
# The program writes into a file that is passed on to ctest as it grows,
# and the run ends when the program ends. Written straight into ctest's pipe,
# its output would reach every process it starts, and Wine starts its desktop
# process (explorer.exe /desktop) from whichever program first needs it;
# that process lives on and holds the pipe open, so ctest waited for the end
# of the output until the time-out although the test had passed.
#
# The exit code is printed when it is not 0: a program that dies before it
# writes anything leaves no other trace. Wine needs well over 50 ms to start
# any program, so a run that failed sooner never reached the test (seen once
# in CI: no output, 20 ms); it is started once more. Every run that got
# further counts as it is.
# Usage: wine-run.sh <wine loader> <program> [args...]
out="$(mktemp "${QLN_RUN_DIR:-${TMPDIR:-/tmp}}/wine-run.XXXXXX")" || exit 125
trap 'rm -f "$out" "$out.took"' EXIT
for attempt in 1 2; do
    (
        start=$(date +%s%N)
        "$@"
        rc=$?
        echo $(( ($(date +%s%N) - start) / 1000000 )) >"$out.took"
        exit $rc
    ) >"$out" 2>&1 &
    pid=$!
    tail -s 0.05 -n +1 -f --pid=$pid "$out"
    wait $pid
    rc=$?
    [ $rc -eq 0 ] && exit 0
    took_ms="$(cat "$out.took" 2>/dev/null || echo 0)"
    echo "wine-run.sh: $(basename -- "$2") exited with code $rc after $took_ms ms"
    [ "$took_ms" -lt 50 ] && [ $attempt -eq 1 ] || exit $rc
    echo "wine-run.sh: too soon for the program to have run; starting it once more"
done
