#!/usr/bin/env bash
# Builds the packages an image gets, as the firmware build does: krvd and tapsim for ARCH
# (arm64 with Debian's cross compiler), configured for /usr, in a folder of their own; then
# krvd once more as a newer build of the same programs (package release 2) for the upgrade test.
#
#   make-packages.sh ARCH WORK     prints WORK/packages-ARCH, holding install/ and newer/
#
# Exit status 1 with the reason on standard error when a compiler or tool is missing.
set -euo pipefail
# Standard output carries the result alone; everything the tools say goes to standard error.
exec 3>&1 1>&2
repo=$(cd -P "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -eq 2 ] || { echo "usage: make-packages.sh arm64|amd64 WORK" >&2; exit 2; }
arch=$1
work=$2
flags=(-DCMAKE_INSTALL_PREFIX=/usr -DKRV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
       -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
case $arch in
amd64) ;;
arm64) flags+=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake") ;;
*) echo "make-packages: no packages for '$arch'" >&2; exit 1 ;;
esac
for tool in cmake cpack dpkg-shlibdeps fakeroot; do
    command -v "$tool" >/dev/null ||
        { echo "make-packages: $tool is missing (scripts/install-deps.sh --image)" >&2; exit 1; }
done

build="$work/build-$arch"
out="$work/packages-$arch"
# One build of a folder at a time: both images' tests may ask at once.
mkdir -p "$work"
exec 9>"$work/packages-$arch.lock"
flock 9
cmake -S "$repo" -B "$build" "${flags[@]}" >"$work/configure-$arch.log" 2>&1 ||
    { cat "$work/configure-$arch.log" >&2; exit 1; }
cmake --build "$build" -j "${KRV_IMAGE_JOBS:-1}" --target krvd tapsim krv_documents
rm -rf "$out"
mkdir -p "$out/install" "$out/newer"
(cd "$build" && cpack -G DEB -D 'CPACK_COMPONENTS_ALL=krvd;tapsim' -B "$out/install")
(cd "$build" && cpack -G DEB -D CPACK_COMPONENTS_ALL=krvd -D CPACK_DEBIAN_PACKAGE_RELEASE=2 \
    -B "$out/newer")
find "$out" -mindepth 2 -maxdepth 2 ! -name '*.deb' -exec rm -rf {} +
echo "$out" >&3
