#!/usr/bin/env bash
# The image tests' set-up: builds (or finds in the cache) the controller image of ARCH with the
# packages of this source tree, and writes its folder into OUT/ARCH.image for the runtime test.
# A machine that cannot build or boot it reports a skip, and the file says why.
#
#   build-for-test.sh ARCH OUT
#
# KRV_IMAGE_CACHE chooses the cache (default ~/.cache/krv-image). KRV_REQUIRE_IMAGE=1 (CI)
# turns every skip into a failure: a machine that cannot boot the image must not pass green.
set -euo pipefail
repo=$(cd -P "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
arch=$1
out=$2
result="$out/$arch.image"

skip() {
    echo "SKIP: $*"
    # Where the file can be written, the runtime test reads the reason from it.
    { echo "SKIP: $*" >"$result"; } 2>/dev/null || true
    if [ "${KRV_REQUIRE_IMAGE:-0}" = 1 ]; then
        echo "FAIL: KRV_REQUIRE_IMAGE=1 makes this skip a failure"
        exit 1
    fi
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "the image build needs root"
mkdir -p "$out"
rm -f "$result"
case $arch in
arm64) qemu=qemu-system-aarch64 ;;
amd64) qemu=qemu-system-x86_64 ;;
esac
for tool in "$qemu" mmdebstrap; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh --image)"
done
unshare --user --mount true 2>/dev/null || skip "no user namespaces on this machine"

started=$(date +%s)
packages=$("$repo/image/make-packages.sh" "$arch" "$out/packages")
packaged=$(date +%s)
image=$("$repo/image/build-image.sh" "$arch" "${KRV_IMAGE_CACHE:-$HOME/.cache/krv-image}" \
    --carry "$packages"/newer/krvd_*.deb "$packages"/install/*.deb)
echo "packages built in $((packaged - started)) s; image ready $(($(date +%s) - packaged)) s later"
cat "$image/manifest"
# Marked as used: a build in another checkout leaves it for this run's runtime test.
touch "$image/used"
echo "$image" >"$result"
