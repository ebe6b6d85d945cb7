#include "dmr/bits.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dmr/burst.h"

namespace {

TEST(Bits, PackingIsMostSignificantBitFirst) {
  const uint8_t bytes[2] = {0xA5, 0x3C};
  uint8_t bits[16];
  unpack_bits(bytes, 2, bits);
  const uint8_t expect[16] = {1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 1, 1, 1, 1, 0, 0};
  EXPECT_EQ(0, std::memcmp(bits, expect, 16));
  EXPECT_EQ(bits_to_uint(bits, 16), 0xA53Cu);

  // A partial last byte is padded with zeros; entries other than 1 read as 0.
  uint8_t packed[2] = {0xEE, 0xEE};
  bits[0] = 0xFF;
  pack_bits(bits, 11, packed);
  EXPECT_EQ(packed[0], 0x25);
  EXPECT_EQ(packed[1], 0x20);

  uint_to_bits(0x5, 3, bits);
  EXPECT_EQ(bits_to_uint(bits, 3), 5u);
  uint8_t wide[34];
  uint_to_bits(0xFFFFFFFF, 34, wide);  // beyond 32 value bits: leading zeros
  EXPECT_EQ(wide[0] + wide[1], 0);
  EXPECT_EQ(wide[2] + wide[33], 2);
}

TEST(Bits, RangesLeaveNeighbouringBitsAlone) {
  uint8_t bytes[4] = {0xFF, 0x00, 0xFF, 0x00}, bits[13];
  read_bits(bytes, 5, 13, bits);
  EXPECT_EQ(bits_to_uint(bits, 13), 0b1110000000011u);
  const uint8_t ones[13] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  write_bits(bytes, 5, 13, ones);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFF);
  EXPECT_EQ(bytes[2], 0xFF);
  EXPECT_EQ(bytes[3], 0x00);
}

TEST(Burst, FramesAndCentreLandOnTheirBits) {
  uint8_t burst[33] = {}, coded[72], centre[48];
  std::memset(coded, 1, 72);
  ASSERT_TRUE(burst_write_voice_frame(burst, 1, coded));
  // Frame 2: bits 72-107 and 156-191.
  const uint8_t expect[33] = {0,    0,    0, 0, 0, 0, 0, 0,    0,    0xFF, 0xFF, 0xFF,
                              0xFF, 0xF0, 0, 0, 0, 0, 0, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, std::memcmp(burst, expect, 33));

  uint8_t fragment[32];
  std::memset(fragment, 1, 32);
  burst_write_embedded(burst, fragment);  // bits 116-147
  burst_read_centre(burst, centre);
  for (unsigned i = 0; i < 48; ++i) ASSERT_EQ(centre[i], (i >= 8 && i < 40) ? 1 : 0) << i;

  uint8_t back[72];
  ASSERT_TRUE(burst_read_voice_frame(burst, 1, back));
  EXPECT_EQ(0, std::memcmp(back, coded, 72));
  ASSERT_TRUE(burst_read_voice_frame(burst, 2, back));
  EXPECT_EQ(bits_to_uint(back, 32), 0u);

  // Out-of-range frame numbers touch nothing.
  uint8_t copy[33];
  std::memcpy(copy, burst, 33);
  std::memset(back, 7, 72);
  EXPECT_FALSE(burst_write_voice_frame(burst, 3, coded));
  EXPECT_FALSE(burst_read_voice_frame(burst, 3, back));
  EXPECT_EQ(0, std::memcmp(copy, burst, 33));
  EXPECT_EQ(back[0], 7);
}

}  // namespace
