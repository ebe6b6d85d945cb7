// SPDX-License-Identifier: GPL-2.0-or-later
// Motorola-to-master voice relay: every slot-2 voice packet from the
// Motorola repeater (opcode 0x80/0x81) becomes at most one DMR burst with the
// call's facts, handed to the master protocol (master/master_link.h) at once
// from the reader's own pass.
//
//   voice header, first of a call (0xDD)  -> call start with the voice LC
//                                            header burst, "Moto RX+" line
//   voice header, further (0x5D)          -> voice LC header burst
//   voice burst                           -> burst A..F by the burst position,
//                                            frames re-coded, embedded LC in B..E
//   voice terminator                      -> terminator burst, "Moto RX-" line
// Header and terminator carry the call's full LC (BPTC); every burst starts
// from its template (dmr/burst_templates.h).
// A packet that repeats the RTP sequence number of the packet accepted just
// before it is dropped and ends the reader's pass. Packets too short for
// what their kind is read from, with an unknown burst type, or a header with
// an unknown marker, are dropped and change nothing.
//
// The call record (CH_REPEATER_SLOT2) gets each call from its first header
// (the "Moto RX+" line) to its terminator; the Motorola-side reader ends it
// after 3 s without a burst.  Each burst adds the bursts lost before it
// (relay/burst_loss.h: gaps in the RTP sequence numbers, and the positions
// skipped before a burst A) and the frames the repeater marked bad.
// The entry point is relay_moto_voice (master/moto_relay.h).
#pragma once

#include <cstdint>

#include "dmr/burst.h"

// Relay state, used by the Motorola-side reader thread only.
// Burst position 1..6 (A..F) of the next voice burst: set to 1 by every
// accepted header and burst A, advanced by every burst built, carried over
// between calls.
extern int moto_burst_position;
// RTP sequence number of the last voice packet accepted, of any kind.
extern uint16_t moto_last_seq;
// The burst being built and handed on.
extern uint8_t m2m_burst[DMR_BURST_BYTES];
// Wall clock (ms since the epoch) of a call's start in the record; tests
// replace it.
extern int64_t (*m2m_wall_ms)();

// Burst position 1, last sequence number 0, the burst cleared, the record's
// counters of the call forgotten, the system wall clock.
void reset_moto_to_master();
