#include "dmr/emb.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>

#include "dmr/bits.h"
#include "print_capture.h"

namespace {

const char* const NO_VOICE = "No voice - maybe data.\r\n";

// A burst centre carrying `emb` around 32 random embedded-signalling bits.
void make_centre(uint16_t emb, std::mt19937& rng, uint8_t* centre) {
  uint8_t bits[16];
  uint_to_bits(emb, 16, bits);
  for (unsigned i = 0; i < 48; ++i) centre[i] = rng() & 1;
  std::memcpy(centre, bits, 8);
  std::memcpy(centre + 40, bits + 8, 8);
}

TEST(Emb, CodewordTableFromGeneratorRows) {
  const uint16_t rows[7] = {0x0273, 0x04E5, 0x09C9, 0x11E2, 0x21B7, 0x411E, 0x804F};
  for (unsigned i = 0; i < 128; ++i) {
    uint16_t w = 0;
    for (unsigned b = 0; b < 7; ++b)
      if (i >> b & 1) w ^= rows[b];
    ASSERT_EQ(emb_codeword(static_cast<uint8_t>(i)), w);
    for (unsigned j = 0; j < i; ++j)
      ASSERT_GE(std::popcount(static_cast<unsigned>(w ^ emb_codeword(static_cast<uint8_t>(j)))), 6);
  }
  // Exactly the 128 codewords among all 65536 values pass.
  int accepted = 0;
  for (uint32_t v = 0; v < 65536; ++v) {
    uint8_t bits[16];
    uint_to_bits(v, 16, bits);
    accepted += QuadResidue1676(bits);
  }
  EXPECT_EQ(accepted, 128);
}

TEST(Emb, WorkedExamplesGiveLcss) {
  DmrPrintCapture capture;
  std::mt19937 rng(7);
  const struct {
    uint16_t value;
    int lcss;
  } cases[] = {{0x1391, 1}, {0x1774, 3}, {0x1507, 2}, {0x11E2, 0}};
  for (const auto& c : cases) {
    uint8_t centre[48], emb[16];
    make_centre(c.value, rng, centre);
    EXPECT_EQ(EMBdecode(centre, emb), c.lcss);
    EXPECT_EQ(bits_to_uint(emb, 16), c.value);
  }
  EXPECT_TRUE(capture.calls().empty());
}

TEST(Emb, EverySingleFlipOfEveryCodewordIsRejected) {
  DmrPrintCapture capture;
  std::mt19937 rng(8);
  for (unsigned d = 0; d < 128; ++d)
    for (unsigned k = 0; k < 16; ++k) {
      const uint16_t received = emb_codeword(static_cast<uint8_t>(d)) ^ (1u << k);
      uint8_t centre[48], emb[16];
      make_centre(received, rng, centre);
      capture.calls().clear();
      ASSERT_EQ(EMBdecode(centre, emb), -1);
      ASSERT_EQ(bits_to_uint(emb, 16), received);  // written also on failure
      ASSERT_EQ(capture.calls(), std::vector<std::string>{NO_VOICE});
    }
}

TEST(Emb, VoiceSyncAndNonBinaryEntries) {
  DmrPrintCapture capture;
  uint8_t sync_bytes[6] = {0x75, 0x5F, 0xD7, 0xDF, 0x75, 0xF7}, centre[48], emb[16];
  unpack_bits(sync_bytes, 6, centre);
  EXPECT_EQ(EMBdecode(centre, emb), -1);
  EXPECT_EQ(capture.calls().size(), 1u);
  // Entries other than exactly 1 count as 0: all 0xFF is the codeword 0, LCSS 0.
  std::memset(centre, 0xFF, sizeof centre);
  EXPECT_EQ(EMBdecode(centre, emb), 0);
  EXPECT_EQ(emb[5], 0xFF);
  EXPECT_EQ(capture.calls().size(), 1u);
}

}  // namespace
