// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/realtime.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/console_capture.h"

namespace {

TEST(Realtime, RefusedPriorityIsSaidOnceAndNothingElseChanges) {
  reset_realtime();
  ConsoleCapture console;
  set_thread_fifo = [](int) { return EPERM; };
  EXPECT_FALSE(voice_thread_realtime());
  EXPECT_FALSE(voice_thread_realtime());  // the second voice thread
  EXPECT_FALSE(thread_is_realtime());
  EXPECT_EQ(console.str(),
            "Real-time priority not permitted (Operation not permitted): "
            "voice threads run at normal priority\n");
  FloodGuard normal;
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(normal.after_pass(i), 0);  // never paused

  static int asked;
  set_thread_fifo = [](int prio) { return asked = prio, 0; };
  EXPECT_TRUE(voice_thread_realtime());
  EXPECT_EQ(asked, VOICE_RT_PRIORITY);
  EXPECT_TRUE(thread_is_realtime());
  reset_realtime();
}

TEST(Realtime, FloodedRealtimeThreadPausesVoiceRateNever) {
  reset_realtime();
  set_thread_fifo = [](int) { return 0; };
  voice_thread_realtime();
  FloodGuard flood;
  int pauses = 0;
  for (int i = 0; i < 10 * FLOOD_BURST; ++i) {  // a datagram every 10 us
    const int64_t p = flood.after_pass(i * 10);
    EXPECT_TRUE(p == 0 || p == FLOOD_PAUSE_US);
    pauses += p != 0;
  }
  EXPECT_EQ(pauses, 10);
  FloodGuard voice;
  for (int i = 0; i < 10 * FLOOD_BURST; ++i) EXPECT_EQ(voice.after_pass(i * 60000), 0);  // one every 60 ms
  reset_realtime();
}

}  // namespace
