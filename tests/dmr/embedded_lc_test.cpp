#include "dmr/embedded_lc.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dmr/bits.h"
#include "print_capture.h"

namespace {

using Lines = std::vector<std::string>;

struct Lc {
  uint8_t control[3], destination[3], source[3];
};

static_assert(sizeof(Lc) == 9);

const Lc EXAMPLE = {{0, 0, 0}, {0, 0, 9}, {0x12, 0x34, 0x56}};

// Transmitted index of matrix entry 16r + c: columns go out top to bottom.
unsigned sent_index(unsigned entry) {
  return 8 * (entry % 16) + entry / 16;
}

class EmbeddedLc : public ::testing::Test {
 protected:
  void SetUp() override { reset_embedded_lc_collector(); }
  void TearDown() override { reset_embedded_lc_collector(); }

  // Hands fragments of `bits` to addData with these LCSS values (fragment
  // n-1 for the n-th call, wrapping); returns the results.
  std::vector<int> feed(const uint8_t* bits, std::initializer_list<int> lcss, Lc& out) {
    std::vector<int> results;
    unsigned n = 0;
    for (int l : lcss) results.push_back(addData(bits + 32 * (n++ % 4), l, out.control, out.destination, out.source));
    return results;
  }
  std::vector<int> feed_set(const uint8_t* bits, Lc& out) { return feed(bits, {1, 3, 3, 2}, out); }
};

bool same(const Lc& a, const Lc& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(EmbeddedLc, WorkedExamplesAndChecksum) {
  uint8_t out[128], packed[16];
  encode_MultiBlockEmbeddedLC(EXAMPLE.control, EXAMPLE.destination, EXAMPLE.source, out);
  pack_bits(out, 128, packed);
  const uint8_t expect[16] = {0x00, 0x00, 0x0C, 0x03, 0x00, 0x0A, 0x05, 0x06,
                              0x03, 0x0C, 0x14, 0x00, 0x05, 0x1B, 0x1B, 0x18};
  EXPECT_EQ(0, std::memcmp(packed, expect, 16));

  uint8_t lc[72];
  unpack_bits(reinterpret_cast<const uint8_t*>(&EXAMPLE), 9, lc);
  EXPECT_EQ(crcFiveBit(lc), 10);
  std::memset(lc, 1, 72);
  EXPECT_EQ(crcFiveBit(lc), 1);  // 9 * 255 = 2295 = 74 * 31 + 1
  std::memset(lc, 0xFF, 72);
  EXPECT_EQ(crcFiveBit(lc), 0);  // only entries of exactly 1 count

  const uint8_t zero[3] = {};
  encode_MultiBlockEmbeddedLC(zero, zero, zero, out);
  for (uint8_t b : out) ASSERT_EQ(b, 0);
  DmrPrintCapture capture;
  Lc got;
  EXPECT_EQ(feed_set(out, got), (std::vector<int>{2, 2, 2, 1}));
  EXPECT_TRUE(capture.calls().empty());
}

TEST_F(EmbeddedLc, HammingDetectsEverySingleAndDoubleError) {
  for (uint32_t d = 0; d < 2048; ++d) {
    uint8_t row[16];
    uint_to_bits(d, 11, row);
    hamming16114encode(row, row + 11);
    ASSERT_EQ(hamming16114(row), 1);
    for (unsigned i = 0; i < 16; ++i)
      for (unsigned j = i; j < 16; ++j) {
        uint8_t bad[16];
        std::memcpy(bad, row, 16);
        bad[i] ^= 1;
        if (j != i) bad[j] ^= 1;
        ASSERT_EQ(hamming16114(bad), 0) << d << " " << i << " " << j;
      }
  }
}

TEST_F(EmbeddedLc, RandomRoundTripThroughCollector) {
  DmrPrintCapture capture;
  std::mt19937 rng(42);
  for (int n = 0; n < 2000; ++n) {
    Lc lc, got;
    for (uint8_t& b : reinterpret_cast<uint8_t(&)[9]>(lc)) b = static_cast<uint8_t>(rng());
    uint8_t out[128];
    encode_MultiBlockEmbeddedLC(lc.control, lc.destination, lc.source, out);
    ASSERT_EQ(feed_set(out, got), (std::vector<int>{2, 2, 2, 1}));
    ASSERT_TRUE(same(lc, got));
    ASSERT_EQ(currentState, 0);
  }
  EXPECT_TRUE(capture.calls().empty());
}

// One flipped bit anywhere in the matrix: which lines, which result.
TEST_F(EmbeddedLc, SingleFlippedBitReportedPerRow) {
  uint8_t clean[128];
  encode_MultiBlockEmbeddedLC(EXAMPLE.control, EXAMPLE.destination, EXAMPLE.source, clean);
  const Lc before = {{0xAA, 0xAA, 0xAA}, {0xBB, 0xBB, 0xBB}, {0xCC, 0xCC, 0xCC}};
  for (unsigned entry = 0; entry < 128; ++entry) {
    const unsigned r = entry / 16, c = entry % 16;
    uint8_t bits[128];
    std::memcpy(bits, clean, 128);
    bits[sent_index(entry)] ^= 1;
    DmrPrintCapture capture;
    Lc got = before;
    const int result = feed_set(bits, got).back();

    Lines expect;
    if (r == 0 && c > 0) expect.push_back(" -> Hamming1 0 failed\r\n");
    if (r >= 1 && r <= 6) expect.push_back(" -> Hamming " + std::to_string(16 * r) + " failed\r\n");
    // Data and checksum columns of rows 0-6 break the checksum, except the
    // protect flag, which the row-0 retry clears again.
    const bool payload = r <= 6 && c <= 10 && entry != 0;
    if (payload) {
      expect.push_back("5bit-CRC failed\r\n");
      expect.push_back("Bad Embedded Multi Block LC\r\n");
    }
    ASSERT_EQ(capture.calls(), expect) << "entry " << entry;
    ASSERT_EQ(result, payload ? 0 : 1) << "entry " << entry;
    ASSERT_TRUE(same(got, payload ? before : EXAMPLE)) << "entry " << entry;
  }
}

TEST_F(EmbeddedLc, CollectorSequences) {
  DmrPrintCapture capture;
  uint8_t good[128], other[128];
  encode_MultiBlockEmbeddedLC(EXAMPLE.control, EXAMPLE.destination, EXAMPLE.source, good);
  const uint8_t ids[3] = {1, 2, 3};
  encode_MultiBlockEmbeddedLC(ids, ids, ids, other);
  Lc got{};

  // Continuation or last fragments out of turn are ignored.
  EXPECT_EQ(feed(good, {3, 2}, got), (std::vector<int>{2, 2}));
  EXPECT_EQ(currentState, -1);
  EXPECT_EQ(feed(good, {1, 3, 2}, got), (std::vector<int>{2, 2, 2}));
  EXPECT_EQ(currentState, 2);

  // 1, 3, 3, 3, 2: the third continuation is ignored, the set completes.
  reset_embedded_lc_collector();
  addData(good, 1, got.control, got.destination, got.source);
  addData(good + 32, 3, got.control, got.destination, got.source);
  addData(good + 64, 3, got.control, got.destination, got.source);
  EXPECT_EQ(addData(other + 64, 3, got.control, got.destination, got.source), 2);
  EXPECT_EQ(addData(good + 96, 2, got.control, got.destination, got.source), 1);
  EXPECT_TRUE(same(got, EXAMPLE));

  // A new first fragment restarts collection.
  feed(other, {1, 3}, got);
  EXPECT_EQ(feed_set(good, got).back(), 1);
  EXPECT_TRUE(same(got, EXAMPLE));

  // Out-of-range LCSS values and states are harmless and change nothing.
  uint8_t raw_before[128];
  for (int32_t state : {-1, 0, 1, 2, 3, 4, -5, INT_MAX, INT_MIN}) {
    currentState = state;
    std::memcpy(raw_before, rawLC, 128);
    for (int lcss : {-1, 4, 99, INT_MIN, INT_MAX})
      EXPECT_EQ(addData(other, lcss, got.control, got.destination, got.source), 2);
    if (state < 1 || state > 3) {
      EXPECT_EQ(addData(other, 3, got.control, got.destination, got.source), 2);
      EXPECT_EQ(addData(other, 2, got.control, got.destination, got.source), 2);
    }
    EXPECT_EQ(currentState, state);
    EXPECT_EQ(0, std::memcmp(raw_before, rawLC, 128));
  }
  EXPECT_TRUE(capture.calls().empty());
  EXPECT_TRUE(same(got, EXAMPLE));

  reset_embedded_lc_collector();
  EXPECT_EQ(currentState, -1);
  for (uint8_t b : rawLC) ASSERT_EQ(b, 0);
}

TEST_F(EmbeddedLc, SingleFragmentDump) {
  DmrPrintCapture capture;
  uint8_t fragment[128] = {};
  Lc got{};
  feed(fragment, {1, 3}, got);
  EXPECT_EQ(addData(fragment, 0, got.control, got.destination, got.source), 2);
  EXPECT_TRUE(capture.calls().empty());
  EXPECT_EQ(currentState, 2);

  for (unsigned i = 0; i < 32; ++i) fragment[i] = (i % 3 == 0) ? 1 : 0;
  EXPECT_EQ(addData(fragment, 0, got.control, got.destination, got.source), 2);
  EXPECT_EQ(capture.calls(), Lines{"Single Data: 10010010010010010010010010010010\r\n"});
  EXPECT_EQ(currentState, 2);

  // The widest line: every entry printed as 255.
  capture.calls().clear();
  std::memset(fragment, 0xFF, 32);
  processSingleBlockEmbeddedLC(fragment);
  std::string wide = "Single Data: ";
  for (int i = 0; i < 32; ++i) wide += "255";
  EXPECT_EQ(capture.calls(), Lines{wide + "\r\n"});
}

}  // namespace
