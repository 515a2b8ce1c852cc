#!/usr/bin/env bash
# Runs the already built suite once more as an unprivileged user: every test that needs root or
# namespaces the user cannot have must report a skip, never crash or fail.
#   KRV_BUILD_DIR            build folder (default build/)
#   KRV_UNPRIVILEGED_USER    the user (default nobody)
# Needs root to switch users. The emulator tests are left out: they need no privilege and the
# root run has covered them.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${KRV_BUILD_DIR:-build}"
user="${KRV_UNPRIVILEGED_USER:-nobody}"
[ "$(id -u)" -eq 0 ] || { echo "test-unprivileged.sh: run as root (it switches to $user)" >&2; exit 2; }
[ -f "$build_dir/CTestTestfile.cmake" ] || { echo "build $build_dir first (scripts/test.sh)" >&2; exit 2; }
group="$(id -gn "$user")"

# ctest writes its logs below the build folder; lend the user just that folder.
mkdir -p "$build_dir/Testing/Temporary"
home="$(mktemp -d)"
chown -R "$user:$group" "$build_dir/Testing" "$home"
restore() {
    chown -R root:root "$build_dir/Testing"
    rm -rf "$home"
}
trap restore EXIT

status=0
setpriv --reuid="$user" --regid="$group" --init-groups --reset-env \
    env HOME="$home" PATH="$PATH" \
    ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 600 -LE vm || status=$?
exit "$status"
