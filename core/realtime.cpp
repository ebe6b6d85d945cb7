// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/console.h"

namespace {

int set_fifo_system(int priority) {
  sched_param p{};
  p.sched_priority = priority;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
}

std::atomic<bool> refusal_said{false};
thread_local bool realtime = false;

}  // namespace

int (*set_thread_fifo)(int) = set_fifo_system;

bool voice_thread_realtime() {
  const int err = set_thread_fifo(VOICE_RT_PRIORITY);
  realtime = err == 0;
  if (!realtime && !refusal_said.exchange(true))
    console_printf("Real-time priority not permitted (%s): voice threads run at normal priority\n", strerror(err));
  return realtime;
}

bool thread_is_realtime() {
  return realtime;
}

void lock_memory() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return;
#else
  if (mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) != 0)
    console_printf("Memory not locked (%s): pages may be swapped out\n", strerror(errno));
#endif
}

int64_t FloodGuard::after_pass(int64_t now_us) {
  if (!realtime) return 0;
  if (passes == 0 || now_us - since_us > FLOOD_WINDOW_US) {
    passes = 0;
    since_us = now_us;
  }
  if (++passes < FLOOD_BURST) return 0;
  passes = 0;
  return FLOOD_PAUSE_US;
}

bool spawn_thread(void* (*entry)(void*), void* arg) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  pthread_attr_setstacksize(&attr, THREAD_STACK_BYTES);  // sanitizers need their default
#endif
  pthread_t t;
  const bool ok = pthread_create(&t, &attr, entry, arg) == 0;
  pthread_attr_destroy(&attr);
  return ok;
}

void reset_realtime() {
  refusal_said = false;
  realtime = false;
  set_thread_fifo = set_fifo_system;
}
