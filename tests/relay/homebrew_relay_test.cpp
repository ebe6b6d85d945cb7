// SPDX-License-Identifier: GPL-2.0-or-later
// Both relays with a HomeBrew master behind the master link: the repeater's
// calls become DMRD frames, the master's DMRD frames reach the repeater.
// The bursts and datagrams of the real login and call (V01-V28) are the
// references.
#include <gtest/gtest.h>

#include <set>

#include "auth/hmac_sha1.h"
#include "core/config.h"
#include "core/link_status.h"
#include "core/metrics.h"
#include "core/udp.h"
#include "dmr/ambe_fec.h"
#include "dmr/burst.h"
#include "dmr/golay.h"
#include "master/homebrew.h"
#include "master/homebrew_link.h"
#include "master/master_link.h"
#include "motorola/voice_packet.h"
#include "relay/master_to_moto.h"
#include "relay/moto_relay.h"
#include "support/console_capture.h"
#include "support/fake_net.h"
#include "support/homebrew_vectors.h"
#include "support/moto_voice.h"
#include "support/record_text.h"
#include "support/test_site.h"

namespace {

using Bytes = std::vector<uint8_t>;
using hbv::kRadio, hbv::kTalkgroup;
constexpr int kPort = 62031;
constexpr int64_t T0 = 5000000000, WALL0 = 1700000000000;
int64_t clock_us;

// The repeater's call: two headers, bursts A to F, terminator.
const MotoVoiceKind CALL[9] = {MOTO_VOICE_HEADER, MOTO_VOICE_HEADER, MOTO_BURST_A, MOTO_BURST_B,         MOTO_BURST_C,
                               MOTO_BURST_D,      MOTO_BURST_E,      MOTO_BURST_F, MOTO_VOICE_TERMINATOR};

class HomebrewRelays : public ::testing::Test {
 protected:
  void SetUp() override {
    init_Golay_23_12();
    reset_udp();
    reset_link_status();
    use_test_site();
    reset_master_to_moto();
    reset_moto_relays();
    reset_call_record();
    reset_metrics();
    reset_homebrew();
    reset_homebrew_config();
    RptrID = hbv::kPeer;
    HomebrewPort = kPort;
    snprintf(HomebrewPassphrase, sizeof HomebrewPassphrase, "%s", hbv::kPassphrase);
    set_master_link(HOMEBREW_LINK);
    set_fromUser2(make_addr("192.0.2.2", 50000));
    clock_us = T0;
    v2m_timing = {[] { return clock_us; }, [](int64_t us) { clock_us += us; },
                  [] { return WALL0 + (clock_us - T0) / 1000; }};
    for (unsigned k = 0; k < 3; ++k)
      for (unsigned i = 0; i < AMBE_FRAME_BITS; ++i) frames[k][i] = (i * 3 + k * 7) % 5 < 2;
  }
  void TearDown() override {
    set_master_link(CLASSIC_LINK);
    reset_master_to_moto();
    reset_homebrew();
    reset_homebrew_config();
    reset_config();
    reset_udp();
  }

  // One pass of the master-side reader at `ms`, with `bytes` from the master.
  void at(double ms, const Bytes& bytes = {}) {
    clock_us = T0 + static_cast<int64_t>(ms * 1000);
    if (!bytes.empty()) net.feed(kSiteAudioSock, bytes, "192.0.2.3", kPort);
    send_voice_to_motorola_pass();
  }
  // The reader's passes log in: RPTL, then the master's answers.
  void login() {
    at(0);
    for (const char* answer : {"V02", "V04", "V06"}) at(0, hbv::v(answer));
    ASSERT_EQ(homebrew_state(), HB_RUNNING);
    net.take_sent();
  }
  std::vector<Bytes> sent_to(int sock) {
    std::vector<Bytes> out;
    for (const FakeDatagram& d : net.take_sent())
      if (d.sock == sock) out.push_back(d.bytes);
    return out;
  }
  bool said(const std::string& text) const { return console.str().find(text) != std::string::npos; }

  // A voice packet of the repeater.
  Bytes moto(MotoVoiceKind kind, int seq, bool priv = false, bool first = false) {
    return moto_voice_packet(kind, seq, priv, first, hbv::kPeer, kRadio, kTalkgroup, frames);
  }
  // A DMRD of the master: burst of the vector `burst_from` (its frames and
  // centre), the given numbers; 53 bytes when `shorter`.
  Bytes dmrd(const char* burst_from, uint8_t seq, uint32_t stream, uint8_t slot = 2, uint32_t src = kRadio,
             bool shorter = false, uint8_t ber = 0) {
    const Bytes ref = hbv::v(burst_from);
    HbDmrd d{};
    EXPECT_TRUE(hb_flags_decode(ref[15], &d));
    d.seq = seq;
    d.src = src;
    d.dst = kTalkgroup;
    d.repeater = hbv::kOtherPeer;
    d.slot = slot;
    d.stream = stream;
    d.ber = ber;
    Bytes out(HB_DMRD_LEN);
    hb_dmrd_build(d, ref.data() + HB_BURST_OFFSET, out.data());
    if (shorter) out.resize(HB_DMRD_SHORT_LEN);
    return out;
  }
  uint8_t frames[3][AMBE_FRAME_BITS];
  FakeNet net;
  ConsoleCapture console;
};

// The vectors' call: header V11, bursts A-F V12-V17, terminator V18.
const char* const HB_CALL[8] = {"V11", "V12", "V13", "V14", "V15", "V16", "V17", "V18"};

TEST_F(HomebrewRelays, RepeatersCallsBecomeDmrdFrames) {
  // Before the login nothing goes to the master.
  const Bytes early = moto(MOTO_VOICE_HEADER, 1, false, true);
  EXPECT_FALSE(relay_moto_voice(early.data(), static_cast<int>(early.size()), 1000));
  EXPECT_TRUE(sent_to(kSiteAudioSock).empty());
  login();
  std::set<uint32_t> streams;
  uint32_t previous = 0;
  for (bool priv : {false, true, false}) {
    for (int i = 0; i < 9; ++i) {
      const Bytes p = moto(CALL[i], 200 + i, priv, i == 0);
      relay_moto_voice(p.data(), static_cast<int>(p.size()), 2000 + 60 * i);
    }
    const std::vector<Bytes> out = sent_to(kSiteAudioSock);
    ASSERT_EQ(out.size(), 9u);
    const uint8_t flags[9] = {0xA1, 0xA1, 0x90, 0x81, 0x82, 0x83, 0x84, 0x85, 0xA2};
    HbDmrd d;
    ASSERT_TRUE(hb_dmrd_parse(out[0].data(), out[0].size(), &d));
    const uint32_t stream = d.stream;
    EXPECT_TRUE(stream != 0 && stream != previous) << "a new stream per call, never the previous one";
    streams.insert(stream);
    previous = stream;
    for (unsigned i = 0; i < 9; ++i) {
      const Bytes& f = out[i];
      ASSERT_TRUE(hb_dmrd_parse(f.data(), f.size(), &d));
      EXPECT_EQ(std::make_tuple(f.size(), d.seq, d.src, d.dst, d.repeater, f[15], d.stream),
                std::make_tuple(HB_DMRD_LEN, uint8_t(i), kRadio, kTalkgroup, hbv::kPeer,
                                uint8_t(flags[i] | (priv ? 0x40 : 0)), stream))
          << i;
      // The group call's header and terminator are the real ones; bursts B
      // to F carry the same EMB and embedded LC (the frames are ours).
      const Bytes burst(f.begin() + 20, f.begin() + 53), ref = hbv::burst_of(HB_CALL[i == 0 ? 0 : i - 1]);
      if (priv) continue;
      if (i < 2 || i == 8) {
        EXPECT_EQ(burst, ref) << i;
      } else {
        uint8_t centre[DMR_BURST_CENTRE_BITS], want[DMR_BURST_CENTRE_BITS];
        burst_read_centre(burst.data(), centre);
        burst_read_centre(ref.data(), want);
        EXPECT_TRUE(std::equal(centre, centre + DMR_BURST_CENTRE_BITS, want)) << i;
      }
    }
    EXPECT_EQ(homebrew_tx_stream(), 0u) << "the terminator ends the stream";
  }
  EXPECT_EQ(streams.size(), 3u);
  EXPECT_EQ(metrics_get(metrics.voice_packets[DIR_TO_MASTER]), 27u);

  // Position reports: none, said once.
  Bytes data = moto(MOTO_BURST_B, 0);
  data.resize(54);
  data[0] = 0x84;
  for (int n = 0; n < 7; ++n) {
    data[30] = n == 0 ? 6 : 8;
    relay_moto_data(data.data(), static_cast<int>(data.size()));
  }
  EXPECT_TRUE(sent_to(kSiteAudioSock).empty());
  const std::string out = console.str();
  const size_t first = out.find(" Position reports are not sent to a HomeBrew master\n");
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(out.find("Position reports", first + 10), std::string::npos) << "said once";
}

TEST_F(HomebrewRelays, MastersCallsReachTheRepeater) {
  login();
  // A whole call on TS2 in 53-byte frames, numbered across the wrap.
  const uint32_t S1 = 0x1111, S2 = 0x2222, S3 = 0x3333;
  for (int i = 0; i < 8; ++i) at(1000 + 60 * i, dmrd(HB_CALL[i], static_cast<uint8_t>(252 + i), S1, 2, kRadio, true));
  std::vector<Bytes> out = sent_to(kSiteMotoSock);
  ASSERT_EQ(out.size(), 8u);
  const MotoVoiceKind kinds[8] = {MOTO_VOICE_HEADER, MOTO_BURST_A, MOTO_BURST_B, MOTO_BURST_C,
                                  MOTO_BURST_D,      MOTO_BURST_E, MOTO_BURST_F, MOTO_VOICE_TERMINATOR};
  for (unsigned i = 0; i < 8; ++i)
    EXPECT_EQ(std::make_tuple(out[i].size(), moto_src_id(out[i].data()), moto_dst_id(out[i].data())),
              std::make_tuple(size_t{moto_voice_sent_len(kinds[i])}, kRadio, kTalkgroup))
        << i;
  EXPECT_TRUE(said(" RX SLOT=2 DST_ID=3100 SRC_ID=3120001 TYPE=Voice\n"));
  EXPECT_TRUE(said(" SENDE EIN 1\n") && said(" SENDE AUS 1\n"));
  EXPECT_FALSE(said("Ferr")) << "252..255, 0..3 follow each other";
  // The terminator's stream does not come back as a call.
  at(1600, dmrd("V13", 4, S1));
  EXPECT_TRUE(sent_to(kSiteMotoSock).empty());

  // Late entry: burst C of a new stream gets a header first; a second stream
  // meanwhile is dropped; a gap and a repeat mod 256.
  console.clear();
  at(3000, dmrd("V14", 255, S2));
  out = sent_to(kSiteMotoSock);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(std::make_pair(moto_marker(out[0].data()), moto_src_id(out[0].data())),
            std::make_pair(MOTO_MARKER_FIRST_HEADER, kRadio));
  EXPECT_TRUE(said(" SENDE EIN 2\n"));
  at(3060, dmrd("V15", 0, S3, 2, 3120999));  // another stream: a stranger
  at(3120, dmrd("V15", 0, S2));
  at(3180, dmrd("V15", 0, S2));  // again: dropped
  at(3240, dmrd("V17", 2, S2));  // one lost
  EXPECT_TRUE(said("Ferr: 0 2\n"));
  EXPECT_EQ(sent_to(kSiteMotoSock).size(), 2u);
  EXPECT_EQ(drops()[DROP_STRANGER], 1u);
  EXPECT_EQ(drops()[DROP_SEQUENCE], 2u) << "the ended stream's burst, the repeat";
  // The late call times out after 3 s; then the other stream starts the next.
  at(6240);
  EXPECT_TRUE(said(" SENDE TIMEOUT 2\n"));
  at(6300, dmrd("V12", 9, S3, 2, 3120999));
  EXPECT_EQ(sent_to(kSiteMotoSock).size(), 2u);
  EXPECT_TRUE(said(" SENDE EIN 3\n"));
}

TEST_F(HomebrewRelays, SendersBerInTheRecordTs1ShownAndDataIgnored) {
  login();
  at(1000, dmrd("V11", 0, 7));
  at(1060, dmrd("V12", 1, 7, 2, kRadio, false, 3));
  at(1120, dmrd("V13", 2, 7, 2, kRadio, false, 2));
  CallFigures f;
  ASSERT_TRUE(call_record_live(CH_MASTER_SLOT2, &f));
  EXPECT_EQ(std::make_tuple(f.bursts, f.bit_errors, f.bits, f.ber_byte), std::make_tuple(2u, 5u, 282u, uint8_t(1)));

  // TS1: shown and in the record, never relayed.
  net.take_sent();
  for (int i = 0; i < 8; ++i) at(2000 + 60 * i, dmrd(HB_CALL[i], static_cast<uint8_t>(i), 9, 1, 3120777));
  EXPECT_TRUE(said(" RX SLOT=1 DST_ID=3100 SRC_ID=3120777 TYPE=Voice\n"));
  EXPECT_TRUE(sent_to(kSiteMotoSock).empty());

  // A CSBK (data sync, data type 3) is no voice: ignored.
  console.clear();
  Bytes csbk = dmrd("V11", 0, 11, 2, 3120555);
  csbk[15] = 0xA3;
  at(3000, csbk);
  EXPECT_EQ(console.str(), "");
  EXPECT_TRUE(sent_to(kSiteMotoSock).empty());
}

}  // namespace
