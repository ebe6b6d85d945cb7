// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/link_status.h"

#include <cstring>
#include <mutex>

char RptrFw[13];

std::atomic<int32_t> motorola_repeater_online{0};
std::atomic<int32_t> master_online{0};
std::atomic<int32_t> master_timer{0};
std::atomic<int32_t> Start_rdac{0};
void (*on_login)() = nullptr;

namespace {
std::atomic<int64_t> master_heard{INT64_MIN};
}

void note_master_heard(int64_t now_ms) {
  master_heard.store(now_ms, std::memory_order_relaxed);
}
int64_t master_heard_ms() {
  return master_heard.load(std::memory_order_relaxed);
}

void reset_link_status() {
  motorola_repeater_online = 0;
  master_online = 0;
  master_timer = 0;
  Start_rdac = 0;
  master_heard = INT64_MIN;
}

namespace {
std::mutex last_call_lock;
LastCall last{};
std::atomic<int64_t> busy_since[WORKER_COUNT] = {-1, -1, -1, -1};  // -1: idle
std::atomic<bool> started[WORKER_COUNT];
}  // namespace

void note_call(uint32_t src, uint32_t dst, int slot, const char* ts_text) {
  LastCall c{true, src, dst, slot, {}};
  // "Mon Dec  7 17:47:43 2026": the clock time stands at 11..18.
  if (strlen(ts_text) >= 19) memcpy(c.at, ts_text + 11, 8);
  std::lock_guard<std::mutex> g(last_call_lock);
  last = c;
}

LastCall last_call() {
  std::lock_guard<std::mutex> g(last_call_lock);
  return last;
}

void worker_started(Worker w) {
  started[w] = true;
}
void worker_busy(Worker w, int64_t now_ms) {
  busy_since[w].store(now_ms, std::memory_order_relaxed);
}
void worker_idle(Worker w) {
  busy_since[w].store(-1, std::memory_order_relaxed);
}

bool workers_all_started() {
  for (const auto& s : started)
    if (!s) return false;
  return true;
}

bool workers_healthy(int64_t now_ms, int64_t limit_ms) {
  for (const auto& b : busy_since) {
    const int64_t since = b.load(std::memory_order_relaxed);
    if (since >= 0 && now_ms - since > limit_ms) return false;
  }
  return true;
}

void reset_workers() {
  for (auto& b : busy_since) b = -1;
  for (auto& s : started) s = false;
  std::lock_guard<std::mutex> g(last_call_lock);
  last = LastCall{};
}
