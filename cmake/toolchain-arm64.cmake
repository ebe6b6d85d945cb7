# Cross build for arm64 boards (aarch64-linux-gnu) with Debian's crossbuild-essential-arm64.
# Libraries of the target (GoogleTest, OpenSSL for the tests) come from Debian
# multiarch packages such as libgtest-dev:arm64 and libssl-dev:arm64.
# Test programs run under user-mode emulation (qemu-aarch64 from qemu-user) with the
# target's C and C++ run-time libraries from multiarch (libstdc++6:arm64).
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Build tools from the host; headers and libraries from the cross root and
# from the multiarch directories of the target (/usr/lib/<triplet>).
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config (used by FindOpenSSL) must describe the target's libraries too.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# ctest and GoogleTest's test discovery run target programs through this.
# No -L /usr/aarch64-linux-gnu: its loader is the cross package's build of glibc and
# must not be paired with the multiarch libc.so.6 that the loader cache finds
# (threads crash at creation); the multiarch loader and libc belong together.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# The Debian package is for the target's architecture, not the build machine's.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
