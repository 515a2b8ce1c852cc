#!/usr/bin/env bash
# Runs tapsim against a real kernel's uinput and evdev: Debian's stock kernel under QEMU's
# software emulation (no KVM needed) with a busybox initramfs holding tapsim, the event reader,
# their shared libraries, the two modules and guest-tapsim.sh as init. The result comes back on
# the serial console.
#
#   run-tapsim-vm.sh TAPSIM TAPSIM-EVREADER
#
# Exit status 0 pass, 1 fail, 77 skip (no emulator, busybox or kernel package; reason printed).
set -euo pipefail

skip() {
    echo "SKIP: $*"
    exit 77
}

[ $# -eq 2 ] || { echo "usage: run-tapsim-vm.sh TAPSIM TAPSIM-EVREADER" >&2; exit 2; }
tapsim="$1"
reader="$2"
here="$(cd "$(dirname "$0")" && pwd)"
for program in "$tapsim" "$reader"; do
    [ -x "$program" ] || { echo "$program is not built" >&2; exit 1; }
done

[ "$(uname -m)" = x86_64 ] || skip "the emulator test needs an x86_64 host"
qemu="$(command -v qemu-system-x86_64)" || skip "qemu-system-x86_64 is missing (package qemu-system-x86)"
busybox="$(command -v busybox)" || skip "busybox is missing (package busybox-static)"
for tool in cpio flock apt-get; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tapsim-vm.XXXXXX")"
trap 'rm -rf "$work"' EXIT

status=0
kernel_dir="$("$here/fetch-kernel.sh" uinput evdev 2>"$work/fetch.err")" || status=$?
if [ "$status" -ne 0 ]; then
    [ "$status" -eq 77 ] && skip "$(tail -n 1 "$work/fetch.err")"
    cat "$work/fetch.err"
    exit 1
fi
root="$work/root"
mkdir -p "$root/bin" "$root/modules"

# Copies a program with every shared library it needs, each to the path the loader expects.
install_program() {
    install -m 755 "$1" "$root/bin/$2"
    local library
    for library in $(ldd "$1" 2>/dev/null | grep -oE '/[^ ]+' || true); do
        [ -e "$root$library" ] || install -D -m 755 "$(readlink -f "$library")" "$root$library"
    done
}
install_program "$busybox" busybox
install_program "$tapsim" tapsim
install_program "$reader" tapsim-evreader
cp "$kernel_dir"/modules/* "$root/modules/"
install -m 755 "$here/guest-tapsim.sh" "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"

console="$work/console.log"
run_status=0
timeout 150 "$qemu" -accel tcg -m 256 -smp 1 -nographic -no-reboot -nic none \
    -kernel "$kernel_dir/kernel" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet panic=-1 rdinit=/init" </dev/null >"$console" 2>&1 ||
    run_status=$?

# The console carries firmware noise before the guest speaks; show the guest's part.
tr -d '\r' <"$console" | sed -e 's/\x1b\(\[[0-9;?]*[A-Za-z]\|c\)//g' | sed -n '/^\(not \)\{0,1\}ok - /,$p'
if grep -q '^KRV-VM-RESULT PASS' "$console"; then
    exit 0
fi
if ! grep -q '^KRV-VM-RESULT' "$console"; then
    echo "no result from the emulator (status $run_status); console follows"
    tail -n 40 "$console"
fi
exit 1
