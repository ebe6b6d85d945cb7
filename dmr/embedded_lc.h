// SPDX-License-Identifier: GPL-2.0-or-later
// Embedded link control: the 72-bit LC of a voice call spread over the
// embedded signalling of bursts B-E.
//
// The LC is the 72 bits of the full LC (dmr/full_lc.h), handled as its three
// 3-byte fields. It is protected by a 5-bit checksum (sum of the nine bytes
// mod 31), a Hamming(16,11,4) code per row and a column parity row, in an
// 8 x 16 matrix (entry of row r, column c at index 16r + c):
//   rows 0-1: LC bits (11 per row) in columns 0-10
//   rows 2-6: LC bits (10 per row) in columns 0-9, checksum bit 4..0 in column 10
//   rows 0-6: Hamming parity p0-p4 in columns 11-15
//   row 7:    XOR of rows 0-6 in each column
// The matrix is sent column by column, each column from row 0 to row 7
// (transmitted bit 8c + r = matrix entry 16r + c). Fragment n = 1..4 is
// transmitted bits 32(n-1) .. 32n-1 and travels in burst B, C, D, E with
// LCSS 1 (first), 3, 3 (continuation), 2 (last).
//
// All arrays are bit arrays (dmr/bits.h) except the 3-byte LC fields.
#pragma once

#include <cstdint>

#include "dmr/full_lc.h"

constexpr unsigned EMBEDDED_LC_BITS = 128;
constexpr unsigned EMBEDDED_FRAGMENT_BITS = 32;

// LCSS values of the EMB.
constexpr int LCSS_SINGLE = 0;
constexpr int LCSS_FIRST = 1;
constexpr int LCSS_LAST = 2;
constexpr int LCSS_CONTINUATION = 3;

// ---- collector (master-side voice thread only) ----------------------------

// Received fragments in transmission order (fragment n at 32(n-1) .. 32n-1).
extern uint8_t rawLC[EMBEDDED_LC_BITS];
// 1, 2, 3: fragments 1, 1-2, 1-3 held. Anything else (-1 at start, 0 after a
// complete set): no set being collected.
extern int32_t currentState;

// Start-of-run state: rawLC all zero, currentState -1.
void reset_embedded_lc_collector();

// Takes the 32-entry fragment of one burst with the LCSS from EMBdecode:
//   LCSS 1, any state       -> fragment 1, state 1
//   LCSS 3, state 1 / 2     -> fragment 2 / 3, state 2 / 3
//   LCSS 2, state 3         -> fragment 4, decode, state 0; returns 1 with the
//                              three fields written if the LC is valid, else
//                              prints "Bad Embedded Multi Block LC\r\n", returns 0
//   LCSS 0                  -> processSingleBlockEmbeddedLC(fragment)
//   anything else (other LCSS values included) -> ignored.
// Returns 2 unless a set was completed; the fields are then not written.
int addData(const uint8_t* fragment, int lcss, uint8_t* control, uint8_t* destination, uint8_t* source);

// Decodes rawLC. Rows 0-6 are checked by Hamming(16,11,4) (detection only):
// a failing row 0 is checked again with its entry 0 (the protect flag)
// cleared, which stays cleared, and prints " -> Hamming1 0 failed\r\n" if it
// still fails; a failing row r = 1..6 prints " -> Hamming <16r> failed\r\n".
// Only the checksum decides: on a mismatch prints "5bit-CRC failed\r\n" and
// returns 0 with the fields untouched; otherwise writes them and returns 1.
int decode_MultiBlockEmbeddedLC(uint8_t* control, uint8_t* destination, uint8_t* source);

// out[0..128) = the LC of the three 3-byte fields in transmission order.
void encode_MultiBlockEmbeddedLC(const uint8_t* control, const uint8_t* destination, const uint8_t* source,
                                 uint8_t* out);

// 1 if the parity entries 11-15 of the 16-entry row match its data entries
// 0-10, else 0.
int hamming16114(const uint8_t* row);

// parity[0..5) = p0-p4 of the 11 data entries d0-d10.
void hamming16114encode(const uint8_t* data, uint8_t* parity);

// Checksum (0-30) of the 72-entry LC bit array: its nine bytes summed mod 31.
int crcFiveBit(const uint8_t* bits);

// Prints "Single Data: " followed by the 32 entries ("%d" each, no separator)
// and "\r\n", as one line, unless every entry is 0.
void processSingleBlockEmbeddedLC(const uint8_t* fragment);
