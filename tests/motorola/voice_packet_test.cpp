#include "motorola/voice_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/dmr_reference.h"
#include "support/reference_hmac.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t KEY[20] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD,
                         0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01};

const MotoVoiceKind ALL[] = {MOTO_VOICE_HEADER, MOTO_VOICE_TERMINATOR, MOTO_BURST_A, MOTO_BURST_B,
                             MOTO_BURST_C,      MOTO_BURST_D,          MOTO_BURST_E, MOTO_BURST_F};

MotoCall call_of(bool private_call) {
  MotoCall c{};
  c.private_call = private_call;
  const uint8_t peer[4] = {0x00, 0xAB, 0xCD, 0xEF};
  std::memcpy(c.peer_id, peer, 4);
  c.call_seq = 0x7F;
  c.src_id = 0x2F7CCA;
  c.dst_id = 0x000002;
  const uint8_t tag[4] = {0x11, 0x22, 0xFE, 0x00};
  std::memcpy(c.call_tag, tag, 4);
  return c;
}

void push24(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 16));
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// The shared call header, from its table.
Bytes call_header(const MotoCall& c, uint8_t call_info, uint8_t marker, uint16_t seq, uint32_t ts, uint8_t burst_type) {
  Bytes b{static_cast<uint8_t>(c.private_call ? 0x81 : 0x80)};
  b.insert(b.end(), c.peer_id, c.peer_id + 4);
  b.push_back(c.call_seq);
  push24(b, c.src_id);
  push24(b, c.dst_id);
  b.push_back(0x02);
  b.insert(b.end(), c.call_tag, c.call_tag + 4);
  b.push_back(call_info);
  b.push_back(0x80);
  b.push_back(marker);
  b.push_back(static_cast<uint8_t>(seq >> 8));
  b.push_back(static_cast<uint8_t>(seq));
  b.push_back(static_cast<uint8_t>(ts >> 24));
  push24(b, ts);
  for (int i = 0; i < 4; ++i) b.push_back(0);
  b.push_back(burst_type);
  return b;
}

// Three 50-bit frame slots and two zero bits, packed into 19 bytes.
Bytes frame_bytes(const uint8_t frames[3][49], const bool bad[3]) {
  std::vector<uint8_t> bits;
  for (int k = 0; k < 3; ++k) {
    bits.insert(bits.end(), frames[k], frames[k] + 49);
    bits.push_back(bad[k] ? 1 : 0);
  }
  bits.push_back(0);
  bits.push_back(0);
  Bytes out(19, 0);
  for (unsigned i = 0; i < 152; ++i) out[i / 8] |= static_cast<uint8_t>(bits[i] << (7 - i % 8));
  return out;
}

struct Built {
  Bytes pkt;
  unsigned sent_len;
};

// Template, call, RTP, marker and (for bursts) frames, embedded bits and
// EMB, signed; the template area is poisoned first so that nothing from
// before shows through.
Built build(MotoVoiceKind kind, const MotoCall& c, const uint8_t frames[3][49], const bool bad[3],
            const uint8_t* embedded, const uint8_t* emb, bool first_header = false) {
  Bytes pkt(MOTO_VOICE_MAX_LEN, 0xA5);
  const unsigned len = moto_voice_begin(kind, pkt.data());
  moto_write_call(pkt.data(), kind, c);
  moto_write_rtp(pkt.data(), 0xBEEF, 0xDEADBEEF);
  if (kind == MOTO_VOICE_HEADER) moto_write_header_marker(pkt.data(), first_header);
  if (kind >= MOTO_BURST_A) {
    for (unsigned k = 0; k < 3; ++k) moto_write_frame(pkt.data(), k, frames[k], bad[k]);
    if (kind != MOTO_BURST_A && kind != MOTO_BURST_F) moto_write_embedded(pkt.data(), embedded);
    moto_write_emb_byte(pkt.data(), kind, emb);
  }
  Sha1Context ctx;
  EXPECT_EQ(moto_sign(ctx, KEY, pkt.data(), kind), len);
  pkt.resize(len);
  return {pkt, len};
}

class MotoVoicePacket : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(22);
    for (auto& f : frames)
      for (auto& b : f) b = rng() & 1;
    for (auto& b : embedded) b = rng() & 1;
  }
  uint8_t frames[3][49];
  bool bad[3] = {false, true, false};
  uint8_t embedded[32];
  // Colour code 1, PI 0, LCSS 3, then parity bits that the byte leaves out.
  const uint8_t emb[16] = {0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 0, 0};
};

TEST_F(MotoVoicePacket, EveryKindAsTabled) {
  for (bool priv : {false, true}) {
    const MotoCall c = call_of(priv);
    const Bytes control = priv ? Bytes{0x03, 0x00, 0x00} : Bytes{0x00, 0x00, 0x00};
    Bytes lc = control;
    push24(lc, c.dst_id);
    push24(lc, c.src_id);
    for (MotoVoiceKind kind : ALL) {
      SCOPED_TRACE(testing::Message() << "kind " << int(kind) << (priv ? " private" : " group"));
      Built got = build(kind, c, frames, bad, embedded, emb, true);
      Bytes want;
      if (kind == MOTO_VOICE_HEADER || kind == MOTO_VOICE_TERMINATOR) {
        const bool hdr = kind == MOTO_VOICE_HEADER;
        want = call_header(c, hdr ? 0x20 : 0x60, hdr ? 0xDD : 0x5E, 0xBEEF, 0xDEADBEEF, hdr ? 0x01 : 0x02);
        Bytes mid =
            hdr ? Bytes{0x80, 0x00, 0x0B, 0x84, 0x0A, 0x00, 0x60} : Bytes{0xC0, 0x00, 0x0A, 0x84, 0x0A, 0x00, 0x60};
        want.insert(want.end(), mid.begin(), mid.end());
        want.insert(want.end(), lc.begin(), lc.end());
        // The check bytes: those of the captured call for the group call; a
        // valid RS(12,9) word under the kind's mask in both cases.
        Bytes chk(got.pkt.begin() + 47, got.pkt.begin() + 50);
        EXPECT_TRUE(dmr_ref::rs129_valid(lc.data(), chk.data(), hdr ? 0x96 : 0x99));
        if (!priv) {
          EXPECT_EQ(chk, hdr ? (Bytes{0x92, 0xAF, 0x70}) : (Bytes{0x9D, 0xA0, 0x7F}));
        }
        want.insert(want.end(), chk.begin(), chk.end());
        Bytes tail = hdr ? Bytes{0x00, 0x11, 0x01, 0x36, 0x04, 0xCD} : Bytes{0x00, 0x12, 0x05, 0x0C};
        want.insert(want.end(), tail.begin(), tail.end());
      } else {
        const uint8_t len[] = {0x14, 0x19, 0x19, 0x19, 0x22, 0x19};
        const uint8_t flags[] = {0x40, 0x06, 0x06, 0x06, 0x16, 0x06};
        const int i = kind - MOTO_BURST_A;
        want = call_header(c, 0x20, 0x5D, 0xBEEF, 0xDEADBEEF, 0x8A);
        want.push_back(len[i]);
        want.push_back(flags[i]);
        Bytes f = frame_bytes(frames, bad);
        want.insert(want.end(), f.begin(), f.end());
        Bytes emb_bits(4, 0);
        for (unsigned b = 0; b < 32; ++b) emb_bits[b / 8] |= static_cast<uint8_t>(embedded[b] << (7 - b % 8));
        if (kind == MOTO_BURST_F) {
          for (uint8_t x : {0x00, 0x00, 0x00, 0x00, 0x10}) want.push_back(x);
        } else if (kind != MOTO_BURST_A) {
          want.insert(want.end(), emb_bits.begin(), emb_bits.end());
          if (kind == MOTO_BURST_E) want.insert(want.end(), lc.begin(), lc.end());
          want.push_back(0x16);  // CC 0001, PI 0, LCSS 11, 0
        }
        EXPECT_EQ(want.size() - 32, len[i]) << "burst_len counts from byte 32 to the tag";
      }
      want = signed_packet(KEY, want);
      EXPECT_EQ(got.pkt, want);
      const unsigned sent[] = {66, 64, 62, 67, 67, 67, 76, 67};
      EXPECT_EQ(want.size(), sent[kind]);
    }
  }
}

TEST_F(MotoVoicePacket, HeaderMarkerAndGroupAfterPrivate) {
  Built first = build(MOTO_VOICE_HEADER, call_of(false), frames, bad, embedded, emb, true);
  Built again = build(MOTO_VOICE_HEADER, call_of(false), frames, bad, embedded, emb, false);
  EXPECT_EQ(first.pkt[19], 0xDD);
  EXPECT_EQ(again.pkt[19], 0x5D);
  // One work buffer through a private call and then a group call.
  uint8_t buf[MOTO_VOICE_MAX_LEN];
  for (MotoVoiceKind kind : ALL) {
    moto_voice_begin(kind, buf);
    moto_write_call(buf, kind, call_of(true));
    EXPECT_EQ(buf[0], 0x81);
    moto_voice_begin(kind, buf);
    moto_write_call(buf, kind, call_of(false));
    EXPECT_EQ(buf[0], 0x80);
    if (kind == MOTO_VOICE_HEADER || kind == MOTO_VOICE_TERMINATOR) {
      EXPECT_EQ(buf[38], 0x00);
    }
    if (kind == MOTO_BURST_E) {
      EXPECT_EQ(buf[56], 0x00);
    }
  }
}

TEST_F(MotoVoicePacket, SubstituteFrameSlotAndReadBack) {
  uint8_t buf[MOTO_VOICE_MAX_LEN];
  moto_voice_begin(MOTO_BURST_F, buf);
  std::memset(buf + 33, 0xFF, 19);
  moto_write_frame(buf, 0, frames[0], false);
  moto_write_frame(buf, 1, MOTO_FRAME_SUBSTITUTE, true);
  moto_write_frame(buf, 2, frames[2], false);
  // Slot 1 is packet bits 314-363: 1111, 45 zeros, the bad-frame bit.
  for (unsigned i = 0; i < 50; ++i) {
    const unsigned bit = 314 + i;
    const int v = (buf[bit / 8] >> (7 - bit % 8)) & 1;
    EXPECT_EQ(v, i < 4 || i == 49 ? 1 : 0) << i;
  }
  EXPECT_EQ(buf[51] & 0x03, 0) << "bits 414 and 415";
  uint8_t got[49];
  for (unsigned k = 0; k < 3; ++k) {
    moto_read_frame(buf, k, got);
    EXPECT_EQ(Bytes(got, got + 49),
              Bytes(k == 1 ? MOTO_FRAME_SUBSTITUTE : frames[k], (k == 1 ? MOTO_FRAME_SUBSTITUTE : frames[k]) + 49));
    EXPECT_EQ(moto_frame_bad(buf, k), k == 1);
  }
  // Burst F's tail is its template's, whatever is asked of it.
  moto_write_emb_byte(buf, MOTO_BURST_F, emb);
  EXPECT_EQ(Bytes(buf + 52, buf + 57), (Bytes{0x00, 0x00, 0x00, 0x00, 0x10}));
}

TEST_F(MotoVoicePacket, TagCoversExactlyTheUnsignedBytes) {
  for (MotoVoiceKind kind : ALL) {
    Built b = build(kind, call_of(false), frames, bad, embedded, emb);
    const unsigned n = b.sent_len - 10;
    EXPECT_EQ(Bytes(b.pkt.begin() + n, b.pkt.end()), reference_tag(KEY, b.pkt.data(), n));
    for (unsigned i = 0; i < n; ++i) {
      Bytes p = b.pkt;
      p[i] ^= 0x01;
      Sha1Context ctx;
      moto_sign(ctx, KEY, p.data(), kind);
      ASSERT_NE(Bytes(p.begin() + n, p.end()), Bytes(b.pkt.begin() + n, b.pkt.end()))
          << "kind " << int(kind) << " byte " << i;
    }
  }
}

}  // namespace
