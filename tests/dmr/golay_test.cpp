#include "dmr/golay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <set>

namespace {

uint16_t syndrome(uint32_t w) {
  uint16_t s = 0xFFFF;
  Syndromberechnung(w, &s);
  return s;
}

// Remainder by subtracting shifted copies of g(x), a different route from the
// bit-serial division of the code under test.
uint32_t remainder_by_subtraction(uint32_t w) {
  w &= 0x7FFFFF;
  for (int i = 22; i >= 11; --i)
    if (w & (1u << i)) w ^= 0xC75u << (i - 11);
  return w;
}

TEST(Golay, SyndromeExamplesAndHighBitsIgnored) {
  EXPECT_EQ(golay_23_12_codeword(1), 0xC75u);
  EXPECT_EQ(syndrome(0xC75), 0);
  for (unsigned i = 0; i < 11; ++i) EXPECT_EQ(syndrome(1u << i), 1u << i);
  for (uint32_t d = 0; d < 4096; ++d) ASSERT_EQ(syndrome(golay_23_12_codeword(d)), 0) << d;
  std::mt19937 rng(4);
  for (int n = 0; n < 10000; ++n) {
    const uint32_t w = rng();
    ASSERT_EQ(syndrome(w), remainder_by_subtraction(w));
    ASSERT_EQ(syndrome(w), syndrome(w & 0x7FFFFF));
  }
}

TEST(Golay, TableHoldsEveryPatternOfWeightUpToThreeOnce) {
  init_Golay_23_12();
  EXPECT_EQ(Fehlermuster_Golay_23_12[0], 0u);
  std::set<uint32_t> seen;
  for (uint32_t e : Fehlermuster_Golay_23_12) {
    ASSERT_LE(std::popcount(e), 3);
    ASSERT_EQ(e >> 23, 0u);
    seen.insert(e);
  }
  EXPECT_EQ(seen.size(), 2048u);
  for (unsigned i = 0; i < 23; ++i)
    for (unsigned j = i; j < 23; ++j)
      for (unsigned k = j; k < 23; ++k) {
        const uint32_t e = (1u << i) | (1u << j) | (1u << k);  // weight 1 to 3
        ASSERT_EQ(Fehlermuster_Golay_23_12[syndrome(e)], e);
      }
  // A second build gives the same table.
  uint32_t copy[2048];
  std::copy(std::begin(Fehlermuster_Golay_23_12), std::end(Fehlermuster_Golay_23_12), copy);
  init_Golay_23_12();
  EXPECT_TRUE(std::equal(std::begin(copy), std::end(copy), Fehlermuster_Golay_23_12));
}

}  // namespace
