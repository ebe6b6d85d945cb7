// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/console_ring.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/console.h"
#include "core/realtime.h"

namespace {

// Entries: a 2-byte length, then the text; they wrap around the end.
uint8_t ring[CONSOLE_RING_BYTES];
size_t head = 0, used = 0;  // oldest byte; bytes queued
uint32_t dropped = 0;       // lines lost since the last notice
bool writing = false;       // the writer holds a line it took out
std::mutex lock;
std::condition_variable queued, drained;
std::atomic<uint64_t> dropped_total{0};  // lines lost over the whole run

void put(const void* src, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(src);
  for (size_t i = 0; i < n; ++i) ring[(head + used + i) % CONSOLE_RING_BYTES] = p[i];
  used += n;
}

// Takes n bytes off the ring into dst; with dst null they are skipped.
void take(void* dst, size_t n) {
  uint8_t* p = static_cast<uint8_t*>(dst);
  for (size_t i = 0; p != nullptr && i < n; ++i) p[i] = ring[(head + i) % CONSOLE_RING_BYTES];
  head = (head + n) % CONSOLE_RING_BYTES;
  used -= n;
}

bool room_for(size_t len) {
  return CONSOLE_RING_BYTES - used >= len + 2;
}

void put_entry(const char* text, size_t len) {
  const uint16_t n = static_cast<uint16_t>(len);
  put(&n, 2);
  put(text, len);
}

// "N console lines dropped" for the lines lost so far; its length.
size_t dropped_notice(char* out, size_t cap) {
  const int n = snprintf(out, cap, "%u console lines dropped\n", dropped);
  return n < 0 ? 0 : static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

void* writer(void*) {
  static char line[4096];
  for (;;) {
    size_t n;
    {
      std::unique_lock<std::mutex> g(lock);
      queued.wait(g, [] { return used > 0; });
      writing = true;
    }
    while ((n = console_ring_pop(line, sizeof line)) > 0) console_sink_stdout(line, n);
    {
      std::lock_guard<std::mutex> g(lock);
      writing = false;
    }
    drained.notify_all();
  }
}

}  // namespace

void console_ring_push(const char* text, size_t len) {
  if (len > 2048) len = 2048;
  {
    std::lock_guard<std::mutex> g(lock);
    char notice[48];
    const size_t notice_len = dropped > 0 ? dropped_notice(notice, sizeof notice) : 0;
    if (!room_for(len) || (notice_len > 0 && !room_for(len + notice_len + 2))) {
      ++dropped;
      dropped_total.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (notice_len > 0) put_entry(notice, notice_len);
    dropped = 0;
    put_entry(text, len);
  }
  queued.notify_one();
}

size_t console_ring_pop(char* out, size_t cap) {
  std::lock_guard<std::mutex> g(lock);
  if (used == 0 && dropped > 0) {  // all that is queued came before the loss
    const size_t n = dropped_notice(out, cap);
    dropped = 0;
    return n;
  }
  if (used == 0) return 0;
  uint16_t n;
  take(&n, 2);
  const size_t keep = n < cap ? n : cap;
  take(out, keep);
  take(nullptr, n - keep);
  return keep;
}

bool console_ring_start() {
  if (!spawn_thread(writer, nullptr)) return false;
  console_sink = console_ring_push;
  return true;
}

void console_flush(int64_t max_ms) {
  bool done;
  {
    std::unique_lock<std::mutex> g(lock);
    done = drained.wait_for(g, std::chrono::milliseconds(max_ms), [] { return used == 0 && !writing; });
  }
  // A writer still stuck holds stdout: a flush would block as long.
  if (done) fflush(stdout);
}

uint64_t console_ring_dropped_total() {
  return dropped_total.load(std::memory_order_relaxed);
}

void reset_console_ring() {
  std::lock_guard<std::mutex> g(lock);
  head = used = 0;
  dropped = 0;
  dropped_total = 0;
  if (console_sink == console_ring_push) console_sink = console_sink_stdout;
}
