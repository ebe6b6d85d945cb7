// SPDX-License-Identifier: GPL-2.0-or-later
// Full link control fields and the RS(12,9) check bytes.
#include "dmr/full_lc.h"

#include "dmr/bits.h"
#include "dmr/bptc196.h"

namespace {

// Product in GF(256) with the primitive polynomial 0x11D.
constexpr uint8_t gf_mul(uint8_t a, uint8_t b) {
  unsigned x = a, r = 0;
  while (b) {
    if (b & 1) r ^= x;
    x <<= 1;
    if (x & 0x100) x ^= 0x11D;
    b >>= 1;
  }
  return static_cast<uint8_t>(r);
}
static_assert(gf_mul(0x80, 2) == 0x1D && gf_mul(6, 8) == 0x30);

// g(x) = (x + 2)(x + 4)(x + 8) below its leading term, highest coefficient first.
constexpr uint8_t G2 = 0x0E, G1 = 0x38, G0 = 0x40;
static_assert((2 ^ 4 ^ 8) == G2 && (gf_mul(2, 4) ^ gf_mul(2, 8) ^ gf_mul(4, 8)) == G1 && gf_mul(gf_mul(2, 4), 8) == G0);

}  // namespace

void full_lc_control(bool private_call, uint8_t* control) {
  control[0] = private_call ? FLCO_UNIT_TO_UNIT_VOICE : FLCO_GROUP_VOICE;
  control[1] = 0;
  control[2] = 0;
}

void full_lc_build(bool private_call, uint32_t destination, uint32_t source, uint8_t* lc) {
  full_lc_control(private_call, lc);
  for (unsigned i = 0; i < 3; ++i) {
    lc[3 + i] = static_cast<uint8_t>(destination >> (16 - 8 * i));
    lc[6 + i] = static_cast<uint8_t>(source >> (16 - 8 * i));
  }
}

void rs129_parity(const uint8_t* lc, uint8_t* parity) {
  // Division register, r[0] the highest coefficient of the remainder.
  uint8_t r[3] = {0, 0, 0};
  for (unsigned i = 0; i < FULL_LC_BYTES; ++i) {
    const uint8_t feedback = lc[i] ^ r[0];
    r[0] = r[1] ^ gf_mul(feedback, G2);
    r[1] = r[2] ^ gf_mul(feedback, G1);
    r[2] = gf_mul(feedback, G0);
  }
  for (unsigned i = 0; i < 3; ++i) parity[i] = r[i];
}

void full_lc_check(const uint8_t* lc, uint8_t mask, uint8_t* check) {
  rs129_parity(lc, check);
  for (unsigned i = 0; i < RS129_PARITY_BYTES; ++i) check[i] ^= mask;
}

void full_lc_write_burst(uint8_t* burst, const uint8_t* lc, uint8_t mask) {
  constexpr unsigned FIRST_HALF = 98, SECOND_START = 166;
  uint8_t data[BPTC196_DATA_BYTES];
  for (unsigned i = 0; i < FULL_LC_BYTES; ++i) data[i] = lc[i];
  full_lc_check(lc, mask, data + FULL_LC_BYTES);
  uint8_t coded[BPTC196_BITS];
  bptc196_encode(data, coded);
  write_bits(burst, 0, FIRST_HALF, coded);
  write_bits(burst, SECOND_START, BPTC196_BITS - FIRST_HALF, coded + FIRST_HALF);
}
