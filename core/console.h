// SPDX-License-Identifier: GPL-2.0-or-later
// Console output and the shared time stamp.
//
// Every line goes out through one call of the sink, so lines of different
// threads never mix mid-line.  Tests swap the sink to capture the output.
#pragma once
#include <atomic>
#include <cstddef>

using ConsoleSink = void (*)(const char* text, size_t len);

// The process-wide sink; the default writes to stdout with one fwrite.  It is
// switched while other threads print (to the console ring), hence atomic.
extern std::atomic<ConsoleSink> console_sink;
void console_sink_stdout(const char* text, size_t len);

// Formats into a fixed buffer and hands the whole text to the sink at once.
// Texts longer than the buffer are cut, never overrun.
void console_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void console_write(const char* text);

// Console time stamp `ts`: the local time in asctime form.  Writers replace
// it whole under a small lock; readers take a copy.
struct TimeStamp {
  char text[32];
};
// Sets `ts` from the current wall-clock time, cut to 24 characters (no line
// feed), and returns the new text.
TimeStamp refresh_ts();
// Sets `ts` to the full asctime text (with its line feed), as at start-up.
TimeStamp refresh_ts_full();
// The latest text, whoever set it.
TimeStamp current_ts();
void reset_ts();
