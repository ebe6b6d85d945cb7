#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-builds the gateway and its unit tests for the boards it runs on,
# armhf (32-bit) and arm64, and runs the unit tests and the package check
# under user-mode emulation (qemu-user).  Installs nothing: the cross tools
# and target libraries come from Debian packages (see .ci/run):
#   dpkg --add-architecture armhf; dpkg --add-architecture arm64; apt-get update
#   apt-get install crossbuild-essential-armhf crossbuild-essential-arm64 qemu-user \
#     libgtest-dev:armhf libgtest-dev:arm64 \
#     libstdc++6:armhf libstdc++6:arm64
# Usage: tests/run_arm.sh [armhf|arm64 ...]   (from anywhere; default both)
# Trees: build-armhf/, build-arm64/ (Release, installing under /usr, as packaged).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(armhf arm64)

triplet() { case $1 in armhf) echo arm-linux-gnueabihf ;; arm64) echo aarch64-linux-gnu ;; esac; }
emulator() { case $1 in armhf) echo qemu-arm ;; arm64) echo qemu-aarch64 ;; esac; }
loader() { case $1 in armhf) echo /lib/ld-linux-armhf.so.3 ;; arm64) echo /lib/ld-linux-aarch64.so.1 ;; esac; }

# What each target needs on this machine; anything missing means the cross
# tools were not installed here, and the run is skipped with the reason.
missing=()
for t in "${targets[@]}"; do
  tr=$(triplet "$t")
  [ -n "$tr" ] || { echo "unknown target '$t' (armhf or arm64)" >&2; exit 2; }
  command -v "$tr-g++" >/dev/null || missing+=("$tr-g++ (crossbuild-essential-$t)")
  command -v "$(emulator "$t")" >/dev/null || missing+=("$(emulator "$t") (qemu-user)")
  [ -e "$(loader "$t")" ] || missing+=("$(loader "$t") (libc6:$t)")
  [ -e "/usr/lib/$tr/libstdc++.so.6" ] || missing+=("libstdc++.so.6 for $t (libstdc++6:$t)")
  [ -e "/usr/lib/$tr/libgtest.a" ] || missing+=("GoogleTest for $t (libgtest-dev:$t)")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "SKIPPED: ARM cross builds and emulated unit tests; this machine lacks:"
  printf '  %s\n' "${missing[@]}"
  echo "  (install them as listed at the top of tests/run_arm.sh, as .ci/run does)"
  exit 0
fi

for t in "${targets[@]}"; do
  dir=build-$t
  echo "=== ${dir} (cross build for $(triplet "$t"), tests under $(emulator "$t")) ==="
  start=$SECONDS
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm.cmake -DCORVANE_ARCH="$t" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
  cmake --build "$dir" -j "$jobs"
  built=$SECONDS
  # Unit tests and the package check; the end-to-end tests need the native
  # binary in network namespaces and are left to the native trees.
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" -L '^(unit|package)$'
  echo "--- ${dir}: build $((built - start)) s, tests $((SECONDS - built)) s"
done
echo "ARM builds passed: ${targets[*]}"
