// SPDX-License-Identifier: GPL-2.0-or-later
// Bursts a call lost on the way, from its packets' 16-bit sequence numbers
// and, where a burst says where it stands in its superframe (A to F), from
// the positions skipped.  For the call record of both relays; each relay
// thread keeps its own counters.
#pragma once
#include <cstdint>

#include "core/call_record.h"

// Packets missing in one run before a jump of the numbers is taken for a new
// numbering rather than for loss: 3 s of bursts (a longer silence ends the
// call in the record).
inline constexpr uint32_t MAX_LOST_RUN = static_cast<uint32_t>(CALL_RECORD_TIMEOUT_MS / 60);

// The latest sequence number of one call.
struct CallSeq {
  bool known;  // false until the call's first numbered packet
  uint16_t last;
};

// Packets missing between the call's latest number and `seq`, which becomes
// the latest: seq - latest - 1, wrapping after 65535 (0 for the call's first
// number, and for a jump beyond MAX_LOST_RUN).  -1 when seq is the latest
// again or an older one: then nothing changes.
inline int32_t seq_advance(CallSeq& s, uint16_t seq) {
  if (!s.known) {
    s.known = true;
    s.last = seq;
    return 0;
  }
  const uint16_t step = static_cast<uint16_t>(seq - s.last);
  if (step == 0 || step >= 0x8000) return -1;
  s.last = seq;
  return step - 1u <= MAX_LOST_RUN ? static_cast<int32_t>(step - 1) : 0;
}

// Bursts lost before a burst: `missing` packets by the sequence numbers, and
// `skipped` positions (0..5) between the one due and the burst's own, or -1
// when either is unknown.  The count must agree with the positions modulo a
// superframe, so missing packets that make no whole superframe beyond the
// skipped positions were headers, not bursts; positions skipped without a
// gap in the numbers count all the same.
inline uint32_t bursts_lost(uint32_t missing, int skipped) {
  if (skipped < 0) return missing;
  const uint32_t s = static_cast<uint32_t>(skipped);
  if (missing <= s) return s;
  return s + (missing - s) / 6 * 6;
}

// Position 1..6 (A..F) of the burst after one at `position`.
inline int next_position(int position) {
  return position % 6 + 1;
}
// Positions from `due` to `position` (both 1..6), 0..5.
inline int positions_skipped(int due, int position) {
  return (position - due + 6) % 6;
}
