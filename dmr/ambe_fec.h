// SPDX-License-Identifier: GPL-2.0-or-later
// AMBE+2 voice frame FEC: 49-bit bare frame <-> 72-bit coded frame.
//
// A bare frame is three vectors: A (12 bits), B (12 bits), C (25 bits).
// A is protected by the extended Golay(24,12) code (the Golay(23,12)
// codeword shifted left by one, bit 0 making the weight even), B by the
// Golay(23,12) code whitened with a pseudo-random mask seeded from A, and C
// is carried unprotected. The 72-bit sequence
//     A codeword (bit 23 first), whitened B codeword (bit 22 first), C (MSB first)
// is written row by row into 4 rows of 18 and sent column by column:
//     coded[4k + c] = s[18c + k],  k = 0..17, c = 0..3.
//
// Frame order (`mode`):
//   1         interleaved: A (MSB first) at entries 0,3,..,33; B at
//             36,39,41,43,45,47,1,4,..,16; C at 19,22,..,37,40,42,..,48,2,5,..,38.
//   any other plain: entries 0-11 A, 12-23 B, 24-48 C, each MSB first.
// Both relays use plain order (2).
//
// All arrays are bit arrays (dmr/bits.h). Decoding needs the Golay table
// (init_Golay_23_12) to have been built. No state between calls.
#pragma once

#include <cstdint>

constexpr unsigned AMBE_FRAME_BITS = 49;
constexpr unsigned AMBE_CODED_BITS = 72;
constexpr uint8_t AMBE_MODE_INTERLEAVED = 1;
constexpr uint8_t AMBE_MODE_PLAIN = 2;

// Extended Golay(24,12) codeword of the low 12 bits of `a`.
uint32_t ambe_a_codeword(uint32_t a);

// The 23-bit whitening mask of B for the 12-bit value of A:
// p(0) = 16*A, p(n) = (173*p(n-1) + 13849) mod 2^16, mask bit 23-n = bit 15 of p(n).
uint32_t ambe_b_mask(uint32_t a);

// coded[0..72) = the coded form of frame[0..49). frame is only read.
void codiere_AMBEplus2_33(uint8_t* coded, uint8_t mode, const uint8_t* frame);

// Decodes coded[0..72) into frame[0..49), correcting up to 3 bit errors in
// each of the A and B codewords; *errorsA / *errorsB = bits corrected.
// The corrected A and B codewords are written back into `coded`, so
// re-encoding `frame` gives exactly the corrected `coded`.
// Four errors in A are detected (3 corrections whose parity disagrees with
// the received parity bit): *errorsA = 4, *errorsB = 3, and neither `coded`
// nor `frame` is touched. With fewer than 3 corrections the received parity
// bit is not consulted. Four or more errors in B are miscorrected and counted
// as at most 3. C is taken as received. Exactly 49 entries of frame are written.
void decodiere_AMBEplus2_33(uint8_t* coded, uint8_t* errorsA, uint8_t* errorsB, uint8_t mode, uint8_t* frame);
