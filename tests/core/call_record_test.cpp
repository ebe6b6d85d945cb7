// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/call_record.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/metrics.h"

namespace {

class CallRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_call_record();
    reset_metrics();
  }
  void TearDown() override { reset_call_record(); }
};

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
