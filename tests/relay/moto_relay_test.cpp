#include "relay/moto_relay.h"

#include <tuple>

#include "dmr/emb.h"
#include "dmr/embedded_lc.h"
#include "dmr/full_lc.h"
#include "master/hytera_packet.h"
#include "motorola/link_control.h"
#include "relay/position_relay.h"
#include "relay_fixture.h"

namespace {

constexpr uint32_t SRC = 2622101, DST = 9, PEER = 3101234;

Bytes burst_of(const Bytes& hyt) {
  Bytes b(DMR_BURST_BYTES);
  hyt_read_burst(hyt.data(), b.data());
  return b;
}

class MotoRelays : public RelayTest {
 protected:
  void SetUp() override {
    RelayTest::SetUp();
    reset_moto_relays();
  }
  void TearDown() override { reset_moto_relays(); }

  // A voice packet of `kind` from the repeater, frames in a burst, unsigned.
  Bytes moto(MotoVoiceKind kind, int seq, bool priv = false, bool first = false, uint32_t peer = PEER) {
    Bytes p(MOTO_VOICE_MAX_LEN);
    p.resize(moto_voice_begin(kind, p.data()) - AUTH_TAG_LEN);
    MotoCall call{priv, {}, 7, SRC, DST, {1, 2, 3, 4}};
    for (int i = 0; i < 4; ++i) call.peer_id[i] = static_cast<uint8_t>(peer >> (24 - 8 * i));
    moto_write_call(p.data(), kind, call);
    moto_write_rtp(p.data(), static_cast<uint16_t>(seq), 1000);
    if (kind == MOTO_VOICE_HEADER) moto_write_header_marker(p.data(), first);
    for (unsigned k = 0; kind >= MOTO_BURST_A && k < 3; ++k) moto_write_frame(p.data(), k, frames[k], false);
    return p;
  }
  // A data packet: the voice packets' call header, type (6 header, 8 block)
  // at 30, payload at 38-53.
  Bytes data(uint8_t type, const std::string& payload = "", uint32_t peer = PEER) {
    Bytes p = moto(MOTO_BURST_B, 0, false, false, peer);
    p.resize(54);
    p[0] = 0x84;
    p[30] = type;
    std::fill(p.begin() + 38, p.end(), 0);
    payload.copy(reinterpret_cast<char*>(p.data() + 38), 16);
    return p;
  }
  std::vector<Bytes> voice(const Bytes& p, size_t len = 0) {
    EXPECT_FALSE(relay_moto_voice(p.data(), static_cast<int>(len ? len : p.size())));
    return to_master();
  }
  bool data_in(const Bytes& p, size_t len = 0) {
    return relay_moto_data(p.data(), static_cast<int>(len ? len : p.size()));
  }
  // Data header, the block that only arms, then `text` in blocks of 16.
  std::vector<Bytes> transmission(const std::string& text, uint32_t peer = PEER) {
    data_in(data(6, "", peer));
    data_in(data(8, "", peer));
    for (size_t at = 0; at < text.size(); at += 16) data_in(data(8, text.substr(at, 16), peer));
    return to_master();
  }
  std::vector<Bytes> to_master() { return take(kSiteAudioSock, "192.0.2.3:62006"); }
};

TEST_F(MotoRelays, VoiceCallsToTheMaster) {
  for (bool priv : {false, true}) {
    SCOPED_TRACE(priv ? "private" : "group");
    reset_embedded_lc_collector();
    std::vector<Bytes> out;
    for (int i = 0; i < 9; ++i) {
      const std::vector<Bytes> one = voice(moto(CALL_KINDS[i], 100 + i, priv, i == 0));
      out.insert(out.end(), one.begin(), one.end());
    }
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
    Bytes head(start_hyt, start_hyt + HYT_PACKET_LEN), end(ende_hyt, ende_hyt + HYT_PACKET_LEN);
    hyt_write_lc_burst(head.data(), lc, RS129_MASK_VOICE_LC_HEADER);
    hyt_write_lc_burst(end.data(), lc, RS129_MASK_TERMINATOR_LC);
    EXPECT_EQ(burst_of(out[1]), burst_of(head));
    EXPECT_EQ(burst_of(out[8]), burst_of(end));
  }
  EXPECT_TRUE(said(" Moto RX+ slot:2 destination_id:9 source_id:2622101 rptr_id:3101234\n"));
  EXPECT_TRUE(said(" Moto RX- ID:2622101\n"));
}

TEST_F(MotoRelays, BurstPositionRepeatsSlotOneAndShortPackets) {
  auto type = [&](MotoVoiceKind kind, int seq) {
    const std::vector<Bytes> out = voice(moto(kind, seq));
    return out.size() == 1 ? hyt_frame_type(out[0].data()) : 0;
  };
  // The position counts bursts; burst A and a header start it again.
  EXPECT_EQ(type(MOTO_BURST_A, 1), 0x77);
  EXPECT_EQ(type(MOTO_BURST_B, 2), 0x88);
  EXPECT_EQ(type(MOTO_BURST_A, 3), 0x77);
  EXPECT_EQ(type(MOTO_BURST_C, 4), 0x88);
  // A repeat of the previous number is dropped and ends the reader's pass.
  const Bytes repeat = moto(MOTO_BURST_A, 4);
  EXPECT_TRUE(relay_moto_voice(repeat.data(), static_cast<int>(repeat.size())));
  EXPECT_TRUE(to_master().empty());
  EXPECT_EQ(type(MOTO_BURST_D, 3), 0x99) << "an older number is no repeat";
  voice(moto(MOTO_VOICE_HEADER, 5));
  EXPECT_EQ(type(MOTO_BURST_B, 6), 0x77);

  // Slot 1 and packets too short for their kind change nothing.
  Bytes slot1 = moto(MOTO_BURST_B, 7), burst = moto(MOTO_BURST_C, 7);
  slot1[17] &= static_cast<uint8_t>(~MOTO_CALL_INFO_SLOT2);
  EXPECT_TRUE(voice(slot1).empty());
  EXPECT_TRUE(voice(moto(MOTO_VOICE_HEADER, 7), MOTO_CALL_HEADER_LEN - 1).empty());
  EXPECT_TRUE(voice(burst, MOTO_BURST_READ_LEN - 1).empty());
  const std::vector<Bytes> out = voice(burst, MOTO_BURST_READ_LEN);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(hyt_frame_type(out[0].data()), 0x88);
}

TEST_F(MotoRelays, ReaderHandsVoiceAndDataOver) {
  install_moto_relays();
  reset_moto_reader();
  pos_accu_len = 48;
  for (Bytes p : {moto(MOTO_VOICE_HEADER, 1, false, true), data(6)}) {
    const uint32_t len = static_cast<uint32_t>(p.size());
    p.resize(len + AUTH_TAG_LEN);
    Sha1Context ctx;
    auth_tag(ctx, Key, p.data(), len, p.data() + len);
    net.feed(kSiteMotoSock, p, "192.0.2.2", 50000);
    moto_reader_pass(0);
  }
  EXPECT_EQ(to_master().size(), 1u);
  EXPECT_EQ(pos_accu_len, 0);
}

TEST_F(MotoRelays, PositionReports) {
  std::string text = "ABCDEFGHIJKLMN04807.038N011311.00E,012K,xxxxxxxx";  // manual: '.' at 19 and 30
  text[15] = '\n';
  text[25] = '\x1b';
  EXPECT_FALSE(data_in(data(6)));
  EXPECT_TRUE(data_in(data(8))) << "the first block only arms";
  data_in(data(8, text.substr(0, 16)));
  data_in(data(8, text.substr(16, 16)));
  const Bytes last = data(8, text.substr(32, 16));
  Bytes slot1 = last, other = last;
  slot1[17] = 0;
  other[30] = 7;
  EXPECT_FALSE(data_in(slot1));
  EXPECT_TRUE(data_in(other));
  EXPECT_FALSE(data_in(last, 53));
  EXPECT_TRUE(to_master().empty());
  EXPECT_FALSE(data_in(last));
  std::vector<Bytes> out = to_master();
  ASSERT_EQ(out.size(), 1u);
  std::string want(POS_REPORT_LEN, '\0');
  want.replace(0, 12, std::string("310123Q6.6\0\x09", 12));
  want.replace(25, 3, "\x28\x02\x95");
  want.replace(43, 9, text.substr(14, 9));
  want.replace(53, 9, text.substr(24, 9));
  want.replace(62, 2, "21");
  EXPECT_EQ(std::string(out[0].begin(), out[0].end()), want);
  EXPECT_EQ(console.str(),
            "[2622101]Decoded GPS Manual [19]: LAT(0?807.038) LONG(0?1311.00) SPEED(012) RPT:3101234\r\n");

  for (int n = 0; n < 8; ++n) data_in(data(8));
  EXPECT_EQ(to_master().size(), 8u) << "every further block reports";
  EXPECT_EQ(pos_accu_len, 112);

  // A shorter peer text leaves nothing of a longer one behind.
  transmission(std::string(48, 'x'), 0x80000000u);
  data_in(data(8, "", 12345));
  out = to_master();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::string(out[0].begin(), out[0].begin() + 16), std::string("123456Q6\0\0\0\x09\0\0\0\0", 16));
}

}  // namespace
