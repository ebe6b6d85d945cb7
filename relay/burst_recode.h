// SPDX-License-Identifier: GPL-2.0-or-later
// Re-coding of a voice burst from the DMR master into a Motorola voice burst
// packet: the three FEC-coded AMBE+2 frames become bare frames (frames with
// too many bit errors give way to the frame substitute and set their
// bad-frame bit), and in bursts B to E the EMB and embedded signalling are
// carried over. The embedded link control is collected on the way so the
// call's IDs can be shown once per call; it changes nothing in the packets.
//
// Used by the master-to-Motorola relay thread alone; so is all state here
// (and the embedded link control collector of dmr/embedded_lc.h).
#pragma once

#include <cstdint>

#include "dmr/burst.h"
#include "dmr/emb.h"
#include "motorola/voice_packet.h"

// Embedded signalling of the latest burst whose EMB was valid; it stands in
// for the fragment of a burst whose EMB is not.
extern uint8_t EMBdata32[DMR_EMBEDDED_BITS];
// EMB of the latest burst B to E as received, valid or not.
extern uint8_t EMB_bits[EMB_BITS];
// Destination and source of the latest embedded link control that decoded,
// most significant byte first.
extern uint8_t DestAddr[3];
extern uint8_t SrcAddr[3];
// 1 once the current call's IDs were printed; cleared at every call start.
extern int idshown;

// Bit count of the BER line's denominator.
inline constexpr double BER_BITS = 141.0;

// A frame is replaced when its A codeword could not be corrected (count 4),
// or when both codewords needed many corrections.
inline bool frame_too_bad(uint8_t errors_a, uint8_t errors_b) {
  return errors_a > 3 || (errors_a >= 2 && errors_b >= 3);
}

// What the FEC found in one burst: bits it corrected in the three frames (the
// BER line's numerator) and frames replaced by the substitute.
struct RecodeFigures {
  uint32_t bit_errors;
  uint32_t bad_frames;
};

// Fills the frame slots of `pkt` (a burst packet of `kind`, template copied)
// from the 33-byte burst in air order, and for bursts B to E its embedded
// bits and EMB byte. Prints the EMB and ID lines (once per call, with the
// slot number given) and, for a burst with bit errors, the BER line.
RecodeFigures recode_burst(MotoVoiceKind kind, const uint8_t* burst, uint8_t* pkt, int slot);

// Everything above to zero, and the embedded link control collector to its
// start.
void reset_burst_recode();
