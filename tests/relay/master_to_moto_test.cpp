#include "relay/master_to_moto.h"

#include <algorithm>
#include <tuple>

#include "core/link_status.h"
#include "dmr/embedded_lc.h"
#include "dmr/full_lc.h"
#include "master/hytera_packet.h"
#include "relay/burst_recode.h"
#include "relay_fixture.h"

namespace {

constexpr uint32_t SRC = 2622101, OTHER = 2620999, DST = 262;
constexpr int64_t T0 = 5000000000;
int64_t clock_us, wall_s;
std::vector<int64_t> sleeps;
const uint8_t* const CALL[9] = {start_hyt,  start_hyt,  Voice_hyt1, Voice_hyt2, Voice_hyt3,
                                Voice_hyt4, Voice_hyt5, Voice_hyt6, ende_hyt};

// The call's embedded link control; fragment n for burst B + n at 32 n.
void embedded_lc(bool priv, uint32_t src, uint8_t* out) {
  uint8_t lc[FULL_LC_BYTES];
  full_lc_build(priv, DST, src, lc);
  encode_MultiBlockEmbeddedLC(lc, lc + 3, lc + 6, out);
}

class MasterToMoto : public RelayTest {
 protected:
  void SetUp() override {
    RelayTest::SetUp();
    reset_master_to_moto();
    set_fromUser2(make_addr("192.0.2.2", 50000));
    clock_us = T0;
    wall_s = 1700000000;
    sleeps.clear();
    v2m_timing = {[] { return clock_us; }, [](int64_t us) { sleeps.push_back(us), clock_us += us; },
                  [] { return wall_s; }};
  }
  void TearDown() override { reset_master_to_moto(); }

  // A packet from the master on template `tmpl`; a burst carries the frames
  // and, in B to E, its fragment of the call's embedded link control.
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
    if (letter >= 0 && letter <= 5) hyt_write_burst(p.data(), burst);
    return p;
  }
  // One pass at `ms` milliseconds, with `bytes` from the master if any.
  void at(double ms, const Bytes& bytes = {}) {
    clock_us = T0 + static_cast<int64_t>(ms * 1000);
    if (!bytes.empty()) net.feed(kSiteAudioSock, bytes, "192.0.2.3", 62006);
    send_voice_to_motorola_pass();
  }
  // What went to the repeater, each checked for its tag.
  std::vector<Bytes> sent() {
    std::vector<Bytes> out = take(kSiteMotoSock, "192.0.2.2:50000");
    Sha1Context ctx;
    for (const Bytes& p : out) EXPECT_TRUE(auth_tag_ok(ctx, Key, p.data(), static_cast<uint32_t>(p.size())));
    return out;
  }
};

TEST_F(MasterToMoto, CallsRelayedToTheRepeater) {
  Bytes first_tag;
  for (int call = 1; call <= 2; ++call) {
    const bool priv = call == 2;
    wall_s += call;
    for (int i = 0; i < 9; ++i) at(1000.0 * call + 60 * i, hyt(CALL[i], 100 * call + i, SRC, 2, priv));
    const std::vector<Bytes> got = sent();
    ASSERT_EQ(got.size(), 9u);
    const Bytes tag(got[0].begin() + 13, got[0].begin() + 17);
    uint8_t lc[EMBEDDED_LC_BITS], embedded[DMR_EMBEDDED_BITS], frame[AMBE_FRAME_BITS];
    embedded_lc(priv, SRC, lc);
    for (unsigned i = 0; i < got.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "call " << call << " packet " << i);
      const uint8_t* p = got[i].data();
      const MotoVoiceKind kind = CALL_KINDS[i];
      EXPECT_EQ(std::make_tuple(got[i].size(), moto_peer_id(p), moto_call_seq(p), moto_private(p), moto_src_id(p),
                                moto_dst_id(p), moto_rtp_seq(p), moto_rtp_timestamp(p), Bytes(p + 13, p + 17)),
                std::make_tuple(size_t{moto_voice_sent_len(kind)}, 0x00ABCDEFu, uint8_t(call), priv, SRC, DST,
                                uint16_t(100 * call + i), MOT_TIME_START + 480 * (9 * call - 8 + i), tag));
      for (unsigned k = 0; kind >= MOTO_BURST_A && k < 3; ++k) {
        moto_read_frame(p, k, frame);
        EXPECT_TRUE(!moto_frame_bad(p, k) && std::equal(frame, frame + AMBE_FRAME_BITS, frames[k])) << k;
      }
      moto_read_embedded(p, embedded);
      EXPECT_TRUE(kind < MOTO_BURST_B || kind > MOTO_BURST_E || std::equal(embedded, embedded + 32, lc + 32 * (i - 3)));
    }
    EXPECT_EQ(moto_marker(got[0].data()), MOTO_MARKER_FIRST_HEADER);
    EXPECT_EQ(moto_marker(got[1].data()), MOTO_MARKER_HEADER);
    EXPECT_TRUE(call == 1 || tag != first_tag) << "a call in another second draws another tag";
    first_tag = tag;
    const std::string n = std::to_string(call),
                      lines[] = {" RX SLOT=2 DST_ID=262 SRC_ID=2622101 TYPE=Voice\n", " SENDE EIN " + n + "\n",
                                 " EMB-Decode Slot:2 DestID:262 SrcID:2622101\r\n",
                                 " VOICE RX SLOT 2 ENDE USER_ID=2622101 \n", " SENDE AUS " + n + "\n"};
    for (const std::string& line : lines) EXPECT_TRUE(said(line)) << line;
  }
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
  for (const Bytes& p : sent()) seqs.push_back(moto_rtp_seq(p.data()));
  EXPECT_EQ(seqs, (std::vector<uint16_t>{9, 10, 12, 0, 1}));
  EXPECT_EQ(transmitting, 0);

  // Slot 1 is shown only; slots beyond 2 are neither shown nor relayed.
  console.clear();
  for (int i = 0; i < 9; ++i) at(2000 + 60 * i, hyt(CALL[i], 20 + i, SRC, 1));
  EXPECT_TRUE(said(" RX SLOT=1 DST_ID=262 SRC_ID=2622101 TYPE=Voice\n"));
  EXPECT_TRUE(said(" VOICE RX SLOT 1 ENDE USER_ID=2622101 \n"));
  console.clear();
  at(2600, hyt(start_hyt, 30, SRC, 3));
  EXPECT_EQ(console.str(), "");
  EXPECT_TRUE(sent().empty());
}

TEST_F(MasterToMoto, PacingTimeoutKeepAlivesAndLengths) {
  at(1000, hyt(start_hyt, 80));
  at(1020, hyt(start_hyt, 81));  // held back to 60 ms after the previous send
  EXPECT_TRUE(said(" add delay: 20000 us at pacnum: 81\n"));
  at(1117.999, hyt(Voice_hyt1, 82));  // 57.999 ms after it: stretched to 60
  at(1178, hyt(Voice_hyt2, 83));      // 58 ms: at once
  EXPECT_EQ(sleeps, (std::vector<int64_t>{40000, 2001}));
  EXPECT_EQ(sent().size(), 4u);

  // A call silent for 3 s ends, and nothing is sent for it.
  at(4177.999);
  EXPECT_FALSE(said("TIMEOUT"));
  at(4178);
  EXPECT_TRUE(said(" SENDE TIMEOUT 1\n"));
  EXPECT_EQ(transmitting, 0);
  EXPECT_TRUE(sent().empty());

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
  EXPECT_EQ(sent().size(), 1u);

  // Before the repeater was first heard there is nowhere to send to.
  set_fromUser2(sockaddr_in{});
  at(5200, hyt(Voice_hyt1, 7));
  EXPECT_TRUE(sent().empty());
}

using BurstRecode = RelayTest;

TEST_F(BurstRecode, FramesTooDamagedAreReplaced) {
  // Coded bits whose flip the decoder counts in the A or in the B codeword.
  std::vector<unsigned> in_a, in_b;
  for (unsigned i = 0; i < AMBE_CODED_BITS; ++i) {
    uint8_t coded[AMBE_CODED_BITS], frame[AMBE_FRAME_BITS], a = 0, b = 0;
    codiere_AMBEplus2_33(coded, AMBE_MODE_PLAIN, frames[1]);
    coded[i] ^= 1;
    decodiere_AMBEplus2_33(coded, &a, &b, AMBE_MODE_PLAIN, frame);
    if (a + b == 1) (a ? in_a : in_b).push_back(i);
  }
  ASSERT_EQ(in_a.size() + in_b.size(), 46u);
  // Errors in A and B of the middle frame, whether it is replaced, BER line
  // (4 in A are detected and counted as 4 + 3).
  const std::tuple<unsigned, unsigned, bool, const char*> cases[] = {
      {3, 2, false, "3.546099"}, {1, 3, false, "2.836879"}, {2, 3, true, "3.546099"}, {4, 0, true, "4.964539"}};
  for (const auto& [errors_a, errors_b, replaced, ber] : cases) {
    uint8_t burst[DMR_BURST_BYTES] = {}, coded[AMBE_CODED_BITS], pkt[MOTO_VOICE_MAX_LEN], frame[AMBE_FRAME_BITS];
    put_frames(burst);
    burst_read_voice_frame(burst, 1, coded);
    for (unsigned n = 0; n < errors_a; ++n) coded[in_a[n]] ^= 1;
    for (unsigned n = 0; n < errors_b; ++n) coded[in_b[n]] ^= 1;
    burst_write_voice_frame(burst, 1, coded);
    moto_voice_begin(MOTO_BURST_A, pkt);
    console.clear();
    recode_burst(MOTO_BURST_A, burst, pkt, 2);
    EXPECT_EQ(console.str(), "BER : " + std::string(ber) + "%\r\n");
    for (unsigned k = 0; k < 3; ++k) {
      const bool bad = k == 1 && replaced;
      moto_read_frame(pkt, k, frame);
      EXPECT_TRUE(moto_frame_bad(pkt, k) == bad &&
                  std::equal(frame, frame + 49, bad ? MOTO_FRAME_SUBSTITUTE : frames[k]));
    }
  }
}

}  // namespace
