#!/usr/bin/env bash
# Builds krvctl.exe for 64-bit Windows with Debian's mingw-w64 and, with --test, the unit tests of
# every krvctl room that is not Linux by nature, run under Wine (ctest label "windows"), and the
# end-to-end test of krvctl.exe under Wine against real daemons in namespaces.
#
# Nothing of the machine's /usr/include reaches the cross build: the third-party headers come
# from a private root in the build folder (boost/, CLI/, nlohmann/ only), libcsv from its Debian
# source package (fetched with a sources list of this script's own, never the machine's) and
# GoogleTest from the sources libgtest-dev ships, both cross-built once into
# ~/.cache/krv-windows/<versions>/ and shared by every checkout.
#   KRV_BUILD_DIR   build folder (default build-windows/)
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests=0
for option in "$@"; do
    case $option in
    --test) run_tests=1 ;;
    *) echo "build-windows.sh: unknown option $option (--test)" >&2; exit 2 ;;
    esac
done

scripts/install-deps.sh --windows

triplet=x86_64-w64-mingw32
cc=$triplet-gcc-posix
cxx=$triplet-g++-posix
build_dir="${KRV_BUILD_DIR:-build-windows}"
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)

# --- libcsv and GoogleTest, cross-built once per compiler and GoogleTest version -------------
cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/krv-windows"
libs="$cache_root/gcc$($cxx -dumpversion)-googletest$(dpkg-query -W -f='${Version}' googletest)-libcsv-bookworm"

build_third_party() { # work folder
    local work=$1 apt_dir=$1/apt root=$1/root source
    mkdir -p "$apt_dir"/{lists/partial,cache/archives/partial,parts} "$root"/{include,lib}
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list"
    # Every state apt keeps is in the work folder: the machine's configuration stays as it is.
    local apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
        -o "Dir::Etc::SourceParts=$apt_dir/parts" -o "Dir::State::Lists=$apt_dir/lists"
        -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=$(id -un)")
    apt-get "${apt_options[@]}" -qq update
    (cd "$work" && apt-get "${apt_options[@]}" -qq source libcsv >/dev/null)
    source=$(find "$work" -maxdepth 1 -type d -name 'libcsv-*' | head -n 1)
    [ -n "$source" ] || { echo "build-windows.sh: libcsv's source did not arrive" >&2; return 1; }
    "$cc" -O2 -Wall -c "$source/libcsv.c" -o "$work/libcsv.o"
    "$triplet-ar" rcs "$root/lib/libcsv.a" "$work/libcsv.o"
    cp "$source/csv.h" "$root/include/"
    basename "$source" >"$root/libcsv-version"

    cmake -S /usr/src/googletest -B "$work/googletest" -DCMAKE_SYSTEM_NAME=Windows \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$root" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
    cmake --build "$work/googletest" -j 2 >/dev/null
    cmake --install "$work/googletest" >/dev/null
}

if [ ! -d "$libs" ]; then
    echo "build-windows.sh: cross-building libcsv and GoogleTest into $libs"
    mkdir -p "$cache_root"
    work=$(mktemp -d "$cache_root/.work.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    build_third_party "$work"
    # Renamed into place whole; another checkout that got there first keeps its own.
    mv -T "$work/root" "$libs" 2>/dev/null || [ -d "$libs" ]
fi

# --- the header root: just the header-only libraries the program uses ------------------------
headers="$build_dir/windows-root"
rm -rf "$headers"
mkdir -p "$headers/include" "$headers/share/cmake"
for folder in boost CLI nlohmann; do
    ln -s "/usr/include/$folder" "$headers/include/$folder"
done
# Copies, not links: their targets are found relative to the file's own place, so the include
# folder they name is this root's.
cp -r /usr/share/cmake/CLI11 /usr/share/cmake/nlohmann_json "$headers/share/cmake/"

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# The end-to-end test runs krvctl.exe against the real daemon, built for this machine.
native_krvd=()
if [ "$run_tests" -eq 1 ]; then
    cmake -S . -B "$build_dir/native" -DKRV_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
    cmake --build "$build_dir/native" -j 2 --target krvd
    native_krvd=(-DKRV_NATIVE_KRVD="$build_dir/native/krvd/krvd")
fi
cmake --no-warn-unused-cli -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    "-DKRV_WINDOWS_ROOT=$headers;$libs" -DCMAKE_BUILD_TYPE=Release -DKRV_BUILD_BENCH=OFF \
    -DKRV_BUILD_TESTS=$([ "$run_tests" -eq 1 ] && echo ON || echo OFF) "${launcher[@]}" \
    "${native_krvd[@]}"
cmake --build "$build_dir" -j 2
ls -l "$build_dir/krvctl/krvctl.exe"

if [ "$run_tests" -eq 1 ]; then
    ctest --test-dir "$build_dir" --output-on-failure -j 2 --timeout 600 -L windows
fi
