// SPDX-License-Identifier: GPL-2.0-or-later
// Real-time priority for the threads that carry voice, and memory locked in
// RAM, where the operator grants them (the unit's LimitRTPRIO= and
// LimitMEMLOCK=).  Where not, one line says so and everything runs as usual.
#pragma once
#include <cstddef>
#include <cstdint>

// Low: above every normal process, below the kernel's own real-time threads.
inline constexpr int VOICE_RT_PRIORITY = 5;

// How the calling thread is switched to SCHED_FIFO at a priority: 0 or an
// errno.  A seam for the tests.
extern int (*set_thread_fifo)(int priority);

// Raises the calling voice thread to VOICE_RT_PRIORITY; false, and one line
// per run, where the process may not.
bool voice_thread_realtime();
// True in a thread that voice_thread_realtime() raised.
bool thread_is_realtime();

// Locks the process's pages as they are touched (MCL_ONFAULT), so a board
// short of memory never pages out the packet path; one line where not
// permitted.  Not in sanitizer builds (their shadow memory is huge).
void lock_memory();

// A real-time thread flooded with datagrams must not take a core from
// everything else: when FLOOD_BURST passes come within FLOOD_WINDOW_US it
// pauses for FLOOD_PAUSE_US.  Voice is a packet every 60 ms per call: far
// below that.
inline constexpr int FLOOD_BURST = 64;
inline constexpr int64_t FLOOD_WINDOW_US = 20000, FLOOD_PAUSE_US = 2000;
struct FloodGuard {
  int passes = 0;
  int64_t since_us = 0;
  // After each pass of a real-time thread: the pause due now, microseconds
  // (0: none).  Normal-priority threads never pause.
  int64_t after_pass(int64_t now_us);
};

// Threads of our own get small fixed stacks (a locked process is charged for
// every byte of them): the workers touch 8 to 12 KiB of theirs, relaying
// calls both ways; 64 KiB leaves them five times that.
inline constexpr size_t THREAD_STACK_BYTES = 64 * 1024;
// Starts a detached thread with that stack; false when it cannot.
bool spawn_thread(void* (*entry)(void*), void* arg);

void reset_realtime();
