// SPDX-License-Identifier: GPL-2.0-or-later
// The relays between the Motorola repeater and the DMR master, fed with
// packets built by the gateway's own writers and coders, their output read
// back with its readers and decoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "core/config.h"
#include "core/link_status.h"
#include "core/udp.h"
#include "dmr/ambe_fec.h"
#include "dmr/burst.h"
#include "dmr/emb.h"
#include "dmr/embedded_lc.h"
#include "dmr/full_lc.h"
#include "dmr/golay.h"
#include "master/hytera_packet.h"
#include "motorola/voice_packet.h"
#include "relay/burst_recode.h"
#include "relay/master_to_moto.h"
#include "relay/moto_relay.h"
#include "relay/moto_to_master.h"
#include "relay/position_relay.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/moto_voice.h"
#include "support/record_text.h"
#include "support/test_site.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
constexpr uint32_t SRC = 2622101, OTHER = 2620999, DST = 262, PEER = 3101234;
constexpr int64_t T0 = 5000000000, WALL0 = 1700000000000;
int64_t clock_us, oversleep_us;  // a pacing sleep ends this much late
std::vector<int64_t> sleeps;
// The packets of a call in order: two headers, bursts A to F, terminator.
const uint8_t* const HYT_CALL[9] = {start_hyt,  start_hyt,  Voice_hyt1, Voice_hyt2, Voice_hyt3,
                                    Voice_hyt4, Voice_hyt5, Voice_hyt6, ende_hyt};
const MotoVoiceKind MOTO_CALL[9] = {MOTO_VOICE_HEADER, MOTO_VOICE_HEADER, MOTO_BURST_A,
                                    MOTO_BURST_B,      MOTO_BURST_C,      MOTO_BURST_D,
                                    MOTO_BURST_E,      MOTO_BURST_F,      MOTO_VOICE_TERMINATOR};

// The call's embedded link control; fragment n for burst B + n at 32 n.
void embedded_lc(bool priv, uint32_t src, uint8_t* out) {
  uint8_t lc[FULL_LC_BYTES];
  full_lc_build(priv, DST, src, lc);
  encode_MultiBlockEmbeddedLC(lc, lc + 3, lc + 6, out);
}

Bytes burst_of(const Bytes& hyt) {
  Bytes b(DMR_BURST_BYTES);
  hyt_read_burst(hyt.data(), b.data());
  return b;
}

class Relays : public ::testing::Test {
 protected:
  void SetUp() override {
    init_Golay_23_12();
    use_test_site();
    reset_master_to_moto();
    reset_moto_relays();
    set_fromUser2(make_addr("192.0.2.2", 50000));
    reset_call_record();
    reset_metrics();
    clock_us = T0;
    oversleep_us = 0;
    sleeps.clear();
    v2m_timing = {[] { return clock_us; }, [](int64_t us) { sleeps.push_back(us), clock_us += us + oversleep_us; },
                  [] { return WALL0 + (clock_us - T0) / 1000; }};
    for (unsigned k = 0; k < 3; ++k)
      for (unsigned i = 0; i < AMBE_FRAME_BITS; ++i) frames[k][i] = (i * 5 + k * 11) % 7 < 3;
  }
  void TearDown() override {
    reset_master_to_moto();
    OpenMasterPort = 0;
    set_master_link(CLASSIC_LINK);
  }

  void put_frames(uint8_t* burst) const {
    for (unsigned k = 0; k < 3; ++k) {
      uint8_t coded[AMBE_CODED_BITS];
      codiere_AMBEplus2_33(coded, AMBE_MODE_PLAIN, frames[k]);
      burst_write_voice_frame(burst, k, coded);
    }
  }
  // True when the burst decodes to the three frames without a bit error.
  bool frames_intact(const uint8_t* burst) const {
    for (unsigned k = 0; k < 3; ++k) {
      uint8_t coded[AMBE_CODED_BITS], frame[AMBE_FRAME_BITS], errors_a = 0, errors_b = 0;
      burst_read_voice_frame(burst, k, coded);
      decodiere_AMBEplus2_33(coded, &errors_a, &errors_b, AMBE_MODE_PLAIN, frame);
      if (errors_a || errors_b || !std::equal(frame, frame + AMBE_FRAME_BITS, frames[k])) return false;
    }
    return true;
  }
  bool said(const std::string& text) const { return console.str().find(text) != std::string::npos; }
  // Coded bits of a frame whose flip the decoder counts in the A codeword
  // (in_a) or in the B codeword.
  std::vector<unsigned> flippable(bool in_a) const {
    std::vector<unsigned> out;
    for (unsigned i = 0; i < AMBE_CODED_BITS; ++i) {
      uint8_t coded[AMBE_CODED_BITS], frame[AMBE_FRAME_BITS], a = 0, b = 0;
      codiere_AMBEplus2_33(coded, AMBE_MODE_PLAIN, frames[1]);
      coded[i] ^= 1;
      decodiere_AMBEplus2_33(coded, &a, &b, AMBE_MODE_PLAIN, frame);
      if (a + b == 1 && (a == 1) == in_a) out.push_back(i);
    }
    return out;
  }
  // Flips `in_a` bits of frame k's A codeword and `in_b` of its B codeword.
  void damage(uint8_t* burst, unsigned k, unsigned in_a, unsigned in_b) const {
    uint8_t coded[AMBE_CODED_BITS];
    burst_read_voice_frame(burst, k, coded);
    for (unsigned n = 0; n < in_a; ++n) coded[flippable(true)[n]] ^= 1;
    for (unsigned n = 0; n < in_b; ++n) coded[flippable(false)[n]] ^= 1;
    burst_write_voice_frame(burst, k, coded);
  }

  // ---- master side: a packet from the master on template `tmpl`, carrying
  // the frames and, in bursts B to E, their fragment of the embedded LC.
  Bytes hyt(const uint8_t* tmpl, int seq, uint32_t src = SRC, int slot = 2, bool priv = false) {
    Bytes p(tmpl, tmpl + HYT_PACKET_LEN);
    hyt_write_seq(p.data(), static_cast<uint16_t>(seq));
    hyt_write_src(p.data(), src);
    hyt_write_dst(p.data(), DST);
    hyt_write_call_type(p.data(), priv);
    p[16] = p[17] = static_cast<uint8_t>(0x11 * slot);
    const int letter = (hyt_frame_type(tmpl) - HYT_FRAME_BURST_A) / 0x11;
    uint8_t burst[DMR_BURST_BYTES], lc[EMBEDDED_LC_BITS];
    hyt_read_burst(p.data(), burst);
    put_frames(burst);
    embedded_lc(priv, src, lc);
    if (letter >= 1 && letter <= 4) burst_write_embedded(burst, lc + EMBEDDED_FRAGMENT_BITS * (letter - 1));
    hyt_write_burst(p.data(), burst);  // header and terminator: not read by the relay
    return p;
  }
  // One pass of the master-side reader at `ms` milliseconds, with `bytes`
  // from the master if any.
  void at(double ms, const Bytes& bytes = {}) {
    clock_us = T0 + static_cast<int64_t>(ms * 1000);
    if (!bytes.empty()) net.feed(kSiteAudioSock, bytes, "192.0.2.3", 62006);
    send_voice_to_motorola_pass();
  }
  // ---- Motorola side: a voice packet of `kind` from the repeater (frames
  // in a burst), without its tag.
  Bytes moto(MotoVoiceKind kind, int seq, bool priv = false, bool first = false, uint32_t peer = PEER) {
    return moto_voice_packet(kind, seq, priv, first, peer, SRC, DST, frames);
  }
  // A data packet: the voice packets' call header, type (6 header, 8 block)
  // at 30, payload at 38-53.
  Bytes data(uint8_t type, const std::string& payload = std::string(16, 'x'), uint32_t peer = PEER) {
    Bytes p = moto(MOTO_BURST_B, 0, false, false, peer);
    p.resize(54);
    p[0] = 0x84;
    p[30] = type;
    payload.copy(reinterpret_cast<char*>(p.data() + 38), 16);
    return p;
  }
  // The relay's answer to a voice or data packet (or its first `len` bytes):
  // true when the reader's pass ends.
  bool in(const Bytes& p, size_t len = 0) {
    const int n = static_cast<int>(len ? len : p.size());
    return p[0] == 0x84 ? relay_moto_data(p.data(), n) : relay_moto_voice(p.data(), n, moto_ms);
  }
  // What was sent, each datagram checked for where it went (and, toward the
  // repeater, for its tag).
  std::vector<Bytes> sent(int sock, const std::string& to) {
    std::vector<Bytes> out;
    for (const FakeDatagram& d : net.take_sent()) {
      EXPECT_EQ(std::make_pair(d.sock, d.ip() + ":" + std::to_string(d.port())), std::make_pair(sock, to));
      Sha1Context ctx;
      EXPECT_TRUE(d.sock != kSiteMotoSock || auth_tag_ok(ctx, Key, d.bytes.data(), uint32_t(d.bytes.size())));
      out.push_back(d.bytes);
    }
    return out;
  }
  std::vector<Bytes> to_repeater() { return sent(kSiteMotoSock, "192.0.2.2:50000"); }
  std::vector<Bytes> to_master() { return sent(kSiteAudioSock, "192.0.2.3:62006"); }

  uint8_t frames[3][AMBE_FRAME_BITS];
  int64_t moto_ms = 100000;  // the Motorola-side reader's clock
  FakeNet net;
  ConsoleCapture console;
};

using MasterToMoto = Relays;
using BurstRecode = Relays;
using MotoToMaster = Relays;
using PositionRelay = Relays;

TEST_F(MasterToMoto, CallsRelayedToTheRepeater) {
  for (int call = 1; call <= 2; ++call) {
    const bool priv = call == 2;
    for (int i = 0; i < 9; ++i) at(1000.0 * call + 60 * i, hyt(HYT_CALL[i], 100 * call + i, SRC, 2, priv));
    const std::vector<Bytes> got = to_repeater();
    ASSERT_EQ(got.size(), 9u);
    const Bytes tag(got[0].begin() + 13, got[0].begin() + 17);
    uint8_t lc[EMBEDDED_LC_BITS], embedded[DMR_EMBEDDED_BITS], frame[AMBE_FRAME_BITS];
    embedded_lc(priv, SRC, lc);
    for (unsigned i = 0; i < got.size(); ++i) {
      const uint8_t* p = got[i].data();
      const MotoVoiceKind kind = MOTO_CALL[i];
      EXPECT_EQ(std::make_tuple(got[i].size(), moto_peer_id(p), moto_call_seq(p), moto_private(p), moto_src_id(p),
                                moto_dst_id(p), moto_rtp_seq(p), moto_rtp_timestamp(p), Bytes(p + 13, p + 17)),
                std::make_tuple(size_t{moto_voice_sent_len(kind)}, 0x00ABCDEFu, uint8_t(call), priv, SRC, DST,
                                uint16_t(100 * call + i), MOT_TIME_START + 480 * (9 * call - 8 + i), tag));
      EXPECT_EQ(moto_marker(p), i == 0 ? MOTO_MARKER_FIRST_HEADER : i == 8 ? 0x5E : MOTO_MARKER_HEADER);
      for (unsigned k = 0; kind >= MOTO_BURST_A && k < 3; ++k) {
        moto_read_frame(p, k, frame);
        EXPECT_TRUE(!moto_frame_bad(p, k) && std::equal(frame, frame + AMBE_FRAME_BITS, frames[k])) << k;
      }
      moto_read_embedded(p, embedded);
      EXPECT_TRUE(kind < MOTO_BURST_B || kind > MOTO_BURST_E || std::equal(embedded, embedded + 32, lc + 32 * (i - 3)));
    }
    for (std::string line : {" SENDE EIN ", " SENDE AUS "}) EXPECT_TRUE(said(line + std::to_string(call) + "\n"));
  }
  for (const char* line :
       {" RX SLOT=2 DST_ID=262 SRC_ID=2622101 TYPE=Voice\n", " VOICE RX SLOT 2 ENDE USER_ID=2622101 \n",
        " EMB-Decode Slot:2 DestID:262 SrcID:2622101\r\n"})
    EXPECT_TRUE(said(line)) << line;
  EXPECT_FALSE(said("BER")) << "no bit errors";
  EXPECT_TRUE(sleeps.empty()) << "60 ms apart: no pacing";
}

TEST_F(MasterToMoto, OnlyTheCallsOwnNewPacketsOnSlot2Relayed) {
  at(1000, hyt(start_hyt, 9));
  at(1060, hyt(Voice_hyt1, 9));   // the header's number again: dropped
  at(1120, hyt(Voice_hyt2, 10));  // the next: relayed
  at(1180, hyt(Voice_hyt3, 10));  // repeated: dropped
  EXPECT_FALSE(said("Ferr"));
  at(1240, hyt(Voice_hyt4, 12));  // a gap: shown, relayed
  EXPECT_TRUE(said("Ferr: 10 12\n"));
  at(1300, hyt(Voice_hyt5, 0));  // 0 always taken
  at(1360, hyt(Voice_hyt6, 1, OTHER));
  at(1420, hyt(start_hyt, 2, OTHER));
  EXPECT_TRUE(said("DMR-ID change: 2622101 2620999\r\n"));
  at(1480, hyt(ende_hyt, 1));
  std::vector<uint16_t> seqs;
  for (const Bytes& p : to_repeater()) seqs.push_back(moto_rtp_seq(p.data()));
  EXPECT_EQ(seqs, (std::vector<uint16_t>{9, 10, 12, 0, 1}));

  // Slot 1 is shown only; slots beyond 2 are neither shown nor relayed.
  at(1900, hyt(start_hyt, 30, SRC, 3));
  for (int i = 0; i < 9; ++i) at(2000 + 60 * i, hyt(HYT_CALL[i], 20 + i, SRC, 1));
  EXPECT_TRUE(said(" RX SLOT=1 DST_ID=262 SRC_ID=2622101 TYPE=Voice\n"));
  EXPECT_TRUE(said(" VOICE RX SLOT 1 ENDE USER_ID=2622101 \n"));
  EXPECT_FALSE(said("SLOT=3"));
  EXPECT_TRUE(to_repeater().empty());
  EXPECT_EQ(drops(), (std::vector<uint64_t>{0, 2, 0, 2, 10})) << "authentication, stranger, short, sequence, slot";
}

TEST_F(MasterToMoto, Slot2CallsInTheRecordWithLossFecAndTheirEnd) {
  // Bursts C and D lost; E with 2 + 3 bit errors in its middle frame, which
  // is replaced; the terminator ends the call.
  Bytes e = hyt(Voice_hyt5, 15), burst = burst_of(e);
  damage(burst.data(), 1, 2, 3);
  hyt_write_burst(e.data(), burst.data());
  at(1000, hyt(start_hyt, 10));
  at(1060, hyt(Voice_hyt1, 11));
  at(1120, hyt(Voice_hyt2, 12));
  at(1300, e);
  CallFigures f;
  ASSERT_TRUE(call_record_live(CH_MASTER_SLOT2, &f));
  EXPECT_EQ(f.start_ms, WALL0 + 1000);
  EXPECT_EQ(figures_text(f), "2622101>262 s2 b3 l2 e5/423 f1/9 end0 300ms");
  at(1360, hyt(Voice_hyt6, 16));
  at(1420, hyt(ende_hyt, 17));
  // A private call silent after its first burst: the relay's time-out ends
  // it, and the reader wakes for it.
  at(2000, hyt(start_hyt, 30, SRC, 2, true));
  at(2060, hyt(Voice_hyt1, 31, SRC, 2, true));
  EXPECT_EQ(v2m_wait_ms(T0 + 2060000), 3000);
  at(5060);
  EXPECT_EQ(
      take_event_texts(),
      (Texts{"start 1 2622101>262 s2 b0 l0 e0/0 f0/0 end0 0ms", "end 1 2622101>262 s2 b4 l2 e5/564 f1/12 end1 420ms",
             "start 1 2622101>262p s2 b0 l0 e0/0 f0/0 end0 0ms", "end 1 2622101>262p s2 b1 l0 e0/141 f0/3 end2 60ms"}));
  EXPECT_EQ(
      std::make_tuple(metrics_get(metrics.fec_corrected_bits), metrics_get(metrics.frames_replaced),
                      metrics_get(metrics.voice_packets[DIR_TO_REPEATER]), metrics_get(metrics.calls[DIR_TO_REPEATER])),
      std::make_tuple(5u, 1u, 8u, 2u));
}

TEST_F(MasterToMoto, Slot1CallsInTheRecordEndByTerminatorOrSilence) {
  EXPECT_EQ(v2m_wait_ms(T0), -1) << "nothing open: the reader waits without limit";
  // The numbers wrap; the second header is lost (no burst), then bursts B
  // to F and A to C (numbers 0 to 7).
  at(1000, hyt(start_hyt, 65533, SRC, 1));
  at(1060, hyt(Voice_hyt1, 65535, SRC, 1));
  at(1120, hyt(Voice_hyt4, 8, SRC, 1));
  at(1180, hyt(Voice_hyt4, 8, SRC, 1));  // again: not counted
  at(1240, hyt(ende_hyt, 9, SRC, 1));
  // A call silent after one burst ends 3 s later; the reader wakes for it.
  at(2000, hyt(Voice_hyt1, 10, OTHER, 1));
  EXPECT_EQ(v2m_wait_ms(T0 + 2000000), 3000);
  at(4999);
  EXPECT_EQ(live_text(CH_MASTER_SLOT1), "2620999>262 s1 b1 l0 e0/0 f0/0 end0 0ms");
  at(5000);
  EXPECT_EQ(v2m_wait_ms(T0 + 5000000), -1);
  EXPECT_EQ(
      take_event_texts(),
      (Texts{"start 0 2622101>262 s1 b0 l0 e0/0 f0/0 end0 0ms", "end 0 2622101>262 s1 b2 l8 e0/0 f0/0 end1 240ms",
             "start 0 2620999>262 s1 b0 l0 e0/0 f0/0 end0 0ms", "end 0 2620999>262 s1 b1 l0 e0/0 f0/0 end2 0ms"}));
  // The console still shows that call; the next one starts in the record
  // all the same, and another source is another call.
  at(6000, hyt(Voice_hyt1, 20, SRC, 1));
  at(6060, hyt(Voice_hyt2, 21, OTHER, 1));
  EXPECT_EQ(take_event_texts(),
            (Texts{"start 0 2622101>262 s1 b0 l0 e0/0 f0/0 end0 0ms", "end 0 2622101>262 s1 b1 l0 e0/0 f0/0 end2 0ms",
                   "start 0 2620999>262 s1 b0 l0 e0/0 f0/0 end0 0ms"}));
  EXPECT_TRUE(to_repeater().empty());
  EXPECT_EQ(drops()[DROP_SLOT], 8u);
}

TEST_F(MasterToMoto, PacingTimeoutKeepAlivesAndLengths) {
  at(1000, hyt(start_hyt, 80));
  at(1020, hyt(start_hyt, 81));  // held back to 60 ms after the previous send
  EXPECT_TRUE(said(" add delay: 20000 us at pacnum: 81\n"));
  at(1117.999, hyt(Voice_hyt1, 82));  // 57.999 ms after it: stretched to 60
  at(1178, hyt(Voice_hyt2, 83));      // 58 ms: at once
  EXPECT_EQ(sleeps, (std::vector<int64_t>{40000, 2001}));
  EXPECT_EQ(to_repeater().size(), 4u);

  // A call silent for 3 s ends, and nothing is sent for it.
  at(4177.999);
  EXPECT_FALSE(said("TIMEOUT"));
  at(4178);
  EXPECT_TRUE(said(" SENDE TIMEOUT 1\n"));
  EXPECT_TRUE(to_repeater().empty());

  // One byte from the master refreshes a running login, never revives one.
  master_timer = 7;
  at(4500, {'A'});
  EXPECT_EQ(master_timer, 15);
  master_timer = 0;
  at(4600, {'A'});
  EXPECT_EQ(master_timer, 0);

  // 73 bytes are taken as the 72 before them; shorter ones are ignored.
  Bytes header = hyt(start_hyt, 5);
  header.push_back(0);
  at(5000, header);
  at(5100, Bytes(header.begin(), header.begin() + 71));
  EXPECT_EQ(to_repeater().size(), 1u);
  EXPECT_EQ(drops()[DROP_SHORT], 1u);

  // Before the repeater was first heard there is nowhere to send to.
  set_fromUser2(sockaddr_in{});
  at(5200, hyt(Voice_hyt1, 7));
  EXPECT_TRUE(to_repeater().empty());

  // A paced send 0.5 ms after its 60-ms slot is on time, a later one late.
  set_fromUser2(make_addr("192.0.2.2", 50000));
  oversleep_us = 500;
  at(6000, hyt(Voice_hyt2, 8));
  at(6010, hyt(Voice_hyt3, 9));
  oversleep_us = 501;
  at(6080, hyt(Voice_hyt4, 10));
  EXPECT_EQ(metrics_get(metrics.pacing_late), 1u);
  EXPECT_EQ(metrics_get(metrics.voice_packets[DIR_TO_REPEATER]), 8u) << "none while there was nowhere to send";
}

TEST_F(BurstRecode, FramesTooDamagedAreReplaced) {
  ASSERT_EQ(flippable(true).size() + flippable(false).size(), 46u);
  // Errors in A and B of the middle frame, whether it is replaced, BER line
  // (4 in A are detected and counted as 4 + 3).
  const std::tuple<unsigned, unsigned, bool, const char*> cases[] = {
      {3, 2, false, "3.546099"}, {1, 3, false, "2.836879"}, {2, 3, true, "3.546099"}, {4, 0, true, "4.964539"}};
  for (const auto& [errors_a, errors_b, replaced, ber] : cases) {
    uint8_t burst[DMR_BURST_BYTES] = {}, pkt[MOTO_VOICE_MAX_LEN], frame[AMBE_FRAME_BITS];
    put_frames(burst);
    damage(burst, 1, errors_a, errors_b);
    moto_voice_begin(MOTO_BURST_A, pkt);
    console.clear();
    const RecodeFigures fec = recode_burst(MOTO_BURST_A, burst, pkt, 2);
    EXPECT_EQ(console.str(), "BER : " + std::string(ber) + "%\r\n");
    EXPECT_NEAR(fec.bit_errors * 100.0 / BER_BITS, std::stod(ber), 1e-6) << "the BER line's count";
    EXPECT_EQ(fec.bad_frames, replaced ? 1u : 0u);
    for (unsigned k = 0; k < 3; ++k) {
      const bool bad = k == 1 && replaced;
      moto_read_frame(pkt, k, frame);
      EXPECT_TRUE(moto_frame_bad(pkt, k) == bad &&
                  std::equal(frame, frame + 49, bad ? MOTO_FRAME_SUBSTITUTE : frames[k]));
    }
  }
}

TEST_F(MotoToMaster, VoiceCallsToTheMaster) {
  for (bool priv : {false, true}) {
    reset_embedded_lc_collector();
    for (int i = 0; i < 9; ++i) EXPECT_FALSE(in(moto(MOTO_CALL[i], 100 + i, priv, i == 0)));
    const std::vector<Bytes> out = to_master();
    ASSERT_EQ(out.size(), 9u);
    const uint8_t types[] = {0xEE, 0x11, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0x22};
    uint8_t control[3], dst[3], src[3], centre[DMR_BURST_CENTRE_BITS], emb[EMB_BITS];
    int lc_sets = 0;
    for (unsigned i = 0; i < 9; ++i) {
      const uint8_t* p = out[i].data();
      EXPECT_EQ(std::make_tuple(out[i].size(), hyt_frame_type(p), hyt_seq(p), hyt_src(p), hyt_dst(p), hyt_private(p)),
                std::make_tuple(size_t{HYT_PACKET_LEN}, types[i], uint16_t(100 + i), SRC, DST, priv));
      if (i < 2 || i == 8) continue;
      const Bytes burst = burst_of(out[i]);
      EXPECT_TRUE(frames_intact(burst.data())) << i;
      burst_read_centre(burst.data(), centre);
      if (i >= 3 && i <= 6) lc_sets += addData(centre + 8, EMBdecode(centre, emb), control, dst, src) == 1;
    }
    // The embedded link control of bursts B to E, and the full one of header
    // and terminator, name the call.
    uint8_t lc[FULL_LC_BYTES];
    full_lc_build(priv, DST, SRC, lc);
    ASSERT_EQ(lc_sets, 1);
    EXPECT_EQ(control[0], priv ? FLCO_UNIT_TO_UNIT_VOICE : FLCO_GROUP_VOICE);
    EXPECT_TRUE(std::equal(dst, dst + 3, lc + 3) && std::equal(src, src + 3, lc + 6));
    Bytes head = out[1], end = out[8];
    hyt_write_lc_burst(head.data(), lc, RS129_MASK_VOICE_LC_HEADER);
    hyt_write_lc_burst(end.data(), lc, RS129_MASK_TERMINATOR_LC);
    EXPECT_TRUE(head == out[1] && end == out[8]) << "the link control of header and terminator";
  }
  EXPECT_TRUE(said(" Moto RX+ slot:2 destination_id:262 source_id:2622101 rptr_id:3101234\n"));
  EXPECT_TRUE(said(" Moto RX- ID:2622101\n"));
}

TEST_F(MotoToMaster, BurstPositionRepeatsSlotOneAndShortPackets) {
  // Frame type of what the packet (or its first `len` bytes) became; 0: nothing.
  auto type = [&](const Bytes& p, size_t len = 0) {
    EXPECT_FALSE(in(p, len));
    const std::vector<Bytes> out = to_master();
    return out.size() == 1 ? hyt_frame_type(out[0].data()) : 0;
  };
  // The position counts bursts; burst A and a header start it again.
  EXPECT_EQ(type(moto(MOTO_BURST_A, 1)), 0x77);
  EXPECT_EQ(type(moto(MOTO_BURST_B, 2)), 0x88);
  EXPECT_EQ(type(moto(MOTO_BURST_A, 3)), 0x77);
  EXPECT_EQ(type(moto(MOTO_BURST_C, 4)), 0x88);
  // A repeat of the previous number is dropped and ends the reader's pass.
  const Bytes repeat = moto(MOTO_BURST_A, 4);
  EXPECT_TRUE(in(repeat));
  EXPECT_TRUE(to_master().empty());
  EXPECT_EQ(type(moto(MOTO_BURST_D, 3)), 0x99) << "an older number is no repeat";
  type(moto(MOTO_VOICE_HEADER, 5));
  EXPECT_EQ(type(moto(MOTO_BURST_B, 6)), 0x77);

  // Slot 1 and packets too short for their kind change nothing.
  Bytes slot1 = moto(MOTO_BURST_B, 7), burst = moto(MOTO_BURST_C, 7);
  slot1[17] &= static_cast<uint8_t>(~MOTO_CALL_INFO_SLOT2);
  EXPECT_EQ(type(slot1), 0);
  EXPECT_EQ(type(moto(MOTO_VOICE_HEADER, 7), MOTO_CALL_HEADER_LEN - 1), 0);
  EXPECT_EQ(type(burst, MOTO_BURST_READ_LEN - 1), 0);
  EXPECT_EQ(type(burst, MOTO_BURST_READ_LEN), 0x88);
  EXPECT_EQ(drops(), (std::vector<uint64_t>{0, 0, 2, 1, 1})) << "authentication, stranger, short, sequence, slot";
}

TEST_F(MotoToMaster, CallsInTheRecordWithLossAndFramesMarkedBad) {
  m2m_wall_ms = [] { return WALL0; };
  // Burst C lost (a gap in the numbers), D with a frame marked bad, E and F
  // lost without a gap (burst A where E was due); the terminator ends it.
  const MotoVoiceKind kinds[] = {MOTO_VOICE_HEADER, MOTO_VOICE_HEADER, MOTO_BURST_A, MOTO_BURST_B,
                                 MOTO_BURST_D,      MOTO_BURST_A,      MOTO_BURST_B, MOTO_VOICE_TERMINATOR};
  const int seqs[] = {100, 101, 102, 103, 105, 106, 107, 108};
  for (int i = 0; i < 8; ++i) {
    Bytes p = moto(kinds[i], seqs[i], true, i == 0);
    if (i == 4) moto_write_frame(p.data(), 2, frames[2], true);
    moto_ms += 60;
    EXPECT_FALSE(in(p));
    EXPECT_TRUE(i != 4 || live_text(CH_REPEATER_SLOT2) == "2622101>262p s2 b3 l1 e0/0 f1/9 end0 240ms")
        << live_text(CH_REPEATER_SLOT2);
  }
  EXPECT_EQ(take_event_texts(), (Texts{"start 2 2622101>262p s2 b0 l0 e0/0 f0/0 end0 0ms",
                                       "end 2 2622101>262p s2 b5 l3 e0/0 f1/15 end1 420ms"}));
  EXPECT_EQ(metrics_get(metrics.voice_packets[DIR_TO_MASTER]), 8u);
  EXPECT_EQ(metrics_get(metrics.calls[DIR_TO_MASTER]), 1u);
}

TEST_F(PositionRelay, PositionReports) {
  std::string text = "ABCDEFGHIJKLMN04807.038N011311.00E,012K,xxxxxxxx";  // manual: '.' at 19 and 30
  text[15] = '\n';
  text[25] = '\x1b';
  EXPECT_FALSE(in(data(6)));
  EXPECT_TRUE(in(data(8))) << "the first block only arms";
  in(data(8, text.substr(0, 16)));
  in(data(8, text.substr(16, 16)));
  const Bytes last = data(8, text.substr(32, 16));
  Bytes slot1 = last;
  slot1[17] = 0;
  EXPECT_FALSE(in(slot1));
  EXPECT_FALSE(in(last, 53));
  EXPECT_TRUE(to_master().empty());
  EXPECT_FALSE(in(last));
  std::vector<Bytes> out = to_master();
  ASSERT_EQ(out.size(), 1u);
  std::string want(POS_REPORT_LEN, '\0');
  want.replace(0, 12, std::string("310123Q6.6\0\x06", 12));
  want.replace(25, 3, "\x28\x02\x95");
  want.replace(43, 9, text.substr(14, 9));
  want.replace(53, 9, text.substr(24, 9));
  want.replace(62, 2, "21");
  EXPECT_EQ(std::string(out[0].begin(), out[0].end()), want);
  EXPECT_EQ(console.str(),
            "[2622101]Decoded GPS Manual [19]: LAT(0?807.038) LONG(0?1311.00) SPEED(012) RPT:3101234\r\n");

  for (int n = 0; n < 8; ++n) in(data(8));
  EXPECT_EQ(to_master().size(), 8u) << "every further block reports";
  EXPECT_EQ(pos_accu_len, 112);

  // A shorter peer text leaves nothing of a longer one behind.
  in(data(8, std::string(16, 'x'), 0x80000000u));
  in(data(8, std::string(16, 'x'), 12345));
  out = to_master();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(std::string(out[1].begin(), out[1].begin() + 16), std::string("123456Q6\0\0\x01\x06\0\0\0\0", 16));
}

TEST_F(MasterToMoto, OpenMasterAnswersKeepTheLinkOnly72BytesAreVoiceNoPositionReports) {
  OpenMasterPort = 50000;
  set_master_link(OPEN_MASTER_LINK);
  master_timer = 7;
  at(1000, {0x41, 0x00});
  EXPECT_EQ(master_timer, 15);
  EXPECT_GT(master_heard_ms(), 0) << "heard on the DMR socket";
  Bytes header = hyt(start_hyt, 50);
  header.push_back(0x00);
  at(1100, header);
  EXPECT_EQ(console.str(), "") << "73 bytes are not voice from an open master";
  header.pop_back();
  at(1200, header);
  EXPECT_TRUE(said("RX SLOT=2"));
  EXPECT_EQ(to_repeater().size(), 1u);

  console.clear();
  in(data(6));
  for (int n = 0; n < 6; ++n) in(data(8));
  EXPECT_TRUE(to_master().empty());
  EXPECT_EQ(console.str().find(" Position reports are not sent to an open master"), 24u);
  EXPECT_EQ(console.str().find("Position reports", 30), std::string::npos) << "said once";
}

}  // namespace
