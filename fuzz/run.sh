#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the libFuzzer harnesses with clang into build-fuzz/ and runs them.
#
#   fuzz/run.sh --ci          replay the seed corpus, then fuzz each harness
#                             for FUZZ_SECONDS (default 10); the test command's part
#   fuzz/run.sh --time N      fuzz each harness N seconds (a long run)
#   fuzz/run.sh --merge       fold what the runs found into fuzz/corpus/ (minimised)
#   fuzz/run.sh ... NAME...   only the harnesses named (config, moto_reader, ...)
#
# What a run finds stays in build-fuzz/corpus/<name>/; a crash leaves its input
# as build-fuzz/crash-<name>-*, to be replayed with build-fuzz/fuzz_<name> FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=--ci
seconds=${FUZZ_SECONDS:-10}
case ${1:-} in
  --ci) shift ;;
  --time) mode=--time; seconds=$2; shift 2 ;;
  --merge) mode=--merge; shift ;;
esac

cxx=${FUZZ_CXX:-$(command -v clang++-14 || command -v clang++ || true)}
if [ -z "$cxx" ] || ! ls "$("$cxx" -print-runtime-dir)"/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
  echo "SKIPPED: fuzz harnesses; clang++ with its fuzzer runtime is missing (apt-get install clang-14 libclang-rt-14-dev)"
  exit 0
fi
t0=$(date +%s)
cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in build-fuzz/fuzz_*; do [ -x "$f" ] && names+=("${f#build-fuzz/fuzz_}"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for n in "${names[@]}"; do
  bin=build-fuzz/fuzz_$n seeds=fuzz/corpus/$n work=build-fuzz/corpus/$n
  mkdir -p "$seeds" "$work"
  if [ "$mode" = --merge ]; then
    tmp=$(mktemp -d)
    # Edges only (no hit counts): the fewest files that reach everything found.
    "$bin" -merge=1 -use_counters=0 "$tmp" "$seeds" "$work" 2>/dev/null
    rm -f "$seeds"/*
    cp "$tmp"/* "$seeds"/ 2>/dev/null || true
    rm -rf "$tmp"
    echo "fuzz $n: $(ls "$seeds" | wc -l) seed files"
    continue
  fi
  log=build-fuzz/$n.log
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/crash-$n-" "$work" "$seeds" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "fuzz $n: ok, $runs executions, $cov, corpus $(ls "$work" | wc -l)"
  else
    echo "fuzz $n: FAILED (log $log)"
    grep -m1 -A25 -E 'ERROR: |runtime error|invariant broken' "$log" || tail -30 "$log"
    failed+=("$n")
  fi
done
echo "fuzz: wall time $(( $(date +%s) - t0 )) s"
[ ${#failed[@]} -eq 0 ] || { echo "fuzz: failed: ${failed[*]}" >&2; exit 1; }
