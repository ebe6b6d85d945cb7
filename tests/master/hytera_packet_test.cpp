#include "master/hytera_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hytera_table.h"
#include "support/dmr_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::vector<std::pair<const char*, const uint8_t*>>& templates() {
  static const std::vector<std::pair<const char*, const uint8_t*>> t = {
      {"sync_hyt", sync_hyt},     {"start_hyt", start_hyt},   {"ende_hyt", ende_hyt},
      {"Voice_hyt1", Voice_hyt1}, {"Voice_hyt2", Voice_hyt2}, {"Voice_hyt3", Voice_hyt3},
      {"Voice_hyt4", Voice_hyt4}, {"Voice_hyt5", Voice_hyt5}, {"Voice_hyt6", Voice_hyt6}};
  return t;
}

Bytes of(const uint8_t* p, size_t n = HYT_PACKET_LEN) {
  return Bytes(p, p + n);
}

int image_bit(const Bytes& image, unsigned bit) {
  return (image[bit / 8] >> (7 - bit % 8)) & 1;
}

TEST(HyteraPacket, TemplatesAsTabled) {
  for (const auto& [name, tmpl] : templates()) {
    std::vector<bool> variable;
    Bytes want = hyt_table::bytes(name, &variable);
    ASSERT_EQ(want.size(), HYT_PACKET_LEN) << name;
    for (unsigned i = 0; i < HYT_PACKET_LEN; ++i)
      if (!variable[i]) {
        EXPECT_EQ(tmpl[i], want[i]) << name << " byte " << i;
      }
    EXPECT_EQ(tmpl[58], 0x00) << name << ": the pad byte";
  }
  // The voice LC header keeps its slot type and data sync where the table
  // marks the source ID.
  EXPECT_EQ(start_hyt[38], 0x6D);
  EXPECT_EQ(start_hyt[40], 0x57);
  EXPECT_EQ(start_hyt[42], 0x5D);
  for (int pos = 1; pos <= 6; ++pos) EXPECT_EQ(hyt_voice_template(pos), templates()[2 + pos].second);
  EXPECT_EQ(hyt_voice_template(0), nullptr);
  EXPECT_EQ(hyt_voice_template(7), nullptr);
}

TEST(HyteraPacket, BurstAreaIsCarriedInExchangedPairs) {
  Bytes pkt(HYT_PACKET_LEN, 0xEE);
  uint8_t burst[33];
  for (unsigned k = 0; k < 33; ++k) burst[k] = static_cast<uint8_t>(k + 1);
  hyt_write_burst(pkt.data(), burst);
  EXPECT_EQ(pkt[26], 2);
  EXPECT_EQ(pkt[27], 1);
  EXPECT_EQ(pkt[56], 32);
  EXPECT_EQ(pkt[57], 31);
  EXPECT_EQ(pkt[59], 33) << "the burst's last byte";
  EXPECT_EQ(pkt[58], 0xEE) << "the pad byte is never part of the burst";
  EXPECT_EQ(pkt[25], 0xEE);
  EXPECT_EQ(pkt[60], 0xEE);
  uint8_t back[33];
  hyt_read_burst(pkt.data(), back);
  EXPECT_EQ(of(back, 33), of(burst, 33));

  Bytes swapped = pkt;
  hyt_swap_pairs(swapped.data());
  for (unsigned k = 0; k < 33; ++k) EXPECT_EQ(swapped[26 + k], burst[k]);
  hyt_swap_pairs(swapped.data());
  EXPECT_EQ(swapped, pkt);
}

TEST(HyteraPacket, BurstCentresOfTheVoiceTemplates) {
  // Burst A: the base-station voice sync at image bits 316-363.
  Bytes image = of(Voice_hyt1);
  hyt_swap_pairs(image.data());
  const uint64_t sync = 0x755FD7DF75F7;
  for (unsigned i = 0; i < 48; ++i) EXPECT_EQ(image_bit(image, 316 + i), int((sync >> (47 - i)) & 1)) << i;

  // Bursts B-F: EMB of colour code 1, PI 0 and LCSS 1, 3, 3, 2, 0.
  const uint16_t emb[] = {0x1391, 0x1774, 0x1774, 0x1507, 0x11E2};
  for (int pos = 2; pos <= 6; ++pos) {
    Bytes img = of(hyt_voice_template(pos));
    hyt_swap_pairs(img.data());
    uint16_t v = 0;
    for (unsigned i = 0; i < 8; ++i) v = static_cast<uint16_t>(v << 1 | image_bit(img, 316 + i));
    for (unsigned i = 40; i < 48; ++i) v = static_cast<uint16_t>(v << 1 | image_bit(img, 316 + i));
    EXPECT_EQ(v, emb[pos - 2]) << pos;
  }
}

TEST(HyteraPacket, FieldByteOrders) {
  Bytes pkt = of(Voice_hyt2);
  hyt_write_seq(pkt.data(), 0x1234);
  EXPECT_EQ(pkt[4], 0x34);
  EXPECT_EQ(pkt[5], 0x12);
  hyt_write_dst(pkt.data(), 262);
  EXPECT_EQ(of(pkt.data() + 64, 4), (Bytes{0x06, 0x01, 0x00, 0x00}));
  hyt_write_src(pkt.data(), 0xA1B2C3);
  EXPECT_EQ(of(pkt.data() + 68, 4), (Bytes{0xC3, 0xB2, 0xA1, 0x00}));
  hyt_write_call_type(pkt.data(), true);
  EXPECT_EQ(pkt[62], 0x00);
  EXPECT_TRUE(hyt_private(pkt.data()));
  hyt_write_call_type(pkt.data(), false);
  EXPECT_EQ(pkt[62], 0x01);
  EXPECT_EQ(hyt_seq(pkt.data()), 0x1234);
  EXPECT_EQ(hyt_dst(pkt.data()), 262u);
  EXPECT_EQ(hyt_src(pkt.data()), 0xA1B2C3u);
  EXPECT_EQ(hyt_slot(pkt.data()), 2);
  pkt[0] = 0x41;
  EXPECT_EQ(hyt_slot(pkt.data()), 0) << "a packet that begins with 'A' is slot 0";

  Bytes sync = of(sync_hyt);
  hyt_write_sync_src(sync.data(), 0xA1B2C3);
  EXPECT_EQ(sync[38], 0xA1);
  EXPECT_EQ(sync[40], 0xB2);
  EXPECT_EQ(sync[42], 0xC3);
  EXPECT_EQ(sync[39] | sync[41] | sync[43], 0);
}

// The 196 link-control bits (burst bits 0-97, 166-263) of a packet.
std::vector<uint8_t> lc_bits(const Bytes& pkt) {
  uint8_t burst[33];
  hyt_read_burst(pkt.data(), burst);
  std::vector<uint8_t> bits;
  for (unsigned i = 0; i < 264; ++i)
    if (i < 98 || i >= 166) bits.push_back((burst[i / 8] >> (7 - i % 8)) & 1);
  return bits;
}

TEST(HyteraPacket, LinkControlBurstsOfHeaderAndTerminator) {
  // The templates' own call, group call to 9 from 2622101, reproduces them.
  const uint8_t lc[9] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x28, 0x02, 0x95};
  for (auto [tmpl, mask] : {std::pair{start_hyt, uint8_t{0x96}}, std::pair{ende_hyt, uint8_t{0x99}}}) {
    Bytes pkt = of(tmpl);
    uint8_t burst[33] = {};
    hyt_write_burst(pkt.data(), burst);  // start from a cleared burst
    hyt_write_lc_burst(pkt.data(), lc, mask);
    Bytes want = hyt_table::bytes(tmpl == start_hyt ? "start_hyt" : "ende_hyt");
    EXPECT_EQ(lc_bits(pkt), lc_bits(want));
  }

  // Any other call: the bits decode to its link control and a valid check
  // under the kind's mask; slot type and sync are not touched.
  const uint8_t priv[9] = {0x03, 0x00, 0x00, 0x12, 0x34, 0x56, 0x9A, 0xBC, 0xDE};
  for (auto [tmpl, mask] : {std::pair{start_hyt, uint8_t{0x96}}, std::pair{ende_hyt, uint8_t{0x99}}}) {
    Bytes pkt = of(tmpl);
    hyt_write_lc_burst(pkt.data(), priv, mask);
    std::vector<uint8_t> bits = lc_bits(pkt);
    dmr_ref::BptcResult r = dmr_ref::bptc196_decode(bits.data());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.corrected, 0u);
    EXPECT_EQ(of(r.data.data(), 9), of(priv, 9));
    EXPECT_TRUE(dmr_ref::rs129_valid(r.data.data(), r.data.data() + 9, mask));
    EXPECT_FALSE(dmr_ref::rs129_valid(r.data.data(), r.data.data() + 9, mask ^ 0x0F));
    uint8_t a[33], b[33];
    hyt_read_burst(pkt.data(), a);
    hyt_read_burst(tmpl, b);
    for (unsigned i = 98; i < 166; ++i)
      EXPECT_EQ((a[i / 8] >> (7 - i % 8)) & 1, (b[i / 8] >> (7 - i % 8)) & 1) << "burst bit " << i;
    for (unsigned i :
         {0u,  1u,  2u,  3u,  4u,  5u,  6u,  7u,  8u,  9u,  10u, 11u, 12u, 13u, 14u, 15u, 16u, 17u, 18u, 19u,
          20u, 21u, 22u, 23u, 24u, 25u, 58u, 60u, 61u, 62u, 63u, 64u, 65u, 66u, 67u, 68u, 69u, 70u, 71u})
      EXPECT_EQ(pkt[i], tmpl[i]) << "byte " << i;
  }
}

}  // namespace
