#!/usr/bin/env bash
# Provides Debian's stock amd64 kernel and a few of its modules for the emulator tests, without
# installing anything on this machine: the versioned package behind linux-image-amd64 is fetched
# with `apt-get download`, the kernel and the named modules (with the modules they depend on,
# decompressed) are extracted into the cache, and the package itself is thrown away.
#
#   fetch-kernel.sh MODULE...   prints the cached kernel folder:
#     kernel          an uncompressed vmlinux (boots fastest) or else the packaged bzImage
#     modules/*.ko    the modules; modules/order lists them, dependencies first
#
# Exit status 77 with the reason on standard error when no kernel can be had.
# KRV_VM_CACHE chooses the cache folder (default ~/.cache/krv-vm).
set -euo pipefail

skip() {
    echo "fetch-kernel: $*" >&2
    exit 77
}

[ $# -gt 0 ] || { echo "usage: fetch-kernel.sh MODULE..." >&2; exit 2; }
cache="${KRV_VM_CACHE:-$HOME/.cache/krv-vm}"
mkdir -p "$cache"

# Parallel test runs share the cache; one fetches while the others wait.
exec 9>"$cache/lock"
flock -w 150 9 || skip "cache $cache stays locked"

package="$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9].*-amd64$/ { print $2; exit }' || true)"
if [ -z "$package" ]; then
    # Without apt's package lists, any kernel fetched before still serves.
    cached="$(ls -d "$cache"/linux-image-*/complete 2>/dev/null | sort -V | tail -n 1 || true)"
    [ -n "$cached" ] || skip "apt cannot resolve linux-image-amd64 (apt-get update needed?)"
    dirname "$cached"
    exit 0
fi

target="$cache/$package"
wanted="$(printf '%s\n' "$@" | sort -u | tr '\n' ' ')"
if [ -f "$target/complete" ] && [ "$(cat "$target/complete")" = "$wanted" ]; then
    echo "$target"
    exit 0
fi

command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing"
work="$(mktemp -d "$cache/fetch.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# apt's download helper runs as _apt and must be able to write here.
chmod 755 "$work"
(cd "$work" && apt-get download -q "$package" >/dev/null 2>"$work/apt.err") ||
    skip "apt-get download $package failed: $(tail -n 1 "$work/apt.err")"
deb="$(ls "$work"/*.deb)"
dpkg-deb --fsys-tarfile "$deb" >"$work/data.tar"
tar -tf "$work/data.tar" >"$work/list"

extract() {
    tar -xf "$work/data.tar" -C "$work" "$@"
}

image="$(grep -m 1 -E '^\./boot/vmlinuz-' "$work/list")" || skip "$package holds no kernel image"
extract "$image"
mkdir -p "$work/out/modules"

# Modules, dependencies first; "depends=" in a module's .modinfo names what it needs.
declare -A seen=()
order=()
add_module() {
    local name="$1" member file dep
    [ -z "${seen[$name]:-}" ] || return 0
    seen[$name]=1
    member="$(grep -m 1 -E "/${name//_/[_-]}\\.ko(\\.xz|\\.zst|\\.gz)?\$" "$work/list")" ||
        skip "$package has no module $name"
    extract "$member"
    file="$work/out/modules/$name.ko"
    case "$member" in
        *.xz) xz -dc "$work/$member" >"$file" ;;
        *.zst) zstd -qdc "$work/$member" >"$file" ;;
        *.gz) gzip -dc "$work/$member" >"$file" ;;
        *) cp "$work/$member" "$file" ;;
    esac
    for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    order+=("$name.ko")
}
for module in "$@"; do
    add_module "$module"
done
printf '%s\n' "${order[@]}" >"$work/out/modules/order"

# Under software emulation the kernel's own decompression costs seconds; QEMU boots the
# uncompressed ELF image directly (PVH entry). Keep the bzImage when that cannot be had.
compressed="$work/$image"
vmlinux="$work/out/kernel"
for offset in $(grep -abo $'\xfd7zXZ\x00' "$compressed" | head -n 3 | cut -d: -f1); do
    tail -c +"$((offset + 1))" "$compressed" | xz -dc --single-stream >"$vmlinux" 2>/dev/null || true
    [ "$(head -c 4 "$vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ] && break
    rm -f "$vmlinux"
done
[ -f "$vmlinux" ] || cp "$compressed" "$vmlinux"

rm -rf "$target"
mv "$work/out" "$target"
echo "$wanted" >"$target/complete"
echo "$target"
