// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/call_record.h"

#include <unistd.h>

#include <cstring>
#include <type_traits>

#include "core/metrics.h"

namespace {

static_assert(std::is_trivially_copyable_v<CallFigures> && sizeof(CallFigures) % 8 == 0);
constexpr size_t FIGURE_WORDS = sizeof(CallFigures) / 8;

// The figures of one channel's call, written by the channel's one thread.
// A reader copies them between two equal even values of `seq` (the writer
// makes it odd while it writes); every word is an atomic, so a torn copy is
// only ever thrown away, never a data race.
struct Live {
  std::atomic<uint32_t> seq{0};
  std::atomic<uint64_t> words[FIGURE_WORDS]{};
  // The writer's own working copy and timers; no other thread reads them.
  CallFigures own{};
  bool open = false;
  int64_t start_mono = 0, last_mono = 0;
};
Live live[CH_COUNT];

void publish(Live& l) {
  uint64_t w[FIGURE_WORDS];
  std::memcpy(w, &l.own, sizeof w);
  const uint32_t s = l.seq.load(std::memory_order_relaxed);
  l.seq.store(s + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (size_t i = 0; i < FIGURE_WORDS; ++i) l.words[i].store(w[i], std::memory_order_relaxed);
  l.seq.store(s + 2, std::memory_order_release);
}

// ---- the event queue: bounded, many writers, one reader (after D. Vyukov) ----

constexpr size_t QUEUE_SIZE = 256;  // a power of two
struct Cell {
  std::atomic<size_t> seq;
  RecordEvent ev;
};
Cell cells[QUEUE_SIZE];
std::atomic<size_t> enqueue_pos{0};
std::atomic<size_t> dequeue_pos{0};
std::atomic<uint64_t> pushed{0};
std::atomic<uint64_t> dropped{0};
std::atomic<int> wake_fd{-1};

void push_call_event(RecordEventType type, CallChannel ch, const CallFigures& f, int64_t wall_ms) {
  RecordEvent ev{};
  ev.type = type;
  ev.channel = ch;
  ev.at_ms = wall_ms;
  ev.call = f;
  call_record_push(ev);
}

void finish(CallChannel ch, CallEnd how, int64_t mono_ms) {
  Live& l = live[ch];
  if (!l.open) return;
  l.open = false;
  l.own.on_air = 0;
  l.own.end = how;
  l.own.duration_ms = (how == END_TIMEOUT ? l.last_mono : mono_ms) - l.start_mono;
  if (l.own.duration_ms < 0) l.own.duration_ms = 0;
  publish(l);
  metrics_call_ended(static_cast<CallDir>(l.own.dir), l.own.duration_ms);
  push_call_event(EV_CALL_END, ch, l.own, l.own.start_ms + l.own.duration_ms);
}

}  // namespace

CallDir channel_dir(CallChannel ch) {
  return ch == CH_REPEATER_SLOT2 ? DIR_TO_MASTER : DIR_TO_REPEATER;
}

int channel_slot(CallChannel ch) {
  return ch == CH_MASTER_SLOT1 ? 1 : 2;
}

void call_record_start(CallChannel ch, uint32_t src, uint32_t dst, bool private_call, int64_t wall_ms,
                       int64_t mono_ms) {
  Live& l = live[ch];
  if (l.open) finish(ch, END_TIMEOUT, mono_ms);
  l.own = CallFigures{};
  l.own.start_ms = wall_ms;
  l.own.src = src;
  l.own.dst = dst;
  l.own.dir = channel_dir(ch);
  l.own.slot = static_cast<uint8_t>(channel_slot(ch));
  l.own.private_call = private_call ? 1 : 0;
  l.own.on_air = 1;
  l.open = true;
  l.start_mono = l.last_mono = mono_ms;
  publish(l);
  metrics_call_started(static_cast<CallDir>(l.own.dir));
  push_call_event(EV_CALL_START, ch, l.own, wall_ms);
}

void call_record_burst(CallChannel ch, const BurstFigures& b, int64_t mono_ms) {
  Live& l = live[ch];
  if (!l.open) return;
  l.own.bursts += 1;
  l.own.lost += b.lost;
  l.own.bit_errors += b.bit_errors;
  l.own.bits += b.bits;
  l.own.frames += b.frames;
  l.own.bad_frames += b.bad_frames;
  l.last_mono = mono_ms;
  l.own.duration_ms = mono_ms - l.start_mono;
  publish(l);
}

void call_record_sender_ber(CallChannel ch) {
  Live& l = live[ch];
  if (l.open) l.own.ber_byte = 1;
}

void call_record_touch(CallChannel ch, int64_t mono_ms) {
  Live& l = live[ch];
  if (!l.open) return;
  l.last_mono = mono_ms;
  l.own.duration_ms = mono_ms - l.start_mono;
  publish(l);
}

void call_record_end(CallChannel ch, CallEnd how, int64_t mono_ms) {
  finish(ch, how, mono_ms);
}

bool call_record_open(CallChannel ch) {
  return live[ch].open;
}

bool call_record_expire(CallChannel ch, int64_t mono_ms) {
  const Live& l = live[ch];
  if (!l.open || mono_ms - l.last_mono < CALL_RECORD_TIMEOUT_MS) return false;
  finish(ch, END_TIMEOUT, mono_ms);
  return true;
}

int64_t call_record_wait_ms(CallChannel ch, int64_t mono_ms) {
  const Live& l = live[ch];
  if (!l.open) return -1;
  const int64_t left = l.last_mono + CALL_RECORD_TIMEOUT_MS - mono_ms;
  return left < 0 ? 0 : left;
}

bool call_record_live(CallChannel ch, CallFigures* out) {
  Live& l = live[ch];
  uint64_t w[FIGURE_WORDS];
  // The writer publishes at most once per burst (60 ms), so a retry is rare;
  // the bound keeps a reader from ever spinning on a busy writer.
  for (int tries = 0; tries < 64; ++tries) {
    const uint32_t s1 = l.seq.load(std::memory_order_acquire);
    if (s1 & 1u) continue;
    for (size_t i = 0; i < FIGURE_WORDS; ++i) w[i] = l.words[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (l.seq.load(std::memory_order_relaxed) != s1) continue;
    std::memcpy(out, w, sizeof w);
    return out->on_air == 1;
  }
  return false;
}

bool call_record_push(const RecordEvent& ev) {
  size_t pos = enqueue_pos.load(std::memory_order_relaxed);
  for (;;) {
    Cell& c = cells[pos & (QUEUE_SIZE - 1)];
    const size_t seq = c.seq.load(std::memory_order_acquire);
    const intptr_t diff = static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos);
    if (diff == 0) {
      if (enqueue_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
        c.ev = ev;
        c.seq.store(pos + 1, std::memory_order_release);
        break;
      }
    } else if (diff < 0) {
      dropped.fetch_add(1, std::memory_order_relaxed);
      return false;
    } else {
      pos = enqueue_pos.load(std::memory_order_relaxed);
    }
  }
  pushed.fetch_add(1, std::memory_order_relaxed);
  if (const int fd = wake_fd.load(std::memory_order_relaxed); fd >= 0) {
    const uint64_t one = 1;
    ssize_t r = write(fd, &one, sizeof one);  // non-blocking; a full counter is awake anyway
    (void)r;
  }
  return true;
}

bool call_record_pop(RecordEvent* out) {
  const size_t pos = dequeue_pos.load(std::memory_order_relaxed);
  Cell& c = cells[pos & (QUEUE_SIZE - 1)];
  const size_t seq = c.seq.load(std::memory_order_acquire);
  if (static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos + 1) < 0) return false;
  *out = c.ev;
  c.seq.store(pos + QUEUE_SIZE, std::memory_order_release);
  dequeue_pos.store(pos + 1, std::memory_order_relaxed);
  return true;
}

uint64_t call_record_events() {
  return pushed.load(std::memory_order_relaxed);
}

uint64_t call_record_dropped() {
  return dropped.load(std::memory_order_relaxed);
}

void call_record_set_wake_fd(int fd) {
  wake_fd.store(fd, std::memory_order_relaxed);
}

void reset_call_record() {
  for (Live& l : live) {
    l.own = CallFigures{};
    l.open = false;
    l.start_mono = l.last_mono = 0;
    publish(l);
  }
  for (size_t i = 0; i < QUEUE_SIZE; ++i) cells[i].seq.store(i, std::memory_order_relaxed);
  enqueue_pos = 0;
  dequeue_pos = 0;
  pushed = 0;
  dropped = 0;
  wake_fd = -1;
}

namespace {
// The queue's cells start numbered before any thread runs.
struct QueueInit {
  QueueInit() {
    for (size_t i = 0; i < QUEUE_SIZE; ++i) cells[i].seq.store(i, std::memory_order_relaxed);
  }
} queue_init;
}  // namespace
