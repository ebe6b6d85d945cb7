// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/call_record.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/metrics.h"
#include "support/record_text.h"

namespace {

using Texts = std::vector<std::string>;

class CallRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_call_record();
    reset_metrics();
  }
  void TearDown() override { reset_call_record(); }
};

TEST_F(CallRecord, LiveFiguresEventsAndTimeOuts) {
  const CallChannel ch = CH_REPEATER_SLOT2;
  EXPECT_EQ(call_record_wait_ms(ch, 0), -1);
  call_record_start(ch, 1, 2, true, 1700000000000, 1000);
  EXPECT_EQ(call_record_events(), 1u) << "the start is told at once";
  call_record_burst(ch, BurstFigures{1, 2, BURST_CHECKED_BITS, 3, 1}, 1060);
  call_record_touch(ch, 1500);
  EXPECT_EQ(live_text(ch), "1>2p s2 b1 l1 e2/141 f1/3 end0 500ms");
  EXPECT_EQ(call_record_wait_ms(ch, 2000), 2500) << "3 s after the latest sign of life";
  EXPECT_FALSE(call_record_expire(ch, 4499));
  // A start while a call is open ends that one as a time-out, at its latest
  // sign of life.
  call_record_start(ch, 3, 4, false, 1700000004000, 4000);
  call_record_end(ch, END_TERMINATOR, 4700);
  EXPECT_EQ(live_text(ch), "-");

  RecordEvent first;
  ASSERT_TRUE(call_record_pop(&first));
  EXPECT_EQ(first.at_ms, 1700000000000);
  EXPECT_EQ(take_event_texts(),
            (Texts{"end 2 1>2p s2 b1 l1 e2/141 f1/3 end2 500ms", "start 2 3>4 s2 b0 l0 e0/0 f0/0 end0 0ms",
                   "end 2 3>4 s2 b0 l0 e0/0 f0/0 end1 700ms"}));
  EXPECT_EQ(metrics_get(metrics.calls[DIR_TO_MASTER]), 2u);
  EXPECT_EQ(metrics_get(metrics.duration_bucket[0]) * 10000 + metrics_get(metrics.duration_sum_ms), 21200u)
      << "two calls under a second, 1.2 s in all";
}

TEST_F(CallRecord, AFullQueueDropsAndCountsNeverBlocks) {
  RecordEvent ev{};
  ev.type = EV_LINK;
  int taken = 0;
  for (int i = 0; i < 300; ++i) {
    ev.at_ms = i;
    taken += call_record_push(ev);
  }
  EXPECT_EQ(taken, 256);
  EXPECT_EQ(call_record_dropped(), 44u);
  for (int i = 0; i < 256; ++i) {
    ASSERT_TRUE(call_record_pop(&ev));
    EXPECT_EQ(ev.at_ms, i) << "oldest first";
  }
  EXPECT_FALSE(call_record_pop(&ev));
  EXPECT_TRUE(call_record_push(ev)) << "room again";
}

// Under the thread sanitizer too (tests/run_all.sh): a reader racing the
// writer sees each call's figures, live or in an event, whole.
TEST_F(CallRecord, AReaderRacingTheWriterSeesOnlyWholeSnapshots) {
  std::atomic<bool> enough{false};
  std::atomic<uint32_t> calls{0};
  std::thread writer([&] {  // goes on until the reader has seen enough
    for (uint32_t c = 1; c <= 100000 && !enough; calls = c++) {
      call_record_start(CH_MASTER_SLOT2, c, c + 1, false, c * 10000, c * 10000);
      for (int64_t b = 1; b <= 50; ++b)
        call_record_burst(CH_MASTER_SLOT2, BurstFigures{1, 2, BURST_CHECKED_BITS, 3, 1}, c * 10000 + 60 * b);
      call_record_end(CH_MASTER_SLOT2, END_TERMINATOR, c * 10000 + 3000);
    }
  });
  auto torn = [](const CallFigures& f) {
    return f.dst != f.src + 1 || f.lost != f.bursts || f.bit_errors != 2 * f.bursts ||
           f.bits != BURST_CHECKED_BITS * f.bursts || f.frames != 3 * f.bursts || f.bad_frames != f.bursts ||
           f.duration_ms != 60 * f.bursts || f.start_ms != f.src * 10000;
  };
  int seen = 0, torn_seen = 0;
  uint64_t events = 0;
  for (bool last = false; !last;) {
    last = enough = (seen >= 20000 && events >= 100) || calls == 100000;
    CallFigures f;
    if (call_record_live(CH_MASTER_SLOT2, &f)) ++seen, torn_seen += torn(f);
    for (RecordEvent ev; call_record_pop(&ev); ++events) torn_seen += torn(ev.call);
  }
  writer.join();
  for (RecordEvent ev; call_record_pop(&ev);) ++events;
  EXPECT_EQ(torn_seen, 0);
  EXPECT_EQ(events + call_record_dropped(), 2 * calls) << "every event taken or counted as dropped";
}

}  // namespace
