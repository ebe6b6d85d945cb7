// SPDX-License-Identifier: GPL-2.0-or-later
// Counters of what the gateway did, for the dashboard's metrics.  Relaxed
// atomics: any thread adds, a reader sees each counter whole (never a
// consistent set of them, which metrics do not need).
#pragma once
#include <atomic>
#include <cstdint>

#include "core/call_record.h"

// Why a datagram was dropped.
enum DropReason : uint8_t {
  DROP_AUTH = 0,  // its authentication tag did not match
  DROP_STRANGER,  // from an address (or source) that may not send it
  DROP_SHORT,     // too short, or of a length nothing takes
  DROP_SEQUENCE,  // a repeat or an old sequence number
  DROP_SLOT,      // a slot that is not relayed
  DROP_REASON_COUNT
};
const char* drop_reason_name(DropReason r);  // "authentication", "stranger", ...

// Upper bounds (seconds) of the call duration histogram; +Inf follows.
inline constexpr double CALL_DURATION_BOUNDS[] = {1, 2, 5, 10, 20, 30, 60, 120, 300};
inline constexpr int CALL_DURATION_BUCKETS = sizeof CALL_DURATION_BOUNDS / sizeof CALL_DURATION_BOUNDS[0];

struct Metrics {
  std::atomic<uint64_t> calls[DIR_COUNT];
  std::atomic<uint64_t> voice_packets[DIR_COUNT];
  // Calls ended with a duration of at most CALL_DURATION_BOUNDS[i] (not
  // cumulative; the last is +Inf), and their durations' sum in ms.
  std::atomic<uint64_t> duration_bucket[CALL_DURATION_BUCKETS + 1];
  std::atomic<uint64_t> duration_sum_ms;
  std::atomic<uint64_t> fec_corrected_bits;
  std::atomic<uint64_t> frames_replaced;
  std::atomic<uint64_t> dropped[DROP_REASON_COUNT];
  std::atomic<uint64_t> pacing_late;  // sends more than 0.5 ms after their 60-ms slot
  std::atomic<uint64_t> logins[LINK_COUNT];
};
extern Metrics metrics;

inline void metrics_add(std::atomic<uint64_t>& c, uint64_t n = 1) {
  c.fetch_add(n, std::memory_order_relaxed);
}
inline uint64_t metrics_get(const std::atomic<uint64_t>& c) {
  return c.load(std::memory_order_relaxed);
}
inline void count_drop(DropReason r) {
  metrics_add(metrics.dropped[r]);
}
void metrics_call_started(CallDir d);
void metrics_call_ended(CallDir d, int64_t duration_ms);

void reset_metrics();
