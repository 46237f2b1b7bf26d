#!/usr/bin/env bash
# How ctest runs a Windows test program: through the Wine loader the build
# found (the first argument), printing the exit code when it is not 0. A
# program that dies before it writes anything leaves no other trace.
#
# Wine needs well over 50 ms to start any program, so a run that failed
# sooner never reached the test (seen once in CI: no output, 20 ms). It is
# reported and started once more, so that a hiccup of the loader is not taken
# for a failed test; every run that got further counts as it is.
# Usage: wine-run.sh <wine loader> <program> [args...]
for attempt in 1 2; do
    start=$(date +%s%N)
    "$@"
    rc=$?
    elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
    [ $rc -eq 0 ] && exit 0
    echo "wine-run.sh: $(basename -- "$2") exited with code $rc after $elapsed_ms ms"
    [ $elapsed_ms -lt 50 ] && [ $attempt -eq 1 ] || exit $rc
    echo "wine-run.sh: too soon for the program to have run; starting it once more"
done
