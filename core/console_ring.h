// SPDX-License-Identifier: GPL-2.0-or-later
// A console nobody reads must never stop a relaying thread.  Once the ring
// runs, every line goes into a fixed ring and a writer thread of its own
// (normal priority) writes it to stdout; a line that finds the ring full is
// dropped and counted, and where the lines were lost the writer says
// "N console lines dropped".  Text and order of the other lines stay as
// they are.  Before the ring runs (start-up) lines are written directly.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr size_t CONSOLE_RING_BYTES = 64 * 1024;

// Makes the ring the console's sink and starts its writer thread.  False when
// the thread cannot be started (the console stays direct).
bool console_ring_start();

// The ring's side of the sink: queues one line, or counts it as dropped.
void console_ring_push(const char* text, size_t len);

// The writer's side: takes the next line (with a "dropped" notice in its
// place where lines were lost) into out; its length, 0 when the ring is empty.
size_t console_ring_pop(char* out, size_t cap);

// Waits until the writer has written every queued line, max_ms at most, then
// flushes stdout (not when the writer is still stuck on a console nobody
// reads).  For the last lines before the process exits.
void console_flush(int64_t max_ms);

// Lines dropped since the start of the run (for the dashboard's metrics).
uint64_t console_ring_dropped_total();

// Empty ring, nothing dropped, console direct again (tests).
void reset_console_ring();
