// SPDX-License-Identifier: GPL-2.0-or-later
// Full link control of a voice call and its Reed-Solomon check.
//
// The full LC is nine bytes, three 3-byte fields, each most significant byte
// first:
//   control (protect flag, reserved bit, FLCO; FID; service options),
//   destination ID, source ID.
// As 72 bits (most significant bit of each byte first), LC bit 0 is the
// protect flag, the MSB of control byte 0. The embedded LC (dmr/embedded_lc.h)
// carries the same fields.
//
// A voice LC header and a terminator with LC carry it with three check
// bytes: the parity of the RS(12,9) code over GF(256) (primitive
// polynomial x^8 + x^4 + x^3 + x^2 + 1, 0x11D; generator
// g(x) = (x + a)(x + a^2)(x + a^3) = x^3 + 0x0E x^2 + 0x38 x + 0x40, a = 2),
// each XORed with a mask that tells the two kinds apart.
// The parity is the remainder of the nine bytes (byte 0 the highest
// coefficient) times x^3 divided by g(x), highest coefficient first.
#pragma once

#include <cstdint>

constexpr unsigned FULL_LC_BYTES = 9;
constexpr unsigned LC_FIELD_BYTES = 3;
constexpr unsigned LC_BITS = 8 * FULL_LC_BYTES;
constexpr unsigned RS129_PARITY_BYTES = 3;

// FLCO values (low six bits of control byte 0) of the calls we carry.
constexpr uint8_t FLCO_GROUP_VOICE = 0x00;
constexpr uint8_t FLCO_UNIT_TO_UNIT_VOICE = 0x03;

// Masks of the check bytes.
constexpr uint8_t RS129_MASK_VOICE_LC_HEADER = 0x96;
constexpr uint8_t RS129_MASK_TERMINATOR_LC = 0x99;

// control[0..3) = FLCO 3 (unit to unit) for a private call, else FLCO 0
// (group); FID and service options 0.
void full_lc_control(bool private_call, uint8_t* control);

// lc[0..9) = control (as above), destination, source; the IDs are 24 bits.
void full_lc_build(bool private_call, uint32_t destination, uint32_t source, uint8_t* lc);

// parity[0..3) = RS(12,9) parity of lc[0..9), unmasked.
void rs129_parity(const uint8_t* lc, uint8_t* parity);

// check[0..3) = rs129_parity(lc) each XORed with mask.
void full_lc_check(const uint8_t* lc, uint8_t mask, uint8_t* check);

// The link-control bits of a voice LC header or terminator burst (burst bits
// 0-97 and 166-263 of the 33-byte burst in air order): lc[0..9) with its
// RS(12,9) check under `mask`, coded with BPTC(196,96).  Slot type and sync
// keep their values.
void full_lc_write_burst(uint8_t* burst, const uint8_t* lc, uint8_t mask);
