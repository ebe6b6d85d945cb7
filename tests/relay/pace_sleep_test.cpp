// SPDX-License-Identifier: GPL-2.0-or-later
#include "relay/pace_sleep.h"

#include <gtest/gtest.h>

#include "core/clock.h"

namespace {

TEST(PaceSleep, MarginRuleAndNeverEndingEarly) {
  EXPECT_EQ(next_pace_margin(0, 700), 700 + PACE_SPIN_RESERVE_US);
  EXPECT_EQ(next_pace_margin(1600, 100), 1500) << "a sixteenth less";
  EXPECT_EQ(next_pace_margin(1600, 1540), 1540 + PACE_SPIN_RESERVE_US);
  EXPECT_EQ(next_pace_margin(0, 250000), PACE_SPIN_MAX_US);
  EXPECT_EQ(next_pace_margin(0, -5000), 0);

  // From the second sleep on, part of the wait is covered on the CPU.
  reset_pace_sleep();
  for (int64_t us : {20000, 2000, 20000, 300, 20000}) {
    const int64_t t0 = mono_us();
    pace_sleep_us(us);
    EXPECT_GE(mono_us() - t0, us);
  }
  reset_pace_sleep();
}

}  // namespace
