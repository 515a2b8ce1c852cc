#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12; with --ship also what the
# AArch64 cross build and the packages need, with --image also what builds and boots the
# controller's image (scripts/test.sh asks for it), with --windows what builds krvctl.exe and
# runs it under Wine. Safe to run again: packages that are already
# present are left alone and apt is only asked when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libevdev-dev
    libcli11-dev nlohmann-json3-dev libcsv-dev
    # the web console's HTTP server (Boost.Beast, header-only)
    libboost-dev
    # krvctl's completion, checked against the real bash-completion
    bash-completion
    iproute2 util-linux procps net-tools
    # krvctl doctor's test: a firewall rule in the tool's namespace
    nftables
    qemu-system-x86 busybox-static cpio xz-utils zstd
    # man pages and the capture dissector's check
    scdoc tshark
    clang libclang-rt-dev valgrind
    # the web console's check in a real browser
    chromium chromium-driver python3-selenium
)
ship=0
image=0
windows=0
for option in "$@"; do
    case $option in
    --ship) ship=1 ;;
    # The booted controller image: its build (which needs the packages and the cross build)
    # and the emulators that boot it.
    --image) ship=1 image=1 ;;
    --windows) windows=1 ;;
    *) echo "install-deps.sh: unknown option $option (--ship, --image, --windows)" >&2; exit 2 ;;
    esac
done
if [ "$image" -eq 1 ]; then
    # dnsmasq-base: the DHCP server in the image test's namespace.
    packages+=(mmdebstrap arch-test qemu-system-arm python3 e2fsprogs dnsmasq-base)
fi
if [ "$windows" -eq 1 ]; then
    packages+=(
        # the cross compiler (POSIX threads: std::thread), Wine to run the tests, the zip;
        # dpkg-dev unpacks libcsv's source package, which has no Windows build in Debian
        g++-mingw-w64-x86-64-posix wine64 zip unzip dpkg-dev
    )
fi
if [ "$ship" -eq 1 ]; then
    packages+=(
        # the packages and their checks
        dpkg-dev fakeroot lintian systemd
        # the controller's architecture: cross compiler, arm64 libraries through multiarch,
        # and user emulation to run the unit tests
        g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static
        libgtest-dev:arm64 libgmock-dev:arm64 libevdev-dev:arm64 libstdc++6:arm64
        libboost-dev:arm64 libcsv-dev:arm64
    )
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

# The arm64 libraries install beside the machine's own only once dpkg knows the architecture.
refresh=0
if [ "$ship" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${sudo_cmd[@]}" dpkg --add-architecture arm64
    refresh=1
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -eq 0 ] && [ "$refresh" -eq 0 ]; then
    exit 0
fi

"${sudo_cmd[@]}" apt-get update
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends \
        "${missing[@]}"
fi
