// SPDX-License-Identifier: GPL-2.0-or-later
// Layout of the 33-byte DMR voice burst payload (264 bits, MSB first).
//
//   bits   0- 71  coded voice frame 1
//   bits  72-107  coded voice frame 2, entries 0-35
//   bits 108-155  48-bit centre: voice sync (burst A) or, in bursts B-F,
//                 EMB bits 0-7, 32 bits of embedded signalling, EMB bits 8-15
//   bits 156-191  coded voice frame 2, entries 36-71
//   bits 192-263  coded voice frame 3
//
// Centre entry i is burst bit 108+i; the embedded signalling (centre entries
// 8-39) is burst bits 116-147.
#pragma once

#include <cstdint>

constexpr unsigned DMR_BURST_BYTES = 33;
constexpr unsigned DMR_BURST_CENTRE_BITS = 48;
constexpr unsigned DMR_BURST_CENTRE_FIRST = 108;
constexpr unsigned DMR_EMBEDDED_BITS = 32;
constexpr unsigned DMR_EMBEDDED_FIRST = 116;

// coded[0..72) = coded voice frame n (0, 1 or 2) of the burst. For any other
// n nothing is written and false is returned.
bool burst_read_voice_frame(const uint8_t* burst, unsigned n, uint8_t* coded);

// Puts coded[0..72) into the burst as voice frame n (0, 1 or 2); the other
// bits of the burst keep their values. False (burst untouched) for other n.
bool burst_write_voice_frame(uint8_t* burst, unsigned n, const uint8_t* coded);

// centre[0..48) = burst bits 108-155.
void burst_read_centre(const uint8_t* burst, uint8_t* centre);

// Burst bits 108-155 = centre[0..48).
void burst_write_centre(uint8_t* burst, const uint8_t* centre);

// Burst bits 116-147 (the embedded signalling) = fragment[0..32).
void burst_write_embedded(uint8_t* burst, const uint8_t* fragment);
