// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/metrics.h"

Metrics metrics;

const char* drop_reason_name(DropReason r) {
  static const char* const names[DROP_REASON_COUNT] = {"authentication", "stranger", "short", "sequence", "slot"};
  return r < DROP_REASON_COUNT ? names[r] : "other";
}

void metrics_call_started(CallDir d) {
  metrics_add(metrics.calls[d]);
}

void metrics_call_ended(CallDir, int64_t duration_ms) {
  if (duration_ms < 0) duration_ms = 0;
  int i = 0;
  while (i<CALL_DURATION_BUCKETS&& static_cast<double>(duration_ms)> CALL_DURATION_BOUNDS[i] * 1000) ++i;
  metrics_add(metrics.duration_bucket[i]);
  metrics_add(metrics.duration_sum_ms, static_cast<uint64_t>(duration_ms));
}

void reset_metrics() {
  auto zero = [](auto& arr) {
    for (auto& c : arr) c.store(0, std::memory_order_relaxed);
  };
  zero(metrics.calls);
  zero(metrics.voice_packets);
  zero(metrics.duration_bucket);
  metrics.duration_sum_ms = 0;
  metrics.fec_corrected_bits = 0;
  metrics.frames_replaced = 0;
  zero(metrics.dropped);
  metrics.pacing_late = 0;
  zero(metrics.logins);
}
