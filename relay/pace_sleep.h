// SPDX-License-Identifier: GPL-2.0-or-later
// The sleep behind the 60 ms pacing of voice toward the repeater.
//
// A thread asleep in the kernel is woken some time after its deadline: tens
// of microseconds on a quiet board, now and then milliseconds on a busy or
// virtual machine. Each pacing sleep therefore ends a little early and
// covers the last stretch on the CPU, yielding all the while. How early is
// learned from the sleeps themselves: the latest lateness plus a small
// reserve, decaying by a sixteenth per sleep and never more than a few
// milliseconds, so a board that wakes on time spends almost nothing.
#pragma once
#include <cstdint>

// Reserve kept above the lateness just seen, and the most ever covered on
// the CPU, microseconds.
inline constexpr int64_t PACE_SPIN_RESERVE_US = 50;
inline constexpr int64_t PACE_SPIN_MAX_US = 3000;

// The early margin for the next sleep, from the current one and how late
// (microseconds, negative for early) the sleep just ended.
int64_t next_pace_margin(int64_t margin_us, int64_t late_us);

// Sleeps `us` microseconds of the monotonic clock (nothing when <= 0) as
// described above; an interrupted sleep resumes toward the same point.
void pace_sleep_us(int64_t us);

// Forgets the learned margin (start of a run, tests).
void reset_pace_sleep();
