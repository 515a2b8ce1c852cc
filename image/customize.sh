#!/usr/bin/env bash
# mmdebstrap's last step for the controller image, run with the root file system as $1: the
# controller's files and tools, our packages installed by apt inside the image, and the system
# set up the way the runtime tests boot it.
#
#   customize.sh ROOT REPO PACKAGES   (PACKAGES: install/*.deb to install, carry/*.deb to keep)
set -euo pipefail
root=$1
repo=$2
packages=$3
in_image() {
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}

# The image's own settings, services and test stand-ins.
cp -a --no-preserve=ownership "$repo/image/rootfs/." "$root/"

# The simulated controller's tools as the controller's own: the programs in /usr/lib/krv-sim,
# reached through /usr/local/sbin (image/rootfs), with their state on the image's disk. The
# controller is a qvx: its clock form is the one Debian's date accepts.
mkdir -p "$root/usr/lib/krv-sim"
cp -a --no-preserve=ownership "$repo/sim/bin" "$repo/sim/lib" "$repo/sim/files" "$root/usr/lib/krv-sim/"
state="$root/var/lib/krv-sim"
KRV_SIM_STATE="$state" "$repo/sim/bin/krv-sim" init --type qvx
mkdir -p "$root/home/etc/trelsetup.d" "$root/etc/trel/ConfigurationFiles"
cp "$state/files/krvd_interface" "$root/home/etc/trelsetup.d/krvd_interface"
cp "$state/files/HardCodedHSSets.xml" "$root/etc/trel/ConfigurationFiles/"
# The simulated tools keep their time server in the state; on this image the time server is
# timesyncd's, written by the configuration tool (image/rootfs/usr/local/sbin/trelsetup).
printf '[Time]\nNTP=%s\n' "$(cat "$state/keys/timeserver")" >"$root/etc/systemd/timesyncd.conf"
# Its syslog server likewise in the syslog stand-in's configuration, which it rereads on SIGHUP.
echo "server $(cat "$state/keys/syslogserver" 2>/dev/null)" >"$root/etc/krv-syslogd.conf"

# Our packages, installed the way a firmware build installs them; all of them stay at hand.
mkdir -p "$root/var/cache/krv-packages"
cp "$packages"/install/*.deb "$root/var/cache/krv-packages/"
cp "$packages"/carry/*.deb "$root/var/cache/krv-packages/" 2>/dev/null || true
installed=()
for deb in "$packages"/install/*.deb; do
    installed+=("/var/cache/krv-packages/${deb##*/}")
done
in_image apt-get install -y --no-install-recommends "${installed[@]}"

# Services: the network by systemd-networkd; nothing scheduled that would compete with the
# measurements (package list refreshes, file system checks and trims).
in_image systemctl enable systemd-networkd.service krv-syslogd.service
in_image systemctl mask apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer \
    e2scrub_all.timer fstrim.timer
echo controller >"$root/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tcontroller\n' >"$root/etc/hosts"
printf '/dev/vda\t/\text4\trw,errors=remount-ro\t0\t1\n' >"$root/etc/fstab"
# Downloaded lists and packages are not part of a firmware image.
in_image apt-get clean
rm -rf "$root"/var/lib/apt/lists/*
