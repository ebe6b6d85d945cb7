#include "dmr/bptc196.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/dmr_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Burst areas (packet bytes 26-59, pairs exchanged) of the master-side voice
// LC header and terminator templates, for destination 9 and source 2622101
// (0x280295), group call.
const char* START_AREA = "EA007E098C0DB017401E8070008400FF00D7DEF5C4318805C027A011811000060099";
const char* ENDE_AREA = "8500AA093C0DC817301E2070AD8457FF5DD7D9F5D064B006A020E01D8118001F00AA";

Bytes hex(const char* s) {
  Bytes b;
  for (; s[0] && s[1]; s += 2) b.push_back(static_cast<uint8_t>(std::stoi(std::string(s, 2), nullptr, 16)));
  return b;
}

// The 196 link-control bits of the burst: burst bits 0-97 and 166-263.
std::vector<uint8_t> lc_bits_of_area(const Bytes& area) {
  uint8_t burst[33];
  for (unsigned k = 0; k < 33; ++k) burst[k] = area[k ^ 1];  // (26 + k) ^ 1 - 26
  std::vector<uint8_t> bits;
  for (unsigned i = 0; i < 264; ++i)
    if (i < 98 || i >= 166) bits.push_back((burst[i / 8] >> (7 - i % 8)) & 1);
  return bits;
}

std::vector<uint8_t> encode(const Bytes& data) {
  std::vector<uint8_t> bits(196, 0xAA);
  bptc196_encode(data.data(), bits.data());
  return bits;
}

TEST(Bptc196, ReproducesTheTemplateBursts) {
  const Bytes lc = {0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x28, 0x02, 0x95};
  Bytes header = lc, terminator = lc;
  for (uint8_t b : {0xD5, 0x73, 0xBF}) header.push_back(b);
  for (uint8_t b : {0xDA, 0x7C, 0xB0}) terminator.push_back(b);
  EXPECT_EQ(encode(header), lc_bits_of_area(hex(START_AREA)));
  EXPECT_EQ(encode(terminator), lc_bits_of_area(hex(ENDE_AREA)));
}

TEST(Bptc196, RoundTripThroughAnIndependentDecoder) {
  std::mt19937 rng(5);
  for (int n = 0; n < 200; ++n) {
    Bytes data(12);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> bits = encode(data);
    for (uint8_t b : bits) ASSERT_LE(b, 1);
    dmr_ref::BptcResult r = dmr_ref::bptc196_decode(bits.data());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.corrected, 0u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.end()), data);
    // Any one flipped bit in the data rows is corrected back.
    const unsigned flip = (n * 181u) % 196u;
    bits[flip] ^= 1;
    r = dmr_ref::bptc196_decode(bits.data());
    EXPECT_EQ(Bytes(r.data.begin(), r.data.end()), data) << "flip " << flip;
  }
}

}  // namespace
