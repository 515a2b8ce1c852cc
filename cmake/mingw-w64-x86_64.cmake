# Cross build of krvctl.exe for 64-bit Windows with Debian's mingw-w64 (POSIX threads, which
# std::thread and Boost.Asio need). Nothing of the machine's own /usr/include or /usr/lib may
# reach the build: third-party headers and libraries come only from KRV_WINDOWS_ROOT, a private
# root that scripts/build-windows.sh prepares: a list of two folders, the build's own with just
# boost/, CLI/ and nlohmann/ (and copies of the latter two's CMake files), and the cache of the
# cross-built libcsv and GoogleTest.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DKRV_WINDOWS_ROOT=/path/to/root
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KRV_TARGET_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KRV_TARGET_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRV_TARGET_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KRV_TARGET_TRIPLET}-windres)

# Try-compiles see the root as well.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KRV_WINDOWS_ROOT)
if(NOT KRV_WINDOWS_ROOT)
    message(FATAL_ERROR "KRV_WINDOWS_ROOT: the private root of headers and libraries is missing")
endif()
# The compiler's own sysroot (mingw-w64's headers and import libraries) plus the private root;
# programs (cmake, the test runner) still come from the machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KRV_TARGET_TRIPLET} ${KRV_WINDOWS_ROOT})
list(GET KRV_WINDOWS_ROOT 0 krv_header_root)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Boost 1.74's own CMake files resolve their symbolic links back to the machine's /usr: FindBoost
# with the include folder given instead.
set(Boost_NO_BOOST_CMAKE ON)
set(Boost_NO_SYSTEM_PATHS ON)
set(Boost_INCLUDE_DIR ${krv_header_root}/include)

# One executable that runs on a bare Windows: no libgcc, libstdc++ or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Windows 10's API: Boost.Asio needs the version to be named, VT mode needs 10. mingw-w64 offers
# the POSIX thread-safe time functions (localtime_r) when asked for them.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 -DWIN32_LEAN_AND_MEAN -DNOMINMAX \
-D_POSIX_THREAD_SAFE_FUNCTIONS=200112L")

# Test programs run under Wine (tests/krvctl/windows-test.sh sets up a prefix of their own).
find_program(KRV_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
