// SPDX-License-Identifier: GPL-2.0-or-later
// The packet readers and writers of both links on packets of exactly their
// sent length (so any access beyond it is a report): what a writer puts in,
// the matching reader gets back, and nothing else changes.
#include <vector>

#include "dmr/burst.h"
#include "fuzz/harness.h"
#include "master/hytera_packet.h"
#include "motorola/voice_packet.h"

namespace {

void hytera(const uint8_t* p, size_t left) {
  if (left < HYT_PACKET_LEN + DMR_BURST_BYTES + 6) return;
  std::vector<uint8_t> pkt(p, p + HYT_PACKET_LEN), before = pkt;
  const uint8_t* burst = p + HYT_PACKET_LEN;
  const uint8_t* v = burst + DMR_BURST_BYTES;
  hyt_write_burst(pkt.data(), burst);
  uint8_t back[DMR_BURST_BYTES];
  hyt_read_burst(pkt.data(), back);
  FUZZ_CHECK(std::memcmp(back, burst, sizeof back) == 0);
  for (unsigned i = 0; i < HYT_PACKET_LEN; ++i)
    if (i < 26 || i > 59 || i == 58) FUZZ_CHECK(pkt[i] == before[i]);
  const uint32_t id = v[0] | v[1] << 8 | static_cast<uint32_t>(v[2]) << 16;
  hyt_write_seq(pkt.data(), static_cast<uint16_t>(v[3] | v[4] << 8));
  hyt_write_dst(pkt.data(), id);
  hyt_write_src(pkt.data(), id ^ 0xFFFFFF);
  hyt_write_call_type(pkt.data(), v[5] & 1);
  FUZZ_CHECK(hyt_seq(pkt.data()) == (v[3] | v[4] << 8));
  FUZZ_CHECK(hyt_dst(pkt.data()) == id && hyt_src(pkt.data()) == (id ^ 0xFFFFFF));
  FUZZ_CHECK(hyt_private(pkt.data()) == static_cast<bool>(v[5] & 1));
  hyt_swap_pairs(pkt.data());
  hyt_swap_pairs(pkt.data());
  FUZZ_CHECK(hyt_seq(pkt.data()) == (v[3] | v[4] << 8));
}

void motorola(const uint8_t* p, size_t left) {
  if (left < 1 + 20 + 3 * 49 + 32) return;
  const MotoVoiceKind kind = static_cast<MotoVoiceKind>(p[0] % MOTO_VOICE_KINDS);
  const uint8_t* v = p + 1;
  std::vector<uint8_t> pkt(moto_voice_sent_len(kind));
  FUZZ_CHECK(moto_voice_begin(kind, pkt.data()) == pkt.size());
  MotoCall call{};
  call.private_call = v[0] & 1;
  std::memcpy(call.peer_id, v + 1, 4);
  call.call_seq = v[5];
  call.src_id = (v[6] << 16 | v[7] << 8 | v[8]) & 0xFFFFFF;
  call.dst_id = (v[9] << 16 | v[10] << 8 | v[11]) & 0xFFFFFF;
  std::memcpy(call.call_tag, v + 12, 4);
  moto_write_call(pkt.data(), kind, call);
  moto_write_rtp(pkt.data(), static_cast<uint16_t>(v[16] << 8 | v[17]), v[18] * 0x01010101u);
  FUZZ_CHECK(moto_private(pkt.data()) == call.private_call);
  FUZZ_CHECK(moto_peer_id(pkt.data()) == (uint32_t(v[1]) << 24 | v[2] << 16 | v[3] << 8 | v[4]));
  FUZZ_CHECK(moto_call_seq(pkt.data()) == call.call_seq);
  FUZZ_CHECK(moto_src_id(pkt.data()) == call.src_id && moto_dst_id(pkt.data()) == call.dst_id);
  FUZZ_CHECK(moto_rtp_seq(pkt.data()) == (v[16] << 8 | v[17]));
  FUZZ_CHECK(moto_rtp_timestamp(pkt.data()) == v[18] * 0x01010101u);
  if (kind < MOTO_BURST_A) return;
  const uint8_t* frames = v + 20;
  for (unsigned s = 0; s < MOTO_FRAME_SLOTS; ++s) moto_write_frame(pkt.data(), s, frames + 49 * s, frames[49 * s] & 2);
  for (unsigned s = 0; s < MOTO_FRAME_SLOTS; ++s) {
    uint8_t f[49];
    moto_read_frame(pkt.data(), s, f);
    for (unsigned i = 0; i < 49; ++i) FUZZ_CHECK(f[i] == (frames[49 * s + i] == 1));
    FUZZ_CHECK(moto_frame_bad(pkt.data(), s) == static_cast<bool>(frames[49 * s] & 2));
  }
  if (kind == MOTO_BURST_A || kind == MOTO_BURST_F) return;
  const uint8_t* bits = frames + 3 * 49;
  moto_write_embedded(pkt.data(), bits);
  moto_write_emb_byte(pkt.data(), kind, bits);
  uint8_t back[32];
  moto_read_embedded(pkt.data(), back);
  for (unsigned i = 0; i < 32; ++i) FUZZ_CHECK(back[i] == (bits[i] == 1));
  FUZZ_CHECK(moto_src_id(pkt.data()) == call.src_id);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_console(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  (data[0] & 1 ? motorola : hytera)(data + 1, size - 1);
  return 0;
}
