// SPDX-License-Identifier: GPL-2.0-or-later
#include "web/metrics_text.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

namespace {

MetricsSnapshot sample() {
  MetricsSnapshot m{};
  m.start_wall_ms = 1765206000123;
  m.link_up[LINK_REPEATER] = true;
  m.logins[LINK_MASTER] = 2;
  m.calls[DIR_TO_REPEATER] = 3;
  m.calls[DIR_TO_MASTER] = 1;
  m.voice_packets[DIR_TO_REPEATER] = 620;
  m.duration_bucket[1] = 1;                      // <= 2 s
  m.duration_bucket[3] = 2;                      // <= 10 s
  m.duration_bucket[CALL_DURATION_BUCKETS] = 1;  // over 300 s
  m.duration_sum_ms = 321450;
  m.fec_corrected_bits = 14;
  m.dropped[DROP_SEQUENCE] = 7;
  m.console_lines_dropped = 5;
  m.id_list_entries = 231456;
  return m;
}

TEST(MetricsText, NamesHelpTypeAndACumulativeHistogram) {
  const std::string text = metrics_text(sample());
  for (const char* line : {"corvane_build_info{version=\"" CORVANE_VERSION_TEXT "\"} 1\n",
                           "corvane_start_time_seconds 1765206000.123\n",
                           "corvane_link_up{link=\"repeater\"} 1\n",
                           "corvane_link_up{link=\"master\"} 0\n",
                           "corvane_logins_total{link=\"master\"} 2\n",
                           "corvane_calls_total{direction=\"to_repeater\"} 3\n",
                           "corvane_calls_total{direction=\"to_master\"} 1\n",
                           "corvane_voice_packets_total{direction=\"to_repeater\"} 620\n",
                           "corvane_call_duration_seconds_bucket{le=\"1\"} 0\n",
                           "corvane_call_duration_seconds_bucket{le=\"2\"} 1\n",
                           "corvane_call_duration_seconds_bucket{le=\"5\"} 1\n",
                           "corvane_call_duration_seconds_bucket{le=\"10\"} 3\n",
                           "corvane_call_duration_seconds_bucket{le=\"300\"} 3\n",
                           "corvane_call_duration_seconds_bucket{le=\"+Inf\"} 4\n",
                           "corvane_call_duration_seconds_sum 321.450\n",
                           "corvane_call_duration_seconds_count 4\n",
                           "corvane_fec_corrected_bits_total 14\n",
                           "corvane_voice_frames_replaced_total 0\n",
                           "corvane_datagrams_dropped_total{reason=\"sequence\"} 7\n",
                           "corvane_datagrams_dropped_total{reason=\"authentication\"} 0\n",
                           "corvane_console_lines_dropped_total 5\n",
                           "corvane_pacing_late_total 0\n",
                           "corvane_id_list_entries 231456\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;

  // Every sample's family has its HELP and TYPE before it.
  std::istringstream in(text);
  std::set<std::string> typed;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# TYPE ", 0) == 0) typed.insert(line.substr(7, line.find(' ', 7) - 7));
    if (line.empty() || line[0] == '#') continue;
    std::string name = line.substr(0, line.find_first_of("{ "));
    for (const char* suffix : {"_bucket", "_sum", "_count"})
      if (!typed.count(name) && name.size() > strlen(suffix) &&
          name.compare(name.size() - strlen(suffix), std::string::npos, suffix) == 0)
        name.resize(name.size() - strlen(suffix));
    EXPECT_TRUE(typed.count(name)) << line;
    EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << name;
  }
}

TEST(MetricsText, PromtoolAcceptsIt) {
  if (system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool not on PATH";
  char path[] = "/tmp/corvane-metrics-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = metrics_text(sample());
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  const std::string report = std::string(path) + ".out";
  const int rc = system(("promtool check metrics < " + std::string(path) + " > " + report + " 2>&1").c_str());
  // Exit 3: advice only.  The one advice allowed is about the name the
  // dashboard's interface fixes (a count of bits, which the linter would
  // rather see in bytes).
  EXPECT_TRUE(rc == 0 || WEXITSTATUS(rc) == 3) << rc;
  FILE* f = fopen(report.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char line[512];
  while (fgets(line, sizeof line, f) != nullptr)
    EXPECT_STREQ(line, "corvane_fec_corrected_bits_total use base unit \"bytes\" instead of \"bits\"\n");
  fclose(f);
  unlink(report.c_str());
  unlink(path);
}

}  // namespace
