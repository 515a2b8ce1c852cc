#!/usr/bin/env bash
# Builds the shipped programs in the CMake build types a packager may pick besides the default
# RelWithDebInfo (which scripts/test.sh builds) and Debug (the sanitizer run's): each must build
# warning-free, as the optimiser's other warnings differ by level. The tests are left out: the
# programs are what a packager builds. MinSizeRel is for the controller's programs only, where
# size counts; the engineer's tool, much the longest to build, is built once more in Release.
# File by file, not in the other builds' unity batches, so that each file is seen to include
# what it uses. Into build-types/TYPE.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build_type() {
    local type=$1
    shift
    cmake -S . -B "build-types/$type" -DCMAKE_BUILD_TYPE="$type" -DKRV_BUILD_TESTS=OFF \
        -DCMAKE_UNITY_BUILD=OFF >/dev/null
    cmake --build "build-types/$type" -j 2 --target "$@"
    echo "build-types.sh: $type builds $*"
}
build_type Release krvd krvctl tapsim
build_type MinSizeRel krvd tapsim
