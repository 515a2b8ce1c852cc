#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs every test tier but the booted image.
#   --image         adds the image tier (label "image": builds packages and two Debian systems,
#                   boots them under QEMU; tens of minutes)
#   KRV_SANITIZE=1  build with ASan/UBSan into build-sanitize/ (the emulator and image tests and
#                   the soak are left out)
#   KRV_BUILD_DIR   build folder (default build/ or build-sanitize/)
#   KRV_REQUIRE_IMAGE=1  every skip of the image tier is a failure (CI)
set -euo pipefail
cd "$(dirname "$0")/.."

with_image=0
for option in "$@"; do
    case $option in
    --image) with_image=1 ;;
    *) echo "test.sh: unknown option $option (--image)" >&2; exit 2 ;;
    esac
done
sanitize="${KRV_SANITIZE:-0}"
[ "$sanitize" != 1 ] || with_image=0
# The image tests build packages and a system image and boot it: everything for them as well.
if [ "$with_image" = 1 ]; then
    scripts/install-deps.sh --image
else
    scripts/install-deps.sh
fi

if [ "$sanitize" = 1 ]; then
    build_dir="${KRV_BUILD_DIR:-build-sanitize}"
    # The soak's memory figures mean nothing under ASan's quarantine, and the plain run covers
    # the rest of it; the benchmarks are never run from a sanitizer build. The emulator tests
    # (vm, image) run the plain build's programs or packages only.
    exclude=(-LE 'vm|image' -E '^Soak[.]')
    cmake_flags=(-DKRV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DKRV_BUILD_BENCH=OFF)
else
    build_dir="${KRV_BUILD_DIR:-build}"
    exclude=()
    [ "$with_image" = 1 ] || exclude=(-LE image)
    cmake_flags=()
fi

# Ninja keeps both cores busy across targets where make waits for each library; a folder
# configured before keeps its own generator.
export CMAKE_GENERATOR="${CMAKE_GENERATOR:-Ninja}"
cmake -S . -B "$build_dir" "${cmake_flags[@]}"
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 600 "${exclude[@]}"
