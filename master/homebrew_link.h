// SPDX-License-Identifier: GPL-2.0-or-later
// HomeBrew voice behind the master link (HOMEBREW_LINK): each burst of a
// call from the repeater becomes one DMRD (master/homebrew_packet.h), and
// the master's DMRD on either slot become MasterIn.
//
//   toward the master                    flags (TS2; private: +0x40)
//   call start, header  -> voice LC header   A1
//   burst A             -> voice sync        90
//   bursts B..F         -> voice, 1..5       81..85
//   terminator          -> terminator LC     A2
// A call's stream ID is drawn at its first frame (a call start, or whatever
// comes first without one): random, non-zero, never the previous call's;
// its sequence byte is 0 there and +1 with each frame after; the terminator
// ends it.  Bytes 11-14 carry RptrID; BER and RSSI are 0.  Sent only while
// logged in (homebrew_send).
//
//   from the master: a DMRD the login takes (homebrew_input) -> MasterIn
//   with the slot of its flags, the 8-bit sequence, its stream and, in 55
//   bytes, the sender's BER byte; data-sync frames other than voice header
//   and terminator are ignored.
#pragma once
#include <cstdint>

// The stream of the call being sent (0: none) and the one before it
// (Motorola-side reader; tests).
uint32_t homebrew_tx_stream();
uint32_t homebrew_tx_previous_stream();

// Start-of-run state of the sending side: no call, the generator seeded anew.
void reset_homebrew_link();
