// SPDX-License-Identifier: GPL-2.0-or-later
#include "master/hytera_packet.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "support/templates.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(HyteraPacket, TemplatesMatchTheReference) {
  const std::pair<const uint8_t*, const char*> all[] = {
      {sync_hyt, ref::sync_hyt},     {start_hyt, ref::start_hyt},   {ende_hyt, ref::ende_hyt},
      {Voice_hyt1, ref::Voice_hyt1}, {Voice_hyt2, ref::Voice_hyt2}, {Voice_hyt3, ref::Voice_hyt3},
      {Voice_hyt4, ref::Voice_hyt4}, {Voice_hyt5, ref::Voice_hyt5}, {Voice_hyt6, ref::Voice_hyt6}};
  for (const auto& [pkt, hex] : all) EXPECT_EQ(ref::mismatch(hex, pkt, HYT_PACKET_LEN), -1) << hex;
  for (int pos = 1; pos <= 6; ++pos) EXPECT_EQ(hyt_voice_template(pos), all[2 + pos].first);
  EXPECT_EQ(hyt_voice_template(0), nullptr);
  EXPECT_EQ(hyt_voice_template(7), nullptr);
}

TEST(HyteraPacket, FieldsAndBurstArea) {
  Bytes pkt(HYT_PACKET_LEN, 0xEE);
  uint8_t burst[33], back[33];
  for (uint8_t k = 0; k < 33; ++k) burst[k] = k + 1;
  hyt_write_burst(pkt.data(), burst);
  EXPECT_EQ(Bytes(pkt.begin() + 25, pkt.begin() + 29), (Bytes{0xEE, 2, 1, 4}));
  EXPECT_EQ(Bytes(pkt.begin() + 56, pkt.begin() + 61), (Bytes{32, 31, 0xEE, 33, 0xEE})) << "58 is a pad byte";
  hyt_read_burst(pkt.data(), back);
  EXPECT_EQ(Bytes(back, back + 33), Bytes(burst, burst + 33));

  uint8_t* p = pkt.data();
  std::copy(Voice_hyt2, Voice_hyt2 + HYT_PACKET_LEN, p);
  hyt_write_seq(p, 0x1234);
  hyt_write_dst(p, 262);
  hyt_write_src(p, 0xA1B2C3);
  hyt_write_call_type(p, true);
  EXPECT_EQ(Bytes(p + 4, p + 6), (Bytes{0x34, 0x12}));
  EXPECT_EQ(Bytes(p + 62, p + 72), (Bytes{0x00, 0, 0x06, 0x01, 0x00, 0, 0xC3, 0xB2, 0xA1, 0}));
  EXPECT_EQ(std::make_tuple(hyt_seq(p), hyt_dst(p), hyt_src(p), hyt_private(p), hyt_packet_type(p), hyt_frame_type(p),
                            hyt_slot(p)),
            std::make_tuple(0x1234, 262u, 0xA1B2C3u, true, HYT_TYPE_VOICE, 0x88, 2));
  hyt_write_call_type(p, false);
  EXPECT_EQ(p[62], 0x01);
  p[0] = 'A';
  EXPECT_EQ(hyt_slot(p), 0) << "a packet that begins with 'A' is slot 0";

  Bytes sync(sync_hyt, sync_hyt + HYT_PACKET_LEN);
  hyt_write_sync_src(sync.data(), 0xA1B2C3);
  EXPECT_EQ(Bytes(sync.begin() + 38, sync.begin() + 44), (Bytes{0xA1, 0, 0xB2, 0, 0xC3, 0}));
}

TEST(HyteraPacket, LinkControlBurstsOfHeaderAndTerminator) {
  // The templates' own call, group 9 from 2622101, gives back the templates:
  // link control, check under the kind's mask, coding and bit places at once.
  const uint8_t own[9] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x28, 0x02, 0x95};
  for (auto [tmpl, mask] : {std::pair{start_hyt, uint8_t{0x96}}, std::pair{ende_hyt, uint8_t{0x99}}}) {
    Bytes pkt(tmpl, tmpl + HYT_PACKET_LEN);
    const uint8_t other[9] = {0x03, 0x00, 0x00, 0x12, 0x34, 0x56, 0x9A, 0xBC, 0xDE};
    hyt_write_lc_burst(pkt.data(), other, mask);
    EXPECT_NE(pkt, Bytes(tmpl, tmpl + HYT_PACKET_LEN));
    hyt_write_lc_burst(pkt.data(), own, mask);
    EXPECT_EQ(pkt, Bytes(tmpl, tmpl + HYT_PACKET_LEN)) << "every other bit untouched";
  }
}

}  // namespace
