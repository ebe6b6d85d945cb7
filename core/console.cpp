// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

std::atomic<ConsoleSink> console_sink{console_sink_stdout};

void console_sink_stdout(const char* text, size_t len) {
  fwrite(text, 1, len, stdout);
}

void console_printf(const char* fmt, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
  console_sink.load()(buf, len);
}

void console_write(const char* text) {
  console_sink.load()(text, strlen(text));
}

// The time stamps come from time(); a 32-bit time_t ends in January 2038
// (32-bit targets build with _TIME_BITS=64, see CMakeLists.txt).
static_assert(sizeof(time_t) >= 8, "time_t must have 64 bits");

namespace {
std::mutex ts_lock;
TimeStamp ts{};

TimeStamp asctime_now(bool cut) {
  TimeStamp t{};
  time_t now = time(nullptr);
  struct tm tmv;
  char buf[64] = {0};
  if (localtime_r(&now, &tmv) == nullptr || asctime_r(&tmv, buf) == nullptr) strcpy(buf, "??? ??? ?? ??:??:?? ????\n");
  if (cut) buf[24] = '\0';
  snprintf(t.text, sizeof t.text, "%s", buf);
  return t;
}

TimeStamp store(const TimeStamp& t) {
  std::lock_guard<std::mutex> g(ts_lock);
  ts = t;
  return t;
}
}  // namespace

TimeStamp refresh_ts() {
  return store(asctime_now(true));
}
TimeStamp refresh_ts_full() {
  return store(asctime_now(false));
}

TimeStamp current_ts() {
  std::lock_guard<std::mutex> g(ts_lock);
  return ts;
}

void reset_ts() {
  store(TimeStamp{});
}
