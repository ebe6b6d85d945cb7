// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/console_ring.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string pop() {
  char buf[4096];
  return std::string(buf, console_ring_pop(buf, sizeof buf));
}

TEST(ConsoleRing, LinesKeepTheirOrderAndAFullRingCountsWhatItDrops) {
  reset_console_ring();
  EXPECT_EQ(pop(), "");
  const std::string line(1022, 'x');  // 1024 bytes queued each: 64 fill the ring
  int queued = 0;
  while (static_cast<size_t>(queued + 1) * (line.size() + 2) <= CONSOLE_RING_BYTES) {
    std::string l = std::to_string(queued++) + line;
    l.resize(line.size() - 1);
    l += '\n';
    console_ring_push(l.data(), l.size());
  }
  for (int i = 0; i < 3; ++i) console_ring_push("lost\n", 5);  // finds the ring full
  EXPECT_EQ(pop().substr(0, 2), "0x");
  EXPECT_EQ(pop().substr(0, 2), "1x");  // room again for a notice and one line
  console_ring_push("next\n", 5);
  for (int i = 2; i < queued; ++i) EXPECT_EQ(pop().substr(0, std::to_string(i).size()), std::to_string(i));
  EXPECT_EQ(pop(), "3 console lines dropped\n");
  EXPECT_EQ(console_ring_dropped_total(), 3u);  // the notice resets its own count, not the run's
  EXPECT_EQ(pop(), "next\n");
  EXPECT_EQ(pop(), "");

  // Over-long texts are cut at the console's line limit, never overrun.
  const std::string huge(5000, 'y');
  console_ring_push(huge.data(), huge.size());
  EXPECT_EQ(pop().size(), 2048u);
  console_flush(10);  // no writer: returns at once
  reset_console_ring();
}

}  // namespace
