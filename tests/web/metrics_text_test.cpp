// SPDX-License-Identifier: GPL-2.0-or-later
#include "web/metrics_text.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

MetricsSnapshot sample() {
  MetricsSnapshot m{};
  m.start_wall_ms = 1765206000123;
  m.link_up[LINK_REPEATER] = true;
  m.logins[LINK_MASTER] = 2;
  m.calls[DIR_TO_MASTER] = 1;
  m.duration_bucket[1] = 1;                      // <= 2 s
  m.duration_bucket[3] = 2;                      // <= 10 s
  m.duration_bucket[CALL_DURATION_BUCKETS] = 1;  // over 300 s
  m.duration_sum_ms = 321450;
  m.dropped[DROP_SEQUENCE] = 7;
  m.console_lines_dropped = 5;
  m.id_list_entries = 231456;
  return m;
}

TEST(MetricsText, NamesLabelsAndACumulativeHistogram) {
  const std::string text = metrics_text(sample());
  for (const char* line :
       {"# TYPE corvane_build_info gauge\ncorvane_build_info{version=\"" CORVANE_VERSION_TEXT "\"} 1\n",
        "corvane_start_time_seconds 1765206000.123\n", "corvane_link_up{link=\"repeater\"} 1\n",
        "corvane_link_up{link=\"master\"} 0\n", "corvane_logins_total{link=\"master\"} 2\n",
        "corvane_calls_total{direction=\"to_master\"} 1\n",
        "corvane_voice_packets_total{direction=\"to_repeater\"} 0\n",
        "# TYPE corvane_call_duration_seconds histogram\ncorvane_call_duration_seconds_bucket{le=\"1\"} 0\n"
        "corvane_call_duration_seconds_bucket{le=\"2\"} 1\ncorvane_call_duration_seconds_bucket{le=\"5\"} 1\n"
        "corvane_call_duration_seconds_bucket{le=\"10\"} 3\n",
        "corvane_call_duration_seconds_bucket{le=\"300\"} 3\ncorvane_call_duration_seconds_bucket{le=\"+Inf\"} 4\n"
        "corvane_call_duration_seconds_sum 321.450\ncorvane_call_duration_seconds_count 4\n",
        "corvane_fec_corrections_total 0\n", "corvane_voice_frames_replaced_total 0\n",
        "corvane_datagrams_dropped_total{reason=\"sequence\"} 7\n", "corvane_console_lines_dropped_total 5\n",
        "corvane_pacing_late_total 0\n", "# TYPE corvane_id_list_entries gauge\ncorvane_id_list_entries 231456\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

// promtool checks the format and that every family has its HELP and TYPE.
TEST(MetricsText, PromtoolAcceptsIt) {
  if (system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool not on PATH";
  char path[] = "/tmp/corvane-metrics-XXXXXX";
  const int fd = mkstemp(path);
  const std::string text = metrics_text(sample()), report = std::string(path) + ".out";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  const int rc = system(("promtool check metrics < " + std::string(path) + " > " + report + " 2>&1").c_str());
  // Neither an error nor a piece of advice.
  EXPECT_EQ(rc, 0);
  FILE* f = fopen(report.c_str(), "r");
  char line[512];
  while (f != nullptr && fgets(line, sizeof line, f) != nullptr) ADD_FAILURE() << line;
  if (f != nullptr) fclose(f);
  unlink(path);
  unlink(report.c_str());
}

}  // namespace
