// SPDX-License-Identifier: GPL-2.0-or-later
// Conversions between bit arrays and packed bytes, most significant bit first.
#include "dmr/bits.h"

void unpack_bits(const uint8_t* bytes, size_t nbytes, uint8_t* bits) {
  for (size_t k = 0; k < nbytes; ++k) {
    const uint8_t b = bytes[k];
    for (unsigned j = 0; j < 8; ++j) bits[8 * k + j] = (b >> (7 - j)) & 1;
  }
}

void pack_bits(const uint8_t* bits, size_t nbits, uint8_t* bytes) {
  for (size_t k = 0; k < (nbits + 7) / 8; ++k) {
    uint8_t b = 0;
    for (unsigned j = 0; j < 8; ++j) {
      const size_t i = 8 * k + j;
      if (i < nbits && bit_is_set(bits[i])) b |= static_cast<uint8_t>(0x80u >> j);
    }
    bytes[k] = b;
  }
}

void read_bits(const uint8_t* bytes, size_t first_bit, size_t count, uint8_t* bits) {
  for (size_t i = 0; i < count; ++i) {
    const size_t p = first_bit + i;
    bits[i] = (bytes[p >> 3] >> (7 - (p & 7))) & 1;
  }
}

void write_bits(uint8_t* bytes, size_t first_bit, size_t count, const uint8_t* bits) {
  for (size_t i = 0; i < count; ++i) {
    const size_t p = first_bit + i;
    const uint8_t m = static_cast<uint8_t>(0x80u >> (p & 7));
    if (bit_is_set(bits[i]))
      bytes[p >> 3] |= m;
    else
      bytes[p >> 3] &= static_cast<uint8_t>(~m);
  }
}

uint32_t bits_to_uint(const uint8_t* bits, unsigned count) {
  uint32_t v = 0;
  for (unsigned i = 0; i < count; ++i) v = (v << 1) | (bit_is_set(bits[i]) ? 1u : 0u);
  return v;
}

void uint_to_bits(uint32_t value, unsigned count, uint8_t* bits) {
  for (unsigned i = 0; i < count; ++i) {
    const unsigned shift = count - 1 - i;
    bits[i] = shift < 32 ? static_cast<uint8_t>((value >> shift) & 1) : 0;
  }
}
