// SPDX-License-Identifier: GPL-2.0-or-later
// The HomeBrew login against the datagrams of a login, call and close that a
// real master accepted or sent (support/homebrew_vectors.h): ours must come
// out byte for byte, the master's must be understood in each state.
#include "master/homebrew_packet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/homebrew_vectors.h"

namespace {

using Bytes = std::vector<uint8_t>;
using hbv::v;

HbConfig v05_config() {
  return HbConfig{hbv::kCall,     hbv::kPeer,      hbv::kRxHz,   hbv::kTxHz,     hbv::kPower,       hbv::kColourCode,
                  hbv::kLatitude, hbv::kLongitude, hbv::kHeight, hbv::kLocation, hbv::kDescription, '2',
                  hbv::kUrl,      hbv::kSoftware,  hbv::kPackage};
}

std::string field(const uint8_t* rptc, size_t off, size_t len) {
  return std::string(reinterpret_cast<const char*>(rptc) + off, len);
}

// ---- builders -------------------------------------------------------------------

TEST(HomebrewPacket, OurLoginDatagramsAsTheMasterAcceptedThem) {
  uint8_t b[HB_RPTC_LEN];
  hb_rptl(hbv::kPeer, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTL_LEN), v("V01"));
  hb_rptk(hbv::kPeer, hbv::kSalt, "passw0rd", 8, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTK_LEN), v("V03"));
  hb_rptk(3120104, hbv::kSalt2, "wrong-pass", 10, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTK_LEN), v("V24"));
  ASSERT_TRUE(hb_rptc(v05_config(), b));
  EXPECT_EQ(Bytes(b, b + HB_RPTC_LEN), v("V05"));
  EXPECT_EQ(hb_rpto(hbv::kPeer, hbv::kOptions, strlen(hbv::kOptions), b, sizeof b), 33u);
  EXPECT_EQ(Bytes(b, b + 33), v("V07"));
  hb_rptping(hbv::kPeer, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTPING_LEN), v("V09"));
  hb_rptping(3120103, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTPING_LEN), v("V21"));
  hb_rptcl(3120105, b);
  EXPECT_EQ(Bytes(b, b + HB_RPTCL_LEN), v("V26"));

  const std::string many(HB_OPTIONS_MAX + 1, 'x');
  EXPECT_EQ(hb_rpto(1, many.data(), many.size(), b, sizeof b), 0u);
  EXPECT_EQ(hb_rpto(1, many.data(), 10, b, 17), 0u) << "longer than the buffer";
}

TEST(HomebrewPacket, ConfigurationFieldsSitAtTheirOffsets) {
  uint8_t b[HB_RPTC_LEN];
  HbConfig c = v05_config();
  c.latitude = -9.5;
  c.longitude = 7.25;
  c.rx_hz = 999999999;
  c.tx_hz = 0;
  c.power = 99;
  c.colour_code = 15;
  c.height = 999;
  c.location = nullptr;
  c.slots = '4';
  ASSERT_TRUE(hb_rptc(c, b));
  EXPECT_EQ(field(b, 16, 9), "999999999");
  EXPECT_EQ(field(b, 25, 9), "000000000");
  EXPECT_EQ(field(b, 34, 4), "9915");
  EXPECT_EQ(field(b, 38, 8), "-09.5000");
  EXPECT_EQ(field(b, 46, 9), "+007.2500");
  EXPECT_EQ(field(b, 55, 3), "999");
  EXPECT_EQ(field(b, 58, 20), std::string(20, ' '));
  EXPECT_EQ(field(b, 78, 20), "HBP verify peer    4");
  c = v05_config();
  c.latitude = 90;
  c.longitude = -180;
  ASSERT_TRUE(hb_rptc(c, b));
  EXPECT_EQ(field(b, 38, 17), "+90.0000-180.0000");

  // Nothing that does not fit is cut or wrapped: the whole datagram is refused.
  const std::string long20(21, 'L');
  const std::vector<void (*)(HbConfig&)> misfits = {
      [](HbConfig& x) { x.rx_hz = 1000000000; },
      [](HbConfig& x) { x.tx_hz = -1; },
      [](HbConfig& x) { x.power = 100; },
      [](HbConfig& x) { x.colour_code = 16; },
      [](HbConfig& x) { x.height = 1000; },
      [](HbConfig& x) { x.latitude = 90.01; },
      [](HbConfig& x) { x.longitude = -180.5; },
      [](HbConfig& x) { x.latitude = NAN; },
      [](HbConfig& x) { x.callsign = "N0CALLXYZ"; },
      [](HbConfig& x) { x.description = "tab\there"; },
      [](HbConfig& x) { x.slots = '5'; },
  };
  for (size_t i = 0; i < misfits.size(); ++i) {
    c = v05_config();
    misfits[i](c);
    EXPECT_FALSE(hb_rptc(c, b)) << "misfit " << i;
  }
  c = v05_config();
  c.location = long20.c_str();
  EXPECT_FALSE(hb_rptc(c, b));
}

// ---- the master's datagrams ----------------------------------------------------

TEST(HomebrewPacket, MasterDatagramsSortedByTagAndState) {
  struct Case {
    const char* name;
    uint32_t my_id;
    bool salt_expected;
    HbKind kind;
  };
  const Case cases[] = {
      {"V02", hbv::kPeer, true, HB_SALT},
      {"V23", 3120104, true, HB_SALT},
      {"V04", hbv::kPeer, false, HB_ACK},
      {"V06", hbv::kPeer, false, HB_ACK},
      {"V08", hbv::kPeer, false, HB_ACK},
      {"V04", 3120102, false, HB_WRONG_ID},
      {"V10", hbv::kPeer, false, HB_PONG},
      {"V10", 7, true, HB_WRONG_ID},
      {"V22", 3120103, false, HB_NAK},
      {"V25", 3120104, true, HB_NAK},
      {"V27", 3120105, false, HB_NAK},
      {"V27", hbv::kPeer, false, HB_WRONG_ID},
      {"V28", hbv::kPeer, false, HB_CLOSE},
      {"V19", hbv::kPeer, false, HB_DMRD},
      {"V11", 1, true, HB_DMRD},
  };
  for (const Case& c : cases) {
    const Bytes b = v(c.name);
    HbMsg m;
    EXPECT_EQ(hb_classify(b.data(), b.size(), c.my_id, c.salt_expected, &m), c.kind) << c.name;
    EXPECT_EQ(m.kind, c.kind);
    // One byte short or one too many: never taken for what it resembles.
    Bytes longer = b;
    longer.push_back(0);
    EXPECT_EQ(hb_classify(b.data(), b.size() - 1, c.my_id, c.salt_expected, &m), HB_MALFORMED) << c.name;
    EXPECT_EQ(hb_classify(longer.data(), longer.size(), c.my_id, c.salt_expected, &m), HB_MALFORMED) << c.name;
  }
  HbMsg m;
  Bytes b = v("V02");
  hb_classify(b.data(), b.size(), hbv::kPeer, true, &m);
  EXPECT_EQ(Bytes(m.salt, m.salt + 4), Bytes(hbv::kSalt, hbv::kSalt + 4));
  b = v("V04");
  EXPECT_EQ(hb_classify(b.data(), b.size(), hbv::kPeer, true, &m), HB_SALT) << "RPTACK's meaning comes from the state";
  b = v("V22");
  hb_classify(b.data(), b.size(), 1, false, &m);
  EXPECT_EQ(m.id, 3120103u);

  const std::string ignored[] = {
      "", "R", "RPTA", "RPTACX\x00\x2f\x9b\xe5", "MSTPING\x00\x2f\x9b\xe5", "DMR", "RPTCL\x00\x2f\x9b\xe5", "MSTN"};
  for (const std::string& s : ignored)
    EXPECT_EQ(hb_classify(reinterpret_cast<const uint8_t*>(s.data()), s.size(), hbv::kPeer, false, &m), HB_UNKNOWN)
        << s;
  const std::string beacon = "RPTSBKN";
  EXPECT_EQ(hb_classify(reinterpret_cast<const uint8_t*>(beacon.data()), 7, 1, false, &m), HB_BEACON);
  b = v("V19");
  b[15] = 0xB0;  // frame type 3
  EXPECT_EQ(hb_classify(b.data(), b.size(), 1, false, &m), HB_MALFORMED);
}

TEST(HomebrewPacket, DmrdBuiltAndReadAsTheMasterPassedIt) {
  struct Call {
    const char* name;
    uint8_t seq;
    HbFrameType ft;
    uint8_t dtype;
  };
  const Call calls[] = {{"V11", 0x00, HB_FT_DATA_SYNC, HB_DT_VOICE_HEADER},
                        {"V12", 0x01, HB_FT_VOICE_SYNC, 0},
                        {"V13", 0x02, HB_FT_VOICE, 1},
                        {"V14", 0x03, HB_FT_VOICE, 2},
                        {"V15", 0x04, HB_FT_VOICE, 3},
                        {"V16", 0x05, HB_FT_VOICE, 4},
                        {"V17", 0x06, HB_FT_VOICE, 5},
                        {"V18", 0x13, HB_FT_DATA_SYNC, HB_DT_TERMINATOR}};
  uint8_t out[HB_DMRD_LEN];
  for (const Call& c : calls) {
    HbDmrd d{c.seq, hbv::kRadio, hbv::kTalkgroup, hbv::kPeer, 2, false, c.ft, c.dtype, hbv::kStream, 0, 0};
    ASSERT_TRUE(hb_dmrd_build(d, hbv::burst_of(c.name).data(), out));
    EXPECT_EQ(Bytes(out, out + HB_DMRD_LEN), v(c.name)) << c.name;
  }
  HbDmrd priv{0xFA, hbv::kRadio, 3120999, hbv::kPeer, 1, true, HB_FT_DATA_SYNC, 1, 1, 0, 0};
  ASSERT_TRUE(hb_dmrd_build(priv, hbv::burst_of("V20").data(), out));
  EXPECT_EQ(Bytes(out, out + HB_DMRD_LEN), v("V20"));

  // The master's copy carries the receiving peer's ID; both lengths read.
  Bytes in = v("V19");
  in[53] = 3;
  in[54] = 0x5A;
  for (size_t n : {HB_DMRD_LEN, HB_DMRD_SHORT_LEN}) {
    HbDmrd d;
    ASSERT_TRUE(hb_dmrd_parse(in.data(), n, &d));
    EXPECT_EQ(d.repeater, hbv::kOtherPeer);
    EXPECT_EQ(d.src, hbv::kRadio);
    EXPECT_EQ(d.dst, hbv::kTalkgroup);
    EXPECT_EQ(d.stream, hbv::kStream);
    EXPECT_EQ(d.slot, 2);
    EXPECT_FALSE(d.private_call);
    EXPECT_EQ(d.frame_type, HB_FT_DATA_SYNC);
    EXPECT_EQ(d.dtype, HB_DT_VOICE_HEADER);
    EXPECT_EQ(d.ber, n == HB_DMRD_LEN ? 3 : 0);
    EXPECT_EQ(d.rssi, n == HB_DMRD_LEN ? 0x5A : 0);
  }
  HbDmrd d;
  EXPECT_FALSE(hb_dmrd_parse(in.data(), 54, &d));
  HbDmrd bad{0, 1, 1, 1, 3, false, HB_FT_VOICE, 1, 1, 0, 0};
  EXPECT_FALSE(hb_dmrd_build(bad, out, out)) << "slot 3";
  bad.slot = 2;
  bad.dtype = 6;
  EXPECT_FALSE(hb_dmrd_build(bad, out, out)) << "voice burst G";
}

TEST(HomebrewPacket, FlagByteOfEveryKindOfBurst) {
  // The mapping of one voice call: header, A, B..F, terminator, by slot and call type.
  struct Row {
    HbFrameType ft;
    uint8_t dtype;
    uint8_t ts2_group, ts2_private, ts1_group, ts1_private;
  };
  const Row rows[] = {
      {HB_FT_DATA_SYNC, 1, 0xA1, 0xE1, 0x21, 0x61}, {HB_FT_VOICE_SYNC, 0, 0x90, 0xD0, 0x10, 0x50},
      {HB_FT_VOICE, 1, 0x81, 0xC1, 0x01, 0x41},     {HB_FT_VOICE, 5, 0x85, 0xC5, 0x05, 0x45},
      {HB_FT_DATA_SYNC, 2, 0xA2, 0xE2, 0x22, 0x62}, {HB_FT_DATA_SYNC, HB_DT_CSBK, 0xA3, 0xE3, 0x23, 0x63}};
  for (const Row& r : rows) {
    const uint8_t want[4] = {r.ts2_group, r.ts2_private, r.ts1_group, r.ts1_private};
    for (int k = 0; k < 4; ++k) {
      const uint8_t slot = k < 2 ? 2 : 1;
      const bool priv = k % 2 == 1;
      EXPECT_EQ(hb_flags(slot, priv, r.ft, r.dtype), want[k]);
      HbDmrd d;
      ASSERT_TRUE(hb_flags_decode(want[k], &d));
      EXPECT_EQ(d.slot, slot);
      EXPECT_EQ(d.private_call, priv);
      EXPECT_EQ(d.frame_type, r.ft);
      EXPECT_EQ(d.dtype, r.dtype);
    }
  }
  HbDmrd d;
  for (uint8_t f : {0x30, 0xB1, 0x80, 0x86, 0x0F}) EXPECT_FALSE(hb_flags_decode(f, &d)) << int(f);
}

}  // namespace
