// SPDX-License-Identifier: GPL-2.0-or-later
// AMBE+2 voice frame FEC encoder and decoder.
#include "dmr/ambe_fec.h"

#include <bit>

#include "dmr/bits.h"
#include "dmr/golay.h"

namespace {

// Frame entry of each vector bit in interleaved order: A bits 11..0, then
// B bits 11..0, then C bits 24..0.
constexpr uint8_t INTERLEAVED[AMBE_FRAME_BITS] = {
    // A
    0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 33,
    // B
    36, 39, 41, 43, 45, 47, 1, 4, 7, 10, 13, 16,
    // C
    19, 22, 25, 28, 31, 34, 37, 40, 42, 44, 46, 48, 2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 32, 35, 38};

constexpr unsigned A_BITS = 12, B_BITS = 12, C_BITS = 25;
constexpr unsigned A_CW_BITS = 24, B_CW_BITS = 23;
constexpr unsigned S_B = A_CW_BITS;              // first s index of the B codeword
constexpr unsigned S_C = A_CW_BITS + B_CW_BITS;  // first s index of C

// Coded-frame position of each index t of the sequence s (A codeword,
// whitened B codeword, C): row t / 18, column t % 18, read column-wise.
struct CodedPositions {
  uint8_t pos[AMBE_CODED_BITS];
  constexpr CodedPositions() : pos() {
    for (unsigned t = 0; t < AMBE_CODED_BITS; ++t) pos[t] = static_cast<uint8_t>(4 * (t % 18) + t / 18);
  }
};
constexpr CodedPositions CODED{};

struct PlainOrder {
  uint8_t pos[AMBE_FRAME_BITS];
  constexpr PlainOrder() : pos() {
    for (unsigned i = 0; i < AMBE_FRAME_BITS; ++i) pos[i] = static_cast<uint8_t>(i);
  }
};
constexpr PlainOrder PLAIN{};

constexpr uint32_t compute_mask(uint32_t a) {
  uint32_t p = 16 * a;
  uint32_t mask = 0;
  for (unsigned n = 1; n <= 23; ++n) {
    p = (173 * p + 13849) & 0xFFFF;
    mask |= ((p >> 15) & 1) << (23 - n);
  }
  return mask;
}

// The whitening mask for every value of A, built at compile time.
struct MaskTable {
  uint32_t mask[4096];
  constexpr MaskTable() : mask() {
    for (uint32_t a = 0; a < 4096; ++a) mask[a] = compute_mask(a);
  }
};
constexpr MaskTable MASKS{};
static_assert(MASKS.mask[0] == 0x216623);

const uint8_t* frame_order(uint8_t mode) {
  return mode == AMBE_MODE_INTERLEAVED ? INTERLEAVED : PLAIN.pos;
}

// Value of `count` frame entries at order[first ..], most significant first.
inline uint32_t gather(const uint8_t* frame, const uint8_t* order, unsigned first, unsigned count) {
  uint32_t v = 0;
  for (unsigned i = 0; i < count; ++i) v = (v << 1) | (bit_is_set(frame[order[first + i]]) ? 1u : 0u);
  return v;
}

inline void scatter(uint8_t* frame, const uint8_t* order, unsigned first, unsigned count, uint32_t v) {
  for (unsigned i = 0; i < count; ++i) frame[order[first + i]] = static_cast<uint8_t>((v >> (count - 1 - i)) & 1);
}

// `count` bits of the sequence s starting at s index `first`, read from / written to coded.
inline uint32_t coded_read(const uint8_t* coded, unsigned first, unsigned count) {
  uint32_t v = 0;
  for (unsigned i = 0; i < count; ++i) v = (v << 1) | (bit_is_set(coded[CODED.pos[first + i]]) ? 1u : 0u);
  return v;
}

inline void coded_write(uint8_t* coded, unsigned first, unsigned count, uint32_t v) {
  for (unsigned i = 0; i < count; ++i) coded[CODED.pos[first + i]] = static_cast<uint8_t>((v >> (count - 1 - i)) & 1);
}

}  // namespace

uint32_t ambe_a_codeword(uint32_t a) {
  const uint32_t cw = golay_23_12_codeword(a);
  return (cw << 1) | (std::popcount(cw) & 1u);
}

uint32_t ambe_b_mask(uint32_t a) {
  return MASKS.mask[a & 0xFFF];
}

void codiere_AMBEplus2_33(uint8_t* coded, uint8_t mode, const uint8_t* frame) {
  const uint8_t* order = frame_order(mode);
  const uint32_t a = gather(frame, order, 0, A_BITS);
  const uint32_t b = gather(frame, order, A_BITS, B_BITS);
  const uint32_t c = gather(frame, order, A_BITS + B_BITS, C_BITS);

  coded_write(coded, 0, A_CW_BITS, ambe_a_codeword(a));
  coded_write(coded, S_B, B_CW_BITS, golay_23_12_codeword(b) ^ ambe_b_mask(a));
  coded_write(coded, S_C, C_BITS, c);
}

void decodiere_AMBEplus2_33(uint8_t* coded, uint8_t* errorsA, uint8_t* errorsB, uint8_t mode, uint8_t* frame) {
  const uint32_t a_word = coded_read(coded, 0, A_CW_BITS);
  const uint32_t b_word = coded_read(coded, S_B, B_CW_BITS);
  const uint32_t c = coded_read(coded, S_C, C_BITS);

  // A: Golay(23,12) correction of bits 23-1, then the overall parity.
  uint16_t syndrome;
  Syndromberechnung(a_word >> 1, &syndrome);
  uint32_t pattern = Fehlermuster_Golay_23_12[syndrome];
  const unsigned corrected_a = static_cast<unsigned>(std::popcount(pattern));
  const uint32_t a23 = (a_word >> 1) ^ pattern;
  const uint32_t parity = std::popcount(a23) & 1u;
  if (corrected_a == 3 && parity != (a_word & 1)) {
    // Three corrections and a parity mismatch: four errors, uncorrectable.
    *errorsA = 4;
    *errorsB = 3;
    return;
  }
  *errorsA = static_cast<uint8_t>(corrected_a);
  coded_write(coded, 0, A_CW_BITS, (a23 << 1) | parity);

  // B: remove the mask of the corrected A, correct, put the mask back.
  const uint32_t a = a23 >> 11;
  const uint32_t mask = ambe_b_mask(a);
  Syndromberechnung(b_word ^ mask, &syndrome);
  pattern = Fehlermuster_Golay_23_12[syndrome];
  *errorsB = static_cast<uint8_t>(std::popcount(pattern));
  const uint32_t b23 = (b_word ^ mask) ^ pattern;
  coded_write(coded, S_B, B_CW_BITS, b23 ^ mask);

  const uint8_t* order = frame_order(mode);
  scatter(frame, order, 0, A_BITS, a);
  scatter(frame, order, A_BITS, B_BITS, b23 >> 11);
  scatter(frame, order, A_BITS + B_BITS, C_BITS, c);
}
