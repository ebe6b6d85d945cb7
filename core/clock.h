// SPDX-License-Identifier: GPL-2.0-or-later
// The one clock of the gateway's timed logic: monotonic milliseconds, so a
// change of the wall clock never stretches or shortens an interval.  The
// wall clock only says when something happened, for people to read.
#pragma once
#include <cstdint>
#include <ctime>

inline int64_t mono_ms() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The same clock in microseconds, for intervals measured finer than a
// millisecond (the pacing of voice toward the repeater).
inline int64_t mono_us() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Wall-clock milliseconds since the epoch (UTC): when a call started, when a
// link changed.  Never for intervals.
inline int64_t wall_ms() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
