// SPDX-License-Identifier: GPL-2.0-or-later
// The air-interface codings against their reference vectors, and the contracts the relays rely on.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "dmr/ambe_fec.h"
#include "dmr/bits.h"
#include "dmr/bptc196.h"
#include "dmr/burst.h"
#include "dmr/dmr_console.h"
#include "dmr/emb.h"
#include "dmr/embedded_lc.h"
#include "dmr/full_lc.h"
#include "dmr/golay.h"
#include "support/coding_vectors.h"

namespace {

using Bits = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Decoded = std::tuple<Bits, Bits, std::pair<int, int>>;  // frame, corrected coded frame, errors A and B

// Decodes a copy of `coded` into a frame buffer of 0x55 whose 50th entry must survive.
Decoded decode(Bits coded, uint8_t mode = AMBE_MODE_PLAIN) {
  Bits frame(50, 0x55);
  uint8_t ea = 9, eb = 9;
  decodiere_AMBEplus2_33(coded.data(), &ea, &eb, mode, frame.data());
  EXPECT_EQ(frame[49], 0x55);
  frame.pop_back();
  return {frame, coded, {ea, eb}};
}

TEST(AmbeFec, EncodesTheVectorsAndDecodesThemBack) {
  for (const auto& v : GOLAY) EXPECT_EQ(golay_23_12_codeword(v[0]), v[1]);
  init_Golay_23_12();
  for (const auto& v : AMBE) {
    const uint8_t mode = &v == std::end(AMBE) - 1 ? AMBE_MODE_INTERLEAVED : AMBE_MODE_PLAIN;
    Bits coded(72);
    codiere_AMBEplus2_33(coded.data(), mode, bits_of(v[0], 49).data());
    EXPECT_EQ(coded, bits_of(v[1])) << v[0];
    EXPECT_EQ(decode(coded, mode), Decoded(bits_of(v[0], 49), coded, {0, 0})) << v[0];
  }
}

// The counts the relay judges a frame by: up to three errors in each of A and B corrected and counted, the
// parity bit corrected silently, C taken as received, four errors in A flagged as errorsA 4 / errorsB 3.
TEST(AmbeFec, CorrectsAndCountsErrorsUpToTheLimit) {
  init_Golay_23_12();
  const Bits frame = bits_of(AMBE[2][0], 49), clean = bits_of(AMBE[2][1]);
  auto hit = [&](std::initializer_list<unsigned> at) {
    Bits c = clean;
    for (unsigned p : at) c[p] = !clean[p];
    return c;
  };
  std::vector<unsigned> a, b, parity, c;  // the positions by what one error there does
  for (unsigned p = 0; p < 72; ++p) {
    const auto [out, fixed, errors] = decode(hit({p}));
    (errors.first ? a : errors.second ? b : out == frame ? parity : c).push_back(p);
    ASSERT_EQ(fixed, c.size() && c.back() == p ? hit({p}) : clean) << p;
    ASSERT_LE(errors.first + errors.second, 1) << p;
  }
  ASSERT_EQ((std::vector<size_t>{a.size(), b.size(), parity.size(), c.size()}), (std::vector<size_t>{23, 23, 1, 25}));

  // Every pattern of two and three errors among A bits 23-1 (some pairs with the parity bit too) and among B.
  for (const auto* set : {&a, &b})
    for (unsigned i = 0; i < 23; ++i)
      for (unsigned j = i + 1; j < 23; ++j)
        for (unsigned k = j; k < 23; ++k) {
          const unsigned also = set == &a && k == j && i % 2 ? parity[0] : (*set)[i];
          const auto [out, fixed, errors] = decode(hit({(*set)[i], (*set)[j], (*set)[k], also}));
          ASSERT_EQ(std::pair(out, fixed), std::pair(frame, clean));
          ASSERT_EQ(set == &a ? errors : std::pair(errors.second, errors.first), std::pair(k == j ? 2 : 3, 0));
        }

  // Four errors in A (three of bits 23-1 and the parity bit, or four of bits 23-1) are detected and change
  // nothing; four in B are miscorrected as three.
  for (unsigned s = 0; s < 20; ++s) {
    const Bits coded = hit({s % 2 ? parity[0] : a[s], a[s + 1], a[(s + 5) % 23], a[(s + 11) % 23]});
    EXPECT_EQ(decode(coded), Decoded(Bits(49, 0x55), coded, {4, 3}));
    const auto [out, fixed, errors] = decode(hit({b[s], b[s + 1], b[(s + 5) % 23], b[(s + 11) % 23]}));
    ASSERT_EQ(errors, std::pair(0, 3));
    ASSERT_EQ(Bits(out.begin(), out.begin() + 12), Bits(frame.begin(), frame.begin() + 12));
    ASSERT_NE(out, frame);
  }
}

TEST(Burst, VoiceFramesAndCentreLandOnTheirBitsMostSignificantFirst) {
  uint8_t burst[DMR_BURST_BYTES] = {0xEE, 0xEE};
  pack_bits(bits_of("253").data(), 11, burst);  // the rest of a partial byte is 0
  EXPECT_EQ(Bits(burst, burst + 2), bytes_of("2520"));

  for (unsigned n = 0; n < 3; ++n) ASSERT_TRUE(burst_write_voice_frame(burst, n, bits_of(AMBE[2 + n][1]).data()));
  burst_write_centre(burst, bits_of("130000000091").data());
  burst_write_embedded(burst, bits_of(EMBEDDED_LC[0][1], 32).data());
  EXPECT_FALSE(burst_write_voice_frame(burst, 3, Bits(72, 1).data()));
  EXPECT_EQ(Bits(burst, burst + DMR_BURST_BYTES), bytes_of(BURST_B));
  Bits coded(72), centre(48);
  ASSERT_TRUE(burst_read_voice_frame(burst, 1, coded.data()));  // the frame around the centre
  EXPECT_EQ(coded, bits_of(AMBE[3][1]));
  burst_read_centre(burst, centre.data());
  EXPECT_EQ(centre, bits_of("1300000C0391"));  // EMB around the embedded signalling
}

Lines printed;

// Collects what the codings print, with the embedded LC collector in its start-of-run state.
class Signalling : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_embedded_lc_collector();
    dmr_print = [](const char* text) { printed.emplace_back(text); };
    printed.clear();
  }
  void TearDown() override { dmr_print = dmr_print_stdout; }
  // Hands fragment n % 4 of `bits` with the n-th LCSS to addData; the last result.
  int feed(const Bits& bits, std::initializer_list<int> lcss, unsigned n = 0) {
    int result = -1;
    for (int l : lcss) result = addData(bits.data() + 32 * (n++ % 4), l, lc.data(), lc.data() + 3, lc.data() + 6);
    return result;
  }
  Bits lc = Bits(9, 0xAA);
};

TEST_F(Signalling, EmbPassesOnlyExactCodewords) {
  Bits emb(16);
  for (const auto& v : EMB) {
    for (unsigned k = 0; k <= 16; ++k) {  // one flipped bit anywhere fails with one line
      const uint16_t got = v[0] ^ (k < 16 ? 1u << k : 0u);
      char centre[13];
      std::snprintf(centre, sizeof centre, "%02X55555555%02X", got >> 8, got & 0xFF);
      ASSERT_EQ(EMBdecode(bits_of(centre).data(), emb.data()), k < 16 ? -1 : v[1]) << v[0] << " " << k;
      ASSERT_EQ(bits_to_uint(emb.data(), 16), got);  // also when it fails
    }
  }
  EXPECT_EQ(printed, Lines(16 * std::size(EMB), "No voice - maybe data.\r\n"));
  EXPECT_EQ(EMBdecode(bits_of("755FD7DF75F7").data(), emb.data()), -1);  // voice sync of burst A
  EXPECT_EQ(EMBdecode(Bits(48, 0xFF).data(), emb.data()), 0);            // 0xFF entries count as 0: codeword 0
}

// The vectors go in as sent; then one flipped bit anywhere: the line of its row, and the checksum decides.
TEST_F(Signalling, EmbeddedLcVectorsAndFlippedBits) {
  for (const auto& v : EMBEDDED_LC) {
    const Bits fields = bytes_of(v[0]);
    Bits out(128);
    encode_MultiBlockEmbeddedLC(fields.data(), fields.data() + 3, fields.data() + 6, out.data());
    EXPECT_EQ(out, bits_of(v[1]));
    EXPECT_EQ(feed(out, {1, 3, 3, 2}), 1);
    EXPECT_EQ(lc, fields);
  }
  EXPECT_EQ(crcFiveBit(Bits(72, 1).data()), 1);  // 9 * 255 = 74 * 31 + 1
  EXPECT_EQ(crcFiveBit(Bits(72, 0xFF).data()), 0);
  for (unsigned r = 0; r < 8; ++r)
    for (unsigned c = 0; c < 16; ++c) {
      Bits bits = bits_of(EMBEDDED_LC[0][1]);
      bits[8 * c + r] ^= 1;  // sent column by column
      printed.clear();
      lc.assign(9, 0xAA);
      const bool payload = r <= 6 && c <= 10 && r + c > 0;  // LC or checksum; not the protect flag
      ASSERT_EQ(feed(bits, {1, 3, 3, 2}), payload ? 0 : 1) << r << " " << c;
      Lines want;
      if (r == 0 && c > 0) want.push_back(" -> Hamming1 0 failed\r\n");
      if (r >= 1 && r <= 6) want.push_back(" -> Hamming " + std::to_string(16 * r) + " failed\r\n");
      if (payload) want.insert(want.end(), {"5bit-CRC failed\r\n", "Bad Embedded Multi Block LC\r\n"});
      ASSERT_EQ(printed, want) << r << " " << c;
      ASSERT_EQ(lc, payload ? Bits(9, 0xAA) : bytes_of(EMBEDDED_LC[0][0])) << r << " " << c;
    }
}

TEST_F(Signalling, OnlyFirstContinuationContinuationLastCompletesASet) {
  const Bits good = bits_of(EMBEDDED_LC[0][1]), other = bits_of(EMBEDDED_LC[1][1]);
  EXPECT_EQ(feed(good, {1, 3, 2}), 2);       // the last fragment out of turn is ignored
  EXPECT_EQ(feed(other, {-1, 4, 0, 0}), 2);  // neither do these touch the set
  EXPECT_EQ(feed(good, {3}, 2), 2);
  EXPECT_EQ(feed(other, {3}, 2), 2);  // a third continuation is ignored too
  EXPECT_EQ(feed(good, {2}, 3), 1);
  EXPECT_EQ(lc, bytes_of(EMBEDDED_LC[0][0]));
  // A new first fragment restarts; fragments of two LCs fail.
  EXPECT_EQ(feed(other, {1, 3, 3}), 2);
  EXPECT_EQ(feed(good, {1, 3}), 2);
  EXPECT_EQ(feed(other, {3, 2}, 2), 0);
  EXPECT_EQ(lc, bytes_of(EMBEDDED_LC[0][0]));
  EXPECT_EQ(Lines(printed.end() - 2, printed.end()), (Lines{"5bit-CRC failed\r\n", "Bad Embedded Multi Block LC\r\n"}));
  printed.clear();
  feed(Bits(32), {0});  // an all-zero single fragment prints nothing
  processSingleBlockEmbeddedLC(bits_of("92492492").data());
  EXPECT_EQ(printed, Lines{"Single Data: 10010010010010010010010010010010\r\n"});
}

TEST(FullLc, FieldsCheckBytesAndBptcOfCapturedCalls) {
  Bits lc(9), check(3);
  for (const auto& v : FULL_LC) {
    full_lc_build(false, std::stoul(std::string(v[0] + 6, 6), nullptr, 16), std::stoul(v[0] + 12, nullptr, 16),
                  lc.data());
    EXPECT_EQ(lc, bytes_of(v[0]));
    for (int k = 1; k <= 2; ++k) {
      full_lc_check(lc.data(), k == 1 ? RS129_MASK_VOICE_LC_HEADER : RS129_MASK_TERMINATOR_LC, check.data());
      EXPECT_EQ(check, bytes_of(v[k])) << v[0];
      if (!v[3]) continue;
      Bits block = lc, bits(BPTC196_BITS);
      block.insert(block.end(), check.begin(), check.end());
      bptc196_encode(block.data(), bits.data());
      EXPECT_EQ(bits, bits_of(v[2 + k], BPTC196_BITS));
    }
  }
  full_lc_build(true, 0xFFABCDEF, 0xFF000001, lc.data());  // unit to unit; 24-bit IDs only
  EXPECT_EQ(lc, bytes_of("030000ABCDEF000001"));
}

}  // namespace
