// SPDX-License-Identifier: GPL-2.0-or-later
#include "motorola/voice_packet.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "dmr/full_lc.h"
#include "motorola/control_packets.h"
#include "support/sign.h"
#include "support/templates.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t KEY[20] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD,
                         0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01};
const MotoVoiceKind ALL[] = {MOTO_VOICE_HEADER, MOTO_VOICE_TERMINATOR, MOTO_BURST_A, MOTO_BURST_B,
                             MOTO_BURST_C,      MOTO_BURST_D,          MOTO_BURST_E, MOTO_BURST_F};
const char* const REFERENCE[] = {ref::moto_header,  ref::moto_terminator, ref::moto_burst_a, ref::moto_burst_b,
                                 ref::moto_burst_c, ref::moto_burst_d,    ref::moto_burst_e, ref::moto_burst_f};

TEST(MotoPackets, TemplatesMatchTheReference) {
  for (MotoVoiceKind kind : ALL)
    EXPECT_EQ(ref::mismatch(REFERENCE[kind], moto_voice_template(kind), moto_voice_sent_len(kind)), -1) << kind;

  const uint8_t peer_id[4] = {0x00, 0xAB, 0xCD, 0xEF};
  reset_control_packets();
  sign_control_packets(peer_id, KEY);
  const std::tuple<const char*, const uint8_t*, int> control[] = {{ref::start, start, START_LEN},
                                                                  {ref::start2, start2, START2_LEN},
                                                                  {ref::start_hb, start_hb, START_HB_LEN},
                                                                  {ref::peer_95, peer_95, PEER_95_LEN},
                                                                  {ref::peer_99, peer_99, PEER_99_LEN}};
  for (const auto& [hex, pkt, len] : control) {
    EXPECT_EQ(ref::mismatch(hex, pkt, len), -1) << hex;
    EXPECT_EQ(Bytes(pkt + len - 10, pkt + len), reference_tag(KEY, pkt, len - 10)) << hex;
  }
}

TEST(MotoPackets, WrittenFieldsReadBack) {
  uint8_t frames[3][49], embedded[32];
  for (unsigned i = 0; i < 3 * 49 + 32; ++i) (i < 147 ? frames[i / 49][i % 49] : embedded[i - 147]) = (i * i / 3) & 1;
  const bool bad[3] = {false, true, false};
  const uint8_t emb[7] = {0, 0, 0, 1, 0, 1, 1};  // colour code 1, PI 0, LCSS 3
  uint8_t pkt[MOTO_VOICE_MAX_LEN];               // one buffer, a group call after a private one
  for (bool priv : {true, false}) {
    const MotoCall c{priv, {0x00, 0xAB, 0xCD, 0xEF}, 0x7F, 0x2F7CCA, priv ? 0x123456u : 2u, {0x11, 0x22, 0xFE, 0x01}};
    uint8_t lc[FULL_LC_BYTES];
    full_lc_build(priv, c.dst_id, c.src_id, lc);
    for (MotoVoiceKind kind : ALL) {
      SCOPED_TRACE(testing::Message() << "kind " << kind << (priv ? " private" : " group"));
      const unsigned len = moto_voice_begin(kind, pkt);
      moto_write_call(pkt, kind, c);
      moto_write_rtp(pkt, 0xBEEF, 0xDEADBEEF);
      if (kind == MOTO_VOICE_HEADER) moto_write_header_marker(pkt, priv);
      for (unsigned k = 0; kind >= MOTO_BURST_A && k < 3; ++k) moto_write_frame(pkt, k, frames[k], bad[k]);
      if (kind >= MOTO_BURST_B && kind <= MOTO_BURST_E) moto_write_embedded(pkt, embedded);
      moto_write_emb_byte(pkt, kind, emb);
      Sha1Context ctx;
      ASSERT_EQ(moto_sign(ctx, KEY, pkt, kind), len);

      EXPECT_EQ(ref::mismatch(REFERENCE[kind], pkt, len), -1) << "a fixed byte was written over";
      EXPECT_EQ(Bytes(pkt + len - 10, pkt + len), reference_tag(KEY, pkt, len - 10));
      EXPECT_EQ(std::make_tuple(moto_private(pkt), moto_peer_id(pkt), moto_call_seq(pkt), moto_src_id(pkt),
                                moto_dst_id(pkt), moto_rtp_seq(pkt), moto_rtp_timestamp(pkt), moto_slot2(pkt)),
                std::make_tuple(priv, 0x00ABCDEFu, 0x7F, c.src_id, c.dst_id, 0xBEEF, 0xDEADBEEFu, true));
      EXPECT_EQ(Bytes(pkt + 13, pkt + 17), (Bytes{0x11, 0x22, 0xFE, 0x01})) << "call tag";
      EXPECT_TRUE(kind != MOTO_VOICE_HEADER || moto_marker(pkt) == (priv ? 0xDD : 0x5D)) << "marker";
      const bool lc_header = kind == MOTO_VOICE_HEADER || kind == MOTO_VOICE_TERMINATOR;
      if (lc_header || kind == MOTO_BURST_E) {
        const uint8_t* at = pkt + (lc_header ? 38 : 56);
        EXPECT_EQ(Bytes(at, at + 9), Bytes(lc, lc + 9));
      }
      if (lc_header) {
        const Bytes captured = kind == MOTO_VOICE_HEADER ? Bytes{0x92, 0xAF, 0x70} : Bytes{0x9D, 0xA0, 0x7F};
        EXPECT_TRUE(priv || Bytes(pkt + 47, pkt + 50) == captured) << "check bytes of the captured group call";
      }
      for (unsigned k = 0; kind >= MOTO_BURST_A && k < 3; ++k) {
        uint8_t got[49];
        moto_read_frame(pkt, k, got);
        EXPECT_EQ(Bytes(got, got + 49), Bytes(frames[k], frames[k] + 49)) << k;
        EXPECT_EQ(moto_frame_bad(pkt, k), bad[k]) << k;
      }
      if (kind >= MOTO_BURST_B && kind <= MOTO_BURST_E) {
        uint8_t got[32];
        moto_read_embedded(pkt, got);
        EXPECT_EQ(Bytes(got, got + 32), Bytes(embedded, embedded + 32));
        EXPECT_EQ(pkt[len - 11], 0x16) << "EMB byte";
      }
    }
  }
}

}  // namespace
