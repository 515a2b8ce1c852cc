#!/usr/bin/env bash
# Cross-builds every program and test for the controller (AArch64) with Debian's cross
# compiler and arm64 multiarch libraries, then runs the unit tests under qemu-aarch64 user
# emulation. The other tiers need namespaces, real sockets or a VM, which user emulation does
# not give, so only the label "unit" runs.
#   KRV_BUILD_DIR   build folder (default build-aarch64/)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --ship

build_dir="${KRV_BUILD_DIR:-build-aarch64}"
# Installed under /usr: the same folder serves scripts/packages.sh.
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build_dir" -j 2
ctest --test-dir "$build_dir" --output-on-failure -j 2 --timeout 600 -L unit

