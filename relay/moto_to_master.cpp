// SPDX-License-Identifier: GPL-2.0-or-later
// Motorola-to-master voice relay.
#include "relay/moto_to_master.h"

#include <cstring>

#include "core/console.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "dmr/ambe_fec.h"
#include "dmr/burst.h"
#include "dmr/embedded_lc.h"
#include "dmr/full_lc.h"
#include "motorola/voice_packet.h"
#include "relay/moto_relay.h"

int moto_burst_position = 1;
uint16_t moto_last_seq = 0;
uint8_t sendhyt[HYT_PACKET_LEN];

void reset_moto_to_master() {
  moto_burst_position = 1;
  moto_last_seq = 0;
  std::memset(sendhyt, 0, sizeof sendhyt);
}

namespace {

// The repeat test: only the packet accepted just before counts.
bool accept_seq(uint16_t seq) {
  if (seq == moto_last_seq) return false;
  moto_last_seq = seq;
  return true;
}

// Template, call type, sequence number and both IDs.
void begin(const uint8_t* tmpl, const uint8_t* pkt) {
  std::memcpy(sendhyt, tmpl, HYT_PACKET_LEN);
  hyt_write_call_type(sendhyt, moto_private(pkt));
  hyt_write_seq(sendhyt, moto_rtp_seq(pkt));
  hyt_write_dst(sendhyt, moto_dst_id(pkt));
  hyt_write_src(sendhyt, moto_src_id(pkt));
}

void write_call_lc(const uint8_t* pkt, uint8_t mask) {
  uint8_t lc[FULL_LC_BYTES];
  full_lc_build(moto_private(pkt), moto_dst_id(pkt), moto_src_id(pkt), lc);
  hyt_write_lc_burst(sendhyt, lc, mask);
}

void send_hyt() {
  send_to_master(sendhyt, HYT_PACKET_LEN);
}

bool relay_header(const uint8_t* pkt) {
  const uint8_t marker = moto_marker(pkt);
  if (marker != MOTO_MARKER_FIRST_HEADER && marker != MOTO_MARKER_HEADER) return false;
  if (!accept_seq(moto_rtp_seq(pkt))) return true;
  if (marker == MOTO_MARKER_FIRST_HEADER) {
    begin(sync_hyt, pkt);
    hyt_write_sync_src(sendhyt, moto_src_id(pkt));
    const TimeStamp ts = refresh_ts();
    console_printf("%s Moto RX+ slot:2 destination_id:%i source_id:%i rptr_id:%i\n", ts.text,
                   static_cast<int>(moto_dst_id(pkt)), static_cast<int>(moto_src_id(pkt)),
                   static_cast<int>(moto_peer_id(pkt)));
    note_call(moto_src_id(pkt), moto_dst_id(pkt), 2, ts.text);
  } else {
    begin(start_hyt, pkt);
    write_call_lc(pkt, RS129_MASK_VOICE_LC_HEADER);
  }
  moto_burst_position = 1;
  send_hyt();
  return false;
}

bool relay_terminator(const uint8_t* pkt) {
  if (!accept_seq(moto_rtp_seq(pkt))) return true;
  begin(ende_hyt, pkt);
  write_call_lc(pkt, RS129_MASK_TERMINATOR_LC);
  const TimeStamp ts = refresh_ts();
  console_printf("%s Moto RX- ID:%i\n", ts.text, static_cast<int>(moto_src_id(pkt)));
  send_hyt();
  return false;
}

bool relay_burst(const uint8_t* pkt) {
  if (!accept_seq(moto_rtp_seq(pkt))) return true;
  // Only after the repeat test: a repeated burst A must not shift the
  // bursts that follow it.
  if (moto_burst_a(pkt)) moto_burst_position = 1;
  const int position = moto_burst_position >= 1 && moto_burst_position <= 6 ? moto_burst_position : 1;
  begin(hyt_voice_template(position), pkt);

  uint8_t burst[DMR_BURST_BYTES];
  hyt_read_burst(sendhyt, burst);
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
  hyt_write_burst(sendhyt, burst);

  moto_burst_position = position % 6 + 1;
  send_hyt();
  return false;
}

}  // namespace

bool relay_moto_voice(const uint8_t* pkt, int len) {
  if (len < static_cast<int>(MOTO_CALL_HEADER_LEN)) return false;
  if (!moto_slot2(pkt)) return false;
  switch (moto_burst_type(pkt)) {
    case MOTO_BURST_TYPE_HEADER:
      return relay_header(pkt);
    case MOTO_BURST_TYPE_TERMINATOR:
      return relay_terminator(pkt);
    case MOTO_BURST_TYPE_VOICE:
      if (len < static_cast<int>(MOTO_BURST_READ_LEN)) return false;
      return relay_burst(pkt);
    default:
      return false;
  }
}
