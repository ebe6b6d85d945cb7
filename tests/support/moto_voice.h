// SPDX-License-Identifier: GPL-2.0-or-later
// A voice packet of the Motorola repeater for the relays' tests, built with
// the gateway's own writers, without its tag.
#pragma once
#include <cstdint>
#include <vector>

#include "auth/hmac_sha1.h"
#include "dmr/ambe_fec.h"
#include "motorola/voice_packet.h"

// `kind` of a call from `src` to `dst` by the peer `peer`, RTP number `seq`;
// a burst carries `frames`, a header the first-header marker when `first`.
inline std::vector<uint8_t> moto_voice_packet(MotoVoiceKind kind, int seq, bool priv, bool first, uint32_t peer,
                                              uint32_t src, uint32_t dst, const uint8_t (&frames)[3][AMBE_FRAME_BITS]) {
  std::vector<uint8_t> p(MOTO_VOICE_MAX_LEN);
  p.resize(moto_voice_begin(kind, p.data()) - AUTH_TAG_LEN);
  MotoCall call{priv, {}, 7, src, dst, {1, 2, 3, 4}};
  for (int i = 0; i < 4; ++i) call.peer_id[i] = static_cast<uint8_t>(peer >> (24 - 8 * i));
  moto_write_call(p.data(), kind, call);
  moto_write_rtp(p.data(), static_cast<uint16_t>(seq), 1000);
  if (kind == MOTO_VOICE_HEADER) moto_write_header_marker(p.data(), first);
  for (unsigned k = 0; kind >= MOTO_BURST_A && k < 3; ++k) moto_write_frame(p.data(), k, frames[k], false);
  return p;
}
