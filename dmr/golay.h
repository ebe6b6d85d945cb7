// SPDX-License-Identifier: GPL-2.0-or-later
// Golay(23,12) code: syndrome and the table of correctable error patterns.
//
// Generator polynomial g(x) = x^11 + x^10 + x^6 + x^5 + x^4 + x^2 + 1 (0xC75).
// Systematic form: the 23-bit codeword of a 12-bit value d holds d in bits
// 22-11 and the remainder of d*x^11 divided by g(x) in bits 10-0; bit 0 is the
// least significant. The code is perfect: each of the 2048 syndromes belongs
// to exactly one error pattern of weight 0 to 3, so a word is corrected by
// one syndrome computation and one table lookup.
#pragma once

#include <cstdint>

constexpr uint32_t GOLAY_23_12_GENERATOR = 0xC75;
constexpr unsigned GOLAY_23_12_SYNDROMES = 2048;

// Remainder of bits 22-0 of `word` divided by g(x); higher bits are ignored.
// Bit-serial long division, most significant bit first.
constexpr uint32_t golay_23_12_remainder(uint32_t word) {
  uint32_t r = 0;
  for (int i = 22; i >= 0; --i) {
    r <<= 1;
    if ((word >> i) & 1) r ^= 1;
    if (r & 0x800) r ^= GOLAY_23_12_GENERATOR;
  }
  return r & 0x7FF;
}

// The 4096 codewords, built at compile time.
struct Golay2312Codewords {
  uint32_t word[4096];
  constexpr Golay2312Codewords() : word() {
    for (uint32_t d = 0; d < 4096; ++d) word[d] = (d << 11) | golay_23_12_remainder(d << 11);
  }
};
inline constexpr Golay2312Codewords GOLAY_23_12_CODEWORDS{};

// The 23-bit codeword of the low 12 bits of `data`.
inline uint32_t golay_23_12_codeword(uint32_t data) {
  return GOLAY_23_12_CODEWORDS.word[data & 0xFFF];
}

// Syndrome by table: the remainder is linear, bits 10-0 are their own
// remainder and that of bits 22-11 is the parity part of their codeword.
inline uint16_t golay_23_12_syndrome(uint32_t word) {
  return static_cast<uint16_t>((word ^ GOLAY_23_12_CODEWORDS.word[(word >> 11) & 0xFFF]) & 0x7FF);
}

// Error pattern for each syndrome: bit i set = codeword bit i in error.
// All zero until init_Golay_23_12 has run; read-only afterwards.
extern uint32_t Fehlermuster_Golay_23_12[GOLAY_23_12_SYNDROMES];

// Fills Fehlermuster_Golay_23_12. Called once at start-up before any thread
// decodes; a second call writes the same contents again.
void init_Golay_23_12();

// *syndrome = the 11-bit syndrome (0-2047) of the 23-bit word in bits 22-0
// of `word`; higher bits are ignored. Every codeword has syndrome 0.
void Syndromberechnung(uint32_t word, uint16_t* syndrome);
