// SPDX-License-Identifier: GPL-2.0-or-later
#include "web/metrics_text.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "core/console_ring.h"
#include "core/id_list.h"
#include "core/link_status.h"

namespace {

const char* const link_label[LINK_COUNT] = {"repeater", "master"};
const char* const dir_label[DIR_COUNT] = {"to_repeater", "to_master"};

void add(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void add(std::string& out, const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  add(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

}  // namespace

MetricsSnapshot take_metrics_snapshot(int64_t start_ms) {
  MetricsSnapshot m{};
  m.start_wall_ms = start_ms;
  for (int l = 0; l < LINK_COUNT; ++l) {
    m.link_up[l] = link_up(static_cast<LinkId>(l));
    m.logins[l] = metrics_get(metrics.logins[l]);
  }
  for (int d = 0; d < DIR_COUNT; ++d) {
    m.calls[d] = metrics_get(metrics.calls[d]);
    m.voice_packets[d] = metrics_get(metrics.voice_packets[d]);
  }
  for (int i = 0; i <= CALL_DURATION_BUCKETS; ++i) m.duration_bucket[i] = metrics_get(metrics.duration_bucket[i]);
  m.duration_sum_ms = metrics_get(metrics.duration_sum_ms);
  m.fec_corrected_bits = metrics_get(metrics.fec_corrected_bits);
  m.frames_replaced = metrics_get(metrics.frames_replaced);
  for (int r = 0; r < DROP_REASON_COUNT; ++r) m.dropped[r] = metrics_get(metrics.dropped[r]);
  m.console_lines_dropped = console_ring_dropped_total();
  m.pacing_late = metrics_get(metrics.pacing_late);
  m.id_list_entries = id_list_current()->size();
  return m;
}

std::string metrics_text(const MetricsSnapshot& m) {
  std::string out;
  out.reserve(4096);
  family(out, "corvane_build_info", "gauge", "Version of the running gateway.");
  add(out, "corvane_build_info{version=\"%s\"} 1\n", CORVANE_VERSION);
  family(out, "corvane_start_time_seconds", "gauge", "Start time of the gateway, seconds since the epoch.");
  add(out, "corvane_start_time_seconds %" PRId64 ".%03d\n", m.start_wall_ms / 1000,
      static_cast<int>(m.start_wall_ms % 1000));
  family(out, "corvane_link_up", "gauge", "1 while the link is up: the repeater alive, the master logged in.");
  for (int l = 0; l < LINK_COUNT; ++l) add(out, "corvane_link_up{link=\"%s\"} %d\n", link_label[l], m.link_up[l]);
  family(out, "corvane_logins_total", "counter", "Logins on the link.");
  for (int l = 0; l < LINK_COUNT; ++l)
    add(out, "corvane_logins_total{link=\"%s\"} %" PRIu64 "\n", link_label[l], m.logins[l]);
  family(out, "corvane_calls_total", "counter", "Calls started, by direction.");
  for (int d = 0; d < DIR_COUNT; ++d)
    add(out, "corvane_calls_total{direction=\"%s\"} %" PRIu64 "\n", dir_label[d], m.calls[d]);
  family(out, "corvane_voice_packets_total", "counter", "Voice packets relayed, by direction.");
  for (int d = 0; d < DIR_COUNT; ++d)
    add(out, "corvane_voice_packets_total{direction=\"%s\"} %" PRIu64 "\n", dir_label[d], m.voice_packets[d]);

  family(out, "corvane_call_duration_seconds", "histogram", "Durations of the calls that ended.");
  uint64_t cumulative = 0;
  for (int i = 0; i < CALL_DURATION_BUCKETS; ++i) {
    cumulative += m.duration_bucket[i];
    add(out, "corvane_call_duration_seconds_bucket{le=\"%g\"} %" PRIu64 "\n", CALL_DURATION_BOUNDS[i], cumulative);
  }
  cumulative += m.duration_bucket[CALL_DURATION_BUCKETS];
  add(out, "corvane_call_duration_seconds_bucket{le=\"+Inf\"} %" PRIu64 "\n", cumulative);
  add(out, "corvane_call_duration_seconds_sum %" PRIu64 ".%03d\n", m.duration_sum_ms / 1000,
      static_cast<int>(m.duration_sum_ms % 1000));
  add(out, "corvane_call_duration_seconds_count %" PRIu64 "\n", cumulative);

  family(out, "corvane_fec_corrections_total", "counter", "Bit errors the FEC corrected in voice toward the repeater.");
  add(out, "corvane_fec_corrections_total %" PRIu64 "\n", m.fec_corrected_bits);
  family(out, "corvane_voice_frames_replaced_total", "counter", "Voice frames replaced toward the repeater.");
  add(out, "corvane_voice_frames_replaced_total %" PRIu64 "\n", m.frames_replaced);
  family(out, "corvane_datagrams_dropped_total", "counter", "Datagrams dropped, by reason.");
  for (int r = 0; r < DROP_REASON_COUNT; ++r)
    add(out, "corvane_datagrams_dropped_total{reason=\"%s\"} %" PRIu64 "\n",
        drop_reason_name(static_cast<DropReason>(r)), m.dropped[r]);
  family(out, "corvane_console_lines_dropped_total", "counter", "Console lines dropped because nobody read them.");
  add(out, "corvane_console_lines_dropped_total %" PRIu64 "\n", m.console_lines_dropped);
  family(out, "corvane_pacing_late_total", "counter", "Voice sends toward the repeater more than 0.5 ms late.");
  add(out, "corvane_pacing_late_total %" PRIu64 "\n", m.pacing_late);
  family(out, "corvane_id_list_entries", "gauge", "Entries of the DMR ID list in use.");
  add(out, "corvane_id_list_entries %" PRIu64 "\n", m.id_list_entries);
  return out;
}
