#!/usr/bin/env bash
# The image builder refuses, naming the reason and building nothing: an architecture it has no
# image for, a package that is missing, no package, a file that is no package, a package of
# the wrong architecture, no qemu-user for a foreign image, no room in the cache. Needs no root.
#
#   builder_refusals_test.sh REPO      exit 0 pass, 1 fail, 77 skip
set -uo pipefail
repo=$1
builder="$repo/image/build-image.sh"
for tool in mmdebstrap dpkg-deb mkfs.ext4; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# A package of ARCH holding one file.
make_deb() { # name arch
    local dir="$work/$1-src"
    mkdir -p "$dir/DEBIAN" "$dir/usr/share/doc/$1"
    printf 'Package: %s\nVersion: 1\nArchitecture: %s\nMaintainer: t <t@example.com>\nDescription: t\n' \
        "$1" "$2" >"$dir/DEBIAN/control"
    echo x >"$dir/usr/share/doc/$1/x"
    dpkg-deb -b --root-owner-group "$dir" "$work/$1_1_$2.deb" >/dev/null
    echo "$work/$1_1_$2.deb"
}
arm64_deb=$(make_deb good arm64)
amd64_deb=$(make_deb other amd64)
echo "not a package" >"$work/junk.deb"

expect_refusal() { # what expected-text command...
    local what=$1 expected=$2 output status
    shift 2
    output=$("$@" 2>&1)
    status=$?
    if [ "$status" -ne 1 ] || ! grep -qF -- "$expected" <<<"$output"; then
        echo "FAIL: $what: status $status, said: $output (wanted: $expected)"
        failures=$((failures + 1))
    elif [ -n "$(ls -A "$work/cache" 2>/dev/null | grep -v '^lock')" ]; then
        echo "FAIL: $what: the cache holds $(ls "$work/cache")"
        failures=$((failures + 1))
    else
        echo "ok: $what: $output"
    fi
}

cache="$work/cache"
expect_refusal "unknown architecture" "architecture 'armhf' is not one of the images" \
    "$builder" armhf "$cache" "$arm64_deb"
expect_refusal "no package" "no package to install" "$builder" arm64 "$cache" --carry "$arm64_deb"
expect_refusal "missing package" "package $work/absent.deb is missing" \
    "$builder" arm64 "$cache" "$work/absent.deb"
expect_refusal "no package at all" "$work/junk.deb is no Debian package" \
    "$builder" arm64 "$cache" "$work/junk.deb"
expect_refusal "wrong architecture" "is built for amd64, not for the arm64 image" \
    "$builder" arm64 "$cache" "$arm64_deb" "$amd64_deb"
expect_refusal "wrong architecture, carried" "is built for arm64, not for the amd64 image" \
    "$builder" amd64 "$cache" --carry "$arm64_deb" "$amd64_deb"

# Every folder of PATH that holds qemu-aarch64-static is replaced by a copy without it.
shadow_path=
IFS=: read -r -a dirs <<<"$PATH"
for dir in "${dirs[@]}"; do
    if [ -e "$dir/qemu-aarch64-static" ]; then
        shadow="$work/path${#shadow_path}"
        mkdir -p "$shadow"
        # One ln for the whole folder: a program start per entry took most of this test's time.
        ln -s "$dir"/* "$shadow/"
        rm -f "$shadow"/qemu-aarch64*
        dir=$shadow
    fi
    shadow_path+=${shadow_path:+:}$dir
done
expect_refusal "no qemu-user" "qemu-aarch64-static is missing" \
    env PATH="$shadow_path" "$builder" arm64 "$cache" "$arm64_deb"

# A cache on a file system of 16 MiB: a user namespace lends the right to mount it.
if unshare --user --map-root-user --mount true 2>/dev/null; then
    expect_refusal "no room" "MiB free in $work/small; an image build needs" \
        unshare --user --map-root-user --mount sh -c \
        'mkdir -p "$1" && mount -t tmpfs -o size=16m small "$1" && exec "$2" arm64 "$1" "$3"' \
        sh "$work/small" "$builder" "$arm64_deb"
else
    echo "no user namespaces: the check of the room is left out"
fi

[ "$failures" -eq 0 ] && echo "PASS" && exit 0
exit 1
