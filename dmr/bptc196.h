// SPDX-License-Identifier: GPL-2.0-or-later
// BPTC(196,96): the block product code of DMR data bursts (voice LC header,
// terminator with LC), carrying 12 bytes in 196 bits.
//
// A 196-entry matrix m: m[0] = 0, then 13 rows of 15 (row r is
// m[1 + 15r .. 15 + 15r]). The 96 data bits (MSB of byte 0 first) fill
// m[4..11] and the first 11 entries of rows 1 to 8; m[1..3] are 0. Rows 0-8
// end in four Hamming(15,11,3) parity bits, and rows 9-12 hold four
// Hamming(13,9,3) parity bits of each column. Sent bit i is m[k] where
// i = (k * 181) mod 196.
//
// In the burst the 196 bits are burst bits 0-97 followed by 166-263.
#pragma once

#include <cstdint>

constexpr unsigned BPTC196_DATA_BYTES = 12;
constexpr unsigned BPTC196_BITS = 196;

// bits[0..196) = the coded form of data[0..12), in sending order.
void bptc196_encode(const uint8_t* data, uint8_t* bits);
