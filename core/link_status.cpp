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
void (*master_keepalive)() = nullptr;

std::atomic<int64_t> start_wall_ms{0};

namespace {
std::atomic<int64_t> master_heard{INT64_MIN};
std::atomic<int64_t> repeater_heard{INT64_MIN};
std::atomic<int32_t> peers{0};
std::atomic<int64_t> since[LINK_COUNT];
bool seen_up[LINK_COUNT];  // the watcher's own (the supervision thread)
}  // namespace

bool link_up(LinkId l) {
  return l == LINK_REPEATER ? motorola_repeater_online.load() >= 2 : master_online.load() > 0;
}

void note_repeater_answer(int64_t now_ms) {
  repeater_heard.store(now_ms, std::memory_order_relaxed);
}

int64_t link_last_answer_ms(LinkId l) {
  return l == LINK_REPEATER ? repeater_heard.load(std::memory_order_relaxed) : master_heard_ms();
}

void note_repeater_peers(int n) {
  peers.store(n, std::memory_order_relaxed);
}

int repeater_peers() {
  return peers.load(std::memory_order_relaxed);
}

void link_watch_pass(int64_t wall_ms) {
  for (int i = 0; i < LINK_COUNT; ++i) {
    const LinkId l = static_cast<LinkId>(i);
    const bool up = link_up(l);
    if (up == seen_up[i] && since[i].load(std::memory_order_relaxed) != 0) continue;
    seen_up[i] = up;
    since[i].store(wall_ms, std::memory_order_relaxed);
    RecordEvent ev{};
    ev.type = EV_LINK;
    ev.link = l;
    ev.up = up ? 1 : 0;
    ev.at_ms = wall_ms;
    call_record_push(ev);
  }
}

int64_t link_since_ms(LinkId l) {
  return since[l].load(std::memory_order_relaxed);
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
  repeater_heard = INT64_MIN;
  peers = 0;
  for (int i = 0; i < LINK_COUNT; ++i) {
    since[i] = 0;
    seen_up[i] = false;
  }
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
