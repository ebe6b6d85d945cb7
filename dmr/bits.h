// SPDX-License-Identifier: GPL-2.0-or-later
// Bit arrays: one bit per byte, index 0 first.
//
// Every air-interface coding works on byte arrays that hold one bit per byte.
// Packed into bytes, bit index 8k+j is bit 7-j of byte k (most significant
// bit first). Wherever a bit array is read, an entry counts as a 1 only when
// its byte is exactly 1; every other value reads as 0. Written entries are
// always 0 or 1.
//
// These helpers are the one place that converts between the two forms; the
// codings and the packet formats all use them.
#pragma once

#include <cstddef>
#include <cstdint>

// True when the entry counts as a set bit.
inline bool bit_is_set(uint8_t entry) {
  return entry == 1;
}

// bits[0 .. 8*nbytes) = the bits of bytes[0 .. nbytes), MSB first.
void unpack_bits(const uint8_t* bytes, size_t nbytes, uint8_t* bits);

// bytes[0 .. (nbits+7)/8) = bits[0 .. nbits) packed MSB first; the unused low
// bits of a partial last byte are written as 0.
void pack_bits(const uint8_t* bits, size_t nbits, uint8_t* bytes);

// bits[0 .. count) = packed bits first_bit .. first_bit+count-1 of `bytes`.
// The caller's buffer must hold (first_bit+count+7)/8 bytes.
void read_bits(const uint8_t* bytes, size_t first_bit, size_t count, uint8_t* bits);

// Packed bits first_bit .. first_bit+count-1 of `bytes` = bits[0 .. count);
// every other bit of `bytes` keeps its value.
void write_bits(uint8_t* bytes, size_t first_bit, size_t count, const uint8_t* bits);

// The unsigned value of `count` entries, entry 0 most significant. Only the
// last 32 entries fit; for count above 32 the earlier ones shift out.
uint32_t bits_to_uint(const uint8_t* bits, unsigned count);

// bits[0 .. count) = the low `count` bits of value, most significant first.
// For count above 32 the leading entries (beyond the 32 value bits) are 0.
void uint_to_bits(uint32_t value, unsigned count, uint8_t* bits);
