// SPDX-License-Identifier: GPL-2.0-or-later
// The call record and the drop counters read back as short texts, so a test
// states a call's figures or its events on one line.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "core/call_record.h"
#include "core/metrics.h"

// "src>dst" ("p": private), slot, bursts, lost, bit errors/bits, bad
// frames/frames, end (0 on the air, 1 terminator, 2 time-out), duration.
inline std::string figures_text(const CallFigures& f) {
  char s[160];
  snprintf(s, sizeof s, "%u>%u%s s%d b%u l%u e%u/%u f%u/%u end%d %lldms", f.src, f.dst, f.private_call ? "p" : "",
           f.slot, f.bursts, f.lost, f.bit_errors, f.bits, f.bad_frames, f.frames, f.end,
           static_cast<long long>(f.duration_ms));
  return s;
}

// The call on the air on the channel; "-" without one.
inline std::string live_text(CallChannel ch) {
  CallFigures f;
  return call_record_live(ch, &f) ? figures_text(f) : "-";
}

// The queued events: "start|end <channel> <figures>", "link <LinkId> up|down".
inline std::vector<std::string> take_event_texts() {
  std::vector<std::string> out;
  for (RecordEvent ev; call_record_pop(&ev);)
    out.push_back(ev.type == EV_LINK ? "link " + std::to_string(ev.link) + (ev.up ? " up" : " down")
                                     : (ev.type == EV_CALL_START ? "start " : "end ") + std::to_string(ev.channel) +
                                           " " + figures_text(ev.call));
  return out;
}

// The drop counters in the order of DropReason.
inline std::vector<uint64_t> drops() {
  std::vector<uint64_t> out;
  for (const auto& c : metrics.dropped) out.push_back(metrics_get(c));
  return out;
}
