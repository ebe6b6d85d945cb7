#include "dmr/ambe_fec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "dmr/bits.h"
#include "dmr/golay.h"

namespace {

// ---- reference built from the published layout, not from the code under test

const uint8_t INTERLEAVED_ORDER[49] = {0,  3,  6,  9,  12, 15, 18, 21, 24, 27, 30, 33,  // A
                                       36, 39, 41, 43, 45, 47, 1,  4,  7,  10, 13, 16,  // B
                                       19, 22, 25, 28, 31, 34, 37, 40, 42, 44, 46, 48,
                                       2,  5,  8,  11, 14, 17, 20, 23,  // C
                                       26, 29, 32, 35, 38};

// Coded positions of A codeword bit k (0-23), B codeword bit k (0-22), C bit k (0-24).
unsigned pos_a(unsigned k) {
  return k >= 6 ? 4 * (23 - k) : 1 + 4 * (5 - k);
}
unsigned pos_b(unsigned k) {
  return k >= 11 ? 25 + 4 * (22 - k) : 2 + 4 * (10 - k);
}
unsigned pos_c(unsigned k) {
  return k >= 18 ? 46 + 4 * (24 - k) : 3 + 4 * (17 - k);
}

uint32_t ref_golay23(uint32_t d) {
  uint32_t w = d << 11;
  for (int i = 22; i >= 11; --i)
    if (w & (1u << i)) w ^= 0xC75u << (i - 11);
  return (d << 11) | w;
}

uint32_t ref_mask(uint32_t a) {
  uint32_t p = 16 * a, m = 0;
  for (int n = 1; n <= 23; ++n) {
    p = (173 * p + 13849) % 65536;
    if (p & 0x8000) m |= 1u << (23 - n);
  }
  return m;
}

void ref_encode(uint32_t a, uint32_t b, uint32_t c, uint8_t* coded) {
  const uint32_t g = ref_golay23(a);
  const uint32_t acw = (g << 1) | (std::popcount(g) & 1);
  const uint32_t bcw = ref_golay23(b) ^ ref_mask(a);
  for (unsigned k = 0; k < 24; ++k) coded[pos_a(k)] = (acw >> k) & 1;
  for (unsigned k = 0; k < 23; ++k) coded[pos_b(k)] = (bcw >> k) & 1;
  for (unsigned k = 0; k < 25; ++k) coded[pos_c(k)] = (c >> k) & 1;
}

struct Vectors {
  uint32_t a, b, c;
};

void make_frame(const Vectors& v, uint8_t mode, uint8_t* frame) {
  uint8_t plain[49];
  uint_to_bits(v.a, 12, plain);
  uint_to_bits(v.b, 12, plain + 12);
  uint_to_bits(v.c, 25, plain + 24);
  for (unsigned i = 0; i < 49; ++i) frame[mode == 1 ? INTERLEAVED_ORDER[i] : i] = plain[i];
}

Vectors random_vectors(std::mt19937& rng) {
  const uint32_t a = rng(), b = rng(), c = rng();
  return {a & 0xFFF, b & 0xFFF, c & 0x1FFFFFF};
}

class AmbeFec : public ::testing::Test {
 protected:
  void SetUp() override { init_Golay_23_12(); }

  // Decodes `coded` and checks the counts; frame[49] must survive.
  void decode(uint8_t* coded, int ea, int eb, uint8_t* frame, uint8_t mode = 2) {
    uint8_t errors_a = 99, errors_b = 99;
    frame[49] = 0xEE;
    decodiere_AMBEplus2_33(coded, &errors_a, &errors_b, mode, frame);
    ASSERT_EQ(errors_a, ea);
    ASSERT_EQ(errors_b, eb);
    ASSERT_EQ(frame[49], 0xEE);
  }
  std::mt19937 rng{20240601};
};

TEST_F(AmbeFec, WorkedExamples) {
  EXPECT_EQ(ambe_a_codeword(1), 0x18EBu);
  EXPECT_EQ(ambe_b_mask(0), 0x216623u);
  uint8_t frame[49] = {}, coded[72], bytes[9];
  codiere_AMBEplus2_33(coded, 2, frame);
  pack_bits(coded, 72, bytes);
  const uint8_t expect[9] = {0x22, 0x00, 0x02, 0x04, 0x02, 0x20, 0x40, 0x44, 0x00};
  EXPECT_EQ(0, std::memcmp(bytes, expect, 9));
}

TEST_F(AmbeFec, EncodingMatchesPositionTableInBothOrders) {
  std::vector<Vectors> cases = {{0, 0, 0}, {0xFFF, 0xFFF, 0x1FFFFFF}, {1, 0x800, 0x1000000}};
  for (int n = 0; n < 500; ++n) cases.push_back(random_vectors(rng));
  for (const Vectors& v : cases)
    for (uint8_t mode : {1, 2, 0, 255}) {
      uint8_t frame[50], coded[72], expect[72];
      make_frame(v, mode, frame);
      codiere_AMBEplus2_33(coded, mode, frame);
      ref_encode(v.a, v.b, v.c, expect);
      ASSERT_EQ(0, std::memcmp(coded, expect, 72)) << v.a << " " << v.b << " mode " << +mode;
    }
}

TEST_F(AmbeFec, CleanRoundTripBothOrders) {
  for (int n = 0; n < 5000; ++n)
    for (uint8_t mode : {1, 2}) {
      uint8_t frame[50], coded[72], copy[72], out[50];
      make_frame(random_vectors(rng), mode, frame);
      codiere_AMBEplus2_33(coded, mode, frame);
      std::memcpy(copy, coded, 72);
      decode(coded, 0, 0, out, mode);
      ASSERT_EQ(0, std::memcmp(frame, out, 49));
      ASSERT_EQ(0, std::memcmp(copy, coded, 72));
    }
}

// Every pattern of 1 to 3 flips among A bits 23-1 and among B bits.
TEST_F(AmbeFec, EveryPatternOfUpToThreeErrorsIsCorrected) {
  for (int n = 0; n < 3; ++n) {
    uint8_t frame[50], clean[72];
    make_frame(random_vectors(rng), 2, frame);
    codiere_AMBEplus2_33(clean, 2, frame);
    for (int vec = 0; vec < 2; ++vec)
      for (unsigned i = 0; i < 23; ++i)
        for (unsigned j = i; j < 23; ++j)
          for (unsigned k = j; k < 23; ++k) {
            // Repeated indices give the weight 1 and 2 patterns.
            const uint32_t e = (1u << i) | (1u << j) | (1u << k);
            const int w = std::popcount(e);
            uint8_t coded[72], out[50];
            std::memcpy(coded, clean, 72);
            for (unsigned bit = 0; bit < 23; ++bit)
              if (e >> bit & 1) coded[vec == 0 ? pos_a(bit + 1) : pos_b(bit)] ^= 1;
            decode(coded, vec == 0 ? w : 0, vec == 0 ? 0 : w, out);
            ASSERT_EQ(0, std::memcmp(frame, out, 49));
            ASSERT_EQ(0, std::memcmp(clean, coded, 72));
          }
  }
}

TEST_F(AmbeFec, ParityBitIsRestoredButNotCounted) {
  uint8_t frame[50], clean[72], coded[72], out[50];
  make_frame(random_vectors(rng), 2, frame);
  codiere_AMBEplus2_33(clean, 2, frame);
  for (int others = 0; others <= 2; ++others) {
    std::memcpy(coded, clean, 72);
    coded[21] ^= 1;
    for (int o = 0; o < others; ++o) coded[pos_a(5 + 7 * o)] ^= 1;
    decode(coded, others, 0, out);
    EXPECT_EQ(0, std::memcmp(clean, coded, 72));
    EXPECT_EQ(0, std::memcmp(frame, out, 49));
  }
}

TEST_F(AmbeFec, FourErrorsInAAreDetectedAndChangeNothing) {
  for (int n = 0; n < 3000; ++n) {
    uint8_t frame[50], coded[72], received[72], out[50];
    make_frame(random_vectors(rng), 2, frame);
    codiere_AMBEplus2_33(coded, 2, frame);
    // Four distinct A bits; half the time bit 0 (the parity bit) is one of them.
    uint32_t pattern = (n & 1) ? 1 : 0;
    while (std::popcount(pattern) < 4) pattern |= 1u << (1 + rng() % 23);
    for (unsigned k = 0; k < 24; ++k)
      if (pattern & (1u << k)) coded[pos_a(k)] ^= 1;
    std::memcpy(received, coded, 72);
    std::memset(out, 0x55, sizeof out);
    decode(coded, 4, 3, out);
    ASSERT_EQ(0, std::memcmp(received, coded, 72));
    for (unsigned i = 0; i < 49; ++i) ASSERT_EQ(out[i], 0x55);
  }
}

// Random mixes: up to 3 errors in A (parity bit included), up to 3 in B, any in C.
TEST_F(AmbeFec, MixedErrorsCountedAndCorrectedCodedReencodes) {
  for (int n = 0; n < 5000; ++n) {
    const Vectors v = random_vectors(rng);
    uint8_t frame[50], clean[72], coded[72], out[50], again[72];
    make_frame(v, 2, frame);
    codiere_AMBEplus2_33(clean, 2, frame);
    std::memcpy(coded, clean, 72);
    uint32_t ea = 0, eb = 0;
    const uint32_t ec = rng() & 0x1FFFFFF;
    while (std::popcount(ea) < static_cast<int>(rng() % 4)) ea |= 1u << (1 + rng() % 23);
    while (std::popcount(eb) < static_cast<int>(rng() % 4)) eb |= 1u << (rng() % 23);
    for (unsigned k = 0; k < 25; ++k) {
      if (k < 24 && (ea >> k & 1)) coded[pos_a(k)] ^= 1;
      if (k < 23 && (eb >> k & 1)) coded[pos_b(k)] ^= 1;
      if (ec >> k & 1) coded[pos_c(k)] ^= 1;
    }
    decode(coded, std::popcount(ea), std::popcount(eb), out);
    ASSERT_EQ(bits_to_uint(out, 24), v.a << 12 | v.b);
    ASSERT_EQ(bits_to_uint(out + 24, 25), v.c ^ ec);  // C is neither corrected nor counted
    codiere_AMBEplus2_33(again, 2, out);
    ASSERT_EQ(0, std::memcmp(again, coded, 72));
  }
}

TEST_F(AmbeFec, FourErrorsInBAreMiscorrectedAsThree) {
  for (int n = 0; n < 1000; ++n) {
    const Vectors v = random_vectors(rng);
    uint8_t frame[50], coded[72], out[50];
    make_frame(v, 2, frame);
    codiere_AMBEplus2_33(coded, 2, frame);
    uint32_t eb = 0;
    while (std::popcount(eb) < 4) eb |= 1u << (rng() % 23);
    for (unsigned k = 0; k < 23; ++k)
      if (eb >> k & 1) coded[pos_b(k)] ^= 1;
    decode(coded, 0, 3, out);
    ASSERT_EQ(bits_to_uint(out, 12), v.a);
    ASSERT_NE(bits_to_uint(out + 12, 12), v.b);
  }
}

}  // namespace
