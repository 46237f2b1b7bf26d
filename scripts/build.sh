#!/usr/bin/env bash
# Configures and builds the cross build.
# Usage: scripts/build.sh [--build-dir DIR] [--target NAME]... [cmake args...]
# Without --target everything is built (daemon, tests, tools, bench).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build/mingw-x64"
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir="$(realpath -m "$2")"; shift 2 ;;
        --target) targets+=(--target "$2"); shift 2 ;;
        *) break ;;
    esac
done

cmake -S "$root" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)" "${targets[@]}"
