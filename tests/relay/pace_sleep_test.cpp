#include "relay/pace_sleep.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "core/clock.h"

namespace {

TEST(PaceMargin, FollowsLatenessDecaysAndStaysBounded) {
  // A late wake-up: the next sleep ends that much (plus the reserve) early.
  EXPECT_EQ(next_pace_margin(0, 700), 700 + PACE_SPIN_RESERVE_US);
  // A larger margin than the lateness just seen shrinks by a sixteenth.
  EXPECT_EQ(next_pace_margin(1600, 100), 1500);
  // ... but never below what the latest wake-up needs.
  EXPECT_EQ(next_pace_margin(1600, 1540), 1540 + PACE_SPIN_RESERVE_US);

  // On-time wake-ups wear a large margin down to the reserve.
  int64_t m = PACE_SPIN_MAX_US;
  for (int i = 0; i < 200; ++i) m = next_pace_margin(m, 0);
  EXPECT_EQ(m, PACE_SPIN_RESERVE_US);

  // A stalled machine never makes the thread spin for long; an early
  // wake-up never makes the margin negative.
  EXPECT_EQ(next_pace_margin(0, 250000), PACE_SPIN_MAX_US);
  EXPECT_EQ(next_pace_margin(0, -5000), 0);
}

void on_signal(int) {}

TEST(PaceSleep, NeverEndsEarlyEvenWhenInterrupted) {
  reset_pace_sleep();
  // Nothing to wait for.
  int64_t t0 = mono_us();
  pace_sleep_us(0);
  pace_sleep_us(-40000);
  EXPECT_LT(mono_us() - t0, 20000);

  // Signals without SA_RESTART break the sleep; it resumes toward its end.
  struct sigaction sa {};
  struct sigaction old {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  const pthread_t sleeper = pthread_self();
  std::atomic<bool> done{false};
  std::thread poker([&] {
    while (!done.load()) {
      pthread_kill(sleeper, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  for (int64_t us : {40000, 2000, 40000}) {
    t0 = mono_us();
    pace_sleep_us(us);
    EXPECT_GE(mono_us() - t0, us);
  }
  done = true;
  poker.join();
  sigaction(SIGUSR1, &old, nullptr);
  reset_pace_sleep();
}

}  // namespace
