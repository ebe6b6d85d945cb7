#include "dmr/full_lc.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/dmr_reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes check(const Bytes& lc, uint8_t mask) {
  Bytes out(3);
  full_lc_check(lc.data(), mask, out.data());
  return out;
}

TEST(FullLc, CheckBytesOfCapturedCalls) {
  const Bytes call1 = {0x00, 0x10, 0x20, 0x00, 0x0C, 0x30, 0x2F, 0x9B, 0xE5};
  EXPECT_EQ(check(call1, RS129_MASK_VOICE_LC_HEADER), (Bytes{0xDA, 0xD4, 0x5A}));
  EXPECT_EQ(check(call1, RS129_MASK_TERMINATOR_LC), (Bytes{0xD5, 0xDB, 0x55}));
  const Bytes call2 = {0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x2F, 0x7C, 0xCA};
  EXPECT_EQ(check(call2, RS129_MASK_VOICE_LC_HEADER), (Bytes{0x92, 0xAF, 0x70}));
  EXPECT_EQ(check(call2, RS129_MASK_TERMINATOR_LC), (Bytes{0x9D, 0xA0, 0x7F}));
  // The call of the master-side templates.
  const Bytes call3 = {0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x28, 0x02, 0x95};
  EXPECT_EQ(check(call3, RS129_MASK_VOICE_LC_HEADER), (Bytes{0xD5, 0x73, 0xBF}));
  EXPECT_EQ(check(call3, RS129_MASK_TERMINATOR_LC), (Bytes{0xDA, 0x7C, 0xB0}));
}

TEST(FullLc, EverySingleByteChangeChangesTheParityAndStaysACodeword) {
  const Bytes base = {0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x2F, 0x7C, 0xCA};
  Bytes p0(3);
  rs129_parity(base.data(), p0.data());
  for (unsigned pos = 0; pos < 9; ++pos) {
    for (unsigned delta = 1; delta < 256; ++delta) {
      Bytes lc = base;
      lc[pos] ^= static_cast<uint8_t>(delta);
      Bytes p(3);
      rs129_parity(lc.data(), p.data());
      ASSERT_NE(p, p0) << "byte " << pos << " delta " << delta;
      ASSERT_TRUE(dmr_ref::rs129_valid(lc.data(), p.data(), 0)) << pos << " " << delta;
    }
  }
}

TEST(FullLc, FieldsSayGroupOrUnitToUnit) {
  Bytes lc(9);
  full_lc_build(false, 0x000009, 0x123456, lc.data());
  EXPECT_EQ(lc, (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x12, 0x34, 0x56}));
  full_lc_build(true, 0xABCDEF, 0x000001, lc.data());
  EXPECT_EQ(lc, (Bytes{0x03, 0x00, 0x00, 0xAB, 0xCD, 0xEF, 0x00, 0x00, 0x01}));
  full_lc_build(false, 0xFF000009, 0xFF000002, lc.data());  // 24-bit IDs only
  EXPECT_EQ(lc, (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x02}));
}

}  // namespace
