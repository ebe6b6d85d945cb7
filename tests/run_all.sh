#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the gateway and runs every test three times: plain, with the
# address+undefined-behaviour sanitizers, and with the thread sanitizer.
# Usage: tests/run_all.sh            (from the project root)
set -euo pipefail
cd "$(dirname "$0")/.."
# What the builds and tests need and this machine lacks (root installs it).
./scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

run() {   # run <build dir> <sanitizer>
  local dir=$1 san=$2
  echo "=== ${dir} (sanitizer: ${san:-none}) ==="
  cmake -S . -B "$dir" -DCORVANE_SANITIZE="$san" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

# One code style: every C++ file as .clang-format says (Debian 12's clang-format-14).
fmt=$(command -v clang-format-14 || command -v clang-format || true)
if [ -n "$fmt" ]; then
  find auth bench core dmr fuzz gateway master motorola relay tests web -name '*.cpp' -o -name '*.h' |
    xargs "$fmt" --dry-run -Werror
  echo "Code style: clean."
else
  echo "SKIPPED: code style check; clang-format-14 is not installed"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

command -v lintian >/dev/null ||
  echo "SKIPPED: lintian on the package (not installed; scripts/install-deps.sh --all installs it)"
run build ""
run build-asan address
run build-tsan thread
echo "All test builds passed."

# The unit tests and the package check cross-built for the ARM boards, under qemu-user.
./tests/run_arm.sh

# The fuzz harnesses: their seed corpus replayed, then each fuzzed for a short, bounded time.
./fuzz/run.sh --ci
