#!/usr/bin/env bash
# Builds the Debian packages of every program for amd64 (from build/) and arm64 (from
# build-aarch64/, see scripts/cross-aarch64.sh) and checks them: contents, dependencies,
# lintian, the krvd unit (systemd-analyze verify and its exposure figure), and an installation
# of the amd64 packages into a throw-away root, whose maintainer scripts run there against
# recording stand-ins of the service tools. Nothing is installed on this machine. Beside them,
# krvctl for Windows as a zip with its guide (build-windows/packages/).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --ship

declare -A machine_of=([amd64]=X86-64 [arm64]=AArch64)
failures=0
fail() {
    echo "packages: $*" >&2
    failures=$((failures + 1))
}

build_packages() { # folder
    cmake -S . -B "$1" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
    cmake --build "$1" -j 2
    rm -rf "$1/packages"
    (cd "$1" && cpack -B "$PWD/packages")
}

# What each package must hold besides its copyright and changelog, as regular files.
expected_files() { # package
    case "$1" in
    krvd) echo usr/sbin/krvd lib/systemd/system/krvd.service usr/share/man/man8/krvd.8.gz ;;
    tapsim) echo usr/bin/tapsim lib/udev/rules.d/60-tapsim.rules usr/share/man/man1/tapsim.1.gz ;;
    krvctl) echo usr/bin/krvctl usr/share/man/man1/krvctl.1.gz \
        usr/share/bash-completion/completions/krvctl ;;
    *) return 1 ;;
    esac
}

check_package() { # deb architecture
    local deb=$1 arch=$2 package files expected program depends
    package=$(dpkg-deb -f "$deb" Package)
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb: not built for $arch"
    if ! expected=$(expected_files "$package"); then
        fail "$deb: no package of this project"
        return
    fi
    expected=$(printf '%s\n' $expected "usr/share/doc/$package/copyright" \
        "usr/share/doc/$package/changelog.gz" | sort)
    files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '/$' | sort)
    [ "$files" = "$expected" ] || fail "$deb holds:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"

    program=$(grep -m1 'bin/' <<<"$expected")
    dpkg-deb --fsys-tarfile "$deb" | tar -xO "./$program" >"$work/program"
    readelf -h "$work/program" | grep -q "Machine:.*${machine_of[$arch]}" ||
        fail "$deb: $program is not a ${machine_of[$arch]} program"
    # dpkg-shlibdeps found the libraries of the package's own architecture.
    depends=$(dpkg-deb -f "$deb" Depends)
    grep -q 'libc6 (>= ' <<<"$depends" || fail "$deb: no versioned libc6 dependency: $depends"
    if [ "$package" = tapsim ]; then
        grep -q 'libevdev2 (>= ' <<<"$depends" || fail "$deb: libevdev2 missing: $depends"
    fi
    local names
    names=$(tr ',' '\n' <<<"$depends" | sed -n 's/^ *\([a-z0-9.+-]*\).*/\1/p' | sort | xargs)
    # The console's HTTP server is built in: krvctl needs the C and C++ run-time and libcsv only.
    if [ "$package" = krvctl ]; then
        [ "$names" = "libc6 libcsv3 libgcc-s1 libstdc++6" ] || fail "$deb: depends on $depends"
    fi
    # krvd speaks systemd's notification protocol itself: the C and C++ run-time only.
    if [ "$package" = krvd ]; then
        [ "$names" = "libc6 libgcc-s1 libstdc++6" ] || fail "$deb: depends on $depends"
    fi
}

# --- a throw-away root: dpkg's database, busybox as /bin/sh, stand-ins that record calls ---
make_root() { # root debs...
    local root=$1 name deb
    shift
    mkdir -p "$root"/{bin,dev,usr/bin,var/log,run/systemd/system,run/udev}
    mkdir -p "$root"/var/lib/dpkg/{info,updates}
    : >"$root/dev/null"
    : >"$root/var/lib/dpkg/available"
    : >"$root/var/lib/dpkg/status"
    cp /bin/busybox "$root/bin/busybox"
    ln -s busybox "$root/bin/sh"
    # The dependencies count as installed, with this machine's versions, so that dpkg still
    # checks every versioned dependency the packages declare.
    for name in $(for deb in "$@"; do dpkg-deb -f "$deb" Depends; done | tr ',' '\n' |
        sed -n 's/^ *\([a-z0-9.+-]*\).*/\1/p' | sort -u); do
        if ! dpkg-query -s "$name:amd64" >>"$root/var/lib/dpkg/status" 2>/dev/null &&
            ! dpkg-query -s "$name" >>"$root/var/lib/dpkg/status" 2>/dev/null; then
            fail "dependency $name is not a Debian package on this machine"
        fi
        echo >>"$root/var/lib/dpkg/status"
        : >"$root/var/lib/dpkg/info/$name.list"
    done
    # getent finds no group, so the group is created; every other tool succeeds.
    for name in deb-systemd-helper deb-systemd-invoke systemctl udevadm getent addgroup; do
        printf '#!/bin/sh\necho "%s $*" >>/var/log/calls\n[ %s != getent ]\n' \
            "$name" "$name" >"$root/usr/bin/$name"
        chmod 755 "$root/usr/bin/$name"
    done
}

calls_were() { # root step expected...
    local root=$1 step=$2 actual
    shift 2
    actual=$(cat "$root/var/log/calls" 2>/dev/null || true)
    [ "$actual" = "$(printf '%s\n' "$@")" ] || fail "$step ran:"$'\n'"$actual"
    : >"$root/var/log/calls"
}

check_installation() { # debs...
    local root="$work/root" version program options option page
    make_root "$root" "$@"
    dpkg --root="$root" -i "$@" || fail "dpkg could not install $*"
    calls_were "$root" "installation" \
        "deb-systemd-helper unmask krvd.service" \
        "deb-systemd-helper --quiet was-enabled krvd.service" \
        "deb-systemd-helper enable krvd.service" \
        "systemctl --system daemon-reload" \
        "deb-systemd-invoke start krvd.service" \
        "getent group tapsim" \
        "addgroup --system --quiet tapsim" \
        "udevadm trigger --action=change --subsystem-match=misc --sysname-match=uinput"

    version=$(dpkg-deb -f "$1" Version)
    [ "$("$root/usr/sbin/krvd" --version)" = "Version: $version" ] ||
        fail "installed krvd --version does not say $version"
    # Every option a program's help names is in its manual page.
    for program in usr/sbin/krvd usr/bin/krvctl; do
        [ -x "$root/$program" ] || continue
        options=$("$root/$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u) ||
            fail "$program --help failed"
        page=$(find "$root/usr/share/man" -name "${program##*/}.[18].gz")
        page=$(MANWIDTH=200 man -l "$page" 2>/dev/null | col -b)
        grep -q "krevane-controller $version" <<<"$page" || fail "$program: page not of $version"
        for option in $options; do
            grep -q -- "$option" <<<"$page" || fail "$program: $option missing in its page"
        done
    done

    check_unit "$root"

    # An upgrade restarts the running daemon and keeps the administrator's enablement.
    dpkg --root="$root" -i "$1" >/dev/null || fail "dpkg could not upgrade krvd"
    calls_were "$root" "upgrade" \
        "systemctl --system daemon-reload" \
        "deb-systemd-helper unmask krvd.service" \
        "deb-systemd-helper --quiet was-enabled krvd.service" \
        "deb-systemd-helper enable krvd.service" \
        "systemctl --system daemon-reload" \
        "deb-systemd-invoke restart krvd.service"
    dpkg --root="$root" --purge krvd >/dev/null || fail "dpkg could not purge krvd"
    calls_were "$root" "purge" \
        "deb-systemd-invoke stop krvd.service" \
        "systemctl --system daemon-reload" \
        "deb-systemd-helper mask krvd.service" \
        "systemctl --system daemon-reload" \
        "deb-systemd-helper purge krvd.service" \
        "deb-systemd-helper unmask krvd.service"
    [ ! -e "$root/usr/sbin/krvd" ] && [ ! -e "$root/lib/systemd/system/krvd.service" ] ||
        fail "purge left krvd's files behind"
}

# systemd-analyze judges the unit as installed, with this machine's units beside it for the
# targets it names; its warnings (an unknown key, say) count as failures.
check_unit() { # root
    local root=$1 unit="$1/lib/systemd/system/krvd.service" output exposure stated
    cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
    if ! output=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" "$unit" 2>&1) ||
        [ -n "$output" ]; then
        fail "systemd-analyze verify krvd.service:"$'\n'"$output"
    fi
    exposure=$(systemd-analyze security --offline=true --root="$root" "$unit" 2>/dev/null |
        sed -n 's/.*Overall exposure level for krvd.service: \([0-9.]*\).*/\1/p')
    stated=$(sed -n 's/.*exposure level of \([0-9.]*\).*/\1/p' docs/measured.md | head -1)
    echo "krvd.service: exposure level $exposure (docs/measured.md: $stated)"
    if [ -z "$exposure" ] || [ -z "$stated" ] || [ "$exposure" != "$stated" ]; then
        fail "krvd.service exposure level $exposure differs from docs/measured.md's $stated"
    fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build_packages build
build_packages build-aarch64
debs=()
for arch in amd64 arm64; do
    folder=build
    [ "$arch" = arm64 ] && folder=build-aarch64
    for deb in "$folder"/packages/*_"$arch".deb; do
        check_package "$deb" "$arch"
        debs+=("$deb")
        echo "$deb: $(stat -c %s "$deb") bytes"
    done
done

lintian --fail-on error --display-info "${debs[@]}" || fail "lintian found errors"

# --- krvctl for Windows: krvctl.exe (scripts/build-windows.sh) and its guide in a zip --------
scripts/build-windows.sh >/dev/null
version=$(sed -n 's/^project(krevane_controller VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip_dir="$work/krvctl-$version-windows-x86_64"
mkdir -p "$zip_dir" build-windows/packages
x86_64-w64-mingw32-strip -o "$zip_dir/krvctl.exe" build-windows/krvctl/krvctl.exe
# Notepad of older Windows shows only CR LF line ends.
sed 's/$/\r/' docs/windows.md >"$zip_dir/README-windows.txt"
windows_zip="$PWD/build-windows/packages/krvctl-$version-windows-x86_64.zip"
rm -f "$windows_zip"
(cd "$work" && zip -q -r -X "$windows_zip" "$(basename "$zip_dir")")
objdump -f "$zip_dir/krvctl.exe" | grep -q 'file format pei-x86-64' ||
    fail "$windows_zip: krvctl.exe is not a 64-bit Windows program"
# One file on a bare Windows: only the system's own DLLs, none of the compiler's run-time.
dlls=$(objdump -p "$zip_dir/krvctl.exe" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | xargs)
for dll in $dlls; do
    case $dll in
    kernel32.dll | msvcrt.dll | ws2_32.dll | iphlpapi.dll | mswsock.dll | advapi32.dll | \
        user32.dll | bcrypt.dll | shell32.dll | api-ms-win-*) ;;
    *) fail "$windows_zip: krvctl.exe needs $dll ($dlls)" ;;
    esac
done
[ "$(unzip -Z1 "$windows_zip" | sort | xargs)" = \
    "krvctl-$version-windows-x86_64/ krvctl-$version-windows-x86_64/README-windows.txt krvctl-$version-windows-x86_64/krvctl.exe" ] ||
    fail "$windows_zip holds: $(unzip -Z1 "$windows_zip" | xargs)"
echo "$windows_zip: $(stat -c %s "$windows_zip") bytes (krvctl.exe $(stat -c %s "$zip_dir/krvctl.exe") bytes, DLLs: $dlls)"

amd64_debs=(build/packages/krvd_*_amd64.deb build/packages/tapsim_*_amd64.deb)
[ -e build/packages/krvctl_*_amd64.deb ] && amd64_debs+=(build/packages/krvctl_*_amd64.deb)
check_installation "${amd64_debs[@]}"

if [ "$failures" -ne 0 ]; then
    echo "packages: $failures check(s) failed" >&2
    exit 1
fi
echo "packages: ${#debs[@]} packages built and checked"
