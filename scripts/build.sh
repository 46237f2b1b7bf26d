#!/usr/bin/env bash
# Configures and builds the cross build. Usage: scripts/build.sh [--build-dir DIR] [cmake args...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build/mingw-x64"
if [ "${1:-}" = "--build-dir" ]; then build_dir="$(realpath -m "$2")"; shift 2; fi

cmake -S "$root" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
