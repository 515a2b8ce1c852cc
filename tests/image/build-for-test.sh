#!/usr/bin/env bash
# The image tests' set-up: builds (or finds in the cache) the controller image of ARCH with the
# packages of this source tree, and writes its folder into OUT/ARCH.image for the runtime test.
# A machine that cannot build or boot it reports a skip, and the file says why.
#
#   build-for-test.sh ARCH OUT
#
# KRV_IMAGE_CACHE chooses the cache (default ~/.cache/krv-image).
set -euo pipefail
repo=$(cd -P "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
arch=$1
out=$2
result="$out/$arch.image"

skip() {
    echo "SKIP: $*"
    # Where the file can be written, the runtime test reads the reason from it.
    { echo "SKIP: $*" >"$result"; } 2>/dev/null || true
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
echo "$image" >"$result"
