# Cross build for the controller (AArch64) with Debian's aarch64-linux-gnu compiler. The arm64
# libraries come from Debian's multiarch packages (libevdev-dev:arm64, libgtest-dev:arm64...),
# which install beside the machine's own under /usr/lib/aarch64-linux-gnu.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KRV_TARGET_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${KRV_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KRV_TARGET_TRIPLET}-g++)
# find_package and find_library then look in the multiarch folders of arm64.
set(CMAKE_LIBRARY_ARCHITECTURE ${KRV_TARGET_TRIPLET})

# pkg-config must see only the arm64 .pc files (and the architecture-independent ones), never
# the machine's own libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KRV_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs (and gtest's test discovery at build time) run under user emulation. The
# multiarch libc provides the arm64 loader at its real path, so no library prefix is needed.
find_program(KRV_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(KRV_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KRV_QEMU_AARCH64})
endif()

