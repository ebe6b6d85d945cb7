// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/pace_sleep.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "core/clock.h"
#include "core/realtime.h"

namespace {

// Used by the master-side reader's thread only.
int64_t margin_us = 0;

void sleep_until_us(int64_t mono) {
  timespec until{};
  until.tv_sec = static_cast<time_t>(mono / 1000000);
  until.tv_nsec = static_cast<long>(mono % 1000000 * 1000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace

int64_t next_pace_margin(int64_t margin, int64_t late_us) {
  const int64_t decayed = margin - margin / 16;
  return std::clamp(std::max(decayed, late_us + PACE_SPIN_RESERVE_US), int64_t{0}, PACE_SPIN_MAX_US);
}

void pace_sleep_us(int64_t us) {
  if (us <= 0) return;
  // A real-time thread wakes on time; and waiting on the CPU would take it
  // from every normal-priority process.
  if (thread_is_realtime()) {
    sleep_until_us(mono_us() + us);
    return;
  }
  const int64_t until = mono_us() + us;
  const int64_t wake = until - std::min(margin_us, us);
  if (margin_us < us) {
    sleep_until_us(wake);
    margin_us = next_pace_margin(margin_us, mono_us() - wake);
  } else {
    margin_us -= margin_us / 16;
  }
  while (mono_us() < until) sched_yield();
}

void reset_pace_sleep() {
  margin_us = 0;
}
