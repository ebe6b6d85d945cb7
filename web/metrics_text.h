// SPDX-License-Identifier: GPL-2.0-or-later
// The dashboard's /metrics page: the gateway's counters in the Prometheus
// text format (0.0.4).  A snapshot is taken from the process-wide counters,
// then formatted by a pure function.
#pragma once
#include <cstdint>
#include <string>

#include "core/call_record.h"
#include "core/metrics.h"

struct MetricsSnapshot {
  int64_t start_wall_ms;  // ms since the epoch
  bool link_up[LINK_COUNT];
  uint64_t logins[LINK_COUNT];
  uint64_t calls[DIR_COUNT];
  uint64_t voice_packets[DIR_COUNT];
  uint64_t duration_bucket[CALL_DURATION_BUCKETS + 1];  // not cumulative, as in Metrics
  uint64_t duration_sum_ms;
  uint64_t fec_corrected_bits;
  uint64_t frames_replaced;
  uint64_t dropped[DROP_REASON_COUNT];
  uint64_t console_lines_dropped;
  uint64_t pacing_late;
  uint64_t id_list_entries;
};

// Reads the counters, the links, the console ring and the ID list now.
// start_wall_ms: the gateway's start as the dashboard reports it.
MetricsSnapshot take_metrics_snapshot(int64_t start_wall_ms);

// The exposition text, every family with its # HELP and # TYPE.
std::string metrics_text(const MetricsSnapshot& m);
