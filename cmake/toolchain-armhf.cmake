# Cross build for armhf boards (arm-linux-gnueabihf) with Debian's crossbuild-essential-armhf.
# Libraries of the target (GoogleTest, OpenSSL for the tests) come from Debian
# multiarch packages such as libgtest-dev:armhf and libssl-dev:armhf.
# Test programs run under user-mode emulation (qemu-arm from qemu-user) with the
# target's C and C++ run-time libraries from multiarch (libstdc++6:armhf).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Build tools from the host; headers and libraries from the cross root and
# from the multiarch directories of the target (/usr/lib/<triplet>).
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config (used by FindOpenSSL) must describe the target's libraries too.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# ctest and GoogleTest's test discovery run target programs through this.
# No -L /usr/arm-linux-gnueabihf: its loader is the cross package's build of glibc and
# must not be paired with the multiarch libc.so.6 that the loader cache finds
# (threads crash at creation); the multiarch loader and libc belong together.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

# The Debian package is for the target's architecture, not the build machine's.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
