# SPDX-License-Identifier: GPL-2.0-or-later
# Cross build for the ARM boards with Debian's cross tools: 32-bit armhf
# (arm-linux-gnueabihf) or 64-bit arm64 (aarch64-linux-gnu), chosen by
# CORVANE_ARCH (default armhf):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm.cmake -DCORVANE_ARCH=arm64
# Needs crossbuild-essential-<arch>; the target's libraries (GoogleTest for the
# tests) from Debian multiarch packages such as libgtest-dev:<arch>; the test
# programs run under user-mode emulation (qemu-user) with the target's C and C++
# run-time libraries from multiarch (libstdc++6:<arch>).
set(CORVANE_ARCH armhf CACHE STRING "Target of the ARM cross build: armhf or arm64")
# try_compile projects see the choice too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANE_ARCH)

if(CORVANE_ARCH STREQUAL "armhf")
  set(_triplet arm-linux-gnueabihf)
  set(CMAKE_SYSTEM_PROCESSOR arm)
  set(_qemu qemu-arm)
elseif(CORVANE_ARCH STREQUAL "arm64")
  set(_triplet aarch64-linux-gnu)
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(_qemu qemu-aarch64)
else()
  message(FATAL_ERROR "CORVANE_ARCH must be armhf or arm64, not '${CORVANE_ARCH}'")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${_triplet})
set(CMAKE_C_COMPILER ${_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_triplet}-g++)

# Build tools from the host; headers and libraries from the cross root and
# from the multiarch directories of the target (/usr/lib/<triplet>).
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config must describe the target's libraries too.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_triplet}/pkgconfig:/usr/share/pkgconfig)

# ctest and GoogleTest's test discovery run target programs through this.
# No -L /usr/<triplet>: its loader is the cross package's build of glibc and
# must not be paired with the multiarch libc.so.6 that the loader cache finds
# (threads crash at creation); the multiarch loader and libc belong together.
set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu})

# The Debian package is for the target's architecture, not the build machine's.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CORVANE_ARCH})
