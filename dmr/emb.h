// SPDX-License-Identifier: GPL-2.0-or-later
// EMB field of voice bursts B-F: colour code, PI, LCSS, QR(16,7,6) parity.
//
// As a 16-entry bit array, entry 0 first on air:
//   0-3 colour code (MSB first), 4 PI, 5-6 LCSS (MSB first), 7-15 parity.
// As a 16-bit number entry 0 is bit 15: the seven data bits are bits 15-9.
// LCSS: 0 single fragment, 1 first, 2 last, 3 continuation.
//
// The EMB is validated, never corrected: only the 128 exact codewords pass.
#pragma once

#include <cstdint>

constexpr unsigned EMB_BITS = 16;

// The 16-bit QR(16,7,6) codeword whose data bits (15-9) are the low seven
// bits of `data`.
uint16_t emb_codeword(uint8_t data);

// 1 if bits[0..16) (an entry counts as 1 only when exactly 1) form one of the
// 128 codewords, else 0.
int QuadResidue1676(const uint8_t* bits);

// emb[0..16) = centre entries 0-7 and 40-47 (written whatever the outcome).
// Returns the LCSS (0-3) if the EMB is a codeword; otherwise prints
// "No voice - maybe data.\r\n" and returns -1. centre[0..48) is only read.
int EMBdecode(const uint8_t* centre, uint8_t* emb);
