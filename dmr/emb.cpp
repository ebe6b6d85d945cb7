// SPDX-License-Identifier: GPL-2.0-or-later
// EMB validation against the QR(16,7,6) code.
#include "dmr/emb.h"

#include "dmr/bits.h"
#include "dmr/dmr_console.h"

namespace {

// Codewords of the seven data bits 1, 2, 4, ... 64; the code is linear.
constexpr uint16_t GENERATOR_ROWS[7] = {0x0273, 0x04E5, 0x09C9, 0x11E2, 0x21B7, 0x411E, 0x804F};

struct CodewordTable {
  uint16_t word[128];
  constexpr CodewordTable() : word() {
    for (unsigned i = 0; i < 128; ++i) {
      uint16_t w = 0;
      for (unsigned b = 0; b < 7; ++b)
        if (i & (1u << b)) w ^= GENERATOR_ROWS[b];
      word[i] = w;
    }
  }
};
constexpr CodewordTable CODEWORDS{};

static_assert(CODEWORDS.word[3] == 0x0696 && CODEWORDS.word[5] == 0x0BBA);

}  // namespace

uint16_t emb_codeword(uint8_t data) {
  return CODEWORDS.word[data & 0x7F];
}

int QuadResidue1676(const uint8_t* bits) {
  const uint32_t value = bits_to_uint(bits, EMB_BITS);
  // Each codeword carries its own data bits in bits 15-9, so the only
  // candidate is the codeword of those bits.
  return CODEWORDS.word[value >> 9] == value ? 1 : 0;
}

int EMBdecode(const uint8_t* centre, uint8_t* emb) {
  for (unsigned i = 0; i < 8; ++i) {
    emb[i] = centre[i];
    emb[8 + i] = centre[40 + i];
  }
  if (QuadResidue1676(emb) != 1) {
    dmr_print("No voice - maybe data.\r\n");
    return -1;
  }
  return 2 * (bit_is_set(emb[5]) ? 1 : 0) + (bit_is_set(emb[6]) ? 1 : 0);
}
