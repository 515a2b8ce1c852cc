#!/usr/bin/env bash
# Builds the controller's system image for a runtime test: a minimal Debian 12 systemd root
# file system from Debian's archive (mmdebstrap, variant minbase) for arm64 (the controller) or
# amd64, with Debian's kernel, our packages installed by apt as a firmware build installs them,
# the simulated controller's tools installed as the controller's own (their state on the
# image's disk), and the files of rootfs/ on top; then an ext4 disk image.
#
#   build-image.sh ARCH CACHE [--carry DEB]... DEB...
#
# Every DEB is installed; a carried one is only put into /var/cache/krv-packages beside them, for
# tests that install it inside the running image (an upgrade, say).
# Prints the folder holding disk.img, kernel, initrd and manifest. An image is cached under
# CACHE by a key of everything that goes into it, so the tests of one run share one build.
# Foreign binaries run through qemu-user registered in a binfmt_misc of a private user
# namespace: the machine's binfmt_misc, network and clock are never touched.
# Exit status 0 built or cached, 1 refused or failed (the reason on standard error).
set -euo pipefail
# Standard output carries the result alone; everything the tools say goes to standard error.
exec 3>&1 1>&2

here=$(cd -P "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)

refuse() {
    echo "build-image: $*" >&2
    exit 1
}

[ $# -ge 3 ] || refuse "usage: build-image.sh arm64|amd64 CACHE [--carry DEB]... DEB..."
arch=$1
cache=$2
shift 2
debs=()
carried=()
while [ $# -gt 0 ]; do
    if [ "$1" = --carry ]; then
        [ $# -ge 2 ] || refuse "--carry needs a package"
        carried+=("$2")
        shift 2
    else
        debs+=("$1")
        shift
    fi
done
[ ${#debs[@]} -gt 0 ] || refuse "no package to install"

# What the controller needs besides our packages: the init system and its network and time
# services, the tools krvd runs for real, Debian's kernel.
image_packages=(systemd systemd-sysv udev dbus systemd-timesyncd iproute2 net-tools procps kmod
                "linux-image-$arch" adduser)
# The room a build needs: the root file system twice (folder and disk image) and the downloads.
needed_mib=2500

case $arch in
arm64) qemu_user=qemu-aarch64-static ;;
amd64) qemu_user= ;;
*) refuse "architecture '$arch' is not one of the images (arm64, amd64)" ;;
esac
for tool in mmdebstrap mkfs.ext4 unshare dpkg-deb sha256sum; do
    command -v "$tool" >/dev/null || refuse "$tool is missing (scripts/install-deps.sh --image)"
done
if [ -n "$qemu_user" ]; then
    qemu_user_path=$(command -v "$qemu_user") ||
        refuse "$qemu_user is missing (package qemu-user-static): no way to run $arch programs"
    grep -q binfmt_misc /proc/filesystems || refuse "the kernel has no binfmt_misc"
fi
for deb in "${debs[@]}" "${carried[@]}"; do
    [ -f "$deb" ] || refuse "package $deb is missing"
    deb_arch=$(dpkg-deb -f "$deb" Architecture 2>/dev/null) || refuse "$deb is no Debian package"
    [ "$deb_arch" = "$arch" ] || [ "$deb_arch" = all ] ||
        refuse "$deb is built for $deb_arch, not for the $arch image"
done

mkdir -p "$cache"
free_mib=$(df -Pm "$cache" | awk 'NR == 2 { print $4 }')
# Everything that goes into the image decides its key.
key=$( {
    echo "$arch ${image_packages[*]}"
    sha256sum "${debs[@]}" | cut -d' ' -f1
    echo carried
    [ ${#carried[@]} -eq 0 ] || sha256sum "${carried[@]}" | cut -d' ' -f1
    (cd "$repo" && find image sim -type f -print0 | sort -z | xargs -0 sha256sum)
} | sha256sum | cut -c1-16)
target="$cache/$arch-$key"
if [ -f "$target/complete" ]; then
    echo "$target" >&3
    exit 0
fi
[ "$free_mib" -ge "$needed_mib" ] ||
    refuse "only $free_mib MiB free in $cache; an image build needs $needed_mib MiB"
[ "$(id -u)" -eq 0 ] || refuse "needs root (the root file system holds files of every owner)"

# One build per architecture at a time (the other architecture's may run beside it).
exec 9>"$cache/lock-$arch"
flock -w 1800 9 || refuse "the cache $cache stays locked"
if [ -f "$target/complete" ]; then
    echo "$target" >&3
    exit 0
fi
work=$(mktemp -d "$cache/build.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/packages/install" "$work/packages/carry"
cp "${debs[@]}" "$work/packages/install/"
[ ${#carried[@]} -eq 0 ] || cp "${carried[@]}" "$work/packages/carry/"

started=$(date +%s)
# --- the root file system, inside a private user namespace ------------------------------------
# The ids 0-65535 map onto themselves, so every file keeps its owner; the namespace gets its own
# binfmt_misc (Linux 6.7 and later), where qemu-user is registered for the build alone.
cat >"$work/inside.sh" <<'INSIDE'
set -euo pipefail
work=$1 arch=$2 qemu=$3 repo=$4 packages=$5
mount -t proc proc /proc
if [ -n "$qemu" ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # F: the interpreter is opened now, so it serves inside the chroot as well.
    printf '%s' ':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
        >/proc/sys/fs/binfmt_misc/register
fi
mmdebstrap --mode=root --variant=minbase --architectures="$arch" --include="$packages" \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d"' \
    --essential-hook="cp '$repo/image/initramfs.conf' \"\$1/etc/initramfs-tools/conf.d/krv.conf\"" \
    --essential-hook="cp '$repo/image/initramfs.modules' \"\$1/etc/initramfs-tools/modules\"" \
    --customize-hook="'$repo/image/customize.sh' \"\$1\" '$repo' '$work/packages'" \
    bookworm "$work/root"
INSIDE
fifo="$work/mapped"
mkfifo "$fifo"
unshare --user --mount --pid --fork --propagation private \
    bash -c 'read -r _ <"$0" && exec bash "$@"' "$fifo" \
    "$work/inside.sh" "$work" "$arch" "${qemu_user_path:-}" "$repo" \
    "$(IFS=,; echo "${image_packages[*]}")" &
namespace_pid=$!
for _ in $(seq 200); do
    [ "$(readlink "/proc/$namespace_pid/ns/user" 2>/dev/null)" != "$(readlink /proc/self/ns/user)" ] && break
    sleep 0.05
done
echo "0 0 65536" >"/proc/$namespace_pid/uid_map"
echo "0 0 65536" >"/proc/$namespace_pid/gid_map"
echo mapped >"$fifo"
wait "$namespace_pid" || refuse "mmdebstrap failed for $arch (see above)"
rootfs_done=$(date +%s)

# --- kernel, initial RAM disk, ext4 disk image ------------------------------------------------
root="$work/root"
out="$work/out"
mkdir -p "$out"
cp "$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)" "$out/kernel"
cp "$(ls "$root"/boot/initrd.img-* | sort -V | tail -n 1)" "$out/initrd"
used_mib=$(du -sm "$root" | cut -f1)
# Room for the package tests and the journal of a few boots.
size_mib=$((used_mib + used_mib / 2 + 256))
mkfs.ext4 -q -L controller -d "$root" "$out/disk.img" "${size_mib}M"
{
    echo "arch=$arch"
    echo "key=$key"
    echo "kernel=$(ls "$root"/boot/vmlinuz-* | sed 's|.*/vmlinuz-||' | sort -V | tail -n 1)"
    echo "packages=$(dpkg-query --admindir="$root/var/lib/dpkg" -W | wc -l)"
    echo "rootfs_mib=$used_mib"
    echo "disk_mib=$size_mib"
    echo "rootfs_seconds=$((rootfs_done - started))"
    echo "total_seconds=$(($(date +%s) - started))"
} >"$out/manifest"
rm -rf "$root"
mv "$out" "$target"
touch "$target/complete" "$target/used"
# Only now, with the new image complete, do older ones of this architecture go: a build that
# fails leaves the last good image.
"$repo/image/prune-cache.sh" "$arch" "$cache" "$target"
echo "$target" >&3
