// SPDX-License-Identifier: GPL-2.0-or-later
// Motorola-to-master voice relay.
#include "relay/moto_to_master.h"

#include <cstring>

#include "core/clock.h"
#include "core/console.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/udp.h"
#include "dmr/ambe_fec.h"
#include "dmr/burst.h"
#include "dmr/burst_templates.h"
#include "dmr/embedded_lc.h"
#include "dmr/full_lc.h"
#include "master/homebrew_link.h"
#include "master/hytera_link.h"
#include "master/master_link.h"
#include "motorola/voice_packet.h"
#include "relay/burst_loss.h"
#include "relay/moto_relay.h"

int moto_burst_position = 1;
uint16_t moto_last_seq = 0;
uint8_t m2m_burst[DMR_BURST_BYTES];
int64_t (*m2m_wall_ms)() = wall_ms;

namespace {

// The call's numbers and the position (1..6, A..F) of the burst due next, as
// the record counts them; 0: not known.
CallSeq rec_seq;
int rec_due = 0;

}  // namespace

void reset_moto_to_master() {
  moto_burst_position = 1;
  moto_last_seq = 0;
  std::memset(m2m_burst, 0, sizeof m2m_burst);
  m2m_wall_ms = wall_ms;
  rec_seq = CallSeq{};
  rec_due = 0;
  reset_hytera_link();
  reset_homebrew_link();
}

namespace {

// The repeat test: only the packet accepted just before counts.
bool accept_seq(uint16_t seq) {
  if (seq == moto_last_seq) {
    count_drop(DROP_SEQUENCE);
    return false;
  }
  moto_last_seq = seq;
  return true;
}

// Bursts lost before this one by the RTP numbers; a burst A also tells how
// many positions were skipped since the one due.  A late packet (an older
// number) counts nothing and leaves the count where it was.
uint32_t record_lost(const uint8_t* pkt) {
  const int32_t missing = seq_advance(rec_seq, moto_rtp_seq(pkt));
  if (missing < 0) return 0;
  uint32_t lost;
  if (moto_burst_a(pkt)) {
    lost = bursts_lost(static_cast<uint32_t>(missing), rec_due == 0 ? -1 : positions_skipped(rec_due, 1));
    rec_due = next_position(1);
  } else {
    lost = static_cast<uint32_t>(missing);
    if (rec_due != 0) rec_due = next_position((rec_due - 1 + missing) % 6 + 1);
  }
  return lost;
}

uint32_t frames_marked_bad(const uint8_t* pkt) {
  uint32_t n = 0;
  for (unsigned j = 0; j < MOTO_FRAME_SLOTS; ++j) n += moto_frame_bad(pkt, j);
  return n;
}

// The call's facts from the repeater's packet, and the burst built.
MasterOut facts(MasterOutKind kind, const uint8_t* pkt, int position = 0) {
  return MasterOut{kind,
                   static_cast<uint8_t>(position),
                   moto_private(pkt),
                   moto_src_id(pkt),
                   moto_dst_id(pkt),
                   moto_rtp_seq(pkt),
                   m2m_burst};
}

// Header or terminator: the template with the call's full LC.
void build_lc_burst(BurstTemplate tmpl, const uint8_t* pkt, uint8_t mask) {
  std::memcpy(m2m_burst, BURST_TEMPLATES[tmpl], DMR_BURST_BYTES);
  uint8_t lc[FULL_LC_BYTES];
  full_lc_build(moto_private(pkt), moto_dst_id(pkt), moto_src_id(pkt), lc);
  full_lc_write_burst(m2m_burst, lc, mask);
}

void hand_on(const MasterOut& out) {
  if (master_link().send(out)) metrics_add(metrics.voice_packets[DIR_TO_MASTER]);
}

bool relay_header(const uint8_t* pkt, int64_t now_ms) {
  const uint8_t marker = moto_marker(pkt);
  if (marker != MOTO_MARKER_FIRST_HEADER && marker != MOTO_MARKER_HEADER) return false;
  if (!accept_seq(moto_rtp_seq(pkt))) return true;
  build_lc_burst(BT_HEADER, pkt, RS129_MASK_VOICE_LC_HEADER);
  const bool first = marker == MOTO_MARKER_FIRST_HEADER;
  if (first) {
    const TimeStamp ts = refresh_ts();
    console_printf("%s Moto RX+ slot:2 destination_id:%i source_id:%i rptr_id:%i\n", ts.text,
                   static_cast<int>(moto_dst_id(pkt)), static_cast<int>(moto_src_id(pkt)),
                   static_cast<int>(moto_peer_id(pkt)));
    note_call(moto_src_id(pkt), moto_dst_id(pkt), 2, ts.text);
    call_record_start(CH_REPEATER_SLOT2, moto_src_id(pkt), moto_dst_id(pkt), moto_private(pkt), m2m_wall_ms(), now_ms);
    rec_seq = CallSeq{};
  } else {
    call_record_touch(CH_REPEATER_SLOT2, now_ms);
  }
  // The call's numbers go on from its header; burst A is due.
  seq_advance(rec_seq, moto_rtp_seq(pkt));
  rec_due = 1;
  moto_burst_position = 1;
  hand_on(facts(first ? MO_CALL_START : MO_HEADER, pkt));
  return false;
}

bool relay_terminator(const uint8_t* pkt, int64_t now_ms) {
  if (!accept_seq(moto_rtp_seq(pkt))) return true;
  call_record_end(CH_REPEATER_SLOT2, END_TERMINATOR, now_ms);
  build_lc_burst(BT_TERMINATOR, pkt, RS129_MASK_TERMINATOR_LC);
  const TimeStamp ts = refresh_ts();
  console_printf("%s Moto RX- ID:%i\n", ts.text, static_cast<int>(moto_src_id(pkt)));
  hand_on(facts(MO_TERMINATOR, pkt));
  return false;
}

bool relay_burst(const uint8_t* pkt, int64_t now_ms) {
  if (!accept_seq(moto_rtp_seq(pkt))) return true;
  const BurstFigures figures{record_lost(pkt), 0, 0, MOTO_FRAME_SLOTS, frames_marked_bad(pkt)};
  call_record_burst(CH_REPEATER_SLOT2, figures, now_ms);
  // Only after the repeat test: a repeated burst A must not shift the
  // bursts that follow it.
  if (moto_burst_a(pkt)) moto_burst_position = 1;
  const int position = moto_burst_position >= 1 && moto_burst_position <= 6 ? moto_burst_position : 1;
  uint8_t* burst = m2m_burst;
  std::memcpy(burst, voice_burst_template(position), DMR_BURST_BYTES);
  if (position >= 2 && position <= 5) {
    // Bursts B to E carry the call's link control, one fragment each; the
    // EMB around it stays the template's.
    uint8_t lc[FULL_LC_BYTES], embedded[EMBEDDED_LC_BITS];
    full_lc_build(moto_private(pkt), moto_dst_id(pkt), moto_src_id(pkt), lc);
    encode_MultiBlockEmbeddedLC(lc, lc + 3, lc + 6, embedded);
    burst_write_embedded(burst, embedded + EMBEDDED_FRAGMENT_BITS * (position - 2));
  }
  for (unsigned j = 0; j < MOTO_FRAME_SLOTS; ++j) {
    uint8_t frame[AMBE_FRAME_BITS], coded[AMBE_CODED_BITS];
    moto_read_frame(pkt, j, frame);
    codiere_AMBEplus2_33(coded, AMBE_MODE_PLAIN, frame);
    burst_write_voice_frame(burst, j, coded);
  }

  moto_burst_position = position % 6 + 1;
  hand_on(facts(MO_BURST, pkt, position));
  return false;
}

}  // namespace

bool relay_moto_voice(const uint8_t* pkt, int len, int64_t now_ms) {
  if (len < static_cast<int>(MOTO_CALL_HEADER_LEN)) {
    count_drop(DROP_SHORT);
    return false;
  }
  if (!moto_slot2(pkt)) {
    count_drop(DROP_SLOT);
    return false;
  }
  switch (moto_burst_type(pkt)) {
    case MOTO_BURST_TYPE_HEADER:
      return relay_header(pkt, now_ms);
    case MOTO_BURST_TYPE_TERMINATOR:
      return relay_terminator(pkt, now_ms);
    case MOTO_BURST_TYPE_VOICE:
      if (len < static_cast<int>(MOTO_BURST_READ_LEN)) {
        count_drop(DROP_SHORT);
        return false;
      }
      return relay_burst(pkt, now_ms);
    default:
      return false;
  }
}
