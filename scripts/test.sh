#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs every test.
#   KRV_SANITIZE=1  build with ASan/UBSan into build-sanitize/ (the emulator tests and the soak
#                   are left out)
#   KRV_BUILD_DIR   build folder (default build/ or build-sanitize/)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

sanitize="${KRV_SANITIZE:-0}"
if [ "$sanitize" = 1 ]; then
    build_dir="${KRV_BUILD_DIR:-build-sanitize}"
    # The soak's memory figures mean nothing under ASan's quarantine, and the plain run covers
    # the rest of it; the benchmarks are never run from a sanitizer build.
    exclude=(-LE vm -E '^Soak[.]')
    cmake_flags=(-DKRV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DKRV_BUILD_BENCH=OFF)
else
    build_dir="${KRV_BUILD_DIR:-build}"
    exclude=()
    cmake_flags=()
fi

cmake -S . -B "$build_dir" "${cmake_flags[@]}"
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 600 "${exclude[@]}"
