# Cross-build for arm64 Linux with Debian's cross compiler and the :arm64 multiarch
# libraries (pkg-config and find_package look in the aarch64 library folders).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# OLVU_CROSS_PKGCONFIG names an extra folder searched first: scripts/deps-arm64.sh keeps there the
# description of an :arm64 library whose -dev package cannot be installed beside the host's.
set(_olvu_pc "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
if(DEFINED ENV{OLVU_CROSS_PKGCONFIG} AND NOT "$ENV{OLVU_CROSS_PKGCONFIG}" STREQUAL "")
  set(_olvu_pc "$ENV{OLVU_CROSS_PKGCONFIG}:${_olvu_pc}")
endif()
set(ENV{PKG_CONFIG_LIBDIR} "${_olvu_pc}")
set(ENV{PKG_CONFIG_PATH} "")
# Test binaries run under user-mode emulation: gtest discovery and ctest start them through it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
